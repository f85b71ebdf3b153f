#include "input/crystal_data.hpp"

#include <cmath>
#include <string_view>

#include <filesystem>
#include <optional>

#include "crystal/data_table.hpp"
#include "input/cif_input.hpp"
#include "crystal/lattice.hpp"
#include "input/constraints.hpp"
#include "input/crystal_checks.hpp"
#include "input/parameter_names.hpp"
#include "input/fields.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"

namespace kv {

namespace {

// Counter of the automatic parameter names id0, id1, ...; shared by every
// block read in this process.
int auto_name_counter = 0;

[[noreturn]] void fitpar_input_error(std::string_view first_token, const std::string& missing = std::string()) {
  const std::string buf(first_token);
  fatal_out("$$ (fget_fitpar) Input data error. Abort.\n$$ buf=%s\n%s", printable(buf).c_str(), missing.c_str());
}

// "5,431 FIX a": a comma between digits where the value stands. Commas
// separate tokens, so the reader would see the value 5 followed by 431 in
// the place of the flag; say what it is instead.
void refuse_decimal_comma(const std::string& line, const std::vector<std::string_view>& t, const char* field,
                          FILE* fp) {
  if (t.size() < 2 || !is_number(t[0]) || !is_number(t[1])) return;
  if (t[1] == "0" || t[1] == "1" || t[1] == "2" || t[1] == "-1") return;  // numeric flag words
  const std::size_t end0 = static_cast<std::size_t>(t[0].data() - line.data()) + t[0].size();
  if (end0 < line.size() && line[end0] == ',' && t[1].data() == line.data() + end0 + 1) {
    const std::string a(t[0]), b(t[1]);
    fatal_out("$$ Data format error: \"%s,%s\" for %s has a decimal comma; write %s.%s.\n%s$$ Abort.\n",
              a.c_str(), b.c_str(), field, a.c_str(), b.c_str(), place_note(fp).c_str());
  }
}

// The first token of the next line; a line without any token is a format
// error naming what was expected.
std::string first_token_of_line(FILE* fp, const char* what) {
  const std::string line = need_line(kLineCap, fp);
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.empty()) fatal_out("$$ Data format error: %s expected, blank line found.\n$$ Abort.\n", what);
  return std::string(t[0]);
}

// A count read from an integer line, limited to [0, max].
int read_count(FILE* fp, const char* what, int max) {
  const int n = fget_i(fp);
  if (n < 0 || n > max)
    fatal_out("$$ Invalid %s (=%d): it must lie between 0 and %d. Abort.\n", what, n, max);
  return n;
}

// The X-ray factors of a site's element; a name the table lacks ends the
// run with a message that says how names are written and where the list is.
xdt site_xdt(const std::string& name, int j, FILE* fp) {
  std::string key = name;
  try {
    return read_xdt_table(key);
  } catch (const FatalError&) {
    const std::optional<std::string> table = locate_data_table("korvexxdt.dat");
    const std::string suggestion = table_case_symbol(name);
    const std::string hint =
        suggestion != name ? strprintf(" (did you mean %s?)", suggestion.c_str()) : std::string();
    fatal_out("$$ Site %d: the element or ion \"%s\" is not in the scattering-factor table%s.\n"
              "$$ Names are case-sensitive and spelt as in the table: Si, Sr, O2-, Ti4+.\n"
              "$$ The list of names is the first column of %s.\n%s$$ Abort.\n",
              j + 1, name.c_str(), hint.c_str(), table ? table->c_str() : "korvexxdt.dat",
              place_note(fp).c_str());
  }
}

void read_site(csd& cs, int j, FILE* fp) {
  atom& a = cs.atoms[j];
  std::array<fitpar, kNumAtomPar>& p = cs.atom_fp[j];
  chk_data("SITE{", fp);

  a.name = first_token_of_line(fp, "site name");
  if (a.name.size() > kSiteNameMax)
    fatal_out("$$ Site name %s is longer than %zu characters. Abort.\n", a.name.c_str(),
              kSiteNameMax);
  cs.xdts[j] = site_xdt(a.name, j, fp);
  cs.bks[j] = read_atom_dat_table(a.name);

  fget_fitpar(&p[kApX], &a.x, fp, "the site's x");
  fget_fitpar(&p[kApY], &a.y, fp, "the site's y");
  fget_fitpar(&p[kApZ], &a.z, fp, "the site's z");

  const std::string btype = first_token_of_line(fp, "Debye-Waller type (ISO or ANISO)");
  if (btype == "ISO" || btype == "0") {
    a.bf = 0;
    fget_fitpar(&p[kApB], &a.b_iso, fp, "the site's B");
  } else if (btype == "ANISO" || btype == "1") {
    a.bf = 1;
    double* beta[6] = {&a.beta11, &a.beta22, &a.beta33, &a.beta12, &a.beta13, &a.beta23};
    static const char* const names[6] = {"beta11", "beta22", "beta33", "beta12", "beta13", "beta23"};
    for (int k = 0; k < 6; ++k) fget_fitpar(&p[kApBeta11 + k], beta[k], fp, names[k]);
  } else {
    fatal_out("$$ Invalid bf. Abort.\n");
  }
  fget_fitpar(&p[kApOcc], &a.occ, fp, "the site's occupancy");
  a.af = fget_i(fp);
  chk_data("}SITE", fp);
}


}  // namespace

void fget_fitpar(fitpar* p, double* value, FILE* fp) { fget_fitpar(p, value, fp, "the parameter"); }

namespace {

// A second token that is no flag word: a trailing comment is harmless, any
// other word (a misspelt or lower-case flag, a misspelt unit) would silently
// leave the parameter fixed under an automatic name, so it is refused.
void refuse_unknown_flag(const std::vector<std::string_view>& t, const std::string& line, FILE* fp,
                         const char* field, const char* unit) {
  if (t.size() < 2 || is_comment_word(t[1])) return;
  const std::string word(t[1]);
  std::string text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  fatal_out(
      "$$ Data format error: \"%s\" after the value of %s is not a flag word: write FIX, ADJ, RST or CST (or 0, 2, "
      "1, -1), in upper case%s.\n$$ line: %s\n%s$$ Abort.\n",
      printable(word).c_str(), field,
      unit ? strprintf(", or the unit %s right after the number", unit).c_str() : "", printable(text).c_str(),
      place_note(fp).c_str());
}

// The tokens of one parameter line after the optional unit word.
void parse_fitpar(const std::vector<std::string_view>& t, fitpar* p, double* value, FILE* fp,
                  const char* field, const std::string& line, const char* unit) {
  *p = fitpar{};
  p->expr = std::string(t[0]);
  const std::string_view flag = t.size() > 1 ? t[1] : std::string_view();
  int flg;
  if (flag == "FIX" || flag == "0")
    flg = kFlgFix;
  else if (flag == "ADJ" || flag == "2")
    flg = kFlgAdj;
  else if (flag == "RST" || flag == "1")
    flg = kFlgRst;
  else if (flag == "CST" || flag == "-1")
    flg = kFlgCst;
  else
    flg = -2;  // no flag word: fixed, named automatically

  if (flg == -2) {
    refuse_unknown_flag(t, line, fp, field, unit);
    p->flg = kFlgFix;
    p->name = strprintf("id%d", auto_name_counter++);
  } else {
    const std::string flag_word(flag);
    if (t.size() < 3)
      fitpar_input_error(t[0], strprintf("$$ %s of %s has no parameter name: write VALUE %s NAME%s.\n%s",
                                         printable(flag_word).c_str(), field, printable(flag_word).c_str(),
                                         flg == kFlgRst ? " RESTRAINT" : "", place_note(fp).c_str()));
    if (flg == kFlgRst && t.size() < 4)
      fitpar_input_error(t[0], strprintf("$$ RST %s of %s has no restraint value: write VALUE RST NAME RESTRAINT "
                                         "(the value it is restrained to).\n%s",
                                         printable(std::string(t[2])).c_str(), field, place_note(fp).c_str()));
    p->flg = flg;
    p->name = std::string(t[2]);
    if (p->name.size() > kFitparNameMax)
      fatal_out("$$ (fget_fitpar) Parameter name %s is longer than %zu characters. Abort.\n",
                p->name.c_str(), kFitparNameMax);
    if (flg == kFlgRst) p->rst_val = checked_double(t[3], field, fp);
  }
  p->val = flg == kFlgCst ? 0.0 : checked_double(t[0], field, fp);
  *value = p->val;
}

}  // namespace

void fget_fitpar(fitpar* p, double* value, FILE* fp, const char* field) {
  const std::string line = need_line(kLineCap, fp);
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.empty()) fitpar_input_error("");
  refuse_decimal_comma(line, t, field, fp);
  parse_fitpar(t, p, value, fp, field, line, nullptr);
}

void fget_fitpar_unit(fitpar* p, double* value, FILE* fp, const char* field, const char* unit, bool* in_unit) {
  const std::string line = need_line(kLineCap, fp);
  std::vector<std::string_view> t = split_tokens(line);
  if (t.empty()) fitpar_input_error("");
  refuse_decimal_comma(line, t, field, fp);
  *in_unit = take_unit(t, unit);
  if (t.empty() || t[0].empty()) fitpar_input_error(line);
  parse_fitpar(t, p, value, fp, field, line, unit);
  // A constrained parameter takes its value, in the block's own units, from
  // its expression; a unit word there would have nothing to convert.
  if (*in_unit && p->flg == kFlgCst)
    fatal_out("$$ %s is constrained (CST %s): write it without \"%s\"; the expression gives its value.\n"
              "%s$$ Abort.\n",
              field, p->expr.c_str(), unit, place_note(fp).c_str());
}

void fget_latpar_cstr(csd& cs, FILE* fp) {
  chk_data("LATTICE{", fp);
  fget_latpar_body(cs, fp);
}

void fget_latpar_body(csd& cs, FILE* fp) {
  cs.sp_grp_no = fget_i(fp);
  int centro = 0;
  cs.sym_ops = read_sp_group_tbl(cs.sp_grp_no, &cs.num_sym_op, &centro, &cs.lattice_type,
                                 &cs.hex_flag);
  static const char* const names[6] = {"lattice parameter a", "lattice parameter b", "lattice parameter c",
                                       "lattice parameter alpha", "lattice parameter beta",
                                       "lattice parameter gamma"};
  for (int i = 0; i < 6; ++i) fget_fitpar(&cs.lp_fp[i], &cs.lp[i], fp, names[i]);
  chk_data("}LATTICE", fp);
}

static std::string cif_file_place(const std::string& name, FILE* fp) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::path(name).is_absolute() || fs::exists(name, ec)) return name;
  // A relative name that is not in the working folder is looked for beside
  // the parameter file, where an example keeps its CIF.
  const std::string par = reading_file(fp);
  if (!par.empty()) {
    const fs::path beside = fs::path(par).parent_path() / name;
    if (fs::exists(beside, ec)) return beside.string();
  }
  return name;
}

void fget_cif_cstr(csd& cs, FILE* fp) {
  const std::string line = need_line(kLineCap, fp);
  const std::vector<std::string_view> t = split_tokens(line);
  if (t.empty()) fatal_out("$$ Data format error: CIF file name expected after CIF{.\n%s$$ Abort.\n",
                           place_note(fp).c_str());
  const std::string path = cif_file_place(std::string(t[0]), fp);
  chk_data("}CIF", fp);
  const CifCrystal cif = read_cif_crystal(path);
  std::printf("CIF %s: space group %d (%s%s), %zu sites\n", path.c_str(), cif.sp_grp_no, cif.setting.c_str(),
              cif.transformed ? ", transformed to the table's setting" : "", cif.sites.size());
  for (const std::string& note : cif.notes) std::printf("%s\n", note.c_str());
  cs.formula = cif.formula;
  cs.axes_change = cif.axes_change;
  // The CIF's content goes through the same readers as a written block.
  const std::string text = cif_lattice_atom_blocks(cif);
  File mem(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  if (!mem) fatal_out("$$ Cannot read the crystal of %s. Abort.\n", path.c_str());
  start_reading(mem.get(), path + " (as a crystal block)");
  fget_latpar_cstr(cs, mem.get());
  fget_atmpar_cstr(cs, mem.get());
}

void fget_atmpar_cstr(csd& cs, FILE* fp) {
  chk_data("ATOM{", fp);
  const int n = read_count(fp, "number of atom sites", kMaxAtomSites);
  cs.num_atom = n;
  cs.atoms.assign(n, atom{});
  cs.atom_fp.assign(n, std::array<fitpar, kNumAtomPar>{});
  cs.xdts.assign(n, xdt{});
  cs.bks.assign(n, bk_table{});
  for (int j = 0; j < n; ++j) read_site(cs, j, fp);
  chk_data("}ATOM", fp);
}

void alloc_csd_sub_cstr(int num_atom, int num_lofg, int lof_type, csd& cs) {
  cs.lofg_hkl.assign(num_lofg, Hkl{});
  cs.lofg_fg.assign(num_lofg, complex{});
  cs.lofg_fp.assign(num_lofg, std::array<fitpar, 2>{});
  cs.lofg_f.clear();
  cs.lofg_f_fp.clear();
  if (lof_type == 3 || lof_type == 4) {
    cs.lofg_f.assign(num_lofg, std::vector<complex>(num_atom));
    cs.lofg_f_fp.assign(num_lofg, std::vector<std::array<fitpar, 2>>(num_atom));
  }
}

void fget_lofg_cstr(csd& cs, FILE* fp) {
  chk_data("LOW_ORDER_FG{", fp);
  const int m = read_count(fp, "number of LOW_ORDER_FG entries", kMaxLowOrderFg);
  cs.num_lofg = m;
  cs.lof_type = 0;
  if (m > 0) {
    const int type = fget_i(fp);
    if (type == 5) fatal_out("$$ Sorry, lof_type = 5 is not available. Abort.\n");
    if (type < 1 || type > 5) fatal_out("$$(fget_low_g_cst) Invalid lof_type(=%d). Abort.\n", type);
    cs.lof_type = type;
    alloc_csd_sub_cstr(cs.num_atom, m, type, cs);
    for (int e = 0; e < m; ++e) {
      cs.lofg_hkl[e] = fget_counted_hkl(fp, m, "LOW_ORDER_FG reflection");
      if (type <= 2) {
        fget_fitpar(&cs.lofg_fp[e][0], &cs.lofg_fg[e].re, fp);
        fget_fitpar(&cs.lofg_fp[e][1], &cs.lofg_fg[e].im, fp);
      } else {
        for (int j = 0; j < cs.num_atom; ++j) {
          fget_fitpar(&cs.lofg_f_fp[e][j][0], &cs.lofg_f[e][j].re, fp);
          fget_fitpar(&cs.lofg_f_fp[e][j][1], &cs.lofg_f[e][j].im, fp);
        }
      }
    }
  }
  chk_data("}LOW_ORDER_FG", fp);
}

void free_csd(csd& cs) { cs = csd{}; }

void input_csd_cstr(csd& cs, FILE* fp, const std::string& base_name) {
  free_csd(cs);
  chk_data("CRYSTAL_STRUCTURE_DATA{", fp);
  const std::optional<std::string> first = fget_1s(fp);
  if (first && *first == "CIF{") {
    enter_block(fp, "CIF{");
    fget_cif_cstr(cs, fp);
  } else if (first && *first == "LATTICE{") {
    enter_block(fp, "LATTICE{");
    fget_latpar_body(cs, fp);
    fget_atmpar_cstr(cs, fp);
  } else {
    fatal_out("$$ Data format error has been found at LATTICE{.\n$$ Abort.\n$$ buf=%s\n"
              "$$ CRYSTAL_STRUCTURE_DATA begins with a LATTICE{ block or a CIF{ line.\n%s",
              first ? printable(*first).c_str() : "(end of file)", place_note(fp).c_str());
  }
  fget_lofg_cstr(cs, fp);
  chk_data("}CRYSTAL_STRUCTURE_DATA", fp);

  check_parameter_names(crystal_parameters(cs), "CRYSTAL_STRUCTURE_DATA");
  constraint_csd(cs);
  check_cell(cs);
  check_sites(cs, fp);
  atom_multiplicity(cs.num_atom, cs.atoms.data(), cs.num_sym_op, cs.sym_ops.data());
  dbg_atm_pos_out(cs.num_sym_op, cs.sym_ops.data(), cs.num_atom, cs.atoms.data(), base_name);
}

}  // namespace kv
