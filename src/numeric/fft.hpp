#pragma once
// Single-precision complex fast Fourier transforms in one, two and three
// dimensions (radix 2, decimation in time), in place on separate arrays of
// real and imaginary parts.
//
// Conventions: the forward transform is X_k = (1/n) sum_j x_j exp(-2 pi i jk/n)
// (scaled by 1/n), the inverse (synthesis) x_j = sum_k X_k exp(+2 pi i jk/n)
// without scaling; the 2D and 3D transforms apply this along every axis.
// dir = 1 or dir < 0 selects the inverse transform, any other value the
// forward one.
//
// The sine and bit-reversal tables of the most recent length are kept for
// the life of the process and rebuilt when a call comes with another length,
// so the transforms are single-threaded.
#include "numeric/matrix.hpp"

namespace kv {

// Transforms |n| values of x (real parts) and y (imaginary parts). Returns 0,
// or 1 when the tables cannot be allocated (after
// "$$ Not enough memory for sintbl or bitrev \n" on standard error). n = 0
// releases the tables. A length that is not a power of two is fatal.
int fft1d(int dir, int n, float* x, float* y);
// Every row (length ny), then every column (length nx) of nx x ny matrices.
// A failing fft1d is fatal ("$$ error in fft1d\n").
void fft2d_nxny(int dir, int nx, int ny, Matrix<float>& x, Matrix<float>& y);
// Every (j, k) plane by fft2d_nxny, then every line along the first index.
void fft3d_nxnynz(int dir, int nx, int ny, int nz, Tensor3<float>& x, Tensor3<float>& y);

// The length the cached tables were built for (0 when none are held).
int fft_table_length();

}  // namespace kv
