// The main window without a device: settings applied and saved, closing
// during a run, the live chart fed by display records, the scale panel and
// averaging time, the display steps, the companion program and printing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "AppTest.h"
#include "app/DisplaySteps.h"
#include "files/Recording.h"
#include "sim/DeviceModel.h"

namespace {

using MainWindow = WindowTest;

TEST_F(MainWindow, PortAndSampleChoicesAreSavedAtOnce) {
  ::setenv("RATELOG_COM3", "/dev/pts/test-port", 1);
  w->ApplyDisplaySettings();  // refreshes the port tips
  w->change_port->setCurrentIndex(2);
  emit w->change_port->activated(2);
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).PortIndex, 2);
  EXPECT_EQ(w->XComm1.GetDeviceName(), "COM3");
  EXPECT_EQ(w->change_port->itemData(2, Qt::ToolTipRole).toString(),
            "/dev/pts/test-port (RATELOG_COM3): missing");  // the port's diagnosis
  ::unsetenv("RATELOG_COM3");
  w->change_sam->setCurrentIndex(12);
  emit w->change_sam->activated(12);
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).Sample, 125);
  EXPECT_EQ(w->MMTimer1.GetDelay(), 8u);
  w->TrDisplay->setValue(300);
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).DisplayTime, 300);
  EXPECT_EQ(w->lab_display->text(), "Display, 300 sec");
  EXPECT_EQ(w->PointStep, 2);  // Ceil(300 * 25 / 4000)
  w->Settings.Resolution = 6000;
  w->Settings.SampleIndex = 3;  // 20
  w->ApplyDisplaySettings();
  EXPECT_EQ(w->LabelStep, 10);
  EXPECT_EQ(w->PointStep, 3);  // Ceil(300 * 50 / 6000)
}

// Closing asks only during a run; closing then keeps the records that had
// not yet filled a block of ten.
TEST_F(MainWindow, ClosingDuringARunCompletesTheRecording) {
  EXPECT_TRUE(w->close());
  EXPECT_TRUE(dialogs.Calls.empty());
  w->show();
  TPaket& p = w->Packet;
  p.Assign(w->Settings);
  p.Reset();
  p.RecordName = dir.File("run.rtd");
  p.RecordEnabled = true;
  TDeviceModel device;
  std::vector<std::uint8_t> bytes;
  double now = 0;
  auto exchange = [&] {
    device.Feed(p.SendBuffer.data(), static_cast<std::size_t>(p.RequestLength), now);
    device.Take(bytes);
    p.Receive(bytes.data(), bytes.size());
    bytes.clear();
    now += 0.1;
  };
  p.BuildIdentRequest();
  exchange();
  ASSERT_TRUE(p.Identified);
  p.BuildDataRequest();
  for (int i = 0; i < 15; ++i) exchange();
  ASSERT_GT(p.BlockCount, 0);  // records waiting for a full block
  const std::size_t expected = static_cast<std::size_t>(p.FileOffset + p.BlockCount * 12);
  ASSERT_GT(expected, rtd::HeaderSize);
  w->MMTimer1.SetOnTimer([](TMMTimer*) {});
  w->MMTimer1.SetEnabled(true);
  dialogs.Answers = {TMsgResult::Cancel, TMsgResult::Ok};
  EXPECT_FALSE(w->close());
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_EQ(dialogs.Calls[0].Text, "Close program?");
  EXPECT_EQ(dialogs.Calls[0].Buttons, TMsgButtons::OkCancel);
  EXPECT_TRUE(w->MMTimer1.GetEnabled());
  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->MMTimer1.GetEnabled());
  EXPECT_EQ(ReadBytes(dir.File("run.rtd")).size(), expected);
  EXPECT_EQ(p.FileHandle, -1);
}

TEST_F(MainWindow, SettingsDialogOkIsSavedAppliedAndHandedOn) {
  QTimer::singleShot(0, [this] {
    TOptionForm* f = forms->OptionForm.get();
    f->e_tsszs->setText("250,0");
    f->change_sam->setCurrentIndex(0);
    emit f->change_sam->activated(0);
    f->BtnOk->click();
  });
  w->ac_optionExecute();
  EXPECT_EQ(w->CalcParameters.DriftTime, 250.0f);
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).DriftTime, 250.0f);
  EXPECT_EQ(w->MMTimer1.GetDelay(), 1000u);
}

// A settings file that cannot be written is reported once, with its path
// and the reason.
TEST_F(MainWindow, UnwritableSettingsFileIsReportedOnce) {
  forms.reset();
  Show(dir.File("missing/Ratelog.ini"));
  QCoreApplication::processEvents();
  w->TrDisplay->setValue(300);
  w->ch_signal->click();
  QCoreApplication::processEvents();
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_TRUE(Messages()[0].contains(Q(dir.File("missing/Ratelog.ini"))));
  EXPECT_TRUE(Messages()[0].contains("No such file or directory"));
}

class LiveChart : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    w->PrepareLiveChart();
  }
  // One display record as the packet processor would have it due.
  void Record(float time, float rate, float temperature = 25.0f) {
    w->Packet.Current = SamplePoint{time, rate, temperature};
    w->Packet.DisplayReady = true;
    w->AppIdle();
  }
  double Key(int i) const { return SeriesPoint(w->Series1, i).key; }
};

TEST_F(LiveChart, PointStepOneChartsFromTheSecondRecord) {
  ASSERT_EQ(w->PointStep, 1);
  w->LabelStep = 0;
  Record(0, 0.5f);  // time zero: taken, but neither charted nor shown
  EXPECT_FALSE(w->Packet.DisplayReady);
  EXPECT_FALSE(w->FirstShownValid);
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  Record(0.04f, 0.001f);
  EXPECT_EQ(Points(), 0u);
  EXPECT_DOUBLE_EQ(w->FirstShown, static_cast<double>(0.04f));
  Record(0.08f, 0.002f);
  Record(0.12f, 0.003f);
  ASSERT_EQ(Points(), 2u);
  EXPECT_DOUBLE_EQ(Key(0), static_cast<double>(0.08f));
  EXPECT_FLOAT_EQ(static_cast<float>(SeriesPoint(w->Series1, 1).value), 0.003f * 3600);
  EXPECT_EQ(SeriesSize(w->Series2), 2) << "the average gets its points too";
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().upper, static_cast<double>(0.12f));
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().lower, static_cast<double>(0.12f) - 10);
}

TEST_F(LiveChart, StepsOfPointsAndLabels) {
  w->PointStep = 3;
  w->LabelStep = 3;
  for (int i = 1; i <= 3; ++i) Record(i * 0.1f, 0.001f * i);
  EXPECT_EQ(Points(), 0u);
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  Record(0.4f, 0.004f);  // the fourth: charted and shown
  ASSERT_EQ(Points(), 1u);
  EXPECT_EQ(w->lab_sig->text(), "14,40000");
  for (int i = 5; i <= 7; ++i) Record(i * 0.1f, 0.001f * i);
  EXPECT_EQ(Points(), 2u);
  EXPECT_DOUBLE_EQ(Key(1), static_cast<double>(0.7f));
  EXPECT_EQ(w->lab_sig->text(), "25,20000");
}

TEST_F(LiveChart, LabelsInTheFormatsOfBothPanels) {
  w->Packet.AverageEngine.AddSample(1.0f, 0.25f, 25.34f);
  w->Packet.Snapshot.frame = 65535;
  w->Packet.FrameFrequency = 99.8766;
  Record(1.5f, 0.5f, 25.34f);
  EXPECT_EQ(w->lab_sig->text(), "1800,00000");
  EXPECT_EQ(w->lab_aver->text(), "900,00000");
  EXPECT_EQ(w->l_rms->text(), "0,00000");
  EXPECT_EQ(w->lab_temp->text(), "25,3");
  EXPECT_EQ(w->lab_time->text(), "1,500");
  EXPECT_EQ(w->lab_frame->text(), "65535");
  EXPECT_EQ(w->LabFreqFrame->text(), "99,877");
  w->ac_supp_infoExecute();  // a hidden panel's labels are left alone
  Record(2.5f, 0.25f, 30);
  EXPECT_EQ(w->lab_sig->text(), "900,00000");
}

// The window holds the last DisplayTime seconds, at most Resolution points.
TEST_F(LiveChart, TheWindowKeepsTheLastDisplayTimeSeconds) {
  for (int t = 1; t <= 30; ++t) Record(static_cast<float>(t), 0.001f);
  ASSERT_EQ(Points(), 11u);  // 20 .. 30
  EXPECT_DOUBLE_EQ(Key(0), 20.0);
  EXPECT_DOUBLE_EQ(w->FirstShown, 20.0);
  EXPECT_EQ(SeriesSize(w->Series2), 11);
  w->PrepareLiveChart();
  w->Settings.Resolution = 2000;
  w->Settings.DisplayTime = 7200;
  for (int i = 1; i <= 2600; ++i) Record(i * 0.01f, 0.001f);
  EXPECT_EQ(Points(), 2000u);
  EXPECT_EQ(w->PointCount, 2000);
  EXPECT_DOUBLE_EQ(Key(0), static_cast<double>(601 * 0.01f));
  EXPECT_DOUBLE_EQ(w->FirstShown, Key(0));
}

// Trimming ends on an empty series: a resolution a settings file may hold,
// and a window emptied by the unit switch while the old first time is far
// behind.
TEST_F(LiveChart, TrimmingEndsWhenTheSeriesIsEmpty) {
  w->Settings.Resolution = -5;
  Record(1, 0.001f);
  Record(2, 0.001f);
  EXPECT_EQ(Points(), 0u);
  w->Settings.Resolution = 4000;
  Record(3, 0.001f);
  w->FirstShown = -1000;
  w->ClearSeries();
  Record(4, 0.001f);  // charted, then aged out against the old first time
  EXPECT_EQ(Points(), 0u);
  EXPECT_DOUBLE_EQ(w->FirstShown, 4.0);
  Record(5, 0.001f);
  EXPECT_EQ(Points(), 1u);
}

TEST_F(LiveChart, UnitSwitchDuringARunEmptiesTheChartAndGoesOnInDegreesPerSecond) {
  const auto expectUnit = [this](const QString& unit, const QString& other) {
    EXPECT_EQ(w->BtnDim->text(), other);
    EXPECT_EQ(w->ch_signal->text(), "Rate, " + unit);
    EXPECT_EQ(w->Chart1->yAxis->label(), "Rate, " + unit);
    EXPECT_EQ(w->ch_aver->text(), "Average, " + unit);
    EXPECT_EQ(w->lab_rms->text(), "RMS, " + unit);
    EXPECT_EQ(w->lab_minrms->text(), "Minimum RMS, " + unit);
  };
  Record(1, 0.5f);
  Record(2, 0.5f);
  ASSERT_EQ(Points(), 1u);
  w->BtnDim->click();
  EXPECT_EQ(Points(), 0u);
  expectUnit("°/sec", "°/h");
  Record(3, 0.5f);
  ASSERT_EQ(Points(), 1u);
  EXPECT_DOUBLE_EQ(SeriesPoint(w->Series1, 0).value, 0.5);
  EXPECT_EQ(w->lab_sig->text(), "0,5000000");
  // With a full window, the first point in the new unit stays on the chart.
  for (int t = 30; t <= 41; ++t) Record(static_cast<float>(t), 0.5f);
  w->BtnDim->click();
  Record(42, 0.5f);
  EXPECT_EQ(Points(), 1u);
  EXPECT_DOUBLE_EQ(SeriesPoint(w->Series1, 0).value, 1800.0);
  expectUnit("°/h", "°/sec");
}

TEST_F(LiveChart, ScalePanelSwapsStoresAndSetsTheAxis) {
  w->e_max->setText("10");
  w->e_min->setText("40");
  w->BtnApply->click();
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).RateMax, 40.0f);
  EXPECT_EQ(w->e_min->text(), "10,000000");
  EXPECT_EQ(w->Chart1->yAxis->range(), QCPRange(10, 40));
  w->e_max->clear();  // empty fields take the defaults; no number changes nothing
  w->e_min->clear();
  w->BtnApply->click();
  EXPECT_EQ(w->Chart1->yAxis->range(), QCPRange(-30, 30));
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->e_max->setText("1e400");
  w->BtnApply->click();
  EXPECT_EQ(Messages(), std::vector<QString>{"'1e400' is not a valid floating point value"});
  EXPECT_EQ(w->Chart1->yAxis->range(), QCPRange(-30, 30));
  // Temperature tab, no recording: stored, the right axis stays; a new
  // Sample value leaves the tab's limits in the edits.
  const QCPRange right = w->Chart1->yAxis2->range();
  w->TabCtrl->setCurrentIndex(1);
  w->change_samChange(3);
  EXPECT_EQ(w->e_max->text(), "60,000000");
  EXPECT_EQ(w->e_min->text(), "-40,000000");
  w->e_max->setText("70");
  w->BtnApply->click();
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).TempMax, 70.0f);
  EXPECT_EQ(w->Chart1->yAxis2->range(), right);
}

TEST_F(LiveChart, AveragingTimeEntry) {
  struct {
    const char* text;
    const char* shown;
    int stored;
  } const cases[] = {{"0", "50", 50}, {"501", "50", 50}, {"500", "500", 500},
                     {"", "50", 50},  {"-3", "50", 50},  {" 7", "7", 7}};
  for (const auto& c : cases) {
    w->e_mean->setText(c.text);
    w->BtnApMean->click();
    EXPECT_EQ(w->e_mean->text(), c.shown) << c.text;
    EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).MeanTime, c.stored) << c.text;
  }
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->e_mean->setText("abc");
  w->BtnApMean->click();
  EXPECT_EQ(Messages(), std::vector<QString>{"'abc' is not a valid integer value"});
  EXPECT_EQ(w->Settings.MeanTime, 7);
}

TEST(DisplaySteps, PointStepLabelStepAndPeriod) {
  EXPECT_EQ(ComputePointStep(10, 4000, 7), 1);     // Ceil(10 * 25 / 4000)
  EXPECT_EQ(ComputePointStep(7200, 2000, 7), 36);  // Ceil(7200 * 10 / 2000)
  EXPECT_EQ(ComputePointStep(7200, 4000, 7), 45);
  EXPECT_EQ(ComputePointStep(7200, 6000, 7), 60);
  EXPECT_EQ(ComputePointStep(7200, 5000, 7), 7);  // unknown resolution: kept
  EXPECT_EQ(ComputeLabelStep(6000, 20, 5), 10);
  EXPECT_EQ(ComputeLabelStep(4000, 125, 5), 3);
  EXPECT_EQ(ComputeLabelStep(6000, 10, 5), 0);
  EXPECT_EQ(ComputeLabelStep(5000, 20, 5), 5);
  const std::uint32_t periods[] = {1000, 200, 100, 50, 33, 25, 20, 16, 14, 12, 11, 10, 8};
  for (std::size_t i = 0; i < SampleValues.size(); ++i)
    EXPECT_EQ(TimerPeriodMs(SampleValues[i]), periods[i]);
}

class Auxiliary : public WindowTest {
 protected:
  void TearDown() override {
    const std::string pid = ReadText(dir.File("companion.pid"));
    if (!pid.empty()) ::kill(std::stoi(pid), SIGKILL);
    WindowTest::TearDown();
  }
};

// The companion gets the port index; a running copy is closed first; no
// path starts nothing.
TEST_F(Auxiliary, ARunningCopyIsClosedFirst) {
  w->ac_shellExecute();
  EXPECT_EQ(w->ShellPid, 0);
  const std::string pid = dir.File("companion.pid");
  std::ofstream(dir.File("companion")) << "#!/bin/sh\necho $$ > '" << pid << ".tmp'; mv '" << pid
                                       << ".tmp' '" << pid << "'\nprintf '%s' \"$1\" >> '"
                                       << dir.File("companion.arg") << "'\nexec sleep 30\n";
  ::chmod(dir.File("companion").c_str(), 0755);
  w->Settings.ShellPath = dir.File("companion");
  w->change_port->setCurrentIndex(2);  // COM3
  w->ac_shellExecute();  // the first copy takes its argument before it is closed
  ASSERT_TRUE(RunUntil([&] { return ReadText(dir.File("companion.arg")) == "2"; }));
  const std::int64_t first = w->ShellPid;
  w->change_port->setCurrentIndex(4);
  w->ac_shellExecute();
  ASSERT_TRUE(RunUntil([&] { return ReadText(dir.File("companion.arg")) == "24"; }));
  EXPECT_NE(w->ShellPid, first);  // the first got SIGTERM: gone, or a zombie not yet reaped
  const std::string stat = ReadText("/proc/" + std::to_string(first) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}

TEST_F(Auxiliary, ShellProgramStopsARunAlsoWithTheTimerOff) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
  w->XComm1.SetDeviceName(::ptsname(master));
  ASSERT_TRUE(w->XComm1.OpenDevice());
  w->SetIdleControls(false);  // a Trigger-mode run: the port is open, the timer off
  ASSERT_TRUE(w->RunActive());
  w->ac_shellExecute();  // no companion program set: only the stop
  EXPECT_FALSE(w->XComm1.GetOpened());
  EXPECT_TRUE(w->ac_start->isEnabled());
  EXPECT_FALSE(w->ac_stop->isEnabled());
  ::close(master);
}

TEST_F(Auxiliary, PrintsOneLandscapePageToPdf) {
  dialogs.PrinterAnswers = {true, false, true};
  dialogs.PrintToFile = Q(dir.File("missing/chart.pdf"));
  w->ac_printExecute();  // a printer that cannot start says so
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_TRUE(Messages()[0].contains(dialogs.PrintToFile));
  const std::string pdf = dir.File("chart.pdf");
  dialogs.PrintToFile = Q(pdf);
  w->ac_printExecute();  // cancelled: nothing printed
  EXPECT_TRUE(ReadBytes(pdf).empty());
  ASSERT_TRUE(w->Printer);
  w->Printer->setPageOrientation(QPageLayout::Portrait);
  w->ac_printExecute();
  const std::string text = ReadText(pdf);
  ASSERT_EQ(text.rfind("%PDF", 0), 0u);
  EXPECT_NE(text.find("/Count 1"), std::string::npos);
  double x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // A4 landscape: wider than high
  const std::size_t box = std::min(text.find("/MediaBox"), text.size());
  ASSERT_EQ(std::sscanf(text.c_str() + box, "/MediaBox [%lf %lf %lf %lf]", &x0, &y0, &x1, &y1), 4);
  EXPECT_GT(x1 - x0, y1 - y0);
}

}  // namespace
