// The live chart and panels fed by display records (AppIdle), the scale
// panel, the unit switch and the averaging time.
#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>

#include "RunHelpers.h"
#include "TestFiles.h"
#include "app/Forms.h"
#include "ui/Chart.h"
#include "ui/ScriptedDialogs.h"

namespace {

class LiveChart : public ::testing::Test {
 protected:
  void SetUp() override {
    forms = CreateForms(dir.File("Ratelog.ini"));
    w = forms->MainFrm.get();
    w->show();
    w->PrepareLiveChart();
  }
  void TearDown() override { forms.reset(); }

  // One display record as the packet processor would have it due.
  void Record(float time, float rate, float temperature = 25.0f) {
    w->Packet.Current = SamplePoint{time, rate, temperature};
    w->Packet.DisplayReady = true;
    w->AppIdle();
  }
  int Points() const { return w->Series1->data()->size(); }
  double Key(int i) const { return (w->Series1->data()->constBegin() + i)->key; }
  double Value(QCPGraph* series, int i) const { return (series->data()->constBegin() + i)->value; }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
};

TEST_F(LiveChart, PointStepOneChartsFromTheSecondRecord) {
  ASSERT_EQ(w->PointStep, 1);
  Record(0.04f, 0.001f);
  EXPECT_EQ(Points(), 0);
  EXPECT_TRUE(w->FirstShownValid);
  EXPECT_DOUBLE_EQ(w->FirstShown, static_cast<double>(0.04f));
  Record(0.08f, 0.002f);
  Record(0.12f, 0.003f);
  ASSERT_EQ(Points(), 2);
  EXPECT_DOUBLE_EQ(Key(0), static_cast<double>(0.08f));
  EXPECT_FLOAT_EQ(static_cast<float>(Value(w->Series1, 1)), 0.003f * 3600);
  EXPECT_EQ(w->Series2->data()->size(), 2) << "the average gets its points too";
  const QCPRange bottom = w->Chart1->xAxis->range();
  EXPECT_DOUBLE_EQ(bottom.upper, static_cast<double>(0.12f));
  EXPECT_DOUBLE_EQ(bottom.lower, static_cast<double>(0.12f) - 10);
}

TEST_F(LiveChart, StepsOfPointsAndLabels) {
  w->PointStep = 3;
  w->LabelStep = 3;
  for (int i = 1; i <= 3; ++i) Record(i * 0.1f, 0.001f * i);
  EXPECT_EQ(Points(), 0);
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  Record(0.4f, 0.004f);  // the fourth: charted and shown
  ASSERT_EQ(Points(), 1);
  EXPECT_EQ(w->lab_sig->text(), "14,40000");
  for (int i = 5; i <= 7; ++i) Record(i * 0.1f, 0.001f * i);
  EXPECT_EQ(Points(), 2);
  EXPECT_DOUBLE_EQ(Key(1), static_cast<double>(0.7f));
  EXPECT_EQ(w->lab_sig->text(), "25,20000");
}

TEST_F(LiveChart, ARecordAtTimeZeroIsNeitherChartedNorShown) {
  w->LabelStep = 0;
  Record(0, 0.5f);
  Record(0, 0.5f);
  EXPECT_EQ(Points(), 0);
  EXPECT_FALSE(w->FirstShownValid);
  EXPECT_EQ(w->PointCounter, 0);
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  EXPECT_FALSE(w->Packet.DisplayReady) << "but it was taken";
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
  // A hidden panel's labels are left alone.
  w->ac_supp_infoExecute();
  Record(2.5f, 0.25f, 30);
  EXPECT_EQ(w->lab_sig->text(), "900,00000");
  EXPECT_EQ(w->lab_time->text(), "1,500");
}

TEST_F(LiveChart, TheWindowKeepsTheLastDisplayTimeSeconds) {
  ASSERT_EQ(w->Settings.DisplayTime, 10);
  for (int t = 1; t <= 30; ++t) Record(static_cast<float>(t), 0.001f);
  ASSERT_EQ(Points(), 11);  // 20 .. 30
  EXPECT_DOUBLE_EQ(Key(0), 20.0);
  EXPECT_DOUBLE_EQ(w->FirstShown, 20.0);
  EXPECT_EQ(w->PointCount, 11);
  EXPECT_EQ(w->Series2->data()->size(), 11);
}

TEST_F(LiveChart, AFastRunKeepsAtMostResolutionPoints) {
  w->Settings.Resolution = 2000;
  w->Settings.DisplayTime = 7200;
  w->PointStep = 1;
  for (int i = 1; i <= 2600; ++i) Record(i * 0.01f, 0.001f);
  EXPECT_EQ(Points(), 2000);
  EXPECT_EQ(w->PointCount, 2000);
  EXPECT_DOUBLE_EQ(Key(0), static_cast<double>(601 * 0.01f));
  EXPECT_DOUBLE_EQ(w->FirstShown, Key(0));
}

TEST_F(LiveChart, TrimmingEndsWhenTheSeriesIsEmpty) {
  w->Settings.Resolution = -5;  // whatever a settings file held
  Record(1, 0.001f);
  Record(2, 0.001f);
  EXPECT_EQ(Points(), 0);
  EXPECT_EQ(w->PointCount, 0);
  // A window emptied by the unit switch while the old first time is far
  // behind.
  w->Settings.Resolution = 4000;
  Record(3, 0.001f);
  w->FirstShown = -1000;
  w->ClearSeries();
  Record(4, 0.001f);  // charted, then aged out against the old first time
  EXPECT_EQ(Points(), 0);
  EXPECT_DOUBLE_EQ(w->FirstShown, 4.0);
  Record(5, 0.001f);
  EXPECT_EQ(Points(), 1);
}

TEST_F(LiveChart, UnitSwitchDuringARunEmptiesTheChartAndGoesOnInDegreesPerSecond) {
  Record(1, 0.5f);
  Record(2, 0.5f);
  ASSERT_EQ(Points(), 1);
  w->BtnDim->click();
  EXPECT_TRUE(w->RateUnitPerSec);
  EXPECT_EQ(Points(), 0);
  EXPECT_EQ(w->BtnDim->text(), "°/h");
  EXPECT_EQ(w->ch_signal->text(), "Rate, °/sec");
  EXPECT_EQ(w->ch_aver->text(), "Average, °/sec");
  EXPECT_EQ(w->lab_rms->text(), "RMS, °/sec");
  EXPECT_EQ(w->lab_minrms->text(), "Minimum RMS, °/sec");
  EXPECT_EQ(w->Chart1->yAxis->label(), "Rate, °/sec");
  Record(3, 0.5f);
  ASSERT_EQ(Points(), 1);
  EXPECT_DOUBLE_EQ(Value(w->Series1, 0), 0.5);
  EXPECT_EQ(w->lab_sig->text(), "0,5000000");

  // With a full window, the first point in the new unit stays on the chart.
  for (int t = 30; t <= 41; ++t) Record(static_cast<float>(t), 0.5f);
  w->BtnDim->click();
  Record(42, 0.5f);
  EXPECT_EQ(Points(), 1);
  EXPECT_DOUBLE_EQ(Value(w->Series1, 0), 1800.0);
  EXPECT_EQ(w->BtnDim->text(), "°/sec");
  EXPECT_EQ(w->ch_signal->text(), "Rate, °/h");
  EXPECT_EQ(w->ch_aver->text(), "Average, °/h");
  EXPECT_EQ(w->lab_rms->text(), "RMS, °/h");
  EXPECT_EQ(w->lab_minrms->text(), "Minimum RMS, °/h");
  EXPECT_EQ(w->Chart1->yAxis->label(), "Rate, °/h");
}

TEST_F(LiveChart, ScalePanelSwapsStoresAndSetsTheAxis) {
  w->e_max->setText("10");
  w->e_min->setText("40");
  w->BtnApply->click();
  TOptionProgramm stored(dir.File("Ratelog.ini"));
  EXPECT_EQ(stored.RateMin, 10.0f);
  EXPECT_EQ(stored.RateMax, 40.0f);
  EXPECT_EQ(w->e_max->text(), "40,000000");
  EXPECT_EQ(w->e_min->text(), "10,000000");
  EXPECT_FALSE(w->Chart->Automatic(TRateChart::Left));
  EXPECT_EQ(w->Chart1->yAxis->range(), QCPRange(10, 40));
  w->LabMaxClick();
  w->LabMinClick();
  EXPECT_EQ(w->e_max->text(), "40,000000");
  EXPECT_EQ(w->e_min->text(), "10,000000");

  // Empty fields take the defaults; a text that is no number changes
  // nothing.
  w->e_max->clear();
  w->e_min->clear();
  w->BtnApply->click();
  EXPECT_EQ(w->Chart1->yAxis->range(), QCPRange(-30, 30));
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->e_max->setText("1e400");
  w->BtnApply->click();
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_EQ(dialogs.Calls[0].Text, "'1e400' is not a valid floating point value");
  EXPECT_EQ(w->Settings.RateMax, 30.0f);
  EXPECT_EQ(w->Chart1->yAxis->range(), QCPRange(-30, 30));

  w->BtnAuto->click();
  EXPECT_TRUE(w->Chart->Automatic(TRateChart::Left));

  // Temperature tab, no recording: stored, but the right axis stays.
  const QCPRange right = w->Chart1->yAxis2->range();
  w->TabCtrl->setCurrentIndex(1);
  EXPECT_EQ(w->e_max->text(), "60,000000");
  EXPECT_EQ(w->e_min->text(), "-40,000000");
  w->e_max->setText("70");
  w->BtnApply->click();
  EXPECT_EQ(TOptionProgramm(dir.File("Ratelog.ini")).TempMax, 70.0f);
  EXPECT_EQ(w->Chart1->yAxis2->range(), right);
  w->BtnAuto->click();
  EXPECT_EQ(w->Chart1->yAxis2->range(), right);
  w->e_max->setText("1");
  w->LabMaxClick();
  EXPECT_EQ(w->e_max->text(), "1");
  w->TabCtrl->setCurrentIndex(0);
  EXPECT_EQ(w->e_max->text(), "30,000000");
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
  EXPECT_TRUE(dialogs.Calls.empty());
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->e_mean->setText("abc");
  w->BtnApMean->click();
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_EQ(dialogs.Calls[0].Text, "'abc' is not a valid integer value");
  EXPECT_EQ(w->Settings.MeanTime, 7);
}

}  // namespace
