#pragma once
namespace kv {
// The talvis program; returns the exit status (fatal errors are thrown).
int talvis_main(int argc, char** argv);
}  // namespace kv
