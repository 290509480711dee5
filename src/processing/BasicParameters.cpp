#include "processing/BasicParameters.h"

#include "files/RecordingReader.h"
#include "processing/NumberFormat.h"

bool ComputeBasicParameters(const std::string& path, const TOptionProgramm& settings,
                            double begin, double end, TGeneralQuant& quant, std::string& error) {
  quant.SetSettings(settings);
  quant.Begin = begin;
  quant.End = end;
  TRecordingReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  SamplePoint p;
  while (!quant.Past && reader.Next(p)) quant.AddPoint(p.Time, p.Rate, p.Temperature);
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  quant.ComputeMean();
  quant.ComputeDrift();
  quant.ComputeRandomWalk();
  return true;
}

std::array<TBasicParameterRow, 4> BasicParameterRows(const TGeneralQuant& quant, int sigmaFactor,
                                                     char sep) {
  // Without a single record in the span there is nothing to report: an
  // average of 0 would describe a perfect gyroscope.
  const bool any = !quant.Empty();
  return {{
      {"Average value signal", any ? FormatFixed(quant.MeanRate, 10, 5, sep) : "NAN", "\u00B0/h"},
      {"Drift error",
       any && quant.DriftValid ? FormatFixed(sigmaFactor * quant.DriftError, 10, 5, sep) : "NAN",
       "\u00B0/h"},
      {"Random walk", any && quant.WalkValid ? FormatFixed(quant.RandomWalk, 6, 5, sep) : "NAN",
       "\u00B0/Vh"},
      {"Bias error", any ? FormatFixed(quant.BiasError, 10, 5, sep) : "NAN", "\u00B0/h"},
  }};
}
