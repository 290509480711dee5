#include "files/OpenfChart.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <QProgressBar>
#include <atomic>
#include <climits>
#include <exception>
#include <thread>

#include "ui/Chart.h"
#include "ui/RecordingSeries.h"

TOpenFileChart::TOpenFileChart(TRateChart& chart, QProgressBar* gauge, QLabel* ident,
                               std::function<void(bool)> showGauge)
    : chart_(chart), gauge_(gauge), ident_(ident), showGauge_(std::move(showGauge)) {}

void TOpenFileChart::LoadScale(double rateFactor, std::int32_t averageWindow) {
  rateFactor_ = rateFactor;
  averageWindow_ = averageWindow;
}

void TOpenFileChart::LoadStarted(const std::string& ident, std::int64_t records) {
  // A QProgressBar counts in int: very long recordings are counted in
  // larger units.
  gaugeScale_ = 1;
  while (records / gaugeScale_ > INT_MAX) gaugeScale_ *= 2;
  const int maximum = static_cast<int>(records / gaugeScale_);
  Gui([this, text = QString::fromLocal8Bit(ident.c_str()), maximum] {
    if (ident_) ident_->setText(text);
    if (gauge_) {
      gauge_->setRange(0, maximum);
      gauge_->setValue(0);
    }
    if (showGauge_) showGauge_(true);
  });
  recording_.reset();
  recording_ = std::make_shared<TRecordingSeries>();
  recording_->Start(records, averageWindow_, rateFactor_);
}

void TOpenFileChart::LoadProgress(std::int64_t recordsRead) {
  const int value = static_cast<int>(recordsRead / gaugeScale_);
  Gui([this, value] {
    if (gauge_) gauge_->setValue(value);
  });
}

void TOpenFileChart::LoadRecords(const TChartRecord* records, std::size_t n) {
  TRecordingSeries& recording = *recording_;
  for (std::size_t i = 0; i < n; ++i) {
    const TChartRecord& r = records[i];
    recording.Append(static_cast<float>(r.Time), r.Rate, r.Average, static_cast<float>(r.Temperature));
  }
}

void TOpenFileChart::LoadFinished() {
  // A cancelled sort or summing leaves nothing to chart.
  if (recording_ && !recording_->Finish(Cancel)) recording_.reset();
  Gui([this, recording = std::move(recording_)]() mutable {
    if (recording) chart_.ShowRecording(std::move(recording));
    if (showGauge_) showGauge_(false);
  });
}

void TOpenFileChart::Gui(std::function<void()> action) {
  if (context_) {
    QMetaObject::invokeMethod(context_, std::move(action), Qt::QueuedConnection);
  } else {
    action();
  }
}

namespace {

// While a recording is read: user input to any window is dropped, and a
// request to close the main window stops the reading and is repeated once
// the load has ended.
class TLoadGuard : public QObject {
 public:
  TLoadGuard(QWidget* window, std::atomic<bool>& cancel) : window_(window), cancel_(cancel) {}
  bool closeRequested = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::Wheel:
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
        return watched->isWidgetType() || watched->isWindowType() ||
               event->type() == QEvent::Shortcut;
      case QEvent::Close:
        if (watched == window_) {
          closeRequested = true;
          cancel_ = true;
          event->ignore();
          return true;
        }
        return false;
      default:
        return false;
    }
  }

 private:
  QWidget* window_;
  std::atomic<bool>& cancel_;
};

}  // namespace

TLoadResult LoadInBackground(TOpenFile& file, TOpenFileChart& sink, QWidget* window) {
  std::atomic<bool> cancel{false};
  QObject context;
  TLoadGuard guard(window, cancel);
  QEventLoop loop;
  sink.PostTo(&context);
  file.Cancel = &cancel;
  qApp->installEventFilter(&guard);

  TLoadResult result = TLoadResult::Unreadable;
  std::exception_ptr error;
  std::thread reader([&] {
    try {
      result = file.Load(sink);
    } catch (...) {
      error = std::current_exception();
    }
    QMetaObject::invokeMethod(&context, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  loop.exec();
  // The loop also ends when the application quits: the reading stops.
  cancel = true;
  reader.join();
  qApp->removeEventFilter(&guard);
  file.Cancel = nullptr;
  sink.PostTo(nullptr);
  // What the reader queued for the window (the last gauge steps, the
  // chart) is done now, in order.
  QCoreApplication::sendPostedEvents(&context, QEvent::MetaCall);
  if (guard.closeRequested) QTimer::singleShot(0, window, [window] { window->close(); });
  if (error) std::rethrow_exception(error);
  return result;
}
