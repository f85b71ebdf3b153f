#include "vis/spawn.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <set>

#include "sim/qzio.hpp"

extern char** environ;

namespace kv {

namespace {

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

// A file operand that begins with '-' would be taken for an option by the
// tool; "./" in front keeps it a file name.
std::string file_operand(const std::string& path) { return (!path.empty() && path[0] == '-') ? "./" + path : path; }

}  // namespace

SpawnResult run_tool(const std::vector<std::string>& argv, const std::optional<std::string>& stdout_path) {
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

  std::vector<std::string> store(argv);
  std::vector<char*> args;
  for (std::string& a : store) args.push_back(a.data());
  args.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
  if (out_fd >= 0) close(out_fd);
  if (rc != 0) {
    if (first_report(argv[0]))
      std::printf("$$ Cannot run %s (%s); going on without it.\n", argv[0].c_str(), std::strerror(rc));
    std::fflush(stdout);
    return result;
  }
  result.started = true;
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return result;
  }
  if (WIFEXITED(wstatus))
    result.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    result.status = 128 + WTERMSIG(wstatus);
  return result;
}

std::string self_executable() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "/proc/self/exe";
  buf[n] = '\0';
  return buf;
}

void delete_file(const std::string& path) { unlink(path.c_str()); }

void pgm_to_png(const std::string& pgm, const std::string& png) {
  if (is_input_file(png)) error_exit(stdout, "%s is an input file of this run and is not overwritten", png.c_str());
  const SpawnResult r = run_tool({"pnmtopng", file_operand(pgm)}, png);
  if (!r.started) {
    delete_file(png);  // the empty file the redirection may have made
    return;
  }
  if (r.status != 0) {
    std::printf("$$ pnmtopng failed on %s (status %d); the PGM picture is kept.\n", pgm.c_str(), r.status);
    delete_file(png);
    return;
  }
  delete_file(pgm);
}

// Gnuplot also reads a script operand that begins with '<' as a command to
// run through a shell, so such a name gets "./" in front as well.
void exec_gnuplot(const std::string& plot_file) {
  const bool pipe_like = !plot_file.empty() && (plot_file[0] == '<' || plot_file[0] == '|');
  run_tool({"gnuplot", pipe_like ? "./" + plot_file : file_operand(plot_file)});
}

}  // namespace kv
