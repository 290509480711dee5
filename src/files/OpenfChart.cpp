#include "files/OpenfChart.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>
#include <climits>

#include "ui/Chart.h"

TOpenFileChart::TOpenFileChart(TRateChart& chart, QProgressBar* gauge, QLabel* ident,
                               std::function<void(bool)> showGauge)
    : chart_(chart), gauge_(gauge), ident_(ident), showGauge_(std::move(showGauge)) {}

void TOpenFileChart::LoadStarted(const std::string& ident, std::int64_t records) {
  if (ident_) ident_->setText(QString::fromLocal8Bit(ident.c_str()));
  // A QProgressBar counts in int: very long recordings are counted in
  // larger units.
  gaugeScale_ = 1;
  while (records / gaugeScale_ > INT_MAX) gaugeScale_ *= 2;
  if (gauge_) {
    gauge_->setRange(0, static_cast<int>(records / gaugeScale_));
    gauge_->setValue(0);
  }
  if (showGauge_) showGauge_(true);

  const qsizetype n = static_cast<qsizetype>(std::max<std::int64_t>(records, 0));
  for (QVector<QCPGraphData>* series : {&rate_, &average_, &temperature_}) {
    series->clear();
    series->reserve(n);
  }
  keys_ = rates_ = averages_ = temperatures_ = TExtent{};
  sorted_ = true;
  lastKey_ = 0;
}

void TOpenFileChart::LoadProgress(std::int64_t recordsRead) {
  if (gauge_) gauge_->setValue(static_cast<int>(recordsRead / gaugeScale_));
}

void TOpenFileChart::LoadRecords(const TChartRecord* records, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const TChartRecord& r = records[i];
    if (r.Time < lastKey_ && !rate_.isEmpty()) sorted_ = false;
    lastKey_ = r.Time;
    rate_.append(QCPGraphData(r.Time, r.Rate));
    average_.append(QCPGraphData(r.Time, r.Average));
    temperature_.append(QCPGraphData(r.Time, r.Temperature));
    keys_.Add(r.Time);
    rates_.Add(r.Rate);
    averages_.Add(r.Average);
    temperatures_.Add(r.Temperature);
  }
}

void TOpenFileChart::LoadFinished() {
  if (!sorted_) {
    // The chart keeps its points in ascending time. A stable sort keeps
    // point i of the three series on the same record.
    const auto byKey = [](const QCPGraphData& a, const QCPGraphData& b) { return a.key < b.key; };
    for (QVector<QCPGraphData>* series : {&rate_, &average_, &temperature_})
      std::stable_sort(series->begin(), series->end(), byKey);
  }
  const std::pair<QCPGraph*, QVector<QCPGraphData>*> series[] = {
      {chart_.Series1, &rate_}, {chart_.Series2, &average_}, {chart_.Series3, &temperature_}};
  const TExtent* values[] = {&rates_, &averages_, &temperatures_};
  for (std::size_t i = 0; i < 3; ++i) {
    QCPGraph* graph = series[i].first;
    // The series shares the vector; dropping ours leaves it the only owner.
    graph->data()->set(*series[i].second, true);
    *series[i].second = QVector<QCPGraphData>();
    chart_.SetSeriesExtent(graph, keys_.found && values[i]->found, keys_.low, keys_.high,
                           values[i]->low, values[i]->high);
    chart_.IndexSeries(graph);
  }
  if (showGauge_) showGauge_(false);
}
