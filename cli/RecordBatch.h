// The batch form of `ratelog-cli record`: one measurement run per port, all
// started together, each recording named after its device.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace cli {

// The ports of --port values: "COM3", a range "COM1-COM8", or a device file
// ("/dev/ttyUSB12"). UsageError for anything else or a port named twice.
std::vector<std::string> BatchPorts(const std::vector<std::string>& values);

// Creates the recording file of one unit, empty and exclusively, in folder:
// "<ident>_<yyyymmdd_hhmmss>.rtd" (start in local time), the identification
// made safe as a path part; when that name is taken, "<...>_2.rtd",
// "<...>_3.rtd" and so on. An existing file is never touched. Returns the
// path; empty with error set when no file could be created.
std::string ReserveRecordingFile(const std::string& folder, const std::string& ident, std::time_t start,
                                 std::string& error);

}  // namespace cli
