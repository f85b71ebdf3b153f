#include "sim/parallel.hpp"

#include <atomic>

#include "sim/error.hpp"
#include "sim/progress.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// Debug switches that print from inside a tilt.
bool per_tilt_output_on(const Dbg& d) {
  return d.process_mon_flag == 1 || d.sg_dump_flag != 0 || d.betag_dump_flag != 0 || d.a_mat_dump_flag != 0 ||
         d.b_mat_dump_flag != 0 || d.b_cond_dump_flag != 0 || d.bc_chk_flag != 0 || d.eigval_dump_flag != 0 ||
         d.eigvec_dump_flag != 0;
}

}  // namespace

int tilt_loop_threads() { return tilt_loop_threads(program_run_control()); }

int tilt_loop_threads(const RunControl& rc) {
  if (rc.epsilon.num_threads < 0) fatal_out("$$ Invalid epsilon.num_threads=%d. Abort.\n", rc.epsilon.num_threads);
  if (per_tilt_output_on(rc.dbg)) return 1;
  return resolve_thread_count(rc.epsilon.num_threads);
}

void console_progress::start(int n) {
  exec_time_forecast(-1);
  progress_indicator(0, n);
}

void console_progress::step(int done, int n) { progress_indicator(done, n); }

void console_progress::first_done(int n, int threads) { exec_time_forecast_threads(n, threads); }

void console_progress::finish(int n) {
  if (n > 0) progress_indicator(n - 1, n);
  exec_time_forecast(0);
}

void progress_loop(int n, int threads, void (*fn)(void*, int, int), void* ctx, loop_progress& progress) {
  threads = std::max(1, std::min(threads, n));
  if (n > 0) progress.start(n);
  std::atomic<int> done{0};
  bool first_reported = false;  // touched by worker 0 only
  parallel_for(n, threads, [&](int tid, int i) {
    if (tid == 0) progress.step(done.load(std::memory_order_relaxed), n);
    fn(ctx, tid, i);
    done.fetch_add(1, std::memory_order_relaxed);
    if (tid == 0 && !first_reported) {
      first_reported = true;
      progress.first_done(n, threads);
    }
  });
  progress.finish(n);
}

}  // namespace kv
