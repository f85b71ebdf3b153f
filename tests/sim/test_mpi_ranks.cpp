// korvex on several MPI ranks, run end to end with mpirun on one machine:
// the files of a two-rank run must be those of a one-process run byte for
// byte, only rank 0 may print, and a failure must end the run with one
// message and status 1. Built without MPI, only the rank arithmetic is
// checked.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/run_program.hpp"
#include "sim/mpi_ranks.hpp"

namespace kvtest {
namespace {

TEST(RankShare, DealsEveryItemToExactlyOneRank) {
  for (int size : {1, 2, 3, 5}) {
    for (int n : {0, 1, 2, 7, 961}) {
      std::vector<int> owner(static_cast<std::size_t>(n), -1);
      int total = 0;
      for (int r = 0; r < size; ++r) {
        const kv::RankShare share{r, size};
        for (int j = 0; j < share.count(n); ++j) {
          const int i = share.item(j);
          ASSERT_GE(i, 0);
          ASSERT_LT(i, n) << "rank " << r << " of " << size;
          EXPECT_EQ(owner[i], -1) << "item " << i << " dealt twice";
          owner[i] = r;
        }
        total += share.count(n);
        // Shares differ by at most one item.
        EXPECT_LE((kv::RankShare{0, size}.count(n) - share.count(n)), 1);
      }
      EXPECT_EQ(total, n) << n << " items on " << size << " ranks";
    }
  }
}

TEST(RankShare, OneProcessGathersItsOwnSlots) {
  const std::vector<double> mine = {1.5, -0.0, 3.25, 4.0};
  std::vector<double> all;
  EXPECT_TRUE(kv::gather_item_slots(2, 2, mine, all));
  EXPECT_EQ(all, mine);
  std::vector<double> shared;
  kv::share_item_slots(2, 2, mine, shared);
  EXPECT_EQ(shared, mine);
  EXPECT_TRUE(kv::rank_writes_files());
}

#ifdef KV_MPIRUN

std::string example(const std::string& name) { return read_file(std::string(KV_EXAMPLES_DIR) + "/" + name); }

std::string with_eps(const std::string& text, const std::string& lines) {
  std::string s = text;
  const std::size_t at = s.find("}EPS_CONTROL_PARAMETERS");
  if (at != std::string::npos) s.insert(at, lines);
  return s;
}

RunResult run_korvex(const ScratchDir& d, const std::string& name, const std::string& text) {
  d.write(name, text);
  return run_program(KORVEX_EXE, {name}, d.path());
}

// mpirun as root in a container: no remote shell, no single-copy transport.
RunResult run_ranks(const ScratchDir& d, int ranks, const std::string& name, const std::string& text) {
  ::setenv("OMPI_MCA_plm_rsh_agent", "", 1);
  ::setenv("OMPI_MCA_btl_vader_single_copy_mechanism", "none", 1);
  ::setenv("OMPI_MCA_rmaps_base_oversubscribe", "1", 1);
  d.write(name, text);
  return run_program(KV_MPIRUN, {"--allow-run-as-root", "--oversubscribe", "-n", std::to_string(ranks), KORVEX_EXE, name},
                     d.path());
}

// A log without what only the clock decides: the wall-time line and the
// seconds at the end of a refinement's iteration lines.
std::string without_times(const std::string& text) {
  static const std::regex seconds("  [0-9]+\\.[0-9]+ s(  \\(step rejected\\))?$");
  std::string kept;
  for (const std::string& line : split_lines(text)) {
    if (line.starts_with("Wall time:") || line.starts_with("$$ Wall time:")) continue;
    kept += (line.starts_with("$$ iteration") ? std::regex_replace(line, seconds, "$1") : line) + "\n";
  }
  return kept;
}

// A refinement's chi-squared history without its last column, the seconds.
std::string without_seconds_column(const std::string& text) {
  std::string kept;
  for (const std::string& line : split_lines(text)) {
    const std::size_t last = line.find_last_of(' ');
    kept += (line.starts_with("#") || last == std::string::npos ? line : line.substr(0, last)) + "\n";
  }
  return kept;
}

// Every file of the folder by name, the HDF5 export included, with the
// clock readings taken out of the log and the chi-squared history.
std::map<std::string, std::string> folder_files(const ScratchDir& d) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(d.path())) {
    std::string text = read_file(e.path());
    const std::string name = e.path().filename().string();
    if (name.ends_with("_log.txt")) text = without_times(text);
    if (name.ends_with("_chisq.txt")) text = without_seconds_column(text);
    files[name] = text;
  }
  return files;
}

void expect_same_files(const ScratchDir& one, const ScratchDir& many, const std::string& what, int ranks) {
  const auto a = folder_files(one), b = folder_files(many);
  ASSERT_GT(a.size(), 3u) << what;
  std::vector<std::string> names_a, names_b;
  for (const auto& [name, _] : a) names_a.push_back(name);
  for (const auto& [name, _] : b) names_b.push_back(name);
  EXPECT_EQ(names_a, names_b) << what;
  for (const auto& [name, content] : a) {
    const auto it = b.find(name);
    if (it == b.end()) continue;
    EXPECT_TRUE(content == it->second) << what << ": " << name << " differs on " << ranks << " ranks";
  }
}

void expect_one_banner(const std::string& out) {
  const std::string welcome = "#####  Welcome to KORVEX\n";
  const std::size_t first = out.find(welcome);
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(out.find(welcome, first + 1), std::string::npos) << out;
}

void expect_ranks_write_the_serial_files(const std::string& file, int ranks, const std::string& eps) {
  ScratchDir one, many;
  const std::string text = with_eps(example(file), eps);
  const RunResult serial = run_korvex(one, "job.dat", text);
  ASSERT_EQ(serial.status, 0) << serial.out << serial.err;
  const RunResult spread = run_ranks(many, ranks, "job.dat", text);
  ASSERT_EQ(spread.status, 0) << spread.out << spread.err;

  expect_same_files(one, many, file, ranks);
  expect_one_banner(spread.out);
  EXPECT_NE(spread.out.find("Tilt loop: " + std::to_string(ranks) + " MPI ranks"), std::string::npos);
}

TEST(MpiRanks, DemoAndCoherentFilesAreThoseOfOneProcess) {
  expect_ranks_write_the_serial_files("si_110_200kv.dat", 2, "num_threads 1\n");
  expect_ranks_write_the_serial_files("si_110_200kv_coherent.dat", 2, "num_threads 1\n");
}

TEST(MpiRanks, HermitianSplitToo) {
  expect_ranks_write_the_serial_files("si_110_200kv.dat", 2, "num_threads 1\neigmat_func 3\n");
  expect_ranks_write_the_serial_files("si_110_200kv_coherent.dat", 3, "num_threads 2\neigmat_func 3\n");
}

TEST(MpiRanks, ThreadedRanksToo) {
  expect_ranks_write_the_serial_files("si_110_200kv.dat", 3, "num_threads 2\n");
}

// The synthetic silicon measurement of the refinement tests, small: 7 x 7
// measured points and a few iterations.
void make_fit_example(const ScratchDir& d) {
  const std::string tool = std::string(KV_EXAMPLES_DIR) + "/../tools/make_fit_example.py";
  const RunResult r = run_program("/usr/bin/python3",
                                  {tool, "--korvex", KORVEX_EXE, "--dir", d.path().string(), "--name", "si",
                                   "--side", "7", "--max-iter", "4"},
                                  d.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

void copy_folder(const ScratchDir& from, const ScratchDir& to) {
  for (const auto& e : std::filesystem::directory_iterator(from.path()))
    to.write(e.path().filename().string(), read_file(e.path()));
}

TEST(MpiRanks, RefinementOnThreadedRanksWritesTheFilesOfOneProcess) {
  ScratchDir one, many;
  make_fit_example(one);
  const std::string fit = with_eps(one.read("si.dat"), "num_threads 2\n");
  one.write("si.dat", fit);
  copy_folder(one, many);
  const RunResult serial = run_program(KORVEX_EXE, {"si.dat"}, one.path());
  ASSERT_EQ(serial.status, 0) << serial.out << serial.err;
  const RunResult spread = run_ranks(many, 2, "si.dat", fit);
  ASSERT_EQ(spread.status, 0) << spread.out << spread.err;
  // The refinement really ran, and both runs took the same steps.
  EXPECT_NE(serial.out.find("$$ iteration   1  chisq = "), std::string::npos) << serial.out;
  EXPECT_TRUE(std::filesystem::exists(one / "si_fit.txt"));
  expect_same_files(one, many, "si.dat", 2);
  expect_one_banner(spread.out);
  EXPECT_NE(spread.out.find("Refinement: 2 MPI ranks"), std::string::npos) << spread.out;
  EXPECT_EQ(without_times(serial.out.substr(serial.out.find("$$ iteration"))),
            without_times(spread.out.substr(spread.out.find("$$ iteration"))));
}

TEST(MpiRanks, BadInputEndsEveryRankWithOneMessage) {
  ScratchDir d;
  const RunResult r = run_ranks(d, 2, "job.dat", with_eps(example("si_110_200kv.dat"), "num_threads -2\n"));
  EXPECT_EQ(r.status, 1);
  const std::string message = "$$ Invalid epsilon.num_threads=-2. Abort.\n";
  const std::size_t first = r.out.find(message);
  ASSERT_NE(first, std::string::npos) << r.out << r.err;
  EXPECT_EQ(r.out.find(message, first + 1), std::string::npos) << r.out;
}

#endif

}  // namespace
}  // namespace kvtest
