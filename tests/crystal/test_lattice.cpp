#include <gtest/gtest.h>

#include <cmath>

#include "crystal/lattice.hpp"
#include "crystal_test_util.hpp"

using kvtest::fatal_of;

namespace kv {
namespace {

constexpr double kPi = 3.141592653589793;

// Direct and reciprocal metric as 3x3 matrices.
void tensors(const lattice_metric& m, double g[3][3], double gs[3][3]) {
  const double gg[3][3] = {{m.g11, m.g12, m.g13}, {m.g12, m.g22, m.g23}, {m.g13, m.g23, m.g33}};
  const double gr[3][3] = {
      {m.gs11, m.gs12, m.gs13}, {m.gs12, m.gs22, m.gs23}, {m.gs13, m.gs23, m.gs33}};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      g[i][j] = gg[i][j];
      gs[i][j] = gr[i][j];
    }
}

TEST(Bravai, CubicAndHexagonalCells) {
  const lattice_metric c = bravai(std::array<double, 6>{4, 4, 4, 90, 90, 90});
  EXPECT_DOUBLE_EQ(c.gs11, 0.0625);
  EXPECT_NEAR(c.gs12, 0.0, 1e-16);
  EXPECT_DOUBLE_EQ(c.vol, 64.0);
  EXPECT_DOUBLE_EQ(c.s11, 256.0);
  EXPECT_DOUBLE_EQ(sq_abs({2, 0, 0}, c), 0.25);

  const lattice_metric h = bravai(std::array<double, 6>{3, 3, 5, 90, 90, 120});
  EXPECT_NEAR(h.g12, -4.5, 1e-12);
  const double astar = std::sqrt(h.gs11);
  EXPECT_NEAR(astar, 2.0 / (3.0 * std::sqrt(3.0)), 1e-12);
  EXPECT_NEAR(h.gs12, astar * astar / 2.0, 1e-12);  // gamma* = 60 degrees
  EXPECT_NEAR(h.vol, 38.971, 5e-4);
  EXPECT_NEAR(h.gs33, 1.0 / 25.0, 1e-14);
}

// In a triclinic cell every off-diagonal element differs, so a field put in
// the wrong place or an angle paired with the wrong edges shows up as a
// failure of G* G = 1 or of s_ij = V^2 G*_ij.
TEST(Bravai, TriclinicMetricIsInverseOfReciprocal) {
  const double lp[6] = {5.1, 6.3, 7.7, 78.0, 95.0, 104.0};
  const lattice_metric m = bravai(lp);
  double g[3][3], gs[3][3];
  tensors(m, g, gs);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double p = 0;
      for (int k = 0; k < 3; ++k) p += g[i][k] * gs[k][j];
      EXPECT_NEAR(p, i == j ? 1.0 : 0.0, 1e-12) << i << j;
    }
  double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
               g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
               g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
  EXPECT_NEAR(m.vol, std::sqrt(det), 1e-10);
  const double v2 = m.vol * m.vol;
  EXPECT_NEAR(m.s11, v2 * m.gs11, 1e-8);
  EXPECT_NEAR(m.s22, v2 * m.gs22, 1e-8);
  EXPECT_NEAR(m.s33, v2 * m.gs33, 1e-8);
  EXPECT_NEAR(m.s12, v2 * m.gs12, 1e-8);
  EXPECT_NEAR(m.s13, v2 * m.gs13, 1e-8);
  EXPECT_NEAR(m.s23, v2 * m.gs23, 1e-8);
  EXPECT_NEAR(m.g23, 6.3 * 7.7 * std::cos(78.0 * kPi / 180), 1e-12);
  EXPECT_NEAR(m.g13, 5.1 * 7.7 * std::cos(95.0 * kPi / 180), 1e-12);
}

TEST(VectorProducts, DirectAndReciprocalLengthsAgree) {
  const double lp[6] = {5.1, 6.3, 7.7, 78.0, 95.0, 104.0};
  const lattice_metric m = bravai(lp);
  // d spacing of (h k l) is 1/|g|; the direct vector [u v w] with u h + v k +
  // w l = 1 projected on g has length d.
  const Vec3 g{1, -2, 3};
  EXPECT_DOUBLE_EQ(inner_product(g, g, m), sq_abs(g, m));
  EXPECT_DOUBLE_EQ(inner_product_uvw_hkl(Hkl{2, 1, 3}, g), 2 - 2 + 9);
  EXPECT_DOUBLE_EQ(inner_product_uvw(Hkl{1, 2, -1}, Hkl{1, 2, -1}, m),
                   inner_product_r_uvw({1, 2, -1}, {1, 2, -1}, m));
  EXPECT_NEAR(abs_uvw(Hkl{0, 0, 1}, m), 7.7, 1e-12);
  EXPECT_NEAR(abs_r_uvw({0.5, 0, 0}, m), 2.55, 1e-12);
  // [u v w] along the normal of (h k l): r = G^-1 g = G* g in direct units.
  double gg[3][3], gs[3][3];
  tensors(m, gg, gs);
  Vec3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i] += gs[i][j] * g[j];
  EXPECT_NEAR(abs_r_uvw(r, m), std::sqrt(sq_abs(g, m)), 1e-12);
  EXPECT_EQ(hkl2rhkl(Hkl{-3, 0, 7}), (Vec3{-3.0, 0.0, 7.0}));
}

TEST(ZolzBase, CubicBaseAndFatalParallelCase) {
  const lattice_metric c = bravai(std::array<double, 6>{4, 4, 4, 90, 90, 90});
  const Vec3 g2 = zolz_ort_base(Hkl{0, 0, 1}, {1, 0, 0}, c);
  EXPECT_NEAR(g2[0], 0.0, 1e-14);
  EXPECT_NEAR(g2[1], 1.0, 1e-14);
  EXPECT_NEAR(g2[2], 0.0, 1e-14);
  const FatalError e = fatal_of([&] { zolz_ort_base(Hkl{0, 0, 1}, {0, 0, 1}, c); });
  EXPECT_EQ(e.text(),
            "$Error: the zero-order Laue zone base g1 = (0 0 1) is parallel to the incidence [0 0 1]; "
            "choose g1 with h u + k v + l w = 0.\n");
  EXPECT_EQ(e.status(), 1);
  EXPECT_EQ(fatal_of([&] { zolz_ort_base_uvw(Hkl{0, 0, 0}, {1, 0, 0}, c); }).text(),
            "$Error: the incidence [0 0 0] is no direction; the zone axis [u v w] must not be zero.\n");
  EXPECT_EQ(fatal_of([&] { zolz_ort_base(Hkl{1, 1, 0}, {0, 0, 0}, c); }).text(),
            "$Error: the zero-order Laue zone base g1 = (0 0 0) must not be zero.\n");
  // A g1 with a component along the beam keeps g2 perpendicular to both.
  const Vec3 g1{1, 0, 1};
  const Vec3 t = zolz_ort_base(Hkl{0, 0, 1}, g1, c);
  EXPECT_NEAR(inner_product(t, g1, c), 0.0, 1e-14);
  EXPECT_NEAR(inner_product_uvw_hkl(Hkl{0, 0, 1}, t), 0.0, 1e-14);
  EXPECT_NEAR(sq_abs(t, c), sq_abs(g1, c), 1e-14);
}

// On the hexagonal cell a* and b* are 60 degrees apart: B x a* along [001]
// is the reciprocal vector (-1 2 0)/sqrt(3), right-handed.
TEST(ZolzBase, HexagonalRightHandedBase) {
  const lattice_metric h = bravai(std::array<double, 6>{3, 3, 5, 90, 90, 120});
  const Vec3 g2 = zolz_ort_base(Hkl{0, 0, 1}, {1, 0, 0}, h);
  EXPECT_NEAR(g2[0], -1.0 / std::sqrt(3.0), 1e-12);
  EXPECT_NEAR(g2[1], 2.0 / std::sqrt(3.0), 1e-12);
  EXPECT_NEAR(g2[2], 0.0, 1e-12);

  // Real-space base: dual to (g1, g2) within the zone.
  Vec3 e1, e2;
  zolz_ort_base_two_uvw(Hkl{0, 0, 1}, {1, 0, 0}, h, &e1, &e2);
  const Vec3 g1{1, 0, 0};
  const auto dot = [](const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
  EXPECT_NEAR(dot(e1, g1), 1.0, 1e-12);
  EXPECT_NEAR(dot(e2, g2), 1.0, 1e-12);
  EXPECT_NEAR(dot(e1, g2), 0.0, 1e-12);
  EXPECT_NEAR(dot(e2, g1), 0.0, 1e-12);
  EXPECT_NEAR(abs_r_uvw(e1, h), 1.0 / std::sqrt(sq_abs(g1, h)), 1e-12);
  EXPECT_NEAR(inner_product_r_uvw(e1, e2, h), 0.0, 1e-12);

  double x, y;
  const Vec3 p = proj_to_zolz(Hkl{-1, 2, 0}, Hkl{0, 0, 1}, g1, h, &x, &y);
  EXPECT_NEAR(x, 0.0, 1e-12);
  EXPECT_NEAR(y, std::sqrt(3.0), 1e-12);
  EXPECT_NEAR(p[1], 2.0, 1e-12);
}

TEST(ZolzBase, ProjectionOfBaseAndBeamVectors) {
  const lattice_metric c = bravai(std::array<double, 6>{4, 5, 6, 90, 90, 90});
  double x = -1, y = -1;
  const Vec3 p = proj_to_zolz(Hkl{2, 0, 0}, Hkl{0, 0, 1}, {2, 0, 0}, c, &x, &y);
  EXPECT_NEAR(x, 1.0, 1e-14);
  EXPECT_NEAR(y, 0.0, 1e-14);
  EXPECT_NEAR(p[0], 2.0, 1e-14);
  const Vec3 q = proj_to_zolz(Hkl{0, 0, 3}, Hkl{0, 0, 1}, {2, 0, 0}, c, &x, &y);
  EXPECT_NEAR(x, 0.0, 1e-14);
  EXPECT_NEAR(y, 0.0, 1e-14);
  EXPECT_NEAR(std::fabs(q[0]) + std::fabs(q[1]) + std::fabs(q[2]), 0.0, 1e-14);
  // A general reflection keeps only its in-zone part.
  const Vec3 r = proj_to_zolz(Hkl{1, 3, 2}, Hkl{0, 0, 1}, {1, 0, 0}, c, &x, &y);
  EXPECT_NEAR(r[0], 1.0, 1e-12);
  EXPECT_NEAR(r[1], 3.0, 1e-12);
  EXPECT_NEAR(r[2], 0.0, 1e-12);
}

TEST(ZolzBase, NormalizeVec) {
  const lattice_metric c = bravai(std::array<double, 6>{4, 5, 6, 90, 90, 90});
  const Vec3 z = normalize_vec({0, 0, 0}, {1, 1, 1}, c);
  EXPECT_EQ(z, (Vec3{0, 0, 0}));
  const Vec3 n = normalize_vec({0, 2, 0}, {1, 0, 0}, c);
  EXPECT_NEAR(sq_abs(n, c), 1.0 / 16.0, 1e-15);
  EXPECT_NEAR(n[1], 1.25, 1e-14);
}

TEST(ExtinctionRule, CentringTable) {
  const Hkl h100{1, 0, 0};
  EXPECT_EQ(extinction_rule(h100, "P", 0), 0);
  EXPECT_NE(extinction_rule(h100, "I", 0), 0);
  EXPECT_NE(extinction_rule(h100, "F", 0), 0);
  EXPECT_NE(extinction_rule(h100, "C", 0), 0);
  EXPECT_EQ(extinction_rule(h100, "A", 0), 0);
  EXPECT_NE(extinction_rule(h100, "B", 0), 0);
  EXPECT_EQ(extinction_rule(Hkl{-1, 1, 1}, "F", 0), 0);
  EXPECT_EQ(extinction_rule(Hkl{2, 0, -2}, "F", 0), 0);
  EXPECT_NE(extinction_rule(Hkl{1, 1, 0}, "F", 0), 0);
  EXPECT_NE(extinction_rule(Hkl{-1, 0, 0}, "I", 0), 0);  // remainder -1 forbids too
  EXPECT_EQ(extinction_rule(Hkl{-1, -1, 0}, "C", 0), 0);
  EXPECT_EQ(extinction_rule(Hkl{1, 1, 0}, "R", 1), 0);
  EXPECT_NE(extinction_rule(h100, "R", 1), 0);
  EXPECT_NE(extinction_rule(Hkl{0, 0, -1}, "R", 1), 0);
  EXPECT_EQ(extinction_rule(Hkl{0, 0, 3}, "R", 1), 0);
  EXPECT_EQ(extinction_rule(h100, "R", 0), 0);
  EXPECT_EQ(extinction_rule(Hkl{1, 1, 0}, "Imm", 0), 0);  // first character only
  const FatalError e = fatal_of([&] { extinction_rule(h100, "H", 0); });
  EXPECT_EQ(e.text(), "$$ Lattice type H is invalid\n in extinction_rule() of lattice\n");
  EXPECT_EQ(e.status(), 1);
  EXPECT_THROW(extinction_rule(h100, "", 0), FatalError);
}

TEST(ElectronOptics, WavelengthsAndRelativisticFactors) {
  EXPECT_NEAR(wavelength(100), 0.037014, 5e-7);
  EXPECT_NEAR(wavelength(200), 0.025079, 5e-7);
  EXPECT_NEAR(wavelength(300), 0.019687, 5e-7);
  EXPECT_NEAR(relativ_corr(200), 1.391390, 5e-7);
  // lambda^2 = h^2 / (2 m0 e E*) with E* = gamma E', so the three functions
  // must agree with one another at any voltage.
  for (double kv : {10.0, 120.0, 200.0, 1000.0}) {
    const double l = wavelength(kv);
    EXPECT_NEAR(evdash(kv) * relativ_corr(kv) * l * l, 12.264263 * 12.264263, 2e-5) << kv;
  }
  EXPECT_LT(evdash(200), 200000.0);
  EXPECT_NEAR(evdash(0.001), 1.0, 1e-5);
}

}  // namespace
}  // namespace kv
