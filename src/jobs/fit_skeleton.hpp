#pragma once
// "talvis fitfile SIM_PARAMETER_FILE MEASURED_FILE": a fit-mode file made
// from a SIM_MODE parameter file and a measured-intensity file, with every
// parameter FIX, so that a user only marks what to refine. The crystal block
// is the simulation's; LOW_ORDER_FG lists the structure factor of every
// measured reflection (an entry the block already has, or one of its
// symmetry equivalents, is kept as written; the others get their
// independent-atom elastic values); one DATA_SET carries the simulation's
// incident beam and beam search, a calculated disk one measured step wider
// than the measured grid on every side (room for disk shifts), and one
// thickness block per thickness of the measured file.
#include <string>

namespace kv {

// Writes "<sim base name>_fit.dat" in the working folder and returns its name.
std::string write_fit_skeleton(const std::string& sim_file, const std::string& measured_file);

}  // namespace kv
