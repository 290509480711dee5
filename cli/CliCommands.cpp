#include "cli/CliCommands.h"
#include "cli/BatchCompare.h"
#include "cli/CliOptions.h"
#include "cli/ThermalCommands.h"
#include "cli/ScaleFactorCommands.h"
#include "cli/FileCommands.h"
#include "cli/DbCommands.h"
#include "cli/Fields.h"
#include "cli/Ports.h"
#ifdef RATELOG_REPORT
#include "cli/ReportCommand.h"
#endif
#include "RatelogVersion.h"

#include <cmath>
#include <cstdio>
#include <utility>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <ostream>

#include "files/HeaderText.h"
#include "files/OleDate.h"
#include "files/RecordingReader.h"
#include "processing/Allan.h"
#include "processing/BasicParameters.h"
#include "processing/NumberFormat.h"
#include "report/Figures.h"
#include "settings/Optionsprogramm.h"

namespace {

using namespace cli;

const char kUsage[] =
    "usage: ratelog-cli COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  record             a measurement run without the window:\n"
    "       [--port COMn] [--seconds N] [--out FILE.rtd]\n"
    "       [--mode normal|trigger|onecommand] [--sample N] [--simulate]\n"
    "       [--temp-profile PROFILE]\n"
    "       [--ident-timeout S]\n"
    "       --seconds counts from the end of identification; without it the run\n"
    "       goes on until Ctrl-C. --simulate attaches the virtual gyroscope;\n"
    "       --temp-profile ramp|cycle:FROM:TO:RATE[:B1:B2:C] puts it in a climatic\n"
    "       chamber (deg C, deg C/min; thermal bias b1 T + b2 T^2 + c dT/dt, deg/h)\n"
    "       --rate-profile FILE|staircase[:DWELL] turns it on a rate table, read with\n"
    "       --sf-model K[:ASYM_PPM[:QUAD_PPM_PER_DEG_S[:TC_PPM_PER_C[:DEAD_ZONE]]]]\n"
    "       (as ratelog-sim takes them; also with --simulate N)\n"
    "       Exit code 4: the device did not identify itself in time.\n"
    "  record --port COM1 --port COM2 ...   a batch: one run per port, all at once:\n"
    "       [--port COMa-COMb] [--port /dev/DEVICE] [--out-dir DIR] [--simulate N]\n"
    "       [--temp-profile PROFILE] [--seconds N] [--mode ...] [--sample N] [--ident-timeout S]\n"
    "       each recording is named <identification>_<yyyymmdd_hhmmss>.rtd in DIR\n"
    "       (default: the current folder), never over an existing file; one status\n"
    "       line a second. A port that does not open or a device that does not\n"
    "       identify itself is left out; a device lost ends its own run only.\n"
    "       --simulate N attaches N virtual gyroscopes, all in one chamber with\n"
    "       --temp-profile PROFILE (as above). Exit code 0: every port\n"
    "       recorded; 1: some did not (named); 4: no device identified itself.\n"
    "  info FILE.rtd      the recording's header, record count and time range\n"
    "  calc FILE.rtd      basic parameters over a time span:\n"
    "       [--begin S] [--end S] [--sigma 1|3] [--drift-time S]\n"
    "       [--random-walk-time S] [--passband HZ] [--earth-rate DEG_PER_H]\n"
    "  allan FILE.rtd     Allan deviation of the rate over a time span:\n"
    "       [--begin S] [--end S] [--taus octave|decade|all|N] [--kind oadev|mdev|hdev]\n"
    "       [--confidence C]\n"
    "       a comment line (kind, confidence, gaps), then one line per averaging\n"
    "       factor: tau_s, adev_deg_h, terms, edf, lo_deg_h, hi_deg_h (the\n"
    "       interval at confidence C, default 0.683); then quantization Q (arcsec),\n"
    "       angle random walk N, bias instability B (with the tau of its minimum),\n"
    "       rate random walk K and rate ramp R, each with the tau range it was\n"
    "       read on (NAN where the data have no such region). --taus N: N factors\n"
    "       per decade; all: every factor (at most 100000 records). Gaps in the\n"
    "       recording (steps over 1.5 times the median step) are left out.\n"
    "  thermal FILE.rtd   temperature sensitivity of the bias: the model\n"
    "       b0 + b1 T + .. + bK T^K + c dT/dt fitted to the rate averaged over\n"
    "       --average seconds; one line per figure \"NAME value unit \u00B1 stderr\":\n"
    "       [--begin S] [--end S] [--order 1|2|3] [--average S] [--no-rate-term]\n"
    "       [--tref DEG_C] (the bias at that temperature, default 25)\n"
    "  warmup FILE.rtd    turn-on time: when the moving average over --window\n"
    "       seconds stays within \u00B1band of the final value (mean of the last 10 %),\n"
    "       the fitted exponential transient and its settling time; exit 1 when the\n"
    "       bias does not settle within the recording:\n"
    "       [--begin S] [--end S] [--window S] [--band DEG_PER_H]\n"
    "  repeat FILE.rtd..  run-to-run repeatability: each run's mean bias, drift and\n"
    "       temperature after --skip S seconds, then per identification the runs,\n"
    "       their mean and the sample standard deviation (n - 1) of their biases\n"
    "       with its chi-square interval: [--confidence C] [--temperature-spread DEG_C]\n"
    "       (thermal, warmup and repeat take --json as well)\n"
    "  scalefactor FILE.rtd..  rate-table test: the scale factor K, bias, K+ and K-,\n"
    "       asymmetry, nonlinearity (each figure's definition printed with it) from\n"
    "       the plateaus of each recording, then the repeatability and temperature\n"
    "       coefficient of K over the recordings:\n"
    "       [--profile FILE | --rates LIST] [--guard S] [--drop LIST] [--latitude DEG]\n"
    "       [--axis-elevation DEG] [--axis-heading DEG] [--json]\n"
    "  positions FILE.rtd.. --test four|updown|tumble [--latitude DEG] [--json]\n"
    "       static Earth-rate test, one recording per position in the test's order;\n"
    "       --plateaus [--guard S]: one recording, the positions its stretches at rest\n"
    "  export FILE.rtd    the recording as a text table (default: all records,\n"
    "       time column only, FILE.txt beside the recording):\n"
    "       [--begin S] [--end S] [--rate] [--temperature] [--excel] [--out NAME.txt]\n"
    "       --excel splits into files of at most 32000 lines; prints the files written\n"
    "  archive FILE.rtd   copy into the server folder tree <DIR>/<ident>/<ident>/:\n"
    "       [--server DIR] [--name NAME]    (default: the settings' server folder and\n"
    "       the recording's own name); prints the copy's path\n"
    "  ports              COM1..COM9: the device file behind each, whether it exists,\n"
    "       may be opened, is in use (by which program), the USB adapter, hints\n"
    "  report FILE.rtd    the PDF test report: recording, settings, chart, basic\n"
    "       parameters, Allan deviation and noise terms, limits and verdict:\n"
    "       [--begin S] [--end S] [--spec FILE] [--limit NAME<=VALUE | NAME>=VALUE]...\n"
    "       [--out FILE.pdf]\n"
    "       [--sigma 1|3] [--drift-time S] [--random-walk-time S] [--passband HZ]\n"
    "       [--earth-rate DEG_PER_H] [--json]\n"
    "       NAME is a field of the JSON output of calc, allan or thermal (random_walk, n, b1, ...);\n"
    "       each figure is compared as printed. --spec FILE: a test specification\n"
    "       (name:, revision:, unit type: lines and one limit a line). Verdict FAIL\n"
    "       when a limit fails, else INCOMPLETE when a figure cannot be measured,\n"
    "       else PASS. Default output: the recording's name with .pdf (only a\n"
    "       regular file is replaced, only by a complete report); prints the file\n"
    "       and the verdict. Exit code 3: FAIL; 5: INCOMPLETE. The document:\n"
    "       [--report-number N] [--report-revision R] [--latitude DEG] [--axis TEXT]\n"
    "       [--station TEXT] [--chamber TEXT] [--equipment TEXT] [--tested-by NAME]\n"
    "       [--checked-by NAME] [--approved-by NAME] (\"not stated\" where not given)\n"
    "       a scale-factor page where the recording holds a rate-table test:\n"
    "       [--scalefactor-profile FILE | --scalefactor-rates LIST] [--scalefactor-guard S]\n"
    "       [--axis-elevation DEG] [--axis-heading DEG]; limits\n"
    "       sf, sf_asymmetry_ppm, sf_nonlinearity_ppm, sf_repeatability_ppm, sf_tc_ppm_per_c, ...\n"
    "       --history: a trend page from the results store (the unit's tests, each\n"
    "       figure over them beside its unit type's control chart, this test marked)\n"
    "  report FILE.rtd FILE.rtd... --out FILE.pdf   the batch form: a summary page\n"
    "       (the batch table with each unit's result, every unit's Allan deviation\n"
    "       on one plot), then each unit's report as report makes it alone; one\n"
    "       Unit line per recording, the batch's verdict. Exit code 3: a unit failed;\n"
    "       5: none failed, one is INCOMPLETE. The summary marks with * the units with\n"
    "       a figure outside their type's control limits in the results store.\n"
    "  batch FILE.rtd...  the recordings of a batch side by side: [--begin S] [--end S]\n"
    "       [--spec FILE] [--limit NAME<=VALUE | NAME>=VALUE]...\n"
    "       one row per recording (file, identification, records and span, the\n"
    "       basic parameters as calc gives them with 1 sigma drift, N, B and K as\n"
    "       allan gives them, b1, b2 and c as thermal gives them, empty where the\n"
    "       span has too little temperature change), then the mean, sample standard\n"
    "       deviation (n - 1), minimum and maximum of each column over the\n"
    "       recordings. --limit and --spec as for report: a Result column (PASS,\n"
    "       FAIL or INCOMPLETE) and the limits each unit did not pass. Exit code 3:\n"
    "       a unit failed its limits; 5: none failed, one is INCOMPLETE. The scale-factor\n"
    "       options of report add the sf columns and K's repeatability over the runs.\n"
    "  db init|import DIR|history IDENT|trend FIGURE|export   the results store:\n"
    "       init makes (or brings up to date) the store; import DIR stores the results\n"
    "       of every recording under DIR (analysed as report does, once each);\n"
    "       history IDENT: the unit's tests, newest first, each run's fields and\n"
    "       figures, whether the recording is unchanged, changed or missing;\n"
    "       trend FIGURE [--unit IDENT] [--type PREFIX] [--since DATE]: one figure\n"
    "       over time with its individuals and moving-range control chart and the\n"
    "       Western Electric rules; export [--csv|--json]: everything\n"
    "  report, batch, scalefactor and positions store their results (--no-store: not),\n"
    "  calc, allan and thermal with --store; these and db take --db PATH|CONNINFO: an\n"
    "  SQLite file or a PostgreSQL connection string\n"
    "  (default: RATELOG_DB, then the db line of ~/.config/ratelog/results-store.conf,\n"
    "  then ~/.local/share/ratelog/results.sqlite); a server that cannot be reached\n"
    "  gets the results later, queued in that file meanwhile\n"
    "\n"
    "info, calc, allan, batch, report, db and ports take --json: one JSON object on stdout instead\n"
    "of the text (numbers as numbers, null for NAN).\n"
    "\n"
    "every command takes:\n"
    "  --settings PATH    settings file (default: Ratelog.ini where the program keeps it)\n"
    "  --help             this text\n"
    "ratelog-cli --version prints the version.\n";

std::string Time6(double t) { return FormatFixed(t, 15, 6, '.'); }

// Header texts come from the device and from other machines: control
// characters (C0, DEL and the C1 range in UTF-8) are shown escaped, so that
// they can neither forge lines nor drive the terminal.
std::string Printable(const std::string& text) {
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
      std::snprintf(hex, sizeof hex, "\\x%02x", next);
      out += hex;
      ++i;
    } else if (c < 0x20 || c == 0x7F || c == '\\') {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int Info(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"info needs one recording file"};
  TRecordingReader reader;
  if (!reader.Open(o.positional[0])) {
    err << "ratelog-cli: cannot read recording " << reader.Error() << "\n";
    return ExitFailure;
  }
  const TRecordingInfo& info = reader.Info();
  // Text: control characters escaped; JSON: the texts as stored (its
  // string escapes cover them).
  const bool json = o.Flag("json");
  auto text = [json](const char* caption, const std::string& value) {
    Field f = TextField(caption, value);
    if (!json) f.Text = Printable(value);
    return f;
  };
  std::vector<Field> fields;
  if (info.FormatVersion == rtd::FormatCurrent) {
    const std::string page = UserHeaderCodePage();
    fields.push_back(text("IDN", DecodeHeaderText(info.Ident, page)));
    fields.push_back(IntegerField("Sample", info.Sample));
    fields.push_back(TextField("Time create", FormatDdMmYyyyHhNn(info.Created)));
    fields.push_back(text("UserName", DecodeHeaderText(info.UserName, page)));
    fields.push_back(text("CompName", DecodeHeaderText(info.CompName, page)));
  } else {
    fields.push_back(
        TextField("Format", "headerless (older layout: no identification, creation time or names)"));
    fields.push_back(IntegerField("Sample", info.Sample));
  }
  fields.push_back(IntegerField("Records", info.RecordCount));
  SamplePoint first{}, last{};
  if (info.RecordCount > 0 && reader.ReadRecordAt(0, first) &&
      reader.ReadRecordAt(info.RecordCount - 1, last)) {
    fields.push_back(NumberField("First time", Time6(first.Time)));
    fields.push_back(NumberField("Last time", Time6(last.Time)));
  }
  if (json) out << JsonObject(fields) << "\n";
  else WriteText(fields, out);
  return ExitOk;
}

int Calc(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"calc needs one recording file"};
  const std::string& path = o.positional[0];

  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;
  const int sigma = ApplyCalcOptions(o, settings);

  // The default span runs from the smallest to the largest record time
  // (not first to last: a device clock may step back).
  double begin = 0, end = 0;
  if (!o.Get("begin") || !o.Get("end")) {
    std::string error;
    if (!RecordTimeRange(path, begin, end, error)) {
      err << "ratelog-cli: cannot read recording " << error << "\n";
      return ExitFailure;
    }
  }
  begin = o.Number("begin").value_or(begin);
  end = o.Number("end").value_or(end);
  if (begin > end) std::swap(begin, end);  // as the dialog swaps an inverted span

  TGeneralQuant quant;
  std::string error;
  if (!ComputeBasicParameters(path, settings, begin, end, quant, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  const std::vector<TFigure> figures = CalcFigures(quant, sigma);
  if (o.Flag("json")) {
    // {"average_value_signal": 1.5, ..., "units": {"average_value_signal": "°/h", ...}}
    out << FiguresJson(figures) << "\n";
  } else {
    for (const TFigure& f : figures) out << f.Caption << "\t" << f.Text << "\t" << f.Unit << "\n";
  }
  StoreFigures(o, "calc", begin, end, figures, err);
  if (quant.Empty()) {
    err << "ratelog-cli: no record between " << Time6(begin) << " and " << Time6(end) << " s in "
        << path << "\n";
    return ExitFailure;
  }
  return ExitOk;
}

int Allan(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"allan needs one recording file"};
  const std::string& path = o.positional[0];
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;

  TAllanOptions options;
  if (auto v = o.Get("kind"); v && !ParseKind(*v, options.Kind))
    throw UsageError{"--kind takes oadev, mdev or hdev, not '" + *v + "'"};
  if (auto v = o.Get("taus"); v && !ParseTauGrid(*v, options.Grid))
    throw UsageError{"--taus takes octave, decade, all or a number of points per decade (1 to 1000), not '" +
                     *v + "'"};
  if (auto v = o.Number("confidence")) {
    if (!(*v > 0 && *v < 1)) throw UsageError{"--confidence takes a number between 0 and 1, such as 0.95"};
    options.Confidence = *v;
  }
  // The default span takes every record, wherever its time lies.
  double begin = -std::numeric_limits<double>::infinity();
  double end = std::numeric_limits<double>::infinity();
  if (auto v = o.Number("begin")) begin = *v;
  if (auto v = o.Number("end")) end = *v;
  TSpanRates span;
  std::string error;
  if (!ReadSpanRates(path, begin, end, span, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  const std::size_t records = span.Rates.size();
  const TAllanResult result = ComputeAllan(span, options);
  if (o.Flag("json")) {
    std::string points = "\"points\": [";
    for (std::size_t i = 0; i < result.Points.size(); ++i) {
      const TAllanPoint& p = result.Points[i];
      points += (i ? ", " : "") + JsonObject({{"tau_s", "", JsonNumber(p.Tau)},
                                              {"adev_deg_h", "", JsonNumber(p.Adev)},
                                              IntegerField("terms", p.Terms),
                                              {"edf", "", JsonNumber(p.Edf)},
                                              {"lo_deg_h", "", JsonNumber(p.Lo)},
                                              {"hi_deg_h", "", JsonNumber(p.Hi)}});
    }
    points += "]";
    auto range = [](const TAllanLine& l) {
      return l.Found ? "[" + JsonNumber(l.TauFrom) + ", " + JsonNumber(l.TauTo) + "]" : std::string("null");
    };
    const std::vector<Field> ranges = {{"q", "", range(result.Q)}, {"n", "", range(result.N)},
                                       {"b", "", range(result.B)}, {"k", "", range(result.K)},
                                       {"r", "", range(result.R)}};
    // Why a term is not reported (null where it is), and the term read off
    // its slope region, as a cross-check of the fit.
    auto absent = [](const TAllanLine& l) { return l.Found ? std::string("null") : JsonString(l.Absent); };
    const std::vector<Field> reasons = {{"q", "", absent(result.Q)}, {"n", "", absent(result.N)},
                                        {"b", "", absent(result.B)}, {"k", "", absent(result.K)},
                                        {"r", "", absent(result.R)}};
    const std::vector<Field> slopes = {{"q", "", JsonNumber(result.Q.SlopeValue)},
                                       {"n", "", JsonNumber(result.N.SlopeValue)},
                                       {"b", "", JsonNumber(result.B.SlopeValue)},
                                       {"k", "", JsonNumber(result.K.SlopeValue)},
                                       {"r", "", JsonNumber(result.R.SlopeValue)}};
    // {"kind", "confidence", "gaps", "gap_s", "backward", "skipped",
    //  "points": [...], "q", "n", "b", "b_tau", "k", "r", "q_lo", "q_hi", ...,
    //  "b_upper", "ranges_s", "absent", "slope_regions", "units"}
    // from the two figure tables, which the report's limits name as well.
    std::vector<Field> head = {TextField("kind", KindName(result.Kind))};
    for (const TFigure& f : AllanCounts(result)) head.push_back({f.Caption, f.Text, JsonNumber(f.Value)});
    const std::string terms = FiguresJson(AllanFigures(result), {}, false);
    out << JsonObject(head, points + ", " + terms.substr(1, terms.size() - 2) + ", \"ranges_s\": " +
                                JsonObject(ranges) + ", \"absent\": " + JsonObject(reasons) +
                                ", \"slope_regions\": " + JsonObject(slopes) +
                                ", \"units\": " + FiguresUnitsJson(AllanFigures(result)))
        << "\n";
  } else {
    out << AllanTable(result);
  }
  StoreFigures(o, "allan", begin, end, AllanFigures(result), err);
  if (!result.Refused.empty()) {
    err << "ratelog-cli: " << result.Refused << "\n";
    return ExitFailure;
  }
  if (result.Points.empty()) {
    err << "ratelog-cli: no Allan deviation: "
        << (records < 3 ? std::string("fewer than 3 records in the span") : result.Empty) << "\n";
    return ExitFailure;
  }
  if (result.Skipped > 0)
    err << "ratelog-cli: " << result.Skipped << " records skipped (a value that is not a finite number)\n";
  return ExitOk;
}

}  // namespace

namespace {

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && args[0] == "--version") {
    out << "ratelog-cli " << RATELOG_VERSION << "\n";
    return ExitOk;
  }
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? err : out) << kUsage;
    return args.empty() ? ExitUsage : ExitOk;
  }
  using Command = std::function<int(const Options&, std::ostream&, std::ostream&)>;
  struct Entry {
    std::vector<std::string> options;
    Command run;
    std::vector<std::string> switches = {};
  };
  const std::map<std::string, Entry> commands = {
      {"thermal", {{"begin", "end", "order", "average", "tref", "db"}, Thermal, {"json", "no-rate-term", "store"}}},
      {"warmup", {{"begin", "end", "window", "band"}, Warmup, {"json"}}},
      {"repeat", {{"skip", "confidence", "temperature-spread"}, Repeat, {"json"}}},
      {"scalefactor",
       {{"profile", "rates", "guard", "drop", "latitude", "axis-elevation", "axis-heading", "db"}, ScaleFactor,
        {"json", "no-store"}}},
      {"positions", {{"test", "latitude", "guard", "db"}, Positions, {"json", "plateaus", "no-store"}}},
      {"info", {{}, Info, {"json"}}},
      {"calc",
       {{"begin", "end", "sigma", "drift-time", "random-walk-time", "passband", "earth-rate", "db"},
        Calc, {"json", "store"}}},
      {"allan", {{"begin", "end", "taus", "kind", "confidence", "db"}, Allan, {"json", "store"}}},
      {"ports", {{}, Ports, {"json"}}},
      {"record",
       {{"port", "seconds", "out", "mode", "sample", "ident-timeout", "out-dir", "simulate",
         "temp-profile", "rate-profile", "sf-model"},
        Record,
        {"simulate"}}},
      {"export", {{"begin", "end", "out"}, Export, {"rate", "temperature", "excel"}}},
      {"archive", {{"server", "name"}, Archive}},
      {"batch",
       {Joined({"begin", "end", "limit", "spec", "db", "latitude"}, kScaleFactorReportOptions), Batch,
        {"json", "no-store"}}},
      {"db",
       {{"db", "unit", "type", "since", "sigma", "drift-time", "random-walk-time", "passband", "earth-rate"},
        Db, {"json", "csv"}}},
#ifdef RATELOG_REPORT
      {"report",
       {Joined({"begin", "end", "limit", "spec", "out", "sigma", "drift-time", "random-walk-time", "passband",
                "earth-rate", "db"},
               Joined(kDocumentOptions, kScaleFactorReportOptions)),
        Report, {"json", "no-store", "history"}}},
#endif
  };
  const auto it = commands.find(args[0]);
  try {
    if (it == commands.end()) throw UsageError{"unknown command '" + args[0] + "'"};
    const Options o = ParseOptions(args, 1, it->second.options, it->second.switches);
    if (o.help) {
      out << kUsage;
      return ExitOk;
    }
    return it->second.run(o, out, err);
  } catch (const UsageError& e) {
    err << "ratelog-cli: " << e.message << "\n" << "(ratelog-cli --help lists the commands)\n";
    return ExitUsage;
  } catch (const std::exception& e) {
    err << "ratelog-cli: " << e.what() << "\n";
    return ExitFailure;
  } catch (...) {
    err << "ratelog-cli: unexpected failure\n";
    return ExitFailure;
  }
}
