// The chart's side of the recording reader: the records of a recording go
// into the three series in bulk (one point per record), the progress gauge
// follows the reading, and the identification label shows the recording's
// identification.
#pragma once

#include <QVector>
#include <functional>
#include <qcustomplot.h>

#include "files/Openf.h"

class QLabel;
class QProgressBar;
class TRateChart;

class TOpenFileChart : public TOpenFileSink {
 public:
  // gauge, ident and showGauge may be null.
  TOpenFileChart(TRateChart& chart, QProgressBar* gauge, QLabel* ident,
                 std::function<void(bool)> showGauge);

  void LoadStarted(const std::string& ident, std::int64_t records) override;
  void LoadProgress(std::int64_t recordsRead) override;
  void LoadRecords(const TChartRecord* records, std::size_t n) override;
  // The collected points become the series' data (also after a failure:
  // the points read until then stay charted).
  void LoadFinished() override;

 private:
  struct TExtent {
    bool found = false;
    double low = 0, high = 0;
    void Add(double v) {
      if (!(v - v == 0)) return;  // not finite
      if (!found) {
        found = true;
        low = high = v;
      } else if (v < low) {
        low = v;
      } else if (v > high) {
        high = v;
      }
    }
  };

  TRateChart& chart_;
  QProgressBar* gauge_;
  QLabel* ident_;
  std::function<void(bool)> showGauge_;
  QVector<QCPGraphData> rate_, average_, temperature_;
  TExtent keys_, rates_, averages_, temperatures_;
  bool sorted_ = true;
  double lastKey_ = 0;
  std::int64_t gaugeScale_ = 1;  // records per gauge unit (the gauge counts in int)
};
