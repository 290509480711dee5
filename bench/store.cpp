// The results store's figures: 16 writers (a batch's units) and 2 stations
// at once, 10,000 results, on an SQLite file and on PostgreSQL (the server
// named by RATELOG_BENCH_PG or RATELOG_TEST_PG; skipped without one): no
// result lost or stored twice. Then, on SQLite, a unit's history and a
// figure's trend among 100,000 stored results; and the import of 1,000
// one-hour recordings' results: the analysis of one such recording, and
// 1,000 results stored as import stores them.
//
//   build/release/bench/bench_store
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <thread>

#include "DayRecording.h"
#include "report/ReportContent.h"
#include "store/ResultDelivery.h"
#include "report/Sha256.h"

namespace {

std::string Folder() {
  static std::string folder = [] {
    char name[] = "/tmp/ratelog-bench-store-XXXXXX";
    return std::string(::mkdtemp(name) ? name : "/tmp");
  }();
  return folder;
}

TStoredRun Result(int unit, int test) {
  TStoredRun r;
  r.Key = NewRunKey();
  r.Ident = "VRDT4" + std::to_string(unit % 10) + "-123.456-" + std::to_string(10000 + unit);
  r.UnitType = UnitTypeOf(r.Ident);
  r.Command = "batch";
  r.RecordingPath = "/lab/archive/" + r.Ident + "_" + std::to_string(test) + ".rtd";
  r.Sha256 = Sha256Hex(r.RecordingPath);
  r.Size = 43200760;
  r.Records = 3600000;
  char when[32];
  std::snprintf(when, sizeof when, "2026-%02d-%02dT%02d:00:00", 1 + test % 12, 1 + test % 28, test % 24);
  r.Started = r.Ended = when;
  r.Mode = "Normal";
  r.DataRate = 1000;
  r.Station = "bench";
  r.Operator = "anna";
  r.ProgramVersion = "0.1.0";
  r.Settings = "Averaging time=10 s";
  r.StoredAt = UtcNow();
  const double x = 0.001 * (1 + std::sin(unit * 0.7 + test));
  for (const char* name : {"random_walk", "n", "b", "average_value_signal"})
    r.Figures.push_back({name, x, x / 10, "°/h", "", ""});
  return r;
}

// 16 writers and 2 stations, each with its own connection, 10,000 results
// in all; then the rows are counted.
void Writers(benchmark::State& state, bool server) {
  std::string target = Folder() + "/writers.sqlite";
  if (server) {
    const char* pg = std::getenv("RATELOG_BENCH_PG");
    if (!pg || !*pg) pg = std::getenv("RATELOG_TEST_PG");
    if (!pg || !*pg) {
      state.SkipWithError("no PostgreSQL server: set RATELOG_BENCH_PG to a connection string");
      return;
    }
    const std::string schema = "bench" + NewRunKey();
    OpenPostgres(pg)->Query("CREATE SCHEMA " + schema);
    target = std::string(pg) + " options='-csearch_path=" + schema + "'";
  } else {
    ::unlink(target.c_str());
  }
  constexpr int kThreads = 18, kResults = 10000;
  std::size_t stored = 0, rows = 0, keys = 0;
  for (auto _ : state) {
    std::vector<std::thread> threads;
    std::vector<std::size_t> counts(kThreads);
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        auto store = OpenResultsStore(target);
        for (int i = t; i < kResults; i += kThreads) counts[static_cast<std::size_t>(t)] += store->Write(Result(i % 500, i)) ? 1 : 0;
      });
    for (std::thread& t : threads) t.join();
    for (std::size_t c : counts) stored += c;
  }
  auto store = OpenResultsStore(target);
  std::set<std::string> distinct;
  for (const TStoredRun& r : store->All()) {
    distinct.insert(r.Key);
    rows += r.Figures.size() == 4 ? 1 : 0;
  }
  keys = distinct.size();
  state.counters["stored"] = static_cast<double>(stored);
  state.counters["whole_rows"] = static_cast<double>(rows);
  state.counters["distinct"] = static_cast<double>(keys);
  state.counters["results_per_s"] = benchmark::Counter(static_cast<double>(stored), benchmark::Counter::kIsRate);
  if (stored != kResults || rows != kResults || keys != kResults) state.SkipWithError("a result lost or stored twice");
}
BENCHMARK_CAPTURE(Writers, sqlite, false)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Writers, postgresql, true)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// 100,000 results of 1,000 units (100 each, 10 types), 4 figures each.
TResultsStore& Large() {
  static std::unique_ptr<TResultsStore> store = [] {
    const std::string path = Folder() + "/large.sqlite";
    ::unlink(path.c_str());
    auto s = OpenResultsStore(path);
    std::vector<TStoredRun> chunk;
    for (int i = 0; i < 100000; ++i) {
      chunk.push_back(Result(i % 1000, i / 1000));
      if (chunk.size() == 5000) {
        s->WriteAll(chunk);
        chunk.clear();
      }
    }
    return s;
  }();
  return *store;
}

void History(benchmark::State& state) {
  TResultsStore& store = Large();
  std::size_t n = 0;
  for (auto _ : state) n = store.History("VRDT47-123.456-10427").size();
  state.counters["tests"] = static_cast<double>(n);
}
BENCHMARK(History)->UseRealTime()->Unit(benchmark::kMillisecond);

void Trend(benchmark::State& state) {
  TResultsStore& store = Large();
  const TTrendQuery queries[] = {{"n", "VRDT47-123.456-10427", "", "", ""}, {"n", "", "VRDT47", "", ""},
                                 {"n", "", "", "", ""}};
  std::size_t n = 0;
  for (auto _ : state) n = store.Trend(queries[state.range(0)]).size();
  state.counters["points"] = static_cast<double>(n);
}
// A unit, a type (10,000 results), every unit (100,000).
BENCHMARK(Trend)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// One hour at 125 Hz of a gyroscope at rest, analysed as import analyses
// each recording (the report's figures with the settings' defaults).
const TReportContent& HourContent() {
  static const TReportContent content = [] {
    const std::string path = Folder() + "/hour.rtd";
    bench_data::WriteRecording(path, 3600LL * 125, 0, bench_data::TPattern::Steady);
    TReportRequest request;
    request.Path = path;
    TReportContent c;
    std::string error;
    if (!ComputeReport(request, c, error)) std::abort();
    return c;
  }();
  return content;
}

void ImportAnalysis(benchmark::State& state) {
  const std::string path = Folder() + "/hour.rtd";
  HourContent();
  for (auto _ : state) {
    TReportRequest request;
    request.Path = path;
    TReportContent c;
    std::string error;
    benchmark::DoNotOptimize(ComputeReport(request, c, error));
  }
}
BENCHMARK(ImportAnalysis)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// 1,000 results: each run made from the analysed content, keyed and
// delivered as import does it (the store opened for each recording).
void ImportResults(benchmark::State& state) {
  const TReportContent& content = HourContent();
  const std::string target = Folder() + "/import.sqlite";
  std::size_t stored = 0, figures = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(target.c_str());
    ::unlink((target + "-wal").c_str());
    ::unlink((target + "-shm").c_str());
    state.ResumeTiming();
    for (int i = 0; i < 1000; ++i) {
      TStoredRun run;
      std::string error;
      if (!StoredRunOf(content, {"import", "bench", "anna", "0.1.0", ""}, run, error)) std::abort();
      run.Ident = "VRDT4" + std::to_string(i % 10) + "-123.456-" + std::to_string(10000 + i);
      run.UnitType = UnitTypeOf(run.Ident);
      run.Key = Sha256Hex("import\n/lab/archive/" + run.Ident + ".rtd\n" + run.Sha256 + "\n" + run.Settings);
      figures = run.Figures.size();
      stored += DeliverResults({run}, target, "").Stored;
    }
  }
  state.counters["stored"] = static_cast<double>(stored);
  state.counters["figures_each"] = static_cast<double>(figures);
  state.counters["results_per_s"] = benchmark::Counter(static_cast<double>(stored), benchmark::Counter::kIsRate);
  if (stored != 1000 * static_cast<std::size_t>(state.iterations())) state.SkipWithError("a result not stored");
}
BENCHMARK(ImportResults)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
