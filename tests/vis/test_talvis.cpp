// The talvis program: arguments, script header and mode dispatch, command
// errors, bare result files with the second run, the interactive menu, and
// file names that must never reach a command interpreter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"

namespace {

namespace fs = std::filesystem;
using kvtest::SimReflex;

class TalvisRun : public ::testing::Test {
 protected:
  kvtest::ScratchDir dir;
  kvtest::RunResult talvis(const std::vector<std::string>& args, const std::string& input = "") {
    return kvtest::run_program(TALVIS_EXE, args, dir.path(), input);
  }
  kvtest::RunResult script(const std::string& text, const std::string& input = "") {
    dir.write("s.txt", text);
    return talvis({"s.txt"}, input);
  }
  std::string small_sim_result(const std::string& keyword = "SIM_RESULT") {
    const bool coherent = keyword != "SIM_RESULT";
    return kvtest::sim_result_text(keyword, 10.0,
                                   {SimReflex{0, 0, 0, 0, 0, {coherent ? std::vector<double>{1, 2} : std::vector<double>{7}}}},
                                   2, kvtest::square_grid(2));
  }
  std::set<std::string> files() const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir.path())) out.insert(e.path().filename().string());
    return out;
  }
  static std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }
};

TEST_F(TalvisRun, ArgumentsAndPrompt) {
  kvtest::RunResult r = talvis({"a", "b"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: (talvis) Invalid input.\n usage: talvis script_file.\n"), std::string::npos);

  dir.write("s.txt", "TALVIS_SCRIPT\nFIT_VISUAL_MODE\n");
  r = talvis({}, "s.txt\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("#####\nScript-file:  (\"int\" for the interactive mode)\n>>\n##### talvis_script #####\n\n"),
            std::string::npos)
      << r.out;
  // An empty script after the mode line: no page, the farewell line.
  EXPECT_TRUE(r.out.ends_with("\nThank you. See you again!\n"));
  EXPECT_EQ(files(), (std::set<std::string>{"s.txt"}));

  r = talvis({"Int"});  // only int and INT open the menu
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "$$ (fopen_chk_rmode) Cannot open Int. Abort.\n");
}

TEST_F(TalvisRun, HeaderAndModeDispatch) {
  kvtest::RunResult r = script("TALVIS_SCRIPT\nFOO_MODE\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: (talvis) invalid script file (buf=FOO_MODE)\n"), std::string::npos);
  r = script("# a comment\nSOMETHING\n");
  EXPECT_NE(r.out.find("$$ERROR: (talvis) invalid script file (buf=SOMETHING)\n"), std::string::npos);
  r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\n", "3\n");
  EXPECT_NE(r.out.find("1: whole patterns / 2: individual reflections   >>$$ERROR: (talvis) invalid number (flag=3)\n"),
            std::string::npos);
  // The shift scan reaches its job, which wants the fit-mode file's name.
  r = script("TALVIS_SCRIPT\nFIT_SHIFT_SCAN_MODE\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("##### SHIFT scan mode #####\n$$ Data format error: FIT_MODE file name expected in the script."),
            std::string::npos);
  // Page, plot and thickness-scan modes with an empty command list end
  // normally.
  for (const char* mode : {"SIM_COHERENT_VISUAL_MODE", "FIT_VISUAL_MODE", "FITEXP_VISUAL_MODE", "TS_SCAN_MODE",
                           "TS_SCAN_VIS_MODE", "DISPSURF_VISUAL_MODE", "BLOCH_VISUAL_MODE"})
    EXPECT_EQ(script(std::string("TALVIS_SCRIPT\n") + mode + "\n").status, 0) << mode;
}

// Script options and result headers go through the checked readers: a bad
// number ends the run naming the line, before any picture is made.
TEST_F(TalvisRun, BadNumbersInScriptsAndResultHeadersAreRefused) {
  const std::string good = small_sim_result();
  dir.write("r.txt", good);
  std::string big = good;
  big.replace(big.find(" 2    #num_pix"), 14, " 20000    #num_pix");
  dir.write("big.txt", big);
  std::string many = good;
  many.replace(many.find("# number of reflections\n1\n"), std::string("# number of reflections\n1\n").size(), "# number of reflections\n2000000000\n");
  dir.write("many.txt", many);
  struct Case {
    std::string body, answer, message;
  } cases[] = {
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt nan 1 0\n", "1\n",
       "$$ Data format error: \"nan\" is not a finite number.\n$$ (line 6 of s.txt)\n"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0 1 0\n", "1\n",
       "$$ Invalid gamma (=0): it must be a finite number greater than 0.\n$$ (line 6 of s.txt)\n"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 1 0 inf\n", "1\n",
       "\"inf\" is not a finite number."},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 3e9 0\n", "1\n",
       "the integer \"3e9\" is outside the range -2147483648 to 2147483647."},
      {"FIT_VISUAL_MODE\nVIS_PARAMS\nnan 2 1\n", "", "\"nan\" is not a finite number."},
      {"FIT_VISUAL_MODE\nVIS_PARAMS\n-1 2 1\n", "", "$$ Invalid gamma (=-1): it must be a finite number greater than 0."},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nbig.txt 0.5 1 0\n", "1\n",
       "$$ Invalid num_pix_side (=20000): it must lie between 0 and 4096.\n$$ (line 38 of big.txt, block COORD)\n"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nmany.txt 0.5 1 0\n", "1\n",
       "$$ Invalid number of RF_INDEX reflections (=2000000000): the "},
  };
  for (const Case& c : cases) {
    const kvtest::RunResult r = script("TALVIS_SCRIPT\n" + c.body, c.answer);
    EXPECT_EQ(r.status, 1) << c.body;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.body << "\n--- output:\n" << r.out;
    for (const std::string& f : files()) EXPECT_FALSE(f.ends_with(".png") || f.ends_with(".pgm")) << c.body << f;
  }
}

TEST_F(TalvisRun, CommandErrors) {
  dir.write("r.txt", small_sim_result());
  struct Case {
    std::string body, answer, message;
  } cases[] = {
      {"SIM_VISUAL_MODE\nSIM_VISUALIZE\nr.txt 0.5 1 0\n", "1\n",
       "$$ERROR: SIM_VISUALIZE comes before HTML_OPEN: there is no page to write to\n"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nHTML_CLOSE\nVISUALIZE\nr.txt 0.5 1 0\n", "2\n",
       "$$ERROR: VISUALIZE comes before HTML_OPEN: there is no page to write to\n"},
      {"SIM_COHERENT_VISUAL_MODE\nHTML_CLOSE\n", "", "$$ERROR: HTML_CLOSE without an open page"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 1\n", "1\n",
       "$$ERROR: fget_str_diid(), buf=SIM_VISUALIZE\n"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nVISUALIZE\nr.txt 0.5 1\n", "2\n", "$$ERROR: fget_str_diid() buf=VISUALIZE\n"},
      {"SIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_COHERENT_VISUALIZE\n", "1\n",
       "$$ERROR: invalid command SIM_COHERENT_VISUALIZE\n"},
      {"FIT_VISUAL_MODE\nFIT_VISUALIZE\nf.txt\n", "", "$$resfile= f.txt\nno VIS_PARAMS. Abort.\n"},
      {"FITEXP_VISUAL_MODE\nFITEXP_VISUALIZE\nf.txt\n", "", "$$resfile= f.txt\n$$ERROR: no VIS_PARAMS\n"},
      {"FIT_VISUAL_MODE\nVIS_PARAMS\n1.0 2\n", "", "$$ERROR: VIS_PARAMS: invalid parameter\n"},
      {"FITEXP_VISUAL_MODE\nPLOT\n", "", "$$ERROR: invalid command PLOT\n"},
  };
  for (const Case& c : cases) {
    const kvtest::RunResult r = script("TALVIS_SCRIPT\n" + c.body, c.answer);
    EXPECT_EQ(r.status, 1) << c.body;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.body << "\n--- output:\n" << r.out;
  }
}

TEST_F(TalvisRun, FiveFieldVisualizeLineAndBlankLinesBetweenCommands) {
  dir.write("r.txt", small_sim_result());
  const kvtest::RunResult r =
      script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\n\nHTML_OPEN\np.html\n\nSIM_VISUALIZE\nr.txt,0.5,1,0,35\n\nHTML_CLOSE\n", "1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(dir.read("p.html").find("gamma=0.5, intensity max=35</p>"), std::string::npos);
}

TEST_F(TalvisRun, BareSimResultWritesScriptAndRunsSecondTalvis) {
  dir.write("r.txt", small_sim_result());
  const kvtest::RunResult r = talvis({"r.txt"}, "1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("r_tlv.txt"),
            "TALVIS_SCRIPT\n# script for talvis.\nSIM_VISUAL_MODE\nHTML_OPEN\nr_.html\n#\n# SIM_VISUALIZE\n"
            "# rs_file gamma_coef mag(int) cont_reverse_flag\nSIM_VISUALIZE\nr.txt 0.5 1 0\nHTML_CLOSE\n");
  EXPECT_NE(r.out.find("r_tlv.txt generated.\nUsage>> talvis r_tlv.txt\n\n"), std::string::npos);
  // The second run processed the script; only it says farewell.
  EXPECT_EQ(count(r.out, "talvis version"), 2u);
  EXPECT_EQ(count(r.out, "\nThank you. See you again!\n"), 1u);
  EXPECT_TRUE(r.out.ends_with("\nThank you. See you again!\n"));
  EXPECT_TRUE(kvtest::png_is_valid(dir / "r.png"));
  EXPECT_EQ(kvtest::img_sources(dir.read("r_.html")), std::vector<std::string>{"r.png"});

  // Name given at the prompt: the answer after it is left on standard input
  // for the second run.
  fs::remove(dir / "r.png");
  const kvtest::RunResult p = talvis({}, "r.txt\n1\n");
  ASSERT_EQ(p.status, 0) << p.out;
  EXPECT_NE(p.out.find("individual reflections   >>$$ reading r.txt"), std::string::npos) << p.out;
  EXPECT_TRUE(kvtest::png_is_valid(dir / "r.png"));
}

TEST_F(TalvisRun, BareCoherentAndFitFilesGetTheirScripts) {
  dir.write("c.txt", small_sim_result("SIM_COHERENT_RESULT"));
  kvtest::RunResult r = talvis({"c.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("c_tlv.txt"),
            "TALVIS_SCRIPT\n# script for talvis.\nSIM_COHERENT_VISUAL_MODE\nHTML_OPEN\nc_.html\n#\n"
            "# SIM_COHERENT_VISUALIZE\n# rs_file gamma_coef mag(int) cont_reverse_flag\nSIM_COHERENT_VISUALIZE\n"
            "c.txt 0.5 1 0\nHTML_CLOSE\n");
  EXPECT_TRUE(kvtest::png_is_valid(dir / "c.png"));

  dir.write("x.txt", "FIT_EXPDATA_RAW\nCR{\n1 0 0\n0 1 0\n0 0 1\n1 1 0\n0 0\n}CR\nPAR{\n1\n1\n1 1\n-1 1 -1 1\n}PAR\n"
                     "THICKNESS{\nRF{\n0 0 0\n5 1\n\n}RF\n}THICKNESS\n");
  r = talvis({"x.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("x_tlv.txt"),
            "TALVIS_SCRIPT\n# script for talvis.\nFITEXP_VISUAL_MODE\n#\nVIS_PARAMS\n"
            "# gamma_coef mag(integer) cont_reverse_flag(1/0) preset_max_val\n1.0  2  1\n#\nFITEXP_VISUALIZE\nx.txt\n");
  EXPECT_TRUE(kvtest::png_is_valid(dir / "x_0_1.png"));

  dir.write("f.txt", "FIT_RESULT\n");  // the second run fails on it; the first still ends with 0
  r = talvis({"f.txt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(dir.read("f_tlv.txt").find("FIT_VISUAL_MODE\n#\nVIS_PARAMS\n"), std::string::npos);
  EXPECT_NE(r.out.find("$$ Data format error has been found at CR_PAR{."), std::string::npos);
}

TEST_F(TalvisRun, FileNamesNeverReachAShell) {
  // Names that a command interpreter would execute, and one that a tool
  // would take for an option.
  const std::string evil1 = "a;touch${IFS}pwned1;b.txt";
  const std::string evil2 = "$(touch${IFS}pwned2)`touch${IFS}pwned3`.txt";
  const std::string dash = "-v.txt";
  for (const std::string& n : {evil1, evil2, dash}) dir.write(n, small_sim_result());
  const kvtest::RunResult r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\np;touch${IFS}pwned4.html\n"
                                     "SIM_VISUALIZE\n" + evil1 + " 0.5 1 0\nSIM_VISUALIZE\n" + evil2 +
                                     " 0.5 1 0\nSIM_VISUALIZE\n" + dash + " 0.5 1 0\nHTML_CLOSE\n",
                                     "1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  // Beside each picture the labelled picture, beside the page its labelled page.
  EXPECT_EQ(files(), (std::set<std::string>{"s.txt", evil1, evil2, dash, "p;touch${IFS}pwned4.html",
                                            "a;touch${IFS}pwned1;b.png", "$(touch${IFS}pwned2)`touch${IFS}pwned3`.png",
                                            "-v.png", "p;touch${IFS}pwned4_pattern.html",
                                            "a;touch${IFS}pwned1;b_pattern.png",
                                            "$(touch${IFS}pwned2)`touch${IFS}pwned3`_pattern.png", "-v_pattern.png"}));
  for (const std::string& src : kvtest::img_sources(dir.read("p;touch${IFS}pwned4.html")))
    EXPECT_TRUE(kvtest::png_is_valid(dir / src)) << src;

  // A picture is never written over an input of the run.
  dir.write("w.png", small_sim_result());
  const kvtest::RunResult w = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nw.png 0.5 1 0\n", "1\n");
  EXPECT_EQ(w.status, 1);
  EXPECT_NE(w.out.find("$$ERROR: w.png is an input file of this run and is not overwritten\n"), std::string::npos);
  EXPECT_EQ(dir.read("w.png"), small_sim_result());

  // A bare result file whose name cannot stand in a script is refused.
  dir.write("r,1.txt", small_sim_result());
  const kvtest::RunResult b = talvis({"r,1.txt"});
  EXPECT_EQ(b.status, 1);
  EXPECT_NE(b.out.find("cannot be written into a script"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "r,1_tlv.txt"));
}

TEST_F(TalvisRun, MissingConverterIsReportedOnceAndPicturesKept) {
  dir.write("r.txt", small_sim_result());
  dir.write("q.txt", small_sim_result());
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  setenv("PATH", dir.path().c_str(), 1);  // no tools here
  const kvtest::RunResult r = script("TALVIS_SCRIPT\nSIM_VISUAL_MODE\nHTML_OPEN\np.html\nSIM_VISUALIZE\nr.txt 0.5 1 0\n"
                                     "SIM_VISUALIZE\nq.txt 0.5 1 0\nHTML_CLOSE\n",
                                     "1\n");
  setenv("PATH", saved.c_str(), 1);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(count(r.out, "$$ Cannot run pnmtopng"), 1u) << r.out;
  EXPECT_TRUE(fs::exists(dir / "r.pgm"));
  EXPECT_TRUE(fs::exists(dir / "q.pgm"));
  EXPECT_FALSE(fs::exists(dir / "r.png"));
}

TEST_F(TalvisRun, InteractiveMenu) {
  kvtest::RunResult r = talvis({"INT"}, "2\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n  ***********************************\n  ***** talvis: interactive mode *****\n"
                       "  ***********************************\n\n 1. atomic scattering factor test\n 2. ASSIST\n"
                       " 3. TMP\n>>## ASSIST mode\n  Sorry, now under developing.\n\nThank you. See you again!\n"),
            std::string::npos)
      << r.out;
  r = talvis({"int"}, "3\n");
  EXPECT_NE(r.out.find(">>## TMP mode\n  Sorry, now under developing.\n"), std::string::npos);
  r = talvis({"int"}, "7\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with(">>$$ Invalid number. Abort.\n"));
  // The scattering-factor test: an empty element at the first prompt
  // closes asf.out at once; the test ends the program itself.
  r = talvis({"int"}, "1\n0\n1\n200\n0.5\n10\n\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("results --> asf.out\n"), std::string::npos);
  EXPECT_EQ(r.out.find("\nThank you. See you again!\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "asf.out"));
}

}  // namespace
