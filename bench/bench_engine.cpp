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
#include "bloch/potential.hpp"
#include "input/crystal_data.hpp"
#include "numeric/eigen.hpp"
#include "numeric/lapack.hpp"
#include "sim/runctl.hpp"

namespace {

using namespace kv;

const char* kSi =
    "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n227\n5.4309\n5.4309\n5.4309\n90\n90\n90\n}LATTICE\n"
    "ATOM{\n1\nSITE{\nSi\n0.125\n0.125\n0.125\nISO\n0.4632\n1.0\n0\n}SITE\n}ATOM\n"
    "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";

struct Case {
  csd crystal;
  BeamList beams;
  CMatrix vg;
  std::vector<int> cal_g;
  std::vector<double> thickness{500.0, 1000.0, 1500.0};
  engine_setup job;
};

// Zero-order Laue-zone reflections of [110] allowed by the F centring,
// ordered by |g|: after 000 the first n_exact - 1 are exact beams, the next
// n_exact / 2 Bethe beams. The run-control records start from their
// defaults with the per-tilt re-selection of Bethe potentials off.
Case make_case(int n_exact) {
  epsilon = Epsilon{};
  epsilon.vg_select_flag = 0;
  Case c;
  FILE* fp = std::tmpfile();
  std::fputs(kSi, fp);
  std::rewind(fp);
  input_csd_cstr(c.crystal, fp, "bench");
  std::fclose(fp);
  const lattice_metric lm = bravai(c.crystal.lp);
  std::vector<std::pair<double, Hkl>> cand;
  for (int h = -20; h <= 20; ++h)
    for (int l = -20; l <= 20; ++l) {
      const Hkl g{h, -h, l};
      if (g == Hkl{0, 0, 0} || extinction_rule(g, c.crystal.lattice_type, 0) != 0) continue;
      cand.push_back({sq_abs(Vec3{double(h), double(-h), double(l)}, lm), g});
    }
  std::stable_sort(cand.begin(), cand.end(), [](auto& a, auto& b) { return a.first < b.first; });
  const int n_bethe = n_exact / 2;
  c.beams.push_back(Hkl{0, 0, 0});
  for (int i = 0; i < n_exact - 1 + n_bethe; ++i) c.beams.push_back(cand[i].second);
  const int n = static_cast<int>(c.beams.size());
  c.vg = CMatrix(n, n);
  int err = 0;
  potential_matrix_csd(n_exact, n_bethe, c.beams, c.crystal, 200.0, lm, c.vg, &err);
  for (int i = 0; i < n_exact; ++i) c.cal_g.push_back(i);
  engine_setup& j = c.job;
  j.kv = 200;
  j.incidence = Hkl{1, 1, 0};
  j.normal = Hkl{1, 1, 0};
  double evd = 0;
  pre_calc_intensity(200, j.incidence, j.normal, lm, &j.abs_u, &j.abs_n, &j.cos_phi, &j.lambda, &evd);
  j.K = calc_abs_K(c.crystal, 200, lm);
  j.lm = lm;
  j.bs.flag_bs = 0;  // generalised Bethe potentials
  j.n_e0 = n_exact;
  j.n_b0 = n_bethe;
  j.num_g = n_exact;
  j.num_thickness = 3;
  return c;
}

void point(Case& c) {
  c.job.beams = &c.beams;
  c.job.vg = &c.vg;
  c.job.cal_g = c.cal_g.data();
  c.job.thickness = c.thickness.data();
}

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
// 0 matrix build (excitation errors, selection, structure matrix), 1 Bethe
// reduction, 2 eigen solution with eigmat_func 0, 3 the same with
// eigmat_func 2 (zgeev), 4 boundary condition, 5 summation over reflections
// and thicknesses. The eigen stages report a nominal rate, 100 n^3 real
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
  for (auto _ : state) {
    switch (stage) {
      case 0:
        calc_sg_beta_g(t.kt, kz, kn, j.K, j.abs_u, j.incidence, j.abs_n, j.normal, j.n_e0, j.n_b0, *j.beams, j.lm,
                       w.sg.data(), w.beta.data());
        vg_select_info_ug(j.n_e0, j.n_b0, &w.n_e, &w.n_b, w.idx.data(), *j.vg, *j.beams, w.sg.data(), j.bs,
                          j.incidence, j.kv);
        vg_select_trans_ug(j.n_e0, j.n_b0, w.n_e, w.n_b, w.idx.data(), w.beta.data(), w.beta_sel.data(), j.num_g,
                           j.cal_g, w.pos.data());
        construct_ug_mat_slct(w.n_e, w.n_b, w.idx.data(), j.kv, *j.vg, w.sg.data(), w.beta.data(), w.a);
        break;
      case 1:
        g_bethe(w.n_e, w.n_b, w.a, w.b, w);
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
      default:
        sum_intensities(j, kn, w, t.out);
    }
    benchmark::ClobberMemory();
  }
  state.counters["exact"] = n;
  state.counters["bethe"] = w.n_b;
  if (stage == 2 || stage == 3)
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
    ->ArgsProduct({{50, 100, 200, 400}, {0, 1, 2, 3, 4, 5}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.2);
BENCHMARK(BM_ZgemmPeak)->Arg(400)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneTilt)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EigenOnly)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
