#include "cli/BatchCompare.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/DbCommands.h"
#include "cli/Fields.h"
#include "cli/ScaleFactorCommands.h"
#include "files/HeaderText.h"
#include "report/BatchTable.h"

namespace cli {

// Identifications come from devices: control characters are shown escaped
// so that they cannot break the table.
std::string Printable(const std::string& text) {
  std::string out;
  char hex[8];
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '\\') {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string VerdictText(TVerdict verdict) { return VerdictName(verdict); }

int VerdictExitCode(TVerdict verdict) {
  return verdict == TVerdict::Fail ? ExitLimitsFailed : verdict == TVerdict::Incomplete ? ExitIncomplete : ExitOk;
}

std::string FailedLimits(const TBatchRow& row) {
  std::string text;
  for (const TLimitResult& l : row.Limits)
    if (!l.Pass()) text += (text.empty() ? "" : ", ") + l.Limit.Text() + (l.Note.empty() ? "" : " (" + l.Note + ")");
  return text;
}

namespace {

std::string LimitsJson(const std::vector<TLimitResult>& results) {
  std::string list = "[";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const TLimitResult& l = results[i];
    list += (i ? ", " : "") +
            JsonObject({TextField("limit", l.Limit.Text()), NumberField("measured", l.Measured),
                        TextField("unit", l.Unit), TextField("result", VerdictName(l.Result)),
                        TextField("note", l.Note)});
  }
  return list + "]";
}

}  // namespace

std::vector<TLimit> LimitOptions(const Options& o, TTestSpec* spec) {
  std::vector<TLimit> limits;
  const std::vector<std::string> known = KnownFieldNames();
  if (const auto file = o.Get("spec")) {
    std::ifstream in(*file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) throw UsageError{"--spec " + *file + ": cannot read the specification"};
    TTestSpec parsed;
    std::vector<std::string> errors;
    if (!ParseTestSpec(text.str(), known, parsed, errors)) {
      std::string message = "--spec " + *file + ":";
      for (const std::string& e : errors) message += "\n  " + e;
      throw UsageError{message};
    }
    limits = parsed.Limits;
    if (spec) *spec = parsed;
  }
  for (const std::string& text : o.All("limit")) {
    std::string error;
    auto limit = ParseLimit(text, known, error);
    if (!limit) throw UsageError{error};
    limits.push_back(*limit);
  }
  if (const std::string error = ContradictoryLimits(limits); !error.empty()) throw UsageError{error};
  return limits;
}

TReportDocument DocumentOptions(const Options& o) {
  TReportDocument d;
  const auto take = [&](const char* name, std::string& field) { field = o.Get(name).value_or(""); };
  take("report-number", d.Number);
  take("report-revision", d.Revision);
  take("axis", d.Axis);
  take("station", d.Station);
  take("chamber", d.Chamber);
  take("equipment", d.Equipment);
  take("tested-by", d.TestedBy);
  take("checked-by", d.CheckedBy);
  take("approved-by", d.ApprovedBy);
  if (const auto latitude = o.Number("latitude")) {
    if (!(*latitude >= -90 && *latitude <= 90)) throw UsageError{"--latitude must be degrees from -90 to 90"};
    d.Latitude = *o.Get("latitude");
  }
  return d;
}

bool ComputeBatch(const Options& o, std::vector<TReportContent>& units, std::ostream& err, bool& incomplete) {
  if (o.positional.empty()) throw UsageError{"batch needs the recordings of the batch"};
  TReportRequest request;
  // The limits first: a wrong name is a usage error before any work.
  request.Limits = LimitOptions(o, &request.Spec);
  request.CodePage = UserHeaderCodePage();
  request.Document = DocumentOptions(o);
  if (!LoadSettings(o, request.Settings, err)) return false;
  request.Sigma = ApplyCalcOptions(o, request.Settings);  // the report's options; batch has none
  if (auto v = o.Number("begin")) request.Begin = *v;
  if (auto v = o.Number("end")) request.End = *v;
  if (!ScaleFactorRequestOptions(o, request.ScaleFactor, err)) return false;
  incomplete = false;
  // The same recording twice would count one unit twice in the spread.
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (std::size_t i = 0; i < o.positional.size(); ++i) {
    struct stat st {};
    if (::stat(o.positional[i].c_str(), &st) != 0) continue;
    for (std::size_t k = 0; k < seen.size(); ++k)
      if (seen[k] == std::make_pair(st.st_dev, st.st_ino))
        throw UsageError{"the same recording is named twice: " + o.positional[k] + " and " + o.positional[i]};
    seen.emplace_back(st.st_dev, st.st_ino);
  }
  for (const std::string& path : o.positional) {
    request.Path = path;
    TReportContent content;
    std::string error;
    if (!ComputeReport(request, content, error)) {
      err << "ratelog-cli: " << (error.rfind("no record", 0) == 0 ? "" : "cannot read recording ") << error
          << " (left out)\n";
      incomplete = true;
      continue;
    }
    units.push_back(std::move(content));
  }
  ApplyBatchScaleFactor(units, request.Limits);
  return true;
}

int Batch(const Options& o, std::ostream& out, std::ostream& err) {
  std::vector<TReportContent> contents;
  bool incomplete = false;
  if (!ComputeBatch(o, contents, err, incomplete)) return ExitFailure;
  std::vector<TBatchRow> units;
  for (const TReportContent& c : contents) units.push_back(BatchRowOf(c));
  const int sigma = contents.empty() ? 1 : contents.front().Sigma;
  const TScaleFactorRuns runs = contents.empty() ? TScaleFactorRuns{} : contents.front().ScaleFactor.Runs;
  StoreResults(o, "batch", contents, err);
  contents.clear();
  // The scale-factor columns follow where a unit holds a rate-table test.
  std::vector<TBatchColumn> columns = BatchColumns();
  std::vector<TBatchSpread> spread = BatchSpread(units);
  const bool scaleFactor = BatchHasScaleFactor(units);
  if (scaleFactor) {
    for (const TBatchColumn& c : BatchScaleFactorColumns()) columns.push_back(c);
    for (const TBatchSpread& sp : BatchScaleFactorSpread(units)) spread.push_back(sp);
    for (TBatchRow& u : units) u.Cells.insert(u.Cells.end(), u.ScaleFactorCells.begin(), u.ScaleFactorCells.end());
  }
  const bool limits = !o.All("limit").empty() || o.Get("spec");
  const TVerdict verdict = BatchVerdict(units);

  if (o.Flag("json")) {
    // {"recordings": [{"file": .., "identification": .., "records": .., ...,
    //  ["result": .., "limits": [..]]}], "mean": {...}, "sample_std_dev": {...},
    //  "minimum": {...}, "maximum": {...}, "count": {...}, "units": {...}
    //  [, "verdict": ..]}
    std::string rows = "\"recordings\": [";
    for (std::size_t i = 0; i < units.size(); ++i) {
      std::vector<Field> fields = {TextField("File", units[i].Path), TextField("Identification", units[i].Ident)};
      for (const TFigure& cell : units[i].Cells) fields.push_back(NumberField(cell.Caption, cell.Text));
      if (limits) fields.push_back(TextField("Result", VerdictText(units[i].Verdict)));
      rows += (i ? ", " : "") +
              JsonObject(fields, limits ? "\"limits\": " + LimitsJson(units[i].Limits) : std::string());
    }
    rows += "]";
    // "mean", "sample_std_dev" (n - 1), "minimum", "maximum": an object of
    // the columns each.
    std::string stats;
    for (const TBatchSpreadRow& s : kBatchSpreadRows) {
      std::vector<Field> fields;
      for (std::size_t c = 0; c < columns.size(); ++c)
        fields.push_back({columns[c].Caption, "", JsonNumber(spread[c].*(s.Value))});
      stats += ", " + JsonString(s.Json) + ": " + JsonObject(fields);
    }
    std::vector<Field> counts, dims;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      counts.push_back(IntegerField(columns[c].Caption, static_cast<std::int64_t>(spread[c].Count)));
      dims.push_back(TextField(columns[c].Caption, columns[c].Unit));
    }
    const std::string across =
        scaleFactor ? ", \"scale_factor_runs\": " +
                          JsonObject({IntegerField("runs", static_cast<std::int64_t>(runs.Runs)),
                                      {"mean_scale_factor", "", JsonNumber(runs.MeanK)},
                                      {"sf_repeatability_ppm", "", JsonNumber(runs.RepeatabilityPpm)},
                                      {"sf_repeatability_ppm_lo", "", JsonNumber(runs.RepeatabilityLo)},
                                      {"sf_repeatability_ppm_hi", "", JsonNumber(runs.RepeatabilityHi)},
                                      {"sf_tc_runs_ppm_per_c", "", JsonNumber(runs.TcPpmPerC)},
                                      {"sf_tc_runs_ppm_per_c_se", "", JsonNumber(runs.TcSe)}})
                    : std::string();
    out << "{" << rows << stats << ", \"count\": " << JsonObject(counts)
        << ", \"units\": " << JsonObject(dims) << across
        << (limits ? ", \"verdict\": " + JsonString(VerdictText(verdict)) : std::string()) << "}\n";
  } else {
    // Tab-separated: a heading, one row per recording, then the spread.
    out << "File\tIdentification";
    for (const TBatchColumn& c : columns) out << "\t" << BatchColumnCaption(c, sigma) << (c.Unit.empty() ? "" : " ") << c.Unit;
    out << (limits ? "\tResult\tFailed limits\n" : "\n");
    for (const TBatchRow& u : units) {
      out << Printable(u.Path) << "\t" << Printable(u.Ident);
      for (const TFigure& cell : u.Cells) out << "\t" << cell.Text;
      if (limits) out << "\t" << VerdictText(u.Verdict) << "\t" << FailedLimits(u);
      out << "\n";
    }
    for (const TBatchSpreadRow& s : kBatchSpreadRows) {
      out << s.Name << "\t";
      for (const TBatchSpread& sp : spread) out << "\t" << BatchSpreadText(sp.*(s.Value));
      out << (limits ? "\t\t\n" : "\n");
    }
    if (scaleFactor) {
      // K over the units with a rate-table test.
      out << "Scale factor over " << runs.Runs << " runs\tmean K " << BatchSpreadText(runs.MeanK)
          << "\tsf_repeatability_ppm " << BatchSpreadText(runs.RepeatabilityPpm) << " (68.3 % interval "
          << BatchSpreadText(runs.RepeatabilityLo) << " .. " << BatchSpreadText(runs.RepeatabilityHi)
          << ")\tsf_tc_runs_ppm_per_c " << BatchSpreadText(runs.TcPpmPerC) << " \u00B1 "
          << BatchSpreadText(runs.TcSe) << " (K against each run's mean temperature)\n";
    }
  }
  if (incomplete || units.empty()) return ExitFailure;
  return VerdictExitCode(verdict);
}

}  // namespace cli
