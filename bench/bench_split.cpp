// The eigen paths of a tilt side by side: for Si [110] at 200 kV with 30 to
// 400 exact beams (and half as many Bethe beams) the CPU time of one whole
// tilt and of the eigen solution alone with eigmat_func 0 (EISPACK route),
// 2 (zgeev) and 3 (Hermitian split), then a closing table with the split's
// accuracy against eigmat_func 0: the largest |I_3 - I_0| over a set of
// tilts, every exact beam and thicknesses up to 3000 A, relative to the
// largest intensity, with the split's sweeps and hand-overs to zgeev.
//
//   build/bench/bench_split [--benchmark_filter=...]
//   KV_SPLIT_B=2 build/bench/bench_split   Debye-Waller factor B = 2 A^2
//   KV_SPLIT_ACCURACY=0 ...                 timings only
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "bloch/engine.hpp"
#include "numeric/eigen.hpp"
#include "numeric/lapack.hpp"
#include "si110_case.hpp"
#include "sim/runctl.hpp"

namespace {

using namespace kv;
using kvbench::Case;

const int kSizes[] = {30, 50, 100, 150, 200, 400};
const int kFuncs[] = {0, 2, 3};

// Tilts inside a disk of about half a g around the zone axis, off the
// mirror lines and on them (where the elastic states are degenerate).
std::vector<Vec3> tilts() {
  std::vector<Vec3> t;
  for (double a : {0.0, 0.004, 0.011, 0.023})
    for (double b : {0.0, 0.007, 0.019}) t.push_back(Vec3{a, -a, b});
  return t;
}

// KV_SPLIT_B sets the Debye-Waller factor (A^2) for stronger absorption.
double b_iso() {
  const char* s = std::getenv("KV_SPLIT_B");
  return s ? std::atof(s) : 0.0;
}

struct Setup {
  explicit Setup(int n_exact) : c(kvbench::make_case(n_exact, b_iso())) {
    c.thickness = {500.0, 1000.0, 2000.0, 3000.0};
    c.job.num_thickness = 4;
    kvbench::point(c);
  }
  Case c;
};

void BM_Tilt(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), func = static_cast<int>(state.range(1));
  blas_single_thread();
  Setup s(n);
  s.c.job.rc.epsilon.eigmat_func = func;
  work_cal_int w = alloc_work_cal_int(s.c.job.n_e0 + s.c.job.n_b0, s.c.job.num_g, 0);
  RMatrix out(s.c.job.num_g, s.c.job.num_thickness);
  const std::vector<Vec3> kt = tilts();
  std::size_t k = 0;
  for (auto _ : state) {
    calc_intensity_with_perturb_ug(kt[k++ % kt.size()], s.c.job, w, out);
    benchmark::DoNotOptimize(out[0][0]);
  }
  state.counters["exact"] = s.c.job.n_e0;
  state.counters["bethe"] = s.c.job.n_b0;
}

void BM_Eigen(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0)), func = static_cast<int>(state.range(1));
  blas_single_thread();
  Setup s(n);
  work_cal_int w = alloc_work_cal_int(s.c.job.n_e0 + s.c.job.n_b0, s.c.job.num_g, 0);
  RMatrix out(s.c.job.num_g, s.c.job.num_thickness);
  calc_intensity_with_perturb_ug(tilts()[4], s.c.job, w, out);  // leaves the Bethe matrix in w.b
  solver_control ctl = solver_control_of(s.c.job.rc);
  ctl.eigmat_func = func;
  eigmat_work ew = alloc_eigmat_work(w.n_e, func);
  CMatrix vec(w.n_e, w.n_e);
  CVector val(w.n_e);
  for (auto _ : state) {
    eigmat(w.n_e, w.b, val.data(), vec, ew, ctl);
    benchmark::DoNotOptimize(val[0]);
  }
  state.counters["exact"] = w.n_e;
}

// Intensities of every tilt with eigmat_func 0 and 3; the largest
// difference relative to the peak, and the split's statistics.
struct Accuracy {
  double rel = 0, peak = 0;
  int sweeps_max = 0, cluster_max = 0;
  long fallbacks = 0;
  int tilts = 0;
};

Accuracy accuracy(int n) {
  Setup s(n);
  work_cal_int w0 = alloc_work_cal_int(s.c.job.n_e0 + s.c.job.n_b0, s.c.job.num_g, 0);
  work_cal_int w3 = alloc_work_cal_int(s.c.job.n_e0 + s.c.job.n_b0, s.c.job.num_g, 0);
  engine_setup j0 = s.c.job, j3 = s.c.job;
  j0.rc.epsilon.eigmat_func = 0;
  j3.rc.epsilon.eigmat_func = 3;
  RMatrix i0(j0.num_g, j0.num_thickness), i3(j0.num_g, j0.num_thickness);
  Accuracy a;
  double diff = 0;
  for (const Vec3& kt : tilts()) {
    calc_intensity_with_perturb_ug(kt, j0, w0, i0);
    calc_intensity_with_perturb_ug(kt, j3, w3, i3);
    a.sweeps_max = std::max(a.sweeps_max, w3.eig.sw.sweeps);
    a.cluster_max = std::max(a.cluster_max, w3.eig.sw.largest_cluster);
    ++a.tilts;
    for (int r = 0; r < j0.num_g; ++r)
      for (int t = 0; t < j0.num_thickness; ++t) {
        a.peak = std::max(a.peak, i0[r][t]);
        diff = std::max(diff, std::fabs(i0[r][t] - i3[r][t]));
      }
  }
  a.fallbacks = w3.eig.split_fallbacks;
  a.rel = a.peak > 0 ? diff / a.peak : 0;
  return a;
}

void args(benchmark::internal::Benchmark* b) {
  for (int n : kSizes)
    for (int f : kFuncs) b->Args({n, f});
  b->ArgNames({"n", "func"})->Unit(benchmark::kMillisecond)->MinTime(0.3);
}

BENCHMARK(BM_Tilt)->Apply(args);
BENCHMARK(BM_Eigen)->Apply(args);

class TableReporter : public benchmark::ConsoleReporter {
 public:
  explicit TableReporter(OutputOptions o) : ConsoleReporter(o) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      int n = 0, f = 0;
      if (std::sscanf(r.run_name.args.c_str(), "n:%d/func:%d", &n, &f) != 2) continue;
      t_[r.run_name.function_name][{n, f}] = r.GetAdjustedCPUTime();
    }
  }
  void print() const {
    for (const char* what : {"BM_Tilt", "BM_Eigen"}) {
      const auto it = t_.find(what);
      if (it == t_.end()) continue;
      std::printf("\n%s: CPU ms per tilt (one core)\n", what[3] == 'T' ? "whole tilt" : "eigen solution");
      std::printf("%5s %10s %10s %10s %9s %9s\n", "exact", "func 0", "func 2", "func 3", "0 / 3", "2 / 3");
      for (int n : kSizes) {
        auto get = [&](int f) {
          const auto x = it->second.find({n, f});
          return x == it->second.end() ? -1.0 : x->second;
        };
        const double a = get(0), b = get(2), c = get(3);
        if (a < 0 && b < 0 && c < 0) continue;
        std::printf("%5d %10.3f %10.3f %10.3f %9.2f %9.2f\n", n, a, b, c, c > 0 ? a / c : 0, c > 0 ? b / c : 0);
      }
    }
  }

 private:
  std::map<std::string, std::map<std::pair<int, int>, double>> t_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TableReporter rep(isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_Defaults
                                           : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&rep);
  rep.print();
  if (const char* a = std::getenv("KV_SPLIT_ACCURACY"); a && std::atoi(a) == 0) {
    benchmark::Shutdown();
    return 0;
  }
  std::printf("\nHermitian split against eigmat_func 0 (%zu tilts, thickness 500-3000 A)\n", tilts().size());
  std::printf("%5s %12s %8s %8s %10s\n", "exact", "max|dI|/pk", "sweeps", "cluster", "fallbacks");
  for (int n : kSizes) {
    const Accuracy a = accuracy(n);
    std::printf("%5d %12.2e %8d %8d %10ld\n", n, a.rel, a.sweeps_max, a.cluster_max, a.fallbacks);
  }
  benchmark::Shutdown();
  return 0;
}
