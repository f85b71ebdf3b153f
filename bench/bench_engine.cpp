// One incident-beam tilt of the Bloch-wave engine for Si [110] at 200 kV with
// about 50, 100 and 200 exact beams (plus half as many Bethe beams), and the
// eigen-solution alone on the same Bethe-reduced matrices, so that the share
// of the solver in a tilt can be read off.
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "bloch/engine.hpp"
#include "numeric/eigen.hpp"
#include "si110_case.hpp"
#include "numeric/lapack.hpp"
#include "sim/runctl.hpp"

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

// The stages of one tilt, each timed alone on the tilt's own data:
// 0 matrix build (excitation errors, selection, structure matrix from the
// job's U table), 1 Bethe
// reduction, 2 eigen solution with eigmat_func 0, 3 the same with
// eigmat_func 2 (zgeev), 4 boundary condition, 5 summation over reflections
// and thicknesses, 6 eigen solution by the Hermitian split (eigmat_func 3),
// 7 boundary condition after the split (from its factors), 8 boundary
// condition by LAPACK zgesv (bc_invmat_func 2). The eigen
// stages report a nominal rate, 100 n^3 real
// flops (25 n^3 complex operations of a Schur form with accumulated
// transformations, 4 real flops each).
void BM_Stage(benchmark::State& state) {
  const int stage = static_cast<int>(state.range(1));
  Tilt t(static_cast<int>(state.range(0)));
  blas_single_thread();
  t.run();
  Case& c = t.c;
  work_cal_int& w = t.w;
  const engine_setup& j = c.job;
  const double kz = calc_K_z(j.K, t.kt, j.lm);
  const double kn = kz * j.cos_phi + inner_product_uvw_hkl(j.normal, t.kt) / j.abs_n;
  const int n = w.n_e;
  CMatrix vec(n, n);
  CVector val(n);
  // Stages 4 and 8 time the general solves of the entrance condition.
  w.eig.have_first_inv = false;
  if (stage == 7) {
    // The split's factors of this tilt in the work area, its vectors in vec.
    if (w.eig.sw.n_max < n) w.eig.sw = alloc_split_work(n);
    epsilon.eigmat_func = 3;
    eigmat(n, w.b, val.data(), vec, w.eig);
    epsilon.eigmat_func = 0;
  }
  for (auto _ : state) {
    switch (stage) {
      case 0:
        calc_sg_beta_g(t.kt, kz, kn, j.K, j.abs_u, j.incidence, j.abs_n, j.normal, j.n_e0, j.n_b0, *j.beams, j.lm,
                       w.sg.data(), w.beta.data());
        vg_select_info_ug(j.n_e0, j.n_b0, &w.n_e, &w.n_b, w.idx.data(), *j.vg, *j.beams, w.sg.data(), j.bs,
                          j.incidence, j.kv);
        vg_select_trans_ug(j.n_e0, j.n_b0, w.n_e, w.n_b, w.idx.data(), w.beta.data(), w.beta_sel.data(), j.num_g,
                           j.cal_g, w.pos.data());
        build_structure_matrix(j, w);
        break;
      case 1:
        bethe_reduce(j, w);
        break;
      case 2:
      case 3:
        epsilon.eigmat_func = stage == 2 ? 0 : 2;
        eigmat(n, w.b, val.data(), vec, w.eig);
        epsilon.eigmat_func = 0;
        break;
      case 4:
        upper_b_cond(n, w.beta_sel.data(), w.c, w.alpha.data(), w);
        break;
      case 8:
        epsilon.bc_invmat_func = 2;
        upper_b_cond(n, w.beta_sel.data(), w.c, w.alpha.data(), w);
        epsilon.bc_invmat_func = 0;
        break;
      case 6:
        epsilon.eigmat_func = 3;
        eigmat(n, w.b, val.data(), vec, w.eig);
        epsilon.eigmat_func = 0;
        break;
      case 7:
        upper_b_cond(n, w.beta_sel.data(), vec, w.alpha.data(), w);
        break;
      default:
        sum_intensities(j, kn, w, t.out);
    }
    benchmark::ClobberMemory();
  }
  state.counters["exact"] = n;
  state.counters["bethe"] = w.n_b;
  if (stage == 2 || stage == 3 || stage == 6)
    state.counters["GFLOPs"] =
        benchmark::Counter(100.0 * n * n * n * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// The core's practical peak: a single-threaded complex matrix product of
// order 400 (8 n^3 real flops).
void BM_ZgemmPeak(benchmark::State& state) {
  blas_single_thread();
  const int n = static_cast<int>(state.range(0));
  std::vector<complex> a(n * n, complex{0.5, 0.25}), b(n * n, complex{0.25, -0.5}), c(n * n);
  const complex one{1, 0}, zero{0, 0};
  for (auto _ : state) {
    cblas_zgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, a.data(), n, b.data(), n, &zero,
                c.data(), n);
    benchmark::ClobberMemory();
  }
  state.counters["GFLOPs"] = benchmark::Counter(8.0 * n * n * n * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_Stage)
    ->ArgsProduct({{50, 100, 150, 200, 400}, {0, 1, 2, 3, 4, 5, 6, 7, 8}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZgemmPeak)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneTilt)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EigenOnly)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
