#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "expdata/comparison.hpp"
#include "expdata/dataset.hpp"
#include "expdata/expdata_test_util.hpp"
#include "expdata/fit_files.hpp"
#include "input/csd_test_tables.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"
#include "expdata/scans.hpp"
#include "vis/tlv_jobs.hpp"

using kvtest::EpsilonGuard;
using kvtest::fatal_text;
using kvtest::ScratchCwd;
using kvtest::StringFile;

namespace kv {
namespace {

// A fei of one thickness with n reflections over a 2 x 2 calculated grid
// whose extracted and calculated values are given directly.
fei small_fei(const std::vector<std::vector<double>>& obs, const std::vector<std::vector<double>>& cal,
              const std::vector<std::vector<double>>& sig) {
  fei ei;
  ei.num_rg = static_cast<int>(obs.size());
  ei.num_thickness = 1;
  ei.rg.assign(obs.size(), Hkl{});
  alloc_ei_cal(ei, 2);
  for (auto& p : ei.cal_pix) p.flag = 1;
  for (int r = 0; r < ei.num_rg; ++r)
    for (int p = 0; p < 4; ++p) {
      ei.extr_int(r, 0, p) = obs[r][p];
      ei.cal_int(r, 0, p) = cal[r][p];
      ei.extr_sig(r, 0, p) = sig[r][p];
    }
  return ei;
}

TEST(FitStatistics, ScaleAndGoodnessOfFitWithWeights) {
  fei ei = small_fei({{2, 4, 6, 8}, {1, 1, 1, 1}}, {{1, 2, 3, 4}, {5, 5, 5, 5}}, {{1, 1, 2, -1}, {1, 1, 1, 1}});
  // Disk 0: obs = 2 cal on the weighted points; the point with sigma -1 is out.
  EXPECT_DOUBLE_EQ(scale_factor_disk(ei, 0, 0), 2.0);
  EXPECT_DOUBLE_EQ(eval_gof_disk(ei, 0, 0, 2.0), 0.0);
  // s = 1: differences 1, 2, 3 with weights 1, 1, 1/4 over 3 points.
  EXPECT_DOUBLE_EQ(eval_gof_disk(ei, 0, 0, 1.0), (1 + 4 + 9 / 4.0) / 3);
  EXPECT_DOUBLE_EQ(scale_factor_disk(ei, 1, 0), 0.2);
  // A reflection of weight 0 contributes nothing to the overall values.
  const double w0[2] = {1.0, 0.0};
  EXPECT_DOUBLE_EQ(eval_scale_factor(ei, 2, 0, w0), 2.0);
  EXPECT_DOUBLE_EQ(eval_gof(ei, 2, 0, w0, 2.0), 0.0);
  const double w1[2] = {1.0, 2.0};
  const double num = 2 + 8 + 18 / 4.0 + 2 * 4 * 5, den = 1 + 4 + 9 / 4.0 + 2 * 4 * 25;
  EXPECT_DOUBLE_EQ(eval_scale_factor(ei, 2, 0, w1), num / den);
  const double s = 0.1;
  const double sum = std::pow(2 - 0.1, 2) + std::pow(4 - 0.2, 2) + std::pow(6 - 0.3, 2) / 4 + 2 * 4 * 0.25;
  EXPECT_DOUBLE_EQ(eval_gof(ei, 2, 0, w1, s), std::sqrt(sum / 7));

  // No information at all.
  fei none = small_fei({{1, 1, 1, 1}}, {{0, 0, 0, 0}}, {{1, 1, 1, 1}});
  EXPECT_EQ(scale_factor_disk(none, 0, 0), 1.0);
  const double w[1] = {1.0};
  EXPECT_EQ(fatal_text([&] { eval_scale_factor(none, 1, 0, w); }),
            "$$ERROR: (eval_scale_factor) too small denominator(=0)\n");
  fei unweighted = small_fei({{1, 1, 1, 1}}, {{1, 1, 1, 1}}, {{0, -1, 0, 0}});
  EXPECT_EQ(eval_gof_disk(unweighted, 0, 0, 1.0), 0.0);
  EXPECT_EQ(eval_gof(unweighted, 1, 0, w, 1.0), 0.0);
}

TEST(ShiftGrid, ValuesAndFirstOfEqualMinima) {
  double v[5];
  set_shift_val(5, -2.0, 2.0, v);
  EXPECT_EQ(std::vector<double>(v, v + 5), (std::vector<double>{-2, -1, 0, 1, 2}));
  RMatrix Q(3, 3);
  Q.fill(5.0);
  Q[2][0] = 1.0;
  Q[1][2] = 1.0;
  Q[2][2] = 1.0;
  int k = -1, l = -1;
  find_gof_min_disk(3, 3, Q, &k, &l);
  EXPECT_EQ(k, 1);
  EXPECT_EQ(l, 2);
}

// ---- The whole job on a synthetic measurement ---------------------------------

// Calculated disk of reflection r: a bump on a background.
double calc_int(int r, double H, double G) {
  const double a = r == 0 ? 0.1 : -0.15, b = r == 0 ? -0.05 : 0.2;
  return 50.0 + 100.0 * std::exp(-((H - a) * (H - a) + (G - b) * (G - b)) / 0.08);
}
constexpr double kTrueScale = 2.0;
const double kTrueH[2] = {0.1, -0.2}, kTrueG[2] = {-0.1, 0.0};

std::string result_file_text(int m, double d) {
  std::ostringstream o;
  o.precision(12);
  o << "FIT_RESULT\nCR_PAR{\n1 1 1 90 90 90\n1 1 0\n0 0 1\n0 0\n" << d << "\n}CR_PAR\nNUM{\n2\n1\n"
    << m * m << " " << m << "\n}NUM\nTHICKNESS{\n";
  for (int r = 0; r < 2; ++r) {
    o << "RF{\n" << (r == 0 ? "0 0 0 1\n" : "1 1 1 1\n");
    for (int p = 0; p < m * m; ++p) {
      const double H = -d + (p % m) * 2 * d / (m - 1), G = -d + (p / m) * 2 * d / (m - 1);
      o << "0 " << calc_int(r, H, G) << " 1\n";
      if ((p + 1) % m == 0) o << "\n";
    }
    o << "}RF\n";
  }
  o << "}THICKNESS\n";
  return o.str();
}

struct ShiftScanCase {
  EpsilonGuard guard;
  ScratchCwd cwd;
  ShiftScanCase() {
    kvtest::IntFileRecipe s;
    s.nx = 41;
    s.xmin = s.ymin = -1.5;
    s.xmax = s.ymax = 1.5;
    // The measurement is the calculation, scaled and shifted by the true
    // shift: carried back with that shift it matches the calculation.
    s.intensity = [](int r, int, double x, double y) {
      return kTrueScale * calc_int(r, x + kTrueH[r], y + kTrueG[r]);
    };
    cwd.dir().write("m.txt", kvtest::int_file_text(s));
    cwd.dir().write("res.txt", result_file_text(11, 0.5));
    const std::string block =
        "THICKNESS_BLOCK{\nSTW_PAR{\n1.5 ADJ sc\n800 FIX th\n0 FIX tw\n0 1\n}STW_PAR\nREFLEX_SHIFT_PAR{\n"
        "0 0 0\n0 ADJ H0\n0 ADJ G0\n1 1 1\nH0 CST H1\n0 ADJ G1\n}REFLEX_SHIFT_PAR\n}THICKNESS_BLOCK\n";
    cwd.dir().write("fit.dat", "FIT_MODE\nEPS_CONTROL_PARAMETERS{\n}EPS_CONTROL_PARAMETERS\n" + kvtest::si_block() +
                                   "FIT_CALCULATION_CONDITION{\nITER_EXP_NUM{\n10\n1\n}ITER_EXP_NUM\n" +
                                   kvtest::data_set_text("m.txt", 1, 2, [&](int) { return block; },
                                                         "2\n11\n0.5\n", "2\n20 2.5 0 1 0.5\n0.01 0.1 1000\n") +
                                   "}FIT_CALCULATION_CONDITION\n");
  }
};

TEST(ShiftScanJob, RecoversKnownShiftsAndScale) {
  ShiftScanCase c;
  StringFile script("fit.dat\nres.txt\n9\n-0.2 0.2\n-0.2 0.2\n");
  const std::string out = kvtest::capture_stdout([&] { job_fit_shift_scan_mode(script.get()); });
  EXPECT_EQ(out.rfind("##### SHIFT scan mode #####\nInput: FIT_MODE file -- fit.dat\n\n", 0), 0u) << out;
  EXPECT_NE(out.find("$$num_div = 9 9\n$$[Hmin,Hmax] = [-0.2,0.2], [Gmin,Gmax] = [-0.2,0.2]\n"), std::string::npos);
  EXPECT_NE(out.find("Result: res file      -- fit_sf_fst0.txt\n"), std::string::npos);
  EXPECT_NE(out.find("Result: FIT_MODE file -- fit_sf.txt\n"), std::string::npos);
  double g0 = -1, s0 = -1, g1 = -1, s1 = -1;
  ASSERT_EQ(std::sscanf(out.c_str() + out.find("Initial SHIFT"), "Initial SHIFT: GoF=%lf, scale=%lf", &g0, &s0), 2);
  ASSERT_EQ(std::sscanf(out.c_str() + out.find("Optimized SHIFT"), "Optimized SHIFT: GoF=%lf, scale=%lf", &g1, &s1),
            2);
  // What remains is the bilinear interpolation error of the measured grid.
  EXPECT_GT(g0, 10.0);
  EXPECT_LT(g1, g0 / 20);
  EXPECT_NEAR(s1, kTrueScale, 1e-2);

  // The written fit-mode file carries the shifts found and the new scale;
  // the constraint of H1 is kept as its expression.
  csd cs;
  std::vector<fed> eds;
  std::vector<fei> eis;
  int it = 0, n = 0;
  input_fit_mode_file("fit_sf.txt", cs, &it, &n, eds, eis);
  ASSERT_EQ(n, 1);
  const thickness_block& b = eds[0].tb[0];
  EXPECT_NEAR(b.H_shift[0], kTrueH[0], 1e-9);
  EXPECT_NEAR(b.G_shift[0], kTrueG[0], 1e-9);
  EXPECT_EQ(b.H_shift_fp[1].flg, kFlgCst);
  EXPECT_NEAR(b.G_shift[1], kTrueG[1], 1e-9);
  EXPECT_NEAR(b.scale, 1.5 * s1, 1e-4);
  EXPECT_NE(c.cwd.dir().read("fit_sf.txt").find("H0  CST  H1  #H_shift\n"), std::string::npos);

  // The optimised comparison holds the calculation times the scale.
  BeamList rg;
  std::vector<double> w;
  fei ref = eis[0];
  read_res_data(ref, &rg, &w, "fit_sf_res0.txt");
  fei orig = eis[0];
  read_res_data(orig, &rg, &w, "res.txt");
  // Points inside the disk (the others carry deviation 0 and read back as 0).
  for (int p : {49, 60, 71})
    EXPECT_NEAR(ref.cal_int(1, 0, p), orig.cal_int(1, 0, p) * s1, 1e-3 * orig.cal_int(1, 0, p));
  EXPECT_EQ(ref.cal_pix[0].flag, 0);  // corner of the square outside the disk
  EXPECT_EQ(ref.cal_pix[60].flag, 1);
}

TEST(ShiftScanJob, BadSettingsAndMismatchedResultFiles) {
  ShiftScanCase c;
  {
    StringFile script("fit.dat\nres.txt\n1\n-0.2 0.2\n-0.2 0.2\n");
    EXPECT_EQ(kvtest::fatal_of([&] { kvtest::capture_stdout([&] { job_fit_shift_scan_mode(script.get()); }); }).text(),
              "$$ERROR: num_scan_div should be greater than 1\n");
  }
  {
    std::string text = result_file_text(5, 0.5);
    text.replace(text.find("1 1 1 1\n"), 8, "2 2 0 1\n");
    c.cwd.dir().write("bad.txt", text);
    StringFile script("fit.dat\nbad.txt\n3\n-0.2 0.2\n-0.2 0.2\n");
    EXPECT_NE(kvtest::fatal_of([&] { kvtest::capture_stdout([&] { job_fit_shift_scan_mode(script.get()); }); })
                  .text()
                  .find("reflection 1 of bad.txt is 2 2 0"),
              std::string::npos);
  }
}

TEST(ShiftScanJob, RunsFromATalvisScript) {
  ShiftScanCase c;
  c.cwd.dir().write("scan.txt", "TALVIS_SCRIPT\nFIT_SHIFT_SCAN_MODE\nfit.dat\nres.txt\n3\n-0.2 0.2\n-0.2 0.2\n");
  const kvtest::RunResult r = kvtest::run_program(TALVIS_EXE, {"scan.txt"}, c.cwd.dir().path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Optimized SHIFT"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(c.cwd.dir() / "fit_sf_res0.txt"));
}

}  // namespace
}  // namespace kv
