// Complex eigen-solver built from elementary pieces: Hessenberg reduction
// by stabilised elementary (Gauss) similarity transformations, explicitly
// shifted complex QR with plane rotations down to triangular form, and
// eigenvectors by back substitution in the triangle. Deflation and the
// regularisation of small denominators use a tolerance relative to the
// largest column sum of the matrix.
#include <algorithm>
#include <cmath>
#include <vector>

#include "numeric/eigen.hpp"
#include "sim/qzio.hpp"

namespace kv {

namespace {

// Plane rotation G = [[conj(c), conj(s)], [-s, c]] with |c|^2 + |s|^2 = 1.
using PlaneRotation = plane_rotation;

// Builds the rotation that maps (x, y) onto (r, 0).
inline PlaneRotation make_rotation(complex x, complex y) {
  const double r = std::sqrt(c_norm2(x) + c_norm2(y));
  if (r == 0.0) return PlaneRotation{complex{1.0, 0.0}, complex{0.0, 0.0}};
  const double inv = 1.0 / r;
  return PlaneRotation{x * inv, y * inv};
}

// Applies G^H from the right to elements k and k+1 of one row, for the
// rotations rot[kfirst..klast] in increasing k.
inline void rotate_columns_of_row(complex* row, const PlaneRotation* rot, int kfirst, int klast) {
  for (int k = kfirst; k <= klast; ++k) {
    const complex c = rot[k].c, s = rot[k].s;
    const complex u = row[k], v = row[k + 1];
    row[k] = complex{u.re * c.re - u.im * c.im + v.re * s.re - v.im * s.im,
                     u.re * c.im + u.im * c.re + v.re * s.im + v.im * s.re};
    // -u conj(s) + v conj(c)
    row[k + 1] = complex{-(u.re * s.re + u.im * s.im) + (v.re * c.re + v.im * c.im),
                         -(u.im * s.re - u.re * s.im) + (v.im * c.re - v.re * c.im)};
  }
}

}  // namespace

int eigen_c_mat(int n, double tol, int mode, CMatrix& a, complex* eigval, CMatrix& eigvec) {
  eigen_scratch es = alloc_eigen_scratch(n);
  return eigen_c_mat(n, tol, mode, a, eigval, eigvec, es);
}

int eigen_c_mat(int n, double tol, int mode, CMatrix& a, complex* eigval, CMatrix& eigvec, eigen_scratch& es) {
  if (n < 1 || !(tol > 0.0)) {
    qz_fprintf(stderr, "$$ (eigen_c_mat) invalid n or epsilon.\n");
    return 3;
  }
  const bool vectors = mode != 0;
  const std::size_t nn = static_cast<std::size_t>(n);
  if (n > es.n_max) es = alloc_eigen_scratch(n);

  // Largest column sum of moduli.
  double norm = 0.0;
  {
    double* colsum = es.norms.data();
    std::fill(colsum, colsum + nn, 0.0);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) colsum[j] += c_abs(a[i][j]);
    for (std::size_t j = 0; j < nn; ++j) norm = std::max(norm, colsum[j]);
  }

  auto set_identity = [&]() {
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) eigvec[i][j] = complex{0.0, 0.0};
      eigvec[i][i] = complex{1.0, 0.0};
    }
  };

  if (n == 1 || norm < tol) {
    for (int i = 0; i < n; ++i) eigval[i] = a[i][i];
    set_identity();
    return 1;
  }
  const double tau = std::max(tol, 1e-13) * norm;

  // Hessenberg reduction: for column r the largest element below the
  // diagonal is brought to (r+1, r), then rows r+2.. are cleared against it.
  // piv[r] is the pivot row, or -1 where the column was left alone.
  int* piv = es.piv.data();
  std::fill(piv, piv + nn, -1);
  complex* mult = es.mult.data();
  if (n > 2) {
    for (int r = 0; r <= n - 3; ++r) {
      int p = r + 1;
      double best = c_abs(a[r + 1][r]);
      for (int i = r + 2; i < n; ++i) {
        const double v = c_abs(a[i][r]);
        if (v > best) {
          best = v;
          p = i;
        }
      }
      if (!(best > tau)) continue;
      piv[r] = p;
      if (p != r + 1) {
        complex* ra = a[r + 1];
        complex* rb = a[p];
        for (int j = r; j < n; ++j) std::swap(ra[j], rb[j]);
        for (int i = 0; i < n; ++i) std::swap(a[i][r + 1], a[i][p]);
      }
      const complex pivot = a[r + 1][r];
      const complex* prow = a[r + 1];
      for (int i = r + 2; i < n; ++i) {
        const complex m = c_div(a[i][r], pivot);
        mult[i] = m;
        complex* row = a[i];
        row[r] = -m;
        for (int j = r + 1; j < n; ++j) row[j] = row[j] - m * prow[j];
      }
      // Column r+1 gains sum_i m_i column i, which completes the similarity.
      for (int k = 0; k < n; ++k) {
        complex* row = a[k];
        complex s{0.0, 0.0};
        for (int i = r + 2; i < n; ++i) s += mult[i] * row[i];
        row[r + 1] += s;
      }
    }
  }

  // Accumulated transformation S = P_1 L_1 P_2 L_2 ..., formed back to front.
  if (vectors) {
    set_identity();
    for (int r = n - 3; r >= 0; --r) {
      if (piv[r] < 0) continue;
      const complex* src = eigvec[r + 1];
      for (int i = r + 2; i < n; ++i) {
        const complex m = -a[i][r];
        complex* row = eigvec[i];
        for (int j = 0; j < n; ++j) row[j] += m * src[j];
      }
      if (piv[r] != r + 1) {
        complex* ra = eigvec[r + 1];
        complex* rb = eigvec[piv[r]];
        for (int j = 0; j < n; ++j) std::swap(ra[j], rb[j]);
      }
    }
  }
  // Only the Hessenberg part takes part in the iteration.
  for (int i = 2; i < n; ++i)
    for (int j = 0; j <= i - 2; ++j) a[i][j] = complex{0.0, 0.0};

  // Shifted QR iteration, deflating from the bottom.
  PlaneRotation* rot = es.rot.data();
  std::fill(rot, rot + nn, PlaneRotation{});
  int m = n - 1;
  int its = 0;
  while (m >= 0) {
    int l = m;
    while (l > 0 && c_abs(a[l][l - 1]) > tau) --l;
    if (l == m) {
      eigval[m] = a[m][m];
      --m;
      its = 0;
      continue;
    }
    if (its == 31) return 30000;
    ++its;

    // Shift: the eigenvalue of the trailing 2 x 2 block nearer to a(m, m).
    const complex p = a[m - 1][m - 1], q = a[m][m];
    const complex mean = 0.5 * (p + q), half = 0.5 * (p - q);
    const complex disc = c_sqrt(half * half + a[m][m - 1] * a[m - 1][m]);
    const complex sigma = c_abs(half + disc) <= c_abs(half - disc) ? mean + disc : mean - disc;
    for (int i = l; i <= m; ++i) a[i][i] -= sigma;

    // Q^H (A - sigma I) = R, rotations on rows k, k+1.
    for (int k = l; k < m; ++k) {
      const PlaneRotation g = make_rotation(a[k][k], a[k + 1][k]);
      rot[k] = g;
      complex* r0 = a[k];
      complex* r1 = a[k + 1];
      for (int j = k; j < n; ++j) {
        const complex u = r0[j], v = r1[j];
        r0[j] = complex{g.c.re * u.re + g.c.im * u.im + g.s.re * v.re + g.s.im * v.im,
                        g.c.re * u.im - g.c.im * u.re + g.s.re * v.im - g.s.im * v.re};
        r1[j] = complex{-(g.s.re * u.re - g.s.im * u.im) + (g.c.re * v.re - g.c.im * v.im),
                        -(g.s.re * u.im + g.s.im * u.re) + (g.c.re * v.im + g.c.im * v.re)};
      }
      r1[k] = complex{0.0, 0.0};
    }
    // R Q, row by row: row i meets the rotations k >= i - 1.
    for (int i = 0; i <= m; ++i) rotate_columns_of_row(a[i], rot, std::max(l, i - 1), m - 1);
    if (vectors)
      for (int i = 0; i < n; ++i) rotate_columns_of_row(eigvec[i], rot, l, m - 1);
    for (int i = l; i <= m; ++i) a[i][i] += sigma;
  }

  if (!vectors) return 0;

  // Eigenvectors of the triangle T: y_k with y_k[k] = 1, stored as row k
  // of yt, then x_k = S Q y_k.
  {
    CMatrix& yt = es.tri;  // y_k[j] is set for j <= k before it is read
    for (int k = 0; k < n; ++k) {
      complex* y = yt[k];
      const complex lambda = a[k][k];
      y[k] = complex{1.0, 0.0};
      for (int i = k - 1; i >= 0; --i) {
        const complex* row = a[i];
        complex s{0.0, 0.0};
        for (int j = i + 1; j <= k; ++j) s += row[j] * y[j];
        complex d = row[i] - lambda;
        if (c_abs(d) < tau) d = complex{tau, 0.0};
        y[i] = -c_div(s, d);
      }
    }
    complex* row = es.vec.data();
    double* colnorm = es.norms.data();
    std::fill(colnorm, colnorm + nn, 0.0);
    for (int i = 0; i < n; ++i) {
      complex* v = eigvec[i];
      std::copy(v, v + n, row);
      for (int k = 0; k < n; ++k) {
        const complex* y = yt[k];
        double sr = 0.0, si = 0.0;
        for (int j = 0; j <= k; ++j) {
          sr += row[j].re * y[j].re - row[j].im * y[j].im;
          si += row[j].re * y[j].im + row[j].im * y[j].re;
        }
        v[k] = complex{sr, si};
        colnorm[k] += sr * sr + si * si;
      }
    }
    for (int k = 0; k < n; ++k) colnorm[k] = colnorm[k] > 0.0 ? 1.0 / std::sqrt(colnorm[k]) : 1.0;
    for (int i = 0; i < n; ++i) {
      complex* v = eigvec[i];
      for (int k = 0; k < n; ++k) v[k] = colnorm[k] * v[k];
    }
  }

  if (mode == 1 || mode == -1)
    re_part_csort(n, eigval, eigvec, mode);
  else
    norm_csort(n, eigval, eigvec, mode > 0 ? 1 : -1);
  return 0;
}

}  // namespace kv
