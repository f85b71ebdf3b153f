// The potential matrix V(g_i - g_j) of Si [110] at 200 kV with about 100,
// 200 and 400 exact beams plus half as many Bethe beams (151, 301 and 601
// beams in all): as one pass through the structure-factor table computes it
// (every reflection the table does not hold is computed where it is first
// met, and again at every look-up once the table is full), and as the job
// builds it, on 1 and 2 threads. The walk without values, the serial part
// of the job's build, is timed alone as well.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bloch/potential.hpp"
#include "crystal/structure_factor.hpp"
#include "input/constraints.hpp"
#include "si110_case.hpp"

namespace {

using namespace kv;
using kvbench::Case;
using kvbench::make_case;

void BM_PotentialOnePass(benchmark::State& state) {
  Case c = make_case(static_cast<int>(state.range(0)));
  const lattice_metric lm = bravai(c.crystal.lp);
  const int n = static_cast<int>(c.beams.size());
  CMatrix vg(n, n);
  for (auto _ : state) {
    constraint_csd(c.crystal);
    fg_table t;
    stock_lofg_tbl(t, 200.0, lm, c.crystal);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        const Hkl h{c.beams[i].h - c.beams[j].h, c.beams[i].k - c.beams[j].k, c.beams[i].l - c.beams[j].l};
        int warn = 0;
        vg[i][j] = fg_to_vg(structure_factor_ext_tbl(h, 200.0, lm, c.crystal, t, &warn), lm);
      }
    benchmark::DoNotOptimize(vg[n - 1][0]);
  }
  state.counters["beams"] = n;
}

void BM_PotentialMatrix(benchmark::State& state) {
  const int n_exact = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  Case c = make_case(n_exact);
  const lattice_metric lm = bravai(c.crystal.lp);
  const int n = static_cast<int>(c.beams.size());
  CMatrix vg(n, n);
  for (auto _ : state) {
    int err = 0;
    potential_matrix_csd(n_exact, n - n_exact, c.beams, c.crystal, 200.0, lm, vg, &err, false, threads);
    benchmark::DoNotOptimize(vg[n - 1][0]);
  }
  state.counters["beams"] = n;
}

void BM_PotentialWalkOnly(benchmark::State& state) {
  Case c = make_case(static_cast<int>(state.range(0)));
  const lattice_metric lm = bravai(c.crystal.lp);
  const int n = static_cast<int>(c.beams.size());
  std::vector<Hkl> h;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      h.push_back(Hkl{c.beams[i].h - c.beams[j].h, c.beams[i].k - c.beams[j].k, c.beams[i].l - c.beams[j].l});
  fg_table t;
  stock_lofg_tbl(t, 200.0, lm, c.crystal);
  std::size_t computed = 0;
  for (auto _ : state) {
    const fg_table_walk w = plan_fg_table_walk(t, h.data(), h.size(), c.crystal);
    computed = w.computed.size();
    benchmark::DoNotOptimize(w.source.data());
  }
  state.counters["beams"] = n;
  state.counters["computed"] = static_cast<double>(computed);
}

}  // namespace

BENCHMARK(BM_PotentialOnePass)->Arg(100)->Arg(200)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PotentialMatrix)
    ->Args({100, 1})->Args({100, 2})->Args({200, 1})->Args({200, 2})->Args({400, 1})->Args({400, 2})
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PotentialWalkOnly)->Arg(100)->Arg(200)->Arg(400)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
