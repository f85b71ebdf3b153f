#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "expdata/dataset.hpp"
#include "expdata/expdata_test_util.hpp"
#include "expdata/fit_files.hpp"
#include "input/csd_test_tables.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"
#include "vis/fitvis.hpp"

using kvtest::EpsilonGuard;
using kvtest::fatal_text;
using kvtest::ScratchCwd;
using kvtest::StringFile;

namespace kv {
namespace {

std::string written(const std::function<void(FILE*)>& body) {
  kvtest::ScratchDir dir;
  {
    OutputFile f = qz_fopen_chk_wmode((dir / "out.txt").string());
    body(f.get());
    qz_fclose(f);
  }
  return dir.read("out.txt");
}

TEST(ParameterLine, EveryFlagForm) {
  fitpar p;
  p.name = "th1";
  p.expr = "th0+5";
  p.rst_val = 0.25;
  const auto line = [&](int flg) {
    p.flg = flg;
    return written([&](FILE* fp) { fprintf_cstr(p, 123.5, "thickness", fp); });
  };
  EXPECT_EQ(line(kFlgFix), "123.5  FIX  th1  #thickness\n");
  EXPECT_EQ(line(kFlgAdj), "123.5  ADJ  th1  #thickness\n");
  EXPECT_EQ(line(kFlgRst), "123.5  RST  th1  0.25  #thickness\n");
  EXPECT_EQ(line(kFlgCst), "th0+5  CST  th1  #thickness\n");
  EXPECT_EQ(fatal_text([&] { line(7); }), "$$(fprintf_cstr) Invalid flg(=7). Abort.\n");
}

// A fit-mode file with one crystal and two datasets, written and read back.
struct FitModeCase {
  EpsilonGuard guard;
  ScratchCwd cwd;
  csd cs;
  std::vector<fed> eds;
  std::vector<fei> eis;
  int max_iter = 0, num = 0;

  FitModeCase() {
    kvtest::IntFileRecipe s;
    s.num_thickness = 2;
    cwd.dir().write("m0.txt", kvtest::int_file_text(s));
    s.num_thickness = 1;
    s.reflexes = {{0, 0, 0}, {2, 2, 0}, {-2, -2, 0}};
    cwd.dir().write("m1.txt", kvtest::int_file_text(s));
    std::string crystal = kvtest::si_block(
        0.45, "LOW_ORDER_FG{\n1\n4\n1 1 1\n2.5 ADJ fe1\n0.1 FIX fi1\n}LOW_ORDER_FG\n");
    crystal.replace(crystal.find("1.0 FIX occ1"), 12, "0.9");  // no flag: automatic name
    crystal.replace(crystal.find("0.125 FIX z1"), 12, "x1 CST z1");
    const std::string block1 =
        "THICKNESS_BLOCK{\nSTW_PAR{\n2 FIX scB\nth0 CST thB\n0 FIX x1\n3 -1.5\n}STW_PAR\nREFLEX_SHIFT_PAR{\n"
        "0 0 0\n0.5 ADJ Ha\n0 FIX Ga\n2 2 0 0\n0.1 ADJ Hb\n0.2 RST Gb 0.3\n-2 -2 0 2.5\nHa CST Hc\nx1+0.5 CST Gc\n"
        "}REFLEX_SHIFT_PAR\n}THICKNESS_BLOCK\n";
    const std::string text =
        "FIT_MODE\nEPS_CONTROL_PARAMETERS{\nintensity_scaling 5000\neigen_eps 1e-3\nauto_multiplicity_off 1\n"
        "}EPS_CONTROL_PARAMETERS\n" +
        crystal + "FIT_CALCULATION_CONDITION{\nITER_EXP_NUM{\n30\n2\n}ITER_EXP_NUM\n" +
        kvtest::data_set_text("m0.txt", 2, 2, [](int t) { return kvtest::thickness_block_text(t, 2); }) +
        kvtest::data_set_text("m1.txt", 1, 3, [&](int) { return block1; }, "2\n3\n0.8\n",
                              "2\n20 2.5 0 1 0.8\n0.01 0.1 1000\n") +
        "}FIT_CALCULATION_CONDITION\n";
    cwd.dir().write("fit.dat", text);
    input_fit_mode_file("fit.dat", cs, &max_iter, &num, eds, eis);
  }
};

TEST(FitModeFile, ReadsEveryBlockAndEvaluatesDatasetConstraints) {
  FitModeCase c;
  EXPECT_EQ(c.max_iter, 30);
  ASSERT_EQ(c.num, 2);
  EXPECT_DOUBLE_EQ(epsilon.intensity_scaling, 5000.0);
  EXPECT_DOUBLE_EQ(c.cs.atoms[0].z, 0.125);
  EXPECT_DOUBLE_EQ(c.eds[1].tb[0].thickness, 500.0);  // th0 of the first dataset
  EXPECT_DOUBLE_EQ(c.eds[1].tb[0].H_shift[2], 0.5);
  // x1 names both a site coordinate (0.125) and a thickness width (0): each
  // record's constraints see their own name space.
  EXPECT_DOUBLE_EQ(c.eds[1].tb[0].G_shift[2], 0.5);
  EXPECT_EQ(c.eds[1].tb[0].H_shift_fp[1].flg, kFlgFix);  // weight 0
  EXPECT_EQ(c.eds[1].bs.flag_bs, 2);
  EXPECT_DOUBLE_EQ(c.eds[1].bs.s_g_max, 0.1);
}

TEST(FitModeFile, WrittenFileReadsBackWithFlagsExpressionsAndDefaults) {
  FitModeCase c;
  const std::string occ_name = c.cs.atom_fp[0][kApOcc].name;
  ASSERT_EQ(occ_name.rfind("id", 0), 0u);
  output_FIT_MODE_file("fit_out.txt", c.cs, c.max_iter, c.num, c.eds, c.eis);
  const std::string text = c.cwd.dir().read("fit_out.txt");
  const std::vector<std::string> lines = kvtest::split_lines(text);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_EQ(lines[0], "# fit_out.txt");
  EXPECT_EQ(lines[4], "FIT_MODE");
  EXPECT_EQ(lines[7], "intensity_scaling  5000  #Scaling incident beam intensity");
  EXPECT_EQ(lines[8], "auto_multiplicity_off  1  #0:normal 1:manual (for the split-atom method)");
  const auto has = [&](const std::string& l) {
    return std::find(lines.begin(), lines.end(), l) != lines.end();
  };
  EXPECT_TRUE(has("x1  CST  z1  #z (frac. coord.)"));
  EXPECT_TRUE(has("0.9  FIX  " + occ_name + "  #occupancy (0-1)"));
  EXPECT_TRUE(has("0    # B type (0: isotropic, 1:anisotropic)"));
  EXPECT_TRUE(has("th0  CST  thB  #thickness"));
  EXPECT_TRUE(has("0.2  RST  Gb  0.3  #G_shift"));
  EXPECT_TRUE(has("-2  -2  0  2.5  #h k l weight"));
  EXPECT_TRUE(has("3  -1.5"));
  EXPECT_TRUE(has("20  2.5  0  1  0.8"));
  EXPECT_TRUE(has("0.01  0.1  1000"));
  EXPECT_TRUE(has("-1  -1  -1"));  // the manual beam list of dataset 0
  EXPECT_TRUE(has("0.1  FIX  fi1  #f_inela [A]"));  // lof_type 4 keeps both lines per site

  csd cs2;
  std::vector<fed> eds2;
  std::vector<fei> eis2;
  int it = 0, n = 0;
  epsilon.eigen_eps = 0.5;
  input_fit_mode_file("fit_out.txt", cs2, &it, &n, eds2, eis2);
  EXPECT_EQ(it, 30);
  ASSERT_EQ(n, 2);
  EXPECT_DOUBLE_EQ(epsilon.intensity_scaling, 5000.0);
  EXPECT_EQ(epsilon.auto_multiplicity_off, 1);
  // Keys set away from their defaults are carried, so that the refined file
  // runs again under the same run control.
  EXPECT_DOUBLE_EQ(epsilon.eigen_eps, 0.001);
  EXPECT_TRUE(has("eigen_eps  0.001"));
  EXPECT_EQ(cs2.atom_fp[0][kApZ].flg, kFlgCst);
  EXPECT_EQ(cs2.atom_fp[0][kApZ].expr, "x1");
  EXPECT_DOUBLE_EQ(cs2.atoms[0].z, 0.125);
  EXPECT_EQ(cs2.atom_fp[0][kApOcc].name, occ_name);
  EXPECT_DOUBLE_EQ(cs2.atoms[0].occ, 0.9);
  ASSERT_EQ(cs2.lof_type, 4);
  EXPECT_DOUBLE_EQ(cs2.lofg_f[0][0].im, 0.1);
  EXPECT_EQ(cs2.lofg_f_fp[0][0][0].flg, kFlgAdj);
  for (int i = 0; i < 2; ++i) {
    const fed& a = c.eds[i];
    const fed& b = eds2[i];
    EXPECT_EQ(a.incidence, b.incidence);
    EXPECT_DOUBLE_EQ(a.tiltH, b.tiltH);
    EXPECT_EQ(a.tiltH_fp.flg, b.tiltH_fp.flg);
    EXPECT_EQ(a.num_cal_pix_side, b.num_cal_pix_side);
    EXPECT_DOUBLE_EQ(a.disksize, b.disksize);
    EXPECT_EQ(a.bs.flag_bs, b.bs.flag_bs);
    EXPECT_EQ(a.beams, b.beams);
    ASSERT_EQ(a.num_thick_block, b.num_thick_block);
    for (int t = 0; t < a.num_thick_block; ++t) {
      EXPECT_DOUBLE_EQ(a.tb[t].thickness, b.tb[t].thickness);
      EXPECT_EQ(a.tb[t].thickness_fp.flg, b.tb[t].thickness_fp.flg);
      EXPECT_EQ(a.tb[t].num_avrpix, b.tb[t].num_avrpix);
      EXPECT_DOUBLE_EQ(a.tb[t].avrpix_par, b.tb[t].avrpix_par);
      EXPECT_EQ(a.tb[t].weight, b.tb[t].weight);
      EXPECT_EQ(a.tb[t].H_shift, b.tb[t].H_shift);
      EXPECT_EQ(a.tb[t].G_shift, b.tb[t].G_shift);
      for (int r = 0; r < a.num_reflex; ++r) {
        EXPECT_EQ(a.tb[t].G_shift_fp[r].flg, b.tb[t].G_shift_fp[r].flg);
        EXPECT_EQ(a.tb[t].G_shift_fp[r].name, b.tb[t].G_shift_fp[r].name);
      }
    }
  }
  EXPECT_DOUBLE_EQ(eds2[1].tb[0].G_shift_fp[1].rst_val, 0.3);
}

TEST(FitModeFile, InvalidRecordsAreRejected) {
  csd cs;
  cs.num_atom = 1;
  cs.atoms.resize(1);
  cs.atom_fp.resize(1);
  cs.atoms[0].bf = 2;
  EXPECT_EQ(fatal_text([&] { written([&](FILE* fp) { print_CRYSTAL_STRUCTURE_DATA(fp, cs); }); }),
            "$$ Invalid b_flag. Abort.\n");
  cs.num_lofg = 1;
  cs.lof_type = 6;
  EXPECT_EQ(fatal_text([&] { written([&](FILE* fp) { print_LOW_ORDER_FG(fp, cs); }); }),
            "$$ Invalid lof_type (=6). Abort.\n");
}

TEST(FitResultFile, RowsOfPointsAndReadBackByTheResultPage) {
  FitModeCase c;
  fei& ei = c.eis[1];  // three reflections, one thickness, 3 x 3 points
  ASSERT_EQ(ei.num_cal_pix_side, 3);
  for (int r = 0; r < 3; ++r)
    for (int p = 0; p < 9; ++p) {
      ei.extr_int(r, 0, p) = 10 * r + p;
      ei.cal_int(r, 0, p) = 0.5 * p + r;
      ei.extr_sig(r, 0, p) = p == 4 ? -1.0 : 1.0;
    }
  const double lp[6] = {5.4309, 5.4309, 5.4309, 90, 90, 90};
  const std::string out = kvtest::capture_stdout([&] { fit_res_output(2, c.eds, c.eis, lp, "base_sf_fst"); });
  EXPECT_EQ(out, "Result: res file      -- base_sf_fst0.txt\nResult: res file      -- base_sf_fst1.txt\n");
  const std::vector<std::string> lines = kvtest::split_lines(c.cwd.dir().read("base_sf_fst1.txt"));
  const std::vector<std::string> head = {"FIT_RESULT", "#Dataset no. 1", "CR_PAR{", "# lattice parameter",
                                         "# a,b,c,alpha,beta,gamma", "5.4309  5.4309  5.4309  90  90  90",
                                         "1  1  0    # incident direction", "0  0  1    # zolzbase1",
                                         "0.1  -0.2    # tiltH tiltG", "0.8    # disksize", "}CR_PAR", "NUM{",
                                         "3    #num_reflex", "1    #num_thickness", "9  3    #num_pix, num_pix_side",
                                         "}NUM", "THICKNESS{", "RF{", "0  0  0  1   #h k l", "#Obs  Cal  Sig",
                                         "#(H, G) = (0,0)", "#(H, G) = (0,1)", "#     .....    "};
  ASSERT_GT(lines.size(), head.size() + 12);
  for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(lines[i], head[i]) << i;
  // Three rows of three points, each row followed by an empty line.
  const std::vector<std::string> rows = {"0  0  1", "1  0.5  1", "2  1  1", "",
                                         "3  1.5  1", "4  2  -1", "5  2.5  1", "",
                                         "6  3  1", "7  3.5  1", "8  4  1", "", "}RF", "RF{", "2  2  0  0   #h k l"};
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(lines[head.size() + i], rows[i]) << i;
  EXPECT_EQ(lines.back(), "}THICKNESS");

  kvtest::capture_stdout([&] { qz_fit_result_visualize("base_sf_fst1.txt", 2, 0, 0.0, 0.0); });
  const std::string page = c.cwd.dir().read("base_sf_fst1_.html");
  EXPECT_NE(page.find("-2 -2 0"), std::string::npos);
  EXPECT_NE(page.find("base_sf_fst1_2_1.png"), std::string::npos);
}

}  // namespace
}  // namespace kv
