// The chart's side of the recording reader: the records of a recording go
// into the chart's recording store (one point per record and series, kept
// as read, see TRecordingSeries), the progress gauge
// follows the reading, and the identification label shows the recording's
// identification.
#pragma once

#include <functional>
#include <memory>

#include "files/Openf.h"

class QLabel;
class QObject;
class QWidget;
class QProgressBar;
class TRateChart;
class TRecordingSeries;

class TOpenFileChart : public TOpenFileSink {
 public:
  // gauge, ident and showGauge may be null.
  TOpenFileChart(TRateChart& chart, QProgressBar* gauge, QLabel* ident,
                 std::function<void(bool)> showGauge);

  void LoadScale(double rateFactor, std::int32_t averageWindow) override;
  void LoadStarted(const std::string& ident, std::int64_t records) override;
  void LoadProgress(std::int64_t recordsRead) override;
  void LoadRecords(const TChartRecord* records, std::size_t n) override;
  // The collected points become the chart's recording (also after a
  // failure: the points read until then stay charted).
  void LoadFinished() override;

  // From now on the sink is fed from another thread: what it does to the
  // window (gauge, label, chart) is queued to `context`'s thread.
  void PostTo(QObject* context) { context_ = context; }

 private:
  void Gui(std::function<void()> action);

  QObject* context_ = nullptr;
  TRateChart& chart_;
  QProgressBar* gauge_;
  QLabel* ident_;
  std::function<void(bool)> showGauge_;
  std::shared_ptr<TRecordingSeries> recording_;
  double rateFactor_ = 1;
  std::int32_t averageWindow_ = 1;
  std::int64_t gaugeScale_ = 1;  // records per gauge unit (the gauge counts in int)
};

// Reads `file` into `sink` on a thread of its own while the window's thread
// goes on with its events: the window repaints, follows the gauge and can
// be moved, but takes no input (nothing else can start meanwhile). Closing
// `window` stops the reading within a batch of records; the window closes
// when the load has ended. Returns when the reading has ended and its
// results are on the chart; an error thrown by the reading (no memory for
// the points) is thrown here.
TLoadResult LoadInBackground(TOpenFile& file, TOpenFileChart& sink, QWidget* window);
