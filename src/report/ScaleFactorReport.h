// The rate-table test in the report, `batch` and the limits: where the
// recording holds one (steady plateaus at rates at least 1 deg/s apart), or
// where a profile or the commanded rates are given, the scale factor's
// figures as one table whose fields (sf, sf_asymmetry_ppm, ...) limits may
// name, and across the units of a batch the repeatability of K and its
// temperature coefficient.
#pragma once

#include <string>
#include <vector>

#include "processing/ScaleFactor.h"
#include "report/Figures.h"
#include "report/Limits.h"

// What the report is told about the rate-table test.
struct TReportScaleFactorRequest {
  std::vector<TProfileStep> Profile;  // empty: plateaus found in the recording
  std::string ProfileName;            // the profile's file, for the page
  std::vector<double> Rates;          // commanded rates to snap to (deg/s); empty: each plateau's mean
  double Guard = kDefaultGuard;       // s left out after each change of rate
  TSite Site;                         // its VerticalEarthRate is the settings' Earth rate
};

struct TReportScaleFactor {
  bool Present = false;    // the page is shown: a rate-table test was found or a profile given
  TScaleFactorResult Result;
  std::string Source;      // how the plateaus and their commanded rates were found
  std::string Note;        // why there are no figures (empty when there are)
  std::string EarthRateSource;  // latitude and axis, or the settings' vertical Earth rate
  // Across the units of a batch (Runs 0 in a report of one recording).
  TScaleFactorRuns Runs;
  bool TcFromRuns = false;  // sf_tc_ppm_per_c is the batch's, over the runs' temperatures
};

// Least span of the plateaus' rates, deg/s, for a recording to hold a
// rate-table test when no profile is given: a gyroscope at rest never reads
// 3600 deg/h apart.
inline constexpr double kRateTableMinSpan = 1.0;

// The test in `records` as `request` describes it.
TReportScaleFactor ComputeReportScaleFactor(const std::vector<SamplePoint>& records,
                                            const TReportScaleFactorRequest& request);

// The figures, named as limits name them ("sf", "sf_se", "sf_bias_deg_h",
// ...), each printed with ten significant digits ("NAN" where there is
// none: no test, a direction without plateaus, one run).
std::vector<TFigure> ScaleFactorFigures(const TReportScaleFactor& sf);

// The across-run figures of a batch: K of every unit with figures against
// the mean temperature of its plateaus (CompareRuns), stored in each unit's
// TReportScaleFactor; a unit without its own temperature coefficient gets
// the runs' one (TcFromRuns). Returns the runs.
TScaleFactorRuns ApplyRunsToUnits(std::vector<TReportScaleFactor*> units);

// The definitions the page and the manual give, one a figure.
struct TScaleFactorDefinition {
  const char* Name;
  const char* Text;
};
extern const TScaleFactorDefinition kScaleFactorDefinitions[];
extern const std::size_t kScaleFactorDefinitionCount;
