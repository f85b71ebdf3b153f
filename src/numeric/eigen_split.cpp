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
void dsyevr_(const char* jobz, const char* range, const char* uplo, const int* n, double* a, const int* lda,
             const double* vl, const double* vu, const int* il, const int* iu, const double* abstol, int* m, double* w,
             double* z, const int* ldz, int* isuppz, double* work, const int* lwork, int* iwork, const int* liwork,
             int* info, std::size_t jobz_len, std::size_t range_len, std::size_t uplo_len);
void zheevr_(const char* jobz, const char* range, const char* uplo, const int* n, void* a, const int* lda,
             const double* vl, const double* vu, const int* il, const int* iu, const double* abstol, int* m, double* w,
             void* z, const int* ldz, int* isuppz, void* work, const int* lwork, double* rwork, const int* lrwork,
             int* iwork, const int* liwork, int* info, std::size_t jobz_len, std::size_t range_len,
             std::size_t uplo_len);
}

namespace kv {

namespace {

std::size_t sq(int n) { return static_cast<std::size_t>(n) * static_cast<std::size_t>(n); }

// Workspace sizes for the Hermitian solvers of any order up to n: the
// larger of what zheevr and zheevd ask for at n (each asks for less at a
// smaller order).
void hermitian_sizes(int n, int& lwork, int& lrwork, int& liwork) {
  std::vector<complex> a(std::max<std::size_t>(sq(n), 1)), z(a.size());
  std::vector<double> w(static_cast<std::size_t>(std::max(n, 1)));
  std::vector<int> isuppz(2 * w.size());
  complex qw{0, 0}, qd{0, 0};
  double qr = 0, qrd = 0, zero = 0;
  int qi = 0, qid = 0, info = 0, m1 = -1, found = 0, none = 0;
  const int lda = std::max(n, 1);
  zheevr_("V", "A", "L", &n, a.data(), &lda, &zero, &zero, &none, &none, &zero, &found, w.data(), z.data(), &lda,
          isuppz.data(), &qw, &m1, &qr, &m1, &qi, &m1, &info, 1, 1, 1);
  zheevd_("V", "L", &n, a.data(), &lda, w.data(), &qd, &m1, &qrd, &m1, &qid, &m1, &info, 1, 1);
  std::vector<double> ra(a.size()), rz(a.size());
  double qs = 0;
  int qis = 0;
  dsyevr_("V", "A", "L", &n, ra.data(), &lda, &zero, &zero, &none, &none, &zero, &found, w.data(), rz.data(), &lda,
          isuppz.data(), &qs, &m1, &qis, &m1, &info, 1, 1, 1);
  lwork = std::max({static_cast<int>(qw.re), static_cast<int>(qd.re), 2 * n + n * n});
  // The real work of zheevr and zheevd, and the work of dsyevr.
  lrwork = std::max({static_cast<int>(qr), static_cast<int>(qrd), static_cast<int>(qs), 26 * n,
                     1 + 5 * n + 2 * n * n});
  // Also the pivots of the cluster solves.
  liwork = std::max({qi, qid, qis, 10 * n + 3});
}

// Eigenvalues (ascending) into d and orthonormal eigenvectors into the
// column-major z of the Hermitian matrix whose lower triangle h holds (h is
// destroyed; zheevd works in place, so z may be h there). Returns the LAPACK
// info.
int hermitian_eigen(int n, complex* h, double* d, complex* z, split_work& sw) {
  int info = 0;
  const int lwork = static_cast<int>(sw.work.size()), lrwork = static_cast<int>(sw.rwork.size()),
            liwork = static_cast<int>(sw.iwork.size());
  if (n < kSplitMrrrBelow) {
    const double zero = 0;
    int found = 0, none = 0;
    zheevr_("V", "A", "L", &n, h, &n, &zero, &zero, &none, &none, &zero, &found, d, z, &n, sw.isuppz.data(),
            sw.work.data(), &lwork, sw.rwork.data(), &lrwork, sw.iwork.data(), &liwork, &info, 1, 1, 1);
    if (info == 0 && found != n) info = n + 1;
  } else {
    zheevd_("V", "L", &n, h, &n, d, sw.work.data(), &lwork, sw.rwork.data(), &lrwork, sw.iwork.data(), &liwork,
            &info, 1, 1);
    if (info == 0 && z != h) std::copy(h, h + sq(n), z);
  }
  return info;
}

// The 2 x 2 column-major matrix b in closed form: eigenvalues
// (a + d) / 2 +- w with w = sqrt(h^2 + b c), h = (a - d) / 2, the root taken
// on the side of h so that h + w suffers no cancellation (|h + w| is then at
// least |h| and |w|); vectors of unit length (h + w, c) and (b, -(h + w)).
// h + w vanishes only for a = d and b c = 0: the identity for a scalar
// block, and 1 (not diagonalisable) for a Jordan block. Most clusters of a
// zone-axis pattern are pairs, where LAPACK's set-up would cost more than
// the arithmetic.
int pair_eigen(const complex* b, complex* val, complex* vec) {
  const complex a = b[0], c = b[1], bb = b[2], d = b[3];
  const complex h = 0.5 * (a - d), mean = 0.5 * (a + d);
  complex w = c_sqrt(h * h + bb * c);
  if (h.re * w.re + h.im * w.im < 0) w = -w;
  const complex hw = h + w;
  val[0] = mean + w;
  val[1] = mean - w;
  if (hw.re == 0 && hw.im == 0) {
    if (c_norm2(bb) + c_norm2(c) > 0) return 1;
    vec[0] = complex{1, 0}, vec[1] = complex{0, 0}, vec[2] = complex{0, 0}, vec[3] = complex{1, 0};
    return 0;
  }
  const double f0 = 1.0 / std::sqrt(c_norm2(hw) + c_norm2(c));
  const double f1 = 1.0 / std::sqrt(c_norm2(bb) + c_norm2(hw));
  vec[0] = f0 * hw, vec[1] = f0 * c;
  vec[2] = f1 * bb, vec[3] = -(f1 * hw);
  return 0;
}

// The m x m column-major matrix b (destroyed) diagonalised into values val
// and vectors vec: pairs in closed form, larger blocks by zgeev; returns 0,
// or non-zero when the block could not be diagonalised.
int small_geev(int m, complex* b, complex* val, complex* vec, split_work& sw) {
  if (m == 2) return pair_eigen(b, val, vec);
  const int lwork = static_cast<int>(sw.block_work.size());
  int info = 0, one = 1;
  zgeev_("N", "V", &m, b, &m, val, nullptr, &one, vec, &m, sw.block_work.data(), &lwork, sw.block_rwork.data(),
         &info, 1, 1);
  return info;
}

// 1 / z for z well away from zero and infinity (a difference of eigenvalues
// of different clusters): one division instead of c_div's three.
complex reciprocal(complex z) {
  const double s = 1.0 / (z.re * z.re + z.im * z.im);
  return complex{z.re * s, -z.im * s};
}

// Columns s0..s0+m of the n x n column-major a times the m x m w, through
// n m values of scratch.
void columns_times(int n, complex* a, int s0, int m, const complex* w, complex* scratch) {
  const complex one{1, 0}, zero{0, 0};
  complex* cols = a + static_cast<std::size_t>(s0) * n;
  cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, m, m, &one, cols, n, w, m, &zero, scratch, n);
  std::copy(scratch, scratch + static_cast<std::size_t>(n) * m, cols);
}

// Rows s0..s0+m of the n x n column-major a: the m x m w times them.
void rows_times(int n, complex* a, int s0, int m, const complex* w, complex* scratch) {
  const complex one{1, 0}, zero{0, 0};
  cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, m, &one, w, m, a + s0, n, &zero, scratch, m);
  for (int j = 0; j < n; ++j)
    std::copy(scratch + static_cast<std::size_t>(j) * m, scratch + static_cast<std::size_t>(j + 1) * m,
              a + s0 + static_cast<std::size_t>(j) * n);
}

// u <- B u for the m x m column-major matrix b, with m values of scratch.
void apply_block(int m, const complex* b, complex* u, complex* scratch) {
  for (int i = 0; i < m; ++i) {
    complex s{0, 0};
    for (int l = 0; l < m; ++l) s += b[i + l * m] * u[l];
    scratch[i] = s;
  }
  std::copy(scratch, scratch + m, u);
}

// Solves X y = u for the n x n column-major X = I + P by y <- u - P y (the
// residual added to y); P is small, as the sweeps that built it contracted.
// Returns false when the residual does not fall to kFirstInvTol of u.
bool solve_unit_plus(int n, const complex* x, const complex* u, complex* y, complex* r) {
  double u_max = 0;
  for (int i = 0; i < n; ++i) u_max = std::max(u_max, std::fabs(u[i].re) + std::fabs(u[i].im));
  std::copy(u, u + n, y);
  if (u_max == 0) return true;
  const complex one{1, 0}, minus_one{-1, 0};
  double last = 0;
  for (int step = 0; step < kMaxFirstInvSteps; ++step) {
    std::copy(u, u + n, r);
    cblas_zgemv(CblasColMajor, CblasNoTrans, n, n, &minus_one, x, n, y, 1, &one, r, 1);
    double r_max = 0;
    for (int i = 0; i < n; ++i) {
      r_max = std::max(r_max, std::fabs(r[i].re) + std::fabs(r[i].im));
      y[i] += r[i];
    }
    if (!std::isfinite(r_max)) return false;
    if (r_max <= kFirstInvTol * u_max) return true;
    if (step > 3 && r_max > last) return false;
    last = r_max;
  }
  return false;
}

// Is the n x n column-major a complex symmetric, A^T = A, to rounding? A
// centrosymmetric crystal described from an inversion centre has real
// Fourier coefficients, and then its structure matrix is: the elastic part
// H = Re A and the absorptive part G = Im A are real symmetric matrices.
bool complex_symmetric(int n, const complex* a) {
  double largest = 0, asym = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const complex x = a[i + static_cast<std::size_t>(j) * n];
      largest = std::max(largest, std::fabs(x.re) + std::fabs(x.im));
      if (i > j) {
        const complex y = a[j + static_cast<std::size_t>(i) * n];
        asym = std::max(asym, std::fabs(x.re - y.re) + std::fabs(x.im - y.im));
      }
    }
  return asym <= kSymmetricTol * largest;
}

// The transform of a complex symmetric A (in sw.a) in real arithmetic:
// Re A = Q D Q^T by LAPACK dsyevr (real orthogonal Q), then
// M = Q^T A Q = D + i Q^T (Im A) Q by two real products. V = Q and M go to
// sw.v and sw.m as the complex route leaves them. Returns the LAPACK info.
int real_basis_transform(int n, split_work& sw) {
  const std::size_t N = static_cast<std::size_t>(n);
  double* h = sw.rh.data();
  double* g = sw.rg.data();
  double* q = sw.rq.data();
  double* t = sw.rt.data();
  for (std::size_t j = 0; j < N; ++j)
    for (std::size_t i = 0; i < N; ++i) {
      const complex x = sw.a[i + j * N], y = sw.a[j + i * N];
      h[i + j * N] = 0.5 * (x.re + y.re);
      g[i + j * N] = 0.5 * (x.im + y.im);
    }
  int info = 0, found = 0, none = 0;
  const double zero = 0;
  const int lwork = static_cast<int>(sw.rwork.size()), liwork = static_cast<int>(sw.iwork.size());
  dsyevr_("V", "A", "L", &n, h, &n, &zero, &zero, &none, &none, &zero, &found, sw.d.data(), q, &n, sw.isuppz.data(),
          sw.rwork.data(), &lwork, sw.iwork.data(), &liwork, &info, 1, 1, 1);
  if (info == 0 && found != n) info = n + 1;
  if (info != 0) return info;
  // K = Q^T G Q into h (dsyevr is done with it).
  cblas_dsymm(CblasColMajor, CblasLeft, CblasLower, n, n, 1.0, g, n, q, n, 0.0, t, n);
  cblas_dgemm(CblasColMajor, CblasTrans, CblasNoTrans, n, n, n, 1.0, q, n, t, n, 0.0, h, n);
  for (std::size_t j = 0; j < N; ++j)
    for (std::size_t i = 0; i < N; ++i) {
      sw.v[i + j * N] = complex{q[i + j * N], 0.0};
      sw.m[i + j * N] = complex{i == j ? sw.d[j] : 0.0, h[i + j * N]};
    }
  return 0;
}

}  // namespace

split_work alloc_split_work(int n) {
  split_work sw;
  const int N = std::max(n, 1);
  sw.n_max = n;
  for (std::vector<complex>* v : {&sw.a, &sw.v, &sw.m, &sw.x, &sw.y, &sw.tmp}) *v = alloc_vector<complex>(sq(N));
  sw.d = alloc_vector<double>(static_cast<std::size_t>(N));
  int lwork = 0, lrwork = 0, liwork = 0;
  hermitian_sizes(N, lwork, lrwork, liwork);
  for (std::vector<double>* v : {&sw.rh, &sw.rg, &sw.rq, &sw.rt}) *v = alloc_vector<double>(sq(N));
  sw.isuppz = alloc_vector<int>(static_cast<std::size_t>(2 * N));
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
  sw.u = alloc_vector<complex>(static_cast<std::size_t>(N));
  sw.first_inv = alloc_vector<complex>(static_cast<std::size_t>(N));
  return sw;
}

int split_eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, split_work& sw) {
  if (n < 1) return 0;
  if (n > sw.n_max) sw = alloc_split_work(n);
  sw.sweeps = 0;
  sw.largest_cluster = 0;
  sw.have_first_inv = false;
  const std::size_t N = static_cast<std::size_t>(n);
  auto at = [N](std::vector<complex>& v, int i, int j) -> complex& { return v[i + j * N]; };

  // Column-major copy of A.
  for (int i = 0; i < n; ++i) {
    const complex* row = a[i];
    for (int j = 0; j < n; ++j) at(sw.a, i, j) = row[j];
  }
  sw.real_basis = complex_symmetric(n, sw.a.data());
  if (sw.real_basis) {
    if (const int info = real_basis_transform(n, sw); info != 0) return -info;
  } else {
    // The lower triangle of the Hermitian part (in Y, free until the
    // sweeps), whose eigenvectors go to V.
    for (int j = 0; j < n; ++j)
      for (int i = j; i < n; ++i) {
        const complex aij = at(sw.a, i, j), aji = at(sw.a, j, i);
        at(sw.y, i, j) = complex{0.5 * (aij.re + aji.re), 0.5 * (aij.im - aji.im)};
      }
    if (const int info = hermitian_eigen(n, sw.y.data(), sw.d.data(), sw.v.data(), sw); info != 0) return -info;
    // M = V^H A V.
    const complex one{1, 0}, zero{0, 0};
    cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, sw.a.data(), n, sw.v.data(), n, &zero,
                sw.tmp.data(), n);
    cblas_zgemm(CblasColMajor, CblasConjTrans, CblasNoTrans, n, n, n, &one, sw.v.data(), n, sw.tmp.data(), n,
                &zero, sw.m.data(), n);
  }
  // V^H e_0, the right-hand side of the entrance condition in this basis.
  for (int j = 0; j < n; ++j) sw.u[j] = c_conj(at(sw.v, 0, j));
  const complex one{1, 0}, zero{0, 0};

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
      std::vector<int>& piv = sw.iwork;  // the Hermitian solver is done with it
      zgesv_(&m, &m, sw.block.data(), &m, piv.data(), sw.block_w.data(), &m, &info);
      if (info != 0) return 1;
    }
    // The right-hand side follows the basis: u_S <- W^-1 u_S.
    apply_block(m, sw.block_w.data(), &sw.u[s0], sw.small.data());
    // Columns s0..s0+m of M and V times W, then rows s0..s0+m of M times
    // W^-1 (tmp is free until the divisors).
    columns_times(n, sw.m.data(), s0, m, sw.block_v.data(), sw.tmp.data());
    columns_times(n, sw.v.data(), s0, m, sw.block_v.data(), sw.tmp.data());
    rows_times(n, sw.m.data(), s0, m, sw.block_w.data(), sw.tmp.data());
  }

  // The update's divisors 1 / (M_jj - M_kk) between states of different
  // clusters, once for all sweeps (tmp is free until the final product).
  for (int j = 0; j < n; ++j) {
    const complex mu_j = at(sw.m, j, j);
    const int cj = sw.cluster[j];
    for (int k = 0; k < n; ++k)
      at(sw.tmp, k, j) = sw.cluster[k] == cj ? complex{0, 0} : reciprocal(mu_j - at(sw.m, k, k));
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
      // T = (M X)_SS, read before the columns of X change and kept in Y for
      // the cluster's final solve (the rows of S are not updated below).
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) sw.small[i + j * m] = at(sw.y, s0 + i, s0 + j);
      // R_S = (M X)_S - X_S T over the rows outside S, in place in Y's
      // columns of S (X_SS = I, so the rows of S would give zero).
      complex* ys = &at(sw.y, 0, s0);
      const complex* xs = &at(sw.x, 0, s0);
      if (m == 1) {
        const complex t = sw.small[0];
        for (int k = 0; k < n; ++k) ys[k] -= xs[k] * t;
      } else {
        const complex minus_one{-1, 0};
        cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, n, m, m, &minus_one, xs, n, sw.small.data(), m,
                    &one, ys, n);
      }
      // P_kS += R_kS (T - M_kk)^-1, elementwise with the divisors.
      for (int j = s0; j < s1; ++j) {
        const complex* rj = &at(sw.y, 0, j);
        const complex* inv = &at(sw.tmp, 0, j);
        complex* xj = &at(sw.x, 0, j);
        for (int k = 0; k < n; ++k) {
          if (k >= s0 && k < s1) continue;
          const complex delta = rj[k] * inv[k];
          step = std::max(step, std::fabs(delta.re) + std::fabs(delta.im));
          xj[k] += delta;
        }
      }
      for (int j = 0; j < m; ++j)
        for (int i = 0; i < m; ++i) at(sw.y, s0 + i, s0 + j) = sw.small[i + j * m];
    }
    if (!std::isfinite(step)) return 1;
    if (step < kSplitTol) break;
    if (sw.sweeps >= kMaxSweeps || (sw.sweeps > 3 && step > last)) return 1;
    last = step;
  }

  // X y = u for the entrance condition, while X is still I + P.
  sw.have_first_inv = solve_unit_plus(n, sw.x.data(), sw.u.data(), sw.first_inv.data(), sw.tmp.data());

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
    // y_S <- Z^-1 y_S for the cluster's block vectors Z.
    if (sw.have_first_inv) {
      std::copy(sw.block_v.begin(), sw.block_v.begin() + static_cast<std::ptrdiff_t>(sq(m)), sw.block.begin());
      int info = 0, one_rhs = 1;
      zgesv_(&m, &one_rhs, sw.block.data(), &m, sw.iwork.data(), &sw.first_inv[s0], &m, &info);
      if (info != 0) sw.have_first_inv = false;
    }
    columns_times(n, sw.x.data(), s0, m, sw.block_v.data(), sw.tmp.data());
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
    // Column j scaled by f: its component of C^-1 e_0 by 1 / f.
    sw.first_inv[j] = (1.0 / f) * sw.first_inv[j];
  }
  return 0;
}

}  // namespace kv
