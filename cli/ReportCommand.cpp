#include "cli/ReportCommand.h"

#include <QApplication>
#include <QFile>
#include <cstdlib>
#include <ostream>
#include <thread>

#include "cli/CliCommands.h"
#include "cli/Fields.h"
#include "report/ReportContent.h"
#include "report/ReportPdf.h"
#include "ui/RecordingSeries.h"

namespace cli {

namespace {

// The plots are widgets, which need an application object; the report
// needs no screen, so it draws on Qt's offscreen platform unless the user
// chose another one: the tool runs the same on a test stand without a
// display as at a desk.
void EnsureApplication() {
  if (QCoreApplication::instance()) return;
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  static int argc = 1;
  static char name[] = "ratelog-cli";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
}

std::string VerdictText(const std::optional<bool>& verdict) {
  if (!verdict) return "none";
  return *verdict ? "PASS" : "FAIL";
}

}  // namespace

int Report(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"report needs one recording file"};
  TReportRequest request;
  request.Path = o.positional[0];

  // The limits first: a wrong name is a usage error before any work.
  const std::vector<std::string> known = KnownFieldNames();
  for (const std::string& text : o.All("limit")) {
    std::string error;
    auto limit = ParseLimit(text, known, error);
    if (!limit) throw UsageError{error};
    request.Limits.push_back(*limit);
  }
  if (!LoadSettings(o, request.Settings, err)) return ExitFailure;
  request.Sigma = ApplyCalcOptions(o, request.Settings);
  if (auto v = o.Number("begin")) request.Begin = *v;
  if (auto v = o.Number("end")) request.End = *v;
  const std::string target = o.Get("out").value_or(DefaultReportPath(request.Path));
  if (IsRecordingPath(target)) {
    err << "ratelog-cli: cannot write report " << target
        << ": it is a recording; choose another name\n";
    return ExitFailure;
  }

  // The chart's points are read on a thread of their own meanwhile.
  std::shared_ptr<TRecordingSeries> chart;
  std::string chartError;
  std::thread chartThread(
      [&] { chart = LoadChartData(request.Path, request.Settings, chartError); });
  TReportContent content;
  std::string error;
  const bool computed = ComputeReport(request, content, error);
  chartThread.join();
  if (!computed) {
    err << "ratelog-cli: cannot make the report: " << error << "\n";
    return ExitFailure;
  }
  if (!chart) {
    err << "ratelog-cli: cannot read recording " << chartError << "\n";
    return ExitFailure;
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
                            TextField("result", l.Pass ? "PASS" : "FAIL"), TextField("note", l.Note)});
    }
    limits += "]";
    out << JsonObject({TextField("report", target),
                       {"verdict", "", content.Verdict ? JsonString(VerdictText(content.Verdict)) : "null"}},
                      limits)
        << "\n";
  } else {
    out << "Report\t" << target << "\n";
    for (const TLimitResult& l : content.Limits)
      out << "Limit\t" << l.Limit.Text() << "\t" << l.Measured << "\t" << (l.Pass ? "PASS" : "FAIL")
          << (l.Note.empty() ? "" : "\t" + l.Note) << "\n";
    out << "Verdict\t" << VerdictText(content.Verdict) << "\n";
  }
  return content.Verdict == std::optional<bool>(false) ? ExitLimitsFailed : ExitOk;
}

}  // namespace cli
