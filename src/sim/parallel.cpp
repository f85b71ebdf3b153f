#include "sim/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "sim/error.hpp"
#include "sim/memory_limit.hpp"
#include "sim/progress.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// Debug switches that print from inside a tilt.
bool per_tilt_output_on() {
  return dbg.process_mon_flag == 1 || dbg.sg_dump_flag != 0 || dbg.betag_dump_flag != 0 ||
         dbg.a_mat_dump_flag != 0 || dbg.b_mat_dump_flag != 0 || dbg.b_cond_dump_flag != 0 ||
         dbg.bc_chk_flag != 0 || dbg.eigval_dump_flag != 0 || dbg.eigvec_dump_flag != 0;
}

}  // namespace

int tilt_loop_threads() {
  if (epsilon.num_threads < 0) fatal_out("$$ Invalid epsilon.num_threads=%d. Abort.\n", epsilon.num_threads);
  if (per_tilt_output_on()) return threads_within_memory_limit(1);
  // More threads than cores only cost memory (a work area and a BLAS buffer
  // each) and switching time; the results are the same on any count. A few
  // more than the cores are allowed (to check that sameness on a small
  // machine), with a warning; beyond four per core the count is cut.
  int threads = resolve_thread_count(epsilon.num_threads);
  const int cores = resolve_thread_count(0);
  const int most = 4 * cores;
  static bool told_cores = false, told_memory = false;
  if (threads > cores && !told_cores) {
    told_cores = true;
    std::printf("$$ Warning: num_threads %d is more than the %d cores of this machine%s.\n", threads, cores,
                threads > most ? strprintf(": the tilt loops use %d threads", most).c_str() : "");
  }
  threads = std::min(threads, most);
  const int fit = threads_within_memory_limit(threads);
  if (fit < threads && !told_memory) {
    told_memory = true;
    std::printf(
        "$$ Warning: the virtual-memory limit (ulimit -v, %llu MB) leaves room for %d of %d tilt threads "
        "(each holds a %llu MB work buffer of the linear-algebra library).\n",
        virtual_memory_limit() >> 20, fit, threads, kBlasBufferBytes >> 20);
  }
  return fit;
}

void progress_loop(int n, int threads, void (*fn)(void*, int, int), void* ctx) {
  threads = std::max(1, std::min(threads, n));
  if (n > 0) {
    exec_time_forecast(-1);
    progress_indicator(0, n);
  }
  std::atomic<int> done{0};
  bool forecast_written = false;  // touched by worker 0 only
  parallel_for(n, threads, [&](int tid, int i) {
    if (tid == 0) progress_indicator(done.load(std::memory_order_relaxed), n);
    fn(ctx, tid, i);
    done.fetch_add(1, std::memory_order_relaxed);
    if (tid == 0 && !forecast_written) {
      forecast_written = true;
      exec_time_forecast_threads(n, threads);
    }
  });
  if (n > 0) progress_indicator(n - 1, n);
  exec_time_forecast(0);
}

}  // namespace kv
