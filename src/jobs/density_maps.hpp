#pragma once
// Density and potential maps: the projected maps (Fourier sums over the
// beams of a zone-axis beam search, evaluated point by point on a grid in
// the plane perpendicular to the incident beam) and the unit-cell maps (a
// 3D FFT of the Fourier coefficients of every reflection of the grid's
// frequency box), written as gnuplot grids and in the VEND ".3ed" layout.
#include <cstdio>
#include <string>

#include "crystal/lattice.hpp"
#include "jobs/simulation.hpp"
#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"

namespace kv {

struct csd;

// A map job's condition: the simulation-condition record (incidence, zone
// base, voltage, beams) and the real-space grid of the map.
struct map_condition {
  sd s;
  int nx = 0, ny = 0, nz = 0;  // grid points along the axes
  // Ranges in units of x1, x2 (projected maps) or of a, b, c (3D maps).
  double x_begin = 0, x_end = 0, y_begin = 0, y_end = 0, z_begin = 0, z_end = 0;
  // Real-space base vectors of the projection plane, direct-lattice
  // coordinates, each of length 1/|zolzbase1|.
  Vec3 x1{}, x2{};
  double area_proj_cell = 0;  // angstrom^2, divisor of the projected density
  int unitcell_flag = 0;      // 1 when the 3D grid covers one unit cell
};

// The E_DENSITY_CALCULATION_CONDITION block of the projected maps:
// INCIDENT_BEAM, BEAM_SEARCH, CALC_RXY_RANGE and AREA_PROJ_CELL.
void input_density_proj_data(map_condition& m, csd& c, FILE* fp);
// The E_DENSITY_CALCULATION_CONDITION block of the 3D maps: INCIDENT_BEAM,
// BEAM_SEARCH_3D and CALC_RXY_RANGE_3D.
void input_density_3d_data(map_condition& m, csd& c, FILE* fp);
// Reads flag_bs and selects the beams of a BEAM_SEARCH_3D block.
void fget_sd_beams_3d(sd& s, csd& c, FILE* fp);

// The reflections of the FFT box: every (h k l) with |h| < nx/2, |k| < ny/2,
// |l| < nz/2, h outermost and l innermost.
BeamList fft_reflection_list(int nx, int ny, int nz);
// Places coefficient i of the list at grid index (h mod nx, k mod ny,
// l mod nz) of (re, im) and zeroes the three highest-frequency planes.
void transfer_coefficients(const BeamList& list, const complex* coef, int nx, int ny, int nz,
                           Tensor3<float>& re, Tensor3<float>& im);
// One map in the VEND layout: comment line, cell, nx+1 ny+1 nz+1, then the
// values closed periodically along every axis.
void write_vend(const std::string& name, const char* comment, const double lp[6], const Tensor3<double>& map);

}  // namespace kv
