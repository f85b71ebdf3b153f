// Eigen-solvers: both solvers against LAPACK zgeev on random and structured
// complex matrices (eigenvalue multisets, residuals, ordering, unit
// vectors), the steps of the balancing, the orderings, and the dispatcher's
// selector, messages and status reports.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "eigen_test_util.hpp"
#include "numeric/eigen.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"

namespace kv {
namespace {

using test::copy_of;
using test::frobenius;
using test::random_cmatrix;
using test::RunControlGuard;
using test::zc;

enum class Solver { eispack, cmat };

// Tolerance handed to the solvers in the accuracy tests: the absolute zero
// tests of the EISPACK route must sit at rounding level of the matrix.
double tight_tol(int n, const CMatrix& a) {
  const double f = frobenius(n, a);
  return f > 0.0 ? 1e-15 * f : 1e-15;
}

struct Decomposition {
  std::vector<complex> val;
  CMatrix vec;
  int status = 0;
};

Decomposition solve(Solver s, int n, const CMatrix& a, double tol) {
  Decomposition d;
  d.val.assign(static_cast<std::size_t>(n), complex{});
  d.vec = CMatrix(n, n);
  CMatrix work = copy_of(a);
  d.status = s == Solver::eispack ? eispack_cg(n, tol, work, d.val.data(), d.vec)
                                  : eigen_c_mat(n, tol, 1, work, d.val.data(), d.vec);
  return d;
}

void expect_decreasing_real_part(int n, const complex* val) {
  for (int k = 1; k < n; ++k) EXPECT_GE(val[k - 1].re, val[k].re) << "position " << k;
}

void expect_unit_columns(int n, const CMatrix& vec, double tol) {
  for (int j = 0; j < n; ++j) EXPECT_NEAR(test::column_norm(n, vec, j), 1.0, tol) << "column " << j;
}

// The full set of checks of one decomposition: residual of every pair,
// ordering, optionally unit columns, and the eigenvalue multiset against
// zgeev (relative to the eigenvalue, or to 1e-3 of the spectral radius for
// eigenvalues near zero).
void check_decomposition(Solver s, int n, const CMatrix& a, bool unit_columns, double val_tol = 1e-10,
                         double res_tol = 1e-12) {
  const Decomposition d = solve(s, n, a, tight_tol(n, a));
  EXPECT_EQ(d.status, s == Solver::cmat && n == 1 ? 1 : 0);
  EXPECT_LT(test::max_residual(n, a, d.val.data(), d.vec), res_tol);
  if (!(s == Solver::cmat && n == 1)) expect_decreasing_real_part(n, d.val.data());
  if (unit_columns) expect_unit_columns(n, d.vec, 1e-12);
#ifdef KV_HAVE_LAPACKE
  const std::vector<zc> ref = test::zgeev_values(n, a);
  ASSERT_EQ(ref.size(), static_cast<std::size_t>(n));
  double radius = 0.0;
  for (const zc& z : ref) radius = std::max(radius, std::abs(z));
  EXPECT_LT(test::multiset_error(n, d.val.data(), ref, 1e-3 * radius), val_tol);
#endif
}

class RandomMatrices : public ::testing::TestWithParam<int> {};

TEST_P(RandomMatrices, EispackAgreesWithZgeev) {
  const int n = GetParam();
  for (std::uint64_t seed : {11u, 12u}) check_decomposition(Solver::eispack, n, random_cmatrix(n, seed + n), true);
}

TEST_P(RandomMatrices, EigenCMatAgreesWithZgeev) {
  const int n = GetParam();
  for (std::uint64_t seed : {21u, 22u}) check_decomposition(Solver::cmat, n, random_cmatrix(n, seed + n), true);
}

TEST(RandomMatrices, SmallNormMatrixGivesUnitVectors) {
  // Every eigenvalue is of order 1e-5, so |lambda|^2 is below the default
  // tolerance: no vector may come back from the triangular form scaled by
  // its eigenvalue, or it would escape the normalisation.
  const int n = 10;
  CMatrix a = random_cmatrix(n, 301);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = 1e-5 * a[i][j];
  for (Solver s : {Solver::eispack, Solver::cmat}) {
    const Decomposition d = solve(s, n, a, 1e-8);
    expect_unit_columns(n, d.vec, 1e-12);
    EXPECT_LT(test::max_residual(n, a, d.val.data(), d.vec), 1e-3);
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, RandomMatrices, ::testing::Values(1, 2, 3, 10, 50, 200));

// A = X diag(d) X^-1 with X random (well conditioned at this size).
CMatrix with_spectrum(const std::vector<complex>& d, std::uint64_t seed) {
  const int n = static_cast<int>(d.size());
  CMatrix x = random_cmatrix(n, seed);
  for (int i = 0; i < n; ++i) x[i][i] = x[i][i] + complex{2.0 * n, 0.0};
  CMatrix xinv = copy_of(x);
  // X^-1 by Gauss-Jordan with partial pivoting, independent of the code
  // under test.
  CMatrix e(n, n);
  for (int i = 0; i < n; ++i) e[i][i] = complex{1.0, 0.0};
  for (int k = 0; k < n; ++k) {
    int p = k;
    for (int i = k + 1; i < n; ++i)
      if (c_abs(xinv[i][k]) > c_abs(xinv[p][k])) p = i;
    for (int j = 0; j < n; ++j) {
      std::swap(xinv[k][j], xinv[p][j]);
      std::swap(e[k][j], e[p][j]);
    }
    const complex piv = xinv[k][k];
    for (int j = 0; j < n; ++j) {
      xinv[k][j] = xinv[k][j] / piv;
      e[k][j] = e[k][j] / piv;
    }
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      const complex f = xinv[i][k];
      for (int j = 0; j < n; ++j) {
        xinv[i][j] = xinv[i][j] - f * xinv[k][j];
        e[i][j] = e[i][j] - f * e[k][j];
      }
    }
  }
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      complex s{0.0, 0.0};
      for (int k = 0; k < n; ++k) s = s + x[i][k] * d[k] * e[k][j];
      a[i][j] = s;
    }
  return a;
}

class BothSolvers : public ::testing::TestWithParam<Solver> {};

TEST_P(BothSolvers, HermitianGivesRealDecreasingValuesAndOrthonormalVectors) {
  const int n = 40;
  CMatrix b = random_cmatrix(n, 401);
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = b[i][j] + c_conj(b[j][i]);
  check_decomposition(GetParam(), n, a, true);
  const Decomposition d = solve(GetParam(), n, a, tight_tol(n, a));
  for (int k = 0; k < n; ++k) EXPECT_NEAR(d.val[k].im, 0.0, 1e-12 * frobenius(n, a));
  for (int j = 0; j < n; ++j)
    for (int k = j + 1; k < n; ++k) {
      zc s = 0.0;
      for (int i = 0; i < n; ++i) s += std::conj(test::to_std(d.vec[i][j])) * test::to_std(d.vec[i][k]);
      EXPECT_LT(std::abs(s), 1e-10) << "columns " << j << ", " << k;
    }
}

TEST_P(BothSolvers, DiagonalMatrixGivesSortedValuesAndFollowingUnitVectors) {
  const double diag[] = {0.5, -2.0, 3.0, 0.0, 1.25, -0.75};
  const int n = 6;
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i) a[i][i] = complex{diag[i], 0.1 * i};
  const Decomposition d = solve(GetParam(), n, a, 1e-8);
  const int expected_from[] = {2, 4, 0, 3, 5, 1};
  for (int k = 0; k < n; ++k) {
    EXPECT_DOUBLE_EQ(d.val[k].re, diag[expected_from[k]]);
    EXPECT_DOUBLE_EQ(d.val[k].im, 0.1 * expected_from[k]);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(c_abs(d.vec[i][k]), i == expected_from[k] ? 1.0 : 0.0, 1e-15);
  }
}

TEST_P(BothSolvers, TriangularMatricesHaveTheirDiagonalAsSpectrum) {
  const int n = 12;
  CMatrix upper = random_cmatrix(n, 501), lower = random_cmatrix(n, 502);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      if (j < i) upper[i][j] = complex{};
      if (j > i) lower[i][j] = complex{};
    }
  for (const CMatrix* a : {&upper, &lower}) {
    check_decomposition(GetParam(), n, *a, true);
    const Decomposition d = solve(GetParam(), n, *a, tight_tol(n, *a));
    std::vector<zc> diag;
    for (int i = 0; i < n; ++i) diag.push_back(test::to_std((*a)[i][i]));
    EXPECT_LT(test::multiset_error(n, d.val.data(), diag, 1e-3), 1e-10);
  }
}

TEST_P(BothSolvers, NearDegenerateEigenvaluesAreResolved) {
  // Pairs 1e-7 apart, with a well-conditioned basis.
  std::vector<complex> d;
  for (int k = 0; k < 10; ++k) {
    d.push_back(complex{0.3 * k - 1.0, 0.1 * k});
    d.push_back(complex{0.3 * k - 1.0 + 1e-7, 0.1 * k});
  }
  const int n = static_cast<int>(d.size());
  const CMatrix a = with_spectrum(d, 601);
  check_decomposition(GetParam(), n, a, true);
  const Decomposition dec = solve(GetParam(), n, a, tight_tol(n, a));
  std::vector<zc> ref;
  for (const complex& z : d) ref.push_back(test::to_std(z));
  EXPECT_LT(test::multiset_error(n, dec.val.data(), ref, 1e-3), 1e-9);
}

TEST_P(BothSolvers, ExactlyDegenerateEigenvaluesKeepIndependentVectors) {
  // A Hermitian matrix with a threefold eigenvalue: the three vectors must
  // span the eigenspace, not collapse onto one direction.
  const int n = 8;
  const double spectrum[] = {2.0, 2.0, 2.0, -1.0, 0.5, 3.0, -2.5, 1.0};
  CMatrix q = random_cmatrix(n, 701);
  // Orthonormalise the columns (modified Gram-Schmidt).
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < j; ++k) {
      zc s = 0.0;
      for (int i = 0; i < n; ++i) s += std::conj(test::to_std(q[i][k])) * test::to_std(q[i][j]);
      for (int i = 0; i < n; ++i) q[i][j] = q[i][j] - test::from_std(s) * q[i][k];
    }
    const double nrm = test::column_norm(n, q, j);
    for (int i = 0; i < n; ++i) q[i][j] = (1.0 / nrm) * q[i][j];
  }
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      complex s{};
      for (int k = 0; k < n; ++k) s = s + spectrum[k] * (q[i][k] * c_conj(q[j][k]));
      a[i][j] = s;
    }
  const Decomposition d = solve(GetParam(), n, a, 1e-8);
  EXPECT_LT(test::max_residual(n, a, d.val.data(), d.vec), 1e-8);
  int first = -1;
  for (int k = 0; k < n; ++k)
    if (std::fabs(d.val[k].re - 2.0) < 1e-6) {
      if (first < 0) first = k;
    }
  ASSERT_EQ(first, 1);  // 3.0 comes first
  for (int j = first; j < first + 3; ++j)
    for (int k = j + 1; k < first + 3; ++k) {
      zc s = 0.0;
      for (int i = 0; i < n; ++i) s += std::conj(test::to_std(d.vec[i][j])) * test::to_std(d.vec[i][k]);
      EXPECT_LT(std::abs(s), 0.5) << "vectors " << j << " and " << k << " nearly parallel";
    }
}

TEST_P(BothSolvers, NearlyDefectiveMatrixStillGivesSmallResiduals) {
  // A Jordan-like block perturbed by 1e-12: the eigenvalues are only
  // determined to about sqrt(1e-12), but every computed pair must still be
  // an accurate pair of the matrix.
  const int n = 10;
  CMatrix a = random_cmatrix(n, 801);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = 1e-12 * a[i][j];
  for (int i = 0; i < n; ++i) a[i][i] = a[i][i] + complex{i < 3 ? 1.0 : 0.2 * i, 0.0};
  a[0][1] = a[0][1] + complex{1.0, 0.0};
  a[1][2] = a[1][2] + complex{1.0, 0.0};
  // The tiny elements make the balancing scale, so only the second solver
  // promises unit vectors here.
  check_decomposition(GetParam(), n, a, GetParam() == Solver::cmat, 1e-3);
}

TEST_P(BothSolvers, BadlyBalancedMatrixGivesVectorsOfTheOriginalMatrix) {
  // D B D^-1 with D spanning 1e-3 .. 1e3: row and column norms differ by
  // up to 1e6.
  const int n = 30;
  const CMatrix b = random_cmatrix(n, 901);
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = std::pow(10.0, 6.0 * (i - j) / (n - 1)) * b[i][j];
  if (GetParam() == Solver::eispack) {
    // Balanced first: accurate relative to each eigenvalue; the vectors are
    // unit before the balancing is undone, not after.
    check_decomposition(Solver::eispack, n, a, false, 1e-9);
    return;
  }
  // Without balancing the second solver is accurate relative to the norm of
  // the matrix only (as is zgeev without balancing).
  const Decomposition d = solve(Solver::cmat, n, a, tight_tol(n, a));
  EXPECT_LT(test::max_residual(n, a, d.val.data(), d.vec), 1e-8);
  expect_unit_columns(n, d.vec, 1e-12);
#ifdef KV_HAVE_LAPACKE
  EXPECT_LT(test::multiset_error(n, d.val.data(), test::zgeev_values(n, a), frobenius(n, a)), 1e-7);
#endif
}

// Structure-matrix pattern: large real diagonal spread (excitation
// errors), Hermitian Fourier coefficients off the diagonal and a small
// Hermitian absorptive part times i.
CMatrix structure_like_matrix(int n) {
  const CMatrix u = random_cmatrix(n, 1000 + n), w = random_cmatrix(n, 2000 + n);
  std::mt19937_64 gen(3000 + n);
  std::uniform_real_distribution<double> sg(-40.0, 40.0);
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      const complex v = 0.05 * (u[i][j] + c_conj(u[j][i]));
      const complex ab = 0.002 * (w[i][j] + c_conj(w[j][i]));
      a[i][j] = v + complex{0.0, 1.0} * ab;
      a[j][i] = c_conj(v) + complex{0.0, 1.0} * c_conj(ab);
    }
  for (int i = 0; i < n; ++i) a[i][i] = complex{i == 0 ? 0.0 : sg(gen), a[i][i].im};
  return a;
}

TEST_P(BothSolvers, BlochWaveLikeMatrices) {
  for (int n : {20, 120}) {
    const CMatrix a = structure_like_matrix(n);
    check_decomposition(GetParam(), n, a, true);
  }
}

INSTANTIATE_TEST_SUITE_P(Solvers, BothSolvers, ::testing::Values(Solver::eispack, Solver::cmat),
                         [](const ::testing::TestParamInfo<Solver>& info) {
                           return std::string(info.param == Solver::eispack ? "eispack" : "cmat");
                         });

// Structure matrix H + i G: Hermitian elastic part with the real spectrum d
// (a random unitary basis), Hermitian absorptive part G of size `absorption`.
CMatrix hermitian_split_matrix(const std::vector<double>& d, double absorption, std::uint64_t seed) {
  const int n = static_cast<int>(d.size());
  // Orthonormal basis by Gram-Schmidt on random columns.
  CMatrix q = random_cmatrix(n, seed);
  for (int j = 0; j < n; ++j) {
    for (int k = 0; k < j; ++k) {
      complex p{0, 0};
      for (int i = 0; i < n; ++i) p = p + c_conj(q[i][k]) * q[i][j];
      for (int i = 0; i < n; ++i) q[i][j] = q[i][j] - p * q[i][k];
    }
    const double s = 1.0 / test::column_norm(n, q, j);
    for (int i = 0; i < n; ++i) q[i][j] = s * q[i][j];
  }
  const CMatrix w = random_cmatrix(n, seed + 1);
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      complex h{0, 0};
      for (int k = 0; k < n; ++k) h = h + q[i][k] * d[k] * c_conj(q[j][k]);
      const complex g = 0.5 * absorption * (w[i][j] + c_conj(w[j][i]));
      a[i][j] = h + complex{0.0, 1.0} * g;
    }
  return a;
}

struct SplitResult {
  std::vector<complex> val;
  CMatrix vec;
  long fallbacks = 0;
  int largest_cluster = 0;
  bool have_first_inv = false;
  std::vector<complex> first_inv;  // C^-1 e_0 from the split's factors
  bool real_basis = false;         // split in real arithmetic
};

// Largest |C x - e_0| for the split's x = C^-1 e_0: the entrance condition
// solved from the factors must hold for the sorted vectors it is used with.
double first_inv_residual(int n, const SplitResult& r) {
  double worst = 0;
  for (int i = 0; i < n; ++i) {
    complex s{i == 0 ? -1.0 : 0.0, 0.0};
    for (int j = 0; j < n; ++j) s = s + r.vec[i][j] * r.first_inv[j];
    worst = std::max(worst, c_abs(s));
  }
  return worst;
}

SplitResult split_solve(int n, const CMatrix& a) {
  solver_control ctl;
  ctl.eigmat_func = 3;
  eigmat_work ew = alloc_eigmat_work(n, 3);
  SplitResult r;
  r.val.assign(static_cast<std::size_t>(n), complex{});
  r.vec = CMatrix(n, n);
  EXPECT_EQ(eigmat(n, a, r.val.data(), r.vec, ew, ctl), 0);
  r.fallbacks = ew.split_fallbacks;
  r.largest_cluster = ew.sw.largest_cluster;
  r.have_first_inv = ew.have_first_inv;
  r.real_basis = ew.sw.real_basis;
  if (r.have_first_inv) r.first_inv.assign(ew.first_inv.begin(), ew.first_inv.begin() + n);
  return r;
}

// The Hermitian split against the general solver: residuals at rounding
// level, sorted values, unit vectors, the zgeev spectrum, and the entrance
// condition from its factors; the split must have done the work itself (no
// hand-over to zgeev). 230 takes the divide-and-conquer Hermitian solver,
// the smaller orders MRRR.
TEST(HermitianSplit, AgreesWithTheGeneralSolverOnStructureMatrices) {
  static_assert(kSplitMrrrBelow > 120 && kSplitMrrrBelow <= 230);
  for (int n : {1, 2, 20, 120, 230}) {
    const CMatrix a = structure_like_matrix(n);
    const SplitResult r = split_solve(n, a);
    EXPECT_EQ(r.fallbacks, 0) << n;
    ASSERT_TRUE(r.have_first_inv) << n;
    EXPECT_LT(first_inv_residual(n, r), 1e-11) << n;
    EXPECT_LT(test::max_residual(n, a, r.val.data(), r.vec), 1e-11) << n;
    expect_decreasing_real_part(n, r.val.data());
    expect_unit_columns(n, r.vec, 1e-12);
#ifdef KV_HAVE_LAPACKE
    EXPECT_LT(test::multiset_error(n, r.val.data(), test::zgeev_values(n, a), 1.0), 1e-11) << n;
#endif
  }
}

// Zone-axis symmetry makes exactly degenerate elastic eigenvalues, which the
// absorption splits: the degenerate states form one cluster, solved as a
// block, and the vectors still come out independent and accurate.
TEST(HermitianSplit, DegenerateElasticStatesAreSolvedAsOneCluster) {
  std::vector<double> d;
  for (int k = 0; k < 30; ++k) d.push_back(0.3 * (k / 4));  // quadruplets
  d.push_back(0.05);                                          // close to a quadruplet
  const int n = static_cast<int>(d.size());
  const CMatrix a = hermitian_split_matrix(d, 0.004, 77);
  const SplitResult r = split_solve(n, a);
  EXPECT_EQ(r.fallbacks, 0);
  EXPECT_GE(r.largest_cluster, 4);
  ASSERT_TRUE(r.have_first_inv);
  EXPECT_LT(first_inv_residual(n, r), 1e-11);
  EXPECT_LT(test::max_residual(n, a, r.val.data(), r.vec), 1e-11);
  expect_unit_columns(n, r.vec, 1e-12);
  // Independence: the Gram matrix of the vectors is well conditioned
  // (smallest singular value of V well away from zero shows as a
  // determinant of the 4 x 4 Gram blocks of each cluster).
  for (int c = 0; c + 4 <= n - 1; c += 4) {
    // The four eigenvectors whose values are nearest 0.3 (c / 4).
    std::vector<int> members;
    for (int j = 0; j < n; ++j)
      if (std::fabs(r.val[j].re - 0.3 * (c / 4)) < 0.02) members.push_back(j);
    ASSERT_EQ(members.size(), 4u) << "cluster " << c / 4;
    double off = 0;
    for (int x = 0; x < 4; ++x)
      for (int y = x + 1; y < 4; ++y) {
        complex p{0, 0};
        for (int i = 0; i < n; ++i) p = p + c_conj(r.vec[i][members[x]]) * r.vec[i][members[y]];
        off = std::max(off, c_abs(p));
      }
    EXPECT_LT(off, 0.99) << "cluster " << c / 4;
  }
#ifdef KV_HAVE_LAPACKE
  EXPECT_LT(test::multiset_error(n, r.val.data(), test::zgeev_values(n, a), 1.0), 1e-11);
#endif
}

// A centrosymmetric crystal seen from its inversion centre: real Fourier
// coefficients, so A = H + i G with H and G real symmetric. The split takes
// the real route there and must give what the general solver gives; a
// matrix that misses symmetry by more than rounding takes the complex
// route, with the same accuracy. The elastic spectrum has pairs (mirror
// symmetry) to exercise the clusters in the real basis too.
TEST(HermitianSplit, ComplexSymmetricMatricesTakeTheRealRoute) {
  for (int n : {3, 40, 150}) {
    std::mt19937_64 gen(4000 + n);
    std::uniform_real_distribution<double> u(-1.0, 1.0), sg(-40.0, 40.0);
    CMatrix a(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < i; ++j) a[i][j] = a[j][i] = complex{0.1 * u(gen), 0.004 * u(gen)};
    for (int i = 0; i < n; ++i) a[i][i] = complex{i == 0 ? 0.0 : sg(gen), 0.01};
    for (int i = 2; i + 1 < n; i += 6) a[i + 1][i + 1].re = a[i][i].re;  // degenerate pairs
    for (bool broken : {false, true}) {
      SCOPED_TRACE(testing::Message() << "n " << n << (broken ? " symmetry broken" : ""));
      CMatrix b = a;
      if (broken) b[n - 1][0].im += 1e-9;
      const SplitResult r = split_solve(n, b);
      EXPECT_EQ(r.real_basis, !broken);
      EXPECT_EQ(r.fallbacks, 0);
      ASSERT_TRUE(r.have_first_inv);
      EXPECT_LT(first_inv_residual(n, r), 1e-11);
      EXPECT_LT(test::max_residual(n, b, r.val.data(), r.vec), 1e-11);
      expect_decreasing_real_part(n, r.val.data());
      expect_unit_columns(n, r.vec, 1e-12);
#ifdef KV_HAVE_LAPACKE
      EXPECT_LT(test::multiset_error(n, r.val.data(), test::zgeev_values(n, b), 1.0), 1e-11);
#endif
    }
  }
}

// Absorption as strong as the elastic spread: the split cannot settle and
// hands the matrix to an exact solver (the EISPACK route at this order, with
// the default tolerance 1e-8).
TEST(HermitianSplit, StrongAbsorptionFallsBackToTheGeneralSolver) {
  std::vector<double> d;
  for (int k = 0; k < 60; ++k) d.push_back(0.01 * k);
  const int n = static_cast<int>(d.size());
  const CMatrix a = hermitian_split_matrix(d, 0.5, 91);
  const SplitResult r = split_solve(n, a);
  EXPECT_EQ(r.fallbacks, 1);
  EXPECT_FALSE(r.have_first_inv);  // the caller solves C x = e_0 itself
  EXPECT_LT(test::max_residual(n, a, r.val.data(), r.vec), 1e-8);
  expect_decreasing_real_part(n, r.val.data());
}

TEST(EigenScalars, PythagCdivCsroot) {
  EXPECT_DOUBLE_EQ(pythag(3.0, 4.0), 5.0);
  EXPECT_DOUBLE_EQ(pythag(-4.0, 3.0), 5.0);
  EXPECT_EQ(pythag(0.0, 0.0), 0.0);
  EXPECT_NEAR(pythag(1e300, 1e300) / 1e300, std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(pythag(1e-300, 1e-300) / 1e-300, std::sqrt(2.0), 1e-15);

  const complex q = cdiv_cg(complex{1.0, 2.0}, complex{3.0, -4.0});
  const zc ref = zc(1.0, 2.0) / zc(3.0, -4.0);
  EXPECT_NEAR(q.re, ref.real(), 1e-16);
  EXPECT_NEAR(q.im, ref.imag(), 1e-16);
  const complex big = cdiv_cg(complex{1e300, 1e300}, complex{1e300, -1e300});
  EXPECT_NEAR(big.re, 0.0, 1e-16);
  EXPECT_NEAR(big.im, 1.0, 1e-15);

  const complex r1 = csroot(complex{-4.0, 0.0});
  EXPECT_DOUBLE_EQ(r1.re, 0.0);
  EXPECT_DOUBLE_EQ(r1.im, 2.0);
  const complex r2 = csroot(complex{-4.0, -1.0});
  EXPECT_LT(r2.im, 0.0);
  const complex r0 = csroot(complex{0.0, 0.0});
  EXPECT_EQ(r0.re, 0.0);
  EXPECT_EQ(r0.im, 0.0);
  for (const complex x : {complex{3.0, 4.0}, complex{-3.0, 4.0}, complex{-3.0, -4.0}, complex{0.0, -2.0},
                          complex{5.0, 0.0}}) {
    const complex r = csroot(x);
    EXPECT_GE(r.re, 0.0);
    const complex sq = r * r;
    EXPECT_NEAR(sq.re, x.re, 1e-14);
    EXPECT_NEAR(sq.im, x.im, 1e-14);
  }
}

TEST(Balancing, ExchangeSwapsColumnsInLeadingRowsAndRowsInTrailingColumns) {
  const int n = 4;
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = complex{10.0 * i + j, 0.0};
  // 1-based: columns 2 and 4 in rows 1..3, rows 2 and 4 in columns 2..4.
  matexchange_rowcol(n, 2, 2, 3, 4, a);
  const double expect[4][4] = {{0, 3, 2, 1}, {10, 31, 32, 33}, {20, 23, 22, 21}, {30, 13, 12, 11}};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) EXPECT_EQ(a[i][j].re, expect[i][j]) << i << "," << j;
  CMatrix b = copy_of(a);
  matexchange_rowcol(n, 3, 1, 4, 3, b);  // j == m: nothing
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) EXPECT_EQ(b[i][j].re, a[i][j].re);
}

TEST(Balancing, IsolatesEveryRowOfADiagonalMatrix) {
  const int n = 5;
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i) a[i][i] = complex{1.0 + i, 0.0};
  a[0][1] = complex{1e-9, -1e-9};  // below eps: counts as zero
  std::vector<double> scale(n + 1);
  int low = 0, igh = 0;
  cbal(n, 1e-8, a, low, igh, scale.data());
  EXPECT_EQ(low, igh);
}

TEST(Balancing, ScalesByPowersOf16UntilNormsAreComparable) {
  const int n = 12;
  const CMatrix b = random_cmatrix(n, 1101);
  CMatrix a(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = std::pow(10.0, 6.0 * (i - j) / (n - 1)) * b[i][j];
  std::vector<double> scale(n + 1);
  int low = 0, igh = 0;
  cbal(n, 1e-8, a, low, igh, scale.data());
  ASSERT_EQ(low, 1);
  ASSERT_EQ(igh, n);
  for (int i = 1; i <= n; ++i) {
    const double l16 = std::log(scale[i]) / std::log(16.0);
    EXPECT_NEAR(l16, std::round(l16), 1e-12) << "scale " << i;
  }
  EXPECT_NE(scale[1], scale[n]);
  for (int i = 0; i < n; ++i) {
    double c = 0.0, r = 0.0;
    for (int j = 0; j < n; ++j) {
      if (j == i) continue;
      c += std::fabs(a[j][i].re) + std::fabs(a[j][i].im);
      r += std::fabs(a[i][j].re) + std::fabs(a[i][j].im);
    }
    EXPECT_LT(std::max(c / r, r / c), 256.0) << "row/column " << i;
  }
  // Similarity by a diagonal: the balanced matrix is D^-1 A D.
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const double f = std::pow(10.0, 6.0 * (i - j) / (n - 1)) * scale[j + 1] / scale[i + 1];
      EXPECT_NEAR(a[i][j].re, f * b[i][j].re, 1e-12 * std::fabs(f));
    }
}

TEST(Orderings, InsertionSortIsStableAndMovesColumns) {
  const int n = 6;
  complex val[n] = {{1.0, 0.0}, {2.0, 1.0}, {1.0, 5.0}, {3.0, 0.0}, {2.0, -1.0}, {1.0, -5.0}};
  CMatrix vec(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) vec[i][j] = complex{static_cast<double>(j), static_cast<double>(i)};
  sort_eigval_eigvec(n, val, vec);
  const int from[n] = {3, 1, 4, 0, 2, 5};
  const double im[n] = {0.0, 1.0, -1.0, 0.0, 5.0, -5.0};
  for (int k = 0; k < n; ++k) {
    EXPECT_EQ(val[k].im, im[k]) << k;
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(vec[i][k].re, from[k]);
      EXPECT_EQ(vec[i][k].im, i);
    }
  }
}

TEST(Orderings, ExchangeSortsOrderByKeyAndDirection) {
  const int n = 9;
  std::mt19937_64 gen(1201);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  std::vector<complex> orig(n);
  for (auto& z : orig) z = complex{std::round(u(gen)), u(gen)};  // repeated real parts
  struct Case {
    bool by_norm;
    int dir;
  };
  for (const Case c : {Case{false, 1}, Case{false, -1}, Case{true, 1}, Case{true, -1}}) {
    std::vector<complex> val = orig;
    CMatrix vec(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) vec[i][j] = orig[j];
    if (c.by_norm)
      norm_csort(n, val.data(), vec, c.dir);
    else
      re_part_csort(n, val.data(), vec, c.dir);
    auto key = [&](complex z) { return (c.by_norm ? c_norm2(z) : z.re) * (c.dir < 0 ? -1.0 : 1.0); };
    for (int k = 1; k < n; ++k) EXPECT_GE(key(val[k - 1]), key(val[k]));
    for (int k = 0; k < n; ++k)
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(vec[i][k].re, val[k].re);
        EXPECT_EQ(vec[i][k].im, val[k].im);
      }
    std::vector<zc> ref;
    for (const complex& z : orig) ref.push_back(test::to_std(z));
    EXPECT_EQ(test::multiset_error(n, val.data(), ref, 1.0), 0.0);
  }
}

TEST(EigenCMat, ModesSelectVectorsAndOrdering) {
  const int n = 15;
  const CMatrix a = random_cmatrix(n, 1301);
  const double tol = tight_tol(n, a);
  const Decomposition full = solve(Solver::cmat, n, a, tol);
  std::vector<zc> ref;
  for (const complex& z : full.val) ref.push_back(test::to_std(z));
  for (int mode : {0, -1, 2, -2}) {
    std::vector<complex> val(n);
    CMatrix vec(n, n), work = copy_of(a);
    ASSERT_EQ(eigen_c_mat(n, tol, mode, work, val.data(), vec), 0);
    EXPECT_LT(test::multiset_error(n, val.data(), ref, 1e-3), 1e-12) << "mode " << mode;
    for (int k = 1; k < n; ++k) {
      if (mode == -1) {
        EXPECT_LE(val[k - 1].re, val[k].re);
      } else if (mode == 2) {
        EXPECT_GE(c_norm2(val[k - 1]), c_norm2(val[k]));
      } else if (mode == -2) {
        EXPECT_LE(c_norm2(val[k - 1]), c_norm2(val[k]));
      }
    }
    if (mode != 0) {
      EXPECT_LT(test::max_residual(n, a, val.data(), vec), 1e-12) << "mode " << mode;
    }
  }
}

TEST(EigenCMat, RejectsInvalidArgumentsAndHandlesTrivialCases) {
  CMatrix a(2, 2), vec(2, 2);
  complex val[2];
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(eigen_c_mat(0, 1e-8, 1, a, val, vec), 3);
  EXPECT_EQ(eigen_c_mat(2, 0.0, 1, a, val, vec), 3);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "$$ (eigen_c_mat) invalid n or epsilon.\n$$ (eigen_c_mat) invalid n or epsilon.\n");

  // A negligible matrix: its diagonal, identity vectors, no sorting.
  a[0][0] = complex{-1e-10, 0.0};
  a[1][1] = complex{2e-10, 1e-11};
  a[0][1] = complex{1e-10, 0.0};
  EXPECT_EQ(eigen_c_mat(2, 1e-8, 1, a, val, vec), 1);
  EXPECT_EQ(val[0].re, -1e-10);
  EXPECT_EQ(val[1].re, 2e-10);
  EXPECT_EQ(vec[0][0].re, 1.0);
  EXPECT_EQ(vec[0][1].re, 0.0);
  EXPECT_EQ(vec[1][1].re, 1.0);
}

TEST(EigenCMat, ReportsNoConvergenceOnAPermutationCycle) {
  // The cyclic shift has all its eigenvalues on the unit circle and defeats
  // the plain shift strategy: no exceptional shifts, so 31 iterations fail.
  const int n = 4;
  CMatrix a(n, n), vec(n, n);
  for (int i = 0; i < n; ++i) a[(i + 1) % n][i] = complex{1.0, 0.0};
  complex val[n];
  EXPECT_EQ(eigen_c_mat(n, 1e-8, 1, a, val, vec), 30000);
}

TEST(Eispack, WeaklyCoupledEqualDiagonalPairConverges) {
  // Two-beam-like block at the Bragg condition: equal diagonal elements and
  // a coupling whose square is below the default tolerance.
  for (double b : {5e-5, 1e-6}) {
    CMatrix a(2, 2), vec(2, 2);
    a[0][0] = a[1][1] = complex{1.0, 0.0};
    a[0][1] = a[1][0] = complex{b, 0.0};
    complex val[2];
    ASSERT_EQ(eispack_cg(2, 1e-8, a, val, vec), 0);
    EXPECT_NEAR(val[0].re, 1.0 + b, 1e-15);
    EXPECT_NEAR(val[1].re, 1.0 - b, 1e-15);
    EXPECT_NEAR(c_abs(vec[0][0]), std::sqrt(0.5), 1e-8);
  }
}

TEST(Eispack, NonConvergenceIsReported) {
  RunControlGuard guard;
  // A NaN defeats every convergence test. With three rows or more the
  // iteration budget runs out and eigmat reports the index reached; with
  // two rows the exceptional shift cannot be formed and the run stops.
  CMatrix a(3, 3), vec(3, 3);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[i][j] = complex{1.0 + i, 0.5 * j};
  a[0][0] = complex{std::nan(""), 0.0};
  complex val[3];
  ::testing::internal::CaptureStdout();
  eigmat(3, a, val, vec);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "$$ (eigmat): eispack_cg = 3\n");

  CMatrix b(2, 2), vb(2, 2);
  b[0][0] = complex{std::nan(""), 0.0};
  b[0][1] = b[1][0] = b[1][1] = complex{1.0, 0.0};
  try {
    eispack_cg(2, 1e-8, b, val, vb);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "$$ en=2, abort.\n");
    EXPECT_EQ(e.channel(), Channel::out);
    EXPECT_EQ(e.status(), 1);
  }
}

TEST(Eigmat, DispatchesOnTheSelectorAndLeavesTheInputAlone) {
  RunControlGuard guard;
  const int n = 25;
  const CMatrix a = random_cmatrix(n, 1401);
  const CMatrix before = copy_of(a);
  for (int func : {0, 1}) {
    epsilon.eigmat_func = func;
    dbg.process_mon_flag = 1;
    std::vector<complex> val(n);
    CMatrix vec(n, n);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(eigmat(n, a, val.data(), vec), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              func == 0 ? "$$ eigen values and vectors: eispack_cg\n" : "$$ eigen values and vectors: eigen_c_mat\n");
    // Default tolerance 1e-8: accurate to about that level.
    EXPECT_LT(test::max_residual(n, a, val.data(), vec), 1e-8);
    expect_decreasing_real_part(n, val.data());
    expect_unit_columns(n, vec, 1e-12);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) ASSERT_EQ(a[i][j].re, before[i][j].re);
  }
}

TEST(Eigmat, RejectsAnUnknownSolver) {
  RunControlGuard guard;
  epsilon.eigmat_func = 4;
  CMatrix a(2, 2), vec(2, 2);
  complex val[2];
  try {
    eigmat(2, a, val, vec);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "$$ Invalid epsilon.eigmat_func=4. Abort.\n");
    EXPECT_EQ(e.channel(), Channel::out);
    EXPECT_EQ(e.status(), 1);
  }
}

TEST(Eigmat, ReportsSolverStatusAndDumps) {
  RunControlGuard guard;
  epsilon.eigmat_func = 1;
  dbg.eigval_dump_flag = 1;
  dbg.eigvec_dump_flag = 1;
  CMatrix a(1, 1), vec(1, 1);
  a[0][0] = complex{2.5, -1.0};
  complex val[1];
  ::testing::internal::CaptureStdout();
  eigmat(1, a, val, vec);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "$$ (eigmat): eigen_c_mat = 1\n$$ eigen values:\n0\t2.5\t-1\n$$ eigen vectors\n0\t0\t1\t0\n");

  // The cyclic shift that defeats the second solver converges on the
  // EISPACK route (its exceptional shifts break the cycle): no report.
  epsilon.eigmat_func = 0;
  dbg.eigval_dump_flag = 0;
  dbg.eigvec_dump_flag = 0;
  const int n = 4;
  CMatrix c(n, n), cv(n, n);
  for (int i = 0; i < n; ++i) c[(i + 1) % n][i] = complex{1.0, 0.0};
  complex cval[n];
  ::testing::internal::CaptureStdout();
  eigmat(n, c, cval, cv);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_LT(test::max_residual(n, c, cval, cv), 1e-8);
}

}  // namespace
}  // namespace kv
