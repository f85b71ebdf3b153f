#pragma once
// The refinement job ("FIT_MODE"): structure factors, Debye-Waller factors,
// coordinates, occupancies, cell, thickness, scale and geometry refined
// against measured CBED intensities by Levenberg-Marquardt least squares.
#include <cstdio>
#include <string>
#include <vector>

#include "fit/fit_model.hpp"

namespace kv {

// One line of the refinement's progress.
struct fit_iteration {
  int iteration = 0;
  double chisq = 0, reduced = 0, lambda = 0, seconds = 0;
};

struct fit_outcome {
  std::vector<double> start, final_x, sigma;  // per refined parameter
  std::vector<std::vector<double>> corr;
  double chisq = 0, reduced = 0;
  int dof = 0;
  std::string stop_reason;
  std::vector<fit_iteration> history;
  std::vector<std::string> dropped;  // parameter combinations left out by the SVD
  std::vector<double> covariance;    // (J^T J)^-1, P x P row-major, unscaled
  std::vector<double> residuals, jacobian;  // at the refined values (jacobian M x P row-major)
};

// The beam-convergence check: the change of every refined parameter that a
// beam set searched with limits widened by `factor` would cause, to first
// order, and that change in standard uncertainties.
struct beam_check_result {
  double factor = 0.0;
  std::vector<int> beams_before, beams_after;  // per dataset
  std::vector<double> delta, in_su;            // per refined parameter
};

// Widening of the beam-search limits in the check, and the change (in
// standard uncertainties) above which it warns.
inline constexpr double kBeamCheckFactor = 1.5;
inline constexpr double kBeamCheckWarn = 0.3;

// The crystal block and FIT_CALCULATION_CONDITION with every dataset and
// its intensity file, from the stream's position (after the run control).
void read_fit_input(FILE* fp, const std::string& base_name, csd& cs, int* max_iter, std::vector<fed>& eds,
                    std::vector<fei>& eis);

// Reads the crystal and FIT_CALCULATION_CONDITION from fp (the run control
// is read already), refines and writes the results named from base_name.
void qz_fit(FILE* fp, FILE* log, const std::string& base_name);

// The minimisation itself on a prepared problem: x starts at the current
// values; on return the fields hold the refined values.
fit_outcome run_refinement(fit_problem& fp, int max_iter, FILE* log);

// The beam-convergence check at the refined values of o.
beam_check_result beam_convergence_check(fit_problem& fp, const fit_outcome& o, double factor);

}  // namespace kv
