// The whole road of a CBED simulation: korvex writes the Si [110] example's
// results and script, talvis turns them into pictures and a page.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"

using namespace kvtest;

namespace {

// The Si example with a small grid, as si.dat in `dir`.
void write_small_si(const std::filesystem::path& dir) {
  std::string text = read_file(std::filesystem::path(KV_EXAMPLES_DIR) / "si_110_200kv.dat");
  const std::string grid = "% points along one side of the grid\n31\n";
  const auto at = text.find(grid);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, grid.size(), "% points along one side of the grid\n11\n");
  write_file(dir / "si.dat", text);
}

TEST(SimToTalvis, SiExamplePageShowsEveryThicknessAsAValidNonBlankPicture) {
  ScratchDir d;
  std::filesystem::copy_file(std::filesystem::path(KV_EXAMPLES_DIR) / "si_110_200kv.dat", d / "si.dat");
  // A smaller grid than the example's 31 x 31 keeps the test quick.
  std::string text = read_file(d / "si.dat");
  const std::string grid = "% points along one side of the grid\n31\n";
  const auto at = text.find(grid);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, grid.size(), "% points along one side of the grid\n11\n");
  write_file(d / "si.dat", text);

  const RunResult k = run_program(KORVEX_EXE, {"si.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out << k.err;
  ASSERT_TRUE(std::filesystem::exists(d / "si_tlv.txt"));

  const RunResult t = run_program(TALVIS_EXE, {"si_tlv.txt"}, d.path(), "1\n");
  ASSERT_EQ(t.status, 0) << t.out << t.err;
  const std::string html = d.read("si_.html");
  const std::vector<std::string> imgs = img_sources(html);
  ASSERT_EQ(imgs.size(), 3u);  // one whole pattern per thickness
  for (const std::string& img : imgs) {
    ASSERT_TRUE(std::filesystem::exists(d / img)) << img;
    EXPECT_TRUE(png_is_valid(d / img)) << img;
    const GreyPicture pic = decode_png(d / img);
    ASSERT_GT(pic.width, 11);
    int lo = 255, hi = 0;
    for (unsigned char b : pic.bytes) lo = std::min<int>(lo, b), hi = std::max<int>(hi, b);
    EXPECT_GT(hi - lo, 100) << img << ": the zone-axis pattern must not be blank";
  }
}

// A script run from another folder reads the results beside it; the page and
// its pictures are written in the working folder and the page's links work.
TEST(SimToTalvis, ScriptInAnotherFolderReadsItsResultsFromThere) {
  ScratchDir d;
  std::filesystem::create_directory(d / "run");
  std::filesystem::create_directory(d / "elsewhere");
  write_small_si(d / "run");
  const RunResult k = run_program(KORVEX_EXE, {"si.dat"}, d / "run");
  ASSERT_EQ(k.status, 0) << k.out << k.err;

  for (const std::string script : {std::string("../run/si_tlv.txt"), (d / "run" / "si_tlv.txt").string()}) {
    SCOPED_TRACE(script);
    const RunResult t = run_program(TALVIS_EXE, {script}, d / "elsewhere", "1\n");
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    const std::string html = read_file(d / "elsewhere" / "si_.html");
    const std::vector<std::string> imgs = img_sources(html);
    ASSERT_EQ(imgs.size(), 3u);
    for (const std::string& img : imgs) {
      EXPECT_EQ(img.find('/'), std::string::npos) << img << ": the pictures belong in the working folder";
      EXPECT_TRUE(png_is_valid(d / "elsewhere" / img)) << img;
    }
    std::filesystem::remove(d / "elsewhere" / "si_.html");
  }
  EXPECT_FALSE(std::filesystem::exists(d / "run" / "si_.html")) << "nothing is written beside the script";
}

// A name that is not beside the script is still taken from the working
// folder, and a missing one is reported under the name the script gives.
TEST(SimToTalvis, ScriptNamesFallBackToTheWorkingFolderAndMissingOnesAreNamed) {
  ScratchDir d;
  write_small_si(d.path());
  const RunResult k = run_program(KORVEX_EXE, {"si.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out << k.err;
  std::filesystem::create_directory(d / "scripts");
  std::filesystem::rename(d / "si_tlv.txt", d / "scripts" / "si_tlv.txt");
  const RunResult t = run_program(TALVIS_EXE, {"scripts/si_tlv.txt"}, d.path(), "1\n");
  ASSERT_EQ(t.status, 0) << t.out << t.err;
  EXPECT_TRUE(std::filesystem::exists(d / "si_.html"));

  std::filesystem::rename(d / "si_rs0.txt", d / "gone.txt");
  const RunResult bad = run_program(TALVIS_EXE, {"scripts/si_tlv.txt"}, d.path(), "1\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE((bad.out + bad.err).find("Cannot open si_rs0.txt"), std::string::npos) << bad.out << bad.err;
}

}  // namespace
