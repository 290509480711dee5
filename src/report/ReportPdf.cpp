#include "report/ReportPdf.h"
#include "report/ReportHistory.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPagedPaintDevice>
#include <QPdfWriter>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <vector>

#include "RatelogVersion.h"
#include "files/OleDate.h"
#include "files/Openf.h"
#include "processing/NumberFormat.h"
#include "report/BatchTable.h"
#include "report/PdfMetadata.h"
#include "report/ReportFile.h"
#include "report/ReportScaleFactor.h"
#include "ui/Chart.h"
#include "ui/RecordingSeries.h"

namespace {

const QString kTitle = QStringLiteral("Gyroscope test report");
const QString kBatchTitle = QStringLiteral("Gyroscope batch report");

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// A unit as the page prints it: the square root as its sign ("\u00B0/\u221Ah"
// where the text output writes "\u00B0/Vh").
QString UnitText(const std::string& unit) {
  QString text = Q(unit);
  text.replace(QStringLiteral("Vh"), QStringLiteral("\u221Ah"));
  return text;
}

// ---------------------------------------------------------------------------
// Loading the chart's points without a window.

class TStoreSink : public TOpenFileSink {
 public:
  void LoadScale(double rateFactor, std::int32_t averageWindow) override {
    factor_ = rateFactor;
    window_ = averageWindow;
  }
  void LoadStarted(const std::string&, std::int64_t records) override {
    store_ = std::make_shared<TRecordingSeries>();
    store_->Start(records, window_, factor_);
  }
  void LoadProgress(std::int64_t) override {}
  void LoadRecords(const TChartRecord* records, std::size_t n) override {
    store_->AppendReplayed(records, n);
  }
  bool ReplaysAverage() const override { return true; }
  void LoadFinished() override {
    if (store_) store_->Finish();
  }
  std::shared_ptr<TRecordingSeries> Store() const { return store_; }

 private:
  std::shared_ptr<TRecordingSeries> store_;
  double factor_ = 3600;
  std::int32_t window_ = 1;
};

// ---------------------------------------------------------------------------
// Page geometry: device units from millimetres and points at the device's
// resolution.

struct TUnits {
  double dpi = 300;
  double Mm(double mm) const { return mm * dpi / 25.4; }
  double Pt(double pt) const { return pt * dpi / 72.0; }
  // The plots lay out in pixels of a 96 dpi screen; on the page their
  // paddings and tick lengths grow by this factor.
  double Px(double px) const { return px * dpi / 96.0; }
};

QFont Font(double pt, bool bold = false) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setStyleHint(QFont::SansSerif);
  f.setPointSizeF(pt);
  f.setBold(bold);
  return f;
}

// A plot's text at pixel sizes of the page: its layout (which measures text
// in pixels) and its drawing then agree at any resolution.
QFont PlotFont(const TUnits& u, double pt, bool bold = false) {
  QFont f = Font(pt, bold);
  f.setPixelSize(std::max(1, static_cast<int>(std::lround(u.Pt(pt)))));
  return f;
}

void PrintStyle(QCustomPlot& plot, const TUnits& u) {
  plot.setFont(PlotFont(u, 7.5));
  plot.plotLayout()->setMargins(QMargins(1, 1, 1, 1) * static_cast<int>(u.Px(1)));
  for (QCPAxis* axis : plot.axisRect()->axes()) {
    axis->setLabelFont(PlotFont(u, 8));
    axis->setTickLabelFont(PlotFont(u, 7.5));
    axis->setTickLength(0, static_cast<int>(u.Px(5)));
    axis->setSubTickLength(0, static_cast<int>(u.Px(2)));
    axis->setTickLabelPadding(static_cast<int>(u.Px(4)));
    axis->setLabelPadding(static_cast<int>(u.Px(4)));
    axis->setPadding(static_cast<int>(u.Px(2)));
    const double line = u.Mm(0.15);
    axis->setBasePen(QPen(Qt::black, line));
    axis->setTickPen(QPen(Qt::black, line));
    axis->setSubTickPen(QPen(Qt::black, line));
    QPen grid = axis->grid()->pen();
    grid.setColor(QColor(120, 120, 120));
    grid.setWidthF(u.Mm(0.08));
    axis->grid()->setPen(grid);
    QPen sub = axis->grid()->subGridPen();
    sub.setWidthF(u.Mm(0.05));
    axis->grid()->setSubGridPen(sub);
  }
  if (plot.legend) {
    plot.legend->setFont(PlotFont(u, 7));
    plot.legend->setIconSize(QSize(static_cast<int>(u.Px(24)), static_cast<int>(u.Px(10))));
    plot.legend->setMargins(QMargins(1, 1, 1, 1) * static_cast<int>(u.Px(4)));
    plot.legend->setBorderPen(QPen(Qt::black, u.Mm(0.1)));
  }
}

// A plot laid out at its size on the page before drawing, so that what
// depends on its pixels (the sampling of the recording's lines) is known.
class TPagePlot : public QCustomPlot {
 public:
  void LayOut(const QRectF& rect) {
    setViewport(QRect(0, 0, static_cast<int>(rect.width()), static_cast<int>(rect.height())));
    updateLayout();
  }
};

void DrawPlot(QCPPainter& painter, QCustomPlot& plot, const QRectF& rect) {
  painter.save();
  painter.translate(rect.topLeft());
  plot.toPainter(&painter, static_cast<int>(rect.width()), static_cast<int>(rect.height()));
  painter.restore();
}

// Smallest and largest charted value of a series over the plot's key range.
bool SpanExtent(const TRecordingSeries& store, TRecordingSeries::TSeries series, const QCPAxis* key,
                double& low, double& high) {
  QVector<QCPGraphData> line;
  store.LineData(series, key, true, &line);
  bool found = false;
  for (const QCPGraphData& p : line) {
    if (p.key < key->range().lower || p.key > key->range().upper || !std::isfinite(p.value))
      continue;
    low = found ? std::min(low, p.value) : p.value;
    high = found ? std::max(high, p.value) : p.value;
    found = true;
  }
  return found;
}

QCPRange Padded(double low, double high, double minSpan) {
  double span = high - low;
  if (span < minSpan) {
    const double mid = (low + high) / 2;
    low = mid - minSpan / 2;
    high = mid + minSpan / 2;
    span = minSpan;
  }
  return QCPRange(low - span * 0.04, high + span * 0.04);
}

// The rate chart of the span: the window's chart (series, axes, pens) on a
// plot that is never shown, drawn straight onto the page.
void DrawRateChart(QCPPainter& painter, const QRectF& rect, std::shared_ptr<TRecordingSeries> store,
                   double begin, double end, const TUnits& u) {
  TPagePlot plot;
  TRateChart chart(&plot);
  const bool perSecond = store->RateFactor() == 1;
  chart.ShowRecording(store);
  plot.yAxis->setLabel(RateAxisTitle(perSecond));
  chart.Series3->setVisible(true);
  plot.yAxis2->setVisible(true);
  if (!(end > begin)) {
    begin -= 0.5;
    end += 0.5;
  }
  chart.SetRange(TRateChart::Bottom, begin, end);
  PrintStyle(plot, u);
  plot.LayOut(rect);
  double low = 0, high = 0, tLow = 0, tHigh = 0, aLow = 0, aHigh = 0;
  bool rate = SpanExtent(*store, TRecordingSeries::Rate, plot.xAxis, low, high);
  if (SpanExtent(*store, TRecordingSeries::Average, plot.xAxis, aLow, aHigh)) {
    low = rate ? std::min(low, aLow) : aLow;
    high = rate ? std::max(high, aHigh) : aHigh;
    rate = true;
  }
  const QCPRange left = rate ? Padded(low, high, std::max(std::fabs(high) * 1e-6, 1e-9))
                             : QCPRange(-1, 1);
  chart.SetRange(TRateChart::Left, left.lower, left.upper);
  const QCPRange right = SpanExtent(*store, TRecordingSeries::Temperature, plot.xAxis, tLow, tHigh)
                             ? Padded(tLow, tHigh, 1.0)
                             : QCPRange(0, 1);
  chart.SetRange(TRateChart::Right, right.lower, right.upper);
  // The rate thin (it is dense), the average and temperature over it.
  for (QCPGraph* g : {chart.Series1, chart.Series2, chart.Series3}) {
    QPen pen = g->pen();
    pen.setWidthF(u.Mm(g == chart.Series1 ? 0.1 : 0.3));
    g->setPen(pen);
  }
  DrawPlot(painter, plot, rect);
  chart.DropRecording();
}

// The Allan deviation on log-log axes: the points with their confidence
// intervals, each noise term's line over the range it was read on, the
// minimum of the bias instability.
void DrawAllanPlot(QCPPainter& painter, const QRectF& rect, const TAllanResult& r,
                   const TUnits& u) {
  QCustomPlot plot;
  plot.setLocale(QLocale::c());
  SetLogAxis(plot.xAxis, QStringLiteral("Averaging time \u03C4, s"));
  SetLogAxis(plot.yAxis, QStringLiteral("Allan deviation \u03C3, \u00B0/h"));
  // The legend under the plot, three entries a row: it never covers a point.
  plot.legend->setVisible(true);
  plot.axisRect()->insetLayout()->take(plot.legend);
  plot.plotLayout()->addElement(1, 0, plot.legend);
  plot.plotLayout()->setRowStretchFactor(1, 0.001);
  plot.legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
  plot.legend->setWrap(3);

  QVector<double> tau, adev, minus, plus;
  for (const TAllanPoint& p : r.Points) {
    tau.push_back(p.Tau);
    adev.push_back(p.Adev);
    minus.push_back(std::isfinite(p.Lo) ? p.Adev - p.Lo : 0);
    plus.push_back(std::isfinite(p.Hi) ? p.Hi - p.Adev : 0);
  }
  QCPGraph* graph = plot.addGraph();
  graph->setName(QStringLiteral("Allan deviation, %1 % interval")
                     .arg(QString::fromStdString(FormatGeneral(r.Confidence * 100, '.', 4))));
  graph->setPen(QPen(QColor(0, 60, 200), u.Mm(0.25)));
  graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, u.Px(5)));
  graph->setData(tau, adev, true);
  auto* bars = new QCPErrorBars(plot.xAxis, plot.yAxis);
  bars->removeFromLegend();
  bars->setDataPlottable(graph);
  bars->setPen(QPen(QColor(0, 60, 200), u.Mm(0.15)));
  bars->setWhiskerWidth(u.Px(6));
  bars->setData(minus, plus);

  const struct {
    const TAllanLine& line;
    const char* name;
    QColor color;
  } lines[] = {{r.Q, "Q: quantization", QColor(150, 0, 150)},
               {r.N, "N: angle random walk", QColor(200, 0, 0)},
               {r.B, "B: bias instability", QColor(230, 120, 0)},
               {r.K, "K: rate random walk", QColor(0, 140, 0)},
               {r.R, "R: rate ramp", QColor(0, 150, 170)}};
  for (const auto& l : lines) {
    if (!l.line.Found || !(l.line.TauFrom > 0) || !(l.line.TauTo > 0)) continue;
    QCPGraph* g = plot.addGraph();
    g->setName(QString::fromUtf8(l.name));
    g->setPen(QPen(l.color, u.Mm(0.3), Qt::DashLine));
    QVector<double> x, y;
    for (int k = 0; k <= 16; ++k) {
      const double t = l.line.TauFrom * std::pow(l.line.TauTo / l.line.TauFrom, k / 16.0);
      x.push_back(t);
      y.push_back(l.line.At(t));
    }
    g->setData(x, y, true);
  }
  if (r.B.Found && r.BTau > 0) {
    QCPGraph* g = plot.addGraph();
    g->removeFromLegend();
    g->setLineStyle(QCPGraph::lsNone);
    g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle,
                                       QPen(QColor(230, 120, 0), u.Mm(0.3)), Qt::NoBrush, u.Px(12)));
    g->setData({r.BTau}, {r.B.Level}, true);
  }
  double sLow = 0, sHigh = 0;
  bool any = false;
  const auto take = [&](double s) {
    if (!(s > 0) || !std::isfinite(s)) return;
    sLow = any ? std::min(sLow, s) : s;
    sHigh = any ? std::max(sHigh, s) : s;
    any = true;
  };
  for (const TAllanPoint& p : r.Points) {
    take(p.Adev);
    take(p.Lo);
    take(p.Hi);
  }
  plot.xAxis->setRange(tau.isEmpty() ? 0.05 : tau.front() / 2, tau.isEmpty() ? 20 : tau.back() * 2);
  plot.yAxis->setRange(any ? QCPRange(sLow / 2, sHigh * 2) : QCPRange(0.01, 100));
  PrintStyle(plot, u);
  DrawPlot(painter, plot, rect);
}

// ---------------------------------------------------------------------------
// The page flow: blocks of known height placed top to bottom, a block that
// does not fit starting the next page; the pages are counted before any is
// painted, for "Page i of n".

struct TBlock {
  double height = 0;
  std::function<void(QCPPainter&, const QRectF&)> draw;
  bool tight = false;  // no space after it (a row of a long table)
  bool keepWithNext = false;  // a heading: on the page of what follows it
  bool pageBefore = false;    // starts a new page (the definitions)
};

struct TTable {
  double pt = 8.5;  // font size of the cells
  QStringList header;  // a cell may hold two lines ("\n")
  std::vector<double> widths;  // fractions of the width
  std::vector<Qt::Alignment> align;
  std::vector<QStringList> rows;
  std::vector<QColor> rowColor;  // colour of the last cell, per row (invalid: black)
};

double LineHeight(const TUnits& u) { return u.Pt(9.0 * 1.45); }
double RowHeight(const TTable& t, const TUnits& u) { return u.Pt((t.pt + 0.5) * 1.45); }
double HeaderHeight(const TTable& t, const TUnits& u) {
  if (t.header.isEmpty()) return 0;
  const bool twoLines = std::any_of(t.header.begin(), t.header.end(),
                                    [](const QString& h) { return h.contains(QLatin1Char('\n')); });
  return RowHeight(t, u) * (twoLines ? 1.75 : 1.0);
}

double TableHeight(const TTable& t, const TUnits& u) {
  return RowHeight(t, u) * static_cast<double>(t.rows.size()) + HeaderHeight(t, u) + u.Mm(1);
}

void DrawTable(QCPPainter& p, const QRectF& rect, const TTable& t, const TUnits& u) {
  double line = HeaderHeight(t, u);
  double y = rect.top();
  const auto cells = [&](const QStringList& row, const QFont& font, const QColor& last) {
    double x = rect.left();
    for (int c = 0; c < row.size() && c < static_cast<int>(t.widths.size()); ++c) {
      const double w = rect.width() * t.widths[static_cast<std::size_t>(c)];
      const QRectF cell(x + u.Mm(1), y, w - u.Mm(2), line);
      // A text wider than its cell is set smaller (to 5.5 pt) rather than cut.
      QFont fitted = font;
      const double wide = QFontMetricsF(font, p.device()).horizontalAdvance(row[c]);
      if (wide > cell.width() && !row[c].contains(QLatin1Char('\n')))
        fitted.setPointSizeF(std::max(5.5, font.pointSizeF() * cell.width() / wide * 0.98));
      p.setFont(fitted);
      p.setPen(c == row.size() - 1 && last.isValid() ? last : QColor(Qt::black));
      p.drawText(cell, static_cast<int>(t.align[static_cast<std::size_t>(c)] | Qt::AlignVCenter),
                 row[c]);
      x += w;
    }
    y += line;
  };
  p.setPen(QPen(Qt::black, u.Mm(0.15)));
  if (!t.header.isEmpty()) {
    p.fillRect(QRectF(rect.left(), y, rect.width(), line), QColor(232, 236, 242));
    cells(t.header, Font(t.pt, true), QColor());
    p.setPen(QPen(Qt::black, u.Mm(0.15)));
    p.drawLine(QPointF(rect.left(), y), QPointF(rect.right(), y));
  }
  line = RowHeight(t, u);
  for (std::size_t i = 0; i < t.rows.size(); ++i) {
    cells(t.rows[i], Font(t.pt), i < t.rowColor.size() ? t.rowColor[i] : QColor());
    p.setPen(QPen(QColor(190, 190, 190), u.Mm(0.08)));
    p.drawLine(QPointF(rect.left(), y), QPointF(rect.right(), y));
  }
}

TTable SectionTable(const TReportSection& s) {
  TTable t;
  t.widths = {0.45, 0.55};
  t.align = {Qt::AlignLeft, Qt::AlignLeft};
  for (const TFigure& f : s.Rows)
    t.rows.push_back({Q(f.Caption), Q(f.Text) + (f.Unit.empty() ? QString() : QStringLiteral(" ") + UnitText(f.Unit))});
  return t;
}

TTable FigureTable(const std::vector<TFigure>& figures) {
  TTable t;
  t.header = {QStringLiteral("Figure"), QStringLiteral("Field"), QStringLiteral("Value"),
              QStringLiteral("Unit")};
  t.widths = {0.36, 0.26, 0.22, 0.16};
  t.align = {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignRight, Qt::AlignLeft};
  for (const TFigure& f : figures) {
    QString text = Q(f.Text).trimmed();
    t.rows.push_back({Q(f.Caption), Q(FieldName(f.Caption)), text, UnitText(f.Unit)});
  }
  return t;
}

QString VerdictText(TVerdict verdict) {
  return verdict == TVerdict::None ? QStringLiteral("no limits") : QString::fromLatin1(VerdictName(verdict));
}

QColor VerdictColor(TVerdict verdict) {
  switch (verdict) {
    case TVerdict::Pass: return QColor(0, 120, 0);
    case TVerdict::Fail: return QColor(190, 0, 0);
    case TVerdict::Incomplete: return QColor(200, 110, 0);
    case TVerdict::None: break;
  }
  return QColor(90, 90, 90);
}

// `text` in lines no wider than `width` (device units of `metrics`),
// broken after a space or, in a word too long, anywhere.
QStringList WrapText(const QString& text, double width, const QFontMetricsF& metrics) {
  QStringList lines;
  QString rest = text;
  while (metrics.horizontalAdvance(rest) > width && rest.size() > 1) {
    int cut = 1;
    while (cut < rest.size() && metrics.horizontalAdvance(rest.left(cut + 1)) <= width) ++cut;
    const int space = rest.lastIndexOf(QLatin1Char(' '), cut);
    if (space > 0) cut = space + 1;
    lines << rest.left(cut).trimmed();
    rest = rest.mid(cut);
  }
  lines << rest;
  return lines;
}

const char kMethodText[] =
    "Basic parameters as the program computes them from the records of the span. Allan deviation: overlapping "
    "estimator at octave averaging times, with its confidence interval; noise terms read from it as IEEE Std "
    "952-1997 (Specification Format Guide and Test Procedure for Single-Axis Interferometric Fiber Optic Gyros), "
    "Annex C, defines them. Temperature model: least-squares fit of the bias against the temperature and its "
    "rate of change over averaged blocks. Each limit compares the figure as printed with the bound as written.";

const struct {
  const char* name;
  const char* text;
} kDefinitions[] = {
    {"Average value signal", "Mean of the rates of every record in the span, \u00B0/h."},
    {"Drift error", "Root mean square, about the average value signal, of the mean rates of consecutive segments of the drift time of the settings (whole seconds from the span's start; the last, unfinished segment left out; a span of more than three drift times needed), times the sigma factor shown (1\u03C3 or 3\u03C3), \u00B0/h."},
    {"Random walk", "The largest standard deviation of the rate within consecutive segments of the random-walk time of the settings (a span of more than ten of them needed), divided by 60 \u221A(passband of the settings), \u00B0/\u221Ah."},
    {"Bias error", "Average value signal less the Earth rate of the settings taken with the average's sign (the input axis up or down), \u00B0/h."},
    {"Q, N, B, K, R", "The five noise terms fitted together to the Allan variance \u03C3\u00B2(\u03C4) = 3 Q\u00B2/\u03C4\u00B2 + N\u00B2/\u03C4 + (0.664 B)\u00B2 + K\u00B2 \u03C4/3 + R\u00B2 \u03C4\u00B2/2 (overlapping estimator; least squares weighted by each point's degrees of freedom, no term negative). A term is reported only where its fitted square exceeds 3.5 of its standard errors, else NAN with the reason; lo and hi: its interval at the confidence shown."},
    {"Q", "Quantization noise: its line \u03C3(\u03C4) = \u221A3 Q / \u03C4 (slope \u22121), arcsec."},
    {"N", "Angle random walk: its line \u03C3(\u03C4) = N / \u221A\u03C4 (slope \u22121/2), \u00B0/\u221Ah."},
    {"B, B tau", "Bias instability: its flat line \u03C3 = 0.664 B, \u00B0/h; B tau: the averaging time of the lowest point of the Allan deviation, s. B upper: where B is not reported, the lowest point / 0.664, a bound B cannot exceed."},
    {"K", "Rate random walk: its line \u03C3(\u03C4) = K \u221A(\u03C4 / 3) (slope +1/2), \u00B0/h/\u221Ah."},
    {"R", "Rate ramp: its line \u03C3(\u03C4) = R \u03C4 / \u221A2 (slope +1), \u00B0/h\u00B2."},
    {"Confidence, lo, hi", "Level of the Allan deviation's confidence interval and its bounds at each averaging time."},
    {"b0 .. b3, c", "Bias model b0 + b1 T + b2 T\u00B2 + b3 T\u00B3 + c dT/dt (T in \u00B0C, dT/dt in \u00B0C/min, up to the order of the settings), plus half the hysteresis while heating and less it while cooling where that is fitted; least squares over blocks of averaged records with usable temperatures; _se: one standard error of each, from the residuals' noise. A figure with an uncertainty is printed to the uncertainty's two significant digits."},
    {"Residual RMS, r2", "Root mean square of the bias less the model, at the recording's rate and of the averaged blocks; coefficient of determination."},
    {"t_min_c, t_max_c", "Smallest and largest usable temperature reading in the span (inside the plausible range of the settings, spikes left out), \u00B0C."},
    {"Hysteresis", "Bias of the heating branch less that of the cooling branch at the same temperature, beyond the model's b(T) + c dT/dt, fitted with it, \u00B0/h."},
    {"n_raw, b_raw", "N and B (as above) of the rates of the span as recorded; n_compensated, b_compensated: of the rates less the model's correction."},
    {"Gaps, Backward", "Gaps and gap s: steps in time over 1.5 times the median step, the time they cover; backward: steps back in time; skipped: records left out."},
    {"PASS, FAIL, INCOMPLETE", "Every limit met; a limit not met; no limit failed but a figure could not be measured (the unit is neither passed nor failed). \u201C< x (bound)\u201D: the data bound the figure from above."},
    {"\u2014", "No value: the reason stands beside it."},
};

// Why a figure of the temperature model has no value.
std::string ThermalNoValueReason(const std::string& field, const TThermalResult& r) {
  const bool measured = field == "t_min_c" || field == "t_max_c" || field.rfind("n_raw", 0) == 0 ||
                        field.rfind("b_raw", 0) == 0;
  if (field.rfind("n_", 0) == 0 || field.rfind("b_", 0) == 0)
    return measured || r.Valid ? "no such region in the data" : "no model (see above)";
  if (measured) return "no temperature in the span";
  if (!r.Valid) return "no model (see above)";
  if (field == "hysteresis_deg_h") return "no common temperature on both branches";
  if (field[0] == 'b' && field.size() >= 2 && field[1] - '0' > r.Order) return "above the model's order";
  if (field[0] == 'c') return r.RateTerm ? "no degree of freedom left" : "fitted without the rate term";
  return "no degree of freedom left";
}

std::vector<TBlock> Blocks(const TReportContent& c, std::shared_ptr<TRecordingSeries> store,
                           const TUnits& u, double width) {
  std::vector<TBlock> blocks;
  const auto heading = [&](const QString& text) {
    blocks.push_back({u.Pt(12) + u.Mm(3), [text, u](QCPPainter& p, const QRectF& r) {
                        p.setFont(Font(11, true));
                        p.setPen(Qt::black);
                        p.drawText(QRectF(r.left(), r.top() + u.Mm(2), r.width(), u.Pt(12)),
                                   Qt::AlignLeft | Qt::AlignVCenter, text);
                      },
                      false, true});
  };
  const auto table = [&](const TTable& t, bool tight = false) {
    blocks.push_back({tight ? RowHeight(t, u) * static_cast<double>(t.rows.size()) + HeaderHeight(t, u)
                            : TableHeight(t, u),
                      [t, u](QCPPainter& p, const QRectF& r) { DrawTable(p, r, t, u); }, tight});
  };

  // Title and verdict, the report's number and revision.
  blocks.push_back({u.Mm(21), [&c, u](QCPPainter& p, const QRectF& r) {
                      p.setPen(Qt::black);
                      p.setFont(Font(18, true));
                      p.drawText(QRectF(r.left(), r.top(), r.width() * 0.7, u.Mm(9)),
                                 Qt::AlignLeft | Qt::AlignVCenter, kTitle);
                      const QString ident = c.Identification.Rows.empty()
                                                ? QString()
                                                : Q(c.Identification.Rows[0].Text);
                      const QString line = ident + QStringLiteral("  \u2014  ") + Q(c.FileName);
                      // A long file name is set smaller, never cut.
                      QFont font = Font(9.5);
                      const double wide = QFontMetricsF(font, p.device()).horizontalAdvance(line);
                      if (wide > r.width() * 0.7) font.setPointSizeF(std::max(6.0, 9.5 * r.width() * 0.7 / wide * 0.98));
                      p.setFont(font);
                      p.drawText(QRectF(r.left(), r.top() + u.Mm(9), r.width() * 0.7, u.Mm(6)),
                                 Qt::AlignLeft | Qt::AlignVCenter, line);
                      p.setFont(Font(9.5));
                      p.drawText(QRectF(r.left(), r.top() + u.Mm(15), r.width() * 0.7, u.Mm(6)),
                                 Qt::AlignLeft | Qt::AlignVCenter,
                                 QStringLiteral("Report no. ") +
                                     (c.Document.Number.empty() ? QStringLiteral("not stated") : Q(c.Document.Number)) +
                                     QStringLiteral("   Revision ") +
                                     (c.Document.Revision.empty() ? QStringLiteral("not stated") : Q(c.Document.Revision)));
                      const QRectF box(r.right() - u.Mm(45), r.top() + u.Mm(1), u.Mm(45), u.Mm(13));
                      const QColor color = VerdictColor(c.Verdict);
                      p.setPen(QPen(color, u.Mm(0.5)));
                      p.drawRect(box);
                      p.setFont(Font(7.5));
                      p.drawText(box.adjusted(0, u.Mm(0.8), 0, 0), Qt::AlignHCenter | Qt::AlignTop,
                                 QStringLiteral("Verdict"));
                      p.setFont(Font(c.Verdict == TVerdict::None ? 11 : c.Verdict == TVerdict::Incomplete ? 12 : 16, true));
                      p.drawText(box.adjusted(0, u.Mm(3.5), 0, 0), Qt::AlignCenter,
                                 VerdictText(c.Verdict));
                    }});

  // Recording and settings side by side, then the conditions and the
  // equipment.
  const auto sideBySide = [&](const TReportSection& a, const TReportSection& b) {
    const TTable ta = SectionTable(a), tb = SectionTable(b);
    const double h = std::max(TableHeight(ta, u), TableHeight(tb, u)) + u.Pt(11) + u.Mm(2);
    blocks.push_back({h, [ta, tb, ta_title = Q(a.Title), tb_title = Q(b.Title), u, width](QCPPainter& p, const QRectF& r) {
                        const double gap = u.Mm(6);
                        const double w1 = (width - gap) * 0.58, w2 = width - gap - w1;
                        p.setFont(Font(11, true));
                        p.setPen(Qt::black);
                        p.drawText(QRectF(r.left(), r.top(), w1, u.Pt(11)), Qt::AlignLeft, ta_title);
                        p.drawText(QRectF(r.left() + w1 + gap, r.top(), w2, u.Pt(11)), Qt::AlignLeft, tb_title);
                        const double top = r.top() + u.Pt(11) + u.Mm(2);
                        DrawTable(p, QRectF(r.left(), top, w1, r.bottom() - top), ta, u);
                        DrawTable(p, QRectF(r.left() + w1 + gap, top, w2, r.bottom() - top), tb, u);
                      }});
  };
  sideBySide(c.Identification, c.Settings);
  sideBySide(c.Conditions, c.Equipment);

  // The chart.
  heading(QStringLiteral("Rate, running average and temperature"));
  blocks.push_back({u.Mm(92), [&c, store, u](QCPPainter& p, const QRectF& r) {
                      if (store && store->Size() > 0) {
                        DrawRateChart(p, r, store, c.Begin, c.End, u);
                      } else {
                        p.setFont(Font(9));
                        p.setPen(Qt::black);
                        p.drawRect(r);
                        p.drawText(r, Qt::AlignCenter, QStringLiteral("No chart: the recording's points could not be read"));
                      }
                    }});
  blocks.push_back({u.Pt(8) * 1.6, [u](QCPPainter& p, const QRectF& r) {
                      p.setFont(Font(7.5));
                      const struct {
                        QColor color;
                        const char* text;
                      } keys[] = {{Qt::red, "rate"},
                                  {Qt::blue, "running average"},
                                  {QColor(0, 128, 0), "temperature (right axis)"}};
                      double x = r.left();
                      for (const auto& k : keys) {
                        p.setPen(QPen(k.color, u.Mm(0.5)));
                        const double y = r.center().y();
                        p.drawLine(QPointF(x, y), QPointF(x + u.Mm(6), y));
                        p.setPen(Qt::black);
                        const QString text = QString::fromUtf8(k.text);
                        p.drawText(QRectF(x + u.Mm(7.5), r.top(), u.Mm(50), r.height()),
                                   Qt::AlignLeft | Qt::AlignVCenter, text);
                        x += u.Mm(9) + QFontMetricsF(Font(7.5), p.device()).horizontalAdvance(text) +
                             u.Mm(4);
                      }
                    }});

  heading(QStringLiteral("Basic parameters"));
  table(FigureTable(c.Calc.Figures));

  // Allan deviation.
  blocks.push_back({u.Pt(12) + u.Mm(3) + u.Mm(95), [&c, u](QCPPainter& p, const QRectF& r) {
                      p.setFont(Font(11, true));
                      p.setPen(Qt::black);
                      p.drawText(QRectF(r.left(), r.top() + u.Mm(2), r.width(), u.Pt(12)),
                                 Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Allan deviation"));
                      const QRectF plot(r.left(), r.top() + u.Pt(12) + u.Mm(3), r.width(), u.Mm(95));
                      if (c.Allan.Points.empty()) {
                        p.setFont(Font(9));
                        p.drawRect(plot);
                        p.drawText(plot, Qt::AlignCenter,
                                   QStringLiteral("No Allan deviation: too few records in the span"));
                      } else {
                        DrawAllanPlot(p, plot, c.Allan, u);
                      }
                    }});
  heading(QStringLiteral("Noise terms"));
  {
    TTable t = FigureTable(c.AllanFigures.Figures);
    t.header << QStringLiteral("\u03C4 range, s, or why absent");
    t.widths = {0.2, 0.12, 0.2, 0.1, 0.38};
    t.align.push_back(Qt::AlignLeft);
    const TAllanLine* terms[] = {&c.Allan.Q, &c.Allan.N, &c.Allan.B, nullptr, &c.Allan.K, &c.Allan.R};
    // The tau range of a reported term, why one is not, and what B's
    // bound is.
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
      const TAllanLine* l = i < std::size(terms) ? terms[i] : nullptr;
      if (l && l->Found)
        t.rows[i] << Q(FormatGeneral(l->TauFrom, '.', 10)) + QStringLiteral(" .. ") + Q(FormatGeneral(l->TauTo, '.', 10));
      else if (l)  // the reason's head: "not shown by the data", ...
        t.rows[i] << Q(l->Absent.substr(0, l->Absent.find(':')));
      else if (c.AllanFigures.Figures[i].Caption == "B upper" && std::isfinite(c.AllanFigures.Figures[i].Value))
        t.rows[i] << QStringLiteral("bound on B: lowest point / 0.664");
      else
        t.rows[i] << QString();
    }
    table(t);
    TTable counts = FigureTable(c.AllanCounts.Figures);
    counts.header.clear();
    counts.widths = {0.2, 0.12, 0.2, 0.1, 0.38};
    counts.align.push_back(Qt::AlignLeft);
    counts.rows.insert(counts.rows.begin(),
                       {QStringLiteral("Kind"), QStringLiteral("kind"),
                        QString::fromLatin1(KindName(c.Allan.Kind)), QString(), QString()});
    table(counts);
  }
  // The temperature model, where the span's temperature changed enough
  // for it.
  // Every figure of the model, a figure without a value as "\u2014" with the
  // reason, so that nothing the limits may name is silently left out.
  heading(QStringLiteral("Temperature sensitivity"));
  // A note longer than the line continues on the rows under it.
  const auto wrapRows = [&](TTable& t) {
    const QFontMetricsF metrics(PlotFont(u, t.pt));
    std::vector<QStringList> rows;
    for (const QStringList& row : t.rows)
      for (const QString& line : WrapText(row[0], width - u.Mm(2.5), metrics)) rows.push_back({line});
    t.rows = rows;
  };
  if (!c.Thermal.Valid) {
    TTable note;
    note.widths = {1.0};
    note.align = {Qt::AlignLeft};
    note.rows.push_back({QStringLiteral("Not measured: ") + Q(c.ThermalNote)});
    for (const std::string& w : c.Thermal.Warnings) note.rows.push_back({QStringLiteral("Warning: ") + Q(w)});
    wrapRows(note);
    table(note);
  }
  {
    TTable t = FigureTable(c.ThermalFigures.Figures);
    t.header << QStringLiteral("Note");
    t.widths = {0.23, 0.23, 0.17, 0.13, 0.24};
    t.align.push_back(Qt::AlignLeft);
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
      const TFigure& f = c.ThermalFigures.Figures[i];
      const bool none = std::isnan(PrintedNumber(f.Text));
      if (none) t.rows[i][2] = QStringLiteral("\u2014");
      t.rows[i] << (none ? Q(ThermalNoValueReason(FieldName(f.Caption), c.Thermal)) : QString());
    }
    table(t);
  }
  if (c.Thermal.Valid) {
    // Why a figure is absent, what the data hold, and the soaks.
    TTable notes;
    notes.widths = {1.0};
    notes.align = {Qt::AlignLeft};
    notes.rows.push_back({QStringLiteral("Temperature readings left out: %1 outside the plausible range, %2 spikes; "
                                         "bias at %3 \u00B0C")
                              .arg(c.Thermal.OutOfRange)
                              .arg(c.Thermal.Spikes)
                              .arg(Q(FormatGeneral(c.Thermal.TRef, '.', 6)))});
    if (!c.Thermal.BiasRefNote.empty())
      notes.rows.push_back({QStringLiteral("No bias at the reference temperature: ") + Q(c.Thermal.BiasRefNote)});
    if (!c.Thermal.HysteresisNote.empty())
      notes.rows.push_back({QStringLiteral("No hysteresis: ") + Q(c.Thermal.HysteresisNote)});
    for (const std::string& w : c.Thermal.Warnings) notes.rows.push_back({QStringLiteral("Warning: ") + Q(w)});
    wrapRows(notes);
    table(notes);
    if (!c.Thermal.Plateaus.empty()) {
      TTable soaks;
      soaks.header = {QStringLiteral("Soak"), QStringLiteral("begin_s"), QStringLiteral("end_s"),
                      QStringLiteral("t_c"), QStringLiteral("bias_deg_h"), QStringLiteral("\u00B1 bias_se_deg_h")};
      soaks.widths = {0.1, 0.18, 0.18, 0.14, 0.2, 0.2};
      soaks.align = {Qt::AlignRight, Qt::AlignRight, Qt::AlignRight,
                     Qt::AlignRight, Qt::AlignRight, Qt::AlignRight};
      for (std::size_t i = 0; i < c.Thermal.Plateaus.size(); ++i) {
        const TThermalPlateau& p = c.Thermal.Plateaus[i];
        std::string bias = FormatGeneral(p.Bias, '.', 6), se = FormatGeneral(p.BiasSe, '.', 3);
        RoundToUncertainty(p.Bias, p.BiasSe, bias, se);
        soaks.rows.push_back({QString::number(i + 1), Q(FormatGeneral(p.Begin, '.', 8)),
                              Q(FormatGeneral(p.End, '.', 8)), Q(FormatGeneral(p.Temperature, '.', 5)),
                              Q(bias), Q(se)});
      }
      table(soaks);
    }
  }
  {
    TTable points;
    points.header = {QStringLiteral("tau_s"), QStringLiteral("adev_deg_h"), QStringLiteral("terms"),
                     QStringLiteral("edf"), QStringLiteral("lo_deg_h"), QStringLiteral("hi_deg_h")};
    points.widths = {0.18, 0.18, 0.12, 0.14, 0.19, 0.19};
    points.align = {Qt::AlignRight, Qt::AlignRight, Qt::AlignRight,
                    Qt::AlignRight, Qt::AlignRight, Qt::AlignRight};
    // Each deviation to the digits its interval supports.
    for (const TAllanPoint& pt : c.Allan.Points) {
      std::string adev = FormatGeneral(pt.Adev, '.', 10), lo = FormatGeneral(pt.Lo, '.', 10),
                  hi = FormatGeneral(pt.Hi, '.', 10);
      RoundToInterval(pt.Adev, pt.Lo, pt.Hi, adev, lo, hi);
      points.rows.push_back({Q(FormatGeneral(pt.Tau, '.', 10)), Q(adev), QString::number(pt.Terms),
                             Q(FormatGeneral(pt.Edf, '.', 6)), Q(lo), Q(hi)});
    }
    if (!points.rows.empty()) {
      heading(QStringLiteral("Allan deviation points"));
      // Long tables split at page ends: one block per row.
      TTable head = points;
      head.rows.clear();
      table(head, true);
      for (std::size_t i = 0; i < points.rows.size(); ++i) {
        TTable row = points;
        row.header.clear();
        row.rows = {points.rows[i]};
        table(row, i + 1 < points.rows.size());
      }
    }
  }

  // The rate-table test, where the recording holds one.
  for (TReportPageBlock& b : ScaleFactorBlocks(c, u.dpi, width))
    blocks.push_back({b.Height, std::move(b.Draw), b.Tight, b.KeepWithNext, b.PageBefore});

  // Limits and verdict, with the specification they come from.
  heading(c.Spec.Name.empty()
              ? QStringLiteral("Limits")
              : QStringLiteral("Limits  \u2014  specification ") + Q(c.Spec.Name) + QStringLiteral(", revision ") +
                    Q(c.Spec.Revision) +
                    (c.Spec.UnitType.empty() ? QString() : QStringLiteral(", unit type ") + Q(c.Spec.UnitType)));
  if (c.Limits.empty()) {
    blocks.push_back({LineHeight(u), [](QCPPainter& p, const QRectF& r) {
                        p.setFont(Font(9));
                        p.setPen(Qt::black);
                        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
                                   QStringLiteral("No limits were given: the report has no verdict."));
                      }});
  } else {
    TTable t;
    t.header = {QStringLiteral("Limit"), QStringLiteral("Measured"), QStringLiteral("Unit"),
                QStringLiteral("Result")};
    t.widths = {0.36, 0.22, 0.14, 0.28};
    t.align = {Qt::AlignLeft, Qt::AlignRight, Qt::AlignLeft, Qt::AlignLeft};
    // A long limit or note continues on the rows under it.
    const QFontMetricsF metrics(PlotFont(u, t.pt));
    const auto wrap = [&](const QString& text, double fraction) {
      return WrapText(text, width * fraction - u.Mm(2.5), metrics);
    };
    for (const TLimitResult& l : c.Limits) {
      QString result = QString::fromLatin1(VerdictName(l.Result));
      if (!l.Note.empty()) result += QStringLiteral(" (") + Q(l.Note) + QStringLiteral(")");
      const QStringList limit = wrap(Q(l.Limit.Text()), t.widths[0]), note = wrap(result, t.widths[3]);
      for (int k = 0; k < std::max(limit.size(), note.size()); ++k) {
        t.rows.push_back({k < limit.size() ? limit[k] : QString(), k ? QString() : Q(l.Measured).trimmed(),
                          k ? QString() : UnitText(l.Unit), k < note.size() ? note[k] : QString()});
        t.rowColor.push_back(VerdictColor(l.Result));
      }
    }
    table(t);
    blocks.push_back({LineHeight(u) * 1.6, [&c, u](QCPPainter& p, const QRectF& r) {
                        p.setFont(Font(11, true));
                        p.setPen(VerdictColor(c.Verdict));
                        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter,
                                   QStringLiteral("Verdict: ") + VerdictText(c.Verdict));
                      }});
  }

  // How the figures were obtained, who signs, what each figure means.
  heading(QStringLiteral("Method"));
  const auto paragraph = [&](const QString& text, double pt) {
    const QStringList lines = WrapText(text, width, QFontMetricsF(PlotFont(u, pt)));
    blocks.push_back({u.Pt(pt * 1.45) * lines.size() + u.Mm(1), [lines, u, pt](QCPPainter& p, const QRectF& r) {
                        p.setFont(Font(pt));
                        p.setPen(Qt::black);
                        for (int i = 0; i < lines.size(); ++i)
                          p.drawText(QRectF(r.left(), r.top() + u.Pt(pt * 1.45) * i, r.width(), u.Pt(pt * 1.45)),
                                     Qt::AlignLeft | Qt::AlignVCenter, lines[i]);
                      }});
  };
  paragraph(QString::fromUtf8(kMethodText), 8.5);
  heading(QStringLiteral("Signatures"));
  blocks.push_back({u.Mm(30), [&c, u](QCPPainter& p, const QRectF& r) {
                      const struct {
                        const char* role;
                        const std::string& name;
                      } roles[] = {{"Tested by", c.Document.TestedBy},
                                   {"Checked by", c.Document.CheckedBy},
                                   {"Approved by", c.Document.ApprovedBy}};
                      const double w = (r.width() - u.Mm(12)) / 3;
                      for (int i = 0; i < 3; ++i) {
                        const QRectF box(r.left() + i * (w + u.Mm(6)), r.top(), w, r.height());
                        p.setPen(QPen(Qt::black, u.Mm(0.15)));
                        p.drawRect(box);
                        p.setFont(Font(9, true));
                        p.drawText(box.adjusted(u.Mm(2), u.Mm(1), 0, 0), Qt::AlignLeft | Qt::AlignTop,
                                   QString::fromLatin1(roles[i].role));
                        p.setFont(Font(8));
                        const char* lines[] = {"Name", "Date", "Signature"};
                        for (int k = 0; k < 3; ++k) {
                          const double y = box.top() + u.Mm(12 + 7 * k);
                          p.drawText(QRectF(box.left() + u.Mm(2), y - u.Mm(4), u.Mm(16), u.Mm(4)),
                                     Qt::AlignLeft | Qt::AlignBottom, QString::fromLatin1(lines[k]));
                          if (k == 0 && !roles[i].name.empty())
                            p.drawText(QRectF(box.left() + u.Mm(19), y - u.Mm(4), w - u.Mm(21), u.Mm(4)),
                                       Qt::AlignLeft | Qt::AlignBottom, Q(roles[i].name));
                          p.drawLine(QPointF(box.left() + u.Mm(18), y), QPointF(box.right() - u.Mm(2), y));
                        }
                      }
                    }});
  // The unit's past tests from the results store, on pages of their own.
  if (c.History) {
    const std::vector<THistoryBlock> history = HistoryBlocks(*c.History, u.dpi, width);
    for (std::size_t i = 0; i < history.size(); ++i)
      blocks.push_back({history[i].Height, history[i].Draw, false, history[i].KeepWithNext, i == 0});
  }
  blocks.push_back({u.Pt(12) + u.Mm(3), [u](QCPPainter& p, const QRectF& r) {
                      p.setFont(Font(11, true));
                      p.setPen(Qt::black);
                      p.drawText(QRectF(r.left(), r.top() + u.Mm(2), r.width(), u.Pt(12)),
                                 Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Definitions"));
                    },
                    false, true, true});
  {
    TTable t;
    t.pt = 8;
    t.header = {QStringLiteral("Figure"), QStringLiteral("Definition")};
    t.widths = {0.22, 0.78};
    t.align = {Qt::AlignLeft, Qt::AlignLeft};
    const QFontMetricsF metrics(PlotFont(u, t.pt));
    for (const auto& d : kDefinitions) {
      const QStringList lines = WrapText(QString::fromUtf8(d.text), width * 0.78 - u.Mm(2.5), metrics);
      for (int k = 0; k < lines.size(); ++k) t.rows.push_back({k ? QString() : QString::fromUtf8(d.name), lines[k]});
    }
    table(t);
  }
  return blocks;
}

// ---------------------------------------------------------------------------
// The batch's summary page: the batch table and every unit's Allan
// deviation on one plot.

// The units of one overlay plot and of one part of a summary table.
constexpr std::size_t kUnitsPerPage = 16;
constexpr std::size_t kSpreadRows = std::size(kBatchSpreadRows);

// Ten colours told apart on paper and screen; from the eleventh unit on
// the curves are dashed as well.
const QColor kUnitColors[] = {QColor(31, 119, 180), QColor(255, 127, 14),  QColor(44, 160, 44),
                              QColor(214, 39, 40),  QColor(148, 103, 189), QColor(140, 86, 75),
                              QColor(227, 119, 194), QColor(127, 127, 127), QColor(188, 189, 34),
                              QColor(23, 190, 207)};

QString UnitLabel(std::size_t index, const TBatchRow& row) {
  return QString::number(index + 1) + QStringLiteral(": ") + Q(row.Ident);
}

// Units first .. first + count - 1 on one plot.
void DrawAllanOverlay(QCPPainter& painter, const QRectF& rect, const std::vector<TReportContent>& units,
                      const std::vector<TBatchRow>& rows, const TUnits& u, std::size_t first, std::size_t count) {
  QCustomPlot plot;
  plot.setLocale(QLocale::c());
  SetLogAxis(plot.xAxis, QStringLiteral("Averaging time \u03C4, s"));
  SetLogAxis(plot.yAxis, QStringLiteral("Allan deviation \u03C3, \u00B0/h"));
  // The legend under the plot, four units a row.
  plot.legend->setVisible(true);
  plot.axisRect()->insetLayout()->take(plot.legend);
  plot.plotLayout()->addElement(1, 0, plot.legend);
  plot.plotLayout()->setRowStretchFactor(1, 0.001);
  plot.legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
  plot.legend->setWrap(4);
  double tLow = 0, tHigh = 0, sLow = 0, sHigh = 0;
  bool any = false;
  const std::size_t colors = std::size(kUnitColors);
  for (std::size_t i = first; i < units.size() && i < first + count; ++i) {
    QVector<double> tau, adev;
    for (const TAllanPoint& p : units[i].Allan.Points) {
      if (!(p.Tau > 0) || !(p.Adev > 0) || !std::isfinite(p.Adev)) continue;
      tau.push_back(p.Tau);
      adev.push_back(p.Adev);
      tLow = any ? std::min(tLow, p.Tau) : p.Tau;
      tHigh = any ? std::max(tHigh, p.Tau) : p.Tau;
      sLow = any ? std::min(sLow, p.Adev) : p.Adev;
      sHigh = any ? std::max(sHigh, p.Adev) : p.Adev;
      any = true;
    }
    QCPGraph* g = plot.addGraph();
    g->setName(UnitLabel(i, rows[i]));
    g->setPen(QPen(kUnitColors[i % colors], u.Mm(0.3), i / colors % 2 ? Qt::DashLine : Qt::SolidLine));
    g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, u.Px(4)));
    g->setData(tau, adev, true);
  }
  plot.xAxis->setRange(any ? QCPRange(tLow / 2, tHigh * 2) : QCPRange(0.05, 20));
  plot.yAxis->setRange(any ? QCPRange(sLow / 2, sHigh * 2) : QCPRange(0.01, 100));
  PrintStyle(plot, u);
  DrawPlot(painter, plot, rect);
}

// Column widths from the widths of the texts; a table wider than `width`
// gets a smaller font (not below 5 pt).
void FitTable(TTable& t, double width, const TUnits& u, QPaintDevice* device) {
  const QFontMetricsF plain(Font(t.pt), device), bold(Font(t.pt, true), device);
  std::vector<double> natural(static_cast<std::size_t>(t.header.size()), 0.0);
  for (std::size_t c = 0; c < natural.size(); ++c) {
    for (const QString& line : t.header[static_cast<int>(c)].split(QLatin1Char('\n')))
      natural[c] = std::max(natural[c], bold.horizontalAdvance(line));
    for (const QStringList& row : t.rows)
      if (static_cast<int>(c) < row.size()) natural[c] = std::max(natural[c], plain.horizontalAdvance(row[static_cast<int>(c)]));
    natural[c] += u.Mm(2.5);
  }
  double sum = 0;
  for (double w : natural) sum += w;
  if (sum > width) t.pt = std::max(5.0, t.pt * width / sum * 0.97);
  t.widths.clear();
  for (double w : natural) t.widths.push_back(w / sum);
}

QString Cell(const TFigure& f) { return Q(f.Text).trimmed(); }
QString Header(const TBatchColumn& c, int sigma) {
  return Q(BatchColumnCaption(c, sigma)) + (c.Unit.empty() ? QString() : QStringLiteral("\n") + UnitText(c.Unit));
}

// `firstPages`: the page on which each unit's report starts.
std::vector<TBlock> SummaryBlocks(const std::vector<TReportContent>& units, const std::vector<int>& firstPages,
                                  const TUnits& u, double width, double bodyHeight, QPaintDevice* device) {
  std::vector<TBatchRow> rows;
  for (const TReportContent& c : units) rows.push_back(BatchRowOf(c));
  const std::vector<TBatchSpread> spread = BatchSpread(rows);
  const std::vector<TBatchColumn>& columns = BatchColumns();
  const TVerdict verdict = BatchVerdict(rows);
  const std::size_t thermal = BatchFirstThermalColumn();
  const int sigma = units.empty() ? 1 : units.front().Sigma;

  // The units with their records, span, temperature coefficients and
  // result; then the basic parameters and noise terms. Both end with the
  // batch's mean, standard deviation, minimum and maximum.
  TTable units1, units2;
  units1.pt = units2.pt = 7.5;
  units1.header = {QStringLiteral("Unit"), QStringLiteral("Identification"), QStringLiteral("File"),
                   QStringLiteral("Page"), Header(columns[0], sigma), Header(columns[1], sigma)};
  units2.header = {QStringLiteral("Unit")};
  for (std::size_t c = thermal; c < columns.size(); ++c) units1.header << Header(columns[c], sigma);
  units1.header << QStringLiteral("Result");
  for (std::size_t c = 2; c < thermal; ++c) units2.header << Header(columns[c], sigma);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TBatchRow& r = rows[i];
    QStringList a = {QString::number(i + 1), Q(r.Ident), Q(r.FileName),
                     QString::number(i < firstPages.size() ? firstPages[i] : 0), Cell(r.Cells[0]), Cell(r.Cells[1])};
    for (std::size_t c = thermal; c < columns.size(); ++c) a << Cell(r.Cells[c]);
    a << (r.Verdict == TVerdict::None ? QStringLiteral("\u2014") : QString::fromLatin1(VerdictName(r.Verdict))) +
             (units[i].OutsideControl.empty() ? QString() : QStringLiteral(" *"));
    units1.rows.push_back(a);
    units1.rowColor.push_back(VerdictColor(r.Verdict));
    QStringList b = {QString::number(i + 1)};
    for (std::size_t c = 2; c < thermal; ++c) b << Cell(r.Cells[c]);
    units2.rows.push_back(b);
  }
  for (const TBatchSpreadRow& st : kBatchSpreadRows) {
    const bool extreme = st.Value == &TBatchSpread::Min || st.Value == &TBatchSpread::Max;
    const auto text = [&](std::size_t c) { return Q(BatchSpreadShown(rows, c, spread[c].*(st.Value), extreme)); };
    QStringList a = {QString(), QString::fromLatin1(st.Name), QString(), QString(), text(0), text(1)};
    for (std::size_t c = thermal; c < columns.size(); ++c) a << text(c);
    a << QString();
    units1.rows.push_back(a);
    units1.rowColor.push_back(QColor());
    QStringList b = {QString::fromLatin1(st.Name)};
    for (std::size_t c = 2; c < thermal; ++c) b << text(c);
    units2.rows.push_back(b);
  }
  for (TTable* t : {&units1, &units2}) {
    t->align.assign(static_cast<std::size_t>(t->header.size()), Qt::AlignRight);
    t->align[0] = Qt::AlignLeft;
  }
  units1.align[1] = units1.align[2] = Qt::AlignLeft;
  FitTable(units1, width, u, device);
  FitTable(units2, width, u, device);
  // The units whose figures lie outside their type's control limits.
  QString control;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i].OutsideControl.empty()) continue;
    control += (control.isEmpty() ? QStringLiteral("* Outside the control limits of the unit type (results store): ")
                                  : QStringLiteral("; ")) +
               QString::number(i + 1) + QStringLiteral(": ");
    for (std::size_t k = 0; k < units[i].OutsideControl.size(); ++k)
      control += (k ? QStringLiteral(", ") : QString()) + Q(units[i].OutsideControl[k]);
  }

  std::vector<TBlock> blocks;
  const double headingHeight = u.Pt(12) + u.Mm(3);
  const auto heading = [&](const QString& text) {
    blocks.push_back({headingHeight, [text, u](QCPPainter& p, const QRectF& r) {
                        p.setFont(Font(11, true));
                        p.setPen(Qt::black);
                        p.drawText(QRectF(r.left(), r.top() + u.Mm(2), r.width(), u.Pt(12)),
                                   Qt::AlignLeft | Qt::AlignVCenter, text);
                      },
                      false, true});
  };
  const auto note = [&](const QString& text) {
    const QFontMetricsF metrics(PlotFont(u, 7.5));
    const QStringList lines = WrapText(text, width, metrics);
    blocks.push_back({static_cast<double>(lines.size()) * u.Pt(7.5 * 1.45), [lines, u](QCPPainter& p, const QRectF& r) {
                        p.setFont(PlotFont(u, 7.5));
                        p.setPen(QColor(200, 0, 0));
                        for (int k = 0; k < lines.size(); ++k)
                          p.drawText(QRectF(r.left(), r.top() + k * u.Pt(7.5 * 1.45), r.width(), u.Pt(7.5 * 1.45)),
                                     Qt::AlignLeft | Qt::AlignVCenter, lines[k]);
                      }});
  };
  QString limits;
  if (!units.empty())
    for (const TLimitResult& l : units.front().Limits) limits += (limits.isEmpty() ? "" : ", ") + Q(l.Limit.Text());
  const TTestSpec& spec = units.empty() ? TTestSpec{} : units.front().Spec;
  const QString subtitle = QString::number(units.size()) + QStringLiteral(" units  \u2014  ") +
                           (spec.Name.empty() ? QString()
                                              : QStringLiteral("specification ") + Q(spec.Name) +
                                                    QStringLiteral(", revision ") + Q(spec.Revision) +
                                                    QStringLiteral("  \u2014  ")) +
                           (limits.isEmpty() ? QStringLiteral("no limits") : QStringLiteral("limits: ") + limits);
  blocks.push_back({u.Mm(18), [subtitle, verdict, u](QCPPainter& p, const QRectF& r) {
                      p.setPen(Qt::black);
                      p.setFont(Font(18, true));
                      p.drawText(QRectF(r.left(), r.top(), r.width() * 0.72, u.Mm(9)),
                                 Qt::AlignLeft | Qt::AlignVCenter, kBatchTitle);
                      p.setFont(Font(8));
                      p.drawText(QRectF(r.left(), r.top() + u.Mm(9), r.width() * 0.72, u.Mm(8)),
                                 Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, subtitle);
                      const QRectF box(r.right() - u.Mm(45), r.top() + u.Mm(1), u.Mm(45), u.Mm(13));
                      p.setPen(QPen(VerdictColor(verdict), u.Mm(0.5)));
                      p.drawRect(box);
                      p.setFont(Font(7.5));
                      p.drawText(box.adjusted(0, u.Mm(0.8), 0, 0), Qt::AlignHCenter | Qt::AlignTop,
                                 QStringLiteral("Batch verdict"));
                      p.setFont(Font(verdict == TVerdict::None ? 11 : verdict == TVerdict::Incomplete ? 12 : 16, true));
                      p.drawText(box.adjusted(0, u.Mm(3.5), 0, 0), Qt::AlignCenter, VerdictText(verdict));
                    }});
  // One page for the batch sizes of a chamber (up to sixteen units): the
  // tables' font gets smaller (not below 5.5 pt) until a plot of 75 mm
  // fits beside them; the plot takes what the tables leave, within bounds.
  const double gap = u.Mm(1.5);
  if (units.size() <= kUnitsPerPage) {
    const double fitted1 = units1.pt, fitted2 = units2.pt;
    double rest = 0;
    for (double pt = 7.5; pt >= 5.5; pt -= 0.5) {
      units1.pt = std::min(pt, fitted1);
      units2.pt = std::min(pt, fitted2);
      rest = u.Mm(18) + 3 * (headingHeight + gap) + TableHeight(units1, u) + TableHeight(units2, u) + 4 * gap;
      if (rest + u.Mm(75) <= bodyHeight) break;
    }
    const double plotHeight = std::clamp(bodyHeight - rest - u.Mm(1), u.Mm(70), u.Mm(120));
    heading(QStringLiteral("Allan deviation of every unit"));
    blocks.push_back({plotHeight, [&units, rows, u](QCPPainter& p, const QRectF& r) {
                        DrawAllanOverlay(p, r, units, rows, u, 0, units.size());
                      }});
    heading(QStringLiteral("Units, records, temperature coefficients and results"));
    blocks.push_back({TableHeight(units1, u), [units1, u](QCPPainter& p, const QRectF& r) { DrawTable(p, r, units1, u); }});
    if (!control.isEmpty()) note(control);
    heading(QStringLiteral("Basic parameters and noise terms"));
    blocks.push_back({TableHeight(units2, u), [units2, u](QCPPainter& p, const QRectF& r) { DrawTable(p, r, units2, u); }});
    return blocks;
  }
  // More units: the plot and the tables continue on further pages, sixteen
  // units to a plot and to a part of a table, at the sizes of one page.
  for (std::size_t first = 0; first < units.size(); first += kUnitsPerPage) {
    const std::size_t last = std::min(units.size(), first + kUnitsPerPage);
    heading(QStringLiteral("Allan deviation of units %1 to %2").arg(first + 1).arg(last));
    blocks.push_back({u.Mm(120), [&units, rows, u, first](QCPPainter& p, const QRectF& r) {
                        DrawAllanOverlay(p, r, units, rows, u, first, kUnitsPerPage);
                      }});
  }
  const auto parts = [&](const TTable& whole, const QString& title) {
    for (std::size_t first = 0; first < whole.rows.size(); first += kUnitsPerPage) {
      // The spread's rows stay with the last units.
      const bool end = first + kUnitsPerPage + kSpreadRows >= whole.rows.size();
      const std::size_t last = end ? whole.rows.size() : first + kUnitsPerPage;
      TTable part = whole;
      part.rows.assign(whole.rows.begin() + static_cast<std::ptrdiff_t>(first),
                       whole.rows.begin() + static_cast<std::ptrdiff_t>(last));
      part.rowColor.assign(whole.rowColor.begin() + static_cast<std::ptrdiff_t>(std::min(first, whole.rowColor.size())),
                           whole.rowColor.begin() + static_cast<std::ptrdiff_t>(std::min(last, whole.rowColor.size())));
      heading(first == 0 ? title : title + QStringLiteral(" (continued)"));
      blocks.push_back({TableHeight(part, u), [part, u](QCPPainter& p, const QRectF& r) { DrawTable(p, r, part, u); }});
      if (end) break;
    }
  };
  units2.rowColor.assign(units2.rows.size(), QColor());
  parts(units1, QStringLiteral("Units, records, temperature coefficients and results"));
  if (!control.isEmpty()) note(control);
  parts(units2, QStringLiteral("Basic parameters and noise terms"));
  return blocks;
}

// ---------------------------------------------------------------------------
// Pages.

struct TPageFrame {
  TUnits u;
  QRectF page, body;
};

TPageFrame Frame(QPagedPaintDevice& device) {
  TPageFrame f;
  f.u.dpi = device.logicalDpiY();
  f.page = QRectF(0, 0, device.width(), device.height());
  f.body = f.page.adjusted(f.u.Mm(18), f.u.Mm(14), -f.u.Mm(18), -f.u.Mm(18));
  return f;
}

// Where each block goes (page from 1, top), the pages counted before any
// is painted, for "Page i of n": a block that does not fit starts the next
// page, a heading goes with what follows it.
struct TPlacement {
  std::vector<std::pair<int, double>> place;
  int pages = 1;
};

TPlacement Place(const std::vector<TBlock>& blocks, const TPageFrame& f) {
  TPlacement p;
  double y = f.body.top();
  const double gap = f.u.Mm(1.5);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const TBlock& b = blocks[i];
    const double need = b.height + (b.keepWithNext && i + 1 < blocks.size() ? gap + blocks[i + 1].height : 0);
    if ((y + need > f.body.bottom() || b.pageBefore) && y > f.body.top()) {
      ++p.pages;
      y = f.body.top();
    }
    p.place.emplace_back(p.pages, y);
    y += b.height + (b.tight ? 0 : gap);
  }
  return p;
}

// Paints the blocks page by page, each page with the footer: the program,
// what the page belongs to (`ident`: the unit and its file, or the batch),
// the report's creation time and one page numbering over the whole
// document (this part's first page `first`, of `total`); the first page on
// a new page of the device when `newPage`.
void PaintPages(QCPPainter& painter, QPagedPaintDevice& device, const TPageFrame& f,
                const std::vector<TBlock>& blocks, const QString& ident, double createdAt, bool newPage,
                int first, int total) {
  const TPlacement placement = Place(blocks, f);
  const TUnits& u = f.u;
  const QString footer = QStringLiteral("Ratelog %1  \u2014  %2  \u2014  report created %3")
                             .arg(QStringLiteral(RATELOG_VERSION), ident, Q(FormatDdMmYyyyHhNn(createdAt)));
  std::size_t next = 0;
  for (int pageNo = 1; pageNo <= placement.pages; ++pageNo) {
    if (pageNo > 1 || newPage) device.newPage();
    for (; next < blocks.size() && placement.place[next].first == pageNo; ++next) {
      const QRectF rect(f.body.left(), placement.place[next].second, f.body.width(), blocks[next].height);
      painter.save();
      blocks[next].draw(painter, rect);
      painter.restore();
    }
    const QRectF foot(f.body.left(), f.page.bottom() - u.Mm(14), f.body.width(), u.Mm(6));
    painter.setPen(QPen(QColor(120, 120, 120), u.Mm(0.1)));
    painter.drawLine(foot.topLeft(), foot.topRight());
    painter.setFont(Font(7));
    painter.setPen(QColor(60, 60, 60));
    const QString page = QStringLiteral("Page %1 of %2").arg(first + pageNo - 1).arg(total);
    const double pageWidth = QFontMetricsF(Font(7), &device).horizontalAdvance(page) + u.Mm(3);
    painter.drawText(foot.adjusted(0, 0, -pageWidth, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetricsF(Font(7), &device).elidedText(footer, Qt::ElideMiddle, foot.width() - pageWidth));
    painter.drawText(foot, Qt::AlignRight | Qt::AlignVCenter, page);
  }
}

// What a unit's pages carry in their footer: its identification and file.
QString UnitIdent(const TReportContent& c) {
  const QString ident = c.Identification.Rows.empty() ? QString() : Q(c.Identification.Rows[0].Text);
  return (ident.isEmpty() ? QString() : ident + QStringLiteral("  \u2014  ")) + Q(c.FileName);
}

bool BeginPages(QCPPainter& painter, QPagedPaintDevice& device) {
  device.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                   QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
  if (!painter.begin(&device)) return false;
  painter.setMode(QCPPainter::pmVectorized);
  painter.setMode(QCPPainter::pmNoCaching);
  painter.setRenderHint(QPainter::Antialiasing);
  return true;
}

// The PDF is made in memory and then written by WriteReportFile: a
// unique temporary file in the target's folder, every write checked,
// renamed over the target only when complete (a full disk or a file-size
// limit leaves the older report as it was and no half file). `render`
// returns the pages it painted (0: it failed, with `error` set or not).
bool WritePdf(const QString& path, const TPdfMetadata& metadata,
              const std::function<int(QPdfWriter&, QString&)>& render, QString& error) {
  const std::string target = QFile::encodeName(path).toStdString();
  if (IsRecordingPath(target)) {
    error = path + QStringLiteral(": is a recording's name (.rtd); a report is never written over one");
    return false;
  }
  // Refused before the work: a FIFO, a device or a folder is never replaced.
  if (const std::string problem = ReportTargetProblem(target); !problem.empty()) {
    error = path + QStringLiteral(": ") + QString::fromLocal8Bit(problem.c_str());
    return false;
  }
  QByteArray bytes;
  int pages = 0;
  QString renderError;
  {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QPdfWriter writer(&buffer);
    writer.setPdfVersion(QPagedPaintDevice::PdfVersion_A1b);
    writer.setResolution(300);
    writer.setTitle(Q(metadata.Title));
    writer.setCreator(Q(metadata.Creator));
    pages = render(writer, renderError);
  }
  if (pages == 0 || bytes.isEmpty()) {
    error = renderError.isEmpty() ? path + QStringLiteral(": cannot write the report") : renderError;
    return false;
  }
  // Author, subject and keywords (which the writer cannot set) in an
  // update appended to its bytes, in the information dictionary and in
  // the XMP metadata alike, as PDF/A asks.
  std::string pdf = bytes.toStdString();
  bytes.clear();
  std::string writeError;
  if (!AppendPdfMetadata(pdf, metadata, writeError)) {
    error = path + QStringLiteral(": ") + Q(writeError);
    return false;
  }
  if (!WriteReportFile(target, pdf.data(), pdf.size(), writeError)) {
    error = QFile::decodeName(QByteArray::fromStdString(writeError));
    return false;
  }
  return true;
}

std::string IdentificationValue(const TReportContent& c, const char* caption) {
  for (const TFigure& f : c.Identification.Rows)
    if (f.Caption == caption) return f.Text;
  return {};
}

// The document information of the report of `units` (one: a single
// report): the operators as authors, the test as subject, the units'
// identifications, unit type, specification and verdict as keywords.
TPdfMetadata Metadata(const std::vector<const TReportContent*>& units, const std::string& title,
                      TVerdict verdict) {
  TPdfMetadata m;
  m.Title = title;
  m.Creator = m.Producer = "Ratelog " RATELOG_VERSION;
  m.Created = static_cast<std::int64_t>(std::time(nullptr));
  // Each value once, in the order of the units.
  const auto joined = [&](const std::function<std::string(const TReportContent&)>& value) {
    std::vector<std::string> seen;
    std::string list;
    for (const TReportContent* c : units) {
      const std::string v = value(*c);
      if (v.empty() || std::find(seen.begin(), seen.end(), v) != seen.end()) continue;
      seen.push_back(v);
      list += (list.empty() ? "" : ", ") + v;
    }
    return list;
  };
  m.Author = joined([](const TReportContent& c) { return IdentificationValue(c, "User"); });
  const std::string idents = joined([](const TReportContent& c) { return IdentificationValue(c, "Identification"); });
  const std::string files = joined([](const TReportContent& c) { return c.FileName; });
  const TTestSpec spec = units.empty() ? TTestSpec{} : units.front()->Spec;
  // A batch's subject stays short: its units are in the keywords.
  m.Subject = (units.size() == 1 ? "Test of gyroscope " + idents + " (" + files + ")"
                                 : "Test of " + std::to_string(units.size()) + " gyroscopes in one batch") +
              (spec.Name.empty() ? std::string()
                                 : " to specification " + spec.Name + ", revision " + spec.Revision);
  m.Keywords = idents;
  if (!spec.UnitType.empty()) m.Keywords += "; unit type " + spec.UnitType;
  if (!spec.Name.empty()) m.Keywords += "; specification " + spec.Name + " revision " + spec.Revision;
  m.Keywords += std::string("; verdict ") + (verdict == TVerdict::None ? "no limits" : VerdictName(verdict));
  return m;
}

}  // namespace

std::shared_ptr<TRecordingSeries> LoadChartData(const std::string& path,
                                                const TOptionProgramm& settings,
                                                std::string& error) {
  // The reader carries its averaging ring and a batch of records: far too
  // large for the stack.
  auto file = std::make_unique<TOpenFile>();
  file->Assign(settings);
  file->RecordingName = path;
  TStoreSink sink;
  const TLoadResult result = file->Load(sink);
  if (result != TLoadResult::Loaded) {
    error = result == TLoadResult::Missing ? path + ": no such file" : file->Error();
    return nullptr;
  }
  return sink.Store();
}

int RenderReport(const TReportContent& content, std::shared_ptr<TRecordingSeries> chart,
                 QPagedPaintDevice& device) {
  QCPPainter painter;
  if (!BeginPages(painter, device)) return 0;
  const TPageFrame f = Frame(device);
  const std::vector<TBlock> blocks = Blocks(content, std::move(chart), f.u, f.body.width());
  const int pages = Place(blocks, f).pages;
  PaintPages(painter, device, f, blocks, UnitIdent(content), content.CreatedAt, false, 1, pages);
  painter.end();
  return pages;
}

bool WriteReportPdf(const TReportContent& content, std::shared_ptr<TRecordingSeries> chart,
                    const QString& path, QString& error) {
  return WritePdf(path,
                  Metadata({&content}, (kTitle + QStringLiteral(" \u2014 ") + Q(content.FileName)).toStdString(),
                           content.Verdict),
                  [&](QPdfWriter& writer, QString&) { return RenderReport(content, std::move(chart), writer); },
                  error);
}

int RenderBatchReport(const std::vector<TReportContent>& units, const TChartSource& chart,
                      QPagedPaintDevice& device, QString& error) {
  QCPPainter painter;
  if (!BeginPages(painter, device)) return 0;
  const TPageFrame f = Frame(device);
  // The pages of each unit's report are counted first: the summary names
  // the page where each starts, and the summary's own pages come first.
  std::vector<int> unitPages;
  for (const TReportContent& c : units) unitPages.push_back(Place(Blocks(c, nullptr, f.u, f.body.width()), f).pages);
  std::vector<int> firstPages(units.size(), 0);
  std::vector<TBlock> summary =
      SummaryBlocks(units, firstPages, f.u, f.body.width(), f.body.height(), &device);
  int page = Place(summary, f).pages + 1;
  for (std::size_t i = 0; i < units.size(); ++i) {
    firstPages[i] = page;
    page += unitPages[i];
  }
  summary = SummaryBlocks(units, firstPages, f.u, f.body.width(), f.body.height(), &device);
  const int total = page - 1;
  PaintPages(painter, device, f, summary,
             kBatchTitle + QStringLiteral(" of %1 units").arg(units.size()), OleDateNow(), false, 1, total);
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::string chartError;
    std::shared_ptr<TRecordingSeries> store = chart(i, chartError);
    if (!store) {
      error = Q(chartError);
      painter.end();
      return 0;
    }
    PaintPages(painter, device, f, Blocks(units[i], store, f.u, f.body.width()), UnitIdent(units[i]),
               units[i].CreatedAt, true, firstPages[i], total);
  }
  painter.end();
  return total;
}

bool WriteBatchReportPdf(const std::vector<TReportContent>& units, const TChartSource& chart,
                         const QString& path, QString& error) {
  std::vector<const TReportContent*> all;
  std::vector<TBatchRow> rows;
  for (const TReportContent& c : units) {
    all.push_back(&c);
    rows.push_back(BatchRowOf(c));
  }
  return WritePdf(path,
                  Metadata(all, (kBatchTitle + QStringLiteral(" \u2014 ") + QString::number(units.size()) +
                                 QStringLiteral(" units")).toStdString(),
                           BatchVerdict(rows)),
                  [&](QPdfWriter& writer, QString& renderError) {
                    return RenderBatchReport(units, chart, writer, renderError);
                  },
                  error);
}
