#include "ui/Chart.h"

#include <QLocale>
#include <QMouseEvent>
#include <algorithm>
#include <cmath>
#include <limits>
#include <qcustomplot.h>

namespace {

// Ticks never closer than the axis's smallest increment; labels in the
// default locale. With `grouped` the labels read like "#,##0.#####": group
// separators and up to five decimals.
class TStepTicker : public QCPAxisTicker {
 public:
  TStepTicker(double minStep, bool grouped) : minStep_(minStep), grouped_(grouped) {}

 protected:
  double getTickStep(const QCPRange& range) override {
    return std::max(QCPAxisTicker::getTickStep(range), minStep_);
  }
  QString getTickLabel(double tick, const QLocale& locale, QChar formatChar,
                       int precision) override {
    if (!grouped_) return QCPAxisTicker::getTickLabel(tick, locale, formatChar, precision);
    if (std::fabs(tick) < 5e-6) tick = 0;
    QString text = QLocale().toString(tick, 'f', 5);
    const QString point = QLocale().decimalPoint();
    if (text.contains(point)) {
      while (text.endsWith(QLatin1Char('0'))) text.chop(1);
      if (text.endsWith(point)) text.chop(point.size());
    }
    return text;
  }

 private:
  double minStep_;
  bool grouped_;
};

// A logarithmic axis' ticks: the powers of ten; where the range spans too
// few of them, 1, 2 and 5 times each power, or every whole mantissa, or
// every tenth of one, whichever first puts three ticks in the range
// (QCustomPlot's own ticker turns to evenly spaced ticks there, such as 1.5
// and 2.5, which a power format of no decimals labels "2" and "3"). Each
// label has the decimals its mantissa needs.
class TLogTicker : public QCPAxisTickerLog {
 protected:
  QVector<double> createTickVector(double tickStep, const QCPRange& range) override {
    fine_ = 0;
    if (!(range.lower > 0 && range.upper > range.lower) || std::log10(range.upper / range.lower) >= 1.6)
      return QCPAxisTickerLog::createTickVector(tickStep, range);
    const int from = static_cast<int>(std::floor(std::log10(range.lower))) - 1;
    const int to = static_cast<int>(std::ceil(std::log10(range.upper))) + 1;
    QVector<double> ticks;
    for (fine_ = 1; fine_ <= 3; ++fine_) {
      ticks.clear();
      int inside = 0;
      for (int e = from; e <= to; ++e)
        for (int k = 1; k < (fine_ == 3 ? 100 : 10); ++k) {
          if (fine_ == 1 && k != 1 && k != 2 && k != 5) continue;
          if (fine_ == 3 && k < 10) continue;
          const double t = k * std::pow(10.0, fine_ == 3 ? e - 1 : e);
          ticks << t;
          inside += t >= range.lower && t <= range.upper;
        }
      if (inside >= 3) break;
    }
    return ticks;  // the ticker keeps those in range and one each side
  }
  QVector<double> createSubTickVector(int subTickCount, const QVector<double>& ticks) override {
    if (fine_ == 0) return QCPAxisTickerLog::createSubTickVector(subTickCount, ticks);
    QVector<double> sub;
    if (fine_ != 1) return sub;
    for (int i = 1; i < ticks.size(); ++i) {
      const double power = std::pow(10.0, std::floor(std::log10(ticks[i - 1]) + 1e-9));
      for (double m = std::round(ticks[i - 1] / power) + 1; m * power < ticks[i] * (1 - 1e-9); ++m) sub << m * power;
    }
    return sub;
  }
  QString getTickLabel(double tick, const QLocale& locale, QChar formatChar, int precision) override {
    const double mantissa = tick / std::pow(10.0, std::floor(std::log10(tick) + 1e-9));
    int decimals = 0;
    while (decimals < 3 && std::fabs(mantissa * std::pow(10.0, decimals) - std::round(mantissa * std::pow(10.0, decimals))) > 1e-6)
      ++decimals;
    return QCPAxisTickerLog::getTickLabel(tick, locale, formatChar, std::max(precision, decimals));
  }

 private:
  int fine_ = 0;  // 0: powers of ten; 1: 1, 2, 5; 2: whole mantissas; 3: tenths
};

void SetupAxis(QCPAxis* axis, const QString& label, double minStep, bool grouped, bool grid) {
  axis->setLabel(label);
  axis->setTicker(QSharedPointer<QCPAxisTicker>(new TStepTicker(minStep, grouped)));
  axis->grid()->setPen(QPen(Qt::black, 0, Qt::DotLine));
  axis->grid()->setVisible(grid);
  axis->grid()->setZeroLinePen(Qt::NoPen);
}

// A line graph that draws either its own data (the live chart) or one
// series of a loaded recording, whose points it never copies: the line of
// the visible points comes from the recording, sampled as the graph samples
// its own data, and is drawn as the graph draws it.
class TRecordingGraph : public QCPGraph {
 public:
  TRecordingGraph(QCPAxis* key, QCPAxis* value, TRecordingSeries::TSeries series)
      : QCPGraph(key, value), series_(series) {}

  void SetRecording(std::shared_ptr<const TRecordingSeries> recording) {
    recording_ = std::move(recording);
  }
  const TRecordingSeries* Recording() const { return recording_.get(); }
  TRecordingSeries::TSeries Series() const { return series_; }

 protected:
  void draw(QCPPainter* painter) override {
    if (!recording_) {
      QCPGraph::draw(painter);
      return;
    }
    QCPAxis* keyAxis = mKeyAxis.data();
    if (!keyAxis || !mValueAxis || keyAxis->range().size() <= 0 || recording_->Size() == 0 ||
        mLineStyle != lsLine)
      return;
    QVector<QCPGraphData> lineData;
    recording_->LineData(series_, keyAxis, mAdaptiveSampling, &lineData);
    if (keyAxis->rangeReversed() != (keyAxis->orientation() == Qt::Vertical))
      std::reverse(lineData.begin(), lineData.end());
    const QVector<QPointF> lines = dataToLines(lineData);
    painter->setPen(mPen);
    painter->setBrush(Qt::NoBrush);
    drawLinePlot(painter, lines);
  }

 private:
  TRecordingSeries::TSeries series_;
  std::shared_ptr<const TRecordingSeries> recording_;
};

const TRecordingGraph* AsRecordingGraph(const QCPGraph* series) {
  const TRecordingGraph* graph = dynamic_cast<const TRecordingGraph*>(series);
  return graph && graph->Recording() ? graph : nullptr;
}

// A range for an axis from the extent of its data: a single value gets a
// little room on both sides.
QCPRange AxisRange(double low, double high) {
  if (low < high) return QCPRange(low, high);
  const double room = low != 0 ? std::fabs(low) * 0.01 : 1.0;
  return QCPRange(low - room, high + room);
}

// The smallest span of the automatic temperature axis, in °C: a nearly
// constant temperature is drawn as the flat line it is, with labelled ticks,
// instead of its last hundredths filling the chart.
constexpr double MinTemperatureSpan = 1.0;

// `range` widened about its centre to at least `span`.
QCPRange SpanAtLeast(const QCPRange& range, double span) {
  if (range.size() >= span) return range;
  const double centre = range.center();
  return QCPRange(centre - span / 2, centre + span / 2);
}

}  // namespace

std::int64_t SeriesSize(const QCPGraph* series) {
  if (const TRecordingGraph* graph = AsRecordingGraph(series)) return graph->Recording()->Size();
  return series->data()->size();
}

QCPGraphData SeriesPoint(const QCPGraph* series, std::int64_t i) {
  if (const TRecordingGraph* graph = AsRecordingGraph(series)) {
    const TRecordingSeries& r = *graph->Recording();
    return QCPGraphData(r.Key(i), r.Value(graph->Series(), i));
  }
  return *(series->data()->constBegin() + static_cast<int>(i));
}

QString RateAxisTitle(bool perSecond) {
  return perSecond ? QStringLiteral("Rate, °/sec") : QStringLiteral("Rate, °/h");
}

TRateChart::TRateChart(QCustomPlot* plot) : Chart1(plot) {
  plot->setLocale(QLocale());
  plot->legend->setVisible(false);
  plot->setInteractions(QCP::Interactions());
  plot->plotLayout()->setMargins(QMargins(1, 1, 1, 1));

  SetupAxis(plot->xAxis, QStringLiteral("Time, second"), 0.001, false, true);
  SetupAxis(plot->yAxis, RateAxisTitle(false), 1e-05, true, true);
  SetupAxis(plot->yAxis2, QStringLiteral("Temperature, °C"), 0.01, false, false);
  plot->yAxis2->setTickLabels(true);
  plot->yAxis2->setVisible(false);

  Series1 = new TRecordingGraph(plot->xAxis, plot->yAxis, TRecordingSeries::Rate);
  Series1->setName(QStringLiteral("Rate"));
  Series1->setPen(QPen(Qt::red));
  Series2 = new TRecordingGraph(plot->xAxis, plot->yAxis, TRecordingSeries::Average);
  Series2->setName(QStringLiteral("Average"));
  Series2->setPen(QPen(Qt::blue));
  Series3 = new TRecordingGraph(plot->xAxis, plot->yAxis2, TRecordingSeries::Temperature);
  Series3->setName(QStringLiteral("Temperature"));
  Series3->setPen(QPen(QColor(0, 128, 0)));
  Series3->setVisible(false);

  title_ = new QCPTextElement(plot, QString(), QFont(plot->font().family(), 10, QFont::Bold));
  title_->setVisible(false);

  plot->setSelectionRectMode(QCP::srmNone);
  connections_[0] = QObject::connect(plot, &QCustomPlot::beforeReplot, plot,
                                     [this] { ApplyAutomatic(); });
  connections_[1] = QObject::connect(plot, &QCustomPlot::mousePress, plot,
                                     [this](QMouseEvent* event) {
                                       pressedAt_ = event->position().toPoint();
                                     });
  connections_[2] = QObject::connect(
      plot->selectionRect(), &QCPSelectionRect::accepted, plot,
      [this](const QRect&, QMouseEvent* event) {
        if (zoomEnabled_ && event->button() == Qt::LeftButton)
          RubberBand(pressedAt_, event->position().toPoint());
      });
}

TRateChart::~TRateChart() {
  for (const QMetaObject::Connection& connection : connections_) QObject::disconnect(connection);
}

QCPAxis* TRateChart::Axis(TAxisId id) const {
  switch (id) {
    case Bottom: return Chart1->xAxis;
    case Left: return Chart1->yAxis;
    case Right: return Chart1->yAxis2;
  }
  return Chart1->xAxis;
}

void TRateChart::SetAutomatic(TAxisId id) {
  axes_[id].automatic = true;
  KeepThroughZoom(id);
}

void TRateChart::SetRange(TAxisId id, double lower, double upper) {
  axes_[id].automatic = false;
  Axis(id)->setRange(lower, upper);
  KeepThroughZoom(id);
}

// A new time axis ends the zoom. A vertical axis set while zoomed keeps
// the zoom of the time axis (the span on screen and its statistics stay),
// and undoing the zoom later leaves that axis as it was set now.
void TRateChart::KeepThroughZoom(TAxisId id) {
  if (id == Bottom) {
    zoomed_ = false;
    return;
  }
  if (!zoomed_) return;
  const QCPAxis* axis = Axis(id);
  beforeZoom_[static_cast<std::size_t>(id)] = {axes_[static_cast<std::size_t>(id)].automatic,
                                                axis->range().lower, axis->range().upper};
}

int TRateChart::IndexOf(const QCPGraph* series) const {
  if (series == Series1) return 0;
  if (series == Series2) return 1;
  if (series == Series3) return 2;
  return -1;
}

void TRateChart::SeriesChanged(QCPGraph* series) {
  const int i = IndexOf(series);
  if (i < 0) return;
  extents_[static_cast<std::size_t>(i)].valid = false;
}

void TRateChart::AllSeriesChanged() {
  DropRecording();
  for (QCPGraph* series : {Series1, Series2, Series3}) SeriesChanged(series);
}

void TRateChart::ShowRecording(std::shared_ptr<TRecordingSeries> recording) {
  recording_ = std::move(recording);
  for (QCPGraph* series : {Series1, Series2, Series3}) {
    series->data()->clear();
    static_cast<TRecordingGraph*>(series)->SetRecording(recording_);
  }
  RecordingExtents();
}

void TRateChart::DropRecording() {
  if (!recording_) return;
  for (QCPGraph* series : {Series1, Series2, Series3})
    static_cast<TRecordingGraph*>(series)->SetRecording(nullptr);
  recording_.reset();
  for (TExtent& e : extents_) e.valid = false;
}

void TRateChart::KeepPicture() {
  if (!recording_) return;
  std::array<QVector<QCPGraphData>, 3> lines;
  const std::array<QCPGraph*, 3> series = {Series1, Series2, Series3};
  for (std::size_t i = 0; i < series.size(); ++i)
    recording_->LineData(static_cast<TRecordingGraph*>(series[i])->Series(), series[i]->keyAxis(),
                         series[i]->adaptiveSampling(), &lines[i]);
  // The axes stay where they are while only the drawn lines are kept.
  std::array<QCPRange, 3> ranges;
  for (int id = Bottom; id <= Right; ++id) ranges[static_cast<std::size_t>(id)] = Axis(static_cast<TAxisId>(id))->range();
  DropRecording();
  for (std::size_t i = 0; i < series.size(); ++i) {
    series[i]->data()->set(lines[i], true);
    SeriesChanged(series[i]);
  }
  for (int id = Bottom; id <= Right; ++id) Axis(static_cast<TAxisId>(id))->setRange(ranges[static_cast<std::size_t>(id)]);
}

void TRateChart::SetRecordingRateFactor(double rateFactor) {
  if (!recording_) return;
  recording_->SetRateFactor(rateFactor);
  RecordingExtents();
}

void TRateChart::RecordingExtents() {
  for (QCPGraph* series : {Series1, Series2, Series3}) {
    double keyLow = 0, keyHigh = 0, valueLow = 0, valueHigh = 0;
    const bool found = recording_->Extent(static_cast<TRecordingGraph*>(series)->Series(), keyLow,
                                          keyHigh, valueLow, valueHigh);
    SetSeriesExtent(series, found, keyLow, keyHigh, valueLow, valueHigh);
  }
}

void TRateChart::SetSeriesExtent(QCPGraph* series, bool found, double keyLow, double keyHigh,
                                 double valueLow, double valueHigh) {
  const int i = IndexOf(series);
  if (i < 0) return;
  extents_[static_cast<std::size_t>(i)] = {true, found, keyLow, keyHigh, valueLow, valueHigh};
}

// The extent of a series that nobody reported is found by one pass over
// it; that happens only for the short live series.
const TRateChart::TExtent& TRateChart::Extent(int index) {
  TExtent& e = extents_[static_cast<std::size_t>(index)];
  if (e.valid) return e;
  const QCPGraph* series = index == 0 ? Series1 : index == 1 ? Series2 : Series3;
  e = TExtent{};
  e.valid = true;
  for (const QCPGraphData& point : *series->data()) {
    if (!std::isfinite(point.key) || !std::isfinite(point.value)) continue;
    if (!e.found) {
      e.found = true;
      e.keyLow = e.keyHigh = point.key;
      e.valueLow = e.valueHigh = point.value;
      continue;
    }
    e.keyLow = std::min(e.keyLow, point.key);
    e.keyHigh = std::max(e.keyHigh, point.key);
    e.valueLow = std::min(e.valueLow, point.value);
    e.valueHigh = std::max(e.valueHigh, point.value);
  }
  return e;
}

void TRateChart::ApplyAutomatic() {
  if (axes_[Bottom].automatic) {
    bool found = false;
    double low = 0, high = 0;
    for (int i = 0; i < 3; ++i) {
      const TExtent& e = Extent(i);
      if (!e.found) continue;
      low = found ? std::min(low, e.keyLow) : e.keyLow;
      high = found ? std::max(high, e.keyHigh) : e.keyHigh;
      found = true;
    }
    // With no data the axis shows a plain first window, never the range
    // of data that is gone.
    Chart1->xAxis->setRange(found ? AxisRange(low, high) : QCPRange(0, 10));
  }
  if (axes_[Left].automatic) {
    // The shown series count; when none is shown, all of them (so that a
    // series switched on later finds a sensible scale).
    bool found = false;
    double low = 0, high = 0;
    for (int pass = 0; pass < 2 && !found; ++pass) {
      for (int i = 0; i < 2; ++i) {
        const QCPGraph* series = i == 0 ? Series1 : Series2;
        if (pass == 0 && !series->visible()) continue;
        const TExtent& e = Extent(i);
        if (!e.found) continue;
        low = found ? std::min(low, e.valueLow) : e.valueLow;
        high = found ? std::max(high, e.valueHigh) : e.valueHigh;
        found = true;
      }
    }
    Chart1->yAxis->setRange(found ? AxisRange(low, high) : QCPRange(-1, 1));
  }
  if (axes_[Right].automatic) {
    const TExtent& e = Extent(2);
    if (e.found) Chart1->yAxis2->setRange(SpanAtLeast(AxisRange(e.valueLow, e.valueHigh), MinTemperatureSpan));
  }
}

// ---------------------------------------------------------------------------
// Zoom.

void TRateChart::SetZoomEnabled(bool enabled) {
  zoomEnabled_ = enabled;
  if (!enabled) zoomed_ = false;
  Chart1->setSelectionRectMode(enabled ? QCP::srmCustom : QCP::srmNone);
}

void TRateChart::RubberBand(QPoint from, QPoint to) {
  if (!(to.x() > from.x() && to.y() > from.y())) {
    UndoZoom();
    return;
  }
  if (!zoomed_) {
    for (int i = 0; i < 3; ++i) {
      const QCPAxis* axis = Axis(static_cast<TAxisId>(i));
      beforeZoom_[static_cast<std::size_t>(i)] = {axes_[static_cast<std::size_t>(i)].automatic,
                                                   axis->range().lower, axis->range().upper};
    }
  }
  QCPAxis* x = Chart1->xAxis;
  x->setRange(x->pixelToCoord(from.x()), x->pixelToCoord(to.x()));
  for (QCPAxis* y : {Chart1->yAxis, Chart1->yAxis2})
    y->setRange(y->pixelToCoord(to.y()), y->pixelToCoord(from.y()));
  for (TAxisState& axis : axes_) axis.automatic = false;
  zoomed_ = true;
  Chart1->replot();
  if (OnZoom) OnZoom();
}

void TRateChart::UndoZoom() {
  if (zoomed_) {
    for (int i = 0; i < 3; ++i) {
      const TSavedAxis& saved = beforeZoom_[static_cast<std::size_t>(i)];
      axes_[static_cast<std::size_t>(i)].automatic = saved.automatic;
      if (!saved.automatic) Axis(static_cast<TAxisId>(i))->setRange(saved.lower, saved.upper);
    }
    zoomed_ = false;
  }
  ApplyAutomatic();
  Chart1->replot();
  if (OnUndoZoom) OnUndoZoom();
}

void TRateChart::SetTitle(const QString& text, bool visible) {
  titleText_ = text;
  title_->setText(text);
  QCPLayoutGrid* layout = Chart1->plotLayout();
  if (visible && !titleVisible_) {
    layout->insertRow(0);
    layout->addElement(0, 0, title_);
    title_->setVisible(true);
  } else if (!visible && titleVisible_) {
    layout->take(title_);
    layout->simplify();
    title_->setVisible(false);
  }
  titleVisible_ = visible;
  Chart1->replot();
}

void SetLogAxis(QCPAxis* axis, const QString& label) {
  axis->setScaleType(QCPAxis::stLogarithmic);
  QSharedPointer<QCPAxisTickerLog> ticker(new TLogTicker);
  ticker->setLogBase(10);
  ticker->setSubTickCount(8);
  axis->setTicker(ticker);
  axis->setNumberFormat(QStringLiteral("eb"));
  axis->setNumberPrecision(0);
  axis->setLabel(label);
  axis->grid()->setSubGridVisible(true);
}
