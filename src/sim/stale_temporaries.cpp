#include "sim/stale_temporaries.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "sim/run_lock.hpp"

namespace kv {

namespace {

constexpr std::size_t kUniqueChars = 6;  // the XXXXXX of mkostemp

// Whether another process holds the run lock of base name b.
bool lock_held(const std::string& b) {
  const int fd = open(RunLock::lock_name(b).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0;
  if (!held) flock(fd, LOCK_UN);
  close(fd);
  return held;
}

// The final name that a temporary name stands for, or "" when the name is
// no temporary of an output file.
std::string final_name_of(const std::string& entry) {
  if (entry.size() < 1 + 1 + 1 + kUniqueChars || entry[0] != '.') return std::string();
  const std::size_t dot = entry.size() - kUniqueChars - 1;
  if (entry[dot] != '.') return std::string();
  return entry.substr(1, dot - 1);
}

// Whether NAME is one of base_name's outputs and of no running longer base.
bool is_stale_output_of(const std::string& name, const std::string& base_name) {
  if (name.size() <= base_name.size() || name.compare(0, base_name.size(), base_name) != 0) return false;
  const char next = name[base_name.size()];
  if (next != '_' && next != '.') return false;
  // A longer base name ends at a '_' (a base name holds no '.').
  for (std::size_t k = base_name.size() + 1; k < name.size() && name[k] != '.'; ++k)
    if (name[k] == '_' && lock_held(name.substr(0, k))) return false;
  const std::size_t dot = name.find('.');
  if (dot != std::string::npos && dot > base_name.size() && lock_held(name.substr(0, dot))) return false;
  return true;
}

}  // namespace

int remove_stale_temporaries(const std::string& base_name) {
  DIR* dir = opendir(".");
  if (!dir) return 0;
  std::vector<std::string> stale;
  while (const dirent* e = readdir(dir)) {
    const std::string entry = e->d_name;
    const std::string name = final_name_of(entry);
    if (name.empty() || !is_stale_output_of(name, base_name)) continue;
    struct stat st {};
    if (lstat(entry.c_str(), &st) == 0 && S_ISREG(st.st_mode)) stale.push_back(entry);
  }
  closedir(dir);
  int removed = 0;
  for (const std::string& entry : stale)
    if (unlink(entry.c_str()) == 0) ++removed;
  return removed;
}

}  // namespace kv
