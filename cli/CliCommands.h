// ratelog-cli: the headless tool on the program's core.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Exit codes.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1;  // a file missing, unreadable, a run that failed
inline constexpr int ExitUsage = 2;    // unknown command or option, malformed number
inline constexpr int ExitLimitsFailed = 3;  // a unit or a report failed its limits
// report and batch: nothing failed, but a limit's figure could not be
// measured (verdict INCOMPLETE): the unit is neither passed nor failed.
inline constexpr int ExitIncomplete = 5;

// Runs one command line (args without the program name); output to out,
// messages to err. Returns the exit code.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
