// Crystals that no structure factor can be computed from, written as a CIF
// or as a crystal block: both readers refuse them alike, and `talvis cif`
// prints no block that korvex would then refuse.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "input/cif_input.hpp"
#include "input/crystal_data.hpp"
#include "sim/runctl.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

using kvtest::fatal_text;
using kvtest::ScratchDir;
using kvtest::StringFile;

namespace kv {
namespace {

const std::string kHead = "data_x\n_symmetry_space_group_name_H-M 'P 1'\n";
std::string cell(const std::string& a = "4", const std::string& angles = "90 90 90") {
  std::string al, be, ga;
  std::istringstream(angles) >> al >> be >> ga;
  return "_cell_length_a " + a + "\n_cell_length_b 4\n_cell_length_c 4\n_cell_angle_alpha " + al +
         "\n_cell_angle_beta " + be + "\n_cell_angle_gamma " + ga + "\n";
}
const std::string kSites =
    "loop_\n_atom_site_label\n_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n"
    "_atom_site_fract_z\n_atom_site_occupancy\n_atom_site_B_iso_or_equiv\n";
std::string aniso_loop(const char* kind) {
  std::string s = "loop_\n_atom_site_aniso_label\n";
  for (const char* ij : {"11", "22", "33", "12", "13", "23"}) s += std::string("_atom_site_aniso_") + kind + "_" + ij + "\n";
  return s;
}

csd read_block(const std::string& text) {
  epsilon = Epsilon{};
  StringFile f(text);
  csd cs;
  input_csd_cstr(cs, f.get(), "unused");
  return cs;
}

TEST(CrystalChecks, CifsThatNoStructureFactorCanComeFromAreRefusedByTalvisOnStandardError) {
  ScratchDir d;
  struct Bad {
    std::string body, message;
  };
  const std::vector<Bad> bad = {
      {cell() + kSites + "A1 Si 0 0 0 1.5 0.5\n", "$$ Invalid occupancy (=1.5) of site 1 (Si)"},
      {cell() + kSites + "A1 Si 0 0 0 1 -0.5\n", "$$ Invalid B (=-0.5) of site 1 (Si)"},
      {cell("4", "120 120 120") + kSites + "A1 Si 0 0 0 1 0.5\n", "the cell has no volume"},
      {cell() + kSites + "A1 Si ? 0 0 1 0.5\n",
       "site A1: _atom_site_fract_x is not given (\"?\" or \".\"); every site needs its three coordinates"},
      // Anisotropic values that are no number, in each of the three forms.
      {cell() + kSites + "A1 Si 0 0 0 1 0.5\n" + aniso_loop("B") + "A1 nan 0.5 0.5 0 0 0\n",
       "_atom_site_aniso_B_11 value \"nan\" (row 1) is not a finite number"},
      {cell() + kSites + "A1 Si 0 0 0 1 0.5\n" + aniso_loop("beta") + "A1 0.01 abc 0.01 0 0 0\n",
       "_atom_site_aniso_beta_22 value \"abc\" (row 1) is not a finite number"},
      // A tensor with a negative mean-square displacement along some direction.
      {cell() + kSites + "A1 Si 0 0 0 1 0.5\n" + aniso_loop("U") + "A1 -0.01 -0.01 -0.01 0 0 0\n",
       "$$ Invalid anisotropic displacement"},
      {cell() + kSites + "A1 Si 0 0 0 1 0.5\n" + aniso_loop("beta") + "A1 0.01 0.01 0.01 0.02 0 0\n",
       "the tensor must not give a negative mean-square displacement in any direction"},
      // Two atoms on one position that together hold more than one atom.
      {cell() + kSites + "A1 Sr 0.5 0.5 0.5 0.7 0.5\nA2 La 0.5 0.5 0.5 0.6 0.5\n",
       "$$ Invalid occupancies: sites 1 (Sr), 2 (La) stand on one position and their occupancies add up to 1.3"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.message);
    d.write("x.cif", kHead + b.body);
    const auto r = kvtest::run_program(TALVIS_EXE, {"cif", "x.cif"}, d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(b.message), std::string::npos) << r.err;
    // korvex, given the CIF in its crystal block, refuses it with the same words.
    const std::string text = fatal_text([&] {
      read_block("CRYSTAL_STRUCTURE_DATA{\nCIF{\n" + (d / "x.cif").string() +
                 "\n}CIF\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n");
    });
    EXPECT_NE(text.find(b.message), std::string::npos) << text;
  }
  // A mixed site of two half-occupied atoms, a positive tensor: accepted,
  // and the printed block reads back.
  d.write("ok.cif", kHead + cell() + kSites + "A1 Sr 0.5 0.5 0.5 0.5 0.5\nA2 La 0.5 0.5 0.5 0.5 0.5\n" +
                        aniso_loop("beta") + "A1 0.01 0.02 0.03 0.005 0.001 -0.002\n");
  const auto r = kvtest::run_program(TALVIS_EXE, {"cif", "ok.cif"}, d.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_block(r.out).num_atom, 2);
}

TEST(CrystalChecks, OccupanciesOfOnePositionAddUpToAtMostOneInTheCrystalBlock) {
  const auto block = [](const std::string& site2, const std::string& occ2,
                        const std::string& site1 = "0.5 FIX x1\n0.5 FIX y1\n0.5 FIX z1\n") {
    return "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n221\n4 FIX a\na CST b\na CST c\n90 FIX al\n90 FIX be\n90 FIX ga\n"
           "}LATTICE\nATOM{\n2\nSITE{\nSr\n" + site1 + "ISO\n0.5 FIX b1\n0.6 FIX o1\n0\n}SITE\n"
           "SITE{\nLa\n" + site2 + "ISO\n0.5 FIX b2\n" + occ2 + " o2\n0\n}SITE\n}ATOM\n"
           "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
  };
  // The same point, and a point that a translation of the lattice takes
  // onto it (-0.5 is 0.5 - 1).
  for (const std::string pos : {"0.5 FIX x2\n0.5 FIX y2\n0.5 FIX z2\n", "-0.5 FIX x2\n1.5 FIX y2\n0.5 FIX z2\n"}) {
    const std::string msg = fatal_text([&] { read_block(block(pos, "0.6 FIX")); });
    EXPECT_NE(msg.find("sites 1 (Sr), 2 (La) stand on one position and their occupancies add up to 1.2, more "
                       "than 1."),
              std::string::npos)
        << msg;
    EXPECT_EQ(read_block(block(pos, "0.4 FIX")).num_atom, 2);
  }
  // 0.2 0 0 and 0 0 0.2: one position of Pm-3m (the threefold axis).
  const std::string x = "0.2 FIX x1\n0 FIX y1\n0 FIX z1\n", z = "0 FIX x2\n0 FIX y2\n0.2 FIX z2\n";
  EXPECT_NE(fatal_text([&] { read_block(block(z, "0.6 FIX", x)); }).find("stand on one position"), std::string::npos);
  EXPECT_EQ(read_block(block(z, "0.4 FIX", x)).num_atom, 2);
  // A constrained occupancy is checked with its value: 1 - o1 fills the site.
  EXPECT_EQ(read_block(block("0.5 FIX x2\n0.5 FIX y2\n0.5 FIX z2\n", "1-o1 CST")).num_atom, 2);
  // Different positions hold one atom each.
  EXPECT_EQ(read_block(block("0 FIX x2\n0 FIX y2\n0 FIX z2\n", "1 FIX")).num_atom, 2);
}

TEST(CrystalChecks, ConstraintCyclesAndAmbiguousNamesAreNamed) {
  const auto block = [](const std::string& lattice, const std::string& site) {
    return "CRYSTAL_STRUCTURE_DATA{\nLATTICE{\n221\n" + lattice +
           "90 FIX al\n90 FIX be\n90 FIX ga\n}LATTICE\nATOM{\n1\nSITE{\nSr\n" + site +
           "0.5 FIX y1\n0.5 FIX z1\nISO\n0.5 FIX b1\n1 FIX o1\n0\n}SITE\n}ATOM\n"
           "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n}CRYSTAL_STRUCTURE_DATA\n";
  };
  // Once read as "a cell of no volume": each edge waited for the other.
  std::string msg = fatal_text([&] { read_block(block("c CST a\na CST b\na CST c\n", "0.5 FIX x1\n")); });
  EXPECT_NE(msg.find("$$ The constraints c CST a, a CST c in CRYSTAL_STRUCTURE_DATA refer to each other in a "
                     "cycle: at least one of these parameters must be FIX, ADJ or RST. Abort.\n"),
            std::string::npos)
      << msg;
  // A chain in reading order is no cycle.
  EXPECT_EQ(read_block(block("4 FIX a\na CST b\nb CST c\n", "0.5 FIX x1\n")).lp[2], 4.0);
  // x1 names both the site's x and lattice c, and a constraint looks it up.
  msg = fatal_text([&] { read_block(block("4 FIX a\nx1 CST b\n4 FIX x1\n", "0.5 FIX x1\n")); });
  EXPECT_NE(msg.find("$$ The parameter name x1 is given twice (lattice parameter c and x of site 1) in "
                     "CRYSTAL_STRUCTURE_DATA: a name that a constraint refers to must belong to one parameter "
                     "only. Abort.\n"),
            std::string::npos)
      << msg;
  // The same two names that nothing refers to stay allowed.
  EXPECT_EQ(read_block(block("4 FIX a\na CST b\n4 FIX x1\n", "0.5 FIX x1\n")).num_atom, 1);
  // A restraint without its value, a flag without a name: said in words.
  StringFile f("1.0 RST r1\n2.0 ADJ\n");
  fitpar p;
  double v;
  msg = fatal_text([&] { fget_fitpar(&p, &v, f.get(), "the site's B"); });
  EXPECT_NE(msg.find("$$ RST r1 of the site's B has no restraint value: write VALUE RST NAME RESTRAINT"),
            std::string::npos)
      << msg;
  msg = fatal_text([&] { fget_fitpar(&p, &v, f.get(), "the thickness"); });
  EXPECT_NE(msg.find("$$ ADJ of the thickness has no parameter name: write VALUE ADJ NAME."), std::string::npos)
      << msg;
}

}  // namespace
}  // namespace kv
