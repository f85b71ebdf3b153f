#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"
#include "sim/error.hpp"
#include "support/run_program.hpp"

namespace kv {
namespace {

TEST(Complex, OverflowSafeModulus) {
  EXPECT_EQ(c_abs({3, 4}), 5.0);
  EXPECT_EQ(c_abs({4, 3}), 5.0);
  EXPECT_EQ(c_abs({0, -2}), 2.0);
  EXPECT_EQ(c_abs({-2, 0}), 2.0);
  const double big = c_abs({1e200, 1e200});
  EXPECT_TRUE(std::isfinite(big));
  EXPECT_NEAR(big / 1e200, std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(c_abs({1e-200, 3e-200}) / 1e-200, std::sqrt(10.0), 1e-14);
}

TEST(Complex, ScaledDivision) {
  complex q = c_div({1, 0}, {0, 2});
  EXPECT_EQ(q.re, 0.0);
  EXPECT_EQ(q.im, -0.5);
  q = c_div({1, 1}, {1, 1});
  EXPECT_EQ(q.re, 1.0);
  EXPECT_EQ(q.im, 0.0);
  // Large divisor components would overflow the textbook formula.
  q = c_div({1e300, 1e300}, {1e300, 1e300});
  EXPECT_NEAR(q.re, 1.0, 1e-15);
  EXPECT_NEAR(q.im, 0.0, 1e-15);
  const complex a{1.5, -2.25}, b{-0.3, 0.7};
  const complex back = c_mul(c_div(a, b), b);
  EXPECT_NEAR(back.re, a.re, 1e-14);
  EXPECT_NEAR(back.im, a.im, 1e-14);
}

TEST(Complex, PrincipalSquareRoot) {
  complex r = c_sqrt({-4, 0});
  EXPECT_EQ(r.re, 0.0);
  EXPECT_DOUBLE_EQ(r.im, 2.0);
  r = c_sqrt({-4, -0.0});
  EXPECT_EQ(r.re, 0.0);
  EXPECT_DOUBLE_EQ(r.im, 2.0);  // -0.0 passes the test im >= 0
  r = c_sqrt({-4, -1});
  EXPECT_LT(r.im, 0.0);
  EXPECT_GE(r.re, 0.0);
  r = c_sqrt({0, 2});
  EXPECT_NEAR(r.re, 1.0, 1e-15);
  EXPECT_NEAR(r.im, 1.0, 1e-15);
  r = c_sqrt({0, 0});
  EXPECT_EQ(r.re, 0.0);
  EXPECT_EQ(r.im, 0.0);
  for (complex z : {complex{2, 3}, complex{-2, 3}, complex{-2, -3}, complex{1e-8, -5}}) {
    const complex s = c_sqrt(z), sq = c_mul(s, s);
    EXPECT_GE(s.re, 0.0);
    EXPECT_NEAR(sq.re, z.re, 1e-12);
    EXPECT_NEAR(sq.im, z.im, 1e-12);
  }
}

TEST(Complex, ArgExpConj) {
  EXPECT_NEAR(c_arg({-1, 0}), M_PI, 1e-15);
  const complex e = c_exp({0, M_PI / 2});
  EXPECT_NEAR(e.re, 0.0, 1e-15);
  EXPECT_NEAR(e.im, 1.0, 1e-15);
  EXPECT_EQ(c_conj({1, 2}).im, -2.0);
}

CMatrix filled(int n, double seed) {
  CMatrix m(n, n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) m[i][j] = {std::sin(seed + i * 7 + j), std::cos(seed * 3 + i - 2 * j)};
  return m;
}

TEST(Matrix, ProductsAgreeWithEachOtherAndByHand) {
  CMatrix a(1, 1), b(1, 1);
  a[0][0] = {2, 1};
  b[0][0] = {0, 3};
  c_matmult2(1, a, b);
  EXPECT_EQ(a[0][0].re, -3.0);
  EXPECT_EQ(a[0][0].im, 6.0);

  const int n = 5;
  const CMatrix x = filled(n, 0.3), y = filled(n, 1.7);
  CMatrix z(n, n);
  c_matmult(n, n, n, z, x, y);
  CMatrix w = x;
  c_matmult2(n, w, y);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      complex s{0, 0};
      for (int k = 0; k < n; ++k) s = s + x[i][k] * y[k][j];
      EXPECT_NEAR(z[i][j].re, s.re, 1e-13);
      EXPECT_NEAR(z[i][j].im, s.im, 1e-13);
      EXPECT_EQ(w[i][j].re, z[i][j].re);
      EXPECT_EQ(w[i][j].im, z[i][j].im);
    }
  // Rectangular: (2 x 3)(3 x 1).
  CMatrix r(2, 3), c(3, 1), out(2, 1);
  for (int i = 0; i < 2; ++i)
    for (int k = 0; k < 3; ++k) r[i][k] = {double(i + k), 0};
  for (int k = 0; k < 3; ++k) c[k][0] = {0, 1};
  c_matmult(2, 1, 3, out, r, c);
  EXPECT_EQ(out[1][0].im, 1.0 + 2.0 + 3.0);
}

TEST(Matrix, CopySubtractAndPrintOrder) {
  const CMatrix a = filled(2, 0.1);
  CMatrix b(2, 2);
  c_matcopy2(2, a, b);
  c_matsub2(2, b, a);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_EQ(c_abs(b[i][j]), 0.0);

  CMatrix p(2, 2);
  p[0][1] = {1, 2};
  p[1][0] = {3, 4};
  kvtest::StringFile f("");
  fprint_complexmat(f.get(), 2, p);
  std::rewind(f.get());
  std::string text;
  char buf[128];
  while (std::fgets(buf, sizeof buf, f.get())) text += buf;
  EXPECT_EQ(text, "0\t0\t0\t0\n1\t0\t3\t4\n0\t1\t1\t2\n1\t1\t0\t0\n");
}

TEST(Matrix, StorageIsContiguousRowMajorAndEmptyIsValid) {
  CMatrix m(3, 4);
  EXPECT_EQ(&m[1][0], m.data() + 4);
  EXPECT_EQ(&m(2, 3), m.data() + 11);
  CMatrix none(0, 5);
  EXPECT_EQ(none.rows(), 0u);
  Tensor3<double> t(2, 3, 4);
  t(1, 2, 3) = 5;
  EXPECT_EQ(t(1, 2)[3], 5.0);
}

TEST(Matrix, ImpossibleAllocationIsTheOutOfMemoryMessage) {
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 64;
  try {
    CMatrix m(huge, 16);
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "Not enough memory for matrix.\n");
    EXPECT_EQ(e.channel(), Channel::err);
  }
  try {
    auto v = alloc_vector<complex>(huge * 16);
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "Not enough memory for vector.\n");
  }
}

}  // namespace
}  // namespace kv
