#include "numeric/fft.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "sim/error.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;
// Longest transform: the tables of 2^30 points alone take 9 GB.
constexpr int kMaxLength = 1 << 30;

// sin(2 pi i / n) for i = 0 .. n + n/4 - 1 (the cosine is read a quarter
// period further on) and the bit-reversal permutation of the current length.
struct FftTables {
  int n = 0;
  std::vector<float> sintbl;
  std::vector<int> bitrev;
};

FftTables& tables() {
  static FftTables t;
  return t;
}

bool is_power_of_two(int n) { return n > 0 && (n & (n - 1)) == 0; }

// The sine table by the rotation recurrence in double precision, with the
// eighth-period value set exactly and the rest filled from the symmetries
// of the sine.
void make_sintbl(int n, std::vector<float>& sintbl) {
  const int n2 = n / 2, n4 = n / 4, n8 = n / 8;
  if (n < 4) {
    // Too short for the quarter-period lookup of the cosine; the butterfly
    // of these lengths does not read the table.
    for (int i = 0; i < n + n4; ++i) sintbl[i] = static_cast<float>(std::sin(2.0 * kPi * i / n));
    return;
  }
  double t = std::sin(kPi / n);
  double dc = 2.0 * t * t;
  double ds = std::sqrt(dc * (2.0 - dc));
  t = 2.0 * dc;
  double c = 1.0, s = 0.0;
  sintbl[n4] = 1.0f;
  sintbl[0] = 0.0f;
  for (int i = 1; i < n8; ++i) {
    c -= dc;
    dc += t * c;
    s += ds;
    ds -= t * s;
    sintbl[i] = static_cast<float>(s);
    sintbl[n4 - i] = static_cast<float>(c);
  }
  if (n8 != 0) sintbl[n8] = 0.70710677f;
  for (int i = 0; i < n4; ++i) sintbl[n2 - i] = sintbl[i];
  for (int i = 0; i < n2 + n4; ++i) sintbl[i + n2] = -sintbl[i];
}

void make_bitrev(int n, std::vector<int>& bitrev) {
  const int n2 = n / 2;
  int j = 0;
  bitrev[0] = 0;
  for (int i = 1; i < n; ++i) {
    int k = n2;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
    bitrev[i] = j;
  }
}

// Builds the tables for length n unless they are already held; false when
// they cannot be allocated.
bool ensure_tables(int n) {
  FftTables& tb = tables();
  if (tb.n == n) return true;
  tb.sintbl.clear();
  tb.sintbl.shrink_to_fit();
  tb.bitrev.clear();
  tb.bitrev.shrink_to_fit();
  tb.n = 0;
  try {
    tb.sintbl.assign(static_cast<std::size_t>(n + n / 4), 0.0f);
    tb.bitrev.assign(static_cast<std::size_t>(n), 0);
  } catch (const std::bad_alloc&) {
    tb.sintbl.clear();
    tb.bitrev.clear();
    return false;
  }
  make_sintbl(n, tb.sintbl);
  make_bitrev(n, tb.bitrev);
  tb.n = n;
  return true;
}

}  // namespace

int fft_table_length() { return tables().n; }

int fft1d(int dir, int n, float* x, float* y) {
  if (n < -kMaxLength || n > kMaxLength) fatal_out("$$ fft1d: length %d is not a power of two. Abort.\n", n);
  n = std::abs(n);
  if (n == 0) {
    FftTables& tb = tables();
    tb = FftTables{};
    return 0;
  }
  if (!is_power_of_two(n)) fatal_out("$$ fft1d: length %d is not a power of two. Abort.\n", n);
  if (!ensure_tables(n)) {
    std::fprintf(stderr, "$$ Not enough memory for sintbl or bitrev \n");
    return 1;
  }
  const bool inverse = dir == 1 || dir < 0;
  const FftTables& tb = tables();
  const float* sintbl = tb.sintbl.data();
  const int* bitrev = tb.bitrev.data();
  const int n4 = n / 4;

  for (int i = 0; i < n; ++i) {
    const int j = bitrev[i];
    if (i < j) {
      float t = x[i];
      x[i] = x[j];
      x[j] = t;
      t = y[i];
      y[i] = y[j];
      y[j] = t;
    }
  }
  if (n == 2) {
    // One butterfly with the twiddle factor 1.
    const float dx = x[1], dy = y[1];
    x[1] = x[0] - dx;
    x[0] += dx;
    y[1] = y[0] - dy;
    y[0] += dy;
  } else {
    for (int k = 1; k < n; k *= 2) {
      const int k2 = 2 * k;
      const int d = n / k2;
      int h = 0;
      for (int j = 0; j < k; ++j) {
        const float c = sintbl[h + n4];
        const float s = inverse ? -sintbl[h] : sintbl[h];
        for (int i = j; i < n; i += k2) {
          const int ik = i + k;
          const float dx = s * y[ik] + c * x[ik];
          const float dy = c * y[ik] - s * x[ik];
          x[ik] = x[i] - dx;
          x[i] += dx;
          y[ik] = y[i] - dy;
          y[i] += dy;
        }
        h += d;
      }
    }
  }
  if (!inverse) {
    for (int i = 0; i < n; ++i) {
      x[i] /= static_cast<float>(n);
      y[i] /= static_cast<float>(n);
    }
  }
  return 0;
}

namespace {

void fft1d_or_die(int dir, int n, float* x, float* y) {
  if (fft1d(dir, n, x, y) != 0) fatal_out("$$ error in fft1d\n");
}

}  // namespace

void fft2d_nxny(int dir, int nx, int ny, Matrix<float>& x, Matrix<float>& y) {
  for (int i = 0; i < nx; ++i) fft1d_or_die(dir, ny, x[i], y[i]);
  std::vector<float> cx = alloc_vector<float>(static_cast<std::size_t>(nx));
  std::vector<float> cy = alloc_vector<float>(static_cast<std::size_t>(nx));
  for (int j = 0; j < ny; ++j) {
    for (int i = 0; i < nx; ++i) {
      cx[i] = x[i][j];
      cy[i] = y[i][j];
    }
    fft1d_or_die(dir, nx, cx.data(), cy.data());
    for (int i = 0; i < nx; ++i) {
      x[i][j] = cx[i];
      y[i][j] = cy[i];
    }
  }
}

void fft3d_nxnynz(int dir, int nx, int ny, int nz, Tensor3<float>& x, Tensor3<float>& y) {
  Matrix<float> px(ny, nz), py(ny, nz);
  for (int i = 0; i < nx; ++i) {
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) {
        px[j][k] = x(i, j, k);
        py[j][k] = y(i, j, k);
      }
    fft2d_nxny(dir, ny, nz, px, py);
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k) {
        x(i, j, k) = px[j][k];
        y(i, j, k) = py[j][k];
      }
  }
  std::vector<float> lx = alloc_vector<float>(static_cast<std::size_t>(nx));
  std::vector<float> ly = alloc_vector<float>(static_cast<std::size_t>(nx));
  for (int j = 0; j < ny; ++j)
    for (int k = 0; k < nz; ++k) {
      for (int i = 0; i < nx; ++i) {
        lx[i] = x(i, j, k);
        ly[i] = y(i, j, k);
      }
      fft1d_or_die(dir, nx, lx.data(), ly.data());
      for (int i = 0; i < nx; ++i) {
        x(i, j, k) = lx[i];
        y(i, j, k) = ly[i];
      }
    }
}

}  // namespace kv
