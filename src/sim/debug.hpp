#pragma once
// Diagnostic dumps switched on by the korvex.ini flags.
#include "numeric/matrix.hpp"

namespace kv {

// The message as it is, flushed, when process_mon_flag is 1.
void dbg_mon(const char* message);
// "$$label" then one "k\tre\tim" line per element, when flag is non-zero.
void dbg_print_cvec(int flag, const char* label, int n, const complex* v);
// "$$label" then one "r\tc\tre\tim" line per element, column by column.
void dbg_print_cmat(int flag, const char* label, int n, const CMatrix& a);

}  // namespace kv
