#include "sim/parallel.hpp"

#include <atomic>

#include "sim/error.hpp"
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
  if (per_tilt_output_on()) return 1;
  return resolve_thread_count(epsilon.num_threads);
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
