// The EISPACK sequence for a complex general matrix (balancing,
// Householder reduction to Hessenberg form, complex QR with accumulated
// transformations, back-transformation), on one row-major complex matrix.
//
// The control flow and the arithmetic of every element update follow the
// published column-oriented routines; the loops that ran down columns are
// reorganised so that the innermost loop walks along a row, each element
// still receiving the same operations in the same order. The zero tests on
// matrix elements, column scales and transformation records are made
// against the tolerance eps instead of exact zero, and the small subdiagonal
// test of the QR iteration is absolute (|h(l,l-1)| < eps). Two tests stay
// exact: the modulus of the scaled leading element of a Householder column
// (a ratio, not a size) and the product that decides between the 2 x 2
// shift and the plain one.
//
// Indices: the routines work 0-based internally; low and igh in their
// interfaces are 1-based, as are the interchange indices kept in scale.
#include <algorithm>
#include <cmath>
#include <vector>

#include "numeric/eigen.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

inline bool negligible(double x, double eps) { return std::fabs(x) < eps; }

// Sizes the scratch for order n (a no-op once it is large enough).
void fit_scratch(int n, eigen_scratch& es) {
  if (n <= es.n_max) return;
  es = alloc_eigen_scratch(n);
}

}  // namespace

double pythag(double a, double b) {
  double p = std::max(std::fabs(a), std::fabs(b));
  if (p == 0.0) return p;
  const double q = std::min(std::fabs(a), std::fabs(b)) / p;
  double r = q * q;
  for (;;) {
    const double t = 4.0 + r;
    // Ends when r no longer counts against 4 (and at once on a NaN).
    if (!(t > 4.0)) break;
    const double s = r / t;
    const double u = 1.0 + 2.0 * s;
    p = u * p;
    const double v = s / u;
    r = v * v * r;
  }
  return p;
}

complex cdiv_cg(complex a, complex b) {
  double s = std::fabs(b.re) + std::fabs(b.im);
  const double ars = a.re / s, ais = a.im / s;
  const double brs = b.re / s, bis = b.im / s;
  s = brs * brs + bis * bis;
  return complex{(ars * brs + ais * bis) / s, (ais * brs - ars * bis) / s};
}

complex csroot(complex x) {
  const double tr = x.re, ti = x.im;
  double s = std::sqrt(0.5 * (pythag(tr, ti) + std::fabs(tr)));
  complex y{0.0, 0.0};
  if (tr >= 0.0) y.re = s;
  if (ti < 0.0) s = -s;
  if (tr <= 0.0) y.im = s;
  if (s == 0.0) return y;
  if (tr < 0.0) y.re = 0.5 * (ti / y.im);
  if (tr > 0.0) y.im = 0.5 * (ti / y.re);
  return y;
}

void matexchange_rowcol(int n, int j, int k, int l, int m, CMatrix& a) {
  if (j == m) return;
  const int jc = j - 1, mc = m - 1;
  for (int i = 0; i < l; ++i) std::swap(a[i][jc], a[i][mc]);
  complex* rj = a[jc];
  complex* rm = a[mc];
  for (int i = k - 1; i < n; ++i) std::swap(rj[i], rm[i]);
}

void cbal(int n, double eps, CMatrix& a, int& low, int& igh, double* scale) {
  constexpr double radix = 16.0;
  constexpr double inv_radix = 1.0 / 16.0;
  constexpr double inv_b2 = 1.0 / 256.0;
  constexpr double b2 = radix * radix;
  auto nonzero = [eps](complex z) { return std::fabs(z.re) > eps || std::fabs(z.im) > eps; };

  // k and l are 1-based bounds of the part still to be searched.
  int k = 1, l = n;
  if (n < 1) {
    low = 1;
    igh = 0;
    return;
  }

  // Rows isolating an eigenvalue are pushed to the bottom.
  bool finished = false;
  for (;;) {
    bool found = false;
    for (int j = l; j >= 1; --j) {
      const complex* row = a[j - 1];
      bool isolated = true;
      for (int i = 1; i <= l; ++i) {
        if (i != j && nonzero(row[i - 1])) {
          isolated = false;
          break;
        }
      }
      if (!isolated) continue;
      scale[l] = j;
      matexchange_rowcol(n, j, k, l, l, a);
      if (l == 1) {
        finished = true;
      } else {
        --l;
      }
      found = true;
      break;
    }
    if (!found || finished) break;
  }

  // Columns isolating an eigenvalue are pushed to the left.
  if (!finished) {
    for (;;) {
      bool found = false;
      for (int j = k; j <= l; ++j) {
        bool isolated = true;
        for (int i = k; i <= l; ++i) {
          if (i != j && nonzero(a[i - 1][j - 1])) {
            isolated = false;
            break;
          }
        }
        if (!isolated) continue;
        scale[k] = j;
        matexchange_rowcol(n, j, k, l, k, a);
        ++k;
        found = true;
        break;
      }
      if (!found) break;
    }

    // Iterative reduction of the norms of rows and columns k..l.
    for (int i = k; i <= l; ++i) scale[i] = 1.0;
    bool noconv;
    do {
      noconv = false;
      for (int i = k; i <= l; ++i) {
        double c = 0.0, r = 0.0;
        const complex* rowi = a[i - 1];
        for (int j = k; j <= l; ++j) {
          if (j == i) continue;
          const complex cji = a[j - 1][i - 1];
          c = c + std::fabs(cji.re) + std::fabs(cji.im);
          r = r + std::fabs(rowi[j - 1].re) + std::fabs(rowi[j - 1].im);
        }
        if (c < eps || r < eps) continue;
        double g = r * inv_radix;
        double f = 1.0;
        const double s = c + r;
        while (c < g) {
          f *= radix;
          c *= b2;
        }
        g = r * radix;
        while (c >= g) {
          f *= inv_radix;
          c *= inv_b2;
        }
        if ((c + r) / f < 0.95 * s) {
          g = 1.0 / f;
          scale[i] *= f;
          noconv = true;
          complex* ri = a[i - 1];
          for (int j = k - 1; j < n; ++j) {
            ri[j].re *= g;
            ri[j].im *= g;
          }
          for (int j = 0; j < l; ++j) {
            a[j][i - 1].re *= f;
            a[j][i - 1].im *= f;
          }
        }
      }
    } while (noconv);
  }
  low = k;
  igh = l;
}

void corth(int n, double eps, int low, int igh, CMatrix& a, double* ortr, double* orti) {
  eigen_scratch es = alloc_eigen_scratch(n);
  corth(n, eps, low, igh, a, ortr, orti, es);
}

void corth(int n, double eps, int low, int igh, CMatrix& a, double* ortr, double* orti, eigen_scratch& es) {
  // 0-based: reduce columns m-1 for m = lo+1 .. hi-1.
  const int lo = low - 1, hi = igh - 1;
  fit_scratch(n, es);
  std::vector<double>& fr_acc = es.fr;
  std::vector<double>& fi_acc = es.fi;
  // ortr/orti are 1-based records; u[i] below is ortr[i + 1].
  double* ur = ortr + 1;
  double* ui = orti + 1;
  for (int m = lo + 1; m <= hi - 1; ++m) {
    double h = 0.0;
    ur[m] = 0.0;
    ui[m] = 0.0;
    double scale = 0.0;
    for (int i = m; i <= hi; ++i) scale = scale + std::fabs(a[i][m - 1].re) + std::fabs(a[i][m - 1].im);
    if (negligible(scale, eps)) continue;
    for (int i = hi; i >= m; --i) {
      ur[i] = a[i][m - 1].re / scale;
      ui[i] = a[i][m - 1].im / scale;
      h = h + ur[i] * ur[i] + ui[i] * ui[i];
    }
    double g = std::sqrt(h);
    const double f = pythag(ur[m], ui[m]);
    if (f == 0.0) {
      ur[m] = g;
      a[m][m - 1].re = scale;
    } else {
      h = h + f * g;
      g = g / f;
      ur[m] = (1.0 + g) * ur[m];
      ui[m] = (1.0 + g) * ui[m];
    }

    // (I - u u^H / h) A on rows m..hi, columns m..n-1: the products u^H A
    // are accumulated row by row, from row hi down to row m.
    const int ncol = n - m;
    double* fr = fr_acc.data();
    double* fi = fi_acc.data();
    std::fill(fr, fr + ncol, 0.0);
    std::fill(fi, fi + ncol, 0.0);
    for (int i = hi; i >= m; --i) {
      const complex* row = a[i] + m;
      const double pr = ur[i], pi = ui[i];
      for (int j = 0; j < ncol; ++j) {
        fr[j] = fr[j] + pr * row[j].re + pi * row[j].im;
        fi[j] = fi[j] + pr * row[j].im - pi * row[j].re;
      }
    }
    for (int j = 0; j < ncol; ++j) {
      fr[j] = fr[j] / h;
      fi[j] = fi[j] / h;
    }
    for (int i = m; i <= hi; ++i) {
      complex* row = a[i] + m;
      const double pr = ur[i], pi = ui[i];
      for (int j = 0; j < ncol; ++j) {
        row[j].re = row[j].re - fr[j] * pr + fi[j] * pi;
        row[j].im = row[j].im - fr[j] * pi - fi[j] * pr;
      }
    }

    // ... (I - u u^H / h) from the right on rows 0..hi, columns m..hi.
    for (int i = 0; i <= hi; ++i) {
      complex* row = a[i];
      double sr = 0.0, si = 0.0;
      for (int j = hi; j >= m; --j) {
        sr = sr + ur[j] * row[j].re - ui[j] * row[j].im;
        si = si + ur[j] * row[j].im + ui[j] * row[j].re;
      }
      sr = sr / h;
      si = si / h;
      for (int j = m; j <= hi; ++j) {
        row[j].re = row[j].re - sr * ur[j] - si * ui[j];
        row[j].im = row[j].im + sr * ui[j] - si * ur[j];
      }
    }

    ur[m] = scale * ur[m];
    ui[m] = scale * ui[m];
    a[m][m - 1].re = -g * a[m][m - 1].re;
    a[m][m - 1].im = -g * a[m][m - 1].im;
  }
}

namespace {

// Rotation of one QR sweep, as left by the row pass: the (complex) cosine
// x and the real sine s of the rotation that mixes columns j-1 and j.
using Rotation = qr_rotation;

// Applies the column rotations rot[jfirst..jlast] (rotation j mixes
// elements j-1 and j) to one row, in increasing j. diag_row is the index j
// at which the row meets the diagonal (row index), or -1; there the element
// (j, j-1) keeps its imaginary part, which holds the sine.
inline void rotate_row(complex* row, const Rotation* rot, int jfirst, int jlast, int diag_row) {
  for (int j = jfirst; j <= jlast; ++j) {
    const double xr = rot[j].xr, xi = rot[j].xi, c = rot[j].s;
    const double yr = row[j - 1].re;
    const double zzr = row[j].re, zzi = row[j].im;
    double yi = 0.0;
    if (j != diag_row) {
      yi = row[j - 1].im;
      row[j - 1].im = xr * yi + xi * yr + c * zzi;
    }
    row[j - 1].re = xr * yr - xi * yi + c * zzr;
    row[j].re = xr * zzr + xi * zzi - c * yr;
    row[j].im = xr * zzi - xi * zzr - c * yi;
  }
}

// The same rotations on four rows at once, off the diagonal. Along one row
// every rotation depends on the previous one; four independent rows keep
// the floating-point units busy.
inline void rotate_rows4(complex* const* rows, const Rotation* rot, int jfirst, int jlast) {
  complex* r0 = rows[0];
  complex* r1 = rows[1];
  complex* r2 = rows[2];
  complex* r3 = rows[3];
  for (int j = jfirst; j <= jlast; ++j) {
    const double xr = rot[j].xr, xi = rot[j].xi, c = rot[j].s;
    auto apply = [xr, xi, c, j](complex* row) {
      const double yr = row[j - 1].re, yi = row[j - 1].im;
      const double zzr = row[j].re, zzi = row[j].im;
      row[j - 1].im = xr * yi + xi * yr + c * zzi;
      row[j - 1].re = xr * yr - xi * yi + c * zzr;
      row[j].re = xr * zzr + xi * zzi - c * yr;
      row[j].im = xr * zzi - xi * zzr - c * yi;
    };
    apply(r0);
    apply(r1);
    apply(r2);
    apply(r3);
  }
}

// Column pass of one QR step on rows first..last of m: each row receives
// the rotations lp1..en in increasing order (from its diagonal on, for the
// Hessenberg matrix itself), then, when phase is set, element en is
// multiplied by (pr, pi).
void column_pass(CMatrix& m, int first, int last, const Rotation* rot, int lp1, int en, bool hessenberg,
                 bool phase, double pr, double pi) {
  auto start = [&](int i) { return hessenberg ? std::max(lp1, i) : lp1; };
  auto finish = [&](complex* row) {
    if (!phase) return;
    const double yr = row[en].re, yi = row[en].im;
    row[en].re = pr * yr - pi * yi;
    row[en].im = pr * yi + pi * yr;
  };
  int i = first;
  for (; i + 3 <= last; i += 4) {
    complex* rows[4] = {m[i], m[i + 1], m[i + 2], m[i + 3]};
    // Rotations up to the block's last diagonal position one row at a
    // time, the rest on all four rows together.
    const int shared = hessenberg ? start(i + 3) + 1 : lp1;
    for (int t = 0; t < 4; ++t)
      rotate_row(rows[t], rot, start(i + t), std::min(shared - 1, en), hessenberg ? i + t : -1);
    if (shared <= en) rotate_rows4(rows, rot, shared, en);
    for (int t = 0; t < 4; ++t) finish(rows[t]);
  }
  for (; i <= last; ++i) {
    rotate_row(m[i], rot, start(i), en, hessenberg ? i : -1);
    finish(m[i]);
  }
}

}  // namespace

int comqr2(int n, double eps, int low, int igh, double* ortr, double* orti, CMatrix& h,
           complex* w, CMatrix& z) {
  eigen_scratch es = alloc_eigen_scratch(n);
  return comqr2(n, eps, low, igh, ortr, orti, h, w, z, es);
}

int comqr2(int n, double eps, int low, int igh, double* ortr, double* orti, CMatrix& h,
           complex* w, CMatrix& z, eigen_scratch& es) {
  const int lo = low - 1, hi = igh - 1;
  fit_scratch(n, es);
  double* ur = ortr + 1;
  double* ui = orti + 1;

  // Eigenvector matrix starts as the identity.
  for (int i = 0; i < n; ++i) {
    complex* zi = z[i];
    for (int j = 0; j < n; ++j) zi[j] = complex{0.0, 0.0};
    zi[i].re = 1.0;
  }

  // Accumulated transformations from the Householder vectors of corth, for
  // i = hi-1 down to lo+1 (0-based).
  std::vector<complex>& acc = es.acc;
  for (int i = hi - 1; i >= lo + 1; --i) {
    if (negligible(ur[i], eps) && negligible(ui[i], eps)) continue;
    if (negligible(h[i][i - 1].re, eps) && negligible(h[i][i - 1].im, eps)) continue;
    // norm is the negative of the h formed in corth.
    const double norm = h[i][i - 1].re * ur[i] + h[i][i - 1].im * ui[i];
    for (int k = i + 1; k <= hi; ++k) {
      ur[k] = h[k][i - 1].re;
      ui[k] = h[k][i - 1].im;
    }
    const int ncol = hi - i + 1;
    complex* s = acc.data();
    for (int j = 0; j < ncol; ++j) s[j] = complex{0.0, 0.0};
    for (int k = i; k <= hi; ++k) {
      const complex* zk = z[k] + i;
      const double pr = ur[k], pi = ui[k];
      for (int j = 0; j < ncol; ++j) {
        s[j].re = s[j].re + pr * zk[j].re + pi * zk[j].im;
        s[j].im = s[j].im + pr * zk[j].im - pi * zk[j].re;
      }
    }
    for (int j = 0; j < ncol; ++j) {
      s[j].re = s[j].re / norm;
      s[j].im = s[j].im / norm;
    }
    for (int k = i; k <= hi; ++k) {
      complex* zk = z[k] + i;
      const double pr = ur[k], pi = ui[k];
      for (int j = 0; j < ncol; ++j) {
        zk[j].re = zk[j].re + s[j].re * pr - s[j].im * pi;
        zk[j].im = zk[j].im + s[j].re * pi + s[j].im * pr;
      }
    }
  }

  // Real subdiagonal elements.
  for (int i = lo + 1; i <= hi; ++i) {
    const int ll = std::min(i + 1, hi);
    if (negligible(h[i][i - 1].im, eps)) continue;
    const double norm = pythag(h[i][i - 1].re, h[i][i - 1].im);
    const double yr = h[i][i - 1].re / norm;
    const double yi = h[i][i - 1].im / norm;
    h[i][i - 1] = complex{norm, 0.0};
    complex* row = h[i];
    for (int j = i; j < n; ++j) {
      const double si = yr * row[j].im - yi * row[j].re;
      row[j].re = yr * row[j].re + yi * row[j].im;
      row[j].im = si;
    }
    for (int j = 0; j <= ll; ++j) {
      complex& e = h[j][i];
      const double si = yr * e.im + yi * e.re;
      e.re = yr * e.re - yi * e.im;
      e.im = si;
    }
    for (int j = lo; j <= hi; ++j) {
      complex& e = z[j][i];
      const double si = yr * e.im + yi * e.re;
      e.re = yr * e.re - yi * e.im;
      e.im = si;
    }
  }

  // Roots isolated by the balancing.
  for (int i = 0; i < n; ++i)
    if (i < lo || i > hi) w[i] = h[i][i];

  std::vector<Rotation>& rot = es.qr_rot;
  std::fill(rot.begin(), rot.begin() + std::max(n, 1), Rotation{0.0, 0.0, 0.0});
  int en = hi;
  double tr = 0.0, ti = 0.0;
  int itn = 30 * n;
  while (en >= lo) {
    int its = 0;
    const int enm1 = en - 1;
    for (;;) {
      // Look for a single small subdiagonal element.
      int l = en;
      for (; l > lo; --l)
        if (std::fabs(h[l][l - 1].re) < eps) break;
      if (l == en) break;  // a root found
      if (itn == 0) return en + 1;

      double sr, si;
      if (its == 10 || its == 20) {
        // Exceptional shift; it needs the element (en-1, en-2).
        if (en + 1 <= 2) fatal_out("$$ en=%d, abort.\n", en + 1);
        sr = std::fabs(h[en][enm1].re) + std::fabs(h[enm1][en - 2].re);
        si = 0.0;
      } else {
        sr = h[en][en].re;
        si = h[en][en].im;
        double xr = h[enm1][en].re * h[en][enm1].re;
        double xi = h[enm1][en].im * h[en][enm1].re;
        // Only an exactly vanishing product falls back to the plain shift
        // h(en, en): a product merely below eps still sets the 2 x 2 shift,
        // without which a weakly coupled pair with equal diagonal elements
        // would cycle until the exceptional shift at en = 2 stops the run.
        if (!(xr == 0.0 && xi == 0.0)) {
          const double yr = (h[enm1][enm1].re - sr) / 2.0;
          const double yi = (h[enm1][enm1].im - si) / 2.0;
          complex zz = csroot(complex{yr * yr - yi * yi + xr, 2.0 * yr * yi + xi});
          if (yr * zz.re + yi * zz.im < 0.0) zz = complex{-zz.re, -zz.im};
          const complex x = cdiv_cg(complex{xr, xi}, complex{yr + zz.re, yi + zz.im});
          sr = sr - x.re;
          si = si - x.im;
        }
      }
      for (int i = lo; i <= en; ++i) {
        h[i][i].re = h[i][i].re - sr;
        h[i][i].im = h[i][i].im - si;
      }
      tr = tr + sr;
      ti = ti + si;
      ++its;
      --itn;

      // Reduce to triangle (rows).
      const int lp1 = l + 1;
      for (int i = lp1; i <= en; ++i) {
        complex* r0 = h[i - 1];
        complex* r1 = h[i];
        const double sub = r1[i - 1].re;
        r1[i - 1].re = 0.0;
        const double norm = pythag(pythag(r0[i - 1].re, r0[i - 1].im), sub);
        const double xr = r0[i - 1].re / norm;
        const double xi = r0[i - 1].im / norm;
        w[i - 1] = complex{xr, xi};
        r0[i - 1] = complex{norm, 0.0};
        const double c = sub / norm;
        r1[i - 1].im = c;
        rot[i] = Rotation{xr, xi, c};
        for (int j = i; j < n; ++j) {
          const double yr = r0[j].re, yi = r0[j].im;
          const double zzr = r1[j].re, zzi = r1[j].im;
          r0[j].re = xr * yr + xi * yi + c * zzr;
          r0[j].im = xr * yi - xi * yr + c * zzi;
          r1[j].re = xr * zzr - xi * zzi - c * yr;
          r1[j].im = xr * zzi + xi * zzr - c * yi;
        }
      }
      const bool phase = !negligible(h[en][en].im, eps);
      double pr = 0.0, pi = 0.0;
      if (phase) {
        const double norm = pythag(h[en][en].re, h[en][en].im);
        pr = h[en][en].re / norm;
        pi = h[en][en].im / norm;
        h[en][en] = complex{norm, 0.0};
        complex* row = h[en];
        for (int j = en + 1; j < n; ++j) {
          const double yr = row[j].re, yi = row[j].im;
          row[j].re = pr * yr + pi * yi;
          row[j].im = pr * yi - pi * yr;
        }
      }

      // Inverse operation (columns), applied row by row: row i meets the
      // rotations j >= max(lp1, i); then column en takes the phase back.
      column_pass(h, 0, en, rot.data(), lp1, en, true, phase, pr, pi);
      column_pass(z, lo, hi, rot.data(), lp1, en, false, phase, pr, pi);
    }
    // A root found.
    h[en][en].re = h[en][en].re + tr;
    h[en][en].im = h[en][en].im + ti;
    w[en] = h[en][en];
    en = enm1;
  }

  // All roots found: back substitution for the vectors of the triangular
  // form, column en of h receiving vector en.
  double norm = 0.0;
  for (int i = 0; i < n; ++i)
    for (int j = i; j < n; ++j) {
      const double t = std::fabs(h[i][j].re) + std::fabs(h[i][j].im);
      if (t > norm) norm = t;
    }
  if (n > 1 && !negligible(norm, eps)) {
    std::vector<complex>& v = es.vec;
    for (en = n - 1; en >= 1; --en) {
      const complex x = w[en];
      v[en] = complex{1.0, 0.0};
      for (int i = en - 1; i >= 0; --i) {
        const complex* row = h[i];
        double zzr = 0.0, zzi = 0.0;
        for (int j = i + 1; j <= en; ++j) {
          zzr = zzr + row[j].re * v[j].re - row[j].im * v[j].im;
          zzi = zzi + row[j].re * v[j].im + row[j].im * v[j].re;
        }
        double yr = x.re - w[i].re;
        const double yi = x.im - w[i].im;
        // Equal eigenvalues: a small denominator of the size of the
        // tolerance keeps the vectors of a degenerate pair apart.
        if (negligible(yr, eps) && negligible(yi, eps)) yr = eps * norm;
        v[i] = cdiv_cg(complex{zzr, zzi}, complex{yr, yi});
        // Overflow control.
        const double t = std::fabs(v[i].re) + std::fabs(v[i].im);
        if (negligible(t, eps)) continue;
        if (t + 1.0 / t > t) continue;
        for (int j = i; j <= en; ++j) {
          v[j].re = v[j].re / t;
          v[j].im = v[j].im / t;
        }
      }
      for (int j = 0; j <= en; ++j) h[j][en] = v[j];
    }
    // Vector 0 of the triangular form is the first unit vector.
    h[0][0] = complex{1.0, 0.0};

    // Vectors of isolated roots.
    for (int i = 0; i < n; ++i) {
      if (i >= lo && i <= hi) continue;
      for (int j = i; j < n; ++j) z[i][j] = h[i][j];
    }

    // Multiply by the transformation matrix: z(i, j) = sum_k z(i, k) h(k, j)
    // for k = lo..min(j, hi), columns j from the last one down to lo. The
    // triangle of h is transposed first so both factors run along rows.
    CMatrix& ht = es.tri;  // only its triangle k <= j is written and read
    for (int k = 0; k < n; ++k)
      for (int j = k; j < n; ++j) ht[j][k] = h[k][j];
    for (int i = lo; i <= hi; ++i) {
      complex* zi = z[i];
      for (int j = n - 1; j >= lo; --j) {
        const int m = std::min(j, hi);
        const complex* hj = ht[j];
        double zzr = 0.0, zzi = 0.0;
        for (int k = lo; k <= m; ++k) {
          zzr = zzr + zi[k].re * hj[k].re - zi[k].im * hj[k].im;
          zzi = zzi + zi[k].re * hj[k].im + zi[k].im * hj[k].re;
        }
        zi[j] = complex{zzr, zzi};
      }
    }
  }

  // Unit columns.
  std::vector<double>& ss = es.norms;
  std::fill(ss.begin(), ss.begin() + std::max(n, 1), 0.0);
  for (int i = 0; i < n; ++i) {
    const complex* zi = z[i];
    for (int j = 0; j < n; ++j) ss[j] += zi[j].re * zi[j].re + zi[j].im * zi[j].im;
  }
  for (int j = 0; j < n; ++j) ss[j] = ss[j] >= eps ? std::sqrt(ss[j]) : 1.0;
  for (int i = 0; i < n; ++i) {
    complex* zi = z[i];
    for (int j = 0; j < n; ++j) {
      zi[j].re /= ss[j];
      zi[j].im /= ss[j];
    }
  }
  return 0;
}

void cbabk2(int n, int low, int igh, const double* scale, int m, CMatrix& z) {
  if (m == 0) return;
  if (igh != low) {
    for (int i = low; i <= igh; ++i) {
      const double s = scale[i];
      complex* row = z[i - 1];
      for (int j = 0; j < m; ++j) {
        row[j].re *= s;
        row[j].im *= s;
      }
    }
  }
  // Interchanges: i = low-1 down to 1, then igh+1 up to n.
  for (int ii = 1; ii <= n; ++ii) {
    int i = ii;
    if (i >= low && i <= igh) continue;
    if (i < low) i = low - ii;
    const int k = static_cast<int>(scale[i]);
    if (k == i) continue;
    complex* ri = z[i - 1];
    complex* rk = z[k - 1];
    for (int j = 0; j < m; ++j) std::swap(ri[j], rk[j]);
  }
}

int eispack_cg(int n, double tol, CMatrix& a, complex* eigval, CMatrix& eigvec) {
  eigen_scratch es = alloc_eigen_scratch(n);
  return eispack_cg(n, tol, a, eigval, eigvec, es);
}

int eispack_cg(int n, double tol, CMatrix& a, complex* eigval, CMatrix& eigvec, eigen_scratch& es) {
  fit_scratch(n, es);
  const std::size_t len = static_cast<std::size_t>(std::max(n, 0)) + 1;
  // The records start from zero, as fresh vectors would.
  for (std::vector<double>* v : {&es.scale, &es.ortr, &es.orti}) std::fill(v->begin(), v->begin() + len, 0.0);
  double* scale = es.scale.data();
  double* ortr = es.ortr.data();
  double* orti = es.orti.data();
  int low = 1, igh = n;
  cbal(n, tol, a, low, igh, scale);
  corth(n, tol, low, igh, a, ortr, orti, es);
  const int ierr = comqr2(n, tol, low, igh, ortr, orti, a, eigval, eigvec, es);
  cbabk2(n, low, igh, scale, n, eigvec);
  sort_eigval_eigvec(n, eigval, eigvec, es);
  return ierr;
}

}  // namespace kv
