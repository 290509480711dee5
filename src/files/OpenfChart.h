// The chart's side of the recording reader: the records of a recording go
// into the chart's recording store (one point per record and series, kept
// as read, see TRecordingSeries), the progress gauge
// follows the reading, and the identification label shows the recording's
// identification.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "files/Openf.h"

class QLabel;
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
  bool ReplaysAverage() const override { return true; }

  // The sink is fed from another thread: what it does to the window
  // (gauge, label, chart) goes through `post` to the window's thread.
  void PostWith(std::function<void(std::function<void()>)> post) { post_ = std::move(post); }

 private:
  void Gui(std::function<void()> action);

  std::function<void(std::function<void()>)> post_;
  TRateChart& chart_;
  QProgressBar* gauge_;
  QLabel* ident_;
  std::function<void(bool)> showGauge_;
  std::shared_ptr<TRecordingSeries> recording_;
  double rateFactor_ = 1;
  std::int32_t averageWindow_ = 1;
  std::int64_t gaugeScale_ = 1;  // records per gauge unit (the gauge counts in int)
};
