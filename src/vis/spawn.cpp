#include "vis/spawn.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "sim/atomic_file.hpp"
#include "sim/error.hpp"
#include "sim/qzio.hpp"

extern char** environ;

namespace kv {

namespace {

double g_child_time_limit = kDefaultChildTimeLimit;

// Tools already reported as missing in this run.
bool first_report(const std::string& tool) {
  static std::set<std::string> reported;
  return reported.insert(tool).second;
}

class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&fa_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&fa_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attr_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attr_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attr_; }
  // The child leads a process group of its own, so that it can be ended
  // together with whatever it started.
  void own_process_group() {
    posix_spawnattr_setpgroup(&attr_, 0);
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP);
  }

 private:
  posix_spawnattr_t attr_;
};

// A file operand that begins with '-' would be taken for an option by the
// tool; "./" in front keeps it a file name.
std::string file_operand(const std::string& path) { return (!path.empty() && path[0] == '-') ? "./" + path : path; }

int status_of(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Waits for the child without a limit; false when waitpid fails.
bool wait_child(pid_t pid, int* wstatus) {
  while (waitpid(pid, wstatus, 0) < 0)
    if (errno != EINTR) return false;
  return true;
}

// Polls the child until it ends or the time runs out; true when it ended.
bool wait_child_until(pid_t pid, std::chrono::steady_clock::time_point deadline, int* wstatus) {
  auto pause = std::chrono::milliseconds(2);
  for (;;) {
    const pid_t r = waitpid(pid, wstatus, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // nothing left to wait for
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(100)) pause *= 2;
  }
}

// Ends the child's process group: a polite request first, then for good.
void stop_group(pid_t pid, int* wstatus) {
  kill(-pid, SIGTERM);
  if (wait_child_until(pid, std::chrono::steady_clock::now() + std::chrono::seconds(2), wstatus)) {
    kill(-pid, SIGKILL);  // anything the tool started that is still there
    return;
  }
  kill(-pid, SIGKILL);
  wait_child(pid, wstatus);
}

unsigned long be32(const unsigned char* p) {
  return (static_cast<unsigned long>(p[0]) << 24) | (static_cast<unsigned long>(p[1]) << 16) |
         (static_cast<unsigned long>(p[2]) << 8) | static_cast<unsigned long>(p[3]);
}

// Width and height from the header of a PGM (or any PNM) picture.
bool pnm_size(const std::string& pgm, long* width, long* height) {
  std::ifstream in(pgm, std::ios::binary);
  char magic[2] = {};
  if (!in.read(magic, 2) || magic[0] != 'P') return false;
  long v[2] = {0, 0};
  for (long& x : v) {
    for (;;) {
      const int c = in.peek();
      if (c == '#') {
        std::string skip;
        std::getline(in, skip);
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        in.get();
      } else {
        break;
      }
    }
    if (!(in >> x) || x <= 0) return false;
  }
  *width = v[0];
  *height = v[1];
  return true;
}

}  // namespace

void set_child_time_limit(double seconds) { g_child_time_limit = seconds; }
double child_time_limit() { return g_child_time_limit; }

SpawnResult run_tool(const std::vector<std::string>& argv, const std::optional<std::string>& stdout_path,
                     bool limited) {
  SpawnResult result;
  if (argv.empty()) return result;
  std::fflush(stdout);
  std::fflush(stderr);

  int out_fd = -1;
  if (stdout_path) {
    out_fd = open(stdout_path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0) {
      std::printf("$$ Cannot create %s: %s\n", stdout_path->c_str(), std::strerror(errno));
      return result;
    }
  }
  SpawnActions actions;
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(actions.get(), out_fd, STDOUT_FILENO);
  SpawnAttributes attributes;
  if (limited) attributes.own_process_group();

  std::vector<std::string> store(argv);
  std::vector<char*> args;
  for (std::string& a : store) args.push_back(a.data());
  args.push_back(nullptr);

  pid_t pid = 0;
  const auto start = std::chrono::steady_clock::now();
  const int rc = posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ);
  if (out_fd >= 0) close(out_fd);
  if (rc != 0) {
    if (first_report(argv[0]))
      std::printf("$$ Cannot run %s (%s); going on without it.\n", argv[0].c_str(), std::strerror(rc));
    std::fflush(stdout);
    return result;
  }
  result.started = true;
  int wstatus = 0;
  if (!limited) {
    if (!wait_child(pid, &wstatus)) return result;
  } else {
    const auto limit = std::chrono::duration<double>(g_child_time_limit);
    const auto deadline = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
    if (!wait_child_until(pid, deadline, &wstatus)) {
      result.timed_out = true;
      stop_group(pid, &wstatus);
    }
  }
  result.status = status_of(wstatus);
  return result;
}

std::string tool_trouble(const std::string& tool, const std::string& operand, const SpawnResult& r) {
  if (r.timed_out)
    return strprintf("%s on %s did not finish within %g s (CHILD_TIME_LIMIT) and was stopped", tool.c_str(),
                     operand.c_str(), g_child_time_limit);
  if (r.status > 128) return strprintf("%s on %s was ended by signal %d", tool.c_str(), operand.c_str(), r.status - 128);
  return strprintf("%s failed on %s (exit status %d)", tool.c_str(), operand.c_str(), r.status);
}

void report_tool(const std::string& tool, const std::string& operand, const SpawnResult& r) {
  if (!r.started || r.ok()) return;
  std::printf("$$ %s.\n", tool_trouble(tool, operand, r).c_str());
  std::fflush(stdout);
}

std::string self_executable() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "/proc/self/exe";
  buf[n] = '\0';
  return buf;
}

void delete_file(const std::string& path) { unlink(path.c_str()); }

// A complete PNG: signature, IHDR first with the expected size, IEND last.
bool png_has_size(const std::string& png, long width, long height) {
  std::ifstream in(png, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  static const unsigned char kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
  if (bytes.size() < 8 + 25 + 12) return false;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
  if (std::memcmp(b, kSignature, 8) != 0) return false;
  if (be32(b + 8) != 13 || std::memcmp(b + 12, "IHDR", 4) != 0) return false;
  if (std::memcmp(b + bytes.size() - 12, kIend, 12) != 0) return false;
  return be32(b + 16) == static_cast<unsigned long>(width) && be32(b + 20) == static_cast<unsigned long>(height);
}

bool pgm_to_png(const std::string& pgm, const std::string& png) {
  if (is_input_file(png)) error_exit(stdout, "%s is an input file of this run and is not overwritten", png.c_str());
  OutputFile out(png);
  if (!out) {
    std::printf("$$ Cannot create %s: %s; the PGM picture is kept.\n", png.c_str(), std::strerror(errno));
    return false;
  }
  out.close_stream();
  const SpawnResult r = run_tool({"pnmtopng", file_operand(pgm)}, out.temp_path());
  if (!r.started) return false;  // reported once; the PGM stays
  if (!r.ok()) {
    std::printf("$$ %s; the PGM picture is kept.\n", tool_trouble("pnmtopng", pgm, r).c_str());
    return false;
  }
  long w = 0, h = 0;
  if (!pnm_size(pgm, &w, &h) || !png_has_size(out.temp_path(), w, h)) {
    std::printf("$$ pnmtopng did not make a complete %ld x %ld PNG of %s; the PGM picture is kept.\n", w, h,
                pgm.c_str());
    return false;
  }
  out.commit();
  delete_file(pgm);
  return true;
}

// Gnuplot also reads a script operand that begins with '<' as a command to
// run through a shell, so such a name gets "./" in front as well.
bool exec_gnuplot(const std::string& plot_file) {
  const bool pipe_like = !plot_file.empty() && (plot_file[0] == '<' || plot_file[0] == '|');
  const SpawnResult r = run_tool({"gnuplot", pipe_like ? "./" + plot_file : file_operand(plot_file)});
  report_tool("gnuplot", plot_file, r);
  return r.ok();
}

bool plot_picture(const std::string& plot_file, const std::string& png) {
  const bool ran = exec_gnuplot(plot_file);
  struct stat st {};
  const bool there = stat(png.c_str(), &st) == 0 && st.st_size > 0;
  if (ran && !there) std::printf("$$ gnuplot made no picture %s from %s.\n", png.c_str(), plot_file.c_str());
  return ran && there;
}

}  // namespace kv
