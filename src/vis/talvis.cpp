#include "vis/talvis.hpp"

#include "sim/error.hpp"

namespace kv {

int talvis_main(int, char**) {
  fatal_out("$$ talvis is not available in this build yet. Abort.\n");
}

}  // namespace kv
