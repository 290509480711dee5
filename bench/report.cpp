// The test report of a day-long recording (10.8 million records) through
// ratelog-cli report: the basic parameters, the Allan deviation, the
// chart's points and the PDF, as a test stand runs it.
#include <benchmark/benchmark.h>

#include <sstream>

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
