// The Export dialog on a loaded recording, and Save to server.
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <qcustomplot.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <functional>

#include "RunHelpers.h"
#include "TestFiles.h"
#include "app/Forms.h"
#include "files/OleDate.h"
#include "ui/Chart.h"
#include "ui/NumberText.h"
#include "ui/ScriptedDialogs.h"

namespace {

using TKind = TScriptedDialogs::TKind;

class ExportAndArchive : public ::testing::Test {
 protected:
  void SetUp() override {
    forms = CreateForms(dir.File("Ratelog.ini"));
    w = forms->MainFrm.get();
    e = forms->ExportFrm.get();
    w->show();
  }
  void TearDown() override { forms.reset(); }

  // Records at 0.1 s steps from 0.1 s; rate -0.0123; temperature 25.5.
  bool Open(int records, bool header = true, const std::string& name = "run1.rtd") {
    TRecordingFile f;
    f.Header = header;
    f.Ident = "VRDT40-000.000-00000";
    f.Created = OleDateFromLocal(2026, 12, 5, 10, 30);
    for (int i = 1; i <= records; ++i) f.Records.push_back({static_cast<float>(i) * 0.1f, -0.0123f, 25.5f});
    f.Write(dir.File(name));
    dialogs.Names.push_back(QString::fromStdString(dir.File(name)));
    w->ac_openExecute();
    return w->OpenFile.Loaded;
  }
  // Opens the dialog through the action; `inside` runs while it is shown,
  // then the dialog is closed with its button.
  bool Export(const std::function<void()>& inside) {
    bool shown = false;
    QTimer::singleShot(0, e, [&] {
      shown = e->isVisible();
      if (inside) inside();
      e->but_exit->click();
    });
    w->ac_exportExecute();
    return shown;
  }
  std::vector<QString> Messages() const {
    std::vector<QString> texts;
    for (const auto& call : dialogs.Calls)
      if (call.Kind == TKind::Message) texts.push_back(call.Text);
    return texts;
  }
  static std::size_t Lines(const std::string& path) {
    const std::string t = ReadText(path);
    return static_cast<std::size_t>(std::count(t.begin(), t.end(), '\n'));
  }
  static QString Fixed(double v) { return FixedText(v, 8, 3); }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
  TExportFrm* e = nullptr;
};

TEST_F(ExportAndArchive, TheDialogAsCreated) {
  EXPECT_EQ(e->windowTitle(), "Export");
  EXPECT_EQ(e->size(), QSize(245, 287));
  EXPECT_EQ(e->e_time_b->text(), "0");
  for (QCheckBox* c : {e->ch_excel, e->ch_sig, e->ch_temp}) EXPECT_FALSE(c->isChecked());
  EXPECT_EQ(e->SaveFileDialog.Caption, QStringLiteral("Сохранить как.."));
  EXPECT_EQ(e->SaveFileDialog.FileName, "Untitled");
  EXPECT_TRUE(e->SaveFileDialog.ConfirmOverwrite);
  EXPECT_DOUBLE_EQ(e->EndTime, 500.0);
  // Nothing loaded: the action does nothing.
  EXPECT_FALSE(Export(nullptr));
}

TEST_F(ExportAndArchive, CancelledNameWritesBesideTheRecordingWithTheChartWindow) {
  ASSERT_TRUE(Open(500));
  w->ch_signal->setChecked(false);
  w->ch_signalClick();
  w->Chart->SetRange(TRateChart::Bottom, 10.0, 20.0);
  dialogs.Names.push_back(QString());  // the save dialog is cancelled
  dialogs.Answers.push_back(TMsgResult::Ok);
  ASSERT_TRUE(Export([&] {
    EXPECT_EQ(e->e_time_b->text(), Fixed(10.0));
    EXPECT_EQ(e->e_time_e->text(), Fixed(20.0));
    e->ch_sig->setChecked(true);
    e->but_start->click();
  }));
  // No series shown: the rate is switched on.
  EXPECT_TRUE(w->ch_signal->isChecked());
  EXPECT_TRUE(w->Series1->visible());
  const std::string text = ReadText(dir.File("run1.txt"));
  EXPECT_EQ(Lines(dir.File("run1.txt")), 7u + 101u);
  EXPECT_EQ(text.rfind("Source file: " + dir.File("run1.rtd") + "\n", 0), 0u);
  EXPECT_NE(text.find("Sample: 10 \xC3\xF6\nSource file create: 05.12.2026 10:30 \n"), std::string::npos);
  EXPECT_NE(text.find("\n10.0000        ;-0.0123000          ;\n"), std::string::npos);
  ASSERT_EQ(Messages(), std::vector<QString>{"Export file complied."});
  EXPECT_EQ(dialogs.Calls.back().Icon, TMsgIcon::Information);
  EXPECT_EQ(dialogs.Calls.back().Caption, "Message");
  const TScriptedDialogs::TCall& save = dialogs.Calls[dialogs.Calls.size() - 2];
  EXPECT_EQ(save.Kind, TKind::SaveFile);
  EXPECT_EQ(save.Request.Caption, QStringLiteral("Сохранить как.."));
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(ExportAndArchive, BoundsFallBackSwapAndStayBetweenOpenings) {
  ASSERT_TRUE(Open(2000));
  w->Chart->SetRange(TRateChart::Bottom, 1.0, 150.0);
  const std::string chosen = dir.File("data.txt");
  dialogs.Names = {QString::fromStdString(chosen), QString::fromStdString(chosen),
                   QString::fromStdString(chosen)};
  dialogs.Answers = {TMsgResult::Ok, TMsgResult::Ok, TMsgResult::Ok};
  ASSERT_TRUE(Export([&] {
    e->ch_temp->setChecked(true);
    e->ch_excel->setChecked(true);
    // Empty and negative bounds take the chart's window.
    e->e_time_b->setText("");
    e->e_time_e->setText("-5");
    e->but_start->click();
    EXPECT_EQ(e->e_time_b->text(), Fixed(1.0));
    EXPECT_EQ(e->e_time_e->text(), Fixed(150.0));
    EXPECT_EQ(Lines(chosen), 7u + 1491u);
    // Begin 100 and end 50 are swapped.
    e->e_time_b->setText(Fixed(100));
    e->e_time_e->setText(Fixed(50));
    e->but_start->click();
    EXPECT_EQ(e->e_time_b->text(), Fixed(50.0));
    EXPECT_EQ(e->e_time_e->text(), Fixed(100.0));
    EXPECT_EQ(Lines(chosen), 7u + 501u);
    const std::string text = ReadText(chosen);
    EXPECT_NE(text.find("Time, sec | Temperature, \xB0" "C | \n"), std::string::npos);
    EXPECT_NE(text.find("\n50.0000        ;25.500000           ;\n"), std::string::npos);
    // Not a number: the conversion message; nothing runs.
    e->e_time_b->setText("abc");
    e->but_start->click();
    EXPECT_TRUE(e->GroupBox1->isEnabled());
  }));
  EXPECT_EQ(Messages(), (std::vector<QString>{"Export file complied.", "Export file complied.",
                                              NotFloatMessage("abc")}));
  EXPECT_EQ(dialogs.CountOf(TKind::SaveFile), 2);
  // The check boxes and the last name stay; the window comes from the chart again.
  dialogs.Names.clear();
  ASSERT_TRUE(Export([&] {
    EXPECT_TRUE(e->ch_temp->isChecked());
    EXPECT_TRUE(e->ch_excel->isChecked());
    EXPECT_FALSE(e->ch_sig->isChecked());
    EXPECT_EQ(e->e_time_b->text(), Fixed(1.0));
    EXPECT_EQ(e->SaveFileDialog.FileName, QString::fromStdString(chosen));
  }));
}

TEST_F(ExportAndArchive, DuringARunNothingElseStartsAndTheDialogStays) {
  ASSERT_TRUE(Open(200000));
  w->Chart->SetRange(TRateChart::Bottom, 0.0, 1e6);
  dialogs.Names.push_back(QString::fromStdString(dir.File("big.txt")));
  dialogs.Answers.push_back(TMsgResult::Ok);
  bool checked = false, startEnabled = true, exitEnabled = true, groupEnabled = true, stayed = false;
  ASSERT_TRUE(Export([&] {
    // Served from the export's progress updates.
    QTimer::singleShot(0, e, [&] {
      checked = true;
      startEnabled = e->but_start->isEnabled();
      exitEnabled = e->but_exit->isEnabled();
      groupEnabled = e->GroupBox1->isEnabled();
      e->but_startClick();  // a second click
      e->reject();          // Escape or the title bar's close
      stayed = e->isVisible();
    });
    e->but_start->click();
    EXPECT_GT(e->CGauge1->maximum(), 0);
    EXPECT_EQ(e->CGauge1->value(), 0);
  }));
  EXPECT_TRUE(checked);
  EXPECT_FALSE(startEnabled);
  EXPECT_FALSE(exitEnabled);
  EXPECT_FALSE(groupEnabled);
  EXPECT_TRUE(stayed);
  EXPECT_EQ(dialogs.CountOf(TKind::SaveFile), 1);
  EXPECT_EQ(Messages(), std::vector<QString>{"Export file complied."});
  EXPECT_EQ(Lines(dir.File("big.txt")), 7u + 200000u);
}

TEST_F(ExportAndArchive, FailuresAreNeverReportedAsSuccess) {
  ASSERT_TRUE(Open(100));
  const std::string unwritable = dir.File("no/such/out.txt");
  dialogs.Names.push_back(QString::fromStdString(unwritable));
  dialogs.Answers.push_back(TMsgResult::Ok);
  ASSERT_TRUE(Export([&] { e->but_start->click(); }));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], QString::fromStdString("Cannot write export file\n" + unwritable +
                                                  "\nNo such file or directory"));
  EXPECT_EQ(dialogs.Calls.back().Icon, TMsgIcon::Stop);

  // A time that is not a number ends the export with that message alone.
  TRecordingFile f;
  f.Records = {{1, 0, 0}, {std::nanf(""), 0, 0}, {3, 0, 0}};
  f.Write(dir.File("run1.rtd"));
  dialogs.Calls.clear();
  dialogs.Names.push_back(QString::fromStdString(dir.File("nan.txt")));
  dialogs.Answers.push_back(TMsgResult::Ok);
  ASSERT_TRUE(Export([&] { e->but_start->click(); }));
  EXPECT_EQ(Messages(), std::vector<QString>{"Bad recording in file."});
  EXPECT_EQ(Lines(dir.File("nan.txt")), 7u + 1u);

  // The recording can no longer be read.
  ::unlink(dir.File("run1.rtd").c_str());
  ::mkdir(dir.File("run1.rtd").c_str(), 0777);
  dialogs.Calls.clear();
  dialogs.Names.push_back(QString::fromStdString(dir.File("x.txt")));
  dialogs.Answers.push_back(TMsgResult::Ok);
  ASSERT_TRUE(Export([&] { e->but_start->click(); }));
  EXPECT_EQ(Messages(), std::vector<QString>{"Not open file."});

  EXPECT_FALSE(dialogs.AnyUnexpected());
}

TEST_F(ExportAndArchive, SaveToServerCopiesUnderTheConfirmedOrTheOfferedName) {
  const std::string server = dir.File("arch");
  for (const char* folder : {"arch", "arch/VRDT40-000.000", "arch/VRDT40-000.000/00000"})
    ::mkdir(dir.File(folder).c_str(), 0777);
  w->Settings.ServerFolder = server;
  ASSERT_TRUE(Open(300, true, "0512.rtd"));
  EXPECT_FALSE(w->ac_saveserver->isVisible());
  w->ac_saveserver->setVisible(true);  // a hidden action reads as disabled
  EXPECT_TRUE(w->ac_saveserver->isEnabled());
  w->ac_saveserver->setVisible(false);

  dialogs.Names.push_back(QString());  // the name prompt is cancelled
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  const std::string target = server + "/VRDT40-000.000/00000/create_05122026_1030__file_0512.rtd";
  EXPECT_EQ(ReadBytes(target), ReadBytes(dir.File("0512.rtd")));
  ASSERT_GE(dialogs.Calls.size(), 2u);
  const auto& prompt = dialogs.Calls[dialogs.Calls.size() - 2];
  EXPECT_EQ(prompt.Kind, TKind::Input);
  EXPECT_EQ(prompt.Caption, "File name");
  EXPECT_EQ(prompt.Text, "Filename in server");
  EXPECT_EQ(dialogs.Calls.back().Text, "Save file server complied");
  EXPECT_EQ(dialogs.Calls.back().Icon, TMsgIcon::None);
  RunFor(20);
  EXPECT_FALSE(w->CGauge1->isVisible());

  // No server folder, or a missing sub-folder: refused, with the reason.
  w->Settings.ServerFolder = "";
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  EXPECT_TRUE(dialogs.Calls.back().Text.startsWith("Not save file server\n"));
  ASSERT_EQ(std::system(("rm -rf '" + server + "/VRDT40-000.000/00000'").c_str()), 0);
  w->Settings.ServerFolder = server;
  dialogs.Names.push_back("again");
  dialogs.Answers.push_back(TMsgResult::Ok);
  w->ac_saveserverExecute();
  EXPECT_EQ(dialogs.Calls.back().Text, QString::fromStdString("Not save file server\n" + server +
                                                              "/VRDT40-000.000/00000: No such file or directory"));
  EXPECT_FALSE(dialogs.AnyUnexpected());

  // A headerless recording after this one: the action left enabled does nothing.
  ASSERT_TRUE(Open(10, false));
  const std::size_t calls = dialogs.Calls.size();
  w->ac_saveserverExecute();
  EXPECT_EQ(dialogs.Calls.size(), calls);
}

}  // namespace
