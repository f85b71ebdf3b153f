// korvex and talvis under a virtual-memory limit (ulimit -v), as batch
// systems set it: each run must either finish or end with a message and
// status 1, within a bounded time, never hang.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

// Runs exe with args in cwd under RLIMIT_AS = kb kilobytes; kills it after
// `seconds` and reports -1 then. Standard output and error go to one file.
LimitedRun run_limited(const std::string& exe, const std::vector<std::string>& args, const fs::path& cwd,
                       long kb, int seconds) {
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
    setrlimit(RLIMIT_AS, &rl);
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

}  // namespace
