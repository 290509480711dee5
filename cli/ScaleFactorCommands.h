// ratelog-cli scalefactor and positions: the scale factor from rate-table
// plateaus and the static Earth-rate tests.
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"

namespace cli {
int ScaleFactor(const Options& o, std::ostream& out, std::ostream& err);
int Positions(const Options& o, std::ostream& out, std::ostream& err);
}  // namespace cli
