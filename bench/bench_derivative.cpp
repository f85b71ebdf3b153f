// Cost of one tilt's intensities with their analytic derivatives relative to
// the plain tilt, for Si [110] at 200 kV with about 50 and 100 exact beams
// (plus half as many Bethe beams) and P = 1, 3, 6 parameters. "sparse" are
// structure-factor parameters (dV nonzero only where g_i - g_j = +-g),
// "dense" Debye-Waller-like ones (dV everywhere). The counter vs_plain is the
// time of one derivative call divided by the time of one plain tilt measured
// on the same case just before, both in processor time of the thread.
#include <benchmark/benchmark.h>

#include <ctime>

#include "bloch/derivative.hpp"
#include "bloch/engine.hpp"
#include "si110_case.hpp"

namespace {

using namespace kv;

const Vec3 kTilt{0.011, -0.011, 0.02};

// dV of the real part of V_g for the reflection g (both +g and -g entries).
CMatrix fg_derivative(const BeamList& beams, const Hkl& g) {
  const int n = static_cast<int>(beams.size());
  CMatrix d(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const Hkl h{beams[i].h - beams[j].h, beams[i].k - beams[j].k, beams[i].l - beams[j].l};
      if (h == g || h == Hkl{-g.h, -g.k, -g.l}) d[i][j] = complex{1.0, 0.0};
    }
  return d;
}

// Processor time of this thread: the shared machines this runs on make
// wall-clock ratios unreliable.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double seconds_per_plain_tilt(kvbench::Case& c, work_cal_int& w) {
  RMatrix out(c.job.num_g, c.job.num_thickness);
  calc_intensity_with_perturb_ug(kTilt, c.job, w, out);
  const int reps = 20;
  const double t0 = thread_seconds();
  for (int i = 0; i < reps; ++i) {
    calc_intensity_with_perturb_ug(kTilt, c.job, w, out);
    benchmark::DoNotOptimize(out[0][0]);
  }
  return (thread_seconds() - t0) / reps;
}

void BM_Derivatives(benchmark::State& state) {
  const int n_exact = static_cast<int>(state.range(0));
  const int P = static_cast<int>(state.range(1));
  const bool dense = state.range(2) != 0;
  kvbench::Case c = kvbench::make_case(n_exact);
  kvbench::point(c);
  std::vector<CMatrix> d;
  for (int p = 0; p < P; ++p) {
    if (dense) {
      CMatrix m = c.vg;  // every entry nonzero
      for (std::size_t i = 0; i < m.rows(); ++i)
        for (std::size_t j = 0; j < m.cols(); ++j) m[i][j] = (1.0 + 0.1 * p) * m[i][j];
      d.push_back(std::move(m));
    } else {
      d.push_back(fg_derivative(c.beams, c.beams[1 + p]));
    }
  }
  std::vector<const CMatrix*> dv;
  for (const CMatrix& m : d) dv.push_back(&m);
  work_cal_int w = alloc_work_cal_int(c.job.n_e0 + c.job.n_b0, c.job.num_g, P);
  const double plain = seconds_per_plain_tilt(c, w);
  intensity_jacobian jac;
  calc_intensity_derivatives(kTilt, c.job, dv, w, jac);
  const double t0 = thread_seconds();
  for (auto _ : state) {
    calc_intensity_derivatives(kTilt, c.job, dv, w, jac);
    benchmark::DoNotOptimize(jac.d_param[0][0][0]);
  }
  const double per = (thread_seconds() - t0) / static_cast<double>(state.iterations());
  state.counters["exact"] = n_exact;
  state.counters["P"] = P;
  state.counters["vs_plain"] = per / plain;
}

BENCHMARK(BM_Derivatives)
    ->ArgNames({"exact", "P", "dense"})
    ->ArgsProduct({{50, 100}, {1, 3, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
