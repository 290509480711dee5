// The analysis windows on the day-long recording (10.8 million records):
// the Calculation dialog's reading and computing over the whole recording
// and over one hour, and the Allan deviation window's.
#include <QApplication>
#include <benchmark/benchmark.h>

#include "DayRecording.h"
#include "processing/Calculate.h"
#include "ui/Allandev.h"

namespace {

using bench_data::DayRecording;

// The reading and computing run beside the window's events: the user waits
// until the results are shown.
template <class Window>
void Finish(const Window& window) {
  while (window.Busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

void BM_CalculationDialog(benchmark::State& state) {
  TCalculFrm dialog;
  dialog.RecordingPath = DayRecording();
  dialog.FormatVersion = 6;
  dialog.show();  // a hidden dialog drops what it computed
  int gauge = 0;
  dialog.Gauge = [&gauge](int) { ++gauge; };
  // Whole day, or the hour from 12:00.
  dialog.Begin = state.range(0) ? 43200 : 0;
  dialog.End = state.range(0) ? 46800 : 86400;
  for (auto _ : state) {
    if (!dialog.Recompute()) state.SkipWithError("not read");
    Finish(dialog);
  }
  state.counters["records"] = static_cast<double>(dialog.Quant.Records());
  state.counters["MB held"] = static_cast<double>(dialog.Quant.MemoryBytes()) / 1e6;
  dialog.FormClose();
}
BENCHMARK(BM_CalculationDialog)->ArgName("hour")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime()->MinTime(3.0);

void BM_AllanWindow(benchmark::State& state) {
  TAllanFrm window;
  window.RecordingPath = DayRecording();
  window.Begin = 0;
  window.End = 86400;
  window.show();
  for (auto _ : state) {
    if (!window.Recompute()) state.SkipWithError("not read");
    Finish(window);
  }
  state.counters["factors"] = static_cast<double>(window.Result.Points.size());
}
BENCHMARK(BM_AllanWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
