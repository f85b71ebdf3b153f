// The record a refinement leaves: NAME_fit.h5 read back agrees with the
// refined fit-mode file, the FIT_RESULT file and the chi-squared of the log;
// the fit page's table agrees with the refined file and every picture it
// names is a PNG; talvis redraws the page from the record; the Python reader
// reads it; and a dataset count that disagrees with the DATA_SET blocks is
// named.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "results/fit_hdf5.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"
#include "support/vis_files.hpp"

using kvtest::RunResult;
using kvtest::run_program;
using kvtest::ScratchDir;

namespace kv {
namespace {

const std::string kTool = std::string(KV_EXAMPLES_DIR) + "/../tools/make_fit_example.py";

// A small synthetic silicon [110] refinement (9 x 9 measured points), run.
void run_small_fit(const ScratchDir& d) {
  const RunResult make = run_program("/usr/bin/python3",
                                     {kTool, "--korvex", KORVEX_EXE, "--dir", d.path().string(), "--name", "si",
                                      "--side", "9", "--gmax", "1.2", "--max-iter", "8"},
                                     d.path());
  ASSERT_EQ(make.status, 0) << make.out << make.err;
  const RunResult fit = run_program(KORVEX_EXE, {"si.dat"}, d.path());
  ASSERT_EQ(fit.status, 0) << fit.out << fit.err;
}

// The same measurement twice: a fit of two datasets (the second with
// parameters of its own names).
void run_two_dataset_fit(const ScratchDir& d) {
  run_small_fit(d);
  std::string text = d.read("si.dat");
  const std::size_t a = text.find("DATA_SET{"), b = text.find("}DATA_SET") + std::string("}DATA_SET\n").size();
  std::string second = text.substr(a, b - a);
  for (const char* name : {"scale", "thick", "tH", "tG", "kv", "H_shift", "G_shift"})
    second = std::regex_replace(second, std::regex(std::string(" ") + name), std::string(" ") + name + "_2");
  text.insert(b, second);
  text = std::regex_replace(text, std::regex("ITER_EXP_NUM\\{\n(\\d+)\n1\n"), "ITER_EXP_NUM{\n$1\n2\n");
  d.write("two.dat", text);
  const RunResult fit = run_program(KORVEX_EXE, {"two.dat"}, d.path());
  ASSERT_EQ(fit.status, 0) << fit.out << fit.err;
}

// name -> value of the ADJ/RST parameter lines of a fit-mode file.
std::map<std::string, double> refined_values(const std::string& text) {
  std::map<std::string, double> v;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string value, flag, name;
    if (!(l >> value >> flag >> name)) continue;
    if (flag == "ADJ" || flag == "RST") v[name] = std::stod(value);
  }
  return v;
}

// The RF blocks of a FIT_RESULT file: after each "RF{" and its hkl line, one
// column (Obs, Cal, Sig) of every calculated point.
std::vector<std::vector<double>> result_columns(const std::string& text, std::size_t column) {
  std::vector<std::vector<double>> out;
  const std::vector<std::string> lines = kvtest::split_lines(text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("RF{", 0) != 0) continue;
    out.emplace_back();
    for (std::size_t j = i + 2; j < lines.size() && lines[j].rfind("}RF", 0) != 0; ++j) {
      if (lines[j].empty() || lines[j][0] == '#') continue;
      const std::vector<double> v = kvtest::numbers_of(lines[j]);
      if (v.size() > column) out.back().push_back(v[column]);
    }
  }
  return out;
}

TEST(FitRecord, AgreesWithTheRefinedFileTheResultFileAndChiSquared) {
  ScratchDir d;
  run_small_fit(d);
  const fit_record rec = read_fit_hdf5((d / "si_fit.h5").string());
  EXPECT_EQ(rec.base_name, "si");

  // Parameters: the names and final values of the refined fit-mode file.
  const std::map<std::string, double> refined = refined_values(d.read("si_fit.txt"));
  ASSERT_EQ(rec.params.size(), 5u);
  for (const fit_param_record& p : rec.params) {
    ASSERT_TRUE(refined.count(p.name)) << p.name;
    // The fit-mode file prints six significant digits.
    EXPECT_NEAR(p.final_value, refined.at(p.name), 5e-6 * std::fabs(p.final_value)) << p.name;
    EXPECT_GT(p.su, 0.0) << p.name;
  }
  // Covariance and correlation agree with each other and the diagonal with s.u.
  const std::size_t P = rec.params.size();
  for (std::size_t j = 0; j < P; ++j) {
    EXPECT_NEAR(rec.covariance[j * P + j], rec.params[j].su * rec.params[j].su, 1e-9 * rec.covariance[j * P + j]);
    EXPECT_NEAR(rec.correlation[j * P + j], 1.0, 1e-12);
  }

  // The measured points: chi-squared recomputed from obs, the deviations the
  // refinement weighted with and the final model equals the refinement's own
  // (no restraints, unit reflection weights).
  ASSERT_EQ(rec.datasets.size(), 1u);
  const fit_dataset_record& ds = rec.datasets[0];
  double chisq = 0;
  int points = 0;
  for (std::size_t i = 0; i < ds.obs.size(); ++i) {
    if (!ds.mask[i]) continue;
    ++points;
    chisq += std::pow((ds.obs[i] - ds.model_final[i]) / ds.sd_fit[i], 2);
  }
  EXPECT_EQ(points - static_cast<int>(P), rec.dof);
  EXPECT_NEAR(chisq, rec.chisq, 1e-6 * rec.chisq);
  EXPECT_NEAR(rec.reduced, rec.chisq / rec.dof, 1e-12 * rec.reduced);
  // The start model differs from the final one: the start was off.
  double moved = 0;
  for (std::size_t i = 0; i < ds.obs.size(); ++i) moved += std::fabs(ds.model_final[i] - ds.model_start[i]);
  EXPECT_GT(moved, 0.0);

  // The calculated grid equals the FIT_RESULT file's calculated intensities
  // (printed with %g).
  const std::vector<std::vector<double>> cal = result_columns(d.read("si_fit_res0.txt"), 1);
  const int R = static_cast<int>(ds.reflections.size()), K = static_cast<int>(ds.cal_x.size());
  ASSERT_EQ(static_cast<int>(cal.size()), R * ds.num_blocks());
  for (int r = 0; r < R; ++r) {
    ASSERT_EQ(static_cast<int>(cal[r].size()), K);
    for (int k = 0; k < K; ++k)
      EXPECT_NEAR(ds.cal_final[static_cast<std::size_t>(r) * K + k], cal[r][k],
                  1e-5 * std::max(1.0, std::fabs(cal[r][k])))
          << "reflection " << r << " point " << k;
  }
  // The history ends at the final chi-squared (up to the last update of the
  // weights from the model, which moves no weight by more than 1e-3), and
  // the inputs are kept.
  ASSERT_FALSE(rec.history.empty());
  EXPECT_NEAR(rec.history.back().chisq, rec.chisq, 2e-3 * rec.chisq);
  ASSERT_EQ(rec.inputs.size(), 2u);
  EXPECT_EQ(rec.inputs[0].second, d.read("si.dat"));
  EXPECT_EQ(rec.inputs[1].second, d.read(rec.inputs[1].first));
}

TEST(FitRecord, PageTableMatchesTheRefinedFileAndTalvisRedrawsIt) {
  ScratchDir d;
  run_small_fit(d);
  const std::map<std::string, double> refined = refined_values(d.read("si_fit.txt"));
  auto check_page = [&](const std::string& page) {
    const std::regex row(
        "<tr><td class=\"name\">([^<]*)</td><td class=\"start\">[^<]*</td><td class=\"final\">([^<]*)</td>");
    int rows = 0;
    for (std::sregex_iterator it(page.begin(), page.end(), row), end; it != end; ++it) {
      const std::string name = (*it)[1];
      ASSERT_TRUE(refined.count(name)) << name;
      EXPECT_NEAR(std::stod((*it)[2]), refined.at(name), 5e-6 * std::fabs(refined.at(name))) << name;
      ++rows;
    }
    EXPECT_EQ(rows, 5);
    const std::vector<std::string> pictures = kvtest::img_sources(page);
    // Correlations, history, the pattern, and two pictures per reflection.
    EXPECT_GE(pictures.size(), 3u + 2u * 5u);
    for (const std::string& png : pictures) EXPECT_TRUE(kvtest::png_is_valid(d / png)) << png;
    // The disk panels are at least 160 px: the PNG's height (IHDR, bytes 20-23).
    const std::string png = d.read("si_fit_d0_b0_r0.png");
    ASSERT_GT(png.size(), 24u);
    const int height = (static_cast<unsigned char>(png[20]) << 24) | (static_cast<unsigned char>(png[21]) << 16) |
                       (static_cast<unsigned char>(png[22]) << 8) | static_cast<unsigned char>(png[23]);
    EXPECT_GE(height, 160 + 34);
  };
  check_page(d.read("si_fit_page.html"));

  // talvis on the refinement's script draws the page again from the record.
  std::filesystem::remove(d / "si_fit_page.html");
  std::filesystem::remove(d / "si_fit_corr.png");
  const RunResult vis = run_program(TALVIS_EXE, {"si_fit_tlv.txt"}, d.path());
  ASSERT_EQ(vis.status, 0) << vis.out << vis.err;
  EXPECT_NE(vis.out.find("==> SEE si_fit_page.html"), std::string::npos) << vis.out;
  check_page(d.read("si_fit_page.html"));

  // The Python reader reads the record and redraws the comparison.
  const RunResult py = run_program("/usr/bin/python3",
                                   {std::string(KV_EXAMPLES_DIR) + "/../tools/fit_h5.py", "si_fit.h5", "--png",
                                    "redraw.png"},
                                   d.path());
  ASSERT_EQ(py.status, 0) << py.out << py.err;
  EXPECT_TRUE(kvtest::png_is_valid(d / "redraw.png"));
  for (const auto& [name, value] : refined) EXPECT_NE(py.out.find(name), std::string::npos) << name;
}

TEST(FitRecord, TwoDatasetPageHasEveryPictureAndLoadsInABrowser) {
  ScratchDir d;
  run_two_dataset_fit(d);
  const fit_record rec = read_fit_hdf5((d / "two_fit.h5").string());
  ASSERT_EQ(rec.datasets.size(), 2u);
  const std::string page = d.read("two_fit_page.html");
  EXPECT_NE(page.find("<h2>Dataset 1: si_int.txt</h2>"), std::string::npos);
  const std::vector<std::string> sources = kvtest::img_sources(page);
  const std::size_t pictures = sources.size();
  // Correlations, history, and per dataset the pattern and two pictures a reflection.
  EXPECT_EQ(pictures, 2u + 2u * (1u + 2u * 5u));
  for (const std::string& png : sources) EXPECT_TRUE(kvtest::png_is_valid(d / png)) << png;
  const std::string chromium = kvtest::find_on_path("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed: the browser check of the page is skipped";
  EXPECT_EQ(kvtest::browser_image_count(chromium, d.path(), "two_fit_page.html"),
            "images=" + std::to_string(pictures) + " loaded=" + std::to_string(pictures));
}

TEST(FitRecord, ReaderNamesWhatIsMissing) {
  ScratchDir d;
  d.write("not.h5", "plain text");
  EXPECT_NE(kvtest::fatal_text([&] { read_fit_hdf5((d / "not.h5").string()); }).find("Cannot read"),
            std::string::npos);
  // A SIM_MODE export is an HDF5 file but no fit record.
  const RunResult sim = run_program(KORVEX_EXE, {std::string(KV_EXAMPLES_DIR) + "/si_111_200kv.dat"}, d.path());
  ASSERT_EQ(sim.status, 0) << sim.out;
  const std::string msg = kvtest::fatal_text([&] { read_fit_hdf5((d / "si_111_200kv.h5").string()); });
  EXPECT_NE(msg.find("is not a fit record"), std::string::npos) << msg;
}

TEST(FitRecord, DatasetCountOfIterExpNumIsCheckedAgainstTheBlocks) {
  ScratchDir d;
  const RunResult make = run_program("/usr/bin/python3",
                                     {kTool, "--korvex", KORVEX_EXE, "--dir", d.path().string(), "--name", "si",
                                      "--side", "5"},
                                     d.path());
  ASSERT_EQ(make.status, 0) << make.out << make.err;
  std::string text = d.read("si.dat");
  const std::string from = "ITER_EXP_NUM{\n30\n1\n}ITER_EXP_NUM";
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, from.size(), "ITER_EXP_NUM{\n30\n2\n}ITER_EXP_NUM");
  d.write("two.dat", text);
  const RunResult r = run_program(KORVEX_EXE, {"two.dat"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ITER_EXP_NUM gives 2 datasets (its second line), but two.dat holds 1 DATA_SET block."),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace kv
