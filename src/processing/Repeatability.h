// Run-to-run (turn-on to turn-on) repeatability of the bias: several
// recordings of the same devices, each reduced to its mean bias over the
// span after warm-up, then grouped by the device's identification.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/Optionsprogramm.h"

struct TRunBias {
  std::string Path;
  bool Read = false;
  std::string Error;      // why the recording could not be used
  std::string Ident;
  double Created = 0;     // OLE date of the recording's start (0 for headerless files)
  double Begin = 0, End = 0;  // span used, s
  std::int64_t Records = 0;
  double Mean = 0;        // deg/h
  double Drift = 0;       // deg/h, 1 sigma (the calculation's drift error); NaN when the span is too short
  double Temperature = 0; // deg C, mean of the span's temperatures; NaN without any
};

struct TRepeatGroup {
  std::string Ident;
  std::int64_t Runs = 0;
  double Mean = 0;           // mean of the runs' biases, deg/h
  double Repeatability = 0;  // sample standard deviation (n - 1) of the runs' biases, deg/h; NaN below 2 runs
  // Its confidence interval (chi-square, n - 1 degrees of freedom), deg/h;
  // NaN below 2 runs.
  double Lo = 0, Hi = 0;
  // The largest difference between the runs' mean temperatures, deg C (NaN
  // when a run has none), and whether it exceeds the allowed difference.
  double TemperatureSpread = 0;
  bool TemperatureWarning = false;
};

// The repeatability's interval, as the noise analysis' (1 sigma).
inline constexpr double kRepeatConfidence = 0.683;
// Runs whose mean temperatures differ by more than this (deg C) are not
// under the same conditions.
inline constexpr double kRepeatTemperatureSpread = 2.0;

// One recording: the records from `skip` seconds after its first record to
// its last; the mean rate and the drift error with the settings' drift time.
TRunBias ComputeRunBias(const std::string& path, double skip, const TOptionProgramm& settings);

// The runs that were read, grouped by identification (trailing blanks not
// counted) in the order the identifications first appear; the interval at
// `confidence`, the warning above `temperatureSpread` deg C.
std::vector<TRepeatGroup> GroupRuns(const std::vector<TRunBias>& runs, double confidence = kRepeatConfidence,
                                    double temperatureSpread = kRepeatTemperatureSpread);
