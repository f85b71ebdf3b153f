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

}  // namespace kv
