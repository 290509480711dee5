// ratelog-cli batch: the recordings of a batch side by side, one row per
// unit with the figures of calc and allan, and the batch's spread.
#pragma once

#include <iosfwd>

#include "cli/CliOptions.h"

namespace cli {
int Batch(const Options& o, std::ostream& out, std::ostream& err);
}  // namespace cli
