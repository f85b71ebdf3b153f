// talvis: images, HTML pages, plots and scans of korvex results.
#include "driver/talvis_driver.hpp"
#include "sim/error.hpp"

int main(int argc, char** argv) { return kv::guarded_main(kv::talvis_main, argc, argv); }
