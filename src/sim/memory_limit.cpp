#include "sim/memory_limit.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sim/error.hpp"

namespace kv {

namespace {

constexpr unsigned long long kMB = 1ULL << 20;
// Besides its BLAS buffer each extra thread holds its stack (8 MB by
// default); a little more is kept free for the allocations of the loop.
constexpr unsigned long long kThreadStackBytes = 8 * kMB;
constexpr unsigned long long kSlackBytes = 16 * kMB;

// Whether `bytes` more of address space can be reserved now. The probe maps
// inaccessible pages (no memory is committed) and gives them back at once.
bool address_space_free(unsigned long long bytes) {
  void* p = mmap(nullptr, static_cast<std::size_t>(bytes), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return false;
  munmap(p, static_cast<std::size_t>(bytes));
  return true;
}

}  // namespace

unsigned long long virtual_memory_limit() {
  struct rlimit rl {};
  if (getrlimit(RLIMIT_AS, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<unsigned long long>(rl.rlim_cur);
}

void settle_for_memory_limit(char** argv) {
  if (virtual_memory_limit() == 0) return;
  // One malloc arena: every further arena reserves 64 MB of address space.
  mallopt(M_ARENA_MAX, 1);
  const char* n = std::getenv("OPENBLAS_NUM_THREADS");
  if (n && std::strcmp(n, "1") == 0) return;
  if (setenv("OPENBLAS_NUM_THREADS", "1", 1) != 0) return;
  execv("/proc/self/exe", argv);
  // Not started again (no /proc): go on; the thread check below still holds.
}

int threads_within_memory_limit(int wanted) {
  const unsigned long long limit = virtual_memory_limit();
  if (limit == 0) return wanted;
  for (int t = wanted; t >= 1; --t) {
    const unsigned long long need = static_cast<unsigned long long>(t) * kBlasBufferBytes +
                                    static_cast<unsigned long long>(t - 1) * kThreadStackBytes + kSlackBytes;
    if (address_space_free(need)) return t;
  }
  fatal_out(
      "$$ The virtual-memory limit (ulimit -v, %llu MB) leaves no room for the work buffer of the "
      "linear-algebra library (%llu MB per thread). Abort.\n",
      limit / kMB, kBlasBufferBytes / kMB);
}

}  // namespace kv
