// Numbers in the windows: shown and read with the decimal separator of the
// default locale (the system's unless a program sets another), never with
// group separators.
#pragma once

#include <QString>

// The decimal separator of QLocale(); '.' when it is not a single-byte
// character.
char DecimalSeparator();

// Fixed notation with `precision` significant digits and `decimals` decimals.
QString FixedText(double value, int precision, int decimals);
// General notation (up to 15 significant digits, exponent form for very
// small values).
QString GeneralText(double value);

// Strict readers of a whole text; `out` is written only on success.
bool ReadDouble(const QString& text, double& out);
bool ReadInt(const QString& text, int& out);

// The framework's conversion messages for a text that is not a number.
QString NotIntegerMessage(const QString& text);
QString NotFloatMessage(const QString& text);
