// Output of ratelog-cli's reports: a list of captioned values, written as
// the text table ("Caption<TAB>value") or, with --json, as one JSON object
// whose names are the captions in lower snake case ("Time create" ->
// "time_create", "UserName" -> "user_name").
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "report/Figures.h"

namespace cli {

std::string SnakeCase(const std::string& caption);
// JSON literals.
std::string JsonString(const std::string& text);
// The shortest text that reads back as the same double; null for NaN and
// the infinities.
std::string JsonNumber(double value);
// A number as the text output shows it ("12.34567", "NAN") -> the JSON
// number of that text, or null when it is none.
std::string JsonNumberText(const std::string& text);

struct Field {
  std::string Caption;
  std::string Text;  // as the text output shows it
  std::string Json;  // the JSON value
};

Field TextField(const std::string& caption, const std::string& text);
Field IntegerField(const std::string& caption, std::int64_t value);
// `text` is the formatted number; the JSON value is read from it.
Field NumberField(const std::string& caption, const std::string& text);

// {"name": value, ...} of the fields; `extra` is appended inside the object
// as it stands (already encoded members, without a leading comma).
std::string JsonObject(const std::vector<Field>& fields, const std::string& extra = {});
void WriteText(const std::vector<Field>& fields, std::ostream& out);

// A figure table as JSON: the figures by field name (numbers, null for
// NAN), then `extra` (already encoded members), then (with `units`)
// "units": the unit of each figure.
std::string FiguresJson(const std::vector<TFigure>& figures, const std::string& extra = {},
                        bool units = true);
std::string FiguresUnitsJson(const std::vector<TFigure>& figures);

}  // namespace cli
