// End-to-end runs of the CBED simulation jobs: the symmetry of zone-axis
// patterns of real crystals, the coherent job against the plane-wave one,
// and the result files and script line by line.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"

using namespace kvtest;

namespace {

// Intensity of point (i, j) of an n x n grid (row j outer, column i inner).
double at(const std::vector<double>& v, int n, int i, int j) { return v[static_cast<std::size_t>(j * n + i)]; }

double rel_diff(double a, double b) {
  const double m = std::max(std::fabs(a), std::fabs(b));
  return m < 1e-12 ? 0.0 : std::fabs(a - b) / m;
}

// Largest relative difference between a disk and its image under a map of
// grid indices.
template <class Map>
double asymmetry(const std::vector<double>& v, int n, Map map) {
  double worst = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const auto [i2, j2] = map(i, j);
      worst = std::max(worst, rel_diff(at(v, n, i, j), at(v, n, i2, j2)));
    }
  return worst;
}

TEST(SimJob, Si001ZoneAxisPatternHasFourfoldMirrorSymmetry) {
  ScratchDir d;
  SimCondition c;  // [001], g1 = 220, square grid of 9 x 9 centred on the zone axis
  const auto r = run_korvex(d, "si001.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  for (const char* f : {"si001_rs0.txt", "si001_rs1.txt"}) {
    const ResultFile res = read_result(d.read(f));
    ASSERT_GE(res.values.size(), 5u);
    const int n = res.num_pix_side;
    ASSERT_EQ(n, 9);
    const std::vector<double>& bf = res.values[0];  // the 000 disk
    ASSERT_EQ(res.hkl[0], (std::vector<int>{0, 0, 0}));
    EXPECT_LT(asymmetry(bf, n, [n](int i, int j) { return std::pair{n - 1 - i, j}; }), 1e-6);
    EXPECT_LT(asymmetry(bf, n, [n](int i, int j) { return std::pair{i, n - 1 - j}; }), 1e-6);
    // g2 is g1 turned by 90 degrees about [001]: (H, G) -> (-G, H).
    EXPECT_LT(asymmetry(bf, n, [n](int i, int j) { return std::pair{n - 1 - j, i}; }), 1e-6);
    // The pattern is not trivially flat.
    double lo = 1e300, hi = -1e300;
    for (double x : bf) lo = std::min(lo, x), hi = std::max(hi, x);
    EXPECT_GT(hi - lo, 1e-3 * hi);
  }
}

// With forbidden_beam_flag the glide-extinguished 002 of silicon at [110]
// takes part: multiple scattering (111 then -1-11, for instance) lights its
// disk. (At [001] the projected structure keeps 200 dark in every order.)
TEST(SimJob, ForbiddenBeamFlagKeepsTheGlideExtinguishedDisk) {
  ScratchDir d;
  SimCondition c;
  c.incidence = "1 1 0";
  c.normal = "1 1 0";
  c.g1 = "0 0 2";
  c.reflexes = "2\n0 0 0\n0 0 2\n";
  const auto r = run_korvex(d, "sif.dat",
                            "SIM_MODE\n" + eps_block("forbidden_beam_flag 1\n") + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const ResultFile res = read_result(d.read("sif_rs1.txt"));
  ASSERT_EQ(res.hkl.size(), 2u);
  EXPECT_EQ(res.hkl[1], (std::vector<int>{0, 0, 2}));
  double hi = 0;
  for (double x : res.values[1]) hi = std::max(hi, x);
  EXPECT_GT(hi, 1.0);  // of 10000 incident
  // Without the key the same search leaves 002 out.
  c.reflexes = "0\n";
  const auto off = run_korvex(d, "sio.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(off.status, 0);
  for (const std::vector<int>& g : read_result(d.read("sio_rs1.txt")).hkl)
    EXPECT_FALSE(g == (std::vector<int>{0, 0, 2}) || g == (std::vector<int>{0, 0, -2}));
}

// Mean of a disk, and the largest value on the line of grid points through
// its centre along G (column i = n/2) or along H (row j = n/2).
double mean_of(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}
double centre_line_max(const std::vector<double>& v, int n, bool along_g) {
  double hi = 0;
  for (int k = 0; k < n; ++k) hi = std::max(hi, along_g ? at(v, n, n / 2, k) : at(v, n, k, n / 2));
  return hi;
}
double centre_line_min(const std::vector<double>& v, int n, bool along_g) {
  double lo = 1e300;
  for (int k = 0; k < n; ++k) lo = std::min(lo, along_g ? at(v, n, n / 2, k) : at(v, n, k, n / 2));
  return lo;
}

// The disk of reflection `g` in one result file.
const std::vector<double>& disk_of(const ResultFile& res, const std::vector<int>& g) {
  for (std::size_t k = 0; k < res.hkl.size(); ++k)
    if (res.hkl[k] == g) return res.values[k];
  ADD_FAILURE() << "no disk " << g[0] << " " << g[1] << " " << g[2];
  static const std::vector<double> none(1, 0.0);
  return none;
}

// Dynamical extinction: a reflection g forbidden by a glide plane that holds
// the beam and g vanishes, at every thickness, for the incidences that lie
// in that plane (the line through the disk centre parallel to g), because
// the scattering paths through h and through its mirror image cancel in
// pairs. Off the line the disk is lit.
//  - GaN [11-20], zero layer: the c glide normal to [1-10] holds the beam
//    and 0001.
//  - Si [001] with the first-order Laue zone among the exact beams: the d
//    glide normal to [100] holds the beam and 020 (normal to [010] for
//    200). The zero layer alone keeps 020 dark everywhere (the projected
//    structure repeats at (a/4, a/4)); the upper-layer beams light the disk.
//  - Si [110] 002: forbidden by the d glide normal to [100] and the 4_1 axis
//    along [001], neither of which maps the [110] geometry onto itself;
//    multiple scattering lights the disk and no line is dark (an exact
//    extinction would stand below 1e-10 of the mean).
TEST(SimJob, GlideExtinctionDarkensTheLineInTheGlidePlaneOnly) {
  ScratchDir d;
  {
    std::string text = read_file(std::filesystem::path(KV_EXAMPLES_DIR) / "gan_11-20_200kv_forbidden.dat");
    const std::size_t at31 = text.find("\n31\n");
    ASSERT_NE(at31, std::string::npos);
    text.replace(at31, 4, "\n11\n");
    const auto r = run_korvex(d, "gan.dat", text);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* f : {"gan_rs0.txt", "gan_rs2.txt"}) {
      const ResultFile res = read_result(d.read(f));
      const int n = res.num_pix_side;
      ASSERT_EQ(n, 11);
      for (const std::vector<int>& g : {std::vector<int>{0, 0, 1}, std::vector<int>{0, 0, -1}}) {
        const std::vector<double>& v = disk_of(res, g);
        const double m = mean_of(v);
        EXPECT_GT(m, 1.0) << f;  // of 10000 incident
        EXPECT_LT(centre_line_max(v, n, true), 1e-10 * m) << f;
        EXPECT_GT(centre_line_max(v, n, false), m) << f;
      }
    }
  }
  {
    SimCondition c;
    c.g1 = "2 0 0";
    c.n = 11;
    c.beam_search = "2\n400 1.5 0 1\n0.2 0.3 20000\n";
    c.reflexes = "3\n0 0 0\n2 0 0\n0 2 0\n";
    // The eigenvectors converged to 1e-14: the disk is about 1e-9 of the
    // incident beam, and the looser default leaves 1e-7 of it on the line.
    const auto r = run_korvex(d, "sih.dat",
                              "SIM_MODE\n" + eps_block("forbidden_beam_flag 1\neigen_eps 1e-14\n") + si_crystal() +
                                  sim_condition(c));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* f : {"sih_rs0.txt", "sih_rs1.txt"}) {
      const ResultFile res = read_result(d.read(f));
      const int n = res.num_pix_side;
      // 200 lies along H, 020 along G.
      for (const bool along_g : {false, true}) {
        const std::vector<double>& v = disk_of(res, along_g ? std::vector<int>{0, 2, 0} : std::vector<int>{2, 0, 0});
        const double m = mean_of(v);
        EXPECT_GT(m, 1e-7) << f;
        EXPECT_LT(centre_line_max(v, n, along_g), 1e-10 * m) << f << " " << along_g;
        EXPECT_GT(centre_line_max(v, n, !along_g), m) << f << " " << along_g;
      }
    }
  }
  {
    SimCondition c;
    c.incidence = "1 1 0";
    c.normal = "1 1 0";
    c.g1 = "2 -2 0";
    c.n = 11;
    c.reflexes = "2\n0 0 0\n0 0 2\n";
    const auto r = run_korvex(d, "si110.dat",
                              "SIM_MODE\n" + eps_block("forbidden_beam_flag 1\n") + si_crystal() + sim_condition(c));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char* f : {"si110_rs0.txt", "si110_rs1.txt"}) {
      const ResultFile res = read_result(d.read(f));
      const std::vector<double>& v = disk_of(res, {0, 0, 2});
      const double m = mean_of(v);
      EXPECT_GT(centre_line_min(v, res.num_pix_side, true), 1e-3 * m) << f;
      EXPECT_GT(centre_line_min(v, res.num_pix_side, false), 1e-3 * m) << f;
    }
  }
}

// Largest relative difference between disk a at (i, j) and disk b at the
// mirror image (n-1-i, j).
double pair_asymmetry(const std::vector<double>& a, const std::vector<double>& b, int n) {
  double worst = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) worst = std::max(worst, rel_diff(at(a, n, i, j), at(b, n, n - 1 - i, j)));
  return worst;
}

TEST(SimJob, Si110KeepsBothMirrorsAndGaAsLosesOne) {
  SimCondition c;
  c.incidence = "1 1 0";
  c.normal = "1 1 0";
  c.g1 = "0 0 2";  // H along 002, G along 1-10
  c.thickness = "1\n800\n";
  c.reflexes = "5\n0 0 0\n1 -1 1\n1 -1 -1\n1 -1 3\n1 -1 -3\n";
  ScratchDir d;
  auto r = run_korvex(d, "si110.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out;
  r = run_korvex(d, "gaas110.dat", "SIM_MODE\n" + eps_block() + gaas_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out;
  const ResultFile si = read_result(d.read("si110_rs0.txt"));
  const ResultFile ga = read_result(d.read("gaas110_rs0.txt"));
  ASSERT_EQ(si.values.size(), 5u);
  ASSERT_EQ(ga.values.size(), 5u);
  const int n = si.num_pix_side;
  auto mirror_h = [n](int i, int j) { return std::pair{n - 1 - i, j}; };
  auto mirror_g = [n](int i, int j) { return std::pair{i, n - 1 - j}; };
  // Si (m-3m): the pattern has 2mm symmetry; the mirror across (001)
  // exchanges 1-11 with 1-1-1 and 1-13 with 1-1-3. The files hold six
  // significant digits, so mirror images may differ by one unit in the last
  // digit (up to 1e-5 relative).
  EXPECT_LT(asymmetry(si.values[0], n, mirror_h), 1e-5);
  EXPECT_LT(asymmetry(si.values[0], n, mirror_g), 1e-5);
  EXPECT_LT(pair_asymmetry(si.values[1], si.values[2], n), 1e-5);
  EXPECT_LT(pair_asymmetry(si.values[3], si.values[4], n), 1e-5);
  // GaAs (-43m): the bright-field disk keeps 2mm (reciprocity), but the
  // (001) mirror of the whole pattern is gone: 1-11 and 1-1-1 (and 1-13 and
  // 1-1-3) are no longer mirror images of each other. Reciprocity is exact
  // for the full many-beam solution; the Bethe beams, folded in by
  // perturbation, can break it by about 2e-6 when a weak beam sits at a
  // Bethe threshold (none does here: mirror images print identically).
  EXPECT_LT(asymmetry(ga.values[0], n, mirror_h), 1e-6);
  EXPECT_LT(asymmetry(ga.values[0], n, mirror_g), 1e-6);
  EXPECT_GT(pair_asymmetry(ga.values[1], ga.values[2], n), 1e-2);
  EXPECT_GT(pair_asymmetry(ga.values[3], ga.values[4], n), 1e-2);
}

TEST(SimJob, CoherentProbeAtTheOriginReproducesThePlaneWaveIntensities) {
  ScratchDir d;
  SimCondition c;
  c.calc_type = 2;
  c.n = 7;
  c.thickness = "2\n300\n1200\n";
  const std::string common = eps_block() + si_crystal() + sim_condition(c);
  auto r = run_korvex(d, "pw.dat", "SIM_MODE\n" + common);
  ASSERT_EQ(r.status, 0) << r.out;
  r = run_korvex(d, "coh.dat", "SIM_COHERENT_MODE\n" + common + "COHERENT{\n0\n0\n0 0 0\n}COHERENT\n");
  ASSERT_EQ(r.status, 0) << r.out;
  for (int t = 0; t < 2; ++t) {
    const ResultFile pw = read_result(d.read("pw_rs" + std::to_string(t) + ".txt"));
    const ResultFile co = read_result(d.read("coh_rs" + std::to_string(t) + ".txt"));
    ASSERT_EQ(pw.values.size(), co.values.size());
    for (std::size_t g = 0; g < pw.values.size(); ++g) {
      ASSERT_EQ(co.values[g].size(), 2 * pw.values[g].size());
      for (std::size_t k = 0; k < pw.values[g].size(); ++k) {
        const double re = co.values[g][2 * k], im = co.values[g][2 * k + 1];
        const double i2 = re * re + im * im;
        // %g keeps six digits of each number
        EXPECT_NEAR(i2, pw.values[g][k], 2e-5 * std::max(1.0, pw.values[g][k])) << "g " << g << " k " << k;
      }
    }
  }
  EXPECT_EQ(split_lines(d.read("coh_rs0.txt"))[0], "SIM_COHERENT_RESULT");
  EXPECT_NE(d.read("coh_tlv.txt").find("SIM_COHERENT_VISUALIZE\ncoh_rs0.txt 0.5 1 0\n"), std::string::npos);
}

TEST(SimJob, DiskGridOfThreeWritesCornersAsZero) {
  ScratchDir d;
  SimCondition c;
  c.calc_type = 2;
  c.n = 3;
  c.disksize = 0.2;
  c.thickness = "3\n100\n200\n300\n";
  c.reflexes = "2\n0 0 0\n2 2 0\n";
  const auto r = run_korvex(d, "disk.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("$$ num_k_points = 9, num_k_points_effective = 5\n"), std::string::npos);
  EXPECT_NE(r.out.find("num_g = 2\n"), std::string::npos);
  EXPECT_NE(r.out.find("\nThe script for visualization ==> disk_tlv.txt\nUsage: talvis disk_tlv.txt\n"),
            std::string::npos);
  EXPECT_EQ(d.read("disk_tlv.txt"),
            "TALVIS_SCRIPT\n# script for talvis.\nSIM_VISUAL_MODE\n#\n# VISUAL\n"
            "# rs_file gamma_coef mag(int) cont_reverse_flag\n#\nHTML_OPEN\ndisk_.html\n#\n"
            "SIM_VISUALIZE\ndisk_rs0.txt 0.5 1 1\nSIM_VISUALIZE\ndisk_rs1.txt 0.5 1 1\n"
            "SIM_VISUALIZE\ndisk_rs2.txt 0.5 1 1\nHTML_CLOSE\n");
  const std::vector<std::string> L = split_lines(d.read("disk_rs1.txt"));
  ASSERT_GT(L.size(), 60u);
  const std::vector<std::string> head{"SIM_RESULT", "# disk_rs1.txt", "#", "VISUAL{", "# default max and min [>0]"};
  for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(L[i], head[i]);
  double hi = 0, lo = 0;
  std::istringstream(L[5]) >> hi >> lo;
  EXPECT_EQ(lo, 0.0);  // the corners are outside the disk
  EXPECT_GT(hi, 0.0);
  const std::vector<std::string> rest{"# default gamma [>0]", "1.0", "# defalut magnification (integer only)", "1",
                                      "# default contrast-reverse-flag", "#  1:reverse, 0:not reverse", "0",
                                      "}VISUAL", "#", "CR_PARAMETERS{", "# lattice parameter",
                                      "# a,b,c,alpha,beta,gamma", "5.4309\t5.4309\t5.4309\t90\t90\t90",
                                      "# incident direction", "0\t0\t1", "# zolzbase1", "2\t2\t0", "# tilt HG",
                                      "0\t0", "# thickness [Angstrom]", "200", "}CR_PARAMETERS", "#", "RF_INDEX{",
                                      "# reflections", "# number of reflections", "2",
                                      "# h k l, position (pixel coord)", "0\t0\t0\t0\t0", "2\t2\t0\t15\t0",
                                      "}RF_INDEX", "COORD{", "9 3    #num_pix, num_pix_side",
                                      "-0.2 0.2 -0.2 0.2    #Hbgn Hend Gbgn Gend", "# H, G, ih, ig, flag",
                                      "-0.2 -0.2 0 0 0", "0 -0.2 1 0 1", "0.2 -0.2 2 0 0", "-0.2 0 0 1 1",
                                      "0 0 1 1 1", "0.2 0 2 1 1", "-0.2 0.2 0 2 0", "0 0.2 1 2 1", "0.2 0.2 2 2 0",
                                      "}COORD", "# intensities", "RF{", "# hkl", "0\t0\t0"};
  for (std::size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(L[6 + i], rest[i]) << "line " << 6 + i;
  // corner points of both reflections are written as 0
  const ResultFile res = read_result(d.read("disk_rs1.txt"));
  for (const auto& v : res.values) {
    ASSERT_EQ(v.size(), 9u);
    for (int k : {0, 2, 6, 8}) EXPECT_EQ(v[k], 0.0);
    EXPECT_GT(v[4], 0.0);
  }
}

TEST(SimJob, LineAndSquareGridsAreCentred) {
  ScratchDir d;
  SimCondition c;
  c.calc_type = 1;
  c.n = 4;
  c.disksize = 0.3;
  c.thickness = "1\n100\n";
  auto r = run_korvex(d, "line.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<std::string> L = split_lines(d.read("line_rs0.txt"));
  auto coord = std::find(L.begin(), L.end(), "COORD{");
  ASSERT_NE(coord, L.end());
  EXPECT_EQ(coord[1], "4 4    #num_pix, num_pix_side");
  EXPECT_EQ(coord[2], "-0.3 0.3 0 0    #Hbgn Hend Gbgn Gend");
  EXPECT_EQ(coord[4], "-0.3 0 -2 0 1");
  EXPECT_EQ(coord[7], "0.3 0 1 0 1");

  c.calc_type = 3;
  c.n = 5;
  r = run_korvex(d, "sq.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(r.status, 0) << r.out;
  L = split_lines(d.read("sq_rs0.txt"));
  coord = std::find(L.begin(), L.end(), "COORD{");
  EXPECT_EQ(coord[1], "25 5    #num_pix, num_pix_side");
  EXPECT_EQ(coord[4], "-0.3 -0.3 -2 -2 1");
  EXPECT_EQ(coord[28], "0.3 0.3 2 2 1");
}

TEST(SimJob, BadConditionsEndWithOneMessage) {
  struct Case {
    SimCondition c;
    std::string expect;
  };
  std::vector<Case> cases;
  {
    SimCondition c;
    c.calc_type = 5;
    cases.push_back({c, "$$ Invalid calc_type(=5)x. Abort.\n"});
    c.calc_type = -1;
    cases.push_back({c, "$$ Invalid calc_type(=-1)x. Abort.\n"});
  }
  {
    SimCondition c;
    c.n = 1;
    cases.push_back({c, "num_cal_pix_side=1"});
    c.n = 100000;
    cases.push_back({c, "num_cal_pix_side=100000: at most 4096 points a side"});
  }
  {
    SimCondition c;
    c.reflexes = "-2\n";
    cases.push_back({c, "Invalid num_g(=-2)"});
  }
  {
    SimCondition c;
    c.thickness = "-1\n";
    cases.push_back({c, "Invalid num_thickness(=-1)"});
  }
  {
    SimCondition c;
    c.reflexes = "1\n9 9 9\n";
    cases.push_back({c, "$$ cal_g: 9 9 9 is not found in the exact beams. Abort.\n"});
  }
  {
    // 200 of silicon: allowed by the F centring, extinguished by the
    // diamond glide; the message names the key that keeps it.
    SimCondition c;
    c.reflexes = "1\n2 0 0\n";
    cases.push_back({c, "$$ cal_g: 2 0 0 has a vanishing structure factor and is left out of the beam search;"
                        " set forbidden_beam_flag 1 in EPS_CONTROL_PARAMETERS to keep it. Abort.\n"});
  }
  {
    SimCondition c;
    c.beam_search = "7\n";
    cases.push_back({c, "Invalid flag_bs\n"});
  }
  ScratchDir d;
  for (const Case& k : cases) {
    const auto r = run_korvex(d, "bad.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(k.c));
    EXPECT_EQ(r.status, 1) << k.expect;
    EXPECT_NE(r.out.find(k.expect), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(d / "bad_rs0.txt"));
  }
  // CALC_KXY_RANGE after BEAM_SEARCH gets the hint.
  std::string text = sim_condition(SimCondition{});
  const auto r = run_korvex(d, "order.dat",
                            "SIM_MODE\n" + eps_block() + si_crystal() +
                                "SIM_CALCULATION_CONDITION{\nINCIDENT_BEAM{\n0 0 1\n0 0 1\n2 2 0\n0\n0\n200\n"
                                "}INCIDENT_BEAM\nBEAM_SEARCH{\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Caution!!! CALC_KXY_RANGE must be before BEAM_SEARCH."), std::string::npos);
}

}  // namespace
