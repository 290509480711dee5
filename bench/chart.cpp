// The chart with a long recording: by default a day at 125 Hz (10.8 million
// records), with --records=N any length (100000000: more than a week), and
// with --steps-back=K a clock that steps back K times by 5 s (records out
// of time order, which the chart sorts), with --pattern=steady|cycling a
// gyroscope's data (2 deg/h with 0.5 deg/h of noise, steady or cycling
// temperature) instead of the default rising one.
// The recording is written into a temporary folder and removed at the end.
// Opening and charting it (with the peak resident memory it took over the
// empty window), replots of the whole recording and of a 1 % zoom, the
// unit switch, the statistics of half the recording, a zoom and its undo.
// The window runs on the offscreen platform unless QT_QPA_PLATFORM says
// otherwise.
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <qcustomplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DayRecording.h"
#include "app/Forms.h"
#include "files/Recording.h"
#include "processing/Average.h"
#include "processing/Averrmsstatic.h"
#include "ui/Chart.h"
#include "ui/RecordingSeries.h"
#include "ui/ScriptedDialogs.h"

namespace {

std::int64_t records = bench_data::kRecords;
int stepsBack = 0;
bench_data::TPattern pattern = bench_data::TPattern::Rising;

// A field of /proc/self/status in kB (VmRSS, VmHWM).
double StatusKb(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  double kb = 0;
  const std::size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') kb = std::atof(line + n + 1);
  std::fclose(f);
  return kb;
}

// The program's windows on a settings file of their own, with rate and
// average shown.
struct TWindow {
  TWindow() {
    char name[] = "/tmp/ratelog-bench-chart-XXXXXX";
    folder = ::mkdtemp(name);
    TOptionProgramm settings;
    settings.FileName = folder + "/Ratelog.ini";
    settings.ShowSignal = true;
    settings.ShowAver = true;
    settings.Save();
    recording = folder + "/week.rtd";
    bench_data::WriteRecording(recording, records, stepsBack, pattern);
    forms = CreateForms(settings.FileName);
    w = forms->MainFrm.get();
    w->show();
    QApplication::processEvents();
    emptyRssKb = StatusKb("VmRSS");
  }
  ~TWindow() {
    forms.reset();
    [[maybe_unused]] int rc = std::system(("rm -rf '" + folder + "'").c_str());
  }
  bool Open() {
    dialogs.Names.push_back(QString::fromStdString(recording));
    w->ac_openExecute();
    // The reading runs beside the window's events: the user waits until it
    // has been charted.
    while (w->Busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return w->OpenFile.Loaded && SeriesSize(w->Series1) == records;
  }

  std::string folder;
  std::string recording;
  double emptyRssKb = 0;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
};

// Made by the first benchmark, gone before the application.
std::unique_ptr<TWindow> window;

TWindow& Window() {
  if (!window) window = std::make_unique<TWindow>();
  return *window;
}

// Open: the file dialog's answer to the chart with its statistics, as the
// user waits for it (the undo-zoom statistics of all records included).
// The peak resident memory over the empty window is that of the first
// opening (a reopening frees the old points first).
void BM_OpenAndChart(benchmark::State& state) {
  TWindow& w = Window();
  for (auto _ : state) {
    if (!w.Open()) state.SkipWithError("the recording did not load whole");
  }
  state.counters["records"] = static_cast<double>(records);
  const double peak = (StatusKb("VmHWM") - w.emptyRssKb) * 1024.0;
  state.counters["peak_MB_over_empty"] = peak / 1e6;
  state.counters["peak_bytes_per_record"] = peak / static_cast<double>(records);
  if (const TRecordingSeries* r = w.w->Chart->Recording())
    state.counters["store_bytes_per_record"] =
        static_cast<double>(r->MemoryBytes()) / static_cast<double>(records);
}
BENCHMARK(BM_OpenAndChart)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// Replot of the whole recording (zoom 0) or of 1 % of it in the middle
// (zoom 1), rate and average shown, temperature too with temperature 1.
void BM_Replot(benchmark::State& state) {
  TWindow& w = Window();
  if (!w.w->OpenFile.Loaded && !w.Open()) state.SkipWithError("not loaded");
  w.w->ch_temp->setChecked(state.range(1) != 0);
  w.w->Chart->UndoZoom();
  if (state.range(0) != 0) {
    const QCPRange all = w.w->Chart1->xAxis->range();
    const double middle = all.center(), half = all.size() * 0.005;
    w.w->Chart->SetRange(TRateChart::Bottom, middle - half, middle + half);
  }
  for (auto _ : state) w.w->Chart1->replot(QCustomPlot::rpImmediateRefresh);
  w.w->ch_temp->setChecked(false);
  w.w->Chart->UndoZoom();
}
BENCHMARK(BM_Replot)
    ->ArgNames({"zoom", "temperature"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The unit switch of a loaded recording, with its replot and statistics.
void BM_UnitSwitch(benchmark::State& state) {
  TWindow& w = Window();
  if (!w.w->OpenFile.Loaded && !w.Open()) state.SkipWithError("not loaded");
  for (auto _ : state) {
    w.w->BtnDim->click();
    w.w->Chart1->replot(QCustomPlot::rpImmediateRefresh);
  }
  if (w.w->RateUnitPerSec) w.w->BtnDim->click();
}
BENCHMARK(BM_UnitSwitch)->Unit(benchmark::kMillisecond)->UseRealTime();

// The zoom statistics of the middle half of the recording.
void BM_SpanStatisticsHalf(benchmark::State& state) {
  TWindow& w = Window();
  if (!w.w->OpenFile.Loaded && !w.Open()) state.SkipWithError("not loaded");
  const TRecordingSeries* r = w.w->Chart->Recording();
  if (!r) {
    state.SkipWithError("no recording");
    return;
  }
  const double first = r->Key(0), last = r->Key(r->Size() - 1), quarter = (last - first) / 4;
  TAverRmsStatic statistics;
  for (auto _ : state) {
    benchmark::DoNotOptimize(r->SpanStatistics(first + quarter, last - quarter, statistics));
  }
}
BENCHMARK(BM_SpanStatisticsHalf)->Unit(benchmark::kMillisecond)->UseRealTime();

// A click that places cursor B with cursor A at the first quarter: the
// read-out at both and between them (up to half the recording), and the
// chart repainted with the cursor lines, as the user waits for it.
void BM_CursorClickToReadOut(benchmark::State& state) {
  TWindow& w = Window();
  if (!w.w->OpenFile.Loaded && !w.Open()) state.SkipWithError("not loaded");
  w.w->Chart->UndoZoom();
  const QCPRange all = w.w->Chart1->xAxis->range();
  w.w->PlaceCursor(0, all.lower + all.size() / 4);
  int k = 0;
  for (auto _ : state) {
    // Another place each time: nothing of the last read-out is reused.
    w.w->PlaceCursor(1, all.upper - all.size() * (0.25 - 0.01 * (k++ % 10)));
    w.w->Chart1->replot(QCustomPlot::rpImmediateRefresh);
  }
  w.w->ClearCursors();
}
BENCHMARK(BM_CursorClickToReadOut)->Unit(benchmark::kMillisecond)->UseRealTime();

// The gestures: a rubber band over the middle half of the recording (axes,
// replot, statistics of 5.4 million points), then the undo (axes back,
// replot, statistics of all points).
void BM_ZoomAndUndo(benchmark::State& state) {
  TWindow& w = Window();
  if (!w.w->OpenFile.Loaded && !w.Open()) state.SkipWithError("not loaded");
  TRateChart& chart = *w.w->Chart;
  QCPAxis* x = w.w->Chart1->xAxis;
  QCPAxis* y = w.w->Chart1->yAxis;
  chart.UndoZoom();
  const double span = x->range().size();
  const QPoint from(static_cast<int>(x->coordToPixel(x->range().lower + span / 4)),
                    static_cast<int>(y->coordToPixel(y->range().upper)) + 1);
  const QPoint to(static_cast<int>(x->coordToPixel(x->range().upper - span / 4)),
                  static_cast<int>(y->coordToPixel(y->range().lower)) - 1);
  for (auto _ : state) {
    if (state.range(0) == 0) {
      chart.RubberBand(from, to);
      state.PauseTiming();
      chart.UndoZoom();
      state.ResumeTiming();
    } else {
      state.PauseTiming();
      chart.RubberBand(from, to);
      state.ResumeTiming();
      chart.RubberBand(to, from);
    }
  }
}
BENCHMARK(BM_ZoomAndUndo)->ArgName("undo")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A close during the work after reading (sorting, indexing, statistics):
// the store of the recording's records (as the reader's engine averages
// them) is finished on a thread, the cancel flag is set `delay_ms` later,
// and the time from the flag to Finish's return is what a closing window
// waits.
void BM_FinishCancelled(benchmark::State& state) {
  auto engine = std::make_unique<TFastAverageRms>();
  engine->Sample = 125;
  engine->MeanTime = 3;
  engine->Mode = ModeNormal;
  for (auto _ : state) {
    state.PauseTiming();
    engine->Reset();
    TRecordingSeries store;
    store.Start(records, AveragingWindow(*engine), 3600.0);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0033f, 0.002f);
    for (std::int64_t i = 0; i < records; ++i) {
      const std::int64_t steps = stepsBack * i / records;
      const float t = static_cast<float>(static_cast<double>(i + 1) * 0.008 - 5.0 * static_cast<double>(steps));
      const float rate = noise(rng);
      engine->AddSample(t, rate, 25.0f);
      store.Append(t, rate, engine->Average, 25.0f);
    }
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::thread worker([&] {
      store.Finish(&cancel);
      done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
    state.ResumeTiming();
    cancel = true;
    while (!done) std::this_thread::yield();
    state.PauseTiming();
    worker.join();
    state.ResumeTiming();
  }
  state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_FinishCancelled)->ArgName("delay_ms")->Arg(20)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  for (int i = 1; i < argc;) {
    if (std::strncmp(argv[i], "--records=", 10) == 0) {
      records = std::atoll(argv[i] + 10);
    } else if (std::strncmp(argv[i], "--steps-back=", 13) == 0) {
      stepsBack = std::atoi(argv[i] + 13);
    } else if (std::strncmp(argv[i], "--pattern=", 10) == 0) {
      for (auto p : {bench_data::TPattern::Rising, bench_data::TPattern::Steady, bench_data::TPattern::Cycling})
        if (std::strcmp(argv[i] + 10, bench_data::PatternName(p)) == 0) pattern = p;
    } else {
      ++i;
      continue;
    }
    for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
    --argc;
  }
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  window.reset();
  return 0;
}
