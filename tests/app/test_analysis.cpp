// The analysis of a recording on the chart: the Calculation dialog over the
// visible span (edits, Apply, sigma, both layouts, empty span, reading
// progress and memory) and the Allan deviation window.
#include <QAction>
#include <QFile>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>
#include <functional>
#include <random>

#include "RunHelpers.h"
#include "TestFiles.h"
#include "app/Forms.h"
#include "ui/NumberText.h"
#include "ui/ScriptedDialogs.h"

namespace {

class Analysis : public ::testing::Test {
 protected:
  void SetUp() override {
    forms = CreateForms(dir.File("Ratelog.ini"));
    w = forms->MainFrm.get();
    calc = forms->CalculFrm.get();
    allan = forms->AllanFrm.get();
    w->show();
  }
  void TearDown() override { forms.reset(); }

  // 10 Hz records from 0.1 s to `seconds`, rate(t) in deg/s.
  static TRecordingFile Recording(int seconds, const std::function<float(float)>& rate,
                                  bool header = true) {
    TRecordingFile f;
    f.Header = header;
    for (int i = 1; i <= seconds * 10; ++i) {
      const float t = static_cast<float>(i) * 0.1f;
      f.Records.push_back({t, rate(t), 25.0f});
    }
    return f;
  }
  bool Open(const TRecordingFile& file) {
    file.Write(dir.File("rec.rtd"));
    dialogs.Names.push_back(QString::fromStdString(dir.File("rec.rtd")));
    w->ac_openExecute();
    return w->OpenFile.Loaded;
  }
  // Runs `action` (which opens `dialog` modally); `body` runs once the
  // dialog has done its first calculation, then the dialog is closed.
  static void WhileOpen(QDialog* dialog, const std::function<void()>& action,
                        const std::function<void()>& body) {
    bool ran = false;
    QTimer::singleShot(0, dialog, [&] {
      QCoreApplication::sendPostedEvents(dialog, QEvent::MetaCall);  // FormShow
      body();
      ran = true;
      dialog->accept();
    });
    action();
    EXPECT_TRUE(ran);
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
  }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
  TCalculFrm* calc = nullptr;
  TAllanFrm* allan = nullptr;
};

TEST_F(Analysis, CalculationOverTheVisibleSpanWithDefaults) {
  // 250 s at a constant 0.001 deg/s = 3.6 deg/h: too short for the drift
  // error (3 x 100 s), long enough for the random walk (10 x 10 s).
  ASSERT_TRUE(Open(Recording(250, [](float) { return 0.001f; })));
  // No series shown: the rate is switched on first.
  w->ch_signal->setChecked(false);
  w->ch_signalClick();
  EXPECT_EQ(calc->windowTitle(), "Calculation basic parameter");
  EXPECT_EQ(Values(), QStringList({"0", "0", "0", "0"}));  // before the first calculation
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    EXPECT_TRUE(w->ch_signal->isChecked());
    EXPECT_TRUE(w->Series1->visible());
    EXPECT_EQ(calc->Begin, static_cast<double>(0.1f));
    EXPECT_EQ(calc->End, 250.0);
    EXPECT_EQ(calc->e_beg_time->text(), "0,10000");
    EXPECT_EQ(calc->e_end_time->text(), "250,00000");
    EXPECT_EQ(calc->lab_SSZS->text(), "100,0");
    EXPECT_EQ(calc->lab_RandWalk->text(), "10,0");
    EXPECT_EQ(calc->lab_passband->text(), "50");
    EXPECT_EQ(calc->lab_U->text(), "11,780000");
    EXPECT_FALSE(calc->but_apply->isEnabled());
    // 3.6 - 11.78 = -8.18.
    EXPECT_EQ(Values(), QStringList({"3,60000", "NAN", "0,00000", "-8,18000"}));
    EXPECT_EQ(calc->ListView2->item(2, 2)->text(), "°/Vh");
    EXPECT_EQ(calc->ListView2->item(3, 0)->text(), "Bias error");
  });
  // Closing freed the span's records.
  EXPECT_EQ(calc->Quant.Points.size(), 0u);
  EXPECT_EQ(calc->Quant.Points.MemoryBytes(), 0u);
  // The chart's zoom is the span.
  w->Chart1->xAxis->setRange(100, 200);
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    EXPECT_EQ(calc->e_beg_time->text(), "100,00000");
    EXPECT_EQ(calc->Quant.Points.size(), 1001u);
  });
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(Analysis, ApplyResetsSwapsAndClampsTheSpan) {
  ASSERT_TRUE(Open(Recording(400, [](float) { return 0.001f; })));
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    struct Case {
      QString begin, end;
      double wantBegin, wantEnd;
      const char* shownBegin;
    };
    const Case cases[] = {
        {"50", "300", 50, 300, "50,00000"},
        {"-5", "", 50, 300, "50,00000"},      // both keep the previous values
        {"350", "150,5", 150.5, 350, "150,50000"},  // exchanged
        {"0", "1000", 0.1f, 400, "0,10000"},  // clamped to the first and last record
    };
    for (const Case& c : cases) {
      Apply(c.begin, c.end);
      EXPECT_DOUBLE_EQ(calc->Begin, c.wantBegin) << c.begin.toStdString();
      EXPECT_DOUBLE_EQ(calc->End, c.wantEnd) << c.end.toStdString();
      EXPECT_EQ(calc->e_beg_time->text(), c.shownBegin);
      EXPECT_FALSE(calc->but_apply->isEnabled());
      EXPECT_DOUBLE_EQ(calc->Quant.Begin, c.wantBegin);
    }
    // A text that is no number: the error box names the field; span and
    // table stay.
    const QStringList before = Values();
    Apply("12x", "300");
    ASSERT_EQ(dialogs.Calls.size(), 2u);  // the open dialog, then the error
    EXPECT_EQ(dialogs.Calls[1].Text, "Begin time, second: '12x' is not a valid floating point value");
    EXPECT_DOUBLE_EQ(calc->Begin, static_cast<double>(0.1f));
    EXPECT_DOUBLE_EQ(calc->End, 400);
    EXPECT_EQ(Values(), before);
    EXPECT_TRUE(calc->but_apply->isEnabled());
    // Typing enables Apply again.
    calc->e_end_time->setText("399");
    EXPECT_TRUE(calc->but_apply->isEnabled());
  });
}

TEST_F(Analysis, ThreeSigmaTriplesOnlyTheDriftRowWithoutReadingAgain) {
  // 400 s alternating between 0 and 0.002 deg/s every 100 s: segment means
  // 0, 7.2, 0 deg/h around a mean of 3.6 (the last, partial segment is not
  // counted, so the mean includes it but the segments do not).
  ASSERT_TRUE(Open(Recording(400, [](float t) {
    return static_cast<int>(std::floor((t - 0.05f) / 100)) % 2 ? 0.002f : 0.0f;
  })));
  WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
    const QStringList one = Values();
    ASSERT_NE(one[1], "NAN");
    QFile::remove(QString::fromStdString(dir.File("rec.rtd")));
    calc->RadioButton2->click();
    const QStringList three = Values();
    EXPECT_EQ(three[0], one[0]);
    EXPECT_EQ(three[2], one[2]);
    EXPECT_EQ(three[3], one[3]);
    double d1 = 0, d3 = 0;
    ASSERT_TRUE(ReadDouble(one[1], d1));
    ASSERT_TRUE(ReadDouble(three[1], d3));
    EXPECT_NEAR(d3, 3 * d1, 1e-4);
    calc->RadioButton1->click();
    EXPECT_EQ(Values(), one);
  });
  EXPECT_EQ(calc->SigmaFactor, 1);
}

TEST_F(Analysis, BothLayoutsAndTheEmptySpan) {
  // The headerless file read after a 760-byte header would take its
  // records from the wrong place (and vice versa).
  for (bool header : {true, false}) {
    ASSERT_TRUE(Open(Recording(50, [](float t) { return t < 1 ? 0.01f : 0.001f; }, header)));
    EXPECT_EQ(w->OpenFile.FormatVersion, header ? 6 : 0);
    WhileOpen(calc, [&] { w->ac_calcExecute(); }, [&] {
      EXPECT_EQ(calc->Quant.Points.size(), 500u) << header;
      // (9 x 36 + 491 x 3.6) / 500 = 4.1832 deg/h.
      EXPECT_EQ(Values()[0], "4,18320") << header;
      // No record between 60 s and the end: every row NAN.
      Apply("60", "70");
      EXPECT_EQ(Values(), QStringList({"NAN", "NAN", "NAN", "NAN"}));
    });
  }
}

TEST_F(Analysis, ReadingMovesTheGaugeAndKeepsOnlyTheSpan) {
  TRecordingFile f = Recording(20000, [](float) { return 0.001f; });  // 200000 records
  f.Write(dir.File("long.rtd"));
  std::vector<int> gauge;
  calc->Gauge = [&](int percent) { gauge.push_back(percent); };
  calc->RecordingPath = dir.File("long.rtd");
  calc->FormatVersion = 6;
  calc->Begin = 0;
  calc->End = 20000;
  ASSERT_TRUE(calc->Recompute());
  ASSERT_GE(gauge.size(), 100u);
  EXPECT_LE(gauge.size(), 103u);
  EXPECT_EQ(gauge.front(), 0);
  EXPECT_EQ(gauge.back(), -1);
  EXPECT_EQ(gauge[gauge.size() - 2], 100);
  const std::size_t whole = calc->Quant.Points.MemoryBytes();
  EXPECT_EQ(calc->Quant.Points.size(), 200000u);
  // One minute in the middle: the reading stops after it and holds only it.
  gauge.clear();
  calc->Begin = 1000;
  calc->End = 1060;
  ASSERT_TRUE(calc->Recompute());
  EXPECT_EQ(calc->Quant.Points.size(), 601u);
  EXPECT_LT(calc->Quant.Points.MemoryBytes(), whole);
  EXPECT_LE(gauge.size(), 40u);
  // A missing file: a message, the table as it was.
  const QStringList before = Values();
  calc->RecordingPath = dir.File("gone.rtd");
  EXPECT_FALSE(calc->Recompute());
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_TRUE(dialogs.Calls[0].Text.contains("gone.rtd"));
  EXPECT_EQ(Values(), before);
}

TEST_F(Analysis, AllanActionFollowsCalculation) {
  EXPECT_EQ(w->ac_allan->text(), "Allan deviation");
  EXPECT_EQ(w->ac_allan->toolTip(), "Allan deviation of the rate");
  EXPECT_FALSE(w->ac_allan->isEnabled());
  QMenu* run = w->MainMenu1->findChild<QMenu*>("MenuRun");
  ASSERT_NE(run, nullptr);
  const QList<QAction*> items = run->actions();
  ASSERT_GE(items.indexOf(w->ac_calc), 0);
  EXPECT_EQ(items.indexOf(w->ac_allan), items.indexOf(w->ac_calc) + 1);
  const QList<QAction*> tools = w->ToolBar1->actions();
  EXPECT_EQ(tools.indexOf(w->ac_allan), tools.indexOf(w->ac_calc) + 1);
  ASSERT_TRUE(Open(Recording(10, [](float) { return 0.0f; })));
  EXPECT_TRUE(w->ac_allan->isEnabled());
  w->ac_calc->setEnabled(false);
  EXPECT_FALSE(w->ac_allan->isEnabled());
}

TEST_F(Analysis, AllanWindowPlotsReadsOffAndSaves) {
  // White noise of 0.01 deg/s = 36 deg/h at 10 Hz:
  // N = 36 x sqrt(0.1) / 60 = 0.18974 deg/sqrt(h).
  std::mt19937 rng(3);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  ASSERT_TRUE(Open(Recording(2000, [&](float) { return noise(rng); })));
  dialogs.Names = {QString::fromStdString(dir.File("allan.png")),
                   QString::fromStdString(dir.File("allan.pdf")),
                   QString::fromStdString(dir.File("allan.txt"))};
  WhileOpen(allan, [&] { w->ac_allanExecute(); }, [&] {
    EXPECT_EQ(allan->windowTitle(), "Allan deviation");
    EXPECT_EQ(allan->e_end_time->text(), "2000,00000");
    ASSERT_EQ(allan->Result.Points.size(), 14u);  // m = 1 .. 8192 (2 x 16384 > 20000)
    EXPECT_EQ(allan->ListAllan->rowCount(), 14);
    EXPECT_EQ(allan->ListAllan->item(0, 0)->text(), "0,1");
    EXPECT_EQ(allan->PlotAllan->graph(0)->data()->size(), 14);
    EXPECT_EQ(allan->PlotAllan->xAxis->scaleType(), QCPAxis::stLogarithmic);
    double n = 0;
    ASSERT_TRUE(ReadDouble(allan->lab_N->text(), n)) << allan->lab_N->text().toStdString();
    EXPECT_NEAR(n, 0.18974, 0.18974 * 0.05);
    EXPECT_TRUE(allan->lab_B->text().contains("\u03C4 ="));
    EXPECT_EQ(allan->lab_span->text(), "20000 records, \u03C40 = 0,1 s");
    allan->BtnSavePlot->click();
    allan->BtnSavePlot->click();
    allan->BtnSaveTable->click();
    // Too few records: nothing to plot, dashes, nothing to save.
    allan->e_beg_time->setText("1999,85");
    allan->but_apply->click();
    EXPECT_TRUE(allan->Result.Points.empty());
    EXPECT_EQ(allan->lab_N->text(), "\u2014");
    EXPECT_EQ(allan->lab_span->text(), "Fewer than 3 records in the span");
    EXPECT_FALSE(allan->BtnSaveTable->isEnabled());
  });
  const Bytes png = ReadBytes(dir.File("allan.png"));
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  const Bytes pdf = ReadBytes(dir.File("allan.pdf"));
  ASSERT_GT(pdf.size(), 4u);
  EXPECT_EQ(std::string(pdf.begin(), pdf.begin() + 4), "%PDF");
  const std::string table = ReadText(dir.File("allan.txt"));
  EXPECT_EQ(table.substr(0, 4), "0.1\t");
  EXPECT_NE(table.find("\t19999\n"), std::string::npos);  // terms at m = 1: n - 1
  EXPECT_NE(table.find("N\t0.1"), std::string::npos);
  EXPECT_NE(table.find("\t\xB0/h\t"), std::string::npos);  // single-byte degree sign
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

}  // namespace
