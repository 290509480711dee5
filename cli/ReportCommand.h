// ratelog-cli report: the PDF test report of a recording (ReportCommand.cpp,
// built with the window libraries).
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"

namespace cli {

// Exit code of a report whose verdict is FAIL.
inline constexpr int ExitLimitsFailed = 3;

int Report(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace cli
