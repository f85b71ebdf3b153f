#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>

#include "crystal/lattice.hpp"
#include "input/crystal_data.hpp"
#include "input/csd_test_tables.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {
namespace {

struct Expected {
  int sites_in_cell;  // atoms of the unit cell, from the multiplicities
  int num_op;
};

// The crystal part of every example parameter file: mode token, run-control
// block and crystal block read as korvex reads them, constraints applied.
TEST(ExampleFiles, CrystalBlocksReadAndComplete) {
  const std::map<std::string, Expected> expected = {
      {"si_110_200kv.dat", {8, 192}},      {"gaas_110_200kv.dat", {8, 96}},
      {"cu_001_200kv.dat", {4, 192}},      {"srtio3_001_200kv.dat", {5, 48}},
      {"al2o3_0001_200kv.dat", {30, 36}},  {"quartz_001_200kv.dat", {9, 6}}};
  // Examples that keep the forbidden beams: one crystal each, no coherent
  // variant.
  const std::map<std::string, Expected> forbidden = {{"si_110_200kv_forbidden.dat", {8, 192}},
                                                     {"gan_11-20_200kv_forbidden.dat", {4, 12}}};
  // A second zone of a crystal above (Si [111] with its first-order Laue
  // zone), without a coherent variant.
  const std::map<std::string, Expected> second_zone = {{"si_111_200kv.dat", {8, 192}}};
  kvtest::ScratchCwd cwd(true, {"Si", "O", "Ga", "As", "Al", "Cu", "Sr", "Ti", "N"});
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(KV_EXAMPLES_DIR)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".dat") continue;
    SCOPED_TRACE(name);
    // Each crystal has a plain and a coherent-probe example.
    std::string key = name;
    const bool coherent = key.find("_coherent") != std::string::npos;
    if (coherent) key.erase(key.find("_coherent"), 9);
    const bool keeps_forbidden = forbidden.count(key) == 1;
    const std::map<std::string, Expected>& group =
        keeps_forbidden ? forbidden : (second_zone.count(key) == 1 ? second_zone : expected);
    const auto it = group.find(key);
    ASSERT_NE(it, group.end()) << "example without expectations";
    ++seen;
    File fp = fopen_chk_rmode(entry.path().string());
    EXPECT_EQ(fget_1s(fp.get()).value_or(""), coherent ? "SIM_COHERENT_MODE" : "SIM_MODE");
    read_eps_ctrl_params(fp.get());
    EXPECT_EQ(epsilon.forbidden_beam_flag, keeps_forbidden ? 1 : 0);
    csd cs;
    input_csd_cstr(cs, fp.get(), "unused");
    chk_data("SIM_CALCULATION_CONDITION{", fp.get());

    EXPECT_EQ(cs.num_sym_op, it->second.num_op);
    double atoms = 0;
    for (const atom& a : cs.atoms) atoms += a.multiplicity * cs.num_sym_op * a.occ;
    EXPECT_NEAR(atoms, it->second.sites_in_cell, 1e-9);
    // b is tied to a in every example.
    EXPECT_EQ(cs.lp_fp[1].flg, kFlgCst);
    EXPECT_EQ(cs.lp[1], cs.lp[0]);
    EXPECT_GT(cs.lp[0], 3.0);
    // Debye-Waller factors of room-temperature data.
    const lattice_metric lm = bravai(cs.lp);
    for (const atom& a : cs.atoms) {
      const double b = bij_to_beq(lm, a);
      EXPECT_GT(b, 0.1) << a.name;
      EXPECT_LT(b, 1.5) << a.name;
    }
  }
  epsilon = Epsilon{};  // no run-control value of the last file outlives the test
  EXPECT_EQ(seen, 2 * static_cast<int>(expected.size()) + static_cast<int>(forbidden.size()) +
                      static_cast<int>(second_zone.size()));
}

// The anisotropic example: its betas must reproduce the published U_ij,
// whose equivalent isotropic B on hexagonal axes is
// 8 pi^2 / 3 ((4/3)(U11 + U22 - U12) + U33).
TEST(ExampleFiles, QuartzBetasMatchThePublishedDisplacements) {
  kvtest::ScratchCwd cwd;
  File fp = fopen_chk_rmode(std::string(KV_EXAMPLES_DIR) + "/quartz_001_200kv.dat");
  fget_1s(fp.get());
  read_eps_ctrl_params(fp.get());
  csd cs;
  input_csd_cstr(cs, fp.get(), "unused");
  ASSERT_EQ(cs.num_atom, 2);
  const lattice_metric lm = bravai(cs.lp);
  const auto beq = [](double u11, double u22, double u33, double u12) {
    return 8.0 * M_PI * M_PI / 3.0 * (4.0 / 3.0 * (u11 + u22 - u12) + u33);
  };
  EXPECT_NEAR(bij_to_beq(lm, cs.atoms[0]), beq(0.00854, 0.00716, 0.00725, 0.00358), 1e-5);
  EXPECT_NEAR(bij_to_beq(lm, cs.atoms[1]), beq(0.01745, 0.01322, 0.01229, 0.00973), 1e-5);
  EXPECT_EQ(cs.atoms[0].bf, 1);
}

}  // namespace
}  // namespace kv
