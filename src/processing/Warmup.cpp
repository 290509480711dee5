#include "processing/Warmup.h"

#include <cmath>
#include <limits>

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TWarmupResult::TWarmupResult() : Time(kNaN), Final(kNaN), Excursion(kNaN) {}

TWarmupResult ComputeWarmup(const std::vector<SamplePoint>& records, double window, double band) {
  TWarmupResult r;
  r.Window = window;
  r.Band = band;
  const std::size_t n = records.size();
  if (n < 2 || !(window > 0) || !(band >= 0)) return r;
  const double first = records.front().Time;
  const double last = records.back().Time;
  // Prefix sums of the rate in deg/h.
  std::vector<long double> sum(n + 1, 0.0L);
  for (std::size_t i = 0; i < n; ++i) sum[i + 1] = sum[i] + records[i].Rate * 3600.0L;
  const double tail = last - 0.1 * (last - first);
  std::size_t t0 = n;
  while (t0 > 0 && records[t0 - 1].Time >= tail) --t0;
  r.Final = static_cast<double>((sum[n] - sum[t0]) / static_cast<long double>(n - t0));

  // Moving averages of the full windows; the last one outside the band.
  std::vector<double> average;
  std::vector<std::size_t> index;
  std::size_t lo = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = records[i].Time;
    if (t - first < window) continue;
    while (records[lo].Time <= t - window) ++lo;
    average.push_back(static_cast<double>((sum[i + 1] - sum[lo]) / static_cast<long double>(i + 1 - lo)));
    index.push_back(i);
  }
  if (average.empty()) return r;
  std::size_t settled = average.size();  // first moving average of the settled run
  while (settled > 0 && std::fabs(average[settled - 1] - r.Final) <= band) --settled;
  r.Valid = true;
  if (settled == average.size()) return r;  // out of the band at the end: never settled
  r.Time = records[index[settled]].Time - first;
  r.Excursion = 0;
  for (std::size_t k = 0; k < settled; ++k)
    if (std::fabs(average[k] - r.Final) > std::fabs(r.Excursion)) r.Excursion = average[k] - r.Final;
  return r;
}
