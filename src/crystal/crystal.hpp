#pragma once
// The crystal of a run as a value: space group, cell, atom sites and
// optional directly given low-order structure factors, as the parameter-file
// and CIF readers leave it (constraints evaluated, multiplicities set).
//
// Every number of the record is a refinable parameter (`fitpar`): besides its
// value it carries a refinement flag, a name and the text it was written
// as, so that one parameter can be defined through others (constraints) and
// the block can be written back by the fit tools. The value itself lives in
// the structure field it describes (a site's x, the cell edge a, ...).
#include <array>
#include <string>
#include <vector>

#include "crystal/hkl.hpp"
#include "crystal/scattering.hpp"
#include "crystal/spacegroup.hpp"
#include "numeric/complex.hpp"

namespace kv {

// Refinement flags of a parameter line.
inline constexpr int kFlgCst = -1;  // constrained: value from an expression
inline constexpr int kFlgFix = 0;   // fixed
inline constexpr int kFlgRst = 1;   // restrained (with rst_val)
inline constexpr int kFlgAdj = 2;   // adjustable

inline constexpr std::size_t kFitparNameMax = 31;  // characters of a parameter name
inline constexpr std::size_t kSiteNameMax = 7;     // characters of a site (element) name
inline constexpr int kMaxAtomSites = 10000;        // sites one crystal block may hold
inline constexpr int kMaxLowOrderFg = 1000;        // entries of LOW_ORDER_FG (table capacity)

struct fitpar {
  int flg = kFlgFix;
  double rst_val = 0.0;  // the restraint number of an RST parameter
  double val = 0.0;      // value as read (0 for CST until evaluated)
  std::string name;      // by which constraints refer to the parameter
  std::string expr;      // first token of the line as written
};

// One independent atom site.
struct atom {
  std::string name;  // element or ion, key into the scattering-factor tables
  int bf = 0;        // Debye-Waller type: 0 isotropic, 1 anisotropic
  int af = 0;        // scattering factors: 0 Mott + tabulated absorption, 1 table
  double x = 0.0, y = 0.0, z = 0.0;
  double multiplicity = 1.0;  // distinct positions / number of operations
  double b_iso = 0.0;         // B (angstrom^2); B_eq for an anisotropic site once computed
  double beta11 = 0.0, beta22 = 0.0, beta33 = 0.0, beta12 = 0.0, beta13 = 0.0, beta23 = 0.0;
  double occ = 0.0;
};

// Positions of a site's 11 parameter records.
enum AtomPar : int {
  kApX = 0, kApY, kApZ, kApB,
  kApBeta11, kApBeta22, kApBeta33, kApBeta12, kApBeta13, kApBeta23,
  kApOcc,
  kNumAtomPar
};

// The crystal structure record. It owns everything it holds; free_csd
// empties it.
struct csd {
  int sp_grp_no = 0;
  int num_sym_op = 0;
  std::vector<sym_op> sym_ops;  // full list: centring and inversion included
  std::string lattice_type;     // one letter: P I A B C F R
  int hex_flag = 0;             // 1 for an R lattice on hexagonal axes

  std::array<double, 6> lp{};  // a, b, c (angstrom), alpha, beta, gamma (degrees)
  std::array<fitpar, 6> lp_fp{};

  int num_atom = 0;
  std::vector<atom> atoms;
  std::vector<std::array<fitpar, kNumAtomPar>> atom_fp;
  std::vector<xdt> xdts;
  std::vector<bk_table> bks;

  // LOW_ORDER_FG: num_lofg entries sharing one lof_type (0 when empty).
  int num_lofg = 0;
  int lof_type = 0;
  std::vector<Hkl> lofg_hkl;
  // Types 1 and 2: the given structure factor of each entry, re and im.
  std::vector<complex> lofg_fg;
  std::vector<std::array<fitpar, 2>> lofg_fp;
  // Types 3 and 4: per entry and site f_ela (re) and f_inela (im).
  std::vector<std::vector<complex>> lofg_f;
  std::vector<std::vector<std::array<fitpar, 2>>> lofg_f_fp;

  // The chemical formula for titles when the crystal came with one (a CIF's
  // _chemical_formula_sum); empty otherwise.
  std::string formula;
  // When the crystal came from a CIF on other axes (rhombohedral, say) and
  // is used on the table's: how directions and reflections go from the
  // CIF's axes to these. Empty otherwise.
  std::string axes_change;
};

}  // namespace kv
