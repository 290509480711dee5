// Reading a day-long recording (24 h at 125 Hz = 10.8 million records) from
// the page cache, and the basic-parameter calculation over all of it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "DayRecording.h"
#include "files/RecordingReader.h"
#include "processing/BasicParameters.h"

namespace {

using bench_data::DayRecording;
using bench_data::kRecords;

void BM_ReadDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  for (auto _ : state) {
    TRecordingReader reader;
    if (!reader.Open(path)) state.SkipWithError("cannot open");
    SamplePoint p;
    double sum = 0;
    std::int64_t n = 0;
    while (reader.Next(p)) {
      sum += p.Rate;
      ++n;
    }
    benchmark::DoNotOptimize(sum);
    if (n != kRecords) state.SkipWithError("record count");
  }
  state.counters["records"] = static_cast<double>(kRecords);
}
BENCHMARK(BM_ReadDayRecording)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_CalcDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  TOptionProgramm settings;
  for (auto _ : state) {
    TGeneralQuant quant;
    std::string error;
    if (!ComputeBasicParameters(path, settings, 0.008, kRecords * 0.008, quant, error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(quant.RandomWalk);
  }
}
BENCHMARK(BM_CalcDayRecording)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
