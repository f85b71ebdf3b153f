#include "crystal/lattice.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>

#include "sim/error.hpp"
#include "sim/linereader.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;

double rad(double deg) { return deg * kPi / 180.0; }

// Cross product of two component triples.
Vec3 cross(const Vec3& a, const Vec3& b) {
  return Vec3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

lattice_metric bravai(const double lp[6]) {
  const double a = lp[0], b = lp[1], c = lp[2];
  const double ca = std::cos(rad(lp[3])), cb = std::cos(rad(lp[4])), cg = std::cos(rad(lp[5]));
  const double sa = std::sin(rad(lp[3])), sb = std::sin(rad(lp[4])), sg = std::sin(rad(lp[5]));
  lattice_metric m;
  m.s11 = b * b * c * c * sa * sa;
  m.s22 = c * c * a * a * sb * sb;
  m.s33 = a * a * b * b * sg * sg;
  m.s12 = a * b * c * c * (ca * cb - cg);
  m.s13 = a * b * b * c * (cg * ca - cb);
  m.s23 = a * a * b * c * (cb * cg - ca);
  m.vol = a * b * c * std::sqrt(1.0 - ca * ca - cb * cb - cg * cg + 2.0 * ca * cb * cg);
  const double as = b * c * sa / m.vol, bs = c * a * sb / m.vol, cs = a * b * sg / m.vol;
  m.gs11 = as * as;
  m.gs22 = bs * bs;
  m.gs33 = cs * cs;
  m.gs12 = as * bs * (ca * cb - cg) / (sa * sb);
  m.gs23 = bs * cs * (cb * cg - ca) / (sb * sg);
  m.gs13 = cs * as * (cg * ca - cb) / (sg * sa);
  m.g11 = a * a;
  m.g22 = b * b;
  m.g33 = c * c;
  m.g12 = a * b * cg;
  m.g23 = b * c * ca;
  m.g13 = c * a * cb;
  return m;
}

double inner_product(const Vec3& p, const Vec3& q, const lattice_metric& m) {
  return p[0] * q[0] * m.gs11 + p[1] * q[1] * m.gs22 + p[2] * q[2] * m.gs33 +
         (p[0] * q[1] + p[1] * q[0]) * m.gs12 + (p[1] * q[2] + p[2] * q[1]) * m.gs23 +
         (p[2] * q[0] + p[0] * q[2]) * m.gs13;
}

double sq_abs(const Vec3& p, const lattice_metric& m) { return inner_product(p, p, m); }

Vec3 hkl2rhkl(const Hkl& hkl) {
  return Vec3{static_cast<double>(hkl.h), static_cast<double>(hkl.k), static_cast<double>(hkl.l)};
}

double inner_product_uvw_hkl(const Hkl& uvw, const Vec3& hkl) {
  return uvw.h * hkl[0] + uvw.k * hkl[1] + uvw.l * hkl[2];
}

double inner_product_uvw(const Hkl& a, const Hkl& b, const lattice_metric& m) {
  const int uu = a.h * b.h, vv = a.k * b.k, ww = a.l * b.l;
  const int uv = a.h * b.k + a.k * b.h, vw = a.k * b.l + a.l * b.k, wu = a.l * b.h + a.h * b.l;
  return static_cast<double>(uu) * m.g11 + static_cast<double>(vv) * m.g22 +
         static_cast<double>(ww) * m.g33 + static_cast<double>(uv) * m.g12 +
         static_cast<double>(vw) * m.g23 + static_cast<double>(wu) * m.g13;
}

double abs_uvw(const Hkl& uvw, const lattice_metric& m) {
  return std::sqrt(inner_product_uvw(uvw, uvw, m));
}

double inner_product_r_uvw(const Vec3& x, const Vec3& y, const lattice_metric& m) {
  return x[0] * y[0] * m.g11 + x[1] * y[1] * m.g22 + x[2] * y[2] * m.g33 +
         (x[0] * y[1] + x[1] * y[0]) * m.g12 + (x[1] * y[2] + x[2] * y[1]) * m.g23 +
         (x[2] * y[0] + x[0] * y[2]) * m.g13;
}

double abs_r_uvw(const Vec3& x, const lattice_metric& m) {
  return std::sqrt(inner_product_r_uvw(x, x, m));
}

void check_voltage_kv(double kv, FILE* fp) {
  if (!(kv > 0.0 && kv <= kMaxVoltageKv))
    fatal_out("$$ Invalid accelerating voltage (=%g kV): it must be above 0 and at most %g kV.\n%s$$ Abort.\n",
              kv, kMaxVoltageKv, place_note(fp).c_str());
}

bool hexagonal_axes(const double lp[6]) {
  const auto near = [](double x, double y) { return std::fabs(x - y) <= 1e-6 * std::max(1.0, std::fabs(y)); };
  return near(lp[0], lp[1]) && near(lp[3], 90.0) && near(lp[4], 90.0) && near(lp[5], 120.0);
}

Hkl uvtw_to_uvw(int u, int v, int w) {
  // [U V T W] = U a1 + V a2 + T a3 + W c with a3 = -(a1 + a2): along a1
  // U - T = 2U + V, along a2 V - T = U + 2V.
  int x = 2 * u + v, y = u + 2 * v, z = w;
  const int g = std::gcd(std::gcd(std::abs(x), std::abs(y)), std::abs(z));
  if (g > 1) x /= g, y /= g, z /= g;
  return Hkl{x, y, z};
}

std::array<int, 4> uvw_to_uvtw(const Hkl& uvw) {
  int a[4] = {2 * uvw.h - uvw.k, 2 * uvw.k - uvw.h, -(uvw.h + uvw.k), 3 * uvw.l};
  int g = 0;
  for (int x : a) g = std::gcd(g, std::abs(x));
  if (g > 1)
    for (int& x : a) x /= g;
  return {a[0], a[1], a[2], a[3]};
}

std::string direction_text(const Hkl& uvw, const double lp[6]) {
  char buf[96];
  if (hexagonal_axes(lp)) {
    const std::array<int, 4> d = uvw_to_uvtw(uvw);
    std::snprintf(buf, sizeof buf, "[%d %d %d %d]", d[0], d[1], d[2], d[3]);
  } else {
    std::snprintf(buf, sizeof buf, "[%d %d %d]", uvw.h, uvw.k, uvw.l);
  }
  return buf;
}

void check_zone_axis(const Hkl& uvw, FILE* fp) {
  if (uvw.h == 0 && uvw.k == 0 && uvw.l == 0)
    fatal_out("$$ Incidence [0 0 0]: the zone axis [u v w] of INCIDENT_BEAM must not be zero.\n%s$$ Abort.\n",
              place_note(fp).c_str());
}

// Why the in-plane base vector perpendicular to the incidence [u v w] and
// to g vanishes: a zero incidence, a zero g, or g parallel to the incidence.
[[noreturn]] void no_second_base(const Hkl& uvw, const Vec3& g) {
  if (uvw.h == 0 && uvw.k == 0 && uvw.l == 0)
    fatal_out("$Error: the incidence [0 0 0] is no direction; the zone axis [u v w] must not be zero.\n");
  if (g[0] == 0.0 && g[1] == 0.0 && g[2] == 0.0)
    fatal_out("$Error: the zero-order Laue zone base g1 = (0 0 0) must not be zero.\n");
  fatal_out("$Error: the zero-order Laue zone base g1 = (%g %g %g) is parallel to the incidence [%d %d %d]; "
            "choose g1 with h u + k v + l w = 0.\n",
            g[0], g[1], g[2], uvw.h, uvw.k, uvw.l);
}

Vec3 zolz_ort_base(const Hkl& uvw, const Vec3& g1, const lattice_metric& m) {
  // Direct-space components of g1, then B x g1 read as a reciprocal vector.
  const Vec3 q{m.gs11 * g1[0] + m.gs12 * g1[1] + m.gs13 * g1[2],
               m.gs12 * g1[0] + m.gs22 * g1[1] + m.gs23 * g1[2],
               m.gs13 * g1[0] + m.gs23 * g1[1] + m.gs33 * g1[2]};
  Vec3 n = cross(hkl2rhkl(uvw), q);
  for (double& v : n) v *= m.vol;
  const double len_g1 = std::sqrt(sq_abs(g1, m));
  const double len_n = std::sqrt(sq_abs(n, m));
  if (!(len_n >= 1e-12)) no_second_base(uvw, g1);
  for (double& v : n) v *= len_g1 / len_n;
  return n;
}

Vec3 zolz_ort_base_uvw(const Hkl& uvw, const Vec3& g, const lattice_metric& m) {
  // Reciprocal-space components of B, then B x g read as a direct vector.
  const double u = uvw.h, v = uvw.k, w = uvw.l;
  const Vec3 p{m.g11 * u + m.g12 * v + m.g13 * w, m.g12 * u + m.g22 * v + m.g23 * w,
               m.g13 * u + m.g23 * v + m.g33 * w};
  Vec3 c = cross(p, g);
  for (double& x : c) x /= m.vol;
  const double len_g = std::sqrt(sq_abs(g, m));
  const double len_c = abs_r_uvw(c, m);
  if (!(len_c >= 1e-12)) no_second_base(uvw, g);
  for (double& x : c) x /= len_g * len_c;
  return c;
}

void zolz_ort_base_two_uvw(const Hkl& uvw, const Vec3& g1, const lattice_metric& m, Vec3* e1,
                           Vec3* e2) {
  *e2 = zolz_ort_base_uvw(uvw, g1, m);
  const Vec3 g2 = zolz_ort_base(uvw, g1, m);
  const Vec3 t = zolz_ort_base_uvw(uvw, g2, m);
  *e1 = Vec3{-t[0], -t[1], -t[2]};
}

Vec3 proj_to_zolz(const Hkl& hkl, const Hkl& uvw, const Vec3& g1, const lattice_metric& m,
                  double* x, double* y) {
  const Vec3 g2 = zolz_ort_base(uvw, g1, m);
  const double s = sq_abs(g1, m);
  const Vec3 g = hkl2rhkl(hkl);
  *x = inner_product(g, g1, m) / s;
  *y = inner_product(g, g2, m) / s;
  return Vec3{*x * g1[0] + *y * g2[0], *x * g1[1] + *y * g2[1], *x * g1[2] + *y * g2[2]};
}

Vec3 normalize_vec(const Vec3& p, const Vec3& q, const lattice_metric& m) {
  const double sp = sq_abs(p, m);
  if (sp < 1e-12) return Vec3{0.0, 0.0, 0.0};
  const double f = std::sqrt(sq_abs(q, m) / sp);
  return Vec3{p[0] * f, p[1] * f, p[2] * f};
}

int extinction_rule(const Hkl& hkl, std::string_view lattice_type, int hex_flag) {
  const int h = hkl.h, k = hkl.k, l = hkl.l;
  const char t = lattice_type.empty() ? '\0' : lattice_type[0];
  switch (t) {
    case 'P':
      return 0;
    case 'I':
      return (h + k + l) % 2;
    case 'F':
      return std::abs((k + l) % 2) + std::abs((h + k) % 2) + std::abs((h + l) % 2);
    case 'A':
      return (k + l) % 2;
    case 'B':
      return (h + l) % 2;
    case 'C':
      return (h + k) % 2;
    case 'R':
      return hex_flag == 1 ? (-h + k + l) % 3 : 0;
    default: {
      const std::string s(lattice_type);
      fatal_out("$$ Lattice type %s is invalid\n in extinction_rule() of lattice\n", s.c_str());
    }
  }
}

double wavelength(double kv) {
  const double ev = 1000.0 * kv;
  return 12.264263 / std::sqrt(ev * (1.0 + 9.7847537e-7 * ev));
}

double mrad_to_half_g1(double mrad, double voltage, double abs_g1) {
  return 2.0 * (mrad * 1e-3) / (wavelength(voltage) * abs_g1);
}

double half_g1_to_mrad(double h, double voltage, double abs_g1) {
  return 0.5 * h * abs_g1 * wavelength(voltage) * 1e3;
}

double relativ_corr(double kv) { return 1.0 + 1.9569507e-6 * 1000.0 * kv; }

double evdash(double kv) {
  const double ev = 1000.0 * kv;
  return ev * (1.0 + 0.5 * ev / 510999.0) / (1.0 + ev / 510999.0);
}

}  // namespace kv
