#include <gtest/gtest.h>

#include <map>
#include <string>

#include "input/constraints.hpp"
#include "sim/error.hpp"
#include "support/fatal.hpp"

using kvtest::fatal_text;

namespace kv {
namespace {

double eval(const std::string& expr) {
  static const std::map<std::string, double> values = {
      {"a", 4.05}, {"b", 2.0}, {"occ1", 0.3}, {"x_1", 0.125}};
  return constraint_value(expr, [](const std::string& name) {
    const auto it = values.find(name);
    if (it == values.end()) ADD_FAILURE() << "lookup of " << name;
    return it == values.end() ? 0.0 : it->second;
  });
}

TEST(ConstraintExpression, SignedSumOfProducts) {
  EXPECT_DOUBLE_EQ(eval("a"), 4.05);
  EXPECT_DOUBLE_EQ(eval("-a"), -4.05);
  EXPECT_DOUBLE_EQ(eval("2*a+b"), 10.1);
  EXPECT_DOUBLE_EQ(eval("a-0.5*b"), 3.05);
  EXPECT_DOUBLE_EQ(eval("1-occ1"), 0.7);
  EXPECT_DOUBLE_EQ(eval("=a"), 4.05);
  EXPECT_DOUBLE_EQ(eval("0.5*b*a"), 4.05);
  EXPECT_DOUBLE_EQ(eval("-2*a+3"), -5.1);
  EXPECT_DOUBLE_EQ(eval("a+-b"), 2.05);  // an empty operand between signs is 0
  EXPECT_DOUBLE_EQ(eval("x_1+0.25"), 0.375);
  EXPECT_EQ(eval(""), 0.0);
}

TEST(ConstraintExpression, MalformedExpressionsAreRejected) {
  EXPECT_NE(fatal_text([] { eval("2*-a"); }).find("\"-\" directly after \"*\""), std::string::npos);
  for (const char* e : {"2*+a", "2*", "*a", "2**a"})
    EXPECT_NE(fatal_text([&] { eval(e); }).find("empty factor"), std::string::npos) << e;
  EXPECT_NE(fatal_text([] { eval("1e-5*a"); }).find("exponent notation"), std::string::npos);
  // Operands of up to 255 characters are names; one more is too long.
  const std::string name255(255, 'n');
  EXPECT_EQ(fatal_text([&] {
              constraint_value(name255, [](const std::string& n) -> double {
                fatal_out("looked up %zu\n", n.size());
              });
            }),
            "looked up 255\n");
  const std::string msg = fatal_text([] { eval(std::string(256, 'n')); });
  EXPECT_EQ(msg, "$$error: " + std::string(255, 'n') + " too long\n");
}

// A crystal record with two sites and a type-1 low-order entry, named as a
// reader would have named them.
csd sample_crystal() {
  csd cs;
  const char* lp_names[6] = {"a", "b", "c", "al", "be", "ga"};
  for (int i = 0; i < 6; ++i) cs.lp_fp[i].name = lp_names[i];
  cs.lp = {4.05, 0.0, 0.0, 90, 90, 90};
  cs.num_atom = 2;
  cs.atoms.resize(2);
  cs.atom_fp.resize(2);
  const char* site_names[2][kNumAtomPar] = {
      {"x1", "y1", "z1", "B1", "b11_1", "b22_1", "b33_1", "b12_1", "b13_1", "b23_1", "occ1"},
      {"x2", "y2", "z2", "B2", "b11_2", "b22_2", "b33_2", "b12_2", "b13_2", "b23_2", "occ2"}};
  for (int j = 0; j < 2; ++j)
    for (int k = 0; k < kNumAtomPar; ++k) cs.atom_fp[j][k].name = site_names[j][k];
  cs.atoms[0].bf = 0;
  cs.atoms[0].b_iso = 0.5;
  cs.atoms[0].occ = 0.3;
  cs.atoms[1].bf = 1;
  cs.atoms[1].beta22 = 0.002;
  cs.num_lofg = 1;
  cs.lof_type = 1;
  cs.lofg_hkl = {Hkl{1, 1, 1}};
  cs.lofg_fg = {complex{1.25, 0.05}};
  cs.lofg_fp.resize(1);
  cs.lofg_fp[0][0].name = "F111r";
  cs.lofg_fp[0][1].name = "F111i";
  return cs;
}

void constrain(fitpar& p, const std::string& expr) {
  p.flg = kFlgCst;
  p.expr = expr;
}

TEST(CrystalConstraints, LookupOrderAndVisibility) {
  csd cs = sample_crystal();
  EXPECT_EQ(val_search_csd("a", cs), 4.05);
  EXPECT_EQ(val_search_csd("B1", cs), 0.5);
  EXPECT_EQ(val_search_csd("b22_2", cs), 0.002);
  EXPECT_EQ(val_search_csd("F111i", cs), 0.05);
  EXPECT_EQ(val_trans_csd("", cs), 0.0);
  EXPECT_EQ(val_trans_csd("3.5x", cs), 3.5);
  // Only the Debye-Waller records of the site's own type are visible.
  EXPECT_EQ(fatal_text([&] { val_search_csd("b22_1", cs); }),
            "$$error: $$ (val_search_csd) constraint b22_1 not found\n");
  EXPECT_EQ(fatal_text([&] { val_search_csd("B2", cs); }),
            "$$error: $$ (val_search_csd) constraint B2 not found\n");
  // A number must start with a digit; .5 is taken for a name.
  EXPECT_EQ(fatal_text([&] { val_trans_csd(".5", cs); }),
            "$$error: $$ (val_search_csd) constraint .5 not found\n");
  // The first record of a name in lookup order wins.
  cs.atom_fp[1][kApX].name = "a";
  EXPECT_EQ(val_search_csd("a", cs), 4.05);
  cs.lof_type = 5;
  EXPECT_EQ(fatal_text([&] { val_search_csd("F111r", cs); }), "$$error: lof_type=5 not available\n");
}

TEST(CrystalConstraints, PassOrderSeesEarlierResultsAndLaterZeros) {
  csd cs = sample_crystal();
  constrain(cs.lp_fp[1], "a");     // b = a
  constrain(cs.lp_fp[0], "c+1");   // a refers to c, evaluated after it: c is still 0
  constrain(cs.lp_fp[2], "b");     // c = b, already evaluated
  constrain(cs.atom_fp[1][kApOcc], "1-occ1");
  constrain(cs.atom_fp[1][kApBeta11], "b22_2");
  constrain(cs.atom_fp[0][kApX], "2*x2");  // x2 is read later: still 0.0
  cs.atoms[1].x = 0.0;
  constrain(cs.lofg_fp[0][1], "-0.5*F111r");
  constraint_csd(cs);
  EXPECT_EQ(cs.lp[0], 1.0);  // c + 1 with c = 0
  EXPECT_EQ(cs.lp[1], 1.0);  // the new a
  EXPECT_EQ(cs.lp[2], 1.0);
  EXPECT_DOUBLE_EQ(cs.atoms[1].occ, 0.7);
  EXPECT_EQ(cs.atoms[1].beta11, 0.002);
  EXPECT_EQ(cs.atoms[0].x, 0.0);
  EXPECT_EQ(cs.lofg_fg[0].im, -0.625);
  EXPECT_EQ(cs.lofg_fg[0].re, 1.25);  // unconstrained values are untouched
  // The record's val is never changed by the evaluation.
  EXPECT_EQ(cs.atom_fp[1][kApOcc].val, 0.0);

  csd bad = sample_crystal();
  constrain(bad.lp_fp[1], "a+dataset_scale");
  EXPECT_EQ(fatal_text([&] { constraint_csd(bad); }),
            "$$error: $$ (val_search_csd) constraint dataset_scale not found\n");
  csd badbf = sample_crystal();
  badbf.atoms[1].bf = 3;
  EXPECT_EQ(fatal_text([&] { constraint_csd(badbf); }), "$$error: invalid bf\n");
}

}  // namespace
}  // namespace kv
