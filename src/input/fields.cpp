#include "input/fields.hpp"

#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "crystal/lattice.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"

namespace kv {

namespace {

// The first n numbers of the next line (0 for missing ones); each one
// present must be a whole number token.
template <std::size_t N>
std::array<double, N> line_numbers(FILE* fp) {
  std::array<double, N> v{};
  const std::string line = need_line(kLineCap, fp);
  const std::vector<std::string_view> t = split_tokens(line);
  for (std::size_t k = 0; k < N && k < t.size(); ++k) {
    // A token beginning with '%' or '#' starts a comment at the end of the line.
    if (t[k][0] == '%' || t[k][0] == '#') break;
    v[k] = checked_double(t[k], nullptr, fp);
  }
  return v;
}

// The first token of a one-number line (empty for a blank line).
std::string_view first_token(const std::string& line) {
  const std::vector<std::string_view> t = split_tokens(line);
  return t.empty() ? std::string_view() : t[0];
}

// An integer field read as a number of the line just read.
int trunc_int(double x) { return int_field(x, std::string_view(), nullptr, nullptr); }

int checked_index(double x, const char* name, FILE* fp) { return int_field(x, std::string_view(), name, fp); }

// The first three numbers of a line (each present one must be a number, as
// the three-index readers require) and a fourth when the fourth token is a
// number; other surplus tokens are passed over as before.
std::vector<double> numbers_before_comment(const std::string& line, FILE* fp) {
  std::vector<double> v;
  const std::vector<std::string_view> tokens = split_tokens(line);
  for (std::size_t k = 0; k < tokens.size() && k < 4; ++k) {
    const std::string_view t = tokens[k];
    if (t[0] == '%' || t[0] == '#') break;
    if (k == 3) {
      const std::string word(t);
      char* end = nullptr;
      const double x = std::strtod(word.c_str(), &end);
      if (end == word.c_str() || *end != '\0' || !std::isfinite(x)) break;
      v.push_back(x);
    } else {
      v.push_back(checked_double(t, nullptr, fp));
    }
  }
  return v;
}

std::string index_list(const std::vector<double>& v, std::size_t n) {
  std::string s;
  for (std::size_t k = 0; k < n && k < v.size(); ++k) s += strprintf(k ? " %g" : "%g", v[k]);
  return s;
}

// Four Miller-Bravais indices: only on hexagonal axes, and the third must
// be minus the sum of the first two.
void check_four_indices(const std::vector<double>& v, const double lp[6], const char* what, const char* third,
                        FILE* fp) {
  if (!hexagonal_axes(lp))
    fatal_out("$$ %s: four indices (%s) are Miller-Bravais indices of a hexagonal lattice, but this crystal's "
              "axes (a b c = %g %g %g, alpha beta gamma = %g %g %g) are not hexagonal: give three indices.\n"
              "%s$$ Abort.\n",
              what, index_list(v, 4).c_str(), lp[0], lp[1], lp[2], lp[3], lp[4], lp[5], place_note(fp).c_str());
  if (std::fabs(v[2] + v[0] + v[1]) > 1e-9 * (1.0 + std::fabs(v[0]) + std::fabs(v[1])))
    fatal_out("$$ %s: in the four indices (%s) the third, %s, must be minus the sum of the first two, %g.\n"
              "%s$$ Abort.\n",
              what, index_list(v, 4).c_str(), third, -(v[0] + v[1]), place_note(fp).c_str());
}

}  // namespace

Hkl fget_uvw_hex(FILE* fp, const double lp[6], const char* what) {
  const std::string line = need_line(kLineCap, fp);
  const std::vector<double> v = numbers_before_comment(line, fp);
  if (v.size() < 4) {
    Hkl r;
    if (v.size() > 0) r.h = trunc_int(v[0]);
    if (v.size() > 1) r.k = trunc_int(v[1]);
    if (v.size() > 2) r.l = trunc_int(v[2]);
    return r;
  }
  check_four_indices(v, lp, what, "T", fp);
  const Hkl r = uvtw_to_uvw(checked_index(v[0], "U", fp), checked_index(v[1], "V", fp), checked_index(v[3], "W", fp));
  std::printf("%s [%s] = [%d %d %d]\n", what, index_list(v, 4).c_str(), r.h, r.k, r.l);
  return r;
}

Hkl fget_counted_hkl_hex(FILE* fp, long long count, const char* what, const double lp[6]) {
  const std::string line = need_line(kLineCap, fp);
  refuse_block_marker(line, count, what, fp);
  const std::vector<double> v = numbers_before_comment(line, fp);
  if (v.size() >= 4) {
    check_four_indices(v, lp, what, "i", fp);
    return Hkl{checked_index(v[0], "h", fp), checked_index(v[1], "k", fp), checked_index(v[3], "l", fp)};
  }
  double w[3] = {0, 0, 0};
  for (std::size_t k = 0; k < v.size(); ++k) w[k] = v[k];
  return Hkl{checked_index(w[0], "h", fp), checked_index(w[1], "k", fp), checked_index(w[2], "l", fp)};
}

std::array<double, 3> fget_r_hkl_hex(FILE* fp, const double lp[6], const char* what) {
  const std::string line = need_line(kLineCap, fp);
  const std::vector<double> v = numbers_before_comment(line, fp);
  if (v.size() >= 4) {
    check_four_indices(v, lp, what, "i", fp);
    return {v[0], v[1], v[3]};
  }
  std::array<double, 3> r{};
  for (std::size_t k = 0; k < v.size(); ++k) r[k] = v[k];
  return r;
}

double fget_d(FILE* fp) {
  const std::string line = need_line(kLineCap, fp);
  const std::string_view t = first_token(line);
  return t.empty() ? 0.0 : checked_double(t, nullptr, fp);
}

int fget_i(FILE* fp) {
  const std::string line = need_line(kLineCap, fp);
  const std::string_view t = first_token(line);
  return t.empty() ? 0 : checked_int(t, nullptr, fp);
}

bool take_unit(std::vector<std::string_view>& t, std::string_view unit) {
  if (t.empty()) return false;
  std::string_view& number = t[0];
  if (number.size() > unit.size() && number.substr(number.size() - unit.size()) == unit) {
    number.remove_suffix(unit.size());
    return true;
  }
  if (t.size() > 1 && t[1] == unit) {
    t.erase(t.begin() + 1);
    return true;
  }
  return false;
}

bool is_comment_word(std::string_view word) { return !word.empty() && (word[0] == '#' || word[0] == '%'); }

double fget_d_unit(FILE* fp, const char* unit, bool* in_unit) {
  const std::string line = need_line(kLineCap, fp);
  std::vector<std::string_view> t = split_tokens(line);
  *in_unit = take_unit(t, unit);
  if (t.empty()) return 0.0;
  // "3.3 mr" or "1.0 mradx": a word that is not the unit would leave the
  // number in units of g1/2 without a word; only a trailing comment may follow.
  if (t.size() > 1 && !is_comment_word(t[1])) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    fatal_out("$$ Data format error: \"%s\" after the number is not the unit %s (write \"%s %s\" or \"%s%s\", "
              "lower case, or the number alone for units of g1/2).\n$$ line: %s\n%s$$ Abort.\n",
              printable(t[1]).c_str(), unit, std::string(t[0]).c_str(), unit, std::string(t[0]).c_str(), unit,
              printable(text).c_str(), place_note(fp).c_str());
  }
  return checked_double(t[0], *in_unit ? unit : nullptr, fp);
}

void fget_2d(double* a, double* b, FILE* fp) {
  const auto v = line_numbers<2>(fp);
  *a = v[0];
  *b = v[1];
}

void fget_3d(double* a, double* b, double* c, FILE* fp) {
  const auto v = line_numbers<3>(fp);
  *a = v[0];
  *b = v[1];
  *c = v[2];
}

void fget_4d(double* a, double* b, double* c, double* d, FILE* fp) {
  const auto v = line_numbers<4>(fp);
  *a = v[0];
  *b = v[1];
  *c = v[2];
  *d = v[3];
}

void fget_6d(double out[6], FILE* fp) {
  const auto v = line_numbers<6>(fp);
  for (int i = 0; i < 6; ++i) out[i] = v[i];
}

void fget_2i(int* a, int* b, FILE* fp) {
  const auto v = line_numbers<2>(fp);
  *a = trunc_int(v[0]);
  *b = trunc_int(v[1]);
}

void fget_3i(int* a, int* b, int* c, FILE* fp) {
  const auto v = line_numbers<3>(fp);
  *a = trunc_int(v[0]);
  *b = trunc_int(v[1]);
  *c = trunc_int(v[2]);
}

void fget_3i1d(int* a, int* b, int* c, double* d, FILE* fp) {
  const auto v = line_numbers<4>(fp);
  *a = trunc_int(v[0]);
  *b = trunc_int(v[1]);
  *c = trunc_int(v[2]);
  *d = v[3];
}

Hkl fget_hkl(FILE* fp) {
  const auto v = line_numbers<3>(fp);
  return Hkl{trunc_int(v[0]), trunc_int(v[1]), trunc_int(v[2])};
}

Hkl fget_uvw(FILE* fp) { return fget_hkl(fp); }

Hkl fget_counted_hkl(FILE* fp, long long count, const char* what) {
  const std::string line = need_line(kLineCap, fp);
  refuse_block_marker(line, count, what, fp);
  double v[3];
  str_to_fs(3, line, v, fp);
  return Hkl{checked_index(v[0], "h", fp), checked_index(v[1], "k", fp), checked_index(v[2], "l", fp)};
}

std::array<double, 3> fget_r_hkl(FILE* fp) { return line_numbers<3>(fp); }

int fget_str_diid(std::string* s, double* d1, int* i1, int* i2, double* d2, FILE* fp) {
  const std::string line = need_line(kLineCap, fp);
  const auto t = split_tokens(line);
  const int n = static_cast<int>(t.size() < 5 ? t.size() : 5);
  if (n > 0) *s = std::string(t[0]);
  if (n > 1) *d1 = checked_double(t[1], nullptr, fp);
  if (n > 2) *i1 = checked_int(t[2], nullptr, fp);
  if (n > 3) *i2 = checked_int(t[3], nullptr, fp);
  if (n > 4) *d2 = checked_double(t[4], nullptr, fp);
  return n;
}

void fget_hkl_weight(Hkl* hkl, double* weight, FILE* fp) {
  const std::string line = need_line(kLineCap, fp);
  const auto t = split_tokens(line);
  if (t.size() < 3) fatal_out("$$(fget_hkl_weight) Format error. Abort. buf=%s\n.", printable(rm_cr_copy(line)).c_str());
  *hkl = Hkl{checked_int(t[0], "h", fp), checked_int(t[1], "k", fp), checked_int(t[2], "l", fp)};
  *weight = (t.size() < 4 || t[3][0] == '%' || t[3][0] == '#') ? 1.0 : checked_double(t[3], "weight", fp);
}

// Min-heap on 1-based positions; popping the smallest to the end of the array
// leaves it in descending order.
void d_heapsort(int n, double* a, int* index) {
  for (int i = 0; i < n; ++i) index[i] = i;
  if (n < 2) return;
  auto v = [a](int pos) -> double& { return a[pos - 1]; };
  auto ix = [index](int pos) -> int& { return index[pos - 1]; };
  auto sift = [&](int pos, int size) {
    const double val = v(pos);
    const int idx = ix(pos);
    int parent = pos;
    for (;;) {
      int child = 2 * parent;
      if (child > size) break;
      if (child + 1 <= size && v(child + 1) < v(child)) ++child;
      if (v(child) >= val) break;
      v(parent) = v(child);
      ix(parent) = ix(child);
      parent = child;
    }
    v(parent) = val;
    ix(parent) = idx;
  };
  for (int p = n / 2; p >= 1; --p) sift(p, n);
  for (int size = n; size > 1; --size) {
    std::swap(v(1), v(size));
    std::swap(ix(1), ix(size));
    sift(1, size - 1);
  }
}

void findmaxmin2(int n1, int n2, const RMatrix& m, double* max, double* min) {
  double hi = m[0][0], lo = m[0][0];
  for (int i = 0; i < n1; ++i)
    for (int j = 0; j < n2; ++j) {
      if (m[i][j] > hi) hi = m[i][j];
      if (m[i][j] < lo) lo = m[i][j];
    }
  *max = hi;
  *min = lo;
}

}  // namespace kv
