#pragma once
// Shared helpers of the eigen-solver and inversion tests: seeded random
// matrices, norms, residuals, a guard of the run-control records, and the
// LAPACK reference results (zgeev, zgesv) when LAPACKE is available.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"
#include "sim/runctl.hpp"

#ifdef KV_HAVE_LAPACKE
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <lapacke.h>
#endif

namespace kv::test {

// Restores the run-control records after a test changed them.
struct RunControlGuard {
  Epsilon saved_eps = epsilon;
  Dbg saved_dbg = dbg;
  ~RunControlGuard() {
    epsilon = saved_eps;
    dbg = saved_dbg;
  }
};

using zc = std::complex<double>;

inline zc to_std(complex z) { return zc(z.re, z.im); }
inline complex from_std(zc z) { return complex{z.real(), z.imag()}; }

// Elements with real and imaginary parts uniform in [-1, 1].
inline CMatrix random_cmatrix(int n, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const double re = u(gen);
      a[i][j] = complex{re, u(gen)};
    }
  return a;
}

inline CMatrix copy_of(const CMatrix& a) {
  CMatrix b(a.rows(), a.cols());
  for (std::size_t i = 0; i < a.rows(); ++i)
    for (std::size_t j = 0; j < a.cols(); ++j) b[i][j] = a[i][j];
  return b;
}

inline double frobenius(int n, const CMatrix& a) {
  double s = 0.0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) s += c_norm2(a[i][j]);
  return std::sqrt(s);
}

inline double column_norm(int n, const CMatrix& v, int j) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += c_norm2(v[i][j]);
  return std::sqrt(s);
}

// Largest ||A v_j - lambda_j v_j|| / (||A||_F ||v_j||) over all pairs.
inline double max_residual(int n, const CMatrix& a, const complex* val, const CMatrix& vec) {
  const double an = frobenius(n, a);
  double worst = 0.0;
  for (int j = 0; j < n; ++j) {
    double r2 = 0.0;
    for (int i = 0; i < n; ++i) {
      zc s = 0.0;
      for (int k = 0; k < n; ++k) s += to_std(a[i][k]) * to_std(vec[k][j]);
      s -= to_std(val[j]) * to_std(vec[i][j]);
      r2 += std::norm(s);
    }
    const double vn = column_norm(n, vec, j);
    const double r = an > 0.0 && vn > 0.0 ? std::sqrt(r2) / (an * vn) : std::sqrt(r2);
    worst = std::max(worst, r);
  }
  return worst;
}

// Largest distance between the two multisets, each value paired with the
// nearest unused reference value, relative to max(|reference|, floor).
inline double multiset_error(int n, const complex* val, const std::vector<zc>& ref, double floor) {
  std::vector<bool> used(ref.size(), false);
  double worst = 0.0;
  for (int k = 0; k < n; ++k) {
    int best = -1;
    double bd = 0.0;
    for (std::size_t r = 0; r < ref.size(); ++r) {
      if (used[r]) continue;
      const double d = std::abs(to_std(val[k]) - ref[r]);
      if (best < 0 || d < bd) {
        best = static_cast<int>(r);
        bd = d;
      }
    }
    if (best < 0) return HUGE_VAL;
    used[best] = true;
    worst = std::max(worst, bd / std::max(std::abs(ref[best]), floor));
  }
  return worst;
}

#ifdef KV_HAVE_LAPACKE
// Eigenvalues by LAPACK zgeev.
inline std::vector<zc> zgeev_values(int n, const CMatrix& a) {
  std::vector<zc> cm(static_cast<std::size_t>(n) * n), w(n), vr(1), vl(1);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) cm[static_cast<std::size_t>(j) * n + i] = to_std(a[i][j]);
  const lapack_int info = LAPACKE_zgeev(LAPACK_COL_MAJOR, 'N', 'N', n, cm.data(), n, w.data(),
                                        vl.data(), 1, vr.data(), 1);
  if (info != 0) w.clear();
  return w;
}

// Inverse by LAPACK zgesv with the identity as right-hand side.
inline CMatrix zgesv_inverse(int n, const CMatrix& a) {
  std::vector<zc> cm(static_cast<std::size_t>(n) * n), b(static_cast<std::size_t>(n) * n, 0.0);
  std::vector<lapack_int> ipiv(n);
  for (int i = 0; i < n; ++i) {
    b[static_cast<std::size_t>(i) * n + i] = 1.0;
    for (int j = 0; j < n; ++j) cm[static_cast<std::size_t>(j) * n + i] = to_std(a[i][j]);
  }
  LAPACKE_zgesv(LAPACK_COL_MAJOR, n, n, cm.data(), n, ipiv.data(), b.data(), n);
  CMatrix inv(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) inv[i][j] = from_std(b[static_cast<std::size_t>(j) * n + i]);
  return inv;
}
#endif

}  // namespace kv::test
