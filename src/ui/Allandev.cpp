#include "ui/Allandev.h"

#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "processing/NumberFormat.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"
#include "ui/SpanEdits.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

const QString kNone = QStringLiteral("\u2014");

// Six significant digits, the locale's decimal separator; a dash when the
// data have no such region.
QString ReadOut(double v) {
  if (!std::isfinite(v)) return kNone;
  return QString::fromStdString(FormatGeneral(v, DecimalSeparator(), 6));
}

// The program's text files are single-byte (Windows-1251): the degree sign
// is 0xB0 there.
QByteArray SingleByte(const std::string& utf8) {
  QByteArray out;
  out.reserve(static_cast<qsizetype>(utf8.size()));
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (static_cast<unsigned char>(utf8[i]) == 0xC2 && i + 1 < utf8.size() &&
        static_cast<unsigned char>(utf8[i + 1]) == 0xB0) {
      out.append(static_cast<char>(0xB0));
      ++i;
    } else {
      out.append(utf8[i]);
    }
  }
  return out;
}

void LogAxis(QCPAxis* axis, const QString& label) {
  axis->setScaleType(QCPAxis::stLogarithmic);
  QSharedPointer<QCPAxisTickerLog> ticker(new QCPAxisTickerLog);
  ticker->setLogBase(10);
  ticker->setSubTickCount(8);
  axis->setTicker(ticker);
  axis->setNumberFormat(QStringLiteral("eb"));
  axis->setNumberPrecision(0);
  axis->setLabel(label);
  axis->grid()->setSubGridVisible(true);
}

}  // namespace

QIcon TAllanFrm::Icon() {
  QIcon icon;
  for (int size : {16, 24, 32}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size / 16.0;
    painter.setPen(QPen(QColor(90, 90, 90), s));
    painter.drawLine(QPointF(1.5 * s, 1 * s), QPointF(1.5 * s, 14.5 * s));
    painter.drawLine(QPointF(1.5 * s, 14.5 * s), QPointF(15 * s, 14.5 * s));
    painter.setPen(QPen(QColor(0, 60, 200), 1.6 * s));
    const QPointF curve[] = {{3 * s, 2.5 * s}, {9 * s, 11 * s}, {14.5 * s, 5 * s}};
    painter.drawPolyline(curve, 3);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

TAllanFrm::TAllanFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("AllanFrm"));
  setWindowTitle(QStringLiteral("Allan deviation"));
  resize(900, 620);

  e_beg_time = Named(new QLineEdit(QStringLiteral("0"), this), "e_beg_time");
  e_end_time = Named(new QLineEdit(QStringLiteral("0"), this), "e_end_time");
  but_apply = Named(new QPushButton(QStringLiteral("Apply"), this), "but_apply");
  but_apply->setEnabled(false);
  lab_span = Named(new QLabel(this), "lab_span");

  PlotAllan = Named(new QCustomPlot(this), "PlotAllan");
  PlotAllan->setMinimumSize(520, 380);
  // Decades as powers of ten ("10" with a raised exponent), which needs the
  // C locale's exponent letter.
  PlotAllan->setLocale(QLocale::c());
  LogAxis(PlotAllan->xAxis, QStringLiteral("Averaging time \u03C4, s"));
  LogAxis(PlotAllan->yAxis, QStringLiteral("Allan deviation \u03C3, \u00B0/h"));
  PlotAllan->legend->setVisible(true);
  PlotAllan->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
  {
    QCPGraph* adev = PlotAllan->addGraph();
    adev->setName(QStringLiteral("Allan deviation"));
    adev->setPen(QPen(QColor(0, 60, 200), 1.5));
    adev->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, 6));
    auto* bars = new QCPErrorBars(PlotAllan->xAxis, PlotAllan->yAxis);
    bars->setObjectName(QStringLiteral("ErrorBars"));
    bars->removeFromLegend();
    bars->setDataPlottable(adev);
    bars->setPen(QPen(QColor(0, 60, 200)));
    QCPGraph* white = PlotAllan->addGraph();
    white->setName(QStringLiteral("slope -1/2: angle random walk"));
    white->setPen(QPen(QColor(200, 0, 0), 1.2, Qt::DashLine));
    QCPGraph* walk = PlotAllan->addGraph();
    walk->setName(QStringLiteral("slope +1/2: rate random walk"));
    walk->setPen(QPen(QColor(0, 140, 0), 1.2, Qt::DashLine));
    QCPGraph* minimum = PlotAllan->addGraph();
    minimum->setName(QStringLiteral("minimum: bias instability"));
    minimum->setLineStyle(QCPGraph::lsNone);
    minimum->setScatterStyle(
        QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(QColor(230, 120, 0), 2), Qt::NoBrush, 14));
  }

  ListAllan = Named(new QTableWidget(0, 3, this), "ListAllan");
  ListAllan->setHorizontalHeaderLabels(
      {QStringLiteral("\u03C4, s"), QStringLiteral("\u03C3, \u00B0/h"), QStringLiteral("Terms")});
  ListAllan->verticalHeader()->setVisible(false);
  ListAllan->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListAllan->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListAllan->setColumnWidth(0, 90);
  ListAllan->setColumnWidth(1, 100);
  ListAllan->horizontalHeader()->setStretchLastSection(true);
  ListAllan->setFixedWidth(310);

  lab_N = Named(new QLabel(kNone, this), "lab_N");
  lab_B = Named(new QLabel(kNone, this), "lab_B");
  lab_K = Named(new QLabel(kNone, this), "lab_K");
  BtnSavePlot = Named(new QPushButton(QStringLiteral("Save plot..."), this), "BtnSavePlot");
  BtnSaveTable = Named(new QPushButton(QStringLiteral("Save table..."), this), "BtnSaveTable");
  BtnClose = Named(new QPushButton(QStringLiteral("Close"), this), "BtnClose");
  for (QPushButton* button : {but_apply, BtnSavePlot, BtnSaveTable, BtnClose}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }

  auto* spanRow = new QHBoxLayout;
  spanRow->addWidget(new QLabel(QStringLiteral("Begin time, second"), this));
  spanRow->addWidget(e_beg_time);
  spanRow->addWidget(new QLabel(QStringLiteral("End time, second"), this));
  spanRow->addWidget(e_end_time);
  spanRow->addWidget(but_apply);
  spanRow->addWidget(lab_span, 1);

  auto* middle = new QHBoxLayout;
  middle->addWidget(PlotAllan, 1);
  middle->addWidget(ListAllan);

  auto* readOuts = new QGridLayout;
  const std::pair<const char*, QLabel*> rows[] = {
      {"Angle random walk N, \u00B0/Vh:", lab_N},
      {"Bias instability B, \u00B0/h:", lab_B},
      {"Rate random walk K, \u00B0/h/Vh:", lab_K}};
  int row = 0;
  for (const auto& [caption, value] : rows) {
    readOuts->addWidget(new QLabel(QString::fromUtf8(caption), this), row, 0);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    readOuts->addWidget(value, row, 1);
    ++row;
  }
  readOuts->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(BtnSavePlot);
  buttons->addWidget(BtnSaveTable);
  buttons->addWidget(BtnClose);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(spanRow);
  layout->addLayout(middle, 1);
  layout->addLayout(readOuts);
  layout->addLayout(buttons);

  connect(e_beg_time, &QLineEdit::textChanged, this, &TAllanFrm::e_beg_timeChange);
  connect(e_end_time, &QLineEdit::textChanged, this, &TAllanFrm::e_beg_timeChange);
  connect(but_apply, &QPushButton::clicked, this, &TAllanFrm::but_applyClick);
  connect(BtnSavePlot, &QPushButton::clicked, this, &TAllanFrm::BtnSavePlotClick);
  connect(BtnSaveTable, &QPushButton::clicked, this, &TAllanFrm::BtnSaveTableClick);
  connect(BtnClose, &QPushButton::clicked, this, &QDialog::accept);
}

void TAllanFrm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous())
    QMetaObject::invokeMethod(this, &TAllanFrm::FormShow, Qt::QueuedConnection);
}

void TAllanFrm::FormShow() {
  e_beg_time->setText(FixedText(Begin, 8, 5));
  e_end_time->setText(FixedText(End, 8, 5));
  but_apply->setEnabled(false);
  Recompute();
}

void TAllanFrm::Message(const QString& text) {
  Dialogs().Message(this, text, QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
}

namespace {
// Thrown from the reading's progress to end a reading nobody waits for.
struct TReadingStopped {};

// Nothing to show: no points, no read-outs.
TAllanResult NoResult() {
  TAllanResult r;
  r.N = r.B = r.BTau = r.K = std::nan("");
  return r;
}
}  // namespace

bool TAllanFrm::Recompute() {
  // The curve and read-outs of an earlier computation go at once.
  Span = TSpanRates{};
  Result = NoResult();
  ShowResult();
  if (work_.Running()) {
    // The computation under way is for the old span: it stops, and this
    // one starts when it has.
    work_.Cancel();
    restart_ = true;
    return true;
  }
  if (RecordingPath.empty()) return false;
  struct TOutcome {
    bool Ok = false;
    std::string Error;
    TAllanResult Result;
  };
  auto outcome = std::make_shared<TOutcome>();
  if (Gauge) Gauge(0);
  work_.Start(
      [this, outcome, path = RecordingPath, begin = Begin, end = End] {
        TSpanRates span;
        try {
          outcome->Ok = ReadSpanRates(path, begin, end, span, outcome->Error,
                                      [this](std::int64_t read, std::int64_t total) {
                                        if (work_.Cancelled()) throw TReadingStopped{};
                                        const int percent = total > 0 ? static_cast<int>(read * 100 / total) : 0;
                                        work_.Post([this, percent] {
                                          if (Gauge && work_.Running()) Gauge(percent);
                                        });
                                      });
        } catch (const TReadingStopped&) {
          return;
        }
        if (outcome->Ok && !work_.Cancelled()) outcome->Result = ComputeAllan(span);
      },
      [this, outcome] {
        if (Gauge) Gauge(-1);
        if (restart_) {
          restart_ = false;
          Recompute();
          return;
        }
        if (work_.Cancelled() || !isVisible()) return;
        if (!outcome->Ok) {
          Message(QStringLiteral("Cannot read the recording %1").arg(QString::fromStdString(outcome->Error)));
          return;
        }
        Result = std::move(outcome->Result);
        ShowResult();
      });
  lab_span->setText(QStringLiteral("Reading the span..."));
  return true;
}

void TAllanFrm::RecordingGone() {
  RecordingPath.clear();
  if (work_.Running()) work_.Cancel();
  restart_ = false;
  Span = TSpanRates{};
  Result = NoResult();
  ShowResult();
}

void TAllanFrm::ShowResult() {
  const TAllanResult& r = Result;
  QVector<double> tau, adev, bar;
  for (const TAllanPoint& p : r.Points) {
    tau.push_back(p.Tau);
    adev.push_back(p.Adev);
    bar.push_back(p.Adev / std::sqrt(static_cast<double>(p.Terms)));
  }
  QCPGraph* graph = PlotAllan->graph(0);
  graph->setData(tau, adev, true);
  if (auto* bars = PlotAllan->findChild<QCPErrorBars*>(QStringLiteral("ErrorBars")))
    bars->setData(bar);

  // The plot's tau range: the data, and 1 s and 3 s where the lines are
  // read off.
  double low = tau.isEmpty() ? 0.1 : tau.front();
  double high = tau.isEmpty() ? 10 : tau.back();
  auto line = [&](QCPGraph* g, const TAllanLine& l, double readAt) {
    g->data()->clear();
    g->removeFromLegend();
    if (!l.Found) return;
    low = std::min(low, readAt);
    high = std::max(high, readAt);
    g->addToLegend();
  };
  line(PlotAllan->graph(1), r.White, 1.0);
  line(PlotAllan->graph(2), r.RateWalk, 3.0);
  for (int i : {1, 2}) {
    const TAllanLine& l = i == 1 ? r.White : r.RateWalk;
    if (l.Found) PlotAllan->graph(i)->setData({low, high}, {l.At(low), l.At(high)}, true);
  }
  QCPGraph* minimum = PlotAllan->graph(3);
  minimum->data()->clear();
  minimum->removeFromLegend();
  if (r.MinimumFound && r.Points[r.Minimum].Adev > 0) {
    minimum->setData({r.Points[r.Minimum].Tau}, {r.Points[r.Minimum].Adev}, true);
    minimum->addToLegend();
  }

  // Axes: the points with their bars, the lines within the tau range.
  double sLow = 0, sHigh = 0;
  bool any = false;
  auto take = [&](double s) {
    if (!(s > 0) || !std::isfinite(s)) return;
    sLow = any ? std::min(sLow, s) : s;
    sHigh = any ? std::max(sHigh, s) : s;
    any = true;
  };
  for (int i = 0; i < adev.size(); ++i) {
    take(adev[i] - bar[i]);
    take(adev[i] + bar[i]);
  }
  for (const TAllanLine* l : {&r.White, &r.RateWalk})
    if (l->Found) {
      take(l->At(low));
      take(l->At(high));
    }
  PlotAllan->xAxis->setRange(low / 2, high * 2);
  if (any)
    PlotAllan->yAxis->setRange(sLow / 2, sHigh * 2);
  else
    PlotAllan->yAxis->setRange(0.01, 100);
  PlotAllan->replot();

  ListAllan->setRowCount(static_cast<int>(r.Points.size()));
  for (int i = 0; i < static_cast<int>(r.Points.size()); ++i) {
    const TAllanPoint& p = r.Points[static_cast<std::size_t>(i)];
    const QString cells[] = {ReadOut(p.Tau), ReadOut(p.Adev), QString::number(p.Terms)};
    for (int c = 0; c < 3; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      ListAllan->setItem(i, c, item);
    }
  }

  lab_N->setText(ReadOut(r.N));
  lab_B->setText(std::isfinite(r.B)
                     ? QStringLiteral("%1 (\u03C4 = %2 s)").arg(ReadOut(r.B), ReadOut(r.BTau))
                     : kNone);
  lab_K->setText(ReadOut(r.K));
  if (RecordingPath.empty())
    lab_span->clear();
  else if (r.Points.empty())
    lab_span->setText(r.Count < 3 ? QStringLiteral("Fewer than 3 records in the span")
                                  : QStringLiteral("The records of the span do not advance in time"));
  else
    lab_span->setText(QStringLiteral("%1 records, \u03C40 = %2 s")
                          .arg(r.Count)
                          .arg(ReadOut(r.Tau0)));
  const bool hasData = !r.Points.empty();
  BtnSavePlot->setEnabled(hasData);
  BtnSaveTable->setEnabled(hasData);
}

void TAllanFrm::e_beg_timeChange() { but_apply->setEnabled(true); }

void TAllanFrm::but_applyClick() {
  if (!ApplySpanEdits(this, e_beg_time, e_end_time, Series1, Begin, End)) return;
  but_apply->setEnabled(false);
  Recompute();
}

void TAllanFrm::BtnSavePlotClick() {
  TFileRequest request;
  request.Caption = QStringLiteral("Save plot");
  request.Filter = QStringLiteral("PNG image (*.png);;PDF document (*.pdf)");
  request.DefaultSuffix = QStringLiteral("png");
  QString name;
  if (!Dialogs().SaveFileName(this, request, name)) return;
  const bool pdf = QFileInfo(name).suffix().compare(QStringLiteral("pdf"), Qt::CaseInsensitive) == 0;
  const bool ok = pdf ? PlotAllan->savePdf(name, 900, 600) : PlotAllan->savePng(name, 1200, 800);
  if (!ok) Message(QStringLiteral("Cannot write %1").arg(name));
}

void TAllanFrm::BtnSaveTableClick() {
  TFileRequest request;
  request.Caption = QStringLiteral("Save table");
  request.Filter = QStringLiteral("Text file (*.txt);;All files (*)");
  request.DefaultSuffix = QStringLiteral("txt");
  QString name;
  if (!Dialogs().SaveFileName(this, request, name)) return;
  QFile file(name);
  const QByteArray text = SingleByte(AllanTable(Result));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() ||
      !file.flush()) {
    Message(QStringLiteral("Cannot write %1: %2").arg(name, file.errorString()));
    return;
  }
  file.close();
}

// A computation still under way stops.
void TAllanFrm::done(int result) {
  if (work_.Running()) work_.Cancel();
  QDialog::done(result);
}
