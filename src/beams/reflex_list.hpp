#pragma once
// The reflection listing "%s_fg%d.txt" written right after the beams of a
// job have been chosen: per beam its indices, Laue zone, position in the
// zero-order Laue-zone plane, |g| and its structure factor, with the elastic
// and absorptive parts computed from the atoms beside it.
#include <cstdio>
#include <string>

#include "beams/beam_search.hpp"
#include "crystal/lattice.hpp"
#include "crystal/structure_factor.hpp"

namespace kv {

// Writes "<base_name>_fg<index>.txt" for the merged list beams (n_exact exact
// beams, then n_bethe Bethe beams). Rows: 000 (index 0), the reflection g1
// truncated to integers (index 1) when it is an exact beam, the other exact
// beams in list order (the beam at position 1 numbered with g1's position),
// then the Bethe beams. The search's left-out report, when given, follows the
// rows as comment lines ("# " before each line). With reflex_only_flag 1 in korvex.ini the run then
// ends with status 0 (a FatalError carrying "$$ reflex_only_flag=1. exit.").
void reflex_dump_csd(int index, int n_exact, int n_bethe, const BeamList& beams, csd& c,
                     const beam_search& bs, const Hkl& incidence, const Vec3& g1, double kv,
                     const lattice_metric& lm, const std::string& left_out = std::string());
// One row: index, h, k, l, Laue zone, x, y (units of |g1|), Bethe flag, |g|,
// the structure factor used by the calculation (from the table, so
// LOW_ORDER_FG values and the centring rule apply) with its modulus, and the
// elastic and absorptive structure factors summed over the atoms.
void print_rfinfo(int row, int bethe_flag, const Hkl& g, fg_table& table, csd& c,
                  const Hkl& incidence, const Vec3& g1, double kv, const lattice_metric& lm, FILE* fp);

}  // namespace kv
