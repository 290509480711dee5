// The test report of a day-long recording (10.8 million records) through
// ratelog-cli report: the basic parameters, the Allan deviation, the
// chart's points and the PDF, as a test stand runs it.
#include <benchmark/benchmark.h>

#include <sstream>
#include <string>
#include <vector>

#include "DayRecording.h"
#include "cli/CliCommands.h"

static void BM_ReportDay(benchmark::State& state) {
  const std::string& day = bench_data::DayRecording();
  for (auto _ : state) {
    std::ostringstream out, err;
    const int code = RunCli({"report", day, "--out", "/tmp/ratelog-bench-day.pdf", "--limit",
                             "random_walk<=0.01", "--limit", "b<=1"},
                            out, err);
    if (code != 0 && code != 3) state.SkipWithError(err.str().c_str());
  }
}
BENCHMARK(BM_ReportDay)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// A chamber batch: 16 units of one hour at 125 Hz (450,000 records each),
// compared (`batch`) and reported together (the summary page, then each
// unit's report).
static const std::vector<std::string>& HourBatch() {
  static const std::vector<std::string> files = [] {
    std::vector<std::string> list;
    for (int unit = 1; unit <= 16; ++unit) {
      list.push_back("/tmp/ratelog-bench-hour-" + std::to_string(unit) + ".rtd");
      bench_data::WriteRecording(list.back(), 3600LL * 125);
    }
    return list;
  }();
  return files;
}

static void RunBatch(benchmark::State& state, std::vector<std::string> args) {
  args.insert(args.end(), HourBatch().begin(), HourBatch().end());
  for (auto _ : state) {
    std::ostringstream out, err;
    const int code = RunCli(args, out, err);
    if (code != 0 && code != 3) state.SkipWithError(err.str().c_str());
  }
}
static void BM_BatchTable16Hours(benchmark::State& state) { RunBatch(state, {"batch", "--limit", "n<=0.01"}); }
static void BM_BatchReport16Hours(benchmark::State& state) {
  RunBatch(state, {"report", "--out", "/tmp/ratelog-bench-batch.pdf", "--limit", "n<=0.01"});
}
BENCHMARK(BM_BatchTable16Hours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_BatchReport16Hours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
