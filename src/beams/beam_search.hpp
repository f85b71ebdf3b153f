#pragma once
#include <string>
// Beam-search parameters (the BEAM_SEARCH block) and the beam lists: integer
// (h k l) triples, exact beams first, (0 0 0) first of all.
#include <vector>

#include "input/fields.hpp"

namespace kv {

// What the last automatic search left out: per limit (Laue zones, g_max,
// xi_g_max, w_g/s_g) the number of reflections and the strongest by |Fg|.
// Empty after it has been taken once, and after a manual list.
std::string take_left_out_report();
// The same report, left in place for the job that lists the beams.
std::string last_left_out_report();

inline constexpr int kNumLaueZones = 100;

struct beam_search {
  // 0/10 manual list; 1/11 w_g search; 2/12 s_g search; 3/13 s_g search with
  // per-Laue-zone thresholds. Values above 9 select the simple Bethe form.
  int flag_bs = 0;
  // Capacity of each candidate list; a search that fills a list is fatal,
  // so a list holds at most num_g_limit - 1 beams (000 counted).
  int num_g_limit = 0;
  // Laue zones n = h u + k v + l w searched, inclusive.
  int lz_min = 0, lz_max = 0;
  double g_max = 0.0;     // search sphere |g| < g_max (inverse angstrom)
  double disksize = 0.0;  // disk radius in tilt units (from CALC_KXY_RANGE)
  // w_g = s_g xi_g below w_g_bethe_min: exact; below w_g_max: Bethe.
  double w_g_bethe_min = 0.0, w_g_max = 0.0;
  // s_g (inverse angstrom) below s_g_bethe_min: exact; below s_g_max: Bethe.
  double s_g_bethe_min = 0.0, s_g_max = 0.0;
  double xi_g_max = 0.0;  // reflections with xi_g >= xi_g_max (angstrom) are left out
  // The s_g thresholds and xi limit per Laue zone n = 0 .. 99 (methods 3, 13).
  double s_g_bethe_min_lz[kNumLaueZones] = {};
  double s_g_max_lz[kNumLaueZones] = {};
  double xi_g_max_lz[kNumLaueZones] = {};
};

using BeamList = std::vector<Hkl>;

// Whether a search mode uses the simple (classical) Bethe potentials.
inline bool simple_bethe_mode(int flag_bs) { return flag_bs > 9; }

}  // namespace kv
