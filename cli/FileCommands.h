// ratelog-cli export and archive: the text export and the copy to the
// archive folder of the window, without it (FileCommands.cpp).
#pragma once

#include <iosfwd>
#include <string>

#include "cli/CliOptions.h"

namespace cli {
int Export(const Options& o, std::ostream& out, std::ostream& err);
int Archive(const Options& o, std::ostream& out, std::ostream& err);

}  // namespace cli
