#include "sim/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/error.hpp"

namespace kv {

namespace {

// Whether fd is still the file that path names: a run that ends removes its
// lock file, so a lock won on a file that has just been removed (or replaced)
// guards nothing and is taken again.
bool still_named(int fd, const std::string& path) {
  struct stat held {}, named {};
  if (fstat(fd, &held) != 0 || stat(path.c_str(), &named) != 0) return false;
  return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

RunLock::RunLock(const std::string& base_name) : name_(lock_name(base_name)) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    fd_ = open(name_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) fatal_out("$$ Cannot open the lock file %s (%s). Abort.\n", name_.c_str(), std::strerror(errno));
    int rc = 0;
    while ((rc = flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    const int error = errno;
    if (rc == 0 && still_named(fd_, name_)) return;
    close(fd_);
    fd_ = -1;
    if (rc == 0) continue;
    if (error == EWOULDBLOCK)
      fatal_out("$$ another korvex run is writing %s (lock %s). Abort.\n", base_name.c_str(), name_.c_str());
    fatal_out("$$ Cannot lock %s (%s). Abort.\n", name_.c_str(), std::strerror(error));
  }
  fatal_out("$$ Cannot lock %s (it keeps being removed). Abort.\n", name_.c_str());
}

RunLock::~RunLock() {
  if (fd_ < 0) return;
  // Removed while still held, so that no run in between can win the lock
  // on a name this run still guards.
  unlink(name_.c_str());
  flock(fd_, LOCK_UN);
  close(fd_);
}

}  // namespace kv
