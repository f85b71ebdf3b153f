#pragma once
// Diagnostic dumps of complex vectors and matrices on standard output,
// switched on by the caller's debug flag (korvex.ini).
#include "numeric/matrix.hpp"

namespace kv {

// "$$label" then one "k\tre\tim" line per element, when flag is non-zero.
void dbg_print_cvec(int flag, const char* label, int n, const complex* v);
// "$$label" then one "r\tc\tre\tim" line per element, column by column.
void dbg_print_cmat(int flag, const char* label, int n, const CMatrix& a);

}  // namespace kv
