#pragma once
// Diagnostic messages switched on by the korvex.ini flags.

namespace kv {

// The message as it is, flushed, when process_mon_flag is 1.
void dbg_mon(const char* message);
// The same when `on` is true: for code that has the flags as a value.
void dbg_mon(bool on, const char* message);

}  // namespace kv
