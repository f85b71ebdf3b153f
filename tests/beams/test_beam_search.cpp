// Automatic beam searches: candidate set (sphere, Laue zones, centring),
// the edge excitation error over the disk, classification, capacity limit
// and ordering of the lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "beams/beam_select.hpp"
#include "beams/beam_test_util.hpp"
#include "crystal/structure_factor.hpp"
#include "sim/runctl.hpp"

using kvtest::BeamScratch;
using kvtest::capture_stdout;
using kvtest::fatal_of;
using kvtest::StringFile;

namespace kv {
namespace {

constexpr double kKv = 200.0;
const Hkl kZone001{0, 0, 1};
const Vec3 kG1x{1, 0, 0};

// A search record that keeps every candidate as an exact beam.
beam_search all_exact_sg(double g_max, int lz_min, int lz_max, int limit = 1000) {
  beam_search bs;
  bs.flag_bs = 2;
  bs.num_g_limit = limit;
  bs.g_max = g_max;
  bs.lz_min = lz_min;
  bs.lz_max = lz_max;
  bs.disksize = 0.5;
  bs.s_g_bethe_min = 100;
  bs.s_g_max = 100;
  bs.xi_g_max = 1e11;  // above the xi of any reflection: no structure factor needed
  return bs;
}

struct Lists {
  int n_exact = -1, n_bethe = -1;
  BeamList exact, bethe;
};

Lists run_sg(const beam_search& bs, csd& c, const Hkl& zone = kZone001, const Vec3& g1 = kG1x,
             double tiltH = 0, double tiltG = 0) {
  Lists r;
  simple_beam_search_sg(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, zone, g1, tiltH, tiltG, kKv, c);
  return r;
}

// Wave number inside the crystal, computed here from F(000) as a check on
// the value the search uses.
double wave_number(csd& c) {
  const lattice_metric lm = bravai(c.lp);
  const double lambda = wavelength(kKv);
  return std::sqrt(1 / (lambda * lambda) + fg_to_ug(complex{calc_F_0_re(c), 0}, kKv, lm).re);
}

// Excitation error of beam g for the tangential wave vector kt, from the
// definition s = (K^2 - |K + g|^2) / (2K), with the full wave vector
// K = kt + K_z B^ and B^ the unit reciprocal vector along the zone axis.
// The unit vector along the zone axis [u v w], in reciprocal coordinates.
Vec3 zone_axis_unit(const Hkl& zone, const lattice_metric& lm) {
  const double abs_b = abs_uvw(zone, lm);
  return Vec3{(lm.g11 * zone.h + lm.g12 * zone.k + lm.g13 * zone.l) / abs_b,
              (lm.g12 * zone.h + lm.g22 * zone.k + lm.g23 * zone.l) / abs_b,
              (lm.g13 * zone.h + lm.g23 * zone.k + lm.g33 * zone.l) / abs_b};
}

double s_from_definition(const Hkl& g, const Vec3& kt, const Hkl& zone, double K,
                         const lattice_metric& lm) {
  const Vec3 p = zone_axis_unit(zone, lm);
  const double kz = -std::sqrt(K * K - sq_abs(kt, lm));
  Vec3 kg{};
  for (int i = 0; i < 3; ++i) kg[i] = kt[i] + kz * p[i] + hkl2rhkl(g)[i];
  return (K * K - sq_abs(kg, lm)) / (2 * K);
}

TEST(BeamSearchUtilities, SortSpacingLookupAndMerge) {
  const lattice_metric lm = bravai(std::array<double, 6>{4, 5, 6, 90, 90, 90});
  EXPECT_EQ(spacing(Hkl{0, 0, 0}, lm), 0.0);
  EXPECT_DOUBLE_EQ(spacing(Hkl{0, 2, 0}, lm), 2.5);
  // 000 goes first even from the end; equal |g| keep their order.
  BeamList list{{0, 0, 2}, {1, 0, 0}, {-1, 0, 0}, {0, 0, -1}, {0, 0, 1}, {0, 0, 0}, {9, 9, 9}};
  sort_reflex(6, list, lm);
  const BeamList sorted{{0, 0, 0}, {0, 0, -1}, {0, 0, 1}, {1, 0, 0}, {-1, 0, 0}, {0, 0, 2}, {9, 9, 9}};
  EXPECT_EQ(list, sorted);

  EXPECT_EQ(find_n_g(6, Hkl{0, 0, 1}, list), 2);
  EXPECT_EQ(find_n_g(2, Hkl{0, 0, 1}, list), -1);  // only the first n are searched
  const BeamList dup{{1, 0, 0}, {2, 0, 0}, {1, 0, 0}};
  EXPECT_EQ(find_n_g(3, Hkl{1, 0, 0}, dup), 0);

  const BeamList merged = beam_merge(2, 1, BeamList{{0, 0, 0}, {1, 0, 0}, {7, 7, 7}}, BeamList{{2, 0, 0}});
  EXPECT_EQ(merged, (BeamList{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}}));
}

TEST(BeamSearchUtilities, HklMaxReachesGmaxAlongEachAxis) {
  const lattice_metric lm = bravai(std::array<double, 6>{4, 2, 8, 90, 90, 90});  // a* .25 b* .5 c* .125
  int h = 0, k = 0, l = 0;
  evaluate_hklmax(0.5, lm, &h, &k, &l);
  EXPECT_EQ(h, 2);  // |(2 0 0)| = 0.5 reaches g_max exactly
  EXPECT_EQ(k, 1);
  EXPECT_EQ(l, 4);
  evaluate_hklmax(0.5000001, lm, &h, &k, &l);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(l, 5);
  evaluate_hklmax(0.01, lm, &h, &k, &l);
  EXPECT_EQ(h + k + l, 3);
  evaluate_hklmax(std::numeric_limits<double>::quiet_NaN(), lm, &h, &k, &l);
  EXPECT_EQ(h + k + l, 3);
  // A radius that would make the search run for hours is refused.
  for (double g_max : {1e5, std::numeric_limits<double>::infinity()}) {
    const FatalError e = fatal_of([&] { evaluate_hklmax(g_max, lm, &h, &k, &l); });
    EXPECT_EQ(e.status(), 1);
    EXPECT_NE(e.text().find("g_max"), std::string::npos);
  }
}

TEST(EdgeExcitationError, EdgeValuesFollowTheDefinitionInAnObliqueCell) {
  // Hexagonal cell, zone [1 1 0], first-order-zone reflection (1 0 1).
  const lattice_metric lm = bravai(std::array<double, 6>{3, 3, 5, 90, 90, 120});
  const Hkl zone{1, 1, 0};
  const Vec3 g1{1, -1, 0};
  const Vec3 g2 = zolz_ort_base(zone, g1, lm);
  const double K = 40.0, disk = 0.8, tH = 0.3, tG = -0.2;
  const double abs_b = abs_uvw(zone, lm);
  // (1 1 0) lies along the zone axis: no in-plane part, equal edges.
  for (const Hkl& g : {Hkl{1, 0, 1}, Hkl{2, 1, 3}, Hkl{1, 1, 0}, Hkl{0, 0, 2}, Hkl{-1, 1, 0}}) {
    double sp = 0, sm = 0;
    const double s = abs_edge_s_g_tilt(g, zone, g1, g2, tH, tG, abs_b, K, disk, lm, &sp, &sm);
    // The in-plane part of g, scaled to |g1|, fixes the two edge points.
    const double gz = (g.h * zone.h + g.k * zone.k + g.l * zone.l) / abs_b;
    const Vec3 p = zone_axis_unit(zone, lm);
    Vec3 e{};
    for (int i = 0; i < 3; ++i) e[i] = hkl2rhkl(g)[i] - gz * p[i];
    const double scale = std::sqrt(sq_abs(e, lm)) > 1e-9 ? std::sqrt(sq_abs(g1, lm) / sq_abs(e, lm)) : 0;
    Vec3 kp{}, km{};
    for (int i = 0; i < 3; ++i) {
      const double centre = 0.5 * (tH * g1[i] + tG * g2[i]);
      kp[i] = centre + 0.5 * disk * scale * e[i];
      km[i] = centre - 0.5 * disk * scale * e[i];
    }
    EXPECT_NEAR(sp, s_from_definition(g, kp, zone, K, lm), 1e-10) << g.h << g.k << g.l;
    EXPECT_NEAR(sm, s_from_definition(g, km, zone, K, lm), 1e-10) << g.h << g.k << g.l;
    EXPECT_EQ(s, sp * sm < 0 ? 0.0 : std::min(std::fabs(sp), std::fabs(sm)));
  }
}

TEST(EdgeExcitationError, IsTheSmallestErrorOverTheWholeDiskForZeroZoneBeams) {
  const lattice_metric lm = bravai(std::array<double, 6>{3, 3, 5, 90, 90, 120});
  const Hkl zone{0, 0, 1};
  const Vec3 g1{1, 0, 0};
  const Vec3 g2 = zolz_ort_base(zone, g1, lm);
  const double K = 40.0, tH = -0.4, tG = 0.7;
  for (double disk : {0.3, 1.2}) {
    for (const Hkl& g : {Hkl{1, 0, 0}, Hkl{1, 1, 0}, Hkl{-2, 1, 0}, Hkl{0, -1, 0}, Hkl{3, 0, 0}}) {
      double sp = 0, sm = 0;
      const double s = abs_edge_s_g_tilt(g, zone, g1, g2, tH, tG, abs_uvw(zone, lm), K, disk, lm, &sp, &sm);
      double smallest = 1e300, lo = 1e300, hi = -1e300;
      const int n = 120;
      for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j) {
          const double x = disk * (2.0 * i / n - 1), y = disk * (2.0 * j / n - 1);
          if (x * x + y * y > disk * disk) continue;
          Vec3 kt{};
          for (int c = 0; c < 3; ++c) kt[c] = 0.5 * ((tH + x) * g1[c] + (tG + y) * g2[c]);
          const double sv = s_from_definition(g, kt, zone, K, lm);
          smallest = std::min(smallest, std::fabs(sv));
          lo = std::min(lo, sv);
          hi = std::max(hi, sv);
        }
      if (lo < 0 && hi > 0) {
        EXPECT_EQ(s, 0.0) << "disk holds the Bragg condition of " << g.h << g.k << g.l;
      } else {
        EXPECT_LE(s, smallest + 1e-12);
        EXPECT_NEAR(s, smallest, 0.03 * (hi - lo) + 1e-12);
      }
    }
  }
}

class BeamSearchCubic : public ::testing::Test {
 protected:
  BeamScratch scratch;
  csd cubic = kvtest::cubic_p(4.0);  // |a*| = 0.25
};

TEST_F(BeamSearchCubic, GmaxBelowTheShortestVectorGivesOnly000) {
  const Lists r = run_sg(all_exact_sg(0.2499, -3, 3), cubic);
  EXPECT_EQ(r.n_exact, 1);
  EXPECT_EQ(r.n_bethe, 0);
  EXPECT_EQ(r.exact, (BeamList{{0, 0, 0}}));
  EXPECT_TRUE(r.bethe.empty());
}

TEST_F(BeamSearchCubic, LaueZoneRangeAndLoopOrderAmongEqualLengths) {
  const Lists zolz = run_sg(all_exact_sg(0.3, 0, 0), cubic);
  EXPECT_EQ(zolz.exact, (BeamList{{0, 0, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {1, 0, 0}}));
  // Zones 0..1 add the first-order zone on the +n side only.
  const Lists upper = run_sg(all_exact_sg(0.3, 0, 1), cubic);
  EXPECT_EQ(upper.exact, (BeamList{{0, 0, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 1, 0}, {1, 0, 0}}));
  // Longer vectors follow shorter ones; 000 first; n counts the lists.
  const Lists wider = run_sg(all_exact_sg(0.4, 0, 0), cubic);
  ASSERT_EQ(wider.n_exact, 9);
  EXPECT_EQ(wider.exact[0], (Hkl{0, 0, 0}));
  EXPECT_EQ(wider.exact[5], (Hkl{-1, -1, 0}));
  EXPECT_EQ(wider.exact[8], (Hkl{1, 1, 0}));
}

TEST_F(BeamSearchCubic, SignChangeAcrossTheDiskGivesZeroError) {
  // Disk centre at K_t = -g1/2: the exact Bragg condition of (1 0 0).
  beam_search bs = all_exact_sg(0.3, 0, 0);
  bs.s_g_bethe_min = 0.0;  // strict: s = 0 is not below 0
  bs.s_g_max = 1e-12;
  Lists r = run_sg(bs, cubic, kZone001, kG1x, -1.0, 0.0);
  EXPECT_EQ(r.exact, (BeamList{{0, 0, 0}}));
  EXPECT_EQ(r.bethe, (BeamList{{1, 0, 0}}));
  bs.s_g_bethe_min = 1e-12;
  r = run_sg(bs, cubic, kZone001, kG1x, -1.0, 0.0);
  EXPECT_EQ(r.exact, (BeamList{{0, 0, 0}, {1, 0, 0}}));
  EXPECT_TRUE(r.bethe.empty());
  // The w_g criterion: s = 0 makes w = 0 whatever xi_g.
  beam_search wg;
  wg.flag_bs = 1;
  wg.num_g_limit = 100;
  wg.g_max = 0.3;
  wg.disksize = 0.5;
  wg.w_g_bethe_min = 1e-12;
  wg.w_g_max = 1e-12;
  wg.xi_g_max = 1e9;
  Lists w;
  simple_beam_search_wg(&w.n_exact, &w.n_bethe, &w.exact, &w.bethe, wg, kZone001, kG1x, -1.0, 0.0, kKv,
                        cubic);
  EXPECT_EQ(w.exact, (BeamList{{0, 0, 0}, {1, 0, 0}}));
}

TEST_F(BeamSearchCubic, CapacityCountsEachListSeparately) {
  // 12 candidates with |g| < 0.51 in the zero zone.
  EXPECT_EQ(run_sg(all_exact_sg(0.51, 0, 0, 14), cubic).n_exact, 13);
  const FatalError e = fatal_of([&] { run_sg(all_exact_sg(0.51, 0, 0, 13), cubic); });
  EXPECT_EQ(e.text(), "$$ num_g has exceeded num_g_max.\n$$ Please set a greater value into num_g. Abort.\n");
  EXPECT_EQ(e.status(), 1);
  // num_g_limit = 10 stops at the tenth exact beam (000 counted).
  EXPECT_EQ(run_sg(all_exact_sg(0.4, 0, 0, 10), cubic).n_exact, 9);
  EXPECT_EQ(fatal_of([&] { run_sg(all_exact_sg(0.51, 0, 0, 10), cubic); }).status(), 1);
  // All twelve as Bethe beams: 000 is not in that list.
  beam_search bethe_only = all_exact_sg(0.51, 0, 0, 13);
  bethe_only.s_g_bethe_min = 0;
  EXPECT_EQ(run_sg(bethe_only, cubic).n_bethe, 12);
  bethe_only.num_g_limit = 12;
  EXPECT_EQ(fatal_of([&] { run_sg(bethe_only, cubic); }).status(), 1);
  // A candidate that is dropped still counts for nothing.
  beam_search none = all_exact_sg(0.51, 0, 0, 2);
  none.s_g_bethe_min = 0;
  none.s_g_max = 0;
  EXPECT_EQ(run_sg(none, cubic).n_exact, 1);
}

TEST_F(BeamSearchCubic, RejectsRecordsWithoutRoomOrZoneThresholds) {
  Lists r;
  beam_search bs = all_exact_sg(0.3, 0, 0, 0);
  EXPECT_EQ(fatal_of([&] { r = run_sg(bs, cubic); }).status(), 1);
  bs = all_exact_sg(0.3, -1, 0);
  bs.flag_bs = 3;
  const FatalError e = fatal_of([&] {
    beam_search_sg_multi(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kZone001, kG1x, 0, 0, kKv, cubic);
  });
  EXPECT_NE(e.text().find("Laue zones -1 to 0"), std::string::npos);
}

TEST_F(BeamSearchCubic, PerZoneThresholds) {
  beam_search bs = all_exact_sg(0.3, 0, 1);
  bs.flag_bs = 3;
  bs.s_g_bethe_min_lz[0] = 100;
  bs.s_g_max_lz[0] = 100;
  bs.xi_g_max_lz[0] = 1e11;
  bs.s_g_bethe_min_lz[1] = 0;  // zone 1: Bethe beams only
  bs.s_g_max_lz[1] = 100;
  bs.xi_g_max_lz[1] = 1e11;
  Lists r;
  beam_search_sg_multi(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kZone001, kG1x, 0, 0, kKv, cubic);
  EXPECT_EQ(r.n_exact, 5);
  EXPECT_EQ(r.bethe, (BeamList{{0, 0, 1}}));
  // A zone xi limit of exactly 1e10 keeps nothing of that zone.
  bs.xi_g_max_lz[1] = 1e10;
  beam_search_sg_multi(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kZone001, kG1x, 0, 0, kKv, cubic);
  EXPECT_EQ(r.n_exact, 5);
  EXPECT_EQ(r.n_bethe, 0);
}

TEST_F(BeamSearchCubic, WgClassificationUsesSgTimesXig) {
  const lattice_metric lm = bravai(cubic.lp);
  const double K = wave_number(cubic);
  const double lambda = wavelength(kKv), gamma = relativ_corr(kKv);
  const Vec3 g2 = zolz_ort_base(kZone001, kG1x, lm);
  beam_search bs;
  bs.flag_bs = 11;
  bs.num_g_limit = 200;
  bs.g_max = 0.8;
  bs.lz_min = -1;
  bs.lz_max = 1;
  bs.disksize = 0.6;
  bs.w_g_bethe_min = 1.0;
  bs.w_g_max = 5.0;
  bs.xi_g_max = 2000;
  Lists r;
  simple_beam_search_wg(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kZone001, kG1x, 0.2, 0.1, kKv,
                        cubic);
  ASSERT_GT(r.n_exact, 1);
  ASSERT_GT(r.n_bethe, 0);
  int dropped = 0;
  for (int h = -4; h <= 4; ++h)
    for (int k = -4; k <= 4; ++k)
      for (int l = -1; l <= 1; ++l) {
        const Hkl g{h, k, l};
        if (g == Hkl{0, 0, 0} || std::sqrt(sq_abs(hkl2rhkl(g), lm)) >= bs.g_max) continue;
        int warn = 0;
        const double xi = fg_to_xig2(calc_structure_factor(g, kKv, lm, cubic, &warn), gamma, lambda, lm);
        double sp, sm;
        const double w = xi * abs_edge_s_g_tilt(g, kZone001, kG1x, g2, 0.2, 0.1, 4.0, K, 0.6, lm, &sp, &sm);
        const bool in_exact = find_n_g(r.n_exact, g, r.exact) >= 0;
        const bool in_bethe = find_n_g(r.n_bethe, g, r.bethe) >= 0;
        if (xi >= bs.xi_g_max || w >= bs.w_g_max) {
          ++dropped;
          EXPECT_FALSE(in_exact || in_bethe) << h << k << l;
        } else {
          EXPECT_EQ(in_exact, w < bs.w_g_bethe_min) << h << k << l;
          EXPECT_EQ(in_bethe, w >= bs.w_g_bethe_min) << h << k << l;
        }
      }
  EXPECT_GT(dropped, 0);
}

TEST_F(BeamSearchCubic, MessagesAndMergeOfTheJobSelection) {
  for (int method : {1, 2, 3}) {
    StringFile f("50 0.3 0 0\n100 100 1e11\n}BEAM_SEARCH\n");
    beam_search bs;
    bs.flag_bs = method;
    bs.disksize = 0.5;
    int ne = 0, nb = 0;
    BeamList beams;
    const std::string out = capture_stdout(
        [&] { select_beams(bs, kZone001, kG1x, 0, 0, kKv, cubic, f.get(), &ne, &nb, &beams); });
    // Thresholds of 100 keep all four (1 0 0) beams as exact beams, also
    // by w = s xi (a few units here).
    const std::string first = strprintf("Beam search (%s)... Exact = 5, Bethe = 0\n", method == 1 ? "wg" : "sg");
    EXPECT_EQ(out.rfind(first, 0), 0u) << out;
    // What the limits left out follows: within g_max = 0.3 only 0 0 1 and
    // 0 0 -1 lie outside the zero-order Laue zone; nothing fails the
    // generous xi_g and excitation limits.
    EXPECT_NE(out.find("Laue zones (lz range)  2, strongest 0 0 "), std::string::npos) << out;
    EXPECT_NE(out.find("xi_g_max               none\n"), std::string::npos) << out;
    EXPECT_EQ(ne, 5);
    EXPECT_EQ(beams.size(), 5u);
    EXPECT_EQ(beams[0], (Hkl{0, 0, 0}));
  }
  // Exact beams first, then the Bethe beams.
  StringFile f("50 0.3 0 0\n0 100 1e11\n");
  beam_search bs;
  bs.flag_bs = 12;
  bs.disksize = 0.5;
  int ne = 0, nb = 0;
  BeamList beams;
  capture_stdout([&] { select_beams(bs, kZone001, kG1x, 0, 0, kKv, cubic, f.get(), &ne, &nb, &beams); });
  EXPECT_EQ(ne, 1);
  EXPECT_EQ(nb, 4);
  EXPECT_EQ(beams, (BeamList{{0, 0, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {1, 0, 0}}));
}

class BeamSearchSilicon : public ::testing::Test {
 protected:
  BeamScratch scratch;
  csd si = kvtest::silicon();
};

TEST_F(BeamSearchSilicon, CentringForbiddenCandidatesTakeNoRoom) {
  // Zero zone of [001] within 0.4: (2 0 0) family allowed; (1 0 0) and
  // (1 1 0) families forbidden by the F centring.
  const Lists r = run_sg(all_exact_sg(0.4, 0, 0, 6), si);
  EXPECT_EQ(r.exact, (BeamList{{0, 0, 0}, {-2, 0, 0}, {0, -2, 0}, {0, 2, 0}, {2, 0, 0}}));
  EXPECT_EQ(fatal_of([&] { run_sg(all_exact_sg(0.4, 0, 0, 5), si); }).status(), 1);
}

TEST_F(BeamSearchSilicon, ExtinctionDistanceLimit) {
  // (2 0 0) is forbidden by the diamond glide: F = 0, xi = 1e10.
  beam_search bs = all_exact_sg(0.55, 0, 0);
  bs.xi_g_max = 1e9;
  Lists r = run_sg(bs, si);
  EXPECT_EQ(r.exact, (BeamList{{0, 0, 0}, {-2, -2, 0}, {-2, 2, 0}, {2, -2, 0}, {2, 2, 0}}));
  // A limit below xi_220 keeps nothing; exactly 1e10 keeps nothing either.
  const lattice_metric lm = bravai(si.lp);
  int warn = 0;
  const double xi220 = fg_to_xig2(calc_structure_factor(Hkl{2, 2, 0}, kKv, lm, si, &warn),
                                  relativ_corr(kKv), wavelength(kKv), lm);
  bs.xi_g_max = xi220 * 0.999;
  EXPECT_EQ(run_sg(bs, si).n_exact, 1);
  bs.xi_g_max = 1e10;
  EXPECT_EQ(run_sg(bs, si).n_exact, 1);
}

// The report of what the limits left out is computed on the job's threads:
// it must not depend on their number, and its strongest reflection must
// carry its own |F_g|. With the zero zone of [001] kept out of g_max = 1.5,
// the out-of-zone tally is large (symmetry families met in many members).
TEST_F(BeamSearchSilicon, LeftOutReportIsTheSameOnAnyThreadCount) {
  beam_search bs = all_exact_sg(1.5, 0, 0);
  bs.s_g_max = 0.02;  // the excitation limit leaves some zero-zone beams out too
  bs.s_g_bethe_min = 0.01;
  std::vector<std::string> reports;
  for (int threads : {1, 3}) {
    epsilon.num_threads = threads;
    run_sg(bs, si);
    reports.push_back(take_left_out_report());
  }
  epsilon.num_threads = 0;
  EXPECT_EQ(reports[0], reports[1]);
  // "Laue zones (lz range)  N, strongest h k l with |Fg| = F A"
  const std::size_t at = reports[0].find("Laue zones (lz range)");
  ASSERT_NE(at, std::string::npos) << reports[0];
  int count = 0, h = 0, k = 0, l = 0;
  double f = 0;
  ASSERT_EQ(std::sscanf(reports[0].c_str() + at, "Laue zones (lz range) %d, strongest %d %d %d with |Fg| = %lf", &count,
                        &h, &k, &l, &f),
            5)
      << reports[0];
  EXPECT_GT(count, 100);
  EXPECT_NE(l, 0);
  const lattice_metric lm = bravai(si.lp);
  int warn = 0;
  const complex direct = calc_structure_factor(Hkl{h, k, l}, kKv, lm, si, &warn);
  EXPECT_NEAR(f, std::hypot(direct.re, direct.im), 1e-3 * f);
  EXPECT_NE(reports[0].find("s_g_max"), std::string::npos);
}

// Sets forbidden_beam_flag for the life of the object.
struct KeepForbidden {
  KeepForbidden() { epsilon.forbidden_beam_flag = 1; }
  ~KeepForbidden() { epsilon.forbidden_beam_flag = 0; }
};

TEST_F(BeamSearchSilicon, ForbiddenBeamFlagKeepsGlideExtinctionsOnly) {
  // With the key, the glide-extinguished (2 0 0) family passes any xi limit
  // and is classified by s_g; the centring-forbidden (1 0 0) and (1 1 0)
  // families stay out.
  beam_search bs = all_exact_sg(0.55, 0, 0);
  bs.xi_g_max = 1e9;
  EXPECT_EQ(run_sg(bs, si).n_exact, 5);
  EXPECT_TRUE(vanishing_fg_reflection(Hkl{2, 0, 0}, kKv, si));
  EXPECT_TRUE(vanishing_fg_reflection(Hkl{0, 0, -2}, kKv, si));
  EXPECT_FALSE(vanishing_fg_reflection(Hkl{2, 2, 0}, kKv, si));
  EXPECT_FALSE(vanishing_fg_reflection(Hkl{1, 0, 0}, kKv, si));  // centring, not the structure
  EXPECT_FALSE(vanishing_fg_reflection(Hkl{0, 0, 0}, kKv, si));
  // 0 0 72 is allowed; at s = 6.6 the table holds no factor and F comes
  // out 0, which must not count as an extinction.
  EXPECT_FALSE(vanishing_fg_reflection(Hkl{0, 0, 72}, kKv, si));
  KeepForbidden keep;
  for (double limit : {1e9, 1e10, 1e11}) {
    bs.xi_g_max = limit;
    const Lists r = run_sg(bs, si);
    EXPECT_EQ(r.exact, (BeamList{{0, 0, 0}, {-2, 0, 0}, {0, -2, 0}, {0, 2, 0}, {2, 0, 0}, {-2, -2, 0}, {-2, 2, 0},
                                 {2, -2, 0}, {2, 2, 0}}))
        << limit;
  }
  // Still ranked by s_g: a threshold below their excitation errors (the
  // disk centred off the Bragg conditions) moves them to the Bethe list.
  bs.xi_g_max = 1e9;
  bs.s_g_bethe_min = 1e-9;
  bs.disksize = 0.1;
  const Lists r = run_sg(bs, si, kZone001, kG1x, 0.3, 0.7);
  EXPECT_EQ(r.n_exact, 1);
  EXPECT_NE(find_n_g(r.n_bethe, Hkl{2, 0, 0}, r.bethe), -1);
}

TEST_F(BeamSearchSilicon, ForbiddenBeamsInTheWgSearchRankBySgTimesTheXiLimit) {
  const lattice_metric lm = bravai(si.lp);
  const double K = wave_number(si);
  const Vec3 g2 = zolz_ort_base(kZone001, kG1x, lm);
  beam_search bs;
  bs.flag_bs = 1;
  bs.num_g_limit = 200;
  bs.g_max = 0.9;
  bs.lz_min = 0;
  bs.lz_max = 0;
  bs.disksize = 0.3;
  bs.xi_g_max = 5000;
  bs.w_g_bethe_min = 60.0;
  bs.w_g_max = 300.0;
  Lists off;
  simple_beam_search_wg(&off.n_exact, &off.n_bethe, &off.exact, &off.bethe, bs, kZone001, kG1x, 0.4, 0.2, kKv, si);
  KeepForbidden keep;
  Lists on;
  simple_beam_search_wg(&on.n_exact, &on.n_bethe, &on.exact, &on.bethe, bs, kZone001, kG1x, 0.4, 0.2, kKv, si);
  int kept = 0;
  for (const Hkl& g : {Hkl{2, 0, 0}, Hkl{-2, 0, 0}, Hkl{0, 2, 0}, Hkl{0, -2, 0}, Hkl{4, 2, 0}, Hkl{2, -4, 0}}) {
    EXPECT_EQ(find_n_g(off.n_exact, g, off.exact), -1);
    EXPECT_EQ(find_n_g(off.n_bethe, g, off.bethe), -1);
    double sp, sm;
    const double w = bs.xi_g_max * abs_edge_s_g_tilt(g, kZone001, kG1x, g2, 0.4, 0.2, abs_uvw(kZone001, lm), K,
                                                     bs.disksize, lm, &sp, &sm);
    const bool in_exact = find_n_g(on.n_exact, g, on.exact) >= 0;
    const bool in_bethe = find_n_g(on.n_bethe, g, on.bethe) >= 0;
    EXPECT_EQ(in_exact, w < bs.w_g_bethe_min) << g.h << g.k << g.l << " w=" << w;
    EXPECT_EQ(in_bethe, w >= bs.w_g_bethe_min && w < bs.w_g_max) << g.h << g.k << g.l << " w=" << w;
    kept += in_exact || in_bethe;
  }
  EXPECT_GT(kept, 0);
  // The allowed reflections are classified as before; what the key adds has
  // a vanishing structure factor.
  for (const Hkl& g : off.exact) EXPECT_NE(find_n_g(on.n_exact, g, on.exact), -1);
  for (const Hkl& g : off.bethe) EXPECT_NE(find_n_g(on.n_bethe, g, on.bethe), -1);
  int added = 0;
  for (const BeamList* l : {&on.exact, &on.bethe})
    for (const Hkl& g : *l)
      if (find_n_g(off.n_exact, g, off.exact) < 0 && find_n_g(off.n_bethe, g, off.bethe) < 0) {
        EXPECT_TRUE(vanishing_fg_reflection(g, kKv, si)) << g.h << g.k << g.l;
        ++added;
      }
  EXPECT_GE(added, kept);
}

TEST_F(BeamSearchSilicon, SphereHoldsEveryAllowedReflection) {
  beam_search bs;
  bs.flag_bs = 1;
  bs.num_g_limit = 100;
  bs.g_max = 0.55;
  bs.lz_min = 0;  // zones play no part in the sphere
  bs.lz_max = 0;
  Lists r;
  beam_search_sphere(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kKv, si);
  ASSERT_EQ(r.n_exact, 27);  // 000, 8 x 111, 6 x 200, 12 x 220
  EXPECT_EQ(r.n_bethe, 0);
  EXPECT_EQ(r.exact[0], (Hkl{0, 0, 0}));
  EXPECT_EQ(r.exact[1], (Hkl{-1, -1, -1}));
  EXPECT_EQ(r.exact[9], (Hkl{-2, 0, 0}));
  EXPECT_EQ(r.exact[26], (Hkl{2, 2, 0}));
  bs.num_g_limit = 27;
  EXPECT_EQ(fatal_of([&] { beam_search_sphere(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kKv, si); })
                .status(),
            1);
  bs.g_max = -0.55;  // no radius, no reflection
  bs.num_g_limit = 100;
  beam_search_sphere(&r.n_exact, &r.n_bethe, &r.exact, &r.bethe, bs, kKv, si);
  EXPECT_EQ(r.n_exact, 1);

  // The 3D-map selection runs the sphere for method 1.
  StringFile f("100 0.4 0 0\n1 2 3000\n");
  bs = beam_search{};
  bs.flag_bs = 1;
  int ne = 0, nb = 0;
  BeamList beams;
  const std::string out = capture_stdout(
      [&] { select_beams_3d(bs, kZone001, kG1x, 0, 0, kKv, si, f.get(), &ne, &nb, &beams); });
  EXPECT_EQ(out, "Beam search (wg)... Exact = 15, Bethe = 0\n");
  EXPECT_EQ(beams.size(), 15u);
}

}  // namespace
}  // namespace kv
