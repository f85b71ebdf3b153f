#pragma once
// The setup of an import: an ordinary SIM_MODE parameter file (crystal,
// zone axis, g1, tilt, voltage, beam search, the grid side and a first
// guess of the disk size, the reflections to extract and the starting
// thickness), followed by an optional IMPORT{ ... }IMPORT block with what
// only the user knows about the detector and the pattern.
#include <array>
#include <optional>
#include <string>

#include "crystal/lattice.hpp"
#include "input/crystal_data.hpp"
#include "jobs/simulation.hpp"

namespace kv {

struct ImportKeys {
  double gain = 1.0;        // counts per electron
  double read_noise = 0.0;  // counts r.m.s. per frame
  std::string dark;         // dark image (counts per frame)
  std::string gain_reference;  // flat field: relative pixel sensitivity
  std::optional<double> saturation;  // counts per frame at which a pixel saturates
  std::string mask;                  // image whose zero pixels are excluded
  std::optional<std::array<double, 2>> centre_000_px, g1_px;
};

struct ImportSetup {
  std::string file;
  csd crystal;
  sd cond;  // the SIM_CALCULATION_CONDITION block, beams selected
  lattice_metric lm{};
  ImportKeys keys;
  // Text of the blocks the fit-mode file repeats, marker lines included.
  std::string eps_block, crystal_block, beam_search_block;
};

// Reads the setup; a file that is not a SIM_MODE parameter file, or an
// IMPORT block with an unknown key or a bad value, is refused.
void read_import_setup(const std::string& path, ImportSetup& setup);

// The IMPORT block alone, from its text (the lines between the markers).
ImportKeys parse_import_keys(const std::string& setup_file, const std::string& block);

}  // namespace kv
