#include "cli/ReportCommand.h"

#include <QApplication>
#include <QFile>
#include <clocale>
#include <cstdlib>
#include <future>
#include <ostream>
#include <thread>

#include "cli/BatchCompare.h"
#include "cli/CliCommands.h"
#include "cli/DbCommands.h"
#include "cli/Fields.h"
#include "cli/ScaleFactorCommands.h"
#include "files/HeaderText.h"
#include "report/BatchTable.h"
#include "report/ReportContent.h"
#include "report/ReportPdf.h"
#include "ui/RecordingSeries.h"

namespace cli {

namespace {

// The plots are widgets, which need an application object; the report
// needs no screen, so it draws on Qt's offscreen platform unless the user
// chose another one: the tool runs the same on a test stand without a
// display as at a desk. A variable set but empty counts as unset. Qt's own
// notes (a missing runtime folder, fonts) are not the tool's messages:
// they are dropped, the tool's errors say what failed.
void DropQtMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

void EnsureApplication() {
  if (QCoreApplication::instance()) return;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!platform || !*platform) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  qInstallMessageHandler(DropQtMessage);
  static int argc = 1;
  static char name[] = "ratelog-cli";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");  // Qt set the desktop's; the figures keep their point
}

// The specification the limits come from, for the text output (empty
// without one) and the JSON output (a member, or empty).
std::string SpecLine(const TTestSpec& spec) {
  if (spec.Name.empty()) return {};
  return "Specification\t" + Printable(spec.Name) + "\trevision " + Printable(spec.Revision) +
         (spec.UnitType.empty() ? "" : "\tunit type " + Printable(spec.UnitType)) + "\n";
}

std::string SpecJson(const TTestSpec& spec) {
  if (spec.Name.empty()) return {};
  return "\"specification\": " + JsonObject({TextField("name", spec.Name), TextField("revision", spec.Revision),
                                               TextField("unit type", spec.UnitType)}) + ", ";
}

// Several recordings: one summary page, then each unit's report.
int BatchReport(const Options& o, std::ostream& out, std::ostream& err) {
  const std::optional<std::string> target = o.Get("out");
  if (!target || target->empty()) throw UsageError{"a report of several recordings needs --out FILE.pdf"};
  TTestSpec spec;
  LimitOptions(o, &spec);  // a wrong name is a usage error before any work
  if (IsRecordingPath(*target)) {
    err << "ratelog-cli: cannot write report " << *target << ": it is a recording; choose another name\n";
    return ExitFailure;
  }
  std::vector<TReportContent> units;
  bool incomplete = false;
  if (!ComputeBatch(o, units, err, incomplete)) return ExitFailure;
  if (incomplete) {
    err << "ratelog-cli: no report written: every recording of the batch must be readable\n";
    return ExitFailure;
  }
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;
  AddStoreHistory(o, units, o.Flag("history"), err);
  // Each unit's chart is read while the unit before it is drawn.
  std::vector<std::string> errors(units.size());
  std::future<std::shared_ptr<TRecordingSeries>> next;
  const auto load = [&](std::size_t i) {
    return std::async(std::launch::async, [&, i] { return LoadChartData(units[i].Path, settings, errors[i]); });
  };
  next = load(0);
  const TChartSource chart = [&](std::size_t i, std::string& error) {
    std::shared_ptr<TRecordingSeries> store = next.get();
    if (i + 1 < units.size()) next = load(i + 1);
    if (!store) error = "cannot read recording " + errors[i];
    return store;
  };
  EnsureApplication();
  QString written;
  const bool ok = WriteBatchReportPdf(units, chart, QFile::decodeName(target->c_str()), written);
  if (next.valid()) next.wait();
  if (!ok) {
    err << "ratelog-cli: cannot write report " << written.toStdString() << "\n";
    return ExitFailure;
  }

  std::vector<TBatchRow> rows;
  for (const TReportContent& c : units) rows.push_back(BatchRowOf(c));
  const TVerdict verdict = BatchVerdict(rows);
  if (o.Flag("json")) {
    std::string list = "\"units\": [";
    for (std::size_t i = 0; i < rows.size(); ++i)
      list += (i ? ", " : "") + JsonObject({TextField("file", rows[i].Path), TextField("identification", rows[i].Ident),
                                            {"verdict", "", rows[i].Verdict != TVerdict::None ? JsonString(VerdictText(rows[i].Verdict)) : "null"},
                                            TextField("failed", FailedLimits(rows[i]))});
    out << JsonObject({TextField("report", *target),
                       {"verdict", "", verdict != TVerdict::None ? JsonString(VerdictText(verdict)) : "null"}},
                      SpecJson(spec) + list + "]")
        << "\n";
  } else {
    out << "Report\t" << *target << "\n" << SpecLine(spec);
    for (const TBatchRow& r : rows)
      out << "Unit\t" << Printable(r.Path) << "\t" << Printable(r.Ident) << "\t" << VerdictText(r.Verdict)
          << (FailedLimits(r).empty() ? "" : "\t" + FailedLimits(r)) << "\n";
    out << "Verdict\t" << VerdictText(verdict) << "\n";
  }
  StoreResults(o, "report", units, err);
  return VerdictExitCode(verdict);
}

}  // namespace

int Report(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() > 1) return BatchReport(o, out, err);
  if (o.positional.size() != 1) throw UsageError{"report needs one recording file"};
  TReportRequest request;
  request.Path = o.positional[0];

  // The limits first: a wrong name is a usage error before any work.
  request.Limits = LimitOptions(o, &request.Spec);
  request.CodePage = UserHeaderCodePage();
  request.Document = DocumentOptions(o);
  if (!LoadSettings(o, request.Settings, err)) return ExitFailure;
  request.Sigma = ApplyCalcOptions(o, request.Settings);
  if (!ScaleFactorRequestOptions(o, request.ScaleFactor, err)) return ExitFailure;
  if (auto v = o.Number("begin")) request.Begin = *v;
  if (auto v = o.Number("end")) request.End = *v;
  const std::string target = o.Get("out").value_or(DefaultReportPath(request.Path));
  if (IsRecordingPath(target)) {
    err << "ratelog-cli: cannot write report " << target
        << ": it is a recording; choose another name\n";
    return ExitFailure;
  }

  // The chart's points are read once the figures are computed and their
  // copies of the span are gone: a long recording is held once at a time.
  TReportContent content;
  std::string error;
  if (!ComputeReport(request, content, error)) {
    err << "ratelog-cli: cannot make the report: " << error << "\n";
    return ExitFailure;
  }
  std::string chartError;
  const std::shared_ptr<TRecordingSeries> chart = LoadChartData(request.Path, request.Settings, chartError);
  if (!chart) {
    err << "ratelog-cli: cannot read recording " << chartError << "\n";
    return ExitFailure;
  }
  if (o.Flag("history")) {
    std::vector<TReportContent> one = {std::move(content)};
    AddStoreHistory(o, one, true, err);
    content = std::move(one[0]);
  }
  EnsureApplication();
  QString written;
  if (!WriteReportPdf(content, chart, QFile::decodeName(target.c_str()), written)) {
    err << "ratelog-cli: cannot write report " << written.toStdString() << "\n";
    return ExitFailure;
  }

  if (o.Flag("json")) {
    std::string limits = "\"limits\": [";
    for (std::size_t i = 0; i < content.Limits.size(); ++i) {
      const TLimitResult& l = content.Limits[i];
      limits += (i ? ", " : "") +
                JsonObject({TextField("limit", l.Limit.Text()), NumberField("measured", l.Measured),
                            TextField("unit", l.Unit),
                            TextField("result", VerdictName(l.Result)), TextField("note", l.Note)});
    }
    limits += "]";
    out << JsonObject({TextField("report", target),
                       {"verdict", "", content.Verdict != TVerdict::None ? JsonString(VerdictText(content.Verdict)) : "null"}},
                      SpecJson(request.Spec) + limits)
        << "\n";
  } else {
    out << "Report\t" << target << "\n" << SpecLine(request.Spec);
    for (const TLimitResult& l : content.Limits)
      out << "Limit\t" << l.Limit.Text() << "\t" << l.Measured << "\t" << VerdictName(l.Result)
          << (l.Note.empty() ? "" : "\t" + l.Note) << "\n";
    out << "Verdict\t" << VerdictText(content.Verdict) << "\n";
  }
  StoreResults(o, "report", {content}, err);
  return VerdictExitCode(content.Verdict);
}

}  // namespace cli
