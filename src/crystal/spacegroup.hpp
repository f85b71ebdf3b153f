#pragma once
// Space groups and atom sites: the operator table korvexspg.dat, decoding of
// operator strings such as -X+1/2,Y,-Z+1/2, completion by the centring
// translations and the inversion, site multiplicities and the listing of
// generated atom positions.
//
// The site functions are templates over the site record so that any record
// with the usual site fields can be passed: `x`, `y`, `z`, `multiplicity`
// (double, written), `name` (std::string or char array), `occ`, `bf`,
// `b_iso`, `beta11`, `beta22`, `beta33`, `beta12`, `beta13`, `beta23`.
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "crystal/lattice.hpp"
#include "sim/qzio.hpp"

namespace kv {

// One symmetry operation: r'_i = sum_j rot[3 j + i] r_j + trans[i].
// rot is stored column by column; trans in fractions of the cell edges (not
// reduced after the centring translations are added). A reflection maps as
// h'_j = sum_i rot[3 j + i] h_i.
struct sym_op {
  std::array<double, 9> rot{};
  std::array<double, 3> trans{};
};

// Reads entry sp_num of korvexspg.dat and expands it by the centring
// translations and, when the entry's centrosymmetry flag is 1, the
// inversion. Outputs the number of operations, the flag, the one-letter
// lattice type and the hexagonal-axes flag (1 for R on hexagonal axes).
// Fatal when the table cannot be found or lacks the group.
std::vector<sym_op> read_sp_group_tbl(int sp_num, int* num_op, int* centro_flag,
                                      std::string* lattice_type, int* hex_flag);
// One operator line, three comma-separated components (X, Y, Z and
// fractions d/d only).
sym_op decode_sym_op(std::string_view line);
// Applies op to a fractional position (translation not reduced).
Vec3 apply_sym_op(const sym_op& op, const Vec3& r);

// x reduced to [0, 1).
double fractional(double x);
// 1 when p and q are the same site modulo lattice translations, else 0.
int judge_two_atom(const Vec3& p, const Vec3& q);
// Number of distinct sites among pos[0..n-1]; the first entries of pos are
// replaced by them, in order of first occurrence.
int special_pos_check(int n, Vec3* pos);

// Images of r under every operation, in list order, translations not reduced.
std::vector<Vec3> gen_atom_positions(const Vec3& r, int num_op, const sym_op* ops);
// Multiplicity factor of a site at r: distinct images / number of
// operations, or 1.0 with epsilon.auto_multiplicity_off 1; other values of
// that switch are fatal.
double site_multiplicity(const Vec3& r, int num_op, const sym_op* ops);
// Generated positions of a site at r: the distinct images, or all of them
// with epsilon.auto_multiplicity_off 1; other values are fatal.
std::vector<Vec3> site_positions(const Vec3& r, int num_op, const sym_op* ops);
// One site's block of the position listing (site_no counted from 1).
void fprint_site_positions(FILE* fp, int site_no, const char* name, double occ,
                           const std::vector<Vec3>& pos, int num_op);
// Equivalent isotropic B (angstrom^2): b_iso for bf 0, else from the six
// beta coefficients (beta11, beta22, beta33, beta12, beta13, beta23) and the
// direct metric.
double bij_to_beq(const lattice_metric& lm, int bf, double b_iso, const double beta[6]);
// Whether korvex.ini asked for the listing of generated positions.
bool atm_pos_out_requested();
// "%s_aps.txt" for a base name.
std::string aps_file_name(const std::string& base_name);

namespace detail {
inline const char* site_name(const std::string& s) { return s.c_str(); }
inline const char* site_name(const char* s) { return s; }
template <class Site>
Vec3 site_pos(const Site& s) {
  return Vec3{s.x, s.y, s.z};
}
}  // namespace detail

// Sets every site's multiplicity factor.
template <class Site>
void atom_multiplicity(int nsite, Site* sites, int num_op, const sym_op* ops) {
  for (int i = 0; i < nsite; ++i)
    sites[i].multiplicity = site_multiplicity(detail::site_pos(sites[i]), num_op, ops);
}

// Per site the generated positions (their count is the vector's size).
template <class Site>
std::vector<std::vector<Vec3>> newpos_sym_op(int nsite, const Site* sites, int num_op,
                                             const sym_op* ops) {
  std::vector<std::vector<Vec3>> out;
  out.reserve(nsite > 0 ? static_cast<std::size_t>(nsite) : 0);
  for (int i = 0; i < nsite; ++i)
    out.push_back(site_positions(detail::site_pos(sites[i]), num_op, ops));
  return out;
}

// The listing of all generated atom positions.
template <class Site>
void fprint_gen_atom_pos(FILE* fp, int num_op, const sym_op* ops, int nsite, const Site* sites) {
  std::fprintf(fp, "* All atom positions\n*\n");
  const std::vector<std::vector<Vec3>> pos = newpos_sym_op(nsite, sites, num_op, ops);
  for (int i = 0; i < nsite; ++i)
    fprint_site_positions(fp, i + 1, detail::site_name(sites[i].name), sites[i].occ, pos[i],
                          num_op);
}

// Writes the listing to "%s_aps.txt" when the atm_pos_out_flag of korvex.ini
// is 1, announcing the file on standard output (the crystal reader calls it
// with its record's operations and sites).
template <class Site>
void dbg_atm_pos_out(int num_op, const sym_op* ops, int nsite, const Site* sites,
                     const std::string& base_name) {
  if (!atm_pos_out_requested()) return;
  const std::string path = aps_file_name(base_name);
  OutputFile fp = qz_fopen_chk_wmode(path);
  std::printf("$$ Generated atom positions ==> %s\n", path.c_str());
  fprint_gen_atom_pos(fp.get(), num_op, ops, nsite, sites);
  qz_fclose(fp);
}

// Equivalent isotropic B of one site.
template <class Site>
double bij_to_beq(const lattice_metric& lm, const Site& s) {
  const double beta[6] = {s.beta11, s.beta22, s.beta33, s.beta12, s.beta13, s.beta23};
  return bij_to_beq(lm, s.bf, s.b_iso, beta);
}

}  // namespace kv
