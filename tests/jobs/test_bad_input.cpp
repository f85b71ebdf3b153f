// Bad parameter files run through korvex end to end: every one ends with one
// message naming the field and the place, status 1, and no result file, no
// talvis script and no HDF5 file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"

namespace kvtest {
namespace {

namespace fs = std::filesystem;

std::string si_example() { return read_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat"); }

// The example with its first occurrence of `from` replaced, on a grid of 5 x 5 tilts.
std::string edited(const std::string& from, const std::string& to) {
  std::string s = si_example();
  for (const auto& [a, b] : {std::pair<std::string, std::string>{"31\n", "5\n"}, {from, to}}) {
    const std::size_t at = s.find(a);
    EXPECT_NE(at, std::string::npos) << a;
    if (at != std::string::npos) s.replace(at, a.size(), b);
  }
  return s;
}

bool any_result(const ScratchDir& d) {
  for (const char* f : {"si_rs0.txt", "si_tlv.txt", "si.h5"})
    if (fs::exists(d / f)) return true;
  return false;
}

struct Case {
  std::string from, to;
  std::vector<std::string> pieces;
};

void expect_all_refused(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    ScratchDir d;
    const RunResult r = run_korvex(d, "si.dat", edited(c.from, c.to));
    EXPECT_EQ(r.status, 1) << c.to << "\n" << r.out;
    for (const std::string& p : c.pieces) EXPECT_NE(r.out.find(p), std::string::npos) << p << "\n--- got:\n" << r.out;
    EXPECT_FALSE(any_result(d)) << c.to;
  }
}

TEST(BadInput, NonFiniteAndUnphysicalNumbersEndTheRun) {
  expect_all_refused({
      {"500.0\n", "nan\n",
       {"\"nan\" is not a finite number.", "block SIM_CALCULATION_CONDITION > OUTPUT_THICKNESS"}},
      {"500.0\n", "-500\n", {"$$ Invalid thickness (=-500): it must be a finite number not below 0."}},
      {"200.0\n}INCIDENT", "0\n}INCIDENT",
       {"$$ Invalid accelerating voltage (=0 kV): it must be above 0 and at most 10000 kV.", "line 73 of si.dat"}},
      {"0.4632 FIX b_si", "-100 FIX b_si", {"$$ Invalid B (=-100) of site 1 (Si): a Debye-Waller B must not be negative."}},
      {"1.0 FIX occ_si", "1.5 FIX occ_si", {"$$ Invalid occupancy (=1.5) of site 1 (Si): it must lie between 0 and 1."}},
      {"0.125 FIX x_si", "1e308 FIX x_si", {"$$ Invalid position (1e+308 0.125 0.125) of site 1 (Si)"}},
      {"0.0\n0.0\n% accel", "1e308\n0.0\n% accel", {"$$ Invalid tiltH (=1e+308): it must be between -1000 and 1000."}},
      {"5.431020511 FIX a", "1e308 FIX a", {"$$ Invalid lattice parameters a=1e+308"}},
      {"intensity_scaling 10000.0", "intensity_scaling -1", {"$$ Invalid intensity_scaling (=-1)"}},
      {"% disk half-width (tilt units)\n0.5\n", "% disk half-width (tilt units)\n0\n",
       {"$$ Invalid disk size (=0): it must be a finite number greater than 0."}},
  });
}

TEST(BadInput, IntegersOutsideTheIntRangeEndTheRun) {
  const std::string range = " is outside the range -2147483648 to 2147483647.";
  expect_all_refused({
      {"% incidence [u v w]\n1 1 0", "% incidence [u v w]\n1e10 1 0",
       {"the integer \"1e+10\"" + range, "block SIM_CALCULATION_CONDITION > INCIDENT_BEAM"}},
      {"2 2 0\n-14.45013", "2 2 3e9\n-14.45013", {"the integer \"3e+09\" for l" + range, "block CRYSTAL_STRUCTURE_DATA > LOW_ORDER_FG"}},
      {"% 0: every exact beam\n0\n", "% 0: every exact beam\n1\n2 -2 -9e99\n", {"the integer \"-9e+99\" for l" + range}},
      {"% 2: automatic search on the excitation error s_g\n2\n", "% 2: automatic search on the excitation error s_g\n0\n3e9 0\n0 0 0\n",
       {"the integer \"3e+09\"" + range}},
  });
}

TEST(BadInput, CountsAndSizesAreBoundedBeforeAnythingIsAllocated) {
  expect_all_refused({
      {"3\n500.0\n1000.0\n1500.0\n", "1000000000\n",
       {"$$ Invalid num_thickness (=1000000000): the ", "bytes left in the file cannot hold so many entries"}},
      {"% 0: every exact beam\n0\n", "% 0: every exact beam\n2000000000\n",
       {"$$ Invalid num_g (=2000000000): the "}},
      {"% 0: every exact beam\n0\n", "% 0: every exact beam\n3\n0 0 0\n",
       {"$$ Data format error: expected 3 OUTPUT_REFLEX reflection lines, found block marker }OUTPUT_REFLEX."}},
      {"LOW_ORDER_FG{\n2\n", "LOW_ORDER_FG{\n3\n",
       {"expected 3 LOW_ORDER_FG reflection lines, found block marker }LOW_ORDER_FG."}},
      {"% 2: automatic search on the excitation error s_g\n2\n", "% 2: automatic search on the excitation error s_g\n0\n2 1\n0 0 0\n1 1 1\n}BEAM_SEARCH\n",
       {"expected 3 beam lines, found block marker }BEAM_SEARCH."}},
      // 5 x 5 tilts, the default limits: refused with the estimate.
      {"general_eps      1.0e-10\n", "general_eps 1.0e-10\nmax_memory_gb 1e-6\n",
       {"$$ The CBED simulation needs about ", "GB of memory, more than the limit of 1e-06 GB.",
        "raise the limit with max_memory_gb in EPS_CONTROL_PARAMETERS"}},
      {"general_eps      1.0e-10\n", "general_eps 1.0e-10\nmax_output_gb 1e-9\n",
       {"$$ The CBED simulation would write about ", "raise the limit with max_output_gb"}},
  });
}

TEST(BadInput, UnclearCasesGetAClearMessage) {
  expect_all_refused({
      {"% incidence [u v w]\n1 1 0", "% incidence [u v w]\n0 0 0",
       {"$$ Incidence [0 0 0]: the zone axis [u v w] of INCIDENT_BEAM must not be zero."}},
      {"0.125 FIX y_si", std::string("0.125 FIX\0 y_si", 15), {"$$ Data format error: line 42 holds a NUL byte"}},
      {"0.125 FIX z_si", "0.125 FIX z_si " + std::string(300, '9'),
       {"$$ Data format error: line 43 is longer than 255 characters"}},
      {"ATOM{\n1\nSITE{\n", "ATOM{\n1\nSIT\x1b[2J\n", {"$$ buf=SIT\\x1b[2J\n"}},
  });
}

// The beam listing was written as soon as the beams were chosen, so a run
// refused by the blocks after BEAM_SEARCH left a listing of a job that never ran.
TEST(BadInput, ARefusalFoundByReadingLeavesNoBeamListing) {
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"500.0\n", "-500\n"},
                                 {"OUTPUT_THICKNESS{", "OUTPUT_THICKNES{"}}) {
    ScratchDir d;
    const RunResult r = run_korvex(d, "si.dat", edited(from, to));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(fs::exists(d / "si_fg0.txt")) << to;
  }
  // A run that reads its input whole still lists its beams.
  ScratchDir d;
  ASSERT_EQ(run_korvex(d, "si.dat", edited("% 2: automatic", "% 2: automatic")).status, 0);
  EXPECT_TRUE(fs::exists(d / "si_fg0.txt"));
}

// The map jobs list their beams after the grid is accepted: a refused grid
// leaves no listing, and the log ends with the reason the run stopped.
TEST(BadInput, ARefusedMapGridLeavesNoListingAndTheLogSaysWhy) {
  const std::string jobs = std::string(KV_EXAMPLES_DIR) + "/jobs/";
  for (const auto& [file, from, to, piece] :
       {std::tuple<std::string, std::string, std::string, std::string>{
            "si_001_potential_proj.dat", "33 33\n", "0 33\n", "number of pixels should be from 1 to"},
        {"si_density_3d.dat", "32 32 32\n", "30 32 32\n", "number of pixels should be a power of two"}}) {
    std::string text = read_file(jobs + file);
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << file;
    text.replace(at, from.size(), to);
    ScratchDir d;
    const RunResult r = run_korvex(d, "map.dat", text);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(piece), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(d / "map_fg0.txt")) << file;
    const std::string log = read_file((d / "map_log.txt").string());
    EXPECT_NE(log.find(piece), std::string::npos) << log;
  }
}

TEST(BadInput, WordsThatAreNeitherFlagsNorUnitsEndTheRun) {
  // Each was once read silently: a fixed parameter under an automatic name,
  // a disk size or tilt in units of g1/2 instead of mrad.
  expect_all_refused({
      {"5.431020511 FIX a", "5.431020511 fix a", {"\"fix\" after the value of lattice parameter a is not a flag word",
                                                  "$$ line: 5.431020511 fix a\n"}},
      {"-18.21877 ADJ f111_re", "-18.21877 ADJJ f111_re", {"\"ADJJ\" after the value of"}},
      {"% disk half-width (tilt units)\n0.5\n", "% disk half-width (tilt units)\n3.3 mr\n",
       {"$$ Data format error: \"mr\" after the number is not the unit mrad", "$$ line: 3.3 mr\n",
        "block SIM_CALCULATION_CONDITION > CALC_KXY_RANGE"}},
      {"0.0\n0.0\n% accel", "1.0 mradx\n0.0\n% accel", {"\"mradx\" after the number is not the unit mrad"}},
  });
}

// The tail of a comment longer than the buffer was once read as the line
// "intensity_scaling is 10000", and every intensity came out 0.
TEST(BadInput, ALongCommentInTheControlBlockStaysAComment) {
  ScratchDir d;
  const std::string comment = "% " + std::string(200, '-') + " The default intensity_scaling is 10000\n";
  const RunResult r = run_korvex(d, "si.dat", edited("bc_accuracy", comment + "bc_accuracy"));
  ASSERT_EQ(r.status, 0) << r.out;
  ScratchDir ref;
  ASSERT_EQ(run_korvex(ref, "si.dat", edited("x", "x")).status, 0);
  EXPECT_EQ(d.read("si_rs0.txt"), ref.read("si_rs0.txt"));
}

TEST(BadInput, ANameTheTalvisScriptCannotHoldIsRefusedBeforeAnythingIsWritten) {
  for (const std::string& name : std::vector<std::string>{"si 110.dat", "si;rm.dat", "si,1.dat", "#si.dat"}) {
    ScratchDir d;
    const RunResult r = run_korvex(d, name, edited("x", "x"));
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.out.find("$$ The parameter file name \"" + name + "\""), std::string::npos) << r.out;
    std::vector<std::string> written;
    for (const auto& e : fs::directory_iterator(d.path()))
      if (e.path().filename() != name) written.push_back(e.path().filename().string());
    EXPECT_TRUE(written.empty()) << name << ": " << (written.empty() ? "" : written[0]);
  }
}

}  // namespace
}  // namespace kvtest
