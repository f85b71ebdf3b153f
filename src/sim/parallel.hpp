#pragma once
// Runs independent loop iterations (tilts of a pattern, Jacobian columns) on
// several threads. Each iteration writes only its own slot of the result, so
// the outcome does not depend on the thread count or on the order in which
// iterations finish. The first exception thrown by any iteration is re-thrown
// in the calling thread once every worker has stopped.
#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
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
// The same from run-control values instead of the program's records.
struct RunControl;
int tilt_loop_threads(const RunControl& rc);

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

// What a long loop tells about its progress. Only the calling thread (worker
// 0) calls it, from a count of finished items, so that what it is told is
// the same whatever the thread count.
class loop_progress {
 public:
  virtual ~loop_progress() = default;
  // Before the first item, for n > 0 items.
  virtual void start(int n) {}
  // Before each item the calling thread takes, with the items done so far.
  virtual void step(int done, int n) {}
  // Once, after the calling thread's first item.
  virtual void first_done(int n, int threads) {}
  // After the last item (also when there were none).
  virtual void finish(int n) {}
};

// The programs' console: the 5%10%... line and the run-time forecast.
class console_progress : public loop_progress {
 public:
  void start(int n) override;
  void step(int done, int n) override;
  void first_done(int n, int threads) override;
  void finish(int n) override;
};

// A caller's function of (items done, items in all), called as items are
// taken and once more with (n, n) at the end.
class callback_progress : public loop_progress {
 public:
  explicit callback_progress(std::function<void(int, int)> fn) : fn_(std::move(fn)) {}
  void step(int done, int n) override {
    if (fn_) fn_(done, n);
  }
  void finish(int n) override {
    if (fn_) fn_(n, n);
  }

 private:
  std::function<void(int, int)> fn_;
};

// Runs fn(thread_index, item) over items [0, n) on `threads` threads,
// reporting to `progress`.
void progress_loop(int n, int threads, void (*fn)(void*, int, int), void* ctx, loop_progress& progress);

template <class Fn>
void parallel_for_progress(int n, int threads, loop_progress& progress, Fn&& fn) {
  auto thunk = [](void* c, int tid, int i) { (*static_cast<std::remove_reference_t<Fn>*>(c))(tid, i); };
  progress_loop(n, threads, thunk, &fn, progress);
}

// The same with the console's progress line and forecast.
template <class Fn>
void parallel_for_progress(int n, int threads, Fn&& fn) {
  console_progress console;
  parallel_for_progress(n, threads, console, std::forward<Fn>(fn));
}

}  // namespace kv
