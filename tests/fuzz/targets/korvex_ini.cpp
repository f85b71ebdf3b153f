// korvex.ini, the debug-flag file read from the working folder.
#include "fuzz_target.hpp"
#include "sim/runctl.hpp"

KV_FUZZ_TARGET(korvex_ini) {
  kvfuzz::write_input(data, size, "korvex.ini");
  kvfuzz::run_reader([] { kv::read_ini_file(); });
  // The flags must not leak into the readers run after this one.
  kv::dbg = kv::Dbg{};
  return 0;
}
