// ratelog-cli batch: the recordings of a batch side by side, one row per
// unit with the figures of calc, allan and thermal, the result of each unit
// against the limits, and the batch's spread.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/CliOptions.h"
#include "report/BatchTable.h"
#include "report/ReportContent.h"

namespace cli {

int Batch(const Options& o, std::ostream& out, std::ostream& err);

// A text from a device or a file for a line of output: control characters
// and backslashes as \xNN.
std::string Printable(const std::string& text);

// The --limit options; UsageError for one that does not parse or names no
// figure of calc, allan or thermal (the message lists the known names).
std::vector<TLimit> LimitOptions(const Options& o);

// The analysis of every recording of the command line (--begin, --end,
// --limit, --settings), as the report makes it; a recording that cannot be
// read is named on err, left out and sets `incomplete`. UsageError for a
// limit that names no figure; false when the settings cannot be used.
bool ComputeBatch(const Options& o, std::vector<TReportContent>& units, std::ostream& err, bool& incomplete);

// "PASS", "FAIL", or "none" without limits.
std::string VerdictText(const std::optional<bool>& verdict);
// The limits a unit failed: "n<=0.005, b1<=0.3 (not measurable)".
std::string FailedLimits(const TBatchRow& row);

}  // namespace cli
