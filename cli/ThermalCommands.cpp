// ratelog-cli thermal, warmup and repeat: the temperature test, turn-on and
// repeatability figures of a gyroscope from its recordings.
#include "cli/ThermalCommands.h"

#include <cmath>
#include <limits>
#include <ostream>

#include "cli/CliCommands.h"
#include "cli/DbCommands.h"
#include "cli/Fields.h"
#include "files/OleDate.h"
#include "processing/NumberFormat.h"
#include "processing/Repeatability.h"
#include "processing/Thermal.h"
#include "processing/Warmup.h"

namespace cli {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Num(double v) { return FormatGeneral(v, '.', 10); }

// File names and identifications on a text line: control characters as '?'.
std::string Plain(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

// A figure: its JSON name, the text line's name, value, unit and standard
// error (NaN: none shown).
struct Figure {
  std::string Json;
  std::string Name;
  double Value;
  std::string Unit;
  bool HasSe = false;
  double Se = 0;
};

void WriteFigures(const std::vector<Figure>& figures, const std::string& extra, bool json,
                  std::ostream& out) {
  if (json) {
    std::vector<Field> fields;
    for (const Figure& f : figures) {
      fields.push_back({f.Json, "", JsonNumber(f.Value)});
      if (f.HasSe) fields.push_back({f.Json + "_se", "", JsonNumber(f.Se)});
    }
    out << JsonObject(fields, extra) << "\n";
    return;
  }
  for (const Figure& f : figures) {
    out << f.Name << " " << Num(f.Value);
    if (!f.Unit.empty()) out << " " << f.Unit;
    if (f.HasSe) out << " \u00B1 " << Num(f.Se);
    out << "\n";
  }
}

// --begin/--end, as allan takes them: the default span is the whole recording.
void Span(const Options& o, double& begin, double& end) {
  begin = o.Number("begin").value_or(-kInf);
  end = o.Number("end").value_or(kInf);
  if (begin > end) std::swap(begin, end);
}

}  // namespace

int Thermal(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"thermal needs one recording file"};
  TThermalOptions options;
  if (auto v = o.Number("order")) {
    if (*v != 1 && *v != 2 && *v != 3) throw UsageError{"--order must be 1, 2 or 3"};
    options.Order = static_cast<int>(*v);
  }
  if (auto v = o.Number("average")) {
    if (!(*v > 0)) throw UsageError{"--average must be a positive number of seconds"};
    options.Average = *v;
  }
  options.RateTerm = !o.Flag("no-rate-term");
  double begin, end;
  Span(o, begin, end);
  std::vector<SamplePoint> records;
  std::string error;
  if (!ReadSpanRecords(o.positional[0], begin, end, records, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  const TThermalResult r = ComputeThermal(records, options);
  const char* units[] = {"\u00B0/h", "\u00B0/h/\u00B0C", "\u00B0/h/\u00B0C^2", "\u00B0/h/\u00B0C^3"};
  std::vector<Figure> figures;
  for (int k = 0; k <= 3; ++k) {
    if (k > options.Order && !o.Flag("json")) continue;
    const std::string name = "b" + std::to_string(k);
    figures.push_back({name, name, r.B[k], units[k], true, r.BSe[k]});
  }
  if (options.RateTerm || o.Flag("json"))
    figures.push_back({"c", "c", r.C, "\u00B0/h/(\u00B0C/min)", true, r.CSe});
  figures.push_back({"residual_rms_deg_h", "residual_rms", r.ResidualRms, "\u00B0/h"});
  figures.push_back({"residual_rms_avg_deg_h", "residual_rms_avg", r.ResidualRmsAvg, "\u00B0/h"});
  figures.push_back({"r2", "r2", r.R2, ""});
  figures.push_back({"t_min_c", "t_min", r.TMin, "\u00B0C"});
  figures.push_back({"t_max_c", "t_max", r.TMax, "\u00B0C"});
  figures.push_back({"hysteresis_deg_h", "hysteresis", r.Hysteresis, "\u00B0/h"});
  figures.push_back({"n_raw", "n_raw", r.NRaw, "\u00B0/Vh"});
  figures.push_back({"b_raw", "b_raw", r.BRaw, "\u00B0/h"});
  figures.push_back({"n_compensated", "n_compensated", r.NCompensated, "\u00B0/Vh"});
  figures.push_back({"b_compensated", "b_compensated", r.BCompensated, "\u00B0/h"});
  const std::string extra = "\"order\": " + std::to_string(options.Order) +
                            ", \"average_s\": " + JsonNumber(options.Average) +
                            ", \"records\": " + std::to_string(r.Records) +
                            ", \"blocks\": " + std::to_string(r.Blocks.size());
  WriteFigures(figures, extra, o.Flag("json"), out);
  StoreFigures(o, "thermal", begin, end, ThermalFigures(r), err);
  if (!r.Valid) {
    err << "ratelog-cli: no temperature model: " << r.Message << "\n";
    return ExitFailure;
  }
  return ExitOk;
}

int Warmup(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.size() != 1) throw UsageError{"warmup needs one recording file"};
  const double window = o.Number("window").value_or(100.0);
  const double band = o.Number("band").value_or(0.1);
  if (!(window > 0)) throw UsageError{"--window must be a positive number of seconds"};
  if (!(band > 0)) throw UsageError{"--band must be a positive rate in deg/h"};
  double begin, end;
  Span(o, begin, end);
  std::vector<SamplePoint> records;
  std::string error;
  if (!ReadSpanRecords(o.positional[0], begin, end, records, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  const TWarmupResult r = ComputeWarmup(records, window, band);
  WriteFigures({{"warmup_s", "warmup", r.Time, "s"},
                {"final_deg_h", "final", r.Final, "\u00B0/h"},
                {"excursion_deg_h", "excursion", r.Excursion, "\u00B0/h"},
                {"window_s", "window", window, "s"},
                {"band_deg_h", "band", band, "\u00B0/h"}},
               {}, o.Flag("json"), out);
  if (!r.Valid) {
    err << "ratelog-cli: no warm-up time: the span is not longer than the " << Num(window)
        << " s window\n";
    return ExitFailure;
  }
  if (std::isnan(r.Time)) {
    err << "ratelog-cli: the moving average does not stay within \u00B1" << Num(band)
        << " \u00B0/h of the final value\n";
    return ExitFailure;
  }
  return ExitOk;
}

int Repeat(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.empty()) throw UsageError{"repeat needs one or more recording files"};
  const double skip = o.Number("skip").value_or(0.0);
  if (!(skip >= 0)) throw UsageError{"--skip must be a number of seconds, 0 or more"};
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;
  std::vector<TRunBias> runs;
  bool failed = false;
  for (const std::string& path : o.positional) {
    runs.push_back(ComputeRunBias(path, skip, settings));
    if (!runs.back().Read) {
      err << "ratelog-cli: skipped " << path << ": " << runs.back().Error << "\n";
      failed = true;
    }
  }
  const std::vector<TRepeatGroup> groups = GroupRuns(runs);
  auto start = [](const TRunBias& r) { return r.Created != 0 ? FormatDdMmYyyyHhNn(r.Created) : std::string(); };
  if (o.Flag("json")) {
    std::string list = "\"runs\": [";
    bool first = true;
    for (const TRunBias& r : runs) {
      if (!r.Read) continue;
      list += (first ? "" : ", ") +
              JsonObject({{"file", "", JsonString(r.Path)},
                          {"ident", "", JsonString(r.Ident)},
                          {"start", "", r.Created != 0 ? JsonString(start(r)) : "null"},
                          {"begin_s", "", JsonNumber(r.Begin)},
                          {"end_s", "", JsonNumber(r.End)},
                          {"records", "", std::to_string(r.Records)},
                          {"mean_deg_h", "", JsonNumber(r.Mean)},
                          {"drift_deg_h", "", JsonNumber(r.Drift)}});
      first = false;
    }
    list += "], \"devices\": [";
    for (std::size_t i = 0; i < groups.size(); ++i)
      list += (i ? ", " : "") +
              JsonObject({{"ident", "", JsonString(groups[i].Ident)},
                          {"runs", "", std::to_string(groups[i].Runs)},
                          {"mean_deg_h", "", JsonNumber(groups[i].Mean)},
                          {"repeatability_deg_h", "", JsonNumber(groups[i].Repeatability)}});
    list += "], \"skipped\": [";
    first = true;
    for (const TRunBias& r : runs) {
      if (r.Read) continue;
      list += (first ? "" : ", ") + JsonObject({{"file", "", JsonString(r.Path)},
                                                {"error", "", JsonString(r.Error)}});
      first = false;
    }
    out << "{" << list << "], \"skip_s\": " << JsonNumber(skip) << "}\n";
  } else {
    out << "file\tident\tstart\tbegin_s\tend_s\tmean_deg_h\tdrift_deg_h\n";
    for (const TRunBias& r : runs)
      if (r.Read)
        out << Plain(r.Path) << "\t" << Plain(r.Ident) << "\t" << start(r) << "\t" << Num(r.Begin) << "\t"
            << Num(r.End) << "\t" << Num(r.Mean) << "\t" << Num(r.Drift) << "\n";
    out << "\nident\truns\tmean_deg_h\trepeatability_deg_h\n";
    for (const TRepeatGroup& g : groups)
      out << Plain(g.Ident) << "\t" << g.Runs << "\t" << Num(g.Mean) << "\t" << Num(g.Repeatability)
          << "\n";
  }
  return failed || groups.empty() ? ExitFailure : ExitOk;
}

}  // namespace cli
