#include "processing/Repeatability.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "files/RecordingReader.h"
#include "processing/Allan.h"
#include "processing/BasicParameters.h"

TRunBias ComputeRunBias(const std::string& path, double skip, const TOptionProgramm& settings) {
  TRunBias run;
  run.Path = path;
  TRecordingReader reader;
  if (!reader.Open(path)) {
    run.Error = reader.Error();
    return run;
  }
  run.Ident = reader.Info().Ident;
  // Identifications padded with blanks name the same unit.
  while (!run.Ident.empty() && (run.Ident.back() == ' ' || run.Ident.back() == '\t' || run.Ident.back() == '\0'))
    run.Ident.pop_back();
  run.Created = reader.Info().FormatVersion == rtd::FormatCurrent ? reader.Info().Created : 0.0;
  // The first and last records with a finite time.
  const std::int64_t n = reader.Info().RecordCount;
  SamplePoint p{};
  double first = NAN, last = NAN;
  for (std::int64_t i = 0; i < n && std::isnan(first); ++i)
    if (reader.ReadRecordAt(i, p) && std::isfinite(p.Time)) first = p.Time;
  for (std::int64_t i = n; i-- > 0 && std::isnan(last);)
    if (reader.ReadRecordAt(i, p) && std::isfinite(p.Time)) last = p.Time;
  reader.Close();
  if (std::isnan(first)) {
    run.Error = "no records";
    return run;
  }
  run.Begin = first + skip;
  run.End = last;
  if (run.Begin > run.End) {
    run.Error = "shorter than the warm-up skipped";
    return run;
  }
  TGeneralQuant quant;
  std::string error;
  if (!ComputeBasicParameters(path, settings, run.Begin, run.End, quant, error)) {
    run.Error = error;
    return run;
  }
  run.Records = quant.Records();
  if (run.Records == 0) {
    run.Error = "no records in the span";
    return run;
  }
  run.Read = true;
  run.Mean = quant.MeanRate;
  run.Drift = quant.DriftValid ? quant.DriftError : NAN;
  run.Temperature = quant.MeanTemperature();
  return run;
}

std::vector<TRepeatGroup> GroupRuns(const std::vector<TRunBias>& runs, double confidence,
                                    double temperatureSpread) {
  std::vector<TRepeatGroup> groups;
  for (const TRunBias& run : runs) {
    if (!run.Read) continue;
    bool known = false;
    for (const TRepeatGroup& g : groups) known = known || g.Ident == run.Ident;
    if (known) continue;
    TRepeatGroup g;
    g.Ident = run.Ident;
    long double sum = 0;
    double tmin = INFINITY, tmax = -INFINITY;
    for (const TRunBias& r : runs)
      if (r.Read && r.Ident == run.Ident) {
        sum += r.Mean;
        ++g.Runs;
        // A run without temperatures leaves the spread unknown (NaN).
        tmin = std::isnan(tmin) || std::isnan(r.Temperature) ? NAN : std::min(tmin, r.Temperature);
        tmax = std::isnan(tmax) || std::isnan(r.Temperature) ? NAN : std::max(tmax, r.Temperature);
      }
    const long double mean = sum / static_cast<long double>(g.Runs);
    long double squares = 0;
    for (const TRunBias& r : runs)
      if (r.Read && r.Ident == run.Ident) squares += (r.Mean - mean) * (r.Mean - mean);
    g.Mean = static_cast<double>(mean);
    g.Repeatability = g.Runs >= 2 ? static_cast<double>(std::sqrt(squares / static_cast<long double>(g.Runs - 1)))
                                  : std::numeric_limits<double>::quiet_NaN();
    ConfidenceInterval(g.Repeatability, static_cast<double>(g.Runs - 1), confidence, g.Lo, g.Hi);
    g.TemperatureSpread = tmax - tmin;
    g.TemperatureWarning = g.TemperatureSpread > temperatureSpread;
    groups.push_back(g);
  }
  return groups;
}
