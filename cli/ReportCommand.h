// ratelog-cli report: the PDF test report of a recording (ReportCommand.cpp,
// built with the window libraries).
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"

namespace cli {

int Report(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace cli
