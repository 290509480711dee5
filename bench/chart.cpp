// The chart with a day-long recording (24 h at 125 Hz = 10.8 million
// records, one point per record in each series): opening and charting it,
// a replot, and the statistics of a zoom and of its undo. The window runs on
// the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include <QApplication>
#include <QCheckBox>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <qcustomplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DayRecording.h"
#include "app/Forms.h"
#include "files/Recording.h"
#include "ui/Chart.h"
#include "ui/ScriptedDialogs.h"

namespace {

using bench_data::DayRecording;
using bench_data::kRecords;

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
    forms = CreateForms(settings.FileName);
    w = forms->MainFrm.get();
    w->show();
    QApplication::processEvents();
  }
  ~TWindow() {
    forms.reset();
    [[maybe_unused]] int rc = std::system(("rm -rf '" + folder + "'").c_str());
  }
  bool Open() {
    dialogs.Names.push_back(QString::fromStdString(DayRecording()));
    w->ac_openExecute();
    return w->OpenFile.Loaded && SeriesSize(w->Series1) == kRecords;
  }

  std::string folder;
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
void BM_OpenAndChart(benchmark::State& state) {
  DayRecording();
  TWindow& w = Window();
  for (auto _ : state) {
    if (!w.Open()) state.SkipWithError("the recording did not load whole");
  }
  state.counters["records"] = static_cast<double>(kRecords);
}
BENCHMARK(BM_OpenAndChart)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_Replot(benchmark::State& state) {
  TWindow& w = Window();
  if (!w.w->OpenFile.Loaded && !w.Open()) state.SkipWithError("not loaded");
  w.w->ch_temp->setChecked(state.range(0) != 0);
  w.w->Chart->UndoZoom();
  for (auto _ : state) w.w->Chart1->replot(QCustomPlot::rpImmediateRefresh);
  w.w->ch_temp->setChecked(false);
}
BENCHMARK(BM_Replot)->ArgName("temperature")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  window.reset();
  return 0;
}
