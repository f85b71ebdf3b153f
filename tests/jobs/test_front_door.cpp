// A new user's first runs: outputs named from the file's own name in the
// working folder, the job's conditions in the log, tilts and disk sizes in
// mrad, and the common mistakes answered with a message that says what to
// fix and where.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"

namespace kvtest {
namespace {

std::string si_example() { return read_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat"); }

// The example with its first occurrence of `from` replaced.
std::string edited(const std::string& from, const std::string& to) {
  std::string s = si_example();
  const std::size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

// One failing run: status 1, every expected piece in the output, no crash.
void expect_refused(const std::string& text, const std::vector<std::string>& pieces) {
  ScratchDir d;
  const RunResult r = run_korvex(d, "si.dat", text);
  EXPECT_EQ(r.status, 1) << r.out;
  for (const std::string& p : pieces) EXPECT_NE(r.out.find(p), std::string::npos) << p << "\n--- got:\n" << r.out;
}

TEST(FrontDoor, OutputsGoToTheWorkingFolderNamedFromTheFilesOwnName) {
  ScratchDir d;
  std::filesystem::create_directories(d / "sub.dir");
  write_file(d / "sub.dir" / "si.b.dat", edited("31\n", "5\n"));
  const RunResult r = run_program(KORVEX_EXE, {"./sub.dir/si.b.dat"}, d.path());
  ASSERT_EQ(r.status, 0) << r.out;
  for (const char* f : {"si_log.txt", "si_rs0.txt", "si_fg0.txt", "si_tlv.txt"})
    EXPECT_TRUE(std::filesystem::exists(d / f)) << f;
  EXPECT_FALSE(std::filesystem::exists(d / "sub.dir" / "si_log.txt"));
  EXPECT_FALSE(std::filesystem::exists(d / "sub_log.txt"));

  // The log states the job's conditions: 200 kV, lambda 0.02508 A,
  // |g1| = |(2 -2 0)| = 2 sqrt(2) / 5.431 = 0.5208 1/A, and the disk of 0.5
  // g1/2 is 0.5 * 0.2604 * 0.02508 = 3.265 mrad.
  const std::string log = d.read("si_log.txt");
  EXPECT_NE(log.find("Conditions: voltage 200 kV, wavelength 0.025079 A, |g1| 0.520791 1/A"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Disk size: 0.5 (g1/2) = 3.265 mrad = 0.1302 1/A"), std::string::npos) << log;
  EXPECT_NE(log.find("Thicknesses (A): 500 1000 1500"), std::string::npos) << log;
  EXPECT_NE(log.find("Beams: "), std::string::npos);
  EXPECT_NE(log.find("Tilts: "), std::string::npos);
  EXPECT_NE(log.find("Wall time: "), std::string::npos);
  EXPECT_NE(r.out.find("Wall time: "), std::string::npos);
}

// The beam search's report of what each limit left out reaches standard
// output, the log and the end of the reflection listing.
TEST(FrontDoor, BeamSearchReportGoesToTheLogAndTheListing) {
  ScratchDir d;
  const RunResult r = run_korvex(d, "si.dat", edited("31\n", "5\n"));
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string head = "Beam search left out (reflections, strongest by |Fg|):";
  const std::size_t at = r.out.find(head);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string report = r.out.substr(at, r.out.find("\n", r.out.find("xi_g_max", at)) - at);
  const std::string log = d.read("si_log.txt");
  EXPECT_NE(log.find(report), std::string::npos) << report << "\n--- log:\n" << log;

  const std::vector<std::string> lines = split_lines(d.read("si_fg0.txt"));
  std::size_t first_comment = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == "# " + head) first_comment = i;
  ASSERT_LT(first_comment, lines.size());
  EXPECT_EQ(lines[first_comment], "# " + head);
  for (std::size_t i = first_comment; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("# ", 0), 0u) << lines[i];
  EXPECT_NE(d.read("si_fg0.txt").find("#   xi_g_max "), std::string::npos);
}

TEST(FrontDoor, AnEmptyBaseNameIsRefused) {
  ScratchDir d;
  std::filesystem::create_directories(d / "dir");
  const RunResult r = run_program(KORVEX_EXE, {"dir/"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("gives an empty base name"), std::string::npos) << r.out;
}

TEST(FrontDoor, DiskAndTiltInMradGiveTheSameIntensities) {
  ScratchDir a, b;
  const std::string base = edited("31\n", "5\n");
  ASSERT_EQ(run_korvex(a, "si.dat", base).status, 0);
  // 3.26527525 mrad is the 0.5 g1/2 of the example; the tilt written as 0 mrad.
  std::string mrad = base;
  mrad.replace(mrad.find("0.5\n}CALC_KXY_RANGE"), 3, "3.26527525 mrad");
  mrad.replace(mrad.find("0.0\n0.0\n"), 8, "0.0mrad\n0.0 mrad\n");
  const RunResult r = run_korvex(b, "si.dat", mrad);
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Disk size: 0.5 (g1/2) = 3.265 mrad"), std::string::npos) << r.out;
  const auto ra = numeric_rows(a.read("si_rs0.txt")), rb = numeric_rows(b.read("si_rs0.txt"));
  ASSERT_EQ(ra.size(), rb.size());
  ASSERT_FALSE(ra.empty());
  for (std::size_t i = 0; i < ra.size(); ++i) {
    ASSERT_EQ(ra[i].size(), rb[i].size());
    for (std::size_t j = 0; j < ra[i].size(); ++j) EXPECT_NEAR(ra[i][j], rb[i][j], 1e-4 * (1 + std::abs(ra[i][j])));
  }
}

TEST(FrontDoor, CommonMistakesSayWhatToFix) {
  // g1 in the incidence direction: no zero-order Laue zone to span.
  expect_refused(edited("2 -2 0\n", "1 1 0\n"),
                 {"g1 = (1 1 0) must be perpendicular to the incidence [1 1 0]", "h u + k v + l w = 2",
                  "block SIM_CALCULATION_CONDITION > INCIDENT_BEAM"});
  // A decimal comma where the cell edge stands.
  expect_refused(edited("5.431020511 FIX a", "5,431 FIX a"),
                 {"\"5,431\" for lattice parameter a has a decimal comma; write 5.431", "of si.dat",
                  "block CRYSTAL_STRUCTURE_DATA > LATTICE"});
  // A typo inside a number.
  expect_refused(edited("5.431020511 FIX a", "5.43l FIX a"),
                 {"the number \"5.43l\" for lattice parameter a has trailing characters \"l\""});
  // Upper-case element symbol.
  expect_refused(edited("SITE{\nSi\n", "SITE{\nSI\n"),
                 {"Site 1: the element or ion \"SI\" is not in the scattering-factor table (did you mean Si?)",
                  "Names are case-sensitive", "korvexxdt.dat", "block CRYSTAL_STRUCTURE_DATA > ATOM > SITE"});
  // A mistyped job mode lists the valid ones.
  expect_refused(edited("SIM_MODE", "SIM_MOD"), {"Job mode SIM_MOD is not supported", "SIM_MODE, SIM_COHERENT_MODE"});
}

TEST(FrontDoor, TalvisTableToolTakesCapitals) {
  ScratchDir d;
  const RunResult r = run_program(TALVIS_EXE, {"int"}, d.path(), "1\n0\n1\n200\n0.5\n3\nSI\n\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(d.read("asf.out").find("# element = Si"), std::string::npos);
}

}  // namespace
}  // namespace kvtest
