#pragma once
// The simulation condition as a value: the incident-beam geometry, the beam
// set, the output reflections and thicknesses, and the grid of incident-beam
// tilts over one disk. The parameter-file readers fill it; the simulations
// read it.
#include <string>
#include <vector>

#include "beams/beam_search.hpp"
#include "crystal/lattice.hpp"
#include "numeric/matrix.hpp"

namespace kv {

// One point of the tilt grid.
struct k_point {
  int ih = 0, ig = 0;
  int flag = 0;  // 1 inside the disk (computed), 0 outside
  double H = 0, G = 0;
};

// The simulation-condition record of the simulation jobs.
struct sd {
  Hkl incidence;  // [u v w], upward
  Hkl normal;     // surface normal [u v w], upward
  Vec3 zolzbase1{};
  Vec3 zolzbase2{};
  double tiltH = 0, tiltG = 0;
  double voltage = 0;  // kV
  // Tilts and disk size written in mrad, converted to units of g1/2 once the
  // wavelength and |g1| are known.
  bool tiltH_mrad = false, tiltG_mrad = false, disk_mrad = false;
  beam_search bs;
  int num_exact_beam = 0, num_bethe_beam = 0;
  BeamList beams;  // exact beams first, 000 first of all
  // What the automatic beam search left out, per limit (empty for a manual
  // list); shown on standard output by the search, kept for the log and the
  // reflection listing.
  std::string beam_left_out;
  int num_g = 0;
  std::vector<int> cal_g;  // output reflections, indices into beams
  int num_thickness = 0;
  std::vector<double> thickness;  // angstrom
  int calc_type = 0;  // 0 one tilt, 1 line, 2 disk, 3 square
  double disksize = 0;
  double Hbgn = 0, Hend = 0, Gbgn = 0, Gend = 0;
  int num_k_points = 0, num_k_points_effective = 0;
  int num_cal_pix_side = 0;
  std::vector<Vec3> tilt;  // K_t of each point
  std::vector<k_point> kp;
  Tensor3<double> intensity;  // num_g x num_thickness x num_k_points, scaled
  // Coherent probe (COHERENT block).
  double cs = 0, defocus = 0;
  Vec3 probe{};
  // Bloch-wave branches to output (from 1), and the real-space map of the
  // Bloch states: nx x ny points over x_range along x1 and y_range along x2.
  int branch_begin = 0, branch_end = 0;
  int nx = 0, ny = 0;
  double x_range[2] = {0, 0}, y_range[2] = {0, 0};
  Vec3 x1{}, x2{};
};

}  // namespace kv
