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
bool per_tilt_output_on(const Dbg& d) {
  return d.process_mon_flag == 1 || d.sg_dump_flag != 0 || d.betag_dump_flag != 0 || d.a_mat_dump_flag != 0 ||
         d.b_mat_dump_flag != 0 || d.b_cond_dump_flag != 0 || d.bc_chk_flag != 0 || d.eigval_dump_flag != 0 ||
         d.eigvec_dump_flag != 0;
}

}  // namespace

int tilt_loop_threads() { return tilt_loop_threads(program_run_control()); }

int tilt_loop_threads(const RunControl& rc) {
  if (rc.epsilon.num_threads < 0) fatal_out("$$ Invalid epsilon.num_threads=%d. Abort.\n", rc.epsilon.num_threads);
  if (per_tilt_output_on(rc.dbg)) return threads_within_memory_limit(1);
  // More threads than cores only cost memory (a work area and a BLAS buffer
  // each) and switching time; the results are the same on any count. A few
  // more than the cores are allowed (to check that sameness on a small
  // machine), with a warning; beyond four per core the count is cut.
  int threads = resolve_thread_count(rc.epsilon.num_threads);
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
