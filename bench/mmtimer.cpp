// Period error of the periodic timer at the request rates of a run: 8 ms
// (Sample 125) and 100 ms (identification), 10 s each, Resolution 0 as the
// main window sets it. Counters, in microseconds:
//   jitter_*  |interval between two ticks - period|
//   late_*    tick time - the deadline it belongs to (start + n * period)
//   skipped   deadlines that passed without a tick (the timer skips a
//             deadline that is already over instead of firing in a burst)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <thread>
#include <vector>

#include "acquisition/Mmtimer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

double Percentile99(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, (v.size() * 99 + 99) / 100 - 1);
  return v[i];
}

void BM_TimerPeriod(benchmark::State& state) {
  const auto periodMs = static_cast<std::uint32_t>(state.range(0));
  const auto period = std::chrono::milliseconds(periodMs);
  const auto span = std::chrono::seconds(10);
  const std::size_t capacity = static_cast<std::size_t>(span / period) + 16;
  std::vector<Clock::time_point> at(capacity);  // filled by the timer thread
  std::atomic<std::size_t> count{0};

  for (auto _ : state) {
    count = 0;
    TMMTimer timer;
    timer.SetEnabled(false);
    timer.SetResolution(0);
    timer.SetDelay(periodMs);
    timer.SetOnTimer([&](TMMTimer*) {
      const std::size_t i = count.load(std::memory_order_relaxed);
      if (i < capacity) {
        at[i] = Clock::now();
        count.store(i + 1, std::memory_order_release);
      }
    });
    // Start the timer thread once beforehand, so that its creation does not
    // count as lateness.
    timer.SetEnabled(true);
    timer.SetEnabled(false);
    count = 0;
    const auto start = Clock::now();
    timer.SetEnabled(true);
    std::this_thread::sleep_for(span + period / 2);
    timer.SetEnabled(false);

    const std::size_t n = count.load(std::memory_order_acquire);
    std::vector<double> jitter;
    std::vector<double> late;
    jitter.reserve(n);
    late.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double sinceStart = std::chrono::duration<double, std::micro>(at[i] - start).count();
      late.push_back(std::fmod(sinceStart, 1000.0 * periodMs));
      if (i > 0) {
        const double interval = std::chrono::duration<double, std::micro>(at[i] - at[i - 1]).count();
        jitter.push_back(std::abs(interval - 1000.0 * periodMs));
      }
    }
    state.counters["ticks"] = static_cast<double>(n);
    state.counters["skipped"] = static_cast<double>(span / period) - static_cast<double>(n);
    state.counters["jitter_mean_us"] = Mean(jitter);
    state.counters["jitter_p99_us"] = Percentile99(jitter);
    state.counters["late_mean_us"] = Mean(late);
    state.counters["late_p99_us"] = Percentile99(late);
  }
}

}  // namespace

BENCHMARK(BM_TimerPeriod)
    ->Arg(8)
    ->Arg(100)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
