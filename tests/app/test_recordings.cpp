// Recordings on the chart: opening, the two layouts, plausible temperatures,
// NaN records, the unit switch and the averaging time on a recording, zoom
// statistics and gestures, the file information dialog.
#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <fcntl.h>
#include <sys/stat.h>
#include <limits>

#include "RunHelpers.h"
#include "TestFiles.h"
#include "app/Forms.h"
#include "files/OleDate.h"
#include "ui/Chart.h"
#include "ui/NumberText.h"
#include "ui/ScriptedDialogs.h"

namespace {

void Mouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button,
           Qt::MouseButtons buttons) {
  QMouseEvent event(type, QPointF(at), QPointF(widget->mapToGlobal(at)), button, buttons,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(widget, &event);
}

void Drag(QWidget* widget, QPoint from, QPoint to) {
  Mouse(widget, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
  Mouse(widget, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
  Mouse(widget, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
  Mouse(widget, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

class Recordings : public ::testing::Test {
 protected:
  void SetUp() override {
    forms = CreateForms(dir.File("Ratelog.ini"));
    w = forms->MainFrm.get();
    w->show();
  }
  void TearDown() override { forms.reset(); }

  bool Open(const TRecordingFile& file, const std::string& name = "rec.rtd") {
    file.Write(dir.File(name));
    dialogs.Names.push_back(QString::fromStdString(dir.File(name)));
    w->ac_openExecute();
    return w->OpenFile.Loaded;
  }
  static std::vector<double> Values(const QCPGraph* series) {
    std::vector<double> v;
    for (std::int64_t i = 0; i < SeriesSize(series); ++i) v.push_back(SeriesPoint(series, i).value);
    return v;
  }
  static std::vector<double> Keys(const QCPGraph* series) {
    std::vector<double> v;
    for (std::int64_t i = 0; i < SeriesSize(series); ++i) v.push_back(SeriesPoint(series, i).key);
    return v;
  }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
};

TEST_F(Recordings, OpeningChartsTheWholeRecording) {
  TRecordingFile f;
  for (int i = 1; i <= 50; ++i) f.Records.push_back({i * 0.1f, 0.001f * i, 20.0f + i * 0.2f});
  ASSERT_TRUE(Open(f));
  const QString path = QString::fromStdString(dir.File("rec.rtd"));
  // Info file and Save to server stay hidden; a hidden action reads as
  // disabled, so they are shown here to see what the load did to them.
  w->ac_file_info->setVisible(true);
  w->ac_saveserver->setVisible(true);
  EXPECT_EQ(SeriesSize(w->Series1), 50);
  EXPECT_EQ(SeriesSize(w->Series2), 50);
  EXPECT_EQ(SeriesSize(w->Series3), 50);
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series1)[9]), 0.010f * 3600.0f);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + path);
  EXPECT_EQ(w->Chart->TitleText(), path);
  EXPECT_TRUE(w->Chart->TitleVisible());
  EXPECT_TRUE(w->Chart->ZoomEnabled());
  for (QAction* a : {w->ac_calc, w->ac_print, w->ac_export, w->ac_saveserver, w->ac_file_info})
    EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
  EXPECT_TRUE(w->ch_temp->isVisible());
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-123.456-00042");
  EXPECT_FALSE(w->CGauge1->isVisible());
  EXPECT_EQ(w->Chart1->yAxis2->range(), QCPRange(-40, 60));
  EXPECT_TRUE(w->Chart->Automatic(TRateChart::Bottom));
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().lower, static_cast<double>(0.1f));
  EXPECT_DOUBLE_EQ(w->Chart1->xAxis->range().upper, static_cast<double>(50 * 0.1f));
  // The statistics of the whole recording in the panels.
  EXPECT_EQ(w->AverRmsStatic.Begin, static_cast<double>(0.1f) - 1.0);
  EXPECT_EQ(w->AverRmsStatic.End, static_cast<double>(50 * 0.1f) + 1.0);
  EXPECT_EQ(w->lab_aver->text(), "91,80000");  // mean of 1..50 x 3.6
  EXPECT_EQ(w->lab_temp->text(), "25,1");
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  // The temperature series on request.
  w->ch_temp->setChecked(true);
  EXPECT_TRUE(w->Series3->visible());
  EXPECT_TRUE(w->Chart1->yAxis2->visible());
}

TEST_F(Recordings, AHeaderlessFileHasNoInformationToShow) {
  TRecordingFile f;
  f.Header = false;
  f.Sample = 99.9f;
  for (int i = 1; i <= 5; ++i) f.Records.push_back({static_cast<float>(i), 0.001f, 25});
  w->ac_file_info->setVisible(true);
  w->ac_saveserver->setVisible(true);
  ASSERT_TRUE(Open(f));
  EXPECT_EQ(w->OpenFile.FormatVersion, 0);
  EXPECT_EQ(w->OpenFile.Sample, 99);
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-000.000-00000");
  EXPECT_TRUE(w->ac_calc->isEnabled());
  EXPECT_FALSE(w->ac_file_info->isEnabled());
  EXPECT_FALSE(w->ac_saveserver->isEnabled());
  w->ac_file_info->setEnabled(true);  // as an earlier load could have left it
  bool shown = false;
  QTimer::singleShot(0, forms->InfoFileFrm.get(), [&] {
    shown = forms->InfoFileFrm->isVisible();
    forms->InfoFileFrm->reject();
  });
  w->ac_file_infoExecute();
  RunFor(10);
  EXPECT_FALSE(shown);
}

TEST_F(Recordings, ImplausibleTemperaturesAreChartedAtTheLastPlausibleOne) {
  TRecordingFile f;
  f.Records = {{1, 0, 120}, {2, 0, 25}, {3, 0, 150}, {4, 0, -60}, {5, 0, 99.5f}, {6, 0, 100}};
  ASSERT_TRUE(Open(f));
  EXPECT_EQ(Values(w->Series3), (std::vector<double>{0, 25, 25, 25, 99.5, 99.5}));
}

TEST_F(Recordings, ANaNRecordIsInNoSeries) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  TRecordingFile f;
  f.Records = {{1, 0.001f, 20}, {2, nan, 20}, {3, 0.003f, 21}};
  ASSERT_TRUE(Open(f));
  for (const QCPGraph* s : {w->Series1, w->Series2, w->Series3})
    EXPECT_EQ(Keys(s), (std::vector<double>{1, 3}));
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[1]), 0.002f * 3600);
}

TEST_F(Recordings, TimesOutOfOrderAreChartedInOrderWithTheirOwnTemperature) {
  TRecordingFile f;
  f.Records = {{3, 0.003f, 23}, {1, 0.001f, 21}, {2, 0.002f, 22}, {2, 0.0025f, 22.5f}};
  ASSERT_TRUE(Open(f));
  EXPECT_EQ(Keys(w->Series1), (std::vector<double>{1, 2, 2, 3}));
  const std::vector<double> rates = Values(w->Series1), temperatures = Values(w->Series3);
  for (std::size_t i = 0; i < rates.size(); ++i)
    EXPECT_NEAR(rates[i] / 3600 * 1000 + 20, temperatures[i], 1e-4) << i;
}

TEST_F(Recordings, UnreadableAndVanishedFiles) {
  TRecordingFile good;
  good.Records = {{1, 0, 20}, {2, 0, 20}, {3, 0, 20}};
  ASSERT_TRUE(Open(good, "good.rtd"));
  const QString title = w->windowTitle();

  TRecordingFile bad;
  bad.Sample = std::numeric_limits<float>::quiet_NaN();
  bad.Records = good.Records;
  dialogs.Answers.push_back(TMsgResult::Ok);
  EXPECT_FALSE(Open(bad, "bad.rtd"));
  ASSERT_EQ(dialogs.CountOf(TScriptedDialogs::TKind::Message), 1);
  const auto& message = dialogs.Calls.back();
  EXPECT_EQ(message.Text, "Not open file.");
  EXPECT_EQ(message.Caption, "Message");
  EXPECT_EQ(message.Icon, TMsgIcon::Stop);
  EXPECT_NE(w->windowTitle(), title);
  EXPECT_EQ(w->windowTitle(), "Ratelog - Untitled") << "no name over an empty chart";
  EXPECT_EQ(SeriesSize(w->Series1), 0);
  for (QAction* a : {w->ac_calc, w->ac_print, w->ac_export, w->ac_file_info})
    EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();

  // Chosen, then gone before it was read: nothing is said.
  dialogs.Names.push_back(QString::fromStdString(dir.File("gone.rtd")));
  w->ac_openExecute();
  EXPECT_FALSE(w->OpenFile.Loaded);
  EXPECT_EQ(dialogs.CountOf(TScriptedDialogs::TKind::Message), 1);
  // Cancelled: nothing changes.
  dialogs.Names.push_back(QString());
  w->ac_openExecute();
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(Recordings, UnitSwitchRechartsTheRecordingWithoutReadingIt) {
  TRecordingFile f;
  for (int i = 1; i <= 10; ++i) f.Records.push_back({static_cast<float>(i), 0.5f, 25});
  ASSERT_TRUE(Open(f));
  EXPECT_DOUBLE_EQ(Values(w->Series1)[0], 1800.0);
  // The points are kept as read: the file is not needed again.
  std::remove(dir.File("rec.rtd").c_str());
  w->ac_calc->setEnabled(false);
  w->Chart->SetRange(TRateChart::Right, 0, 1);
  w->BtnDim->click();
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_TRUE(w->OpenFile.UnitsPerSecond);
  EXPECT_EQ(SeriesSize(w->Series1), 10);
  EXPECT_DOUBLE_EQ(Values(w->Series1)[0], 0.5);
  EXPECT_DOUBLE_EQ(Values(w->Series2)[9], 0.5);
  EXPECT_TRUE(w->ac_calc->isEnabled());
  EXPECT_EQ(w->Chart1->yAxis2->range(), QCPRange(-40, 60));
  EXPECT_EQ(w->lab_aver->text(), "0,5000000");
  w->BtnDim->click();
  EXPECT_DOUBLE_EQ(Values(w->Series2)[9], 1800.0);
  EXPECT_EQ(w->lab_aver->text(), "1800,00000");
}

// The reading runs beside the window's events: what is queued for the
// window runs while the file is read, but no input reaches it; closing the
// window then ends the load without an error message and the window closes.
TEST_F(Recordings, ReadingLeavesTheWindowItsEventsButNoInput) {
  TRecordingFile f;
  for (int i = 1; i <= 400000; ++i) f.Records.push_back({i * 0.008f, 0.5f, 25});
  bool ranDuringLoad = false;
  std::int64_t pointsThen = -1;
  QMetaObject::invokeMethod(
      w,
      [&] {
        ranDuringLoad = true;
        pointsThen = SeriesSize(w->Series1);
        const QPoint centre = w->BtnDim->rect().center();
        Mouse(w->BtnDim, QEvent::MouseButtonPress, centre, Qt::LeftButton, Qt::LeftButton);
        Mouse(w->BtnDim, QEvent::MouseButtonRelease, centre, Qt::LeftButton, Qt::NoButton);
      },
      Qt::QueuedConnection);
  ASSERT_TRUE(Open(f));
  EXPECT_TRUE(ranDuringLoad);
  EXPECT_EQ(pointsThen, 0) << "the chart gets the points when the reading is over";
  EXPECT_FALSE(w->RateUnitPerSec) << "the click during the load was dropped";
  EXPECT_EQ(SeriesSize(w->Series1), 400000);
  Mouse(w->BtnDim, QEvent::MouseButtonPress, w->BtnDim->rect().center(), Qt::LeftButton, Qt::LeftButton);
  Mouse(w->BtnDim, QEvent::MouseButtonRelease, w->BtnDim->rect().center(), Qt::LeftButton, Qt::NoButton);
  EXPECT_TRUE(w->RateUnitPerSec) << "input works again";

  QMetaObject::invokeMethod(w, [&] { w->close(); }, Qt::QueuedConnection);
  f.Records.resize(2000000, {1.0f, 0.5f, 25});
  Open(f, "long.rtd");
  EXPECT_TRUE(w->isVisible()) << "the window closes after the load";
  EXPECT_EQ(dialogs.CountOf(TScriptedDialogs::TKind::Message), 0) << "no error message";
  QCoreApplication::processEvents();
  EXPECT_FALSE(w->isVisible());
}

TEST_F(Recordings, NewAveragingTimeRereadsTheRecording) {
  TRecordingFile f;
  f.Sample = 1;
  for (int i = 1; i <= 10; ++i) f.Records.push_back({static_cast<float>(i), 0.001f * i, 25});
  ASSERT_TRUE(Open(f));
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 5.5f * 3.6f);
  w->e_mean->setText("2");
  w->BtnApMean->click();
  EXPECT_EQ(w->OpenFile.MeanTime, 2);
  EXPECT_EQ(SeriesSize(w->Series2), 10);
  EXPECT_FLOAT_EQ(static_cast<float>(Values(w->Series2)[9]), 9.5f * 3.6f);
  EXPECT_TRUE(w->Chart->Automatic(TRateChart::Left));
}

TEST_F(Recordings, ZoomStatisticsNeedThreePoints) {
  TRecordingFile two;
  two.Records = {{1, 0.001f, 20}, {2, 0.002f, 20}};
  ASSERT_TRUE(Open(two));
  EXPECT_EQ(w->lab_aver->text(), "0,00000") << "two points: the panels stay";
  w->lab_aver->setText("x");
  w->Chart1->xAxis->setRange(0, 10);
  w->Chart1Zoom();
  w->Chart1UndoZoom();
  EXPECT_EQ(w->lab_aver->text(), "x");

  TRecordingFile three;
  three.Records = {{10, 0.001f, 20}, {10.5f, 0.002f, 21}, {11, 0.006f, 22}};
  ASSERT_TRUE(Open(three));
  EXPECT_EQ(w->lab_aver->text(), "10,80000");
  EXPECT_EQ(w->l_rms->text(), FixedText(std::sqrt((7.2 * 7.2 + 3.6 * 3.6 + 10.8 * 10.8) / 3), 14, 5));
  EXPECT_EQ(w->lab_temp->text(), "21,0");
  // A span holding fewer than three of them shows zeros.
  w->Chart1->xAxis->setRange(10.2, 11.5);
  w->Chart1Zoom();
  EXPECT_EQ(w->lab_aver->text(), "0,00000");
  EXPECT_EQ(w->lab_temp->text(), "0,0");
}

TEST_F(Recordings, DraggingZoomsAndDraggingBackUndoes) {
  TRecordingFile f;
  for (int i = 1; i <= 100; ++i) f.Records.push_back({static_cast<float>(i), 0.001f * i, 25});
  ASSERT_TRUE(Open(f));
  w->Chart1->replot();
  QCPAxis* x = w->Chart1->xAxis;
  QCPAxis* y = w->Chart1->yAxis;
  const int top = static_cast<int>(y->coordToPixel(y->range().upper)) + 2;
  const int bottom = static_cast<int>(y->coordToPixel(y->range().lower)) - 2;
  const QPoint from(static_cast<int>(x->coordToPixel(20.5)), top);
  const QPoint to(static_cast<int>(x->coordToPixel(30.5)), bottom);
  Drag(w->Chart1, from, to);
  ASSERT_TRUE(w->Chart->Zoomed());
  EXPECT_NEAR(x->range().lower, 20.5, 0.3);
  EXPECT_NEAR(x->range().upper, 30.5, 0.3);
  double mean = 0;
  ASSERT_TRUE(ReadDouble(w->lab_aver->text(), mean));
  EXPECT_NEAR(mean, 25.5 * 3.6, 1e-4) << "points 21 .. 30";
  EXPECT_EQ(w->AverRmsStatic.Begin, x->range().lower);

  Drag(w->Chart1, to, from);
  EXPECT_FALSE(w->Chart->Zoomed());
  EXPECT_TRUE(w->Chart->Automatic(TRateChart::Bottom));
  EXPECT_DOUBLE_EQ(x->range().lower, 1.0);
  EXPECT_DOUBLE_EQ(x->range().upper, 100.0);
  ASSERT_TRUE(ReadDouble(w->lab_aver->text(), mean));
  EXPECT_NEAR(mean, 50.5 * 3.6, 1e-4) << "all points";
  // The right axis kept its fixed range through zoom and undo.
  EXPECT_EQ(w->Chart1->yAxis2->range(), QCPRange(-40, 60));

  // No zoom while a run prepares the chart, and a click is no gesture.
  w->PrepareLiveChart();
  Drag(w->Chart1, from, to);
  EXPECT_FALSE(w->Chart->Zoomed());
}

TEST_F(Recordings, FileInformation) {
  TRecordingFile f;
  f.Sample = 99.9f;
  f.Created = OleDateFromLocal(2026, 12, 5, 10, 30);
  f.UserName = "engineer";
  f.CompName = "lab-pc";
  f.Records = {{1, 0, 20}};
  ASSERT_TRUE(Open(f));
  TInfoFileFrm* info = forms->InfoFileFrm.get();
  EXPECT_EQ(info->windowTitle(), "Information file");
  EXPECT_EQ(info->size(), QSize(406, 157));
  EXPECT_EQ(info->LabIDN->text(), "-------------------------------------");
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
  EXPECT_EQ(info->LabComp->width(), 193);
}

// ratelog FILE.rtd: the named recording is opened as File Open opens it; a
// file that cannot be read says "Not open file.".
TEST_F(Recordings, OpenedFromTheCommandLine) {
  TRecordingFile good;
  good.Records = {{1, 0.001f, 20}, {2, 0.001f, 20}, {3, 0.001f, 20}};
  good.Write(dir.File("given.rtd"));
  const QString path = QString::fromStdString(dir.File("given.rtd"));
  w->OpenRecording(path);
  EXPECT_TRUE(w->OpenFile.Loaded);
  EXPECT_EQ(w->windowTitle(), "Ratelog - " + path);
  EXPECT_EQ(SeriesSize(w->Series1), 3);

  TRecordingFile bad = good;
  bad.Sample = std::numeric_limits<float>::quiet_NaN();
  bad.Write(dir.File("bad.rtd"));
  for (const char* name : {"bad.rtd"}) {
    dialogs.Answers.push_back(TMsgResult::Ok);
    w->OpenRecording(QString::fromStdString(dir.File(name)));
    ASSERT_FALSE(dialogs.Calls.empty()) << name;
    EXPECT_EQ(dialogs.Calls.back().Text, "Not open file.") << name;
  }
  EXPECT_EQ(dialogs.CountOf(TScriptedDialogs::TKind::Message), 1);
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// Zoom, then a Scale panel button, then undo: the panels describe the span
// on screen at every step, and undo returns to the whole recording.
TEST_F(Recordings, ScalePanelKeepsTheZoomHistory) {
  TRecordingFile f;
  for (int i = 1; i <= 100; ++i) f.Records.push_back({static_cast<float>(i), 0.001f * i, 25});
  ASSERT_TRUE(Open(f));
  w->Chart1->replot();
  QCPAxis* x = w->Chart1->xAxis;
  QCPAxis* y = w->Chart1->yAxis;
  // The rubber band from 20.5 s to 30.5 s over the whole height, in the
  // pixels of the chart as it is now (axis labels change its margins).
  QPoint from, to;
  const auto band = [&] {
    w->Chart1->replot();
    const int top = static_cast<int>(y->coordToPixel(y->range().upper)) + 2;
    const int bottom = static_cast<int>(y->coordToPixel(y->range().lower)) - 2;
    from = QPoint(static_cast<int>(x->coordToPixel(20.5)), top);
    to = QPoint(static_cast<int>(x->coordToPixel(30.5)), bottom);
  };
  const auto mean = [&] {
    double value = 0;
    EXPECT_TRUE(ReadDouble(w->lab_aver->text(), value));
    return value;
  };
  // The two Scale buttons on the Rate tab and ">" on the Temperature tab.
  const std::function<void()> buttons[] = {
      [&] { w->BtnAuto->click(); },
      [&] { w->BtnApply->click(); },
      [&] {
        w->TabCtrl->setCurrentIndex(1);
        w->BtnApply->click();
        w->TabCtrl->setCurrentIndex(0);
      }};
  for (const auto& press : buttons) {
    band();
    Drag(w->Chart1, from, to);
    ASSERT_TRUE(w->Chart->Zoomed());
    EXPECT_NEAR(mean(), 25.5 * 3.6, 1e-4) << "points 21 .. 30";
    press();
    EXPECT_NEAR(x->range().lower, 20.5, 0.3) << "the time span stays on screen";
    EXPECT_NEAR(mean(), 25.5 * 3.6, 1e-4);
    Drag(w->Chart1, to, from);
    EXPECT_DOUBLE_EQ(x->range().lower, 1.0) << "undo shows the whole recording";
    EXPECT_DOUBLE_EQ(x->range().upper, 100.0);
    EXPECT_NEAR(mean(), 50.5 * 3.6, 1e-4);
  }
  // What the Rate tab's ">" set while zoomed stays after the undo.
  w->e_max->setText("1");
  w->e_min->setText("-1");
  band();
  Drag(w->Chart1, from, to);
  w->BtnApply->click();
  Drag(w->Chart1, to, from);
  EXPECT_EQ(y->range(), QCPRange(-1, 1));
  EXPECT_FALSE(w->Chart->Automatic(TRateChart::Left));
}

// A nearly constant temperature after Stop (automatic right axis) and after
// Open (the stored limits): the axis has labelled ticks either way.
TEST_F(Recordings, TemperatureAxisIsLabelled) {
  TRecordingFile f;
  for (int i = 1; i <= 100; ++i)
    f.Records.push_back({static_cast<float>(i), 0.001f, 25.0f + 0.00005f * static_cast<float>(i)});
  f.Write(dir.File("run.rtd"));
  // Stop of a run that has written this file (its handle still open).
  w->Recording = true;
  w->RecordFileName = dir.File("run.rtd");
  w->Packet.FileHandle = ::open(w->RecordFileName.c_str(), O_RDONLY);
  w->Packet.FileOffset = 760;  // its header was written
  ASSERT_NE(w->Packet.FileHandle, -1);
  w->ac_stopExecute();
  ASSERT_TRUE(w->OpenFile.Loaded);
  w->ch_temp->setChecked(true);
  w->Chart1->replot();
  QCPAxis* right = w->Chart1->yAxis2;
  EXPECT_TRUE(right->visible());
  EXPECT_TRUE(right->tickLabels());
  EXPECT_GE(right->range().size(), 1.0 - 1e-9) << "a 0.005 °C change does not fill the chart";
  EXPECT_NEAR(right->range().center(), 25.0025, 0.01);
  EXPECT_GE(right->tickVectorLabels().size(), 2);

  ASSERT_TRUE(Open(f));
  w->ch_temp->setChecked(true);
  w->Chart1->replot();
  EXPECT_EQ(right->range(), QCPRange(-40, 60));
  EXPECT_GE(right->tickVectorLabels().size(), 2);
}

// Whatever the panels and axes show belongs to the file in the caption.
TEST_F(Recordings, AFileThatShowsNothingLeavesNothingOfTheLastOne) {
  TRecordingFile f;
  for (int i = 1; i <= 100; ++i) f.Records.push_back({static_cast<float>(i), 0.001f * i, 25});
  struct {
    const char* name;
    std::function<void(const std::string&)> make;
    bool loads;
  } const cases[] = {
      {"empty.rtd", [](const std::string& path) { TRecordingFile e; e.Write(path); }, true},
      {"zero-bytes.rtd", [](const std::string& path) { WriteBytes(path, {}); }, true},
      {"nan-sample.rtd",
       [](const std::string& path) {
         TRecordingFile bad;
         bad.Sample = std::numeric_limits<float>::quiet_NaN();
         bad.Records = {{1, 0, 20}, {2, 0, 20}, {3, 0, 20}};
         bad.Write(path);
       },
       false},
      {"folder.rtd", [](const std::string& path) { ::mkdir(path.c_str(), 0755); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Open(f));
    ASSERT_NE(w->lab_aver->text(), "0,00000");
    const std::string path = dir.File(c.name);
    c.make(path);
    dialogs.Names.push_back(QString::fromStdString(path));
    w->ac_openExecute();
    EXPECT_EQ(w->OpenFile.Loaded, c.loads);
    EXPECT_EQ(w->windowTitle(), c.loads ? "Ratelog - " + QString::fromStdString(path)
                                        : QString("Ratelog - Untitled"));
    EXPECT_EQ(w->lab_aver->text(), "0,00000");
    EXPECT_EQ(w->l_rms->text(), "0,00000");
    EXPECT_EQ(w->lab_temp->text(), "0,0");
    EXPECT_LT(w->Chart1->xAxis->range().upper, 50) << "not the last recording's time axis";
    EXPECT_EQ(w->ac_print->isEnabled(), c.loads);
    if (!c.loads) {
      EXPECT_FALSE(w->Chart->TitleVisible());
    }
  }
}

}  // namespace
