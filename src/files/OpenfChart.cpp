#include "files/OpenfChart.h"

#include <QLabel>
#include <QProgressBar>
#include <climits>

#include "files/HeaderText.h"
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
  Gui([this, text = QString::fromStdString(DecodeHeaderText(ident, UserHeaderCodePage())), maximum] {
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
  recording_->AppendReplayed(records, n);
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
  if (post_) {
    post_(std::move(action));
  } else {
    action();
  }
}
