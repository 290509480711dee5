// A strict little JSON reader for checking the programs' --json output:
// exactly one value (RFC 8259 grammar: no NaN, no trailing commas, no
// duplicate names) and nothing after it but white space. Throws
// std::runtime_error naming the offset of the first fault.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct JsonValue {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  bool Has(const std::string& name) const {
    for (const auto& m : members)
      if (m.first == name) return true;
    return false;
  }
  const JsonValue& operator[](const std::string& name) const {
    for (const auto& m : members)
      if (m.first == name) return m.second;
    throw std::runtime_error("no member " + name);
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}
  JsonValue Document() {
    JsonValue v = Value();
    Space();
    if (i_ != s_.size()) Fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw std::runtime_error(std::string(what) + " at offset " + std::to_string(i_));
  }
  void Space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
      ++i_;
  }
  bool Take(const char* word) {
    const std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }
  JsonValue Value() {
    Space();
    JsonValue v;
    if (i_ >= s_.size()) Fail("value missing");
    const char c = s_[i_];
    if (c == '{') {
      v.kind = JsonValue::Object;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == '}') return ++i_, v;
      for (;;) {
        Space();
        if (i_ >= s_.size() || s_[i_] != '"') Fail("name expected");
        std::string name = Str();
        if (v.Has(name)) Fail("duplicate name");
        Space();
        if (i_ >= s_.size() || s_[i_++] != ':') Fail("':' expected");
        v.members.emplace_back(std::move(name), Value());
        Space();
        if (i_ < s_.size() && s_[i_] == ',') { ++i_; continue; }
        if (i_ < s_.size() && s_[i_] == '}') return ++i_, v;
        Fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      v.kind = JsonValue::Array;
      ++i_;
      Space();
      if (i_ < s_.size() && s_[i_] == ']') return ++i_, v;
      for (;;) {
        v.items.push_back(Value());
        Space();
        if (i_ < s_.size() && s_[i_] == ',') { ++i_; continue; }
        if (i_ < s_.size() && s_[i_] == ']') return ++i_, v;
        Fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      v.kind = JsonValue::String;
      v.text = Str();
      return v;
    }
    if (Take("true")) { v.kind = JsonValue::Bool; v.boolean = true; return v; }
    if (Take("false")) { v.kind = JsonValue::Bool; return v; }
    if (Take("null")) return v;
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    const std::size_t start = i_;
    auto digits = [this] {
      const std::size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ - from;
    };
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    if (i_ < s_.size() && s_[i_] == '0') ++i_;
    else if (digits() == 0) Fail("value expected");
    if (i_ < s_.size() && s_[i_] == '.') { ++i_; if (digits() == 0) Fail("fraction digits"); }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (digits() == 0) Fail("exponent digits");
    }
    v.kind = JsonValue::Number;
    v.number = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
    return v;
  }
  std::string Str() {
    ++i_;  // the opening quote
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c < 0x20) Fail("control character in a string");
      if (c != '\\') { out += static_cast<char>(c); continue; }
      if (i_ >= s_.size()) Fail("escape cut off");
      const char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (i_ + 4 > s_.size()) Fail("\\u cut off");
          const unsigned long u = std::strtoul(s_.substr(i_, 4).c_str(), nullptr, 16);
          i_ += 4;
          if (u < 0x80) {
            out += static_cast<char>(u);
          } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
          }
          break;
        }
        default:
          Fail("unknown escape");
      }
    }
    if (i_ >= s_.size()) Fail("string not closed");
    ++i_;
    return out;
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

inline JsonValue ParseJson(const std::string& text) { return JsonReader(text).Document(); }
