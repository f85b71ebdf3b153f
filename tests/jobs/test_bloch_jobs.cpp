// End-to-end runs of the dispersion-surface, Bloch-state and
// thickness-fringe jobs on silicon: agreement of the fringes with the CBED
// job, the files and scripts line by line, and refused input.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"

using namespace kvtest;

namespace {

// Silicon [110] at 200 kV, g1 = 2-20, centre tilt (H, G).
std::string incident_beam(double H = 0, double G = 0) {
  std::ostringstream s;
  s << "INCIDENT_BEAM{\n1 1 0\n1 1 0\n2 -2 0\n" << H << "\n" << G << "\n200\n}INCIDENT_BEAM\n";
  return s.str();
}
std::string kxy_range(int calc_type, int n, double d) {
  std::ostringstream s;
  s << "CALC_KXY_RANGE{\n" << calc_type << "\n" << n << "\n" << d << "\n}CALC_KXY_RANGE\n";
  return s.str();
}
// The transmitted beam and the 1-11 pair, all exact.
const std::string kManual3 = "BEAM_SEARCH{\n0\n3 0\n0 0 0\n1 -1 1\n-1 1 -1\n}BEAM_SEARCH\n";
// Automatic search on s_g with per-tilt re-selection.
const std::string kSearch = "BEAM_SEARCH{\n2\n300 2.5 0 0\n0.02 0.05 10000\n}BEAM_SEARCH\n";

std::string dispsurf(const std::string& kxy, const std::string& beams, const std::string& branch,
                     const std::string& reflex, const std::string& thick) {
  return "DISPSURF_MODE\n" + eps_block() + si_crystal() + "DISPSURF_CALCULATION_CONDITION{\n" + incident_beam() +
         kxy + beams + "OUTPUT_BRANCH{\n" + branch + "\n}OUTPUT_BRANCH\nOUTPUT_REFLEX{\n" + reflex +
         "}OUTPUT_REFLEX\nOUTPUT_THICKNESS{\n" + thick + "}OUTPUT_THICKNESS\n}DISPSURF_CALCULATION_CONDITION\n";
}
std::string bloch(const std::string& incident, const std::string& kxy, const std::string& rxy,
                  const std::string& branch) {
  return "BLOCH_MODE\n" + eps_block() + si_crystal() + "BLOCH_CALCULATION_CONDITION{\n" + incident + kxy +
         kManual3 + "CALC_RXY_RANGE{\n" + rxy + "}CALC_RXY_RANGE\nOUTPUT_BRANCH{\n" + branch +
         "\n}OUTPUT_BRANCH\n}BLOCH_CALCULATION_CONDITION\n";
}
std::string tfringe(const std::string& incident, const std::string& kxy, const std::string& beams,
                    const std::string& trange, const std::string& reflex) {
  return "TFRINGE_MODE\n" + eps_block() + si_crystal() + "TFRINGE_CALCULATION_CONDITION{\n" + incident + kxy +
         beams + "CALC_T_RANGE{\n" + trange + "}CALC_T_RANGE\nOUTPUT_REFLEX{\n" + reflex +
         "}OUTPUT_REFLEX\n}TFRINGE_CALCULATION_CONDITION\n";
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST(TfringeJob, FringesEqualTheCbedIntensitiesAtTheSameTiltAndThicknesses) {
  ScratchDir d;
  SimCondition c;
  c.incidence = "1 1 0";
  c.normal = "1 1 0";
  c.g1 = "2 -2 0";
  c.tiltH = 0.3;
  c.tiltG = 0.1;
  c.calc_type = 0;
  c.n = 1;
  c.thickness = "5\n100\n200\n300\n400\n500\n";
  auto r = run_korvex(d, "sim.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out;
  r = run_korvex(d, "tf.dat", tfringe(incident_beam(0.3, 0.1), kxy_range(0, 1, 0.5), kSearch, "5\n100 500\n", "0\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("  sd->num_thickness = 5\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n==> SEE tf.plt\n"), std::string::npos);
  // The fringe job also writes a script for its labelled page.
  ASSERT_TRUE(std::filesystem::exists(d / "tf_tlv.txt"));
  EXPECT_NE(d.read("tf_tlv.txt").find("\nTFRINGE_VISUAL_MODE\n"), std::string::npos);

  const auto in = numeric_rows(d.read("tf_int.txt"));
  const auto reim = numeric_rows(d.read("tf_re_im.txt"));
  ASSERT_EQ(in.size(), 5u);
  ASSERT_EQ(reim.size(), 5u);
  const std::string header = split_lines(d.read("tf_int.txt"))[0];
  EXPECT_EQ(split_lines(d.read("tf_re_im.txt"))[0], header);  // one label, two columns per reflection
  for (int t = 0; t < 5; ++t) {
    const ResultFile sim = read_result(d.read("sim_rs" + std::to_string(t) + ".txt"));
    const std::size_t ng = sim.values.size();
    ASSERT_GE(ng, 3u);
    ASSERT_EQ(in[t].size(), ng + 1);
    ASSERT_EQ(reim[t].size(), 2 * ng + 1);
    EXPECT_DOUBLE_EQ(in[t][0], 100.0 * (t + 1));
    std::string expect_header = "#thickness";
    for (std::size_t i = 0; i < ng; ++i) {
      expect_header.append("\t").append(std::to_string(sim.hkl[i][0])).append("_");
      expect_header.append(std::to_string(sim.hkl[i][1])).append("_").append(std::to_string(sim.hkl[i][2]));
      const double v = sim.values[i][0];
      EXPECT_NEAR(in[t][1 + i], v, 1e-5 * std::max(v, 1.0)) << "t=" << t << " g=" << i;
      const double re = reim[t][1 + 2 * i], im = reim[t][2 + 2 * i];
      EXPECT_NEAR(re * re + im * im, v, 1e-4 * std::max(v, 1.0));
    }
    EXPECT_EQ(header, expect_header);
  }
}

TEST(TfringeJob, GnuplotScriptLineByLineAndASingleThickness) {
  ScratchDir d;
  auto r = run_korvex(d, "one.dat",
                      tfringe(incident_beam(), kxy_range(0, 1, 0.5), kManual3, "1\n250 900\n", "1\n1 -1 1\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("one.plt"),
            "#\nset xlabel \"thickness [A]\"\nset ylabel \"Intensity\"\nset title \"Thickness fringes\"\n"
            "set term png\nset output 'one_out.png'\n"
            "plot 'one_int.txt' using 1:2 title \"1 -1 1\" with lines \n#pause -1 \n");
  const auto in = numeric_rows(d.read("one_int.txt"));
  ASSERT_EQ(in.size(), 1u);
  EXPECT_DOUBLE_EQ(in[0][0], 250.0);  // a single thickness is t_begin

  r = run_korvex(d, "two.dat",
                 tfringe(incident_beam(), kxy_range(0, 1, 0.5), kManual3, "3\n0 200\n", "2\n0 0 0\n-1 1 -1\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  const auto plt = split_lines(d.read("two.plt"));
  ASSERT_EQ(plt.size(), 9u);
  EXPECT_EQ(plt[6], "plot 'two_int.txt' using 1:2 title \"0 0 0\" with lines ,\\");
  EXPECT_EQ(plt[7], "'two_int.txt' using 1:3 title \"-1 1 -1\" with lines ");
  EXPECT_EQ(plt[8], "#pause -1 ");
  const auto rows = numeric_rows(d.read("two_int.txt"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_DOUBLE_EQ(rows[1][0], 100.0);
  // At the entrance surface only the transmitted beam is there.
  EXPECT_NEAR(rows[0][1], 10000.0, 1e-6);
  EXPECT_NEAR(rows[0][2], 0.0, 1e-6);
  EXPECT_LT(rows[2][1], 9999.0);
}

TEST(DispsurfJob, FilesAndScriptLineByLine) {
  ScratchDir d;
  const auto r =
      run_korvex(d, "ds.dat", dispsurf(kxy_range(1, 3, 0.4), kManual3, "2 3", "2\n1 -1 1\n0 0 0\n", "2\n0\n250.5\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("(calc_disp_surf_ug) vg_select_flag is set to 0.\n"), std::string::npos);
  EXPECT_NE(r.out.find("$$ num_k_points = 3\n"), std::string::npos);
  EXPECT_NE(r.out.find("\n>> talvis ds_tlv.txt\n"), std::string::npos);

  const auto ds = split_lines(d.read("ds_ds.txt"));
  ASSERT_EQ(ds.size(), 6u);
  EXPECT_EQ(ds[0], "# Dispersion surface");
  EXPECT_EQ(ds[1], "# kn, excitation(=eps^2)");
  EXPECT_EQ(ds[2],
            "kxy(H)\tkxy(G)\tKz\tRe(kz2)\tIm(kz2)\tRe(gamma2)\tIm(gamma2)\tSq(eps2)"
            "\tRe(kz3)\tIm(kz3)\tRe(gamma3)\tIm(gamma3)\tSq(eps3)");
  EXPECT_EQ(ds[3].substr(0, 8), "-0.4\t0\t3");
  EXPECT_EQ(ds[4].substr(0, 5), "0\t0\t3");
  const auto amp = split_lines(d.read("ds_amp.txt"));
  ASSERT_EQ(amp.size(), 8u);
  EXPECT_EQ(amp[0], "# Amplitudes of reflections Cg (multiplied by excitation)");
  EXPECT_EQ(amp[1], "# (Amplitude and Phase (rad),  g:reflection, j:branch)");
  EXPECT_EQ(amp[2], "# g 0: 1 -1 1");
  EXPECT_EQ(amp[3], "# g 1: 0 0 0");
  EXPECT_EQ(amp[4], "kxy(H)\tkxy(G)\tA(eC)g0j2\tP(eC)g0j2\tA(eC)g0j3\tP(eC)g0j3\tA(eC)g1j2\tP(eC)g1j2\tA(eC)g1j3\tP(eC)g1j3");
  const auto in = split_lines(d.read("ds_int.txt"));
  ASSERT_EQ(in.size(), 9u);
  EXPECT_EQ(in[0], "# Diffracted intensities");
  EXPECT_EQ(in[1], "# g 0: 1 -1 1");
  EXPECT_EQ(in[2], "# g 1: 0 0 0");
  EXPECT_EQ(in[3], "# thickness 0: 0[A]");
  EXPECT_EQ(in[4], "# thickness 1: 250.5[A]");
  EXPECT_EQ(in[5], "kxy(H)\tkxy(G)\tg0t0\tg0t1\tg1t0\tg1t1");
  const auto rows = numeric_rows(d.read("ds_int.txt"));
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), 6u);
    // At the entrance surface only the transmitted beam is there; deeper
    // in, the 1-11 beam has taken part of it.
    EXPECT_NEAR(row[4], 10000.0, 1e-6);
    EXPECT_NEAR(row[2], 0.0, 1e-6);
    EXPECT_GT(row[3], 1.0);
    EXPECT_LT(row[5] + row[3], 10000.0);
  }
  EXPECT_EQ(d.read("ds_tlv.txt"),
            "TALVIS_SCRIPT\nDISPSURF_VISUAL_MODE\nHTML_OPEN\nds_.html\nDISPSURF_VISUAL\n2  #branch_begin\n"
            "3  #branch_end\n2  #num_rf_amp\n2  #num_thick\nds\nds_ds.txt\nds_amp.txt\nds_int.txt\nHTML_CLOSE\n");
}

TEST(DispsurfJob, ZeroReflectionsGiveNoneAndEveryGridPointIsComputed) {
  ScratchDir d;
  const auto r = run_korvex(d, "z.dat", dispsurf(kxy_range(2, 3, 0.5), kManual3, "1 3", "0\n", "0\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("num_g = 0\n"), std::string::npos);
  const auto amp = split_lines(d.read("z_amp.txt"));
  ASSERT_EQ(amp.size(), 3u + 9u);
  EXPECT_EQ(amp[2], "kxy(H)\tkxy(G)");
  EXPECT_EQ(amp[3], "-0.5\t-0.5");  // the corner of the disk grid is written too
  const auto ds = numeric_rows(d.read("z_ds.txt"));
  ASSERT_EQ(ds.size(), 9u);
  for (const auto& row : ds) {
    ASSERT_EQ(row.size(), 18u);
    EXPECT_NEAR(row[7] + row[12] + row[17], 1.0, 1e-3);  // excitations share the incident wave
  }
}

// 144 points: more than one block of points for two threads, so that the
// blocks are joined in order too.
TEST(DispsurfJob, FilesAreTheSameOnAnyThreadCount) {
  const std::string cond = "DISPSURF_CALCULATION_CONDITION{\n" + incident_beam() + kxy_range(3, 12, 0.5) + kManual3 +
                           "OUTPUT_BRANCH{\n1 3\n}OUTPUT_BRANCH\nOUTPUT_REFLEX{\n2\n0 0 0\n1 -1 1\n}OUTPUT_REFLEX\n"
                           "OUTPUT_THICKNESS{\n2\n500\n1000\n}OUTPUT_THICKNESS\n}DISPSURF_CALCULATION_CONDITION\n";
  ScratchDir one, two, three;
  const auto r1 = run_korvex(one, "ds.dat", "DISPSURF_MODE\n" + eps_block("num_threads 1\n") + si_crystal() + cond);
  ASSERT_EQ(r1.status, 0) << r1.out;
  EXPECT_NE(r1.out.find("Tilt loop: 1 thread\n"), std::string::npos);
  const auto r2 = run_korvex(two, "ds.dat", "DISPSURF_MODE\n" + eps_block("num_threads 2\n") + si_crystal() + cond);
  ASSERT_EQ(r2.status, 0) << r2.out;
  const auto r3 = run_korvex(three, "ds.dat", "DISPSURF_MODE\n" + eps_block("num_threads 3\n") + si_crystal() + cond);
  ASSERT_EQ(r3.status, 0) << r3.out;
  EXPECT_EQ(split_lines(one.read("ds_ds.txt")).size(), 3u + 144u);  // two comments, the header, the points
  for (const char* f : {"ds_ds.txt", "ds_amp.txt", "ds_int.txt"}) {
    EXPECT_EQ(one.read(f), two.read(f)) << f;
    EXPECT_EQ(one.read(f), three.read(f)) << f;
  }
}

TEST(BlochJob, StatesAreThoseOfTheFirstGridPoint) {
  ScratchDir d;
  const std::string rxy = "4 3\n0 1\n-0.5 0.5\n";
  auto r = run_korvex(d, "grid.dat", bloch(incident_beam(0.1, 0.2), kxy_range(2, 3, 0.5), rxy, "1 3"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("$$disksize = 0.500000\n"), std::string::npos);
  EXPECT_NE(r.out.find("real-space base-vector ( length = 1/|zolzbase1| )\nx1 = "), std::string::npos);
  r = run_korvex(d, "one.dat", bloch(incident_beam(-0.4, -0.3), kxy_range(0, 1, 0.5), rxy, "1 3"));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(d.read("grid_kn.txt"), d.read("one_kn.txt"));
  EXPECT_EQ(d.read("grid_b2.txt"), d.read("one_b2.txt"));
  EXPECT_EQ(d.read("grid_pp.txt"), d.read("one_pp.txt"));
  const auto log = d.read("one_log.txt");
  EXPECT_NE(log.find(" Prob. density (branch 3): ==> one_b3.txt\n"), std::string::npos);
  const auto pp = split_lines(d.read("one_pp.txt"));
  ASSERT_EQ(pp.size(), 4u + 4u * 4u);
  EXPECT_EQ(pp[4].substr(0, 7), "0\t-0.5\t");
  EXPECT_EQ(pp[5].substr(0, 4), "0\t0\t");
  EXPECT_EQ(pp[7], "");
  EXPECT_EQ(pp[8].substr(0, 13), "0.333333\t-0.5");
}

struct BadCase {
  const char* what;
  std::string text;
  std::string message;
};

TEST(BlochJobs, RefusedInputEndsWithOneMessageAndStatusOne) {
  const std::string rxy = "2 2\n0 1\n0 1\n";
  const std::vector<BadCase> cases = {
      {"branch from 0", dispsurf(kxy_range(0, 1, 0.5), kManual3, "0 1", "0\n", "0\n"),
       "$$ Invalid paramter: branch_begin = 0, branch_end = 1. Abort.\n"},
      {"branches reversed", dispsurf(kxy_range(0, 1, 0.5), kManual3, "2 1", "0\n", "0\n"),
       "$$ Invalid paramter: branch_begin = 2, branch_end = 1. Abort.\n"},
      {"branch beyond the exact beams", dispsurf(kxy_range(0, 1, 0.5), kManual3, "1 4", "0\n", "0\n"),
       "$$ Invalid paramter: branch_begin = 1, branch_end = 4. Abort.\n"},
      {"Bloch branch from 0", bloch(incident_beam(), kxy_range(0, 1, 0.5), rxy, "0 1"),
       "$$ Invalid paramter: branch_begin = 0, branch_end = 1\n"},
      {"calc_type 4", bloch(incident_beam(), kxy_range(4, 3, 0.5), rxy, "1 1"), "$$ Invalid calc_type=4. Abort.\n"},
      {"calc_type -1", tfringe(incident_beam(), kxy_range(-1, 3, 0.5), kManual3, "2\n0 1\n", "0\n"),
       "$$ Invalid calc_type=-1. Abort.\n"},
      {"no thickness", tfringe(incident_beam(), kxy_range(0, 1, 0.5), kManual3, "0\n0 1\n", "0\n"),
       "$$ Invalid num_thickness(=0): at least one thickness is needed. Abort.\n"},
      {"empty map", bloch(incident_beam(), kxy_range(0, 1, 0.5), "0 2\n0 1\n0 1\n", "1 1"),
       "$$ Invalid map size: nx = 0, ny = 2 (at least 1 point each). Abort.\n"},
      {"reflection not exact", dispsurf(kxy_range(0, 1, 0.5), kManual3, "1 1", "1\n2 2 0\n", "0\n"),
       "$$ cal_g: 2 2 0 is not found in the exact beams. Abort.\n"},
      {"negative reflection count", dispsurf(kxy_range(0, 1, 0.5), kManual3, "1 1", "-2\n", "0\n"),
       "$$ Invalid num_g(=-2): the number of output reflections must not be negative. Abort.\n"},
      {"range after the beams",
       "TFRINGE_MODE\n" + eps_block() + si_crystal() + "TFRINGE_CALCULATION_CONDITION{\n" + incident_beam() +
           kManual3,
       "$$ Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH!\n"},
      {"Bloch range after the beams",
       "BLOCH_MODE\n" + eps_block() + si_crystal() + "BLOCH_CALCULATION_CONDITION{\n" + incident_beam() + kManual3,
       "$$$$$ Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH. $$$$$\n"},
      {"dispersion range after the beams",
       "DISPSURF_MODE\n" + eps_block() + si_crystal() + "DISPSURF_CALCULATION_CONDITION{\n" + incident_beam() +
           kManual3,
       "$$ Caution!! CALC_KXY_RANGE must be before BEAM_SEARCH. $$\n"},
  };
  for (const BadCase& c : cases) {
    ScratchDir d;
    const auto r = run_korvex(d, "bad.dat", c.text);
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
    EXPECT_EQ(count_of(r.out + r.err, c.message), 1) << c.what << "\n" << r.out << r.err;
  }
}

TEST(BlochJobs, OneBranchOfOneExactBeamIsAccepted) {
  ScratchDir d;
  const auto r = run_korvex(
      d, "one.dat",
      dispsurf(kxy_range(0, 1, 0.5), "BEAM_SEARCH{\n0\n1 0\n0 0 0\n}BEAM_SEARCH\n", "1 1", "1\n0 0 0\n", "1\n300\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  const auto rows = numeric_rows(d.read("one_ds.txt"));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NEAR(rows[0][7], 1.0, 1e-9);  // the single Bloch wave carries everything
}

}  // namespace
