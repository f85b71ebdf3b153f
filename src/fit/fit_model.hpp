#pragma once
// The model of a refinement: for every dataset the Bloch-wave intensities of
// its measured reflections on the calculated tilt grid, averaged over the
// thickness width and with the dataset's averaging kernel, interpolated to
// the measured points (shifted by the disk shifts) and scaled; and the
// weighted residuals against the measurement with their Jacobian.
//
// The comparison runs at the measured points, so the residuals of a correct
// model are independent and a weighted sum of their squares follows a
// chi-squared distribution: the reduced chi-squared of a correct model with
// the stated noise is 1.
#include <string>
#include <vector>

#include "bloch/engine.hpp"
#include "expdata/dataset.hpp"
#include "fit/fit_params.hpp"
#include "input/crystal_data.hpp"
#include "model/simulate.hpp"
#include "sim/runctl.hpp"
#include "numeric/matrix.hpp"

namespace kv {

// One measured point that takes part in the figure of merit.
struct measured_point {
  int dataset = 0, block = 0, reflex = 0, pix = 0;
  double sqrt_weight = 0.0;  // sqrt(w_r / variance)
};

// The fixed part of one dataset's model: its beam set and the output
// reflections (the measured ones, in the intensity file's order).
struct dataset_model {
  int n_e0 = 0, n_b0 = 0;
  BeamList beams;
  std::vector<int> cal_g;  // per measured reflection: its index in beams
  int side = 0;            // calculated points along one side of the grid
};

struct fit_problem {
  csd* cs = nullptr;
  std::vector<fed>* eds = nullptr;
  std::vector<fei>* eis = nullptr;
  std::vector<dataset_model> dm;
  std::vector<fit_param> params;
  std::vector<measured_point> pts;
  std::vector<int> restrained;  // indices into params of the RST parameters
  int threads = 1;
  // Dataset parameters are constrained among each other: their derivatives
  // are then taken through a complete re-evaluation.
  bool fed_constrained = false;
  // Potential-parameter derivatives through the perturbed eigen solution
  // (true) or by solving again with a stepped potential matrix (false).
  bool analytic_derivatives = true;
  // The run-control values of the refinement: weights, steps, tolerances,
  // solvers, thickness averaging.
  RunControl rc;

  int num_residuals() const { return static_cast<int>(pts.size() + restrained.size()); }
  int num_params() const { return static_cast<int>(params.size()); }
};

// Threads of the tilt loop: num_threads of rc resolved against the cores.
int fit_thread_count(const RunControl& rc);

// Thickness points of a block and their normalised weights: 2n+1 points
// t + k w / n (k = -n..n) weighted as thickwidth_type says (0 rectangle,
// 1 triangle, 2 Gaussian with the plus-minus range at two standard
// deviations); a single point without averaging.
void thickness_points(double t, double w, int n, int type, std::vector<double>* tk, std::vector<double>* wk);

// Variance of a measured value: w_sq_coef s^2 + w_exponent_coef |I|^w_exponent.
double measured_variance(double obs, double sig, const Epsilon& eps);

// Builds the fixed part of the model from the datasets read: beam sets (the
// automatic searches are run once, here), output reflections, the list of
// compared points and the refined parameters. Fatal for every input the
// refinement cannot use.
void setup_fit_problem(fit_problem& fp, csd& cs, std::vector<fed>& eds, std::vector<fei>& eis,
                       const RunControl& rc);

// Memory of a refinement, estimated once its points and parameters are known.
JobSize fit_job_size(const fit_problem& fp);
// The current parameter values.
std::vector<double> current_params(const fit_problem& fp);

// Residuals (measured points, then restraints) at x; jac (row-major,
// num_residuals x num_params) when not null.
void eval_residuals(fit_problem& fp, const double* x, double* res, double* jac);

// Fills every dataset's calculated-point table (the disk, or the square for
// calc_type 3), calculated intensities (scaled) and the measured values
// carried over with the shifts, for the fit-result files, at the current
// parameter values.
void fill_fit_results(fit_problem& fp);

// Weighted R-factor sum |obs - cal| / sum |obs| over the compared points of
// one dataset at the current parameter values.
std::vector<double> r_factors(fit_problem& fp, const double* x);

}  // namespace kv
