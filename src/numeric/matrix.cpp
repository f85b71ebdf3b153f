#include "numeric/matrix.hpp"

#include "sim/qzio.hpp"

namespace kv {

void c_matcopy2(int n, const CMatrix& src, CMatrix& dst) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) dst[i][j] = src[i][j];
}

void c_matsub2(int n, CMatrix& a, const CMatrix& b) {
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = c_sub(a[i][j], b[i][j]);
}

void c_matmult(int l, int m, int k, CMatrix& c, const CMatrix& a, const CMatrix& b) {
  for (int i = 0; i < l; ++i) {
    for (int j = 0; j < m; ++j) {
      double sr = 0.0, si = 0.0;
      for (int q = 0; q < k; ++q) {
        const complex x = a[i][q], y = b[q][j];
        sr += x.re * y.re - x.im * y.im;
        si += x.im * y.re + x.re * y.im;
      }
      c[i][j] = complex{sr, si};
    }
  }
}

void c_matmult2(int n, CMatrix& a, const CMatrix& b) {
  CVector row = alloc_vector<complex>(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    for (int q = 0; q < n; ++q) row[q] = a[i][q];
    for (int j = 0; j < n; ++j) {
      double sr = 0.0, si = 0.0;
      for (int q = 0; q < n; ++q) {
        const complex x = row[q], y = b[q][j];
        sr += x.re * y.re - x.im * y.im;
        si += x.im * y.re + x.re * y.im;
      }
      a[i][j] = complex{sr, si};
    }
  }
}

void fprint_complexmat(FILE* fp, int n, const CMatrix& a) {
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) qz_fprintf(fp, "%d\t%d\t%g\t%g\n", r, c, a[r][c].re, a[r][c].im);
}

}  // namespace kv
