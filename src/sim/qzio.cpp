#include "sim/qzio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <set>
#include <tuple>

#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/mpi_ranks.hpp"

namespace kv {

// Files opened for reading during this run, so that no output file can ever
// be created over one of the program's own inputs (a parameter file called
// run_log.txt, a script named like its picture...). A file is known by its
// device, inode and status-change time: an inode that the system reuses for
// a new file after an input was deleted is a different file.
using FileKey = std::tuple<dev_t, ino_t, time_t, long>;

static FileKey key_of(const struct stat& st) {
  return FileKey{st.st_dev, st.st_ino, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

static std::set<FileKey>& input_files() {
  static std::set<FileKey> files;
  return files;
}

static void remember_input(FILE* fp) {
  struct stat st {};
  if (fstat(fileno(fp), &st) == 0) input_files().insert(key_of(st));
}

void mark_input_file(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) input_files().insert(key_of(st));
}

void forget_input_files() { input_files().clear(); }

bool is_input_file(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  return input_files().count(key_of(st)) != 0;
}

// Where an output file really goes: its own path on the rank that writes the
// run's files, the null device on the other MPI ranks.
static const char* output_path(const std::string& path) {
  return rank_writes_files() ? path.c_str() : "/dev/null";
}

static OutputFile create_output(const std::string& path) { return OutputFile(path, !rank_writes_files()); }

// The data tables and the debug-flag file are looked for in the working
// folder first: an output by one of their names would take their place in
// every later run.
static bool is_data_table_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name == "korvexspg.dat" || name == "korvexxdt.dat" || name == "korvexbk.dat" || name == "korvex.ini";
}

void refuse_input_overwrite(const std::string& path) {
  if (is_input_file(path))
    fatal_err("$$ %s is an input file of this run and is not overwritten. Abort.\n", path.c_str());
  if (is_data_table_name(path))
    fatal_err("$$ %s is the name of a data table of the programs and is not used for an output. Abort.\n",
              path.c_str());
}

int qz_fprintf(FILE* fp, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vfprintf(fp, fmt, ap);
  va_end(ap);
  return n;
}

int qz_fprintf_stdo(FILE* fp, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  if (fp) std::fputs(s.c_str(), fp);
  std::fputs(s.c_str(), stdout);
  return static_cast<int>(s.size());
}

void qz_fflush(FILE* fp) { std::fflush(fp); }

OutputFile qz_fopen_chk_wmode(const std::string& path) {
  refuse_input_overwrite(path);
  OutputFile fp = create_output(path);
  if (!fp) fatal_err("$$ Cannot open %s. Abort.\n", path.c_str());
  return fp;
}

void qz_fclose(OutputFile& fp) { fp.commit(); }

File open_log_file(const std::string& path) {
  refuse_input_overwrite(path);
  File fp(std::fopen(output_path(path), "w"));
  if (!fp) fatal_err("$$ Cannot open %s. Abort.\n", path.c_str());
  // Line by line, so that a run that is killed leaves every line it printed.
  std::setvbuf(fp.get(), nullptr, _IOLBF, 0);
  return fp;
}

void close_log_file(File& fp, const std::string& path) {
  FILE* raw = fp.release();
  if (!raw) return;
  const bool bad = std::ferror(raw) != 0;
  errno = 0;
  const bool flushed = std::fflush(raw) == 0;
  const int error = errno != 0 ? errno : EIO;
  const bool closed = std::fclose(raw) == 0;
  if (bad || !flushed || !closed) output_failed(path, error);
}

// The message of the two exits goes to the stream the caller names; when
// that is standard output or error it travels in the FatalError so that main
// prints it, otherwise it is written to the stream here.
[[noreturn]] static void exit_with(FILE* fp, const std::string& text) {
  if (fp == stdout || fp == nullptr) fatal(Channel::out, text);
  if (fp == stderr) fatal(Channel::err, text);
  std::fputs(text.c_str(), fp);
  std::fflush(fp);
  fatal(Channel::out, std::string());
}

void qz_error_exit(FILE* fp, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  exit_with(fp, "$$error: " + s + "\n");
}

void error_exit(FILE* fp, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  exit_with(fp, "$$ERROR: " + s + "\n");
}

File fopen_plain_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return File();
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return File();
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* fp = fdopen(fd, "r");
  if (!fp) close(fd);
  return File(fp);
}

File fopen_chk_rmode(const std::string& path) {
  File fp = fopen_plain_file(path);
  if (!fp) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      fatal_err("$$ (fopen_chk_rmode) Cannot open %s: it is a folder, not a file. Abort.\n", path.c_str());
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      fatal_err("$$ (fopen_chk_rmode) Cannot open %s: it is not a plain file (a FIFO, device or socket). Abort.\n",
                path.c_str());
    fatal_err("$$ (fopen_chk_rmode) Cannot open %s. Abort.\n", path.c_str());
  }
  remember_input(fp.get());
  start_reading(fp.get(), path);
  return fp;
}

OutputFile fopen_chk_wmode(const std::string& path) {
  refuse_input_overwrite(path);
  OutputFile fp = create_output(path);
  if (!fp) fatal_err("$$ (fopen_chk_wmode) Cannot open %s. Abort.\n", path.c_str());
  return fp;
}

}  // namespace kv
