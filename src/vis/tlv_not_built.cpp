// Script modes that this build does not run yet. Each ends the run with one
// clear line and status 1 instead of pretending to run.
#include "sim/error.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {
[[noreturn]] void not_built(const char* mode) {
  fatal_out("$$ Script mode %s is not available in this build yet. Abort.\n", mode);
}
}  // namespace

void job_dispsurf_visual_mode(FILE*) { not_built("DISPSURF_VISUAL_MODE"); }
void job_bloch_visual_mode(FILE*) { not_built("BLOCH_VISUAL_MODE"); }

}  // namespace kv
