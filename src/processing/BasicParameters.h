// The basic parameters of a recording over a time span: the records are read
// from the file as stored (rates in deg/s, converted to deg/h by the
// calculator), and the four results are laid out as the result table shows
// them.
#pragma once

#include <array>
#include <string>

#include "processing/Generalquantities.h"
#include "settings/Optionsprogramm.h"

struct TBasicParameterRow {
  const char* Name;
  std::string Value;
  const char* Dimension;
};

// Feeds the records of `path` whose time lies in [begin, end] to `quant`
// (after SetSettings(settings)), stopping after the span, then runs the
// three computations. NaN records are skipped by the calculator. Returns
// false with `error` set when the file cannot be read.
bool ComputeBasicParameters(const std::string& path, const TOptionProgramm& settings,
                            double begin, double end, TGeneralQuant& quant, std::string& error);

// The four result rows: "Average value signal", "Drift error" (times
// sigmaFactor), "Random walk", "Bias error"; "NAN" where a result is not
// valid.
std::array<TBasicParameterRow, 4> BasicParameterRows(const TGeneralQuant& quant, int sigmaFactor,
                                                     char decimalSeparator);
