#pragma once
// The physical checks of a crystal once its values are known (constraints
// evaluated): a cell with a volume, and sites whose Debye-Waller parameters,
// occupancies and positions a structure factor can be computed from. The
// parameter-file reader and the CIF reader apply the same checks, so that a
// crystal block made from an accepted CIF is accepted in its turn.
#include <cstdio>

#include "input/crystal_data.hpp"

namespace kv {

// "$$ Invalid lattice parameters ...: the cell has no volume. Abort.\n"
void check_cell(const csd& cs);
// Per site: B (0 to 1000 A^2), an anisotropic tensor with no negative
// mean-square displacement in any direction, occupancy 0 to 1, fractional
// coordinates within +-100; over all sites: the occupancies of the sites on
// one position (the same point, or symmetry-equivalent points, when cs holds
// its operations) add up to at most 1. Messages carry fp's reading place.
void check_sites(const csd& cs, FILE* fp);

}  // namespace kv
