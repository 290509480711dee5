// ratelog-cli ports: why each of COM1..COM9 can or cannot be opened.
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"

namespace cli {
int Ports(const Options& o, std::ostream& out, std::ostream& err);
}  // namespace cli
