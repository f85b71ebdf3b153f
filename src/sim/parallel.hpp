#pragma once
// Runs independent loop iterations (tilts of a pattern, Jacobian columns) on
// several threads. Each iteration writes only its own slot of the result, so
// the outcome does not depend on the thread count or on the order in which
// iterations finish. The first exception thrown by any iteration is re-thrown
// in the calling thread once every worker has stopped.
#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kv {

// Number of worker threads for a requested count: 0 means every available core.
inline int resolve_thread_count(int requested) {
  if (requested > 0) return requested;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<int>(hw);
}

// Threads for the tilt loops of this run: epsilon.num_threads resolved
// against the cores, but 1 while a per-tilt debug dump or the process
// monitor is switched on (their lines must come out in tilt order). A negative
// count is fatal: "$$ Invalid epsilon.num_threads=%d. Abort.\n".
int tilt_loop_threads();

// Calls fn(thread_index, i) for every i in [0, n), with thread_index in
// [0, threads) so that callers can keep one work area per thread.
template <class Fn>
void parallel_for(int n, int threads, Fn&& fn) {
  threads = std::max(1, std::min(threads, n));
  if (threads <= 1) {
    for (int i = 0; i < n; ++i) fn(0, i);
    return;
  }
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;
  auto worker = [&](int tid) {
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      const int i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      try {
        fn(tid, i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
        return;
      }
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  worker(0);
  for (auto& th : pool) th.join();
  if (first_error) std::rethrow_exception(first_error);
}

// Runs fn(thread_index, item) over items [0, n) on `threads` threads with the
// console progress line and run-time forecast of a long loop. Only worker 0
// (the calling thread) writes them, from a count of finished items, so the
// lines are the same whatever the thread count.
void progress_loop(int n, int threads, void (*fn)(void*, int, int), void* ctx);

template <class Fn>
void parallel_for_progress(int n, int threads, Fn&& fn) {
  auto thunk = [](void* c, int tid, int i) { (*static_cast<Fn*>(c))(tid, i); };
  progress_loop(n, threads, thunk, &fn);
}

}  // namespace kv
