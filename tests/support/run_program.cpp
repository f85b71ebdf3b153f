#include "support/run_program.hpp"

#include "sim/linereader.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kvtest {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::vector<double> numbers_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> v;
  double x;
  while (in >> x) v.push_back(x);
  return v;
}

std::vector<std::vector<double>> numeric_rows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  for (const std::string& line : split_lines(text)) {
    if (line.empty() || line[0] == '#' || std::isalpha(static_cast<unsigned char>(line[0]))) continue;
    rows.push_back(numbers_of(line));
  }
  return rows;
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  for (;;) {
    fs::path p = fs::temp_directory_path() /
                 ("kvtest_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
                  std::to_string(rd() % 100000));
    if (fs::create_directory(p)) {
      path_ = p;
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path ScratchDir::write(const std::string& name, const std::string& text) const {
  const fs::path p = path_ / name;
  write_file(p, text);
  return p;
}

std::string ScratchDir::read(const std::string& name) const { return read_file(path_ / name); }

RunResult run_program(const std::string& exe, const std::vector<std::string>& args, const fs::path& cwd,
                      const std::string& input) {
  const fs::path in_path = cwd / ".kvtest_stdin";
  const fs::path out_path = cwd / ".kvtest_stdout";
  const fs::path err_path = cwd / ".kvtest_stderr";
  write_file(in_path, input);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());

  std::vector<std::string> argv_store;
  argv_store.push_back(exe);
  for (const auto& a : args) argv_store.push_back(a);
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  RunResult r;
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) throw std::runtime_error("cannot start " + exe + ": " + std::strerror(rc));
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus))
    r.status = WEXITSTATUS(wstatus);
  else if (WIFSIGNALED(wstatus))
    r.status = 128 + WTERMSIG(wstatus);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  std::error_code ec;
  fs::remove(in_path, ec);
  fs::remove(out_path, ec);
  fs::remove(err_path, ec);
  return r;
}

StringFile::StringFile(const std::string& text) {
  fp = std::tmpfile();
  if (!fp) throw std::runtime_error("tmpfile failed");
  std::fwrite(text.data(), 1, text.size(), fp);
  std::rewind(fp);
  kv::start_reading(fp, "");  // a fresh line count, whatever stream used this address before
}

StringFile::~StringFile() {
  if (fp) std::fclose(fp);
}

std::string capture_stdout(const std::function<void()>& body) {
  std::fflush(stdout);
  FILE* tmp = std::tmpfile();
  const int saved = dup(fileno(stdout));
  dup2(fileno(tmp), fileno(stdout));
  try {
    body();
  } catch (...) {
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::fclose(tmp);
    throw;
  }
  std::fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  std::rewind(tmp);
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) s.append(buf, n);
  std::fclose(tmp);
  return s;
}

std::string find_on_path(const std::string& exe) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "");
  for (std::string dir; std::getline(ss, dir, ':');)
    if (!dir.empty() && ::access((std::filesystem::path(dir) / exe).c_str(), X_OK) == 0)
      return (std::filesystem::path(dir) / exe).string();
  return "";
}

std::string browser_image_count(const std::string& chromium, const std::filesystem::path& dir,
                                const std::string& page) {
  // A page of the test's own opens the page in a frame and writes into its
  // body how many of the pictures the browser could decode.
  write_file(dir / "browser_check.html",
             "<html><body><iframe id=\"f\" src=\"" + page + "\" width=\"1400\" height=\"1400\"></iframe>\n"
             "<script>\ndocument.getElementById('f').onload = function () {\n"
             "  var imgs = this.contentDocument.images, ok = 0;\n"
             "  for (var i = 0; i < imgs.length; ++i) if (imgs[i].complete && imgs[i].naturalWidth > 0) ++ok;\n"
             "  document.body.setAttribute('data-result', 'images=' + imgs.length + ' loaded=' + ok);\n};\n"
             "</script></body></html>\n");
  const RunResult dom = run_program(chromium,
                                    {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                                     "--allow-file-access-from-files", "--virtual-time-budget=5000", "--dump-dom",
                                     "file://" + (dir / "browser_check.html").string()},
                                    dir);
  const std::size_t at = dom.out.find("data-result=\"");
  if (at == std::string::npos) return "";
  const std::size_t from = at + 13;
  return dom.out.substr(from, dom.out.find('"', from) - from);
}

}  // namespace kvtest
