// Every parameter file shipped in examples/ runs through korvex to its
// result files and script.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

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
