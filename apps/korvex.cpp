// korvex: many-beam Bloch-wave simulation of CBED patterns.
#include "driver/korvex_driver.hpp"
#include "sim/file_size_limit.hpp"
#include "sim/memory_limit.hpp"
#include "sim/mpi_ranks.hpp"

int main(int argc, char** argv) {
  kv::settle_for_memory_limit(argv);
  kv::ignore_file_size_signal();
  return kv::run_on_ranks(kv::korvex_main, argc, argv);
}
