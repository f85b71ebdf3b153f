// Physics checks of the per-tilt Bloch-wave engine on synthetic potentials:
// the two-beam Pendelloesung, the entrance-surface boundary condition, flux
// conservation without absorption, Bethe perturbation against the exact
// treatment, and per-tilt re-selection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "bloch/engine.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "bloch/synthetic_crystal.hpp"
#include "sim/runctl.hpp"

namespace kv {
namespace {

using kvtest::hermitian_potential;
using kvtest::make_synthetic;
using kvtest::Synthetic;
using kvtest::zolz_beams;

constexpr double kPi = 3.141592653589793;

// The first n_exact beams exact, the rest Bethe beams; every exact beam is
// an output reflection.
template <class VFn>
void make_job(Synthetic& s, const BeamList& beams, int n_exact, VFn v, const std::vector<double>& thickness,
              int flag_bs = 0) {
  std::vector<int> cal_g;
  for (int i = 0; i < n_exact; ++i) cal_g.push_back(i);
  make_synthetic(s, beams, v, cal_g, thickness, Hkl{0, 0, 1}, n_exact, flag_bs);
}

RMatrix run_tilt(Synthetic& s, const Vec3& kt) {
  work_cal_int w = alloc_work_cal_int(s.job.n_e0 + s.job.n_b0, s.job.num_g, 0);
  RMatrix out(s.job.num_g, s.job.num_thickness);
  calc_intensity_with_perturb_ug(kt, s.job, w, out);
  return out;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { epsilon = Epsilon{}; }
  void TearDown() override { epsilon = Epsilon{}; }
};

TEST_F(EngineTest, TwoBeamPendelloesungAtAndOffTheBraggCondition) {
  epsilon.vg_select_flag = 0;
  const double v0 = 12.0, vgv = 3.5;  // volts, no absorption
  std::vector<double> t;
  for (int i = 0; i <= 20; ++i) t.push_back(40.0 * i);
  Synthetic s;
  make_job(s, {{0, 0, 0}, {2, 0, 0}}, 2,
                         [&](const Hkl& h) { return h == Hkl{0, 0, 0} ? complex{v0, 0} : complex{vgv, 0}; }, t);
  const double gamma = relativ_corr(200);
  const double ug = vg_to_ug(complex{vgv, 0}, gamma).re;

  for (double dh : {0.0, 0.004, -0.011}) {
    const Vec3 kt{-1.0 + dh, 0.0, 0.0};  // K_t = -g/2 is the exact Bragg condition of g = (2 0 0)
    const double kz = calc_K_z(s.job.K, kt, s.lm);
    const double sg = calc_excitation_error(kt, kz, Hkl{2, 0, 0}, 0.0, s.job.K, s.lm);
    if (dh == 0.0) {
      EXPECT_NEAR(sg, 0.0, 1e-14);
    }
    const RMatrix I = run_tilt(s, kt);
    // Eigenvalues of [[0, U], [U, 2 K s]] give the effective extinction distance.
    const double ks = s.job.K * sg;
    const double root = std::sqrt(ug * ug + ks * ks);
    for (std::size_t k = 0; k < t.size(); ++k) {
      const double expect = ug * ug / (root * root) * std::pow(std::sin(kPi * t[k] * root / std::fabs(kz)), 2);
      EXPECT_NEAR(I[1][k], expect, 1e-8) << "dh=" << dh << " t=" << t[k];
      EXPECT_NEAR(I[0][k] + I[1][k], 1.0, 1e-10);
    }
  }
}


TEST_F(EngineTest, FluxIsConservedWithoutAbsorption) {
  epsilon.vg_select_flag = 0;
  const BeamList beams = zolz_beams(3);
  const int n = static_cast<int>(beams.size());
  Synthetic s;
  make_job(s, beams, n, [](const Hkl& h) { return hermitian_potential(h, 0.0); },
                         {0.0, 57.0, 230.0, 1000.0, 2345.0});
  // The solver's absolute tolerance (eigen_eps) bounds how exactly the Bloch
  // waves come out orthogonal: 1e-8 by default, tighter on request.
  for (const auto& [eps, tol] : {std::pair{1e-8, 1e-7}, std::pair{1e-14, 1e-11}}) {
    s.job.rc.epsilon.eigen_eps = eps;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.6, 0.6);
    for (int trial = 0; trial < 5; ++trial) {
      const RMatrix I = run_tilt(s, Vec3{u(rng), u(rng), 0.0});
      for (int t = 0; t < s.job.num_thickness; ++t) {
        double sum = 0;
        for (int r = 0; r < n; ++r) sum += I[r][t];
        EXPECT_NEAR(sum, 1.0, tol) << "eps " << eps << " trial " << trial << " t " << t;
      }
    }
  }
}

TEST_F(EngineTest, EntranceSurfaceHoldsOnlyTheTransmittedBeam) {
  epsilon.vg_select_flag = 0;
  const BeamList beams = zolz_beams(3);
  const int n = static_cast<int>(beams.size());
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(-0.8, 0.8);
  for (int flag_bs : {0, 10}) {
    // Eight exact beams, the rest treated as Bethe beams, with absorption.
    Synthetic s;
    make_job(s, beams, 8, [](const Hkl& h) { return hermitian_potential(h, 0.05); }, {0.0, 300.0},
             flag_bs);
    for (int trial = 0; trial < 6; ++trial) {
      const RMatrix I = run_tilt(s, Vec3{u(rng), u(rng), 0.0});
      EXPECT_NEAR(I[0][0], 1.0, 1e-10);
      for (int r = 1; r < 8; ++r) EXPECT_NEAR(I[r][0], 0.0, 1e-10);
      // and absorption takes intensity away inside the crystal
      double sum = 0;
      for (int r = 0; r < 8; ++r) sum += I[r][1];
      EXPECT_LT(sum, 1.0);
    }
  }
  (void)n;
}

TEST_F(EngineTest, WeakBetheBeamMatchesItsExactTreatment) {
  epsilon.vg_select_flag = 0;
  // 000, 200 and -200 strongly coupled; 020 weak and far from its Bragg condition.
  const BeamList beams{{0, 0, 0}, {2, 0, 0}, {-2, 0, 0}, {0, 2, 0}};
  auto pot = [](const Hkl& h) {
    if (h == Hkl{0, 0, 0}) return complex{15.0, 0.5};
    if (h.k == 0) return complex{4.0, 0.2};
    return complex{0.6, 0.03};
  };
  const std::vector<double> t{100.0, 400.0, 900.0};
  Synthetic exact;
  make_job(exact, beams, 4, pot, t);
  Synthetic gba;
  make_job(gba, beams, 3, pot, t, 0);
  Synthetic sba;
  make_job(sba, beams, 3, pot, t, 10);
  exact.job.num_g = 3;  // compare 000, 200, -200 only
  const Vec3 kt{-1.0, 0.0, 0.0};
  const RMatrix ie = run_tilt(exact, kt), ig = run_tilt(gba, kt), is = run_tilt(sba, kt);
  double worst_g = 0, worst_s = 0;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k) {
      worst_g = std::max(worst_g, std::fabs(ie[r][k] - ig[r][k]));
      worst_s = std::max(worst_s, std::fabs(ie[r][k] - is[r][k]));
    }
  std::printf("weak Bethe beam: largest intensity change %.2e (generalised), %.2e (simple)\n", worst_g, worst_s);
  EXPECT_LT(worst_g, 2e-3);
  EXPECT_LT(worst_s, 2e-3);
  // With one Bethe beam both forms are the same reduction.
  EXPECT_NEAR(worst_g, worst_s, 1e-12);
}

TEST_F(EngineTest, ReselectionDropsBeamsFarFromTheirBraggCondition) {
  epsilon.vg_select_flag = 1;
  const BeamList beams{{0, 0, 0}, {2, 0, 0}, {-2, 0, 0}, {0, 2, 0}};
  Synthetic s;
  make_job(s, beams, 4, [](const Hkl& h) { return hermitian_potential(h, 0.02); }, {0.0, 500.0}, 2);
  // At K_t = -(2 0 0)/2: s(200) = 0, |s(020)| = 0.125/K = 0.0031 and
  // |s(-200)| = 0.25/K = 0.0063 inverse angstrom.
  s.job.bs.s_g_bethe_min = 0.001;  // exact when |s_g| < 0.001
  s.job.bs.s_g_max = 0.004;        // Bethe when |s_g| < 0.004, else left out
  const Vec3 kt{-1.0, 0.0, 0.0};
  const RMatrix I = run_tilt(s, kt);
  EXPECT_GT(I[1][1], 0.0);
  EXPECT_EQ(I[2][1], 0.0);  // -200 left out at this tilt
  EXPECT_EQ(I[3][1], 0.0);  // 020 only a Bethe beam at this tilt
  // Widening the exact window brings both back.
  s.job.bs.s_g_bethe_min = 0.01;
  s.job.bs.s_g_max = 0.02;
  const RMatrix J = run_tilt(s, kt);
  EXPECT_GT(J[2][1], 0.0);
  EXPECT_GT(J[3][1], 0.0);
  EXPECT_NEAR(I[0][0], 1.0, 1e-12);
}

TEST_F(EngineTest, ReselectionNeedsTheTransmittedBeamFirst) {
  epsilon.vg_select_flag = 1;
  Synthetic s;
  make_job(s, {{2, 0, 0}, {0, 0, 0}}, 2, [](const Hkl&) { return complex{1, 0}; }, {0.0}, 2);
  s.job.bs.s_g_bethe_min = 1;
  s.job.bs.s_g_max = 2;
  EXPECT_THROW(run_tilt(s, Vec3{0, 0, 0}), FatalError);
}

TEST(Geometry, ExcitationErrorAndObliquity) {
  const double lp[6] = {4, 4, 4, 90, 90, 90};
  const lattice_metric lm = bravai(lp);
  const double K = 1.0 / wavelength(200);
  // At K_t = 0 every ZOLZ beam has s_g = -|g|^2 / (2K).
  const double kz = calc_K_z(K, Vec3{0, 0, 0}, lm);
  EXPECT_DOUBLE_EQ(kz, -K);
  const double s = calc_excitation_error(Vec3{0, 0, 0}, kz, Hkl{1, 1, 0}, 0.0, K, lm);
  EXPECT_NEAR(s, -(2.0 / 16.0) / (2 * K), 1e-15);
  // A first-order Laue zone beam: s_g = (K^2 - |K + g|^2) / (2K).
  const Vec3 kt{0.1, -0.05, 0};
  const double kz2 = calc_K_z(K, kt, lm);
  const double gz = calc_g_z(Hkl{1, 0, 1}, 4.0, Hkl{0, 0, 1});
  const double s1 = calc_excitation_error(kt, kz2, Hkl{1, 0, 1}, gz, K, lm);
  const double kx = (kt[0] + 1) / 4.0, ky = kt[1] / 4.0, kzz = kz2 + 0.25;
  EXPECT_NEAR(s1, (K * K - (kx * kx + ky * ky + kzz * kzz)) / (2 * K), 1e-9);
}

TEST(BranchLimit, KeepsTheStrongestBlochWaves) {
  const complex alpha[4] = {{0.1, 0}, {0.9, 0}, {0.2, 0.1}, {0.05, 0}};
  int branch[4], nb = 0;
  limited_branch(1.0, 4, alpha, &nb, branch);
  EXPECT_EQ(nb, 4);
  EXPECT_EQ(branch[2], 2);
  limited_branch(0.5, 4, alpha, &nb, branch);
  EXPECT_EQ(nb, 1);
  EXPECT_EQ(branch[0], 1);
  limited_branch(0.99, 4, alpha, &nb, branch);
  EXPECT_EQ(nb, 3);
  EXPECT_EQ(branch[1], 2);
}

}  // namespace
}  // namespace kv
