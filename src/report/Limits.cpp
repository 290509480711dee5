#include "report/Limits.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "processing/NumberFormat.h"

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string TLimit::Text() const {
  return Name + (AtMost ? "<=" : ">=") + BoundText;
}

std::optional<TLimit> ParseLimit(const std::string& text, const std::vector<std::string>& known,
                                 std::string& error) {
  std::size_t at = text.find("<=");
  const std::size_t ge = text.find(">=");
  bool atMost = true;
  if (at == std::string::npos || (ge != std::string::npos && ge < at)) {
    at = ge;
    atMost = false;
  }
  if (at == std::string::npos) {
    error = "limit '" + text + "': expected NAME<=VALUE or NAME>=VALUE";
    return std::nullopt;
  }
  TLimit limit;
  limit.Name = Trim(text.substr(0, at));
  limit.AtMost = atMost;
  if (std::find(known.begin(), known.end(), limit.Name) == known.end()) {
    std::string list;
    for (const std::string& name : known) list += (list.empty() ? "" : ", ") + name;
    error = "limit '" + text + "': unknown field '" + limit.Name + "'; known fields: " + list;
    return std::nullopt;
  }
  const std::string bound = Trim(text.substr(at + 2));
  limit.BoundText = bound;
  if (!ParseDouble(bound, '.', limit.Bound) || !std::isfinite(limit.Bound)) {
    error = "limit '" + text + "': not a number: '" + bound + "'";
    return std::nullopt;
  }
  return limit;
}

const char* VerdictName(TVerdict verdict) {
  switch (verdict) {
    case TVerdict::Pass: return "PASS";
    case TVerdict::Fail: return "FAIL";
    case TVerdict::Incomplete: return "INCOMPLETE";
    case TVerdict::None: break;
  }
  return "none";
}

TVerdict Worse(TVerdict a, TVerdict b) {
  const auto rank = [](TVerdict v) {
    return v == TVerdict::Fail ? 3 : v == TVerdict::Incomplete ? 2 : v == TVerdict::Pass ? 1 : 0;
  };
  return rank(a) >= rank(b) ? a : b;
}

namespace {

const TFigure* FindFigure(const std::vector<TFigureTable>& tables, const std::string& name) {
  for (const TFigureTable& table : tables)
    for (const TFigure& f : table.Figures)
      if (FieldName(f.Caption) == name) return &f;
  return nullptr;
}

}  // namespace

std::vector<TLimitResult> EvaluateLimits(const std::vector<TLimit>& limits,
                                         const std::vector<TFigureTable>& tables) {
  std::vector<TLimitResult> results;
  for (const TLimit& limit : limits) {
    TLimitResult r;
    r.Limit = limit;
    r.Measured = "NAN";
    const TFigure* figure = FindFigure(tables, limit.Name);
    if (figure) {
      r.Measured = figure->Text;
      r.Unit = figure->Unit;
    }
    const double shown = figure ? PrintedNumber(figure->Text) : std::nan("");
    const TFigure* upper = std::isnan(shown) ? FindFigure(tables, limit.Name + "_upper") : nullptr;
    const double bound = upper ? PrintedNumber(upper->Text) : std::nan("");
    if (!std::isnan(shown)) {
      r.Result = (limit.AtMost ? shown <= limit.Bound : shown >= limit.Bound) ? TVerdict::Pass : TVerdict::Fail;
    } else if (!std::isnan(bound)) {
      r.Measured = "< " + Trim(upper->Text) + " (bound)";
      if (limit.AtMost && bound <= limit.Bound) {
        r.Result = TVerdict::Pass;
        r.Note = "the data bound it from above";
      } else if (!limit.AtMost && bound < limit.Bound) {
        r.Result = TVerdict::Fail;
        r.Note = "the data bound it from above";
      } else {
        r.Result = TVerdict::Incomplete;
        r.Note = "not measurable: only bounded from above";
      }
    } else {
      r.Result = TVerdict::Incomplete;
      r.Note = "not measurable";
    }
    results.push_back(r);
  }
  return results;
}

TVerdict Verdict(const std::vector<TLimitResult>& results) {
  TVerdict verdict = TVerdict::None;
  for (const TLimitResult& r : results) verdict = Worse(verdict, r.Result);
  return verdict;
}

std::string ContradictoryLimits(const std::vector<TLimit>& limits) {
  for (const TLimit& most : limits)
    for (const TLimit& least : limits)
      if (most.AtMost && !least.AtMost && most.Name == least.Name && most.Bound < least.Bound)
        return "limits '" + most.Text() + "' and '" + least.Text() + "' contradict each other: no " +
               most.Name + " can meet both";
  return {};
}

std::vector<TLimit> ParseLimitLines(const std::string& text, const std::vector<std::string>& known,
                                    std::vector<std::string>& rejected) {
  std::vector<TLimit> limits;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    std::string error;
    if (auto limit = ParseLimit(line, known, error)) limits.push_back(*limit);
    else rejected.push_back("line " + std::to_string(number) + ": " + error);
  }
  return limits;
}

std::string LimitLines(const std::vector<TLimit>& limits) {
  std::string text;
  for (const TLimit& limit : limits) text += limit.Text() + "\n";
  return text;
}

bool ParseTestSpec(const std::string& text, const std::vector<std::string>& known, TTestSpec& spec,
                   std::vector<std::string>& errors) {
  spec = TTestSpec{};
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    const auto colon = line.find(':');
    if (colon != std::string::npos && line.find_first_of("<>") == std::string::npos) {
      std::string key = Trim(line.substr(0, colon));
      for (char& c : key) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      std::string* field = key == "name" ? &spec.Name : key == "revision" ? &spec.Revision
                           : key == "unit type" ? &spec.UnitType : nullptr;
      if (!field) errors.push_back(where + "unknown key '" + key + "' (name, revision, unit type)");
      else if (!field->empty()) errors.push_back(where + "'" + key + "' is given twice");
      else *field = Trim(line.substr(colon + 1));
      continue;
    }
    std::string error;
    if (auto limit = ParseLimit(line, known, error)) spec.Limits.push_back(*limit);
    else errors.push_back(where + error);
  }
  if (spec.Name.empty()) errors.push_back("no 'name:' line: a specification names itself");
  if (spec.Revision.empty()) errors.push_back("no 'revision:' line: a specification names its revision");
  if (const std::string c = ContradictoryLimits(spec.Limits); !c.empty()) errors.push_back(c);
  return errors.empty();
}
