#pragma once
// Entry 1 of the interactive menu: the table of atomic scattering factors.

namespace kv {

// Runs the interactive comparison and returns the exit status of the run.
int run_asf_test();

}  // namespace kv
