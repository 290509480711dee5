// Auxiliary actions of the main window: printing, the companion program,
// About and the settings dialog.
#include <QAction>
#include <QComboBox>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <fstream>
#include <qcustomplot.h>
#include <sstream>
#include <sys/types.h>

#include "app/Mainform.h"
#include "settings/Optionfrm.h"
#include "ui/About.h"

namespace {

// Start time of a live process (clock ticks since boot, field 22 of
// /proc/<pid>/stat); 0 when there is no such process or it has ended.
std::uint64_t ProcessStartTime(std::int64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string state;
  fields >> state;
  if (state == "Z" || state == "X") return 0;
  std::string skip;
  for (int field = 4; field < 22; ++field) fields >> skip;
  std::uint64_t start = 0;
  fields >> start;
  return start;
}

}  // namespace

// ---------------------------------------------------------------------------
// Printing.

void TMainFrm::ac_printExecute() {
  if (Busy()) return;
  if (!Printer) Printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
  Printer->setFullPage(true);
  Printer->setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
  if (!Dialogs().PrinterSetup(this, *Printer)) return;

  const QPageLayout::Orientation previous = Printer->pageLayout().orientation();
  Printer->setPageOrientation(QPageLayout::Landscape);
  QCPPainter painter;
  if (painter.begin(Printer.get())) {
    painter.setMode(QCPPainter::pmVectorized);
    painter.setMode(QCPPainter::pmNoCaching);
    // The chart drawn at its own size and stretched to the whole page.
    const QRect page = painter.viewport();
    const int width = std::max(1, Chart1->width());
    const int height = std::max(1, Chart1->height());
    painter.scale(page.width() / static_cast<double>(width),
                  page.height() / static_cast<double>(height));
    Chart1->toPainter(&painter, width, height);
    painter.end();
  } else {
    const QString target = !Printer->outputFileName().isEmpty() ? Printer->outputFileName()
                                                                 : Printer->printerName();
    Dialogs().Message(this,
                      QStringLiteral("Printing could not start on %1.\n"
                                     "Check the printer (or the folder of the output file) "
                                     "and try again.")
                          .arg(target.isEmpty() ? QStringLiteral("the printer") : target),
                      QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
  }
  Printer->setPageOrientation(previous);
}

// ---------------------------------------------------------------------------
// The companion program.

void TMainFrm::ac_shellExecute() {
  // The port must be free for the companion program: stop a run, also one
  // in Trigger mode, where the timer is off.
  if (RunActive()) ac_stopExecute();
  if (Settings.ShellPath.empty()) return;
  if (shellWait_ && shellWait_->isActive()) return;  // a launch is pending

  // A copy started earlier is asked to close first and given a moment.
  if (ShellPid > 0 && ShellStartTime != 0 && ProcessStartTime(ShellPid) == ShellStartTime) {
    ::kill(static_cast<pid_t>(ShellPid), SIGTERM);
    if (!shellWait_) {
      shellWait_ = new QTimer(this);
      shellWait_->setInterval(20);
      connect(shellWait_, &QTimer::timeout, this, [this] {
        ++shellWaitTicks_;
        if (ProcessStartTime(ShellPid) == ShellStartTime && shellWaitTicks_ < 50) return;
        shellWait_->stop();
        LaunchShell();
      });
    }
    shellWaitTicks_ = 0;
    shellWait_->start();
    return;
  }
  LaunchShell();
}

void TMainFrm::LaunchShell() {
  ShellPid = 0;
  ShellStartTime = 0;
  if (Settings.ShellPath.empty()) return;
  qint64 pid = 0;
  // No shell between: the path is the program, the port index its argument.
  if (QProcess::startDetached(QString::fromStdString(Settings.ShellPath),
                              {QString::number(change_port->currentIndex())}, QString(), &pid) &&
      pid > 0) {
    ShellPid = pid;
    ShellStartTime = ProcessStartTime(pid);
  }
}

// ---------------------------------------------------------------------------
// About and settings.

void TMainFrm::ac_aboutExecute() {
  if (AboutFrm) AboutFrm->exec();
}

void TMainFrm::ac_optionExecute() {
  if (!OptionForm) return;
  OptionForm->Settings.Assign(Settings);
  if (OptionForm->exec() != QDialog::Accepted) return;
  Settings.Assign(OptionForm->Settings);
  SaveSettings();
  ApplyDisplaySettings();
  CalcParameters.DriftTime = Settings.DriftTime;
  CalcParameters.Passband = Settings.Passband;
  CalcParameters.RandomWalkTime = Settings.RandomWalkTime;
  CalcParameters.EarthRate = Settings.EarthRate;
  // A recording on the chart is calculated with the new parameters (one
  // being read gets them when its reading ends).
  if (Busy()) return;
  OpenFile.DriftTime = CalcParameters.DriftTime;
  OpenFile.Passband = CalcParameters.Passband;
  OpenFile.RandomWalkTime = CalcParameters.RandomWalkTime;
  OpenFile.EarthRate = CalcParameters.EarthRate;
}
