#include "vis/asf_menu.hpp"

#include "sim/error.hpp"

namespace kv {

int run_asf_test() {
  fatal_out("$$ The atomic scattering factor test is not available in this build yet. Abort.\n");
}

}  // namespace kv
