#include "sim/progress.hpp"

#include <chrono>
#include <cstdio>

namespace kv {

namespace {
using Clock = std::chrono::steady_clock;
Clock::time_point g_start = Clock::now();
int g_threshold = 5;

double seconds_since_start() {
  return std::chrono::duration<double>(Clock::now() - g_start).count();
}
}  // namespace

void exec_time_forecast(int n) {
  if (n == -1) {
    std::printf("  Estimating exec. time .... ");
    std::fflush(stdout);
    g_start = Clock::now();
  } else if (n > 0) {
    const double s = seconds_since_start();
    if (s > 0.1) {
      std::printf(" %.1lf [min] (1CPU)\n", n * s / 60.0);
      std::fflush(stdout);
    } else {
      std::printf(" Maybe not so long.\n");
    }
  } else if (n == 0) {
    const double s = seconds_since_start();
    std::printf("100%%\n");
    std::printf("    elapsed time: %g [min] = %g [hour]\n", s / 60.0, s / 3600.0);
  }
}

void exec_time_forecast_threads(int n, int threads) {
  if (threads <= 1 || n <= 0) {
    exec_time_forecast(n);
    return;
  }
  const double s = seconds_since_start();
  if (s > 0.1) {
    const double units = static_cast<double>((n + threads - 1) / threads);
    std::printf(" %.1lf [min] (%d threads)\n", units * s / 60.0, threads);
    std::fflush(stdout);
  } else {
    std::printf(" Maybe not so long.\n");
  }
}

void progress_indicator(int i, int n) {
  if (i == 0) g_threshold = 5;
  const int p = static_cast<int>(i * 100.0 / n);
  if (p > g_threshold) {
    if (g_threshold == 5) std::printf("    ");
    while (p >= g_threshold) {
      std::printf("%d%%", g_threshold);
      std::fflush(stdout);
      g_threshold += 5;
    }
  }
  if (i == n - 1) {
    while (g_threshold <= 95) {
      std::printf("%d%%", g_threshold);
      std::fflush(stdout);
      g_threshold += 5;
    }
  }
}

}  // namespace kv
