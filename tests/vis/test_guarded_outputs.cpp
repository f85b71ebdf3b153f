// talvis as a careless or hostile user meets it: script outputs named like
// the script's own inputs or a data table, file names built to run commands
// when gnuplot reads the plot scripts, external tools that hang, fail or
// print garbage.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"

namespace {

namespace fs = std::filesystem;
using kvtest::SimReflex;

const char* kHistory =
    "# iteration  chisq  reduced_chisq  lambda  seconds\n0  2500.5  12.5  0.0001  0.1\n"
    "1  900.25  4.5  1e-05  0.2\n2  880  4.4  1e-06  0.3\n";

class GuardedTalvis : public ::testing::Test {
 protected:
  kvtest::ScratchDir dir;
  kvtest::RunResult script(const std::string& text, const std::string& input = "") {
    dir.write("s.txt", text);
    return kvtest::run_program(TALVIS_EXE, {"s.txt"}, dir.path(), input);
  }
  std::string small_sim_result() {
    return kvtest::sim_result_text("SIM_RESULT", 10.0, {SimReflex{0, 0, 0, 0, 0, {std::vector<double>{7}}}}, 2,
                                   kvtest::square_grid(2));
  }
  std::set<std::string> files() const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir.path())) out.insert(e.path().filename().string());
    return out;
  }
  // A stand-in for an external tool: a shell script in its own folder,
  // which then comes first on PATH for the runs of this test.
  void fake_tool(const std::string& name, const std::string& body) {
    const fs::path bin = dir / "bin";
    fs::create_directories(bin);
    kvtest::write_file(bin / name, "#!/bin/sh\n" + body + "\n");
    chmod((bin / name).c_str(), 0755);
    if (saved_path_.empty()) {
      const char* p = std::getenv("PATH");
      saved_path_ = p ? p : "/usr/bin:/bin";
    }
    setenv("PATH", (bin.string() + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override {
    if (!saved_path_.empty()) setenv("PATH", saved_path_.c_str(), 1);
  }
  static bool has_gnuplot() { return std::system("gnuplot --version > /dev/null 2>&1") == 0; }

 private:
  std::string saved_path_;
};

TEST_F(GuardedTalvis, OutputsOfAScriptNeverTakeTheNameOfItsInputs) {
  // A page named like the result file that the script reads below it.
  dir.write("r.txt", small_sim_result());
  auto r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\nr.txt\nSIM_VISUALIZE\nr.txt 0.5 1 0\nHTML_CLOSE\n", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: r.txt is an input file of this script and is not overwritten\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(dir.read("r.txt"), small_sim_result());
  EXPECT_EQ(files(), (std::set<std::string>{"r.txt", "s.txt"}));

  // The thickness-scan table named like the measured file read after it.
  dir.write("m.txt", "FIT_EXPDATA_BGS\n");
  r = script("TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\nm.txt\nm.plt\nTS_SCAN_INT_FILE\nm.txt\nTS_SCAN_CLOSE\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("m.txt is an input file of this script"), std::string::npos) << r.out;
  EXPECT_EQ(dir.read("m.txt"), "FIT_EXPDATA_BGS\n");
  EXPECT_FALSE(fs::exists(dir / "m.plt"));

  // A shift result named like a simulation file that a later line compares.
  dir.write("b.txt", "SIM_RESULT\n");
  r = script("TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\nt.txt\nt.plt\nTS_SCAN_SIM_FILE\nr.txt\nb.txt\n"
             "TS_SCAN_SIM_FILE\nb.txt\nc.txt\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("b.txt is an input file of this script"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "t.txt"));

  // A page by the name of a data table would take the table's place.
  r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\nkorvexspg.dat\nHTML_CLOSE\n", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("$$ korvexspg.dat is the name of a data table of the programs and is not used for an output."),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "korvexspg.dat"));

  // The page of an earlier run of the same script may be replaced; a file
  // of that name that talvis did not write as that page may not.
  const std::string page_script =
      "TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 1 0\nHTML_CLOSE\n";
  r = script(page_script, "1\n");
  EXPECT_EQ(r.status, 0) << r.out;
  r = script(page_script, "1\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(dir.read("p.html").find("</html>"), std::string::npos);
  dir.write("p.html", "old page\n");
  r = script(page_script, "1\n");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(dir.read("p.html"), "old page\n");
}

// gnuplot runs a backquoted text inside double quotes as a shell command;
// the plot scripts quote names in single quotes, where nothing is replaced.
TEST_F(GuardedTalvis, HostileFileNamesRunNothingWhenGnuplotReadsThePlots) {
  if (!has_gnuplot()) GTEST_SKIP() << "gnuplot is not installed";
  for (const std::string base : {"t`touch${IFS}X`_chisq", "a'b;c$(touch${IFS}Y)_chisq"}) {
    dir.write(base + ".txt", kHistory);
    const auto r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\n" + base + ".txt\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("$$ gnuplot"), std::string::npos) << r.out;
    EXPECT_TRUE(kvtest::png_is_valid(dir / (base + ".png"))) << base;
    EXPECT_EQ(kvtest::img_sources(dir.read(base + "_.html")), std::vector<std::string>{base + ".png"});
  }
  EXPECT_NE(dir.read("a'b;c$(touch${IFS}Y)_chisq.plt").find("plot 'a''b;c$(touch${IFS}Y)_chisq.txt' using 1:2"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "X"));
  EXPECT_FALSE(fs::exists(dir / "Y"));

  // A control character cannot be quoted: the name is refused and no plot
  // script is written.
  dir.write("c\x01_chisq.txt", kHistory);
  const auto r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\nc\x01_chisq.txt\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("cannot be written into a gnuplot script (it holds a control character)"), std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(dir / "c\x01_chisq.plt"));
}

TEST_F(GuardedTalvis, HangingOrFailingGnuplotIsStoppedReportedAndShownAsMissing) {
  dir.write("f_chisq.txt", kHistory);
  fake_tool("gnuplot", "sleep 60");
  auto r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHILD_TIME_LIMIT\n1\nCHISQ_PLOT\nf_chisq.txt\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("$$ gnuplot on f_chisq.plt did not finish within 1 s (CHILD_TIME_LIMIT) and was stopped.\n"),
            std::string::npos)
      << r.out;
  std::string page = dir.read("f_chisq_.html");
  EXPECT_TRUE(kvtest::img_sources(page).empty()) << page;
  EXPECT_NE(page.find("[missing: f_chisq.png was not made]"), std::string::npos) << page;

  fake_tool("gnuplot", "echo 'line 1: undefined variable' >&2; exit 1");
  r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\nf_chisq.txt\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("$$ gnuplot failed on f_chisq.plt (exit status 1).\n"), std::string::npos) << r.out;
  EXPECT_NE(dir.read("f_chisq_.html").find("[missing: f_chisq.png was not made]"), std::string::npos);

  fake_tool("gnuplot", "kill -9 $$");
  r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\nf_chisq.txt\n");
  EXPECT_NE(r.out.find("$$ gnuplot on f_chisq.plt was ended by signal 9.\n"), std::string::npos) << r.out;

  // A tool that succeeds but leaves no picture counts as missing too.
  fake_tool("gnuplot", "exit 0");
  r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\nf_chisq.txt\n");
  EXPECT_NE(r.out.find("$$ gnuplot made no picture f_chisq.png from f_chisq.plt.\n"), std::string::npos) << r.out;
  EXPECT_TRUE(kvtest::img_sources(dir.read("f_chisq_.html")).empty());

  for (const char* bad : {"nan", "0", "-3", "1e9", "5s"}) {
    r = script(std::string("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHILD_TIME_LIMIT\n") + bad + "\n");
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.out.find("CHILD_TIME_LIMIT: the time"), std::string::npos) << r.out;
  }
}

TEST_F(GuardedTalvis, PgmIsDeletedOnlyForACompletePngOfItsSize) {
  dir.write("r.txt", small_sim_result());
  const std::string sim = "TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 1 0\nHTML_CLOSE\n";
  // Exit status 0 and nothing written (a full disk), then garbage.
  for (const char* body : {"exit 0", "printf '\\211PNG'; exit 0"}) {
    fake_tool("pnmtopng", body);
    const auto r = script(sim, "1\n");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("$$ pnmtopng did not make a complete"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PNG of r.pgm; the PGM picture is kept.\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(dir / "r.pgm"));
    EXPECT_FALSE(fs::exists(dir / "r.png"));
    EXPECT_NE(dir.read("p.html").find("[missing: r.png was not made]"), std::string::npos);
  }
  // A converter that fails keeps the picture and says so in one line.
  fake_tool("pnmtopng", "exit 3");
  auto r = script(sim, "1\n");
  EXPECT_NE(r.out.find("$$ pnmtopng failed on r.pgm (exit status 3); the PGM picture is kept.\n"), std::string::npos)
      << r.out;
  // A converter that hangs is stopped like gnuplot.
  fake_tool("pnmtopng", "sleep 60");
  r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nCHILD_TIME_LIMIT\n0.5\nHTML_OPEN\np.html\nSIM_VISUALIZE\n"
             "r.txt 0.5 1 0\nHTML_CLOSE\n",
             "1\n");
  EXPECT_NE(r.out.find("$$ pnmtopng on r.pgm did not finish within 0.5 s"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(dir / "r.pgm"));
  // No temporary file of any output is left behind.
  for (const std::string& f : files()) EXPECT_NE(f[0], '.') << f;
}

}  // namespace
