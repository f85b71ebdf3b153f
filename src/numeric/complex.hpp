#pragma once
// Double-precision complex numbers passed by value, with the overflow-safe
// modulus, the scaled division and the principal square root that the
// Bloch-wave engine and the eigen solvers rely on.
#include <cmath>

namespace kv {

struct complex {
  double re = 0.0;
  double im = 0.0;
};

inline complex c_conv(double re, double im) { return complex{re, im}; }
inline complex c_conj(complex a) { return complex{a.re, -a.im}; }
inline complex c_add(complex a, complex b) { return complex{a.re + b.re, a.im + b.im}; }
inline complex c_sub(complex a, complex b) { return complex{a.re - b.re, a.im - b.im}; }
inline complex c_mul(complex a, complex b) {
  return complex{a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im};
}
inline double c_arg(complex a) { return std::atan2(a.im, a.re); }

// |a| without overflow for large components: p sqrt(1 + (q/p)^2).
inline double c_abs(complex a) {
  if (a.re == 0.0) return std::fabs(a.im);
  if (a.im == 0.0) return std::fabs(a.re);
  const double x = std::fabs(a.re), y = std::fabs(a.im);
  if (y > x) {
    const double r = a.re / a.im;
    return y * std::sqrt(1.0 + r * r);
  }
  const double r = a.im / a.re;
  return x * std::sqrt(1.0 + r * r);
}

// a / b, scaled by the larger component of b (Smith's method).
inline complex c_div(complex a, complex b) {
  if (std::fabs(b.re) >= std::fabs(b.im)) {
    const double r = b.im / b.re, d = b.re + r * b.im;
    return complex{(a.re + r * a.im) / d, (a.im - r * a.re) / d};
  }
  const double r = b.re / b.im, d = b.re * r + b.im;
  return complex{(r * a.re + a.im) / d, (r * a.im - a.re) / d};
}

inline complex c_exp(complex a) {
  const double e = std::exp(a.re);
  return complex{e * std::cos(a.im), e * std::sin(a.im)};
}

// Principal square root: the real part is never negative; on the negative
// real axis (im = +0 or -0) the root is +i sqrt|re|. The root of 0 is 0.
inline complex c_sqrt(complex a) {
  constexpr double h = 0.7071067811865476;
  if (a.re == 0.0 && a.im == 0.0) return complex{0.0, 0.0};
  const double s = std::sqrt(std::fabs(a.re) + c_abs(a));
  if (a.re >= 0.0) return complex{s * h, a.im * h / s};
  return complex{std::fabs(a.im) * h / s, a.im >= 0.0 ? s * h : -s * h};
}

// Operator spellings of the same operations, for formula-like code.
inline complex operator+(complex a, complex b) { return c_add(a, b); }
inline complex operator-(complex a, complex b) { return c_sub(a, b); }
inline complex operator*(complex a, complex b) { return c_mul(a, b); }
inline complex operator/(complex a, complex b) { return c_div(a, b); }
inline complex operator*(double s, complex a) { return complex{s * a.re, s * a.im}; }
inline complex operator*(complex a, double s) { return complex{s * a.re, s * a.im}; }
inline complex operator-(complex a) { return complex{-a.re, -a.im}; }
inline complex& operator+=(complex& a, complex b) {
  a.re += b.re;
  a.im += b.im;
  return a;
}
inline complex& operator-=(complex& a, complex b) {
  a.re -= b.re;
  a.im -= b.im;
  return a;
}
// Squared modulus, for intensities.
inline double c_norm2(complex a) { return a.re * a.re + a.im * a.im; }

}  // namespace kv
