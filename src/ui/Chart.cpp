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

void SetupAxis(QCPAxis* axis, const QString& label, double minStep, bool grouped, bool grid) {
  axis->setLabel(label);
  axis->setTicker(QSharedPointer<QCPAxisTicker>(new TStepTicker(minStep, grouped)));
  axis->grid()->setPen(QPen(Qt::black, 0, Qt::DotLine));
  axis->grid()->setVisible(grid);
  axis->grid()->setZeroLinePen(Qt::NoPen);
}

// A line graph that keeps, for data set in bulk, the smallest and largest
// value of every block of points. The adaptive sampling of a replot (one
// cluster of smallest and largest value per pixel column) then reads whole
// blocks and touches single points only at the two ends of each column:
// a replot of millions of points costs about as much as one of thousands.
class TBlockGraph : public QCPGraph {
 public:
  TBlockGraph(QCPAxis* key, QCPAxis* value) : QCPGraph(key, value) {}

  void BuildIndex() {
    DropIndex();
    const QCPGraphDataContainer& data = *this->data();
    const int n = data.size();
    if (n < MinIndexed) return;
    const QCPGraphData* p = &*data.constBegin();
    const int blocks = (n + Block - 1) / Block;
    low_.resize(static_cast<std::size_t>(blocks));
    high_.resize(static_cast<std::size_t>(blocks));
    for (int b = 0; b < blocks; ++b) {
      const int from = b * Block, to = std::min(n, from + Block);
      double lo = p[from].value, hi = lo;
      for (int i = from + 1; i < to; ++i) {
        if (p[i].value < lo) lo = p[i].value;
        else if (p[i].value > hi) hi = p[i].value;
      }
      low_[static_cast<std::size_t>(b)] = lo;
      high_[static_cast<std::size_t>(b)] = hi;
    }
    base_ = p;
    size_ = n;
    firstKey_ = p[0].key;
    lastKey_ = p[n - 1].key;
  }

  void DropIndex() {
    low_.clear();
    high_.clear();
    low_.shrink_to_fit();
    high_.shrink_to_fit();
    base_ = nullptr;
    size_ = 0;
  }

 protected:
  void getOptimizedLineData(QVector<QCPGraphData>* lineData,
                            const QCPGraphDataContainer::const_iterator& begin,
                            const QCPGraphDataContainer::const_iterator& end) const override {
    QCPAxis* keyAxis = mKeyAxis.data();
    if (!lineData || !keyAxis || !IndexFits() || !mAdaptiveSampling ||
        keyAxis->scaleType() != QCPAxis::stLinear || keyAxis->pixelOrientation() != 1 ||
        begin == end) {
      QCPGraph::getOptimizedLineData(lineData, begin, end);
      return;
    }
    const int first = static_cast<int>(&*begin - base_);
    const int last = static_cast<int>(&*(end - 1) - base_) + 1;
    const double pixelSpan =
        std::fabs(keyAxis->coordToPixel(base_[first].key) - keyAxis->coordToPixel(base_[last - 1].key));
    if (last - first < 2 * pixelSpan + 2 + 4 * Block) {
      QCPGraph::getOptimizedLineData(lineData, begin, end);
      return;
    }
    // The clusters of QCPGraph's adaptive sampling, column by column.
    lineData->clear();
    const auto keyBefore = [](const QCPGraphData& p, double key) { return p.key < key; };
    // One pixel in key units, taken at the first column (as QCPGraph does
    // on a linear axis).
    const double firstStart =
        keyAxis->pixelToCoord(static_cast<int>(keyAxis->coordToPixel(base_[first].key)));
    const double epsilon =
        std::fabs(firstStart - keyAxis->pixelToCoord(keyAxis->coordToPixel(firstStart) + 1.0));
    double lastIntervalEnd = firstStart;
    for (int i = first; i < last;) {
      const double start = keyAxis->pixelToCoord(static_cast<int>(keyAxis->coordToPixel(base_[i].key)));
      const int next = static_cast<int>(
          std::lower_bound(base_ + i + 1, base_ + last, start + epsilon, keyBefore) - base_);
      if (next - i >= 2) {
        double lo, hi;
        Extent(i, next, lo, hi);
        if (lastIntervalEnd < start - epsilon)
          lineData->append(QCPGraphData(start + epsilon * 0.2, base_[i].value));
        lineData->append(QCPGraphData(start + epsilon * 0.25, lo));
        lineData->append(QCPGraphData(start + epsilon * 0.75, hi));
        if (next < last && base_[next].key > start + epsilon * 2)
          lineData->append(QCPGraphData(start + epsilon * 0.8, base_[next - 1].value));
      } else {
        lineData->append(base_[i]);
      }
      lastIntervalEnd = base_[next - 1].key;
      i = next;
    }
  }

 private:
  static constexpr int Block = 256;
  static constexpr int MinIndexed = 16 * Block;

  bool IndexFits() const {
    const QCPGraphDataContainer& data = *this->data();
    return base_ && data.size() == size_ && &*data.constBegin() == base_ &&
           base_[0].key == firstKey_ && base_[size_ - 1].key == lastKey_;
  }

  // Smallest and largest value of the points [from, to).
  void Extent(int from, int to, double& lo, double& hi) const {
    lo = hi = base_[from].value;
    const auto point = [&](int i) {
      if (base_[i].value < lo) lo = base_[i].value;
      if (base_[i].value > hi) hi = base_[i].value;
    };
    const int headEnd = std::min(to, (from + Block - 1) / Block * Block);
    for (int i = from + 1; i < headEnd; ++i) point(i);
    if (headEnd >= to) return;
    const int tailStart = std::max(headEnd, to / Block * Block);
    for (int b = headEnd / Block; b < tailStart / Block; ++b) {
      lo = std::min(lo, low_[static_cast<std::size_t>(b)]);
      hi = std::max(hi, high_[static_cast<std::size_t>(b)]);
    }
    for (int i = tailStart; i < to; ++i) point(i);
  }

  std::vector<double> low_, high_;
  const QCPGraphData* base_ = nullptr;
  int size_ = 0;
  double firstKey_ = 0, lastKey_ = 0;
};

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

  Series1 = new TBlockGraph(plot->xAxis, plot->yAxis);
  Series1->setName(QStringLiteral("Series1"));
  Series1->setPen(QPen(Qt::red));
  Series2 = new TBlockGraph(plot->xAxis, plot->yAxis);
  Series2->setName(QStringLiteral("Series2"));
  Series2->setPen(QPen(Qt::blue));
  Series3 = new TBlockGraph(plot->xAxis, plot->yAxis2);
  Series3->setName(QStringLiteral("Series3"));
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
  static_cast<TBlockGraph*>(series)->DropIndex();
}

void TRateChart::AllSeriesChanged() {
  for (QCPGraph* series : {Series1, Series2, Series3}) SeriesChanged(series);
}

void TRateChart::IndexSeries(QCPGraph* series) {
  if (IndexOf(series) >= 0) static_cast<TBlockGraph*>(series)->BuildIndex();
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
