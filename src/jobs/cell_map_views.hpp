#pragma once
// Views of the unit-cell maps beside their VEND files: an XSF file per map
// (a DATAGRID_3D over the cell with the cell vectors and the generated atom
// positions, opened by VESTA, XCrySDen or Ovito), pictures of the three
// principal planes through the first atom (axes in angstrom, unit on the
// colour bar, atoms on the plane marked), a page that shows them, and the
// HDF5 export of the maps.
#include <string>
#include <vector>

#include "numeric/matrix.hpp"

namespace kv {

struct csd;
struct sd;

struct CellMap {
  std::string suffix;  // "ed", "pt", "ptim": file names "<base>_<suffix>.*"
  std::string title;   // "Electron density"
  std::string unit;    // "e/A^3"
  const Tensor3<double>* values = nullptr;  // [i][j][k] along a, b, c
};

// Cartesian cell vectors (a along x, b in the x-y plane), angstrom.
void cell_vectors(const double lp[6], double a[3], double b[3], double c[3]);

void write_xsf(const std::string& path, const csd& c, const CellMap& map);

// Writes the XSF files, the slice pictures "<base>_<suffix>_ab.png" (and
// _ac, _bc), the page "<base>_maps.html" and "<base>.h5".
void write_cell_map_views(const std::string& base, const std::string& job, const sd& s, const csd& c,
                          const std::vector<CellMap>& maps);

// A projected map on the plane of x1 and x2 (both perpendicular to the
// incidence): values [i][j] (x outer) over the ranges in base-vector units.
struct ProjMap {
  std::string suffix, title, unit;
  std::vector<double> values;
};

// Pictures "<base>_<suffix>_map.png" of the projected maps (square pixels,
// axes in angstrom, colour bar with the unit, the projected atom columns
// marked) on the page "<base>_maps.html".
void write_proj_map_page(const std::string& base, const csd& c, int nx, int ny, const double xr[2],
                         const double yr[2], const double x1[3], const double x2[3], const std::vector<ProjMap>& maps);

// The Bloch-state page "<base>_states.html" beside the surface-plot page:
// reads "<base>_pp.txt" and "<base>_b<j>.txt" of branches branch_begin to
// branch_end and draws the densities |B_j|^2 along x1 (averaged along x2)
// over the projected potential with the atom planes marked, and square
// maps of the potential and of every branch (axes in angstrom, colour bar
// with the unit, atom columns marked).
void write_bloch_state_page(const std::string& base, const csd& c, int nx, int ny, const double xr[2],
                            const double yr[2], const double x1[3], const double x2[3], int branch_begin,
                            int branch_end);

}  // namespace kv
