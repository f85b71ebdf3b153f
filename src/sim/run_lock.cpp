#include "sim/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/error.hpp"

namespace kv {

RunLock::RunLock(const std::string& base_name) {
  const std::string name = lock_name(base_name);
  fd_ = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) fatal_out("$$ Cannot open the lock file %s (%s). Abort.\n", name.c_str(), std::strerror(errno));
  int rc = 0;
  while ((rc = flock(fd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  if (rc == 0) return;
  const int error = errno;
  close(fd_);
  fd_ = -1;
  if (error == EWOULDBLOCK)
    fatal_out("$$ another korvex run is writing %s (lock %s). Abort.\n", base_name.c_str(), name.c_str());
  fatal_out("$$ Cannot lock %s (%s). Abort.\n", name.c_str(), std::strerror(error));
}

RunLock::~RunLock() {
  if (fd_ < 0) return;
  flock(fd_, LOCK_UN);
  close(fd_);
}

}  // namespace kv
