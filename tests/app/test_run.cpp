// Whole runs in the window against the virtual gyroscope on a pseudo-terminal:
// recording and reload, Trigger mode, a silent device, a device that hangs
// up, failures shown to the user, and a run from the keyboard.
#include <QTest>

#include <sys/resource.h>

#include <mutex>

#include "AppTest.h"
#include "files/RecordingReader.h"
#include "sim/VirtualGyro.h"

namespace {

Records ReadRecords(const std::string& path) {
  TRecordingReader reader;
  Records records;
  SamplePoint p;
  if (reader.Open(path))
    while (reader.Next(p)) records.push_back(p);
  return records;
}

void ExpectEnabled(const std::vector<QAction*>& actions, bool enabled) {
  for (QAction* a : actions) EXPECT_EQ(a->isEnabled(), enabled) << a->text().toStdString();
}

class LiveRun : public WindowTest {
 protected:
  void SetUp() override {}
  void TearDown() override {
    forms.reset();
    if (gyro) gyro->Stop();
    ::unsetenv("RATELOG_COM1");
  }
  // Stores the settings (Sample 125 unless changed), starts a virtual
  // gyroscope that speaks their protocol and opens the window on them.
  void Open(const std::function<void(TOptionProgramm&)>& settings = {}, bool silent = false,
            double hangUpAfter = 0) {
    TOptionProgramm s;
    s.FileName = dir.File("Ratelog.ini");
    s.SampleIndex = 12;
    s.Sample = 125;
    if (settings) settings(s);
    ASSERT_TRUE(s.Save());
    TDeviceConfig config = TDeviceModel::ConfigFor(s);
    config.Silent = silent;
    gyro = std::make_unique<TVirtualGyro>(config);
    gyro->SetHangUpAfter(hangUpAfter);
    gyro->OnSample = [this](const TDeviceSample& sample) {
      std::lock_guard<std::mutex> lock(mutex);
      sent.push_back(sample);
    };
    std::string error;
    ASSERT_TRUE(gyro->Start(error)) << error;
    ::setenv("RATELOG_COM1", gyro->DevicePath().c_str(), 1);
    Show(s.FileName);
  }
  // Start with the file dialog answered by `file` (a null string cancels).
  void Start(const QString& file = QString()) {
    dialogs.Names.push_back(file);
    w->ac_startExecute();
  }
  void SetSilent(bool silent) {
    gyro->WithModel([silent](TDeviceModel& model) { model.Config().Silent = silent; });
  }
  std::uint64_t Requests() {
    std::uint64_t n = 0;
    gyro->WithModel([&n](TDeviceModel& model) { n = model.Stats().Requests; });
    return n;
  }
  bool Running() const { return w->RunActive() || w->IdleInstalled(); }
  std::unique_ptr<TVirtualGyro> gyro;
  std::mutex mutex;
  std::vector<TDeviceSample> sent;
};

// A recording on the chart, a recorded run (emptied chart, reload at Stop),
// then a run whose file dialog was cancelled (nothing recorded).
TEST_F(LiveRun, RecordedRunIsReloadedAtStop) {
  Open();
  WriteRecording(dir.File("old.rtd"), Ramp(1, 20, 0.1f, [](int i) { return 0.001f * i; }));
  ASSERT_TRUE(OpenFile("old.rtd"));
  ASSERT_EQ(Points(), 20u);
  const QString file = Q(dir.File("run.rtd"));
  w->ChamberProgramme = [](double from, double to) { return std::vector<TMarker>{{from, "a"}, {to, "b"}}; };
  Start(file);
  EXPECT_FALSE(w->OpenFile.Loaded);
  EXPECT_EQ(SeriesSize(w->Series1) + SeriesSize(w->Series3), 0);
  EXPECT_TRUE(w->Chart->TitleText().startsWith("Waiting for the gyroscope on COM1"));
  ASSERT_TRUE(RunUntil([&] { return w->Packet.SamplesAccepted >= 25 && w->Display.time > 0; }));
  // M during the run: a marker at the newest record, kept beside the recording.
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  dialogs.Names.push_back(QStringLiteral("door opened"));
  QTest::keyClick(w, Qt::Key_M);
  ASSERT_EQ(w->Markers.size(), 1u);
  const double marked = w->Markers[0].Time;
  const std::uint64_t accepted = w->Packet.SamplesAccepted;
  w->ac_stopExecute();
  ASSERT_TRUE(Settle());
  ASSERT_EQ(w->Markers.size(), 1u) << "read back with the recording";
  EXPECT_EQ(static_cast<float>(w->Markers[0].Time), static_cast<float>(marked)) << "a record's time";
  EXPECT_EQ(w->Markers[0].Note, "door opened");
  const Records records = ReadRecords(file.toStdString());
  ASSERT_GE(records.size() + 1, accepted) << "all but the first, which created the file";
  EXPECT_EQ(ReadBytes(file.toStdString()).size(), 760 + 12 * records.size())
      << "records still waiting for a full block are written at Stop";
  ASSERT_EQ(Points(), records.size());
  EXPECT_EQ(w->AutoMarkers[TMainFrm::ChamberMarkers],  // the chamber's steps over the recording's span
            (std::vector<TMarker>{{records.front().Time, "a"}, {records.back().Time, "b"}}));
  EXPECT_FLOAT_EQ(static_cast<float>(SeriesPoint(w->Series1, 0).value), records[0].Rate * 3600.0f);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + file);
  EXPECT_EQ(w->Chart->TitleText(), file);
  ExpectEnabled({w->ac_calc, w->ac_export, w->ac_print, w->ac_start, w->ac_allan, w->ac_thermal,
                 w->ac_report}, true);
  // The statistics of the whole recording: mean temperature near 25.
  EXPECT_TRUE(w->lab_temp->text().startsWith("25,")) << w->lab_temp->text().toStdString();
  // Cancelled file dialog: the run goes on without a recording.
  Start();
  const TFileRequest& request = dialogs.Calls.back().Request;
  EXPECT_TRUE(QRegularExpression("^\\d{8}_\\d{4}$").match(request.FileName).hasMatch())
      << request.FileName.toStdString();
  EXPECT_EQ(request.FileName.mid(4, 4).toInt(), QDate::currentDate().year());
  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
  EXPECT_EQ(Points(), 0u);
  EXPECT_TRUE(!w->MainMenu1->isVisible() && w->ac_stop->isEnabled());
  ExpectEnabled({w->ac_open, w->ac_start, w->ac_option, w->ac_print, w->ac_calc}, false);
  // The rate moves; the bottom axis follows the newest point.
  ASSERT_TRUE(RunUntil([&] { return Points() >= 10; }));
  EXPECT_NE(w->lab_sig->text(), "0,00000");
  const double newest = (w->Series1->data()->constEnd() - 1)->key;
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().upper, newest);
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().lower, newest - 10);
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-123.456-00042");
  w->ac_stopExecute();
  EXPECT_FALSE(Running());
  EXPECT_EQ(Points(), 0u) << "a run without a recording leaves nothing to show";
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-000.000-00000");
  ExpectEnabled({w->ac_calc, w->ac_export, w->ac_print, w->ac_file_info}, false);
  EXPECT_EQ(QDir(Q(dir.Path())).entryList(QDir::Files, QDir::Name),
            QStringList({"Ratelog.ini", "last-folder.txt", "old.rtd", "run.markers.txt", "run.rtd"}));
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// A port another link holds (the lock every Ratelog takes) and a missing
// port: the box says so, naming the holder as ratelog-cli ports does. A
// recording that cannot be created is reported at once; the run goes on.
TEST_F(LiveRun, MissingPortShowsTheErrorAndStaysIdle) {
  Open();
  TXComm other;
  other.SetDeviceName("COM1");
  ASSERT_TRUE(other.OpenDevice());
  dialogs.Answers.push_back(TMsgResult::Ok);
  Start();
  ASSERT_EQ(dialogs.Calls.size(), 2u);
  const std::string text = dialogs.Calls[1].Text.toStdString();
  EXPECT_EQ(text.rfind("Cannot open device COM1\n\n" + gyro->DevicePath(), 0), 0u) << text;
  EXPECT_NE(text.find("\nThe port is in use by another program. It is held by "), std::string::npos);
  EXPECT_TRUE(QString::fromStdString(text).endsWith(QStringLiteral(" (pid %1).").arg(::getpid())));
  EXPECT_FALSE(Running());
  other.CloseDevice();
  ::setenv("RATELOG_COM1", dir.File("no-such-tty").c_str(), 1);
  dialogs.Answers.push_back(TMsgResult::Ok);
  Start();
  ASSERT_EQ(dialogs.Calls.size(), 4u);
  EXPECT_TRUE(dialogs.Calls[3].Text.startsWith("Cannot open device COM1\n"));
  EXPECT_TRUE(dialogs.Calls[3].Text.contains("no-such-tty"));
  EXPECT_TRUE(!Running() && w->ac_start->isEnabled() && w->MainMenu1->isVisible());
  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
  ::setenv("RATELOG_COM1", gyro->DevicePath().c_str(), 1);
  dialogs.Calls.clear();
  dialogs.Answers.push_back(TMsgResult::Ok);
  Start(Q(dir.File("gone/run.rtd")));
  ASSERT_TRUE(RunUntil([&] { return MessageShown("cannot be written"); }));
  EXPECT_TRUE(MessageShown(Q(dir.File("gone/run.rtd"))));
  EXPECT_TRUE(w->RunActive()) << "the measurement goes on";
  RunFor(50);
  w->ac_stopExecute();
  EXPECT_FALSE(w->OpenFile.Loaded);
  ExpectEnabled({w->ac_calc, w->ac_export}, false);
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(LiveRun, TriggerModeRunsAtTheConfiguredSpeedAndSendsNothing) {
  Open([](TOptionProgramm& s) {
    s.Mode = ModeTrigger;
    s.BaudIndex = 8;
  });
  Start();
  EXPECT_EQ(w->XComm1.GetBaudRate(), br115200) << "identification at 115200 bit/s";
  ASSERT_TRUE(RunUntil([&] { return Points() >= 5; }));
  EXPECT_EQ(w->XComm1.GetBaudValue(), 921600u);
  EXPECT_FALSE(w->MMTimer1.GetEnabled());
  const std::uint64_t requests = Requests();
  const std::size_t points = Points();
  EXPECT_TRUE(RunUntil([&] { return Points() > points + 5; })) << "frames keep coming";
  EXPECT_EQ(Requests(), requests) << "nothing is sent while streaming";
}

// While the device does not answer, the run uses no processor and the
// chart's title says what the program waits for, after a while what to
// check; identification ends it, and so does Stop. A device that falls
// silent is still polled and the panels keep their values.
TEST_F(LiveRun, TitleShowsTheWaitForTheDevice) {
  Open({}, true);
  Start();
  const QString device = Q(gyro->DevicePath());
  EXPECT_EQ(w->Chart->TitleText(),
            QStringLiteral("Waiting for the gyroscope on COM1 (%1)\u2026 0 s").arg(device));
  w->BackdateWaiting(12);
  EXPECT_TRUE(w->Chart->TitleText().startsWith(
      QStringLiteral("Waiting for the gyroscope on COM1 (%1)\u2026 12 s\n").arg(device)));
  EXPECT_TRUE(w->Chart->TitleText().contains("address (100)"));
  EXPECT_TRUE(RunUntil([&] { return w->Chart->TitleText().contains(QStringLiteral("\u2026 13 s")); }))
      << w->Chart->TitleText().toStdString();
  EXPECT_TRUE(w->MMTimer1.GetEnabled()) << "still waiting, as long as it takes";
  const std::clock_t before = std::clock();  // processor time
  RunFor(1000);
  EXPECT_LT(static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC, 0.5)
      << "the idle handler must not spin";
  EXPECT_FALSE(w->Packet.Identified);
  EXPECT_GE(Requests(), 8u) << "the identification request every 100 ms";
  SetSilent(false);
  ASSERT_TRUE(RunUntil([&] { return w->Packet.Identified && Points() >= 5; }));
  EXPECT_FALSE(w->Chart->TitleVisible());
  SetSilent(true);
  RunFor(100);  // what was on its way has arrived
  const QString rate = w->lab_sig->text(), time = w->lab_time->text();
  const std::size_t points = Points();
  const std::uint64_t requests = Requests();
  EXPECT_TRUE(RunUntil([&] { return Requests() >= requests + 15; })) << "polling goes on";
  EXPECT_EQ(w->lab_sig->text(), rate);
  EXPECT_EQ(w->lab_time->text(), time);
  EXPECT_EQ(Points(), points);
  w->ac_stopExecute();
  EXPECT_FALSE(w->IdleInstalled());
  Start();
  ASSERT_TRUE(w->Chart->TitleVisible());
  w->ac_stopExecute();
  EXPECT_FALSE(w->Chart->TitleVisible());
}

// A run that wrote nothing shows nothing: an existing file chosen at Start
// and a silent device, or a port that does not open. The old file stays.
TEST_F(LiveRun, ARunThatWroteNothingShowsNoFile) {
  Open({}, true);
  const std::string path = dir.File("old.rtd");
  WriteRecording(path, Ramp(1, 50, 0.1f, [](int i) { return 0.001f * i; }));
  const Bytes before = ReadBytes(path);
  for (bool portOpens : {true, false}) {
    SCOPED_TRACE(portOpens);
    ASSERT_TRUE(OpenFile("old.rtd"));
    ASSERT_TRUE(w->ac_print->isEnabled());
    if (portOpens) {
      Start(Q(path));
      RunFor(300);
      w->ac_stopExecute();
    } else {
      ::setenv("RATELOG_COM1", dir.File("no-such-port").c_str(), 1);
      dialogs.Answers.push_back(TMsgResult::Ok);
      Start(Q(dir.File("new.rtd")));
      EXPECT_TRUE(MessageShown("Cannot open device COM1"));
      EXPECT_TRUE(w->ac_start->isEnabled());
    }
    EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled");
    EXPECT_EQ(Points(), 0u);
    ExpectEnabled({w->ac_calc, w->ac_export, w->ac_print}, false);
    EXPECT_FALSE(w->Chart->TitleVisible());
    EXPECT_EQ(ReadBytes(path), before);
  }
}

class HangUp : public LiveRun, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(HangUp, ADeviceThatGoesAwayStopsTheRunWithTheRecordingIntact) {
  const std::uint8_t mode = GetParam();
  Open(
      [mode](TOptionProgramm& s) {
        s.Mode = mode;
        if (mode == ModeOneCommand) s.TimeSource = TimeSoftware;  // its replies carry no time
      },
      false, 1.5);  // long enough for several samples on a loaded machine
  dialogs.Answers.push_back(TMsgResult::Ok);
  const QString file = Q(dir.File("run.rtd"));
  Start(file);
  std::uint64_t accepted = 0;  // as last seen before the run stopped
  ASSERT_TRUE(RunUntil([&] {
    accepted = std::max(accepted, w->Packet.SamplesAccepted);
    return !Running();
  }));
  ASSERT_TRUE(RunUntil([&] { return MessageShown("was lost") && !w->Busy(); }));
  const Records records = ReadRecords(file.toStdString());
  ASSERT_GE(records.size(), 5u);
  EXPECT_EQ(ReadBytes(file.toStdString()).size(), 760 + 12 * records.size());
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_EQ(Points(), records.size());
  EXPECT_GE(records.size() + 1, accepted) << "every sample received but the first is in the file";
  if (mode != ModeTrigger) {
    // In the order the device sent them, none left out; what was still on
    // its way at the hang-up is lost with the port.
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t i = 0; i < records.size() && i + 1 < sent.size(); ++i)
      ASSERT_EQ(records[i].Rate, sent[i + 1].Rate) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, HangUp, ::testing::Values(ModeNormal, ModeTrigger, ModeOneCommand),
                         [](const auto& info) {
                           return (std::vector<std::string>{"Normal", "Trigger", "OneCommand"})[info.param];
                         });

// A whole run from the keyboard: F5, the file name typed into Qt's own save
// dialog, Shift+F5 while the menu bar is away.
TEST_F(LiveRun, WholeRunByKeyboard) {
  Open();
  SetDialogs(nullptr);  // the real dialogs
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  const QString typed = Q(dir.File("keyboard"));
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
  EXPECT_FALSE(w->MainMenu1->isVisible());
  ASSERT_TRUE(RunUntil([&] { return Points() >= 30; }));
  w->activateWindow();  // the active one again once the dialog has gone
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  QTest::keyClick(w, Qt::Key_F5, Qt::ShiftModifier);
  ASSERT_TRUE(Settle());
  EXPECT_FALSE(Running());
  EXPECT_TRUE(w->MainMenu1->isVisible());
  EXPECT_GE(ReadRecords(file.toStdString()).size(), 20u);
  EXPECT_EQ(Points(), ReadRecords(file.toStdString()).size());
}

// The recording's last block cannot be written at Stop (the file may not
// grow past its first block of ten records: a full disk, as the program
// sees it): the box says that the run has ended, takes the Return key, and
// the records written before are charted.
TEST_F(LiveRun, StopWithTheLastWriteFailingIsAnsweredAndCharted) {
  Open([](TOptionProgramm& s) {
    s.SampleIndex = 2;  // 10 per second: a block of ten each second
    s.Sample = 10;
  });
  const std::string file = dir.File("run.rtd");
  const rlim_t full = 760 + 12 * 10;
  struct TLimit {
    rlimit before{};
    explicit TLimit(rlim_t bytes) {
      ::getrlimit(RLIMIT_FSIZE, &before);
      const rlimit limit{bytes, before.rlim_max};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~TLimit() { ::setrlimit(RLIMIT_FSIZE, &before); }
  };
  // The program takes a write beyond the limit as a failed write.
  {
    TLimit limit(full);
    Start(Q(file));
    // The first block is in the file and the next is being collected.
    ASSERT_TRUE(RunUntil([&] { return w->Packet.FileOffset == static_cast<std::int64_t>(full) &&
                                      w->Packet.BlockCount > 0; }));
    TBoxesByKeyboard boxes(dialogs);
    w->ac_stopExecute();
    ASSERT_TRUE(RunUntil([&] { return boxes.Answered == 1 && !w->Busy(); }));
    EXPECT_FALSE(boxes.Stuck) << "the box took no key";
    ASSERT_EQ(boxes.Shown.size(), 1u);
    EXPECT_TRUE(boxes.Shown[0].startsWith("The recording " + Q(file) + " cannot be written ("));
    EXPECT_TRUE(boxes.Shown[0].endsWith(
        "The measurement has been stopped; the recording holds the records written before."));
  }
  EXPECT_EQ(ReadBytes(file).size(), full);
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_EQ(Points(), 10u);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + Q(file));
}

}  // namespace
