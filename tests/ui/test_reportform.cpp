// The report dialog: figures computed off the window's thread, limits from
// and to the per-user limits file, verdict, preview pages, Save PDF.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QPrintPreviewWidget>
#include <QPushButton>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>
#include <cmath>

#include "common/TestFiles.h"
#include "common/Waiting.h"
#include "report/ReportForm.h"
#include "report/ReportPdf.h"
#include "store/ResultsStore.h"
#include "ui/RecordingSeries.h"
#include "ui/ScriptedDialogs.h"

namespace {

// A report request on unit7.rtd in `tmp`: 10 s at 100 Hz of a steady 36 deg/h.
TReportRequest SteadyUnit7(const TTempDir& tmp) {
  TReportRequest request;
  request.Path = tmp.File("unit7.rtd");
  Bytes b = RecordingHeader(100.0f);
  for (int i = 1; i <= 1000; ++i) AddRecord(b, static_cast<float>(i) * 0.01f, 0.01f, 25.0f);
  WriteBytes(request.Path, b);
  return request;
}

TEST(ReportForm, LimitsVerdictPreviewAndSave) {
  TTempDir tmp;
  const std::string rtd = tmp.File("unit7.rtd"), limits = tmp.File("cfg/ratelog/report-limits.txt");
  Bytes b = RecordingHeader(100.0f);
  // 0.012 and 0.008 deg/s in turn: a mean of 36 deg/h.
  for (int i = 1; i <= 1000; ++i)
    AddRecord(b, static_cast<float>(i) * 0.01f, (i % 2) ? 0.012f : 0.008f, 25.0f);
  WriteBytes(rtd, b);
  ::mkdir(tmp.File("cfg").c_str(), 0755);
  ::mkdir(tmp.File("cfg/ratelog").c_str(), 0755);
  WriteBytes(limits, {'a', 'v', 'e', 'r', 'a', 'g', 'e', '_', 'v', 'a', 'l', 'u', 'e', '_', 's', 'i',
                      'g', 'n', 'a', 'l', '<', '=', '3', '6', '.', '5', '\n'});

  TScriptedDialogs dialogs;
  TReportRequest request;
  request.Path = rtd;
  std::string error;
  auto chart = LoadChartData(rtd, request.Settings, error);
  ASSERT_TRUE(chart) << error;
  TReportFrm form;
  form.Start(request, chart, limits);
  EXPECT_TRUE(form.isVisible());
  ASSERT_TRUE(RunUntil([&] { return form.Ready(); }));
  EXPECT_EQ(form.e_limits->toPlainText(), QStringLiteral("average_value_signal<=36.5\n"));
  EXPECT_EQ(form.lab_state->text(), QStringLiteral("Verdict: PASS"));
  EXPECT_GE(form.Preview->pageCount(), 2);

  // Another limit: evaluated at once, kept in the file.
  form.e_limits->setPlainText(QStringLiteral("average_value_signal>=36.5\n"));
  form.but_apply->click();
  EXPECT_EQ(form.lab_state->text(), QStringLiteral("Verdict: FAIL"));
  EXPECT_EQ(ReadText(limits), "average_value_signal>=36.5\n");

  // A line that is no limit: said so, nothing changes.
  form.e_limits->setPlainText(QStringLiteral("noise<=1\n"));
  form.but_apply->click();
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_TRUE(dialogs.Calls[0].Text.contains(QStringLiteral("line 1: limit 'noise<=1': unknown field")))
      << dialogs.Calls[0].Text.toStdString();
  EXPECT_EQ(ReadText(limits), "average_value_signal>=36.5\n");
  EXPECT_EQ(form.lab_state->text(), QStringLiteral("Verdict: FAIL"));

  // Save: the name offered is the recording's with .pdf; a recording's
  // name is refused with a message.
  form.e_limits->setPlainText(QStringLiteral("average_value_signal>=36.5\n"));
  dialogs.Names = {QString::fromStdString(tmp.File("out.pdf")), QString::fromStdString(rtd)};
  form.BtnSave->click();
  ASSERT_EQ(dialogs.Calls.size(), 2u);
  EXPECT_EQ(dialogs.Calls[1].Request.FileName, QString::fromStdString(tmp.File("unit7.pdf")));
  EXPECT_EQ(ReadText(tmp.File("out.pdf")).rfind("%PDF-", 0), 0u);
  const Bytes before = ReadBytes(rtd);
  form.BtnSave->click();
  ASSERT_EQ(dialogs.Calls.size(), 4u);
  EXPECT_TRUE(dialogs.Calls[3].Text.contains(QStringLiteral("never written over")))
      << dialogs.Calls[3].Text.toStdString();
  EXPECT_EQ(ReadBytes(rtd), before);
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// Each saved report's result goes to the results store beside the dialog:
// once however often the same report is saved, again with other limits; a
// server that cannot be reached has it queued in the user's own file.
TEST(ReportForm, ASavedReportsResultReachesTheResultsStore) {
  TTempDir tmp;
  const TScopedEnv data("XDG_DATA_HOME", tmp.File("data"));
  const std::string db = tmp.File("results.sqlite");
  TScriptedDialogs dialogs;
  const TReportRequest request = SteadyUnit7(tmp);
  TReportFrm form;
  form.StoreTarget = db;
  int stored = 0;
  QObject::connect(&form, &TReportFrm::Stored, [&] { ++stored; });
  form.Start(request, nullptr, tmp.File("limits.txt"));
  ASSERT_TRUE(RunUntil([&] { return form.Ready(); }));
  const auto save = [&](const char* limits, const char* name) {
    form.e_limits->setPlainText(QString::fromLatin1(limits));
    dialogs.Names = {QString::fromStdString(tmp.File(name))};
    const int before = stored;
    form.BtnSave->click();
    return RunUntil([&] { return stored > before; });
  };
  ASSERT_TRUE(save("average_value_signal<=36.5", "a.pdf"));
  EXPECT_EQ(form.lab_store->text(), QString::fromStdString("Results store: result stored in " + db));
  ASSERT_TRUE(save("average_value_signal<=36.5", "b.pdf"));
  EXPECT_EQ(form.lab_store->text(), QString::fromStdString("Results store: result already stored in " + db));
  ASSERT_TRUE(save("average_value_signal>=36.5", "c.pdf"));
  std::vector<std::string> verdicts;
  for (const TStoredRun& run : OpenResultsStore(db)->History("VRDT40-123.456-00042")) {
    EXPECT_EQ(run.Command, "report");
    for (const TStoredFigure& f : run.Figures)
      if (f.Name == "average_value_signal") verdicts.push_back(run.Verdict + " " + f.Verdict);
  }
  std::sort(verdicts.begin(), verdicts.end());
  EXPECT_EQ(verdicts, (std::vector<std::string>{"FAIL FAIL", "PASS PASS"}));

  form.StoreTarget = "host=" + tmp.File("nowhere") + " dbname=ratelog";
  ASSERT_TRUE(save("average_value_signal<=36.5", "d.pdf"));
  const std::string queue = tmp.File("data/ratelog/results.sqlite");
  EXPECT_TRUE(form.lab_store->text().startsWith(QString::fromStdString("Results store: result queued in " + queue)))
      << form.lab_store->text().toStdString();
  EXPECT_EQ(OpenResultsStore(queue)->QueuedKeys(form.StoreTarget).size(), 1u);
  EXPECT_EQ(ReadText(tmp.File("d.pdf")).rfind("%PDF-", 0), 0u);
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// The document's fields reach the report and stay for the next one, in this
// dialog and in one opened later; a latitude that is no number is said so.
TEST(ReportForm, DocumentFieldsReachTheReportAndTheNextOne) {
  TTempDir tmp;
  const std::string document = tmp.File("cfg/ratelog/report-document.txt");
  TScriptedDialogs dialogs;
  const TReportRequest request = SteadyUnit7(tmp);
  const auto row = [](const TReportSection& s, const char* caption) {
    for (const TFigure& f : s.Rows)
      if (f.Caption == caption) return f.Text;
    return std::string("missing");
  };
  TReportFrm form;
  form.Start(request, nullptr, tmp.File("limits.txt"), document);
  ASSERT_TRUE(RunUntil([&] { return form.Ready(); }));
  const std::pair<QLineEdit*, const char*> typed[] = {
      {form.e_number, "R-17"}, {form.e_revision, "B"}, {form.e_latitude, "55.75"}, {form.e_axis, "up"},
      {form.e_chamber, "23 °C"}, {form.e_station, "Stand 3"}, {form.e_equipment, "RT-1"},
      {form.e_tested, "Иванов И.И."}, {form.e_checked, "K. Lee"}, {form.e_approved, "M. Roy"}};
  for (const auto& [edit, text] : typed) edit->setText(QString::fromUtf8(text));
  dialogs.Names = {QString::fromStdString(tmp.File("out.pdf"))};
  form.BtnSave->click();
  const auto expectDocument = [&](const TReportContent& c, const char* when) {
    const TReportDocument& d = c.Document;
    EXPECT_EQ(d.Number + d.Revision + d.TestedBy + d.CheckedBy + d.ApprovedBy + row(c.Conditions, "Latitude") +
                  row(c.Conditions, "Input axis") + row(c.Conditions, "Ambient or chamber") +
                  row(c.Conditions, "Station") + row(c.Equipment, "Test equipment"),
              "R-17BИванов И.И.K. LeeM. Roy55.75up23 °CStand 3RT-1") << when;
  };
  expectDocument(form.Content(), "saved");
  std::string text(1 << 16, '\0');
  FILE* pipe = ::popen(("pdftotext -layout " + tmp.File("out.pdf") + " -").c_str(), "r");
  text.resize(std::fread(text.data(), 1, text.size(), pipe));
  ::pclose(pipe);
  for (const char* part : {"Report no. R-17 Revision B", "Stand 3", "Иванов И.И.", "M. Roy", "RT-1"})
    EXPECT_NE(text.find(part), std::string::npos) << part;
  form.Start(request, nullptr, tmp.File("limits.txt"), document);
  ASSERT_TRUE(RunUntil([&] { return form.Ready(); }));
  expectDocument(form.Content(), "second report");
  TReportFrm later;
  later.Start(request, nullptr, tmp.File("limits.txt"), document);
  ASSERT_TRUE(RunUntil([&] { return later.Ready(); }));
  expectDocument(later.Content(), "a new dialog");

  later.e_latitude->setText(QStringLiteral("north"));
  dialogs.Answers = {TMsgResult::Ok};
  later.but_apply->click();
  ASSERT_EQ(dialogs.CountOf(TScriptedDialogs::TKind::Message), 1);
  EXPECT_EQ(row(later.Content().Conditions, "Latitude"), "not stated");
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// Every limit name through the window, on a recording with a temperature
// model: the limits from the file, applied again and saved all see every
// figure (the temperature model's included), as the command-line tool.
TEST(ReportForm, EveryLimitNameSeesItsFigure) {
  TTempDir tmp;
  const std::string rtd = tmp.File("cycle.rtd"), limits = tmp.File("limits.txt");
  // 20 -> 40 -> 20 deg C at 2 deg C/min, 10 Hz: bias 3 + 0.2 T deg/h.
  Bytes b = RecordingHeader(10.0f);
  for (int i = 1; i <= 12000; ++i) {
    const double t = i * 0.1, T = t < 600 ? 20 + t / 30 : 40 - (t - 600) / 30;
    AddRecord(b, static_cast<float>(t), static_cast<float>((3 + 0.2 * T + ((i % 2) ? 0.05 : -0.05)) / 3600),
              static_cast<float>(T));
  }
  WriteBytes(rtd, b);
  std::string text;
  for (const std::string& name : KnownFieldNames()) text += name + ">=-1e9\n";
  WriteBytes(limits, Bytes(text.begin(), text.end()));

  TScriptedDialogs dialogs;
  TReportRequest request;
  request.Path = rtd;
  TReportFrm form;
  form.Start(request, nullptr, limits);
  ASSERT_TRUE(RunUntil([&] { return form.Ready(); }, 60000));
  const auto check = [&](const char* when) {
    ASSERT_EQ(form.Content().Limits.size(), KnownFieldNames().size()) << when;
    int passed = 0;
    for (const TLimitResult& l : form.Content().Limits) {
      const bool measured = std::isfinite(PrintedNumber(l.Measured));
      EXPECT_EQ(l.Result, measured ? TVerdict::Pass : TVerdict::Incomplete) << when << " " << l.Limit.Text();
      passed += l.Pass();
      if (l.Limit.Name == "b1") {
        EXPECT_NEAR(PrintedNumber(l.Measured), 0.2, 0.01) << when;
      }
    }
    EXPECT_GE(passed, 25) << when;
  };
  check("from the file");
  const TVerdict verdict = form.Content().Verdict;
  form.but_apply->click();
  check("applied");
  dialogs.Names = {QString::fromStdString(tmp.File("out.pdf"))};
  form.BtnSave->click();
  check("saved");
  EXPECT_EQ(form.Content().Verdict, verdict);
  EXPECT_TRUE(form.lab_state->text().startsWith(QStringLiteral("Verdict: ") + VerdictName(verdict)));
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// A span without records makes no report: the dialog says why and offers
// nothing to save. Limits and document fields that cannot be kept (a file
// stands where their folder would be) are said so beside the verdict.
TEST(ReportForm, WhatCannotBeDoneIsSaid) {
  TTempDir tmp;
  TScriptedDialogs dialogs;
  const TReportRequest whole = SteadyUnit7(tmp);
  TReportRequest request = whole;
  WriteBytes(tmp.File("cfg"), {});
  const std::string limits = tmp.File("cfg/limits.txt"), document = tmp.File("cfg/document.txt");
  request.Begin = 20;
  request.End = 30;  // past the last record, at 10 s
  TReportFrm form;
  int computed = 0;
  QObject::connect(&form, &TReportFrm::Computed, [&] { ++computed; });
  form.Start(request, nullptr, limits, document);
  ASSERT_TRUE(RunUntil([&] { return computed == 1; }));
  EXPECT_EQ(form.lab_state->text().toStdString(), "No report: no record between 20.000000 and 30.000000 s in " + request.Path);
  EXPECT_FALSE(form.Ready() || form.BtnSave->isEnabled());
  form.Start(whole, nullptr, limits, document);
  ASSERT_TRUE(RunUntil([&] { return form.Ready(); }));
  form.e_limits->setPlainText(QStringLiteral("average_value_signal<=36.5"));
  form.but_apply->click();
  EXPECT_EQ(form.lab_state->text().toStdString(), "Verdict: PASS  \u2014  the document's fields could not be kept in " +
                                                      document + "; the limits could not be kept in " + limits);
  EXPECT_FALSE(dialogs.AnyUnexpected());
}

// Closing the dialog while the figures are computed ends the work, and the
// report opened again at once shows only its own figures (nothing of the
// computation it ended); the dialog can be destroyed at once.
TEST(ReportForm, ClosingWhileComputingAndReopening) {
  TTempDir tmp;
  const std::string rtd = tmp.File("long.rtd");
  Bytes b = RecordingHeader(100.0f);
  for (int i = 1; i <= 400000; ++i) AddRecord(b, static_cast<float>(i) * 0.01f, 0.01f, 25.0f);
  WriteBytes(rtd, b);
  TReportRequest request;
  request.Path = rtd;
  auto form = std::make_unique<TReportFrm>();
  int computed = 0;
  QObject::connect(form.get(), &TReportFrm::Computed, [&] { ++computed; });
  form->Start(request, nullptr, tmp.File("limits.txt"));
  form->BtnClose->click();
  EXPECT_FALSE(form->isVisible());
  form->Start(request, nullptr, tmp.File("limits.txt"));
  ASSERT_TRUE(RunUntil([&] { return form->Ready(); }));
  RunFor(50);
  EXPECT_EQ(computed, 1);
  EXPECT_EQ(form->Content().SpanRecords, 400000);
  EXPECT_EQ(form->lab_state->text(), QStringLiteral("No limits: no verdict"));
  form->Start(request, nullptr, tmp.File("limits.txt"));
  form->BtnClose->click();
  form.reset();
}

}  // namespace
