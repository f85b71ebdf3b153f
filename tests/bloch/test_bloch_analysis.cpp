// Physics checks of the Bloch-wave analyses on synthetic potentials: the
// two-beam dispersion surface, the excitations of the Bloch waves, the Bloch
// states against the incident plane wave, the projected potential, and the
// files these analyses write.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "bloch/bloch_analysis.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "sim/runctl.hpp"
#include "bloch/synthetic_crystal.hpp"
#include "support/run_program.hpp"

namespace kv {
namespace {

using kvtest::hermitian_potential;
using kvtest::make_synthetic;
using kvtest::numeric_rows;
using kvtest::Synthetic;
using kvtest::zolz_beams;

constexpr double kPi = 3.141592653589793;


class BlochAnalysisTest : public ::testing::Test {
 protected:
  void SetUp() override { epsilon = Epsilon{}; }
  void TearDown() override { epsilon = Epsilon{}; }
};

TEST_F(BlochAnalysisTest, TwoBeamDispersionSurfaceIsAHyperbolaSplitByUgAtTheBraggCondition) {
  const double v0 = 12.0, vgv = 3.5;  // volts, no absorption
  Synthetic s;
  make_synthetic(s, {{0, 0, 0}, {2, 0, 0}},
           [&](const Hkl& h) { return h == Hkl{0, 0, 0} ? complex{v0, 0} : complex{vgv, 0}; }, {1},
           {150.0, 400.0});
  const double ug = vg_to_ug(complex{vgv, 0}, relativ_corr(200)).re;
  const std::vector<double> dh = {-0.02, -0.007, 0.0, 0.005, 0.03};
  std::vector<ds_point> pts;
  for (double d : dh) pts.push_back(ds_point{Vec3{-1.0 + d, 0, 0}, d, 0.0});  // K_t = -g/2: Bragg for 200

  kvtest::ScratchDir dir;
  const std::string base = (dir / "tb").string();
  kvtest::capture_stdout([&] { calc_disp_surf_ug(pts, s.job, 1, 2, base); });
  EXPECT_EQ(epsilon.vg_select_flag, 0);
  const auto ds = numeric_rows(dir.read("tb_ds.txt"));
  const auto amp = numeric_rows(dir.read("tb_amp.txt"));
  const auto in = numeric_rows(dir.read("tb_int.txt"));
  ASSERT_EQ(ds.size(), dh.size());
  ASSERT_EQ(amp.size(), dh.size());
  ASSERT_EQ(in.size(), dh.size());
  for (std::size_t p = 0; p < dh.size(); ++p) {
    const Vec3& kt = pts[p].kt;
    const double kz = calc_K_z(s.job.K, kt, s.lm);
    const double sg = calc_excitation_error(kt, kz, Hkl{2, 0, 0}, 0.0, s.job.K, s.lm);
    const double ks = s.job.K * sg, root = std::sqrt(ug * ug + ks * ks);
    const auto& r = ds[p];
    ASSERT_EQ(r.size(), 13u);
    EXPECT_DOUBLE_EQ(r[0], dh[p]);
    EXPECT_NEAR(r[2], std::fabs(kz), 1e-9);
    // Eigenvalues of [[0, U], [U, 2 K s]]: K s +- sqrt((K s)^2 + U^2)
    // (written with six digits).
    EXPECT_NEAR(r[5], ks + root, 1e-5 * root);
    EXPECT_NEAR(r[10], ks - root, 1e-5 * root);
    EXPECT_NEAR(r[6], 0.0, 1e-12);
    // Wave-vector components |K_n| + lambda_j / (2 |K_n|): the branches are
    // split by sqrt((K s)^2 + U^2) / |K_n|, by U_g / |K_n| at Bragg.
    EXPECT_NEAR(r[3], std::fabs(kz) + (ks + root) / (2 * std::fabs(kz)), 1e-9);
    EXPECT_NEAR(r[3] - r[8], root / std::fabs(kz), 1e-9);
    if (dh[p] == 0.0) {
      EXPECT_NEAR(std::fabs(r[3] - r[8]), ug / std::fabs(kz), 1e-9);
      EXPECT_NEAR(r[7], 0.5, 1e-9);  // both branches equally excited
    }
    // Excitations: the incident wave is shared out entirely.
    EXPECT_NEAR(r[7] + r[12], 1.0, 1e-9);
    // The diffracted beam vanishes at the entrance: its two Bloch-wave
    // components have equal size and opposite phase.
    const auto& a = amp[p];
    ASSERT_EQ(a.size(), 6u);
    EXPECT_NEAR(a[2], a[4], 1e-6);
    EXPECT_NEAR(std::fabs(std::remainder(a[3] - a[5], 2 * kPi)), kPi, 1e-4);
    EXPECT_NEAR(a[2], ug / (2 * root), 1e-5);
    // Pendelloesung of the diffracted beam, scaled by 10000.
    ASSERT_EQ(in[p].size(), 4u);
    for (int t = 0; t < 2; ++t) {
      const double expect =
          1e4 * ug * ug / (root * root) * std::pow(std::sin(kPi * s.thickness[t] * root / std::fabs(kz)), 2);
      EXPECT_NEAR(in[p][2 + t], expect, 1e-4 * std::max(1.0, expect));
    }
  }
}

TEST_F(BlochAnalysisTest, ManyBeamExcitationsSumToOneWithoutAbsorption) {
  Synthetic s;
  const BeamList beams = zolz_beams(2);
  make_synthetic(s, beams, [](const Hkl& h) { return hermitian_potential(h, 0.0); }, {0, 3}, {200.0});
  const int n = static_cast<int>(beams.size());
  std::vector<ds_point> pts{{Vec3{0.1, -0.05, 0}, 0.2, -0.1}, {Vec3{-0.3, 0.2, 0}, -0.6, 0.4}};
  kvtest::ScratchDir dir;
  const std::string base = (dir / "mb").string();
  kvtest::capture_stdout([&] { calc_disp_surf_ug(pts, s.job, 1, n, base); });
  const auto ds = numeric_rows(dir.read("mb_ds.txt"));
  ASSERT_EQ(ds.size(), 2u);
  for (const auto& r : ds) {
    ASSERT_EQ(r.size(), static_cast<std::size_t>(3 + 5 * n));
    double sum = 0;
    for (int j = 0; j < n; ++j) {
      sum += r[3 + 5 * j + 4];
      if (j > 0) {
        EXPECT_GE(r[3 + 5 * (j - 1) + 2], r[3 + 5 * j + 2]);  // decreasing eigenvalues
      }
    }
    EXPECT_NEAR(sum, 1.0, 1e-6);
  }
}

TEST_F(BlochAnalysisTest, BlochStatesAddUpToTheIncidentWaveAndToTheBeamsInside) {
  epsilon.vg_select_flag = 0;
  Synthetic s;
  const BeamList beams = zolz_beams(2);
  // An inclined surface makes the obliquity factors differ from 1.
  make_synthetic(s, beams, [](const Hkl& h) { return hermitian_potential(h, 0.3); }, {0}, {}, Hkl{0, 1, 5});
  const int n = static_cast<int>(beams.size());
  const Vec3 kt{0.137, -0.071, 0};
  work_cal_int w = alloc_work_cal_int(n, 1, 0);
  const double kn = solve_bloch_tilt(kt, s.job, w);
  ASSERT_EQ(w.n_e, n);
  double spread = 0;
  for (int g = 0; g < n; ++g) spread = std::max(spread, std::fabs(w.beta_sel[g] - 1.0));
  EXPECT_GT(spread, 1e-4);
  for (const Vec3& r : {Vec3{0, 0, 0}, Vec3{0.31, 0.77, 0}, Vec3{-0.45, 0.12, 0.5}}) {
    complex sum{0, 0};
    for (int j = 0; j < n; ++j)
      sum += w.alpha[j] * calc_bloch_state_func_ug(j, r, n, beams, kt, w.beta_sel.data(), w.c);
    const double ph = 2 * kPi * (kt[0] * r[0] + kt[1] * r[1] + kt[2] * r[2]);
    EXPECT_NEAR(sum.re, std::cos(ph), 1e-9);
    EXPECT_NEAR(sum.im, std::sin(ph), 1e-9);
    // Inside the crystal the Bloch waves, each with its phase and
    // attenuation, add up to the sum of the diffracted beams.
    const double t = 350.0;
    complex inside{0, 0}, beams_sum{0, 0};
    for (int j = 0; j < n; ++j) {
      const double f = -kPi * t / kn;
      const complex prop{std::exp(-f * w.eigval[j].im) * std::cos(f * w.eigval[j].re),
                         std::exp(-f * w.eigval[j].im) * std::sin(f * w.eigval[j].re)};
      inside += w.alpha[j] * prop * calc_bloch_state_func_ug(j, r, n, beams, kt, w.beta_sel.data(), w.c);
    }
    for (int g = 0; g < n; ++g) {
      const complex psi = psi_limited_ug(g, t, n, w.n_branch, w.branch.data(), kn, w.beta_sel.data(),
                                         w.eigval.data(), w.c, w.alpha.data());
      const double a = 2 * kPi * ((kt[0] + beams[g].h) * r[0] + (kt[1] + beams[g].k) * r[1] + kt[2] * r[2]);
      beams_sum += psi * complex{std::cos(a), std::sin(a)};
    }
    EXPECT_NEAR(inside.re, beams_sum.re, 1e-9);
    EXPECT_NEAR(inside.im, beams_sum.im, 1e-9);
    // Bloch's theorem: a lattice translation multiplies by exp(2 pi i K_t.R).
    const Vec3 r2{r[0] + 1, r[1] - 2, r[2]};
    const complex b1 = calc_bloch_state_func_ug(2, r, n, beams, kt, w.beta_sel.data(), w.c);
    const complex b2 = calc_bloch_state_func_ug(2, r2, n, beams, kt, w.beta_sel.data(), w.c);
    const double tr = 2 * kPi * (kt[0] - 2 * kt[1]);
    const complex expect = b1 * complex{std::cos(tr), std::sin(tr)};
    EXPECT_NEAR(b2.re, expect.re, 1e-9);
    EXPECT_NEAR(b2.im, expect.im, 1e-9);
  }
}

TEST_F(BlochAnalysisTest, ProjectedPotentialAveragesToTheMeanPotential) {
  Synthetic s;
  const BeamList beams = zolz_beams(3);
  make_synthetic(s, beams, [](const Hkl& h) { return hermitian_potential(h, 0.2); }, {0}, {});
  const int n = static_cast<int>(beams.size());
  CVector coef(static_cast<std::size_t>(n));
  for (int g = 0; g < n; ++g) coef[g] = s.vg[g][0];
  const int m = 8;
  complex mean{0, 0};
  double min_re = 1e300, max_re = -1e300;
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < m; ++j) {
      const Vec3 r{double(i) / m, double(j) / m, 0.3};
      const complex v = calc_projpot(r, n, beams, s.vg);
      const complex f = calc_inv_fourier(r, n, beams, coef.data());
      EXPECT_NEAR(v.re, f.re, 1e-12);
      EXPECT_NEAR(v.im, f.im, 1e-12);
      mean += v * (1.0 / (m * m));
      min_re = std::min(min_re, v.re);
      max_re = std::max(max_re, v.re);
    }
  EXPECT_NEAR(mean.re, s.vg[0][0].re, 1e-9);
  EXPECT_NEAR(mean.im, s.vg[0][0].im, 1e-9);
  EXPECT_GT(max_re - min_re, 1.0);  // the map is not flat
  // A real, centrosymmetric set of coefficients gives a real potential
  // symmetric under r -> -r.
  Synthetic c;
  make_synthetic(c, beams, [](const Hkl& h) { return complex{3.0 / (1 + h.h * h.h + 2 * h.k * h.k), 0}; }, {0}, {});
  const complex a = calc_projpot(Vec3{0.21, 0.34, 0}, n, beams, c.vg);
  const complex b = calc_projpot(Vec3{-0.21, -0.34, 0}, n, beams, c.vg);
  EXPECT_NEAR(a.im, 0.0, 1e-12);
  EXPECT_NEAR(a.re, b.re, 1e-12);
}

TEST(BlochMap, CoordinatesRunFromBeginToEndOrStayAtBegin) {
  EXPECT_DOUBLE_EQ(map_coord(0.2, 1.2, 0, 5), 0.2);
  EXPECT_DOUBLE_EQ(map_coord(0.2, 1.2, 2, 5), 0.7);
  EXPECT_DOUBLE_EQ(map_coord(0.2, 1.2, 4, 5), 1.2);
  EXPECT_DOUBLE_EQ(map_coord(0.2, 1.2, 0, 1), 0.2);
}

TEST_F(BlochAnalysisTest, BlochStateFilesAndScript) {
  Synthetic s;
  const BeamList beams = zolz_beams(1);  // 000 and the four 100-type beams
  make_synthetic(s, beams, [](const Hkl& h) { return hermitian_potential(h, 0.1); }, {}, {});
  rxy_map map;
  map.nx = 1;
  map.ny = 3;
  map.x_range[0] = 0.25;
  map.x_range[1] = 0.75;
  map.y_range[0] = 0.0;
  map.y_range[1] = 1.0;
  map.x1 = Vec3{1, 0, 0};
  map.x2 = Vec3{0, 1, 0};
  kvtest::ScratchDir dir;
  const std::string base = (dir / "bs").string();
  std::FILE* log = std::tmpfile();
  const std::string out =
      kvtest::capture_stdout([&] { calc_bloch_state_ug(Vec3{0.05, 0, 0}, s.job, map, 2, 3, base, log); });
  EXPECT_NE(out.find("Proj. potential\n"), std::string::npos);
  EXPECT_NE(out.find("Branch 3\n"), std::string::npos);
  EXPECT_NE(out.find("\n>> talvis " + base + "_tlv.txt\n"), std::string::npos);

  const auto kn = kvtest::split_lines(dir.read("bs_kn.txt"));
  ASSERT_EQ(kn.size(), 7u);  // two header lines and one line per exact beam
  EXPECT_EQ(kn[0], "% kn");
  EXPECT_EQ(kn[1], "% branch_i\tRe_eigenvalue\tIm_eigenvalue\teps^2");
  EXPECT_EQ(kn[2].substr(0, 3), "1: ");
  EXPECT_EQ(kn[6].substr(0, 3), "5: ");

  const auto pp = kvtest::split_lines(dir.read("bs_pp.txt"));
  ASSERT_GE(pp.size(), 8u);
  EXPECT_EQ(pp[0], "# Projected potential (formed by 5-beams)");
  EXPECT_EQ(pp[1], "#nx ny");
  EXPECT_EQ(pp[2], "#1 3");
  EXPECT_EQ(pp[3], "#x\ty\t\tpotential.re[V]\tpotential.im[V]");
  EXPECT_EQ(pp[4].substr(0, 7), "0.25\t0\t");  // nx = 1: every point at x_begin
  EXPECT_EQ(pp[5].substr(0, 9), "0.25\t0.5\t");
  EXPECT_EQ(pp[6].substr(0, 7), "0.25\t1\t");
  EXPECT_EQ(pp[7], "");

  const auto b3 = kvtest::split_lines(dir.read("bs_b3.txt"));
  ASSERT_GE(b3.size(), 9u);
  EXPECT_EQ(b3[0], "# Bloch state: branch 3)");
  EXPECT_EQ(b3[1].substr(0, 22), "# branch:3, eigen_val:");
  EXPECT_EQ(b3[2], "# nx ny");
  EXPECT_EQ(b3[3], "# 1 3");
  EXPECT_EQ(b3[4], "#x\ty\tdensity\tangle\tre\tim");
  for (int k = 5; k < 8; ++k) {
    std::istringstream in(b3[k]);
    double x, y, d, a, re, im;
    ASSERT_TRUE(in >> x >> y >> d >> a >> re >> im) << b3[k];
    EXPECT_NEAR(d, re * re + im * im, 1e-5 * std::max(1.0, d));
  }
  EXPECT_EQ(b3[8], "");

  // The script lists the files and the excitations of the kn file.
  const auto sc = kvtest::split_lines(dir.read("bs_tlv.txt"));
  ASSERT_EQ(sc.size(), 16u);
  EXPECT_EQ(sc[0], "TALVIS_SCRIPT");
  EXPECT_EQ(sc[1], "BLOCH_VISUAL_MODE");
  EXPECT_EQ(sc[2], "HTML_OPEN");
  EXPECT_EQ(sc[3], base + "_.html");
  EXPECT_EQ(sc[4], "BLOCH_VISUAL");
  EXPECT_EQ(sc[5], base);
  EXPECT_EQ(sc[6], base + "_pp.txt");
  EXPECT_EQ(sc[7], "2    # branch_begin");
  EXPECT_EQ(sc[8], "3    # branch_end");
  EXPECT_EQ(sc[9], base + "_b2.txt");
  EXPECT_EQ(sc[10], "2    # branch");
  const std::string eps2 = kn[3].substr(kn[3].rfind(' ') + 1);
  EXPECT_EQ(sc[11], eps2 + "    # eps^2");
  EXPECT_EQ(sc[12], base + "_b3.txt");
  EXPECT_EQ(sc[15], "HTML_CLOSE");

  std::rewind(log);
  std::string logged;
  char buf[512];
  while (std::fgets(buf, sizeof buf, log)) logged += buf;
  std::fclose(log);
  EXPECT_EQ(logged, " k_n ==> " + base + "_kn.txt\n Projected potential: ==> " + base +
                        "_pp.txt\n Prob. density (branch 2): ==> " + base + "_b2.txt\n Prob. density (branch 3): ==> " +
                        base + "_b3.txt\n");
}

}  // namespace
}  // namespace kv
