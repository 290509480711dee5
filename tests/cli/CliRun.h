// Runs one ratelog-cli command line in the test process.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"

struct CliResult {
  int code;
  std::string out, err;
};

inline CliResult Cli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = RunCli(args, out, err);
  return {code, out.str(), err.str()};
}
