// ratelog-cli batch: the recordings of a batch side by side, one row per
// unit with the figures of calc, allan and thermal, the result of each unit
// against the limits, and the batch's spread.
#pragma once

#include <iosfwd>
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

// The limits of --spec FILE (its name, revision and unit type in `spec`
// when given) and of the --limit options; UsageError for one that does not
// parse or names no figure of calc, allan or thermal (the message lists the
// known names), for a specification that cannot be read or is malformed,
// and for limits that contradict each other.
std::vector<TLimit> LimitOptions(const Options& o, TTestSpec* spec = nullptr);

// The report's number, revision, test conditions and signatories
// (--report-number, --report-revision, --latitude, --axis, --station,
// --chamber, --equipment, --tested-by, --checked-by, --approved-by); UsageError for a
// latitude that is no number of degrees from -90 to 90.
TReportDocument DocumentOptions(const Options& o);
inline const std::vector<std::string> kDocumentOptions = {
    "report-number", "report-revision", "latitude", "axis", "station", "chamber", "equipment", "tested-by", "checked-by", "approved-by"};

// The analysis of every recording of the command line (--begin, --end,
// --limit, --settings), as the report makes it; a recording that cannot be
// read is named on err, left out and sets `incomplete`. UsageError for a
// limit that names no figure and for a recording named twice (by any path);
// false when the settings cannot be used.
bool ComputeBatch(const Options& o, std::vector<TReportContent>& units, std::ostream& err, bool& incomplete);

// "PASS", "FAIL", "INCOMPLETE", or "none" without limits.
std::string VerdictText(TVerdict verdict);
// The exit code of a verdict: 3 FAIL, 5 INCOMPLETE, else 0.
int VerdictExitCode(TVerdict verdict);
// The limits a unit did not pass: "n<=0.005, b1<=0.3 (not measurable)".
std::string FailedLimits(const TBatchRow& row);

}  // namespace cli
