// Jobs that this build does not compute yet. Each ends the run with one clear
// line and status 1 instead of pretending to run.
#include "jobs/jobs.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {
[[noreturn]] void not_built(const char* mode) {
  fatal_out("$$ Job mode %s is not available in this build yet. Abort.\n", mode);
}
}  // namespace

void qz_dispersion_surface(FILE*, FILE*, const std::string&) { not_built("DISPSURF_MODE"); }
void qz_bloch_state(FILE*, FILE*, const std::string&) { not_built("BLOCH_MODE"); }
void qz_tfringe(FILE*, FILE*, const std::string&) { not_built("TFRINGE_MODE"); }

}  // namespace kv
