// The noise analysis: what `ratelog-cli allan` does (read the span, compute,
// write the table) on the day-long recording (10.8 million records, octave
// factors) and on 100 million records (10 factors per decade, intervals
// included), the computation alone, and the NumPy computation of
// bench/allan_numpy.py on the same day-long recording in the same run, its
// deviations compared with ours.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "DayRecording.h"
#include "processing/Allan.h"

namespace {

using bench_data::DayRecording;

// Peak resident memory of the process so far, bytes.
double PeakBytes() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) * 1024.0;
}

TAllanResult Command(const std::string& path, const TAllanOptions& o, std::string& table) {
  TSpanRates span;
  std::string error;
  if (!ReadSpanRates(path, -INFINITY, INFINITY, span, error)) std::abort();
  TAllanResult r = ComputeAllan(span, o);
  table = AllanTable(r);
  return r;
}

void BM_AllanCommandDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  std::size_t points = 0;
  for (auto _ : state) {
    std::string table;
    points = Command(path, {}, table).Points.size();
    benchmark::DoNotOptimize(table.data());
  }
  state.counters["factors"] = static_cast<double>(points);
}
BENCHMARK(BM_AllanCommandDayRecording)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_AllanComputeOnlyDayRecording(benchmark::State& state) {
  TSpanRates span;
  std::string error;
  if (!ReadSpanRates(DayRecording(), -INFINITY, INFINITY, span, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const TSpanRates copy = span;
  for (auto _ : state) {
    state.PauseTiming();
    span = copy;
    state.ResumeTiming();
    const TAllanResult r = ComputeAllan(span);
    benchmark::DoNotOptimize(r.Points.data());
  }
  state.counters["records"] = static_cast<double>(copy.Rates.size());
}
BENCHMARK(BM_AllanComputeOnlyDayRecording)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// 100 million records at 125 Hz (9.3 days), 1.2 GB in /tmp, written once.
// Run with --benchmark_filter=100M (once: it takes about as long as the
// figure it measures). Memory: the peak resident size over the records.
const std::string& HundredMillion() {
  static const std::string path = [] {
    const std::string p = "/tmp/ratelog-bench-100m.rtd";
    constexpr std::int64_t records = 100000000;
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0 || st.st_size != static_cast<std::int64_t>(rtd::HeaderSize) + records * 12)
      bench_data::WriteRecording(p, records);
    return p;
  }();
  return path;
}

void BM_Allan100MTenPerDecade(benchmark::State& state) {
  const std::string& path = HundredMillion();
  TAllanOptions o;
  o.Grid.Type = TTauGrid::Density;
  o.Grid.PerDecade = 10;
  const double before = PeakBytes();
  TAllanResult r;
  for (auto _ : state) {
    std::string table;
    r = Command(path, o, table);
    benchmark::DoNotOptimize(table.data());
  }
  state.counters["records"] = static_cast<double>(r.Count);
  state.counters["points"] = static_cast<double>(r.Points.size());
  state.counters["peak_bytes_per_record"] = PeakBytes() / static_cast<double>(r.Count);
  state.counters["peak_growth_bytes_per_record"] = (PeakBytes() - before) / static_cast<double>(r.Count);
}
BENCHMARK(BM_Allan100MTenPerDecade)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// NumPy (bench/allan_numpy.py, the way the common Python tool computes the
// overlapping deviation) on the day-long recording, 10 factors per decade:
// its best time of three, read plus compute, ours (once, intervals and
// terms included), and the largest relative difference of its deviations
// from ours.
void BM_AllanNumpyDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  TAllanOptions o;
  o.Grid.Type = TTauGrid::Density;
  o.Grid.PerDecade = 10;
  std::string table;
  const auto start = std::chrono::steady_clock::now();
  const TAllanResult ours = Command(path, o, table);
  const double oursMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  double seconds = 0, worst = 0;
  std::size_t compared = 0;
  for (auto _ : state) {
    const std::string command =
        "/usr/bin/python3 " RATELOG_SOURCE_DIR "/bench/allan_numpy.py " + path + " --taus 10 --print";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
      state.SkipWithError("cannot start python3");
      return;
    }
    char line[256];
    while (std::fgets(line, sizeof line, pipe)) {
      double tau, adev, ms;
      long long terms;
      if (std::sscanf(line, "read+compute %lf ms", &ms) == 1) seconds = ms / 1000;
      if (std::sscanf(line, "%lf\t%lf\t%lld", &tau, &adev, &terms) == 3) {
        for (const TAllanPoint& p : ours.Points)
          if (std::fabs(p.Tau - tau) < 1e-6 * tau) {
            worst = std::max(worst, std::fabs(p.Adev - adev) / p.Adev);
            ++compared;
          }
      }
    }
    if (::pclose(pipe) != 0 || seconds == 0) {
      state.SkipWithError("bench/allan_numpy.py failed (python3-numpy installed?)");
      return;
    }
  }
  state.counters["numpy_read_compute_ms"] = seconds * 1000;
  state.counters["ratelog_read_compute_ms"] = oursMs;
  state.counters["points_compared"] = static_cast<double>(compared);
  state.counters["max_relative_difference"] = worst;
}
BENCHMARK(BM_AllanNumpyDayRecording)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
