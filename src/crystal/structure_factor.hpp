#pragma once
// Crystal structure factors F_g (angstrom, phase convention exp(-2 pi i g.r))
// and the quantities derived from them: potential coefficients V_g (volts),
// U_g (inverse angstrom squared) and extinction distances xi_g (angstrom).
// The real part of F_g comes from the elastic atomic scattering factors,
// the imaginary part from the absorptive ones.
//
// A table of structure factors already computed (fg_table) holds each
// computed value together with all its symmetry equivalents, and is
// pre-filled with the user's LOW_ORDER_FG values, which therefore override
// computed ones for every equivalent reflection.
#include <string>
#include <vector>

#include "crystal/lattice.hpp"
#include "crystal/crystal.hpp"
#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"
#include "sim/mpi_ranks.hpp"

namespace kv {

inline constexpr int kFgTableCapacity = 1000;

// Reflections and their structure factors, filled in order; entries beyond
// the capacity are not stored.
struct fg_table {
  explicit fg_table(int cap = kFgTableCapacity)
      : capacity(cap > 0 ? cap : 0), g(capacity), fg(capacity) {}
  int capacity;
  int num = 0;
  std::vector<Hkl> g;
  std::vector<complex> fg;
};

// Sum over sites j and operations (R, t) of f_j occ_j m_j T_j
// exp(-2 pi i (R^T g . r_j + g . t)), with T_j the anisotropic
// Debye-Waller factor of the rotated indices for a bf 1 site and
// exp(-B_j s^2) for a bf 0 site; f[j] is the complex factor of site j.
complex calc_structure_factor_ph(const Hkl& g, double sq_s, int num_op, const sym_op* ops,
                                 int num_atom, const atom* atoms, const complex* f);
// Elastic (Mott formula for af 0, table for af 1) plus absorptive factors
// at voltage kv. *warn becomes 1 when any site's tabulated factors could
// not be evaluated normally (s or B outside the table, bad voltage), else 0;
// s beyond the table is no failure for an af 0 site whose B s^2 is beyond
// the absorptive nodes too (Mott elastic factor, no absorption).
complex calc_structure_factor(const Hkl& g, double kv, const lattice_metric& lm, csd& cs,
                              int* warn);
// The same without writing to the crystal: an anisotropic site's B_eq is
// computed for the look-up but not stored in its b_iso, so that several
// threads may evaluate reflections of one crystal at once. Value and *warn
// are bit for bit those of calc_structure_factor.
complex calc_structure_factor_shared(const Hkl& g, double kv, const lattice_metric& lm, const csd& cs, int* warn);
// Writes every anisotropic site's B_eq into its b_iso, as
// calc_structure_factor does for the sites it evaluates.
void store_site_beq(const lattice_metric& lm, csd& cs);
// Why the site factors of reflection g cannot be computed normally (what
// sets *warn of calc_structure_factor): the first site that fails, the
// reflection and the limit it exceeds; empty when every site is fine.
std::string fg_failure_text(const Hkl& g, double kv, const lattice_metric& lm, csd& cs);
// Elastic part only (af 0 Mott, af 1 or 2 table).
complex calc_Fg_ela(const Hkl& g, double kv, const lattice_metric& lm, csd& cs);
// Absorptive part only (imaginary site factors).
complex calc_Fg_inela(const Hkl& g, double kv, const lattice_metric& lm, csd& cs);
// The same sum with the nuclear charges Z_j as site factors.
complex calc_z_factor(const Hkl& g, const lattice_metric& lm, csd& cs);
// Re F(000) from the tabulated elastic factors at s = 0 (B = 0, 100 kV):
// sum of f_j(0) occ_j m_j times the number of operations.
double calc_F_0_re(const csd& cs);
// calc_structure_factor, but 0 (and *warn 0) for a reflection that the
// lattice centring forbids.
complex structure_factor_ext(const Hkl& g, double kv, const lattice_metric& lm, csd& cs,
                             int* warn);
// structure_factor_ext through calc_structure_factor_shared: reads the
// crystal only.
complex structure_factor_ext_shared(const Hkl& g, double kv, const lattice_metric& lm, const csd& cs, int* warn);
// structure_factor_ext through the table: a stored value is returned (with
// *warn 0); a new one is computed and stored with its equivalents.
complex structure_factor_ext_tbl(const Hkl& g, double kv, const lattice_metric& lm, csd& cs,
                                 fg_table& t, int* warn);

// Index of the first of the n entries equal to g, or -1.
int search_g_table(int n, const Hkl& g, const Hkl* tbl);
// Appends (g, fg) and then every equivalent R^T g not yet present with
// fg exp(+2 pi i g.t), as long as room remains (count *n, capacity cap).
void stock_fg_tbl_sym(const Hkl& g, complex fg, int* n, int cap, Hkl* tbl_g, complex* tbl_fg,
                      int num_op, const sym_op* ops);
void stock_fg_tbl_sym(const Hkl& g, complex fg, fg_table& t, const csd& cs);

// The course of a sequence of look-ups through structure_factor_ext_tbl,
// known before any F_g is computed: which reflections it computes (the
// first of each symmetry family met, and any reflection met once the table
// is full) and, for every other look-up, the table entry it reads. The
// values can then be computed in any order, on any number of threads, and
// the look-ups replayed in sequence with the same results, bit for bit.
struct fg_table_walk {
  // Per look-up: the entry of the table that holds its value (>= 0), or
  // -1 - r where it takes computed reflection r.
  std::vector<int> source;
  // The reflections to compute, each once, in the order first met.
  std::vector<Hkl> computed;
  // What stocking computed reflection r appends to the table: entries
  // stock_op[stock_begin[r] .. stock_begin[r + 1]), each -1 for r itself
  // or the operation that carries r to the equivalent appended.
  std::vector<int> stock_begin;
  std::vector<int> stock_op;
};
// Walks the n look-ups through t's reflections, stocking each new one's
// family as structure_factor_ext_tbl does, without computing a value (and
// with the reflections indexed by value rather than scanned).
fg_table_walk plan_fg_table_walk(const fg_table& t, const Hkl* lookups, std::size_t n, const csd& cs);
// Look-up k (reflection g) of the walk, replayed on t (the table the walk
// was planned from, as the earlier look-ups left it), with computed[r] the
// F_g of computed reflection r: its value, with the reflection's family
// stocked where structure_factor_ext_tbl would stock it.
complex fg_table_walk_value(fg_table& t, const fg_table_walk& w, std::size_t k, const Hkl& g, const complex* computed,
                            const csd& cs);

// F_g and the warning of every reflection the walk computes, into fg and
// warn (resized), on `threads` threads: the crystal is only read, after the
// anisotropic sites' B_eq has been written into it once (as evaluating an
// allowed reflection would). Over several MPI ranks each rank computes the
// reflections dealt to it and all receive them all (a collective call);
// each value is computed exactly as one process computes it, so the results
// are the same bit for bit on any number of threads and ranks.
void compute_walk_reflections(const fg_table_walk& w, double kv, const lattice_metric& lm, csd& cs, int threads,
                              const RankShare& ranks, std::vector<complex>& fg, std::vector<int>& warn);

// Structure factor of LOW_ORDER_FG entry e by the block's lof_type.
complex lofg_to_fg(int e, double kv, const lattice_metric& lm, csd& cs);
// Pre-fills the table with every LOW_ORDER_FG entry and its equivalents, in
// input order. A table too small to hold them all ends the run rather than
// let computed values silently replace given ones.
void stock_lofg_tbl(fg_table& t, double kv, const lattice_metric& lm, csd& cs);

// V_g = F_g / (0.020886563 V) volts.
complex fg_to_vg(complex fg, const lattice_metric& lm);
// U_g = gamma F_g / (pi V).
complex fg_to_ug(complex fg, double kv, const lattice_metric& lm);
// xi_g = 1 / (lambda |U_g|), 1e10 when |U_g| < 1e-12.
double fg_to_xig2(complex fg, double gamma, double lambda, const lattice_metric& lm);
double vg_to_xig(complex vg, double gamma, double lambda);
// U_g = gamma V_g 0.020886563 / pi.
complex vg_to_ug(complex vg, double gamma);

// Writes the n x n potential matrix (volts) to "%s_vg.txt" when the
// vg_dump_flag of korvex.ini is 1.
void debug_vg_dump(const CMatrix& vg, int n);

// K = sqrt(1/lambda^2 + Re U_0): the mean wave number inside the crystal.
double calc_abs_K(csd& c, double kv, const lattice_metric& lm);

// The reflection g carried by a symmetry operation: g' = R^T g.
Hkl rotate_hkl(const sym_op& op, const Hkl& g);

}  // namespace kv
