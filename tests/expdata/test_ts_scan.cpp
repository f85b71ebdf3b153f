#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "expdata/comparison.hpp"
#include "expdata/dataset.hpp"
#include "sim/linereader.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"
#include "vis/fitvis.hpp"
#include "expdata/scans.hpp"
#include "vis/tlv_jobs.hpp"

using kvtest::StringFile;

namespace kv {
namespace {

// Silicon [110], nine exact beams, a 9 x 9 disk of radius 0.3 and five
// thicknesses: korvex writes si_rs0.txt .. si_rs4.txt.
const char* kSiSim =
    "SIM_MODE\nEPS_CONTROL_PARAMETERS{\n}EPS_CONTROL_PARAMETERS\nCRYSTAL_STRUCTURE_DATA{\nLATTICE{\n227\n"
    "5.431 FIX a\na CST b\na CST c\n90 FIX al\n90 FIX be\n90 FIX ga\n}LATTICE\nATOM{\n1\nSITE{\nSi\n0.125 FIX x\n"
    "0.125 FIX y\n0.125 FIX z\nISO\n0.46 FIX b\n1 FIX o\n0\n}SITE\n}ATOM\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n"
    "}CRYSTAL_STRUCTURE_DATA\nSIM_CALCULATION_CONDITION{\nINCIDENT_BEAM{\n1 1 0\n1 1 0\n2 -2 0\n0\n0\n200\n"
    "}INCIDENT_BEAM\nCALC_KXY_RANGE{\n2\n9\n0.3\n}CALC_KXY_RANGE\nBEAM_SEARCH{\n0\n9 0\n0 0 0\n1 -1 1\n-1 1 -1\n"
    "1 -1 -1\n-1 1 1\n0 0 2\n0 0 -2\n2 -2 0\n-2 2 0\n}BEAM_SEARCH\nOUTPUT_REFLEX{\n3\n0 0 0\n1 -1 1\n0 0 2\n"
    "}OUTPUT_REFLEX\nOUTPUT_THICKNESS{\n5\n300\n400\n500\n600\n700\n}OUTPUT_THICKNESS\n}SIM_CALCULATION_CONDITION\n";

constexpr int kSide = 9;
constexpr double kDisk = 0.3, kStep = 2 * kDisk / (kSide - 1);
constexpr double kScale = 3.0;

struct SimDisk {
  Hkl g;
  std::vector<double> v;  // one value per point, H fastest
};

// The reflections and intensities of a SIM_RESULT file.
std::vector<SimDisk> sim_disks(const std::string& text) {
  std::vector<SimDisk> disks;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line != "RF{") continue;
    SimDisk d;
    std::getline(in, line);
    if (line[0] == '#') std::getline(in, line);
    std::istringstream(line) >> d.g.h >> d.g.k >> d.g.l;
    while (std::getline(in, line) && line != "}RF") d.v.push_back(std::atof(line.c_str()));
    disks.push_back(d);
  }
  return disks;
}

// A measured file made from one simulation: scaled by kScale and shifted by
// one grid step along H (the measured grid is the simulated one moved by
// -kStep, so carried back with shift +kStep it meets the simulation). A
// border of one point keeps every calculated point inside the measured
// range, whatever the rounding of the grid shift.
std::string measured_from(const std::vector<SimDisk>& disks) {
  constexpr int n = kSide + 2;
  const double edge = kDisk + kStep;
  std::ostringstream o;
  o.precision(12);
  o << "FIT_EXPDATA_BGS\nCR{\n0 0 0\n0 0 0\n0 0 0\n0 0 0\n" << -kStep << " 0\n}CR\nPAR{\n1\n" << disks.size()
    << "\n" << n * n << " " << n << "\n" << -edge << " " << edge << " " << -edge << " " << edge
    << "\n}PAR\nTHICKNESS{\n";
  for (const SimDisk& d : disks) {
    o << "RF{\n" << d.g.h << " " << d.g.k << " " << d.g.l << "\n";
    for (int p = 0; p < n * n; ++p) {
      const int c = p % n - 1, r = p / n - 1;
      const bool inside = c >= 0 && c < kSide && r >= 0 && r < kSide;
      const double v = inside ? kScale * d.v[r * kSide + c] : 0.0;
      o << v << " " << 0.01 + 0.05 * std::sqrt(v) << "\n";
      if ((p + 1) % n == 0) o << "\n";
    }
    o << "}RF\n";
  }
  o << "}THICKNESS\n";
  return o.str();
}

struct TsCase {
  kvtest::ScratchDir dir;
  std::filesystem::path saved = std::filesystem::current_path();
  TsCase() {
    dir.write("si.dat", kSiSim);
    const kvtest::RunResult r = kvtest::run_program(KORVEX_EXE, {"si.dat"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    dir.write("m.txt", measured_from(sim_disks(dir.read("si_rs2.txt"))));
    std::filesystem::current_path(dir.path());
  }
  ~TsCase() { std::filesystem::current_path(saved); }
  std::string run(const std::string& script, bool vis = false) {
    StringFile f(script);
    return kvtest::capture_stdout([&] { vis ? job_ts_scan_vis(f.get()) : job_ts_scan_mode(f.get()); });
  }
};

std::vector<std::vector<double>> table_rows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  for (const std::string& l : kvtest::split_lines(text)) {
    if (l.empty() || l[0] == '#') continue;
    std::vector<double> row;
    for (std::string_view t : split_tokens(l)) row.push_back(to_double(t));
    rows.push_back(row);
  }
  return rows;
}

const std::string kSims = "TS_SCAN_SIM_FILE\nsi_rs0.txt\nsh0.txt\nTS_SCAN_SIM_FILE\nsi_rs1.txt\nsh1.txt\n"
                          "TS_SCAN_SIM_FILE\nsi_rs2.txt\nsh2.txt\nTS_SCAN_SIM_FILE\nsi_rs3.txt\nsh3.txt\n"
                          "TS_SCAN_SIM_FILE\nsi_rs4.txt\nsh4.txt\n";

TEST(ThicknessScan, FindsTheThicknessAndShiftOfASimulatedMeasurement) {
  TsCase c;
  const std::string out = c.run(
      "TS_SCAN_OPEN\nts.txt\nts_plt.txt\nTS_SCAN_NUM_REFLEX_PRESET\n3\nTS_SCAN_INT_FILE\nm.txt\n"
      "TS_SCAN_HG_SHIFT_SIM\n0 0\nTS_SCAN_WIDTH\n5\n-0.15 0.15\n5\n-0.15 0.15\n" + kSims + "TS_SCAN_CLOSE\n");
  EXPECT_NE(out.find("$$num_reflex_preset = 3\n$$intfile=m.txt\n$$intfile done\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n==> See ts.txt and ts_plt.txt.\n\n$$Done."), std::string::npos);
  const std::vector<std::vector<double>> rows = table_rows(c.dir.read("ts.txt"));
  ASSERT_EQ(rows.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    ASSERT_EQ(rows[i].size(), 5u);
    EXPECT_DOUBLE_EQ(rows[i][0], 300.0 + 100 * i);
    if (i != 2) {
      EXPECT_GT(rows[i][3], 20 * rows[2][3]) << i;  // the shifted comparison picks 500 A
    }
  }
  EXPECT_LT(rows[2][3], 1e-3);
  EXPECT_NEAR(rows[2][4], kScale, 1e-4);
  EXPECT_GT(rows[2][1], 100 * rows[2][3]);  // without the shift the fit is poor
  const std::string sh = c.dir.read("sh2.txt");
  EXPECT_NE(sh.find("TS_RES{\nm.txt\n3    #num_rf\n500    #thickness\n"), std::string::npos) << sh;
  EXPECT_NE(sh.find("1 -1 1    1\n0.075  ADJ  H1  #Hshift\n0  ADJ  G1  #Gshift\n"), std::string::npos) << sh;
  kvtest::capture_stdout([] { qz_fit_result_visualize("sh2_int.txt", 1, 0, 0.0, 0.0); });
  EXPECT_NE(c.dir.read("sh2_int_.html").find("0 0 2"), std::string::npos);
  const std::string plot = c.dir.read("ts_plt.txt");
  EXPECT_NE(plot.find("plot 'ts.txt' using 1:2 title \"Fixed\" with linespoints, 'ts.txt' using 1:4 title "
                      "\"With shift\" with linespoints\n#pause -1\n"),
            std::string::npos);

  // The shifts found, read back as defaults, make the fixed comparison fit.
  c.run("TS_SCAN_OPEN\nfix.txt\nfix_plt.txt\nTS_SCAN_NUM_REFLEX_PRESET\n3\nDEFAULT_HG_SHIFT_WEIGHT_FILE\nsh2.txt\n"
        "TS_SCAN_INT_FILE\nm.txt\nTS_SCAN_HG_SHIFT_SIM\n0 0\n"
        "TS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs1.txt\nTS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs2.txt\n"
        "TS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs3.txt\nTS_SCAN_CLOSE\n");
  const std::vector<std::vector<double>> fixed = table_rows(c.dir.read("fix.txt"));
  ASSERT_EQ(fixed.size(), 3u);
  EXPECT_EQ(fixed[1].size(), 3u);
  EXPECT_LT(fixed[1][1], 1e-3);
  EXPECT_GT(fixed[0][1], 20 * fixed[1][1]);
  EXPECT_NE(c.dir.read("fix_plt.txt").find("title \"Fixed\" with linespoints\n#pause -1\n"), std::string::npos);
}

TEST(ThicknessScan, NoShiftSearchWithOneStepAndTheVisualisationFile) {
  TsCase c;
  c.run("TS_SCAN_OPEN\nts.txt\nts_plt.txt\nTS_SCAN_NUM_REFLEX_PRESET\n3\nTS_SCAN_INT_FILE\nm.txt\n"
        "TS_SCAN_HG_SHIFT_SIM\n0.5 0\nTS_SCAN_WIDTH\n1\n0 0\n5\n-0.1 0.1\n"
        "TS_SCAN_SIM_FILE\nsi_rs2.txt\nsh.txt\nTS_SCAN_CLOSE\n");
  const std::vector<std::vector<double>> rows = table_rows(c.dir.read("ts.txt"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].size(), 3u);
  EXPECT_FALSE(std::filesystem::exists(c.dir / "sh.txt"));

  const std::string out = c.run(
      "TS_SCAN_OPEN\na\nb\nTS_SCAN_NUM_REFLEX_PRESET\n3\nTS_SCAN_INT_FILE\nm.txt\nTS_SCAN_WIDTH\n3\n0 0\n3\n0 0\n"
      "TS_SCAN_HG_SHIFT_SIM\n0.5 0\nTS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs2.txt\nTS_SCAN_CLOSE\n",
      true);
  EXPECT_EQ(out.rfind("## Visualization of TS_SCAN result.\n\n", 0), 0u);
  EXPECT_NE(out.find("$$done intfile\n"), std::string::npos);
  EXPECT_NE(out.find("$$ (read_sim_data) tiltH(=0) is not equal to Hshift_SIM(=0.5).\n"), std::string::npos);
  EXPECT_NE(out.find("\n See --> tsout_fst0.txt\n(Please visualize using talvis.)\n\n$$ Gof="), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(c.dir / "a"));
  const std::vector<std::string> lines = kvtest::split_lines(c.dir.read("tsout_fst0.txt"));
  ASSERT_GT(lines.size(), 20u);
  EXPECT_EQ(lines[2], "5.431000 5.431000 5.431000 90.000000 90.000000 90.000000 #a b c alp bet gam");
  EXPECT_EQ(lines[6], "0.300000  #disksize");
  EXPECT_EQ(lines[9], "3  #num_reflex");
  EXPECT_EQ(lines[11], "81  9  #num_pix, num_pix_side");
  EXPECT_EQ(lines[15], "0 0 0 1.000000");
  EXPECT_EQ(lines[16 + kSide], "");

  // The comparison file reads back through the FIT_RESULT reader.
  fei ei;
  read_int_file(ei, "m.txt");
  BeamList rg;
  std::vector<double> w;
  read_res_data(ei, &rg, &w, "tsout_fst0.txt");
  EXPECT_EQ(rg[2], (Hkl{0, 0, 2}));
  // And through the result page of the picture tools.
  kvtest::capture_stdout([] { qz_fit_result_visualize("tsout_fst0.txt", 1, 0, 0.0, 0.0); });
  EXPECT_NE(c.dir.read("tsout_fst0_.html").find("tsout_fst0_2_3.png"), std::string::npos);
}

TEST(ThicknessScan, CommandErrors) {
  TsCase c;
  // Every table gets a name of its own: a file that exists already could
  // share its inode with an input file of an earlier test in this process.
  const auto message = [&](const std::string& script, bool vis = false) {
    return kvtest::fatal_of([&] { c.run(script, vis); }).text();
  };
  EXPECT_EQ(message("TS_SCAN_BOGUS\n"), "$$ERROR: invalid command TS_SCAN_BOGUS\n");
  EXPECT_EQ(message("TS_SCAN_SIM_FILE\nx\ny\n", true), "$$ERROR: invalid command TS_SCAN_SIM_FILE\n");
  EXPECT_EQ(message("TS_SCAN_OPEN\nt1\np1\nTS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs0.txt\n"),
            "$$ERROR: no TS_SCAN_HG_SHIFT_SIM\n");
  EXPECT_EQ(message("TS_SCAN_OPEN\nt2\np2\nTS_SCAN_HG_SHIFT_SIM\n0 0\nTS_SCAN_SIM_FILE\nsi_rs0.txt\nx\n"),
            "$$ERROR: no TS_SCAN_WIDTH\n");
  EXPECT_EQ(message("DEFAULT_HG_SHIFT_WEIGHT_FILE\nsh.txt\n"), "$$ERROR: no TS_SCAN_NUM_REFLEX_PRESET\n");
  EXPECT_EQ(message("TS_SCAN_OPEN\nt3\np3\nTS_SCAN_NUM_REFLEX_PRESET\n2\nTS_SCAN_INT_FILE\nm.txt\n"
                    "TS_SCAN_HG_SHIFT_SIM\n0 0\nTS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs0.txt\n"),
            "$$ERROR: num_reflex(=3) is not equal to num_reflex_preset(=2)\n");
  c.dir.write("none.txt", "FIT_EXPDATA_RAW\nCR{\n0 0 0\n0 0 0\n0 0 0\n0 0 0\n0 0\n}CR\nPAR{\n0\n1\n4 2\n-1 1 -1 1\n}PAR\n");
  EXPECT_EQ(message("TS_SCAN_INT_FILE\nnone.txt\n"), "$$ Data format error: none.txt holds no thickness.\n$$ Abort.\n");
  c.dir.write("w.txt", "REFLEX_SHIFT_PAR{\n0 0\n0\n0\n}REFLEX_SHIFT_PAR\n");
  EXPECT_EQ(message("TS_SCAN_NUM_REFLEX_PRESET\n1\nDEFAULT_HG_SHIFT_WEIGHT_FILE\nw.txt\n"),
            "$$ERROR: hkl or weight\n");
  // A simulation whose reflections differ from the measured ones.
  std::string sim = c.dir.read("si_rs0.txt");
  const std::string rf = "RF{\n# hkl\n0\t0\t2";
  sim.replace(sim.find(rf), rf.size(), "RF{\n# hkl\n0\t0\t4");
  sim.replace(sim.find("0\t0\t2\t"), 6, "0\t0\t4\t");
  c.dir.write("bad.txt", sim);
  EXPECT_EQ(message("TS_SCAN_OPEN\nt4\np4\nTS_SCAN_NUM_REFLEX_PRESET\n3\nTS_SCAN_INT_FILE\nm.txt\n"
                    "TS_SCAN_HG_SHIFT_SIM\n0 0\nTS_SCAN_SIM_FILE_FIXED_SHIFT\nbad.txt\n"),
            "$$ERROR: (set_calint_to_ei_shift) h1(0 0 4), h2(0 0 2)\n");
}

TEST(ThicknessScan, RunsFromATalvisScript) {
  TsCase c;
  c.dir.write("s.txt", "TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_OPEN\nts.txt\np.txt\nTS_SCAN_NUM_REFLEX_PRESET\n3\n"
                       "TS_SCAN_INT_FILE\nm.txt\nTS_SCAN_HG_SHIFT_SIM\n0 0\n"
                       "TS_SCAN_SIM_FILE_FIXED_SHIFT\nsi_rs2.txt\nTS_SCAN_CLOSE\n");
  const kvtest::RunResult r = kvtest::run_program(TALVIS_EXE, {"s.txt"}, c.dir.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(table_rows(c.dir.read("ts.txt")).size(), 1u);
}

}  // namespace
}  // namespace kv
