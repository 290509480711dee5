#include "ui/Allandev.h"
#include "ui/Chart.h"

#include <QComboBox>
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
#include <QProgressBar>
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

// The five terms in the order of their slopes: name, caption, unit, colour.
struct TTermView {
  const char* Name;
  const char* Caption;
  const char* Unit;
  QColor Colour;
};
const TTermView kTerms[] = {
    {"Q", "Quantization Q", "arcsec", QColor(150, 0, 150)},
    {"N", "Angle random walk N", "\u00B0/\u221Ah", QColor(200, 0, 0)},
    {"B", "Bias instability B", "\u00B0/h", QColor(230, 120, 0)},
    {"K", "Rate random walk K", "\u00B0/h/\u221Ah", QColor(0, 140, 0)},
    {"R", "Rate ramp R", "\u00B0/h\u00B2", QColor(0, 150, 170)},
};
const TAllanLine& Term(const TAllanResult& r, int i) {
  const TAllanLine* lines[] = {&r.Q, &r.N, &r.B, &r.K, &r.R};
  return *lines[i];
}

// The grids the window offers, as the command line names them.
const char* const kGrids[][2] = {{"octave", "Octave (m = 1, 2, 4, ...)"},
                                 {"decade", "Decade (m = 1, 10, 100, ...)"},
                                 {"5", "5 per decade"},
                                 {"10", "10 per decade"},
                                 {"20", "20 per decade"},
                                 {"all", "Every m (up to 100000 records)"}};
const char* const kKinds[] = {"Overlapping Allan", "Modified Allan", "Overlapping Hadamard"};

// The table with a line of column headings above the points and another
// above the terms.
std::string WithHeadings(const std::string& table) {
  std::string out;
  std::size_t at = 0;
  bool first = true, terms = false;
  while (at < table.size()) {
    const std::size_t end = std::min(table.find('\n', at), table.size());
    const std::string line = table.substr(at, end - at);
    if (!terms && line.rfind("Q\t", 0) == 0) {
      out += "# term\tvalue\tunit\ttau from, s\ttau to, s\ttau of the minimum, s\n";
      terms = true;
    }
    out += line + "\n";
    if (first) out += "# tau, s\tsigma, \u00B0/h\tterms\tedf\tlow, \u00B0/h\thigh, \u00B0/h\n";
    first = false;
    at = end + 1;
  }
  return out;
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
  SetLogAxis(PlotAllan->xAxis, QStringLiteral("Averaging time \u03C4, s"));
  SetLogAxis(PlotAllan->yAxis, QStringLiteral("Allan deviation \u03C3, \u00B0/h"));
  PlotAllan->legend->setVisible(true);
  PlotAllan->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignRight);
  {
    QCPGraph* adev = PlotAllan->addGraph();
    adev->setName(QStringLiteral("Deviation, confidence interval"));
    adev->setPen(QPen(QColor(0, 60, 200), 1.5));
    adev->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, 6));
    auto* bars = new QCPErrorBars(PlotAllan->xAxis, PlotAllan->yAxis);
    bars->setObjectName(QStringLiteral("ErrorBars"));
    bars->removeFromLegend();
    bars->setDataPlottable(adev);
    bars->setPen(QPen(QColor(0, 60, 200)));
    // Graphs 1..5: the lines of Q, N, B, K, R over their ranges.
    for (const TTermView& t : kTerms) {
      QCPGraph* line = PlotAllan->addGraph();
      line->setName(QString::fromUtf8(t.Caption));
      line->setPen(QPen(t.Colour, 3.0, Qt::DashLine));
    }
    QCPGraph* minimum = PlotAllan->addGraph();
    minimum->setName(QStringLiteral("minimum: bias instability"));
    minimum->setLineStyle(QCPGraph::lsNone);
    minimum->setScatterStyle(
        QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(kTerms[2].Colour, 2), Qt::NoBrush, 14));
    minimum->removeFromLegend();
  }

  cb_taus = Named(new QComboBox(this), "cb_taus");
  for (const auto& grid : kGrids) cb_taus->addItem(QString::fromUtf8(grid[1]), QString::fromLatin1(grid[0]));
  cb_kind = Named(new QComboBox(this), "cb_kind");
  for (const char* kind : kKinds) cb_kind->addItem(QString::fromLatin1(kind));

  ListAllan = Named(new QTableWidget(0, 6, this), "ListAllan");
  ListAllan->setHorizontalHeaderLabels({QStringLiteral("\u03C4, s"), QStringLiteral("\u03C3, \u00B0/h"),
                                        QStringLiteral("Terms"), QStringLiteral("EDF"),
                                        QStringLiteral("Low, \u00B0/h"), QStringLiteral("High, \u00B0/h")});
  ListAllan->verticalHeader()->setVisible(false);
  ListAllan->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListAllan->setEditTriggers(QAbstractItemView::NoEditTriggers);
  for (int c = 0; c < 6; ++c) ListAllan->setColumnWidth(c, c == 2 ? 70 : 80);
  ListAllan->horizontalHeader()->setStretchLastSection(true);
  ListAllan->setFixedWidth(500);

  lab_Q = Named(new QLabel(kNone, this), "lab_Q");
  lab_N = Named(new QLabel(kNone, this), "lab_N");
  lab_B = Named(new QLabel(kNone, this), "lab_B");
  lab_K = Named(new QLabel(kNone, this), "lab_K");
  lab_R = Named(new QLabel(kNone, this), "lab_R");
  lab_gaps = Named(new QLabel(this), "lab_gaps");
  // The progress of the reading and computing, in the window itself (the
  // main window's gauge lies behind it).
  Progress = Named(new QProgressBar(this), "Progress");
  Progress->setRange(0, 100);
  Progress->setTextVisible(false);
  Progress->setMaximumHeight(16);
  Progress->setVisible(false);
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
  spanRow->addWidget(new QLabel(QStringLiteral("\u03C4 grid"), this));
  spanRow->addWidget(cb_taus);
  spanRow->addWidget(new QLabel(QStringLiteral("Deviation"), this));
  spanRow->addWidget(cb_kind);
  spanRow->addStretch(1);

  auto* middle = new QHBoxLayout;
  middle->addWidget(PlotAllan, 1);
  middle->addWidget(ListAllan);

  auto* readOuts = new QGridLayout;
  QLabel* values[] = {lab_Q, lab_N, lab_B, lab_K, lab_R};
  for (int row = 0; row < 5; ++row) {
    const TTermView& t = kTerms[row];
    auto* caption = new QLabel(QStringLiteral("%1, %2:").arg(QString::fromUtf8(t.Caption), QString::fromUtf8(t.Unit)), this);
    caption->setStyleSheet(QStringLiteral("color: %1").arg(t.Colour.name()));
    readOuts->addWidget(caption, row, 0);
    values[row]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    readOuts->addWidget(values[row], row, 1);
  }
  readOuts->addWidget(lab_span, 0, 2);
  readOuts->addWidget(lab_gaps, 1, 2);
  lab_span->setAlignment(Qt::AlignRight);
  lab_gaps->setAlignment(Qt::AlignRight);
  readOuts->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Progress, 1);
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
  // Another grid or kind: the same span computed again.
  for (QComboBox* box : {cb_taus, cb_kind})
    connect(box, &QComboBox::currentIndexChanged, this, [this] {
      if (isVisible() && !RecordingPath.empty()) Recompute();
    });
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

}  // namespace

bool TAllanFrm::Recompute() {
  // The curve and read-outs of an earlier computation go at once.
  Span = TSpanRates{};
  Result = TAllanResult{};
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
  ShowProgress(0);
  TAllanOptions options = Options();
  options.Cancel = &work_.CancelFlag();
  work_.Start(
      [this, outcome, path = RecordingPath, begin = Begin, end = End, options] {
        TSpanRates span;
        try {
          outcome->Ok = ReadSpanRates(path, begin, end, span, outcome->Error,
                                      [this](std::int64_t read, std::int64_t total) {
                                        if (work_.Cancelled()) throw TReadingStopped{};
                                        const int percent = total > 0 ? static_cast<int>(read * 100 / total) : 0;
                                        work_.Post([this, percent] {
                                          if (work_.Running()) ShowProgress(percent);
                                        });
                                      });
        } catch (const TReadingStopped&) {
          return;
        }
        if (!outcome->Ok || work_.Cancelled()) return;
        work_.Post([this] {
          if (work_.Running()) ShowProgress(100);
        });
        outcome->Result = ComputeAllan(span, options);
      },
      [this, outcome] {
        ShowProgress(-1);
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

void TAllanFrm::ShowProgress(int percent) {
  if (Gauge) Gauge(percent);
  Progress->setVisible(percent >= 0);
  if (percent < 0) return;
  // Read: the computation itself tells no progress.
  if (percent >= 100) {
    Progress->setRange(0, 0);
    lab_span->setText(QStringLiteral("Computing..."));
  } else {
    Progress->setRange(0, 100);
    Progress->setValue(percent);
  }
}

void TAllanFrm::RecordingGone() {
  RecordingPath.clear();
  if (work_.Running()) work_.Cancel();
  restart_ = false;
  Span = TSpanRates{};
  Result = TAllanResult{};
  ShowResult();
}

TAllanOptions TAllanFrm::Options() const {
  TAllanOptions o;
  ParseTauGrid(cb_taus->currentData().toString().toStdString(), o.Grid);
  o.Kind = static_cast<TAllanKind>(std::clamp(cb_kind->currentIndex(), 0, 2));
  return o;
}

void TAllanFrm::ShowResult() {
  const TAllanResult& r = Result;
  QVector<double> tau, adev, minus, plus;
  for (const TAllanPoint& p : r.Points) {
    tau.push_back(p.Tau);
    adev.push_back(p.Adev);
    minus.push_back(std::isfinite(p.Lo) ? p.Adev - p.Lo : 0);
    plus.push_back(std::isfinite(p.Hi) ? p.Hi - p.Adev : 0);
  }
  PlotAllan->graph(0)->setData(tau, adev, true);
  if (auto* bars = PlotAllan->findChild<QCPErrorBars*>(QStringLiteral("ErrorBars"))) bars->setData(minus, plus);
  PlotAllan->yAxis->setLabel(QStringLiteral("%1 deviation \u03C3, \u00B0/h").arg(QString::fromLatin1(kKinds[static_cast<int>(r.Kind)])));

  // Each term's line over the tau range it was read on.
  for (int i = 0; i < 5; ++i) {
    QCPGraph* g = PlotAllan->graph(1 + i);
    const TAllanLine& l = Term(r, i);
    g->data()->clear();
    g->removeFromLegend();
    if (!l.Found) continue;
    QVector<double> x, y;
    for (int k = 0; k <= 16; ++k) {
      const double t = l.TauFrom * std::pow(l.TauTo / l.TauFrom, k / 16.0);
      x.push_back(t);
      y.push_back(l.At(t));
    }
    g->setData(x, y, true);
    g->addToLegend();
  }
  QCPGraph* minimum = PlotAllan->graph(6);
  minimum->data()->clear();
  if (r.B.Found) minimum->setData({r.BTau}, {r.B.Level}, true);

  // Axes: the points with their intervals.
  double sLow = 0, sHigh = 0;
  bool any = false;
  auto take = [&](double v) {
    if (!(v > 0) || !std::isfinite(v)) return;
    sLow = any ? std::min(sLow, v) : v;
    sHigh = any ? std::max(sHigh, v) : v;
    any = true;
  };
  for (const TAllanPoint& p : r.Points) {
    take(p.Adev);
    take(p.Lo);
    take(p.Hi);
  }
  PlotAllan->xAxis->setRange(tau.isEmpty() ? 0.05 : tau.front() / 2, tau.isEmpty() ? 20 : tau.back() * 2);
  if (any)
    PlotAllan->yAxis->setRange(sLow / 2, sHigh * 2);
  else
    PlotAllan->yAxis->setRange(0.01, 100);
  PlotAllan->replot();

  ListAllan->setRowCount(static_cast<int>(r.Points.size()));
  for (int i = 0; i < static_cast<int>(r.Points.size()); ++i) {
    const TAllanPoint& p = r.Points[static_cast<std::size_t>(i)];
    const QString cells[] = {ReadOut(p.Tau), ReadOut(p.Adev), QString::number(p.Terms),
                             QString::fromStdString(FormatGeneral(p.Edf, DecimalSeparator(), 4)),
                             ReadOut(p.Lo), ReadOut(p.Hi)};
    for (int c = 0; c < 6; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      ListAllan->setItem(i, c, item);
    }
  }

  // "value  [lo .. hi]  (tau a .. b s)"; B with the tau of the minimum.
  // A term not reported: a dash and why, B with the bound the curve puts
  // on it.
  QLabel* labels[] = {lab_Q, lab_N, lab_B, lab_K, lab_R};
  for (int i = 0; i < 5; ++i) {
    const TAllanLine& l = Term(r, i);
    if (!l.Found) {
      QString text = kNone;
      if (i == 2 && std::isfinite(r.BUpper))
        text += QStringLiteral("   bound: B \u2264 %1").arg(ReadOut(r.BUpper));
      if (!r.Points.empty()) text += QStringLiteral("   (%1)").arg(QString::fromStdString(l.Absent));
      labels[i]->setText(text);
      continue;
    }
    QString text = QStringLiteral("%1   [%2 \u2026 %3]   (\u03C4 %4 \u2026 %5 s)")
                       .arg(ReadOut(l.Value), ReadOut(l.Lo), ReadOut(l.Hi), ReadOut(l.TauFrom), ReadOut(l.TauTo));
    if (i == 2) text += QStringLiteral(", minimum at \u03C4 = %1 s").arg(ReadOut(r.BTau));
    labels[i]->setText(text);
  }
  if (RecordingPath.empty())
    lab_span->clear();
  else if (!r.Refused.empty())
    lab_span->setText(QStringLiteral("Every m is offered up to 100000 records; this span has %1").arg(r.Count));
  else if (r.Points.empty())
    lab_span->setText(r.Count < 3 ? QStringLiteral("Fewer than 3 records in the span")
                                  : QString::fromStdString(r.Empty.empty() ? std::string("No points") : r.Empty));
  else
    lab_span->setText(QStringLiteral("%1 records, \u03C40 = %2 s, confidence %3 %")
                          .arg(r.Count)
                          .arg(ReadOut(r.Tau0))
                          .arg(ReadOut(r.Confidence * 100)));
  if (RecordingPath.empty() || r.Points.empty())
    lab_gaps->clear();
  else if (r.Gaps == 0 && r.Backward == 0)
    lab_gaps->setText(QStringLiteral("No gaps"));
  else
    lab_gaps->setText(QStringLiteral("Gaps: %1 (%2 s without records)%3")
                          .arg(r.Gaps)
                          .arg(ReadOut(r.GapSeconds))
                          .arg(r.Backward > 0 ? QStringLiteral(", steps back in time: %1").arg(r.Backward) : QString()));
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
  const QByteArray text = SingleByte(WithHeadings(AllanTable(Result)));
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
