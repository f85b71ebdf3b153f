// korvex: many-beam Bloch-wave simulation of CBED patterns.
#include "sim/driver.hpp"
#include "sim/error.hpp"

int main(int argc, char** argv) { return kv::guarded_main(kv::korvex_main, argc, argv); }
