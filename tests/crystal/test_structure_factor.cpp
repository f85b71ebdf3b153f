#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "crystal/data_table.hpp"
#include "crystal/structure_factor.hpp"
#include "input/crystal_data.hpp"
#include "input/csd_test_tables.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"
#include "support/run_program.hpp"

using kvtest::ScratchCwd;
using kvtest::StringFile;

namespace kv {
namespace {

constexpr double kPi = 3.141592653589793;

csd read_crystal(const std::string& text) {
  StringFile f(text);
  csd cs;
  input_csd_cstr(cs, f.get(), "unused");
  return cs;
}

lattice_metric metric(const csd& cs) { return bravai(cs.lp); }

double sq_s(const Hkl& g, const lattice_metric& lm) { return sq_abs(hkl2rhkl(g), lm) / 4.0; }

void expect_near(complex a, complex b, double tol, const std::string& what) {
  EXPECT_NEAR(a.re, b.re, tol) << what;
  EXPECT_NEAR(a.im, b.im, tol) << what;
}

std::string str(const Hkl& g) {
  return std::to_string(g.h) + " " + std::to_string(g.k) + " " + std::to_string(g.l);
}

// sum over the listed positions of f exp(-2 pi i g.r) exp(-B s^2).
complex hand_sum(const Hkl& g, const std::vector<Vec3>& pos, complex f, double b, double s2) {
  complex sum;
  for (const Vec3& r : pos) {
    const double phi = -2.0 * kPi * (g.h * r[0] + g.k * r[1] + g.l * r[2]);
    sum += complex{std::cos(phi), std::sin(phi)};
  }
  return f * (std::exp(-b * s2) * 1.0) * sum;
}

// Diamond positions with the origin at the centre of symmetry: +-(1/8,1/8,1/8)
// plus the face-centring translations.
std::vector<Vec3> diamond(const Vec3& shift = {0.125, 0.125, 0.125}) {
  const Vec3 fcc[4] = {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  std::vector<Vec3> pos;
  for (const Vec3& t : fcc) {
    pos.push_back({t[0] + shift[0], t[1] + shift[1], t[2] + shift[2]});
    pos.push_back({t[0] - shift[0], t[1] - shift[1], t[2] - shift[2]});
  }
  return pos;
}

std::vector<Vec3> fcc_at(const Vec3& r) {
  const Vec3 fcc[4] = {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  std::vector<Vec3> pos;
  for (const Vec3& t : fcc) pos.push_back({t[0] + r[0], t[1] + r[1], t[2] + r[2]});
  return pos;
}

std::string gaas_block() {
  return "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n216\n5.6533\n5.6533\n5.6533\n90\n90\n90\n}LATTICE\n"
         "ATOM{\n2\nSITE{\nGa\n0\n0\n0\nISO\n0.622\n1\n1\n}SITE\n"
         "SITE{\nAs\n0.25\n0.25\n0.25\nISO\n0.483\n1\n1\n}SITE\n}ATOM\n"
         "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
}

TEST(StructureFactor, SiliconAgainstHandSums) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(0.45));
  ASSERT_EQ(cs.num_sym_op, 192);
  const lattice_metric lm = metric(cs);
  const std::vector<Vec3> pos = diamond();
  for (const Hkl& g : {Hkl{1, 1, 1}, Hkl{2, 2, 0}, Hkl{4, 0, 0}, Hkl{3, 1, 1}, Hkl{-3, 3, 1},
                       Hkl{2, 0, 0}, Hkl{2, 2, 2}, Hkl{4, 4, 2}}) {
    const double s2 = sq_s(g, lm);
    const complex f{atomsf_xdt(s2, cs.xdts[0]), 0.0};
    const complex want = hand_sum(g, pos, f, 0.45, s2);
    expect_near(calc_Fg_ela(g, 200.0, lm, cs), want, 1e-9, "Fg_ela " + str(g));
  }
  // Closed forms 8 f T cos(pi (h + k + l) / 4): F(111) = -4 sqrt2 f T,
  // F(220) = F(400) = -8 f T.
  const auto closed = [&](const Hkl& g, double factor) {
    const double s2 = sq_s(g, lm);
    return factor * atomsf_xdt(s2, cs.xdts[0]) * std::exp(-0.45 * s2);
  };
  EXPECT_NEAR(calc_Fg_ela({1, 1, 1}, 200, lm, cs).re, closed({1, 1, 1}, -4 * std::sqrt(2.0)), 1e-9);
  EXPECT_NEAR(calc_Fg_ela({2, 2, 0}, 200, lm, cs).re, closed({2, 2, 0}, -8), 1e-9);
  EXPECT_NEAR(calc_Fg_ela({4, 0, 0}, 200, lm, cs).re, closed({4, 0, 0}, -8), 1e-9);

  // The full factor with tabulated elastic and absorptive parts (af 1).
  cs.atoms[0].af = 1;
  for (const Hkl& g : {Hkl{1, 1, 1}, Hkl{2, 2, 0}, Hkl{5, 3, 1}}) {
    const double s2 = sq_s(g, lm);
    complex f;
    ASSERT_EQ(atom_bk(cs.bks[0], std::sqrt(s2), 0.45, &f, 200.0), 0);
    int warn = -1;
    expect_near(calc_structure_factor(g, 200.0, lm, cs, &warn), hand_sum(g, pos, f, 0.45, s2),
                1e-9, "F " + str(g));
    EXPECT_EQ(warn, 0);
  }
}

TEST(StructureFactor, GlideAndCentringZeros) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(0.45));
  cs.atoms[0].af = 1;
  const lattice_metric lm = metric(cs);
  int warn = -1;
  // 200 and 222 pass the centring rule; the d glide zeroes them in the sum.
  for (const Hkl& g : {Hkl{2, 0, 0}, Hkl{2, 2, 2}, Hkl{0, 0, 6}}) {
    EXPECT_EQ(extinction_rule(g, cs.lattice_type, cs.hex_flag), 0);
    const complex f = structure_factor_ext(g, 200.0, lm, cs, &warn);
    EXPECT_LT(c_abs(f), 1e-12) << str(g);
  }
  // A voltage out of range makes the table evaluation fail: the flag shows
  // it for computed reflections, but a centring-forbidden one is 0 with
  // flag 0 without being computed.
  structure_factor_ext({2, 0, 0}, 0.0, lm, cs, &warn);
  EXPECT_EQ(warn, 1);
  for (const Hkl& g : {Hkl{1, 0, 0}, Hkl{1, 1, 0}, Hkl{2, 1, 1}}) {
    warn = -1;
    const complex f = structure_factor_ext(g, 0.0, lm, cs, &warn);
    EXPECT_EQ(f.re, 0.0);
    EXPECT_EQ(f.im, 0.0);
    EXPECT_EQ(warn, 0) << str(g);
  }
  // s beyond the electron table.
  structure_factor_ext({20, 20, 20}, 200.0, lm, cs, &warn);
  EXPECT_EQ(warn, 1);
}

TEST(StructureFactor, FriedelPairsOfANonCentrosymmetricCrystal) {
  ScratchCwd cwd;
  csd cs = read_crystal(gaas_block());
  ASSERT_EQ(cs.num_sym_op, 96);
  const lattice_metric lm = metric(cs);
  for (const Hkl& g : {Hkl{1, 1, 1}, Hkl{2, 0, 0}, Hkl{3, 1, 1}, Hkl{1, 3, -1}, Hkl{4, 2, 0}}) {
    const Hkl mg{-g.h, -g.k, -g.l};
    const complex a = calc_Fg_ela(g, 200, lm, cs);
    const complex ib = calc_Fg_inela(g, 200, lm, cs);
    const complex b{ib.im, -ib.re};  // F_inela = i B
    expect_near(calc_Fg_ela(mg, 200, lm, cs), c_conj(a), 1e-10, "elastic " + str(g));
    int warn;
    const complex want = c_conj(a) + complex{0, 1} * c_conj(b);
    expect_near(calc_structure_factor(mg, 200, lm, cs, &warn), want, 1e-10, "total " + str(g));
    // Independent sum over the eight atoms of the cell.
    const double s2 = sq_s(g, lm);
    complex fga, fas;
    atom_bk(cs.bks[0], std::sqrt(s2), 0.622, &fga, 200);
    atom_bk(cs.bks[1], std::sqrt(s2), 0.483, &fas, 200);
    const complex hand = hand_sum(g, fcc_at({0, 0, 0}), complex{fga.re, 0}, 0.622, s2) +
                         hand_sum(g, fcc_at({0.25, 0.25, 0.25}), complex{fas.re, 0}, 0.483, s2);
    expect_near(a, hand, 1e-10, "hand " + str(g));
  }
  // Without a centre of symmetry F(111) and F(-1-1-1) differ.
  int warn;
  const complex f = calc_structure_factor({1, 1, 1}, 200, lm, cs, &warn);
  const complex fm = calc_structure_factor({-1, -1, -1}, 200, lm, cs, &warn);
  EXPECT_GT(c_abs(f - fm), 0.05 * c_abs(f));
}

TEST(StructureFactor, CentrosymmetricElasticPartIsReal) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(0.45));
  const lattice_metric lm = metric(cs);
  double largest = 0;
  for (int h = -3; h <= 3; ++h)
    for (int k = -3; k <= 3; ++k)
      for (int l = -3; l <= 3; ++l) {
        const complex f = calc_Fg_ela({h, k, l}, 200, lm, cs);
        const complex fm = calc_Fg_ela({-h, -k, -l}, 200, lm, cs);
        EXPECT_LT(std::fabs(f.im), 1e-12) << h << k << l;
        EXPECT_NEAR(f.re, fm.re, 1e-12);
        largest = std::max(largest, std::fabs(f.re));
      }
  EXPECT_GT(largest, 1.0);
}

// Every entry that stock_fg_tbl_sym stores must equal the structure factor
// computed directly for its indices.
void check_equivalents(csd& cs, const Hkl& g, int expected_count) {
  const lattice_metric lm = metric(cs);
  fg_table t;
  stock_fg_tbl_sym(g, calc_Fg_ela(g, 200, lm, cs), t, cs);
  EXPECT_EQ(t.num, expected_count) << str(g);
  const double scale = c_abs(t.fg[0]);
  EXPECT_GT(scale, 1e-3) << str(g);
  for (int i = 0; i < t.num; ++i) {
    EXPECT_EQ(search_g_table(t.num, t.g[i], t.g.data()), i);  // no duplicates
    expect_near(t.fg[i], calc_Fg_ela(t.g[i], 200, lm, cs), 1e-6 * scale,
                "equivalent " + str(t.g[i]) + " of " + str(g));
  }
}

TEST(StructureFactor, EquivalentsCarryTheTranslationPhase) {
  ScratchCwd cwd;
  // P2_1 2_1 2_1: screw axes only, a general position gives complex F.
  csd p212121 = read_crystal(
      "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n19\n5\n6\n7\n90\n90\n90\n}LATTICE\nATOM{\n1\n"
      "SITE{\nSi\n0.11\n0.23\n0.37\nISO\n0.3\n1\n0\n}SITE\n}ATOM\n"
      "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
  check_equivalents(p212121, {1, 2, 3}, 4);
  // Four- and sixfold screw axes: translations of 1/4 and 1/6 give phase
  // factors other than +-1, so the sign of the phase matters.
  for (const char* group : {"76\n4.1\n4.1\n6.3\n90\n90\n90\n", "169\n4.1\n4.1\n9.3\n90\n90\n120\n"}) {
    csd screw = read_crystal(std::string("CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n") + group +
                             "}LATTICE\nATOM{\n1\nSITE{\nSi\n0.11\n0.23\n0.37\nISO\n0.3\n1\n0\n}SITE\n"
                             "}ATOM\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
    check_equivalents(screw, {1, 2, 1}, screw.num_sym_op);
    check_equivalents(screw, {2, 1, 3}, screw.num_sym_op);
  }
  // Fd-3m with the origin at the centre: the 111 family has both signs.
  csd si = read_crystal(kvtest::si_block(0.45));
  check_equivalents(si, {1, 1, 1}, 8);
  check_equivalents(si, {3, 1, 1}, 24);
  check_equivalents(si, {5, 3, 1}, 48);
  // R-3c on hexagonal axes (corundum): threefold axes of the hexagonal cell
  // and the c glide. (Family sizes as counted by gemmi for R -3 c:H.)
  csd al2o3 = read_crystal(
      "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n167\n4.7605\n4.7605\n12.9956\n90\n90\n120\n}LATTICE\n"
      "ATOM{\n2\nSITE{\nAl\n0\n0\n0.35216\nISO\n0.3\n1\n0\n}SITE\n"
      "SITE{\nO\n0.30668\n0\n0.25\nISO\n0.4\n1\n0\n}SITE\n}ATOM\n"
      "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
  ASSERT_EQ(al2o3.num_sym_op, 36);
  ASSERT_EQ(al2o3.hex_flag, 1);
  EXPECT_NEAR(al2o3.atoms[0].multiplicity, 12.0 / 36.0, 1e-12);
  EXPECT_NEAR(al2o3.atoms[1].multiplicity, 18.0 / 36.0, 1e-12);
  check_equivalents(al2o3, {1, 0, 4}, 6);
  check_equivalents(al2o3, {1, 1, 3}, 12);
  check_equivalents(al2o3, {2, 1, 4}, 12);
}

TEST(StructureFactor, LowOrderValuesOverrideEveryEquivalent) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(
      0.45, "LOW_ORDER_FG{\n1\n1\n1 1 1\n-3.0 FIX F111r\n0.1 FIX F111i\n}LOW_ORDER_FG\n"));
  cs.atoms[0].af = 1;
  const lattice_metric lm = metric(cs);
  fg_table t;
  stock_lofg_tbl(t, 200, lm, cs);
  EXPECT_EQ(t.num, 8);
  // Compute a few other reflections first: they must not replace anything.
  int warn;
  for (const Hkl& g : {Hkl{2, 2, 0}, Hkl{3, 1, 1}, Hkl{0, 0, 4}}) structure_factor_ext_tbl(g, 200, lm, cs, t, &warn);
  const complex given{-3.0, 0.1};
  const Hkl g{1, 1, 1};
  for (int k = 0; k < cs.num_sym_op; ++k) {
    const sym_op& op = cs.sym_ops[k];
    Hkl gr;
    int v[3];
    for (int c = 0; c < 3; ++c)
      v[c] = static_cast<int>(op.rot[3 * c]) * g.h + static_cast<int>(op.rot[3 * c + 1]) * g.k +
             static_cast<int>(op.rot[3 * c + 2]) * g.l;
    gr = Hkl{v[0], v[1], v[2]};
    const double phase = 2 * kPi * (g.h * op.trans[0] + g.k * op.trans[1] + g.l * op.trans[2]);
    warn = -1;
    const complex got = structure_factor_ext_tbl(gr, 200, lm, cs, t, &warn);
    expect_near(got, given * complex{std::cos(phase), std::sin(phase)}, 1e-12, "op " + std::to_string(k));
    EXPECT_EQ(warn, 0);
  }
  expect_near(structure_factor_ext_tbl(g, 200, lm, cs, t, &warn), given, 0, "111");

  // lof_type 3 with the computed atomic factors reproduces the computed F;
  // type 4 adds the absorptive part once more; type 2 adds it to the given
  // elastic value.
  const double s2 = sq_s(g, lm);
  complex f;
  atom_bk(cs.bks[0], std::sqrt(s2), 0.45, &f, 200);
  cs.lof_type = 3;
  cs.lofg_f = {{f}};
  const complex computed = calc_structure_factor(g, 200, lm, cs, &warn);
  expect_near(lofg_to_fg(0, 200, lm, cs), computed, 1e-12, "type 3");
  cs.lof_type = 4;
  expect_near(lofg_to_fg(0, 200, lm, cs), computed + calc_Fg_inela(g, 200, lm, cs), 1e-12, "type 4");
  cs.lof_type = 2;
  expect_near(lofg_to_fg(0, 200, lm, cs), given + calc_Fg_inela(g, 200, lm, cs), 1e-12, "type 2");
  cs.lof_type = 6;
  EXPECT_THROW(lofg_to_fg(0, 200, lm, cs), FatalError);
}

TEST(StructureFactor, LowOrderFamilyThatDoesNotFitIsFatal) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(
      0.45,
      "LOW_ORDER_FG{\n2\n1\n1 1 1\n-3.0\n0.1\n2 2 0\n-2.0\n0.1\n}LOW_ORDER_FG\n"));
  const lattice_metric lm = metric(cs);
  fg_table roomy(20);
  stock_lofg_tbl(roomy, 200, lm, cs);
  EXPECT_EQ(roomy.num, 20);  // 8 + 12 fit exactly
  fg_table small(10);
  try {
    stock_lofg_tbl(small, 200, lm, cs);
    ADD_FAILURE() << "no error";
  } catch (const FatalError& e) {
    EXPECT_NE(e.text().find("cannot hold LOW_ORDER_FG 2 2 0"), std::string::npos) << e.text();
  }
}

TEST(StructureFactor, AnisotropicSiteWritesBeqIntoBiso) {
  ScratchCwd cwd;
  const double a = 5.4309, beta = 0.004;
  std::string text = kvtest::si_block(0.0);
  std::ostringstream aniso;
  aniso << "ANISO\n" << beta << "\n" << beta << "\n" << beta << "\n0\n0\n0\n";
  text.replace(text.find("ISO\n0 FIX b1\n"), 13, aniso.str());
  csd cs = read_crystal(text);
  ASSERT_EQ(cs.atoms[0].bf, 1);
  EXPECT_EQ(cs.atoms[0].b_iso, 0.0);
  cs.atoms[0].af = 1;
  const lattice_metric lm = metric(cs);
  int warn;
  const complex fa = calc_structure_factor({3, 1, 1}, 200, lm, cs, &warn);
  const double beq = 4.0 * a * a * beta;
  EXPECT_NEAR(cs.atoms[0].b_iso, beq, 1e-12);
  // Equal betas on a cubic cell are an isotropic B of B_eq.
  csd iso = read_crystal(kvtest::si_block(0.0));
  iso.atoms[0].b_iso = beq;
  iso.atoms[0].af = 1;
  expect_near(fa, calc_structure_factor({3, 1, 1}, 200, lm, iso, &warn), 1e-10, "aniso vs iso");

  // Unequal betas: the value written is bij_to_beq of the site.
  cs.atoms[0].beta11 = 0.002;
  cs.atoms[0].beta12 = 0.0005;
  calc_Fg_inela({1, 1, 1}, 200, lm, cs);
  EXPECT_NEAR(cs.atoms[0].b_iso, bij_to_beq(lm, cs.atoms[0]), 1e-15);
  EXPECT_NE(cs.atoms[0].b_iso, beq);
}

TEST(StructureFactor, TableFillsToCapacityAndThenRecomputes) {
  ScratchCwd cwd;
  csd cs = read_crystal(
      "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n225\n3.615\n3.615\n3.615\n90\n90\n90\n}LATTICE\n"
      "ATOM{\n1\nSITE{\nCu\n0\n0\n0\nISO\n0.55\n1\n1\n}SITE\n}ATOM\n"
      "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
  const lattice_metric lm = metric(cs);
  fg_table t;
  ASSERT_EQ(t.capacity, 1000);
  int warn;
  int n = 0;
  Hkl outside{0, 0, 0};
  bool found_outside = false;
  for (int h = 0; h <= 12 && !found_outside; ++h)
    for (int k = 0; k <= h && !found_outside; ++k)
      for (int l = 0; l <= k; ++l) {
        const Hkl g{h, k, l};
        if (extinction_rule(g, "F", 0) != 0) continue;
        if (t.num == t.capacity && search_g_table(t.num, g, t.g.data()) < 0) {
          outside = g;
          found_outside = true;
          break;
        }
        structure_factor_ext_tbl(g, 200, lm, cs, t, &warn);
        ASSERT_LE(t.num, 1000);
        ++n;
      }
  ASSERT_TRUE(found_outside);
  EXPECT_EQ(t.num, 1000);
  // The last stored entry is a complete, correct value.
  expect_near(t.fg[999], structure_factor_ext(t.g[999], 200, lm, cs, &warn), 1e-10, "entry 999");
  // A reflection the full table does not hold is computed each time.
  const complex f1 = structure_factor_ext_tbl(outside, 200, lm, cs, t, &warn);
  EXPECT_EQ(t.num, 1000);
  expect_near(f1, structure_factor_ext(outside, 200, lm, cs, &warn), 0, "outside");
  EXPECT_GT(c_abs(f1), 0.0);

  // A small table stops in the middle of a family.
  std::vector<Hkl> g5(5);
  std::vector<complex> f5(5);
  int n5 = 0;
  stock_fg_tbl_sym({5, 3, 1}, complex{1, 0}, &n5, 5, g5.data(), f5.data(), cs.num_sym_op,
                   cs.sym_ops.data());
  EXPECT_EQ(n5, 5);
  EXPECT_EQ(g5[0], (Hkl{5, 3, 1}));
  stock_fg_tbl_sym({1, 1, 1}, complex{1, 0}, &n5, 5, g5.data(), f5.data(), cs.num_sym_op,
                   cs.sym_ops.data());
  EXPECT_EQ(search_g_table(n5, {1, 1, 1}, g5.data()), -1);
}

TEST(StructureFactor, ForwardScatteringOfSilicon) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(0.0));
  const lattice_metric lm = metric(cs);
  int warn;
  const complex f000 = calc_structure_factor({0, 0, 0}, 200, lm, cs, &warn);
  EXPECT_NEAR(f000.re, 8.0 * atomsf_xdt(0.0, cs.xdts[0]), 1e-12);
  complex f0;
  atom_bk(cs.bks[0], 0.0, 0.0, &f0, 100.0);
  EXPECT_NEAR(calc_F_0_re(cs), 8.0 * f0.re, 1e-12);
  EXPECT_NEAR(calc_z_factor({0, 0, 0}, lm, cs).re, 8.0 * 14.0, 1e-12);
}

TEST(StructureFactor, PotentialConversionsAgree) {
  ScratchCwd cwd;
  csd cs = read_crystal(kvtest::si_block(0.45));
  const lattice_metric lm = metric(cs);
  const complex f{-2.5, 0.07};
  const complex vg = fg_to_vg(f, lm);
  EXPECT_NEAR(vg.re, 47.8776714 * f.re / lm.vol, 1e-9);
  EXPECT_NEAR(vg.im, 47.8776714 * f.im / lm.vol, 1e-9);
  const double gamma = relativ_corr(200), lambda = wavelength(200);
  expect_near(vg_to_ug(vg, gamma), fg_to_ug(f, 200, lm), 1e-15, "U_g");
  EXPECT_NEAR(vg_to_xig(vg, gamma, lambda), fg_to_xig2(f, gamma, lambda, lm), 1e-9);
  EXPECT_NEAR(fg_to_xig2(f, gamma, lambda, lm), 1.0 / (lambda * c_abs(fg_to_ug(f, 200, lm))), 1e-9);
  EXPECT_EQ(vg_to_xig(complex{}, gamma, lambda), 1e10);
  EXPECT_EQ(fg_to_xig2(complex{1e-13, 0}, gamma, lambda, lm), 1e10);
}

TEST(StructureFactor, PotentialDumpFile) {
  ScratchCwd cwd;
  CMatrix vg(2, 2);
  vg[0][1] = complex{1.5, -0.25};
  const int saved = dbg.vg_dump_flag;
  const std::string saved_name = dbg.base_name;
  dbg.base_name = "run";
  dbg.vg_dump_flag = 0;
  debug_vg_dump(vg, 2);
  EXPECT_FALSE(std::filesystem::exists(cwd.dir() / "run_vg.txt"));
  dbg.vg_dump_flag = 1;
  const std::string out = kvtest::capture_stdout([&] { debug_vg_dump(vg, 2); });
  dbg.vg_dump_flag = saved;
  dbg.base_name = saved_name;
  EXPECT_EQ(out, "vg_data output ==> run_vg.txt\n");
  EXPECT_EQ(cwd.dir().read("run_vg.txt"),
            "Vg: [Volt]\n0\t0\t0\t0\n1\t0\t0\t0\n0\t1\t1.5\t-0.25\n1\t1\t0\t0\n");
}

// Silicon with the electron table that accompanies the programs: the
// figures of the strong low-order reflections at 200 kV, printed, and
// checked against the magnitudes of textbook extinction distances.
TEST(StructureFactor, SiliconFiguresAt200kV) {
  ScratchCwd cwd(false);
  if (!locate_data_table("korvexbk.dat")) GTEST_SKIP() << "korvexbk.dat not available";
  csd cs = read_crystal(kvtest::si_block(0.4632));
  const lattice_metric lm = metric(cs);
  const double kv = 200.0, gamma = relativ_corr(kv), lambda = wavelength(kv);
  struct Row {
    Hkl g;
    double xi_lo, xi_hi;
  };
  for (cs.atoms[0].af = 0; cs.atoms[0].af <= 1; ++cs.atoms[0].af) {
    for (const Row& r : {Row{{1, 1, 1}, 650, 900}, Row{{2, 2, 0}, 800, 1150}, Row{{4, 0, 0}, 1300, 1950}}) {
      int warn;
      const complex f = structure_factor_ext(r.g, kv, lm, cs, &warn);
      const complex u = fg_to_ug(f, kv, lm);
      const double xi = fg_to_xig2(f, gamma, lambda, lm);
      std::printf("Si %s af %d: F = %.5f %+.5fi A, U_g = %.6f %+.6fi 1/A^2, xi_g = %.1f A\n",
                  str(r.g).c_str(), cs.atoms[0].af, f.re, f.im, u.re, u.im, xi);
      EXPECT_EQ(warn, 0);
      EXPECT_GT(xi, r.xi_lo) << str(r.g);
      EXPECT_LT(xi, r.xi_hi) << str(r.g);
      // One kind of atom: the absorptive part carries the phase of the
      // elastic part and is of the order of a per cent of it.
      EXPECT_GT(f.im / f.re, 0.001);
      EXPECT_LT(f.im / f.re, 0.05);
    }
  }
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

// The reflections g_i - g_j of a list of beams, row by row.
std::vector<Hkl> pair_differences(const std::vector<Hkl>& beams) {
  std::vector<Hkl> h;
  for (const Hkl& a : beams)
    for (const Hkl& b : beams) h.push_back(Hkl{a.h - b.h, a.k - b.k, a.l - b.l});
  return h;
}

bool same_bits(complex a, complex b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct walked {
  std::vector<complex> value;
  std::vector<int> warn;
  fg_table table;
  int computations = 0;
};

// Every look-up through structure_factor_ext_tbl in turn.
walked serial_walk(csd cs, const lattice_metric& lm, const std::vector<Hkl>& h, int capacity) {
  walked w{{}, {}, fg_table(capacity)};
  stock_lofg_tbl(w.table, 200, lm, cs);
  for (const Hkl& g : h) {
    if (search_g_table(w.table.num, g, w.table.g.data()) < 0) ++w.computations;
    int warn = -1;
    w.value.push_back(structure_factor_ext_tbl(g, 200, lm, cs, w.table, &warn));
    w.warn.push_back(warn);
  }
  return w;
}

// The walk planned first, its reflections computed last to first on a
// crystal that must not change, then replayed.
walked planned_walk(const csd& cs, const lattice_metric& lm, const std::vector<Hkl>& h, int capacity,
                    fg_table_walk* plan) {
  walked w{{}, {}, fg_table(capacity)};
  csd lofg = cs;
  stock_lofg_tbl(w.table, 200, lm, lofg);
  *plan = plan_fg_table_walk(w.table, h.data(), h.size(), cs);
  const std::size_t m = plan->computed.size();
  std::vector<complex> fg(m);
  std::vector<int> warn(m, -1);
  for (std::size_t r = m; r-- > 0;) fg[r] = structure_factor_ext_shared(plan->computed[r], 200, lm, cs, &warn[r]);
  w.computations = static_cast<int>(m);
  for (std::size_t k = 0; k < h.size(); ++k) {
    w.value.push_back(fg_table_walk_value(w.table, *plan, k, h[k], fg.data(), cs));
    w.warn.push_back(plan->source[k] >= 0 ? 0 : warn[-1 - plan->source[k]]);
  }
  return w;
}

void expect_same_walk(const walked& a, const walked& b, const std::vector<Hkl>& h, const std::string& what) {
  ASSERT_EQ(a.value.size(), b.value.size()) << what;
  int differ = 0;
  for (std::size_t k = 0; k < h.size(); ++k)
    if (!same_bits(a.value[k], b.value[k]) || a.warn[k] != b.warn[k]) {
      if (++differ <= 3) ADD_FAILURE() << what << ": look-up " << k << " (" << str(h[k]) << ")";
    }
  EXPECT_EQ(differ, 0) << what;
  ASSERT_EQ(a.table.num, b.table.num) << what;
  for (int e = 0; e < a.table.num; ++e) {
    EXPECT_EQ(a.table.g[e], b.table.g[e]) << what << ": entry " << e;
    EXPECT_TRUE(same_bits(a.table.fg[e], b.table.fg[e])) << what << ": entry " << e;
  }
}

// Zero-order reflections h k 0 ... of a zone: the beams of a small job.
std::vector<Hkl> zone_beams(int reach, const Hkl& u, const Hkl& v) {
  std::vector<Hkl> b;
  for (int p = -reach; p <= reach; ++p)
    for (int q = -reach; q <= reach; ++q)
      b.push_back(Hkl{p * u.h + q * v.h, p * u.k + q * v.k, p * u.l + q * v.l});
  return b;
}

// A planned walk gives the values, warnings and table of the serial one,
// bit for bit, whatever order its reflections are computed in: with given
// low-order values, an anisotropic site, screw and glide translations, and
// a table that fills up part way.
TEST(StructureFactorWalk, ReplayIsTheSerialWalkBitForBit) {
  ScratchCwd cwd;
  std::string si_text = kvtest::si_block(
      0.0, "LOW_ORDER_FG{\n1\n1\n1 1 1\n-3.0 FIX F111r\n0.1 FIX F111i\n}LOW_ORDER_FG\n");
  si_text.replace(si_text.find("ISO\n0 FIX b1\n"), 13, "ANISO\n0.004\n0.003\n0.005\n0.0005\n0\n0\n");
  csd si = read_crystal(si_text);
  ASSERT_EQ(si.atoms[0].bf, 1);
  csd al2o3 = read_crystal(
      "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n167\n4.7605\n4.7605\n12.9956\n90\n90\n120\n}LATTICE\n"
      "ATOM{\n2\nSITE{\nAl\n0\n0\n0.35216\nISO\n0.3\n1\n0\n}SITE\n"
      "SITE{\nO\n0.30668\n0\n0.25\nISO\n0.4\n1\n1\n}SITE\n}ATOM\n"
      "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
  csd p212121 = read_crystal(
      "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n19\n5\n6\n7\n90\n90\n90\n}LATTICE\nATOM{\n1\n"
      "SITE{\nSi\n0.11\n0.23\n0.37\nISO\n0.3\n1\n0\n}SITE\n}ATOM\n"
      "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
  struct Case {
    const char* name;
    const csd* cs;
    std::vector<Hkl> beams;
  };
  const Case cases[] = {{"Si [1-10]", &si, zone_beams(3, {1, 1, 0}, {0, 0, 1})},
                        {"Al2O3 [2-10]", &al2o3, zone_beams(3, {0, 0, 1}, {1, 2, 0})},
                        {"P212121 [001]", &p212121, zone_beams(3, {1, 0, 0}, {0, 1, 0})}};
  for (const Case& c : cases) {
    const lattice_metric lm = metric(*c.cs);
    const std::vector<Hkl> h = pair_differences(c.beams);
    for (int capacity : {kFgTableCapacity, 60, 8}) {
      const std::string what = std::string(c.name) + ", capacity " + std::to_string(capacity);
      const walked serial = serial_walk(*c.cs, lm, h, capacity);
      const std::vector<atom> before = c.cs->atoms;
      fg_table_walk plan;
      const walked planned = planned_walk(*c.cs, lm, h, capacity, &plan);
      expect_same_walk(serial, planned, h, what);
      // Each reflection is computed once, also when the full table would
      // have it computed again at every look-up.
      for (std::size_t r = 0; r < plan.computed.size(); ++r)
        for (std::size_t q = 0; q < r; ++q) EXPECT_FALSE(plan.computed[q] == plan.computed[r]) << what;
      EXPECT_LE(planned.computations, serial.computations) << what;
      if (capacity == 8) {
        EXPECT_LT(planned.computations, serial.computations) << what;
      }
      EXPECT_GT(planned.computations, 0) << what;
      for (std::size_t j = 0; j < before.size(); ++j)
        EXPECT_EQ(std::memcmp(&before[j].b_iso, &c.cs->atoms[j].b_iso, sizeof(double)), 0) << what;
    }
  }
}

// The crystal-reading evaluation gives calc_structure_factor's value and
// warning bit for bit, leaves an anisotropic site's b_iso alone, and
// store_site_beq writes what calc_structure_factor writes. Beyond the
// electron table (80 80 80) an af 0 site is no failure only through its
// B_eq, which the shared evaluation must use although b_iso is still 0.
TEST(StructureFactorWalk, SharedEvaluationLeavesTheCrystalAlone) {
  ScratchCwd cwd;
  std::string text = kvtest::si_block(0.0);
  text.replace(text.find("ISO\n0 FIX b1\n"), 13, "ANISO\n0.004\n0.003\n0.005\n0.0005\n0\n0\n");
  for (int af : {0, 1}) {
    csd fresh = read_crystal(text);
    fresh.atoms[0].af = af;
    const csd& shared = fresh;
    const lattice_metric lm = metric(fresh);
    for (const Hkl& g : {Hkl{1, 1, 1}, Hkl{3, 1, 1}, Hkl{2, 2, 0}, Hkl{5, 3, 1}, Hkl{80, 80, 80}}) {
      const std::string what = str(g) + ", af " + std::to_string(af);
      csd written = fresh;
      int warn_w = -1, warn_s = -1;
      const complex w = calc_structure_factor(g, 200, lm, written, &warn_w);
      const complex s = calc_structure_factor_shared(g, 200, lm, shared, &warn_s);
      EXPECT_TRUE(same_bits(w, s)) << what;
      EXPECT_EQ(warn_w, warn_s) << what;
      if (g == Hkl{80, 80, 80}) {
        EXPECT_EQ(warn_s, af) << what;
      }
      EXPECT_EQ(shared.atoms[0].b_iso, 0.0) << what;
      EXPECT_EQ(written.atoms[0].b_iso, bij_to_beq(lm, written.atoms[0])) << what;
      csd stored = fresh;
      store_site_beq(lm, stored);
      EXPECT_EQ(std::memcmp(&stored.atoms[0].b_iso, &written.atoms[0].b_iso, sizeof(double)), 0) << what;
    }
  }
}

}  // namespace
}  // namespace kv
