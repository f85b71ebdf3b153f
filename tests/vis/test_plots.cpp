// Gnuplot plots of the dispersion surface, the projected potential and the
// Bloch states: korvex computes silicon [110] with three exact beams, talvis
// runs on the script it wrote; the plot scripts are compared line by line,
// the pictures gnuplot leaves behind are checked, and bad scripts and file
// names are refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"

namespace {

namespace fs = std::filesystem;

// Silicon (Fd-3m, origin at the centre), [110] at 200 kV, g1 = 2-20, with
// the transmitted beam and the 1-11 pair as exact beams.
std::string si_job(const std::string& mode, const std::string& block, const std::string& kxy,
                   const std::string& tail) {
  std::ostringstream s;
  s << mode << "\nEPS_CONTROL_PARAMETERS{\n}EPS_CONTROL_PARAMETERS\n"
    << "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n227\n5.4309 FIX a\n5.4309 FIX b\n5.4309 FIX c\n90\n90\n90\n}LATTICE\n"
    << "ATOM{\n1\nSITE{\nSi\n0.125\n0.125\n0.125\nISO\n0.4632\n1.0\n0\n}SITE\n}ATOM\n"
    << "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n"
    << block << "{\nINCIDENT_BEAM{\n1 1 0\n1 1 0\n2 -2 0\n0\n0\n200\n}INCIDENT_BEAM\n"
    << "CALC_KXY_RANGE{\n" << kxy << "\n}CALC_KXY_RANGE\n"
    << "BEAM_SEARCH{\n0\n3 0\n0 0 0\n1 -1 1\n-1 1 -1\n}BEAM_SEARCH\n"
    << tail << "}" << block << "\n";
  return s.str();
}

std::string dispsurf_job(const std::string& branches) {
  return si_job("DISPSURF_MODE", "DISPSURF_CALCULATION_CONDITION", "1\n9\n1.0",
                "OUTPUT_BRANCH{\n" + branches + "\n}OUTPUT_BRANCH\nOUTPUT_REFLEX{\n1\n1 -1 1\n}OUTPUT_REFLEX\n"
                "OUTPUT_THICKNESS{\n1\n300\n}OUTPUT_THICKNESS\n");
}

std::string bloch_job(const std::string& branches) {
  return si_job("BLOCH_MODE", "BLOCH_CALCULATION_CONDITION", "0\n1\n0.5",
                "CALC_RXY_RANGE{\n6 5\n0 1\n-0.5 0.5\n}CALC_RXY_RANGE\nOUTPUT_BRANCH{\n" + branches +
                    "\n}OUTPUT_BRANCH\n");
}

// The frame every dispersion-surface script shares, up to the plot command.
std::string ds_frame(const std::string& ylabel, const std::string& title, const std::string& out) {
  return "#\nset xlabel \"k_xy(H)\"\nset ylabel \"" + ylabel + "\"\nset title \"" + title +
         "\"\n#set xrange [0:2]\n#set yrange [0:1]\n#set xtics 1\n#set mxtics 5\n#set ytics 0.5\n#set mytics 5\n"
         "set term png\nset output '" + out + ".png'\n#set term postscript\n#set output '" + out + ".ps'\n";
}

// A 2 x 2 grid file in the layout of the projected-potential and
// Bloch-state files.
const std::string kGrid = "# grid\n0\t0\t1\t0\n0\t1\t2\t0\n\n1\t0\t3\t0\n1\t1\t4\t0\n\n";

class PlotTest : public ::testing::Test {
 protected:
  kvtest::ScratchDir dir;

  kvtest::RunResult korvex(const std::string& name, const std::string& text) {
    dir.write(name, text);
    return kvtest::run_program(KORVEX_EXE, {name}, dir.path());
  }
  kvtest::RunResult talvis(const std::string& script) { return kvtest::run_program(TALVIS_EXE, {script}, dir.path()); }
  kvtest::RunResult script(const std::string& text) {
    dir.write("s.txt", text);
    return talvis("s.txt");
  }
  // Every picture named by the page is a PNG that gnuplot made.
  void expect_pictures(const std::string& page, std::size_t count) {
    const std::vector<std::string> srcs = kvtest::img_sources(dir.read(page));
    EXPECT_EQ(srcs.size(), count);
    for (const std::string& s : srcs) EXPECT_TRUE(kvtest::png_is_valid(dir / s)) << s;
  }
  std::set<std::string> files() const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir.path())) out.insert(e.path().filename().string());
    return out;
  }
};

TEST_F(PlotTest, DispersionSurfaceOfThreeBranches) {
  auto r = korvex("ds.dat", dispsurf_job("1 3"));
  ASSERT_EQ(r.status, 0) << r.out;
  r = talvis("ds_tlv.txt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\n==> SEE ds_.html\n\n"), std::string::npos);
  EXPECT_EQ(r.out.find("$$"), std::string::npos) << r.out;

  EXPECT_EQ(dir.read("ds_ds_re.plt"),
            ds_frame("Re{k_z}", "Dispersion surface", "ds_ds_re") +
                "plot 'ds_ds.txt' using 1:4 title \"branch 1\" with lines, \\\n"
                "'ds_ds.txt' using 1:9 title \"2\" with lines, \\\n"
                "'ds_ds.txt' using 1:14 title \"3\" with lines, \\\n"
                "'ds_ds.txt' using 1:3 title \"Kinematical\" with dots\n#pause -1\n");
  EXPECT_EQ(dir.read("ds_ds_im.plt"),
            ds_frame("Im{k_z}", "Absorption (Dispersion surface)", "ds_ds_im") +
                "plot 'ds_ds.txt' using 1:5 title \"branch 1\" with lines, \\\n"
                "'ds_ds.txt' using 1:10 title \"2\" with lines, \\\n"
                "'ds_ds.txt' using 1:15 title \"3\" with lines\n#pause -1\n");
  EXPECT_EQ(dir.read("ds_ds_sqeps.plt"),
            ds_frame("eps^2", "Excitation amplitudes of branches (eps^2)", "ds_ds_sqeps") +
                "plot 'ds_ds.txt' using 1:8 title \"branch 1\" with lines, \\\n"
                "'ds_ds.txt' using 1:13 title \"2\" with lines, \\\n"
                "'ds_ds.txt' using 1:18 title \"3\" with lines\n#pause -1\n");
  EXPECT_EQ(dir.read("ds_.html"),
            "<html>\n<title>ds_.html</title>\n<body>\n<hr><p><img src=\"ds_ds_re.png\"></p>\n"
            "<p><img src=\"ds_ds_im.png\"></p>\n<p><img src=\"ds_ds_sqeps.png\"></p>\n</body>\n</html>\n");
  expect_pictures("ds_.html", 3);
}

TEST_F(PlotTest, DispersionSurfaceColumnsFollowTheBranchesOfTheFile) {
  // A file of branch 2 alone holds its five columns right after Kz: the
  // plots name column 4 (and 5, 8), twice, since the range is one branch.
  auto r = korvex("two.dat", dispsurf_job("2 2"));
  ASSERT_EQ(r.status, 0) << r.out;
  r = talvis("two_tlv.txt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> re = kvtest::split_lines(dir.read("two_ds_re.plt"));
  ASSERT_EQ(re.size(), 18u);
  EXPECT_EQ(re[14], "plot 'two_ds.txt' using 1:4 title \"branch 2\" with lines, \\");
  EXPECT_EQ(re[15], "'two_ds.txt' using 1:4 title \"2\" with lines, \\");
  EXPECT_EQ(re[16], "'two_ds.txt' using 1:3 title \"Kinematical\" with dots");
  const std::vector<std::string> sq = kvtest::split_lines(dir.read("two_ds_sqeps.plt"));
  ASSERT_EQ(sq.size(), 17u);
  EXPECT_EQ(sq[14], "plot 'two_ds.txt' using 1:8 title \"branch 2\" with lines, \\");
  EXPECT_EQ(sq[15], "'two_ds.txt' using 1:8 title \"2\" with lines");
  EXPECT_EQ(kvtest::split_lines(dir.read("two_ds_im.plt"))[15], "'two_ds.txt' using 1:5 title \"2\" with lines");
  expect_pictures("two_.html", 3);

  // A branch the file does not hold is refused before any plot is written.
  const std::string body = "TALVIS_SCRIPT\nDISPSURF_VISUAL_MODE\nHTML_OPEN\np.html\nDISPSURF_VISUAL\n2\n3\n1\n1\nq\n"
                           "two_ds.txt\ntwo_amp.txt\ntwo_int.txt\nHTML_CLOSE\n";
  r = script(body);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: branch 3 is not among the branches of two_ds.txt\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir / "q_ds_re.plt"));
}

TEST_F(PlotTest, BlochStatesAndProjectedPotential) {
  auto r = korvex("bl.dat", bloch_job("2 3"));
  ASSERT_EQ(r.status, 0) << r.out;
  r = talvis("bl_tlv.txt");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("$$"), std::string::npos) << r.out;
  const std::string frame = "set size square\nset view 5,5\nset nosurface\nset pm3d\nset term png crop\n";
  EXPECT_EQ(dir.read("bl_pp.plt"), frame + "set output 'bl_pp.png'\nsplot 'bl_pp.txt' using 1:2:3 with lines\n#pause -1\n");
  EXPECT_EQ(dir.read("bl_b3.plt"), frame +
                                       "set output 'bl_b3.png'\nsplot 'bl_b3.txt' using 1:2:3 with lines\n"
                                       "#splot 'bl_b3.txt' using 1:2:6 with lines\n#pause -1\n");
  // The excitations on the page are those of the script.
  const std::vector<std::string> scr = kvtest::split_lines(dir.read("bl_tlv.txt"));
  ASSERT_GE(scr.size(), 16u);
  const auto eps = [](const std::string& line) { return line.substr(0, line.find(' ')); };
  EXPECT_EQ(dir.read("bl_.html"),
            "<html>\n<title>bl_.html</title>\n<body>\n<p>Probability density distribution of Bloch waves</p>\n"
            "<hr><p>Projected potential [V]</p>\n<p><img src=\"bl_pp.png\"></p>\n"
            "<hr><p>Branch 2, excitation (eps^2) = " + eps(scr[11]) + "</p>\n<p><img src=\"bl_b2.png\"></p>\n"
            "<hr><p>Branch 3, excitation (eps^2) = " + eps(scr[14]) + "</p>\n<p><img src=\"bl_b3.png\"></p>\n"
            "</body>\n</html>\n");
  expect_pictures("bl_.html", 3);
}

TEST_F(PlotTest, ReversedBranchRangeMakesOnlyThePotentialPlot) {
  dir.write("g_pp.txt", kGrid);
  const auto r = script("TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\ng\ng_pp.txt\n"
                        "3    # branch_begin\n2    # branch_end\nHTML_CLOSE\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("p.html"),
            "<html>\n<title>p.html</title>\n<body>\n<p>Probability density distribution of Bloch waves</p>\n"
            "<hr><p>Projected potential [V]</p>\n<p><img src=\"g_pp.png\"></p>\n</body>\n</html>\n");
  expect_pictures("p.html", 1);
  EXPECT_EQ(files(), (std::set<std::string>{"s.txt", "g_pp.txt", "g_pp.plt", "g_pp.png", "p.html"}));
}

TEST_F(PlotTest, BadScriptsEndWithOneMessage) {
  dir.write("g_pp.txt", kGrid);
  dir.write("nolabels.txt", "# Dispersion surface\n-1\t0\t3\t4\t5\t6\t7\t8\n");
  struct Case {
    std::string body, message;
  } cases[] = {
      {"DISPSURF_VISUAL_MODE\nDISPSURF_VISUAL\n1\n1\n0\n0\ng\ng_ds.txt\ng_amp.txt\ng_int.txt\n",
       "$$ERROR: DISPSURF_VISUAL comes before HTML_OPEN: there is no page to write to\n"},
      {"BLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nHTML_CLOSE\nBLOCH_VISUAL\ng\ng_pp.txt\n1\n1\n",
       "$$ERROR: BLOCH_VISUAL comes before HTML_OPEN: there is no page to write to\n"},
      {"DISPSURF_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\n", "$$ERROR: invalid command: BLOCH_VISUAL\n"},
      {"BLOCH_VISUAL_MODE\nPLOT\n", "$$ERROR: invalid command: PLOT\n"},
      {"DISPSURF_VISUAL_MODE\nHTML_OPEN\np.html\nDISPSURF_VISUAL\n1\n1\n0\n0\ng\nnolabels.txt\na\ni\n",
       "$$ERROR: nolabels.txt has no column labels (a line beginning kxy(H)): not a dispersion-surface file\n"},
      {"DISPSURF_VISUAL_MODE\nHTML_OPEN\np.html\nDISPSURF_VISUAL\n1\n1\n0\n0\ng\n",
       "$$ERROR: DISPSURF_VISUAL: the dispersion-surface file expected in the script\n"},
      // Two branches announced, one given: the script ends where a line is
      // needed.
      {"BLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\ng\ng_pp.txt\n1\n2\ng_pp.txt\n1\n0.5\n",
       "$$ERROR: BLOCH_VISUAL: a Bloch-state file expected in the script\n"},
  };
  for (const Case& c : cases) {
    const auto r = script("TALVIS_SCRIPT\n" + c.body);
    EXPECT_EQ(r.status, 1) << c.body;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.body << "\n--- output:\n" << r.out;
  }
  // A data file that is not there.
  const auto r = script("TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\nm\nmissing.txt\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "$$ (fopen_chk_rmode) Cannot open missing.txt. Abort.\n");
  EXPECT_FALSE(fs::exists(dir / "m_pp.plt"));
}

TEST_F(PlotTest, FileNamesCannotReachAShellThroughGnuplot) {
  // Gnuplot runs a backquoted text inside double quotes; the scripts quote
  // names in single quotes, where it is plain text.
  const std::string tick = "a`touch${IFS}pwned1`.txt";
  dir.write(tick, kGrid);
  auto r = script("TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\ng\n" + tick + "\n1\n1\n" + tick +
                  "\n1\n0.25\nHTML_CLOSE\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(kvtest::split_lines(dir.read("g_pp.plt"))[6], "splot '" + tick + "' using 1:2:3 with lines");
  EXPECT_FALSE(fs::exists(dir / "pwned1"));
  for (const char* f : {"g_pp.plt", "g_pp.png", "g_b1.plt", "g_b1.png"}) fs::remove(dir / f);

  // A data file beginning with '<' and a base name beginning with '|' would
  // be pipes to gnuplot; with "./" in front they are plain files.
  const std::string lt = "<touch${IFS}pwned2";
  const std::string bar = "|touch${IFS}pwned3";
  dir.write(lt, kGrid);
  r = script("TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\n" + bar + "\n" + lt +
             "\n1\n1\n" + lt + "\n1\n0.25\nHTML_CLOSE\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(files(), (std::set<std::string>{"s.txt", "p.html", tick, lt, bar + "_pp.plt", bar + "_pp.png",
                                            bar + "_b1.plt", bar + "_b1.png"}));
  EXPECT_EQ(kvtest::split_lines(dir.read(bar + "_pp.plt"))[5], "set output './" + bar + "_pp.png'");
  EXPECT_EQ(kvtest::split_lines(dir.read(bar + "_pp.plt"))[6], "splot './" + lt + "' using 1:2:3 with lines");
  expect_pictures("p.html", 2);
  // On the page the name is an address: percent-encoded, never markup.
  EXPECT_NE(dir.read("p.html").find("<p><img src=\"%7Ctouch%24%7BIFS%7Dpwned3_b1.png\"></p>\n"), std::string::npos);

  // A plot script is never written over a data file of the run.
  dir.write("h_pp.plt", kGrid);
  r = script("TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\nh\nh_pp.plt\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("$$ h_pp.plt is an input file of this run and is not overwritten. Abort.\n"),
            std::string::npos);
  EXPECT_EQ(dir.read("h_pp.plt"), kGrid);
}

TEST_F(PlotTest, MissingGnuplotIsReportedOnceAndScriptsKept) {
  dir.write("g_pp.txt", kGrid);
  dir.write("g_b1.txt", kGrid);
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  setenv("PATH", dir.path().c_str(), 1);  // no tools here
  const auto r = script("TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\np.html\nBLOCH_VISUAL\ng\ng_pp.txt\n1\n1\n"
                        "g_b1.txt\n1\n0.5\nHTML_CLOSE\n");
  setenv("PATH", saved.c_str(), 1);
  ASSERT_EQ(r.status, 0) << r.out;
  std::size_t n = 0;
  for (std::size_t p = r.out.find("$$ Cannot run gnuplot"); p != std::string::npos;
       p = r.out.find("$$ Cannot run gnuplot", p + 1))
    ++n;
  EXPECT_EQ(n, 1u) << r.out;
  EXPECT_TRUE(fs::exists(dir / "g_pp.plt"));
  EXPECT_TRUE(fs::exists(dir / "g_b1.plt"));
  EXPECT_FALSE(fs::exists(dir / "g_pp.png"));
  EXPECT_NE(r.out.find("\n==> SEE p.html\n"), std::string::npos);
}

}  // namespace

#include "vis/job_pages.hpp"

namespace {

TEST(DispsurfFigures, LabelledScriptsPlotEveryBranchAmplitudeAndIntensity) {
  kvtest::ScratchDir d;
  // Two branches (2..3), one reflection pair, one thickness.
  d.write("x_ds.txt", "# Dispersion surface\nkxy(H)\tkxy(G)\tKz\tRe(kz2)\tIm(kz2)\tRe(gamma2)\tIm(gamma2)\tSq(eps2)"
                      "\tRe(kz3)\tIm(kz3)\tRe(gamma3)\tIm(gamma3)\tSq(eps3)\n0\t0\t1\t1\t0\t0\t0\t0.5\t1\t0\t0\t0\t0.5\n");
  d.write("x_amp.txt", "# a\n# g 0: 0 0 0\n# g 1: 2 -2 0\nkxy(H)\tkxy(G)\n0\t0\t1\t0\t1\t0\t1\t0\t1\t0\n");
  d.write("x_int.txt", "# i\n# g 0: 0 0 0\n# g 1: 2 -2 0\n# thickness 0: 500[A]\nkxy(H)\tkxy(G)\tg0t0\tg1t0\n0\t0\t1\t2\n");
  EXPECT_EQ(kv::comment_labels((d / "x_int.txt").string(), "thickness"), std::vector<std::string>{"500 A"});
  const std::filesystem::path cwd = std::filesystem::current_path();
  std::filesystem::current_path(d.path());
  kv::pltout_dispsurf_figures(2, 3, 2, 1, "x_ds.txt", "x_amp.txt", "x_int.txt", "x");
  std::filesystem::current_path(cwd);
  const std::string re = d.read("x_fig_ds_re.plt");
  EXPECT_NE(re.find("noenhanced"), std::string::npos);
  EXPECT_NE(re.find("using 1:4 with lines lw 2 lc rgb \"#0072b2\" dt 1 title 'branch 2'"), std::string::npos) << re;
  EXPECT_NE(re.find("using 1:9 with lines lw 2 lc rgb \"#d55e00\" dt 1 title 'branch 3'"), std::string::npos);
  EXPECT_NE(re.find("using 1:3 "), std::string::npos);  // the kinematical curve
  EXPECT_NE(d.read("x_fig_ds_sqeps.plt").find("using 1:13 "), std::string::npos);
  // Amplitudes: reflection 1 (2 -2 0), branch 3 is column 3 + 2 x (1 x 2 + 1).
  const std::string amp = d.read("x_fig_amp.plt");
  EXPECT_NE(amp.find("set title 'reflection 2 -2 0'"), std::string::npos);
  EXPECT_NE(amp.find("using 1:9 "), std::string::npos);
  EXPECT_NE(d.read("x_fig_int.plt").find("using 1:4 with lines lw 2 lc rgb \"#d55e00\" dt 1 title '2 -2 0'"),
            std::string::npos);
  EXPECT_EQ(kvtest::img_sources(d.read("x_plots.html")).size(), 5u);
}

}  // namespace

// The chi-squared history of a refinement (korvex's "<base>_chisq.txt")
// plotted from a FIT_VISUAL_MODE script: the plot script, the picture and a
// page that shows it and links the result pages made before it.
TEST_F(PlotTest, ChisqHistoryIsPlottedOnAPageOfItsOwn) {
  dir.write("f_chisq.txt",
            "# iteration  chisq  reduced_chisq  lambda  seconds\n0  2500.5  12.5  0.0001  0.1\n"
            "1  310.25  1.55  1e-05  0.2\n2  201  1.005  1e-06  0.3\n");
  auto r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\n#\nCHISQ_PLOT\nf_chisq.txt\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("$$chisq file= f_chisq.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Result: \"f_chisq_.html\""), std::string::npos) << r.out;
  const std::vector<std::string> plt = kvtest::split_lines(dir.read("f_chisq.plt"));
  ASSERT_GE(plt.size(), 8u);
  EXPECT_EQ(plt[1], "set output 'f_chisq.png'");
  EXPECT_EQ(plt[5], "set logscale y");
  EXPECT_EQ(plt[7], "plot 'f_chisq.txt' using 1:2 title \"chi-squared\" with linespoints");
  expect_pictures("f_chisq_.html", 1);
  const std::string page = dir.read("f_chisq_.html");
  EXPECT_NE(page.find("2 iterations, chi-squared 2500.5 at the start, 201 at iteration 2"), std::string::npos)
      << page;
  EXPECT_EQ(page.find("<a href="), std::string::npos) << page;

  // An exact fit ends at chi-squared 0, which a logarithmic axis cannot
  // show; a name gnuplot would read as a pipe gets "./".
  const std::string lt = "<chisq.txt";
  dir.write(lt, "0 10\n1 0\n");
  r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\n" + lt + "\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::vector<std::string> plt2 = kvtest::split_lines(dir.read("<chisq.plt"));
  ASSERT_GE(plt2.size(), 8u);
  EXPECT_EQ(plt2[1], "set output './<chisq.png'");
  EXPECT_EQ(plt2[5], "#set logscale y");
  EXPECT_EQ(plt2[7], "plot './<chisq.txt' using 1:2 title \"chi-squared\" with linespoints");
  expect_pictures("<chisq_.html", 1);

  dir.write("empty_chisq.txt", "# iteration  chisq\n\n");
  dir.write("bad_chisq.txt", "0 12\n1 nan\n");
  dir.write("neg_chisq.txt", "0 -1\n");
  dir.write("a\x01q.txt", "0 1\n");
  struct Case {
    std::string body, message;
  } cases[] = {
      {"CHISQ_PLOT\nempty_chisq.txt\n", "$$ERROR: empty_chisq.txt holds no iterations: not a chi-squared history\n"},
      {"CHISQ_PLOT\nbad_chisq.txt\n",
       "$$ERROR: bad_chisq.txt, line 2: an iteration number and a non-negative chi-squared are expected "
       "(buf=1 nan)\n"},
      {"CHISQ_PLOT\nneg_chisq.txt\n",
       "$$ERROR: neg_chisq.txt, line 1: an iteration number and a non-negative chi-squared are expected"},
      {"CHISQ_PLOT\na\x01q.txt\n", "$$ERROR: the name \"a\\x01q.txt\" cannot be written into a gnuplot script"},
      {"CHISQ_PLOT\n", "$$ERROR: CHISQ_PLOT without a file name\n"},
  };
  for (const Case& c : cases) {
    r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\n" + c.body);
    EXPECT_EQ(r.status, 1) << c.body;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.body << "\n--- output:\n" << r.out;
  }
  for (const char* f : {"empty_chisq.plt", "bad_chisq.plt", "neg_chisq.plt", "a\x01q.plt"})
    EXPECT_FALSE(fs::exists(dir / f)) << f;
  r = script("TALVIS_SCRIPT\nFIT_VISUAL_MODE\nCHISQ_PLOT\nmissing_chisq.txt\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "$$ (fopen_chk_rmode) Cannot open missing_chisq.txt. Abort.\n");
}
