// Complex matrix inversion (Crout) and the single right-hand-side solver of
// the boundary conditions.
#include "numeric/invert.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "sim/debug.hpp"
#include "sim/error.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

inline bool is_zero(complex z) { return z.re == 0.0 && z.im == 0.0; }

void swap_rows(int n, CMatrix& a, int r, int s) {
  complex* x = a[r];
  complex* y = a[s];
  for (int j = 0; j < n; ++j) std::swap(x[j], y[j]);
}

void swap_columns(int n, CMatrix& a, int c, int d) {
  for (int i = 0; i < n; ++i) std::swap(a[i][c], a[i][d]);
}

}  // namespace

invert_scratch alloc_invert_scratch(int n) {
  const std::size_t nn = static_cast<std::size_t>(std::max(n, 1));
  invert_scratch s;
  s.ipiv = alloc_vector<int>(nn);
  s.col = alloc_vector<complex>(nn);
  s.acc = alloc_vector<complex>(nn);
  s.tmp = alloc_vector<complex>(nn);
  return s;
}

int inv_c_mat(int n, double tol, CMatrix& a) {
  invert_scratch s = alloc_invert_scratch(n);
  return inv_c_mat(n, tol, a, s);
}

int inv_c_mat(int n, double tol, CMatrix& a, invert_scratch& s) {
  if (n < 1 || !(tol > 0.0)) {
    qz_fprintf(stdout, "$$ (inv_c_mat) invalid n or epsilon.\n");
    return 30000;
  }
  const std::size_t nn = static_cast<std::size_t>(n);
  if (s.ipiv.size() < nn || s.col.size() < nn || s.acc.size() < nn || s.tmp.size() < nn)
    s = alloc_invert_scratch(n);
  int* ipiv = s.ipiv.data();
  complex* col = s.col.data();
  complex* acc = s.acc.data();
  complex* tmp = s.tmp.data();

  // Crout decomposition P A = L U, column by column; L has a unit diagonal
  // and is stored below it.
  for (int k = 0; k < n; ++k) {
    for (int i = 0; i < n; ++i) col[i] = a[i][k];
    for (int i = 0; i < n; ++i) {
      const int lim = std::min(i, k);
      const complex* row = a[i];
      complex s = col[i];
      for (int j = 0; j < lim; ++j) s -= row[j] * col[j];
      col[i] = s;
    }
    int p = k;
    double best = c_abs(col[k]);
    for (int i = k + 1; i < n; ++i) {
      const double v = c_abs(col[i]);
      if (v > best) {
        best = v;
        p = i;
      }
    }
    for (int i = 0; i < n; ++i) a[i][k] = col[i];
    if (best < tol) {
      qz_fprintf(stdout, "$$ Anomalous termination in inv_c_mat.\n");
      // Counted from 1, so that a failure in the first column is not
      // mistaken for success.
      return k + 1;
    }
    ipiv[k] = p;
    if (p != k) swap_rows(n, a, p, k);
    const complex pivot = a[k][k];
    for (int i = k + 1; i < n; ++i) a[i][k] = c_div(a[i][k], pivot);
  }

  // U^-1 in place, from the last row up: row i of U^-1 is
  // -(1/u_ii) sum_{k>i} u_ik (row k of U^-1) off the diagonal.
  for (int i = n - 1; i >= 0; --i) {
    complex* row = a[i];
    const complex d = c_div(complex{1.0, 0.0}, row[i]);
    for (int j = i + 1; j < n; ++j) acc[j] = complex{0.0, 0.0};
    for (int k = i + 1; k < n; ++k) {
      const complex u = row[k];
      const complex* rk = a[k];
      for (int j = k; j < n; ++j) acc[j] += u * rk[j];
    }
    for (int j = i + 1; j < n; ++j) row[j] = -(d * acc[j]);
    row[i] = d;
  }
  // L^-1 in place, from the top: row i of L^-1 is -sum_{k<i} l_ik (row k of
  // L^-1), with the unit diagonal implied.
  for (int i = 1; i < n; ++i) {
    complex* row = a[i];
    for (int j = 0; j < i; ++j) acc[j] = complex{0.0, 0.0};
    for (int k = 0; k < i; ++k) {
      const complex l = row[k];
      const complex* rk = a[k];
      for (int j = 0; j < k; ++j) acc[j] += l * rk[j];
      acc[k] += l;
    }
    for (int j = 0; j < i; ++j) row[j] = -acc[j];
  }
  // U^-1 L^-1 row by row: row i = sum_{k>=i} (U^-1)_ik (row k of L^-1). Rows
  // below i still hold L^-1 when row i is formed.
  for (int i = 0; i < n; ++i) {
    complex* row = a[i];
    std::copy(row, row + n, tmp);
    for (int j = 0; j < n; ++j) acc[j] = complex{0.0, 0.0};
    for (int k = i; k < n; ++k) {
      const complex u = tmp[k];
      const complex* lk = k == i ? tmp : a[k];
      for (int j = 0; j < k; ++j) acc[j] += u * lk[j];
      acc[k] += u;
    }
    std::copy(acc, acc + n, row);
  }
  // A^-1 = U^-1 L^-1 P: the row interchanges return as column
  // interchanges in reverse order.
  for (int k = n - 1; k >= 0; --k)
    if (ipiv[k] != k) swap_columns(n, a, k, ipiv[k]);
  return 0;
}

int invmat(int n, CMatrix& a) {
  invert_scratch s = alloc_invert_scratch(n);
  return invmat(n, a, s);
}

int invmat(int n, CMatrix& a, invert_scratch& s) { return invmat(n, a, s, program_solver_control()); }

int invmat(int n, CMatrix& a, invert_scratch& s, const solver_control& ctl) {
  if (ctl.invmat_func != 0) fatal_out("$$ Invalid epsilon.invmat_func=%d. Abort.\n", ctl.invmat_func);
  dbg_mon(ctl.monitor, "$$ invmat: Numpack inv_c_mat()\n");
  const int status = inv_c_mat(n, ctl.inv_eps, a, s);
  if (status != 0) qz_fprintf(stdout, "$$ (invmat): inv_c_mat = %d\n", status);
  return 0;
}

void inverse(int n, CMatrix& m, complex* x, double tol, int& status) {
  std::vector<complex> rhs = alloc_vector<complex>(static_cast<std::size_t>(std::max(n, 1)));
  inverse(n, m, x, tol, status, rhs.data());
}

void inverse(int n, CMatrix& m, complex* x, double tol, int& status, complex* rhs) {
  status = 0;
  if (n < 1) {
    status = 30000;
    return;
  }
  const complex one{1.0, 0.0};
  if (n == 1) {
    x[0] = c_div(one, m[0][0]);
    if (c_abs(m[0][0]) <= tol) status = 30000;
    return;
  }
  const int last = n - 1;
  // The largest element of equation 0 goes to the last column, and the
  // equation itself to the last row: the right-hand side becomes e_{n-1}.
  int p = 0;
  double best = c_abs(m[0][0]);
  for (int j = 1; j < n; ++j) {
    const double v = c_abs(m[0][j]);
    if (v > best) {
      best = v;
      p = j;
    }
  }
  if (p != last) swap_columns(n, m, p, last);
  swap_rows(n, m, 0, last);

  // Elimination keeps the last row in place as long as another row offers a
  // pivot above tol. Only when none does is the last row (and with it the
  // right-hand side 1) taken as pivot row, after which b is carried along.
  complex* b = rhs;
  std::fill(b, b + n, complex{0.0, 0.0});
  b[last] = one;
  bool rhs_moved = false;
  bool stopped = false;
  for (int k = 0; k < last; ++k) {
    const int search_end = rhs_moved ? last : last - 1;
    int piv = k;
    double big = c_abs(m[k][k]);
    for (int i = k + 1; i <= search_end; ++i) {
      const double v = c_abs(m[i][k]);
      if (v > big) {
        big = v;
        piv = i;
      }
    }
    if (piv != k) {
      swap_rows(n, m, piv, k);
      std::swap(b[piv], b[k]);
    }
    if (big <= tol) {
      if (!rhs_moved && c_abs(m[last][k]) > tol) {
        swap_rows(n, m, last, k);
        std::swap(b[last], b[k]);
        rhs_moved = true;
      } else {
        stopped = true;
        break;
      }
    }
    const complex* prow = m[k];
    const complex pivot = prow[k];
    for (int i = k + 1; i < n; ++i) {
      complex* row = m[i];
      const complex f = -c_div(row[k], pivot);
      row[k] = f;
      for (int j = k + 1; j < n; ++j)
        if (!is_zero(prow[j])) row[j] += f * prow[j];
      if (rhs_moved) b[i] += f * b[k];
    }
  }
  if (stopped || c_abs(m[last][last]) <= tol) status = 30000;

  // Back substitution.
  x[last] = c_div(b[last], m[last][last]);
  for (int k = last - 1; k >= 0; --k) {
    const complex* row = m[k];
    complex s{0.0, 0.0};
    for (int j = k + 1; j < n; ++j) s += row[j] * x[j];
    x[k] = rhs_moved ? c_div(b[k] - s, row[k]) : -c_div(s, row[k]);
  }
  std::swap(x[p], x[last]);
}

int bc_invmat(int n, CMatrix& m, complex* x, lapack_work& lw) {
  return bc_invmat(n, m, x, lw, program_solver_control());
}

int bc_invmat(int n, CMatrix& m, complex* x, lapack_work& lw, const solver_control& ctl) {
  const int func = ctl.bc_invmat_func;
  if (func != 0 && func != 2) fatal_out("$$ Invalid epsilon.bc_invmat_func=%d. Abort.\n", func);
  if (func == 2) {
    const int status = zgesv_first_column(n, m, x, lw);
    if (status != 0) qz_fprintf(stdout, "$$ (bc_invmat): zgesv = %d\n", status);
    return status;
  }
  int status = 0;
  // The eigenvalue scratch of zgeev is free while the boundary condition is
  // solved; it carries the right-hand side.
  if (lw.w.size() >= static_cast<std::size_t>(std::max(n, 1)))
    inverse(n, m, x, ctl.inv_eps, status, lw.w.data());
  else
    inverse(n, m, x, ctl.inv_eps, status);
  return status;
}

int bc_invmat(int n, CMatrix& m, complex* x) {
  lapack_work lw;
  if (epsilon.bc_invmat_func == 2) lw = alloc_lapack_work(n);
  return bc_invmat(n, m, x, lw);
}

}  // namespace kv
