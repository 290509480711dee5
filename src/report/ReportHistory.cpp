#include "report/ReportHistory.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "processing/NumberFormat.h"
#include "store/UnitHistory.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

double Mm(double dpi, double mm) { return mm * dpi / 25.4; }
double Pt(double dpi, double pt) { return pt * dpi / 72.0; }
double Px(double dpi, double px) { return px * dpi / 96.0; }

QFont Font(double dpi, double pt, bool bold = false) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setStyleHint(QFont::SansSerif);
  f.setBold(bold);
  f.setPixelSize(std::max(1, static_cast<int>(std::lround(Pt(dpi, pt)))));
  return f;
}

QString Number(double v) { return std::isfinite(v) ? Q(FormatGeneral(v, '.', 6)) : QStringLiteral("\u2014"); }

const QColor kOwn(31, 119, 180), kOthers(150, 150, 150), kFail(200, 0, 0), kPass(0, 140, 0);

// A plot styled for the page at `dpi`.
std::shared_ptr<QCustomPlot> PagePlot(double dpi, const QString& title, const QString& yLabel) {
  auto plot = std::make_shared<QCustomPlot>();
  plot->setFont(Font(dpi, 7));
  plot->plotLayout()->setMargins(QMargins(1, 1, 1, 1) * static_cast<int>(Px(dpi, 1)));
  plot->plotLayout()->insertRow(0);
  plot->plotLayout()->addElement(0, 0, new QCPTextElement(plot.get(), title, Font(dpi, 7.5, true)));
  plot->yAxis->setLabel(yLabel);
  for (QCPAxis* axis : plot->axisRect()->axes()) {
    axis->setLabelFont(Font(dpi, 7));
    axis->setTickLabelFont(Font(dpi, 6.5));
    axis->setTickLength(0, static_cast<int>(Px(dpi, 4)));
    axis->setSubTickLength(0, static_cast<int>(Px(dpi, 2)));
    axis->setTickLabelPadding(static_cast<int>(Px(dpi, 3)));
    axis->setLabelPadding(static_cast<int>(Px(dpi, 3)));
    const double line = Mm(dpi, 0.15);
    axis->setBasePen(QPen(Qt::black, line));
    axis->setTickPen(QPen(Qt::black, line));
    axis->setSubTickPen(QPen(Qt::black, line));
    QPen grid = axis->grid()->pen();
    grid.setWidthF(Mm(dpi, 0.08));
    axis->grid()->setPen(grid);
  }
  return plot;
}

QCPGraph* Dots(QCustomPlot& plot, double dpi, QCPScatterStyle::ScatterShape shape, const QColor& colour, double px,
               bool filled) {
  QCPGraph* g = plot.addGraph();
  g->setLineStyle(QCPGraph::lsNone);
  g->setScatterStyle(
      QCPScatterStyle(shape, QPen(colour, Mm(dpi, 0.25)), filled ? QBrush(colour) : Qt::NoBrush, Px(dpi, px)));
  return g;
}

void Fit(QCustomPlot& plot) {
  plot.rescaleAxes();
  const QCPRange y = plot.yAxis->range();
  const double pad = y.size() > 0 ? y.size() * 0.12 : std::max(std::fabs(y.center()) * 0.1, 1e-9);
  plot.yAxis->setRange(y.lower - pad, y.upper + pad);
  const QCPRange x = plot.xAxis->range();
  const double xpad = x.size() > 0 ? x.size() * 0.05 : 1;
  plot.xAxis->setRange(x.lower - xpad, x.upper + xpad);
}

void Draw(QCPPainter& painter, QCustomPlot& plot, const QRectF& rect) {
  painter.save();
  painter.translate(rect.topLeft());
  plot.toPainter(&painter, static_cast<int>(rect.width()), static_cast<int>(rect.height()));
  painter.restore();
}

// The unit's values over its tests (by date; this test last, as a diamond).
void DrawTrend(QCPPainter& painter, const QRectF& rect, const TFigureHistory& f, double dpi) {
  const QString axis = Q(f.Name) + (f.Unit.empty() ? QString() : QStringLiteral(", ") + Q(f.Unit));
  const auto plot = PagePlot(dpi, Q(f.Name) + QStringLiteral(": this unit over its tests"), axis);
  QSharedPointer<QCPAxisTickerDateTime> dates(new QCPAxisTickerDateTime);
  dates->setDateTimeFormat(QStringLiteral("dd.MM.yy"));
  dates->setTickCount(4);
  plot->xAxis->setTicker(dates);
  QCPGraph* line = plot->addGraph();
  line->setPen(QPen(kOwn, Mm(dpi, 0.25)));
  line->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, QPen(kOwn), QBrush(kOwn), Px(dpi, 5)));
  QCPGraph* failed = Dots(*plot, dpi, QCPScatterStyle::ssCircle, kFail, 9, false);
  QCPGraph* judged = Dots(*plot, dpi, QCPScatterStyle::ssDiamond, f.Outside ? kFail : kPass, 10, true);
  for (std::size_t i = 0; i < f.Own.size(); ++i) {
    const TTrendPoint& p = f.Own[i];
    if (!std::isfinite(p.Value)) continue;
    const QDateTime t = QDateTime::fromString(Q(p.Started), Qt::ISODate);
    const double key = t.isValid() ? static_cast<double>(t.toSecsSinceEpoch()) : static_cast<double>(i);
    line->addData(key, p.Value);
    if (p.Verdict == "FAIL") failed->addData(key, p.Value);
    if (i + 1 == f.Own.size()) judged->addData(key, p.Value);
  }
  Fit(*plot);
  Draw(painter, *plot, rect);
}

// The type's individuals chart: other units grey, this unit's earlier
// results blue, this test a diamond (red outside the limits).
void DrawControl(QCPPainter& painter, const QRectF& rect, const TFigureHistory& f, const std::string& type,
                 double dpi) {
  const auto plot = PagePlot(dpi, QStringLiteral("control chart of type ") + Q(type), QString());
  plot->xAxis->setLabel(QStringLiteral("results of the type, oldest first"));
  QCPGraph* others = Dots(*plot, dpi, QCPScatterStyle::ssDisc, kOthers, 3.5, true);
  QCPGraph* own = Dots(*plot, dpi, QCPScatterStyle::ssDisc, kOwn, 5.5, true);
  std::size_t k = 0;
  for (std::size_t i = 0; i < f.Type.size(); ++i)
    if (std::isfinite(f.Type[i].Value)) (f.TypeIsOwn[i] ? own : others)->addData(static_cast<double>(++k), f.Type[i].Value);
  const double at = static_cast<double>(k + 1);
  if (std::isfinite(f.Judged))
    Dots(*plot, dpi, QCPScatterStyle::ssDiamond, f.Outside ? kFail : kPass, 10, true)->addData(at, f.Judged);
  if (ControlLimitsUsable(f.Chart)) {
    for (double y : {f.Chart.Centre, f.Chart.Lower, f.Chart.Upper}) {
      QCPGraph* g = plot->addGraph();
      g->setPen(QPen(y == f.Chart.Centre ? QColor(90, 90, 90) : kFail, Mm(dpi, 0.2),
                     y == f.Chart.Centre ? Qt::SolidLine : Qt::DashLine));
      g->setData({0.5, at + 0.5}, {y, y}, true);
    }
  }
  Fit(*plot);
  Draw(painter, *plot, rect);
}

QString ControlNote(const TFigureHistory& f) {
  if (!ControlLimitsUsable(f.Chart))
    return QStringLiteral("no control limits: ") + QString::fromStdString(NoControlLimitsReason(f.Chart));
  QString note = QStringLiteral("centre %1, control limits %2 .. %3 (x\u0305 \u00B1 2.66\u00B7MR\u0305, MR\u0305 %4) from %5 results")
                     .arg(Number(f.Chart.Centre), Number(f.Chart.Lower), Number(f.Chart.Upper), Number(f.Chart.MrBar))
                     .arg(f.Chart.Points.size());
  if (std::isfinite(f.Judged))
    note += QStringLiteral("; this test %1: %2").arg(Number(f.Judged), f.Outside ? QStringLiteral("OUTSIDE the control limits")
                                                                              : QStringLiteral("within the control limits"));
  return note;
}

void Text(QCPPainter& p, const QRectF& r, const QFont& font, const QColor& colour, const QString& text,
          int flags = Qt::AlignLeft | Qt::AlignVCenter) {
  p.setFont(font);
  p.setPen(colour);
  p.drawText(r, flags, QFontMetricsF(font).elidedText(text, Qt::ElideMiddle, r.width()));
}

}  // namespace

std::vector<THistoryBlock> HistoryBlocks(const TUnitHistory& h, double dpi, double width) {
  std::vector<THistoryBlock> blocks;
  const double line = Pt(dpi, 8 * 1.45);
  int failed = 0;
  for (const TStoredRun& r : h.Runs) failed += r.Verdict == "FAIL" ? 1 : 0;
  const std::vector<std::string> outside = h.OutsideNames();
  QString summary = QStringLiteral("Unit %1, type %2. Tests in the results store, this one included: %3; failed: %4.")
                        .arg(Q(h.Ident), Q(h.UnitType))
                        .arg(h.Runs.size())
                        .arg(failed);
  summary += outside.empty() ? QStringLiteral("\nNo figure of this test is outside its type's control limits.")
                             : QStringLiteral("\nOutside its type's control limits:");
  for (const std::string& n : outside) summary += QStringLiteral(" ") + Q(n);
  blocks.push_back({Pt(dpi, 12) + Mm(dpi, 3) + 3 * line,
                    [dpi, summary, line](QCPPainter& p, const QRectF& r) {
                      Text(p, QRectF(r.left(), r.top() + Mm(dpi, 2), r.width(), Pt(dpi, 12)), Font(dpi, 11, true),
                           Qt::black, QStringLiteral("Test history and control charts"));
                      p.setFont(Font(dpi, 8));
                      p.setPen(Qt::black);
                      p.drawText(QRectF(r.left(), r.top() + Pt(dpi, 12) + Mm(dpi, 3), r.width(), 3 * line),
                                 Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, summary);
                    },
                    true});
  // The tests, newest first: the latest twelve.
  const std::size_t shown = std::min<std::size_t>(h.Runs.size(), 12);
  const double rows = static_cast<double>(shown + 1 + (h.Runs.size() > shown ? 1 : 0));
  blocks.push_back({rows * line, [&h, dpi, line, shown](QCPPainter& p, const QRectF& r) {
                      const double widths[] = {0.2, 0.08, 0.1, 0.14, 0.14, 0.34};
                      const QStringList head = {QStringLiteral("Started"),  QStringLiteral("Verdict"),
                                                QStringLiteral("Command"),  QStringLiteral("Station"),
                                                QStringLiteral("Operator"), QStringLiteral("Recording")};
                      const auto row = [&](double y, const QStringList& cells, bool bold, const QColor& verdict) {
                        double x = r.left();
                        for (int c = 0; c < cells.size(); ++c) {
                          const double w = widths[c] * r.width();
                          Text(p, QRectF(x, y, w - Mm(dpi, 1), line), Font(dpi, 7.5, bold),
                               c == 1 && verdict.isValid() ? verdict : QColor(Qt::black), cells[c]);
                          x += w;
                        }
                      };
                      row(r.top(), head, true, QColor());
                      p.setPen(QPen(Qt::black, Mm(dpi, 0.1)));
                      p.drawLine(QPointF(r.left(), r.top() + line), QPointF(r.right(), r.top() + line));
                      for (std::size_t i = 0; i < shown; ++i) {
                        const TStoredRun& t = h.Runs[i];
                        const std::string file = t.RecordingPath.substr(t.RecordingPath.find_last_of('/') + 1);
                        row(r.top() + static_cast<double>(i + 1) * line,
                            {Q(t.Started) + (i == 0 ? QStringLiteral(" (this test)") : QString()),
                             t.Verdict.empty() ? QStringLiteral("none") : Q(t.Verdict), Q(t.Command), Q(t.Station),
                             Q(t.Operator), Q(file)},
                            false, t.Verdict == "FAIL" ? kFail : t.Verdict == "PASS" ? kPass : QColor());
                      }
                      if (h.Runs.size() > shown)
                        Text(p, QRectF(r.left(), r.top() + static_cast<double>(shown + 1) * line, r.width(), line),
                             Font(dpi, 7.5), Qt::black,
                             QStringLiteral("and %1 earlier tests").arg(h.Runs.size() - shown));
                    }});
  // Each figure with a value: its trend beside the type's control chart.
  const double plotHeight = Mm(dpi, 44);
  for (const TFigureHistory& f : h.Figures) {
    if (std::none_of(f.Own.begin(), f.Own.end(), [](const TTrendPoint& p) { return std::isfinite(p.Value); })) continue;
    const QString note = ControlNote(f);
    const bool outsideLimits = f.Outside;
    // The note wraps onto a second line rather than losing a figure.
    blocks.push_back({plotHeight + 2 * line, [&f, &h, dpi, width, plotHeight, line, note, outsideLimits](QCPPainter& p,
                                                                                                  const QRectF& r) {
                        const double half = width / 2;
                        DrawTrend(p, QRectF(r.left(), r.top(), half - Mm(dpi, 1), plotHeight), f, dpi);
                        DrawControl(p, QRectF(r.left() + half + Mm(dpi, 1), r.top(), half - Mm(dpi, 1), plotHeight),
                                    f, h.UnitType, dpi);
                        p.setFont(Font(dpi, 7));
                        p.setPen(outsideLimits ? kFail : QColor(60, 60, 60));
                        p.drawText(QRectF(r.left(), r.top() + plotHeight, r.width(), 2 * line),
                                   Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, Q(f.Name) + QStringLiteral(": ") + note);
                      }});
  }
  return blocks;
}
