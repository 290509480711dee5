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

// The result of one limit and the verdict of a report or batch: PASS, FAIL,
// or INCOMPLETE when a limit's figure could not be measured (and nothing
// failed): such a unit is neither passed nor failed. None: no limits.
enum class TVerdict { None, Pass, Fail, Incomplete };
// "none", "PASS", "FAIL", "INCOMPLETE".
const char* VerdictName(TVerdict verdict);
// The worse of two: FAIL over INCOMPLETE over PASS over none.
TVerdict Worse(TVerdict a, TVerdict b);

// One limit against the measured figures.
struct TLimitResult {
  TLimit Limit;
  std::string Measured;  // the figure as printed ("NAN" when there is none),
                         // or the bound it is known by ("< 0.0123 (bound)")
  std::string Unit;
  TVerdict Result = TVerdict::Fail;  // Pass, Fail or Incomplete
  std::string Note;      // why it is incomplete, or that a bound decided it
  bool Pass() const { return Result == TVerdict::Pass; }
};

// Each limit against the figure of its name (the first table holding it),
// compared as printed: the number the figure's text shows against the
// bound as written, so that the comparison on the page is the one made.
// A missing or NaN figure is INCOMPLETE ("not measurable"), unless the
// tables hold a finite figure NAME_upper, an upper bound of it: a "<="
// limit at or above that bound passes and a ">=" limit above it fails
// (printed as "< BOUND (bound)"); otherwise it stays INCOMPLETE.
std::vector<TLimitResult> EvaluateLimits(const std::vector<TLimit>& limits,
                                         const std::vector<TFigureTable>& tables);

// None without limits; else the worst of the results.
TVerdict Verdict(const std::vector<TLimitResult>& results);

// Empty, or why the limits contradict each other: a figure held at most
// below the least it must be ("n<=0.01" with "n>=0.1").
std::string ContradictoryLimits(const std::vector<TLimit>& limits);

// The limits file: one limit per line in the command-line syntax; empty
// lines and lines starting with '#' are skipped. Lines that do not parse
// are returned in `rejected` ("line 3: ..." messages).
std::vector<TLimit> ParseLimitLines(const std::string& text, const std::vector<std::string>& known,
                                    std::vector<std::string>& rejected);
std::string LimitLines(const std::vector<TLimit>& limits);

// A test specification: a small text file a lab keeps under revision
// control. "name: ...", "revision: ..." and "unit type: ..." lines (name
// and revision required), limits in the NAME<=VALUE syntax one a line,
// empty lines and '#' comments skipped.
struct TTestSpec {
  std::string Name, Revision, UnitType;
  std::vector<TLimit> Limits;
};
// False with `errors` ("line 3: ...") when a line is neither, a key is
// given twice, name or revision is missing or the limits contradict.
bool ParseTestSpec(const std::string& text, const std::vector<std::string>& known, TTestSpec& spec,
                   std::vector<std::string>& errors);
