#pragma once
// The crystal of a run: space group, cell, atom sites and optional directly
// given low-order structure factors, read from the CRYSTAL_STRUCTURE_DATA
// block of a parameter file.
//
// Every number of the block is a refinable parameter (`fitpar`): besides its
// value it carries a refinement flag, a name and the text it was written
// as, so that one parameter can be defined through others (constraints) and
// the block can be written back by the fit tools. The value itself lives in
// the structure field it describes (a site's x, the cell edge a, ...).
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "crystal/scattering.hpp"
#include "crystal/spacegroup.hpp"
#include "input/fields.hpp"
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
};

// Reads one parameter line into p and stores its value in *value:
//   value [FIX|0|ADJ|2 name] | value RST|1 name rst_val | expr CST|-1 name
// A line without a known flag word is a fixed parameter with an automatic
// name "id%d" (one counter for the whole process).
void fget_fitpar(fitpar* p, double* value, FILE* fp);
// The LATTICE block after its opening marker.
void fget_latpar_body(csd& cs, FILE* fp);
// "CIF{", the file name, "}CIF" in place of the LATTICE and ATOM blocks:
// reads the line with the name (a relative name not in the working folder is
// looked for beside the parameter file) and its closing marker, and fills
// the cell, space group and sites from the file.
void fget_cif_cstr(csd& cs, FILE* fp);
// The same, naming the field in the messages about a malformed number.
void fget_fitpar(fitpar* p, double* value, FILE* fp, const char* field);
// The same with an optional unit word after the value ("0.5 mrad FIX tH" or
// "0.5mrad FIX tH"); *in_unit tells whether it was written. The value and an
// RST restraint number are left in that unit. A CST line with a unit is
// refused.
void fget_fitpar_unit(fitpar* p, double* value, FILE* fp, const char* field, const char* unit, bool* in_unit);

// The LATTICE{ ... }LATTICE part: space-group number (the operator table is
// read at once) and the six cell parameters.
void fget_latpar_cstr(csd& cs, FILE* fp);
// The ATOM{ ... }ATOM part: the number of sites and the site groups, with
// both scattering-factor tables of every site.
void fget_atmpar_cstr(csd& cs, FILE* fp);
// The LOW_ORDER_FG{ ... }LOW_ORDER_FG part.
void fget_lofg_cstr(csd& cs, FILE* fp);
// Entry arrays of the low-order block for num_lofg entries; for lof_type 3
// and 4 also the per-site lists of every entry.
void alloc_csd_sub_cstr(int num_atom, int num_lofg, int lof_type, csd& cs);
// Releases everything the record holds and leaves it empty.
void free_csd(csd& cs);

// Reads the whole CRYSTAL_STRUCTURE_DATA block at the stream's position and
// completes the record: constraints evaluated, cell checked, multiplicity
// factors set, and the generated positions written to "%s_aps.txt" (from
// base_name) when korvex.ini asks for them.
void input_csd_cstr(csd& cs, FILE* fp, const std::string& base_name);

}  // namespace kv
