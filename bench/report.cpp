// The test report of a day-long recording (10.8 million records) through
// ratelog-cli report: the basic parameters, the Allan deviation, the
// chart's points and the PDF, as a test stand runs it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

// The same report by the real program as a test stand starts it: its wall
// time and its peak resident memory (the child's maximum RSS), against the
// budgets: 10.8 million records within 3 s and 200 MB; 10^8 records (a week
// at 125 Hz, 1.2 GB on disk: only with RATELOG_BENCH_WEEK=1) within 1.5 GB.
static void RunProgram(benchmark::State& state, const std::string& recording, double seconds, double megabytes) {
  const std::string cli = RATELOG_BINARY_DIR "/bin/ratelog-cli";
  for (auto _ : state) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::execl(cli.c_str(), cli.c_str(), "report", recording.c_str(), "--out", "/tmp/ratelog-bench-run.pdf",
              "--limit", "random_walk<=0.01", static_cast<char*>(nullptr));
      ::_exit(98);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3 && WEXITSTATUS(status) != 5))
      state.SkipWithError("ratelog-cli report failed");
    state.counters["peak_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  }
  state.counters["budget_s"] = seconds;
  state.counters["budget_MB"] = megabytes;
}
static void BM_ReportDayProgram(benchmark::State& state) {
  RunProgram(state, bench_data::DayRecording(), 3, 200);
}
BENCHMARK(BM_ReportDayProgram)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
static void BM_ReportWeekProgram(benchmark::State& state) {
  if (!std::getenv("RATELOG_BENCH_WEEK")) {
    state.SkipWithError("RATELOG_BENCH_WEEK=1 writes and reports a 10^8-record recording");
    for (auto _ : state) {
    }
    return;
  }
  static const std::string week = [] {
    const std::string path = "/tmp/ratelog-bench-week.rtd";
    bench_data::WriteRecording(path, 100000000LL);
    return path;
  }();
  RunProgram(state, week, 0, 1536);
}
BENCHMARK(BM_ReportWeekProgram)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

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
