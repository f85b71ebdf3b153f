#include "crystal/spacegroup.hpp"

#include <cmath>
#include <cstring>
#include <optional>

#include "crystal/data_table.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr const char* kSpgTable = "korvexspg.dat";
constexpr int kSpgLineCap = 100;

// Adds vector v to the translations of a copy of the first n operations.
void append_centred(std::vector<sym_op>& ops, std::size_t n, const Vec3& v) {
  for (std::size_t k = 0; k < n; ++k) {
    sym_op op = ops[k];
    for (int i = 0; i < 3; ++i) op.trans[i] += v[i];
    ops.push_back(op);
  }
}

// One component of an operator line: the coefficients of X, Y, Z in one
// output coordinate and its translation.
void decode_component(std::string_view c, double coef[3], double* trans) {
  static const char letters[3] = {'X', 'Y', 'Z'};
  const std::size_t minus = c.find('-');
  for (int j = 0; j < 3; ++j) {
    if (c.find(letters[j]) == std::string_view::npos) {
      coef[j] = 0.0;
    } else {
      const bool neg = minus != std::string_view::npos && minus + 1 < c.size() &&
                       c[minus + 1] == letters[j];
      coef[j] = neg ? -1.0 : 1.0;
    }
  }
  *trans = 0.0;
  const std::size_t slash = c.find('/');
  if (slash == std::string_view::npos) return;
  const auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  if (slash == 0 || slash + 1 >= c.size() || !digit(c[slash - 1]) || !digit(c[slash + 1]) ||
      c[slash + 1] == '0') {
    const std::string s(c);
    fatal_out("$$ Invalid translation in symmetry operator component %s in %s. Abort.\n",
              rm_cr_copy(s).c_str(), kSpgTable);
  }
  *trans = static_cast<double>(c[slash - 1] - '0') / static_cast<double>(c[slash + 1] - '0');
}

}  // namespace

sym_op decode_sym_op(std::string_view line) {
  sym_op op;
  std::size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    std::string_view comp;
    if (start <= line.size()) {
      const std::size_t comma = line.find(',', start);
      comp = line.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                : comma - start);
      start = comma == std::string_view::npos ? line.size() + 1 : comma + 1;
    }
    double coef[3];
    decode_component(comp, coef, &op.trans[i]);
    for (int j = 0; j < 3; ++j) op.rot[3 * j + i] = coef[j];
  }
  return op;
}

Vec3 apply_sym_op(const sym_op& op, const Vec3& r) {
  Vec3 out;
  for (int i = 0; i < 3; ++i)
    out[i] = op.rot[i] * r[0] + op.rot[3 + i] * r[1] + op.rot[6 + i] * r[2] + op.trans[i];
  return out;
}

std::vector<sym_op> read_sp_group_tbl(int sp_num, int* num_op, int* centro_flag,
                                      std::string* lattice_type, int* hex_flag) {
  *hex_flag = 0;
  const std::optional<std::string> path = locate_data_table(kSpgTable);
  if (!path) fatal_out("Cannot open %s.\n", data_table_places(kSpgTable).c_str());
  File fp = fopen_chk_rmode(*path);

  for (;;) {
    std::optional<std::string> header = comment_skip_fgets(kSpgLineCap, fp.get());
    if (!header) fatal_out("$$ Space group no. = %d is not found in the table.\n", sp_num);
    const std::vector<std::string_view> tok = split_tokens(*header);
    const auto num = [&tok](std::size_t i) { return i < tok.size() ? to_int(tok[i]) : 0; };
    const int n = num(0);
    if (num(2) != sp_num || tok.size() < 3) {
      for (int k = 0; k < n; ++k)
        if (!comment_skip_fgets(kSpgLineCap, fp.get()))
          fatal_out("$$ Space group no. = %d is not found in the table.\n", sp_num);
      continue;
    }

    if (n < 1)
      fatal_out("$$ Space group no. = %d has no operators in %s. Abort.\n", sp_num, kSpgTable);
    *centro_flag = num(1);
    const int setting = num(3);
    const char type = tok.size() > 4 ? tok[4][0] : '\0';
    *lattice_type = std::string(1, type);

    std::vector<sym_op> ops;
    ops.reserve(8 * static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) ops.push_back(decode_sym_op(need_line(kSpgLineCap, fp.get())));
    const std::size_t nn = ops.size();
    switch (type) {
      case 'P':
        break;
      case 'I':
        append_centred(ops, nn, {0.5, 0.5, 0.5});
        break;
      case 'A':
        append_centred(ops, nn, {0.0, 0.5, 0.5});
        break;
      case 'B':
        append_centred(ops, nn, {0.5, 0.0, 0.5});
        break;
      case 'C':
        append_centred(ops, nn, {0.5, 0.5, 0.0});
        break;
      case 'F':
        append_centred(ops, nn, {0.0, 0.5, 0.5});
        append_centred(ops, nn, {0.5, 0.0, 0.5});
        append_centred(ops, nn, {0.5, 0.5, 0.0});
        break;
      case 'R':
        if (setting == 9 || setting == 11) {
          *hex_flag = 1;
          append_centred(ops, nn, {0.6666667, 0.3333333, 0.3333333});
          append_centred(ops, nn, {0.3333333, 0.6666667, 0.6666667});
        }
        break;
      default:
        fatal_err("Invalid lattice type in space-group table.\n");
    }
    if (*centro_flag == 1) {
      const std::size_t m = ops.size();
      for (std::size_t k = 0; k < m; ++k) {
        sym_op op = ops[k];
        for (double& v : op.rot) v = -v;
        for (double& v : op.trans) v = -v;
        ops.push_back(op);
      }
    }
    *num_op = static_cast<int>(ops.size());
    return ops;
  }
}

double fractional(double x) {
  double v = x - std::floor(x);
  while (v < 0.0) v += 1.0;
  while (v >= 1.0) v -= 1.0;
  return v;
}

int judge_two_atom(const Vec3& p, const Vec3& q) {
  for (int i = 0; i < 3; ++i) {
    const double d = std::fabs(fractional(p[i]) - fractional(q[i]));
    if (!(d < 0.0001 || std::fabs(d - 1.0) < 0.0001)) return 0;
  }
  return 1;
}

int special_pos_check(int n, Vec3* pos) {
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    bool seen = false;
    for (int k = 0; k < kept && !seen; ++k) seen = judge_two_atom(pos[i], pos[k]) == 1;
    if (!seen) pos[kept++] = pos[i];
  }
  return kept;
}

std::vector<Vec3> gen_atom_positions(const Vec3& r, int num_op, const sym_op* ops) {
  std::vector<Vec3> out;
  out.reserve(num_op > 0 ? static_cast<std::size_t>(num_op) : 0);
  for (int k = 0; k < num_op; ++k) out.push_back(apply_sym_op(ops[k], r));
  return out;
}

double site_multiplicity(const Vec3& r, int num_op, const sym_op* ops) {
  std::vector<Vec3> pos = gen_atom_positions(r, num_op, ops);
  const int distinct = special_pos_check(num_op, pos.data());
  switch (epsilon.auto_multiplicity_off) {
    case 0:
      return static_cast<double>(distinct) / static_cast<double>(num_op);
    case 1:
      return 1.0;
    default:
      fatal_out("$$ invalid auto_multiplicity_off=%d\n. Abort.\n", epsilon.auto_multiplicity_off);
  }
}

std::vector<Vec3> site_positions(const Vec3& r, int num_op, const sym_op* ops) {
  std::vector<Vec3> pos = gen_atom_positions(r, num_op, ops);
  switch (epsilon.auto_multiplicity_off) {
    case 0:
      pos.resize(static_cast<std::size_t>(special_pos_check(num_op, pos.data())));
      return pos;
    case 1:
      return pos;
    default:
      fatal_out("$$ Invalid epsilon.auto_multiplicity_off. Abort.\n");
  }
}

void fprint_site_positions(FILE* fp, int site_no, const char* name, double occ,
                           const std::vector<Vec3>& pos, int num_op) {
  const int n = static_cast<int>(pos.size());
  std::fprintf(fp, "* Atom[%d]: %s\n", site_no, name);
  std::fprintf(fp, "* number of atom positions = %d  (multiplicity = %d/%d = %g)\n", n, n, num_op,
               static_cast<double>(n) / static_cast<double>(num_op));
  std::fprintf(fp, "no:\tx\ty\tz\n");
  for (int k = 0; k < n; ++k)
    std::fprintf(fp, "%d\t%g\t%g\t%g\n", k, pos[k][0], pos[k][1], pos[k][2]);
  std::fprintf(fp, " Occupancy = %g\n", occ);
}

double bij_to_beq(const lattice_metric& lm, int bf, double b_iso, const double beta[6]) {
  if (bf == 0) return b_iso;
  return 4.0 / 3.0 *
         (beta[0] * lm.g11 + beta[1] * lm.g22 + beta[2] * lm.g33 +
          2.0 * (beta[3] * lm.g12 + beta[4] * lm.g13 + beta[5] * lm.g23));
}

bool atm_pos_out_requested() { return dbg.atm_pos_out_flag == 1; }

std::string aps_file_name(const std::string& base_name) { return base_name + "_aps.txt"; }

}  // namespace kv
