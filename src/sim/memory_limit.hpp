#pragma once
// Running under a virtual-memory limit (ulimit -v, RLIMIT_AS), as batch
// systems set it. OpenBLAS gives every thread that calls it a work buffer
// of 128 MB and, when that allocation fails, retries it for ever; its own
// helper threads take theirs when the library is loaded. So under a limit
// the programs keep OpenBLAS to the calling thread from the start, and a
// threaded loop is given only as many threads as the limit has room for.

namespace kv {

// Address space OpenBLAS takes for the buffer of one calling thread.
inline constexpr unsigned long long kBlasBufferBytes = (128ULL << 20) + (64ULL << 10);

// First thing in main(): under a finite limit, and unless OPENBLAS_NUM_THREADS
// is 1 already, starts the program again in place (execv of itself, same
// arguments) with OPENBLAS_NUM_THREADS=1, so that OpenBLAS starts no helper
// threads, and keeps malloc to one arena. Returns (does nothing) without a
// limit or when the program cannot be started again.
void settle_for_memory_limit(char** argv);

// The virtual-memory limit in bytes, 0 when there is none.
unsigned long long virtual_memory_limit();

// Of `wanted` threads that each call BLAS, how many the limit leaves room
// for (wanted without a limit). Ends the run with a message and status 1
// when not even one fits:
// "$$ The virtual-memory limit (ulimit -v, %llu MB) leaves no room for the
// work buffer of the linear-algebra library (%llu MB per thread). Abort.\n"
int threads_within_memory_limit(int wanted);

}  // namespace kv
