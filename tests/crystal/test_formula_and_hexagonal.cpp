// Four-index directions on hexagonal axes and the crystal formula of titles.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "crystal/formula.hpp"
#include "crystal/lattice.hpp"

namespace kv {
namespace {

// [U V T W] and [u v w] name the same vector U a1 + V a2 + T a3 + W c
// (a3 = -(a1 + a2)): the two conversions are inverse up to a common
// factor, and the well-known pairs come out.
TEST(MillerBravais, DirectionsConvertBothWaysAndReduce) {
  struct Pair {
    std::array<int, 4> uvtw;
    Hkl uvw;
  };
  const Pair pairs[] = {{{1, 1, -2, 0}, {1, 1, 0}}, {{2, -1, -1, 0}, {1, 0, 0}}, {{0, 0, 0, 1}, {0, 0, 1}},
                        {{1, 0, -1, 0}, {2, 1, 0}}, {{1, -1, 0, 0}, {1, -1, 0}}, {{2, -1, -1, 3}, {1, 0, 1}},
                        {{1, 1, -2, 3}, {1, 1, 1}}};
  for (const Pair& p : pairs) {
    EXPECT_EQ(uvtw_to_uvw(p.uvtw[0], p.uvtw[1], p.uvtw[3]), p.uvw) << p.uvtw[0] << p.uvtw[1] << p.uvtw[3];
    EXPECT_EQ(uvw_to_uvtw(p.uvw), p.uvtw) << p.uvw.h << p.uvw.k << p.uvw.l;
  }
  for (int u = -3; u <= 3; ++u)
    for (int v = -3; v <= 3; ++v)
      for (int w = -2; w <= 2; ++w) {
        if (u == 0 && v == 0 && w == 0) continue;
        const std::array<int, 4> f = uvw_to_uvtw(Hkl{u, v, w});
        EXPECT_EQ(f[2], -(f[0] + f[1]));
        const Hkl back = uvtw_to_uvw(f[0], f[1], f[3]);
        // back is [u v w] reduced: parallel to it (cross product zero).
        EXPECT_EQ(back.k * w - back.l * v, 0);
        EXPECT_EQ(back.l * u - back.h * w, 0);
        EXPECT_EQ(back.h * v - back.k * u, 0);
        EXPECT_GT(back.h * u + back.k * v + back.l * w, 0);
      }
  const double hex[6] = {3.189, 3.189, 5.185, 90, 90, 120}, cubic[6] = {5.43, 5.43, 5.43, 90, 90, 90},
               rh[6] = {5.13, 5.13, 5.13, 55.3, 55.3, 55.3};
  EXPECT_TRUE(hexagonal_axes(hex));
  EXPECT_FALSE(hexagonal_axes(cubic));
  EXPECT_FALSE(hexagonal_axes(rh));
  EXPECT_EQ(direction_text(Hkl{1, 1, 0}, hex), "[1 1 -2 0]");
  EXPECT_EQ(direction_text(Hkl{0, 0, 1}, hex), "[0 0 0 1]");
  EXPECT_EQ(direction_text(Hkl{1, 1, 0}, cubic), "[1 1 0]");
}

TEST(CrystalFormula, ElectropositiveFirstInWholeNumbers) {
  EXPECT_EQ(formula_text({{"O", 18}, {"Al", 12}}, true), "Al2O3");
  EXPECT_EQ(formula_text({{"O", 3}, {"Sr", 1}, {"Ti", 1}}, true), "SrTiO3");
  EXPECT_EQ(formula_text({{"N", 2}, {"Ga", 2}}, true), "GaN");
  EXPECT_EQ(formula_text({{"Si", 3}, {"O", 6}}, true), "SiO2");
  EXPECT_EQ(formula_text({{"As", 4}, {"Ga", 4}}, true), "GaAs");
  EXPECT_EQ(formula_text({{"O", 3}, {"Sr", 1}, {"Ti", 1}}, false), "SrTiO3");
  // A formula as written is kept in its counts, only reordered.
  EXPECT_EQ(formula_text({{"Pb", 1}, {"Mg", 0.33}, {"Nb", 0.67}, {"O", 3}}, false), "Mg0.33Nb0.67PbO3");
  EXPECT_EQ(formula_text({{"Al", 4}, {"O", 6}}, false), "Al4O6");
  EXPECT_LT(electropositive_rank("Sr"), electropositive_rank("Ti"));
  EXPECT_LT(electropositive_rank("Ti"), electropositive_rank("O"));
  EXPECT_EQ(electropositive_rank("Xx"), electropositive_rank("Yy"));
}

}  // namespace
}  // namespace kv
