// The measurement run of the main window: Start and Stop, the received
// bytes, the timer ticks, and what the run reports on the way.
#include <QAbstractEventDispatcher>
#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <cstdio>
#include <QLabel>
#include <QMenuBar>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <qcustomplot.h>

#include "acquisition/PortDiagnostics.h"
#include "app/Mainform.h"
#include "app/RunFeedback.h"
#include "ui/Chart.h"

namespace {

QString DefaultIdentText() { return QString::fromLatin1(proto::DefaultIdent); }

// The link's message, then the device file behind the port name and what
// the system said, with a hint for the usual causes.
QString OpenErrorText(const EDeviceError& error, const std::string& portName) {
  QString text = QString::fromLocal8Bit(error.what());
  if (error.ErrorCode != DEVICE_CANNOTOPEN) return text;
  text += QStringLiteral("\n\n%1").arg(QString::fromStdString(ResolvePortDevice(portName)));
  if (error.OsError != 0) text += QStringLiteral(": %1").arg(QString::fromLocal8Bit(std::strerror(error.OsError)));
  switch (error.OsError) {
    case EACCES:
    case EPERM:
      text += QStringLiteral("\nAdd yourself to the dialout group, then log in again.");
      break;
    case EBUSY:
    case EWOULDBLOCK:
      text += QStringLiteral("\nThe port is in use by another program.");
      break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      text += QStringLiteral(
          "\nIs the adapter plugged in? RATELOG_%1 can name the device file.")
                  .arg(QString::fromStdString(portName));
      break;
    default:
      break;
  }
  // What the port diagnosis adds: who holds the port, and the traps of
  // ModemManager, brltty and ttyS ports without a UART. The hints for
  // permission and a missing device are those above.
  const TPortDiagnosis diagnosis = DiagnosePort(portName);
  if (diagnosis.Locked && diagnosis.HolderPid > 0)
    text += QStringLiteral(" It is held by %1 (pid %2).")
                .arg(QString::fromStdString(diagnosis.HolderProgram))
                .arg(diagnosis.HolderPid);
  for (const std::string& hint : diagnosis.Hints) {
    if (hint.rfind("No permission", 0) == 0 || hint.rfind("Is the adapter", 0) == 0 ||
        hint.rfind("The port is in use", 0) == 0)
      continue;
    text += QStringLiteral("\n") + QString::fromStdString(hint);
  }
  return text;
}

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void TMainFrm::ac_startExecute() {
  if (Busy()) return;
  PrepareLiveChart();
  Recording = false;
  LabIDN->setText(DefaultIdentText());
  SaveDialog1.FileName = QDateTime::currentDateTime().toString(QStringLiteral("ddMMyyyy_HHmm"));
  if (OpenFile.Loaded) OpenFile.Reset();
  RecordingChanged();
  Run.PreparePacket();

  QString chosen;
  if (Dialogs().SaveFileName(this, SaveDialog1, chosen)) {
    RememberRecordingFolder(chosen);
    RecordFileName = chosen.toStdString();
    Recording = true;
    Run.ArmRecording(RecordFileName);
    // The run writes a new recording: the markers of an old one of that
    // name go with it.
    std::remove(MarkersPath(RecordFileName).c_str());
    LoadMarkersOf(RecordFileName);
    setWindowTitle(QString::fromLatin1(CaptionPrefix) + chosen);
  } else {
    setWindowTitle(QString::fromLatin1(CaptionPrefix) + QStringLiteral("Untitled"));
    LoadMarkersOf(std::string());
  }

  runMessageShown_ = false;
  lostReason_.clear();
  if (BeforeRunStarts) BeforeRunStarts(Settings);
  bool opened = false;
  try {
    opened = Run.OpenAndStart();
  } catch (const std::exception& error) {
    // Nothing runs; whatever got open before the failure is closed again.
    Run.StopTimer();
    Run.ClosePort();
    // No run, no recording: the caption names no file and nothing counts
    // as shown (the chart was emptied above).
    Recording = false;
    Run.ResetPacket();
    ShowNoRecording();
    const auto* device = dynamic_cast<const EDeviceError*>(&error);
    Dialogs().ShowError(this, device ? OpenErrorText(*device, Settings.PortName())
                                     : QString::fromLocal8Bit(error.what()));
    return;
  }
  if (!opened) {
    ac_stopExecute();
    return;
  }
  SetIdleControls(false);
  MainMenu1->setVisible(false);
  InstallIdle();
  if (!Packet.Identified) StartWaiting();
}

void TMainFrm::ac_stopExecute() {
  RemoveIdle();
  StopWaiting();
  Run.StopTimer();
  Display = DisplayRecord{};
  RefreshLabels();
  MainMenu1->setVisible(true);
  SetIdleControls(true);
  LabIDN->setText(DefaultIdentText());
  Run.ClosePort();
  ClearSeries();
  // The run created its recording only when a sample arrived; before that
  // a file of that name (chosen to be overwritten) still holds something
  // else, which must not be shown as this run.
  const bool written = Recording && Packet.FileCreated();
  // Writes the records still waiting for a full block and closes the file.
  stopping_ = true;
  Run.ResetPacket();
  stopping_ = false;

  // Without a recording on the chart (none made, or it could not be read)
  // there is nothing to calculate, export, print or copy, and no file name
  // in the caption.
  const auto finish = [this](bool loaded) {
    if (loaded) {
      ShowLoadedRecording(TShowPath::Stop);
    } else {
      Recording = false;
      ShowNoRecording();
    }
    Chart->SetAutomatic(TRateChart::Bottom);
    Chart->SetAutomatic(TRateChart::Left);
    Chart1->replot();
  };
  if (!written) {
    finish(false);
    RecordingChanged();
    return;
  }
  if (OpenFile.Loaded) OpenFile.Reset();
  AssignOpenFileSettings();
  ShownFileName = RecordFileName;
  OpenFile.RecordingName = ShownFileName;
  OpenFile.UnitsPerSecond = RateUnitPerSec;
  StartLoad(finish);
}

// ---------------------------------------------------------------------------
// Handlers of the link, the timer and the packet processor.

void TMainFrm::XComm1Data(std::uint32_t count) { Run.XComm1Data(count); }

void TMainFrm::MMTimer1Timer() { Run.MMTimer1Timer(); }

void TMainFrm::SetLinkSpeed(int index) { Run.SetLinkSpeed(index); }

// The run has switched the timer to polling (or off, with the line speed
// of the settings, in Trigger mode); the window shows nothing new until the
// first display record.
void TMainFrm::DeviceIdentified() { StopWaiting(); }

void TMainFrm::RunIdentified() { DeviceIdentified(); }

void TMainFrm::IdentificationText(const std::string& text) {
  LabIDN->setText(QString::fromLocal8Bit(text.c_str()));
}

void TMainFrm::StopRequested() {
  ac_stopExecute();
  if (!lostReason_.empty()) {
    QueueMessage(QStringLiteral("The connection to the device on %1 was lost (%2).\n"
                                "The measurement has been stopped.")
                     .arg(QString::fromStdString(Settings.PortName()),
                          QString::fromLocal8Bit(lostReason_.c_str())),
                 TMsgIcon::Warning);
    lostReason_.clear();
  }
}

void TMainFrm::LinkLost(int osError, const std::string& reason) {
  lostReason_ = !reason.empty() ? reason
                : osError != 0  ? std::string(std::strerror(osError))
                                : std::string("the port was closed");
}

void TMainFrm::RecordingFailed(const std::string& file, const std::string& reason) {
  // At Stop the run is over: the last records could not be written or the
  // file not closed.
  const QString consequence =
      stopping_ ? QStringLiteral("The measurement has been stopped; the recording holds the "
                                 "records written before.")
                : QStringLiteral("The measurement goes on without recording.");
  QueueMessage(QStringLiteral("The recording %1 cannot be written (%2).\n%3")
                   .arg(QString::fromLocal8Bit(file.c_str()),
                        QString::fromLocal8Bit(reason.c_str()), consequence),
               TMsgIcon::Warning);
}

void TMainFrm::TickFailed(const std::string& message) {
  if (runMessageShown_) return;
  runMessageShown_ = true;
  QueueMessage(QString::fromLocal8Bit(message.c_str()), TMsgIcon::Stop);
}

void TMainFrm::QueueMessage(const QString& text, TMsgIcon icon) {
  QTimer::singleShot(0, this, [this, text, icon] {
    Dialogs().Message(this, text, QStringLiteral("Message"), TMsgButtons::Ok, icon);
  });
}

// ---------------------------------------------------------------------------
// The idle handler: AppIdle runs each time the event loop has nothing left
// to do and is about to wait, from Start to Stop. It waits like the loop
// does: no timer, no polling.

void TMainFrm::InstallIdle() {
  if (idleConnection_) return;
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread()))
    idleConnection_ = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                              &TMainFrm::AppIdle);
}

void TMainFrm::RemoveIdle() {
  if (idleConnection_) disconnect(idleConnection_);
  idleConnection_ = QMetaObject::Connection();
}

// ---------------------------------------------------------------------------
// Waiting for the identification: the chart's title counts the seconds.

void TMainFrm::StartWaiting() {
  waitStartedMs_ = NowMs();
  if (!waitTimer_) {
    waitTimer_ = new QTimer(this);
    waitTimer_->setInterval(1000);
    waitTimer_->setTimerType(Qt::PreciseTimer);
    connect(waitTimer_, &QTimer::timeout, this, &TMainFrm::ShowWaitingTitle);
  }
  waitTimer_->start();
  ShowWaitingTitle();
}

void TMainFrm::ShowWaitingTitle() {
  if (!RunActive() || Packet.Identified) {
    StopWaiting();
    return;
  }
  const QString port = QString::fromStdString(Settings.PortName());
  Chart->SetTitle(WaitingTitle(port, QString::fromStdString(ResolvePortDevice(Settings.PortName())),
                               WaitingSeconds(), Settings.Address),
                  true);
}

void TMainFrm::StopWaiting() {
  const bool waiting = waitTimer_ && waitTimer_->isActive();
  if (waitTimer_) waitTimer_->stop();
  if (waiting) Chart->SetTitle(QString(), false);
}

int TMainFrm::WaitingSeconds() const {
  if (!waitTimer_ || !waitTimer_->isActive()) return -1;
  // Rounded: the ticks come about a whole second after the start.
  return static_cast<int>((NowMs() - waitStartedMs_ + 500) / 1000);
}

void TMainFrm::BackdateWaiting(int seconds) {
  waitStartedMs_ -= static_cast<std::int64_t>(seconds) * 1000;
  if (waitTimer_ && waitTimer_->isActive()) ShowWaitingTitle();
}
