#include "sim/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sim/error.hpp"

namespace kv {

namespace {

// Permissions of a newly created file under the process's umask (mkstemp
// makes its files private; the renamed output must look like any other).
mode_t created_file_mode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(022);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

// "dir/name" -> "dir/.name.XXXXXX": hidden, in the same folder (so that the
// rename stays within one file system) and unique for every writer.
std::string temp_pattern(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + "." + name + ".XXXXXX";
}

}  // namespace

void output_failed(const std::string& path, int error) {
  fatal_err("$$ Cannot write %s (%s). Abort.\n", path.c_str(), std::strerror(error));
}

OutputFile::OutputFile(std::string path, bool discard_only) : path_(std::move(path)), discard_only_(discard_only) {
  if (discard_only_) {
    fp_ = std::fopen("/dev/null", "w");
    return;
  }
  std::string pattern = temp_pattern(path_);
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  const int fd = mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) return;
  temp_.assign(buf.data());
  fchmod(fd, created_file_mode());
  fp_ = fdopen(fd, "w");
  if (!fp_) {
    const int e = errno;
    close(fd);
    unlink(temp_.c_str());
    temp_.clear();
    errno = e;
  }
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    discard();
    take(other);
  }
  return *this;
}

void OutputFile::take(OutputFile& other) noexcept {
  path_ = std::move(other.path_);
  temp_ = std::move(other.temp_);
  fp_ = other.fp_;
  open_without_stream_ = other.open_without_stream_;
  discard_only_ = other.discard_only_;
  other.fp_ = nullptr;
  other.temp_.clear();
  other.open_without_stream_ = false;
}

void OutputFile::fail(int error) {
  discard();
  output_failed(path_, error);
}

void OutputFile::close_stream() {
  if (!fp_) return;
  FILE* fp = fp_;
  fp_ = nullptr;
  open_without_stream_ = true;
  const bool bad = std::ferror(fp) != 0;
  errno = 0;
  const bool flushed = std::fflush(fp) == 0;
  int error = errno;
  const bool closed = std::fclose(fp) == 0;
  if (!closed && error == 0) error = errno;
  if (bad || !flushed || !closed) fail(error != 0 ? error : EIO);
}

void OutputFile::commit() {
  if (!fp_ && !open_without_stream_) return;
  close_stream();
  open_without_stream_ = false;
  if (discard_only_) return;
  if (std::rename(temp_.c_str(), path_.c_str()) != 0) fail(errno);
  temp_.clear();
}

void OutputFile::discard() noexcept {
  if (fp_) std::fclose(fp_);
  fp_ = nullptr;
  open_without_stream_ = false;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
}

}  // namespace kv
