#include "cli/Fields.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace cli {

std::string SnakeCase(const std::string& caption) { return FieldName(caption); }

namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

// Texts from recordings may come in another code page: a byte that is no
// part of well-formed UTF-8 becomes U+FFFD, so that the output stays JSON.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80) {
      const std::size_t n = Utf8Length(text, i);
      if (n == 0) {
        out += "\\ufffd";
      } else {
        out.append(text, i, n);
        i += n - 1;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04x", c);
          out += hex;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  // Whole numbers (counts above all) as integers, never as 2e+05.
  if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0)
    return std::to_string(static_cast<std::int64_t>(value));
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string JsonNumberText(const std::string& text) {
  const char* begin = text.c_str();
  while (*begin == ' ') ++begin;
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin) return "null";
  while (*end == ' ') ++end;
  return *end ? "null" : JsonNumber(value);
}

Field TextField(const std::string& caption, const std::string& text) {
  return {caption, text, JsonString(text)};
}

Field IntegerField(const std::string& caption, std::int64_t value) {
  return {caption, std::to_string(value), std::to_string(value)};
}

Field NumberField(const std::string& caption, const std::string& text) {
  return {caption, text, JsonNumberText(text)};
}

std::string JsonObject(const std::vector<Field>& fields, const std::string& extra) {
  std::string out = "{";
  for (const Field& f : fields) {
    if (out.size() > 1) out += ", ";
    out += JsonString(SnakeCase(f.Caption)) + ": " + f.Json;
  }
  if (!extra.empty()) out += (out.size() > 1 ? ", " : "") + extra;
  return out + "}";
}

void WriteText(const std::vector<Field>& fields, std::ostream& out) {
  for (const Field& f : fields) out << f.Caption << "\t" << f.Text << "\n";
}

std::string FiguresJson(const std::vector<TFigure>& figures, const std::string& extra,
                        bool units) {
  std::vector<Field> values;
  for (const TFigure& f : figures) values.push_back({f.Caption, f.Text, JsonNumber(f.Value)});
  std::string members = extra;
  if (units) members += (members.empty() ? "" : ", ") + std::string("\"units\": ") + FiguresUnitsJson(figures);
  return JsonObject(values, members);
}

std::string FiguresUnitsJson(const std::vector<TFigure>& figures) {
  std::vector<Field> units;
  for (const TFigure& f : figures) units.push_back(TextField(f.Caption, f.Unit));
  return JsonObject(units);
}

}  // namespace cli
