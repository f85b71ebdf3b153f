#pragma once
// One korvex run at a time per base name: every output of a run is named
// from its base name, so two runs of one base name in one folder would write
// each other's files. The run holds an exclusive flock on "BASE.lock" from
// before its first output until it ends; a second run finds the lock taken
// and stops with a message. The run removes the lock file when it ends; the
// lock itself goes with the process, so a killed run leaves an empty file but
// no stale lock.
#include <string>

namespace kv {

class RunLock {
 public:
  // Takes the lock of base_name; "$$ another korvex run is writing BASE
  // (lock BASE.lock). Abort." and status 1 when another process holds it.
  explicit RunLock(const std::string& base_name);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  static std::string lock_name(const std::string& base_name) { return base_name + ".lock"; }

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace kv
