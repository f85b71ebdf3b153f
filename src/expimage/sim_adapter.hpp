#pragma once
// The one place where the import asks the Bloch-wave simulation for disks:
// the setup's crystal and condition, with the disk size, the grid side, the
// reflections and the thickness of the import, give every reflection's
// intensity on a square grid of tilts over its disk (calc_type 2, points
// outside the disk 0), through the library's simulate().
#include <vector>

#include "expimage/import_setup.hpp"

namespace kv {

struct SimulatedDisks {
  int side = 0;            // points along one side of the grid
  double half_width = 0;   // disk radius in units of g1/2
  BeamList reflections;    // in the order asked for
  std::vector<std::vector<double>> grid;  // [reflection][row * side + column]: row along G, column along H
  std::vector<unsigned char> inside;      // [row * side + column]: 1 inside the disk
};

// Reflections not among the setup's exact beams get an all-zero grid.
SimulatedDisks simulate_disks(ImportSetup& setup, const BeamList& reflections, int side, double half_width,
                              double thickness);

}  // namespace kv
