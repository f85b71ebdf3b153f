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
  double sqrt_weight = 0.0;      // sqrt(w_r / variance), the variance as the weight model says
  double sqrt_weight_obs = 0.0;  // the same with the variance from the measured value
  double w_r = 0.0;              // the reflection's weight
};

// Counting statistics of one dataset: a measured value I has the variance
// gain I + read_var (read_var = read_noise^2), in the measured file's units.
struct count_noise {
  double gain = 1.0, read_var = 0.0;
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
  // Variances from the model (fit_weight_model 1) with each dataset's
  // counting statistics.
  bool model_weights = false;
  std::vector<count_noise> noise;

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

// Gain and read-noise variance implied by measured values and their
// deviations: the least-squares line s^2 = gain I + read_var through the
// pairs (I, s^2), held to gain > 0 and read_var >= 0. A given gain (> 0) or
// read noise (>= 0) is kept and only the other is estimated.
count_noise noise_from_deviations(const std::vector<double>& obs, const std::vector<double>& sig, double gain,
                                  double read_noise);

// Variance of a point whose model value is m: gain max(m, 0) + read_var,
// at least the variance of one count (gain^2) so that a dark point keeps a
// finite weight.
double model_variance(double m, const count_noise& n);

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

// Model values (scaled, with the background) at the measured points for
// the parameter values x.
std::vector<double> model_at_points(fit_problem& fp, const double* x);

// Re-evaluates every point's weight from the model at x (fit_weight_model
// 1); returns the largest relative change of a weight.
double update_model_weights(fit_problem& fp, const double* x);

// Thickness scan of one dataset's blocks: for each block b listed, the
// chi-squared (weights from the measured values) at every thickness of
// ts[b] with the scale in closed form when it is refined (else as given),
// all from one solve per tilt.
struct block_scan {
  int block = 0;
  std::vector<double> thickness, chisq, scale;
};
std::vector<block_scan> scan_thickness(fit_problem& fp, int i, const std::vector<int>& blocks,
                                       const std::vector<std::vector<double>>& ts);

// The shortest extinction distance (angstrom) among the measured
// reflections of dataset i other than 000 (among its exact beams when 000
// is the only one).
double shortest_extinction(const fit_problem& fp, int i);

// The beam sets of the datasets, searched again with the automatic
// search limits widened by `factor` (g_max, s_g and w_g limits, xi_g limit
// and the list capacity); a dataset with a listed beam set keeps it.
std::vector<dataset_model> widened_beam_sets(fit_problem& fp, double factor);

// Fills every dataset's calculated-point table (the disk, or the square for
// calc_type 3), calculated intensities (scaled) and the measured values
// carried over with the shifts, for the fit-result files, at the current
// parameter values.
void fill_fit_results(fit_problem& fp);

// Weighted R-factor sum |obs - cal| / sum |obs| over the compared points of
// one dataset at the current parameter values.
std::vector<double> r_factors(fit_problem& fp, const double* x);

}  // namespace kv
