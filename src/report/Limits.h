// Pass/fail limits on the figures of a report: "NAME<=VALUE" or
// "NAME>=VALUE", where NAME is a field name of a figure table (Figures.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/Figures.h"

struct TLimit {
  std::string Name;     // field name, "random_walk"
  bool AtMost = true;   // "<=" (else ">=")
  double Bound = 0;
  std::string BoundText;     // the bound as written, "0.005"
  std::string Text() const;  // "random_walk<=0.005"
};

// Parses one limit. An unknown name, a missing operator or a bound that is
// no finite number gives nullopt and `error` (naming the known fields for
// an unknown name). Spaces around the parts are allowed.
std::optional<TLimit> ParseLimit(const std::string& text, const std::vector<std::string>& known,
                                 std::string& error);

// One limit against the measured figures.
struct TLimitResult {
  TLimit Limit;
  std::string Measured;  // the figure as printed, "NAN" when there is none
  std::string Unit;
  bool Pass = false;
  std::string Note;      // "not measurable" for a missing value
};

// Each limit against the figure of its name (the first table holding it).
// A missing or NaN figure fails with "not measurable".
std::vector<TLimitResult> EvaluateLimits(const std::vector<TLimit>& limits,
                                         const std::vector<TFigureTable>& tables);

// PASS only when every limit passes; no limits: no verdict (nullopt).
std::optional<bool> Verdict(const std::vector<TLimitResult>& results);

// The limits file: one limit per line in the command-line syntax; empty
// lines and lines starting with '#' are skipped. Lines that do not parse
// are returned in `rejected` ("line 3: ..." messages).
std::vector<TLimit> ParseLimitLines(const std::string& text, const std::vector<std::string>& known,
                                    std::vector<std::string>& rejected);
std::string LimitLines(const std::vector<TLimit>& limits);
