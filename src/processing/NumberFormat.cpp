#include "processing/NumberFormat.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

constexpr int kMaxDigits = 17;  // enough to tell any two doubles apart

// The decimal digits of |value| (finite, non-zero): Digits[0..Count-1] with
// the value being 0.D1D2... x 10^Exponent, i.e. Exponent digits before the
// decimal point. Trailing zeros are dropped.
struct Decimal {
  char Digits[kMaxDigits + 2];
  int Count;
  int Exponent;
};

Decimal ToDecimal(double value) {
  Decimal d{};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.*e", kMaxDigits - 1, std::fabs(value));
  // buf: "d.dddddddddddddddde[+-]xx"
  int n = 0;
  d.Digits[n++] = buf[0];
  const char* p = buf + 2;
  while (*p >= '0' && *p <= '9') d.Digits[n++] = *p++;
  d.Exponent = std::atoi(p + 1) + 1;
  while (n > 0 && d.Digits[n - 1] == '0') --n;
  d.Count = n;
  return d;
}

// Keeps the first `keep` digits, rounding half away from zero on the
// decimal digits. keep may be 0 or negative (everything is rounded off).
// The result may have no digits left (zero).
void RoundTo(Decimal& d, int keep) {
  if (keep >= d.Count) return;
  if (keep < 0) {
    d.Count = 0;
    return;
  }
  const bool up = d.Digits[keep] >= '5';
  d.Count = keep;
  if (up) {
    int i = keep - 1;
    while (i >= 0 && d.Digits[i] == '9') --i;
    if (i < 0) {  // 999.. -> 1000..
      d.Digits[0] = '1';
      d.Count = 1;
      d.Exponent += 1;
      return;
    }
    d.Digits[i] += 1;
    d.Count = i + 1;
  }
  while (d.Count > 0 && d.Digits[d.Count - 1] == '0') --d.Count;
}

void AppendExponentForm(std::string& out, const Decimal& d, char sep) {
  out += d.Digits[0];
  if (d.Count > 1) {
    out += sep;
    out.append(d.Digits + 1, static_cast<std::size_t>(d.Count - 1));
  }
  out += 'E';
  out += std::to_string(d.Exponent - 1);
}

bool NonFinite(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NAN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-INF" : "INF";
    return true;
  }
  return false;
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string FormatGeneral(double value, char decimalSeparator, int precision) {
  std::string out;
  if (NonFinite(value, out)) return out;
  if (value == 0) return "0";
  precision = Clamp(precision, 1, 18);
  Decimal d = ToDecimal(value);
  RoundTo(d, precision);
  if (value < 0) out += '-';
  if (d.Exponent > precision || d.Exponent < -3) {
    AppendExponentForm(out, d, decimalSeparator);
    return out;
  }
  if (d.Exponent <= 0) {
    out += '0';
    out += decimalSeparator;
    out.append(static_cast<std::size_t>(-d.Exponent), '0');
    out.append(d.Digits, static_cast<std::size_t>(d.Count));
    return out;
  }
  for (int i = 0; i < d.Exponent; ++i) out += i < d.Count ? d.Digits[i] : '0';
  if (d.Count > d.Exponent) {
    out += decimalSeparator;
    out.append(d.Digits + d.Exponent, static_cast<std::size_t>(d.Count - d.Exponent));
  }
  return out;
}

std::string FormatFixed(double value, int precision, int decimals, char decimalSeparator) {
  std::string out;
  if (NonFinite(value, out)) return out;
  precision = Clamp(precision, 1, 18);
  decimals = Clamp(decimals, 0, 18);
  Decimal d{};
  if (value != 0) {
    d = ToDecimal(value);
    if (d.Exponent > precision) return FormatGeneral(value, decimalSeparator, precision);
    const int keep = d.Exponent + decimals < precision ? d.Exponent + decimals : precision;
    RoundTo(d, keep);
    if (d.Exponent > precision) return FormatGeneral(value, decimalSeparator, precision);
  }
  // A value that rounds to zero is written without a sign.
  if (d.Count > 0 && value < 0) out += '-';
  auto digit = [&d](int i) { return i >= 0 && i < d.Count ? d.Digits[i] : '0'; };
  if (d.Count == 0 || d.Exponent <= 0) {
    out += '0';
  } else {
    for (int i = 0; i < d.Exponent; ++i) out += digit(i);
  }
  if (decimals > 0) {
    out += decimalSeparator;
    const int first = d.Count == 0 ? 0 : d.Exponent;  // index of the first decimal
    for (int k = 0; k < decimals; ++k) out += d.Count == 0 ? '0' : digit(first + k);
  }
  return out;
}

bool ParseDouble(std::string_view text, char decimalSeparator, double& out) {
  text = Trim(text);
  // Check the shape first, copying with '.' as the point for from_chars.
  std::string buf;
  buf.reserve(text.size());
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') buf += '-';
    ++i;
  }
  int mantissaDigits = 0;
  while (i < text.size() && IsDigit(text[i])) {
    buf += text[i++];
    ++mantissaDigits;
  }
  if (i < text.size() && text[i] == decimalSeparator) {
    buf += '.';
    ++i;
    while (i < text.size() && IsDigit(text[i])) {
      buf += text[i++];
      ++mantissaDigits;
    }
  }
  if (mantissaDigits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    buf += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) buf += text[i++];
    int expDigits = 0;
    while (i < text.size() && IsDigit(text[i])) {
      buf += text[i++];
      ++expDigits;
    }
    if (expDigits == 0) return false;
  }
  if (i != text.size()) return false;
  double value = 0;
  const char* first = buf.data();
  const char* last = buf.data() + buf.size();
  const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec != std::errc() || ptr != last || !std::isfinite(value)) return false;
  out = value;
  return true;
}

bool ParseInt(std::string_view text, int& out) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty()) return false;
  int value = 0;
  const char* last = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), last, value, 10);
  if (ec != std::errc() || ptr != last) return false;
  out = value;
  return true;
}
