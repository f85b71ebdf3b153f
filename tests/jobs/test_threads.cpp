// The tilt loops on several threads and the LAPACK solver choices, run end
// to end on the shipped silicon examples: the result files must not depend
// on the thread count at all, and the LAPACK route must agree with the
// in-house solvers to within the six digits the files hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "jobs/sim_files.hpp"
#include "support/h5_contents.hpp"

namespace kvtest {
namespace {

std::string example(const std::string& name) { return read_file(std::string(KV_EXAMPLES_DIR) + "/" + name); }

// The example with extra run-control lines at the end of its EPS block.
std::string with_eps(const std::string& text, const std::string& lines) {
  std::string s = text;
  const std::string end = "}EPS_CONTROL_PARAMETERS";
  const std::size_t at = s.find(end);
  if (at != std::string::npos) s.insert(at, lines);
  return s;
}

// Runs the example with the given EPS lines in a fresh folder and returns
// the texts of its result files _rs0.._rs(n-1), then the values of its HDF5
// export job.h5.
std::vector<std::string> results(const std::string& file, const std::string& lines, int n_files,
                                 std::string* out = nullptr) {
  ScratchDir d;
  const RunResult r = run_korvex(d, "job.dat", with_eps(example(file), lines));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  if (out) *out = r.out;
  std::vector<std::string> texts;
  for (int t = 0; t < n_files; ++t) texts.push_back(d.read("job_rs" + std::to_string(t) + ".txt"));
  // The export's values; its copy of the parameter file and of the
  // run-control keys names the thread count and is left out.
  std::string values;
  for (const auto& [name, bytes] : h5_datasets((d / "job.h5").string(), {"input/", "run_control/"}))
    values += name + "\n" + bytes;
  texts.push_back(values);
  return texts;
}

int result_count(const std::string& file) {
  ScratchDir d;
  const RunResult r = run_korvex(d, "job.dat", with_eps(example(file), "num_threads 1\n"));
  int n = 0;
  while (std::filesystem::exists(d / ("job_rs" + std::to_string(n) + ".txt"))) ++n;
  return n;
}

void expect_same_files_for_every_thread_count(const std::string& file, const std::string& solver) {
  const int n = result_count(file);
  ASSERT_GT(n, 0);
  std::string out1, out3;
  const auto serial = results(file, solver + "num_threads 1\n", n, &out1);
  const auto two = results(file, solver + "num_threads 2\n", n);
  const auto three = results(file, solver + "num_threads 3\n", n, &out3);
  const auto all = results(file, solver, n);
  // Every result file and the export, byte for byte.
  for (int t = 0; t <= n; ++t) {
    const std::string name = t < n ? "rs" + std::to_string(t) : "job.h5";
    EXPECT_FALSE(serial[t].empty()) << file << " " << name;
    EXPECT_TRUE(serial[t] == two[t]) << file << " " << name;
    EXPECT_TRUE(serial[t] == three[t]) << file << " " << name;
    EXPECT_TRUE(serial[t] == all[t]) << file << " " << name;
  }
  EXPECT_NE(out1.find("Tilt loop: 1 thread\n"), std::string::npos);
  EXPECT_NE(out3.find("Tilt loop: 3 threads\n"), std::string::npos);
}

TEST(TiltThreads, DemoAndCoherentFilesAreTheSameOnAnyThreadCount) {
  expect_same_files_for_every_thread_count("si_110_200kv.dat", "");
  expect_same_files_for_every_thread_count("si_110_200kv_coherent.dat", "");
}

TEST(TiltThreads, LapackSolversAreThreadSafeToo) {
  expect_same_files_for_every_thread_count("si_110_200kv.dat", "eigmat_func 2\nbc_invmat_func 2\n");
}

TEST(TiltThreads, HermitianSplitIsThreadSafeToo) {
  expect_same_files_for_every_thread_count("si_110_200kv.dat", "eigmat_func 3\n");
  expect_same_files_for_every_thread_count("si_110_200kv_coherent.dat", "eigmat_func 3\n");
}

// Largest difference between two result files' numbers, relative to the
// largest value of the file (intensities span many decades; the faint ones
// are the least well determined by either solver).
double worst_scaled_difference(const std::string& a, const std::string& b) {
  const ResultFile ra = read_result(a), rb = read_result(b);
  EXPECT_EQ(ra.values.size(), rb.values.size());
  double peak = 0, worst = 0;
  for (const auto& v : ra.values)
    for (double x : v) peak = std::max(peak, std::fabs(x));
  for (std::size_t r = 0; r < std::min(ra.values.size(), rb.values.size()); ++r) {
    EXPECT_EQ(ra.values[r].size(), rb.values[r].size());
    for (std::size_t k = 0; k < std::min(ra.values[r].size(), rb.values[r].size()); ++k)
      worst = std::max(worst, std::fabs(ra.values[r][k] - rb.values[r][k]));
  }
  return peak > 0 ? worst / peak : worst;
}

TEST(LapackSolvers, AgreeWithTheInHouseSolversOnTheExamples) {
  for (const std::string file : {"si_110_200kv.dat", "si_110_200kv_coherent.dat"}) {
    const int n = result_count(file);
    ASSERT_GT(n, 0);
    const auto eispack = results(file, "num_threads 1\n", n);
    const auto lapack = results(file, "num_threads 1\neigmat_func 2\nbc_invmat_func 2\n", n);
    const auto cmat = results(file, "num_threads 1\neigmat_func 1\n", n);
    for (int t = 0; t < n; ++t) {
      EXPECT_LT(worst_scaled_difference(eispack[t], lapack[t]), 1e-5) << file << " rs" << t;
      EXPECT_LT(worst_scaled_difference(eispack[t], cmat[t]), 1e-5) << file << " rs" << t;
    }
  }
}

TEST(TiltThreads, NegativeThreadCountIsRejected) {
  ScratchDir d;
  const RunResult r = run_korvex(d, "job.dat", with_eps(example("si_110_200kv.dat"), "num_threads -2\n"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Invalid epsilon.num_threads=-2. Abort.\n"), std::string::npos);
}

}  // namespace
}  // namespace kvtest
