#include "numeric/eigen_split.hpp"

#include <algorithm>
#include <cmath>

#include <cblas.h>

#include "numeric/eigen.hpp"

// Fortran LAPACK entry points of the system library; character arguments
// carry their hidden lengths.
extern "C" {
void zheevd_(const char* jobz, const char* uplo, const int* n, void* a, const int* lda, double* w, void* work,
             const int* lwork, double* rwork, const int* lrwork, int* iwork, const int* liwork, int* info,
             std::size_t jobz_len, std::size_t uplo_len);
void zgeev_(const char* jobvl, const char* jobvr, const int* n, void* a, const int* lda, void* w, void* vl,
            const int* ldvl, void* vr, const int* ldvr, void* work, const int* lwork, double* rwork, int* info,
            std::size_t jobvl_len, std::size_t jobvr_len);
void zgesv_(const int* n, const int* nrhs, void* a, const int* lda, int* ipiv, void* b, const int* ldb, int* info);
}

namespace kv {

namespace {

std::size_t sq(int n) { return static_cast<std::size_t>(n) * static_cast<std::size_t>(n); }

// Workspace sizes zheevd asks for at order n.
void zheevd_sizes(int n, int& lwork, int& lrwork, int& liwork) {
  std::vector<complex> a(std::max<std::size_t>(sq(n), 1));
  std::vector<double> w(static_cast<std::size_t>(std::max(n, 1)));
  complex qw{0, 0};
  double qr = 0;
  int qi = 0, info = 0, m1 = -1;
  const int lda = std::max(n, 1);
  zheevd_("V", "L", &n, a.data(), &lda, w.data(), &qw, &m1, &qr, &m1, &qi, &m1, &info, 1, 1);
  lwork = std::max(static_cast<int>(qw.re), 2 * n + n * n);
  lrwork = std::max(static_cast<int>(qr), 1 + 5 * n + 2 * n * n);
  liwork = std::max(qi, 10 * n + 3);
}

// The m x m column-major matrix b (destroyed) diagonalised by zgeev into
// values val and vectors vec; returns the zgeev info.
int small_geev(int m, complex* b, complex* val, complex* vec, split_work& sw) {
  const int lwork = static_cast<int>(sw.block_work.size());
  int info = 0, one = 1;
  zgeev_("N", "V", &m, b, &m, val, nullptr, &one, vec, &m, sw.block_work.data(), &lwork, sw.block_rwork.data(),
         &info, 1, 1);
  return info;
}

}  // namespace

split_work alloc_split_work(int n) {
  split_work sw;
  const int N = std::max(n, 1);
  sw.n_max = n;
  for (std::vector<complex>* v : {&sw.a, &sw.v, &sw.m, &sw.x, &sw.y, &sw.tmp}) *v = alloc_vector<complex>(sq(N));
  sw.d = alloc_vector<double>(static_cast<std::size_t>(N));
  int lwork = 0, lrwork = 0, liwork = 0;
  zheevd_sizes(N, lwork, lrwork, liwork);
  sw.work = alloc_vector<complex>(static_cast<std::size_t>(lwork));
  sw.rwork = alloc_vector<double>(static_cast<std::size_t>(lrwork));
  sw.iwork = alloc_vector<int>(static_cast<std::size_t>(liwork));
  sw.start = alloc_vector<int>(static_cast<std::size_t>(N) + 1);
  sw.cluster = alloc_vector<int>(static_cast<std::size_t>(N));
  const int B = std::min(N, kMaxCluster);
  for (std::vector<complex>* v : {&sw.block, &sw.block_v, &sw.block_w, &sw.small}) *v = alloc_vector<complex>(sq(B));
  // zgeev at order B: 2 B complex suffices for vectors without balancing
  // trouble; give it the generous 4 B + B^2 once.
  sw.block_work = alloc_vector<complex>(static_cast<std::size_t>(4 * B + B * B));
  sw.block_rwork = alloc_vector<double>(static_cast<std::size_t>(2 * B));
  sw.val = alloc_vector<complex>(static_cast<std::size_t>(N));
  return sw;
}

int split_eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, split_work& sw) {
  if (n < 1) return 0;
  if (n > sw.n_max) sw = alloc_split_work(n);
  sw.sweeps = 0;
  sw.largest_cluster = 0;
  const std::size_t N = static_cast<std::size_t>(n);
  auto at = [N](std::vector<complex>& v, int i, int j) -> complex& { return v[i + j * N]; };

  // Column-major copy of A and its Hermitian part (lower triangle is what
  // zheevd reads; the whole matrix is written for clarity of the copy).
  for (int i = 0; i < n; ++i) {
    const complex* row = a[i];
    for (int j = 0; j < n; ++j) at(sw.a, i, j) = row[j];
  }
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) {
      const complex aij = at(sw.a, i, j), aji = at(sw.a, j, i);
      at(sw.v, i, j) = complex{0.5 * (aij.re + aji.re), 0.5 * (aij.im - aji.im)};
    }
  {
    int info = 0;
    const int lwork = static_cast<int>(sw.work.size()), lrwork = static_cast<int>(sw.rwork.size()),
              liwork = static_cast<int>(sw.iwork.size());
    zheevd_("V", "L", &n, sw.v.data(), &n, sw.d.data(), sw.work.data(), &lwork, sw.rwork.data(), &lrwork,
            sw.iwork.data(), &liwork, &info, 1, 1);
    if (info != 0) return -info;
  }

  // M = V^H A V.
  const complex one{1, 0}, zero{0, 0};
  cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, sw.a.data(), n, sw.v.data(), n, &zero,
              sw.tmp.data(), n);
  cblas_zgemm(CblasColMajor, CblasConjTrans, CblasNoTrans, n, n, n, &one, sw.v.data(), n, sw.tmp.data(), n,
              &zero, sw.m.data(), n);

  // The size of the absorptive coupling and the clusters of the elastic
  // eigenvalues (ascending from zheevd).
  double g2 = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      if (i != j) g2 = std::max(g2, c_norm2(at(sw.m, i, j)));
  const double g = std::sqrt(g2);
  const double gap = kClusterGap * g;
  int nc = 0;
  sw.start[nc++] = 0;
  for (int k = 1; k < n; ++k)
    if (sw.d[k] - sw.d[k - 1] >= gap) sw.start[nc++] = k;
  sw.start[nc] = n;
  for (int c = 0; c < nc; ++c) {
    const int m = sw.start[c + 1] - sw.start[c];
    sw.largest_cluster = std::max(sw.largest_cluster, m);
    if (m > kMaxCluster) return 2;
    for (int k = sw.start[c]; k < sw.start[c + 1]; ++k) sw.cluster[k] = c;
  }

  // Diagonalise each cluster's block of M exactly: M <- W^-1 M W and
  // V <- V W with W the block's eigenvectors.
  for (int c = 0; c < nc; ++c) {
    const int s0 = sw.start[c], m = sw.start[c + 1] - s0;
    if (m < 2) continue;
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) sw.block[i + j * m] = at(sw.m, s0 + i, s0 + j);
    if (small_geev(m, sw.block.data(), sw.val.data(), sw.block_v.data(), sw) != 0) return 1;
    // W^-1 by a solve with the identity.
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) {
        sw.block[i + j * m] = sw.block_v[i + j * m];
        sw.block_w[i + j * m] = complex{i == j ? 1.0 : 0.0, 0.0};
      }
    {
      int info = 0;
      std::vector<int>& piv = sw.iwork;  // zheevd is done with it
      zgesv_(&m, &m, sw.block.data(), &m, piv.data(), sw.block_w.data(), &m, &info);
      if (info != 0) return 1;
    }
    // Columns s0..s0+m of M and V times W.
    for (std::vector<complex>* mat : {&sw.m, &sw.v}) {
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < m; ++j) {
          complex s{0, 0};
          for (int l = 0; l < m; ++l) s += at(*mat, i, s0 + l) * sw.block_v[l + j * m];
          sw.small[j] = s;
        }
        for (int j = 0; j < m; ++j) at(*mat, i, s0 + j) = sw.small[j];
      }
    }
    // Rows s0..s0+m of M: W^-1 times them.
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < m; ++i) {
        complex s{0, 0};
        for (int l = 0; l < m; ++l) s += sw.block_w[i + l * m] * at(sw.m, s0 + l, j);
        sw.small[i] = s;
      }
      for (int i = 0; i < m; ++i) at(sw.m, s0 + i, j) = sw.small[i];
    }
  }

  // The update's divisors 1 / (M_jj - M_kk) between states of different
  // clusters, once for all sweeps (tmp is free until the final product).
  for (int j = 0; j < n; ++j) {
    const complex mu_j = at(sw.m, j, j);
    const int cj = sw.cluster[j];
    for (int k = 0; k < n; ++k)
      at(sw.tmp, k, j) = sw.cluster[k] == cj ? complex{0, 0} : c_div(complex{1, 0}, mu_j - at(sw.m, k, k));
  }

  // Sweeps of the invariant-subspace iteration, X = I + P.
  std::fill(sw.x.begin(), sw.x.begin() + static_cast<std::ptrdiff_t>(N * N), complex{0, 0});
  for (int k = 0; k < n; ++k) at(sw.x, k, k) = complex{1, 0};
  double last = 0;
  for (;;) {
    if (sw.sweeps == 0)
      std::copy(sw.m.begin(), sw.m.begin() + static_cast<std::ptrdiff_t>(N * N), sw.y.begin());
    else
      cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, sw.m.data(), n, sw.x.data(), n,
                  &zero, sw.y.data(), n);
    ++sw.sweeps;
    double step = 0;
    for (int c = 0; c < nc; ++c) {
      const int s0 = sw.start[c], s1 = sw.start[c + 1], m = s1 - s0;
      // T = (M X)_SS, read before the columns of X change.
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) sw.small[i + j * m] = at(sw.y, s0 + i, s0 + j);
      for (int j = s0; j < s1; ++j) {
        const complex* yj = &at(sw.y, 0, j);
        const complex* inv = &at(sw.tmp, 0, j);
        for (int k = 0; k < n; ++k) {
          if (k >= s0 && k < s1) continue;
          // R_kj = (M X)_kj - sum_l P_kl T_lj over the cluster.
          complex r = yj[k];
          for (int l = 0; l < m; ++l) r -= at(sw.x, k, s0 + l) * sw.small[l + (j - s0) * m];
          const complex delta = r * inv[k];
          step = std::max(step, std::fabs(delta.re) + std::fabs(delta.im));
          sw.y[k + j * N] = delta;  // held until every row of the cluster is done
        }
      }
      for (int j = s0; j < s1; ++j)
        for (int k = 0; k < n; ++k)
          if (k < s0 || k >= s1) at(sw.x, k, j) += at(sw.y, k, j);
      // Keep T for the cluster's final solve: the diagonal block of Y is
      // not overwritten above.
    }
    if (!std::isfinite(step)) return 1;
    if (step < kSplitTol) break;
    if (sw.sweeps >= kMaxSweeps || (sw.sweeps > 3 && step > last)) return 1;
    last = step;
  }

  // Each cluster's reduced matrix T (the diagonal block of the last M X)
  // gives the eigenvalues; its eigenvectors mix the cluster's columns of X.
  for (int c = 0; c < nc; ++c) {
    const int s0 = sw.start[c], m = sw.start[c + 1] - s0;
    if (m == 1) {
      sw.val[s0] = at(sw.y, s0, s0);
      continue;
    }
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) sw.block[i + j * m] = at(sw.y, s0 + i, s0 + j);
    if (small_geev(m, sw.block.data(), sw.val.data() + s0, sw.block_v.data(), sw) != 0) return 1;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < m; ++j) {
        complex s{0, 0};
        for (int l = 0; l < m; ++l) s += at(sw.x, i, s0 + l) * sw.block_v[l + j * m];
        sw.small[j] = s;
      }
      for (int j = 0; j < m; ++j) at(sw.x, i, s0 + j) = sw.small[j];
    }
  }

  // C = V X, columns of unit length, into the row-major output.
  cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, sw.v.data(), n, sw.x.data(), n, &zero,
              sw.tmp.data(), n);
  for (int j = 0; j < n; ++j) {
    const complex* col = &at(sw.tmp, 0, j);
    double s = 0;
    for (int i = 0; i < n; ++i) s += col[i].re * col[i].re + col[i].im * col[i].im;
    const double f = s > 0 ? 1.0 / std::sqrt(s) : 1.0;
    for (int i = 0; i < n; ++i) eigvec[i][j] = f * col[i];
    eigval[j] = sw.val[j];
  }
  return 0;
}

}  // namespace kv
