// ratelog-cli scalefactor and positions.
#include "cli/ScaleFactorCommands.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <ostream>
#include <sstream>

#include "cli/CliCommands.h"
#include "cli/DbCommands.h"
#include "cli/Fields.h"
#include "processing/NumberFormat.h"
#include "processing/Positions.h"
#include "processing/ScaleFactor.h"
#include "processing/Thermal.h"
#include "report/Figures.h"
#include "report/Sha256.h"

namespace cli {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Num(double v) { return FormatGeneral(v, '.', 10); }

std::string Plain(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

// A comma-separated list of numbers (--rates, --drop).
std::vector<double> NumberList(const std::string& name, const std::string& text) {
  std::vector<double> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const double v = std::strtod(item.c_str(), &end);
    if (item.empty() || *end != 0 || !std::isfinite(v))
      throw UsageError{"--" + name + " is a comma-separated list of numbers, not '" + text + "'"};
    out.push_back(v);
  }
  if (out.empty()) throw UsageError{"--" + name + " is a comma-separated list of numbers"};
  return out;
}

bool ReadText(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return static_cast<bool>(in) || in.eof();
}

// A rate profile file; false (message on err) when it cannot be read or
// is malformed.
bool ReadProfile(const std::string& path, std::vector<TProfileStep>& profile, std::ostream& err) {
  std::string text, error;
  if (!ReadText(path, text)) {
    err << "ratelog-cli: cannot read profile " << path << "\n";
    return false;
  }
  if (!ParseRateProfile(text, profile, error)) {
    err << "ratelog-cli: profile " << path << ": " << error << "\n";
    return false;
  }
  return true;
}

// The site: the settings' vertical Earth rate, then SiteOptions.
bool LoadSiteFor(const Options& o, TSite& site, std::ostream& err) {
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return false;
  site.VerticalEarthRate = settings.EarthRate;
  return SiteOptions(o, site, err);
}

std::string SiteText(const TSite& s) {
  if (!s.HasLatitude) return "the settings' vertical Earth rate (input axis taken as vertical)";
  return "latitude " + Num(s.Latitude) + " deg, input axis " + Num(s.Elevation) +
         " deg above the horizontal at heading " + Num(s.Heading) + " deg";
}

struct Figure {
  std::string Name;
  double Value;
  std::string Unit;
  double Se = kNaN;
  bool HasSe = false;
};

const char* const kDefinitions[] = {
    "scale_factor: slope K of the least-squares line output = K*rate + F0 over every plateau",
    "intercept_deg_h: F0/K of that line; it holds K*(a/2)*mean|rate|, so it is not the bias",
    "bias_deg_h: bias at zero input, F0/K of the model output = K*rate + K*(a/2)*|rate| + F0",
    "bias_earth_corrected_deg_h: bias_deg_h minus earth_rate_deg_h, the Earth rate along the input axis",
    "k_plus, k_minus: slopes of the lines through the plateaus at rate >= 0 and at rate <= 0 alone",
    "asymmetry_ppm: |k_plus - k_minus| / ((k_plus + k_minus)/2)",
    "nonlinearity_ppm_fs: largest |residual| from the single line, ppm of full-scale output "
    "(K * largest |rate|); it includes the asymmetry",
    "nonlinearity_two_slope_ppm_fs: the same from the model with the asymmetry term",
    "residual_ppm (per plateau): residual from the single line, ppm of reading (K*rate)",
    "tc_ppm_per_c: temperature coefficient of K over the plateaus' temperatures",
    "uncertainties: 1 sigma standard errors (\u00B1)"};

struct Run {
  std::string Path;
  std::string Source;
  TScaleFactorResult R;
  double First = 0, Last = 0;  // the recording's first and last record time, s
};

// A recording's result as the results store takes it: the whole recording.
TReportContent StoredContent(const std::string& path, double first, double last) {
  TReportContent c;
  c.Path = path;
  c.Begin = c.FirstRecordTime = first;
  c.End = c.LastRecordTime = last;
  return c;
}

// The rate-table test's figures of each recording with one, named and
// rounded as report and batch store them, with the repeatability over
// the recordings when there are several.
std::vector<TReportContent> ScaleFactorResults(const std::vector<Run>& runs, const std::string& site, bool several) {
  std::vector<TReportContent> units;
  for (const Run& run : runs) {
    if (!run.R.Valid) continue;
    TReportContent c = StoredContent(run.Path, run.First, run.Last);
    c.ScaleFactor.Present = true;
    c.ScaleFactor.Result = run.R;
    c.ScaleFactor.Source = run.Source;
    c.ScaleFactor.EarthRateSource = site;
    units.push_back(std::move(c));
  }
  if (several) {
    std::vector<TReportScaleFactor*> sf;
    for (TReportContent& c : units) sf.push_back(&c.ScaleFactor);
    ApplyRunsToUnits(sf);
  }
  for (TReportContent& c : units) {
    c.ScaleFactorFigures = {"scalefactor", ScaleFactorFigures(c.ScaleFactor)};
    RoundFiguresToUncertainty(c.ScaleFactorFigures.Figures);
  }
  return units;
}

std::string RunJson(const Run& run, double guard) {
  const TScaleFactorResult& r = run.R;
  std::string plateaus = "[";
  for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
    const TPlateau& p = r.Plateaus[i];
    plateaus += (i ? ", " : "") +
                JsonObject({{"rate_deg_s", "", JsonNumber(p.Rate)},
                            {"output_deg_s", "", JsonNumber(p.Output)},
                            {"output_se_deg_s", "", JsonNumber(p.OutputSe)},
                            {"residual_ppm", "", JsonNumber(r.ResidualPpm[i])},
                            {"residual_ppm_fs", "", JsonNumber(r.ResidualFsPpm[i])},
                            {"records", "", std::to_string(p.Records)},
                            {"temperature_c", "", JsonNumber(p.Temperature)},
                            {"begin_s", "", JsonNumber(p.Begin)},
                            {"end_s", "", JsonNumber(p.End)},
                            {"used", "", p.Used ? "true" : "false"}});
  }
  plateaus += "]";
  std::vector<Field> f = {{"file", "", JsonString(run.Path)},
                          {"plateau_source", "", JsonString(run.Source)},
                          {"guard_s", "", JsonNumber(guard)},
                          {"scale_factor", "", JsonNumber(r.K)},
                          {"scale_factor_se", "", JsonNumber(r.KSe)},
                          {"intercept_deg_h", "", JsonNumber(r.InterceptDegH)},
                          {"intercept_deg_h_se", "", JsonNumber(r.InterceptSe)},
                          {"bias_deg_h", "", JsonNumber(r.BiasDegH)},
                          {"bias_deg_h_se", "", JsonNumber(r.BiasSe)},
                          {"earth_rate_deg_h", "", JsonNumber(r.EarthRateDegH)},
                          {"bias_earth_corrected_deg_h", "", JsonNumber(r.BiasCorrectedDegH)},
                          {"k_plus", "", JsonNumber(r.KPlus)},
                          {"k_plus_se", "", JsonNumber(r.KPlusSe)},
                          {"k_minus", "", JsonNumber(r.KMinus)},
                          {"k_minus_se", "", JsonNumber(r.KMinusSe)},
                          {"asymmetry_ppm", "", JsonNumber(r.AsymmetryPpm)},
                          {"asymmetry_ppm_se", "", JsonNumber(r.AsymmetrySe)},
                          {"nonlinearity_ppm_fs", "", JsonNumber(r.NonlinearityPpmFs)},
                          {"nonlinearity_ppm_fs_se", "", JsonNumber(r.NonlinearitySe)},
                          {"nonlinearity_two_slope_ppm_fs", "", JsonNumber(r.NonlinearityAsymPpmFs)},
                          {"full_scale_deg_s", "", JsonNumber(r.FullScale)},
                          {"tc_ppm_per_c", "", JsonNumber(r.TcPpmPerC)},
                          {"tc_ppm_per_c_se", "", JsonNumber(r.TcSe)}};
  return JsonObject(f, "\"plateaus\": " + plateaus);
}

void RunText(const Run& run, std::ostream& out) {
  const TScaleFactorResult& r = run.R;
  out << "# " << Plain(run.Path) << ": plateaus " << run.Source << "\n";
  out << "#\trate_deg_s\toutput_deg_s\tse_deg_s\trecords\ttemperature_c\tbegin_s\tend_s\tresidual_ppm\t"
         "residual_ppm_fs\n";
  for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
    const TPlateau& p = r.Plateaus[i];
    out << (i + 1) << (p.Used ? "" : " (dropped)") << "\t" << Num(p.Rate) << "\t" << Num(p.Output) << "\t"
        << Num(p.OutputSe) << "\t" << p.Records << "\t" << Num(p.Temperature) << "\t" << Num(p.Begin)
        << "\t" << Num(p.End) << "\t" << Num(r.ResidualPpm[i]) << "\t" << Num(r.ResidualFsPpm[i]) << "\n";
  }
  if (!r.Valid) return;
  const std::vector<Figure> figures = {
      {"scale_factor", r.K, "", r.KSe, true},
      {"intercept", r.InterceptDegH, "\u00B0/h", r.InterceptSe, true},
      {"bias", r.BiasDegH, "\u00B0/h", r.BiasSe, true},
      {"earth_rate", r.EarthRateDegH, "\u00B0/h"},
      {"bias_earth_corrected", r.BiasCorrectedDegH, "\u00B0/h", r.BiasSe, true},
      {"k_plus", r.KPlus, "", r.KPlusSe, true},
      {"k_minus", r.KMinus, "", r.KMinusSe, true},
      {"asymmetry", r.AsymmetryPpm, "ppm", r.AsymmetrySe, true},
      {"nonlinearity", r.NonlinearityPpmFs, "ppm of full scale", r.NonlinearitySe, true},
      {"nonlinearity_two_slope", r.NonlinearityAsymPpmFs, "ppm of full scale"},
      {"full_scale", r.FullScale, "\u00B0/s"},
      {"tc", r.TcPpmPerC, "ppm/\u00B0C", r.TcSe, true}};
  for (const Figure& f : figures) {
    out << f.Name << " " << Num(f.Value);
    if (!f.Unit.empty()) out << " " << f.Unit;
    if (f.HasSe) out << " \u00B1 " << Num(f.Se);
    out << "\n";
  }
}

}  // namespace

bool SiteOptions(const Options& o, TSite& site, std::ostream& err) {
  const std::string path = SiteFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  std::string text, error;
  if (!path.empty() && ReadText(path, text) && !ParseSite(text, site, error)) {
    err << "ratelog-cli: " << path << ": " << error << "\n";
    return false;
  }
  if (auto v = o.Number("latitude")) {
    if (std::fabs(*v) > 90) throw UsageError{"--latitude must lie in -90..90 deg"};
    site.HasLatitude = true;
    site.Latitude = *v;
  }
  if (auto v = o.Number("axis-elevation")) {
    if (std::fabs(*v) > 90) throw UsageError{"--axis-elevation must lie in -90..90 deg"};
    site.Elevation = *v;
  }
  if (auto v = o.Number("axis-heading")) site.Heading = *v;
  return true;
}

bool ScaleFactorRequestOptions(const Options& o, TReportScaleFactorRequest& request, std::ostream& err) {
  request.Guard = o.Number("scalefactor-guard").value_or(kDefaultGuard);
  if (!(request.Guard >= 0)) throw UsageError{"--scalefactor-guard must be a number of seconds, 0 or more"};
  if (auto path = o.Get("scalefactor-profile")) {
    if (o.Get("scalefactor-rates")) throw UsageError{"--scalefactor-profile and --scalefactor-rates exclude each other"};
    if (!ReadProfile(*path, request.Profile, err)) return false;
    request.ProfileName = *path;
  }
  if (auto rates = o.Get("scalefactor-rates")) request.Rates = NumberList("scalefactor-rates", *rates);
  return SiteOptions(o, request.Site, err);
}

int ScaleFactor(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.empty()) throw UsageError{"scalefactor needs one or more recording files"};
  const double guard = o.Number("guard").value_or(kDefaultGuard);
  if (!(guard >= 0)) throw UsageError{"--guard must be a number of seconds, 0 or more"};
  std::vector<TProfileStep> profile;
  if (auto path = o.Get("profile")) {
    if (o.Get("rates")) throw UsageError{"--profile and --rates exclude each other"};
    if (!ReadProfile(*path, profile, err)) return ExitFailure;
  }
  TPlateauOptions options;
  options.Guard = guard;
  if (auto rates = o.Get("rates")) options.Rates = NumberList("rates", *rates);
  std::vector<double> drop;
  if (auto d = o.Get("drop")) drop = NumberList("drop", *d);
  TSite site;
  if (!LoadSiteFor(o, site, err)) return ExitFailure;

  std::vector<Run> runs;
  bool failed = false;
  for (const std::string& path : o.positional) {
    std::vector<SamplePoint> records;
    std::string error;
    if (!ReadSpanRecords(path, -kInf, kInf, records, error)) {
      err << "ratelog-cli: cannot read recording " << error << "\n";
      failed = true;
      continue;
    }
    Run run;
    run.Path = path;
    if (!records.empty()) run.First = records.front().Time, run.Last = records.back().Time;
    std::vector<TPlateau> plateaus;
    if (!profile.empty()) {
      plateaus = ProfilePlateaus(records, profile, guard, error);
      run.Source = "from the profile " + *o.Get("profile") + ", guard " + Num(guard) + " s";
      if (plateaus.empty()) err << "ratelog-cli: " << path << ": " << error << "\n";
    } else {
      int unmatched = 0;
      plateaus = DetectPlateaus(records, options, &unmatched);
      run.Source = "found in the recording, guard " + Num(guard) + " s, " +
                   (options.Rates.empty()
                        ? std::string("commanded rates taken as each plateau's mean rounded to two "
                                      "significant digits (give --rates or --profile for a measured "
                                      "scale factor)")
                        : "snapped to --rates");
      if (unmatched > 0)
        err << "ratelog-cli: " << path << ": " << unmatched
            << " steady stretches at no rate of --rates were left out\n";
    }
    for (double d : drop) {
      if (d != std::floor(d) || d < 1 || d > static_cast<double>(plateaus.size()))
        throw UsageError{"--drop " + Num(d) + ": " + path + " has plateaus 1.." +
                         std::to_string(plateaus.size())};
      plateaus[static_cast<std::size_t>(d) - 1].Used = false;
    }
    run.R = ComputeScaleFactor(std::move(plateaus), site);
    if (!run.R.Valid) {
      err << "ratelog-cli: " << path << ": no scale factor: " << run.R.Message << "\n";
      failed = true;
    }
    runs.push_back(std::move(run));
  }
  std::vector<double> ks, temps;
  for (const Run& run : runs)
    if (run.R.Valid) {
      ks.push_back(run.R.K);
      double t = 0;
      int n = 0;
      for (const TPlateau& p : run.R.Plateaus)
        if (p.Used) t += p.Temperature, ++n;
      temps.push_back(n ? t / n : kNaN);
    }
  const TScaleFactorRuns across = CompareRuns(ks, temps);
  const bool several = o.positional.size() > 1;
  if (o.Flag("json")) {
    std::string defs = "\"definitions\": [";
    for (std::size_t i = 0; i < std::size(kDefinitions); ++i)
      defs += (i ? ", " : "") + JsonString(kDefinitions[i]);
    defs += "], \"earth_rate_source\": " + JsonString(SiteText(site));
    if (!several) {
      if (runs.empty()) return ExitFailure;
      std::string object = RunJson(runs[0], guard);
      object.pop_back();
      out << object << ", " << defs << "}\n";
    } else {
      std::string list = "[";
      for (std::size_t i = 0; i < runs.size(); ++i) list += (i ? ", " : "") + RunJson(runs[i], guard);
      out << JsonObject({{"runs_used", "", std::to_string(across.Runs)},
                         {"mean_scale_factor", "", JsonNumber(across.MeanK)},
                         {"repeatability_ppm", "", JsonNumber(across.RepeatabilityPpm)},
                         {"repeatability_ppm_lo", "", JsonNumber(across.RepeatabilityLo)},
                         {"repeatability_ppm_hi", "", JsonNumber(across.RepeatabilityHi)},
                         {"tc_runs_ppm_per_c", "", JsonNumber(across.TcPpmPerC)},
                         {"tc_runs_ppm_per_c_se", "", JsonNumber(across.TcSe)}},
                        "\"runs\": " + list + "], " + defs)
          << "\n";
    }
  } else {
    for (const char* d : kDefinitions) out << "# " << d << "\n";
    out << "# earth rate along the input axis from " << SiteText(site) << "\n";
    for (const Run& run : runs) RunText(run, out);
    if (several) {
      out << "runs " << across.Runs << "\n";
      out << "mean_scale_factor " << Num(across.MeanK) << "\n";
      out << "repeatability " << Num(across.RepeatabilityPpm) << " ppm (1 sigma of K over runs; 68.3 % interval "
          << Num(across.RepeatabilityLo) << " .. " << Num(across.RepeatabilityHi) << ")\n";
      out << "tc_runs " << Num(across.TcPpmPerC) << " ppm/\u00B0C \u00B1 " << Num(across.TcSe)
          << " (K against each run's mean temperature)\n";
    }
  }
  StoreCommandResults(o, "scalefactor", ScaleFactorResults(runs, SiteText(site), several), err);
  return failed ? ExitFailure : ExitOk;
}

int Positions(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.empty())
    throw UsageError{"positions needs one recording file per position, or one with --plateaus"};
  const std::string name = o.Get("test").value_or("");
  TPositionTest test;
  if (name == "four") test = TPositionTest::Four;
  else if (name == "updown") test = TPositionTest::UpDown;
  else if (name == "tumble") test = TPositionTest::Tumble;
  else throw UsageError{"--test must be four, updown or tumble"};
  TSite site;
  if (!LoadSiteFor(o, site, err)) return ExitFailure;
  const double latitude = site.HasLatitude ? site.Latitude : kNaN;
  if (test != TPositionTest::Tumble && !site.HasLatitude)
    throw UsageError{"--test " + name + " needs --latitude (or latitude= in " +
                     SiteFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")) + ")"};
  std::vector<TPosition> positions;
  std::vector<std::string> names;  // each position's recording, or its span in the one recording
  double first = 0, last = 0;      // the first recording's first and last record time, s
  if (o.Flag("plateaus")) {
    if (o.positional.size() != 1) throw UsageError{"--plateaus takes one recording that holds every position"};
    const double guard = o.Number("guard").value_or(kDefaultGuard);
    if (!(guard >= 0)) throw UsageError{"--guard must be a number of seconds, 0 or more"};
    std::vector<SamplePoint> records;
    std::string error;
    if (!ReadSpanRecords(o.positional[0], -kInf, kInf, records, error)) {
      err << "ratelog-cli: cannot read recording " << error << "\n";
      return ExitFailure;
    }
    if (!records.empty()) first = records.front().Time, last = records.back().Time;
    std::vector<std::pair<double, double>> spans;
    positions = PositionsFromPlateaus(records, guard, &spans);
    const std::size_t wanted = test == TPositionTest::Four ? 4 : test == TPositionTest::UpDown ? 2 : 0;
    if ((wanted && positions.size() != wanted) || positions.size() < 2) {
      err << "ratelog-cli: " << o.positional[0] << ": " << positions.size()
          << " positions at rest found, the " << name << " test takes "
          << (wanted ? std::to_string(wanted) : std::string("three or more")) << "\n";
      return ExitFailure;
    }
    for (const auto& [b, e] : spans) names.push_back(o.positional[0] + " " + Num(b) + ".." + Num(e) + " s");
  } else {
    if (o.Get("guard")) throw UsageError{"--guard is for --plateaus"};
    for (const std::string& path : o.positional) {
      std::vector<SamplePoint> records;
      std::string error;
      if (!ReadSpanRecords(path, -kInf, kInf, records, error)) {
        err << "ratelog-cli: cannot read recording " << error << "\n";
        return ExitFailure;
      }
      if (names.empty() && !records.empty()) first = records.front().Time, last = records.back().Time;
      positions.push_back(MeasurePosition(records));
      names.push_back(path);
    }
  }
  const TPositionsResult r = ComputePositions(test, positions, latitude);
  if (o.Flag("json")) {
    std::string list = "[";
    for (std::size_t i = 0; i < positions.size(); ++i)
      list += (i ? ", " : "") + JsonObject({{"file", "", JsonString(names[i])},
                                            {"mean_deg_h", "", JsonNumber(positions[i].Mean)},
                                            {"mean_se_deg_h", "", JsonNumber(positions[i].Se)},
                                            {"records", "", std::to_string(positions[i].Records)}});
    out << JsonObject({{"test", "", JsonString(name)},
                       {"scale_factor", "", JsonNumber(r.K)},
                       {"scale_factor_se", "", JsonNumber(r.KSe)},
                       {"bias_deg_h", "", JsonNumber(r.BiasDegH)},
                       {"bias_deg_h_se", "", JsonNumber(r.BiasSe)},
                       {"misalignment_deg", "", JsonNumber(r.MisalignmentDeg)},
                       {"misalignment_deg_se", "", JsonNumber(r.MisalignmentSe)},
                       {"latitude_deg", "", JsonNumber(test == TPositionTest::Tumble ? r.LatitudeDeg : latitude)},
                       {"latitude_deg_se", "", JsonNumber(r.LatitudeSe)},
                       {"earth_rate_deg_h", "", JsonNumber(kEarthRateDegH)},
                       {"note", "", JsonString(kPositionsNote)}},
                      "\"positions\": " + list + "]")
        << "\n";
  } else {
    out << "# " << kPositionsNote << "\n# position\tfile\tmean_deg_h\tse_deg_h\trecords\n";
    for (std::size_t i = 0; i < positions.size(); ++i)
      out << (i + 1) << "\t" << Plain(names[i]) << "\t" << Num(positions[i].Mean) << "\t"
          << Num(positions[i].Se) << "\t" << positions[i].Records << "\n";
    if (r.Valid) {
      out << "scale_factor " << Num(r.K) << " \u00B1 " << Num(r.KSe) << "\n";
      out << "bias " << Num(r.BiasDegH) << " \u00B0/h \u00B1 " << Num(r.BiasSe) << "\n";
      if (test == TPositionTest::Four)
        out << "misalignment " << Num(r.MisalignmentDeg) << " deg \u00B1 " << Num(r.MisalignmentSe)
            << " (heading of the input axis)\n";
      if (test == TPositionTest::Tumble)
        out << "latitude " << Num(r.LatitudeDeg) << " deg \u00B1 " << Num(r.LatitudeSe)
            << " (implied by the first harmonic"
            << (site.HasLatitude ? "; given " + Num(site.Latitude) + " deg" : std::string()) << ")\n";
    }
  }
  if (!r.Valid) {
    err << "ratelog-cli: " << r.Message << "\n";
    return ExitFailure;
  }
  // The store keeps the first recording (its digest traces the result);
  // the others are named with theirs among the settings.
  TReportContent c = StoredContent(o.positional[0], first, last);
  c.Settings.Rows.push_back({"Test", name, kNaN, ""});
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string text = names[i], sha, error;
    std::int64_t size = 0;
    if (i > 0 && !o.Flag("plateaus"))
      text += Sha256File(names[i], sha, size, error) ? " SHA-256 " + sha : " (" + error + ")";
    c.Settings.Rows.push_back({"Position " + std::to_string(i + 1), text, kNaN, ""});
  }
  const auto figure = [](const std::string& caption, double v, const char* unit) {
    return TFigure{caption, Num(v), v, unit};
  };
  c.Calc = {"positions",
            {figure("positions_sf", r.K, ""), figure("positions_sf_se", r.KSe, ""),
             figure("positions_bias_deg_h", r.BiasDegH, "\u00B0/h"),
             figure("positions_bias_deg_h_se", r.BiasSe, "\u00B0/h")}};
  if (test == TPositionTest::Four)
    c.Calc.Figures.insert(c.Calc.Figures.end(), {figure("positions_misalignment_deg", r.MisalignmentDeg, "deg"),
                                                 figure("positions_misalignment_deg_se", r.MisalignmentSe, "deg")});
  if (test == TPositionTest::Tumble)
    c.Calc.Figures.insert(c.Calc.Figures.end(), {figure("positions_latitude_deg", r.LatitudeDeg, "deg"),
                                                 figure("positions_latitude_deg_se", r.LatitudeSe, "deg")});
  StoreCommandResults(o, "positions", {c}, err);
  return ExitOk;
}

}  // namespace cli
