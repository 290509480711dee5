// Recordings on the chart (opening, file information, odd records, files that
// show nothing, the load beside the window's events, units, averaging time,
// zoom statistics), Calculation, Allan deviation, Export, Save to server.
#include <sys/stat.h>

#include <unistd.h>

#include <cmath>
#include <random>

#include "AppTest.h"
#include "processing/NumberFormat.h"
#include "ui/NumberText.h"

namespace {

const float nan = std::nanf("");

// A left click, sent through the application's event filters as input is.
void Click(QWidget* widget) {
  const QPointF at = widget->rect().center();
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent event(type, at, widget->mapToGlobal(at), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
  }
}

double Number(const QString& text) {
  double value = std::nan("");
  EXPECT_TRUE(ReadDouble(text, value)) << text.toStdString();
  return value;
}

bool Busy(QDialog* dialog) {
  if (auto* calc = qobject_cast<TCalculFrm*>(dialog)) return calc->Busy();
  if (auto* allan = qobject_cast<TAllanFrm*>(dialog)) return allan->Busy();
  return false;
}

// Waits for the calculation of an analysis window.
void Computed(QDialog* dialog) {
  EXPECT_TRUE(RunUntil([dialog] { return !Busy(dialog); }));
}

// Runs `action`, which opens `dialog` modally; `body` runs once the dialog
// has done its first calculation (or at once, with `computed` false), then
// the dialog is accepted.
void WhileOpen(QDialog* dialog, const std::function<void()>& action,
               const std::function<void()>& body, bool computed = true) {
  bool ran = false;
  QTimer::singleShot(0, dialog, [&] {
    QCoreApplication::sendPostedEvents(dialog, QEvent::MetaCall);  // FormShow
    if (computed) Computed(dialog);
    body();
    ran = true;
    dialog->accept();
  });
  action();
  EXPECT_TRUE(ran);
}

using Recordings = WindowTest;

TEST_F(Recordings, OpeningChartsTheWholeRecording) {
  // Info file and Save to server stay hidden; a hidden action reads as
  // disabled, so they are shown here to see what a load does to them.
  w->ac_file_info->setVisible(true);
  w->ac_saveserver->setVisible(true);
  const Records old = Ramp(1, 5, 1, [](int) { return 0.001f; });
  ASSERT_TRUE(Open(old, "old.rtd", 99.9f, false));  // the older layout: no information
  EXPECT_EQ(w->OpenFile.Sample, 99);
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-000.000-00000");
  EXPECT_TRUE(w->ac_calc->isEnabled());
  EXPECT_FALSE(w->ac_file_info->isEnabled() || w->ac_saveserver->isEnabled());
  Bytes b = RecordingHeader(99.9f, "VRDT40-123.456-00042", 46361.4375, "lab-pc", "engineer");
  for (int i = 1; i <= 50; ++i) AddRecord(b, i * 0.1f, 0.001f * i, 20.0f + i * 0.2f);
  WriteBytes(dir.File("rec.rtd"), b);
  ASSERT_TRUE(OpenFile("rec.rtd"));
  const QString path = Q(dir.File("rec.rtd"));
  for (const QCPGraph* s : {w->Series1, w->Series2, w->Series3}) EXPECT_EQ(SeriesSize(s), 50);
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series1)[9]), 0.010f * 3600.0f);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + path);
  // Every analysis again after the second recording.
  for (QAction* a : {w->ac_calc, w->ac_print, w->ac_export, w->ac_saveserver, w->ac_file_info,
                     w->ac_allan, w->ac_thermal, w->ac_report})
    EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-123.456-00042");
  // The statistics of the whole recording in the panels.
  EXPECT_EQ(w->AverRmsStatic.Begin, static_cast<double>(0.1f) - 1.0);
  EXPECT_EQ(w->AverRmsStatic.End, static_cast<double>(50 * 0.1f) + 1.0);
  EXPECT_EQ(w->lab_aver->text(), "91,80000");  // mean of 1..50 x 3.6
  EXPECT_EQ(w->lab_temp->text(), "25,1");
  TInfoFileFrm* info = forms->InfoFileFrm.get();
  bool shown = false;
  QTimer::singleShot(0, info, [&] {
    shown = info->isVisible();
    info->BtnOk->click();
  });
  w->ac_file_infoExecute();
  EXPECT_TRUE(shown);
  EXPECT_EQ(info->LabIDN->text(), "VRDT40-123.456-00042");
  EXPECT_EQ(info->LabSample->text(), "99");
  EXPECT_EQ(info->LabTime->text(), "05.12.2026 10:30");
  EXPECT_EQ(info->LabUser->text(), "engineer");
  EXPECT_EQ(info->LabComp->text(), "lab-pc");
}

// Implausible temperatures are charted at the last plausible one, a NaN
// record is in no series, times out of order are charted in order with
// their own temperature.
TEST_F(Recordings, OddRecordsOnTheChart) {
  struct {
    Records records;
    std::vector<double> keys, temperatures;
  } const cases[] = {
      {{{1, 0, 120}, {2, 0, 25}, {3, 0, 150}, {4, 0, -60}, {5, 0, 99.5f}, {6, 0, 100}},
       {1, 2, 3, 4, 5, 6}, {0, 25, 25, 25, 99.5, 99.5}},
      {{{3, 0.003f, 23}, {1, 0.001f, 21}, {2, 0.002f, 22}, {2, 0.0025f, 22.5f}},
       {1, 2, 2, 3}, {21, 22, 22.5, 23}},
      {{{1, 0.001f, 20}, {2, nan, 20}, {3, 0.003f, 21}}, {1, 3}, {20, 21}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys.size());
    ASSERT_TRUE(Open(c.records));
    for (const QCPGraph* s : {w->Series1, w->Series2, w->Series3}) EXPECT_EQ(Values(s, true), c.keys);
    EXPECT_EQ(Values(w->Series3), c.temperatures);
  }
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[1]), 0.002f * 3600);
}

// Whatever the panels and axes show belongs to the file in the caption:
// a file that shows nothing, opened from the menu or the command line,
// leaves nothing of the last one.
TEST_F(Recordings, AFileThatShowsNothingLeavesNothingOfTheLastOne) {
  const Records good = Ramp(1, 100, 1, [](int i) { return 0.001f * i; });
  const auto nanSample = [&](const std::string& path) { WriteRecording(path, good, nan); };
  struct {
    const char* name;
    std::function<void(const std::string&)> make;
    bool loads, commandLine;
  } const cases[] = {
      {"empty.rtd", [](const std::string& path) { WriteRecording(path, {}); }, true, false},
      {"zero-bytes.rtd", [](const std::string& path) { WriteBytes(path, {}); }, true, false},
      {"nan-sample.rtd", nanSample, false, false},
      {"nan-sample.rtd", nanSample, false, true},
      {"folder.rtd", [](const std::string& path) { ::mkdir(path.c_str(), 0755); }, false, false},
  };
  WriteRecording(dir.File("good.rtd"), good);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.commandLine ? " (command line)" : ""));
    w->OpenRecording(Q(dir.File("good.rtd")));
    Settle();
    ASSERT_EQ(w->windowTitle(), "Ratelog - " + Q(dir.File("good.rtd")));
    ASSERT_NE(w->lab_aver->text(), "0,00000");
    const std::string path = dir.File(c.name);
    c.make(path);
    dialogs.Calls.clear();
    dialogs.Answers.push_back(TMsgResult::Ok);
    if (c.commandLine) {
      w->OpenRecording(Q(path));
      Settle();
    } else {
      OpenFile(c.name);
    }
    EXPECT_EQ(w->OpenFile.Loaded, c.loads);
    EXPECT_EQ(w->windowTitle(), "Ratelog - " + (c.loads ? Q(path) : QString("Untitled")));
    EXPECT_EQ(Messages(), c.loads ? std::vector<QString>{} : std::vector<QString>{"Not open file."});
    EXPECT_EQ(w->lab_aver->text(), "0,00000");
    EXPECT_EQ(w->l_rms->text(), "0,00000");
    EXPECT_EQ(w->lab_temp->text(), "0,0");
    EXPECT_LT(w->Chart1->xAxis->range().upper, 50) << "not the last recording's time axis";
    EXPECT_EQ(w->ac_print->isEnabled(), c.loads);
    EXPECT_TRUE(c.loads || !(w->ac_calc->isEnabled() || w->ac_export->isEnabled()));
    EXPECT_TRUE(c.loads || !w->Chart->TitleVisible());
  }
  // Chosen, then gone before it was read, or cancelled: nothing is said.
  dialogs.Calls.clear();
  EXPECT_FALSE(OpenFile("gone.rtd"));
  dialogs.Names.push_back(QString());
  w->ac_openExecute();
  EXPECT_TRUE(Messages().empty());
}

// A new averaging time rereads the recording; the unit switch recharts it
// from the points as read.
TEST_F(Recordings, UnitSwitchRechartsTheRecordingWithoutReadingIt) {
  ASSERT_TRUE(Open(Ramp(1, 10, 1, [](int i) { return 0.001f * i; }), "rec.rtd", 1));
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 5.5f * 3.6f);
  w->e_mean->setText("2");
  w->BtnApMean->click();
  ASSERT_TRUE(w->Busy());
  ASSERT_EQ(SeriesSize(w->Series2), 10) << "the old chart stays while the recording is read again";
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 5.5f * 3.6f);
  Settle();
  EXPECT_EQ(SeriesSize(w->Series2), 10);
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 9.5f * 3.6f);
  EXPECT_TRUE(w->ac_allan->isEnabled() && w->ac_thermal->isEnabled() && w->ac_report->isEnabled());
  ::unlink(dir.File("rec.rtd").c_str());
  w->Chart->SetRange(TRateChart::Right, 0, 1);
  w->BtnDim->click();
  EXPECT_TRUE(w->OpenFile.UnitsPerSecond);
  EXPECT_EQ(SeriesSize(w->Series1), 10);
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series1)[0]), 0.001f);
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 0.0095f);
  EXPECT_NEAR(Number(w->lab_aver->text()), 0.0055, 1e-7);
  EXPECT_EQ(w->Chart1->yAxis2->range(), QCPRange(-40, 60));
  w->BtnDim->click();
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 9.5f * 3.6f);
  EXPECT_EQ(w->lab_aver->text(), "19,80000");
}

// The reading runs beside the window's event loop: the window takes its
// events, but what would conflict with the load is off until it ends (a
// click or F5 meanwhile is refused, never done later); closing the window
// ends the load at once, without an error message.
TEST_F(Recordings, DuringALoadNothingConflictingStartsAndClosingEndsIt) {
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  Records r = Ramp(1, 400000, 0.008f, [](int) { return 0.5f; });
  WriteRecording(dir.File("rec.rtd"), r);
  w->OpenRecording(Q(dir.File("rec.rtd")));
  ASSERT_TRUE(w->Busy());
  for (QAction* a : {w->ac_open, w->ac_start, w->ac_calc, w->ac_allan, w->ac_export, w->ac_print})
    EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
  for (QWidget* c : {static_cast<QWidget*>(w->BtnDim), static_cast<QWidget*>(w->e_mean),
                     static_cast<QWidget*>(w->BtnApMean)})
    EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
  EXPECT_TRUE(w->ac_option->isEnabled() && w->ac_exit->isEnabled());
  QTest::keyClick(w, Qt::Key_F5);
  Click(w->BtnDim);
  w->BtnApMeanClick();  // however it is reached
  ASSERT_TRUE(Settle());
  EXPECT_EQ(SeriesSize(w->Series1), 400000);
  EXPECT_FALSE(w->RateUnitPerSec) << "the click during the load was refused";
  EXPECT_EQ(dialogs.CountOf(TKind::SaveFile), 0) << "F5 during the load started no run";
  EXPECT_FALSE(w->RunActive());
  for (QAction* a : {w->ac_open, w->ac_start, w->ac_calc, w->ac_allan, w->ac_export, w->ac_print})
    EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  Click(w->BtnDim);
  EXPECT_TRUE(w->RateUnitPerSec) << "input works again";
  r.resize(2000000, {1.0f, 0.5f, 25});
  WriteRecording(dir.File("long.rtd"), r);
  w->OpenRecording(Q(dir.File("long.rtd")));
  ASSERT_TRUE(w->Busy());
  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->isVisible()) << "the window closes at once";
  ASSERT_TRUE(Settle());
  EXPECT_FALSE(w->OpenFile.Loaded);
  EXPECT_TRUE(Messages().empty()) << "no error message";
}

// A settings file that cannot be saved (a full disk here) and a new
// averaging time for the recording on the chart: the box that says so
// comes while the recording is read again, takes the Return key, and the
// recording is charted with the new averaging time afterwards.
TEST_F(Recordings, AMessageDuringALoadIsAnswered) {
  forms.reset();
  ASSERT_EQ(::symlink("/dev/full", dir.File("full.ini").c_str()), 0);
  Show(dir.File("full.ini"));
  QCoreApplication::processEvents();
  ASSERT_TRUE(Open(Ramp(1, 200000, 0.01f, [](int i) { return 0.001f * (i % 7); })));
  ASSERT_TRUE(Messages().empty());
  TBoxesByKeyboard boxes(dialogs);
  bool loadingWhenShown = false;
  boxes.OnShown = [&] { loadingWhenShown = w->Busy(); };
  w->e_mean->selectAll();
  QTest::keyClicks(w->e_mean, "20");
  QTest::mouseClick(w->BtnApMean, Qt::LeftButton);
  ASSERT_TRUE(RunUntil([&] { return boxes.Answered == 1 && !w->Busy(); }));
  EXPECT_FALSE(boxes.Stuck) << "the box took no key";
  ASSERT_EQ(boxes.Shown.size(), 1u);
  EXPECT_TRUE(boxes.Shown[0].startsWith("The settings cannot be saved to " + Q(dir.File("full.ini"))));
  EXPECT_TRUE(loadingWhenShown);
  EXPECT_EQ(w->Settings.MeanTime, 20);
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_EQ(Points(), 200000u);
  EXPECT_EQ(w->OpenFile.MeanTime, 20);
}

// A new settings file charts no series: the empty chart says so, and its
// one button shows rate and average, for this and every later recording.
// Open starts in the folder of the recording shown last, also one named on
// the command line and after the program starts again.
TEST_F(Recordings, SwitchedOffSeriesAndTheLastFolderPastTheFirstRecording) {
  ASSERT_FALSE(w->Settings.ShowSignal || w->Settings.ShowAver);
  ::mkdir(dir.File("day2").c_str(), 0755);
  WriteRecording(dir.File("day2/a.rtd"), Ramp(1, 20, 0.1f, [](int) { return 0.001f; }));
  w->OpenRecording(Q(dir.File("day2/a.rtd")));
  ASSERT_TRUE(Settle() && w->OpenFile.Loaded);
  EXPECT_TRUE(w->BtnShowSeries->isVisible());
  EXPECT_TRUE(w->Chart1->rect().contains(w->BtnShowSeries->geometry()));
  w->BtnShowSeries->click();
  EXPECT_TRUE(w->Series1->visible() && w->Series2->visible() && w->ch_signal->isChecked());
  EXPECT_FALSE(w->BtnShowSeries->isVisible());
  dialogs.Names.push_back(QString());  // Open cancelled: only the folder is looked at
  w->ac_openExecute();
  EXPECT_EQ(dialogs.Calls.back().Request.Folder, Q(dir.File("day2")));
  ASSERT_TRUE(Open(Ramp(1, 20, 0.1f, [](int) { return 0.002f; }), "b.rtd"));
  EXPECT_FALSE(w->BtnShowSeries->isVisible());
  Show(dir.File("Ratelog.ini"));
  dialogs.Names.push_back(QString());
  w->ac_openExecute();
  EXPECT_EQ(dialogs.Calls.back().Request.Folder, Q(dir.Path()));
}

TEST_F(Recordings, ZoomStatisticsNeedThreePoints) {
  ASSERT_TRUE(Open({{1, 0.001f, 20}, {2, 0.002f, 20}}));
  EXPECT_EQ(w->lab_aver->text(), "0,00000") << "two points: the panels stay";
  w->lab_aver->setText("x");
  w->Chart1->xAxis->setRange(0, 10);
  w->Chart1Zoom();
  w->Chart1UndoZoom();
  EXPECT_EQ(w->lab_aver->text(), "x");
  ASSERT_TRUE(Open({{10, 0.001f, 20}, {10.5f, 0.002f, 21}, {11, 0.006f, 22}}));
  EXPECT_EQ(w->lab_aver->text(), "10,80000");
  EXPECT_EQ(w->l_rms->text(), FixedText(std::sqrt((7.2 * 7.2 + 3.6 * 3.6 + 10.8 * 10.8) / 3), 14, 5));
  EXPECT_EQ(w->lab_temp->text(), "21,0");
  // A span holding fewer than three of them shows zeros.
  w->Chart1->xAxis->setRange(10.2, 11.5);
  w->Chart1Zoom();
  EXPECT_EQ(w->lab_aver->text(), "0,00000");
  EXPECT_EQ(w->lab_temp->text(), "0,0");
}

class Analysis : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    calc = forms->CalculFrm.get();
    allan = forms->AllanFrm.get();
  }
  // 10 Hz records from 0.1 s to `seconds`, rate(t) in deg/s.
  bool Open(int seconds, const std::function<float(float)>& rate, bool header = true) {
    return WindowTest::Open(Ramp(1, seconds * 10, 0.1f, [&](int i) { return rate(i * 0.1f); }),
                            "rec.rtd", 10, header);
  }
  QStringList Values() const {
    QStringList v;
    for (int row = 0; row < 4; ++row) v << calc->ListView2->item(row, 1)->text();
    return v;
  }
  void Apply(const QString& begin, const QString& end) {
    calc->e_beg_time->setText(begin);
    calc->e_end_time->setText(end);
    calc->but_apply->click();
    Computed(calc);
  }
  TCalculFrm* calc = nullptr;
  TAllanFrm* allan = nullptr;
};

// 250 s at a constant 0.001 deg/s = 3.6 deg/h: too short for the drift
// error (3 x 100 s), long enough for the random walk (10 x 10 s). The older
// layout read after a 760-byte header would give other numbers (and vice
// versa); no record between 260 s and 270 s gives NAN in every row.
TEST_F(Analysis, CalculationOverTheVisibleSpanWithDefaults) {
  ASSERT_TRUE(Open(250, [](float) { return 0.001f; }, false));
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    EXPECT_EQ(Values(), QStringList({"3,60000", "NAN", "0,00000", "-8,18000"}));
    Apply("260", "270");
    EXPECT_EQ(Values(), QStringList({"NAN", "NAN", "NAN", "NAN"}));
  });
  ASSERT_TRUE(Open(250, [](float) { return 0.001f; }));
  w->ch_signal->setChecked(false);  // no series shown: the rate is switched on first
  w->ch_signalClick();
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    EXPECT_TRUE(w->Series1->visible());
    EXPECT_EQ(calc->Begin, static_cast<double>(0.1f));
    EXPECT_EQ(calc->e_end_time->text(), "250,00000");
    EXPECT_EQ(calc->lab_U->text(), "11,780000");
    // 3.6 - 11.78 = -8.18.
    EXPECT_EQ(Values(), QStringList({"3,60000", "NAN", "0,00000", "-8,18000"}));
  });
  EXPECT_EQ(calc->Quant.MemoryBytes(), 0u) << "closing freed what the span held";
  w->Chart1->xAxis->setRange(100, 200);  // the chart's zoom is the span
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    EXPECT_EQ(calc->e_beg_time->text(), "100,00000");
    EXPECT_EQ(calc->Quant.Records(), 1001);
    Apply("0,7", "1,2");  // takes the records stored as 0.69999999 and 1.20000005
    EXPECT_EQ(calc->Quant.Records(), 6);
  });
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// 400 s alternating between 0 and 0.002 deg/s every 100 s: the sigma
// choice triples only the drift row, without reading the file again. Apply
// resets, swaps and clamps the span; a text that is no number names the
// field and leaves span and table.
TEST_F(Analysis, ApplyResetsSwapsAndClampsTheSpan) {
  ASSERT_TRUE(Open(400, [](float t) {
    return static_cast<int>(std::floor((t - 0.05f) / 100)) % 2 ? 0.002f : 0.0f;
  }));
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    const QStringList one = Values();
    ASSERT_NE(one[1], "NAN");
    ::rename(dir.File("rec.rtd").c_str(), dir.File("away.rtd").c_str());
    calc->RadioButton2->click();
    const QStringList three = Values();
    for (int row : {0, 2, 3}) EXPECT_EQ(three[row], one[row]);
    EXPECT_NEAR(Number(three[1]), 3 * Number(one[1]), 1e-4);
    calc->RadioButton1->click();
    EXPECT_EQ(Values(), one);
    ::rename(dir.File("away.rtd").c_str(), dir.File("rec.rtd").c_str());
    struct {
      QString begin, end;
      double wantBegin, wantEnd;
      const char* shownBegin;
    } const cases[] = {
        {"50", "300", 50, 300, "50,00000"},
        {"-5", "", 50, 300, "50,00000"},            // both keep the previous values
        {"350", "150,5", 150.5, 350, "150,50000"},  // exchanged
        {"0", "1000", 0.1f, 400, "0,10000"},        // clamped to the first and last record
    };
    for (const auto& c : cases) {
      Apply(c.begin, c.end);
      EXPECT_DOUBLE_EQ(calc->Begin, c.wantBegin) << c.begin.toStdString();
      EXPECT_DOUBLE_EQ(calc->End, c.wantEnd) << c.end.toStdString();
      EXPECT_EQ(calc->e_beg_time->text(), c.shownBegin);
      EXPECT_FALSE(calc->but_apply->isEnabled());
      EXPECT_DOUBLE_EQ(calc->Quant.Begin, c.wantBegin);
    }
    const QStringList before = Values();
    Apply("12x", "300");
    EXPECT_EQ(Messages(),
              std::vector<QString>{"Begin time, second: '12x' is not a valid floating point value"});
    EXPECT_DOUBLE_EQ(calc->Begin, static_cast<double>(0.1f));
    EXPECT_EQ(Values(), before);
    EXPECT_TRUE(calc->but_apply->isEnabled());
  });
  EXPECT_EQ(calc->SigmaFactor, 1);
}

TEST_F(Analysis, AllanWindowPlotsReadsOffAndSaves) {
  EXPECT_FALSE(w->ac_allan->isEnabled());
  // White noise of 0.01 deg/s = 36 deg/h at 10 Hz:
  // N = 36 x sqrt(0.1) / 60 = 0.18974 deg/sqrt(h).
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  ASSERT_TRUE(Open(2000, [&](float) { return noise(rng); }));
  EXPECT_TRUE(w->ac_allan->isEnabled()) << "follows Calculation";
  dialogs.Names = {Q(dir.File("allan.txt"))};
  WhileOpen(allan, [&] { w->ac_allanExecute(); }, [&] {
    ASSERT_EQ(allan->Result.Points.size(), 14u);  // m = 1 .. 8192 (2 x 16384 > 20000)
    EXPECT_EQ(allan->PlotAllan->graph(0)->data()->size(), 14);
    EXPECT_NEAR(Number(allan->lab_N->text().section(QLatin1Char(' '), 0, 0)), 0.18974, 0.18974 * 0.05);
    EXPECT_TRUE(allan->lab_N->text().endsWith(QStringLiteral(" s)"))) << allan->lab_N->text().toStdString();
    EXPECT_EQ(allan->lab_span->text(), "20000 records, \u03C40 = 0,1 s, confidence 68,3 %");
    EXPECT_EQ(allan->lab_gaps->text(), "No gaps");
    // No flicker in white noise: B is bounded by the lowest point / 0.664.
    double lowest = INFINITY;
    for (const TAllanPoint& p : allan->Result.Points) lowest = std::min(lowest, p.Adev);
    EXPECT_TRUE(allan->lab_B->text().startsWith(QStringLiteral("\u2014   bound: B \u2264 "))) << allan->lab_B->text().toStdString();
    EXPECT_NEAR(Number(allan->lab_B->text().section(QLatin1Char(' '), 6, 6)), lowest / 0.664282, lowest * 0.01);
    auto* bars = allan->PlotAllan->findChild<QCPErrorBars*>(QStringLiteral("ErrorBars"));
    ASSERT_TRUE(bars != nullptr);
    EXPECT_EQ(bars->dataCount(), 14);
    allan->BtnSaveTable->click();
    // Another kind and grid: computed again on the same span.
    allan->cb_kind->setCurrentIndex(2);
    allan->cb_taus->setCurrentIndex(1);
    ASSERT_TRUE(RunUntil([&] { return allan->Result.Points.size() == 4u; }));  // hdev, m = 1, 10, 100, 1000
    EXPECT_EQ(allan->Result.Kind, TAllanKind::Hdev);
    allan->cb_kind->setCurrentIndex(0);
    allan->cb_taus->setCurrentIndex(0);
    const auto span = [&](const char* begin, const char* end) {
      allan->e_beg_time->setText(begin);
      allan->e_end_time->setText(end);
      allan->but_apply->click();
      Computed(allan);
    };
    span("0,7", "1,2");  // takes the records stored as 0.69999999 and 1.20000005
    EXPECT_TRUE(allan->lab_span->text().startsWith("6 records, ")) << allan->lab_span->text().toStdString();
    // Too few records: nothing to plot, dashes, nothing to save.
    span("1999,85", "2000");
    EXPECT_TRUE(allan->Result.Points.empty());
    EXPECT_EQ(allan->lab_N->text(), "\u2014");
    EXPECT_EQ(allan->lab_span->text(), "Fewer than 3 records in the span");
    EXPECT_FALSE(allan->BtnSaveTable->isEnabled());
  });
  const std::string table = ReadText(dir.File("allan.txt"));
  EXPECT_EQ(table.substr(0, 92), "# kind oadev, confidence 0.683, gaps 0\n"
                                 "# tau, s\tsigma, \xB0/h\tterms\tedf\tlow, \xB0/h\thigh, \xB0/h\n0.1\t");
  EXPECT_NE(table.find("\n# term\tvalue\tunit\ttau from, s\ttau to, s\ttau of the minimum, s\nQ\t"),
            std::string::npos);
  EXPECT_NE(table.find("\t19999\t1333"), std::string::npos);  // terms at m = 1: n - 1; edf 2/3 of them
  EXPECT_NE(table.find("\t\xB0/h\t"), std::string::npos);  // single-byte degree sign
  w->ac_calc->setEnabled(false);
  EXPECT_FALSE(w->ac_allan->isEnabled());
}

// Cursors by click, keyboard and menu on a 10 s ramp of 0.001 deg/s per
// record (3.6 deg/h each): the read-out at each and between them, their
// span handed to the analyses; a marker at cursor A kept beside the
// recording and shown again when the recording is opened again.
TEST_F(Analysis, CursorsReadOutSpanAndMarkers) {
  ASSERT_TRUE(Open(10, [](float t) { return 0.01f * t; }));
  w->PlaceCursor(0, 2.04);
  w->PlaceCursor(1, 4.96);
  EXPECT_EQ(w->CursorA, static_cast<double>(20 * 0.1f));
  EXPECT_EQ(w->CursorB, static_cast<double>(50 * 0.1f));
  const TCursorReadOut& r = w->LastReadOut;
  EXPECT_FLOAT_EQ(r.A.Rate, 72);
  EXPECT_FLOAT_EQ(r.B.Average, 25.5f * 3.6f) << "records 1 .. 50: the 50 s window is not full yet";
  EXPECT_FLOAT_EQ(r.A.Temperature, 25);
  EXPECT_FLOAT_EQ(r.DRate, 108);
  // Records 20 .. 50: 31 rates 3.6 deg/h apart, mean 126, RMS 3.6 sqrt((31^2 - 1) / 12).
  EXPECT_NEAR(r.Mean, 126, 1e-4);
  EXPECT_NEAR(r.Rms, 3.6 * std::sqrt(80.0), 1e-4);
  EXPECT_TRUE(w->CursorInfo->isVisible() && w->CursorInfo->text().contains(QStringLiteral("RMS 32,1994")))
      << w->CursorInfo->text().toStdString();
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    EXPECT_EQ(calc->Begin, w->CursorA);
    EXPECT_EQ(calc->End, w->CursorB);
  });
  QTest::keyClick(w->Chart1, Qt::Key_Right);  // B, placed last, to the next record
  EXPECT_EQ(w->CursorB, static_cast<double>(51 * 0.1f));
  const QPoint at(static_cast<int>(w->Chart1->xAxis->coordToPixel(7.0)), w->Chart1->axisRect()->center().y());
  QTest::mouseClick(w->Chart1, Qt::LeftButton, Qt::NoModifier, at);
  EXPECT_NEAR(w->CursorA, 7.0, 0.1);
  EXPECT_FALSE(w->Chart->Zoomed());
  dialogs.Names.push_back(QStringLiteral("door	opened"));
  w->ac_markerExecute();
  EXPECT_EQ(ReadText(dir.File("rec.markers.txt")),
            "# Ratelog markers\n" + FormatGeneral(w->CursorA, '.', 10) + "\tdoor opened\n");
  QTest::keyClick(w->Chart1, Qt::Key_Escape);
  EXPECT_TRUE(std::isnan(w->CursorA) && std::isnan(w->CursorB) && !w->CursorInfo->isVisible());
  ASSERT_TRUE(WindowTest::Open(Ramp(1, 5, 1, [](int) { return 0.0f; }), "other.rtd"));
  EXPECT_TRUE(w->Markers.empty());
  ASSERT_TRUE(OpenFile("rec.rtd"));
  ASSERT_EQ(w->Markers.size(), 1u);
  EXPECT_EQ(w->Markers[0].Note, "door opened");
}

// What the analysis windows show always belongs to the recording on the
// chart: a new reading starts from an empty table or plot, a failed one
// leaves it empty with the message, and a recording that goes away while a
// window is open empties it.
TEST_F(Analysis, NothingOfAnotherRecordingIsShown) {
  const auto cleared = [this](QDialog* window) {
    if (window == calc) return Values() == QStringList({"", "", "", ""});
    return allan->PlotAllan->graph(0)->data()->isEmpty() && allan->ListAllan->rowCount() == 0 &&
           allan->lab_N->text() == "\u2014" && allan->lab_B->text() == "\u2014";
  };
  const auto apply = [](QLineEdit* begin, QLineEdit* end, QPushButton* button, const char* from, const char* to) {
    begin->setText(from);  // without waiting for the reading
    end->setText(to);
    button->click();
  };
  const auto gone = [this] { ::unlink(dir.File("rec.rtd").c_str()); };
  const auto another = [this] {
    WriteRecording(dir.File("other.rtd"), Ramp(1, 100, 0.1f, [](int) { return 0.5f; }));
    w->OpenRecording(Q(dir.File("other.rtd")));
  };
  struct {
    const char* name;
    QDialog* window;
    std::function<void()> change;  // while the window is open with results
    bool reading, message;
  } const cases[] = {
      {"a new span is read", calc, [&] { apply(calc->e_beg_time, calc->e_end_time, calc->but_apply, "10", "200"); },
       true, false},
      {"the file is gone", calc, [&] {
         gone();
         apply(calc->e_beg_time, calc->e_end_time, calc->but_apply, "10", "200");
       }, true, true},
      {"a folder in its place", calc, [&] {
         gone();
         ::mkdir(dir.File("rec.rtd").c_str(), 0755);
         apply(calc->e_beg_time, calc->e_end_time, calc->but_apply, "10", "200");
       }, true, true},
      {"another recording opened", calc, another, false, false},
      {"Stop with nothing recorded", calc, [&] { w->ac_stopExecute(); }, false, false},
      {"Allan: a new span is read", allan,
       [&] { apply(allan->e_beg_time, allan->e_end_time, allan->but_apply, "100", "2000"); }, true, false},
      {"Allan: the file is gone", allan, [&] {
         gone();
         apply(allan->e_beg_time, allan->e_end_time, allan->but_apply, "0", "1500");
       }, true, true},
      {"Allan: another recording opened", allan, another, false, false},
  };
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::rmdir(dir.File("rec.rtd").c_str());
    ASSERT_TRUE(c.window == calc ? Open(300, [](float t) { return 0.001f * t; })
                                 : Open(2000, [&](float) { return noise(rng); }));
    dialogs.Calls.clear();
    dialogs.Answers = {TMsgResult::Ok, TMsgResult::Ok};
    const auto execute = [&] { c.window == calc ? w->ac_calcExecute() : w->ac_allanExecute(); };
    // From the first moment the window shows nothing of the last opening.
    WhileOpen(c.window, execute, [&] {
      EXPECT_TRUE(Busy(c.window));
      EXPECT_TRUE(cleared(c.window)) << "reading";
      Computed(c.window);
      ASSERT_FALSE(cleared(c.window));
      c.change();
      EXPECT_TRUE(cleared(c.window)) << "at once";
      Computed(c.window);
      Settle();
      EXPECT_EQ(cleared(c.window), c.message || !c.reading);
      EXPECT_EQ(Messages().size(), c.message ? 1u : 0u);
      if (c.message) {
        EXPECT_TRUE(Messages()[0].startsWith("Cannot read the recording "));
      }
    }, false);
  }
}

class ExportAndArchive : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    e = forms->ExportFrm.get();
  }
  // Records at 0.1 s steps from 0.1 s; rate -0.0123; temperature 25.
  bool Open(int records, bool header = true, const std::string& name = "run1.rtd") {
    return WindowTest::Open(Ramp(1, records, 0.1f, [](int) { return -0.0123f; }), name, 10, header);
  }
  // Opens the dialog through the action; `inside` runs while it is shown,
  // then the dialog is closed with its button.
  void Export(const std::function<void()>& inside) {
    bool shown = false;
    QTimer::singleShot(0, e, [&] {
      shown = e->isVisible();
      inside();
      Written();
      e->but_exit->click();
    });
    w->ac_exportExecute();
    EXPECT_TRUE(shown);
  }
  // Waits until the export file is written.
  void Written() const { EXPECT_TRUE(RunUntil([this] { return !e->Running(); })); }
  static std::size_t Lines(const std::string& path) {
    const std::string t = ReadText(path);
    return static_cast<std::size_t>(std::count(t.begin(), t.end(), '\n'));
  }
  static QString Fixed(double v) { return FixedText(v, 8, 3); }
  TExportFrm* e = nullptr;
};

// A cancelled name writes beside the recording; empty or negative bounds
// take the chart's window, reversed ones are swapped, and the choices stay
// between openings while the window comes from the chart again.
TEST_F(ExportAndArchive, BoundsFallBackSwapAndStayBetweenOpenings) {
  QTimer::singleShot(0, e, [this] {
    EXPECT_FALSE(e->isVisible()) << "nothing loaded: nothing opens";
    e->reject();
  });
  w->ac_exportExecute();
  ASSERT_TRUE(Open(2000));
  w->ch_signal->setChecked(false);
  w->ch_signalClick();
  w->Chart->SetRange(TRateChart::Bottom, 10.0, 20.0);
  const std::string chosen = dir.File("data.txt");
  dialogs.Names = {QString(), Q(chosen), Q(chosen)};
  dialogs.Answers = {TMsgResult::Ok, TMsgResult::Ok, TMsgResult::Ok, TMsgResult::Ok};
  Export([&] {
    EXPECT_EQ(e->e_time_b->text(), Fixed(10.0));
    EXPECT_EQ(e->e_time_e->text(), Fixed(20.0));
    e->ch_sig->setChecked(true);
    e->but_start->click();
  });
  EXPECT_TRUE(w->Series1->visible()) << "no series shown: the rate is switched on";
  const std::string text = ReadText(dir.File("run1.txt"));
  EXPECT_EQ(Lines(dir.File("run1.txt")), 7u + 101u);
  EXPECT_EQ(text.rfind("Source file: " + dir.File("run1.rtd") + "\n", 0), 0u);
  EXPECT_NE(text.find("Sample: 10 \xC3\xF6\nSource file create: 05.12.2026 10:30 \n"), std::string::npos);
  EXPECT_NE(text.find("\n10.0000        ;-0.0123000          ;\n"), std::string::npos);
  EXPECT_EQ(dialogs.Calls.back().Icon, TMsgIcon::Information);
  EXPECT_EQ(dialogs.Calls[dialogs.Calls.size() - 2].Request.Caption, QStringLiteral("Сохранить как.."));

  w->Chart->SetRange(TRateChart::Bottom, 1.0, 150.0);
  Export([&] {
    e->ch_sig->setChecked(false);
    e->ch_temp->setChecked(true);
    e->ch_excel->setChecked(true);
    struct {
      QString begin, end;
      double shownBegin, shownEnd;
      std::size_t lines;
    } const cases[] = {{"", "-5", 1, 150, 7 + 1491}, {Fixed(100), Fixed(50), 50, 100, 7 + 501}};
    for (const auto& c : cases) {
      e->e_time_b->setText(c.begin);
      e->e_time_e->setText(c.end);
      e->but_start->click();
      Written();
      EXPECT_EQ(e->e_time_b->text(), Fixed(c.shownBegin));
      EXPECT_EQ(e->e_time_e->text(), Fixed(c.shownEnd));
      EXPECT_EQ(Lines(chosen), c.lines);
    }
    EXPECT_NE(ReadText(chosen).find("\n50.0000        ;25.000000           ;\n"), std::string::npos);
    e->e_time_b->setText("abc");  // not a number: the conversion message; nothing runs
    e->but_start->click();
    EXPECT_TRUE(e->GroupBox1->isEnabled());
  });
  EXPECT_EQ(Messages(), (std::vector<QString>{"Export file complied.", "Export file complied.",
                                              "Export file complied.", NotFloatMessage("abc")}));
  EXPECT_EQ(dialogs.CountOf(TKind::SaveFile), 3);
  Export([&] {
    EXPECT_TRUE(e->ch_temp->isChecked() && e->ch_excel->isChecked() && !e->ch_sig->isChecked());
    EXPECT_EQ(e->e_time_b->text(), Fixed(1.0));
    EXPECT_EQ(e->SaveFileDialog.FileName, Q(chosen));
  });
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(ExportAndArchive, DuringARunNothingElseStartsAndTheDialogStays) {
  ASSERT_TRUE(Open(200000));
  w->Chart->SetRange(TRateChart::Bottom, 0.0, 1e6);
  dialogs.Names.push_back(Q(dir.File("big.txt")));
  dialogs.Answers.push_back(TMsgResult::Ok);
  bool checked = false, anyEnabled = true, stayed = false;
  Export([&] {
    // Served from the export's progress updates.
    QTimer::singleShot(0, e, [&] {
      checked = true;
      anyEnabled = e->but_start->isEnabled() || e->but_exit->isEnabled() || e->GroupBox1->isEnabled();
      e->but_startClick();  // a second click
      e->reject();          // Escape
      e->close();           // the title bar's close
      stayed = e->isVisible();
    });
    e->but_start->click();
    EXPECT_GT(e->CGauge1->maximum(), 0);
    EXPECT_EQ(e->CGauge1->value(), 0);
  });
  EXPECT_TRUE(checked && stayed && !anyEnabled);
  EXPECT_EQ(dialogs.CountOf(TKind::SaveFile), 1) << "the second click started nothing";
  EXPECT_EQ(Messages(), std::vector<QString>{"Export file complied."});
  EXPECT_EQ(Lines(dir.File("big.txt")), 7u + 200000u);
}

// An unwritable target, a link to the recording, a time that is not a
// number, a recording that can no longer be read: each ends the export
// with its own message alone.
TEST_F(ExportAndArchive, FailuresAreNeverReportedAsSuccess) {
  ASSERT_TRUE(Open(100));
  const std::string unwritable = dir.File("no/such/out.txt");
  struct {
    std::function<void()> before;
    std::string target;
    QString message;
    std::size_t lines;
  } const cases[] = {
      {[] {}, unwritable, Q("Cannot write export file\n" + unwritable + "\nNo such file or directory"), 0},
      {[&] { ::symlink(dir.File("run1.rtd").c_str(), dir.File("link.txt").c_str()); }, dir.File("link.txt"),
       Q("Cannot write export file\n" + dir.File("link.txt") + "\nit is a recording; choose another name"),
       Lines(dir.File("run1.rtd"))},
      {[&] { WriteRecording(dir.File("run1.rtd"), {{1, 0, 0}, {nan, 0, 0}, {3, 0, 0}}); },
       dir.File("nan.txt"), "Bad recording in file.", 7 + 1},
      {[&] {
         ::unlink(dir.File("run1.rtd").c_str());
         ::mkdir(dir.File("run1.rtd").c_str(), 0777);
       },
       dir.File("x.txt"), "Not open file.", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    c.before();
    dialogs.Calls.clear();
    dialogs.Names.push_back(Q(c.target));
    dialogs.Answers.push_back(TMsgResult::Ok);
    Export([&] { e->but_start->click(); });
    EXPECT_EQ(Messages(), std::vector<QString>{c.message});
    EXPECT_EQ(dialogs.Calls.back().Icon, TMsgIcon::Stop);
    EXPECT_EQ(Lines(c.target), c.lines);
  }
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(ExportAndArchive, SaveToServerCopiesUnderTheConfirmedOrTheOfferedName) {
  const std::string server = dir.File("arch"), folder = server + "/VRDT40-123.456/00042";
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  w->Settings.ServerFolder = server;
  ASSERT_TRUE(Open(300, true, "0512.rtd"));
  dialogs.Names.push_back(QString());  // the name prompt is cancelled
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  Settle();
  EXPECT_EQ(ReadBytes(folder + "/create_05122026_1030__file_0512.rtd"), ReadBytes(dir.File("0512.rtd")));
  ASSERT_EQ(dialogs.Calls.size(), 3u);
  EXPECT_EQ(dialogs.Calls[1].Kind, TKind::Input);
  EXPECT_EQ(dialogs.Calls[1].Caption, "File name");
  EXPECT_EQ(dialogs.Calls[1].Text, "Filename in server");
  EXPECT_EQ(dialogs.Calls[2].Text, "Save file server complied");
  dialogs.Names.push_back(QString::fromUtf8("-Kreisel Pr\xC3\xBC" "fung 3.1"));  // kept as typed
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  Settle();
  EXPECT_EQ(ReadBytes(folder + "/create_05122026_1030__file_-Kreisel Pr\xC3\xBC" "fung 3.1.rtd"),
            ReadBytes(dir.File("0512.rtd")));
  // A missing sub-folder: refused, with the reason.
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
  dialogs.Names.push_back("again");
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  Settle();
  EXPECT_EQ(dialogs.Calls.back().Text,
            Q("Not save file server\n" + folder + ": No such file or directory"));
  // A headerless recording after this one: the action left enabled does nothing.
  ASSERT_TRUE(Open(10, false));
  dialogs.Calls.clear();
  w->ac_saveserverExecute();
  EXPECT_TRUE(dialogs.Calls.empty());
}

// F5 while the archive copy runs is refused: no run starts, then or when
// the copy has ended.
TEST_F(ExportAndArchive, F5DuringTheArchiveCopyStartsNoRun) {
  const std::string folder = dir.File("arch") + "/VRDT40-123.456/00042";
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  w->Settings.ServerFolder = dir.File("arch");
  ASSERT_TRUE(Open(400000, true, "0512.rtd"));
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  dialogs.Names.push_back("copy");
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  EXPECT_TRUE(w->CGauge1->isVisible()) << "the copy goes on";
  QTest::keyClick(w, Qt::Key_F5);
  ASSERT_TRUE(Settle());
  QCoreApplication::processEvents();
  EXPECT_EQ(Messages().back(), "Save file server complied");
  EXPECT_EQ(ReadBytes(folder + "/create_05122026_1030__file_copy.rtd"), ReadBytes(dir.File("0512.rtd")));
  EXPECT_EQ(dialogs.CountOf(TKind::SaveFile), 0);
  EXPECT_FALSE(w->RunActive());
  EXPECT_TRUE(w->ac_start->isEnabled() && !w->CGauge1->isVisible());
}

}  // namespace
