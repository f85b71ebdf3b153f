// korvex: many-beam Bloch-wave simulation of CBED patterns.
#include <cstdio>

#include "sim/driver.hpp"
#include "sim/error.hpp"

int main(int argc, char** argv) {
  try {
    return kv::korvex_main(argc, argv);
  } catch (const kv::FatalError& e) {
    return kv::report_fatal(e);
  }
}
