#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expdata/fed_constraints.hpp"
#include "support/fatal.hpp"

using kvtest::fatal_text;

namespace kv {
namespace {

fitpar par(const std::string& name, int flg = kFlgFix, const std::string& expr = "") {
  fitpar p;
  p.name = name;
  p.flg = flg;
  p.expr = expr;
  return p;
}

// Dataset d with two thickness blocks of two reflections; every parameter
// named after its dataset, e.g. th0_1 for the thickness of block 0 of
// dataset 1, H1_0_1 for the H shift of reflection 1, block 0, dataset 1.
fed make_fed(int d) {
  fed e;
  const std::string s = std::to_string(d);
  e.tiltH = 0.5 + d;
  e.tiltH_fp = par("tH_" + s);
  e.tiltG = -0.5;
  e.tiltG_fp = par("tG_" + s);
  e.voltage = 200.0;
  e.voltage_fp = par("kv_" + s);
  e.num_thick_block = 2;
  e.tb.resize(2);
  for (int t = 0; t < 2; ++t) {
    thickness_block& b = e.tb[t];
    const std::string ts = std::to_string(t) + "_" + s;
    b.scale = 2.0 + t;
    b.scale_fp = par("sc" + ts);
    b.thickness = 100.0 * (d + 1) + 10.0 * t;
    b.thickness_fp = par("th" + ts);
    b.thickwidth_fp = par("tw" + ts);
    for (int r = 0; r < 2; ++r) {
      b.H_shift.push_back(0.01 * (r + 1) + t);
      b.G_shift.push_back(-0.01 * (r + 1));
      b.H_shift_fp.push_back(par("H" + std::to_string(r) + "_" + ts));
      b.G_shift_fp.push_back(par("G" + std::to_string(r) + "_" + ts));
    }
  }
  e.num_reflex = 2;
  return e;
}

TEST(DatasetConstraints, LookupCoversEveryParameterInOrder) {
  std::vector<fed> eds = {make_fed(0), make_fed(1)};
  EXPECT_DOUBLE_EQ(val_search_fed("tH_1", 2, eds), 1.5);
  EXPECT_DOUBLE_EQ(val_search_fed("kv_0", 2, eds), 200.0);
  EXPECT_DOUBLE_EQ(val_search_fed("th1_1", 2, eds), 210.0);
  EXPECT_DOUBLE_EQ(val_search_fed("H1_1_0", 2, eds), 1.02);
  EXPECT_DOUBLE_EQ(val_search_fed("G0_0_1", 2, eds), -0.01);
  EXPECT_DOUBLE_EQ(constraint_value_fed("2*th0_0-sc1_1+0.5", 2, eds), 197.5);
  EXPECT_DOUBLE_EQ(val_trans_fed("", 2, eds), 0.0);
  EXPECT_DOUBLE_EQ(val_trans_fed("3.5", 2, eds), 3.5);
  // Only the first num_dataset datasets are searched.
  EXPECT_EQ(fatal_text([&] { val_search_fed("tH_1", 1, eds); }),
            "$$error: (val_search_fed) constraint tH_1 not found\n");
  // ".5" does not start with a digit: it is a name.
  EXPECT_EQ(fatal_text([&] { constraint_value_fed(".5*th0_0", 2, eds); }),
            "$$error: (val_search_fed) constraint .5 not found\n");
  EXPECT_TRUE(fatal_text([&] { constraint_value_fed("1+" + std::string(300, 'x'), 2, eds); }).find("too long") !=
              std::string::npos);
}

TEST(DatasetConstraints, DuplicateNamesResolveToTheFirstInLookupOrder) {
  std::vector<fed> eds = {make_fed(0), make_fed(1)};
  eds[1].tiltH_fp.name = "dup";          // dataset 1, looked up late
  eds[0].tb[1].G_shift_fp[1].name = "dup";  // dataset 0, looked up first
  EXPECT_DOUBLE_EQ(val_search_fed("dup", 2, eds), -0.02);
}

TEST(DatasetConstraints, EvaluationPassStoresResultsAtOnce) {
  std::vector<fed> eds = {make_fed(0), make_fed(1)};
  // Dataset 1's thickness follows dataset 0's; dataset 0's scale refers to
  // a constrained parameter of dataset 1 that is evaluated later (0 then).
  eds[1].tb[0].thickness_fp = par("th0_1", kFlgCst, "th0_0+5");
  eds[1].tb[0].thickness = 0.0;
  eds[1].tb[1].scale_fp = par("sc1_1", kFlgCst, "sc0_1");
  eds[1].tb[1].scale = 0.0;
  eds[0].tb[0].scale_fp = par("sc0_0", kFlgCst, "sc1_1");
  // Equal shifts of both reflections of a block.
  eds[0].tb[1].H_shift_fp[1] = par("H1_1_0", kFlgCst, "H0_1_0");
  // A fixed parameter keeps its value even with an expression text.
  eds[0].tb[1].G_shift_fp[0] = par("G0_1_0", kFlgFix, "th0_0");
  constraint_fed(2, eds);
  EXPECT_DOUBLE_EQ(eds[1].tb[0].thickness, 105.0);
  EXPECT_DOUBLE_EQ(eds[1].tb[1].scale, 2.0);
  EXPECT_DOUBLE_EQ(eds[0].tb[0].scale, 0.0);
  EXPECT_DOUBLE_EQ(eds[0].tb[1].H_shift[1], eds[0].tb[1].H_shift[0]);
  EXPECT_DOUBLE_EQ(eds[0].tb[1].G_shift[0], -0.01);

  eds[0].tiltG_fp = par("tG_0", kFlgCst, "nowhere");
  EXPECT_EQ(fatal_text([&] { constraint_fed(2, eds); }),
            "$$error: (val_search_fed) constraint nowhere not found\n");
}

}  // namespace
}  // namespace kv
