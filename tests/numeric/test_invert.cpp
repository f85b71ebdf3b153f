// Complex inversion: the full inverse (Crout) and the first column of the
// inverse for the boundary conditions, against LAPACK zgesv, with the
// singular cases, the selectors and the messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eigen_test_util.hpp"
#include "numeric/invert.hpp"
#include "sim/error.hpp"
#include "sim/runctl.hpp"

namespace kv {
namespace {

using test::copy_of;
using test::random_cmatrix;
using test::RunControlGuard;

// Random matrix made well conditioned by a diagonal shift.
CMatrix well_conditioned(int n, std::uint64_t seed) {
  CMatrix a = random_cmatrix(n, seed);
  for (int i = 0; i < n; ++i) a[i][i] = a[i][i] + complex{2.0 * std::sqrt(static_cast<double>(n)), 0.5};
  return a;
}

double max_abs_diff(int n, const CMatrix& a, const CMatrix& b) {
  double d = 0.0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) d = std::max(d, c_abs(a[i][j] - b[i][j]));
  return d;
}

double max_abs(int n, const CMatrix& a) {
  double d = 0.0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) d = std::max(d, c_abs(a[i][j]));
  return d;
}

class Orders : public ::testing::TestWithParam<int> {};

TEST_P(Orders, InverseTimesMatrixIsIdentityAndMatchesZgesv) {
  const int n = GetParam();
  const CMatrix a = well_conditioned(n, 100 + n);
  CMatrix inv = copy_of(a);
  ASSERT_EQ(inv_c_mat(n, 1e-8, inv), 0);
  CMatrix prod(n, n), id(n, n);
  c_matmult(n, n, n, prod, a, inv);
  for (int i = 0; i < n; ++i) id[i][i] = complex{1.0, 0.0};
  EXPECT_LT(max_abs_diff(n, prod, id), 1e-12);
  c_matmult(n, n, n, prod, inv, a);
  EXPECT_LT(max_abs_diff(n, prod, id), 1e-12);
#ifdef KV_HAVE_LAPACKE
  const CMatrix ref = test::zgesv_inverse(n, a);
  EXPECT_LT(max_abs_diff(n, inv, ref), 1e-12 * max_abs(n, ref));
#endif
}

TEST_P(Orders, FirstColumnSolverMatchesZgesv) {
  const int n = GetParam();
  // Plain random matrices too: the solver pivots, nothing makes them easy.
  for (bool shifted : {false, true}) {
    const CMatrix a = shifted ? well_conditioned(n, 200 + n) : random_cmatrix(n, 300 + n);
    CMatrix m = copy_of(a);
    std::vector<complex> x(n);
    int status = -1;
    inverse(n, m, x.data(), 1e-8, status);
    EXPECT_EQ(status, 0);
    // Residual of a x = e_0.
    double res = 0.0;
    for (int i = 0; i < n; ++i) {
      complex s{};
      for (int j = 0; j < n; ++j) s = s + a[i][j] * x[j];
      res = std::max(res, c_abs(s - complex{i == 0 ? 1.0 : 0.0, 0.0}));
    }
    EXPECT_LT(res, 1e-12) << (shifted ? "shifted" : "plain");
#ifdef KV_HAVE_LAPACKE
    const CMatrix ref = test::zgesv_inverse(n, a);
    double scale = 0.0, diff = 0.0;
    for (int i = 0; i < n; ++i) {
      scale = std::max(scale, c_abs(ref[i][0]));
      diff = std::max(diff, c_abs(x[i] - ref[i][0]));
    }
    EXPECT_LT(diff, 1e-12 * scale) << (shifted ? "shifted" : "plain");
#endif
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Orders, ::testing::Values(1, 2, 3, 10, 50, 200));

TEST(InvCMat, SmallAndSpecialMatrices) {
  CMatrix one(1, 1);
  one[0][0] = complex{0.0, 2.0};
  ASSERT_EQ(inv_c_mat(1, 1e-8, one), 0);
  EXPECT_DOUBLE_EQ(one[0][0].re, 0.0);
  EXPECT_DOUBLE_EQ(one[0][0].im, -0.5);

  // Needs a row interchange at once: [[0, 1], [2, 0]]^-1 = [[0, 0.5], [1, 0]].
  CMatrix p(2, 2);
  p[0][1] = complex{1.0, 0.0};
  p[1][0] = complex{2.0, 0.0};
  ASSERT_EQ(inv_c_mat(2, 1e-8, p), 0);
  EXPECT_EQ(p[0][0].re, 0.0);
  EXPECT_EQ(p[0][1].re, 0.5);
  EXPECT_EQ(p[1][0].re, 1.0);
  EXPECT_EQ(p[1][1].re, 0.0);

  const int n = 5;
  CMatrix id(n, n);
  for (int i = 0; i < n; ++i) id[i][i] = complex{1.0, 0.0};
  ASSERT_EQ(inv_c_mat(n, 1e-8, id), 0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      EXPECT_EQ(id[i][j].re, i == j ? 1.0 : 0.0);
      EXPECT_EQ(id[i][j].im, 0.0);
    }
}

TEST(InvCMat, ReportsSingularColumnsAndInvalidArguments) {
  const int n = 4;
  CMatrix a = random_cmatrix(n, 401);
  for (int i = 0; i < n; ++i) a[i][0] = complex{};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(inv_c_mat(n, 1e-8, a), 1);  // failed in the first column
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "$$ Anomalous termination in inv_c_mat.\n");

  // Third column a combination of the first two: fails in column 3.
  CMatrix b = random_cmatrix(n, 402);
  for (int i = 0; i < n; ++i) b[i][2] = b[i][0] + complex{0.0, 2.0} * b[i][1];
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(inv_c_mat(n, 1e-8, b), 3);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "$$ Anomalous termination in inv_c_mat.\n");

  CMatrix c(2, 2);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(inv_c_mat(0, 1e-8, c), 30000);
  EXPECT_EQ(inv_c_mat(2, 0.0, c), 30000);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "$$ (inv_c_mat) invalid n or epsilon.\n$$ (inv_c_mat) invalid n or epsilon.\n");
}

TEST(Inverse, IdentityDiagonalAndPermutedSystems) {
  const int n = 6;
  CMatrix m(n, n);
  for (int i = 0; i < n; ++i) m[i][i] = complex{1.0, 0.0};
  std::vector<complex> x(n);
  int status = -1;
  inverse(n, m, x.data(), 1e-8, status);
  EXPECT_EQ(status, 0);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(x[i].re, i == 0 ? 1.0 : 0.0);
    EXPECT_EQ(x[i].im, 0.0);
  }

  CMatrix d(n, n);
  for (int i = 0; i < n; ++i) d[i][i] = complex{1.0 + i, -0.5 * i};
  d[0][0] = complex{0.0, 4.0};
  inverse(n, d, x.data(), 1e-8, status);
  EXPECT_EQ(status, 0);
  EXPECT_DOUBLE_EQ(x[0].re, 0.0);
  EXPECT_DOUBLE_EQ(x[0].im, -0.25);
  for (int i = 1; i < n; ++i) EXPECT_EQ(c_abs(x[i]), 0.0);

  // The equation carrying the 1 can only keep its place if another row
  // offers the pivot; here only it does, in the first column:
  // [[1, 0, 2], [0, 1, 0], [0, 0, 1]] x = e_0 has x = e_0.
  CMatrix t(3, 3);
  t[0][0] = complex{1.0, 0.0};
  t[0][2] = complex{2.0, 0.0};
  t[1][1] = complex{1.0, 0.0};
  t[2][2] = complex{1.0, 0.0};
  std::vector<complex> y(3);
  inverse(3, t, y.data(), 1e-8, status);
  EXPECT_EQ(status, 0);
  EXPECT_NEAR(c_abs(y[0] - complex{1.0, 0.0}), 0.0, 1e-15);
  EXPECT_NEAR(c_abs(y[1]), 0.0, 1e-15);
  EXPECT_NEAR(c_abs(y[2]), 0.0, 1e-15);
}

TEST(Inverse, SingularMatricesReportStatus) {
  const int n = 5;
  CMatrix a = random_cmatrix(n, 501);
  for (int j = 0; j < n; ++j) a[3][j] = a[1][j] + a[2][j];  // dependent rows
  std::vector<complex> x(n);
  int status = 0;
  inverse(n, a, x.data(), 1e-8, status);
  EXPECT_EQ(status, 30000);

  CMatrix z(1, 1);
  complex x1[1];
  inverse(1, z, x1, 1e-8, status);
  EXPECT_EQ(status, 30000);

  CMatrix zero(3, 3);
  std::vector<complex> x3(3);
  inverse(3, zero, x3.data(), 1e-8, status);
  EXPECT_EQ(status, 30000);
}

TEST(Dispatchers, InvmatReportsStatusAndRejectsUnknownRoutine) {
  RunControlGuard guard;
  dbg.process_mon_flag = 1;
  const int n = 3;
  CMatrix a = well_conditioned(n, 601);
  const CMatrix a0 = copy_of(a);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(invmat(n, a), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "$$ invmat: Numpack inv_c_mat()\n");
  CMatrix prod(n, n);
  c_matmult(n, n, n, prod, a0, a);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) EXPECT_NEAR(c_abs(prod[i][j] - complex{i == j ? 1.0 : 0.0, 0.0}), 0.0, 1e-13);

  dbg.process_mon_flag = 0;
  CMatrix s(n, n);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(invmat(n, s), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "$$ Anomalous termination in inv_c_mat.\n$$ (invmat): inv_c_mat = 1\n");

  epsilon.invmat_func = 1;
  CMatrix b = copy_of(a0);
  try {
    invmat(n, b);
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "$$ Invalid epsilon.invmat_func=1. Abort.\n");
    EXPECT_EQ(e.channel(), Channel::out);
    EXPECT_EQ(e.status(), 1);
  }
  EXPECT_EQ(max_abs_diff(n, b, a0), 0.0);  // stopped before any computation
}

TEST(Dispatchers, BcInvmatUsesTheRunControlToleranceAndSelector) {
  RunControlGuard guard;
  const int n = 4;
  CMatrix a = well_conditioned(n, 701);
  CMatrix m = copy_of(a);
  std::vector<complex> x(n), y(n);
  EXPECT_EQ(bc_invmat(n, m, x.data()), 0);
  CMatrix m2 = copy_of(a);
  int status = -1;
  inverse(n, m2, y.data(), 1e-8, status);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(x[i].re, y[i].re);
    EXPECT_EQ(x[i].im, y[i].im);
  }
  // A pivot of modulus 1e-3 is singular for inv_eps = 1e-2.
  epsilon.inv_eps = 1e-2;
  CMatrix small(1, 1);
  small[0][0] = complex{1e-3, 0.0};
  complex x1[1];
  EXPECT_EQ(bc_invmat(1, small, x1), 30000);

  epsilon.bc_invmat_func = 1;
  try {
    bc_invmat(n, m, x.data());
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "$$ Invalid epsilon.bc_invmat_func=1. Abort.\n");
    EXPECT_EQ(e.status(), 1);
  }
}

}  // namespace
}  // namespace kv
