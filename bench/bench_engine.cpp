// One incident-beam tilt of the Bloch-wave engine for Si [110] at 200 kV with
// about 50, 100 and 200 exact beams (plus half as many Bethe beams), and the
// eigen-solution alone on the same Bethe-reduced matrices, so that the share
// of the solver in a tilt can be read off.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bloch/engine.hpp"
#include "numeric/eigen.hpp"
#include "si110_case.hpp"

namespace {

using namespace kv;
using kvbench::Case;
using kvbench::make_case;
using kvbench::point;

// A case ready for the engine, with its work space and output, at one tilt.
struct Tilt {
  explicit Tilt(int n_exact)
      : c(make_case(n_exact)),
        w(alloc_work_cal_int(c.job.n_e0 + c.job.n_b0, c.job.num_g, 0)),
        out(c.job.num_g, c.job.num_thickness) {
    point(c);
  }
  void run() { calc_intensity_with_perturb_ug(kt, c.job, w, out); }

  Case c;
  work_cal_int w;
  RMatrix out;
  const Vec3 kt{0.011, -0.011, 0.02};
};

void BM_OneTilt(benchmark::State& state) {
  Tilt t(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    t.run();
    benchmark::DoNotOptimize(t.out[0][0]);
  }
  state.counters["exact"] = t.c.job.n_e0;
  state.counters["bethe"] = t.c.job.n_b0;
}

void BM_EigenOnly(benchmark::State& state) {
  Tilt t(static_cast<int>(state.range(0)));
  t.run();  // leaves this tilt's Bethe matrix in t.w.b
  const int n = t.w.n_e;
  CMatrix b(n, n), vec(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) b[i][j] = t.w.b[i][j];
  CVector val(n);
  for (auto _ : state) {
    eigmat(n, b, val.data(), vec);
    benchmark::DoNotOptimize(val[0]);
  }
  state.counters["exact"] = n;
}

BENCHMARK(BM_OneTilt)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EigenOnly)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
