// talvis: images, HTML pages, plots and scans of korvex results.
#include "driver/talvis_driver.hpp"
#include "sim/file_size_limit.hpp"
#include "sim/memory_limit.hpp"
#include "sim/error.hpp"

int main(int argc, char** argv) {
  kv::settle_for_memory_limit(argv);
  kv::ignore_file_size_signal();
  return kv::guarded_main(kv::talvis_main, argc, argv);
}
