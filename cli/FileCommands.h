// ratelog-cli export and archive: the text export and the copy to the
// archive folder of the window, without it (FileCommands.cpp).
#pragma once

#include <iosfwd>
#include <string>

#include "cli/CliOptions.h"

namespace cli {
int Export(const Options& o, std::ostream& out, std::ostream& err);
int Archive(const Options& o, std::ostream& out, std::ostream& err);

// The default span of a command: the smallest and the largest time of the
// recording's records (records without a time left out; 0 and 0 when there
// is none). A device clock may step back, so the first and the last record
// need not be the ends. False with `error` when the file cannot be read.
bool RecordTimeRange(const std::string& path, double& smallest, double& largest, std::string& error);
}  // namespace cli
