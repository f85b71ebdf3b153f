#pragma once
// Beside the text files of a thickness-fringe run: the HDF5 export of its
// intensities and amplitudes, and a talvis script (TFRINGE_VISUAL_MODE)
// that turns the fringes into a labelled page.
#include <string>

#include "bloch/engine.hpp"
#include "crystal/lattice.hpp"

namespace kv {

struct sd;
struct csd;

// Solves the one tilt again, writes "<base>.h5" and "<base>_tlv.txt".
void tfringe_export_and_script(const Vec3& kt, const engine_setup& job, const sd& s, const csd& c,
                               const std::string& base_name);

}  // namespace kv
