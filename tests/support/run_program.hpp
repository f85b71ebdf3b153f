#pragma once
// Test helpers: scratch folders, running a program without a shell and
// capturing what it prints, and reading files back.
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace kvtest {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `exe` with `args` in folder `cwd`, feeding `input` on standard input.
RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::filesystem::path& cwd, const std::string& input = "");

// A fresh empty folder under the system temp folder, removed on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // Writes text to a file in the folder and returns its path.
  std::filesystem::path write(const std::string& name, const std::string& text) const;
  std::string read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& p);
// The full name of an executable found on PATH, or "" when there is none.
std::string find_on_path(const std::string& exe);
// Opens `page` (in folder `dir`) in headless Chromium and returns how many
// images the page has and how many the browser decoded, as
// "images=N loaded=M"; "" when the browser gave no answer.
std::string browser_image_count(const std::string& chromium, const std::filesystem::path& dir,
                                const std::string& page);
void write_file(const std::filesystem::path& p, const std::string& text);
std::vector<std::string> split_lines(const std::string& text);
// The numbers of one line, up to the first word that is not a number.
std::vector<double> numbers_of(const std::string& line);
// The data rows of a whitespace-separated table; empty lines, comments ('#')
// and column labels (a line opening with a letter) are passed over.
std::vector<std::vector<double>> numeric_rows(const std::string& text);

// A stdio stream over a string, for feeding readers in-process.
struct StringFile {
  explicit StringFile(const std::string& text);
  ~StringFile();
  StringFile(const StringFile&) = delete;
  StringFile& operator=(const StringFile&) = delete;
  FILE* get() const { return fp; }
  FILE* fp = nullptr;
};

// Captures what a piece of code writes to stdout (through stdio).
std::string capture_stdout(const std::function<void()>& body);

}  // namespace kvtest
