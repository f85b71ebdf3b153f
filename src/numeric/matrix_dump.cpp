#include "numeric/matrix_dump.hpp"

#include <cstdio>

namespace kv {

void dbg_print_cvec(int flag, const char* label, int n, const complex* v) {
  if (flag == 0) return;
  std::printf("$$%s\n", label);
  for (int k = 0; k < n; ++k) std::printf("%d\t%g\t%g\n", k, v[k].re, v[k].im);
}

void dbg_print_cmat(int flag, const char* label, int n, const CMatrix& a) {
  if (flag == 0) return;
  std::printf("$$%s\n", label);
  for (int c = 0; c < n; ++c)
    for (int r = 0; r < n; ++r) std::printf("%d\t%d\t%g\t%g\n", r, c, a[r][c].re, a[r][c].im);
}

}  // namespace kv
