#include "ui/ThermalFrm.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "processing/NumberFormat.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

constexpr std::size_t kChartPoints = 200000;
const QColor kHeating(210, 40, 30);
const QColor kCooling(20, 80, 210);
const QColor kSteady(120, 120, 120);

QString Figure(double v) {
  if (!std::isfinite(v)) return QStringLiteral("NAN");
  return QString::fromStdString(FormatGeneral(v, DecimalSeparator(), 6));
}

}  // namespace

// ------------------------------------------------------------ background ---

TBackgroundJob::~TBackgroundJob() {
  if (cancel_) cancel_->store(true);
  Reap(true);
}

void TBackgroundJob::Reap(bool all) {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (all || it->finished->load()) {
      it->thread.join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}

void TBackgroundJob::Cancel() {
  if (cancel_) cancel_->store(true);
  current_->store(++generation_);
}

void TBackgroundJob::Start(
    std::function<void(const std::atomic<bool>&, const std::function<void(std::function<void()>)>&)>
        work) {
  Cancel();
  Reap(false);
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  running_ = std::make_shared<std::atomic<bool>>(false);
  const std::uint64_t generation = generation_;
  auto current = current_;
  QObject* receiver = receiver_;
  // The receiver outlives the threads (they are joined before it goes), and
  // a function posted to it is dropped with it; one overtaken by a newer
  // job is dropped as well.
  auto post = [receiver, current, generation](std::function<void()> fn) {
    QMetaObject::invokeMethod(
        receiver,
        [current, generation, fn = std::move(fn)] {
          if (current->load() == generation) fn();
        },
        Qt::QueuedConnection);
  };
  threads_.push_back({std::thread([work = std::move(work), cancel = cancel_, finished = running_,
                                   post] {
                        work(*cancel, post);
                        finished->store(true);
                      }),
                      running_});
}

// -------------------------------------------------------------- overlays ---

TChartOverlays::TChartOverlays(QCustomPlot* chart) : chart_(chart) {}

void TChartOverlays::SetCompensated(std::vector<double> times, std::vector<double> rates) {
  times_ = std::move(times);
  rates_ = std::move(rates);
  if (!compensated_) {
    compensated_ = chart_->addGraph(chart_->xAxis, chart_->yAxis);
    compensated_->setObjectName(QStringLiteral("SeriesCompensated"));
    compensated_->setName(QStringLiteral("Compensated rate"));
    compensated_->setPen(QPen(QColor(150, 0, 170), 1));
  }
  // The legend tells the compensated rate from the series it is drawn over.
  for (int i = 0; i < chart_->graphCount(); ++i) {
    QCPGraph* graph = chart_->graph(i);
    if (graph == compensated_ || graph->visible())
      graph->addToLegend();
    else
      graph->removeFromLegend();
  }
  chart_->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignBottom | Qt::AlignRight);
  chart_->legend->setVisible(true);
  SetRateFactor(factor_);
}

void TChartOverlays::SetRateFactor(double factor) {
  factor_ = factor;
  if (!compensated_) return;
  QVector<QCPGraphData> data(static_cast<qsizetype>(times_.size()));
  for (std::size_t i = 0; i < times_.size(); ++i) data[static_cast<qsizetype>(i)] = {times_[i], rates_[i] * factor_};
  compensated_->data()->set(data, true);
  chart_->replot();
}

void TChartOverlays::ClearCompensated() {
  if (compensated_) {
    chart_->removeGraph(compensated_);
    compensated_ = nullptr;
    chart_->legend->setVisible(false);
    chart_->replot();
  }
  std::vector<double>().swap(times_);
  std::vector<double>().swap(rates_);
}

bool TChartOverlays::CompensatedShown() const { return compensated_ != nullptr; }

void TChartOverlays::SetWarmupMarker(double time, const QString& text, double fitTime, const QString& fitText) {
  // The fit settles before the lagging moving average as a rule: its
  // label stands left of its line, the average's right of its own.
  PlaceMarker(marker_, "WarmupMarker", Qt::DashLine, time, 0.02, Qt::AlignLeft, text);
  PlaceMarker(fitMarker_, "WarmupFitMarker", Qt::DotLine, fitTime, 0.09, Qt::AlignRight, fitText);
  chart_->replot();
}

// One vertical line with its label at `height` (a fraction of the plot's
// height from its top) on the `side` of it; a time that is no number
// removes it.
void TChartOverlays::PlaceMarker(TMarkerItems& m, const char* name, Qt::PenStyle style, double time,
                                 double height, Qt::Alignment side, const QString& text) {
  if (!std::isfinite(time)) {
    if (m.line) chart_->removeItem(m.line);
    if (m.text) chart_->removeItem(m.text);
    m = {};
    return;
  }
  if (!m.line) {
    m.line = new QCPItemStraightLine(chart_);
    m.line->setObjectName(QString::fromLatin1(name));
    m.line->setPen(QPen(QColor(0, 150, 60), 1.5, style));
    m.text = new QCPItemText(chart_);
    m.text->setColor(QColor(0, 120, 50));
  }
  m.line->point1->setType(QCPItemPosition::ptPlotCoords);
  m.line->point2->setType(QCPItemPosition::ptPlotCoords);
  m.line->point1->setCoords(time, 0);
  m.line->point2->setCoords(time, 1);
  m.text->position->setTypeX(QCPItemPosition::ptPlotCoords);
  m.text->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
  m.text->position->setCoords(time, height);
  m.text->setPositionAlignment(side | Qt::AlignTop);
  m.text->setText(text);
}

void TChartOverlays::ClearAll() {
  ClearCompensated();
  SetWarmupMarker(std::numeric_limits<double>::quiet_NaN(), {});
}

void ThinForChart(const std::vector<SamplePoint>& records, const std::vector<float>& rates,
                  std::size_t limit, std::vector<double>& times, std::vector<double>& values) {
  times.clear();
  values.clear();
  const std::size_t n = std::min(records.size(), rates.size());
  if (n <= limit) {
    for (std::size_t i = 0; i < n; ++i) {
      times.push_back(records[i].Time);
      values.push_back(rates[i]);
    }
    return;
  }
  const std::size_t stretches = std::max<std::size_t>(limit / 2, 1);
  const std::size_t step = (n + stretches - 1) / stretches;
  for (std::size_t first = 0; first < n; first += step) {
    const std::size_t last = std::min(n, first + step);
    std::size_t lo = first, hi = first;
    for (std::size_t i = first; i < last; ++i) {
      if (rates[i] < rates[lo]) lo = i;
      if (rates[i] > rates[hi]) hi = i;
    }
    for (std::size_t i : {std::min(lo, hi), std::max(lo, hi)}) {
      times.push_back(records[i].Time);
      values.push_back(rates[i]);
      if (lo == hi) break;
    }
  }
}

// ---------------------------------------------------------------- window ---

TThermalFrm::TThermalFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      job_(this) {
  setObjectName(QStringLiteral("ThermalFrm"));
  setWindowTitle(QStringLiteral("Temperature sensitivity"));
  resize(980, 640);

  e_beg_time = Named(new QLineEdit(QStringLiteral("0"), this), "e_beg_time");
  e_end_time = Named(new QLineEdit(QStringLiteral("0"), this), "e_end_time");
  e_order = Named(new QSpinBox(this), "e_order");
  e_order->setRange(1, 3);
  e_order->setValue(2);
  e_average = Named(new QLineEdit(FixedText(10, 8, 1), this), "e_average");
  e_average->setMaximumWidth(70);
  e_tref = Named(new QLineEdit(FixedText(25, 8, 1), this), "e_tref");
  e_tref->setMaximumWidth(70);
  ch_rate_term = Named(new QCheckBox(QStringLiteral("Rate term c\u00B7dT/dt"), this), "ch_rate_term");
  ch_rate_term->setChecked(true);
  but_apply = Named(new QPushButton(QStringLiteral("Apply"), this), "but_apply");
  lab_status = Named(new QLabel(this), "lab_status");
  lab_status->setWordWrap(true);

  PlotThermal = Named(new QCustomPlot(this), "PlotThermal");
  PlotThermal->setMinimumSize(560, 400);
  PlotThermal->xAxis->setLabel(QStringLiteral("Temperature, \u00B0C"));
  PlotThermal->yAxis->setLabel(QStringLiteral("Bias (averaged), \u00B0/h"));
  PlotThermal->legend->setVisible(true);
  PlotThermal->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
  const struct {
    const char* name;
    QColor colour;
    bool line;
    Qt::PenStyle style;
  } graphs[] = {{"Heating", kHeating, false, Qt::SolidLine},
                {"Cooling", kCooling, false, Qt::SolidLine},
                {"Steady", kSteady, false, Qt::SolidLine},
                {"Model, dT/dt = 0", Qt::black, true, Qt::SolidLine},
                {"Model, heating", kHeating, true, Qt::DashLine},
                {"Model, cooling", kCooling, true, Qt::DashLine}};
  for (const auto& g : graphs) {
    QCPGraph* graph = PlotThermal->addGraph();
    graph->setName(QString::fromUtf8(g.name));
    if (g.line) {
      graph->setPen(QPen(g.colour, 1.8, g.style));
    } else {
      graph->setLineStyle(QCPGraph::lsNone);
      graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, g.colour, 4));
      graph->setPen(QPen(g.colour));
    }
  }

  ListCoefficients = Named(new QTableWidget(0, 4, this), "ListCoefficients");
  ListCoefficients->setHorizontalHeaderLabels(
      {QStringLiteral("Name"), QStringLiteral("Value"), QStringLiteral("\u00B1 std. error"),
       QStringLiteral("Unit")});
  ListCoefficients->verticalHeader()->setVisible(false);
  ListCoefficients->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListCoefficients->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListCoefficients->horizontalHeader()->setStretchLastSection(true);
  ListCoefficients->setWordWrap(false);
  ListCoefficients->setFixedWidth(440);

  ch_compensated = Named(new QCheckBox(QStringLiteral("Show compensated rate"), this), "ch_compensated");
  ch_compensated->setEnabled(false);
  BtnClose = Named(new QPushButton(QStringLiteral("Close"), this), "BtnClose");
  for (QPushButton* button : {but_apply, BtnClose}) button->setAutoDefault(false);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("Begin time, second"), this));
  top->addWidget(e_beg_time);
  top->addWidget(new QLabel(QStringLiteral("End time, second"), this));
  top->addWidget(e_end_time);
  top->addWidget(new QLabel(QStringLiteral("Order"), this));
  top->addWidget(e_order);
  top->addWidget(new QLabel(QStringLiteral("Average, s"), this));
  top->addWidget(e_average);
  top->addWidget(new QLabel(QStringLiteral("T ref, \u00B0C"), this));
  top->addWidget(e_tref);
  top->addWidget(ch_rate_term);
  top->addWidget(but_apply);
  auto* middle = new QHBoxLayout;
  middle->addWidget(PlotThermal, 1);
  middle->addWidget(ListCoefficients);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(lab_status, 1);
  bottom->addWidget(ch_compensated);
  bottom->addWidget(BtnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(middle, 1);
  layout->addLayout(bottom);

  connect(but_apply, &QPushButton::clicked, this, &TThermalFrm::but_applyClick);
  connect(ch_compensated, &QCheckBox::clicked, this, &TThermalFrm::ch_compensatedClick);
  connect(BtnClose, &QPushButton::clicked, this, &QDialog::accept);
  connect(this, &QDialog::finished, this, [this] {
    job_.Cancel();
    if (Gauge) Gauge(-1);
  });
}

TThermalFrm::~TThermalFrm() = default;

void TThermalFrm::Execute() {
  e_beg_time->setText(FixedText(Begin, 8, 5));
  e_end_time->setText(FixedText(End, 8, 5));
  ch_compensated->setChecked(Overlays && Overlays->CompensatedShown());
  open();
  Start();
}

void TThermalFrm::but_applyClick() {
  double begin = 0, end = 0, average = 0, tref = 0;
  const std::pair<QLineEdit*, double*> fields[] = {
      {e_beg_time, &begin}, {e_end_time, &end}, {e_average, &average}, {e_tref, &tref}};
  for (const auto& [edit, value] : fields) {
    if (!ReadDouble(edit->text().trimmed(), *value)) {
      Dialogs().Message(this, NotFloatMessage(edit->text()), QStringLiteral("Message"),
                        TMsgButtons::Ok, TMsgIcon::Stop);
      edit->setFocus();
      return;
    }
  }
  if (!(average > 0)) {
    Dialogs().Message(this, QStringLiteral("The averaging time must be more than 0 s."),
                      QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
    return;
  }
  if (begin > end) std::swap(begin, end);
  Begin = begin;
  End = end;
  e_beg_time->setText(FixedText(Begin, 8, 5));
  e_end_time->setText(FixedText(End, 8, 5));
  Start();
}

void TThermalFrm::Start() {
  double average = 10, tref = 25;
  ReadDouble(e_average->text().trimmed(), average);
  ReadDouble(e_tref->text().trimmed(), tref);
  const TThermalOptions options{e_order->value(), average > 0 ? average : 10.0,
                                ch_rate_term->isChecked(), tref, TempLow, TempHigh};
  but_apply->setEnabled(false);
  lab_status->setText(QStringLiteral("Reading the recording..."));
  const std::string path = RecordingPath;
  const double begin = Begin, end = End;
  auto gauge = Gauge;
  job_.Start([this, path, begin, end, options, gauge](const std::atomic<bool>& cancel,
                                                      const auto& post) {
    std::vector<SamplePoint> records;
    std::string error;
    int shown = -1;
    const bool ok = ReadSpanRecords(
        path, begin, end, records, error,
        [&](std::int64_t read, std::int64_t total) {
          const int percent = total > 0 ? static_cast<int>(read * 100 / total) : 0;
          if (percent != shown && gauge) post([gauge, percent] { gauge(percent); });
          shown = percent;
        },
        &cancel);
    if (cancel.load()) return;
    auto result = std::make_shared<TThermalResult>();
    auto times = std::make_shared<std::vector<double>>();
    auto rates = std::make_shared<std::vector<double>>();
    if (ok) {
      std::vector<float> compensated;
      *result = ComputeThermal(records, options, &compensated, &cancel);
      if (cancel.load()) return;  // a stopped fit is never shown
      if (result->Valid) ThinForChart(records, compensated, kChartPoints, *times, *rates);
    }
    const QString message = ok ? QString() : QString::fromStdString(error);
    // `this` is only touched on its own thread, and the posted function is
    // dropped when the window is gone.
    post([this, result, times, rates, message] { Finished(result, times, rates, message); });
  });
}

void TThermalFrm::Finished(std::shared_ptr<TThermalResult> result,
                           std::shared_ptr<std::vector<double>> times,
                           std::shared_ptr<std::vector<double>> rates, const QString& error) {
  if (Gauge) Gauge(-1);
  but_apply->setEnabled(true);
  Result = *result;
  compTimes_ = times;
  compRates_ = rates;
  ShowResult();
  if (OnSoaks) OnSoaks(Result.Plateaus);
  if (!error.isEmpty()) {
    lab_status->setText(QStringLiteral("Cannot read the recording."));
    Dialogs().Message(this, QStringLiteral("Cannot read the recording %1").arg(error),
                      QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
  }
  if (OnFinished) OnFinished();
}

void TThermalFrm::ShowResult() {
  const TThermalResult& r = Result;
  QVector<double> x[3], y[3];
  for (const TThermalBlock& b : r.Blocks) {
    const TBranch br = BranchOf(b.TempRate);
    const int branch = br == TBranch::Heating ? 0 : br == TBranch::Cooling ? 1 : 2;
    x[branch].push_back(b.Temperature);
    y[branch].push_back(b.Bias);
  }
  for (int g = 0; g < 3; ++g) PlotThermal->graph(g)->setData(x[g], y[g]);
  // The model at dT/dt = 0 and at the mean rate of each branch.
  double heat = 0, cool = 0;
  int nHeat = 0, nCool = 0;
  for (const TThermalBlock& b : r.Blocks) {
    if (BranchOf(b.TempRate) == TBranch::Heating) heat += b.TempRate, ++nHeat;
    if (BranchOf(b.TempRate) == TBranch::Cooling) cool += b.TempRate, ++nCool;
  }
  const double rates[3] = {0, nHeat ? heat / nHeat : NAN, nCool ? cool / nCool : NAN};
  for (int g = 0; g < 3; ++g) {
    QVector<double> mx, my;
    if (r.Valid && std::isfinite(rates[g]) && (g == 0 || r.RateTerm)) {
      for (int i = 0; i <= 200; ++i) {
        const double t = r.TMin + (r.TMax - r.TMin) * i / 200.0;
        mx.push_back(t);
        my.push_back(r.Model(t, rates[g]));
      }
    }
    PlotThermal->graph(3 + g)->setData(mx, my);
    PlotThermal->graph(3 + g)->removeFromLegend();
    if (!mx.isEmpty()) PlotThermal->graph(3 + g)->addToLegend();
  }
  for (int g = 0; g < 3; ++g) {
    PlotThermal->graph(g)->removeFromLegend();
    if (!x[g].isEmpty()) PlotThermal->graph(g)->addToLegend();
  }
  PlotThermal->rescaleAxes();
  PlotThermal->xAxis->scaleRange(1.05);
  PlotThermal->yAxis->scaleRange(1.1);
  PlotThermal->replot();

  struct Row {
    QString name;
    double value;
    double se;
    QString unit;
  };
  std::vector<Row> rows;
  const QString units[] = {QStringLiteral("\u00B0/h"), QStringLiteral("\u00B0/h/\u00B0C"),
                           QStringLiteral("\u00B0/h/\u00B0C\u00B2"), QStringLiteral("\u00B0/h/\u00B0C\u00B3")};
  for (int k = 0; k <= std::max(r.Order, 1); ++k)
    rows.push_back({QStringLiteral("b%1").arg(k), r.B[k], r.BSe[k], units[k]});
  if (r.RateTerm) rows.push_back({QStringLiteral("c"), r.C, r.CSe, QStringLiteral("\u00B0/h/(\u00B0C/min)")});
  const double none = NAN;
  const std::size_t withSe = rows.size();
  rows.push_back({QStringLiteral("Bias at %1 \u00B0C").arg(Figure(r.TRef)), r.BiasRef, r.BiasRefSe,
                  QStringLiteral("\u00B0/h")});
  rows.push_back({QStringLiteral("Hysteresis"), r.Hysteresis, r.HysteresisSe, QStringLiteral("\u00B0/h")});
  for (std::size_t i = 0; i < r.Plateaus.size(); ++i)
    rows.push_back({QStringLiteral("Soak %1 at %2 \u00B0C").arg(i + 1).arg(Figure(r.Plateaus[i].Temperature)),
                    r.Plateaus[i].Bias, r.Plateaus[i].BiasSe, QStringLiteral("\u00B0/h")});
  const std::size_t withoutSe = rows.size();
  rows.push_back({QStringLiteral("Residual RMS"), r.ResidualRms, none, QStringLiteral("\u00B0/h")});
  rows.push_back({QStringLiteral("Residual RMS, %1 s").arg(Figure(r.Average)), r.ResidualRmsAvg, none,
                  QStringLiteral("\u00B0/h")});
  rows.push_back({QStringLiteral("R\u00B2"), r.R2, none, QString()});
  rows.push_back({QStringLiteral("T min"), r.TMin, none, QStringLiteral("\u00B0C")});
  rows.push_back({QStringLiteral("T max"), r.TMax, none, QStringLiteral("\u00B0C")});
  rows.push_back({QStringLiteral("Readings out of range"), static_cast<double>(r.OutOfRange), none, QString()});
  rows.push_back({QStringLiteral("Temperature spikes"), static_cast<double>(r.Spikes), none, QString()});
  rows.push_back({QStringLiteral("N raw"), r.NRaw, none, QStringLiteral("\u00B0/\u221Ah")});
  rows.push_back({QStringLiteral("N compensated"), r.NCompensated, none, QStringLiteral("\u00B0/\u221Ah")});
  rows.push_back({QStringLiteral("B raw"), r.BRaw, none, QStringLiteral("\u00B0/h")});
  rows.push_back({QStringLiteral("B compensated"), r.BCompensated, none, QStringLiteral("\u00B0/h")});
  ListCoefficients->setRowCount(static_cast<int>(rows.size()));
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    const Row& row = rows[static_cast<std::size_t>(i)];
    const QString cells[] = {row.name, Figure(row.value),
                             static_cast<std::size_t>(i) >= withoutSe ||
                                     (std::isnan(row.se) && static_cast<std::size_t>(i) < withSe &&
                                      i >= r.Order + 1 + (r.RateTerm ? 1 : 0))
                                 ? QString()
                                 : Figure(row.se),
                             row.unit};
    for (int c = 0; c < 4; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      if (c == 1 || c == 2) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      ListCoefficients->setItem(i, c, item);
    }
  }
  ListCoefficients->resizeColumnsToContents();
  ListCoefficients->resizeRowsToContents();

  if (r.Valid) {
    QString status = QStringLiteral("%1 records, %2 averages of %3 s")
                         .arg(r.Records)
                         .arg(r.Blocks.size())
                         .arg(Figure(r.Average));
    if (!r.BiasRefNote.empty()) status += QStringLiteral("\nNo bias at T ref: ") + QString::fromStdString(r.BiasRefNote);
    if (!r.HysteresisNote.empty()) status += QStringLiteral("\nNo hysteresis: ") + QString::fromStdString(r.HysteresisNote);
    for (const std::string& w : r.Warnings) status += QStringLiteral("\nWarning: ") + QString::fromStdString(w);
    lab_status->setText(status);
  } else {
    lab_status->setText(QStringLiteral("No temperature model: %1")
                            .arg(QString::fromStdString(r.Message.empty() ? "no records in the span"
                                                                          : r.Message)));
    for (const std::string& w : r.Warnings)
      lab_status->setText(lab_status->text() + QStringLiteral("\nWarning: ") + QString::fromStdString(w));
  }
  ch_compensated->setEnabled(r.Valid && Overlays);
  if (ch_compensated->isChecked()) ch_compensatedClick();
}

void TThermalFrm::ch_compensatedClick() {
  if (!Overlays) return;
  if (ch_compensated->isChecked() && Result.Valid && compTimes_ && compRates_)
    Overlays->SetCompensated(*compTimes_, *compRates_);
  else if (!ch_compensated->isChecked())
    Overlays->ClearCompensated();
}
