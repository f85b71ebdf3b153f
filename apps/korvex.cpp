// korvex: many-beam Bloch-wave simulation of CBED patterns.
#include "driver/korvex_driver.hpp"
#include "sim/mpi_ranks.hpp"

int main(int argc, char** argv) { return kv::run_on_ranks(kv::korvex_main, argc, argv); }
