// The radix-2 transforms against a direct DFT in double precision, their
// scaling and direction conventions, and the multidimensional transforms
// against products of one-dimensional DFTs.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "numeric/fft.hpp"
#include "support/fatal.hpp"

using namespace kv;

namespace {

constexpr double kPi = 3.141592653589793;
using cd = std::complex<double>;

// X_k = scale sum_j x_j exp(sign 2 pi i jk / n).
std::vector<cd> dft(const std::vector<cd>& a, int sign, double scale) {
  const int n = static_cast<int>(a.size());
  std::vector<cd> out(n);
  for (int k = 0; k < n; ++k) {
    cd s = 0;
    for (int j = 0; j < n; ++j) s += a[j] * std::polar(1.0, sign * 2.0 * kPi * j * k / n);
    out[k] = scale * s;
  }
  return out;
}

std::vector<cd> random_signal(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<cd> a(n);
  for (auto& v : a) v = cd(static_cast<float>(u(gen)), static_cast<float>(u(gen)));
  return a;
}

// Runs fft1d on a copy of a (in float) and returns the result.
std::vector<cd> run_fft(int dir, int n_arg, const std::vector<cd>& a) {
  std::vector<float> x, y;
  for (const cd& v : a) x.push_back(static_cast<float>(v.real())), y.push_back(static_cast<float>(v.imag()));
  EXPECT_EQ(fft1d(dir, n_arg, x.data(), y.data()), 0);
  std::vector<cd> out;
  for (std::size_t i = 0; i < a.size(); ++i) out.emplace_back(x[i], y[i]);
  return out;
}

double max_diff(const std::vector<cd>& a, const std::vector<cd>& b) {
  double m = 0;
  for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
  return m;
}

}  // namespace

TEST(Fft1d, MatchesTheDirectTransformInBothDirectionsForEveryLength) {
  for (int n : {1, 2, 4, 8, 16, 32, 64, 256, 1024}) {
    const std::vector<cd> a = random_signal(n, 7u + static_cast<unsigned>(n));
    // Forward: exp(-...), divided by n. Inverse: exp(+...), unscaled.
    EXPECT_LT(max_diff(run_fft(0, n, a), dft(a, -1, 1.0 / n)), 2e-6 * std::log2(2.0 * n)) << "n = " << n;
    EXPECT_LT(max_diff(run_fft(1, n, a), dft(a, +1, 1.0)), 2e-6 * std::sqrt(double(n)) * std::log2(2.0 * n)) << "n = " << n;
    EXPECT_EQ(fft_table_length(), n);
  }
}

TEST(Fft1d, DirectionCodesAndNegativeLengths) {
  const std::vector<cd> a = random_signal(8, 3u);
  const std::vector<cd> inv = dft(a, +1, 1.0), fwd = dft(a, -1, 1.0 / 8);
  EXPECT_LT(max_diff(run_fft(-1, 8, a), inv), 1e-5);  // any negative dir is the inverse
  EXPECT_LT(max_diff(run_fft(2, 8, a), fwd), 1e-6);   // any other positive dir is the forward one
  EXPECT_LT(max_diff(run_fft(0, -8, a), fwd), 1e-6);  // the length is |n|
  EXPECT_LT(max_diff(run_fft(1, -8, a), inv), 1e-5);
}

TEST(Fft1d, ConstantImpulseAndRoundTrip) {
  for (int n : {4, 16, 128}) {
    const std::vector<cd> c(n, cd(2.5, -1.0));
    const std::vector<cd> f = run_fft(0, n, c);
    EXPECT_NEAR(f[0].real(), 2.5, 1e-6);
    EXPECT_NEAR(f[0].imag(), -1.0, 1e-6);
    for (int k = 1; k < n; ++k) EXPECT_LT(std::abs(f[k]), 1e-6) << k;

    std::vector<cd> imp(n, 0.0);
    imp[0] = 1.0;
    for (const cd& v : run_fft(1, n, imp)) EXPECT_LT(std::abs(v - cd(1.0, 0.0)), 1e-7);

    const std::vector<cd> a = random_signal(n, 11u);
    EXPECT_LT(max_diff(run_fft(1, n, run_fft(0, n, a)), a), 1e-5) << n;
  }
}

TEST(Fft1d, RejectsLengthsThatAreNotPowersOfTwoAndReleasesTablesAtZero) {
  std::vector<float> x(12, 1.0f), y(12, 0.0f);
  EXPECT_NE(kvtest::fatal_text([&] { fft1d(1, 12, x.data(), y.data()); }).find("not a power of two"),
            std::string::npos);
  // The most negative length has no magnitude in an int.
  EXPECT_NE(kvtest::fatal_text([&] { fft1d(1, std::numeric_limits<int>::min(), x.data(), y.data()); })
                .find("not a power of two"),
            std::string::npos);
  ASSERT_EQ(fft1d(1, 4, x.data(), y.data()), 0);
  EXPECT_EQ(fft_table_length(), 4);
  EXPECT_EQ(fft1d(1, 0, x.data(), y.data()), 0);
  EXPECT_EQ(fft_table_length(), 0);
}

TEST(Fft2d3d, MatchSeparableDirectTransformsWithUnequalAxes) {
  const int nx = 4, ny = 8, nz = 2;
  std::mt19937 gen(5u);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<cd> a(nx * ny * nz);
  for (auto& v : a) v = cd(static_cast<float>(u(gen)), static_cast<float>(u(gen)));
  auto idx = [&](int i, int j, int k) { return (i * ny + j) * nz + k; };

  // Direct 3D synthesis: sum over (p, q, r) of a exp(+2 pi i (ip/nx + jq/ny + kr/nz)).
  std::vector<cd> direct(a.size());
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) {
        cd s = 0;
        for (int p = 0; p < nx; ++p)
          for (int q = 0; q < ny; ++q)
            for (int r = 0; r < nz; ++r)
              s += a[idx(p, q, r)] *
                   std::polar(1.0, 2.0 * kPi * (double(i * p) / nx + double(j * q) / ny + double(k * r) / nz));
        direct[idx(i, j, k)] = s;
      }
  Tensor3<float> x(nx, ny, nz), y(nx, ny, nz);
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) x(i, j, k) = float(a[idx(i, j, k)].real()), y(i, j, k) = float(a[idx(i, j, k)].imag());
  fft3d_nxnynz(1, nx, ny, nz, x, y);
  double worst = 0;
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) worst = std::max(worst, std::abs(cd(x(i, j, k), y(i, j, k)) - direct[idx(i, j, k)]));
  EXPECT_LT(worst, 1e-4);
  // The forward 3D transform undoes it, with the factor 1/(nx ny nz).
  fft3d_nxnynz(0, nx, ny, nz, x, y);
  worst = 0;
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) worst = std::max(worst, std::abs(cd(x(i, j, k), y(i, j, k)) - a[idx(i, j, k)]));
  EXPECT_LT(worst, 1e-5);

  // 2D: rows along the second index, columns along the first.
  Matrix<float> mx(nx, ny), my(nx, ny);
  mx[1][3] = 1.0f;  // impulse at (1, 3)
  fft2d_nxny(1, nx, ny, mx, my);
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j) {
      const cd want = std::polar(1.0, 2.0 * kPi * (double(i) / nx + 3.0 * j / ny));
      EXPECT_LT(std::abs(cd(mx[i][j], my[i][j]) - want), 1e-6) << i << " " << j;
    }
}
