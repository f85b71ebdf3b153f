// BEAM_SEARCH block readers: the parameter lines of every method, the manual
// list, and the method dispatch of the three kinds of callers.
#include <gtest/gtest.h>

#include "beams/beam_select.hpp"
#include "beams/beam_test_util.hpp"
#include "input/crystal_data.hpp"
#include "sim/linereader.hpp"
#include "sim/runctl.hpp"

using kvtest::capture_stdout;
using kvtest::fatal_of;
using kvtest::StringFile;

namespace kv {
namespace {

// The line left after the reader: shows how many lines it took.
std::string next_token(FILE* fp) { return fget_1s(fp).value_or("(end of file)"); }

TEST(BeamBlockReaders, WgAndSgParameterLines) {
  {
    // Integer fields are truncated toward zero; the fifth number (a disk
    // size written by the fit-mode writer) is ignored.
    StringFile f("% line A\n30.9, 1.5 -0.5 1.7 0.8\n0.1 0.5\t500\n}BEAM_SEARCH\n");
    beam_search bs;
    bs.disksize = 2.5;
    fget_beam_search_wg(&bs, f.get());
    EXPECT_EQ(bs.num_g_limit, 30);
    EXPECT_EQ(bs.g_max, 1.5);
    EXPECT_EQ(bs.lz_min, 0);
    EXPECT_EQ(bs.lz_max, 1);
    EXPECT_EQ(bs.disksize, 2.5);
    EXPECT_EQ(bs.w_g_bethe_min, 0.1);
    EXPECT_EQ(bs.w_g_max, 0.5);
    EXPECT_EQ(bs.xi_g_max, 500.0);
    EXPECT_EQ(bs.s_g_max, 0.0);
    EXPECT_EQ(next_token(f.get()), "}BEAM_SEARCH");
  }
  {
    // Missing numbers read as 0 without complaint.
    StringFile f("12 2.0\n0.01\n");
    beam_search bs;
    bs.lz_max = 7;
    bs.xi_g_max = 9;
    fget_beam_search_sg(&bs, f.get());
    EXPECT_EQ(bs.num_g_limit, 12);
    EXPECT_EQ(bs.lz_min, 0);
    EXPECT_EQ(bs.lz_max, 0);
    EXPECT_EQ(bs.s_g_bethe_min, 0.01);
    EXPECT_EQ(bs.s_g_max, 0.0);
    EXPECT_EQ(bs.xi_g_max, 0.0);
    EXPECT_EQ(bs.w_g_bethe_min, 0.0);
  }
}

TEST(BeamBlockReaders, PerZoneLinesOneForEachZoneUpToLzMax) {
  StringFile f("40 2.0 0 2\n0.01 0.1 300\n0.02 0.2 400\n0.03 0.3 500\n}BEAM_SEARCH\n");
  beam_search bs;
  fget_beam_search_sg_multi(&bs, f.get());
  EXPECT_EQ(bs.num_g_limit, 40);
  EXPECT_EQ(bs.lz_max, 2);
  for (int n = 0; n < 3; ++n) {
    EXPECT_DOUBLE_EQ(bs.s_g_bethe_min_lz[n], 0.01 * (n + 1));
    EXPECT_DOUBLE_EQ(bs.s_g_max_lz[n], 0.1 * (n + 1));
    EXPECT_DOUBLE_EQ(bs.xi_g_max_lz[n], 300.0 + 100 * n);
  }
  EXPECT_EQ(bs.s_g_max_lz[3], 0.0);
  EXPECT_EQ(next_token(f.get()), "}BEAM_SEARCH");

  // A negative lz_max reads no zone line.
  StringFile g("40 2.0 0 -1\n}BEAM_SEARCH\n");
  fget_beam_search_sg_multi(&bs, g.get());
  EXPECT_EQ(next_token(g.get()), "}BEAM_SEARCH");
}

TEST(BeamBlockReaders, RejectedParameterLines) {
  struct Case {
    int method;
    const char* text;
    const char* message_part;
  };
  const Case cases[] = {
      {3, "40 2.0 0\n0.01 0.1 300\n", "$$ Invalid format for beam_search. Abort.\n"},
      {13, "40 2.0 -1 1\n", "Laue zones -1 to 1 are invalid"},
      {3, "40 2.0 0 100\n", "Laue zones 0 to 100 are invalid"},
      {3, "0 2.0 0 1\n", "num_g_limit=0 is invalid"},
      {1, "-5 2.0 0 1\n0 0 0\n", "num_g_limit=-5 is invalid"},
      {2, "0.5 2.0 0 1\n0 0 0\n", "num_g_limit=0 is invalid"},
  };
  for (const Case& c : cases) {
    StringFile f(c.text);
    beam_search bs;
    bs.flag_bs = c.method;
    const FatalError e = fatal_of([&] {
      if (c.method % 10 == 1) fget_beam_search_wg(&bs, f.get());
      if (c.method % 10 == 2) fget_beam_search_sg(&bs, f.get());
      if (c.method % 10 == 3) fget_beam_search_sg_multi(&bs, f.get());
    });
    EXPECT_NE(e.text().find(c.message_part), std::string::npos) << c.text << " -> " << e.text();
    EXPECT_EQ(e.status(), 1);
    EXPECT_EQ(e.channel(), Channel::out);
  }
}

class ManualList : public ::testing::Test {
 protected:
  void SetUp() override { epsilon.vg_select_flag = 1; }
  void TearDown() override { epsilon.vg_select_flag = 1; }
  csd crystal;  // a manual list never looks at the crystal
};

TEST_F(ManualList, ReadInInputOrderAndReselectionSwitchedOff) {
  for (int method : {0, 10}) {
    epsilon.vg_select_flag = 1;
    StringFile f("3, 1\n0 0 0\n# comment\n1 1 1\n-2.7 0 0.9\n2 2 0\n}BEAM_SEARCH\n");
    beam_search bs;
    bs.flag_bs = method;
    int ne = -1, nb = -1;
    BeamList beams;
    const std::string out = capture_stdout([&] {
      select_beams(bs, Hkl{0, 0, 1}, Vec3{1, 0, 0}, 0, 0, 200, crystal, f.get(), &ne, &nb, &beams);
    });
    EXPECT_EQ(out, "Exact = 3, Bethe = 1\n$$ vg_select_flag is set to 0.\n");
    EXPECT_EQ(epsilon.vg_select_flag, 0);
    EXPECT_EQ(ne, 3);
    EXPECT_EQ(nb, 1);
    ASSERT_EQ(beams.size(), 4u);
    EXPECT_EQ(beams[1], (Hkl{1, 1, 1}));
    EXPECT_EQ(beams[2], (Hkl{-2, 0, 0}));
    EXPECT_EQ(beams[3], (Hkl{2, 2, 0}));
    EXPECT_EQ(next_token(f.get()), "}BEAM_SEARCH");
  }
}

TEST_F(ManualList, BadCountsAndShortListsAreFatal) {
  for (const char* text : {"0 1\n1 1 1\n", "2 -1\n0 0 0\n1 1 1\n", "3 0\n0 0 0\n1 1 1\n"}) {
    StringFile f(text);
    beam_search bs;
    int ne = 0, nb = 0;
    BeamList beams;
    const FatalError e = fatal_of([&] {
      capture_stdout([&] {
        select_beams(bs, Hkl{0, 0, 1}, Vec3{1, 0, 0}, 0, 0, 200, crystal, f.get(), &ne, &nb, &beams);
      });
    });
    EXPECT_EQ(e.status(), 1) << text;
  }
}

TEST_F(ManualList, ThreeDimensionalMapsAcceptOnlyMethodZeroOfTheManualOnes) {
  StringFile f("1 0\n0 0 0\n");
  beam_search bs;
  int ne = 0, nb = 0;
  BeamList beams;
  capture_stdout([&] {
    select_beams_3d(bs, Hkl{0, 0, 1}, Vec3{1, 0, 0}, 0, 0, 200, crystal, f.get(), &ne, &nb, &beams);
  });
  EXPECT_EQ(ne, 1);
  EXPECT_EQ(epsilon.vg_select_flag, 0);
}

TEST_F(ManualList, InvalidMethodsByCaller) {
  int ne = 0, nb = 0;
  BeamList beams;
  for (int method : {4, -1, 14}) {
    StringFile f("1 0\n0 0 0\n");
    beam_search bs;
    bs.flag_bs = method;
    const FatalError e = fatal_of([&] {
      select_beams(bs, Hkl{0, 0, 1}, Vec3{1, 0, 0}, 0, 0, 200, crystal, f.get(), &ne, &nb, &beams);
    });
    EXPECT_EQ(e.text(), "Invalid flag_bs\n");
    EXPECT_EQ(e.channel(), Channel::out);
    EXPECT_EQ(e.status(), 1);
  }
  for (int method : {10, 11, 12, 5}) {
    StringFile f("1 0\n0 0 0\n");
    beam_search bs;
    bs.flag_bs = method;
    const FatalError e = fatal_of([&] {
      select_beams_3d(bs, Hkl{0, 0, 1}, Vec3{1, 0, 0}, 0, 0, 200, crystal, f.get(), &ne, &nb, &beams);
    });
    EXPECT_EQ(e.text(), strprintf("Flag_bs = %d is invalid for 3D Density calc.\n", method));
    EXPECT_EQ(e.channel(), Channel::err);
    EXPECT_EQ(e.status(), 1);
  }
  StringFile f("1 0\n");
  beam_search bs;
  bs.flag_bs = 7;
  const FatalError e = fatal_of([&] { read_beams_no_search(bs, f.get(), &ne, &nb, &beams); });
  EXPECT_EQ(e.text(), "Invalid flag_bs 7\n");
  EXPECT_EQ(e.channel(), Channel::err);
}

TEST_F(ManualList, DatasetReaderStoresSearchParametersWithoutSearching) {
  StringFile f("25 1.2 0 1 3.0\n0.02 0.2 800\n}BEAM_SEARCH\n");
  beam_search bs;
  bs.flag_bs = 12;
  int ne = -1, nb = -1;
  BeamList beams{Hkl{1, 0, 0}};
  const std::string out = capture_stdout([&] { read_beams_no_search(bs, f.get(), &ne, &nb, &beams); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(ne, 0);
  EXPECT_EQ(nb, 0);
  EXPECT_TRUE(beams.empty());
  EXPECT_EQ(bs.num_g_limit, 25);
  EXPECT_EQ(bs.s_g_max, 0.2);
  EXPECT_EQ(epsilon.vg_select_flag, 1);
  EXPECT_EQ(next_token(f.get()), "}BEAM_SEARCH");
}

}  // namespace
}  // namespace kv
