// The eigen-solver dispatcher and the orderings of eigenvalues with their
// eigenvector columns.
#include <algorithm>
#include <vector>

#include "numeric/eigen.hpp"
#include "numeric/matrix_dump.hpp"
#include "sim/debug.hpp"
#include "sim/error.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// Column k of vec becomes the old column order[k], for k < n; row holds n
// values of scratch.
void reorder_columns(int n, const int* order, complex* row, CMatrix& vec) {
  for (int i = 0; i < n; ++i) {
    complex* r = vec[i];
    std::copy(r, r + n, row);
    for (int k = 0; k < n; ++k) r[k] = row[order[k]];
  }
}

template <class T>
void ensure_length(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v = alloc_vector<T>(n);
}

void swap_columns(int n, int j, int k, CMatrix& vec) {
  for (int i = 0; i < n; ++i) std::swap(vec[i][j], vec[i][k]);
}

// Exchange sort into non-increasing key order; key(i) reads val[i].
template <class Key>
void exchange_csort(int n, complex* val, CMatrix& vec, Key key) {
  int h = n - 1;
  while (h > 0) {
    int run_min = 0, noted_pos = -1, noted_min = -1;
    for (int p = 1; p <= h; ++p) {
      if (key(val[p]) <= key(val[run_min])) {
        run_min = p;
      } else {
        noted_pos = p;
        noted_min = run_min;
      }
    }
    if (noted_pos < 0) break;
    std::swap(val[noted_pos], val[noted_min]);
    swap_columns(n, noted_pos, noted_min, vec);
    h = noted_pos - 1;
  }
}

}  // namespace

eigen_scratch alloc_eigen_scratch(int n) {
  eigen_scratch es;
  const std::size_t N = static_cast<std::size_t>(std::max(n, 0));
  es.n_max = static_cast<int>(N);
  for (std::vector<double>* v : {&es.scale, &es.ortr, &es.orti}) *v = alloc_vector<double>(N + 1);
  for (std::vector<double>* v : {&es.fr, &es.fi, &es.norms}) *v = alloc_vector<double>(std::max<std::size_t>(N, 1));
  for (std::vector<complex>* v : {&es.acc, &es.vec, &es.mult, &es.sorted})
    *v = alloc_vector<complex>(std::max<std::size_t>(N, 1));
  es.qr_rot = alloc_vector<qr_rotation>(std::max<std::size_t>(N, 1));
  es.rot = alloc_vector<plane_rotation>(std::max<std::size_t>(N, 1));
  es.piv = alloc_vector<int>(N);
  es.order = alloc_vector<int>(N);
  es.tri = CMatrix(N, N);
  return es;
}

void sort_eigval_eigvec(int n, complex* val, CMatrix& vec) {
  eigen_scratch es = alloc_eigen_scratch(n);
  sort_eigval_eigvec(n, val, vec, es);
}

void sort_eigval_eigvec(int n, complex* val, CMatrix& vec, eigen_scratch& es) {
  if (n < 2) return;
  const std::size_t N = static_cast<std::size_t>(n);
  ensure_length(es.order, N);
  ensure_length(es.sorted, N);
  // Insertion sort on indices: element k goes before the first earlier
  // element whose real part is strictly smaller (stable).
  int* order = es.order.data();
  complex* sorted = es.sorted.data();
  for (int k = 0; k < n; ++k) {
    int pos = k;
    for (int j = 0; j < k; ++j) {
      if (sorted[j].re < val[k].re) {
        pos = j;
        break;
      }
    }
    for (int j = k; j > pos; --j) {
      sorted[j] = sorted[j - 1];
      order[j] = order[j - 1];
    }
    sorted[pos] = val[k];
    order[pos] = k;
  }
  std::copy(sorted, sorted + n, val);
  // The sorted values are in place: their scratch now holds one row.
  reorder_columns(n, order, sorted, vec);
}

void norm_csort(int n, complex* val, CMatrix& vec, int dir) {
  const double sign = dir < 0 ? -1.0 : 1.0;
  exchange_csort(n, val, vec, [sign](complex z) { return sign * (z.re * z.re + z.im * z.im); });
}

void re_part_csort(int n, complex* val, CMatrix& vec, int dir) {
  const double sign = dir < 0 ? -1.0 : 1.0;
  exchange_csort(n, val, vec, [sign](complex z) { return sign * z.re; });
}

eigmat_work alloc_eigmat_work(int n) {
  eigmat_work ew;
  const std::size_t N = static_cast<std::size_t>(std::max(n, 0));
  ew.copy = CMatrix(N, N);
  ew.es = alloc_eigen_scratch(n);
  ew.lw = alloc_lapack_work(n);
  return ew;
}

eigmat_work alloc_eigmat_work(int n, int func) {
  eigmat_work ew = alloc_eigmat_work(n);
  if (func == 3) ew.sw = alloc_split_work(n);
  return ew;
}

int eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, eigmat_work& ew) {
  return eigmat(n, a, eigval, eigvec, ew, program_solver_control());
}

namespace {

// The split's C^-1 e_0 moved into the order of the sorted eigenvectors
// (sorted position k holds the unsorted column es.order[k]).
void sorted_first_inv(int n, eigmat_work& ew) {
  ensure_length(ew.first_inv, static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) ew.first_inv[k] = ew.sw.first_inv[n < 2 ? k : ew.es.order[k]];
  ew.have_first_inv = true;
}

}  // namespace

int eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, eigmat_work& ew,
           const solver_control& ctl) {
  const int func = ctl.eigmat_func;
  if (func < 0 || func > 3) fatal_out("$$ Invalid epsilon.eigmat_func=%d. Abort.\n", func);
  int use = func;
  ew.have_first_inv = false;
  if (func == 3) {
    dbg_mon(ctl.monitor, "$$ eigen values and vectors: hermitian split\n");
    if (split_eigmat(n, a, eigval, eigvec, ew.sw) == 0) {
      sort_eigval_eigvec(n, eigval, eigvec, ew.es);
      if (ew.sw.have_first_inv) sorted_first_inv(n, ew);
    } else {
      // Coupling too strong for the split: the faster exact solver for
      // this order.
      ++ew.split_fallbacks;
      use = n >= kZgeevFromBeams ? 2 : 0;
    }
  }
  if (use == 2) {
    if (func == 2) dbg_mon(ctl.monitor, "$$ eigen values and vectors: zgeev\n");
    const int status = zgeev_eigmat(n, a, eigval, eigvec, ew.lw);
    if (status != 0) qz_fprintf(stdout, "$$ (eigmat): zgeev = %d\n", status);
  } else if (use != 3) {
    if (func != 3)
      dbg_mon(ctl.monitor, use == 0 ? "$$ eigen values and vectors: eispack_cg\n"
                                    : "$$ eigen values and vectors: eigen_c_mat\n");
    if (static_cast<int>(ew.copy.rows()) < n || static_cast<int>(ew.copy.cols()) < n)
      ew.copy = CMatrix(static_cast<std::size_t>(n), static_cast<std::size_t>(n));
    // The solvers index rows by the scratch's own stride, so a larger
    // scratch serves a smaller matrix.
    CMatrix* work = &ew.copy;
    for (int i = 0; i < n; ++i) std::copy(a[i], a[i] + n, (*work)[i]);
    if (use == 0) {
      const int status = eispack_cg(n, ctl.eigen_eps, *work, eigval, eigvec, ew.es);
      if (status != 0) qz_fprintf(stdout, "$$ (eigmat): eispack_cg = %d\n", status);
    } else {
      const int status = eigen_c_mat(n, ctl.eigen_eps, 1, *work, eigval, eigvec, ew.es);
      if (status != 0) qz_fprintf(stdout, "$$ (eigmat): eigen_c_mat = %d\n", status);
    }
  }
  dbg_print_cvec(ctl.eigval_dump, " eigen values:", n, eigval);
  dbg_print_cmat(ctl.eigvec_dump, " eigen vectors", n, eigvec);
  return 0;
}

int eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec) {
  eigmat_work ew;
  ew.copy = CMatrix(static_cast<std::size_t>(std::max(n, 0)), static_cast<std::size_t>(std::max(n, 0)));
  if (epsilon.eigmat_func == 3) {
    ew.lw = alloc_lapack_work(n);
    ew.es = alloc_eigen_scratch(n);
    ew.sw = alloc_split_work(n);
  } else if (epsilon.eigmat_func == 2)
    ew.lw = alloc_lapack_work(n);
  else
    ew.es = alloc_eigen_scratch(n);
  return eigmat(n, a, eigval, eigvec, ew);
}

}  // namespace kv
