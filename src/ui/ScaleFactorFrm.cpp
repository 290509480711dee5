#include "ui/ScaleFactorFrm.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "processing/NumberFormat.h"
#include "processing/Thermal.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QString Figure(double v, int digits = 7) {
  if (!std::isfinite(v)) return QStringLiteral("NAN");
  return QString::fromStdString(FormatGeneral(v, DecimalSeparator(), digits));
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

constexpr std::size_t kChartPoints = 100000;
constexpr double kNoError = -1;

}  // namespace

TScaleFactorFrm::TScaleFactorFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint),
      job_(this) {
  setObjectName(QStringLiteral("ScaleFactorFrm"));
  setWindowTitle(QStringLiteral("Scale factor"));
  resize(1180, 760);

  e_guard = Named(new QLineEdit(FixedText(kDefaultGuard, 6, 1), this), "e_guard");
  e_guard->setMaximumWidth(60);
  e_rates = Named(new QLineEdit(this), "e_rates");
  e_rates->setPlaceholderText(QStringLiteral("e.g. 0 1 -1 2 -2 ... (empty: each plateau's own mean)"));
  e_profile = Named(new QLineEdit(this), "e_profile");
  e_profile->setPlaceholderText(QStringLiteral("profile file (optional)"));
  e_latitude = Named(new QLineEdit(this), "e_latitude");
  e_latitude->setPlaceholderText(QStringLiteral("site file"));
  e_latitude->setMaximumWidth(80);
  but_apply = Named(new QPushButton(QStringLiteral("Apply"), this), "but_apply");
  but_cancel = Named(new QPushButton(QStringLiteral("Cancel"), this), "but_cancel");
  lab_status = Named(new QLabel(this), "lab_status");
  lab_status->setWordWrap(true);

  PlotRate = Named(new QCustomPlot(this), "PlotRate");
  PlotRate->xAxis->setLabel(QStringLiteral("Time, s"));
  PlotRate->yAxis->setLabel(QStringLiteral("Rate, \u00B0/s"));
  PlotRate->addGraph()->setPen(QPen(QColor(150, 150, 150)));
  PlotRate->addGraph()->setPen(QPen(QColor(20, 80, 210), 4));
  PlotRate->addGraph()->setPen(QPen(QColor(210, 40, 30), 4));
  PlotRate->graph(0)->setName(QStringLiteral("Rate"));
  PlotRate->graph(1)->setName(QStringLiteral("Plateaus used"));
  PlotRate->graph(2)->setName(QStringLiteral("Plateaus left out"));
  PlotRate->legend->setVisible(true);
  PlotRate->axisRect()->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
  PlotResidual = Named(new QCustomPlot(this), "PlotResidual");
  PlotResidual->xAxis->setLabel(QStringLiteral("Commanded rate, \u00B0/s"));
  PlotResidual->yAxis->setLabel(QStringLiteral("Residual from the line, ppm of full scale"));
  PlotResidual->addGraph();
  PlotResidual->graph(0)->setLineStyle(QCPGraph::lsNone);
  PlotResidual->graph(0)->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssDisc, QColor(20, 80, 210), 7));
  for (QCustomPlot* plot : {PlotRate, PlotResidual}) plot->setMinimumSize(520, 260);

  ListPlateaus = Named(new QTableWidget(0, 7, this), "ListPlateaus");
  ListPlateaus->setHorizontalHeaderLabels(
      {QStringLiteral("Use"), QStringLiteral("Rate, \u00B0/s"), QStringLiteral("Output, \u00B0/s"),
       QStringLiteral("\u00B1"), QStringLiteral("Records"), QStringLiteral("ppm of reading"),
       QStringLiteral("ppm of FS")});
  ListFigures = Named(new QTableWidget(0, 4, this), "ListFigures");
  ListFigures->setHorizontalHeaderLabels({QStringLiteral("Figure"), QStringLiteral("Value"),
                                          QStringLiteral("\u00B1 std. error"), QStringLiteral("Unit")});
  for (QTableWidget* table : {ListPlateaus, ListFigures}) {
    table->verticalHeader()->setVisible(false);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setFixedWidth(560);
  }
  BtnClose = Named(new QPushButton(QStringLiteral("Close"), this), "BtnClose");
  for (QPushButton* b : {but_apply, but_cancel, BtnClose}) b->setAutoDefault(false);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("Guard, s"), this));
  top->addWidget(e_guard);
  top->addWidget(new QLabel(QStringLiteral("Commanded rates, \u00B0/s"), this));
  top->addWidget(e_rates, 2);
  top->addWidget(new QLabel(QStringLiteral("Profile"), this));
  top->addWidget(e_profile, 1);
  top->addWidget(new QLabel(QStringLiteral("Latitude, \u00B0"), this));
  top->addWidget(e_latitude);
  top->addWidget(but_apply);
  top->addWidget(but_cancel);
  auto* plots = new QVBoxLayout;
  plots->addWidget(PlotRate, 1);
  plots->addWidget(PlotResidual, 1);
  auto* tables = new QVBoxLayout;
  tables->addWidget(ListPlateaus, 1);
  tables->addWidget(ListFigures, 1);
  auto* middle = new QHBoxLayout;
  middle->addLayout(plots, 1);
  middle->addLayout(tables);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(lab_status, 1);
  bottom->addWidget(BtnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(middle, 1);
  layout->addLayout(bottom);

  connect(but_apply, &QPushButton::clicked, this, [this] { Start(); });
  connect(but_cancel, &QPushButton::clicked, this, [this] {
    job_.Cancel();
    but_cancel->setEnabled(false);
    but_apply->setEnabled(true);
    lab_status->setText(QStringLiteral("Cancelled."));
  });
  connect(BtnClose, &QPushButton::clicked, this, &QDialog::accept);
  connect(this, &QDialog::finished, this, [this] { job_.Cancel(); });
  connect(ListPlateaus, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
    if (filling_ || item->column() != 0) return;
    const auto row = static_cast<std::size_t>(item->row());
    if (row >= plateaus_.size()) return;
    plateaus_[row].Used = item->checkState() == Qt::Checked;
    Recompute();
  });
}

TScaleFactorFrm::~TScaleFactorFrm() = default;

void TScaleFactorFrm::Execute() {
  open();
  Start();
}

bool TScaleFactorFrm::ReadSite(TSite& site) {
  site.VerticalEarthRate = VerticalEarthRate;
  const std::string path = SiteFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  std::string text, error;
  if (!path.empty() && ReadFile(path, text) && !ParseSite(text, site, error)) {
    Dialogs().Message(this, QString::fromStdString(path + ": " + error), QStringLiteral("Message"),
                      TMsgButtons::Ok, TMsgIcon::Stop);
    return false;
  }
  const QString lat = e_latitude->text().trimmed();
  if (!lat.isEmpty()) {
    double v = 0;
    if (!ReadDouble(lat, v) || std::fabs(v) > 90) {
      Dialogs().Message(this, QStringLiteral("The latitude must be a number of degrees in -90..90."),
                        QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
      return false;
    }
    site.HasLatitude = true;
    site.Latitude = v;
  }
  return true;
}

void TScaleFactorFrm::Start() {
  double guard = 0;
  if (!ReadDouble(e_guard->text().trimmed(), guard) || !(guard >= 0)) {
    Dialogs().Message(this, QStringLiteral("The guard time must be a number of seconds, 0 or more."),
                      QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
    return;
  }
  TPlateauOptions options;
  options.Guard = guard;
  // Separated by spaces or semicolons, and by commas where the decimal
  // separator is a point.
  const QString separators = DecimalSeparator() == ',' ? QStringLiteral("[;\\s]+") : QStringLiteral("[,;\\s]+");
  for (const QString& item : e_rates->text().split(QRegularExpression(separators), Qt::SkipEmptyParts)) {
    double v = 0;
    if (!ReadDouble(item, v)) {
      Dialogs().Message(this, NotFloatMessage(item), QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
      return;
    }
    options.Rates.push_back(v);
  }
  std::vector<TProfileStep> profile;
  const std::string profilePath = e_profile->text().trimmed().toStdString();
  if (!profilePath.empty()) {
    std::string text, error;
    if (!ReadFile(profilePath, text) || !ParseRateProfile(text, profile, error)) {
      Dialogs().Message(this,
                        QString::fromStdString("Cannot use the profile " + profilePath +
                                               (error.empty() ? std::string() : ": " + error)),
                        QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
      return;
    }
  }
  TSite site;
  if (!ReadSite(site)) return;
  source_ = !profile.empty()           ? QStringLiteral("plateaus of the profile")
            : options.Rates.empty()    ? QStringLiteral("plateaus found, rates taken as their means rounded "
                                                        "to two significant digits")
                                       : QStringLiteral("plateaus found, snapped to the commanded rates");
  but_apply->setEnabled(false);
  but_cancel->setEnabled(true);
  lab_status->setText(QStringLiteral("Reading the recording..."));
  const std::string path = RecordingPath;
  job_.Start([this, path, options, profile](const std::atomic<bool>& cancel, const auto& post) {
    std::vector<SamplePoint> records;
    std::string error;
    const double inf = std::numeric_limits<double>::infinity();
    const bool ok = ReadSpanRecords(path, -inf, inf, records, error, {}, &cancel);
    if (cancel.load()) return;
    auto plateaus = std::make_shared<std::vector<TPlateau>>();
    auto times = std::make_shared<std::vector<double>>();
    auto rates = std::make_shared<std::vector<double>>();
    QString message = ok ? QString() : QStringLiteral("Cannot read the recording %1").arg(QString::fromStdString(error));
    if (ok) {
      if (profile.empty()) {
        *plateaus = DetectPlateaus(records, options);
      } else {
        *plateaus = ProfilePlateaus(records, profile, options.Guard, error);
        if (plateaus->empty()) message = QString::fromStdString(error);
      }
      std::vector<float> raw(records.size());
      for (std::size_t i = 0; i < records.size(); ++i) raw[i] = records[i].Rate;
      ThinForChart(records, raw, kChartPoints, *times, *rates);
    }
    if (cancel.load()) return;
    post([this, plateaus, times, rates, message] { Finished(plateaus, times, rates, message); });
  });
}

void TScaleFactorFrm::Finished(std::shared_ptr<std::vector<TPlateau>> plateaus,
                               std::shared_ptr<std::vector<double>> times,
                               std::shared_ptr<std::vector<double>> rates, const QString& message) {
  but_apply->setEnabled(true);
  but_cancel->setEnabled(false);
  plateaus_ = *plateaus;
  if (OnPlateaus) OnPlateaus(plateaus_);
  PlotRate->graph(0)->setData(QVector<double>(times->begin(), times->end()),
                              QVector<double>(rates->begin(), rates->end()));
  Recompute();
  PlotRate->rescaleAxes();
  PlotRate->yAxis->scaleRange(1.1);
  PlotRate->replot();
  if (!message.isEmpty()) {
    lab_status->setText(message);
    Dialogs().Message(this, message, QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
  }
  if (OnFinished) OnFinished();
}

void TScaleFactorFrm::Recompute() {
  TSite site;
  site.VerticalEarthRate = VerticalEarthRate;
  const std::string path = SiteFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  std::string text, error;
  if (!path.empty() && ReadFile(path, text)) ParseSite(text, site, error);
  double lat = 0;
  if (ReadDouble(e_latitude->text().trimmed(), lat) && std::fabs(lat) <= 90) {
    site.HasLatitude = true;
    site.Latitude = lat;
  }
  Result = ComputeScaleFactor(plateaus_, site);
  ShowResult();
}

void TScaleFactorFrm::ShowResult() {
  const TScaleFactorResult& r = Result;
  // Plateaus on the rate chart: used and left out, each a segment.
  QVector<double> x[2], y[2];
  QVector<double> rx, ry;
  for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
    const TPlateau& p = r.Plateaus[i];
    const int g = p.Used ? 0 : 1;
    x[g] << p.Begin << p.End << p.End;
    y[g] << p.Output << p.Output << std::numeric_limits<double>::quiet_NaN();
    if (p.Used && std::isfinite(r.ResidualFsPpm[i])) {
      rx << p.Rate;
      ry << r.ResidualFsPpm[i];
    }
  }
  PlotRate->graph(1)->setData(x[0], y[0], true);
  PlotRate->graph(2)->setData(x[1], y[1], true);
  PlotRate->replot();
  PlotResidual->graph(0)->setData(rx, ry);
  PlotResidual->rescaleAxes();
  PlotResidual->xAxis->scaleRange(1.1);
  PlotResidual->yAxis->scaleRange(1.3);
  PlotResidual->replot();

  filling_ = true;
  ListPlateaus->setRowCount(static_cast<int>(r.Plateaus.size()));
  for (int i = 0; i < static_cast<int>(r.Plateaus.size()); ++i) {
    const auto k = static_cast<std::size_t>(i);
    const TPlateau& p = r.Plateaus[k];
    auto* use = new QTableWidgetItem(QString::number(i + 1));
    use->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    use->setCheckState(p.Used ? Qt::Checked : Qt::Unchecked);
    ListPlateaus->setItem(i, 0, use);
    const QString cells[] = {Figure(p.Rate),          Figure(p.Output, 10),        Figure(p.OutputSe, 3),
                             QString::number(p.Records), Figure(r.ResidualPpm[k], 4), Figure(r.ResidualFsPpm[k], 4)};
    for (int c = 0; c < 6; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      ListPlateaus->setItem(i, c + 1, item);
    }
  }
  filling_ = false;
  ListPlateaus->resizeColumnsToContents();

  struct Row {
    const char* name;
    double value, se;
    const char* unit;
    const char* definition;
  };
  const double none = kNoError;  // a figure without a standard error
  const Row rows[] = {
      {"Scale factor K", r.K, r.KSe, "", "slope of the least-squares line output = K\u00B7rate + F0"},
      {"Intercept F0/K", r.InterceptDegH, r.InterceptSe, "\u00B0/h",
       "the line's intercept: holds K\u00B7(a/2)\u00B7mean|rate|, not the bias"},
      {"Bias at zero input", r.BiasDegH, r.BiasSe, "\u00B0/h",
       "F0/K of output = K\u00B7rate + K\u00B7(a/2)\u00B7|rate| + F0"},
      {"Earth rate along the axis", r.EarthRateDegH, none, "\u00B0/h", "removed from the bias below"},
      {"Bias less Earth rate", r.BiasCorrectedDegH, r.BiasSe, "\u00B0/h", ""},
      {"K+", r.KPlus, r.KPlusSe, "", "slope of the plateaus at rate \u2265 0 alone"},
      {"K\u2212", r.KMinus, r.KMinusSe, "", "slope of the plateaus at rate \u2264 0 alone"},
      {"Asymmetry", r.AsymmetryPpm, r.AsymmetrySe, "ppm", "|K+ \u2212 K\u2212| / ((K+ + K\u2212)/2)"},
      {"Nonlinearity (line)", r.NonlinearityPpmFs, r.NonlinearitySe, "ppm FS",
       "largest residual from the line, ppm of full-scale output; includes the asymmetry"},
      {"Nonlinearity (two-slope)", r.NonlinearityAsymPpmFs, none, "ppm FS",
       "largest residual from the model with the asymmetry term"},
      {"Temperature coefficient", r.TcPpmPerC, r.TcSe, "ppm/\u00B0C", "of K over the plateaus' temperatures"}};
  ListFigures->setRowCount(static_cast<int>(std::size(rows)));
  for (int i = 0; i < static_cast<int>(std::size(rows)); ++i) {
    const Row& row = rows[i];
    const QString cells[] = {QString::fromUtf8(row.name), Figure(row.value, 10),
                             row.se == kNoError ? QString() : Figure(row.se, 3),
                             QString::fromUtf8(row.unit)};
    for (int c = 0; c < 4; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setToolTip(QString::fromUtf8(row.definition));
      if (c == 1 || c == 2) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      ListFigures->setItem(i, c, item);
    }
  }
  ListFigures->resizeColumnsToContents();
  lab_status->setText(r.Valid ? QStringLiteral("%1 plateaus (%2); full scale %3 \u00B0/s; \u00B1 is one standard error")
                                    .arg(r.Plateaus.size())
                                    .arg(source_)
                                    .arg(Figure(r.FullScale))
                              : QStringLiteral("No scale factor: %1").arg(QString::fromStdString(r.Message)));
}

void InstallScaleFactorWindow(QWidget* mainWindow, QMenu* menu, QAction* after, QAction* enabledWith,
                              std::function<std::string()> recording, std::function<double()> earthRate,
                              std::function<void(const std::vector<TPlateau>&)> plateaus) {
  auto* action = new QAction(QStringLiteral("Scale factor"), mainWindow);
  action->setObjectName(QStringLiteral("ac_scalefactor"));
  action->setStatusTip(QStringLiteral("Scale factor, asymmetry and nonlinearity from rate-table plateaus"));
  const QList<QAction*> actions = menu->actions();
  const qsizetype at = actions.indexOf(after);
  menu->insertAction(at >= 0 && at + 1 < actions.size() ? actions[at + 1] : nullptr, action);
  QObject::connect(enabledWith, &QAction::enabledChanged, action, &QAction::setEnabled);
  action->setEnabled(enabledWith->isEnabled());
  auto* window = new TScaleFactorFrm(mainWindow);
  window->OnPlateaus = std::move(plateaus);
  QObject::connect(action, &QAction::triggered, window, [window, recording, earthRate] {
    const std::string path = recording();
    if (path.empty() || window->isVisible()) return;
    window->RecordingPath = path;
    window->VerticalEarthRate = earthRate();
    window->Execute();
  });
}
