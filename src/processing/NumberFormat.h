// Numbers as the program shows them and reads them back, independent of the
// process locale: the decimal separator is always passed in.
#pragma once

#include <string>
#include <string_view>

// Fixed notation: the value rounded to `precision` significant digits and to
// `decimals` decimals (halves away from zero), written with exactly
// `decimals` decimals. When the integer part needs more than `precision`
// digits, the general form of FormatGeneral with `precision` digits is used
// instead ("1.2345E12"). Non-finite values give "NAN", "INF" and "-INF".
// precision is taken within 1..18, decimals within 0..18.
std::string FormatFixed(double value, int precision, int decimals, char decimalSeparator = '.');

// General notation: the shortest text of the value rounded to `precision`
// significant digits (at most 17 are meaningful), without trailing zeros;
// exponent form ("1E20", "1.5E-5") when the value is below 1E-4 or its
// integer part needs more than `precision` digits.
std::string FormatGeneral(double value, char decimalSeparator = '.', int precision = 15);

// Strict readers: the whole text (apart from spaces at either end) must be
// the number. ParseDouble takes an optional sign, digits with at most one
// decimalSeparator and an optional exponent ("1,5E-3" with ','); no group
// separators, no "NAN"/"INF". Out-of-range values fail. `out` is written
// only on success.
bool ParseDouble(std::string_view text, char decimalSeparator, double& out);
// Optional sign and decimal digits, within the range of int.
bool ParseInt(std::string_view text, int& out);
