// Parameter files as users write them for hexagonal crystals (four-index
// zone axes and reflections) and for heavy atoms with large Debye-Waller
// factors (absorption beyond the electron table's B range).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crystal/crystal.hpp"
#include "jobs/sim_files.hpp"
#include "results/hdf5_export.hpp"
#include "support/run_program.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

std::string replaced(std::string s, const std::string& from, const std::string& to) {
  const std::size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// The GaN example on its three-index axes, and with every zone axis,
// surface normal, g1 and output reflection written with four indices.
std::string gan_three() { return read_file(std::string(KV_EXAMPLES_DIR) + "/gan_11-20_200kv_forbidden.dat"); }

std::string gan_four() {
  std::string s = gan_three();
  s = replaced(s, "% incidence [u v w]\n1 1 0\n", "% incidence [u v w]\n1 1 -2 0\n");
  s = replaced(s, "% surface normal [u v w]\n1 1 0\n", "% surface normal [u v w]\n1 1 -2 0\n");
  s = replaced(s, "(h k l)\n1 -1 0\n", "(h k l)\n1 -1 0 0\n");
  s = replaced(s, "0 0 1\n0 0 -1\n0 0 2\n1 -1 0\n", "0 0 0 1\n0 0 0 -1\n0 0 0 2\n1 -1 0 0\n");
  return s;
}

TEST(HexagonalIndices, FourIndexZoneAndReflectionsGiveTheThreeIndexResult) {
  ScratchDir a, b;
  const RunResult three = run_korvex(a, "gan.dat", gan_three());
  const RunResult four = run_korvex(b, "gan.dat", gan_four());
  ASSERT_EQ(three.status, 0) << three.out;
  ASSERT_EQ(four.status, 0) << four.out;
  EXPECT_NE(four.out.find("incidence [1 1 -2 0] = [1 1 0]"), std::string::npos) << four.out;
  int compared = 0;
  for (const auto& e : fs::directory_iterator(a.path())) {
    const std::string name = e.path().filename().string();
    if (name.find("_rs") == std::string::npos && name.find("_fg") == std::string::npos) continue;
    EXPECT_EQ(read_file(e.path()), read_file(b.path() / name)) << name;
    ++compared;
  }
  EXPECT_GE(compared, 4);
}

// The crystal's name in titles and exports: written electropositive first
// in whole formula units whatever the order of the sites, or the formula
// the crystal came with.
TEST(HexagonalIndices, CrystalNamesAreFormulaeInTheUsualOrder) {
  kv::csd c;
  kv::atom o, al;
  o.name = "O2-";
  o.multiplicity = 18.0 / 36.0;
  o.occ = 1.0;
  al.name = "Al";
  al.multiplicity = 12.0 / 36.0;
  al.occ = 1.0;
  c.atoms = {o, al};
  EXPECT_EQ(kv::crystal_label(c), "Al2O3");
  c.formula = "Al2O3";
  c.atoms = {o};
  EXPECT_EQ(kv::crystal_label(c), "Al2O3");
  // The GaN example's export names it so.
  ScratchDir d;
  ASSERT_EQ(run_korvex(d, "gan.dat", gan_four()).status, 0);
  const auto info = kv::read_export_info((d.path() / "gan.h5").string());
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->crystal, "GaN");
}

TEST(HexagonalIndices, FourIndicesThatBreakTheRuleOrSitOnOtherAxesAreRefused) {
  ScratchDir d;
  const RunResult bad_t = run_korvex(d, "t.dat", replaced(gan_four(), "1 1 -2 0\n% surface", "1 1 -1 0\n% surface"));
  EXPECT_EQ(bad_t.status, 1);
  EXPECT_NE(bad_t.out.find("$$ incidence: in the four indices (1 1 -1 0) the third, T, must be minus the sum of the "
                           "first two, -2."),
            std::string::npos)
      << bad_t.out;
  const RunResult bad_i = run_korvex(d, "i.dat", replaced(gan_four(), "0 0 0 2\n1 -1 0 0\n", "0 0 0 2\n1 -1 1 0\n"));
  EXPECT_EQ(bad_i.status, 1);
  EXPECT_NE(bad_i.out.find("OUTPUT_REFLEX reflection: in the four indices (1 -1 1 0) the third, i, must be minus"),
            std::string::npos)
      << bad_i.out;
  // Silicon is cubic: four numbers are no zone axis there.
  SimCondition c;
  c.incidence = "1 1 -2 0";
  const RunResult cubic = run_korvex(d, "si.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  EXPECT_EQ(cubic.status, 1);
  EXPECT_NE(cubic.out.find("are Miller-Bravais indices of a hexagonal lattice, but this crystal's axes"),
            std::string::npos)
      << cubic.out;
}

// Corundum from a CIF on rhombohedral axes is used on hexagonal ones: a g1
// typed on the rhombohedral axes is refused with the transformation, the
// same crystal with hexagonal indices runs.
TEST(HexagonalIndices, IndicesOnTheRhombohedralAxesOfACifAreRefused) {
  ScratchDir d;
  write_file(d.path() / "rh.cif",
             "data_rh\n_cell_length_a 5.1284\n_cell_length_b 5.1284\n_cell_length_c 5.1284\n"
             "_cell_angle_alpha 55.28\n_cell_angle_beta 55.28\n_cell_angle_gamma 55.28\n"
             "_symmetry_space_group_name_H-M 'R -3 c :R'\nloop_\n_atom_site_label\n_atom_site_type_symbol\n"
             "_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_B_iso_or_equiv\n"
             "Al1 Al 0.35216 0.35216 0.35216 0.19\nO1 O 0.5567 -0.0567 0.25 0.24\n");
  const std::string crystal = "CRYSTAL_STRUCTURE_DATA{\nCIF{\nrh.cif\n}CIF\nLOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n"
                              "}CRYSTAL_STRUCTURE_DATA\n";
  SimCondition rh;
  rh.incidence = "1 1 1";
  rh.normal = "1 1 1";
  rh.g1 = "1 -1 0";
  rh.n = 3;
  const RunResult r = run_korvex(d, "rh.dat", "SIM_MODE\n" + eps_block() + crystal + sim_condition(rh));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ g1 = (1 -1 0) is a reflection that the R centring forbids on the hexagonal axes"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("reflections as (1 0 0) -> (0 -1 1), (0 1 0) -> (1 0 1), (0 0 1) -> (-1 1 1)"),
            std::string::npos)
      << r.out;
  SimCondition hex = rh;
  hex.incidence = "0 0 0 1";
  hex.normal = "0 0 1";
  hex.g1 = "1 1 -2 0";
  const RunResult h = run_korvex(d, "hex.dat", "SIM_MODE\n" + eps_block() + crystal + sim_condition(hex));
  EXPECT_EQ(h.status, 0) << h.out;
}

// Pb with B = 3.98 A^2 (PMN-PT) lies beyond the table's last B node: the
// run computes its absorption directly and says nothing about it.
std::string lead(double b, int af, const std::string& beams, int side) {
  std::string s = read_file(std::string(KV_EXAMPLES_DIR) + "/cu_001_200kv.dat");
  s = replaced(s, "\nCu\n", "\nPb\n");
  s = replaced(s, "3.615 FIX a", "4.95 FIX a");
  s = replaced(s, "0.5505 FIX b_cu", std::to_string(b) + " FIX b_cu");
  s = replaced(s, "1.0 FIX occ_cu\n0\n", "1.0 FIX occ_cu\n" + std::to_string(af) + "\n");
  s = replaced(s, "\n31\n", "\n" + std::to_string(side) + "\n");
  if (!beams.empty()) {
    const std::size_t i = s.find("BEAM_SEARCH{"), j = s.find("}BEAM_SEARCH");
    s.replace(i, j - i, "BEAM_SEARCH{\n" + beams);
  }
  return s;
}

TEST(AbsorptionBeyondTheTable, LeadAtLargeBRunsWithoutAMessage) {
  ScratchDir d;
  const RunResult r = run_korvex(d, "pb.dat", lead(3.98, 0, "", 9));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("$$ Warning"), std::string::npos) << r.out;
  // Beyond the table's s range an af 0 site with B s^2 beyond its
  // absorptive nodes needs nothing from it (Mott elastic factor, no
  // absorption); a tabulated (af 1) site does, and the run ends naming the
  // reflection, the site and the limit.
  const std::string far = "0\n2 0\n0 0 0\n62 0 0\n";
  EXPECT_EQ(run_korvex(d, "far0.dat", lead(3.98, 0, far, 3)).status, 0);
  const RunResult r1 = run_korvex(d, "far1.dat", lead(3.98, 1, far, 3));
  EXPECT_EQ(r1.status, 1);
  EXPECT_NE(r1.out.find("$$ Error in Fg calc: reflection -62 0 0, site 1 (Pb): s = |g|/2 = 6.26263 1/A lies beyond "
                        "the electron table's last node, 6 1/A"),
            std::string::npos)
      << r1.out;
  EXPECT_NE(read_file(d.path() / "far1_log.txt").find("$$ Error in Fg calc: reflection -62 0 0"), std::string::npos);
}

}  // namespace
