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

#include "app/Forms.h"
#include "files/Recording.h"
#include "ui/Chart.h"
#include "ui/ScriptedDialogs.h"

namespace {

constexpr std::int64_t kRecords = 24LL * 3600 * 125;

const std::string& DayRecording() {
  static const std::string path = [] {
    std::string p = "/tmp/ratelog-bench-chart.rtd";
    struct stat st {};
    const std::int64_t size = static_cast<std::int64_t>(rtd::HeaderSize) + kRecords * 12;
    if (::stat(p.c_str(), &st) == 0 && st.st_size == size) return p;
    const int fd = ::open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    std::vector<std::uint8_t> header(rtd::HeaderSize, 0);
    std::memcpy(header.data(), "VRDT40-123.456-00042", 20);
    const float sample = 125.0f;
    std::memcpy(header.data() + rtd::SampleOffset, &sample, 4);
    if (::write(fd, header.data(), header.size()) < 0) std::abort();
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0033f, 0.002f);
    std::vector<SamplePoint> block(1 << 16);
    for (std::int64_t i = 0; i < kRecords;) {
      std::size_t n = 0;
      for (; n < block.size() && i < kRecords; ++n, ++i) {
        const double t = static_cast<double>(i + 1) * 0.008;
        block[n] = {static_cast<float>(t), noise(rng), static_cast<float>(25.0 + t / 3600.0)};
      }
      if (::write(fd, block.data(), n * sizeof(SamplePoint)) < 0) std::abort();
    }
    ::close(fd);
    return p;
  }();
  return path;
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
    return w->OpenFile.Loaded && w->Series1->data()->size() == kRecords;
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
