// The command-line tool run in-process: its exit code, standard output and
// standard error.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"

struct Result {
  int code;
  std::string out, err;
};

inline Result Cli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = RunCli(args, out, err);
  return {code, out.str(), err.str()};
}
