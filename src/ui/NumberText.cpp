#include "ui/NumberText.h"

#include <QLocale>

#include "processing/NumberFormat.h"

char DecimalSeparator() {
  const QString point = QLocale().decimalPoint();
  if (point.size() == 1 && point.at(0).unicode() < 0x80) return static_cast<char>(point.at(0).unicode());
  return '.';
}

QString FixedText(double value, int precision, int decimals) {
  return QString::fromStdString(FormatFixed(value, precision, decimals, DecimalSeparator()));
}

QString GeneralText(double value) {
  return QString::fromStdString(FormatGeneral(value, DecimalSeparator()));
}

bool ReadDouble(const QString& text, double& out) {
  return ParseDouble(text.toStdString(), DecimalSeparator(), out);
}

bool ReadInt(const QString& text, int& out) { return ParseInt(text.toStdString(), out); }

QString NotIntegerMessage(const QString& text) {
  return QStringLiteral("'%1' is not a valid integer value").arg(text);
}

QString NotFloatMessage(const QString& text) {
  return QStringLiteral("'%1' is not a valid floating point value").arg(text);
}
