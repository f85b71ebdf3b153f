// Every parameter file shipped in examples/ runs through korvex to its
// result files and script.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

// The parameter files (*.dat) of one examples folder.
std::vector<fs::path> examples_in(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir))
    if (entry.path().extension() == ".dat") found.push_back(entry.path());
  return found;
}

// Copies an example into the scratch folder and runs korvex on it there.
RunResult run_example(const fs::path& example, const ScratchDir& d) {
  const std::string name = example.filename().string();
  fs::copy_file(example, d / name);
  return run_program(KORVEX_EXE, {name}, d.path());
}

TEST(Examples, EveryExampleRunsToItsResultsAndScript) {
  const std::vector<fs::path> examples = examples_in(KV_EXAMPLES_DIR);
  for (const fs::path& example : examples) {
    ScratchDir d;
    const std::string name = example.filename().string();
    const RunResult r = run_example(example, d);
    EXPECT_EQ(r.status, 0) << name << "\n" << r.out << r.err;
    const std::string base = example.stem().string();
    EXPECT_TRUE(fs::exists(d / (base + "_fg0.txt"))) << name;
    EXPECT_TRUE(fs::exists(d / (base + "_rs0.txt"))) << name;
    const std::string script = d.read(base + "_tlv.txt");
    EXPECT_EQ(script.rfind("TALVIS_SCRIPT\n", 0), 0u) << name;
    EXPECT_NE(script.find("HTML_CLOSE\n"), std::string::npos) << name;
    // The parameter file is left as it was.
    EXPECT_EQ(d.read(name), read_file(example)) << name;
  }
  EXPECT_GE(examples.size(), 12u);
}

// The examples of the other korvex jobs (dispersion surface, Bloch states,
// thickness fringes, projected and unit-cell maps) run to completion.
TEST(Examples, EveryOtherJobExampleRuns) {
  const std::vector<fs::path> examples = examples_in(fs::path(KV_EXAMPLES_DIR) / "jobs");
  for (const fs::path& example : examples) {
    ScratchDir d;
    const std::string name = example.filename().string();
    const RunResult r = run_example(example, d);
    EXPECT_EQ(r.status, 0) << name << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find("See you again!!"), std::string::npos) << name;
    EXPECT_EQ(d.read(name), read_file(example)) << name;
  }
  EXPECT_GE(examples.size(), 5u);
}

}  // namespace

namespace {

// A parameter file cut short anywhere ends the run with status 1 and a
// message, never with a crash, a hang or a silent success.
TEST(Examples, EveryTruncationOfTheSiliconExampleEndsWithOneMessage) {
  const std::string text = read_file(fs::path(KV_EXAMPLES_DIR) / "si_110_200kv.dat");
  const std::vector<std::string> lines = split_lines(text);
  ScratchDir d;
  std::string partial;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    d.write("cut.dat", partial);
    const RunResult r = run_program(KORVEX_EXE, {"cut.dat"}, d.path());
    EXPECT_EQ(r.status, 1) << "first " << k << " lines";
    const std::string said = r.out + r.err;
    EXPECT_NE(said.find("Abort"), std::string::npos) << "first " << k << " lines:\n" << said;
    partial += lines[k] + "\n";
  }
}

}  // namespace

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Relative rms difference of the 000 disk from itself under a map of the
// square tilt grid (points outside the disk are 0 on both sides).
template <class Map>
double bright_field_asymmetry(const ResultFile& r, Map map) {
  const std::vector<double>& v = r.values.at(0);
  const int n = r.num_pix_side;
  double num = 0, den = 0;
  for (int ig = 0; ig < n; ++ig)
    for (int ih = 0; ih < n; ++ih) {
      const double a = v.at(ig * n + ih), b = v.at(map(ih, ig, n));
      num += (a - b) * (a - b);
      den += a * a;
    }
  return std::sqrt(num / den);
}

// Grid maps of the tilt plane: the mirror H -> -H and the twofold rotation.
int mirror_h(int ih, int ig, int n) { return ig * n + (n - 1 - ih); }
int twofold(int ih, int ig, int n) { return (n - 1 - ig) * n + (n - 1 - ih); }

// Exact beams of the first-order Laue zone in a reflection listing.
int folz_exact_beams(const std::string& listing) {
  int count = 0;
  for (const std::string& line : split_lines(listing)) {
    std::istringstream in(line);
    int i, h, k, l, nlz, bethe;
    double x, y;
    if (in >> i >> h >> k >> l >> nlz >> x >> y >> bethe && nlz == 1 && bethe == 0) ++count;
  }
  return count;
}

// Si [111] with its first-order Laue zone: the FOLZ reflections take part as
// exact beams, and their HOLZ lines give the bright-field disk the 3m
// symmetry of the crystal along [111]: the mirror across g1 = 2-20 stays,
// the twofold rotation of the zero-order projection goes. With the zero-order
// zone alone the disk has it again. (A coarser grid than the example's keeps
// the test short.)
TEST(Examples, SiliconHolzLinesBreakTheProjectionsTwofold) {
  const std::string text =
      replaced(read_file(fs::path(KV_EXAMPLES_DIR) / "si_111_200kv.dat"), "\n61\n", "\n31\n");

  ScratchDir d;
  const RunResult folz = run_korvex(d, "si111.dat", text);
  ASSERT_EQ(folz.status, 0) << folz.out << folz.err;
  EXPECT_GE(folz_exact_beams(d.read("si111_fg0.txt")), 12);
  const ResultFile with = read_result(d.read("si111_rs0.txt"));
  ASSERT_EQ(with.hkl.at(0), (std::vector<int>{0, 0, 0}));
  EXPECT_LT(bright_field_asymmetry(with, mirror_h), 1e-5);
  EXPECT_GT(bright_field_asymmetry(with, twofold), 0.05);

  std::string zolz = replaced(text, "400 3.3 0 1\n", "400 3.3 0 0\n");
  zolz = replaced(zolz, "0.002 0.01 200000.0\n", "");
  const RunResult plain = run_korvex(d, "zolz.dat", zolz);
  ASSERT_EQ(plain.status, 0) << plain.out << plain.err;
  EXPECT_EQ(folz_exact_beams(d.read("zolz_fg0.txt")), 0);
  const ResultFile without = read_result(d.read("zolz_rs0.txt"));
  EXPECT_LT(bright_field_asymmetry(without, twofold), 1e-5);
}

// Corundum [0001] with its first-order Laue zone shows the 3m of -3m along
// the threefold axis, in the bright-field disk too: the mirror H -> -H
// (the line through g1 = 110) stays, the projection's twofold goes.
TEST(Examples, CorundumFolzBreaksTheProjectionsTwofold) {
  const std::string text =
      replaced(read_file(fs::path(KV_EXAMPLES_DIR) / "al2o3_0001_200kv.dat"), "\n31\n", "\n21\n");
  ScratchDir d;
  const RunResult r = run_korvex(d, "al.dat", text);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_GE(folz_exact_beams(d.read("al_fg0.txt")), 12);
  const ResultFile res = read_result(d.read("al_rs1.txt"));  // 1000 A
  ASSERT_EQ(res.hkl.at(0), (std::vector<int>{0, 0, 0}));
  EXPECT_LT(bright_field_asymmetry(res, mirror_h), 1e-5);
  EXPECT_GT(bright_field_asymmetry(res, twofold), 0.05);
}

}  // namespace
