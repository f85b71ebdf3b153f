#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

#include "crystal/data_table.hpp"
#include "crystal/spacegroup.hpp"
#include "crystal_test_util.hpp"
#include "sim/runctl.hpp"

using kvtest::fatal_of;
using kvtest::InDir;
using kvtest::ScratchDir;

namespace kv {
namespace {

// A site record with the usual fields, as the crystal reader keeps them.
struct Site {
  std::string name;
  int bf = 0;
  double x = 0, y = 0, z = 0;
  double multiplicity = 0;
  double b_iso = 0;
  double beta11 = 0, beta22 = 0, beta33 = 0, beta12 = 0, beta13 = 0, beta23 = 0;
  double occ = 1;
};

// The same with a fixed-size name, as a C-style record would have it.
struct CSite {
  char name[8] = "Ti";
  double x = 0, y = 0, z = 0, multiplicity = 0, occ = 0.5;
};

// Restores the run-control switch a test changes.
struct MultiplicitySwitch {
  explicit MultiplicitySwitch(int v) : saved(epsilon.auto_multiplicity_off) {
    epsilon.auto_multiplicity_off = v;
  }
  ~MultiplicitySwitch() { epsilon.auto_multiplicity_off = saved; }
  int saved;
};

struct Group {
  std::vector<sym_op> ops;
  int num_op = 0, centro = 0, hex = 0;
  std::string type;
};

Group read_group(int number) {
  Group g;
  g.ops = read_sp_group_tbl(number, &g.num_op, &g.centro, &g.type, &g.hex);
  return g;
}

// The 24 proper rotations of the cube as operator lines.
std::string cube_rotations() {
  std::string s;
  int perm[3] = {0, 1, 2};
  const char* xyz = "XYZ";
  do {
    int inv = 0;
    for (int i = 0; i < 3; ++i)
      for (int j = i + 1; j < 3; ++j) inv += perm[i] > perm[j];
    for (int signs = 0; signs < 8; ++signs) {
      int neg = 0;
      for (int i = 0; i < 3; ++i) neg += (signs >> i) & 1;
      if ((inv + neg) % 2 != 0) continue;  // determinant -1
      for (int i = 0; i < 3; ++i) {
        if ((signs >> i) & 1) s += '-';
        s += xyz[perm[i]];
        s += i < 2 ? ',' : '\n';
      }
    }
  } while (std::next_permutation(perm, perm + 3));
  return s;
}

constexpr const char* kPmmm = "X,Y,Z\n-X,-Y,Z\n-X,Y,-Z\nX,-Y,-Z\n";
constexpr const char* kR3c =
    "X,Y,Z\n-Y,X-Y,Z\n-X+Y,-X,Z\nY,X,-Z+1/2\nX-Y,-Y,-Z+1/2\n-X,-X+Y,-Z+1/2\n";

std::string test_table() {
  return std::string("# test operators\n") + "4 1 47 1 Pmmm\n" + kPmmm +
         "COMMENT{\n1 0 1 1 P1\n}COMMENT\n"
         "24 1 225 15 Fm-3m\n" + cube_rotations() +
         "6 1 167 11 R-3c\n" + kR3c +
         "6 1 900 7 R-3c\n" + kR3c +
         "2 0 5 2 C2\n% comment inside an entry\nX,Y,Z\n-X+1/2,Y,-Z\n"
         "1 0 901 1 X1\nX,Y,Z\n"
         "1 0 902 1 P1\nX+1/0,Y,Z\n"
         "0 0 903 1 P1\n";
}

TEST(DecodeSymOp, ComponentsCoefficientsAndTranslations) {
  const sym_op a = decode_sym_op("-X+1/2,Y,-Z+1/2\n");
  const std::array<double, 9> ra{-1, 0, 0, 0, 1, 0, 0, 0, -1};
  EXPECT_EQ(a.rot, ra);
  EXPECT_EQ(a.trans, (std::array<double, 3>{0.5, 0, 0.5}));

  // Column-major: rot[3 j + i] is the coefficient of input j in output i.
  const sym_op b = decode_sym_op("X-Y,X,Z+2/3");
  EXPECT_EQ(b.rot[0], 1);
  EXPECT_EQ(b.rot[3], -1);
  EXPECT_EQ(b.rot[1], 1);
  EXPECT_EQ(b.rot[4], 0);
  EXPECT_EQ(b.rot[8], 1);
  EXPECT_DOUBLE_EQ(b.trans[2], 2.0 / 3.0);
  const sym_op c = decode_sym_op("-X+Y,-Y+3/4,X+1/6");
  EXPECT_EQ(c.rot[0], -1);
  EXPECT_EQ(c.rot[3], 1);
  EXPECT_EQ(c.rot[4], -1);
  EXPECT_EQ(c.rot[2], 1);
  EXPECT_DOUBLE_EQ(c.trans[1], 0.75);
  EXPECT_DOUBLE_EQ(c.trans[2], 1.0 / 6.0);
  EXPECT_EQ(apply_sym_op(c, {0.1, 0.2, 0.3})[0], -0.1 + 0.2);

  // A missing component reads as empty: zero row, no translation.
  const sym_op d = decode_sym_op("Y,X");
  EXPECT_EQ(d.rot[3], 1);
  EXPECT_EQ(d.rot[1], 1);
  EXPECT_EQ(d.rot[2] + d.rot[5] + d.rot[8] + d.trans[2], 0);
  EXPECT_THROW(decode_sym_op("X+1/0,Y,Z"), FatalError);
  EXPECT_THROW(decode_sym_op("X+/2,Y,Z"), FatalError);
}

TEST(SpaceGroupTable, CentringAndInversionExpansion) {
  ScratchDir dir;
  dir.write("korvexspg.dat", test_table());
  InDir in(dir.path());

  Group p = read_group(47);
  EXPECT_EQ(p.num_op, 8);
  EXPECT_EQ(p.ops.size(), 8u);
  EXPECT_EQ(p.type, "P");
  EXPECT_EQ(p.hex, 0);
  EXPECT_EQ(p.centro, 1);
  for (int k = 0; k < 4; ++k)  // inversion copies, in order
    for (int e = 0; e < 9; ++e) EXPECT_EQ(p.ops[4 + k].rot[e], -p.ops[k].rot[e]);

  Group f = read_group(225);
  EXPECT_EQ(f.num_op, 192);
  EXPECT_EQ(f.type, "F");
  EXPECT_EQ(f.ops[24].trans, (std::array<double, 3>{0, 0.5, 0.5}));
  EXPECT_EQ(f.ops[48].trans, (std::array<double, 3>{0.5, 0, 0.5}));
  EXPECT_EQ(f.ops[72].trans, (std::array<double, 3>{0.5, 0.5, 0}));
  EXPECT_EQ(f.ops[96 + 72].trans, (std::array<double, 3>{-0.5, -0.5, -0.0}));

  Group r = read_group(167);
  EXPECT_EQ(r.num_op, 36);
  EXPECT_EQ(r.hex, 1);
  EXPECT_EQ(r.type, "R");
  EXPECT_DOUBLE_EQ(r.ops[6].trans[0], 0.6666667);
  EXPECT_DOUBLE_EQ(r.ops[15].trans[2], 0.5 + 0.6666667);  // Y,X,-Z+1/2 shifted
  Group rr = read_group(900);  // rhombohedral axes: no centring
  EXPECT_EQ(rr.num_op, 12);
  EXPECT_EQ(rr.hex, 0);

  // C centring on a listed 1/2 gives 1.0, which is still the site at 0.
  Group c = read_group(5);
  EXPECT_EQ(c.num_op, 4);
  EXPECT_EQ(c.centro, 0);
  EXPECT_DOUBLE_EQ(c.ops[3].trans[0], 1.0);
  EXPECT_EQ(judge_two_atom(apply_sym_op(c.ops[3], {0, 0, 0}), {0, 0.5, 0}), 1);
}

TEST(SpaceGroupTable, FailuresEndWithOneMessage) {
  ScratchDir dir;
  dir.write("korvexspg.dat", test_table());
  InDir in(dir.path());
  FatalError e = fatal_of([] { read_group(99); });
  EXPECT_EQ(e.text(), "$$ Space group no. = 99 is not found in the table.\n");
  EXPECT_EQ(e.status(), 1);
  e = fatal_of([] { read_group(901); });
  EXPECT_EQ(e.text(), "Invalid lattice type in space-group table.\n");
  EXPECT_EQ(e.channel(), Channel::err);
  EXPECT_THROW(read_group(902), FatalError);
  EXPECT_THROW(read_group(903), FatalError);  // an entry without operators

  // An entry cut short by the end of the file.
  dir.write("korvexspg.dat", "3 0 10 1 P2/m\nX,Y,Z\n");
  EXPECT_THROW(read_group(10), FatalError);
  EXPECT_EQ(fatal_of([] { read_group(11); }).text(),
            "$$ Space group no. = 11 is not found in the table.\n");
}

TEST(AtomSites, FractionalAndSameSiteTests) {
  EXPECT_DOUBLE_EQ(fractional(-0.25), 0.75);
  EXPECT_DOUBLE_EQ(fractional(3.5), 0.5);
  EXPECT_EQ(fractional(1.0), 0.0);
  const double tiny = fractional(-1e-20);
  EXPECT_GE(tiny, 0.0);
  EXPECT_LT(tiny, 1.0);
  EXPECT_EQ(judge_two_atom({0.99995, 0.2, 0.3}, {0.00001, 1.2, -0.7}), 1);
  EXPECT_EQ(judge_two_atom({0.5, 0, 0}, {0.5002, 0, 0}), 0);
  EXPECT_EQ(judge_two_atom({0.1, 0.2, 0.3}, {0.1, 0.2, 0.31}), 0);

  std::vector<Vec3> pos{{0.5, 0, 0}, {0.1, 0, 0}, {-0.5, 0, 0}, {1.1, 1, 1}, {0.7, 0, 0}};
  EXPECT_EQ(special_pos_check(5, pos.data()), 3);
  EXPECT_EQ(pos[0], (Vec3{0.5, 0, 0}));
  EXPECT_EQ(pos[1], (Vec3{0.1, 0, 0}));  // first occurrence kept
  EXPECT_EQ(pos[2], (Vec3{0.7, 0, 0}));
  EXPECT_EQ(special_pos_check(0, pos.data()), 0);
}

TEST(AtomSites, MultiplicityAndPositionListing) {
  ScratchDir dir;
  dir.write("korvexspg.dat", test_table());
  InDir in(dir.path());
  const Group p = read_group(47);
  std::vector<Site> s(2);
  s[0].name = "Sr";
  s[1].name = "O";
  s[1].x = 0.25;
  s[1].y = 0.1;
  s[1].occ = 0.75;
  atom_multiplicity(2, s.data(), p.num_op, p.ops.data());
  EXPECT_DOUBLE_EQ(s[0].multiplicity, 0.125);
  EXPECT_DOUBLE_EQ(s[1].multiplicity, 0.5);  // on the mirror z = 0

  const std::string expect =
      "* All atom positions\n*\n"
      "* Atom[1]: Sr\n* number of atom positions = 1  (multiplicity = 1/8 = 0.125)\n"
      "no:\tx\ty\tz\n0\t0\t0\t0\n Occupancy = 1\n"
      "* Atom[2]: O\n* number of atom positions = 4  (multiplicity = 4/8 = 0.5)\n"
      "no:\tx\ty\tz\n0\t0.25\t0.1\t0\n1\t-0.25\t-0.1\t0\n2\t-0.25\t0.1\t0\n3\t0.25\t-0.1\t0\n"
      " Occupancy = 0.75\n";
  dbg.atm_pos_out_flag = 0;
  dbg_atm_pos_out(p.num_op, p.ops.data(), 2, s.data(), "run");
  EXPECT_FALSE(std::filesystem::exists(dir / "run_aps.txt"));
  dbg.atm_pos_out_flag = 1;
  const std::string out = kvtest::capture_stdout(
      [&] { dbg_atm_pos_out(p.num_op, p.ops.data(), 2, s.data(), "run"); });
  dbg.atm_pos_out_flag = 0;
  EXPECT_EQ(out, "$$ Generated atom positions ==> run_aps.txt\n");
  EXPECT_EQ(dir.read("run_aps.txt"), expect);

  {
    MultiplicitySwitch manual(1);
    atom_multiplicity(2, s.data(), p.num_op, p.ops.data());
    EXPECT_EQ(s[0].multiplicity, 1.0);
    const auto pos = newpos_sym_op(2, s.data(), p.num_op, p.ops.data());
    EXPECT_EQ(pos[0].size(), 8u);
    CSite c;
    c.x = 0.5;
    FILE* tmp = std::tmpfile();
    fprint_gen_atom_pos(tmp, p.num_op, p.ops.data(), 1, &c);
    std::rewind(tmp);
    char line[128];
    std::fgets(line, sizeof line, tmp);
    std::fgets(line, sizeof line, tmp);
    std::fgets(line, sizeof line, tmp);
    EXPECT_STREQ(line, "* Atom[1]: Ti\n");
    std::fgets(line, sizeof line, tmp);
    EXPECT_STREQ(line, "* number of atom positions = 8  (multiplicity = 8/8 = 1)\n");
    std::fclose(tmp);
  }
  {
    MultiplicitySwitch bad(3);
    EXPECT_EQ(fatal_of([&] { atom_multiplicity(2, s.data(), p.num_op, p.ops.data()); }).text(),
              "$$ invalid auto_multiplicity_off=3\n. Abort.\n");
    EXPECT_EQ(fatal_of([&] { newpos_sym_op(2, s.data(), p.num_op, p.ops.data()); }).text(),
              "$$ Invalid epsilon.auto_multiplicity_off. Abort.\n");
  }
}

// With beta_ij = B/4 G*_ij (an isotropic vibration written as a tensor) the
// equivalent B must be B again, whatever the cell; a beta paired with the
// wrong metric element breaks this in a triclinic cell.
TEST(AtomSites, EquivalentIsotropicB) {
  const double lp[6] = {5.1, 6.3, 7.7, 78.0, 95.0, 104.0};
  const lattice_metric m = bravai(lp);
  Site s;
  s.bf = 1;
  s.b_iso = 9.0;  // ignored for an anisotropic site
  const double b = 0.73;
  s.beta11 = b / 4 * m.gs11;
  s.beta22 = b / 4 * m.gs22;
  s.beta33 = b / 4 * m.gs33;
  s.beta12 = b / 4 * m.gs12;
  s.beta13 = b / 4 * m.gs13;
  s.beta23 = b / 4 * m.gs23;
  EXPECT_NEAR(bij_to_beq(m, s), b, 1e-12);
  s.bf = 0;
  EXPECT_EQ(bij_to_beq(m, s), 9.0);
}

TEST(DataTables, WorkingDirectoryFirstAndMessageNamingThePlaces) {
  ScratchDir dir;
  dir.write("korvexspg.dat", "1 0 999 1 P1\nX,Y,Z\n");
  InDir in(dir.path());
  EXPECT_EQ(read_group(999).num_op, 1);
  const std::vector<std::string> dirs = data_table_dirs();
  ASSERT_FALSE(dirs.empty());
  const FatalError e = fatal_of([] { find_data_table("no_such_table.dat"); });
  EXPECT_EQ(e.status(), 1);
  EXPECT_NE(e.text().find("no_such_table.dat"), std::string::npos);
  EXPECT_NE(e.text().find("working directory"), std::string::npos);
  for (const std::string& d : dirs) EXPECT_NE(e.text().find(d), std::string::npos) << d;
  EXPECT_FALSE(locate_data_table("no_such_table.dat").has_value());
}

// ---- The space-group table that accompanies the programs ----

// General-position multiplicities of the International Tables, conventional
// cells, R groups on hexagonal axes, numbers 1 to 230.
constexpr int kOrder[230] = {
    1,  2,  2,  2,  4,  2,  2,  4,  4,  4,  4,  8,  4,  4,  8,  4,  4,  4,  4,  8,  8,  16, 8,
    8,  4,  4,  4,  4,  4,  4,  4,  4,  4,  4,  8,  8,  8,  8,  8,  8,  8,  16, 16, 8,  8,  8,
    8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  8,  16, 16, 16, 16, 16, 16, 32,
    32, 16, 16, 16, 16, 4,  4,  4,  4,  8,  8,  4,  8,  8,  8,  8,  8,  16, 16, 8,  8,  8,  8,
    8,  8,  8,  8,  16, 16, 8,  8,  8,  8,  8,  8,  8,  8,  16, 16, 16, 16, 8,  8,  8,  8,  8,
    8,  8,  8,  16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
    32, 32, 32, 32, 3,  3,  3,  9,  6,  18, 6,  6,  6,  6,  6,  6,  18, 6,  6,  6,  6,  18, 18,
    12, 12, 12, 12, 36, 36, 6,  6,  6,  6,  6,  6,  6,  12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 24, 24, 24, 24, 12, 48, 24, 12, 24, 24, 24, 96, 96, 48, 24, 48, 24,
    24, 96, 96, 48, 24, 24, 48, 24, 96, 48, 24, 96, 48, 48, 48, 48, 48, 192, 192, 192, 192, 96, 96};

// An operation reduced modulo lattice translations: integer rotation and
// translations in 1/24 of the cell edges.
using OpKey = std::array<int, 12>;

OpKey key_of(const sym_op& op) {
  OpKey k{};
  for (int e = 0; e < 9; ++e) k[e] = static_cast<int>(std::lround(op.rot[e]));
  for (int i = 0; i < 3; ++i) {
    const double t = fractional(op.trans[i] + 1e-6) * 24.0;
    k[9 + i] = static_cast<int>(std::lround(t - 24e-6)) % 24;
  }
  return k;
}

// a after b.
sym_op compose(const sym_op& a, const sym_op& b) {
  sym_op c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      double v = 0;
      for (int k = 0; k < 3; ++k) v += a.rot[3 * k + i] * b.rot[3 * j + k];
      c.rot[3 * j + i] = v;
    }
    double t = a.trans[i];
    for (int k = 0; k < 3; ++k) t += a.rot[3 * k + i] * b.trans[k];
    c.trans[i] = t;
  }
  return c;
}

class InstalledTable : public ::testing::Test {
 protected:
  // An empty working directory, so that the installed table is the one read.
  ScratchDir dir;
  InDir in{dir.path()};
};

TEST_F(InstalledTable, EveryGroupExpandsToAClosedGroupOfTheRightOrder) {
  for (int n = 1; n <= 230; ++n) {
    SCOPED_TRACE(n);
    const Group g = read_group(n);
    ASSERT_EQ(g.num_op, kOrder[n - 1]);
    std::set<OpKey> keys;
    for (const sym_op& op : g.ops) {
      for (double t : op.trans) {  // translations on the 1/24 grid (thirds within 1e-6)
        const double u = t * 24.0;
        EXPECT_NEAR(u, std::round(u), 1e-5);
      }
      keys.insert(key_of(op));
    }
    ASSERT_EQ(keys.size(), g.ops.size()) << "operations repeat modulo lattice translations";
    OpKey identity{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(key_of(g.ops[0]), identity);
    for (const sym_op& a : g.ops)
      for (const sym_op& b : g.ops) {
        const OpKey k = key_of(compose(a, b));
        if (!keys.count(k)) {
          ADD_FAILURE() << "not closed under composition";
          return;
        }
      }
    const bool r = g.type == "R";
    EXPECT_EQ(g.hex, r ? 1 : 0);
    // The centring extinctions agree with the pure translations of the list.
    for (int h = -2; h <= 2; ++h)
      for (int k = -2; k <= 2; ++k)
        for (int l = -3; l <= 3; ++l) {
          double re = 0, im = 0;
          for (const sym_op& op : g.ops) {
            if (key_of(op)[0] != 1 || key_of(op)[4] != 1 || key_of(op)[8] != 1) continue;
            const double ph = 2 * M_PI * (h * op.trans[0] + k * op.trans[1] + l * op.trans[2]);
            re += std::cos(ph);
            im += std::sin(ph);
          }
          const bool allowed = std::hypot(re, im) > 1e-3;
          ASSERT_EQ(extinction_rule(Hkl{h, k, l}, g.type, g.hex) == 0, allowed) << h << k << l;
        }
  }
}

TEST_F(InstalledTable, KnownWyckoffMultiplicities) {
  const Group fd3m = read_group(227);  // origin choice 2: 8a at 1/8 1/8 1/8
  Site si;
  si.x = si.y = si.z = 0.125;
  atom_multiplicity(1, &si, fd3m.num_op, fd3m.ops.data());
  EXPECT_DOUBLE_EQ(si.multiplicity * 192, 8);

  const Group pm3m = read_group(221);
  std::vector<Site> sto(3);
  sto[1].x = sto[1].y = sto[1].z = 0.5;  // Ti 1b
  sto[2].x = sto[2].y = 0.5;            // O 3c
  atom_multiplicity(3, sto.data(), pm3m.num_op, pm3m.ops.data());
  EXPECT_DOUBLE_EQ(sto[0].multiplicity * 48, 1);
  EXPECT_DOUBLE_EQ(sto[1].multiplicity * 48, 1);
  EXPECT_DOUBLE_EQ(sto[2].multiplicity * 48, 3);

  const Group r3c = read_group(167);
  EXPECT_EQ(r3c.hex, 1);
  std::vector<Site> al2o3(2);
  al2o3[0].z = 0.35216;                   // Al 12c
  al2o3[1].x = 0.30624;                   // O 18e
  al2o3[1].z = 0.25;
  atom_multiplicity(2, al2o3.data(), r3c.num_op, r3c.ops.data());
  EXPECT_DOUBLE_EQ(al2o3[0].multiplicity * 36, 12);
  EXPECT_DOUBLE_EQ(al2o3[1].multiplicity * 36, 18);
}

}  // namespace
}  // namespace kv
