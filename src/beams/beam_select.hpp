#pragma once
// Choice of the exact and Bethe beams for a zone axis: the BEAM_SEARCH block
// readers, the automatic searches over the reflections inside a sphere of
// radius g_max, and the small list utilities (sorting by |g|, lookup, merge).
//
// The automatic searches rank a reflection by its smallest excitation error
// anywhere inside the disk of incident directions (s_g), or by the product
// w_g = s_g xi_g with its extinction distance. Both candidate lists come back
// sorted by increasing |g| (000 first in the exact list, equal |g| in loop
// order) and are merged exact-first into the job's beam list.
#include <cstdio>

#include "beams/beam_search.hpp"
#include "crystal/lattice.hpp"

namespace kv {

struct csd;

// ---- Block readers -------------------------------------------------------
// Each reads the lines that follow the method number (bs->flag_bs is set by
// the caller). Line A: num_g_limit, g_max, lz_min, lz_max (a fifth number,
// the disk size, is ignored); missing numbers read as 0. A num_g_limit below
// 1 is rejected: the exact list needs room for 000.

// Methods 1, 11: line A, then w_g_bethe_min, w_g_max, xi_g_max.
void fget_beam_search_wg(beam_search* bs, FILE* fp);
// Methods 2, 12: line A, then s_g_bethe_min, s_g_max, xi_g_max.
void fget_beam_search_sg(beam_search* bs, FILE* fp);
// Methods 3, 13: line A (at least four numbers), then one line
// s_g_bethe_min_lz, s_g_max_lz, xi_g_max_lz for each zone 0 .. lz_max. The
// per-zone thresholds exist for zones 0 .. 99 only, so lz_min < 0 or
// lz_max > 99 is rejected.
void fget_beam_search_sg_multi(beam_search* bs, FILE* fp);
// Fatal unless num_g_limit >= 1 (room for 000 in the exact list).
void check_num_g_limit(const beam_search& bs);
// Fatal unless lz_min >= 0 and lz_max <= 99 (the zones with thresholds).
void check_laue_zone_range(const beam_search& bs);
// Manual list: n_exact lines and then n_bethe lines of h k l (truncated
// toward zero), taken as given.
BeamList fget_beams(int n_exact, int n_bethe, FILE* fp);

// ---- Whole-block selections (flag_bs already read into bs->flag_bs) -----
// Simulation, dispersion-surface, Bloch-state, thickness-fringe and
// projected-map jobs: methods 0, 10 (manual; switches the per-tilt
// re-selection off), 1/11, 2/12, 3/13 (searches). Prints the progress and
// "Exact = %d, Bethe = %d" lines; another method prints "Invalid flag_bs" and
// is fatal. bs->disksize must already hold the disk size.
void select_beams(beam_search& bs, const Hkl& incidence, const Vec3& g1, double tiltH, double tiltG,
                  double kv, csd& c, FILE* fp, int* n_exact, int* n_bethe, BeamList* beams);
// Three-dimensional unit-cell maps: methods 0 (manual), 1 and 2 (every
// allowed reflection inside the sphere, beam_search_sphere), 3 and 13
// (beam_search_sg_multi); another method is fatal with
// "Flag_bs = %d is invalid for 3D Density calc." on standard error.
void select_beams_3d(beam_search& bs, const Hkl& incidence, const Vec3& g1, double tiltH,
                     double tiltG, double kv, csd& c, FILE* fp, int* n_exact, int* n_bethe,
                     BeamList* beams);
// Experimental datasets: manual lists as in select_beams; for the automatic
// methods only the parameters are read and stored, both counts set to 0 and
// the list left empty. Another method is fatal with "Invalid flag_bs %d" on
// standard error.
void read_beams_no_search(beam_search& bs, FILE* fp, int* n_exact, int* n_bethe, BeamList* beams);

// ---- Reflections with a vanishing structure factor --------------------------
// xi_g of a structure factor that vanishes (|U_g| < 1e-12): a glide-plane or
// screw-axis extinction such as Si 002 or wurtzite 0001, which multiple
// scattering still excites. The lattice centring is tested separately.
inline bool vanishing_fg(double xi_g) { return xi_g >= 1e10; }
// The extinction distance a reflection is ranked by in the w_g criterion.
// With forbidden_beam_flag set (EPS_CONTROL_PARAMETERS), a reflection of
// vanishing F_g counts as the weakest one the xi limit admits, so that its
// w_g = s_g xi_limit orders it by its excitation error alone; otherwise its
// own xi_g, which no limit below 1e10 admits.
double ranking_xi(double xi_g, double xi_limit);
// Whether g is a reflection the lattice centring allows but whose structure
// factor (LOW_ORDER_FG values included) vanishes at voltage kv.
bool vanishing_fg_reflection(const Hkl& g, double kv, csd& c);

// ---- Automatic searches ----------------------------------------------------
// With forbidden_beam_flag set, reflections of vanishing F_g pass the xi test
// and are classified by s_g (w_g = s_g xi_limit in the w_g criterion).
// Candidates: every g != 000 with lz_min <= h u + k v + l w <= lz_max and
// |g| < g_max that the lattice centring allows, visited h outermost, l
// innermost, each index ascending. exact and bethe receive the sorted lists
// (exact starts with 000), *n_exact and *n_bethe their lengths. Fatal when a
// list fills up to num_g_limit entries. incidence [u v w] and g1 fix the
// zone-axis frame, (tiltH, tiltG) the disk centre, kv the voltage.
void simple_beam_search_wg(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                           const beam_search& bs, const Hkl& incidence, const Vec3& g1,
                           double tiltH, double tiltG, double kv, csd& c);
void simple_beam_search_sg(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                           const beam_search& bs, const Hkl& incidence, const Vec3& g1,
                           double tiltH, double tiltG, double kv, csd& c);
void beam_search_sg_multi(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                          const beam_search& bs, const Hkl& incidence, const Vec3& g1,
                          double tiltH, double tiltG, double kv, csd& c);
// Every allowed reflection with |g|^2 < g_max^2 as an exact beam, after 000
// (no zone, structure-factor or excitation-error test); no Bethe beams.
void beam_search_sphere(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                        const beam_search& bs, double kv, csd& c);

// ---- Geometry and list utilities -------------------------------------------
// Smallest n >= 1 with |(n 0 0)| >= g_max, and likewise along b* and c*. A
// g_max whose search box would be unreasonably large is fatal.
void evaluate_hklmax(double g_max, const lattice_metric& lm, int* h_max, int* k_max, int* l_max);
// Smallest |s_g| over the disk of incident directions along g's in-plane
// direction: the excitation errors at the two disk edges go to *s_plus and
// *s_minus; 0 when they differ in sign (the disk holds the Bragg condition).
// g2 = zolz_ort_base(incidence, g1), abs_b = |[u v w]| (angstrom), abs_K the
// wave number in the crystal, disksize the disk radius in tilt units.
double abs_edge_s_g_tilt(const Hkl& g, const Hkl& incidence, const Vec3& g1, const Vec3& g2,
                         double tiltH, double tiltG, double abs_b, double abs_K, double disksize,
                         const lattice_metric& lm, double* s_plus, double* s_minus);
// Reorders the first n entries: 000 first, then by increasing |g|; entries of
// equal |g| keep their order.
void sort_reflex(int n, BeamList& list, const lattice_metric& lm);
// 1/|g| (angstrom); 0 for 000.
double spacing(const Hkl& g, const lattice_metric& lm);
// Index of the first of list[0 .. n-1] equal to g, or -1.
int find_n_g(int n, const Hkl& g, const BeamList& list);
// The n_exact exact entries followed by the n_bethe Bethe entries.
BeamList beam_merge(int n_exact, int n_bethe, const BeamList& exact, const BeamList& bethe);

}  // namespace kv
