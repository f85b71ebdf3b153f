// talvis: images, HTML pages, plots and scans of korvex results.
#include <cstdio>

#include "sim/error.hpp"
#include "vis/talvis.hpp"

int main(int argc, char** argv) {
  try {
    return kv::talvis_main(argc, argv);
  } catch (const kv::FatalError& e) {
    return kv::report_fatal(e);
  }
}
