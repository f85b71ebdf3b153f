#pragma once
// Percentage progress line and run-time forecast of the long loops.
namespace kv {

// n = -1 starts the clock, n > 0 forecasts n units from the first one,
// n = 0 completes the line with 100% and the elapsed time.
void exec_time_forecast(int n);
// The forecast of exec_time_forecast(n) for n units shared by `threads`
// threads working at once: the first unit's time times n / threads, noted
// with the thread count; with one thread exactly exec_time_forecast(n).
void exec_time_forecast_threads(int n, int threads);
// Writes 5%10%... as unit i of n is reached.
void progress_indicator(int i, int n);

}  // namespace kv
