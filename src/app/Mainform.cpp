#include "app/Mainform.h"
#include "ui/ThermalFrm.h"
#include "acquisition/PortDiagnostics.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabBar>
#include <QToolBar>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <qcustomplot.h>
#include <unistd.h>

#include "acquisition/HostInfo.h"
#include "app/DisplaySteps.h"
#include "settings/Optionfrm.h"
#include "ui/About.h"
#include "ui/Chart.h"
#include "ui/NumberText.h"
#include "ui/ProgramIcon.h"

namespace {

// Client area when the window opens (below the menu bar) and the smallest
// outer size of the window, frame included.
constexpr int ClientWidth = 850;
constexpr int ClientHeight = 597;
constexpr int MinFrameWidth = 800;
constexpr int MinFrameHeight = 640;

bool FileReadable(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

}  // namespace

TMainFrm::TMainFrm(const std::string& settingsPath, QWidget* parent)
    : QMainWindow(parent),
      SettingsPath(settingsPath),
      UiDispatcher(this),
      Run(Settings, Packet, XComm1, MMTimer1, UiDispatcher, *this) {
  setObjectName(QStringLiteral("MainFrm"));
  setWindowTitle(QStringLiteral("Ratelog"));
  setWindowIcon(ProgramIcon());

  CreateActions();
  CreateChart();
  CreatePanels();
  CreateToolBars();
  CreateMenu();
  built_ = true;

  resize(ClientWidth, ClientHeight + MainMenu1->sizeHint().height());
  KeepMinimumFrame();

  // The members that are not widgets: settings with the defaults, the
  // packet processor, statistics, the serial link and the timer.
  Packet.SetHostNames(ComputerName(), UserName());
  AverRmsStatic.Reserve(static_cast<std::size_t>(TFastAverageRms::RingSize));
  XComm1.SetDispatcher(&UiDispatcher);
  MMTimer1.SetEnabled(false);  // runs only during a measurement
  // The link's data and the timer's ticks reach the run through the
  // window's own handlers.
  XComm1.OnData = [this](TCustomComm*, std::uint32_t count) { XComm1Data(count); };
  MMTimer1.SetOnTimer([this](TMMTimer*) { MMTimer1Timer(); });
  Chart->OnZoom = [this] { Chart1Zoom(); };
  Chart->OnUndoZoom = [this] { Chart1UndoZoom(); };

  SaveDialog1.Caption = QStringLiteral("Save recording");
  SaveDialog1.Filter = QStringLiteral("Recording (*.rtd);;All files (*)");
  SaveDialog1.DefaultSuffix = QStringLiteral("rtd");
  SaveDialog1.ConfirmOverwrite = true;
  OpenDialog1.Caption = QStringLiteral("Open recording");
  OpenDialog1.Filter = QStringLiteral("Recording (*.rtd);;All files (*)");
  OpenDialog1.DefaultSuffix = QStringLiteral("rtd");
}

TMainFrm::~TMainFrm() {
  // Work beside the window stops before what it works on goes away.
  work_.reset();
  RemoveIdle();
  // The timer and the link stop before the objects they use go away.
  MMTimer1.SetEnabled(false);
  if (XComm1.GetOpened()) {
    try {
      XComm1.CloseDevice();
    } catch (const std::exception&) {
    }
  }
}

void TMainFrm::SetForms(TOptionForm* optionForm, TAboutFrm* aboutFrm) {
  OptionForm = optionForm;
  AboutFrm = aboutFrm;
}

void TMainFrm::SaveSettings() {
  if (Settings.Save()) return;
  ReportSettingsNotSaved(errno);
}

// Once per program run: the same cause would otherwise come back with
// every click.
void TMainFrm::ReportSettingsNotSaved(int error) {
  if (settingsFailureShown_) return;
  settingsFailureShown_ = true;
  const QString reason = error != 0 ? QString::fromLocal8Bit(std::strerror(error))
                                    : QStringLiteral("no file name");
  QueueMessage(QStringLiteral("The settings cannot be saved to %1 (%2).\n"
                              "Changes made now are lost when the program ends.")
                   .arg(QString::fromStdString(Settings.FileName), reason),
               TMsgIcon::Warning);
}

bool TMainFrm::RunActive() const { return MMTimer1.GetEnabled() || XComm1.GetOpened(); }

// ---------------------------------------------------------------------------
// Showing, settings, layout.

void TMainFrm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    const QSize outer = frameGeometry().size();
    move(area.center() - QPoint(outer.width() / 2, outer.height() / 2));
  }
  FormShow();
}

void TMainFrm::FormShow() {
  {
    TOptionProgramm loaded;
    loaded.FileName = SettingsPath;
    errno = 0;
    // Load creates a missing file and rewrites one of another version.
    const bool unsaved = !loaded.Load() && !FileReadable(SettingsPath);
    const int error = errno;
    Settings.Assign(loaded);
    if (unsaved) ReportSettingsNotSaved(error);
  }
  HourFactor = 3600.0;
  RateUnitPerSec = false;
  CalcParameters.DriftTime = Settings.DriftTime;
  CalcParameters.Passband = Settings.Passband;
  CalcParameters.RandomWalkTime = Settings.RandomWalkTime;
  CalcParameters.EarthRate = Settings.EarthRate;
  RestoreRecordingFolder();
  ApplyDisplaySettings();
}

void TMainFrm::ApplyDisplaySettings() {
  // 1.-2. Series switches.
  ch_signal->setChecked(Settings.ShowSignal);
  ch_aver->setChecked(Settings.ShowAver);
  Series1->setVisible(ch_signal->isChecked());
  Series2->setVisible(ch_aver->isChecked());
  // 3.-4. Limits (of the selected Scale tab: with Temperature selected the
  // edits must not take the rate limits, or ">" would store them as the
  // temperature limits) and averaging time.
  TabCtrlChange(TabCtrl->currentIndex());
  e_mean->setText(QString::number(Settings.MeanTime));
  // 5. Display window (its handler writes the label).
  TrDisplay->setValue(Settings.DisplayTime);
  // 6.-7. Port and Sample lists, the port name of the link.
  change_port->setCurrentIndex(Settings.SafePortIndex());
  change_sam->setCurrentIndex(Settings.SafeSampleIndex());
  for (int i = 0; i < change_port->count(); ++i)
    change_port->setItemData(
        i, QString::fromStdString(DiagnosePort(change_port->itemText(i).toStdString()).Summary()),
        Qt::ToolTipRole);
  change_port->setToolTip(change_port->currentData(Qt::ToolTipRole).toString());
  XComm1.SetDeviceName(change_port->currentText().toStdString());
  // 8. Sample.
  Settings.Sample = change_sam->currentText().toInt();
  // 9.-10. Point and label steps.
  PointStep = ComputePointStep(Settings.DisplayTime, Settings.Resolution, PointStep);
  LabelStep = ComputeLabelStep(Settings.Resolution, Settings.Sample, LabelStep);
  // 11. Panels.
  const std::array<std::pair<QAction*, QGroupBox*>, 4> panels = {{{ac_basic_info, panel_basic_info},
                                                                   {ac_supp_info, panel_supp_info},
                                                                   {ac_control, panel_control},
                                                                   {ac_scale, panel_scale}}};
  bool any = false;
  for (std::size_t i = 0; i < panels.size(); ++i) {
    const bool visible = Settings.PanelVisible[i];
    panels[i].second->setVisible(visible);
    panels[i].first->setChecked(visible);
    any = any || visible;
  }
  panel_ctrl_info->setVisible(any);
  // 12.
  FormResize();
  // 13. Polling period.
  MMTimer1.SetDelay(TimerPeriodMs(Settings.Sample));
  Chart1->replot();
}

void TMainFrm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  KeepMinimumFrame();
  FormResize();
}

bool TMainFrm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == central_ && event->type() == QEvent::Resize) {
    FormResize();
  } else if (watched == Chart1 && event->type() == QEvent::KeyPress) {
    if (ChartKey(static_cast<QKeyEvent*>(event))) return true;
  } else if (watched == Chart1 && event->type() == QEvent::Resize) {
    RefreshCursors();
  } else if (event->type() == QEvent::MouseButtonRelease) {
    if (watched == LabMax) LabMaxClick();
    if (watched == LabMin) LabMinClick();
  }
  return QMainWindow::eventFilter(watched, event);
}

// The smallest size counts the window manager's frame, as the window's outer
// size does; without a frame it is the window itself.
void TMainFrm::KeepMinimumFrame() {
  const QSize frame = frameGeometry().size() - size();
  const QSize minimum(std::max(0, MinFrameWidth - frame.width()),
                      std::max(0, MinFrameHeight - frame.height()));
  if (minimumSize() != minimum) setMinimumSize(minimum);
}

void TMainFrm::FormResize() {
  if (!built_) return;
  // The chart: the window's width less the side panel (while shown), the
  // right tool bar and 10 pixels; the side panel on the right.
  const int panelWidth = panel_ctrl_info->isVisibleTo(this) ? panel_ctrl_info->width() : 0;
  const int chartWidth = std::max(0, width() - panelWidth - ToolBar2->width() - 10);
  const int height = central_->height();
  Chart1->setGeometry(5, 2, chartWidth, std::max(0, height - 4));
  RefreshSeriesHint();
  panel_ctrl_info->setGeometry(central_->width() - panel_ctrl_info->width(), 0,
                               panel_ctrl_info->width(), height);
  // The gauge: the rest of the top tool bar less 10 pixels.
  if (QWidget* before = ToolBar1->widgetForAction(gaugeSeparator_)) {
    const int left = before->geometry().right() + 1 + ToolBar1->layout()->spacing();
    CGauge1->setFixedWidth(std::max(20, ToolBar1->width() - left - 10));
  }
}

// ---------------------------------------------------------------------------
// Port and Sample lists, exit, close.

void TMainFrm::change_portChange(int index) {
  Settings.PortIndex = index;
  SaveSettings();
  change_port->setToolTip(change_port->itemData(index, Qt::ToolTipRole).toString());
  XComm1.SetDeviceName(change_port->itemText(index).toStdString());
}

void TMainFrm::change_samChange(int index) {
  Settings.SampleIndex = index;
  Settings.Sample = change_sam->itemText(index).toInt();
  SaveSettings();
  ApplyDisplaySettings();
}

void TMainFrm::ac_exitExecute() { close(); }

bool TMainFrm::EndWork(std::chrono::milliseconds limit) {
  work_->Cancel();
  return work_->WaitFinished(limit);
}

void TMainFrm::closeEvent(QCloseEvent* event) {
  if (!RunActive()) {
    // A recording being read is not waited for: its reading stops.
    work_->Cancel();
    event->accept();
    return;
  }
  if (Dialogs().Message(this, QStringLiteral("Close program?"), QStringLiteral("Message"),
                        TMsgButtons::OkCancel, TMsgIcon::Stop) != TMsgResult::Ok) {
    event->ignore();
    return;
  }
  MMTimer1.SetEnabled(false);
  try {
    if (XComm1.GetOpened()) XComm1.CloseDevice();
  } catch (const std::exception&) {
    // The port is going away with the program; the recording still closes.
  }
  // The records still held in the packet processor's block belong to the
  // recording: write them and close the file before the program ends.
  Packet.CloseRecording();
  event->accept();
}

// ---------------------------------------------------------------------------
// Controls of the idle state, display window, series.

void TMainFrm::SetIdleControls(bool idle) {
  for (QAction* action : {ac_open, ac_print, ac_export, ac_start, ac_option, ac_calc,
                          ac_saveserver, ac_file_info})
    action->setEnabled(idle);
  ac_stop->setEnabled(!idle);
  change_port->setEnabled(idle);
  change_sam->setEnabled(idle);
  e_mean->setEnabled(idle);
  BtnApMean->setEnabled(idle);
  ch_temp->setVisible(idle);
}

void TMainFrm::TrDisplayChange(int position) {
  Settings.DisplayTime = position;
  SaveSettings();
  lab_display->setText(QStringLiteral("Display, %1 sec").arg(position));
  PointStep = ComputePointStep(Settings.DisplayTime, Settings.Resolution, PointStep);
}

void TMainFrm::ch_signalClick() {
  Settings.ShowSignal = ch_signal->isChecked();
  SaveSettings();
  Series1->setVisible(Settings.ShowSignal);
  RefreshSeriesHint();
  Chart1->replot();
}

void TMainFrm::ch_averClick() {
  Settings.ShowAver = ch_aver->isChecked();
  SaveSettings();
  Series2->setVisible(Settings.ShowAver);
  RefreshSeriesHint();
  Chart1->replot();
}

void TMainFrm::ch_tempClick() {
  Chart1->yAxis2->setVisible(ch_temp->isChecked());
  Series3->setVisible(ch_temp->isChecked());
  RefreshSeriesHint();
  Chart1->replot();
}

void TMainFrm::BtnShowSeriesClick() {
  for (QCheckBox* box : {ch_signal, ch_aver}) box->setChecked(true);
  ch_signalClick();
  ch_averClick();
}

void TMainFrm::RefreshSeriesHint() {
  if (!built_) return;
  const bool hidden = SeriesSize(Series1) > 0 && !Series1->visible() && !Series2->visible() &&
                      !Series3->visible();
  if (hidden) {
    BtnShowSeries->adjustSize();
    const QRect plot = Chart1->axisRect()->rect();
    const QRect area = plot.isValid() ? plot : Chart1->rect();
    BtnShowSeries->move(area.center() - QPoint(BtnShowSeries->width() / 2, BtnShowSeries->height() / 2));
    BtnShowSeries->raise();
  }
  BtnShowSeries->setVisible(hidden);
}

void TMainFrm::ClearSeries() {
  if (warmupJob_) warmupJob_->Cancel();
  if (overlays_) overlays_->ClearAll();
  Series1->data()->clear();
  Series2->data()->clear();
  Series3->data()->clear();
  Chart->AllSeriesChanged();
  RefreshSeriesHint();
  Chart1->replot();
}
