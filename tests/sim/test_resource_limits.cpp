// korvex and talvis under the limits and accidents of batch systems: a
// virtual-memory limit (ulimit -v), a file-size limit (ulimit -f), a kill in
// the middle of a run. Each run must finish or end with a message and status
// 1 within a bounded time, and leave a log of what it did and no debris.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim/parallel.hpp"
#include "support/run_program.hpp"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

struct LimitedRun {
  int status = -1;  // exit status, -1 when it had to be killed
  std::string out;
};

// Runs exe with args in cwd under the limit `resource` = kb kilobytes (none
// for kb <= 0); kills it after `seconds` and reports -1 then. Standard output and error go to one
// file.
LimitedRun run_limited(const std::string& exe, const std::vector<std::string>& args, const fs::path& cwd,
                       long kb, int seconds, int resource = RLIMIT_AS) {
  const fs::path out = cwd / "limited_out.txt";
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = open("/dev/null", O_RDONLY);
    if (fd < 0 || null < 0) _exit(126);
    dup2(null, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    struct rlimit rl {};
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(kb) * 1024;
    if (kb > 0) setrlimit(resource, &rl);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  LimitedRun r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int st = 0;
  for (;;) {
    const pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid) {
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  r.out = kvtest::read_file(out);
  return r;
}

TEST(MemoryLimit, KorvexRunsOrRefusesWithAMessageUnderAnyAddressSpaceLimit) {
  if (kAddressSanitizer) GTEST_SKIP() << "the sanitizer's shadow memory cannot live under an address-space limit";
  const std::string job = kvtest::read_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat");
  int finished = 0;
  for (const long kb : {200000L, 300000L, 400000L, 1000000L}) {
    SCOPED_TRACE(kb);
    kvtest::ScratchDir d;
    d.write("job.dat", job);
    const LimitedRun r = run_limited(KORVEX_EXE, {"job.dat"}, d.path(), kb, 240);
    ASSERT_NE(r.status, -1) << "korvex did not end within 240 s\n" << r.out;
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.out;
    if (r.status == 1) {
      EXPECT_NE(r.out.find("$$"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("Abort."), std::string::npos) << r.out;
    } else {
      ++finished;
      EXPECT_TRUE(fs::exists(d / "job_rs0.txt"));
    }
    // A refusal of the input ends as promptly.
    const LimitedRun missing = run_limited(KORVEX_EXE, {"missing.dat"}, d.path(), kb, 60);
    EXPECT_EQ(missing.status, 1) << missing.out;
    EXPECT_NE(missing.out.find("Cannot open missing.dat"), std::string::npos) << missing.out;
    const LimitedRun talvis = run_limited(TALVIS_EXE, {"missing.txt"}, d.path(), kb, 60);
    EXPECT_EQ(talvis.status, 1) << talvis.out;
  }
  // A limit of a gigabyte leaves ample room for this small job.
  EXPECT_GE(finished, 1);
}

TEST(PlainFiles, AFifoOrAFolderGivenAsAnInputIsRefusedAtOnce) {
  kvtest::ScratchDir d;
  ASSERT_EQ(mkfifo((d / "fifo.dat").c_str(), 0644), 0);
  fs::create_directories(d / "folder.dat");
  LimitedRun r = run_limited(KORVEX_EXE, {"fifo.dat"}, d.path(), 0, 60);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("$$ (fopen_chk_rmode) Cannot open fifo.dat: it is not a plain file (a FIFO, device or "
                       "socket). Abort.\n"),
            std::string::npos)
      << r.out;
  r = run_limited(KORVEX_EXE, {"folder.dat"}, d.path(), 0, 60);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("Cannot open folder.dat: it is a folder, not a file. Abort."), std::string::npos) << r.out;
  // A measured-intensity file named in a talvis script.
  d.write("s.txt", "TALVIS_SCRIPT\nTS_SCAN_MODE\nTS_SCAN_INT_FILE\nfifo.dat\n");
  r = run_limited(TALVIS_EXE, {"s.txt"}, d.path(), 0, 60);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("fifo.dat: it is not a plain file"), std::string::npos) << r.out;
  // korvex.ini as a FIFO is no debug-flag file.
  ASSERT_EQ(mkfifo((d / "korvex.ini").c_str(), 0644), 0);
  r = run_limited(KORVEX_EXE, {"folder.dat"}, d.path(), 0, 60);
  EXPECT_EQ(r.status, 1) << r.out;
}

TEST(ThreadCount, MoreThreadsThanCoresAreWarnedAboutAndCutAtFourPerCore) {
  kvtest::ScratchDir d;
  std::string job = kvtest::read_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat");
  job.replace(job.find("general_eps"), 0, "num_threads 1000\n");
  d.write("job.dat", job);
  const kvtest::RunResult r = kvtest::run_program(KORVEX_EXE, {"job.dat"}, d.path());
  ASSERT_EQ(r.status, 0) << r.out;
  const int cores = kv::resolve_thread_count(0);
  EXPECT_NE(r.out.find("$$ Warning: num_threads 1000 is more than the " + std::to_string(cores) +
                       " cores of this machine: the tilt loops use " + std::to_string(4 * cores) + " threads.\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Tilt loop: " + std::to_string(4 * cores) + " threads\n"), std::string::npos) << r.out;
}

TEST(FileSizeLimit, KorvexEndsWithCannotWriteAndLeavesNoTemporaries) {
  kvtest::ScratchDir d;
  d.write("job.dat", kvtest::read_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat"));
  // 100 kB: the log and the listing fit, the first intensity file does not.
  const LimitedRun r = run_limited(KORVEX_EXE, {"job.dat"}, d.path(), 100, 240, RLIMIT_FSIZE);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("$$ Cannot write job_rs0.txt (File too large). Abort.\n"), std::string::npos) << r.out;
  for (const auto& e : fs::directory_iterator(d.path()))
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
  EXPECT_FALSE(fs::exists(d / "job_rs0.txt"));
}

TEST(StaleTemporaries, ARunRemovesWhatAKilledRunOfItsBaseNameLeftAndNothingElse) {
  kvtest::ScratchDir d;
  d.write("job.dat", "NO_SUCH_MODE\nEPS_CONTROL_PARAMETERS{\n}EPS_CONTROL_PARAMETERS\n");
  const std::vector<std::string> stale = {".job_rs0.txt.a1B2c3", ".job_log.txt.XyZ123", ".job.h5.q9w8e7"};
  // Another base name; one that shares the prefix while its run holds its
  // lock; names that are no temporaries of an output.
  const std::vector<std::string> kept = {".jobs_rs0.txt.a1B2c3", ".job_110_rs0.txt.abcdef", ".job_rs0.txt.abc",
                                         "job_rs0.txt.a1B2c3", ".other_rs0.txt.a1B2c3"};
  for (const std::string& n : stale) d.write(n, "half a file");
  for (const std::string& n : kept) d.write(n, "someone else's");
  const int lock = open((d / "job_110.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  const kvtest::RunResult r = kvtest::run_program(KORVEX_EXE, {"job.dat"}, d.path());
  close(lock);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Removed 3 unfinished temporary files that an earlier run of job left behind.\n"),
            std::string::npos)
      << r.out;
  for (const std::string& n : stale) EXPECT_FALSE(fs::exists(d / n)) << n;
  for (const std::string& n : kept) EXPECT_TRUE(fs::exists(d / n)) << n;
}

TEST(KilledRun, TheLogHoldsEveryLineTheRunPrintedBeforeItWasKilled) {
  if (kAddressSanitizer) GTEST_SKIP() << "timing of the sanitizer build";
  kvtest::ScratchDir d;
  std::string job = kvtest::read_file(std::string(KV_EXAMPLES_DIR) + "/si_110_200kv.dat");
  // A finer tilt grid keeps the run busy long enough to be killed in its loop.
  job.replace(job.find("\n31\n"), 4, "\n201\n");
  d.write("job.dat", job);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(d.path().c_str()) != 0) _exit(126);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execl(KORVEX_EXE, KORVEX_EXE, "job.dat", static_cast<char*>(nullptr));
    _exit(127);
  }
  // The log names the tilts (the last line before the tilt loop) while the
  // run is still computing them.
  bool seen = false;
  for (int i = 0; i < 1200 && !seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen = kvtest::read_file(d / "job_log.txt").find("Tilts: ") != std::string::npos;
  }
  kill(pid, SIGKILL);
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(seen) << kvtest::read_file(d / "job_log.txt");
  const std::string log = kvtest::read_file(d / "job_log.txt");
  EXPECT_NE(log.find("parameter_file: job.dat\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Wall time"), std::string::npos) << "the run ended before it was killed";
}

}  // namespace
