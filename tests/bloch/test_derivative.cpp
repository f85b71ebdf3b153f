// Analytic intensity derivatives against finite differences of the engine
// on silicon [110] at 200 kV with absorption: structure-factor-like and
// Debye-Waller-like changes of the potential and the thickness, with
// generalised and classical Bethe beams, off and exactly on the zone axis.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <thread>

#include "bloch/derivative.hpp"
#include "bloch/engine.hpp"
#include "bloch/potential.hpp"
#include "crystal/structure_factor.hpp"
#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"

namespace kv {
namespace {

const char* kSi =
    "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n227\n5.4309\n5.4309\n5.4309\n90\n90\n90\n}LATTICE\n"
    "ATOM{\n1\nSITE{\nSi\n0.125\n0.125\n0.125\nISO\n0.4632\n1.0\n0\n}SITE\n}ATOM\n"
    "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";

// Silicon down a zone axis: 000, then the allowed zero-layer reflections by
// |g|, the first n_exact beams exact and n_bethe more as Bethe beams.
struct Silicon {
  Silicon(const Silicon&) = delete;
  Silicon& operator=(const Silicon&) = delete;
  Silicon(int n_exact, int n_bethe, int flag_bs, Hkl zone = Hkl{1, 1, 0}) : n_e(n_exact), n_b(n_bethe) {
    FILE* fp = std::tmpfile();
    std::fputs(kSi, fp);
    std::rewind(fp);
    input_csd_cstr(crystal, fp, "test");
    std::fclose(fp);
    lm = bravai(crystal.lp);
    std::vector<std::pair<double, Hkl>> cand;
    for (int h = -10; h <= 10; ++h)
      for (int k = -10; k <= 10; ++k)
        for (int l = -10; l <= 10; ++l) {
          const Hkl g{h, k, l};
          if (h * zone.h + k * zone.k + l * zone.l != 0) continue;
          if (g == Hkl{0, 0, 0} || extinction_rule(g, crystal.lattice_type, 0) != 0) continue;
          cand.push_back({sq_abs(Vec3{double(h), double(k), double(l)}, lm), g});
        }
    std::stable_sort(cand.begin(), cand.end(), [](auto& a, auto& b) { return a.first < b.first; });
    beams.push_back(Hkl{0, 0, 0});
    for (int i = 0; i < n_exact - 1 + n_bethe; ++i) beams.push_back(cand[i].second);
    vg = potential(crystal);
    for (int i = 0; i < n_exact; ++i) cal_g.push_back(i);
    job.kv = 200;
    job.incidence = zone;
    job.normal = zone;
    double evd = 0;
    pre_calc_intensity(200, job.incidence, job.normal, lm, &job.abs_u, &job.abs_n, &job.cos_phi, &job.lambda,
                       &evd);
    job.K = calc_abs_K(crystal, 200, lm);
    job.lm = lm;
    job.bs.flag_bs = flag_bs;
    job.n_e0 = n_exact;
    job.n_b0 = n_bethe;
    job.beams = &beams;
    job.vg = &vg;
    job.num_g = n_exact;
    job.cal_g = cal_g.data();
    job.num_thickness = static_cast<int>(thickness.size());
    job.rc = program_run_control();
    job.thickness = thickness.data();
  }
  CMatrix potential(csd& c) const {
    const int n = static_cast<int>(beams.size());
    CMatrix v(n, n);
    int err = 0;
    potential_matrix_csd(n_e, n_b, beams, c, 200.0, lm, v, &err);
    return v;
  }
  int size() const { return static_cast<int>(beams.size()); }
  int index(const Hkl& g) const {
    for (int i = 0; i < size(); ++i)
      if (beams[i] == g) return i;
    return -1;
  }

  int n_e, n_b;
  csd crystal;
  lattice_metric lm;
  BeamList beams;
  CMatrix vg;
  std::vector<int> cal_g;
  std::vector<double> thickness{300.0, 800.0, 1500.0};
  engine_setup job;
  Vec3 kt{0, 0, 0};
};

RMatrix intensities(const Silicon& s, const engine_setup& job) {
  work_cal_int w = alloc_work_cal_int(s.size(), job.num_g, 0);
  RMatrix out(job.num_g, job.num_thickness);
  calc_intensity_with_perturb_ug(s.kt, job, w, out);
  return out;
}

// Fourth-order central difference of the engine along the potential
// direction dv, step h volts.
RMatrix fd_potential(Silicon& s, const CMatrix& dv, double h) {
  const int n = s.size();
  RMatrix d(s.job.num_g, s.job.num_thickness);
  const double c[4] = {1.0 / 12, -8.0 / 12, 8.0 / 12, -1.0 / 12};
  const double step[4] = {-2, -1, 1, 2};
  for (int q = 0; q < 4; ++q) {
    CMatrix v = s.vg;
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) v[i][j] += (step[q] * h) * dv[i][j];
    engine_setup job = s.job;
    job.vg = &v;
    const RMatrix I = intensities(s, job);
    for (int r = 0; r < job.num_g; ++r)
      for (int t = 0; t < job.num_thickness; ++t) d[r][t] += c[q] * I[r][t] / h;
  }
  return d;
}

RMatrix fd_thickness(Silicon& s, double h) {
  RMatrix d(s.job.num_g, s.job.num_thickness);
  const double c[4] = {1.0 / 12, -8.0 / 12, 8.0 / 12, -1.0 / 12};
  const double step[4] = {-2, -1, 1, 2};
  for (int q = 0; q < 4; ++q) {
    std::vector<double> t = s.thickness;
    for (double& x : t) x += step[q] * h;
    engine_setup job = s.job;
    job.thickness = t.data();
    const RMatrix I = intensities(s, job);
    for (int r = 0; r < job.num_g; ++r)
      for (int k = 0; k < job.num_thickness; ++k) d[r][k] += c[q] * I[r][k] / h;
  }
  return d;
}

double max_abs(const RMatrix& m) {
  double x = 0;
  for (std::size_t r = 0; r < m.rows(); ++r)
    for (std::size_t t = 0; t < m.cols(); ++t) x = std::max(x, std::fabs(m[r][t]));
  return x;
}

// Largest difference relative to the largest derivative of the tilt.
double rel_error(const RMatrix& analytic, const RMatrix& fd) {
  double e = 0;
  for (std::size_t r = 0; r < fd.rows(); ++r)
    for (std::size_t t = 0; t < fd.cols(); ++t) e = std::max(e, std::fabs(analytic[r][t] - fd[r][t]));
  return e / max_abs(fd);
}

// dV of one reflection pair g, -g: the entries where g_i - g_j = +g get
// plus, those with -g get minus.
CMatrix pair_derivative(const Silicon& s, const Hkl& g, complex plus, complex minus) {
  const int n = s.size();
  CMatrix d(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const Hkl h{s.beams[i].h - s.beams[j].h, s.beams[i].k - s.beams[j].k, s.beams[i].l - s.beams[j].l};
      if (h == g) d[i][j] = plus;
      if (h == Hkl{-g.h, -g.k, -g.l}) d[i][j] = minus;
    }
  return d;
}

// dV/dB of the silicon site by central differences of the structure factors.
CMatrix b_derivative(Silicon& s) {
  const double h = 1e-4;
  const double b0 = s.crystal.atoms[0].b_iso;
  s.crystal.atoms[0].b_iso = b0 + h;
  const CMatrix up = s.potential(s.crystal);
  s.crystal.atoms[0].b_iso = b0 - h;
  const CMatrix down = s.potential(s.crystal);
  s.crystal.atoms[0].b_iso = b0;
  const int n = s.size();
  CMatrix d(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) d[i][j] = (1.0 / (2 * h)) * (up[i][j] - down[i][j]);
  return d;
}

// A dense, Hermitian-plus-absorptive dV that also moves the mean inner
// potential and its absorption.
CMatrix dense_derivative(const Silicon& s) {
  const int n = s.size();
  CMatrix d(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const Hkl h{s.beams[i].h - s.beams[j].h, s.beams[i].k - s.beams[j].k, s.beams[i].l - s.beams[j].l};
      // a smooth function of g_i - g_j, so dV(-g) pairs with dV(g)
      const double a = std::cos(0.3 * h.h + 0.7 * h.l) / (1.0 + 0.1 * (h.h * h.h + h.l * h.l));
      const double b = std::sin(0.5 * h.h - 0.2 * h.l) / (1.0 + 0.1 * (h.h * h.h + h.l * h.l));
      const double absn = 0.1 / (1.0 + 0.05 * (h.h * h.h + h.l * h.l));
      d[i][j] = complex{a, b + absn};
    }
  return d;
}

class DerivativeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    epsilon = Epsilon{};
    epsilon.vg_select_flag = 0;
    epsilon.eigen_eps = 1e-14;
  }
  void TearDown() override { epsilon = Epsilon{}; }
};

struct Case {
  const char* name;
  int n_exact, n_bethe, flag_bs;
  Vec3 kt;
  int eigmat_func = 0;
};

class DerivativeCases : public DerivativeTest, public ::testing::WithParamInterface<Case> {};

// Every kind of parameter on one case: Fg real part, elastic imaginary part
// and absorptive part of a low-order reflection, dV/dB of the site, a dense
// synthetic dV and the thickness, all from one call.
TEST_P(DerivativeCases, AnalyticMatchesFiniteDifferences) {
  const Case& c = GetParam();
  epsilon.eigmat_func = c.eigmat_func;
  Silicon s(c.n_exact, c.n_bethe, c.flag_bs);
  ASSERT_EQ(s.job.rc.epsilon.eigmat_func, c.eigmat_func);
  s.kt = c.kt;
  const Hkl g{1, -1, 1};
  ASSERT_GE(s.index(g), 1);
  const CMatrix d_re = pair_derivative(s, g, complex{1, 0}, complex{1, 0});
  const CMatrix d_im = pair_derivative(s, g, complex{0, 1}, complex{0, -1});
  const CMatrix d_abs = pair_derivative(s, g, complex{0, 1}, complex{0, 1});
  const CMatrix d_b = b_derivative(s);
  const CMatrix d_dense = dense_derivative(s);
  ASSERT_GT(c_abs(d_b[0][0]), 0.0) << "dV/dB reaches the absorption of V_0";

  const std::vector<const CMatrix*> dv{&d_re, &d_im, &d_abs, &d_b, &d_dense};
  work_cal_int w = alloc_work_cal_int(s.size(), s.job.num_g, static_cast<int>(dv.size()));
  intensity_jacobian jac;
  calc_intensity_derivatives(s.kt, s.job, dv, w, jac);

  const RMatrix plain = intensities(s, s.job);
  for (int r = 0; r < s.job.num_g; ++r)
    for (int t = 0; t < s.job.num_thickness; ++t) ASSERT_EQ(jac.intensity[r][t], plain[r][t]);

  const char* names[] = {"Fg re", "Fg im", "Fg absorptive", "B", "dense"};
  for (std::size_t p = 0; p < dv.size(); ++p) {
    const RMatrix fd = fd_potential(s, *dv[p], 2e-3);
    EXPECT_GT(max_abs(fd), 1e-4) << names[p];
    EXPECT_LT(rel_error(jac.d_param[p], fd), 1e-6) << names[p];
  }
  const RMatrix fdt = fd_thickness(s, 0.05);
  EXPECT_GT(max_abs(fdt), 1e-6);
  EXPECT_LT(rel_error(jac.d_thickness, fdt), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Silicon110, DerivativeCases,
    ::testing::Values(Case{"generalised_bethe", 31, 15, 0, Vec3{0.011, -0.011, 0.02}},
                      Case{"simple_bethe", 31, 15, 10, Vec3{0.011, -0.011, 0.02}},
                      Case{"exact_beams_only", 25, 0, 0, Vec3{-0.007, 0.007, 0.013}},
                      Case{"hermitian_split", 31, 15, 0, Vec3{0.011, -0.011, 0.02}, 3}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// Exactly on the [001] zone axis the fourfold symmetry makes eigenvalues
// pairwise degenerate, so the degenerate limit of the divided differences is
// used. Whole shells of reflections keep the symmetry: 200, 220, 400, 420
// exact (21 beams), 440, 600, 620 as Bethe beams (16).
TEST_F(DerivativeTest, DegenerateEigenvaluesOnTheZoneAxis) {
  for (int func : {0, 3}) {
    SCOPED_TRACE(func);
    epsilon.eigmat_func = func;
    Silicon s(21, 16, 0, Hkl{0, 0, 1});
    s.kt = Vec3{0, 0, 0};
    const CMatrix d_re = pair_derivative(s, Hkl{2, 2, 0}, complex{1, 0}, complex{1, 0});
    const CMatrix d_b = b_derivative(s);
    work_cal_int w = alloc_work_cal_int(s.size(), s.job.num_g, 2);
    intensity_jacobian jac;
    calc_intensity_derivatives(s.kt, s.job, {&d_re, &d_b}, w, jac);
    int pairs = 0;
    for (int j = 0; j < w.n_e; ++j)
      for (int k = j + 1; k < w.n_e; ++k)
        if (c_abs(w.eigval[j] - w.eigval[k]) < epsilon.degeneracy_eps) ++pairs;
    EXPECT_GT(pairs, 0) << "no degenerate eigenvalues on the zone axis";
    EXPECT_LT(rel_error(jac.d_param[0], fd_potential(s, d_re, 2e-3)), 1e-6);
    EXPECT_LT(rel_error(jac.d_param[1], fd_potential(s, d_b, 2e-3)), 1e-6);
    EXPECT_LT(rel_error(jac.d_thickness, fd_thickness(s, 0.05)), 1e-6);
  }
}

// One work area carried from tilt to tilt (as the tilt loop does), and
// several threads with their own work areas, give exactly what a fresh work
// area gives at each tilt.
TEST_F(DerivativeTest, WorkAreaReuseAndThreadsGiveIdenticalResults) {
  Silicon s(31, 15, 0);
  const CMatrix d_re = pair_derivative(s, Hkl{1, -1, 1}, complex{1, 0}, complex{1, 0});
  const CMatrix d_b = b_derivative(s);
  const std::vector<const CMatrix*> dv{&d_re, &d_b};
  const std::vector<Vec3> tilts{{0.011, -0.011, 0.02}, {0, 0, 0}, {-0.02, 0.02, 0.005}, {0.004, -0.004, -0.03}};
  auto fresh = [&](const Vec3& kt) {
    work_cal_int w = alloc_work_cal_int(s.size(), s.job.num_g, 0);  // scratch sized on first use
    intensity_jacobian j;
    calc_intensity_derivatives(kt, s.job, dv, w, j);
    return j;
  };
  auto same = [](const RMatrix& a, const RMatrix& b) {
    if (a.rows() != b.rows() || a.cols() != b.cols()) return false;
    for (std::size_t r = 0; r < a.rows(); ++r)
      for (std::size_t t = 0; t < a.cols(); ++t)
        if (a[r][t] != b[r][t]) return false;
    return true;
  };
  auto same_jac = [&](const intensity_jacobian& a, const intensity_jacobian& b) {
    return same(a.intensity, b.intensity) && same(a.d_thickness, b.d_thickness) &&
           same(a.d_param[0], b.d_param[0]) && same(a.d_param[1], b.d_param[1]);
  };
  std::vector<intensity_jacobian> ref;
  for (const Vec3& kt : tilts) ref.push_back(fresh(kt));

  work_cal_int w = alloc_work_cal_int(s.size(), s.job.num_g, 2);
  intensity_jacobian j;
  for (std::size_t k = 0; k < tilts.size(); ++k) {
    calc_intensity_derivatives(tilts[k], s.job, dv, w, j);
    EXPECT_TRUE(same_jac(j, ref[k])) << "tilt " << k;
  }

  std::vector<intensity_jacobian> par(tilts.size());
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < tilts.size(); ++k)
    threads.emplace_back([&, k] {
      work_cal_int wk = alloc_work_cal_int(s.size(), s.job.num_g, 2);
      calc_intensity_derivatives(tilts[k], s.job, dv, wk, par[k]);
    });
  for (std::thread& t : threads) t.join();
  for (std::size_t k = 0; k < tilts.size(); ++k) EXPECT_TRUE(same_jac(par[k], ref[k])) << "thread " << k;
}

// With weak Bloch waves dropped from the sum (bc_accuracy < 1) the thickness
// derivatives are those of the intensities as summed, and the parameter
// derivatives those of the sum over all waves.
TEST_F(DerivativeTest, LimitedBranchesKeepThicknessDerivativeOfTheSummedIntensity) {
  Silicon s(31, 15, 0);
  s.kt = Vec3{0.011, -0.011, 0.02};
  const CMatrix d_re = pair_derivative(s, Hkl{1, -1, 1}, complex{1, 0}, complex{1, 0});
  s.job.rc.epsilon.bc_accuracy = 1.0;
  const RMatrix fd_all = fd_potential(s, d_re, 2e-3);
  s.job.rc.epsilon.bc_accuracy = 0.9;
  work_cal_int w = alloc_work_cal_int(s.size(), s.job.num_g, 1);
  intensity_jacobian jac;
  calc_intensity_derivatives(s.kt, s.job, {&d_re}, w, jac);
  ASSERT_LT(w.n_branch, w.n_e) << "no Bloch wave was dropped";
  EXPECT_LT(rel_error(jac.d_thickness, fd_thickness(s, 0.05)), 1e-6);
  EXPECT_LT(rel_error(jac.d_param[0], fd_all), 1e-6);
}

// A potential derivative smaller than the job's beam list is refused with
// one message instead of being read out of bounds.
TEST_F(DerivativeTest, UndersizedPotentialDerivativeIsFatal) {
  Silicon s(25, 0, 0);
  const CMatrix small(10, 10);
  work_cal_int w = alloc_work_cal_int(s.size(), s.job.num_g, 1);
  intensity_jacobian jac;
  try {
    calc_intensity_derivatives(s.kt, s.job, {&small}, w, jac);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "Potential derivative 1 does not cover the 25 beams of the job.\n");
    EXPECT_EQ(e.status(), 1);
  }
}

// The divided differences of the exponential: the plain quotient for well
// separated eigenvalues, a cancellation-free series for close ones and the
// derivative below the degeneracy threshold; all continuous in the gap.
TEST(ExpDividedDifference, BranchesAgreeWithLongDoubleQuotient) {
  const complex x{0.0, -0.37};
  const complex a{2.5, 0.04};
  auto half = [&](complex v) { return c_exp(0.5 * (x * v)); };
  for (double gap : {3.0, 0.4, 1e-2, 1e-5, 1e-7}) {
    const complex b{a.re - gap, a.im + 0.3 * gap};
    const complex f = exp_divided_difference(x, a, b, half(a), half(b), 1e-12);
    // reference in long double from exp(x (a + b)/2) * sinh(z)/z
    using cl = std::complex<long double>;
    const cl X(x.re, x.im), A(a.re, a.im), B(b.re, b.im);
    const cl z = X * (A - B) / 2.0L;
    const cl ref = X * std::exp(X * (A + B) / 2.0L) * std::sinh(z) / z;
    EXPECT_NEAR(f.re, double(ref.real()), 1e-15) << gap;
    EXPECT_NEAR(f.im, double(ref.imag()), 1e-15) << gap;
  }
  const complex d = exp_divided_difference(x, a, a, half(a), half(a), 1e-8);
  const complex e = c_exp(x * a);
  EXPECT_NEAR(d.re, (x * e).re, 2e-15);
  EXPECT_NEAR(d.im, (x * e).im, 2e-15);
}

}  // namespace
}  // namespace kv
