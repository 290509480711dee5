// ratelog-cli scalefactor and positions: the scale factor from rate-table
// plateaus and the static Earth-rate tests.
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"
#include "report/ScaleFactorReport.h"

namespace cli {
int ScaleFactor(const Options& o, std::ostream& out, std::ostream& err);
int Positions(const Options& o, std::ostream& out, std::ostream& err);

// The site: the per-user site file (latitude=, axis_elevation=,
// axis_heading=), then --latitude, --axis-elevation, --axis-heading. False
// (message on err) when the file is malformed; UsageError for an angle out
// of range.
bool SiteOptions(const Options& o, TSite& site, std::ostream& err);
// The rate-table test of report and batch: --scalefactor-profile FILE,
// --scalefactor-rates LIST, --scalefactor-guard S and the site. False
// (message on err) when the profile cannot be read or is malformed.
bool ScaleFactorRequestOptions(const Options& o, TReportScaleFactorRequest& request, std::ostream& err);
inline const std::vector<std::string> kScaleFactorReportOptions = {
    "scalefactor-profile", "scalefactor-rates", "scalefactor-guard", "axis-elevation", "axis-heading"};
}  // namespace cli
