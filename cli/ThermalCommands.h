// ratelog-cli thermal, warmup and repeat (ThermalCommands.cpp).
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"

namespace cli {
int Thermal(const Options& o, std::ostream& out, std::ostream& err);
int Warmup(const Options& o, std::ostream& out, std::ostream& err);
int Repeat(const Options& o, std::ostream& out, std::ostream& err);
}  // namespace cli
