// Number texts as the program shows and reads them: fixed and general forms,
// rounding, exponent form, non-finite values, strict parsing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "processing/NumberFormat.h"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatFixed, Texts) {
  const std::tuple<double, int, int, char, const char*> cases[] = {
      {30, 10, 6, '.', "30.000000"},    {11.78, 14, 6, '.', "11.780000"}, {0.00123456789, 6, 5, '.', "0.00123"},
      {-5, 10, 5, '.', "-5.00000"},     {11.7835, 14, 6, ',', "11,783500"}, {123.456789, 6, 5, '.', "123.45700"},
      {100.7, 10, 1, '.', "100.7"},     {1234.5678, 8, 3, '.', "1234.568"}, {0, 10, 5, '.', "0.00000"},
      {42, 10, 0, '.', "42"},           {-0.5, 10, 2, ',', "-0,50"},        {1.0 / 3, 3, 6, '.', "0.333000"},
      // Halves round away from zero and carry into the next digit.
      {0.125, 10, 2, '.', "0.13"},      {-0.125, 10, 2, '.', "-0.13"},      {2.5, 10, 0, '.', "3"},
      {0.5, 10, 0, '.', "1"},           {0.05, 10, 1, '.', "0.1"},          {0.04, 10, 1, '.', "0.0"},
      {9.9999, 10, 2, '.', "10.00"},    {99.996, 4, 2, '.', "100.00"},      {999.96, 4, 3, '.', "1000.000"},
      // A value that rounds to zero carries no sign.
      {-0.001, 10, 2, '.', "0.00"},     {-0.0, 10, 2, '.', "0.00"},
      // More digits than the precision: the exponent form.
      {123456789012.0, 10, 2, '.', "1.23456789E11"}, {-123456789012.0, 10, 2, ',', "-1,23456789E11"},
      {99999.6, 5, 0, '.', "1E5"},      {12345, 5, 2, '.', "12345.00"},     {1e300, 15, 5, '.', "1E300"},
      {kNan, 10, 5, '.', "NAN"},        {kInf, 10, 5, '.', "INF"},          {-kInf, 10, 5, '.', "-INF"},
      {std::numeric_limits<double>::denorm_min(), 10, 5, '.', "0.00000"},
      // Out-of-range arguments are bounded, never a crash.
      {1.5, 0, -3, '.', "2"},           {0.1, 99, 99, '.', "0.100000000000000010"},
  };
  for (const auto& [value, precision, decimals, separator, text] : cases)
    EXPECT_EQ(FormatFixed(value, precision, decimals, separator), text) << text;
}

TEST(FormatGeneral, ShortestTextUpTo15Digits) {
  const std::pair<double, const char*> cases[] = {
      {100.0, "100"}, {-2.5, "-2.5"}, {0.0, "0"}, {0.1, "0.1"}, {1.0 / 3, "0.333333333333333"},
      {0.0001, "0.0001"}, {0.00001, "1E-5"}, {999999999999999.0, "999999999999999"},
      {1e15, "1E15"}, {1e20, "1E20"}, {kNan, "NAN"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatGeneral(value), text);
  EXPECT_EQ(FormatGeneral(11.7835, ','), "11,7835");
  EXPECT_EQ(FormatGeneral(1.5e-7, ','), "1,5E-7");
}

TEST(ParseDouble, StrictWithTheGivenSeparator) {
  const std::pair<const char*, double> good[] = {
      {"1,5", 1.5}, {" -11,7835 ", -11.7835}, {"2,5E-3", 2.5e-3}, {"+7", 7}, {",5", 0.5}, {"5,", 5}, {"1e5", 1e5}};
  double v = 42;
  for (const auto& [text, value] : good) EXPECT_TRUE(ParseDouble(text, ',', v) && v == value) << text;
  v = 42;
  for (const char* bad : {"", " ", "-", "+", ",", "1.5", "1 000", "1,000,5", "1e", "1e+", "abc",
                          "12a", "0x10", "--1", "+-1", "nan", "inf", "1e999", "1,5,", "1;"}) {
    EXPECT_FALSE(ParseDouble(bad, ',', v)) << bad;
  }
  EXPECT_FALSE(ParseDouble("1,5", '.', v));
  EXPECT_EQ(v, 42.0);  // untouched on failure
  EXPECT_TRUE(ParseDouble("-2.5", '.', v));
  EXPECT_EQ(v, -2.5);
}

TEST(ParseInt, StrictRange) {
  int v = 0;
  for (const auto& [text, value] : {std::pair{"50", 50}, {" -7 ", -7}, {"+300", 300}, {"-2147483648", INT32_MIN}})
    EXPECT_TRUE(ParseInt(text, v) && v == value) << text;
  v = 9;
  for (const char* bad : {"", "+", "-", "2147483648", "1.0", "1e3", "0x10", "1 0", "+-1", "abc"})
    EXPECT_FALSE(ParseInt(bad, v)) << bad;
  EXPECT_EQ(v, 9);
}

}  // namespace
