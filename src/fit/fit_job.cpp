#include "fit/fit_job.hpp"

#include <ceres/ceres.h>

#include <Eigen/Dense>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "expdata/dataset_ranges.hpp"
#include "expdata/fed_constraints.hpp"
#include "expdata/fit_files.hpp"
#include "fit/fit_report.hpp"
#include "input/crystal_data.hpp"
#include "results/fit_hdf5.hpp"
#include "sim/error.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/linereader.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"
#include "vis/fit_page.hpp"

namespace kv {

namespace {

using Mat = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The whole model as one residual block over all measured points, with its
// own Jacobian. The last evaluation is kept: Ceres asks for the Jacobian at
// a point whose residuals it has just evaluated, and the convergence tests
// need it.
class fit_cost final : public ceres::CostFunction {
 public:
  explicit fit_cost(fit_problem& fp) : fp_(fp) {
    set_num_residuals(fp.num_residuals());
    mutable_parameter_block_sizes()->push_back(fp.num_params());
  }

  bool Evaluate(double const* const* parameters, double* residuals, double** jacobians) const override {
    const int P = fp_.num_params(), M = fp_.num_residuals();
    const double* x = parameters[0];
    const bool want_jac = jacobians && jacobians[0];
    const bool same_x = !last_x_.empty() && std::equal(x, x + P, last_x_.begin());
    if (!(same_x && (!want_jac || have_jac_))) {
      last_x_.assign(x, x + P);
      last_res_.assign(static_cast<std::size_t>(M), 0.0);
      have_jac_ = want_jac;
      if (want_jac) last_jac_.assign(static_cast<std::size_t>(M) * P, 0.0);
      eval_residuals(fp_, x, last_res_.data(), want_jac ? last_jac_.data() : nullptr);
    }
    std::copy(last_res_.begin(), last_res_.end(), residuals);
    if (want_jac) std::copy(last_jac_.begin(), last_jac_.end(), jacobians[0]);
    for (int n = 0; n < M; ++n)
      if (!std::isfinite(residuals[n])) return false;
    return true;
  }

  // Jacobian at the last point evaluated with derivatives.
  Mat jacobian() const {
    const int P = fp_.num_params(), M = fp_.num_residuals();
    return Eigen::Map<const Mat>(last_jac_.data(), M, P);
  }
  bool has_jacobian() const { return have_jac_; }

 private:
  fit_problem& fp_;
  mutable std::vector<double> last_x_, last_res_, last_jac_;
  mutable bool have_jac_ = false;
};

// Covariance (J^T J)^-1 through the singular value decomposition of J;
// singular values below rcond times the largest are dropped. The dropped
// directions come back as the columns of *null.
Mat covariance(const Mat& J, double rcond, Mat* null) {
  Eigen::JacobiSVD<Eigen::MatrixXd> svd(J, Eigen::ComputeThinV);
  const Eigen::VectorXd s = svd.singularValues();
  const Eigen::MatrixXd V = svd.matrixV();
  const int P = static_cast<int>(J.cols());
  Mat C = Mat::Zero(P, P);
  std::vector<int> drop;
  const double smax = s.size() ? s(0) : 0.0;
  for (int k = 0; k < s.size(); ++k) {
    if (!(s(k) > rcond * smax)) {
      drop.push_back(k);
      continue;
    }
    C += (V.col(k) * V.col(k).transpose()) / (s(k) * s(k));
  }
  if (null) {
    *null = Mat(P, static_cast<int>(drop.size()));
    for (std::size_t d = 0; d < drop.size(); ++d) null->col(static_cast<int>(d)) = V.col(drop[d]);
  }
  return C;
}

constexpr double kRcond = 1e-9;

std::string combination_text(const fit_problem& fp, const Eigen::VectorXd& v) {
  std::string s;
  for (int j = 0; j < v.size(); ++j) {
    if (std::fabs(v(j)) < 0.05) continue;
    s += strprintf("%s%.3f %s", s.empty() ? "" : " + ", v(j), fp.params[j].name.c_str());
  }
  return s;
}

std::string names_in(const fit_problem& fp, const Mat& null) {
  std::string s;
  for (int j = 0; j < null.rows(); ++j) {
    bool involved = false;
    for (int c = 0; c < null.cols(); ++c) involved = involved || std::fabs(null(j, c)) >= 0.05;
    if (involved) s += (s.empty() ? "" : ", ") + fp.params[j].name;
  }
  return s;
}

// Scaled Jacobian columns (each divided by its norm) for the rank test, so
// that parameters of very different units are compared fairly.
Mat column_scaled(const Mat& J, std::vector<double>* norms) {
  Mat S = J;
  norms->assign(static_cast<std::size_t>(J.cols()), 0.0);
  for (int j = 0; j < J.cols(); ++j) {
    const double n = J.col(j).norm();
    (*norms)[j] = n;
    if (n > 0) S.col(j) /= n;
  }
  return S;
}

// Checks at the start point: every parameter changes some intensity, and
// the normal matrix is regular (or, with svd_flag, which combinations the
// SVD will leave out).
void check_start_jacobian(const fit_problem& fp, const Mat& J, FILE* log, fit_outcome* out) {
  const int P = fp.num_params();
  const int M = static_cast<int>(fp.pts.size());
  for (int j = 0; j < P; ++j) {
    if (fp.params[j].fp->flg == kFlgRst) continue;  // the restraint alone keeps it determined
    if (J.block(0, j, M, 1).norm() == 0.0)
      fatal_out("$$ Parameter %s has no influence on any intensity. Abort.\n", fp.params[j].name.c_str());
  }
  std::vector<double> norms;
  const Mat S = column_scaled(J, &norms);
  Mat null;
  covariance(S, kRcond, &null);
  if (null.cols() == 0) return;
  if (fp.rc.epsilon.svd_flag == 0)
    fatal_out("$$ Singular normal matrix: the parameters %s cannot be determined independently. Abort.\n",
              names_in(fp, null).c_str());
  for (int c = 0; c < null.cols(); ++c) {
    const std::string t = combination_text(fp, null.col(c));
    out->dropped.push_back(t);
    qz_fprintf_stdo(log, "$$ SVD: the combination %s is not determined by the data and is left out.\n", t.c_str());
  }
}

// Progress line of every iteration; the absolute chi-squared tolerance and
// the parameter tolerance (a step smaller than tol_parameter standard
// uncertainties in every parameter) end the loop.
class fit_progress final : public ceres::IterationCallback {
 public:
  // offset: the iterations of earlier runs (the count goes on across the
  // reweighting cycles); quiet: no progress lines (the start search).
  fit_progress(const fit_problem& fp, const fit_cost& cost, const double* x, int dof, FILE* log,
               fit_outcome* out, int offset = 0, bool quiet = false)
      : fp_(fp), cost_(cost), x_(x), dof_(dof), log_(log), out_(out), prev_(x, x + fp.num_params()),
        offset_(offset), quiet_(quiet) {}

  ceres::CallbackReturnType operator()(const ceres::IterationSummary& s) override {
    fit_iteration it;
    it.iteration = offset_ + s.iteration;
    it.chisq = 2.0 * s.cost;
    it.reduced = dof_ > 0 ? it.chisq / dof_ : 0.0;
    it.lambda = s.trust_region_radius > 0 ? 1.0 / s.trust_region_radius : 0.0;
    it.seconds = s.cumulative_time_in_seconds;
    out_->history.push_back(it);
    if (!quiet_) {
      qz_fprintf_stdo(log_, "$$ iteration %3d  chisq = %.8g  reduced chisq = %.6g  lambda = %.3g  %.2f s%s\n",
                      it.iteration, it.chisq, it.reduced, it.lambda, it.seconds,
                      s.step_is_successful ? "" : "  (step rejected)");
      std::fflush(stdout);
    }
    if (s.iteration == 0 || !s.step_is_successful) return ceres::SOLVER_CONTINUE;
    const int P = fp_.num_params();
    bool small = cost_.has_jacobian();
    if (small) {
      Mat null;
      const Mat C = covariance(cost_.jacobian(), kRcond, &null);
      for (int j = 0; j < P && small; ++j) {
        const double sd = std::sqrt(std::max(C(j, j), 0.0));
        small = std::fabs(x_[j] - prev_[j]) <= fp_.rc.epsilon.tol_parameter * sd;
      }
    }
    prev_.assign(x_, x_ + P);
    if (std::fabs(2.0 * s.cost_change) < fp_.rc.epsilon.tol_chisq_abs) {
      out_->stop_reason = strprintf("chi-squared changed by less than tol_chisq_abs = %g", fp_.rc.epsilon.tol_chisq_abs);
      return ceres::SOLVER_TERMINATE_SUCCESSFULLY;
    }
    if (small) {
      out_->stop_reason = strprintf("no parameter moved by more than tol_parameter = %g standard uncertainties",
                                    fp_.rc.epsilon.tol_parameter);
      return ceres::SOLVER_TERMINATE_SUCCESSFULLY;
    }
    return ceres::SOLVER_CONTINUE;
  }

 private:
  const fit_problem& fp_;
  const fit_cost& cost_;
  const double* x_;
  int dof_;
  FILE* log_;
  fit_outcome* out_;
  std::vector<double> prev_;
  int offset_;
  bool quiet_;
};

ceres::Solver::Options solver_options(int max_iter, const Epsilon& eps) {
  ceres::Solver::Options o;
  o.minimizer_type = ceres::TRUST_REGION;
  o.trust_region_strategy_type = ceres::LEVENBERG_MARQUARDT;
  o.linear_solver_type = ceres::DENSE_QR;
  o.max_num_iterations = std::max(0, max_iter);
  o.function_tolerance = eps.tol_chisq_rel;
  o.parameter_tolerance = 0.0;  // tested per parameter by fit_progress
  o.gradient_tolerance = 0.0;
  // Marquardt's lambda is the inverse of the trust-region radius.
  o.initial_trust_region_radius = eps.tol_lambda > 0 ? eps.tol_lambda : 1e4;
  o.min_trust_region_radius = eps.marq_lambda_max > 0 ? 1.0 / eps.marq_lambda_max : 1e-32;
  o.jacobi_scaling = eps.flag_modified_marquardt != 0;
  o.num_threads = 1;
  o.logging_type = ceres::SILENT;
  o.minimizer_progress_to_stdout = false;
  o.update_state_every_iteration = true;
  return o;
}

std::string ceres_reason(const ceres::Solver::Summary& s, const Epsilon& eps) {
  switch (s.termination_type) {
    case ceres::CONVERGENCE:
      if (s.message.find("Function tolerance") != std::string::npos)
        return strprintf("relative change of chi-squared below tol_chisq_rel = %g", eps.tol_chisq_rel);
      if (s.message.find("trust region radius") != std::string::npos)
        return strprintf("lambda exceeded marq_lambda_max = %g", eps.marq_lambda_max);
      return s.message;
    case ceres::NO_CONVERGENCE:
      return "maximum number of iterations reached";
    default:
      return s.message;
  }
}

}  // namespace

namespace {

// One Levenberg-Marquardt run from x (updated in place) at the current
// weights. cost: a cost already evaluated at x, or null.
void lm_run(fit_problem& fp, std::vector<double>& x, int max_iter, FILE* log, fit_outcome* out,
            std::unique_ptr<fit_cost> owned, bool quiet) {
  if (!owned) owned = std::make_unique<fit_cost>(fp);
  fit_cost* cost = owned.get();
  ceres::Problem::Options po;
  po.cost_function_ownership = ceres::TAKE_OWNERSHIP;
  ceres::Problem problem(po);
  problem.AddResidualBlock(owned.release(), nullptr, x.data());
  // Each parameter stays in its physical range at every step.
  for (int j = 0; j < fp.num_params(); ++j) {
    const fit_param& p = fp.params[static_cast<std::size_t>(j)];
    if (std::isfinite(p.lower)) problem.SetParameterLowerBound(x.data(), j, p.lower);
    if (std::isfinite(p.upper)) problem.SetParameterUpperBound(x.data(), j, p.upper);
  }
  ceres::Solver::Options options = solver_options(max_iter, fp.rc.epsilon);
  const int offset = out->history.empty() ? 0 : out->history.back().iteration + 1;
  fit_progress progress(fp, *cost, x.data(), out->dof, log, out, offset, quiet);
  options.callbacks.push_back(&progress);
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  if (out->stop_reason.empty()) out->stop_reason = ceres_reason(summary, fp.rc.epsilon);
}

double chisq_at(fit_problem& fp, const std::vector<double>& x) {
  std::vector<double> res(static_cast<std::size_t>(fp.num_residuals()));
  eval_residuals(fp, x.data(), res.data(), nullptr);
  double c = 0.0;
  for (double r : res) c += r * r;
  return c;
}

// Reweighting cycles: a Levenberg-Marquardt run at fixed weights, then the
// weights from the refined model, until no weight changes by more than
// kWeightTol. The fixed point solves the Poisson score equations
// sum (y - m) / var dm/dp = 0 with var proportional to m (quasi-likelihood).
constexpr double kWeightTol = 1e-3;
constexpr int kMaxWeightCycles = 5;

// Iterations of each short fit of the start search; the most starts it
// tries, among the scan's minima whose chi-squared lies within a factor
// kSearchRatio of the lowest (a single such minimum is taken without a fit).
constexpr int kSearchIterations = 2;
constexpr int kSearchStarts = 3;
constexpr double kSearchRatio = 2.0;
// A short fit whose chi-squared is below kSearchGoodFit times the degrees of
// freedom lies in the basin of the noise-limited minimum: the search ends.
constexpr double kSearchGoodFit = 2.0;

// Indices of the local minima of a scan, lowest first (at most n).
std::vector<int> best_minima(const std::vector<double>& c, int n) {
  std::vector<int> m;
  for (int k = 0; k < static_cast<int>(c.size()); ++k) {
    const bool left = k == 0 || c[k] <= c[k - 1];
    const bool right = k + 1 == static_cast<int>(c.size()) || c[k] <= c[k + 1];
    if (left && right) m.push_back(k);
  }
  std::sort(m.begin(), m.end(), [&](int a, int b) { return c[a] < c[b] || (c[a] == c[b] && a < b); });
  if (static_cast<int>(m.size()) > n) m.resize(static_cast<std::size_t>(n));
  return m;
}

// A short Levenberg-Marquardt fit from xs (xs comes back with the result);
// returns its chi-squared.
double short_fit(fit_problem& fp, std::vector<double>& xs, fit_outcome* out, FILE* log) {
  apply_fit_params(fp.params, xs.data(), *fp.cs, *fp.eds);
  fit_problem sub = fp;
  std::vector<double> y = xs;
  // Weights from the measured values: a model far from the data would give
  // its own dark points too much weight.
  sub.model_weights = false;
  for (measured_point& p : sub.pts) p.sqrt_weight = p.sqrt_weight_obs;
  out->dof = std::max(1, sub.num_residuals() - sub.num_params());
  lm_run(sub, y, kSearchIterations, log, out, nullptr, true);
  xs = y;
  const double chi = chisq_at(sub, y);
  apply_fit_params(fp.params, xs.data(), *fp.cs, *fp.eds);
  return chi;
}

// The start search: every refined thickness is scanned over +-30 % of its
// start in steps of at most a tenth of the shortest extinction distance of
// the measured reflections, the scale in closed form at each step; short
// fits of thickness, scale and background then start from the best minima
// (the c-th start takes every block's c-th best minimum) and the lowest
// chi-squared over all parameters is kept. x comes back as the
// chosen start.
void start_search(fit_problem& fp, std::vector<double>& x, FILE* log) {
  const int P = fp.num_params();
  struct scanned {
    int param, scale_param;
    block_scan scan;
    std::vector<int> minima;
  };
  std::vector<scanned> all;
  apply_fit_params(fp.params, x.data(), *fp.cs, *fp.eds);
  for (int i = 0; i < static_cast<int>(fp.eds->size()); ++i) {
    std::vector<int> blocks, params, scales;
    std::vector<std::vector<double>> ts;
    const double xi = shortest_extinction(fp, i);
    for (int j = 0; j < P; ++j) {
      const fit_param& q = fp.params[j];
      if (q.kind != fit_kind::thickness || q.dataset != i || fp.fed_constrained) continue;
      const double t0 = x[j], step = std::min(xi / 10.0, 0.6 * t0);
      const int n = std::max(2, static_cast<int>(std::ceil(0.6 * t0 / step)));
      std::vector<double> t;
      for (int k = 0; k <= n; ++k) t.push_back(0.7 * t0 + 0.6 * t0 * k / n);
      int sj = -1;
      for (int k = 0; k < P; ++k)
        if (fp.params[k].kind == fit_kind::scale && fp.params[k].dataset == i && fp.params[k].block == q.block) sj = k;
      blocks.push_back(q.block);
      params.push_back(j);
      scales.push_back(sj);
      ts.push_back(t);
      qz_fprintf_stdo(log, "$$ Start search: dataset %d block %d, thickness %.6g to %.6g in %d steps of %.4g "
                      "(a tenth of the shortest extinction distance %.5g or finer)\n",
                      i, q.block, t.front(), t.back(), n, t[1] - t[0], xi);
    }
    if (blocks.empty()) continue;
    const std::vector<block_scan> scans = scan_thickness(fp, i, blocks, ts);
    for (std::size_t c = 0; c < scans.size(); ++c) {
      scanned s{params[c], scales[c], scans[c], best_minima(scans[c].chisq, kSearchStarts)};
      while (s.minima.size() > 1 && s.scan.chisq[s.minima.back()] > kSearchRatio * s.scan.chisq[s.minima.front()])
        s.minima.pop_back();
      for (int k : s.minima)
        qz_fprintf_stdo(log, "$$   minimum at thickness %.6g: chisq = %.8g (scale %.6g)\n", s.scan.thickness[k],
                        s.scan.chisq[k], s.scan.scale[k]);
      all.push_back(s);
    }
  }
  if (all.empty()) {
    qz_fprintf_stdo(log, "$$ Start search: no refined thickness to scan; the refinement starts as given.\n");
    return;
  }
  int starts = 0;
  for (const scanned& s : all) starts = std::max(starts, static_cast<int>(s.minima.size()));
  std::vector<double> best_x = x;
  double best = -1.0;
  for (int c = 0; c < starts; ++c) {
    std::vector<double> xs = x;
    for (const scanned& s : all) {
      const int k = s.minima[std::min<std::size_t>(static_cast<std::size_t>(c), s.minima.size() - 1)];
      xs[s.param] = s.scan.thickness[k];
      if (s.scale_param >= 0) xs[s.scale_param] = s.scan.scale[k];
    }
    fit_outcome tmp;
    if (starts == 1) {  // one candidate: taken as the scan gives it
      x = xs;
      apply_fit_params(fp.params, x.data(), *fp.cs, *fp.eds);
      if (fp.model_weights) update_model_weights(fp, x.data());
      std::string where;
      for (const scanned& s : all) where += strprintf(" %s = %.6g", fp.params[s.param].name.c_str(), x[s.param]);
      qz_fprintf_stdo(log, "$$ Start search chose:%s (the one minimum within a factor %g of the lowest)\n",
                      where.c_str(), kSearchRatio);
      return;
    }
    const double chi = short_fit(fp, xs, &tmp, log);
    std::string where;
    for (const scanned& s : all) where += strprintf(" %s = %.6g", fp.params[s.param].name.c_str(), xs[s.param]);
    qz_fprintf_stdo(log, "$$ Start %d:%s after %d iterations: chisq = %.8g\n", c, where.c_str(),
                    tmp.history.empty() ? 0 : tmp.history.back().iteration, chi);
    if (best < 0.0 || chi < best) {
      best = chi;
      best_x = xs;
    }
    // A start that already fits within the noise needs no rival.
    if (chi <= kSearchGoodFit * (fp.num_residuals() - P)) {
      qz_fprintf_stdo(log, "$$ Start %d fits within the noise (chisq below %g x the degrees of freedom): no further "
                      "start is tried.\n", c, kSearchGoodFit);
      break;
    }
  }
  x = best_x;
  if (fp.model_weights) update_model_weights(fp, x.data());  // the chosen start's weights, not the last tried
  std::string where;
  for (const scanned& s : all) where += strprintf(" %s = %.6g", fp.params[s.param].name.c_str(), x[s.param]);
  qz_fprintf_stdo(log, "$$ Start search chose:%s (chisq = %.8g)\n", where.c_str(), best);
  apply_fit_params(fp.params, x.data(), *fp.cs, *fp.eds);
}

}  // namespace

fit_outcome run_refinement(fit_problem& fp, int max_iter, FILE* log) {
  fit_outcome out;
  const int P = fp.num_params(), M = fp.num_residuals();
  out.dof = M - P;
  if (out.dof <= 0)
    fatal_out("$$ %d residuals for %d refined parameters: nothing is left to estimate the fit. Abort.\n", M, P);
  std::vector<double> x = current_params(fp);
  out.start = x;
  if (fp.model_weights) update_model_weights(fp, x.data());

  // Owned here until the ceres problem takes it, so that a refusal of the
  // start point does not leak it.
  auto owned_cost = std::make_unique<fit_cost>(fp);
  fit_cost* cost = owned_cost.get();
  {
    std::vector<double> res(static_cast<std::size_t>(M));
    std::vector<double*> jp{nullptr};
    std::vector<double> jac(static_cast<std::size_t>(M) * P);
    jp[0] = jac.data();
    const double* xp = x.data();
    cost->Evaluate(&xp, res.data(), jp.data());
    check_start_jacobian(fp, cost->jacobian(), log, &out);
  }
  const bool search = fp.rc.epsilon.fit_global_search == 1;
  const auto t0 = std::chrono::steady_clock::now();
  if (search) {
    owned_cost.reset();
    cost = nullptr;
    start_search(fp, x, log);
  }
  const auto t1 = std::chrono::steady_clock::now();

  lm_run(fp, x, max_iter, log, &out, std::move(owned_cost), false);
  for (int cycle = 1; fp.model_weights; ++cycle) {
    const double change = update_model_weights(fp, x.data());
    qz_fprintf_stdo(log, "$$ Weights from the model (cycle %d): largest relative change %.3g\n", cycle, change);
    if (change < kWeightTol || cycle >= kMaxWeightCycles) break;
    out.stop_reason.clear();
    lm_run(fp, x, max_iter, log, &out, nullptr, false);
  }
  if (search) {
    const auto t2 = std::chrono::steady_clock::now();
    qz_fprintf_stdo(log, "$$ Wall time: start search %.2f s, refinement %.2f s\n",
                    std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count());
  }

  // Final values with their Jacobian.
  std::vector<double> res(static_cast<std::size_t>(M)), jac(static_cast<std::size_t>(M) * P);
  eval_residuals(fp, x.data(), res.data(), jac.data());
  out.final_x = x;
  out.chisq = 0.0;
  for (double r : res) out.chisq += r * r;
  out.reduced = out.chisq / out.dof;
  const Mat J = Eigen::Map<const Mat>(jac.data(), M, P);
  Mat null;
  const Mat C = covariance(J, fp.rc.epsilon.svd_flag ? kRcond : 0.0, &null);
  out.sigma.assign(static_cast<std::size_t>(P), 0.0);
  out.corr.assign(static_cast<std::size_t>(P), std::vector<double>(static_cast<std::size_t>(P), 0.0));
  for (int j = 0; j < P; ++j) out.sigma[j] = std::sqrt(std::max(C(j, j), 0.0) * out.reduced);
  for (int j = 0; j < P; ++j)
    for (int k = 0; k < P; ++k) {
      const double d = std::sqrt(C(j, j) * C(k, k));
      out.corr[j][k] = d > 0 ? C(j, k) / d : 0.0;
    }
  out.residuals = res;
  out.jacobian = jac;
  out.covariance.assign(static_cast<std::size_t>(P) * P, 0.0);
  for (int j = 0; j < P; ++j)
    for (int k = 0; k < P; ++k) out.covariance[static_cast<std::size_t>(j) * P + k] = C(j, k);
  return out;
}

beam_check_result beam_convergence_check(fit_problem& fp, const fit_outcome& o, double factor) {
  beam_check_result b;
  b.factor = factor;
  const int P = fp.num_params(), M = static_cast<int>(fp.pts.size());
  // The refined model at the measured points, from the final residuals.
  std::vector<double> m0(static_cast<std::size_t>(M));
  for (int n = 0; n < M; ++n) {
    const measured_point& p = fp.pts[n];
    m0[n] = (*fp.eis)[p.dataset].obs_int(p.reflex, p.block, p.pix) - o.residuals[n] / p.sqrt_weight;
  }
  std::vector<dataset_model> wide = widened_beam_sets(fp, factor);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    b.beams_before.push_back(fp.dm[i].n_e0 + fp.dm[i].n_b0);
    b.beams_after.push_back(wide[i].n_e0 + wide[i].n_b0);
  }
  std::swap(fp.dm, wide);
  const std::vector<double> m1 = model_at_points(fp, o.final_x.data());
  std::swap(fp.dm, wide);
  apply_fit_params(fp.params, o.final_x.data(), *fp.cs, *fp.eds);
  // The refit at the larger set moves the parameters by
  // dp = (J^T J)^-1 J^T (sqrt(w) dm), J the weighted Jacobian of the residuals
  // at the refined values.
  const std::vector<double>& jac = o.jacobian;
  Eigen::VectorXd g = Eigen::VectorXd::Zero(P);
  for (int n = 0; n < M; ++n) {
    const double d = fp.pts[n].sqrt_weight * (m1[n] - m0[n]);
    for (int j = 0; j < P; ++j) g(j) += jac[static_cast<std::size_t>(n) * P + j] * d;
  }
  const Eigen::Map<const Mat> C(o.covariance.data(), P, P);
  const Eigen::VectorXd dp = C * g;
  for (int j = 0; j < P; ++j) {
    b.delta.push_back(dp(j));
    b.in_su.push_back(o.sigma[j] > 0 ? dp(j) / o.sigma[j] : 0.0);
  }
  return b;
}

namespace {

void report(const fit_problem& fp, const fit_outcome& o, const std::vector<double>& r_start,
            const std::vector<double>& r_end, FILE* log) {
  qz_fprintf_stdo(log, "\n$$ Refinement stopped: %s.\n", o.stop_reason.c_str());
  qz_fprintf_stdo(log, "$$ chisq = %.8g for %d degrees of freedom (%d points, %d restraints, %d parameters)\n",
                  o.chisq, o.dof, static_cast<int>(fp.pts.size()), static_cast<int>(fp.restrained.size()),
                  fp.num_params());
  qz_fprintf_stdo(log, "$$ reduced chisq = %.6g\n", o.reduced);
  for (std::size_t i = 0; i < r_end.size(); ++i)
    qz_fprintf_stdo(log, "$$ dataset %d: R = %.6g (start %.6g)\n", static_cast<int>(i), r_end[i], r_start[i]);
  qz_fprintf_stdo(log, "\n$$ Refined parameters (standard uncertainty scaled by the reduced chisq)\n");
  qz_fprintf_stdo(log, "%-20s %16s %16s %14s\n", "name", "start", "final", "s.u.");
  for (int j = 0; j < fp.num_params(); ++j)
    qz_fprintf_stdo(log, "%-20s %16.8g %16.8g %14.6g\n", fp.params[j].name.c_str(), o.start[j], o.final_x[j],
                    o.sigma[j]);
  qz_fprintf_stdo(log, "\n$$ Correlations above corr_threshold = %g\n", fp.rc.epsilon.corr_threshold);
  int n = 0;
  for (int j = 0; j < fp.num_params(); ++j)
    for (int k = j + 1; k < fp.num_params(); ++k)
      if (std::fabs(o.corr[j][k]) > fp.rc.epsilon.corr_threshold) {
        qz_fprintf_stdo(log, "  %s  %s  %.4f\n", fp.params[j].name.c_str(), fp.params[k].name.c_str(), o.corr[j][k]);
        ++n;
      }
  if (n == 0) qz_fprintf_stdo(log, "  (none)\n");
}

// The point spread is refined as its variance v = psf_width^2; its width
// and the width's uncertainty s.u.(v) / (2 sqrt(v)) are reported as well.
void report_detector(const fit_problem& fp, const fit_outcome& o, FILE* log) {
  for (int j = 0; j < fp.num_params(); ++j) {
    if (fp.params[j].kind != fit_kind::psf) continue;
    const double v = o.final_x[j];
    if (v > 0.0)
      qz_fprintf_stdo(log, "$$ Dataset %d: psf_width = %.6g +- %.3g (the variance %s above)\n", fp.params[j].dataset,
                      std::sqrt(v), o.sigma[j] / (2.0 * std::sqrt(v)), fp.params[j].name.c_str());
    else
      qz_fprintf_stdo(log, "$$ Dataset %d: the point spread's variance %s refined to %.4g <= 0: the data are not "
                      "blurred beyond the model; psf_width is written back as 0.\n",
                      fp.params[j].dataset, fp.params[j].name.c_str(), v);
  }
}

void report_beam_check(const fit_problem& fp, const beam_check_result& b, FILE* log) {
  qz_fprintf_stdo(log, "\n$$ Beam-convergence check: the beam-search limits widened by %g\n", b.factor);
  for (std::size_t i = 0; i < b.beams_before.size(); ++i) {
    if ((*fp.eds)[i].bs.flag_bs % 10 == 0)
      qz_fprintf_stdo(log, "$$ dataset %d: listed beams (%d), not widened\n", static_cast<int>(i), b.beams_before[i]);
    else
      qz_fprintf_stdo(log, "$$ dataset %d: %d beams, %d with the wider limits\n", static_cast<int>(i), b.beams_before[i],
                      b.beams_after[i]);
  }
  qz_fprintf_stdo(log, "%-20s %16s %14s\n", "name", "change", "change/s.u.");
  bool warn = false;
  for (int j = 0; j < fp.num_params(); ++j) {
    const bool big = std::fabs(b.in_su[j]) > kBeamCheckWarn;
    warn = warn || big;
    qz_fprintf_stdo(log, "%-20s %16.6g %14.3f%s\n", fp.params[j].name.c_str(), b.delta[j], b.in_su[j], big ? "  !" : "");
  }
  if (warn)
    qz_fprintf_stdo(log, "$$ Warning: the larger beam set would move a parameter by more than %g standard "
                    "uncertainties; the beam set has not converged. Widen the beam search.\n", kBeamCheckWarn);
  else
    qz_fprintf_stdo(log, "$$ The beam set has converged: no parameter would move by more than %g standard "
                    "uncertainties.\n", kBeamCheckWarn);
}

void write_history(const fit_outcome& o, const std::string& base_name) {
  const std::string data = base_name + "_chisq.txt", plot = base_name + "_chisq.plt";
  {
    OutputFile f = qz_fopen_chk_wmode(data);
    std::fprintf(f.get(), "# iteration  chisq  reduced_chisq  lambda  seconds\n");
    for (const fit_iteration& it : o.history)
      std::fprintf(f.get(), "%d  %.10g  %.10g  %.6g  %.4f\n", it.iteration, it.chisq, it.reduced, it.lambda,
                   it.seconds);
    qz_fclose(f);
  }
  OutputFile f = qz_fopen_chk_wmode(plot);
  std::fprintf(f.get(),
               "set terminal png\nset output %s\nset xlabel \"iteration\"\n"
               "set ylabel \"chi-squared\"\nset logscale y\nplot %s using 1:2 with linespoints title "
               "\"chi-squared\"\n",
               gp_quote(base_name + "_chisq.png").c_str(), gp_quote(data).c_str());
  qz_fclose(f);
}

void write_script(int num_dataset, const std::string& base_name) {
  const std::string name = base_name + "_fit_tlv.txt";
  OutputFile f = qz_fopen_chk_wmode(name);
  FILE* fp = f.get();
  std::fprintf(fp, "TALVIS_SCRIPT\n# script for talvis.\nFIT_VISUAL_MODE\n#\n");
  std::fprintf(fp, "VIS_PARAMS\n# gamma_coef mag(integer) cont_reverse_flag(1/0) preset_max_val\n1.0  2  1\n#\n");
  for (int i = 0; i < num_dataset; ++i) {
    std::fprintf(fp, "# dataset %d: start, then refined\n", i);
    std::fprintf(fp, "FIT_VISUALIZE\n%s_fit_fst%d.txt\n", base_name.c_str(), i);
    std::fprintf(fp, "FIT_VISUALIZE\n%s_fit_res%d.txt\n", base_name.c_str(), i);
  }
  std::fprintf(fp, "#\n# chi-squared against iteration, with links to the pages above\n");
  std::fprintf(fp, "CHISQ_PLOT\n%s_chisq.txt\n", base_name.c_str());
  std::fprintf(fp, "#\n# the fit page: observed against calculated, profiles, parameters, correlations\n");
  std::fprintf(fp, "FIT_PAGE\n%s_fit.h5\n", base_name.c_str());
  qz_fclose(f);
  std::printf("\nThe script for visualization ==> %s\nUsage: talvis %s\n", name.c_str(), name.c_str());
}

}  // namespace

namespace {

std::string stream_text(FILE* fp) {
  std::string text;
  std::rewind(fp);
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, fp)) > 0;) text.append(buf, n);
  return text;
}

// The text of the fit-mode file (from its open stream) and of every
// measured-intensity file, for the fit record.
std::vector<std::pair<std::string, std::string>> fit_inputs(FILE* fp, const std::vector<fed>& eds) {
  std::vector<std::pair<std::string, std::string>> in;
  const std::string name = reading_file(fp);
  in.emplace_back(name.empty() ? "fit-mode parameter file" : name, stream_text(fp));
  for (const fed& ed : eds) {
    File f(std::fopen(ed.int_file.c_str(), "rb"));
    if (f) in.emplace_back(ed.int_file, stream_text(f.get()));
  }
  return in;
}

}  // namespace

void read_fit_input(FILE* fp, const std::string& base_name, csd& cs, int* max_iter, std::vector<fed>& eds,
                    std::vector<fei>& eis) {
  input_csd_cstr(cs, fp, base_name);
  chk_data("FIT_CALCULATION_CONDITION{", fp);
  int num_dataset = 0;
  read_ITEM_EXP_NUM(max_iter, &num_dataset, fp);
  if (num_dataset < 1) fatal_out("$$ Number of experimental datasets = %d: at least one is needed. Abort.\n", num_dataset);
  const lattice_metric lm = bravai(cs.lp);
  eds.assign(static_cast<std::size_t>(num_dataset), fed{});
  eis.assign(static_cast<std::size_t>(num_dataset), fei{});
  for (int i = 0; i < num_dataset; ++i) input_fit_exp_dataset(eds[i], eis[i], fp, lm);
  chk_data("}FIT_CALCULATION_CONDITION", fp);
  check_dataset_names(eds);
  constraint_fed(num_dataset, eds);
  check_dataset_ranges(eds);
}

void qz_fit(FILE* fp, FILE* log, const std::string& base_name) {
  csd cs;
  int max_iter = 0;
  std::vector<fed> eds;
  std::vector<fei> eis;
  read_fit_input(fp, base_name, cs, &max_iter, eds, eis);
  const int num_dataset = static_cast<int>(eds.size());
  // A measured file named like one of the refinement's outputs is found
  // now, not when the fit is over.
  for (int i = 0; i < num_dataset; ++i) {
    refuse_input_overwrite(strprintf("%s_fit_fst%d.txt", base_name.c_str(), i));
    refuse_input_overwrite(strprintf("%s_fit_res%d.txt", base_name.c_str(), i));
  }
  for (const char* suffix : {"_fit.txt", "_chisq.txt", "_chisq.plt", "_fit_tlv.txt"})
    refuse_input_overwrite(base_name + suffix);

  fit_problem prob;
  setup_fit_problem(prob, cs, eds, eis, program_run_control());
  qz_fprintf_stdo(log, "$$ %d refined parameters, %d measured points, %d restraints, %d threads\n",
                  prob.num_params(), static_cast<int>(prob.pts.size()), static_cast<int>(prob.restrained.size()),
                  prob.threads);
  if (rank_share().size > 1)
    std::printf("Refinement: %d MPI ranks, each with its share of every dataset's tilts\n", rank_share().size);
  for (std::size_t i = 0; i < prob.noise.size(); ++i)
    qz_fprintf_stdo(log, "$$ Dataset %d: weights from the model, variance = gain * I_model + read_noise^2 with "
                    "gain = %.6g%s, read_noise = %.6g%s\n",
                    static_cast<int>(i), prob.noise[i].gain, eds[i].det.gain > 0.0 ? "" : " (from the deviations)",
                    std::sqrt(prob.noise[i].read_var), eds[i].det.read_noise >= 0.0 ? "" : " (from the deviations)");

  const double lp[6] = {cs.lp[0], cs.lp[1], cs.lp[2], cs.lp[3], cs.lp[4], cs.lp[5]};
  fill_fit_results(prob);
  fit_res_output(num_dataset, eds, eis, lp, base_name + "_fit_fst");
  std::vector<double> x0 = current_params(prob);
  const std::vector<double> r_start = r_factors(prob, x0.data());
  const fit_start_state start = capture_fit_start(prob, x0.data());

  const fit_outcome o = run_refinement(prob, max_iter, log);
  apply_fit_params(prob.params, o.final_x.data(), cs, eds);
  const std::vector<double> r_end = r_factors(prob, o.final_x.data());
  report(prob, o, r_start, r_end, log);
  report_detector(prob, o, log);
  if (prob.rc.epsilon.fit_beam_check == 1) report_beam_check(prob, beam_convergence_check(prob, o, kBeamCheckFactor), log);
  apply_fit_params(prob.params, o.final_x.data(), cs, eds);

  fill_fit_results(prob);
  const double lp_end[6] = {cs.lp[0], cs.lp[1], cs.lp[2], cs.lp[3], cs.lp[4], cs.lp[5]};
  fit_res_output(num_dataset, eds, eis, lp_end, base_name + "_fit_res");
  const std::string fit_file = base_name + "_fit.txt";
  output_FIT_MODE_file(fit_file, cs, max_iter, num_dataset, eds, eis);
  qz_fprintf_stdo(log, "$$ Refined fit-mode file ==> %s\n", fit_file.c_str());
  write_history(o, base_name);
  write_script(num_dataset, base_name);
  const fit_record rec = make_fit_record(prob, o, start, r_start, r_end, base_name, fit_inputs(fp, eds));
  write_fit_hdf5(base_name + "_fit.h5", rec);
  const std::string page = write_fit_page(rec);
  qz_fprintf_stdo(log, "$$ Fit record ==> %s_fit.h5, fit page ==> %s\n", base_name.c_str(), page.c_str());
}

}  // namespace kv
