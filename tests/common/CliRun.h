// The command-line tool run in-process: its exit code, standard output and
// standard error.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(by, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// Whether the parts occur in the text in this order, one after the other;
// a failure names the first missing part.
inline ::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
  std::size_t at = 0;
  for (const std::string& part : parts) {
    at = text.find(part, at);
    if (at == std::string::npos) return ::testing::AssertionFailure() << part << " not in order in\n" << text;
    at += part.size();
  }
  return ::testing::AssertionSuccess();
}

// The number after "name": in a JSON text (from `from` on); NAN for null or
// a missing name.
inline double JsonValue(const std::string& json, const std::string& name, std::size_t from = 0) {
  const std::size_t at = json.find("\"" + name + "\": ", from);
  if (at == std::string::npos || json.compare(at + name.size() + 4, 4, "null") == 0) return NAN;
  return std::strtod(json.c_str() + at + name.size() + 4, nullptr);
}

// `printed` is `exact` rounded to the last digit it shows (a figure printed
// to its uncertainty's digits).
inline bool RoundedFrom(const std::string& printed, const std::string& exact) {
  if (exact == "NAN" || exact.empty()) return printed == exact;
  const auto dot = printed.find('.');
  const double half = 0.5 * std::pow(10.0, dot == std::string::npos ? 0.0 : -static_cast<double>(printed.size() - dot - 1));
  return std::fabs(std::stod(printed) - std::stod(exact)) <= half * (1 + 1e-9);
}
