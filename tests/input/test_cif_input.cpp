// CIF input: crystals written as CIFs in various settings must give the
// structure factors of the same crystal written as a crystal block in the
// space-group table's setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#define USE_STD_SNPRINTF 1
#include <gemmi/cif.hpp>
#include <gemmi/smcif.hpp>
#include <gemmi/symmetry.hpp>

#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"
#include "input/cif_input.hpp"
#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::capture_stdout;
using kvtest::fatal_text;
using kvtest::ScratchDir;
using kvtest::StringFile;

namespace kv {
namespace {

constexpr double kPi = 3.141592653589793;

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.12g", v);
  return buf;
}

csd read_block(const std::string& text) {
  epsilon = Epsilon{};
  StringFile f(text);
  csd cs;
  input_csd_cstr(cs, f.get(), "unused");
  return cs;
}

csd read_cif_block(const std::string& cif_path) {
  return read_block("CRYSTAL_STRUCTURE_DATA{\nCIF{\n" + cif_path +
                    "\n}CIF\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
}

complex fg(csd& cs, const Hkl& g) {
  const lattice_metric lm = bravai(cs.lp.data());
  int warn = 0;
  return calc_structure_factor(g, 200.0, lm, cs, &warn);
}

void expect_same_fg(csd& a, csd& b, const std::vector<Hkl>& hkls) {
  for (const Hkl& g : hkls) {
    const complex fa = fg(a, g), fb = fg(b, g);
    const double tol = 1e-6 * (1.0 + std::hypot(fa.re, fa.im));
    EXPECT_NEAR(fa.re, fb.re, tol) << g.h << " " << g.k << " " << g.l;
    EXPECT_NEAR(fa.im, fb.im, tol) << g.h << " " << g.k << " " << g.l;
  }
}

std::vector<Hkl> index_box(int n) {
  std::vector<Hkl> out;
  for (int h = -n; h <= n; ++h)
    for (int k = -n; k <= n; ++k)
      for (int l = -n; l <= n; ++l) out.push_back(Hkl{h, k, l});
  return out;
}

std::string cell_lines(double a, double b, double c, double al, double be, double ga) {
  return "_cell_length_a " + std::to_string(a) + "\n_cell_length_b " + std::to_string(b) +
         "\n_cell_length_c " + std::to_string(c) + "\n_cell_angle_alpha " + std::to_string(al) +
         "\n_cell_angle_beta " + std::to_string(be) + "\n_cell_angle_gamma " + std::to_string(ga) + "\n";
}

const char* kSiteLoop =
    "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
    "_atom_site_fract_z\n_atom_site_occupancy\n";

std::string iso_block(int sg, const std::string& lattice_lines, const std::vector<std::string>& sites) {
  std::string s = "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n" + std::to_string(sg) + "\n" + lattice_lines +
                  "}LATTICE\nATOM{\n" + std::to_string(sites.size()) + "\n";
  for (const std::string& site : sites) s += "SITE{\n" + site + "}SITE\n";
  return s + "}ATOM\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
}

TEST(CifInput, SiliconInOriginChoiceOneGivesTheFgOfTheTableSetting) {
  ScratchDir d;
  const auto cif = d.write("si.cif", "data_si\n" + cell_lines(5.431020511, 5.431020511, 5.431020511, 90, 90, 90) +
                                         "_symmetry_space_group_name_H-M 'F d -3 m :1'\n" + kSiteLoop +
                                         "_atom_site_B_iso_or_equiv\nSi1 Si 0 0 0 1 0.4632\n");
  csd from_cif = read_cif_block(cif.string());
  csd hand = read_block(iso_block(227,
                                  "5.431020511 FIX a\n5.431020511 FIX b\n5.431020511 FIX c\n90 FIX al\n90 FIX be\n"
                                  "90 FIX ga\n",
                                  {"Si\n0.125 FIX x\n0.125 FIX y\n0.125 FIX z\nISO\n0.4632 FIX b\n1 FIX o\n0\n"}));
  EXPECT_EQ(from_cif.sp_grp_no, 227);
  // Fd-3m with origin 1 puts Si at 0 0 0; the table's origin 2 at 1/8 1/8 1/8
  // (or its inversion image). A wrong origin flips the sign of F(222)-type
  // and odd reflections, which this comparison catches.
  expect_same_fg(from_cif, hand, {{1, 1, 1}, {2, 2, 0}, {3, 1, 1}, {2, 2, 2}, {4, 0, 0}, {3, 3, 1}, {5, 3, 1},
                                  {-1, 1, 1}, {2, 0, 0}, {4, 2, 2}});
  EXPECT_GT(std::abs(fg(hand, {1, 1, 1}).re), 1.0);
}

TEST(CifInput, TriclinicCellAndOccupancyTakenAsWritten) {
  ScratchDir d;
  const auto cif = d.write("p1.cif", "data_p1\n" + cell_lines(4.1, 5.2, 6.3, 81, 95, 103) +
                                         "_symmetry_space_group_name_H-M 'P 1'\n" + kSiteLoop +
                                         "_atom_site_U_iso_or_equiv\nCu1 Cu 0.1 0.2 0.3 0.5 0.01\n"
                                         "O1 O2- 0.6 0.25 0.05 1 0.02\n");
  csd from_cif = read_cif_block(cif.string());
  const double b1 = 8 * kPi * kPi * 0.01, b2 = 8 * kPi * kPi * 0.02;
  csd hand = read_block(iso_block(
      1, "4.1 FIX a\n5.2 FIX b\n6.3 FIX c\n81 FIX al\n95 FIX be\n103 FIX ga\n",
      {"Cu\n0.1 FIX x1\n0.2 FIX y1\n0.3 FIX z1\nISO\n" + std::to_string(b1) + " FIX b1\n0.5 FIX o1\n0\n",
       "O2-\n0.6 FIX x2\n0.25 FIX y2\n0.05 FIX z2\nISO\n" + std::to_string(b2) + " FIX b2\n1 FIX o2\n0\n"}));
  ASSERT_EQ(from_cif.num_atom, 2);
  EXPECT_EQ(from_cif.atoms[1].name, "O2-");
  expect_same_fg(from_cif, hand, {{1, 0, 0}, {0, 1, 1}, {1, -2, 1}, {2, 1, -3}, {-1, -1, 2}});
}

// |g|^2 and |F| of every reflection inside a sphere: independent of the
// choice of axes, so a crystal read in another setting must give the same list.
std::vector<std::pair<double, double>> g_f_list(csd& cs, double g2_max) {
  const lattice_metric lm = bravai(cs.lp.data());
  std::vector<std::pair<double, double>> out;
  for (const Hkl& h : index_box(14)) {
    const double g2 = sq_abs(Vec3{double(h.h), double(h.k), double(h.l)}, lm);
    if (g2 > g2_max || g2 == 0.0) continue;
    const complex f = fg(cs, h);
    out.emplace_back(std::round(g2 * 1e6) / 1e6, std::hypot(f.re, f.im));
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(CifInput, MonoclinicNGlideSettingMatchesTheExpandedStructure) {
  ScratchDir d;
  // P 1 21/n 1 with its operations listed, a general and an anisotropic site.
  const std::string cell = cell_lines(5.0, 6.0, 7.0, 90, 100, 90);
  const auto cif = d.write(
      "p21n.cif",
      "data_x\n" + cell +
          "loop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n-x+1/2,y+1/2,-z+1/2\n-x,-y,-z\nx+1/2,-y+1/2,z+1/2\n" +
          kSiteLoop + "_atom_site_U_iso_or_equiv\nGa1 Ga 0.1 0.2 0.3 1 0.01\nO1 O 0.3 0.1 0.4 1 0.012\n");
  csd from_cif = read_cif_block(cif.string());
  EXPECT_EQ(from_cif.sp_grp_no, 14);
  // The same crystal in P1 on the CIF's own axes, every image written out.
  const double ops[4][6] = {{1, 1, 1, 0, 0, 0}, {-1, 1, -1, 0.5, 0.5, 0.5}, {-1, -1, -1, 0, 0, 0},
                            {1, -1, 1, 0.5, 0.5, 0.5}};
  const double sites[2][4] = {{0.1, 0.2, 0.3, 0.01}, {0.3, 0.1, 0.4, 0.012}};
  std::string loop;
  for (int s = 0; s < 2; ++s)
    for (int o = 0; o < 4; ++o) {
      const double x = ops[o][0] * sites[s][0] + ops[o][3], y = ops[o][1] * sites[s][1] + ops[o][4],
                   z = ops[o][2] * sites[s][2] + ops[o][5];
      loop += (s == 0 ? "Ga" : "O") + std::to_string(10 * s + o) + (s == 0 ? " Ga " : " O ") + std::to_string(x) +
              " " + std::to_string(y) + " " + std::to_string(z) + " 1 " + std::to_string(sites[s][3]) + "\n";
    }
  const auto p1 = d.write("p1.cif", "data_p1\n" + cell + "_symmetry_space_group_name_H-M 'P 1'\n" + kSiteLoop +
                                        "_atom_site_U_iso_or_equiv\n" + loop);
  csd expanded = read_cif_block(p1.string());
  // The table's P 1 21/c 1 cell differs from the n-glide cell in c and beta.
  EXPECT_GT(std::abs(from_cif.lp[4] - 100.0), 1.0);
  const auto a = g_f_list(from_cif, 0.6), b = g_f_list(expanded, 0.6);
  ASSERT_GT(a.size(), 50u);
  ASSERT_EQ(a.size(), b.size());
  // Within one |g| the |F| are compared as sorted lists.
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_DOUBLE_EQ(a[i].first, b[i].first) << i;
    EXPECT_NEAR(a[i].second, b[i].second, 1e-6 * (1.0 + a[i].second)) << i;
  }
}

// Alpha-quartz P3_2 21 on hexagonal axes with anisotropic displacements
// given as U_ij, against the block with the matching beta coefficients.
TEST(CifInput, HexagonalAnisotropicQuartz) {
  const double a = 4.916, c = 5.4054;
  const double as = 2.0 / (a * std::sqrt(3.0)), cs = 1.0 / c;
  const double rs[3] = {as, as, cs};
  const int ij[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  const double beta_si[6] = {0.0093004, 0.0077975, 0.0048979, 0.0038988, -0.0000086, -0.0000172};
  const double beta_o[6] = {0.0190038, 0.0143971, 0.0083028, 0.0105964, -0.0024960, -0.0034996};
  auto u_of = [&](const double* beta) {
    std::string s;
    for (int k = 0; k < 6; ++k)
      s += " " + num(beta[k] / (2 * kPi * kPi * rs[ij[k][0]] * rs[ij[k][1]]));
    return s;
  };
  ScratchDir d;
  const auto cif = d.write(
      "quartz.cif", "data_q\n" + cell_lines(a, a, c, 90, 90, 120) + "_space_group_name_H-M_alt 'P 32 2 1'\n" +
                        kSiteLoop + "Si1 Si 0.4697 0 0.6666667 1\nO1 O 0.4135 0.2669 0.7857667 1\n" +
                        "loop_\n_atom_site_aniso_label\n_atom_site_aniso_U_11\n_atom_site_aniso_U_22\n"
                        "_atom_site_aniso_U_33\n_atom_site_aniso_U_12\n_atom_site_aniso_U_13\n"
                        "_atom_site_aniso_U_23\nSi1" +
                        u_of(beta_si) + "\nO1" + u_of(beta_o) + "\n");
  csd from_cif = read_cif_block(cif.string());
  auto aniso = [](const char* el, const std::string& xyz, const double* beta) {
    std::string s = std::string(el) + "\n" + xyz + "ANISO\n";
    for (int k = 0; k < 6; ++k) s += num(beta[k]) + " FIX p" + std::to_string(k) + "\n";
    return s + "1 FIX occ\n0\n";
  };
  csd hand = read_block(iso_block(154, "4.916 FIX a\n4.916 FIX b\n5.4054 FIX c\n90 FIX al\n90 FIX be\n120 FIX ga\n",
                                  {aniso("Si", "0.4697 FIX x\n0 FIX y\n" + num(2.0 / 3.0) + " FIX z\n", beta_si),
                                   aniso("O", "0.4135 FIX x\n0.2669 FIX y\n0.7857667 FIX z\n", beta_o)}));
  ASSERT_EQ(from_cif.num_atom, 2);
  EXPECT_EQ(from_cif.atoms[0].bf, 1);
  EXPECT_NEAR(from_cif.atoms[1].beta12, 0.0105964, 1e-6);
  expect_same_fg(from_cif, hand, {{1, 0, 0}, {1, 0, 1}, {1, 1, 0}, {2, -1, 3}, {0, 0, 3}, {3, 0, 2}, {2, 1, 4}});
}

TEST(CifInput, RhombohedralCorundumOnHexagonalAxes) {
  ScratchDir d;
  const auto cif = d.write("al2o3.cif", "data_c\n" + cell_lines(4.7605, 4.7605, 12.9956, 90, 90, 120) +
                                            "_symmetry_space_group_name_H-M 'R -3 c'\n" + kSiteLoop +
                                            "_atom_site_B_iso_or_equiv\nAl1 Al 0 0 0.35216 1 0.19\n"
                                            "O1 O 0.30668 0 0.25 1 0.24\n");
  csd from_cif = read_cif_block(cif.string());
  csd hand = read_block(iso_block(167, "4.7605 FIX a\n4.7605 FIX b\n12.9956 FIX c\n90 FIX al\n90 FIX be\n120 FIX ga\n",
                                  {"Al\n0 FIX x1\n0 FIX y1\n0.35216 FIX z1\nISO\n0.19 FIX b1\n1 FIX o1\n0\n",
                                   "O\n0.30668 FIX x2\n0 FIX y2\n0.25 FIX z2\nISO\n0.24 FIX b2\n1 FIX o2\n0\n"}));
  EXPECT_EQ(from_cif.hex_flag, 1);
  expect_same_fg(from_cif, hand, {{0, 1, 2}, {1, 0, 4}, {1, 1, 0}, {0, 0, 6}, {1, 1, 3}, {2, 0, 2}, {0, 0, 3}});
}

TEST(CifInput, MistakesAreNamed) {
  ScratchDir d;
  const auto no_cell = d.write("nocell.cif", "data_x\n_symmetry_space_group_name_H-M 'P 1'\n" + std::string(kSiteLoop) +
                                                 "A1 Si 0 0 0 1\n");
  EXPECT_NE(fatal_text([&] { read_cif_crystal(no_cell.string()); }).find("no _cell_length_a"), std::string::npos);
  const auto bad_sg = d.write("badsg.cif", "data_x\n" + cell_lines(4, 4, 4, 90, 90, 90) +
                                               "_symmetry_space_group_name_H-M 'P 9 q'\n" + kSiteLoop +
                                               "A1 Si 0 0 0 1\n");
  EXPECT_NE(fatal_text([&] { read_cif_crystal(bad_sg.string()); }).find("unknown space-group symbol \"P 9 q\""),
            std::string::npos);
  const std::string missing = fatal_text([&] { read_cif_crystal((d / "absent.cif").string()); });
  EXPECT_NE(missing.find("absent.cif"), std::string::npos);
}

// A value that is not a number once read as its default (an occupancy of
// "abc" became 1); '?', '.' and a standard uncertainty stay allowed.
TEST(CifInput, ValuesThatAreNoNumberAreNamed) {
  ScratchDir d;
  const std::string head = "data_x\n_symmetry_space_group_name_H-M 'P 1'\n";
  const std::string cell = cell_lines(4, 4, 4, 90, 90, 90);
  const std::pair<std::string, std::string> bad[] = {
      {cell + kSiteLoop + "A1 Si 0 0 0 abc\n", "_atom_site_occupancy value \"abc\" (row 1) is not a finite number"},
      {cell + kSiteLoop + "A1 Si 5.43l 0 0 1\n", "_atom_site_fract_x value \"5.43l\" (row 1) is not a finite number"},
      {cell_lines(4, 4, 4, 90, 90, 90).replace(0, 24, "_cell_length_a nan\n") + kSiteLoop + "A1 Si 0 0 0 1\n",
       "_cell_length_a value \"nan\" (row 1) is not a finite number"},
  };
  for (const auto& [body, message] : bad) {
    const auto cif = d.write("bad.cif", head + body);
    EXPECT_NE(fatal_text([&] { read_cif_crystal(cif.string()); }).find(message), std::string::npos) << body;
  }
  const auto fine = d.write("fine.cif", head + cell + kSiteLoop + "A1 Si 0.25(3) 0 0 ?\n");
  const CifCrystal c = read_cif_crystal(fine.string());
  ASSERT_EQ(c.sites.size(), 1u);
  EXPECT_DOUBLE_EQ(c.sites[0].x, 0.25);
  EXPECT_DOUBLE_EQ(c.sites[0].occ, 1.0);
}

TEST(CifInput, TalvisPrintsABlockThatReadsBackToTheSameCrystal) {
  ScratchDir d;
  d.write("si.cif", "data_si\n" + cell_lines(5.431, 5.431, 5.431, 90, 90, 90) +
                        "_symmetry_space_group_name_H-M 'F d -3 m :1'\n" + kSiteLoop +
                        "_atom_site_U_iso_or_equiv\nSi1 Si 0 0 0 1 0.006\n");
  const auto r = kvtest::run_program(TALVIS_EXE, {"cif", "si.cif"}, d.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("CRYSTAL_STRUCTURE_DATA{\n", 0), 0u);
  EXPECT_NE(r.out.find("FIX x_si1"), std::string::npos);
  csd printed = read_block(r.out);
  csd from_cif = read_cif_block((d / "si.cif").string());
  expect_same_fg(printed, from_cif, {{1, 1, 1}, {2, 2, 0}, {3, 1, 1}, {2, 2, 2}});
}

// ---- CIFs as they come: repeated operations, a moved origin, a symbol
// that disagrees with the operations, no displacements, a formula that
// disagrees with the sites. Each is read and compared, as |g| and |F| of
// every reflection in a sphere, with the same crystal expanded to P 1 by
// gemmi from a file in the group's own setting.

std::string ops_loop(const std::vector<gemmi::Op>& ops) {
  std::string s = "loop_\n_space_group_symop_operation_xyz\n";
  for (const gemmi::Op& op : ops) s += "'" + op.triplet() + "'\n";
  return s;
}

std::vector<gemmi::Op> ops_of(const gemmi::GroupOps& g) {
  std::vector<gemmi::Op> out;
  for (gemmi::Op op : g) out.push_back(op);
  return out;
}

const char* kBSiteLoop =
    "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
    "_atom_site_fract_z\n_atom_site_occupancy\n_atom_site_B_iso_or_equiv\n";

// The P 1 CIF of every site of `reference` in the unit cell, as gemmi
// expands a file that states its group by symbol.
std::string gemmi_p1(const std::string& reference) {
  gemmi::cif::Document doc = gemmi::cif::read_string(reference);
  gemmi::SmallStructure st = gemmi::make_small_structure_from_block(doc.blocks[0]);
  st.setup_cell_images();
  std::string s = "data_p1\n" + cell_lines(st.cell.a, st.cell.b, st.cell.c, st.cell.alpha, st.cell.beta,
                                            st.cell.gamma) +
                  "_symmetry_space_group_name_H-M 'P 1'\n" + kBSiteLoop;
  int n = 0;
  for (const gemmi::SmallStructure::Site& a : st.get_all_unit_cell_sites())
    s += a.element.name() + std::to_string(++n) + " " + a.element.name() + " " + num(a.fract.x) + " " +
         num(a.fract.y) + " " + num(a.fract.z) + " " + num(a.occ) + " " + num(8 * kPi * kPi * a.u_iso) + "\n";
  return s;
}

void expect_same_crystal(csd& a, csd& b) {
  const auto fa = g_f_list(a, 0.8), fb = g_f_list(b, 0.8);
  ASSERT_GT(fa.size(), 20u);
  ASSERT_EQ(fa.size(), fb.size());
  for (std::size_t i = 0; i < fa.size(); ++i) {
    EXPECT_DOUBLE_EQ(fa[i].first, fb[i].first) << i;
    EXPECT_NEAR(fa[i].second, fb[i].second, 1e-6 * (1.0 + fa[i].second)) << i;
  }
}

struct CifRun {
  csd crystal;
  std::string out;
};

CifRun read_cif_run(const std::string& path) {
  CifRun r;
  r.out = capture_stdout([&] { r.crystal = read_cif_block(path); });
  return r;
}

const std::string kQuartzCell = cell_lines(4.916, 4.916, 5.4054, 90, 90, 120);

// Quartz in P 31 2 1: the sites in the group's own setting, and the same
// crystal with its origin at (0, 0, 1/6) of that setting, operations and
// sites moved with it.
std::string quartz_sites(double dz) {
  const auto z = [&](double v) { return num(v + dz - std::floor(v + dz)); };
  return "Si1 Si 0.4697 0 " + z(1.0 / 3.0) + " 1 0.55\nO1 O 0.4135 0.2669 " + z(0.1191) + " 1 0.9\n";
}

TEST(CifAsTheyCome, RepeatedOperationsAreUsedOnce) {
  ScratchDir d;
  const std::vector<gemmi::Op> ops = ops_of(gemmi::find_spacegroup_by_name("P m -3 m")->operations());
  std::vector<gemmi::Op> twice = ops;
  twice.insert(twice.end(), ops.begin(), ops.end());
  const std::string head = "data_sto\n" + cell_lines(3.905, 3.905, 3.905, 90, 90, 90) +
                           "_symmetry_space_group_name_H-M 'P m -3 m'\n_chemical_formula_sum 'Sr Ti O3'\n"
                           "_cell_formula_units_Z 1\n";
  const std::string sites = std::string(kBSiteLoop) + "Sr1 Sr 0 0 0 1 0.5\nTi1 Ti 0.5 0.5 0.5 1 0.3\nO1 O 0.5 0.5 0 1 0.6\n";
  const auto cif = d.write("sto.cif", head + ops_loop(twice) + sites);
  CifRun r = read_cif_run(cif.string());
  EXPECT_EQ(r.crystal.sp_grp_no, 221);
  EXPECT_NE(r.out.find("96 symmetry operations listed, 48 of them distinct"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("atoms per cell Sr 1, Ti 1, O 3, as _chemical_formula_sum"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("$$ Warning"), std::string::npos) << r.out;
  csd expanded = read_cif_block(d.write("p1.cif", gemmi_p1(head + sites)).string());
  expect_same_crystal(r.crystal, expanded);
}

TEST(CifAsTheyCome, MovedOriginIsRecognisedAndTheSitesFollow) {
  ScratchDir d;
  gemmi::GroupOps moved = gemmi::find_spacegroup_by_name("P 31 2 1")->operations();
  gemmi::Op t = gemmi::Op::identity();
  t.tran = {0, 0, gemmi::Op::DEN / 6};
  moved.change_basis_forward(t);  // x' = x + (0, 0, 1/6)
  const std::string head = "data_q\n" + kQuartzCell +
                           "_symmetry_space_group_name_H-M 'P 31 2 1'\n_chemical_formula_sum 'Si O2'\n"
                           "_cell_formula_units_Z 3\n";
  const auto cif = d.write("qz.cif", head + ops_loop(ops_of(moved)) + kBSiteLoop + quartz_sites(1.0 / 6.0));
  CifRun r = read_cif_run(cif.string());
  EXPECT_EQ(r.crystal.sp_grp_no, 152);
  EXPECT_NE(r.out.find("with the origin moved; the sites are shifted by"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("atoms per cell Si 3, O 6, as _chemical_formula_sum 'Si O2' (Z = 3)"), std::string::npos)
      << r.out;
  csd expanded = read_cif_block(d.write("p1.cif", gemmi_p1(head + kBSiteLoop + quartz_sites(0))).string());
  expect_same_crystal(r.crystal, expanded);

  // The same file without its operations: the symbol's origin differs from
  // the sites', Si lands on a general position, and the count says so.
  const auto bare = d.write("bare.cif", head + kBSiteLoop + quartz_sites(1.0 / 6.0));
  const std::string out = read_cif_run(bare.string()).out;
  EXPECT_NE(out.find("$$ Warning: CIF " + bare.string() + ": atoms per cell Si 6, O 6 differ from "
                     "_chemical_formula_sum 'Si O2' (Z = 3: Si 3, O 6)"),
            std::string::npos)
      << out;
}

TEST(CifAsTheyCome, SymbolNumberAndOperationsThatDisagreeAreReported) {
  ScratchDir d;
  // Rutile: a symbol gemmi does not know, the number 136, and only the
  // eight proper rotations of P 42/m n m listed (they form P 42 21 2).
  const gemmi::SpaceGroup* sg136 = gemmi::find_spacegroup_by_name("P 42/m n m");
  std::vector<gemmi::Op> half;
  for (const gemmi::Op& op : ops_of(sg136->operations()))
    if (op.det_rot() > 0) half.push_back(op);
  ASSERT_EQ(half.size(), 8u);
  const std::string cell = cell_lines(4.5937, 4.5937, 2.9587, 90, 90, 90);
  const std::string sites = std::string(kBSiteLoop) + "Ti1 Ti 0 0 0 1 0.4\nO1 O 0.3053 0.3053 0 1 0.5\n";
  const auto cif = d.write("rutile.cif", "data_r\n" + cell + "_symmetry_space_group_name_H-M 'P 4/m n m'\n"
                                         "_space_group_IT_number 136\n" + ops_loop(half) + sites);
  CifRun r = read_cif_run(cif.string());
  EXPECT_EQ(r.crystal.sp_grp_no, 136);
  EXPECT_NE(r.out.find("its 8 symmetry operations form space group P 42 21 2 (No. 94), only part of P 42/m n m "
                       "(No. 136) (its number 136)"),
            std::string::npos)
      << r.out;
  csd expanded = read_cif_block(
      d.write("p1.cif", gemmi_p1("data_r\n" + cell + "_symmetry_space_group_name_H-M 'P 42/m n m'\n" + sites))
          .string());
  expect_same_crystal(r.crystal, expanded);

  // Operations of another group than the symbol's: the operations are used
  // and the disagreement named.
  const auto other = d.write("other.cif", "data_o\n" + cell + "_symmetry_space_group_name_H-M 'P 4/m m m'\n" +
                                              ops_loop(half) + sites);
  CifRun o = read_cif_run(other.string());
  EXPECT_EQ(o.crystal.sp_grp_no, 94);
  EXPECT_NE(o.out.find("its symmetry operations are space group P 42 21 2 (No. 94) but its symbol \"P 4/m m m\" is "
                       "P 4/m m m (No. 123); the operations are used"),
            std::string::npos)
      << o.out;
  // A symbol without its origin choice names the default setting; the
  // operations of the other origin are used, with a note and no warning.
  const std::vector<gemmi::Op> fd2 = ops_of(gemmi::find_spacegroup_by_name("F d -3 m :2")->operations());
  const auto si = d.write("si2.cif", "data_s\n" + cell_lines(5.431, 5.431, 5.431, 90, 90, 90) +
                                         "_symmetry_space_group_name_H-M 'F d -3 m'\n" + ops_loop(fd2) + kBSiteLoop +
                                         "Si1 Si 0.125 0.125 0.125 1 0.46\n");
  CifRun s2 = read_cif_run(si.string());
  EXPECT_EQ(s2.crystal.sp_grp_no, 227);
  EXPECT_NE(s2.out.find("its symmetry operations are the setting F d -3 m:2 of space group 227, its symbol \"F d -3 "
                        "m\" names the setting F d -3 m:1; the operations are used"),
            std::string::npos)
      << s2.out;
  EXPECT_EQ(s2.out.find("$$ Warning"), std::string::npos) << s2.out;
  EXPECT_NE(s2.out.find("atoms per cell Si 8"), std::string::npos) << s2.out;
  // Symbol and number that disagree with each other.
  const auto num_cif = d.write("num.cif", "data_n\n" + cell + "_symmetry_space_group_name_H-M 'P 42/m n m'\n"
                                                "_space_group_IT_number 123\n" + sites);
  CifRun n = read_cif_run(num_cif.string());
  EXPECT_EQ(n.crystal.sp_grp_no, 136);
  EXPECT_NE(n.out.find("is space group 136 but its number is 123"), std::string::npos) << n.out;
  EXPECT_NE(n.out.find("the symbol's space group P 42/m n m (No. 136) is used"), std::string::npos) << n.out;
}

TEST(CifAsTheyCome, MissingDisplacementsAreNamedAndTheBlockSaysSo) {
  ScratchDir d;
  const std::string body = "data_x\n" + cell_lines(5.431, 5.431, 5.431, 90, 90, 90) +
                           "_symmetry_space_group_name_H-M 'F d -3 m :2'\n" + kSiteLoop;
  const auto none = d.write("none.cif", body + "Si1 Si 0.125 0.125 0.125 1\n");
  CifRun r = read_cif_run(none.string());
  EXPECT_NE(r.out.find("no displacement parameters for any site; B = 0 is used"), std::string::npos) << r.out;
  EXPECT_EQ(r.crystal.atoms[0].b_iso, 0.0);
  // Given for one site and not the other: the other is named.
  const auto some = d.write("some.cif", "data_x\n" + cell_lines(5.65, 5.65, 5.65, 90, 90, 90) +
                                            "_symmetry_space_group_name_H-M 'F -4 3 m'\n" + kSiteLoop +
                                            "_atom_site_U_iso_or_equiv\nGa1 Ga 0 0 0 1 0.008\nAs1 As 0.25 0.25 0.25 1 ?\n");
  CifRun s2 = read_cif_run(some.string());
  EXPECT_NE(s2.out.find("no displacement parameters for As1; B = 0"), std::string::npos) << s2.out;
  EXPECT_NE(s2.out.find("atoms per cell Ga 4, As 4 (no _chemical_formula_sum"), std::string::npos) << s2.out;
  // talvis puts the notes in the block as comments and the warnings on
  // standard error; the block still reads.
  const auto t = kvtest::run_program(TALVIS_EXE, {"cif", "none.cif"}, d.path());
  ASSERT_EQ(t.status, 0) << t.out;
  EXPECT_NE(t.out.find("% $$ Warning: CIF none.cif: no displacement parameters"), std::string::npos) << t.out;
  EXPECT_NE(t.err.find("$$ Warning: CIF none.cif: no displacement parameters"), std::string::npos) << t.err;
  read_block(t.out);
}

// A formula with fractional counts and no Z is compared as proportions;
// partial occupancies count with their weight.
TEST(CifAsTheyCome, FormulaAgainstTheSites) {
  ScratchDir d;
  const std::string body = "data_x\n" + cell_lines(4.02, 4.02, 4.02, 90, 90, 90) +
                           "_symmetry_space_group_name_H-M 'P m -3 m'\n";
  const std::string sites = std::string(kBSiteLoop) +
                            "Pb1 Pb 0 0 0 1 3.98\nMg1 Mg 0.5 0.5 0.5 0.33 0.4\nNb1 Nb 0.5 0.5 0.5 0.67 0.4\n"
                            "O1 O 0.5 0.5 0 1 0.6\n";
  const auto good = d.write("pmn.cif", body + "_chemical_formula_sum 'Pb Mg0.33 Nb0.67 O3'\n" + sites);
  CifRun g = read_cif_run(good.string());
  EXPECT_NE(g.out.find("atoms per cell Pb 1, Mg 0.33, Nb 0.67, O 3, as _chemical_formula_sum"), std::string::npos)
      << g.out;
  EXPECT_NE(g.out.find("no Z, compared as proportions"), std::string::npos) << g.out;
  EXPECT_EQ(g.crystal.formula, "Mg0.33Nb0.67PbO3");  // electropositive first
  const auto bad = d.write("bad.cif", body + "_chemical_formula_sum 'Pb Mg0.33 Nb0.67 O3'\n_cell_formula_units_Z 2\n" +
                                          sites);
  CifRun b = read_cif_run(bad.string());
  EXPECT_NE(b.out.find("$$ Warning: CIF " + bad.string() + ": atoms per cell Pb 1, Mg 0.33, Nb 0.67, O 3 differ from "
                       "_chemical_formula_sum 'Pb Mg0.33 Nb0.67 O3' (Z = 2: Pb 2, Mg 0.66, Nb 1.34, O 6)"),
            std::string::npos)
      << b.out;
}

// A CIF on rhombohedral axes is used on the table's hexagonal axes: the
// reader says so and spells out the transformation, and the images it
// names are the same vectors (same |g| and |F| on the two metrics).
TEST(CifAsTheyCome, RhombohedralAxesNameTheTransformation) {
  ScratchDir d;
  const double ar = 5.1284, al = 55.28;
  const auto cif = d.write("rh.cif", "data_rh\n" + cell_lines(ar, ar, ar, al, al, al) +
                                         "_symmetry_space_group_name_H-M 'R -3 c :R'\n" + kBSiteLoop +
                                         "Al1 Al 0.35216 0.35216 0.35216 1 0.19\nO1 O 0.5567 -0.0567 0.25 1 0.24\n");
  CifRun r = read_cif_run(cif.string());
  EXPECT_EQ(r.crystal.sp_grp_no, 167);
  EXPECT_EQ(r.crystal.hex_flag, 1);
  EXPECT_NE(r.out.find("its axes (R -3 c:R) are not those of the table's setting R -3 c:H"), std::string::npos)
      << r.out;
  const std::string m = "reflections as (1 0 0) -> (0 -1 1), (0 1 0) -> (1 0 1), (0 0 1) -> (-1 1 1)";
  ASSERT_NE(r.out.find(m), std::string::npos) << r.out;
  // (h k l) on the rhombohedral metric against its named image on the
  // hexagonal one, with the hexagonal crystal's |F| for (h k l)_rh
  // combinations of the images equal among equivalents.
  const double lp_rh[6] = {ar, ar, ar, al, al, al};
  const lattice_metric rh = bravai(lp_rh), hx = bravai(r.crystal.lp.data());
  const int img[3][3] = {{0, -1, 1}, {1, 0, 1}, {-1, 1, 1}};
  for (const Hkl& h : index_box(2)) {
    const Vec3 g{double(h.h), double(h.k), double(h.l)};
    Vec3 gh{};
    for (int j = 0; j < 3; ++j) gh[j] = h.h * img[0][j] + h.k * img[1][j] + h.l * img[2][j];
    EXPECT_NEAR(sq_abs(g, rh), sq_abs(gh, hx), 1e-6) << h.h << h.k << h.l;
  }
  // (1 1 1)_rh is (0 0 3)_hex; (1 0 0)_rh, (0 1 0)_rh, (0 0 1)_rh are
  // equivalent by the threefold axis, and so are their images.
  const complex f1 = fg(r.crystal, {0, -1, 1}), f2 = fg(r.crystal, {1, 0, 1}), f3 = fg(r.crystal, {-1, 1, 1});
  EXPECT_NEAR(std::hypot(f1.re, f1.im), std::hypot(f2.re, f2.im), 1e-8);
  EXPECT_NEAR(std::hypot(f1.re, f1.im), std::hypot(f3.re, f3.im), 1e-8);
}

}  // namespace
}  // namespace kv
