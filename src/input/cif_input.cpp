#include "input/cif_input.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <set>
#include <utility>

// gemmi's number formatting normally comes from stb_sprintf, which Debian
// ships separately; the C library's snprintf does the same job here (only
// the CIF reader is used, nothing is written through gemmi).
#define USE_STD_SNPRINTF 1
#include <gemmi/cif.hpp>
#include <gemmi/smcif.hpp>
#include <gemmi/symmetry.hpp>

#include "crystal/data_table.hpp"
#include "crystal/formula.hpp"
#include "crystal/lattice.hpp"
#include "crystal/spacegroup.hpp"
#include "input/crystal_checks.hpp"
#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;
using Mat3 = std::array<std::array<double, 3>, 3>;

[[noreturn]] void cif_error(const std::string& path, const std::string& what) {
  fatal_out("$$ CIF %s: %s.\n$$ Abort.\n", path.c_str(), what.c_str());
}

// Every number the crystal is built from must be a number: the CIF reader
// takes a value that is not one ("abc", "5.43l", "nan") for its default, so
// an occupancy of "abc" would silently become 1. '?' and '.' (unknown, not
// applicable) keep their usual meaning, and a standard uncertainty "(4)"
// may follow a number.
void check_cif_numbers(gemmi::cif::Block& block, const std::string& path) {
  static const char* const kTags[] = {
      "_cell_length_a",         "_cell_length_b",         "_cell_length_c",         "_cell_angle_alpha",
      "_cell_angle_beta",       "_cell_angle_gamma",      "_atom_site_fract_x",     "_atom_site_fract_y",
      "_atom_site_fract_z",     "_atom_site_occupancy",   "_atom_site_U_iso_or_equiv", "_atom_site_B_iso_or_equiv",
      "_atom_site_aniso_U_11",  "_atom_site_aniso_U_22",  "_atom_site_aniso_U_33",  "_atom_site_aniso_U_12",
      "_atom_site_aniso_U_13",  "_atom_site_aniso_U_23",  "_atom_site_aniso_B_11",  "_atom_site_aniso_B_22",
      "_atom_site_aniso_B_33",  "_atom_site_aniso_B_12",  "_atom_site_aniso_B_13",  "_atom_site_aniso_B_23",
      "_atom_site_aniso_beta_11", "_atom_site_aniso_beta_22", "_atom_site_aniso_beta_33",
      "_atom_site_aniso_beta_12", "_atom_site_aniso_beta_13", "_atom_site_aniso_beta_23",
  };
  for (const char* tag : kTags) {
    gemmi::cif::Column col = block.find_values(tag);
    if (!col) continue;
    for (int i = 0; i < col.length(); ++i) {
      const std::string& raw = col[i];
      if (gemmi::cif::is_null(raw)) continue;
      if (!std::isfinite(gemmi::cif::as_number(raw, NAN)))
        cif_error(path, std::string(tag) + " value \"" + printable(raw) + "\" (row " + std::to_string(i + 1) +
                            ") is not a finite number");
    }
  }
}

// The symmetry operations the file lists, each once: files written by
// some programs list every operation twice, and a repeated identity would
// read as a centring translation of zero. Translations are reduced to
// [0, 1) first ("x+1,y,z" is the identity). Nothing when none are listed.
std::optional<gemmi::GroupOps> listed_ops(gemmi::cif::Block& b, const std::string& path,
                                          std::vector<std::string>& notes) {
  for (const char* tag : {"_space_group_symop_operation_xyz", "_symmetry_equiv_pos_as_xyz"}) {
    gemmi::cif::Column col = b.find_values(tag);
    if (!col || col.length() == 0) continue;
    std::vector<gemmi::Op> ops;
    int listed = 0;
    for (const std::string& v : col) {
      const std::string text = gemmi::cif::as_string(v);
      gemmi::Op op;
      try {
        op = gemmi::parse_triplet(text);
      } catch (const std::exception& e) {
        cif_error(path, "cannot read the symmetry operation \"" + text + "\" (" + e.what() + ")");
      }
      op.wrap();
      ++listed;
      if (std::find(ops.begin(), ops.end(), op) == ops.end()) ops.push_back(op);
    }
    if (static_cast<int>(ops.size()) < listed)
      notes.push_back(strprintf("CIF %s: %d symmetry operations listed, %zu of them distinct; each is used once.",
                                path.c_str(), listed, ops.size()));
    return gemmi::split_centering_vectors(ops);
  }
  return std::nullopt;
}

// The space-group number the file states, or 0.
int stated_number(gemmi::cif::Block& b) {
  for (const char* tag : {"_space_group_IT_number", "_symmetry_Int_Tables_number"})
    if (const std::string* v = b.find_value(tag)) {
      const double n = gemmi::cif::as_number(*v, NAN);
      if (n >= 1 && n <= 230 && n == std::floor(n)) return static_cast<int>(n);
    }
  return 0;
}

// The origin shift t (x' = x + t, in 1/24 of the edges) that takes the
// operations onto those of `target`, when there is one: a file may give a
// group in a setting whose origin differs from every tabulated one.
std::optional<gemmi::Op> origin_shift_to(const gemmi::GroupOps& ops, const gemmi::GroupOps& target) {
  if (ops.sym_ops.size() != target.sym_ops.size() || ops.cen_ops.size() != target.cen_ops.size())
    return std::nullopt;
  const std::vector<gemmi::Op> want = target.all_ops_sorted();
  constexpr int D = gemmi::Op::DEN;
  for (int i = 0; i < D; ++i)
    for (int j = 0; j < D; ++j)
      for (int k = 0; k < D; ++k) {
        gemmi::Op shift = gemmi::Op::identity();
        shift.tran = {i, j, k};
        gemmi::GroupOps moved = ops;
        moved.change_basis_forward(shift);
        if (moved.all_ops_sorted() == want) return shift;
      }
  return std::nullopt;
}

// Whether every listed operation is one of the group's.
bool is_part_of(const gemmi::GroupOps& ops, const gemmi::GroupOps& group) {
  const std::vector<gemmi::Op> all = group.all_ops_sorted();
  for (const gemmi::Op& op : ops.all_ops_sorted())
    if (!std::binary_search(all.begin(), all.end(), op)) return false;
  return true;
}

std::string group_name(const gemmi::SpaceGroup* sg) {
  return sg->xhm() + " (No. " + std::to_string(sg->number) + ")";
}

std::string shift_text(const gemmi::Op& shift) {
  std::string t;
  for (int k = 0; k < 3; ++k) {
    const int n = shift.tran[k], g = std::gcd(n, gemmi::Op::DEN);
    t += (k ? ", " : "") + (n == 0 ? std::string("0") : strprintf("%d/%d", n / g, gemmi::Op::DEN / g));
  }
  return "(" + t + ")";
}

// The space group of the file: its operations, its Hermann-Mauguin symbol
// and its number, which should agree. `shift` is a translation of the
// origin applied to the sites before the change to the table's setting.
struct FileGroup {
  const gemmi::SpaceGroup* sg = nullptr;
  gemmi::GroupOps ops;  // the group's operations on the file's axes and origin
  gemmi::Op shift = gemmi::Op::identity();
};

FileGroup cif_group(gemmi::cif::Block& block, const gemmi::SmallStructure& st, const std::string& path,
                    std::vector<std::string>& notes) {
  const std::optional<gemmi::GroupOps> listed = listed_ops(block, path, notes);
  const gemmi::SpaceGroup* by_symbol = st.spacegroup_hm.empty() ? nullptr : st.find_spacegroup();
  const int number = stated_number(block);
  const std::string symbol_text = "symbol \"" + st.spacegroup_hm + "\"";
  // What the symbol, or else the number (reference setting), says.
  const gemmi::SpaceGroup* named = by_symbol;
  std::string named_by = symbol_text;
  if (!named && number > 0) {
    named = &gemmi::get_spacegroup_reference_setting(number);
    named_by = "number " + std::to_string(number);
  }
  if (by_symbol && number > 0 && by_symbol->number != number)
    notes.push_back(strprintf("$$ Warning: CIF %s: its %s is space group %d but its number is %d.", path.c_str(),
                              symbol_text.c_str(), by_symbol->number, number));

  FileGroup out;
  if (!listed) {
    if (!named)
      cif_error(path, st.spacegroup_hm.empty()
                          ? std::string("neither symmetry operations nor a space-group symbol or number")
                          : "unknown space-group symbol \"" + st.spacegroup_hm + "\"");
    if (named != by_symbol)
      notes.push_back(strprintf("CIF %s: no symmetry operations and no known symbol: space group %d in its "
                                "reference setting %s is used.",
                                path.c_str(), number, named->xhm().c_str()));
    else if (number > 0 && by_symbol->number != number)
      notes.push_back(strprintf("CIF %s: the symbol's space group %s is used.", path.c_str(),
                                group_name(by_symbol).c_str()));
    out.sg = named;
    out.ops = named->operations();
    return out;
  }

  out.ops = *listed;
  out.sg = gemmi::find_spacegroup_by_ops(*listed);
  if (!out.sg && named) {
    // The symbol's group with the origin elsewhere: moved onto the symbol's
    // origin, sites and all.
    if (const std::optional<gemmi::Op> shift = origin_shift_to(*listed, named->operations())) {
      out.sg = named;
      out.shift = *shift;
      out.ops = *listed;
      notes.push_back(strprintf("$$ Warning: CIF %s: its symmetry operations are those of %s with the origin "
                                "moved; the sites are shifted by %s onto the origin of %s.",
                                path.c_str(), group_name(named).c_str(), shift_text(*shift).c_str(),
                                named->xhm().c_str()));
      return out;
    }
  }
  const std::string named_word = named_by.substr(0, named_by.find(' '));
  if (!out.sg) {
    if (named && is_part_of(*listed, named->operations())) {
      out.sg = named;
      out.ops = named->operations();
      notes.push_back(strprintf("$$ Warning: CIF %s: its %d symmetry operations are only part of space group %s "
                                "(its %s); the whole group of the %s is used.",
                                path.c_str(), listed->order(), group_name(named).c_str(), named_by.c_str(),
                                named_word.c_str()));
      return out;
    }
    cif_error(path, "its symmetry operations are no space-group setting known to gemmi" +
                        (named ? ", nor those of its " + named_by + " (" + named->xhm() + ") with another origin"
                               : std::string()));
  }
  if (named && named->number == out.sg->number && !named->operations().is_same_as(*listed)) {
    // A symbol without its origin or axis choice names the default setting:
    // the operations say which one the file uses.
    notes.push_back(strprintf("CIF %s: its symmetry operations are the setting %s of space group %d, "
                              "its %s names the setting %s; the operations are used.",
                              path.c_str(), out.sg->xhm().c_str(), out.sg->number, named_by.c_str(),
                              named->xhm().c_str()));
  } else if (named && !named->operations().is_same_as(*listed)) {
    if (is_part_of(*listed, named->operations())) {
      // An incomplete list (the centrosymmetric half left out, say): the
      // named group contains every listed operation.
      notes.push_back(strprintf("$$ Warning: CIF %s: its %d symmetry operations form space group %s, only part "
                                "of %s (its %s); the %s's group %s is used.",
                                path.c_str(), listed->order(), group_name(out.sg).c_str(), group_name(named).c_str(),
                                named_by.c_str(), named_word.c_str(), named->xhm().c_str()));
      out.sg = named;
      out.ops = named->operations();
    } else {
      notes.push_back(strprintf("$$ Warning: CIF %s: its symmetry operations are space group %s but its %s is %s; "
                                "the operations are used.",
                                path.c_str(), group_name(out.sg).c_str(), named_by.c_str(), group_name(named).c_str()));
    }
  } else if (!named && !st.spacegroup_hm.empty()) {
    notes.push_back(strprintf("$$ Warning: CIF %s: its %s is unknown; its operations, space group %s, are used.",
                              path.c_str(), symbol_text.c_str(), group_name(out.sg).c_str()));
  }
  return out;
}

// The setting of number n that the table holds: gemmi's reference setting.
const gemmi::SpaceGroup* table_setting(int number) {
  for (const gemmi::SpaceGroup& sg : gemmi::spacegroup_tables::main)
    if (sg.number == number && sg.is_reference_setting()) return &sg;
  return nullptr;
}

Mat3 rotation_of(const gemmi::Op& op) {
  Mat3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i][j] = static_cast<double>(op.rot[i][j]) / gemmi::Op::DEN;
  return r;
}

Mat3 mul(const Mat3& a, const Mat3& b) {
  Mat3 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) c[i][j] += a[i][k] * b[k][j];
  return c;
}

Mat3 transpose(const Mat3& a) {
  Mat3 t{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t[i][j] = a[j][i];
  return t;
}

// Direct metric tensor of a cell (angstrom^2).
Mat3 metric(const std::array<double, 6>& lp) {
  constexpr double d = kPi / 180.0;
  const double a = lp[0], b = lp[1], c = lp[2];
  const double ca = std::cos(lp[3] * d), cb = std::cos(lp[4] * d), cg = std::cos(lp[5] * d);
  return Mat3{{{a * a, a * b * cg, a * c * cb}, {a * b * cg, b * b, b * c * ca}, {a * c * cb, b * c * ca, c * c}}};
}

std::array<double, 6> cell_of_metric(const Mat3& g) {
  constexpr double d = 180.0 / kPi;
  const double a = std::sqrt(g[0][0]), b = std::sqrt(g[1][1]), c = std::sqrt(g[2][2]);
  return {a, b, c, std::acos(g[1][2] / (b * c)) * d, std::acos(g[0][2] / (a * c)) * d,
          std::acos(g[0][1] / (a * b)) * d};
}

// Reciprocal edges a*, b*, c* (1/angstrom) of a cell.
std::array<double, 3> reciprocal_edges(const std::array<double, 6>& lp) {
  const lattice_metric lm = bravai(lp.data());
  return {std::sqrt(lm.gs11), std::sqrt(lm.gs22), std::sqrt(lm.gs33)};
}

// Rounds values that are a rounding error away from a simple fraction, so
// that 0.333333 written by a CIF's author and 1/3 in the table's operators
// give the same special positions.
double tidy(double v) {
  double w = v - std::floor(v);
  for (int den : {2, 3, 4, 6, 8, 12, 24}) {
    const double r = std::round(w * den) / den;
    if (std::abs(w - r) < 2e-6) return r >= 1.0 ? 0.0 : r;
  }
  return std::abs(w - 1.0) < 1e-12 ? 0.0 : w;
}

// A number as a simple fraction where it is one ("2/3", "-1", "0.4142").
std::string fraction_text(double v) {
  for (int den : {1, 2, 3, 4, 6, 8, 12, 24}) {
    const double n = std::round(v * den);
    if (std::abs(v * den - n) < 1e-9)
      return den == 1 ? strprintf("%.0f", n) : strprintf("%.0f/%d", n, den);
  }
  return strprintf("%.6g", v);
}

// When the change to the table's setting turns the axes (rhombohedral to
// hexagonal, another monoclinic cell), every zone axis and reflection of the
// parameter file is read on the table's axes, not the CIF's: the message
// spells out the transformation, directions as u' = R u and reflections as
// h' = R^-T h, by the images of the CIF's unit vectors.
std::string axes_mapping_text(const Mat3& R, const Mat3& Ri) {
  std::string dirs, refl;
  const char* unit[3] = {"1 0 0", "0 1 0", "0 0 1"};
  for (int j = 0; j < 3; ++j) {
    dirs += strprintf("%s[%s] -> [%s %s %s]", j ? ", " : "", unit[j], fraction_text(R[0][j]).c_str(),
                      fraction_text(R[1][j]).c_str(), fraction_text(R[2][j]).c_str());
    refl += strprintf("%s(%s) -> (%s %s %s)", j ? ", " : "", unit[j], fraction_text(Ri[j][0]).c_str(),
                      fraction_text(Ri[j][1]).c_str(), fraction_text(Ri[j][2]).c_str());
  }
  return "directions go as " + dirs + " and reflections as " + refl;
}

std::string axes_change_text(const std::string& path, const gemmi::SpaceGroup& from, const gemmi::SpaceGroup& to,
                             const std::string& mapping) {
  return strprintf("$$ Warning: CIF %s: its axes (%s) are not those of the table's setting %s, on which the crystal "
                   "is used: zone axes, surface normals and reflections in the parameter file are read on the "
                   "table's axes. From the CIF's axes, %s.",
                   path.c_str(), from.xhm().c_str(), to.xhm().c_str(), mapping.c_str());
}

// Names in the first column of the X-ray table.
std::set<std::string> xray_table_names() {
  std::set<std::string> names;
  const std::optional<std::string> path = locate_data_table("korvexxdt.dat");
  if (!path) return names;
  File fp = fopen_chk_rmode(*path);
  while (std::optional<std::string> line = comment_skip_fgets(kLineCap, fp.get())) {
    const std::vector<std::string_view> t = split_tokens(*line);
    if (!t.empty()) names.emplace(t[0]);
  }
  return names;
}

// The element or ion of a site as the tables spell it; an ion the table
// lacks falls back to its neutral atom.
std::string site_table_name(const gemmi::SmallStructure::Site& s, const std::set<std::string>& names,
                            const std::string& path, std::vector<std::string>& notes) {
  if (s.element == gemmi::El::X)
    cif_error(path, "site " + s.label + ": no element in type symbol \"" + s.type_symbol + "\"");
  const std::string ion = s.element_and_charge_symbol();
  if (names.empty() || names.count(ion)) return ion;
  const std::string neutral = s.element.name();
  if (names.count(neutral)) {
    if (ion != neutral)
      notes.push_back(strprintf("$$ CIF %s: site %s: %s is not in korvexxdt.dat, neutral %s is used.", path.c_str(),
                                s.label.c_str(), ion.c_str(), neutral.c_str()));
    return neutral;
  }
  cif_error(path, "site " + s.label + ": element " + neutral + " is not in korvexxdt.dat");
}

// Anisotropic displacements of a site given as B_ij or beta_ij (gemmi reads
// U_ij itself): beta in the CIF's own cell, or nothing.
std::optional<std::array<double, 6>> other_aniso(gemmi::cif::Block& block, const std::string& label,
                                                 const std::array<double, 3>& rs) {
  const char* kinds[2][6] = {{"B_11", "B_22", "B_33", "B_12", "B_13", "B_23"},
                             {"beta_11", "beta_22", "beta_33", "beta_12", "beta_13", "beta_23"}};
  const int ij[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  for (int kind = 0; kind < 2; ++kind) {
    std::vector<std::string> tags{"label"};
    for (const char* t : kinds[kind]) tags.emplace_back(t);
    for (auto row : block.find("_atom_site_aniso_", tags)) {
      if (row.str(0) != label) continue;
      std::array<double, 6> beta{};
      for (int k = 0; k < 6; ++k) {
        const double v = gemmi::cif::as_number(row[k + 1], 0.0);
        beta[k] = kind == 0 ? 0.25 * v * rs[ij[k][0]] * rs[ij[k][1]] : v;
      }
      return beta;
    }
  }
  return std::nullopt;
}

// A parameter name from a site label: letters, digits and '_' only.
std::string name_part(const std::string& label) {
  std::string out;
  for (char ch : label) {
    const unsigned char c = static_cast<unsigned char>(ch);
    out += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
  }
  return out.substr(0, 24);
}

// Whether the file gives site `label` an isotropic displacement (U or B).
bool has_iso_displacement(gemmi::cif::Block& block, const std::string& label) {
  for (const char* tag : {"U_iso_or_equiv", "B_iso_or_equiv"})
    for (auto row : block.find("_atom_site_", {"label", tag}))
      if (row.str(0) == label && !gemmi::cif::is_null(row[1])) return true;
  return false;
}

// Element counts of a formula such as "Al2 O3" or "Pb Mg0.33 Nb0.67 O3",
// in the order written; nothing when a token is no element with a count.
std::optional<std::vector<std::pair<std::string, double>>> parse_formula(const std::string& text) {
  std::vector<std::pair<std::string, double>> out;
  for (std::string_view tok : split_tokens(text)) {
    std::size_t n = 0;
    while (n < tok.size() && std::isalpha(static_cast<unsigned char>(tok[n]))) ++n;
    const std::string el(tok.substr(0, n));
    if (el.empty() || gemmi::find_element(el.c_str()) == gemmi::El::X || gemmi::Element(el).name() != el)
      return std::nullopt;
    double count = 1.0;
    if (n < tok.size()) {
      const std::string num(tok.substr(n));
      char* end = nullptr;
      count = std::strtod(num.c_str(), &end);
      if (*end != '\0' || !(count > 0)) return std::nullopt;
    }
    out.emplace_back(el, count);
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::string counts_text(const std::vector<std::pair<std::string, double>>& c) {
  std::string t;
  for (const auto& [el, n] : c) t += (t.empty() ? "" : ", ") + el + " " + strprintf("%g", std::round(n * 1000) / 1000);
  return t;
}

// The atoms per cell (occupancy times the distinct images of each site
// under the group) against _chemical_formula_sum times
// _cell_formula_units_Z: a site on a special position read as a general one
// (a wrong origin, a wrong group) shows as a count that is too large. The
// formula, written without blanks, is kept for titles.
void check_formula(gemmi::cif::Block& block, const gemmi::SmallStructure& st, const FileGroup& fg,
                   const std::string& path, CifCrystal& out) {
  std::vector<std::pair<std::string, double>> cell;
  for (const gemmi::SmallStructure::Site& s : st.sites) {
    std::vector<std::array<double, 3>> images;
    for (const gemmi::Op& op : fg.ops) {
      std::array<double, 3> p = op.apply_to_xyz({s.fract.x, s.fract.y, s.fract.z});
      for (double& v : p) v -= std::floor(v);
      bool seen = false;
      for (const auto& q : images) {
        bool same = true;
        for (int k = 0; k < 3; ++k) {
          const double d = p[k] - q[k];
          if (std::fabs(d - std::round(d)) > 1e-3) same = false;
        }
        seen = seen || same;
      }
      if (!seen) images.push_back(p);
    }
    const std::string el = s.element.name();
    auto it = std::find_if(cell.begin(), cell.end(), [&](const auto& c) { return c.first == el; });
    if (it == cell.end()) it = cell.insert(cell.end(), {el, 0.0});
    it->second += s.occ * static_cast<double>(images.size());
  }
  const std::string* sum = block.find_value("_chemical_formula_sum");
  if (!sum || gemmi::cif::is_null(*sum)) {
    out.notes.push_back(strprintf("CIF %s: atoms per cell %s (no _chemical_formula_sum to check them against).",
                                  path.c_str(), counts_text(cell).c_str()));
    return;
  }
  const std::string sum_text = gemmi::cif::as_string(*sum);
  const auto formula = parse_formula(sum_text);
  if (!formula) {
    out.notes.push_back(strprintf("CIF %s: atoms per cell %s; _chemical_formula_sum '%s' cannot be read as "
                                  "elements with counts.",
                                  path.c_str(), counts_text(cell).c_str(), sum_text.c_str()));
    return;
  }
  out.formula = formula_text(*formula, false);
  double z = 0.0;
  if (const std::string* zv = block.find_value("_cell_formula_units_Z")) z = gemmi::cif::as_number(*zv, 0.0);
  // Without Z, the counts are compared as proportions: Z from the first element.
  const bool z_given = z > 0.0;
  if (!z_given) {
    const auto first =
        std::find_if(cell.begin(), cell.end(), [&](const auto& c) { return c.first == (*formula)[0].first; });
    z = first == cell.end() ? 0.0 : first->second / (*formula)[0].second;
  }
  std::vector<std::pair<std::string, double>> expected;
  for (const auto& [el, n] : *formula) expected.emplace_back(el, n * z);
  bool agree = z > 0.0;
  for (const auto& site : cell) {
    const std::string& el = site.first;
    const auto e = std::find_if(expected.begin(), expected.end(), [&](const auto& c) { return c.first == el; });
    const double want = e == expected.end() ? 0.0 : e->second;
    if (std::fabs(site.second - want) > 0.02 * std::max(1.0, want)) agree = false;
  }
  for (const auto& want : expected) {
    const std::string& el = want.first;
    if (want.second > 0.0 && std::none_of(cell.begin(), cell.end(), [&](const auto& c) { return c.first == el; }))
      agree = false;
  }
  const std::string ztext = z_given ? strprintf("Z = %g", z) : std::string("no Z, compared as proportions");
  if (agree) {
    out.notes.push_back(strprintf("CIF %s: atoms per cell %s, as _chemical_formula_sum '%s' (%s).", path.c_str(),
                                  counts_text(cell).c_str(), sum_text.c_str(), ztext.c_str()));
  } else {
    out.notes.push_back(strprintf("$$ Warning: CIF %s: atoms per cell %s differ from _chemical_formula_sum '%s' "
                                  "(%s: %s); check the sites, their occupancies and the symmetry.",
                                  path.c_str(), counts_text(cell).c_str(), sum_text.c_str(), ztext.c_str(),
                                  counts_text(expected).c_str()));
  }
}

// The checks that the crystal block reader applies, applied here, so that
// no crystal is accepted from a CIF whose block would then be refused.
void check_cif_crystal(const CifCrystal& c, const std::string& path) {
  csd cs;
  cs.sp_grp_no = c.sp_grp_no;
  int centro = 0;
  cs.sym_ops = read_sp_group_tbl(c.sp_grp_no, &cs.num_sym_op, &centro, &cs.lattice_type, &cs.hex_flag);
  std::copy(c.lp.begin(), c.lp.end(), cs.lp.begin());
  cs.num_atom = static_cast<int>(c.sites.size());
  for (const CifSite& s : c.sites) {
    atom a;
    a.name = s.name;
    a.bf = s.bf;
    a.x = s.x;
    a.y = s.y;
    a.z = s.z;
    a.b_iso = s.b_iso;
    a.beta11 = s.beta[0];
    a.beta22 = s.beta[1];
    a.beta33 = s.beta[2];
    a.beta12 = s.beta[3];
    a.beta13 = s.beta[4];
    a.beta23 = s.beta[5];
    a.occ = s.occ;
    cs.atoms.push_back(a);
  }
  try {
    check_cell(cs);
    check_sites(cs, nullptr);
  } catch (const FatalError& e) {
    fatal_out("$$ CIF %s: its crystal cannot be used.\n%s", path.c_str(), e.text().c_str());
  }
}

}  // namespace

CifCrystal read_cif_crystal(const std::string& path) {
  // Read here, as a plain file only (a FIFO would block the run for ever),
  // and parsed from memory.
  std::string text;
  {
    File fp = fopen_plain_file(path);
    if (!fp) cif_error(path, "cannot be read (no such plain file)");
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, fp.get())) > 0;) text.append(buf, n);
    if (std::ferror(fp.get())) cif_error(path, "cannot be read");
  }
  gemmi::cif::Document doc;
  try {
    doc = gemmi::cif::read_memory(text.data(), text.size(), path.c_str());
  } catch (const std::exception& e) {
    cif_error(path, std::string("cannot be read (") + e.what() + ")");
  }
  if (doc.blocks.empty()) cif_error(path, "no data block");
  gemmi::cif::Block& block = doc.blocks[0];
  check_cif_numbers(block, path);
  const gemmi::SmallStructure st = gemmi::make_small_structure_from_block(block);
  if (!block.find_value("_cell_length_a") || !block.find_value("_cell_length_b") ||
      !block.find_value("_cell_length_c") || !(st.cell.a > 0 && st.cell.b > 0 && st.cell.c > 0))
    cif_error(path, "no _cell_length_a, _b, _c");
  if (st.sites.empty()) cif_error(path, "no _atom_site_ loop with fractional coordinates");

  CifCrystal out;
  const FileGroup fg = cif_group(block, st, path, out.notes);
  const gemmi::SpaceGroup* sg = fg.sg;
  gemmi::GroupOps ops = fg.ops;
  ops.change_basis_forward(fg.shift);
  const gemmi::SpaceGroup* ref = table_setting(sg->number);
  if (!ref)
    cif_error(path, "space group " + sg->xhm() + " (No. " + std::to_string(sg->number) +
                        ") has no reference setting to transform to");

  // The change of basis x' = C x taking the file's operations to the
  // table's: gemmi's basisop relates a setting to the reference setting;
  // both directions are tried and the one that reproduces the table's
  // operations is kept.
  std::optional<gemmi::Op> cob;
  for (const gemmi::Op& cand : {sg->basisop().inverse(), sg->basisop()}) {
    gemmi::GroupOps moved = ops;
    moved.change_basis_forward(cand);
    if (moved.is_same_as(ref->operations())) {
      cob = cand;
      break;
    }
  }
  if (!cob)
    cif_error(path, "the setting " + sg->xhm() + " of space group " + std::to_string(sg->number) +
                        " cannot be transformed to the table's setting " + ref->xhm());

  out.sp_grp_no = sg->number;
  out.setting = sg->xhm();
  out.transformed = !(*cob == gemmi::Op::identity());
  const std::array<double, 6> lp0{st.cell.a, st.cell.b, st.cell.c, st.cell.alpha, st.cell.beta, st.cell.gamma};
  // Fractional coordinates go as x' = R x + t, so the new basis is A R^-1
  // and the metric R^-T G R^-1; Miller indices go as h' = R^-T h, so the
  // displacement tensor beta (h^T beta h in the exponent) goes to R beta R^T.
  const Mat3 R = rotation_of(*cob);
  const Mat3 Ri = rotation_of(cob->inverse());
  if (cob->rot != gemmi::Op::identity().rot) {
    out.axes_change = axes_mapping_text(R, Ri);
    out.notes.push_back(axes_change_text(path, *sg, *ref, out.axes_change));
  }
  out.lp = out.transformed ? cell_of_metric(mul(transpose(Ri), mul(metric(lp0), Ri))) : lp0;
  for (double& v : out.lp) v = std::round(v * 1e8) / 1e8;

  const std::array<double, 3> rs = reciprocal_edges(lp0);
  const std::set<std::string> names = xray_table_names();
  std::vector<std::string> no_b;  // sites without any displacement parameter
  for (const gemmi::SmallStructure::Site& s : st.sites) {
    // '?' (unknown) or '.' for a coordinate leaves the site nowhere.
    const double xyz[3] = {s.fract.x, s.fract.y, s.fract.z};
    for (int k = 0; k < 3; ++k)
      if (!std::isfinite(xyz[k]))
        cif_error(path, "site " + s.label + ": _atom_site_fract_" + "xyz"[k] +
                            " is not given (\"?\" or \".\"); every site needs its three coordinates");
    CifSite site;
    site.label = s.label;
    site.name = site_table_name(s, names, path, out.notes);
    const std::array<double, 3> x = cob->apply_to_xyz(fg.shift.apply_to_xyz({s.fract.x, s.fract.y, s.fract.z}));
    site.x = tidy(x[0]);
    site.y = tidy(x[1]);
    site.z = tidy(x[2]);
    site.occ = s.occ;
    std::optional<std::array<double, 6>> beta;
    if (s.aniso.nonzero()) {
      const double u[6] = {s.aniso.u11, s.aniso.u22, s.aniso.u33, s.aniso.u12, s.aniso.u13, s.aniso.u23};
      const int ij[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
      std::array<double, 6> b{};
      for (int k = 0; k < 6; ++k) b[k] = 2.0 * kPi * kPi * u[k] * rs[ij[k][0]] * rs[ij[k][1]];
      beta = b;
    } else {
      beta = other_aniso(block, s.label, rs);
    }
    if (beta) {
      const std::array<double, 6>& b = *beta;
      const Mat3 m{{{b[0], b[3], b[4]}, {b[3], b[1], b[5]}, {b[4], b[5], b[2]}}};
      const Mat3 t = mul(R, mul(m, transpose(R)));
      site.bf = 1;
      site.beta = {t[0][0], t[1][1], t[2][2], t[0][1], t[0][2], t[1][2]};
    } else {
      site.bf = 0;
      site.b_iso = 8.0 * kPi * kPi * s.u_iso;
      if (!has_iso_displacement(block, s.label)) no_b.push_back(s.label);
    }
    out.sites.push_back(site);
  }
  if (!no_b.empty()) {
    std::string list;
    for (std::size_t i = 0; i < no_b.size(); ++i) list += (i ? ", " : "") + no_b[i];
    out.notes.push_back(strprintf("$$ Warning: CIF %s: no displacement parameters for %s; B = 0 is used (no "
                                  "Debye-Waller damping and no thermal diffuse absorption).",
                                  path.c_str(), no_b.size() == st.sites.size() ? "any site" : list.c_str()));
  }
  check_formula(block, st, fg, path, out);
  check_cif_crystal(out, path);
  return out;
}

std::string cif_lattice_atom_blocks(const CifCrystal& c) {
  std::string s = "LATTICE{\n" + std::to_string(c.sp_grp_no) + "\n";
  const char* lp_names[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
  for (int i = 0; i < 6; ++i) s += strprintf("%.10g FIX %s\n", c.lp[i], lp_names[i]);
  s += "}LATTICE\nATOM{\n" + std::to_string(c.sites.size()) + "\n";
  std::set<std::string> used;
  for (std::size_t j = 0; j < c.sites.size(); ++j) {
    const CifSite& a = c.sites[j];
    std::string n = name_part(a.label);
    if (n.empty() || used.count(n)) n += "_" + std::to_string(j + 1);
    used.insert(n);
    s += "SITE{\n" + a.name + "\n";
    s += strprintf("%.10g FIX x_%s\n%.10g FIX y_%s\n%.10g FIX z_%s\n", a.x, n.c_str(), a.y, n.c_str(), a.z,
                   n.c_str());
    if (a.bf == 0) {
      s += strprintf("ISO\n%.10g FIX b_%s\n", a.b_iso, n.c_str());
    } else {
      s += "ANISO\n";
      const char* bn[6] = {"b11", "b22", "b33", "b12", "b13", "b23"};
      for (int k = 0; k < 6; ++k) s += strprintf("%.10g FIX %s_%s\n", a.beta[k], bn[k], n.c_str());
    }
    s += strprintf("%.10g FIX occ_%s\n0\n}SITE\n", a.occ, n.c_str());
  }
  s += "}ATOM\n";
  return s;
}

std::string cif_crystal_block(const CifCrystal& c, bool with_low_order_fg) {
  std::string s = "CRYSTAL_STRUCTURE_DATA{\n";
  s += strprintf("%% space group %d, from the CIF's setting %s%s\n", c.sp_grp_no, c.setting.c_str(),
                 c.transformed ? " (transformed to the table's setting)" : "");
  for (std::string n : c.notes) {
    // One comment line each, whatever the file's values held.
    for (char& ch : n)
      if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
    s += "% " + n + "\n";
  }
  s += cif_lattice_atom_blocks(c);
  if (with_low_order_fg) s += "LOW_ORDER_FG{\n0\n}LOW_ORDER_FG\n";
  s += "}CRYSTAL_STRUCTURE_DATA\n";
  return s;
}

}  // namespace kv
