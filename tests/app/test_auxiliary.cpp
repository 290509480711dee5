// Printing, the companion program, About, and the display steps.
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <QPrinter>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"
#include "app/DisplaySteps.h"
#include "app/Forms.h"
#include "ui/ScriptedDialogs.h"

namespace {

TEST(DisplaySteps, PointStepFillsTheWindowWithResolutionPoints) {
  EXPECT_EQ(ComputePointStep(10, 4000, 7), 1);     // Ceil(10 * 25 / 4000)
  EXPECT_EQ(ComputePointStep(7200, 2000, 7), 36);  // Ceil(7200 * 10 / 2000)
  EXPECT_EQ(ComputePointStep(7200, 4000, 7), 45);
  EXPECT_EQ(ComputePointStep(7200, 6000, 7), 60);
  EXPECT_EQ(ComputePointStep(10, 6000, 7), 1);
  EXPECT_EQ(ComputePointStep(7200, 5000, 7), 7);  // unknown resolution
}

TEST(DisplaySteps, LabelStepAndPeriod) {
  EXPECT_EQ(ComputeLabelStep(6000, 20, 5), 10);
  EXPECT_EQ(ComputeLabelStep(4000, 125, 5), 3);
  EXPECT_EQ(ComputeLabelStep(6000, 10, 5), 0);
  EXPECT_EQ(ComputeLabelStep(5000, 20, 5), 5);
  EXPECT_EQ(ComputeLabelStep(5000, 5, 5), 0);
  const std::uint32_t periods[] = {1000, 200, 100, 50, 33, 25, 20, 16, 14, 12, 11, 10, 8};
  for (std::size_t i = 0; i < SampleValues.size(); ++i)
    EXPECT_EQ(TimerPeriodMs(SampleValues[i]), periods[i]);
}

class Auxiliary : public ::testing::Test {
 protected:
  void SetUp() override {
    forms = CreateForms(dir.File("Ratelog.ini"));
    w = forms->MainFrm.get();
    w->show();
  }
  void TearDown() override {
    for (const std::string& pidFile : pidFiles) {
      const std::string text = ReadText(pidFile);
      if (!text.empty()) ::kill(std::stoi(text), SIGKILL);
    }
    forms.reset();
  }

  // A companion program: writes its argument and process id, then waits.
  std::string Companion(const std::string& name) {
    const std::string script = dir.File(name);
    const std::string out = dir.File(name + ".arg");
    const std::string pid = dir.File(name + ".pid");
    pidFiles.push_back(pid);
    std::ofstream(script) << "#!/bin/sh\necho $$ > '" << pid << ".tmp'; mv '" << pid << ".tmp' '"
                          << pid << "'\nprintf '%s' \"$1\" >> '" << out << "'\nexec sleep 30\n";
    ::chmod(script.c_str(), 0755);
    return script;
  }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
  std::vector<std::string> pidFiles;
};

TEST_F(Auxiliary, CompanionGetsThePortIndex) {
  const std::string script = Companion("companion");
  w->Settings.ShellPath = script;
  w->change_port->setCurrentIndex(2);  // COM3
  w->ac_shellExecute();
  ASSERT_TRUE(WaitFor([&] { return ReadText(dir.File("companion.arg")) == "2"; }));
  EXPECT_GT(w->ShellPid, 0);
}

TEST_F(Auxiliary, ARunningCopyIsClosedFirst) {
  w->Settings.ShellPath = Companion("companion");
  w->ac_shellExecute();
  // The first copy has started and taken its argument before it is closed.
  ASSERT_TRUE(WaitFor([&] { return ReadText(dir.File("companion.arg")) == "0"; }, 60000));
  const std::int64_t first = w->ShellPid;
  w->change_port->setCurrentIndex(4);
  w->ac_shellExecute();
  ASSERT_TRUE(WaitFor([&] { return ReadText(dir.File("companion.arg")) == "04"; }, 60000));
  EXPECT_NE(w->ShellPid, first);
  // The first copy got SIGTERM: gone, or a zombie nobody reaped yet.
  const std::string stat = ReadText("/proc/" + std::to_string(first) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z") != std::string::npos) << stat;
}

TEST_F(Auxiliary, ShellProgramStopsARunAlsoWithTheTimerOff) {
  // A Trigger-mode run: the port is open, the timer is off.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  w->XComm1.SetDeviceName(::ptsname(master));
  ASSERT_TRUE(w->XComm1.OpenDevice());
  w->SetIdleControls(false);
  ASSERT_TRUE(w->RunActive());
  w->ac_shellExecute();  // no companion program set: only the stop
  EXPECT_FALSE(w->XComm1.GetOpened());
  EXPECT_TRUE(w->ac_start->isEnabled());
  EXPECT_FALSE(w->ac_stop->isEnabled());
  ::close(master);
}

TEST_F(Auxiliary, NoCompanionPathStartsNothing) {
  w->ac_shellExecute();
  EXPECT_EQ(w->ShellPid, 0);
}

TEST_F(Auxiliary, PrintsOneLandscapePageToPdf) {
  const std::string pdf = dir.File("chart.pdf");
  dialogs.PrinterAnswers = {false, true};
  dialogs.PrintToFile = QString::fromStdString(pdf);
  w->ac_printExecute();  // cancelled: nothing printed
  EXPECT_TRUE(ReadBytes(pdf).empty());
  ASSERT_TRUE(w->Printer);
  EXPECT_EQ(w->Printer->pageLayout().margins(), QMarginsF(0, 0, 0, 0));

  w->Printer->setPageOrientation(QPageLayout::Portrait);
  w->ac_printExecute();
  const std::string text = ReadText(pdf);
  ASSERT_EQ(text.rfind("%PDF", 0), 0u);
  EXPECT_NE(text.find("/Count 1"), std::string::npos);
  // A4 landscape: wider than high.
  const std::size_t box = text.find("/MediaBox");
  ASSERT_NE(box, std::string::npos);
  double x0, y0, x1, y1;
  ASSERT_EQ(std::sscanf(text.c_str() + box, "/MediaBox [%lf %lf %lf %lf]", &x0, &y0, &x1, &y1), 4);
  EXPECT_GT(x1 - x0, y1 - y0);
  EXPECT_EQ(w->Printer->pageLayout().orientation(), QPageLayout::Portrait);
}

TEST_F(Auxiliary, AboutBox) {
  TAboutFrm* about = forms->AboutFrm.get();
  EXPECT_EQ(about->windowTitle(), "About!");
  EXPECT_EQ(about->size(), QSize(341, 166));
  EXPECT_EQ(about->LabName->text(), "Ratelog.exe");
  EXPECT_EQ(about->LabVersion->text(), "Version 6.2.3");
  EXPECT_EQ(about->LabDescription->text(), "Description");
  EXPECT_EQ(about->LabText->text(), "Program for work single axis FOG");
  EXPECT_EQ(about->Image1->size(), QSize(33, 33));
  QTimer::singleShot(0, [about] { about->BtnOk->click(); });
  w->ac_aboutExecute();
  EXPECT_EQ(about->result(), QDialog::Accepted);
}

TEST_F(Auxiliary, PrintingThatCannotStartSaysSo) {
  const std::string pdf = dir.File("missing/chart.pdf");
  dialogs.PrinterAnswers = {true};
  dialogs.PrintToFile = QString::fromStdString(pdf);
  w->ac_printExecute();
  ASSERT_EQ(dialogs.CountOf(TScriptedDialogs::TKind::Message), 1);
  EXPECT_TRUE(dialogs.Calls.back().Text.contains(QString::fromStdString(pdf)));
}

}  // namespace
