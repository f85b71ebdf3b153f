// Outputs that appear whole or not at all (also on a full disk), the lock
// that keeps two korvex runs of one base name apart, and file names in the
// gnuplot scripts that korvex writes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <set>

#include "sim/atomic_file.hpp"
#include "sim/error.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/run_lock.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

// Lowers the file-size limit of this process for a while, the way a full
// disk makes writes fail (with EFBIG here, ENOSPC there).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = saved_;
    lower.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

TEST(OutputFile, TakesItsNameOnlyWhenCommitted) {
  kvtest::ScratchDir d;
  const std::string path = (d / "r.txt").string();
  kvtest::write_file(path, "previous run\n");
  {
    OutputFile out(path);
    ASSERT_TRUE(out);
    std::fputs("new result\n", out.get());
    std::fflush(out.get());
    EXPECT_EQ(kvtest::read_file(path), "previous run\n");  // not yet
    EXPECT_EQ(names_in(d.path()).size(), 2u);             // the temporary file beside it
    out.commit();
  }
  EXPECT_EQ(kvtest::read_file(path), "new result\n");
  EXPECT_EQ(names_in(d.path()), std::set<std::string>{"r.txt"});
  struct stat st {};
  stat(path.c_str(), &st);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);  // not the private mode of a temporary file

  // Never committed (the run failed on the way): no trace, the old file stays.
  {
    OutputFile out(path);
    std::fputs("half", out.get());
  }
  EXPECT_EQ(kvtest::read_file(path), "new result\n");
  EXPECT_EQ(names_in(d.path()), std::set<std::string>{"r.txt"});

  // A folder that does not exist: no file, errno says why.
  OutputFile none((d / "no" / "r.txt").string());
  EXPECT_FALSE(none);
}

TEST(OutputFile, FullDiskEndsTheRunNamingTheFile) {
  kvtest::ScratchDir d;
  const std::string path = (d / "big.txt").string();
  kvtest::write_file(path, "complete\n");
  std::string text;
  {
    const FileSizeLimit limit(4096);
    OutputFile out(path);
    ASSERT_TRUE(out);
    for (int i = 0; i < 2000; ++i) std::fprintf(out.get(), "%d 0.125 0.25\n", i);
    text = kvtest::fatal_text([&] { out.commit(); });
  }
  EXPECT_EQ(text.rfind("$$ Cannot write " + path + " (", 0), 0u) << text;
  EXPECT_EQ(kvtest::read_file(path), "complete\n");
  EXPECT_EQ(names_in(d.path()), std::set<std::string>{"big.txt"});
}

TEST(GnuplotQuote, SingleQuotesWithDoubledQuoteAndPlainFileNames) {
  EXPECT_EQ(gp_quote("t`touch X`.dat"), "'t`touch X`.dat'");
  EXPECT_EQ(gp_quote("a'b;c$(touch Y)"), "'a''b;c$(touch Y)'");
  EXPECT_EQ(gp_quote("say \"@x\" \\n"), "'say \"@x\" \\n'");
  EXPECT_EQ(gp_file("r.txt"), "'r.txt'");
  EXPECT_EQ(gp_file("<cat r"), "'./<cat r'");  // not a pipe
  EXPECT_EQ(gp_file("|lpr"), "'./|lpr'");
  EXPECT_EQ(gp_file("-"), "'./-'");  // not inline data
  for (const char* bad : {"a\nb", "a\rb", "a\x1b[2Jb", "a\x7f"}) {
    EXPECT_FALSE(gp_quotable(bad)) << bad;
    const std::string text = kvtest::fatal_text([&] { gp_quote(bad); });
    EXPECT_NE(text.find("cannot be written into a gnuplot script"), std::string::npos);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "the name is shown escaped";
  }
}

const char* kTfringeExample = KV_EXAMPLES_DIR "/jobs/si_110_tfringe.dat";

TEST(RunLock, SecondRunOfOneBaseNameStopsAndTheLockGoesWithTheRun) {
  kvtest::ScratchDir d;
  fs::copy_file(kTfringeExample, d / "t.dat");
  {
    const RunLock held((d / "t").string());
    const kvtest::RunResult r = kvtest::run_program(KORVEX_EXE, {"t.dat"}, d.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("$$ another korvex run is writing t (lock t.lock). Abort.\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(d / "t_log.txt"));  // nothing written
    EXPECT_FALSE(fs::exists(d / "t_int.txt"));
  }
  // Released with the holder, which removed its lock file; a run that ends
  // removes its own, whether it succeeded or failed.
  EXPECT_FALSE(fs::exists(d / "t.lock"));
  const kvtest::RunResult r = kvtest::run_program(KORVEX_EXE, {"t.dat"}, d.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(fs::exists(d / "t.lock"));
  d.write("u.dat", "NO_SUCH_MODE\nEPS_CONTROL_PARAMETERS{\n}EPS_CONTROL_PARAMETERS\n");
  EXPECT_EQ(kvtest::run_program(KORVEX_EXE, {"u.dat"}, d.path()).status, 1);
  EXPECT_FALSE(fs::exists(d / "u.lock"));
  // A lock file left by a killed run holds no lock and does not block.
  d.write("t.lock", "");
  EXPECT_EQ(kvtest::run_program(KORVEX_EXE, {"t.dat"}, d.path()).status, 0);
}

TEST(KorvexOutputs, FullDiskEndsWithStatus1AndLeavesNoCutResult) {
  kvtest::ScratchDir d;
  fs::copy_file(kTfringeExample, d / "t.dat");
  // The shell ignores SIGXFSZ and limits the file size for korvex to a few
  // kilobytes (8 blocks): longer writes fail as on a full disk. The
  // reflection listing, the first result of the job, is longer than that.
  const kvtest::RunResult r = kvtest::run_program(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" t.dat", KORVEX_EXE}, d.path());
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.err.find("$$ Cannot write t_fg0.txt ("), std::string::npos) << r.err;
  // Neither the cut listing nor any later result, nor a temporary file: the
  // parameter file and the log of what was done.
  EXPECT_EQ(names_in(d.path()), (std::set<std::string>{"t.dat", "t_log.txt"}));
}

// The HDF5 export, the last and largest file of a SIM_MODE run, fails under
// a file-size limit that the result files fit in: the run says so in the
// form of every other write failure and ends with status 1, not by a crash
// of libhdf5's exit-time cleanup of the file whose close had failed.
TEST(KorvexOutputs, FailedHdf5ExportEndsWithTheWriteMessageAndNoCutFile) {
  kvtest::ScratchDir d;
  fs::copy_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat", d / "si.dat");
  // 600 blocks of 512 bytes (or 1024, by the shell): above each 280 kB
  // result file, below the 1.1 MB export.
  const kvtest::RunResult r = kvtest::run_program(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 600; exec \"$0\" si.dat", KORVEX_EXE}, d.path());
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("$$ Cannot write si.h5 (File too large). Abort.\n"), std::string::npos) << r.err;
  const std::set<std::string> names = names_in(d.path());
  EXPECT_EQ(names.count("si.h5"), 0u);
  for (const std::string& n : names) EXPECT_NE(n[0], '.') << "temporary left: " << n;
}

// korvex's thickness-fringe plot script and the pages talvis makes from it,
// for a parameter file whose name would run commands in double quotes.
TEST(KorvexOutputs, HostileParameterFileNamesRunNothingInGnuplot) {
  if (std::system("gnuplot --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "gnuplot is not installed";
  kvtest::ScratchDir d;
  const std::string base = "t`touch${IFS}X`$(touch${IFS}Y)'q";
  fs::copy_file(kTfringeExample, d / (base + ".dat"));
  kvtest::RunResult r = kvtest::run_program(KORVEX_EXE, {base + ".dat"}, d.path());
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string plt = d.read(base + ".plt");
  EXPECT_NE(plt.find("set output 't`touch${IFS}X`$(touch${IFS}Y)''q_out.png'"), std::string::npos) << plt;
  r = kvtest::run_program("/bin/sh", {"-c", "exec gnuplot \"$0\"", base + ".plt"}, d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(fs::file_size(d / (base + "_out.png")), 0u);
  r = kvtest::run_program(TALVIS_EXE, {base + "_tlv.txt"}, d.path());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("$$ gnuplot"), std::string::npos) << r.out;
  EXPECT_GT(fs::file_size(d / (base + "_tfr.png")), 0u);
  EXPECT_GT(fs::file_size(d / (base + "_tfr_all.png")), 0u);
  EXPECT_FALSE(fs::exists(d / "X"));
  EXPECT_FALSE(fs::exists(d / "Y"));
}

}  // namespace
}  // namespace kv
