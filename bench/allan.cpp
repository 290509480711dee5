// The Allan deviation of the day-long recording: what `ratelog-cli allan`
// does (read the span, compute every factor, write the table), and the
// computation alone on rates already in memory.
#include <benchmark/benchmark.h>

#include <string>

#include "DayRecording.h"
#include "processing/Allan.h"

namespace {

using bench_data::DayRecording;

void BM_AllanCommandDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  std::size_t lines = 0;
  for (auto _ : state) {
    TSpanRates span;
    std::string error;
    if (!ReadSpanRates(path, -1e30, 1e30, span, error)) state.SkipWithError(error.c_str());
    const TAllanResult r = ComputeAllan(span);
    const std::string table = AllanTable(r);
    lines = r.Points.size();
    benchmark::DoNotOptimize(table.data());
  }
  state.counters["factors"] = static_cast<double>(lines);
}
BENCHMARK(BM_AllanCommandDayRecording)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_AllanComputeOnly(benchmark::State& state) {
  TSpanRates span;
  std::string error;
  if (!ReadSpanRates(DayRecording(), -1e30, 1e30, span, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    const TAllanResult r = ComputeAllan(span);
    benchmark::DoNotOptimize(r.Points.data());
  }
  state.counters["records"] = static_cast<double>(span.Rates.size());
}
BENCHMARK(BM_AllanComputeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
