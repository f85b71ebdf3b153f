// The Hermitian-split eigen solver (eigmat_func 3) run end to end: on every
// shipped example crystal at its thicknesses, and on deep, strongly
// absorbing and many-beam variants, its intensities agree with the EISPACK
// route (eigmat_func 0) to 1e-4 of the peak intensity; a parameter file
// without eigmat_func gets the solver chosen for its beam count, named in
// the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "jobs/sim_files.hpp"

namespace kvtest {
namespace {

namespace fs = std::filesystem;

std::string example(const std::string& name) { return read_file(std::string(KV_EXAMPLES_DIR) + "/" + name); }

// The parameter file with its eigmat_func line set to `func`, or taken out
// when func < 0.
std::string with_solver(const std::string& text, int func) {
  static const std::regex line(R"(\neigmat_func[^\n]*)");
  return std::regex_replace(text, line, func < 0 ? std::string() : "\neigmat_func      " + std::to_string(func));
}

// A coarser tilt grid than the example's (the comparison is per tilt, the
// grid only sets how many tilts are compared).
std::string coarse(const std::string& text, int side) {
  static const std::regex grid(R"((% points along one side of the grid\n)\d+)");
  return std::regex_replace(text, grid, "$01" + std::to_string(side));
}

struct JobRun {
  RunResult r;
  std::vector<ResultFile> files;
  std::string log;
};

JobRun run(const std::string& text) {
  ScratchDir d;
  JobRun out;
  out.r = run_korvex(d, "job.dat", text);
  EXPECT_EQ(out.r.status, 0) << out.r.out << out.r.err;
  for (int t = 0; fs::exists(d / ("job_rs" + std::to_string(t) + ".txt")); ++t)
    out.files.push_back(read_result(d.read("job_rs" + std::to_string(t) + ".txt")));
  if (fs::exists(d / "job_log.txt")) out.log = d.read("job_log.txt");
  return out;
}

// Largest |I_a - I_b| over every reflection, point and thickness, relative
// to the largest intensity of the thickness.
double worst_relative_difference(const JobRun& a, const JobRun& b) {
  EXPECT_EQ(a.files.size(), b.files.size());
  EXPECT_FALSE(a.files.empty());
  double worst = 0;
  for (std::size_t t = 0; t < std::min(a.files.size(), b.files.size()); ++t) {
    const ResultFile &fa = a.files[t], &fb = b.files[t];
    EXPECT_EQ(fa.values.size(), fb.values.size());
    double peak = 0, diff = 0;
    for (const auto& v : fa.values)
      for (double x : v) peak = std::max(peak, std::fabs(x));
    for (std::size_t r = 0; r < std::min(fa.values.size(), fb.values.size()); ++r) {
      EXPECT_EQ(fa.values[r].size(), fb.values[r].size());
      for (std::size_t k = 0; k < std::min(fa.values[r].size(), fb.values[r].size()); ++k)
        diff = std::max(diff, std::fabs(fa.values[r][k] - fb.values[r][k]));
    }
    EXPECT_GT(peak, 0.0) << "thickness " << t;
    worst = std::max(worst, peak > 0 ? diff / peak : diff);
  }
  return worst;
}

void expect_split_matches_exact(const std::string& name, const std::string& text) {
  const JobRun exact = run(with_solver(text, 0));
  const JobRun split = run(with_solver(text, 3));
  EXPECT_LE(worst_relative_difference(exact, split), 1e-4) << name;
  EXPECT_NE(split.log.find("Eigen solver: Hermitian split"), std::string::npos) << name << "\n" << split.log;
}

// Every SIM_MODE and SIM_COHERENT_MODE example at its own thicknesses and
// absorption (Si, GaAs, GaN, Cu, SrTiO3, Al2O3, quartz).
TEST(HermitianSplit, MatchesTheExactPathOnEveryExample) {
  int count = 0;
  for (const auto& e : fs::directory_iterator(KV_EXAMPLES_DIR)) {
    if (e.path().extension() != ".dat") continue;
    const std::string text = read_file(e.path());
    if (text.rfind("SIM_MODE", 0) != 0 && text.rfind("SIM_COHERENT_MODE", 0) != 0) continue;
    expect_split_matches_exact(e.path().filename().string(), coarse(text, 13));
    ++count;
  }
  EXPECT_GE(count, 12);
}

// The examples made harder: thicknesses to 3000 A, more exact beams (the
// Bethe thresholds raised), and Debye-Waller factors up to 2 A^2, where
// the absorptive part of the structure matrix is largest.
std::string deeper(std::string text, const std::string& bethe, const std::vector<std::string>& b_from,
                   const std::vector<std::string>& b_to) {
  static const std::regex thick(R"(OUTPUT_THICKNESS\{\n[\s\S]*?\}OUTPUT_THICKNESS)");
  text = std::regex_replace(text, thick, "OUTPUT_THICKNESS{\n3\n1000.0\n2000.0\n3000.0\n}OUTPUT_THICKNESS");
  static const std::regex search(R"((% s_g_bethe_min[^\n]*\n(?:%[^\n]*\n)*)\S+ \S+)");
  text = std::regex_replace(text, search, "$01" + bethe);
  for (std::size_t k = 0; k < b_from.size(); ++k) {
    const std::size_t at = text.find(b_from[k]);
    EXPECT_NE(at, std::string::npos) << b_from[k];
    if (at != std::string::npos) text.replace(at, b_from[k].size(), b_to[k]);
  }
  return text;
}

TEST(HermitianSplit, MatchesTheExactPathOnDeepAbsorbingManyBeamCrystals) {
  // Si [110]: about 110 exact beams, light absorption.
  expect_split_matches_exact("si_110 deep", coarse(deeper(example("si_110_200kv.dat"), "0.05 0.15", {}, {}), 7));
  // Cu [001] with B = 2 A^2.
  expect_split_matches_exact(
      "cu_001 B=2", coarse(deeper(example("cu_001_200kv.dat"), "0.05 0.15", {"0.5505 FIX b_cu"}, {"2.0 FIX b_cu"}), 9));
  // SrTiO3 [001] with B = 2, 1.5, 2 A^2 on Sr, Ti, O.
  expect_split_matches_exact("srtio3_001 B=2",
                             coarse(deeper(example("srtio3_001_200kv.dat"), "0.04 0.12",
                                           {"0.55 FIX b_sr", "0.4 FIX b_ti", "0.6 FIX b_o"},
                                           {"2.0 FIX b_sr", "1.5 FIX b_ti", "2.0 FIX b_o"}),
                                    7));
}

// Without eigmat_func the job takes the solver for its size, says so in the
// log, and writes exactly the files of that solver set by hand; a set value
// is kept and named as set.
TEST(HermitianSplit, TheSolverIsChosenByBeamCountUnlessSet) {
  const std::string small = coarse(example("cu_001_200kv.dat"), 9);  // 21 exact beams
  const std::string large = coarse(deeper(example("si_110_200kv.dat"), "0.05 0.15", {}, {}), 5);

  const JobRun small_auto = run(with_solver(small, -1));
  EXPECT_NE(small_auto.log.find("Eigen solver: EISPACK Householder + complex QR (eigmat_func 0, chosen for 21 exact beams)\n"),
            std::string::npos)
      << small_auto.log;
  const JobRun large_auto = run(with_solver(large, -1));
  const std::regex chosen(R"(Eigen solver: Hermitian split \(LAPACK Hermitian solver \+ absorption iteration\) \(eigmat_func 3, chosen for (\d+) exact beams\)\n)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(large_auto.log, m, chosen)) << large_auto.log;
  EXPECT_GE(std::stoi(m[1]), 40);
  const JobRun large_set = run(with_solver(large, 3));
  ASSERT_EQ(large_auto.files.size(), large_set.files.size());
  for (std::size_t t = 0; t < large_auto.files.size(); ++t)
    EXPECT_TRUE(large_auto.files[t].lines == large_set.files[t].lines) << "thickness " << t;

  const JobRun pinned = run(with_solver(large, 0));
  EXPECT_NE(pinned.log.find("Eigen solver: EISPACK Householder + complex QR (eigmat_func 0, as set)\n"),
            std::string::npos)
      << pinned.log;
  // The console says it too.
  EXPECT_NE(pinned.r.out.find("Eigen solver: EISPACK"), std::string::npos);
}

}  // namespace
}  // namespace kvtest
