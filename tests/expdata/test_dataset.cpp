#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "expdata/dataset.hpp"
#include "expdata/expdata_test_util.hpp"
#include "input/csd_test_tables.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::fatal_text;
using kvtest::IntFileRecipe;
using kvtest::ScratchCwd;
using kvtest::StringFile;

namespace kv {
namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- Averaging kernel --------------------------------------------------------

TEST(AveragingKernel, NoneGaussianAndSincSquared) {
  ScratchCwd cwd(false);
  RMatrix k;
  calc_avrpix_wt(0, k, 1.0);
  EXPECT_TRUE(k.empty());
  calc_avrpix_wt(1, k, 1.0);
  EXPECT_TRUE(k.empty());

  const std::string out = kvtest::capture_stdout([&] { calc_avrpix_wt(3, k, 1.0); });
  EXPECT_EQ(out, "$$Weights for convolution --> convlt.dat\n");
  ASSERT_EQ(k.rows(), 3u);
  const double e1 = std::exp(-1.0), e2 = std::exp(-2.0), norm = 1.0 + 4 * e1 + 4 * e2;
  EXPECT_NEAR(k[1][1], 1.0 / norm, 1e-15);
  EXPECT_NEAR(k[0][1], e1 / norm, 1e-15);
  EXPECT_NEAR(k[2][2], e2 / norm, 1e-15);
  const std::vector<std::string> lines = kvtest::split_lines(cwd.dir().read("convlt.dat"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], strprintf("%g  %g  %g  ", k[1][0], k[1][1], k[1][2]));

  // a < 0: (sin x / x)^2 with x = r pi / |a|, the centre 1.
  calc_avrpix_wt(5, k, -2.0);
  ASSERT_EQ(k.rows(), 5u);
  const double x1 = M_PI / 2, s1 = std::pow(std::sin(x1) / x1, 2);
  const double x2 = 2 * M_PI / 2;  // r = 2: a zero of the sinc
  EXPECT_NEAR(k[2][3] / k[2][2], s1, 1e-12);
  EXPECT_NEAR(k[2][4], std::pow(std::sin(x2) / x2, 2) * k[2][2], 1e-15);
  double sum = 0;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) sum += k[i][j];
  EXPECT_NEAR(sum, 1.0, 1e-14);
}

TEST(AveragingKernel, EvenSizeAndZeroParameterAreRejected) {
  ScratchCwd cwd(false);
  RMatrix k;
  EXPECT_EQ(fatal_text([&] { calc_avrpix_wt(4, k, 1.0); }),
            "$$ The number of averaging points must be odd number. Abort.\n$$ (calc_avrpix_wt)\n");
  EXPECT_EQ(fatal_text([&] { calc_avrpix_wt(3, k, 0.0); }), "$$ Gaussian_par must not be 0.0. Abort.\n");
}

TEST(Weight, InverseVarianceOrNothing) {
  EXPECT_DOUBLE_EQ(eval_weight(2.0, 3.0), 0.75);
  EXPECT_EQ(eval_weight(0.0, 3.0), 0.0);
  EXPECT_EQ(eval_weight(-1.0, 3.0), 0.0);
}

// ---- Intensity file ----------------------------------------------------------

TEST(IntensityFile, GridGeometryValuesAndValidFlags) {
  ScratchCwd cwd(false);
  IntFileRecipe s;
  s.kind = "FIT_EXPDATA_BGS";
  s.x0 = 10.0;
  s.y0 = -5.0;
  s.num_thickness = 2;
  s.sigma = [](int r, int t, int p) { return (r == 1 && t == 1 && p == 4) ? -1.0 : 0.5 + p; };
  cwd.dir().write("m.txt", kvtest::int_file_text(s));
  fei ei;
  read_int_file(ei, "m.txt");
  EXPECT_EQ(ei.num_rg, 2);
  EXPECT_EQ(ei.num_thickness, 2);
  EXPECT_EQ(ei.npix, 9);
  EXPECT_EQ(ei.nx, 3);
  EXPECT_DOUBLE_EQ(ei.xmin, 9.0);
  EXPECT_DOUBLE_EQ(ei.xmax, 11.0);
  EXPECT_DOUBLE_EQ(ei.ymin, -6.0);
  EXPECT_DOUBLE_EQ(ei.ymax, -4.0);
  EXPECT_EQ(ei.rg[1], (Hkl{1, 1, 1}));
  // Point 5: column 2, row 1.
  EXPECT_EQ(ei.pix[5].ix, 2);
  EXPECT_EQ(ei.pix[5].iy, 1);
  EXPECT_DOUBLE_EQ(ei.pix[5].x, 11.0);
  EXPECT_DOUBLE_EQ(ei.pix[5].y, -5.0);
  // The table describes the last reflection and thickness read.
  EXPECT_EQ(ei.pix[4].flag, 0);
  EXPECT_EQ(ei.pix[3].flag, 1);
  EXPECT_DOUBLE_EQ(ei.obs_int(1, 0, 5), 200.0 + 22.0 - 15.0);
  EXPECT_DOUBLE_EQ(ei.obs_int(0, 1, 0), 100.0 + 10.0 + 18.0 - 18.0);
  EXPECT_DOUBLE_EQ(ei.obs_sig(1, 1, 4), -1.0);
  EXPECT_DOUBLE_EQ(ei.obs_sig(0, 1, 4), 4.5);
}

TEST(IntensityFile, MalformedFilesAreRejected) {
  ScratchCwd cwd(false);
  fei ei;
  IntFileRecipe s;
  s.kind = "FIT_EXPDATA";
  cwd.dir().write("a.txt", kvtest::int_file_text(s));
  EXPECT_EQ(fatal_text([&] { read_int_file(ei, "a.txt"); }),
            "$$ Data format error: a measured-intensity file begins with FIT_EXPDATA_RAW or FIT_EXPDATA_BGS; a.txt "
            "begins with \"FIT_EXPDATA\".\n$$ Abort.\n$$ buf=FIT_EXPDATA\n");

  s = IntFileRecipe();
  s.drop_row_gap = true;
  cwd.dir().write("b.txt", kvtest::int_file_text(s));
  // The message says how long a row should be, what stood there and where.
  const std::string row = fatal_text([&] { read_int_file(ei, "b.txt"); });
  EXPECT_TRUE(contains(row, "an empty line is expected after each row of 3 points, found \"")) << row;
  EXPECT_TRUE(contains(row, "of b.txt, block THICKNESS > RF)\n")) << row;

  // npix that is not nx squared would let the interpolation leave the grid.
  std::string text = kvtest::int_file_text(IntFileRecipe());
  text.replace(text.find("9 3\n"), 4, "6 3\n");
  cwd.dir().write("c.txt", text);
  EXPECT_TRUE(contains(fatal_text([&] { read_int_file(ei, "c.txt"); }), "npix=6 and nx=3"));

  EXPECT_TRUE(contains(kvtest::fatal_of([&] { read_int_file(ei, "missing.txt"); }).text(), "missing.txt"));
}

// Measured values that are not finite numbers, indices outside the int range
// and a header announcing more points than the file holds end the run with
// the place named, before anything is allocated for the points.
TEST(IntensityFile, BadNumbersAndOversizedHeadersAreRefused) {
  ScratchCwd cwd(false);
  struct Case {
    std::string from, to, message;
  };
  const std::string good = kvtest::int_file_text(IntFileRecipe());
  const std::vector<Case> cases = {
      {"\n100 ", "\nnan ", "$$ Data format error: \"nan\" is not a finite number.\n$$ (line 24 of m.txt, block THICKNESS > RF)\n"},
      {"RF{\n1 1 1\n", "RF{\n1 1 4e9\n", "the integer \"4e+09\" is outside the range -2147483648 to 2147483647."},
      {"9 3\n", "16777216 4096\n",
       "$$ Invalid number of measured points (=33554432): the "},
  };
  for (const Case& c : cases) {
    std::string text = good;
    const std::size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    text.replace(at, c.from.size(), c.to);
    cwd.dir().write("m.txt", text);
    fei ei;
    const std::string msg = fatal_text([&] { read_int_file(ei, "m.txt"); });
    EXPECT_TRUE(contains(msg, c.message)) << c.to << "\n--- got:\n" << msg;
  }
}

// ---- Carrying measured values to calculated points ------------------------------

struct Grid {
  fei ei;
  explicit Grid(const IntFileRecipe& s, ScratchCwd& cwd) {
    cwd.dir().write("g.txt", kvtest::int_file_text(s));
    read_int_file(ei, "g.txt");
  }
};

std::vector<pix_point> points(const std::vector<std::pair<double, double>>& xy) {
  std::vector<pix_point> p;
  for (const auto& [x, y] : xy) p.push_back(pix_point{0, 0, 1, x, y});
  return p;
}

TEST(CarryMeasured, BilinearWithShiftEdgesAndInvalidNeighbours) {
  ScratchCwd cwd(false);
  IntFileRecipe s;
  s.nx = 5;
  s.reflexes = {{0, 0, 0}};
  s.xmin = -2.0;
  s.xmax = 2.0;
  s.ymin = -1.0;
  s.ymax = 3.0;
  // Deviation -1 at column 4, row 0 (x = 2, y = -1); the others vary linearly.
  s.sigma = [](int, int, int p) { return p == 4 ? -1.0 : 1.0 + 0.1 * p; };
  Grid g(s, cwd);
  fei& ei = g.ei;

  // A bilinear grid function is reproduced exactly; the shift moves the
  // measured pattern, so a calculated point (x, y) samples it at (x-dx, y-dy).
  std::vector<pix_point> cal = points({{0.3, 0.7}, {2.25, 0.0}, {1.5, 2.0}, {2.25, 3.0}, {1.75, -0.9}, {5.0, 5.0}});
  cal[5].flag = 0;  // not compared: left alone
  std::vector<double> ext(cal.size(), 42.0), sig(cal.size(), 42.0);
  calc_extr_obs_int(0.25, 0.0, ei.npix, ei.nx, ei.xmin, ei.xmax, ei.ymin, ei.ymax, ei.obs_int(0, 0),
                    ei.obs_sig(0, 0), static_cast<int>(cal.size()), cal.data(), ext.data(), sig.data());
  const auto I = [](double x, double y) { return 100.0 + 2.0 * x + 3.0 * y; };
  EXPECT_NEAR(ext[0], I(0.05, 0.7), 1e-12);
  EXPECT_NEAR(ext[1], I(2.0, 0.0), 1e-12);  // exactly on the upper x limit
  EXPECT_NEAR(ext[2], I(1.25, 2.0), 1e-12);
  // Deviation: sigma of point p = 1 + 0.1 p is bilinear in column and row too.
  const auto S = [](double x, double y) { return 1.0 + 0.1 * ((x + 2.0) + 5.0 * (y + 1.0)); };
  EXPECT_NEAR(sig[0], S(0.05, 0.7), 1e-12);
  EXPECT_NEAR(sig[2], S(1.25, 2.0), 1e-12);
  // (2.25, 3.0) - shift = (2.0, 3.0): the upper corner, inside.
  EXPECT_NEAR(ext[3], I(2.0, 3.0), 1e-12);
  EXPECT_NEAR(sig[3], S(2.0, 3.0), 1e-12);
  // The cell of (1.5, -0.9) touches the point of deviation -1.
  EXPECT_NEAR(ext[4], I(1.5, -0.9), 1e-12);
  EXPECT_EQ(sig[4], -1.0);
  EXPECT_EQ(ext[5], 42.0);
  EXPECT_EQ(sig[5], 42.0);

  // Just outside the measured range after the shift: intensity 0, deviation 1.
  cal = points({{2.0 + 1e-9, 0.0}, {0.0, -1.0 - 1e-9}});
  calc_extr_obs_int(0.0, 0.0, ei.npix, ei.nx, ei.xmin, ei.xmax, ei.ymin, ei.ymax, ei.obs_int(0, 0),
                    ei.obs_sig(0, 0), 2, cal.data(), ext.data(), sig.data());
  EXPECT_EQ(ext[0], 0.0);
  EXPECT_EQ(sig[0], 1.0);
  EXPECT_EQ(ext[1], 0.0);
  EXPECT_EQ(sig[1], 1.0);
}

TEST(CarryMeasured, CellOfAPointOnTheUpperCornerStaysInsideTheGrid) {
  grid_cell c;
  ASSERT_TRUE(find_mat_ii_obs(1.0, 1.0, 16, 4, 0.0, 1.0, 0.0, 1.0, &c));
  EXPECT_EQ(c.i11, 15);
  EXPECT_DOUBLE_EQ(c.fx, 1.0);
  EXPECT_DOUBLE_EQ(c.fy, 1.0);
  ASSERT_TRUE(find_mat_ii_obs(0.5, 0.0, 16, 4, 0.0, 1.0, 0.0, 1.0, &c));
  EXPECT_EQ(c.i00, 1);
  EXPECT_EQ(c.i10, 2);
  EXPECT_EQ(c.i01, 5);
  EXPECT_DOUBLE_EQ(c.fx, 0.5);
  EXPECT_FALSE(find_mat_ii_obs(-0.01, 0.5, 16, 4, 0.0, 1.0, 0.0, 1.0, &c));
  EXPECT_FALSE(find_mat_ii_obs(0.5, 1.01, 16, 4, 0.0, 1.0, 0.0, 1.0, &c));
}

// ---- DATA_SET block -------------------------------------------------------------

// Silicon's cubic cell: with g1 = 0 0 1, one unit of g1/2 at 200 kV is
// 0.5 |g1| lambda = 0.5 x 0.184127 1/A x 0.0250793 A = 2.30889 mrad.
constexpr double kSiA = 5.431020511;
constexpr double kMradPerHalfG001 = 2.30889;

struct DataSetCase {
  ScratchCwd cwd{false};
  fed ed;
  fei ei;
  void read(const std::string& block, const IntFileRecipe& s = IntFileRecipe()) {
    cwd.dir().write("m.txt", kvtest::int_file_text(s));
    StringFile f(block);
    const double lp[6] = {kSiA, kSiA, kSiA, 90.0, 90.0, 90.0};
    input_fit_exp_dataset(ed, ei, f.get(), bravai(lp));
  }
};

TEST(DataSetBlock, ReadsGeometryBeamsBlocksAndShifts) {
  DataSetCase c;
  IntFileRecipe s;
  s.num_thickness = 2;
  c.read(kvtest::data_set_text("m.txt", 2, 2,
                               [](int t) { return kvtest::thickness_block_text(t, 2, t ? "3 1.0\n" : "0 1.0\n"); }),
         s);
  const fed& ed = c.ed;
  EXPECT_EQ(ed.incidence, (Hkl{1, 1, 0}));
  EXPECT_DOUBLE_EQ(ed.zolzbase1[2], 1.0);
  EXPECT_DOUBLE_EQ(ed.tiltH, 0.1);
  EXPECT_EQ(ed.tiltH_fp.flg, kFlgAdj);
  EXPECT_EQ(ed.tiltG_fp.name, "tG1");
  EXPECT_DOUBLE_EQ(ed.voltage, 200.0);
  EXPECT_EQ(ed.calc_type, 2);
  EXPECT_EQ(ed.num_cal_pix_side, 5);
  EXPECT_EQ(c.ei.num_cal_pix, 25);
  EXPECT_DOUBLE_EQ(ed.bs.disksize, 1.0);
  EXPECT_EQ(ed.num_exact_beam, 3);
  EXPECT_EQ(ed.beams[2], (Hkl{-1, -1, -1}));
  EXPECT_EQ(ed.int_file, "m.txt");
  ASSERT_EQ(ed.num_thick_block, 2);
  EXPECT_DOUBLE_EQ(ed.tb[1].thickness, 600.0);
  EXPECT_EQ(ed.tb[1].thickness_fp.name, "th1");
  EXPECT_TRUE(ed.tb[0].avrpix_wt.empty());
  EXPECT_EQ(ed.tb[1].avrpix_wt.rows(), 3u);
  EXPECT_DOUBLE_EQ(ed.tb[1].G_shift[1], -0.04);
  EXPECT_EQ(ed.tb[1].G_shift_fp[1].name, "G11");
  EXPECT_DOUBLE_EQ(ed.tb[0].weight[0], 1.0);
  EXPECT_EQ(c.ei.extr_int.dim3(), 25u);
}

TEST(DataSetBlock, ZeroWeightFixesAdjustableShiftsOnly) {
  DataSetCase c;
  const std::string block =
      "THICKNESS_BLOCK{\nSTW_PAR{\n1 FIX s\n500 FIX t\n0 FIX w\n0 1\n}STW_PAR\nREFLEX_SHIFT_PAR{\n"
      "0 0 0 0.0\n0.1 ADJ Ha\nHa CST Ga\n"
      "1 1 1 0.5\n0.2 ADJ Hb\n0.3 ADJ Gb\n}REFLEX_SHIFT_PAR\n}THICKNESS_BLOCK\n";
  c.read(kvtest::data_set_text("m.txt", 1, 2, [&](int) { return block; }));
  const thickness_block& b = c.ed.tb[0];
  EXPECT_EQ(b.weight[0], 0.0);
  EXPECT_EQ(b.H_shift_fp[0].flg, kFlgFix);
  EXPECT_EQ(b.G_shift_fp[0].flg, kFlgCst);
  EXPECT_DOUBLE_EQ(b.weight[1], 0.5);
  EXPECT_EQ(b.H_shift_fp[1].flg, kFlgAdj);
  EXPECT_EQ(b.G_shift_fp[1].flg, kFlgAdj);
}

// Tilts (with their restraint numbers) and the disk size may be written in
// mrad, with or without a blank before the unit; they are converted to units
// of g1/2 at the dataset's voltage, and the flags and names stay.
TEST(DataSetBlock, TiltsAndDiskSizeInMrad) {
  const auto block0 = [](int t) { return kvtest::thickness_block_text(t, 2); };
  const auto in_mrad = [](double h) { return h * kMradPerHalfG001; };
  std::string text = kvtest::data_set_text("m.txt", 1, 2, block0, strprintf("2\n5\n%.6fmrad\n", in_mrad(0.8)));
  text.replace(text.find("0.1 ADJ tH1"), 11, strprintf("%.6f mrad RST tH1 %.6f", in_mrad(0.1), in_mrad(0.3)));
  text.replace(text.find("-0.2 FIX tG1"), 12, strprintf("%.6fmrad FIX tG1", in_mrad(-0.2)));
  DataSetCase c;
  c.read(text);
  const fed& ed = c.ed;
  EXPECT_NEAR(ed.tiltH, 0.1, 1e-5);
  EXPECT_EQ(ed.tiltH_fp.val, ed.tiltH);
  EXPECT_EQ(ed.tiltH_fp.flg, kFlgRst);
  EXPECT_EQ(ed.tiltH_fp.name, "tH1");
  EXPECT_NEAR(ed.tiltH_fp.rst_val, 0.3, 1e-5);
  EXPECT_NEAR(ed.tiltG, -0.2, 1e-5);
  EXPECT_EQ(ed.tiltG_fp.name, "tG1");
  EXPECT_NEAR(ed.disksize, 0.8, 1e-5);
  EXPECT_EQ(ed.bs.disksize, ed.disksize);
  EXPECT_FALSE(ed.tiltH_mrad || ed.tiltG_mrad || ed.disk_mrad);
  EXPECT_DOUBLE_EQ(ed.voltage, 200.0);

  // Without the unit the same numbers stay in units of g1/2.
  DataSetCase plain;
  plain.read(kvtest::data_set_text("m.txt", 1, 2, block0, "2\n5\n0.8\n"));
  EXPECT_DOUBLE_EQ(plain.ed.tiltH, 0.1);
  EXPECT_DOUBLE_EQ(plain.ed.disksize, 0.8);
}

TEST(DataSetBlock, MradThatCannotBeConvertedIsRefused) {
  const auto block0 = [](int t) { return kvtest::thickness_block_text(t, 2); };
  {
    DataSetCase c;
    std::string text = kvtest::data_set_text("m.txt", 1, 2, block0);
    text.replace(text.find("-0.2 FIX tG1"), 12, "tH1 mrad CST tG1");
    const std::string said = fatal_text([&] { c.read(text); });
    EXPECT_TRUE(contains(said, "tiltG is constrained (CST tH1): write it without \"mrad\"")) << said;
    EXPECT_TRUE(contains(said, "block DATA_SET > INCIDENT_BEAM")) << said;
  }
  {
    DataSetCase c;
    std::string text = kvtest::data_set_text("m.txt", 1, 2, block0);
    text.replace(text.find("0.1 ADJ tH1"), 11, "1 mrad ADJ tH1");
    text.replace(text.find("200 FIX kv1"), 11, "0 FIX kv1");
    // A voltage of 0 is refused before any conversion is tried.
    EXPECT_TRUE(contains(fatal_text([&] { c.read(text); }), "$$ Invalid accelerating voltage (=0 kV)"));
  }
  {
    // A constrained voltage is not known when the mrad would be converted.
    DataSetCase c;
    std::string text = kvtest::data_set_text("m.txt", 1, 2, block0);
    text.replace(text.find("0.1 ADJ tH1"), 11, "1 mrad ADJ tH1");
    text.replace(text.find("200 FIX kv1"), 11, "tH1 CST kv1");
    const std::string said = fatal_text([&] { c.read(text); });
    EXPECT_TRUE(contains(said, "which is constrained (CST) here: write them in units of g1/2")) << said;
  }
}

TEST(DataSetBlock, InvalidBlocksEndWithTheirMessages) {
  const auto block0 = [](int t) { return kvtest::thickness_block_text(t, 2); };
  {
    DataSetCase c;
    EXPECT_EQ(fatal_text([&] { c.read(kvtest::data_set_text("m.txt", 1, 2, block0, "-1\n5\n1.0\n")); }),
              "$$ Invalid calc_type=-1. Abort.\n");
  }
  {
    DataSetCase c;
    std::string text = kvtest::data_set_text("m.txt", 1, 2, block0);
    text.replace(text.find("CALC_KXY_RANGE{"), 15, "CALC_KXY_RANGE{ x");
    EXPECT_TRUE(contains(fatal_text([&] { c.read(text); }),
                         "$$Error: CALC_KXY_RANGE must be placed before BEAM_SEARCH. $$\n"));
  }
  {
    DataSetCase c;
    std::string text = kvtest::data_set_text("m.txt", 1, 2, block0);
    text.replace(text.find("0 FIX tw0"), 9, "5 FIX tw0");
    EXPECT_EQ(fatal_text([&] { c.read(text); }), "$$ thickwidth = 5 and num_thickwidth = 0. Abort.\n");
  }
  {
    DataSetCase c;
    EXPECT_TRUE(contains(
        fatal_text([&] { c.read(kvtest::data_set_text("m.txt", 1, 2, [](int t) {
          return kvtest::thickness_block_text(t, 2, "2 1.0\n");
        })); }),
        "must be odd number"));
  }
  {
    DataSetCase c;
    EXPECT_EQ(fatal_text([&] { c.read(kvtest::data_set_text("m.txt", 1, 2, [](int t) {
                return kvtest::thickness_block_text(t, 2, "1001 1.0\n");
              })); }),
              "$$ Invalid number of averaging points (=1001): at most 255. Abort.\n");
  }
  {
    // The block announces three reflections, the file holds two.
    DataSetCase c;
    EXPECT_TRUE(contains(fatal_text([&] { c.read(kvtest::data_set_text("m.txt", 1, 3, block0)); }),
                         "m.txt holds 1 thicknesses and 2 reflections, the DATA_SET block gives 1 and 3"));
  }
}

TEST(DataSetBlock, IterExpNumBlock) {
  StringFile f("ITER_EXP_NUM{\n20\n2\n}ITER_EXP_NUM\n");
  int it = 0, n = 0;
  read_ITEM_EXP_NUM(&it, &n, f.get());
  EXPECT_EQ(it, 20);
  EXPECT_EQ(n, 2);
  StringFile g("ITER_EXP_NUM{\n20\n-1\n}ITER_EXP_NUM\n");
  EXPECT_TRUE(contains(fatal_text([&] { read_ITEM_EXP_NUM(&it, &n, g.get()); }), "number of datasets"));
}

}  // namespace
}  // namespace kv
