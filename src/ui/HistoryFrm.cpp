#include "ui/HistoryFrm.h"

#include <QAction>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>

#include "processing/NumberFormat.h"
#include "store/ResultDelivery.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString Number(double v) {
  return std::isfinite(v) ? Q(FormatGeneral(v, DecimalSeparator(), 6)) : QStringLiteral("\u2014");
}

// The store the window reads: as the command-line tool finds it without --db.
std::string StoreTarget(const std::string& chosen) {
  return chosen.empty() ? EnvironmentStoreTarget(std::nullopt).Target : chosen;
}

const QColor kOwn(31, 119, 180), kOthers(150, 150, 150), kFail(200, 0, 0), kPass(0, 140, 0), kLimit(200, 0, 0);

QCustomPlot* NewPlot(QWidget* parent, const QString& name, const QString& title, const QString& yLabel) {
  auto* plot = new QCustomPlot(parent);
  plot->setObjectName(name);
  plot->setMinimumHeight(170);
  plot->plotLayout()->insertRow(0);
  plot->plotLayout()->addElement(0, 0, new QCPTextElement(plot, title, QFont(plot->font().family(), 9, QFont::Bold)));
  plot->yAxis->setLabel(yLabel);
  return plot;
}

QCPGraph* Dots(QCustomPlot* plot, const QString& name, QCPScatterStyle::ScatterShape shape, const QColor& colour,
               double size, bool filled) {
  QCPGraph* g = plot->addGraph();
  g->setName(name);
  g->setLineStyle(QCPGraph::lsNone);
  g->setScatterStyle(QCPScatterStyle(shape, QPen(colour, 1.2), filled ? QBrush(colour) : Qt::NoBrush, size));
  return g;
}

void Line(QCustomPlot* plot, const QString& name, double from, double to, double y, Qt::PenStyle style) {
  QCPGraph* g = plot->addGraph();
  g->setName(name);
  g->setPen(QPen(name.startsWith(QStringLiteral("Centre")) ? Qt::darkGray : kLimit, 1, style));
  g->setData({from, to}, {y, y}, true);
}

double TimeKey(const std::string& started, double fallback) {
  const QDateTime t = QDateTime::fromString(Q(started), Qt::ISODate);
  return t.isValid() ? static_cast<double>(t.toSecsSinceEpoch()) : fallback;
}

// Fits the value axis around what the plot holds.
void Fit(QCustomPlot* plot) {
  plot->rescaleAxes();
  const QCPRange y = plot->yAxis->range();
  const double pad = y.size() > 0 ? y.size() * 0.1 : std::max(std::fabs(y.center()) * 0.1, 1e-9);
  plot->yAxis->setRange(y.lower - pad, y.upper + pad);
  const QCPRange x = plot->xAxis->range();
  const double xpad = x.size() > 0 ? x.size() * 0.04 : 1;
  plot->xAxis->setRange(x.lower - xpad, x.upper + xpad);
}

}  // namespace

THistoryFrm::THistoryFrm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("HistoryFrm"));
  setWindowTitle(QStringLiteral("History"));
  resize(900, 760);
  lab_unit = new QLabel(this);
  lab_unit->setObjectName(QStringLiteral("lab_unit"));
  QFont bold = lab_unit->font();
  bold.setBold(true);
  lab_unit->setFont(bold);
  lab_unit->setTextInteractionFlags(Qt::TextSelectableByMouse);
  lab_status = new QLabel(this);
  lab_status->setObjectName(QStringLiteral("lab_status"));
  lab_status->setWordWrap(true);
  ListTests = new QTableWidget(0, 9, this);
  ListTests->setObjectName(QStringLiteral("ListTests"));
  ListTests->setHorizontalHeaderLabels({QStringLiteral("Started"), QStringLiteral("Verdict"), QStringLiteral("Command"),
                                        QStringLiteral("Station"), QStringLiteral("Operator"),
                                        QStringLiteral("Specification"), QStringLiteral("Recording"),
                                        QStringLiteral("Figures outside limits"), QStringLiteral("SHA-256")});
  ListTests->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListTests->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListTests->verticalHeader()->setVisible(false);
  ListTests->horizontalHeader()->setStretchLastSection(true);
  ListTests->setMinimumHeight(150);
  Figures = new QTabWidget(this);
  Figures->setObjectName(QStringLiteral("Figures"));
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName(QStringLiteral("BtnClose"));
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lab_unit);
  layout->addWidget(lab_status);
  layout->addWidget(ListTests, 2);
  layout->addWidget(Figures, 5);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(close);
  layout->addLayout(buttons);
}

void THistoryFrm::Execute() {
  lab_unit->setText(QStringLiteral("Unit ") + Q(Ident) + QStringLiteral("  (type ") + Q(UnitTypeOf(Ident)) +
                    QStringLiteral(")"));
  show();
  raise();
  activateWindow();
  Read();
}

void THistoryFrm::Read() {
  if (work_.Running()) {
    again_ = true;  // the unit may have changed meanwhile
    return;
  }
  lab_status->setText(QStringLiteral("Reading the results store\u2026"));
  const std::string ident = Ident, chosen = Target;
  work_.Start(
      [this, ident, chosen] {
        read_ = TUnitHistory();
        error_.clear();
        try {
          const std::string target = StoreTarget(chosen);
          struct stat st {};
          // A missing file is no store yet: it is never made here.
          if (!IsConnectionString(target) && ::stat(target.c_str(), &st) != 0) {
            error_ = "\n" + target;
            return;
          }
          read_ = ReadUnitHistory(*OpenResultsStore(target), ident);
        } catch (const std::exception& e) {
          error_ = e.what();
        }
      },
      [this] {
        const std::string error = error_;
        History = std::move(read_);
        if (again_) {
          again_ = false;
          Read();
          return;
        }
        Show(error);
      });
}

void THistoryFrm::Show(const std::string& error) {
  ListTests->setRowCount(0);
  while (Figures->count() > 0) {
    QWidget* page = Figures->widget(0);
    Figures->removeTab(0);
    delete page;
  }
  if (!error.empty() && error[0] == '\n') {
    lab_status->setText(QStringLiteral("No results are stored yet (no results store at ") + Q(error.substr(1)) +
                        QStringLiteral(")."));
  } else if (!error.empty()) {
    lab_status->setText(QStringLiteral("The results store cannot be read: ") + Q(error));
    Dialogs().Message(this, QStringLiteral("The results store cannot be read:\n") + Q(error), QStringLiteral("Message"),
                      TMsgButtons::Ok, TMsgIcon::Warning);
  } else {
    int failed = 0;
    for (const TStoredRun& r : History.Runs) failed += r.Verdict == "FAIL" ? 1 : 0;
    const std::vector<std::string> outside = History.OutsideNames();
    QString status = History.Runs.empty() ? QStringLiteral("No test of this unit is stored.")
                                          : QStringLiteral("%1 tests, %2 failed.").arg(History.Runs.size()).arg(failed);
    if (!outside.empty()) {
      status += QStringLiteral(" Newest test outside the control limits of the unit type:");
      for (const std::string& name : outside) status += QStringLiteral(" ") + Q(name);
    }
    lab_status->setText(status);
    ListTests->setRowCount(static_cast<int>(History.Runs.size()));
    for (int row = 0; row < ListTests->rowCount(); ++row) {
      const TStoredRun& r = History.Runs[static_cast<std::size_t>(row)];
      QString failedFigures;
      for (const TStoredFigure& f : r.Figures)
        if (f.Verdict == "FAIL") failedFigures += (failedFigures.isEmpty() ? "" : ", ") + Q(f.Name);
      const QStringList cells = {Q(r.Started), r.Verdict.empty() ? QStringLiteral("none") : Q(r.Verdict), Q(r.Command),
                                 Q(r.Station), Q(r.Operator),
                                 r.SpecName.empty() ? QString() : Q(r.SpecName) + QStringLiteral(" rev. ") + Q(r.SpecRevision),
                                 Q(r.RecordingPath), failedFigures, Q(r.Sha256)};
      for (int c = 0; c < cells.size(); ++c) {
        auto* item = new QTableWidgetItem(cells[c]);
        if (c == 1 && r.Verdict == "FAIL") item->setForeground(kFail);
        if (c == 1 && r.Verdict == "PASS") item->setForeground(kPass);
        ListTests->setItem(row, c, item);
      }
    }
    ListTests->resizeColumnsToContents();
    for (const TFigureHistory& f : History.Figures) Figures->addTab(FigurePage(f), Q(f.Name));
  }
  if (OnFinished) OnFinished();
}

QWidget* THistoryFrm::FigurePage(const TFigureHistory& f) {
  auto* page = new QWidget;
  page->setObjectName(Q("page_" + f.Name));
  const QString unit = Q(f.Unit);
  QCustomPlot* trend = NewPlot(page, QStringLiteral("PlotTrend"), Q(f.Name) + QStringLiteral(" of this unit over its tests"),
                               Q(f.Name) + (unit.isEmpty() ? QString() : QStringLiteral(", ") + unit));
  QSharedPointer<QCPAxisTickerDateTime> dates(new QCPAxisTickerDateTime);
  dates->setDateTimeFormat(QStringLiteral("dd.MM.yyyy\nhh:mm"));
  trend->xAxis->setTicker(dates);
  QCPGraph* values = trend->addGraph();
  values->setName(QStringLiteral("values"));
  values->setPen(QPen(kOwn, 1));
  values->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(kOwn, 1.2), QBrush(kOwn), 6));
  QCPGraph* failed = Dots(trend, QStringLiteral("failed"), QCPScatterStyle::ssCircle, kFail, 9, false);
  for (std::size_t i = 0; i < f.Own.size(); ++i) {
    const TTrendPoint& p = f.Own[i];
    if (!std::isfinite(p.Value)) continue;
    const double key = TimeKey(p.Started, static_cast<double>(i));
    values->addData(key, p.Value);
    if (p.Verdict == "FAIL") failed->addData(key, p.Value);
  }
  Fit(trend);

  QCustomPlot* control = NewPlot(page, QStringLiteral("PlotControl"),
                                 QStringLiteral("Control chart of type ") + Q(History.UnitType) +
                                     QStringLiteral(" (individuals; this unit marked)"),
                                 Q(f.Name) + (unit.isEmpty() ? QString() : QStringLiteral(", ") + unit));
  control->xAxis->setLabel(QStringLiteral("result of the type, oldest first"));
  control->legend->setVisible(true);
  control->legend->setFont(QFont(control->font().family(), 7));
  // The legend beside the chart, never over its newest points.
  QCPLayoutGrid* grid = control->plotLayout();
  for (int row = 0; row < grid->rowCount(); ++row)
    if (grid->element(row, 0) == control->axisRect()) {
      grid->addElement(row, 1, control->legend);
      grid->setColumnStretchFactor(1, 0.001);
      control->legend->setLayer(QStringLiteral("legend"));
    }
  QCPGraph* others = Dots(control, QStringLiteral("other units"), QCPScatterStyle::ssDisc, kOthers, 4, true);
  QCPGraph* own = Dots(control, QStringLiteral("this unit"), QCPScatterStyle::ssDisc, kOwn, 7, true);
  const TControlChart& chart = f.Chart;
  // Chart points are the type's finite values in order.
  std::size_t k = 0;
  for (std::size_t i = 0; i < f.Type.size(); ++i) {
    if (!std::isfinite(f.Type[i].Value)) continue;
    (f.TypeIsOwn[i] ? own : others)->addData(static_cast<double>(++k), f.Type[i].Value);
  }
  const double judgedAt = static_cast<double>(k + 1);
  if (std::isfinite(f.Judged))
    Dots(control, QStringLiteral("this test"), QCPScatterStyle::ssDiamond, f.Outside ? kFail : kPass, 11, true)
        ->addData(judgedAt, f.Judged);
  QString note;
  if (ControlLimitsUsable(chart)) {
    Line(control, QStringLiteral("Centre"), 0.5, judgedAt + 0.5, chart.Centre, Qt::SolidLine);
    Line(control, QStringLiteral("Control limits"), 0.5, judgedAt + 0.5, chart.Upper, Qt::DashLine);
    Line(control, QStringLiteral("Lower limit"), 0.5, judgedAt + 0.5, chart.Lower, Qt::DashLine);
    control->legend->removeItem(control->legend->itemCount() - 1);
    note = QStringLiteral("Centre %1, control limits %2 .. %3, moving range %4 (upper %5), from %6 results of the type. ")
               .arg(Number(chart.Centre), Number(chart.Lower), Number(chart.Upper), Number(chart.MrBar),
                    Number(chart.MrUpper))
               .arg(chart.Points.size());
    note += std::isfinite(f.Judged) ? QStringLiteral("This test: %1, %2.").arg(Number(f.Judged),
                                          f.Outside ? QStringLiteral("outside the control limits")
                                                    : QStringLiteral("within the control limits"))
                                    : QString();
  } else {
    note = QStringLiteral("No control limits: ") + QString::fromStdString(NoControlLimitsReason(chart)) +
           QLatin1Char('.');
  }
  Fit(control);
  auto* label = new QLabel(note, page);
  label->setObjectName(QStringLiteral("lab_control"));
  label->setWordWrap(true);
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(trend, 1);
  layout->addWidget(control, 1);
  layout->addWidget(label);
  return page;
}

void InstallHistoryWindow(QWidget* mainWindow, const std::function<void(QAction*)>& add,
                          std::function<std::string()> ident) {
  auto* action = new QAction(QStringLiteral("History"), mainWindow);
  action->setObjectName(QStringLiteral("ac_history"));
  action->setStatusTip(QStringLiteral("The unit's tests, trends and control chart from the results store"));
  auto* window = new THistoryFrm(mainWindow);
  QObject::connect(action, &QAction::triggered, window, [window, ident] {
    const std::string unit = ident();
    if (unit.empty()) return;
    window->Ident = unit;
    window->Execute();
  });
  add(action);
}
