#include "ui/Chart.h"

#include <QLocale>
#include <cmath>
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
  plot->yAxis2->setVisible(false);

  Series1 = plot->addGraph(plot->xAxis, plot->yAxis);
  Series1->setName(QStringLiteral("Series1"));
  Series1->setPen(QPen(Qt::red));
  Series2 = plot->addGraph(plot->xAxis, plot->yAxis);
  Series2->setName(QStringLiteral("Series2"));
  Series2->setPen(QPen(Qt::blue));
  Series3 = plot->addGraph(plot->xAxis, plot->yAxis2);
  Series3->setName(QStringLiteral("Series3"));
  Series3->setPen(QPen(QColor(0, 128, 0)));
  Series3->setVisible(false);

  title_ = new QCPTextElement(plot, QString(), QFont(plot->font().family(), 10, QFont::Bold));
  title_->setVisible(false);
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
