// korvex: many-beam Bloch-wave simulation of CBED patterns.
#include "sim/memory_limit.hpp"
#include "sim/driver.hpp"
#include "sim/mpi_ranks.hpp"

int main(int argc, char** argv) {
  kv::settle_for_memory_limit(argv);
  return kv::run_on_ranks(kv::korvex_main, argc, argv);
}
