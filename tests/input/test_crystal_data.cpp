#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "input/crystal_data.hpp"
#include "input/fields.hpp"
#include "input/csd_test_tables.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::fatal_text;
using kvtest::ScratchCwd;
using kvtest::StringFile;

namespace kv {
namespace {

int auto_id(const std::string& name) {
  EXPECT_EQ(name.rfind("id", 0), 0u) << name;
  return std::atoi(name.c_str() + 2);
}

csd read_block(const std::string& text) {
  StringFile f(text);
  csd cs;
  input_csd_cstr(cs, f.get(), "unused");
  return cs;
}

// Two sites (isotropic Si, anisotropic O) and a LOW_ORDER_FG block of
// lof_type 3, with comments and trailing text wherever they may stand.
const char* kTwoSiteBlock =
    "% crystal of the reader test\n"
    "CRYSTAL_STRUCTURE_DATA{\n"
    "LATTICE{\n"
    "221   space group\n"
    "4.0 ADJ a  % cell edge\n"
    "a CST b\n"
    "a CST c\n"
    "90 FIX al\n90 FIX be\n90 FIX ga\n"
    "}LATTICE\n"
    "COMMENT{ sites follow\nanything 1 2 3\n}COMMENT and more\n"
    "ATOM{\n2\n"
    "SITE{\nSi   silicon\n0 FIX x1\n0 FIX y1\n0 FIX z1\nISO\n0.45 RST b1 0.4 % restraint\n1.0 FIX occ1\n1\n}SITE\n"
    "SITE{\nO\n0.5\n0 2 y2\n0.5 0 z2\n1\n0.001 FIX b11\n0.002 FIX b22\n0.003 FIX b33\n"
    "0 FIX b12\n0 FIX b13\n0 FIX b23\n1-occ1 CST occ2\n0\n}SITE\n"
    "}ATOM\n"
    "LOW_ORDER_FG{\n2\n3\n"
    "1 1 1\n2.5 FIX fe1\n0.05 FIX fi1\n1.5 FIX fe2\n0.03 FIX fi2\n"
    "# second entry\n"
    "2 0 0\n2.0 ADJ fe3\n0.04 FIX fi3\n1.0 FIX fe4\nfi3 CST fi4\n"
    "}LOW_ORDER_FG\n"
    "}CRYSTAL_STRUCTURE_DATA\n";

TEST(CrystalBlock, ParameterLinesOfEveryFlagForm) {
  StringFile f(
      "0.25 ADJ x1 trailing comment\n1.5 FIX f1\n2.5 0 f2\n3.5 2 f3\n4.5 RST r1 0.7 % note\n"
      "5.5 1 r2 0.8\na+b CST c1\n2*a -1 c2\n7.5\n8.5 # a comment\n9.5 %note\n");
  fitpar p;
  double v = -1;
  fget_fitpar(&p, &v, f.get());
  EXPECT_EQ(v, 0.25);
  EXPECT_EQ(p.val, 0.25);
  EXPECT_EQ(p.flg, kFlgAdj);
  EXPECT_EQ(p.name, "x1");
  EXPECT_EQ(p.expr, "0.25");
  struct Want {
    double v;
    int flg;
    const char* name;
    double rst;
  };
  const Want want[] = {{1.5, kFlgFix, "f1", 0},   {2.5, kFlgFix, "f2", 0},
                       {3.5, kFlgAdj, "f3", 0},   {4.5, kFlgRst, "r1", 0.7},
                       {5.5, kFlgRst, "r2", 0.8}, {0.0, kFlgCst, "c1", 0},
                       {0.0, kFlgCst, "c2", 0}};
  for (const Want& w : want) {
    v = -1;
    fget_fitpar(&p, &v, f.get());
    EXPECT_EQ(v, w.v) << w.name;
    EXPECT_EQ(p.flg, w.flg) << w.name;
    EXPECT_EQ(p.name, w.name);
    EXPECT_EQ(p.rst_val, w.rst) << w.name;
  }
  EXPECT_EQ(p.expr, "2*a");  // the constraint expression is the first token
  // No flag word, alone or before a trailing comment: fixed, with
  // consecutive automatic names.
  fget_fitpar(&p, &v, f.get());
  EXPECT_EQ(v, 7.5);
  const int first = auto_id(p.name);
  fget_fitpar(&p, &v, f.get());
  EXPECT_EQ(v, 8.5);
  EXPECT_EQ(p.flg, kFlgFix);
  EXPECT_EQ(auto_id(p.name), first + 1);
  fget_fitpar(&p, &v, f.get());
  EXPECT_EQ(auto_id(p.name), first + 2);
}

TEST(CrystalBlock, UnknownFlagAndUnitWordsAreRefusedWithTheLine) {
  // A misspelt or lower-case flag would leave the parameter fixed without a
  // word; a misspelt unit would read the number in units of g1/2.
  for (const char* text : {"1320 ADJJ thick\n", "1320 adj thick\n", "0.5 Fix x\n", "0.5 3 x\n"}) {
    StringFile f(text);
    fitpar p;
    double v;
    const std::string msg = fatal_text([&] { fget_fitpar(&p, &v, f.get(), "thickness"); });
    EXPECT_EQ(msg.rfind("$$ Data format error: \"", 0), 0u) << msg;
    EXPECT_NE(msg.find("after the value of thickness is not a flag word: write FIX, ADJ, RST or CST (or 0, 2, 1, "
                       "-1), in upper case.\n"),
              std::string::npos)
        << msg;
    std::string line(text);
    line.pop_back();
    EXPECT_NE(msg.find("$$ line: " + line + "\n"), std::string::npos) << msg;
  }
  {
    StringFile f("1.0 mradx FIX tH\n");
    fitpar p;
    double v;
    bool mrad = false;
    const std::string msg = fatal_text([&] { fget_fitpar_unit(&p, &v, f.get(), "tiltH", "mrad", &mrad); });
    EXPECT_NE(msg.find("\"mradx\" after the value of tiltH is not a flag word"), std::string::npos) << msg;
    EXPECT_NE(msg.find("or the unit mrad right after the number"), std::string::npos) << msg;
  }
  for (const char* text : {"3.3 mr\n", "3.3 MRAD\n", "1.0 mradx\n", "2.0 3.0\n"}) {
    StringFile f(text);
    bool mrad = false;
    const std::string msg = fatal_text([&] { fget_d_unit(f.get(), "mrad", &mrad); });
    EXPECT_NE(msg.find("after the number is not the unit mrad"), std::string::npos) << text << msg;
  }
  // The unit in either spelling, and a trailing comment, are still read.
  StringFile f("3.3 mrad\n3.3mrad # disk\n1.5 % g1/2\n");
  bool mrad = false;
  EXPECT_EQ(fget_d_unit(f.get(), "mrad", &mrad), 3.3);
  EXPECT_TRUE(mrad);
  EXPECT_EQ(fget_d_unit(f.get(), "mrad", &mrad), 3.3);
  EXPECT_TRUE(mrad);
  EXPECT_EQ(fget_d_unit(f.get(), "mrad", &mrad), 1.5);
  EXPECT_FALSE(mrad);
}

TEST(CrystalBlock, IncompleteParameterLinesAreRejected) {
  const char* bad[] = {"1.0 FIX\n", "1.0 ADJ\n", "1.0 RST r1\n", "a CST\n", "2.0 -1\n", "\n"};
  for (const char* text : bad) {
    StringFile f(text);
    fitpar p;
    double v;
    const std::string msg = fatal_text([&] { fget_fitpar(&p, &v, f.get()); });
    EXPECT_EQ(msg.rfind("$$ (fget_fitpar) Input data error. Abort.\n$$ buf=", 0), 0u) << text;
  }
  StringFile f("1.0 RST r1\n");
  fitpar p;
  double v;
  // The classic two lines, then what is missing in words.
  EXPECT_EQ(fatal_text([&] { fget_fitpar(&p, &v, f.get()); }),
            "$$ (fget_fitpar) Input data error. Abort.\n$$ buf=1.0\n"
            "$$ RST r1 of the parameter has no restraint value: write VALUE RST NAME RESTRAINT (the value it is "
            "restrained to).\n$$ (line 1)\n");
  StringFile longname("1.0 FIX " + std::string(32, 'n') + "\n");
  EXPECT_NE(fatal_text([&] { fget_fitpar(&p, &v, longname.get()); }).find("longer than 31"),
            std::string::npos);
}

TEST(CrystalBlock, TwoSitesWithLowOrderType3) {
  ScratchCwd cwd;
  const csd cs = read_block(kTwoSiteBlock);
  EXPECT_EQ(cs.sp_grp_no, 221);
  EXPECT_EQ(cs.num_sym_op, 48);
  EXPECT_EQ(cs.lattice_type, "P");
  // b and c are tied to a.
  EXPECT_EQ(cs.lp[1], 4.0);
  EXPECT_EQ(cs.lp[2], 4.0);
  EXPECT_EQ(cs.lp_fp[1].flg, kFlgCst);
  EXPECT_EQ(cs.lp_fp[1].val, 0.0);  // the record keeps the value as read

  ASSERT_EQ(cs.num_atom, 2);
  const atom& si = cs.atoms[0];
  EXPECT_EQ(si.name, "Si");
  EXPECT_EQ(si.bf, 0);
  EXPECT_EQ(si.af, 1);
  EXPECT_EQ(si.b_iso, 0.45);
  EXPECT_EQ(cs.atom_fp[0][kApB].rst_val, 0.4);
  EXPECT_EQ(si.multiplicity, 1.0 / 48.0);
  EXPECT_NEAR(cs.xdts[0].z, 14.0, 1e-12);  // the X-ray table entry of Si
  EXPECT_NEAR(cs.bks[0].dt[0], 2000.0, 1e-9);  // first element of the made-up table

  const atom& o = cs.atoms[1];
  EXPECT_EQ(o.name, "O");
  EXPECT_EQ(o.bf, 1);
  EXPECT_EQ(o.af, 0);
  EXPECT_EQ(o.x, 0.5);
  EXPECT_EQ(o.y, 0.0);
  EXPECT_EQ(o.z, 0.5);
  EXPECT_EQ(cs.atom_fp[1][kApY].flg, kFlgAdj);
  EXPECT_EQ(cs.atom_fp[1][kApY].name, "y2");
  EXPECT_EQ(o.beta33, 0.003);
  EXPECT_NEAR(o.occ, 0.0, 1e-15);  // 1 - occ1
  EXPECT_EQ(o.multiplicity, 3.0 / 48.0);
  EXPECT_NEAR(cs.bks[1].dt[0], 2700.0, 1e-9);

  ASSERT_EQ(cs.num_lofg, 2);
  EXPECT_EQ(cs.lof_type, 3);
  EXPECT_EQ(cs.lofg_hkl[1], (Hkl{2, 0, 0}));
  ASSERT_EQ(cs.lofg_f.size(), 2u);
  ASSERT_EQ(cs.lofg_f[0].size(), 2u);
  EXPECT_EQ(cs.lofg_f[0][0].re, 2.5);
  EXPECT_EQ(cs.lofg_f[0][0].im, 0.05);
  EXPECT_EQ(cs.lofg_f[0][1].re, 1.5);
  EXPECT_EQ(cs.lofg_f[0][1].im, 0.03);
  EXPECT_EQ(cs.lofg_f[1][0].re, 2.0);
  EXPECT_EQ(cs.lofg_f_fp[1][0][0].flg, kFlgAdj);
  EXPECT_EQ(cs.lofg_f[1][1].im, 0.04);  // fi4 tied to fi3
}

TEST(CrystalBlock, AutomaticNamesCountAcrossBlocks) {
  ScratchCwd cwd;
  const std::string block =
      "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n221\n4.0\n4.0\n4.0\n90\n90\n90\n}LATTICE\n"
      "ATOM{\n0\n}ATOM\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
  const csd first = read_block(block);
  const csd second = read_block(block);
  const int start = auto_id(first.lp_fp[0].name);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(auto_id(first.lp_fp[i].name), start + i);
    EXPECT_EQ(auto_id(second.lp_fp[i].name), start + 6 + i);
  }
  EXPECT_EQ(second.num_lofg, 0);
  EXPECT_EQ(second.lof_type, 0);
}

TEST(CrystalBlock, GeneratedPositionsFile) {
  ScratchCwd cwd;
  const int saved = dbg.atm_pos_out_flag;
  dbg.atm_pos_out_flag = 1;
  StringFile f(kTwoSiteBlock);
  csd cs;
  const std::string out = kvtest::capture_stdout([&] { input_csd_cstr(cs, f.get(), "run"); });
  dbg.atm_pos_out_flag = saved;
  EXPECT_EQ(out, "$$ Generated atom positions ==> run_aps.txt\n");
  const auto lines = kvtest::split_lines(cwd.dir().read("run_aps.txt"));
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "* All atom positions");
  EXPECT_EQ(lines[2], "* Atom[1]: Si");
  EXPECT_EQ(lines[3], "* number of atom positions = 1  (multiplicity = 1/48 = 0.0208333)");
  free_csd(cs);
  EXPECT_EQ(cs.num_atom, 0);
  EXPECT_TRUE(cs.atoms.empty());
  EXPECT_TRUE(cs.sym_ops.empty());
}

TEST(CrystalBlock, BadInputGetsOneMessage) {
  ScratchCwd cwd;
  const std::string good = kvtest::si_block();
  struct Case {
    std::string from, to, message;
  };
  const Case cases[] = {
      {"ATOM{\n1\n", "ATOM{\n-1\n", "$$ Invalid number of atom sites (=-1)"},
      {"ATOM{\n1\n", "ATOM{\n99999999\n", "$$ Invalid number of atom sites (=99999999)"},
      {"ISO\n", "ISOTROPIC\n", "$$ Invalid bf. Abort.\n"},
      {"SITE{\nSi\n", "SITE{\nXx\n", "$$ Site 1: the element or ion \"Xx\" is not in the scattering-factor table.\n"},
      {"SITE{\nSi\n", "SITE{\nSilicium\n", "$$ Site name Silicium is longer than 7 characters"},
      {"SITE{\nSi\n", "SITE{\n\n", "site name expected"},
      {"227\n", "999\n", "$$ Space group no. = 999 is not found in the table.\n"},
      {"LOW_ORDER_FG{\n0\n", "LOW_ORDER_FG{\n1\n5\n", "$$ Sorry, lof_type = 5 is not available. Abort.\n"},
      {"LOW_ORDER_FG{\n0\n", "LOW_ORDER_FG{\n1\n7\n", "$$(fget_low_g_cst) Invalid lof_type(=7). Abort.\n"},
      {"LOW_ORDER_FG{\n0\n", "LOW_ORDER_FG{\n-2\n", "$$ Invalid number of LOW_ORDER_FG entries (=-2)"},
      {"1.0 FIX occ1\n", "1.0 RST occ1\n", "$$ (fget_fitpar) Input data error. Abort.\n$$ buf=1.0\n"},
      {"}ATOM\n", "}ATOMS\n", "$$ Data format error has been found at }ATOM.\n"},
      {"5.4309 FIX c\n", "-5.4309 FIX c\n", "the cell has no volume"},
      {"90 FIX ga\n", "0 FIX ga\n", "the cell has no volume"},
      {"0.125 FIX z1\n", "zz CST z1\n", "$$error: $$ (val_search_csd) constraint zz not found\n"},
  };
  for (const Case& c : cases) {
    std::string text = good;
    const std::size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    text.replace(at, c.from.size(), c.to);
    const std::string msg = fatal_text([&] { read_block(text); });
    EXPECT_NE(msg.find(c.message), std::string::npos) << "got: " << msg;
  }
  // The electron table lacking an element that the X-ray table has.
  ScratchCwd no_o(true, {"Si"});
  std::string text = good;
  text.replace(text.find("SITE{\nSi\n"), 9, "SITE{\nO\n");
  EXPECT_EQ(fatal_text([&] { read_block(text); }), "$$ERROR: Element O was not found in korvexbk.dat\n");
}

}  // namespace
}  // namespace kv
