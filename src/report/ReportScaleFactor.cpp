#include "report/ReportScaleFactor.h"

#include <QFontMetricsF>
#include <QStringList>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

#include "processing/NumberFormat.h"

namespace {

struct TUnits {
  double dpi;
  double Mm(double mm) const { return mm * dpi / 25.4; }
  double Pt(double pt) const { return pt * dpi / 72.0; }
  double Px(double px) const { return px * dpi / 96.0; }
};

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
QString Num(double v, int digits = 10) { return std::isfinite(v) ? Q(FormatGeneral(v, '.', digits)) : QStringLiteral("\u2014"); }

QFont Font(const TUnits& u, double pt, bool bold = false) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setStyleHint(QFont::SansSerif);
  f.setPixelSize(std::max(1, static_cast<int>(std::lround(u.Pt(pt)))));
  f.setBold(bold);
  return f;
}

// `text` in lines no wider than `width`, broken after a space.
QStringList Wrap(const QString& text, double width, const QFontMetricsF& m) {
  QStringList lines;
  QString line;
  for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    const QString next = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
    if (!line.isEmpty() && m.horizontalAdvance(next) > width) {
      lines << line;
      line = word;
    } else {
      line = next;
    }
  }
  if (!line.isEmpty() || lines.isEmpty()) lines << line;
  return lines;
}

struct TGrid {
  double pt = 8;
  std::vector<double> widths;  // fractions
  std::vector<Qt::Alignment> align;
  QStringList header;
  std::vector<QStringList> rows;
};

double RowHeight(const TGrid& g, const TUnits& u) { return u.Pt((g.pt + 0.5) * 1.45); }

void DrawGrid(QCPPainter& p, const QRectF& r, const TGrid& g, const TUnits& u) {
  double y = r.top();
  const double h = RowHeight(g, u);
  const auto cells = [&](const QStringList& row, bool bold) {
    double x = r.left();
    const QFont font = Font(u, g.pt, bold);
    p.setPen(Qt::black);
    for (int c = 0; c < row.size() && c < static_cast<int>(g.widths.size()); ++c) {
      const double w = r.width() * g.widths[static_cast<std::size_t>(c)];
      const QRectF cell(x + u.Mm(1), y, w - u.Mm(2), h);
      // A text wider than its cell is set smaller (to 5.5 pt) rather than cut.
      QFont fitted = font;
      const double wide = QFontMetricsF(font, p.device()).horizontalAdvance(row[c]);
      if (wide > cell.width()) fitted.setPointSizeF(std::max(5.5, font.pointSizeF() * cell.width() / wide * 0.98));
      p.setFont(fitted);
      p.drawText(cell, static_cast<int>(g.align[static_cast<std::size_t>(c)] | Qt::AlignVCenter), row[c]);
      x += w;
    }
    y += h;
  };
  if (!g.header.isEmpty()) {
    p.fillRect(QRectF(r.left(), y, r.width(), h), QColor(232, 236, 242));
    cells(g.header, true);
  }
  for (const QStringList& row : g.rows) {
    p.setPen(QPen(QColor(190, 190, 190), u.Mm(0.08)));
    p.drawLine(QPointF(r.left(), y), QPointF(r.right(), y));
    cells(row, false);
  }
}

class TResidualPlot : public QCustomPlot {
 public:
  void LayOut(const QRectF& rect) {
    setViewport(QRect(0, 0, static_cast<int>(rect.width()), static_cast<int>(rect.height())));
    updateLayout();
  }
};

// Residuals from the single line in ppm of full-scale output against the
// commanded rate, each with its plateau's standard error.
void DrawResiduals(QCPPainter& painter, const QRectF& rect, const TScaleFactorResult& r, const TUnits& u) {
  TResidualPlot plot;
  plot.setNoAntialiasingOnDrag(true);
  plot.xAxis->setLabel(QStringLiteral("Commanded rate, \u00B0/s"));
  plot.yAxis->setLabel(QStringLiteral("Residual from the line, ppm of full scale"));
  QVector<double> x, y, e;
  for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
    const TPlateau& p = r.Plateaus[i];
    if (!p.Used || !std::isfinite(r.ResidualFsPpm[i])) continue;
    x << p.Rate;
    y << r.ResidualFsPpm[i];
    e << (std::isfinite(p.OutputSe) ? p.OutputSe / std::fabs(r.K * r.FullScale) * 1e6 : 0.0);
  }
  QCPGraph* g = plot.addGraph();
  g->setLineStyle(QCPGraph::lsNone);
  g->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, QPen(QColor(20, 80, 210)), QColor(20, 80, 210),
                                     u.Px(6)));
  g->setData(x, y);
  auto* bars = new QCPErrorBars(plot.xAxis, plot.yAxis);
  bars->setDataPlottable(g);
  bars->setData(e);
  bars->setPen(QPen(QColor(20, 80, 210), u.Mm(0.15)));
  plot.rescaleAxes();
  plot.xAxis->scaleRange(1.1);
  plot.yAxis->scaleRange(1.3);
  if (plot.yAxis->range().size() <= 0) plot.yAxis->setRange(-1, 1);
  plot.setFont(Font(u, 7.5));
  for (QCPAxis* axis : plot.axisRect()->axes()) {
    axis->setLabelFont(Font(u, 8));
    axis->setTickLabelFont(Font(u, 7.5));
    axis->setTickLength(0, static_cast<int>(u.Px(5)));
    axis->setSubTickLength(0, static_cast<int>(u.Px(2)));
    axis->setTickLabelPadding(static_cast<int>(u.Px(4)));
    axis->setLabelPadding(static_cast<int>(u.Px(4)));
    const double line = u.Mm(0.15);
    axis->setBasePen(QPen(Qt::black, line));
    axis->setTickPen(QPen(Qt::black, line));
    axis->setSubTickPen(QPen(Qt::black, line));
    QPen grid = axis->grid()->pen();
    grid.setWidthF(u.Mm(0.08));
    axis->grid()->setPen(grid);
  }
  plot.LayOut(rect);
  painter.save();
  painter.translate(rect.topLeft());
  plot.toPainter(&painter, static_cast<int>(rect.width()), static_cast<int>(rect.height()));
  painter.restore();
}

}  // namespace

std::vector<TReportPageBlock> ScaleFactorBlocks(const TReportContent& c, double dpi, double width) {
  std::vector<TReportPageBlock> blocks;
  const TReportScaleFactor& sf = c.ScaleFactor;
  if (!sf.Present) return blocks;
  const TScaleFactorResult& r = sf.Result;
  const TUnits u{dpi};
  const auto heading = [&](const QString& text, bool pageBefore) {
    blocks.push_back({u.Pt(12) + u.Mm(3),
                      [text, u](QCPPainter& p, const QRectF& rect) {
                        p.setFont(Font(u, 11, true));
                        p.setPen(Qt::black);
                        p.drawText(QRectF(rect.left(), rect.top() + u.Mm(2), rect.width(), u.Pt(12)),
                                   Qt::AlignLeft | Qt::AlignVCenter, text);
                      },
                      false, true, pageBefore});
  };
  // A table, one block a row: a long one continues on the next page.
  const auto grid = [&](const TGrid& g) {
    const double h = RowHeight(g, u);
    if (!g.header.isEmpty()) {
      TGrid head = g;
      head.rows.clear();
      blocks.push_back({h, [head, u](QCPPainter& p, const QRectF& rect) { DrawGrid(p, rect, head, u); }, true, true});
    }
    for (std::size_t i = 0; i < g.rows.size(); ++i) {
      TGrid row = g;
      row.header.clear();
      row.rows = {g.rows[i]};
      blocks.push_back({h + (i + 1 == g.rows.size() ? u.Mm(1) : 0.0),
                        [row, u](QCPPainter& p, const QRectF& rect) { DrawGrid(p, rect, row, u); },
                        i + 1 < g.rows.size()});
    }
  };
  const auto text = [&](const QString& line) {
    TGrid g;
    g.widths = {1.0};
    g.align = {Qt::AlignLeft};
    const QFontMetricsF m(Font(u, g.pt));
    for (const QString& l : Wrap(line, width - u.Mm(2.5), m)) g.rows.push_back({l});
    grid(g);
  };

  heading(QStringLiteral("Scale factor (rate-table test)"), true);
  text(QStringLiteral("Plateaus ") + Q(sf.Source) + QStringLiteral("."));
  text(QStringLiteral("Earth rate along the input axis from ") + Q(sf.EarthRateSource) + QStringLiteral("."));
  if (!sf.Note.empty()) text(QStringLiteral("No scale factor: ") + Q(sf.Note));

  // The figures, each with its uncertainty, by the name a limit gives it.
  if (r.Valid) {
    TGrid g;
    g.header = {QStringLiteral("Figure"), QStringLiteral("Field"), QStringLiteral("Value"),
                QStringLiteral("\u00B1 1\u03C3"), QStringLiteral("Unit")};
    g.widths = {0.33, 0.26, 0.16, 0.13, 0.12};
    g.align = {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignRight, Qt::AlignRight, Qt::AlignLeft};
    const std::vector<TFigure>& f = c.ScaleFactorFigures.Figures;
    const auto value = [&](const char* field) -> const TFigure* {
      for (const TFigure& x : f)
        if (x.Caption == field) return &x;
      return nullptr;
    };
    const struct {
      const char* caption;
      const char* field;
      const char* se;
    } rows[] = {{"Scale factor K (single line)", "sf", "sf_se"},
                {"Intercept F0/K (single line)", "sf_intercept_deg_h", "sf_intercept_deg_h_se"},
                {"Bias at zero input (asymmetric model)", "sf_bias_deg_h", "sf_bias_deg_h_se"},
                {"Earth rate along the input axis", "sf_earth_rate_deg_h", nullptr},
                {"Bias, Earth rate removed", "sf_bias_earth_corrected_deg_h", "sf_bias_earth_corrected_deg_h_se"},
                {"K+ (rate \u2265 0)", "sf_k_plus", "sf_k_plus_se"},
                {"K\u2212 (rate \u2264 0)", "sf_k_minus", "sf_k_minus_se"},
                {"Asymmetry", "sf_asymmetry_ppm", "sf_asymmetry_ppm_se"},
                {"Nonlinearity (single line, incl. asymmetry)", "sf_nonlinearity_ppm", "sf_nonlinearity_ppm_se"},
                {"Nonlinearity (asymmetric model)", "sf_nonlinearity_two_slope_ppm", nullptr},
                {"Full scale", "sf_full_scale_deg_s", nullptr},
                {"Temperature coefficient of K", "sf_tc_ppm_per_c", "sf_tc_ppm_per_c_se"},
                {"Repeatability of K over runs", "sf_repeatability_ppm", nullptr}};
    for (const auto& row : rows) {
      const TFigure* v = value(row.field);
      const TFigure* se = row.se ? value(row.se) : nullptr;
      if (!v) continue;
      QString shown = std::isnan(v->Value) ? QStringLiteral("\u2014") : Q(v->Text).trimmed();
      QString unc = se && !std::isnan(se->Value) ? Q(se->Text).trimmed() : QString();
      if (std::string(row.field) == "sf_repeatability_ppm" && !std::isnan(v->Value))
        unc = Num(sf.Runs.RepeatabilityLo, 4) + QStringLiteral(" .. ") + Num(sf.Runs.RepeatabilityHi, 4);
      g.rows.push_back({QString::fromUtf8(row.caption), QString::fromLatin1(row.field), shown, unc,
                        Q(v->Unit)});
    }
    grid(g);
    if (!std::isfinite(r.TcPpmPerC) && !sf.TcFromRuns)
      text(QStringLiteral("sf_tc_ppm_per_c: no value, the plateaus span less than 1 \u00B0C (") + Num(r.TMin, 4) +
           QStringLiteral(" .. ") + Num(r.TMax, 4) + QStringLiteral(" \u00B0C) and no batch of runs spans more."));
    if (sf.TcFromRuns)
      text(QStringLiteral("sf_tc_ppm_per_c: over the ") + QString::number(sf.Runs.Runs) +
           QStringLiteral(" runs of the batch, K against each run's mean temperature."));
    if (sf.Runs.Runs < 2)
      text(QStringLiteral("sf_repeatability_ppm: no value, it needs two or more runs (a batch)."));
    else
      text(QStringLiteral("sf_repeatability_ppm: 1\u03C3 of K over the ") + QString::number(sf.Runs.Runs) +
           QStringLiteral(" runs of the batch with a rate-table test, its 68.3 % interval beside it."));
    text(QStringLiteral("The single line's intercept holds the asymmetry and its nonlinearity includes it: the "
                        "bias at zero input and the nonlinearity of the asymmetric model are the figures without it."));
  }

  // The plateaus: commanded rate, mean output, residuals.
  if (!r.Plateaus.empty()) {
    heading(QStringLiteral("Plateaus and residuals from the line"), false);
    TGrid g;
    g.pt = 7.5;
    g.header = {QStringLiteral("#"), QStringLiteral("rate_deg_s"), QStringLiteral("output_deg_s"),
                QStringLiteral("\u00B1 se"), QStringLiteral("records"), QStringLiteral("t_c"),
                QStringLiteral("ppm of reading"), QStringLiteral("ppm of FS")};
    g.widths = {0.07, 0.12, 0.18, 0.13, 0.1, 0.1, 0.16, 0.14};
    g.align = std::vector<Qt::Alignment>(8, Qt::AlignRight);
    for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
      const TPlateau& p = r.Plateaus[i];
      g.rows.push_back({QString::number(i + 1) + (p.Used ? QString() : QStringLiteral(" (dropped)")),
                        Num(p.Rate), Num(p.Output), Num(p.OutputSe, 3), QString::number(p.Records),
                        Num(p.Temperature, 5), Num(r.ResidualPpm[i], 5), Num(r.ResidualFsPpm[i], 5)});
    }
    grid(g);
  }
  if (r.Valid) {
    heading(QStringLiteral("Residuals from the line"), false);
    blocks.push_back({u.Mm(70), [&r, u](QCPPainter& p, const QRectF& rect) { DrawResiduals(p, rect, r, u); }});
  }
  heading(QStringLiteral("Scale-factor definitions"), false);
  {
    TGrid g;
    g.pt = 7.5;
    g.widths = {0.3, 0.7};
    g.align = {Qt::AlignLeft, Qt::AlignLeft};
    const QFontMetricsF m(Font(u, g.pt));
    for (std::size_t i = 0; i < kScaleFactorDefinitionCount; ++i) {
      const QStringList lines = Wrap(QString::fromUtf8(kScaleFactorDefinitions[i].Text), width * 0.7 - u.Mm(2.5), m);
      for (int k = 0; k < lines.size(); ++k)
        g.rows.push_back({k ? QString() : QString::fromUtf8(kScaleFactorDefinitions[i].Name), lines[k]});
    }
    grid(g);
  }
  return blocks;
}
