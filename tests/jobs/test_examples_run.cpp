// Every parameter file shipped in examples/ runs through korvex to its
// result files and script.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_program.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

TEST(Examples, EveryExampleRunsToItsResultsAndScript) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(KV_EXAMPLES_DIR)) {
    if (entry.path().extension() != ".dat") continue;
    ++count;
    ScratchDir d;
    const std::string name = entry.path().filename().string();
    fs::copy_file(entry.path(), d / name);
    const RunResult r = run_program(KORVEX_EXE, {name}, d.path());
    EXPECT_EQ(r.status, 0) << name << "\n" << r.out << r.err;
    const std::string base = entry.path().stem().string();
    EXPECT_TRUE(fs::exists(d / (base + "_fg0.txt"))) << name;
    EXPECT_TRUE(fs::exists(d / (base + "_rs0.txt"))) << name;
    const std::string script = d.read(base + "_tlv.txt");
    EXPECT_EQ(script.rfind("TALVIS_SCRIPT\n", 0), 0u) << name;
    EXPECT_NE(script.find("HTML_CLOSE\n"), std::string::npos) << name;
    // The parameter file is left as it was.
    EXPECT_EQ(d.read(name), read_file(entry.path())) << name;
  }
  EXPECT_GE(count, 12);
}

// The examples of the other korvex jobs (dispersion surface, Bloch states,
// thickness fringes, projected and unit-cell maps) run to completion.
TEST(Examples, EveryOtherJobExampleRuns) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(KV_EXAMPLES_DIR) / "jobs")) {
    if (entry.path().extension() != ".dat") continue;
    ++count;
    ScratchDir d;
    const std::string name = entry.path().filename().string();
    fs::copy_file(entry.path(), d / name);
    const RunResult r = run_program(KORVEX_EXE, {name}, d.path());
    EXPECT_EQ(r.status, 0) << name << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find("See you again!!"), std::string::npos) << name;
    EXPECT_EQ(d.read(name), read_file(entry.path())) << name;
  }
  EXPECT_GE(count, 5);
}

}  // namespace
