#include "sim/debug.hpp"

#include <cstdio>

#include "sim/runctl.hpp"

namespace kv {

void dbg_mon(const char* message) { dbg_mon(dbg.process_mon_flag == 1, message); }

void dbg_mon(bool on, const char* message) {
  if (!on) return;
  std::printf("%s", message);
  std::fflush(stdout);
}

}  // namespace kv
