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

std::vector<TLimitResult> EvaluateLimits(const std::vector<TLimit>& limits,
                                         const std::vector<TFigureTable>& tables) {
  std::vector<TLimitResult> results;
  for (const TLimit& limit : limits) {
    TLimitResult r;
    r.Limit = limit;
    r.Measured = "NAN";
    const TFigure* figure = nullptr;
    for (const TFigureTable& table : tables) {
      for (const TFigure& f : table.Figures)
        if (FieldName(f.Caption) == limit.Name) {
          figure = &f;
          break;
        }
      if (figure) break;
    }
    if (figure) {
      r.Measured = figure->Text;
      r.Unit = figure->Unit;
    }
    if (!figure || std::isnan(figure->Value)) {
      r.Pass = false;
      r.Note = "not measurable";
    } else {
      r.Pass = limit.AtMost ? figure->Value <= limit.Bound : figure->Value >= limit.Bound;
    }
    results.push_back(r);
  }
  return results;
}

std::optional<bool> Verdict(const std::vector<TLimitResult>& results) {
  if (results.empty()) return std::nullopt;
  return std::all_of(results.begin(), results.end(), [](const TLimitResult& r) { return r.Pass; });
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
