// Command-line options of ratelog-cli's commands.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "settings/Optionsprogramm.h"

namespace cli {

// A command line that cannot be taken: unknown option, missing value,
// malformed number. Reported with exit code 2.
struct UsageError {
  std::string message;
};

// Command line of one command: positional arguments, --name value pairs and
// --flag switches.
struct Options {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // the last value of each option
  std::map<std::string, std::vector<std::string>> lists;  // every value, in order
  std::set<std::string> flags;
  bool help = false;

  std::optional<std::string> Get(const std::string& name) const;
  // Every value given for an option that may repeat (--port A --port B).
  std::vector<std::string> All(const std::string& name) const;
  // The option as a finite number ("." as decimal point); UsageError when
  // it is not one.
  std::optional<double> Number(const std::string& name) const;
  bool Flag(const std::string& name) const { return flags.count(name) != 0; }
};

// Parses args[first..]: `known` options take a value (--name VALUE or
// --name=VALUE), `switches` take none; --settings is known to every command.
Options ParseOptions(const std::vector<std::string>& args, std::size_t first,
                     const std::vector<std::string>& known,
                     const std::vector<std::string>& switches = {});

// The settings the tool works with: the --settings file (which must exist),
// or the program's own settings file when there is one, else the defaults.
// Never writes a settings file. False (with a message on err) when the
// given file cannot be used.
bool LoadSettings(const Options& o, TOptionProgramm& s, std::ostream& err);

// The options of the basic-parameter calculation (--sigma, --drift-time,
// --random-walk-time, --passband, --earth-rate) applied to `settings`;
// returns the sigma factor (1 or 3). UsageError on a bad value.
int ApplyCalcOptions(const Options& o, TOptionProgramm& settings);

}  // namespace cli

namespace cli {
// ratelog-cli record: a whole headless run (Record.cpp).
int Record(const Options& o, std::ostream& out, std::ostream& err);
}  // namespace cli
