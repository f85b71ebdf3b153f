#include "numeric/lapack.hpp"

#include <algorithm>
#include <cmath>

#include <cblas.h>

// Fortran LAPACK entry points of the system library (OpenBLAS ships LAPACK
// but not LAPACKE); character arguments carry their hidden lengths.
extern "C" {
void zgeev_(const char* jobvl, const char* jobvr, const int* n, void* a, const int* lda, void* w, void* vl,
            const int* ldvl, void* vr, const int* ldvr, void* work, const int* lwork, double* rwork, int* info,
            std::size_t jobvl_len, std::size_t jobvr_len);
void zgesv_(const int* n, const int* nrhs, void* a, const int* lda, int* ipiv, void* b, const int* ldb, int* info);
void openblas_set_num_threads(int num_threads);
}

namespace kv {

namespace {

// The workspace size zgeev asks for at order n (a workspace query).
int zgeev_lwork(int n) {
  if (n < 1) return 1;
  std::vector<complex> a(static_cast<std::size_t>(n) * n), w(n), vr(static_cast<std::size_t>(n) * n);
  std::vector<double> rwork(2 * static_cast<std::size_t>(n));
  complex query;
  const int lwork = -1;
  int info = 0, one = 1;
  zgeev_("N", "V", &n, a.data(), &n, w.data(), nullptr, &one, vr.data(), &n, &query, &lwork, rwork.data(), &info,
         1, 1);
  return std::max(2 * n, static_cast<int>(query.re));
}

// Stable insertion order by decreasing real part: order[k] is the index of
// the value that goes to position k (the rule of sort_eigval_eigvec).
void decreasing_re_order(int n, const complex* val, std::vector<int>& order) {
  for (int k = 0; k < n; ++k) {
    int pos = k;
    for (int j = 0; j < k; ++j)
      if (val[order[j]].re < val[k].re) {
        pos = j;
        break;
      }
    for (int j = k; j > pos; --j) order[j] = order[j - 1];
    order[pos] = k;
  }
}

}  // namespace

lapack_work alloc_lapack_work(int n) {
  lapack_work lw;
  const std::size_t N = n > 0 ? static_cast<std::size_t>(n) : 0;
  lw.n_max = n > 0 ? n : 0;
  lw.a = alloc_vector<complex>(N * N);
  lw.vr = alloc_vector<complex>(N * N);
  lw.w = alloc_vector<complex>(N);
  lw.work = alloc_vector<complex>(static_cast<std::size_t>(zgeev_lwork(n)));
  lw.rwork = alloc_vector<double>(2 * N);
  lw.ipiv = alloc_vector<int>(N);
  lw.order = alloc_vector<int>(N);
  return lw;
}

void blas_single_thread() { openblas_set_num_threads(1); }

int zgeev_eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, lapack_work& lw) {
  if (n < 1) return 0;
  if (n > lw.n_max) lw = alloc_lapack_work(n);
  // Column-major copy: element (i, j) at i + j n.
  for (int i = 0; i < n; ++i) {
    const complex* row = a[i];
    for (int j = 0; j < n; ++j) lw.a[i + static_cast<std::size_t>(j) * n] = row[j];
  }
  const int lwork = static_cast<int>(lw.work.size());
  int info = 0, one = 1;
  zgeev_("N", "V", &n, lw.a.data(), &n, lw.w.data(), nullptr, &one, lw.vr.data(), &n, lw.work.data(), &lwork,
         lw.rwork.data(), &info, 1, 1);
  if (info != 0) return info;
  decreasing_re_order(n, lw.w.data(), lw.order);
  // zgeev returns each vector with unit Euclidean norm; column k of eigvec
  // is vector order[k].
  for (int k = 0; k < n; ++k) {
    const int j = lw.order[k];
    eigval[k] = lw.w[j];
    const complex* v = lw.vr.data() + static_cast<std::size_t>(j) * n;
    for (int i = 0; i < n; ++i) eigvec[i][k] = v[i];
  }
  return 0;
}

int zgesv_first_column(int n, const CMatrix& m, complex* x, lapack_work& lw) {
  if (n < 1) return 0;
  if (n > lw.n_max) lw = alloc_lapack_work(n);
  for (int i = 0; i < n; ++i) {
    const complex* row = m[i];
    for (int j = 0; j < n; ++j) lw.a[i + static_cast<std::size_t>(j) * n] = row[j];
  }
  for (int i = 0; i < n; ++i) x[i] = complex{0.0, 0.0};
  x[0] = complex{1.0, 0.0};
  int info = 0, one = 1;
  zgesv_(&n, &one, lw.a.data(), &n, lw.ipiv.data(), x, &n, &info);
  return info;
}

int bethe_solve(int n_e, int n_b, const CMatrix& a, CMatrix& b, std::vector<complex>& bb, std::vector<complex>& y,
                std::vector<int>& ipiv) {
  for (int i = 0; i < n_e; ++i) std::copy(a[i], a[i] + n_e, b[i]);
  if (n_b < 1 || n_e < 1) return 0;
  const std::size_t nb = static_cast<std::size_t>(n_b), ne = static_cast<std::size_t>(n_e);
  if (bb.size() < nb * nb) bb.resize(nb * nb);
  if (y.size() < ne * nb) y.resize(ne * nb);
  if (ipiv.size() < nb) ipiv.resize(nb);
  // Row-major A_bb read as column-major is A_bb^T, and row-major A_eb
  // (n_e x n_b) read as column-major is A_eb^T. Solving A_bb^T Y^T = A_eb^T
  // therefore leaves Y = A_eb A_bb^-1 row-major in y, with no transposes.
  for (int i = 0; i < n_b; ++i) std::copy(a[n_e + i] + n_e, a[n_e + i] + n_e + n_b, bb.data() + i * nb);
  for (int i = 0; i < n_e; ++i) std::copy(a[i] + n_e, a[i] + n_e + n_b, y.data() + i * nb);
  int info = 0;
  zgesv_(&n_b, &n_e, bb.data(), &n_b, ipiv.data(), y.data(), &n_b, &info);
  if (info != 0) return info;
  // b <- b - Y A_be, A_be read in place from a.
  const complex minus_one{-1.0, 0.0}, one{1.0, 0.0};
  cblas_zgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n_e, n_e, n_b, &minus_one, y.data(), n_b, a[n_e],
              static_cast<int>(a.cols()), &one, b[0], static_cast<int>(b.cols()));
  return 0;
}

}  // namespace kv
