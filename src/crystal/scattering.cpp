#include "crystal/scattering.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "crystal/data_table.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr const char* kXdtTable = "korvexxdt.dat";
constexpr const char* kBkTable = "korvexbk.dat";
constexpr int kXdtLineCap = 100;
constexpr int kBkLineCap = 256;

// Opens a data table, or ends the run naming the places searched.
File open_table(const char* name) {
  const std::optional<std::string> path = locate_data_table(name);
  if (!path)
    fatal_err("$$ (fopen_chk_rmode) Cannot open %s. Abort.\n", data_table_places(name).c_str());
  return fopen_chk_rmode(*path);
}

// The next line of the electron table, its numbers read into out[0..n-1];
// a short line is a format error, since zeros in place of missing nodes or
// coefficients would silently falsify every factor computed from them.
void bk_numbers(FILE* fp, int n, double* out, const char* what) {
  const std::string line = need_line(kBkLineCap, fp);
  const int got = str_to_fs(n, line, out, fp);
  if (got < n)
    fatal_out("$$ Data format error in %s: %d numbers expected (%s), %d found.\n$$ buf=%s$$ Abort.\n",
              kBkTable, n, what, got, line.c_str());
}

// The header keyword line of the electron table: the keyword must begin the
// line and not continue as a longer word (GM must not take GMS2).
void bk_keyword(FILE* fp, const char* kw) {
  const std::string line = need_line(kBkLineCap, fp);
  const std::size_t n = std::strlen(kw);
  const bool ok = line.compare(0, n, kw) == 0 &&
                  (line.size() == n || !std::isalnum(static_cast<unsigned char>(line[n])));
  if (!ok)
    fatal_out("$$ Data format error in %s: %s line expected.\n$$ buf=%s$$ Abort.\n", kBkTable, kw,
              line.c_str());
}

std::string trim_name_line(std::string s) {
  rm_cr(s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

double lagrange(const double* x, double x0, const double* y, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    double w = 1.0;
    for (int j = 0; j < n; ++j)
      if (j != i) w *= (x0 - x[j]) / (x[i] - x[j]);
    sum += w * y[i];
  }
  return sum;
}

}  // namespace

xdt read_xdt_table(std::string& name) {
  {
    const std::vector<std::string_view> t = split_tokens(name);
    name = t.empty() ? std::string() : std::string(t[0]);
  }
  File fp = open_table(kXdtTable);
  while (std::optional<std::string> line = comment_skip_fgets(kXdtLineCap, fp.get())) {
    const std::vector<std::string_view> t = split_tokens(*line);
    if (t.empty() || t[0] != name) continue;
    if (t.size() < 11)
      fatal_out("$$ Data format error in %s: 10 numbers expected after %s.\n$$ buf=%s$$ Abort.\n",
                kXdtTable, name.c_str(), line->c_str());
    double v[10];
    for (int i = 0; i < 10; ++i) v[i] = checked_double(t[i + 1], nullptr, fp.get());
    xdt x;
    x.z = v[0];
    x.a1 = v[1];
    x.b1 = v[2];
    x.a2 = v[3];
    x.b2 = v[4];
    x.a3 = v[5];
    x.b3 = v[6];
    x.a4 = v[7];
    x.b4 = v[8];
    x.c = v[9];
    return x;
  }
  fp.reset();
  error_exit(stdout, "not found the element (%s) in read_xdt_table", name.c_str());
}

namespace {

// Reads the table header and then the entry of `wanted` into t; false when the
// file has no such entry.
bool load_bk_entry(const std::string& wanted, bk_table& t) {
  File fp = open_table(kBkTable);
  bk_keyword(fp.get(), "DTS");
  for (int r = 0; r < 3; ++r) bk_numbers(fp.get(), 9, t.dts + 9 * r, "DTS");
  bk_keyword(fp.get(), "GM");
  bk_numbers(fp.get(), 6, t.gm, "GM");
  bk_keyword(fp.get(), "GMS2");
  for (int r = 0; r < 2; ++r) bk_numbers(fp.get(), 5, t.gms2 + 5 * r, "GMS2");

  while (std::optional<std::string> line = comment_skip_fgets(kBkLineCap, fp.get())) {
    if (trim_name_line(*line) != wanted) {
      for (int k = 0; k < 9; ++k)
        if (!comment_skip_fgets(kBkLineCap, fp.get())) break;
      continue;
    }
    double mf[2];
    bk_numbers(fp.get(), 2, mf, "mlt_fct add_fct");
    t.mlt_fct = mf[0];
    t.add_fct = mf[1];
    if (t.mlt_fct == 0.0)
      fatal_out("$$ Data format error in %s: mlt_fct of %s is 0.\n$$ Abort.\n", kBkTable, wanted.c_str());
    for (int r = 0; r < 3; ++r) bk_numbers(fp.get(), 9, t.dt + 9 * r, "elastic factors");
    double a[60];
    for (int r = 0; r < 5; ++r) bk_numbers(fp.get(), r < 4 ? 13 : 8, a + 13 * r, "absorptive table");
    for (int k = 0; k < 60; ++k) t.f[10 * (k % 6) + k / 6] = a[k];
    return true;
  }
  return false;
}

// The element of an ion name ("O2-" -> "O", "Ti4+" -> "Ti"), or an empty
// string when the name carries no charge.
std::string neutral_of_ion(const std::string& name) {
  if (name.empty() || (name.back() != '+' && name.back() != '-')) return std::string();
  std::size_t n = 0;
  while (n < name.size() && std::isalpha(static_cast<unsigned char>(name[n]))) ++n;
  return n > 0 ? name.substr(0, n) : std::string();
}

}  // namespace

bk_table read_atom_dat_table(const std::string& name) {
  bk_table t;
  const std::string wanted = trim_name_line(name);
  if (load_bk_entry(wanted, t)) return t;
  // The electron table holds neutral atoms only. For an ion the neutral
  // atom's absorptive (thermal diffuse) factors are a sound approximation,
  // and the elastic factor of an af 0 site comes from the ion's own X-ray
  // factors through the Mott formula anyway.
  const std::string neutral = neutral_of_ion(wanted);
  if (!neutral.empty() && load_bk_entry(neutral, t)) {
    std::printf("$$ %s has no entry for %s: the tables of neutral %s are used.\n", kBkTable, wanted.c_str(),
                neutral.c_str());
    return t;
  }
  error_exit(stdout, "Element %s was not found in %s", wanted.c_str(), kBkTable);
}

double xray_asf(double s2, const xdt& x) {
  return x.a1 * std::exp(-x.b1 * s2) + x.a2 * std::exp(-x.b2 * s2) + x.a3 * std::exp(-x.b3 * s2) +
         x.a4 * std::exp(-x.b4 * s2) + x.c;
}

double atomsf_xdt(double s2, const xdt& x) {
  if (s2 > kMottLimitS2) return (x.z - xray_asf(s2, x)) * 0.02393367 / s2;
  if (s2 >= 0.0) return 0.023934 * (x.a1 * x.b1 + x.a2 * x.b2 + x.a3 * x.b3 + x.a4 * x.b4);
  error_exit(stdout, "atomsf_dtxn (sq_s=%g)", s2);
}

double atom_f_absorption(double s2, double f0, double b) { return f0 * std::exp(-2.0 * b * s2); }

double quad_int(const double x[3], double x0, const double y[3]) { return lagrange(x, x0, y, 3); }

double cub_int(const double x[4], double x0, const double y[4]) { return lagrange(x, x0, y, 4); }

double cub_int_2(double x, int n, const double* nodes, const double* values) {
  int k = n - 2;
  for (int i = 2; i <= n - 3; ++i)
    if (x < nodes[i]) {
      k = i;
      break;
    }
  return cub_int(nodes + k - 2, x, values + k - 2);
}

double bk_table_value(const bk_table& t, int i, int j) {
  const double m = 10.0 / t.mlt_fct, d = 1e-6 * t.add_fct;
  return (t.f[10 * i + j] * m - d) * std::exp(t.gms2[j]);
}

double fabs_bi_quad_int(double bt, double x, int i, int j, const bk_table& t) {
  double col[3];
  for (int c = 0; c < 3; ++c) {
    const int jj = j - 2 + c;
    const double v[3] = {bk_table_value(t, i - 2, jj), bk_table_value(t, i - 1, jj),
                         bk_table_value(t, i, jj)};
    col[c] = quad_int(t.gm + i - 2, bt, v);
  }
  return quad_int(t.gms2 + j - 2, x, col);
}

double fabs_bi_cub_int(double bt, double x, const bk_table& t) {
  const int r = bt < t.gm[2] ? 0 : (bt < t.gm[3] ? 1 : 2);
  int q = 8;
  for (int k = 2; k <= 7; ++k)
    if (x < t.gms2[k]) {
      q = k;
      break;
    }
  const int c0 = q - 2;
  double col[4];
  for (int c = 0; c < 4; ++c) {
    double v[4];
    for (int i = 0; i < 4; ++i) v[i] = bk_table_value(t, r + i, c0 + c);
    col[c] = cub_int(t.gm + r, bt, v);
  }
  return cub_int(t.gms2 + c0, x, col);
}

namespace {

// Gauss-Legendre nodes and weights on (-1, 1), by Newton's method on P_n.
void gauss_legendre(int n, std::vector<double>& x, std::vector<double>& w) {
  x.assign(static_cast<std::size_t>(n), 0.0);
  w.assign(static_cast<std::size_t>(n), 0.0);
  constexpr double kPi = 3.141592653589793;
  for (int i = 0; i < (n + 1) / 2; ++i) {
    double z = std::cos(kPi * (i + 0.75) / (n + 0.5));
    double dp = 1.0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1.0, p1 = z;
      for (int k = 2; k <= n; ++k) {
        const double p2 = ((2.0 * k - 1.0) * z * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = n * (z * p1 - p0) / (z * z - 1.0);
      const double dz = p1 / dp;
      z -= dz;
      if (std::fabs(dz) < 1e-15) break;
    }
    x[static_cast<std::size_t>(i)] = -z;
    x[static_cast<std::size_t>(n - 1 - i)] = z;
    w[static_cast<std::size_t>(i)] = w[static_cast<std::size_t>(n - 1 - i)] = 2.0 / ((1.0 - z * z) * dp * dp);
  }
}

// The quadrature rules of the absorptive integral, made once. Radial:
// p = P_C t / (1 - t) on Gauss-Legendre points in t, which resolves small p
// and carries the 1/p^3 tail to infinity. Angular: phi = (pi/2) u^2 on a
// quarter turn (the integrand's four symmetric images counted by the
// weight), clustering points where |p - s/2| passes near zero.
struct AbsorptiveRules {
  std::vector<double> p, dp, cphi, dphi;
  AbsorptiveRules() {
    constexpr int kRadial = 160, kAngular = 80;
    constexpr double kPc = 1.0, kPi = 3.141592653589793;
    std::vector<double> t, w;
    gauss_legendre(kRadial, t, w);
    for (int i = 0; i < kRadial; ++i) {
      const double u = 0.5 * (t[i] + 1.0), wu = 0.5 * w[i];
      p.push_back(kPc * u / (1.0 - u));
      dp.push_back(wu * kPc / ((1.0 - u) * (1.0 - u)));
    }
    gauss_legendre(kAngular, t, w);
    for (int i = 0; i < kAngular; ++i) {
      const double u = 0.5 * (t[i] + 1.0), wu = 0.5 * w[i];
      cphi.push_back(std::cos(0.5 * kPi * u * u));
      dphi.push_back(4.0 * kPi * u * wu);
    }
  }
};

// The elastic factor of the table (angstrom) at any s: the table's own
// interpolation up to its last node, the Rutherford fall-off as 1/s^2
// beyond it.
double table_fe(const bk_table& t, double s) {
  if (s <= t.dts[26]) return cub_int_2(s, 27, t.dts, t.dt) / 1000.0;
  const double r = t.dts[26] / s;
  return t.dt[26] / 1000.0 * r * r;
}

}  // namespace

double bk_absorptive_integral(const bk_table& t, double s, double b) {
  static const AbsorptiveRules rules;
  // beta f'_0 = (2h / (m0 c)) I(s, B), with
  // I = integral d^2s' f_e(|s'|) f_e(|s - s'|) [1 - exp(-2 B (s'^2 - s'.s))];
  // with p = s' - s/2 the bracket is 1 - exp(B s^2 / 2 - 2 B p^2).
  constexpr double kAbs = 0.0485262;  // 2 h / (m0 c), angstrom
  double sum = 0.0;
  const std::size_t np = rules.p.size(), na = rules.cphi.size();
  for (std::size_t i = 0; i < np; ++i) {
    const double p = rules.p[i];
    const double r2 = p * p + 0.25 * s * s;
    double g = 0.0;
    for (std::size_t k = 0; k < na; ++k) {
      const double ps = p * s * rules.cphi[k];
      g += table_fe(t, std::sqrt(r2 + ps)) * table_fe(t, std::sqrt(std::max(r2 - ps, 0.0))) * rules.dphi[k];
    }
    sum += -std::expm1(0.5 * b * s * s - 2.0 * b * p * p) * g * p * rules.dp[i];
  }
  return kAbs * sum;
}

int atom_bk(const bk_table& t, double s, double b, complex* out, double kv) {
  *out = complex{0.0, 0.0};
  if (s > t.dts[26]) return 1;
  if (!(s >= 0.0)) return 3;
  if (!(kv > 0.0 && kv <= 10000.0)) return 4;

  int status = 0;
  double bt = b;
  if (b < 0.0) {
    bt = 0.0;
    status = 2;
  } else if (!(b >= 0.0)) {
    return 3;  // B not a number: nothing sensible can be computed
  }
  const double x = s * s * b;

  const double beta = std::sqrt(1.0 - 261127.0 / ((1022.0 + kv) * kv + 261127.0));
  const double f_el = cub_int_2(s, 27, t.dts, t.dt) / 1000.0;
  out->re = f_el;
  if (bt < t.gm[0] || x > t.gms2[9]) return status;
  // Above the table's last B node the absorptive factor is integrated
  // directly, by the quadrature the table itself was made with.
  if (bt > t.gm[5]) {
    out->im = bk_absorptive_integral(t, s, bt) / beta;
    return status;
  }

  double a;
  if (x >= 2.0) {
    a = fabs_bi_cub_int(bt, x, t);
  } else {
    int ii = 5;
    for (int k = 1; k <= 4; ++k)
      if (bt < t.gm[k]) {
        ii = k;
        break;
      }
    int jj = 9;
    for (int k = 1; k <= 8; ++k)
      if (x < t.gms2[k]) {
        jj = k;
        break;
      }
    const auto q = [&](int i, int j) { return fabs_bi_quad_int(bt, x, i, j, t); };
    if (jj == 1) {
      if (ii == 1)
        a = 0.25 * (q(2, 2) + q(2, 3) + q(3, 2) + q(3, 3));
      else if (ii <= 4)
        a = 0.5 * (q(ii, 2) + q(ii + 1, 2));
      else
        a = q(5, 2);
    } else {
      const int ip = ii < 2 ? 2 : ii;
      if (ip == 5 && jj == 9)
        a = q(5, 9);
      else if (ip == 5)
        a = 0.5 * (q(5, jj) + q(5, jj + 1));
      else if (jj == 9)
        a = 0.5 * (q(ip, 9) + q(ip + 1, 9));
      else
        a = 0.25 * (q(ip, jj) + q(ip, jj + 1) + q(ip + 1, jj) + q(ip + 1, jj + 1));
    }
  }
  out->im = f_el / beta * a;
  return status;
}

void asf_tabulate(FILE* fp, const std::string& element, double s_begin, double s_end, double kv,
                  double b, int n) {
  if (n < 2) fatal_out("$$ At least 2 calculation points are needed (got %d). Abort.\n", n);
  std::string name = element;
  std::fprintf(fp, "# element = %s\n", name.c_str());
  std::fprintf(fp, "s\tf_ela(M)\tf_inela(I)\tf_ela(BK)\tf_inela(BK)\tX-ray's_f\n");
  const xdt x = read_xdt_table(name);
  const bk_table t = read_atom_dat_table(name);
  complex f{};
  std::printf("$$ status = %d\n", atom_bk(t, 0.0, b, &f, kv));
  const double f0 = f.im;
  for (int i = 0; i < n; ++i) {
    const double s = s_begin + i * (s_end - s_begin) / (n - 1);
    complex bk{};
    atom_bk(t, s, b, &bk, kv);
    std::fprintf(fp, "%g\t%g\t%g\t%g\t%g\t%g\n", s, atomsf_xdt(s * s, x),
                 atom_f_absorption(s * s, f0, b), bk.re, bk.im, xray_asf(s * s, x));
  }
}

namespace {

// One answer line of the interactive tool, line end removed.
std::string answer(FILE* in, const char* prompt, bool eof_is_empty) {
  std::printf("%s", prompt);
  std::fflush(stdout);
  char buf[128];
  if (!std::fgets(buf, sizeof buf, in)) {
    if (eof_is_empty) return std::string();
    fatal_out("\n$$ End of input. Abort.\n");
  }
  std::string s(buf);
  return rm_cr(s);
}

}  // namespace

std::string table_case_symbol(const std::string& name) {
  std::string out = name;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (!std::isalpha(c)) continue;
    const bool first = i == 0 || !std::isalpha(static_cast<unsigned char>(out[i - 1]));
    out[i] = static_cast<char>(first ? std::toupper(c) : std::tolower(c));
  }
  return out;
}

namespace {

// The number answered to a prompt: one whole finite number.
double answer_number(FILE* in, const char* prompt, const char* field) {
  const std::string text = answer(in, prompt, false);
  const std::vector<std::string_view> t = split_tokens(text);
  return checked_double(t.empty() ? std::string_view() : t[0], field, in);
}

// Each tabulated point is one line of about 100 characters per element.
constexpr double kAsfLineBytes = 100.0;

}  // namespace

int asf_test(FILE* in) {
  std::printf("***** elastic and inelastic atomic scattering factor *****\n");
  std::printf(" Mott formula with f0 exp(-2 B s2) absorption, against the Bird & King table,\n");
  std::printf(" with Debye-Waller factor exp(-B s2)\n");
  const double s_begin = answer_number(in, "s_begin >>", "s_begin");
  const double s_end = answer_number(in, "s_end >>", "s_end");
  const double kv = answer_number(in, "kvolts >>", "kvolts");
  require_positive(kv, "kvolts", in);
  const double b = answer_number(in, "b_factor >>", "b_factor");
  require_nonnegative(b, "b_factor", in);
  const int n = int_field(answer_number(in, "number of calculation points >>", "number of calculation points"),
                          {}, "number of calculation points", in);
  check_job_size(JobSize{0.0, kAsfLineBytes * n}, "scattering-factor table");
  // Opened once the answers are known to describe a table that can be written.
  OutputFile out("asf.out");
  if (!out) fatal_out("Cannot open asf.out\n");
  std::string element = answer(in, "element (CAPS) >>", true);
  while (!element.empty()) {
    // The prompt asks for capitals; the tables spell symbols as Si, Ti4+.
    asf_tabulate(out.get(), table_case_symbol(element), s_begin, s_end, kv, b, n);
    element = answer(in, "element (CAPS) (return to quit) >>", true);
  }
  out.commit();
  std::printf("results --> asf.out\n");
  std::printf("\n   Thank you. See you again!!!\n");
  return 0;
}

}  // namespace kv
