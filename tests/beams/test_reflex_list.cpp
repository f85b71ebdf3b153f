// The reflection listing "%s_fg%d.txt": header by search method, row
// formats, row order and the numbering exchange with g1, and the stop after
// the listing under reflex_only_flag.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "beams/beam_test_util.hpp"
#include "beams/reflex_list.hpp"
#include "sim/runctl.hpp"

using kvtest::BeamScratch;
using kvtest::capture_stdout;
using kvtest::fatal_of;
using kvtest::split_lines;

namespace kv {
namespace {

constexpr double kKv = 200.0;
const Hkl kZone{0, 0, 1};
const char* kHeading =
    "i\th\tk\tl\tnlz\tx\ty\tBethe\tg\tFg_re\tFg_im\tFg_abs\tFgela_re\tFgela_im\tFginela_re\tFginela_im";

class ReflexListing : public ::testing::Test {
 protected:
  void SetUp() override {
    dbg.base_name = "lst";
    dbg.reflex_only_flag = 0;
  }
  void TearDown() override {
    dbg.base_name.clear();
    dbg.reflex_only_flag = 0;
  }

  // Writes the listing and returns its lines.
  std::vector<std::string> listing(csd& c, const beam_search& bs, const BeamList& beams, int n_exact,
                                   int n_bethe, const Vec3& g1, const std::string& left_out = std::string()) {
    const lattice_metric lm = bravai(c.lp);
    const std::string out = capture_stdout(
        [&] { reflex_dump_csd(0, n_exact, n_bethe, beams, c, bs, kZone, g1, kKv, lm, left_out); });
    EXPECT_EQ(out, "reflex output ==> lst_fg0.txt\n");
    return split_lines(scratch.dir().read("lst_fg0.txt"));
  }

  // The row a beam should get, with the structure factor the calculation
  // uses given by the caller.
  std::string row(int index, int bethe, const Hkl& g, csd& c, const Vec3& g1, complex fg) {
    const lattice_metric lm = bravai(c.lp);
    double x = 0, y = 0;
    proj_to_zolz(g, kZone, g1, lm, &x, &y);
    const complex ela = calc_Fg_ela(g, kKv, lm, c);
    const complex inela = calc_Fg_inela(g, kKv, lm, c);
    return strprintf("%d\t%3d\t%3d\t%3d\t%d\t%f\t%f\t%d\t%f\t%f\t%f\t%f\t%f\t%f\t%f\t%f", index, g.h, g.k,
                     g.l, g.l, x, y, bethe, std::sqrt(sq_abs(hkl2rhkl(g), lm)), fg.re, fg.im, c_abs(fg),
                     ela.re, ela.im, inela.re, inela.im);
  }
  std::string row(int index, int bethe, const Hkl& g, csd& c, const Vec3& g1) {
    int warn = 0;
    const lattice_metric lm = bravai(c.lp);
    return row(index, bethe, g, c, g1, structure_factor_ext(g, kKv, lm, c, &warn));
  }

  // The leading "i h k l" of each row.
  static std::vector<std::string> row_keys(const std::vector<std::string>& lines, std::size_t first) {
    std::vector<std::string> keys;
    for (std::size_t i = first; i < lines.size(); ++i) {
      int idx, h, k, l;
      if (std::sscanf(lines[i].c_str(), "%d %d %d %d", &idx, &h, &k, &l) == 4)
        keys.push_back(strprintf("%d:%d %d %d", idx, h, k, l));
    }
    return keys;
  }

  BeamScratch scratch;
  csd si = kvtest::silicon();
};

TEST_F(ReflexListing, HeaderAndRowsOfAnSgSearch) {
  beam_search bs;
  bs.flag_bs = 12;
  bs.s_g_bethe_min = 0.01;
  bs.s_g_max = 0.05;
  bs.xi_g_max = 1000;
  bs.lz_min = 0;
  bs.lz_max = 1;
  bs.g_max = 1.5;
  const Vec3 g1{2, 0, 0};
  const BeamList beams{{0, 0, 0}, {2, 2, 0}, {2, 0, 0}, {-2, 2, 0}, {4, 0, 0}};
  const std::vector<std::string> lines = listing(si, bs, beams, 4, 1, g1);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "# beam_search par.: ");
  EXPECT_EQ(lines[1], " sgbmin=0.01, sgmax=0.05, xigmax=1000, lz:0-1, gmax=1.5");
  EXPECT_EQ(lines[2], "# [0 0 1]");
  EXPECT_EQ(lines[3], "# Exact= 4  Bethe= 1");
  EXPECT_EQ(lines[4], kHeading);
  // 000, then g1 numbered 1, then (2 2 0) from position 1 numbered with g1's
  // position 2, then the rest; Bethe beams last with flag 1.
  EXPECT_EQ(lines[5], row(0, 0, {0, 0, 0}, si, g1));
  EXPECT_EQ(lines[6], row(1, 0, {2, 0, 0}, si, g1));
  EXPECT_EQ(lines[7], row(2, 0, {2, 2, 0}, si, g1));
  EXPECT_EQ(lines[8], row(3, 0, {-2, 2, 0}, si, g1));
  EXPECT_EQ(lines[9], row(4, 1, {4, 0, 0}, si, g1));
  // Field widths: indices right-aligned in three places, x and y in units
  // of |g1| (g2 = (0 2 0)), |g| of (2 2 0) = sqrt(8) / 5.4309.
  EXPECT_EQ(lines[7].substr(0, 40), "2\t  2\t  2\t  0\t0\t1.000000\t1.000000\t0\t0.52");
  EXPECT_EQ(lines[8].substr(0, 22), "3\t -2\t  2\t  0\t0\t-1.000");
}

TEST_F(ReflexListing, NumberingExchangeCases) {
  beam_search bs;  // manual
  struct Case {
    BeamList beams;
    int n_exact;
    Vec3 g1;
    std::vector<std::string> keys;
  };
  const Case cases[] = {
      // No 000 in the list: the first row is g1, numbered 1; the beam at
      // position 1 takes g1's position 0.
      {{{2, 0, 0}, {2, 2, 0}, {1, 1, 1}}, 3, {2, 0, 0}, {"1:2 0 0", "0:2 2 0", "2:1 1 1"}},
      // g1 already at position 1: nothing is exchanged.
      {{{0, 0, 0}, {2, 0, 0}, {2, 2, 0}}, 3, {2, 0, 0}, {"0:0 0 0", "1:2 0 0", "2:2 2 0"}},
      // g1 2.7 0 0 is looked up as (2 0 0).
      {{{0, 0, 0}, {2, 2, 0}, {2, 0, 0}}, 3, {2.7, 0, 0}, {"0:0 0 0", "1:2 0 0", "2:2 2 0"}},
      // g1 not among the exact beams (only a Bethe beam): plain numbering.
      {{{0, 0, 0}, {2, 2, 0}, {1, 1, 1}, {2, 0, 0}}, 3, {2, 0, 0},
       {"0:0 0 0", "1:2 2 0", "2:1 1 1", "3:2 0 0"}},
  };
  for (const Case& c : cases) {
    const int n_bethe = static_cast<int>(c.beams.size()) - c.n_exact;
    const std::vector<std::string> lines = listing(si, bs, c.beams, c.n_exact, n_bethe, c.g1);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "# beam_search --> manual");
    EXPECT_EQ(row_keys(lines, 4), c.keys) << c.g1[0];
  }
  // x, y use g1 as given, not truncated.
  const std::vector<std::string> lines = listing(si, bs, {{0, 0, 0}, {2, 0, 0}}, 2, 0, Vec3{2.7, 0, 0});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_NE(lines[5].find("\t0\t0.740741\t"), std::string::npos) << lines[5];
}

TEST_F(ReflexListing, StructureFactorColumns) {
  beam_search bs;
  bs.flag_bs = 10;
  // (1 0 0) is forbidden by the F centring: the calculation uses 0 while the
  // elastic and absorptive columns carry the sums over the atoms.
  std::vector<std::string> lines = listing(si, bs, {{0, 0, 0}, {1, 0, 0}}, 2, 0, Vec3{2, 0, 0});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], row(1, 0, {1, 0, 0}, si, Vec3{2, 0, 0}, complex{0, 0}));
  EXPECT_NE(lines[5].find("\t0.000000\t0.000000\t0.000000\t"), std::string::npos);

  // A LOW_ORDER_FG value replaces the computed one in the Fg columns only.
  csd given = kvtest::silicon("1\n1\n2 2 0\n7.5 FIX f220r\n0.25 FIX f220i\n");
  lines = listing(given, bs, {{0, 0, 0}, {2, 2, 0}}, 2, 0, Vec3{2, 0, 0});
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], row(1, 0, {2, 2, 0}, given, Vec3{2, 0, 0}, complex{7.5, 0.25}));
  int warn = 0;
  const complex computed = structure_factor_ext(Hkl{2, 2, 0}, kKv, bravai(given.lp), given, &warn);
  EXPECT_GT(std::fabs(computed.re - 7.5), 0.1);
}

TEST_F(ReflexListing, HeaderOfEachMethod) {
  beam_search bs;
  bs.w_g_bethe_min = 0.5;
  bs.w_g_max = 4;
  bs.xi_g_max = 2500;
  bs.lz_min = -1;
  bs.lz_max = 2;
  bs.g_max = 2.25;
  const BeamList beams{{0, 0, 0}};
  for (int method : {1, 11}) {
    bs.flag_bs = method;
    const std::vector<std::string> lines = listing(si, bs, beams, 1, 0, Vec3{2, 0, 0});
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "# beam_search par.: ");
    EXPECT_EQ(lines[1], " wgbmin=0.5, wgmax=4, xigmax=2500, lz:-1-2, gmax=2.25");
  }
  for (int method : {3, 13}) {
    bs.flag_bs = method;
    const std::vector<std::string> lines = listing(si, bs, beams, 1, 0, Vec3{2, 0, 0});
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "# beam_search ---> multi sg");
    EXPECT_EQ(lines[1], "# [0 0 1]");
  }
}

// The search's report follows the rows as comment lines; the rows before it
// are unchanged.
TEST_F(ReflexListing, LeftOutReportFollowsTheRowsAsComments) {
  beam_search bs;
  bs.flag_bs = 1;
  const BeamList beams{{0, 0, 0}, {2, 2, 0}, {-2, -2, 0}};
  const std::vector<std::string> plain = listing(si, bs, beams, 3, 0, Vec3{2, 2, 0});
  const std::string report = "Beam search left out (reflections, strongest by |Fg|):\n  g_max   3, strongest 4 0 0\n";
  const std::vector<std::string> with = listing(si, bs, beams, 3, 0, Vec3{2, 2, 0}, report);
  ASSERT_EQ(with.size(), plain.size() + 2);
  for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(with[i], plain[i]);
  EXPECT_EQ(with[plain.size()], "# Beam search left out (reflections, strongest by |Fg|):");
  EXPECT_EQ(with[plain.size() + 1], "#   g_max   3, strongest 4 0 0");
}

TEST_F(ReflexListing, ReflexOnlyFlagEndsTheRunWithStatusZeroAfterTheFile) {
  dbg.reflex_only_flag = 1;
  beam_search bs;
  const lattice_metric lm = bravai(si.lp);
  const BeamList beams{{0, 0, 0}, {2, 2, 0}};
  const FatalError e = fatal_of([&] {
    capture_stdout([&] { reflex_dump_csd(0, 2, 0, beams, si, bs, kZone, Vec3{2, 0, 0}, kKv, lm); });
  });
  EXPECT_EQ(e.text(), "$$ reflex_only_flag=1. exit.\n");
  EXPECT_EQ(e.channel(), Channel::out);
  EXPECT_EQ(e.status(), 0);
  const std::vector<std::string> lines = split_lines(scratch.dir().read("lst_fg0.txt"));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5], row(1, 0, {2, 2, 0}, si, Vec3{2, 0, 0}));
}

}  // namespace
}  // namespace kv
