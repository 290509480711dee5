#include "cli/DbCommands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

#include "RatelogVersion.h"
#include "acquisition/HostInfo.h"
#include "cli/BatchCompare.h"
#include "cli/CliCommands.h"
#include "cli/Fields.h"
#include "processing/NumberFormat.h"
#include "store/ControlChart.h"
#include "store/ResultDelivery.h"
#include "store/UnitHistory.h"
#include "report/Sha256.h"

namespace cli {

namespace {

// Fewer earlier results of a type than this make no control limits.
constexpr std::size_t kControlMinimum = 5;

TStoreTarget Target(const Options& o) { return EnvironmentStoreTarget(o.Get("db")); }

TRunContext Context(const char* command) {
  return {command, ComputerName(), UserName(), RATELOG_VERSION, ""};
}

std::string Number(double v) { return std::isfinite(v) ? FormatGeneral(v, '.', 10) : "NAN"; }

// Whether the recording is still what was analysed.
std::string RecordingState(const TStoredRun& r) {
  struct stat st {};
  if (::stat(r.RecordingPath.c_str(), &st) != 0) return "missing";
  if (st.st_size != r.Size) return "changed";
  std::string sha, error;
  std::int64_t size = 0;
  if (!Sha256File(r.RecordingPath, sha, size, error)) return "unreadable";
  return sha == r.Sha256 ? "unchanged" : "changed";
}

std::vector<Field> RunFields(const TStoredRun& r) {
  return {TextField("Started", r.Started),
          TextField("Ended", r.Ended),
          TextField("Command", r.Command),
          TextField("Verdict", r.Verdict.empty() ? "none" : r.Verdict),
          TextField("Recording", r.RecordingPath),
          TextField("SHA-256", r.Sha256),
          IntegerField("Size", r.Size),
          IntegerField("Records", r.Records),
          {"Span begin", Number(r.SpanBegin), JsonNumber(r.SpanBegin)},
          {"Span end", Number(r.SpanEnd), JsonNumber(r.SpanEnd)},
          TextField("Mode", r.Mode),
          {"Data rate", Number(r.DataRate), JsonNumber(r.DataRate)},
          TextField("Station", r.Station),
          TextField("Operator", r.Operator),
          TextField("Program version", r.ProgramVersion),
          TextField("Settings", r.Settings),
          TextField("Specification", r.SpecName),
          TextField("Specification revision", r.SpecRevision),
          TextField("Stored", r.StoredAt)};
}

std::string FiguresJsonOf(const TStoredRun& r) {
  std::string list = "[";
  for (const TStoredFigure& f : r.Figures)
    list += (list.size() > 1 ? ", " : "") +
            JsonObject({TextField("name", f.Name), {"value", "", JsonNumber(f.Value)},
                        {"uncertainty", "", JsonNumber(f.Uncertainty)}, TextField("unit", f.Unit),
                        TextField("limit", f.Limit), TextField("verdict", f.Verdict)});
  return list + "]";
}

int Init(TResultsStore& store, const Options& o, std::ostream& out) {
  const std::vector<Field> fields = {TextField("Store", store.Describe()),
                                     IntegerField("Schema", store.Version())};
  if (o.Flag("json")) out << JsonObject(fields) << "\n";
  else WriteText(fields, out);
  return ExitOk;
}

int History(TResultsStore& store, const Options& o, std::ostream& out) {
  if (o.positional.size() != 2) throw UsageError{"db history needs one identification"};
  const std::string& ident = o.positional[1];
  const std::vector<TStoredRun> runs = store.History(ident);
  const auto failed = std::count_if(runs.begin(), runs.end(), [](const TStoredRun& r) { return r.Verdict == "FAIL"; });
  const std::vector<Field> head = {TextField("Identification", ident), TextField("Unit type", UnitTypeOf(ident)),
                                   IntegerField("Tests", static_cast<std::int64_t>(runs.size())),
                                   IntegerField("Failed", failed)};
  if (o.Flag("json")) {
    std::string tests = "\"tests\": [";
    for (std::size_t i = 0; i < runs.size(); ++i) {
      std::vector<Field> fields = RunFields(runs[i]);
      fields.push_back(TextField("Recording state", RecordingState(runs[i])));
      tests += (i ? ", " : "") + JsonObject(fields, "\"figures\": " + FiguresJsonOf(runs[i]));
    }
    out << JsonObject(head, tests + "]") << "\n";
  } else {
    for (const Field& f : head) out << f.Caption << "\t" << Printable(f.Text) << "\n";
    for (const TStoredRun& r : runs) {
      out << "\nTest\t" << r.Started << "\t" << (r.Verdict.empty() ? "none" : r.Verdict) << "\trecording "
          << RecordingState(r) << "\n";
      for (const Field& f : RunFields(r)) out << f.Caption << "\t" << Printable(f.Text) << "\n";
      for (const TStoredFigure& f : r.Figures)
        out << "Figure\t" << f.Name << "\t" << Number(f.Value) << "\t" << Number(f.Uncertainty) << "\t" << f.Unit
            << (f.Limit.empty() ? "" : "\t" + f.Limit + "\t" + f.Verdict) << "\n";
    }
  }
  if (runs.empty()) {
    out.flush();
    return ExitFailure;
  }
  return ExitOk;
}

std::string Rules(unsigned bits) {
  std::string text;
  for (unsigned bit = 1; bit <= RuleRangeBeyond; bit <<= 1)
    if (bits & bit) text += (text.empty() ? "" : ", ") + std::string(RuleName(bit));
  return text;
}

int Trend(TResultsStore& store, const Options& o, std::ostream& out) {
  if (o.positional.size() != 2) throw UsageError{"db trend needs one figure name (random_walk, n, b1, ...)"};
  TTrendQuery q{o.positional[1], o.Get("unit").value_or(""), o.Get("type").value_or(""), o.Get("since").value_or(""), ""};
  const std::vector<TTrendPoint> points = store.Trend(q);
  std::vector<double> values;
  std::vector<std::size_t> charted;  // index of each chart point in `points`
  for (std::size_t i = 0; i < points.size(); ++i)
    if (std::isfinite(points[i].Value)) {
      values.push_back(points[i].Value);
      charted.push_back(i);
    }
  const TControlChart chart = ComputeControlChart(values);
  std::vector<unsigned> rules(points.size(), 0);
  for (std::size_t k = 0; k < chart.Points.size(); ++k) rules[charted[k]] = chart.Points[k].Rules;
  const std::vector<Field> limits = {{"Centre", Number(chart.Centre), JsonNumber(chart.Valid ? chart.Centre : NAN)},
                                     {"Lower", Number(chart.Lower), JsonNumber(chart.Valid ? chart.Lower : NAN)},
                                     {"Upper", Number(chart.Upper), JsonNumber(chart.Valid ? chart.Upper : NAN)},
                                     {"MR bar", Number(chart.MrBar), JsonNumber(chart.Valid ? chart.MrBar : NAN)},
                                     {"MR upper", Number(chart.MrUpper), JsonNumber(chart.Valid ? chart.MrUpper : NAN)}};
  if (o.Flag("json")) {
    std::string list = "\"points\": [";
    for (std::size_t i = 0; i < points.size(); ++i) {
      const TTrendPoint& p = points[i];
      list += (i ? ", " : "") + JsonObject({TextField("started", p.Started), TextField("identification", p.Ident),
                                            {"value", "", JsonNumber(p.Value)},
                                            {"uncertainty", "", JsonNumber(p.Uncertainty)},
                                            TextField("unit", p.Unit), TextField("verdict", p.Verdict),
                                            TextField("rules", Rules(rules[i]))});
    }
    out << JsonObject({TextField("figure", q.Figure)}, list + "], \"control\": " +
                                                           (chart.Valid ? JsonObject(limits) : std::string("null")))
        << "\n";
  } else {
    out << "Started\tIdentification\t" << q.Figure << "\tUncertainty\tUnit\tVerdict\tControl\n";
    for (std::size_t i = 0; i < points.size(); ++i) {
      const TTrendPoint& p = points[i];
      out << p.Started << "\t" << Printable(p.Ident) << "\t" << Number(p.Value) << "\t" << Number(p.Uncertainty)
          << "\t" << p.Unit << "\t" << p.Verdict << "\t" << Rules(rules[i]) << "\n";
    }
    if (chart.Valid) WriteText(limits, out);
  }
  return points.empty() ? ExitFailure : ExitOk;
}

// RFC 4180: fields with a comma, quote or line break quoted, quotes doubled.
std::string Csv(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

int Export(TResultsStore& store, const Options& o, std::ostream& out) {
  if (o.Flag("csv") && o.Flag("json")) throw UsageError{"db export takes --csv or --json, not both"};
  const std::vector<TStoredRun> runs = store.All();
  if (o.Flag("json")) {
    std::string list = "\"runs\": [";
    for (std::size_t i = 0; i < runs.size(); ++i) {
      std::vector<Field> fields = {TextField("Identification", runs[i].Ident),
                                   TextField("Unit type", runs[i].UnitType), TextField("Key", runs[i].Key)};
      for (const Field& f : RunFields(runs[i])) fields.push_back(f);
      list += (i ? ", " : "") + JsonObject(fields, "\"figures\": " + FiguresJsonOf(runs[i]));
    }
    out << "{" << list << "]}\n";
    return ExitOk;
  }
  // One line per figure, the run's fields repeated.
  std::vector<std::string> head = {"identification", "unit_type", "key"};
  for (const Field& f : RunFields(TStoredRun{})) head.push_back(SnakeCase(f.Caption));
  for (const char* name : {"figure", "value", "uncertainty", "unit", "limit", "figure_verdict"}) head.push_back(name);
  for (std::size_t i = 0; i < head.size(); ++i) out << (i ? "," : "") << head[i];
  out << "\r\n";
  for (const TStoredRun& r : runs) {
    std::string run = Csv(r.Ident) + "," + Csv(r.UnitType) + "," + Csv(r.Key);
    for (const Field& f : RunFields(r)) run += "," + Csv(f.Text);
    for (const TStoredFigure& f : r.Figures)
      out << run << "," << Csv(f.Name) << "," << (std::isfinite(f.Value) ? JsonNumber(f.Value) : "") << ","
          << (std::isfinite(f.Uncertainty) ? JsonNumber(f.Uncertainty) : "") << "," << Csv(f.Unit) << ","
          << Csv(f.Limit) << "," << Csv(f.Verdict) << "\r\n";
  }
  return ExitOk;
}

// Every recording under the folder, analysed as the report analyses it
// (settings and calculation options of the command line) and stored once:
// a recording imported again with the same contents and settings is
// recognised by its key.
int Import(const Options& o, const TStoreTarget& target, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 2) throw UsageError{"db import needs one folder"};
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> files;
  for (fs::recursive_directory_iterator it(o.positional[1], fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && IsRecordingPath(it->path().string())) files.push_back(it->path().string());
  if (ec) {
    err << "ratelog-cli: cannot read folder " << o.positional[1] << ": " << ec.message() << "\n";
    return ExitFailure;
  }
  std::sort(files.begin(), files.end());
  TReportRequest request;
  if (!LoadSettings(o, request.Settings, err)) return ExitFailure;
  request.Sigma = ApplyCalcOptions(o, request.Settings);
  TRunContext context = Context("import");
  int code = ExitOk;
  std::size_t stored = 0, already = 0, queued = 0;
  for (const std::string& path : files) {
    request.Path = path;
    TReportContent content;
    TStoredRun run;
    std::string error;
    if (!ComputeReport(request, content, error) || !StoredRunOf(content, context, run, error)) {
      err << "ratelog-cli: " << Printable(path) << ": " << error << " (left out)\n";
      code = ExitFailure;
      continue;
    }
    run.Key = Sha256Hex("import\n" + fs::absolute(path).lexically_normal().string() + "\n" + run.Sha256 + "\n" +
                        run.Settings);
    const TDelivery d = DeliverResults({run}, target.Target, QueuePath());
    if (d.Stored + d.Already + d.Queued == 0) {
      err << "ratelog-cli: cannot store the results: " << d.Problem << "\n";
      return ExitFailure;
    }
    if (!d.Problem.empty() && d.Queued) err << "ratelog-cli: " << d.Problem << "\n";
    stored += d.Stored, already += d.Already, queued += d.Queued;
    if (!o.Flag("json"))
      out << (d.Stored ? "Stored" : d.Already ? "Already stored" : "Queued") << "\t" << Printable(path) << "\n"
          << std::flush;
  }
  const std::vector<Field> totals = {IntegerField("Recordings", static_cast<std::int64_t>(files.size())),
                                     IntegerField("Stored", static_cast<std::int64_t>(stored)),
                                     IntegerField("Already stored", static_cast<std::int64_t>(already)),
                                     IntegerField("Queued", static_cast<std::int64_t>(queued))};
  if (o.Flag("json")) out << JsonObject(totals) << "\n";
  else WriteText(totals, out);
  return code;
}

}  // namespace

std::string QueuePath() { return EnvironmentStorePath(); }

int Db(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.empty()) throw UsageError{"db needs a command: init, import, history, trend or export"};
  const std::string& command = o.positional[0];
  if (command != "init" && command != "import" && command != "history" && command != "trend" && command != "export")
    throw UsageError{"unknown db command '" + command + "' (init, import, history, trend, export)"};
  try {
    const TStoreTarget target = Target(o);
    if (command == "import") return Import(o, target, out, err);
    if (!IsConnectionString(target.Target)) {
      // A store is made by init only; the others read one that exists.
      struct stat st {};
      if (command != "init" && ::stat(target.Target.c_str(), &st) != 0) {
        err << "ratelog-cli: no results store at " << target.Target << " (ratelog-cli db init makes one)\n";
        return ExitFailure;
      }
      std::error_code ec;
      const std::filesystem::path folder = std::filesystem::path(target.Target).parent_path();
      if (command == "init" && !folder.empty()) std::filesystem::create_directories(folder, ec);
    }
    const std::unique_ptr<TResultsStore> store = OpenResultsStore(target.Target);
    if (command == "init" && IsConnectionString(target.Target)) {
      // The results queued for this server go now.
      const TDelivery d = DeliverResults({}, target.Target, QueuePath());
      if (d.Sent) err << "ratelog-cli: " << d.Sent << " queued results sent to " << d.Where << "\n";
      if (!d.Problem.empty()) err << "ratelog-cli: " << d.Problem << "\n";
    }
    if (command == "init") return Init(*store, o, out);
    if (command == "history") return History(*store, o, out);
    if (command == "trend") return Trend(*store, o, out);
    return Export(*store, o, out);
  } catch (const TStoreError& e) {
    err << "ratelog-cli: " << e.what() << "\n";
    return ExitFailure;
  }
}

void AddStoreHistory(const Options& o, std::vector<TReportContent>& units, bool pages, std::ostream& err) {
  if (units.empty()) return;
  try {
    const TStoreTarget target = Target(o);
    struct stat st {};
    if (!IsConnectionString(target.Target) && ::stat(target.Target.c_str(), &st) != 0) {
      if (pages) err << "ratelog-cli: no trend page: no results store at " << target.Target << "\n";
      return;
    }
    const std::unique_ptr<TResultsStore> store = OpenResultsStore(target.Target);
    const TRunContext context = Context("report");
    for (TReportContent& c : units) {
      TStoredRun run;
      std::string error;
      if (!StoredRunOf(c, context, run, error)) continue;
      c.OutsideControl = OutsideControlLimits(*store, run);
      if (pages) c.History = std::make_shared<TUnitHistory>(ReadUnitHistory(*store, run.Ident, &run));
    }
  } catch (const TStoreError& e) {
    err << "ratelog-cli: " << (pages ? "no trend page: " : "no control limits: ") << e.what() << "\n";
  }
}

namespace {

void Deliver(const Options& o, const char* command, const std::vector<TReportContent>& units, std::ostream& err);

// The options of the command line, as the settings that shaped the figures
// (where the store is and how the output looks are not among them).
void AddOptionRows(const Options& o, TReportSection& settings) {
  for (const auto& [name, value] : o.values)
    if (name != "db" && name != "settings") settings.Rows.push_back({"--" + name, value, NAN, ""});
  for (const std::string& flag : o.flags)
    if (flag != "store" && flag != "no-store" && flag != "json") settings.Rows.push_back({"--" + flag, "", NAN, ""});
}

}  // namespace

void StoreResults(const Options& o, const char* command, const std::vector<TReportContent>& units,
                  std::ostream& err) {
  if (!o.Flag("no-store")) Deliver(o, command, units, err);
}

void StoreFigures(const Options& o, const char* command, double begin, double end,
                  const std::vector<TFigure>& figures, std::ostream& err) {
  if (!o.Flag("store") || o.positional.empty()) return;
  TReportContent c;
  c.Path = o.positional[0];
  c.Begin = begin;
  c.End = end;
  c.FirstRecordTime = std::isfinite(begin) ? begin : 0;
  c.LastRecordTime = std::isfinite(end) ? end : c.FirstRecordTime;
  c.Calc = {command, figures};
  // What shaped the figures: the settings file's calculation values (for
  // calc) and the options of the command line.
  c.Settings.Title = "Settings";
  TOptionProgramm s;
  if (std::string(command) == "calc" && LoadSettings(o, s, err)) {
    const int sigma = ApplyCalcOptions(o, s);
    c.Settings.Rows = {{"Averaging time", std::to_string(s.SafeMeanTime()), NAN, "s"},
                       {"Drift time", FormatGeneral(s.DriftTime, '.', 7), NAN, "s"},
                       {"Random walk time", FormatGeneral(s.RandomWalkTime, '.', 7), NAN, "s"},
                       {"Passband", std::to_string(s.Passband), NAN, "Hz"},
                       {"Earth rate", FormatGeneral(s.EarthRate, '.', 10), NAN, "\u00B0/h"},
                       {"Sigma", std::to_string(sigma), NAN, ""}};
  }
  AddOptionRows(o, c.Settings);
  Deliver(o, command, {c}, err);
}

void StoreCommandResults(const Options& o, const char* command, std::vector<TReportContent> units,
                         std::ostream& err) {
  for (TReportContent& c : units) {
    c.Settings.Title = "Settings";
    AddOptionRows(o, c.Settings);
  }
  StoreResults(o, command, units, err);
}

namespace {

void Deliver(const Options& o, const char* command, const std::vector<TReportContent>& units, std::ostream& err) {
  if (units.empty()) return;
  std::ostream& status = err;
  TStoreTarget target;
  try {
    target = Target(o);
  } catch (const TStoreError& e) {
    err << "ratelog-cli: results not stored: " << e.what() << "\n";
    return;
  }
  const TRunContext context = Context(command);
  std::vector<TStoredRun> runs;
  for (const TReportContent& c : units) {
    TStoredRun run;
    std::string error;
    if (StoredRunOf(c, context, run, error)) runs.push_back(std::move(run));
    else err << "ratelog-cli: result of " << Printable(c.Path) << " not stored: " << error << "\n";
  }
  const TDelivery d = DeliverResults(runs, target.Target, QueuePath());
  if (!d.Problem.empty()) err << "ratelog-cli: " << d.Problem << "\n";
  const auto results = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " result" : " results"); };
  if (d.Sent) status << "ratelog-cli: " << d.Sent << " queued " << (d.Sent == 1 ? "result" : "results") << " sent to " << d.Where << "\n";
  if (d.Stored + d.Already) status << "ratelog-cli: " << results(d.Stored + d.Already) << " stored in " << d.Where << "\n";
  if (d.Queued)
    status << "ratelog-cli: " << results(d.Queued) << " queued in " << QueuePath() << ", sent to " << d.Where
           << " with the next result stored there\n";
  if (d.Stored + d.Already + d.Queued < runs.size())
    status << "ratelog-cli: " << results(runs.size() - d.Stored - d.Already - d.Queued) << " not stored\n";
  if (d.Stored + d.Already == 0) return;

  // Each figure against the control limits of its unit type's earlier results.
  try {
    const std::unique_ptr<TResultsStore> store = OpenResultsStore(target.Target);
    for (const TStoredRun& r : runs)
      for (const TStoredFigure& f : r.Figures) {
        if (!std::isfinite(f.Value)) continue;
        std::vector<double> values;
        for (const TTrendPoint& p : store->Trend({f.Name, "", r.UnitType, "", r.Key})) values.push_back(p.Value);
        const TControlChart chart = ComputeControlChart(values);
        // A figure that never varied (a count, a setting) makes no chart.
        if (chart.Points.size() < kControlMinimum || !(chart.MrBar > 0) || !OutsideControlLimits(chart, f.Value))
          continue;
        status << "ratelog-cli: control: " << Printable(r.Ident) << " " << f.Name << " " << Number(f.Value)
               << " outside the control limits " << Number(chart.Lower) << " .. " << Number(chart.Upper)
               << " of type " << Printable(r.UnitType) << " (" << chart.Points.size() << " results)"
               << (f.Verdict == "PASS" ? ", within its limit" : "") << "\n";
      }
  } catch (const TStoreError& e) {
    err << "ratelog-cli: no control limits: " << e.what() << "\n";
  }
}

}  // namespace

}  // namespace cli
