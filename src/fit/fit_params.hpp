#pragma once
// The refinable parameters of a refinement run: every crystal and dataset
// parameter whose flag is ADJ or RST, with the field it lives in and the way
// it enters the model. The kind decides how its derivative is obtained:
// potential parameters change only the potential matrix V(g_i - g_j), so a
// derivative needs dV/dp and the perturbation of the Bloch solution; a
// thickness or thickness width only moves the exit surface; a scale is
// linear; a disk shift only moves the measured grid against the calculated
// one; geometry parameters (cell, tilt, voltage) change the whole setup.
#include <cmath>
#include <string>
#include <vector>

#include "expdata/dataset.hpp"
#include "input/crystal_data.hpp"

namespace kv {

enum class fit_kind {
  potential,   // Fg, f, coordinates, B, beta_ij, occupancy
  lattice,     // a, b, c, alpha, beta, gamma
  geometry,    // tiltH, tiltG, voltage of one dataset
  scale,       // scale factor of one thickness block
  thickness,   // thickness of one thickness block
  thickwidth,  // thickness width of one thickness block
  shift,       // H_shift or G_shift of one reflection and block
  psf,         // variance of the detector's point spread of one dataset
  background   // constant background of one dataset
};

struct fit_param {
  std::string name;       // the parameter's name in the parameter file
  fit_kind kind = fit_kind::potential;
  double* value = nullptr;  // the structure field it lives in
  fitpar* fp = nullptr;     // its refinement record
  int dataset = -1;         // -1 for crystal parameters
  int block = -1;           // thickness block (scale, thickness, width, shift)
  int reflex = -1;          // reflection (shift)
  bool shift_g = false;     // shift: G_shift rather than H_shift
  double start = 0.0;       // value at the start of the run
  // The physical range the refinement holds it to (B >= 0, occupancy 0 to 1,
  // the dataset ranges); infinite where there is none.
  double lower = -HUGE_VAL, upper = HUGE_VAL;
};

// Every ADJ and RST parameter of the crystal and the datasets in the
// lookup order of the constraints (crystal first: cell, sites, low-order
// entries; then each dataset). The pointers stay valid while cs and eds are
// not resized.
std::vector<fit_param> collect_fit_params(csd& cs, std::vector<fed>& eds);

// Writes x into the parameters' fields and re-evaluates every constrained
// parameter of the crystal and the datasets.
void apply_fit_params(const std::vector<fit_param>& ps, const double* x, csd& cs, std::vector<fed>& eds);

}  // namespace kv
