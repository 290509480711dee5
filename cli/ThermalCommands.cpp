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
// The spread of the runs' biases, as every output names it.
constexpr const char* kSpreadName = "sample standard deviation (n - 1) of the runs' mean biases";

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
  if (auto v = o.Number("tref")) {
    if (!std::isfinite(*v)) throw UsageError{"--tref must be a temperature in \u00B0C"};
    options.TRef = *v;
  }
  options.RateTerm = !o.Flag("no-rate-term");
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;
  options.TLow = settings.TempLimitMin;
  options.THigh = settings.TempLimitMax;
  double begin, end;
  Span(o, begin, end);
  std::vector<SamplePoint> records;
  std::string error;
  if (!ReadSpanRecords(o.positional[0], begin, end, records, error)) {
    err << "ratelog-cli: cannot read recording " << error << "\n";
    return ExitFailure;
  }
  const TThermalResult r = ComputeThermalInPlace(records, options);
  const bool json = o.Flag("json");
  const char* units[] = {"\u00B0/h", "\u00B0/h/\u00B0C", "\u00B0/h/\u00B0C^2", "\u00B0/h/\u00B0C^3"};
  std::vector<Figure> figures;
  for (int k = 0; k <= 3; ++k) {
    if (k > options.Order && !json) continue;
    const std::string name = "b" + std::to_string(k);
    figures.push_back({name, name, r.B[k], units[k], true, r.BSe[k]});
  }
  if (options.RateTerm || json)
    figures.push_back({"c", "c", r.C, "\u00B0/h/(\u00B0C/min)", true, r.CSe});
  figures.push_back({"tref_c", "tref", options.TRef, "\u00B0C"});
  figures.push_back({"bias_tref_deg_h", "bias_tref", r.BiasRef, "\u00B0/h", true, r.BiasRefSe});
  figures.push_back({"residual_rms_deg_h", "residual_rms", r.ResidualRms, "\u00B0/h"});
  figures.push_back({"residual_rms_avg_deg_h", "residual_rms_avg", r.ResidualRmsAvg, "\u00B0/h"});
  figures.push_back({"r2", "r2", r.R2, ""});
  figures.push_back({"t_min_c", "t_min", r.TMin, "\u00B0C"});
  figures.push_back({"t_max_c", "t_max", r.TMax, "\u00B0C"});
  figures.push_back({"hysteresis_deg_h", "hysteresis", r.Hysteresis, "\u00B0/h", true, r.HysteresisSe});
  figures.push_back({"n_raw", "n_raw", r.NRaw, "\u00B0/Vh"});
  figures.push_back({"b_raw", "b_raw", r.BRaw, "\u00B0/h"});
  figures.push_back({"n_compensated", "n_compensated", r.NCompensated, "\u00B0/Vh"});
  figures.push_back({"b_compensated", "b_compensated", r.BCompensated, "\u00B0/h"});
  std::string extra = "\"order\": " + std::to_string(options.Order) +
                      ", \"average_s\": " + JsonNumber(options.Average) +
                      ", \"records\": " + std::to_string(r.Records) +
                      ", \"blocks\": " + std::to_string(r.Blocks.size()) +
                      ", \"out_of_range\": " + std::to_string(r.OutOfRange) +
                      ", \"spikes\": " + std::to_string(r.Spikes) +
                      ", \"rate_span_s\": " + JsonNumber(r.RateSpan);
  std::vector<std::pair<std::string, std::string>> notes;  // name, text
  if (!r.BiasRefNote.empty()) notes.push_back({"bias_tref", r.BiasRefNote});
  if (!r.HysteresisNote.empty()) notes.push_back({"hysteresis", r.HysteresisNote});
  if (json) {
    std::string list;
    for (const auto& [name, text] : notes) list += (list.empty() ? "" : ", ") + JsonString(name) + ": " + JsonString(text);
    extra += ", \"notes\": {" + list + "}, \"warnings\": [";
    for (std::size_t i = 0; i < r.Warnings.size(); ++i) extra += (i ? ", " : "") + JsonString(r.Warnings[i]);
    extra += "], \"plateaus\": [";
    for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
      const TThermalPlateau& p = r.Plateaus[i];
      extra += (i ? ", " : "") + JsonObject({{"begin_s", "", JsonNumber(p.Begin)},
                                             {"end_s", "", JsonNumber(p.End)},
                                             {"t_c", "", JsonNumber(p.Temperature)},
                                             {"bias_deg_h", "", JsonNumber(p.Bias)},
                                             {"bias_deg_h_se", "", JsonNumber(p.BiasSe)},
                                             {"blocks", "", std::to_string(p.Blocks)}});
    }
    extra += "]";
  }
  WriteFigures(figures, extra, json, out);
  StoreFigures(o, "thermal", begin, end, ThermalFigures(r), err);
  if (!json) {
    out << "readings_out_of_range " << r.OutOfRange << "\n"
        << "temperature_spikes " << r.Spikes << "\n";
    for (const auto& [name, text] : notes) out << "note " << name << ": " << text << "\n";
    for (const std::string& w : r.Warnings) out << "warning " << w << "\n";
    if (!r.Plateaus.empty()) {
      out << "plateau\tbegin_s\tend_s\tt_c\tbias_deg_h\tbias_se_deg_h\n";
      for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
        const TThermalPlateau& p = r.Plateaus[i];
        out << i + 1 << "\t" << Num(p.Begin) << "\t" << Num(p.End) << "\t" << Num(p.Temperature) << "\t"
            << Num(p.Bias) << "\t" << Num(p.BiasSe) << "\n";
      }
    }
  }
  for (const std::string& w : r.Warnings) err << "ratelog-cli: warning: " << w << "\n";
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
  const TWarmupFit& f = r.Fit;
  WriteFigures({{"warmup_s", "warmup", r.Time, "s"},
                {"final_deg_h", "final", r.Final, "\u00B0/h"},
                {"excursion_deg_h", "excursion", r.Excursion, "\u00B0/h"},
                {"window_s", "window", window, "s"},
                {"band_deg_h", "band", band, "\u00B0/h"},
                {"window_noise_deg_h", "window_noise", r.WindowNoise, "\u00B0/h"},
                {"tail_change_deg_h", "tail_change", r.TailChange, "\u00B0/h", true, r.TailChangeSe},
                {"warmup_fit_s", "warmup_fit", f.Time, "s", true, f.TimeSe},
                {"settled_deg_h", "settled", f.Settled, "\u00B0/h", true, f.SettledSe},
                {"amplitude_deg_h", "amplitude", f.Amplitude, "\u00B0/h", true, f.AmplitudeSe},
                {"tau_s", "tau", f.Tau, "s", true, f.TauSe}},
               "\"settled\": " + std::string(r.Settled ? "true" : "false"), o.Flag("json"), out);
  if (!r.Valid) {
    err << "ratelog-cli: no warm-up time: " << r.Message << "\n";
    return ExitFailure;
  }
  if (!f.Valid) err << "ratelog-cli: no fit of the transient: " << f.Reason << "\n";
  if (!r.Settled) {
    err << "ratelog-cli: " << r.Message << "\n";
    return ExitFailure;
  }
  if (r.NoiseLimited) {
    err << "ratelog-cli: warning: " << r.Message << "\n";
    if (!f.Valid) return ExitFailure;
  }
  return ExitOk;
}

int Repeat(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.empty()) throw UsageError{"repeat needs one or more recording files"};
  const double skip = o.Number("skip").value_or(0.0);
  if (!(skip >= 0)) throw UsageError{"--skip must be a number of seconds, 0 or more"};
  const double confidence = o.Number("confidence").value_or(kRepeatConfidence);
  if (!(confidence > 0 && confidence < 1)) throw UsageError{"--confidence must lie between 0 and 1"};
  const double spreadLimit = o.Number("temperature-spread").value_or(kRepeatTemperatureSpread);
  if (!(spreadLimit >= 0)) throw UsageError{"--temperature-spread must be a number of deg C, 0 or more"};
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
  const std::vector<TRepeatGroup> groups = GroupRuns(runs, confidence, spreadLimit);
  for (const TRepeatGroup& g : groups)
    if (g.TemperatureWarning)
      err << "ratelog-cli: warning: the runs of " << Plain(g.Ident) << " differ by " << Num(g.TemperatureSpread)
          << " \u00B0C in mean temperature (more than " << Num(spreadLimit) << " \u00B0C)\n";
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
                          {"drift_deg_h", "", JsonNumber(r.Drift)},
                          {"temperature_c", "", JsonNumber(r.Temperature)}});
      first = false;
    }
    list += "], \"devices\": [";
    for (std::size_t i = 0; i < groups.size(); ++i)
      list += (i ? ", " : "") +
              JsonObject({{"ident", "", JsonString(groups[i].Ident)},
                          {"runs", "", std::to_string(groups[i].Runs)},
                          {"mean_deg_h", "", JsonNumber(groups[i].Mean)},
                          {"repeatability_deg_h", "", JsonNumber(groups[i].Repeatability)},
                          {"repeatability_lo_deg_h", "", JsonNumber(groups[i].Lo)},
                          {"repeatability_hi_deg_h", "", JsonNumber(groups[i].Hi)},
                          {"temperature_spread_c", "", JsonNumber(groups[i].TemperatureSpread)},
                          {"temperature_warning", "", groups[i].TemperatureWarning ? "true" : "false"}});
    list += "], \"skipped\": [";
    first = true;
    for (const TRunBias& r : runs) {
      if (r.Read) continue;
      list += (first ? "" : ", ") + JsonObject({{"file", "", JsonString(r.Path)},
                                                {"error", "", JsonString(r.Error)}});
      first = false;
    }
    out << "{" << list << "], \"skip_s\": " << JsonNumber(skip) << ", \"repeatability\": " << JsonString(kSpreadName)
        << ", \"confidence\": " << JsonNumber(confidence)
        << ", \"temperature_spread_limit_c\": " << JsonNumber(spreadLimit) << "}\n";
  } else {
    out << "file\tident\tstart\tbegin_s\tend_s\tmean_deg_h\tdrift_deg_h\ttemperature_c\n";
    for (const TRunBias& r : runs)
      if (r.Read)
        out << Plain(r.Path) << "\t" << Plain(r.Ident) << "\t" << start(r) << "\t" << Num(r.Begin) << "\t"
            << Num(r.End) << "\t" << Num(r.Mean) << "\t" << Num(r.Drift) << "\t" << Num(r.Temperature) << "\n";
    out << "\n# repeatability: " << kSpreadName << "; lo..hi at confidence " << Num(confidence)
        << " (chi-square, n - 1 degrees of freedom)\n";
    out << "ident\truns\tmean_deg_h\trepeatability_deg_h\tlo_deg_h\thi_deg_h\ttemperature_spread_c\n";
    for (const TRepeatGroup& g : groups)
      out << Plain(g.Ident) << "\t" << g.Runs << "\t" << Num(g.Mean) << "\t" << Num(g.Repeatability) << "\t"
          << Num(g.Lo) << "\t" << Num(g.Hi) << "\t" << Num(g.TemperatureSpread) << "\n";
  }
  return failed || groups.empty() ? ExitFailure : ExitOk;
}

}  // namespace cli
