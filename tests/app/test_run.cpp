// Whole measurement runs in the window against the virtual gyroscope on a
// pseudo-terminal: Start and Stop, recording and reload, Trigger mode, a
// silent device, a device that hangs up, failures shown to the user.
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QTest>
#include <QTimer>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <qcustomplot.h>
#include <sys/resource.h>

#include <memory>
#include <mutex>

#include "RunHelpers.h"
#include "TestFiles.h"
#include "app/Forms.h"
#include "files/RecordingReader.h"
#include "sim/VirtualGyro.h"
#include "ui/Chart.h"
#include "ui/ScriptedDialogs.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

std::vector<SamplePoint> ReadRecords(const std::string& path) {
  TRecordingReader reader;
  std::vector<SamplePoint> records;
  if (!reader.Open(path)) return records;
  SamplePoint p;
  while (reader.Next(p)) records.push_back(p);
  return records;
}

class LiveRun : public ::testing::Test {
 protected:
  void TearDown() override {
    forms.reset();
    if (gyro) gyro->Stop();
    ::unsetenv("RATELOG_COM1");
  }

  // Stores the settings (Sample 125 unless changed), starts a virtual
  // gyroscope that speaks their protocol and opens the window on them.
  void Open(const std::function<void(TOptionProgramm&)>& settings = {},
            const std::function<void(TDeviceConfig&)>& device = {}, double hangUpAfter = 0) {
    TOptionProgramm s;
    s.FileName = dir.File("Ratelog.ini");
    s.SampleIndex = 12;
    s.Sample = 125;
    if (settings) settings(s);
    ASSERT_TRUE(s.Save());
    TDeviceConfig config = TDeviceModel::ConfigFor(s);
    if (device) device(config);
    gyro = std::make_unique<TVirtualGyro>(config);
    gyro->SetHangUpAfter(hangUpAfter);
    gyro->OnSample = [this](const TDeviceSample& sample) {
      std::lock_guard<std::mutex> lock(mutex);
      sent.push_back(sample);
    };
    std::string error;
    ASSERT_TRUE(gyro->Start(error)) << error;
    ::setenv("RATELOG_COM1", gyro->DevicePath().c_str(), 1);
    forms = CreateForms(s.FileName);
    w = forms->MainFrm.get();
    w->show();
  }

  // Start with the file dialog answered by `file` (a null string cancels).
  void Start(const QString& file = QString()) {
    dialogs.Names.push_back(file);
    w->ac_startExecute();
  }

  std::uint64_t Requests() {
    std::uint64_t n = 0;
    gyro->WithModel([&n](TDeviceModel& model) { n = model.Stats().Requests; });
    return n;
  }
  std::size_t Points() const { return static_cast<std::size_t>(SeriesSize(w->Series1)); }
  std::size_t Sent() {
    std::lock_guard<std::mutex> lock(mutex);
    return sent.size();
  }
  bool Running() const { return w->RunActive() || w->IdleInstalled(); }
  bool MessageShown(const QString& part) const {
    for (const auto& call : dialogs.Calls)
      if (call.Kind == TScriptedDialogs::TKind::Message && call.Text.contains(part)) return true;
    return false;
  }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TVirtualGyro> gyro;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
  std::mutex mutex;
  std::vector<TDeviceSample> sent;
};

TEST_F(LiveRun, CancelledFileDialogRunsWithoutRecording) {
  Open();
  Start();
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  const TFileRequest& request = dialogs.Calls[0].Request;
  EXPECT_TRUE(QRegularExpression("^\\d{8}_\\d{4}$").match(request.FileName).hasMatch())
      << request.FileName.toStdString();
  EXPECT_EQ(request.FileName.mid(4, 4).toInt(), QDate::currentDate().year());
  EXPECT_EQ(request.DefaultSuffix, "rtd");
  EXPECT_TRUE(request.ConfirmOverwrite);

  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
  EXPECT_TRUE(w->IdleInstalled());
  EXPECT_FALSE(w->MainMenu1->isVisible());
  EXPECT_TRUE(w->ac_stop->isEnabled());
  for (QAction* a : {w->ac_open, w->ac_start, w->ac_option, w->ac_print, w->ac_calc})
    EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
  EXPECT_FALSE(w->change_port->isEnabled());
  EXPECT_FALSE(w->e_mean->isEnabled());

  // Rate and average move (the series receive points even while switched
  // off), the bottom axis follows the newest point.
  ASSERT_TRUE(RunUntil([&] { return Points() >= 10; }));
  EXPECT_NE(w->lab_sig->text(), "0,00000");
  EXPECT_NE(w->lab_time->text(), "0,00");
  const double newest = (w->Series1->data()->constEnd() - 1)->key;
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().upper, newest);
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().lower, newest - 10);
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-123.456-00042");

  w->ac_stopExecute();
  EXPECT_FALSE(Running());
  EXPECT_EQ(Points(), 0u);
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-000.000-00000");
  EXPECT_TRUE(w->MainMenu1->isVisible());
  EXPECT_TRUE(w->ac_start->isEnabled());
  EXPECT_FALSE(w->ac_stop->isEnabled());
  for (QAction* a : {w->ac_calc, w->ac_export, w->ac_print, w->ac_file_info})
    EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
  EXPECT_FALSE(w->ch_temp->isVisible());
  EXPECT_FALSE(w->Chart->ZoomEnabled());
  EXPECT_EQ(QDir(QString::fromStdString(dir.Path())).entryList(QDir::Files),
            QStringList{"Ratelog.ini"});
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(LiveRun, RecordedRunIsReloadedAtStop) {
  Open();
  const QString file = QString::fromStdString(dir.File("run.rtd"));
  Start(file);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + file);
  ASSERT_TRUE(RunUntil([&] { return w->Packet.SamplesAccepted >= 25; }));
  w->ac_stopExecute();

  const std::vector<SamplePoint> records = ReadRecords(file.toStdString());
  ASSERT_GE(records.size(), 24u);
  EXPECT_EQ(ReadBytes(file.toStdString()).size(), 760 + 12 * records.size())
      << "records still waiting for a full block are written at Stop";
  ASSERT_EQ(Points(), records.size());
  EXPECT_EQ(SeriesSize(w->Series3), static_cast<std::int64_t>(records.size()));
  EXPECT_FLOAT_EQ(static_cast<float>(SeriesPoint(w->Series1, 0).value),
                  records[0].Rate * 3600.0f);
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_EQ(w->OpenFile.Info.Ident, "VRDT40-123.456-00042");
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + file);
  EXPECT_TRUE(w->Chart->TitleVisible());
  EXPECT_EQ(w->Chart->TitleText(), file);
  EXPECT_TRUE(w->Chart->ZoomEnabled());
  EXPECT_TRUE(w->ch_temp->isVisible());
  EXPECT_TRUE(w->Chart->Automatic(TRateChart::Bottom));
  for (QAction* a : {w->ac_calc, w->ac_export, w->ac_print, w->ac_start})
    EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  // The statistics of the whole recording: mean temperature near 25.
  EXPECT_TRUE(w->lab_temp->text().startsWith("25,")) << w->lab_temp->text().toStdString();
  EXPECT_NE(w->lab_aver->text(), "0,00000");
  EXPECT_EQ(w->lab_sig->text(), "0,00000");

  // The next run starts from an empty chart and records nothing.
  Start();
  EXPECT_FALSE(w->OpenFile.Loaded);
  EXPECT_EQ(Points(), 0u);
  ASSERT_TRUE(RunUntil([&] { return Points() >= 3; }));
  w->ac_stopExecute();
  EXPECT_FALSE(w->ac_calc->isEnabled());
  EXPECT_EQ(Points(), 0u);
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(LiveRun, StartWhileARecordingIsShownEmptiesTheChart) {
  Open();
  TRecordingFile f;
  for (int i = 1; i <= 20; ++i) f.Records.push_back({i * 0.1f, 0.001f * i, 25});
  f.Write(dir.File("old.rtd"));
  dialogs.Names.push_back(QString::fromStdString(dir.File("old.rtd")));
  w->ac_openExecute();
  ASSERT_TRUE(w->OpenFile.Loaded);
  ASSERT_EQ(Points(), 20u);

  Start();
  EXPECT_FALSE(w->OpenFile.Loaded);
  EXPECT_EQ(Points(), 0u);
  EXPECT_EQ(SeriesSize(w->Series3), 0);
  // The title no longer names the recording: until the device answers it
  // says that the run waits for it.
  EXPECT_TRUE(w->Chart->TitleText().startsWith("Waiting for the gyroscope on COM1"));
  EXPECT_FALSE(w->Chart->ZoomEnabled());
  EXPECT_FALSE(w->ch_temp->isChecked());
  EXPECT_FALSE(w->Series3->visible());
  EXPECT_FALSE(w->Chart1->yAxis2->visible());
  w->ac_stopExecute();
  EXPECT_FALSE(w->ac_calc->isEnabled());
  EXPECT_FALSE(w->ac_file_info->isEnabled());
}

TEST_F(LiveRun, MissingPortShowsTheErrorAndStaysIdle) {
  Open();
  ::setenv("RATELOG_COM1", dir.File("no-such-tty").c_str(), 1);
  dialogs.Answers.push_back(TMsgResult::Ok);
  Start();
  ASSERT_EQ(dialogs.Calls.size(), 2u);
  EXPECT_TRUE(dialogs.Calls[1].Text.startsWith("Cannot open device COM1\n"))
      << dialogs.Calls[1].Text.toStdString();
  EXPECT_TRUE(dialogs.Calls[1].Text.contains("no-such-tty"));
  EXPECT_FALSE(Running());
  EXPECT_TRUE(w->ac_start->isEnabled());
  EXPECT_FALSE(w->ac_stop->isEnabled());
  EXPECT_TRUE(w->MainMenu1->isVisible());
  EXPECT_TRUE(w->change_sam->isEnabled());
  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
}

// Another link holds the port (the lock every Ratelog takes): the box says
// so and names the holder, as ratelog-cli ports does.
TEST_F(LiveRun, HeldPortNamesItsHolder) {
  Open();
  TXComm other;
  other.SetDeviceName("COM1");
  ASSERT_TRUE(other.OpenDevice());
  dialogs.Answers.push_back(TMsgResult::Ok);
  Start();
  ASSERT_EQ(dialogs.Calls.size(), 2u);
  const std::string text = dialogs.Calls[1].Text.toStdString();
  const std::string held = "\nThe port is in use by another program. It is held by ";
  EXPECT_EQ(text.rfind("Cannot open device COM1\n\n" + gyro->DevicePath(), 0), 0u) << text;
  ASSERT_NE(text.find(held), std::string::npos) << text;
  const std::string pid = " (pid " + std::to_string(::getpid()) + ").";
  ASSERT_GT(text.size(), pid.size());
  EXPECT_EQ(text.substr(text.size() - pid.size()), pid);
  EXPECT_FALSE(Running());
  other.CloseDevice();
}

TEST_F(LiveRun, TriggerModeRunsAtTheConfiguredSpeedAndSendsNothing) {
  Open([](TOptionProgramm& s) {
    s.Mode = ModeTrigger;
    s.BaudIndex = 8;
  });
  Start();
  EXPECT_EQ(w->XComm1.GetBaudRate(), br115200) << "identification at 115200 bit/s";
  ASSERT_TRUE(RunUntil([&] { return Points() >= 5; }));
  EXPECT_TRUE(w->Packet.Identified);
  EXPECT_EQ(w->XComm1.GetBaudRate(), brCustom);
  EXPECT_EQ(w->XComm1.GetBaudValue(), 921600u);
  EXPECT_FALSE(w->MMTimer1.GetEnabled());
  const std::uint64_t requests = Requests();
  const std::size_t points = Points();
  EXPECT_TRUE(RunUntil([&] { return Points() > points + 5; })) << "frames keep coming";
  EXPECT_EQ(Requests(), requests) << "nothing is sent while streaming";
  w->ac_stopExecute();
  EXPECT_FALSE(Running());
}

TEST_F(LiveRun, SilentDeviceIsStillPolledAndThePanelsKeepTheirValues) {
  Open();
  Start();
  ASSERT_TRUE(RunUntil([&] { return Points() >= 5; }));
  gyro->WithModel([](TDeviceModel& model) { model.Config().Silent = true; });
  RunFor(100);  // what was on its way has arrived
  const QString rate = w->lab_sig->text(), time = w->lab_time->text();
  const std::size_t points = Points();
  const std::uint64_t requests = Requests();
  EXPECT_TRUE(RunUntil([&] { return Requests() >= requests + 15; })) << "polling goes on";
  EXPECT_EQ(w->lab_sig->text(), rate);
  EXPECT_EQ(w->lab_time->text(), time);
  EXPECT_EQ(Points(), points);
  EXPECT_TRUE(w->MMTimer1.GetEnabled());
  w->ac_stopExecute();
}

TEST_F(LiveRun, ARunWaitingForTheDeviceUsesNoProcessor) {
  Open({}, [](TDeviceConfig& c) { c.Silent = true; });
  Start();
  const double before = CpuSeconds();
  RunFor(1000);
  const double used = CpuSeconds() - before;
  EXPECT_LT(used, 0.5) << "the idle handler must not spin (it would take the whole second)";
  EXPECT_FALSE(w->Packet.Identified);
  EXPECT_GE(Requests(), 8u) << "the identification request every 100 ms";
  EXPECT_TRUE(w->IdleInstalled());
  w->ac_stopExecute();
  EXPECT_FALSE(w->IdleInstalled());
}

TEST_F(LiveRun, AFileThatCannotBeCreatedIsReportedAtOnce) {
  Open();
  dialogs.Answers.push_back(TMsgResult::Ok);
  const QString file = QString::fromStdString(dir.File("gone/run.rtd"));
  Start(file);
  ASSERT_TRUE(RunUntil([&] { return MessageShown("cannot be written"); }));
  EXPECT_TRUE(MessageShown(file));
  EXPECT_TRUE(w->RunActive()) << "the measurement goes on";
  RunFor(50);
  w->ac_stopExecute();
  EXPECT_FALSE(w->OpenFile.Loaded);
  EXPECT_FALSE(w->ac_calc->isEnabled());
  EXPECT_FALSE(w->ac_export->isEnabled());
  EXPECT_FALSE(MessageShown("Not open file."));
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

class HangUp : public LiveRun, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(HangUp, ADeviceThatGoesAwayStopsTheRunWithTheRecordingIntact) {
  const std::uint8_t mode = GetParam();
  Open(
      [mode](TOptionProgramm& s) {
        s.Mode = mode;
        // OneCommand replies carry no time: the software clock times them.
        if (mode == ModeOneCommand) s.TimeSource = TimeSoftware;
      },
      {}, 1.5);  // long enough for several samples on a loaded machine
  dialogs.Answers.push_back(TMsgResult::Ok);
  const QString file = QString::fromStdString(dir.File("run.rtd"));
  Start(file);
  ASSERT_TRUE(RunUntil([&] { return !Running(); }));
  ASSERT_TRUE(RunUntil([&] { return MessageShown("was lost"); }));
  EXPECT_TRUE(w->ac_start->isEnabled());
  EXPECT_TRUE(w->MainMenu1->isVisible());

  const std::vector<SamplePoint> records = ReadRecords(file.toStdString());
  ASSERT_GE(records.size(), 5u);
  EXPECT_EQ(ReadBytes(file.toStdString()).size(), 760 + 12 * records.size());
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_EQ(Points(), records.size());
  if (mode != ModeTrigger) {
    // Every sample the device sent is in the file, but the first (which
    // created it) and perhaps the last, on its way at the hang-up.
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_GE(records.size() + 2, sent.size());
    for (std::size_t i = 0; i < records.size() && i + 1 < sent.size(); ++i)
      ASSERT_EQ(records[i].Rate, sent[i + 1].Rate) << i;
  }
}

// A run that wrote nothing shows nothing: an existing file chosen at Start
// and a silent device, or a port that does not open. The old file stays.
TEST_F(LiveRun, ARunThatWroteNothingShowsNoFile) {
  Open({}, [](TDeviceConfig& c) { c.Silent = true; });
  TRecordingFile old;
  for (int i = 1; i <= 50; ++i) old.Records.push_back({i * 0.1f, 0.001f * i, 20});
  const std::string path = dir.File("old.rtd");
  old.Write(path);
  const Bytes before = ReadBytes(path);
  dialogs.Names.push_back(QString::fromStdString(path));
  w->ac_openExecute();
  ASSERT_TRUE(w->ac_print->isEnabled());

  Start(QString::fromStdString(path));
  RunFor(300);
  w->ac_stopExecute();
  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
  EXPECT_EQ(Points(), 0u);
  for (QAction* a : {w->ac_calc, w->ac_export, w->ac_print})
    EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
  EXPECT_FALSE(w->Chart->TitleVisible());
  EXPECT_EQ(ReadBytes(path), before);

  // The port does not open.
  w->ac_openExecute();  // no name left: cancelled
  dialogs.Names.push_back(QString::fromStdString(path));
  w->ac_openExecute();
  ASSERT_TRUE(w->ac_print->isEnabled());
  ::setenv("RATELOG_COM1", dir.File("no-such-port").c_str(), 1);
  Start(QString::fromStdString(dir.File("new.rtd")));
  EXPECT_TRUE(MessageShown("Cannot open device COM1"));
  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
  EXPECT_FALSE(w->ac_print->isEnabled());
  EXPECT_TRUE(w->ac_start->isEnabled());
  EXPECT_FALSE(w->Chart->TitleVisible());
  EXPECT_EQ(ReadBytes(path), before);
}

// While the device does not answer, the chart's title says what the
// program waits for, and after a while what to check; identification
// ends it.
TEST_F(LiveRun, TitleShowsTheWaitForTheDevice) {
  Open({}, [](TDeviceConfig& c) { c.Silent = true; });
  Start();
  const QString device = QString::fromStdString(gyro->DevicePath());
  ASSERT_TRUE(w->Chart->TitleVisible());
  EXPECT_EQ(w->Chart->TitleText(),
            QStringLiteral("Waiting for the gyroscope on COM1 (%1)\u2026 0 s").arg(device));
  w->BackdateWaiting(12);
  EXPECT_TRUE(w->Chart->TitleText().startsWith(
      QStringLiteral("Waiting for the gyroscope on COM1 (%1)\u2026 12 s\n").arg(device)));
  EXPECT_TRUE(w->Chart->TitleText().contains("address (100)"));
  // The count goes on once a second.
  EXPECT_TRUE(RunUntil([&] { return w->Chart->TitleText().contains(QStringLiteral("\u2026 13 s")); }))
      << w->Chart->TitleText().toStdString();
  EXPECT_TRUE(w->MMTimer1.GetEnabled()) << "still waiting, as long as it takes";

  gyro->WithModel([](TDeviceModel& model) { model.Config().Silent = false; });
  ASSERT_TRUE(RunUntil([&] { return w->Packet.Identified; }));
  EXPECT_FALSE(w->Chart->TitleVisible());
  EXPECT_EQ(w->WaitingSeconds(), -1);
  w->ac_stopExecute();

  // Stop while waiting: the title goes too.
  gyro->WithModel([](TDeviceModel& model) { model.Config().Silent = true; });
  Start();
  ASSERT_TRUE(w->Chart->TitleVisible());
  w->ac_stopExecute();
  EXPECT_FALSE(w->Chart->TitleVisible());
}

// A whole run from the keyboard: F5, the file name typed into Qt's own save
// dialog, Shift+F5 while the menu bar is away.
TEST_F(LiveRun, WholeRunByKeyboard) {
  Open();
  SetDialogs(nullptr);  // the real dialogs
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  const QString typed = QString::fromStdString(dir.File("keyboard"));
  bool typedIn = false;
  int ticks = 0;
  QTimer typer;
  typer.setInterval(20);
  QObject::connect(&typer, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (!dialog || !dialog->isVisible()) return;
    if (++ticks > 1500) {
      dialog->reject();  // never hang the suite
      return;
    }
    // The keys go where the dialog has its keyboard focus (the file name),
    // also before the window system has made the dialog active.
    QWidget* focus = dialog->focusWidget();
    if (!focus) return;
    if (!typedIn) {
      typedIn = true;
      QTest::keyClick(focus, Qt::Key_A, Qt::ControlModifier);
      QTest::keyClicks(focus, typed);
      return;
    }
    // As a user does: Escape closes the list of suggestions that the
    // dialog may show for the typed path, then Return saves.
    if (QWidget* popup = QApplication::activePopupWidget()) {
      QTest::keyClick(popup, Qt::Key_Escape);
    } else if (ticks % 50 == 0) {
      // The dialog greys its Save button until its (threaded) view of the
      // folder has caught up with the typed path: touch the name again.
      QTest::keyClick(focus, Qt::Key_Backspace);
      QTest::keyClicks(focus, typed.right(1));
    } else if (ticks % 10 == 0) {
      QTest::keyClick(focus, Qt::Key_Return);
    }
  });
  typer.start();
  QTest::keyClick(w, Qt::Key_F5);
  typer.stop();
  SetDialogs(&dialogs);
  ASSERT_TRUE(typedIn);
  const QString file = typed + ".rtd";
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + file);
  ASSERT_TRUE(w->IdleInstalled());
  EXPECT_FALSE(w->MainMenu1->isVisible());
  ASSERT_TRUE(RunUntil([&] { return Points() >= 30; }));
  // The window is the active one again once the dialog has gone.
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  QTest::keyClick(w, Qt::Key_F5, Qt::ShiftModifier);
  EXPECT_FALSE(Running());
  EXPECT_TRUE(w->MainMenu1->isVisible());
  const auto records = ReadRecords(file.toStdString());
  EXPECT_GE(records.size(), 20u);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + file);
  EXPECT_EQ(static_cast<std::size_t>(SeriesSize(w->Series1)), records.size());
}

INSTANTIATE_TEST_SUITE_P(EveryMode, HangUp,
                         ::testing::Values(ModeNormal, ModeTrigger, ModeOneCommand),
                         [](const auto& info) {
                           return std::string(info.param == ModeNormal    ? "Normal"
                                              : info.param == ModeTrigger ? "Trigger"
                                                                          : "OneCommand");
                         });

}  // namespace
