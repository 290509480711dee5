#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "processing/NumberFormat.h"

namespace {

TEST(FormatFixed, ExamplesOfTheProgram) {
  EXPECT_EQ(FormatFixed(30, 10, 6), "30.000000");
  EXPECT_EQ(FormatFixed(11.78, 14, 6), "11.780000");
  EXPECT_EQ(FormatFixed(0.00123456789, 6, 5), "0.00123");
  EXPECT_EQ(FormatFixed(123.456789, 6, 5), "123.45700");
  EXPECT_EQ(FormatFixed(-5, 10, 5), "-5.00000");
  EXPECT_EQ(FormatFixed(11.7835, 14, 6, ','), "11,783500");
  EXPECT_EQ(FormatFixed(100.7, 10, 1), "100.7");
  EXPECT_EQ(FormatFixed(1234.5678, 8, 3), "1234.568");
  EXPECT_EQ(FormatFixed(0, 10, 5), "0.00000");
  EXPECT_EQ(FormatFixed(42, 10, 0), "42");
  EXPECT_EQ(FormatFixed(-0.5, 10, 2, ','), "-0,50");
}

TEST(FormatFixed, RoundingHalvesAwayAndCarries) {
  EXPECT_EQ(FormatFixed(0.125, 10, 2), "0.13");
  EXPECT_EQ(FormatFixed(-0.125, 10, 2), "-0.13");
  EXPECT_EQ(FormatFixed(2.5, 10, 0), "3");
  EXPECT_EQ(FormatFixed(0.5, 10, 0), "1");
  EXPECT_EQ(FormatFixed(0.05, 10, 1), "0.1");
  EXPECT_EQ(FormatFixed(0.04, 10, 1), "0.0");
  EXPECT_EQ(FormatFixed(0.004, 10, 1), "0.0");
  EXPECT_EQ(FormatFixed(9.9999, 10, 2), "10.00");
  EXPECT_EQ(FormatFixed(99.996, 4, 2), "100.00");
  EXPECT_EQ(FormatFixed(999.96, 4, 3), "1000.000");
  EXPECT_EQ(FormatFixed(1.0 / 3, 3, 6), "0.333000");  // 3 significant digits, then zeros
  // A value that rounds to zero carries no sign.
  EXPECT_EQ(FormatFixed(-0.001, 10, 2), "0.00");
  EXPECT_EQ(FormatFixed(-0.0, 10, 2), "0.00");
}

TEST(FormatFixed, ExponentFormAndNonFinite) {
  EXPECT_EQ(FormatFixed(123456789012.0, 10, 2), "1.23456789E11");
  EXPECT_EQ(FormatFixed(-123456789012.0, 10, 2, ','), "-1,23456789E11");
  EXPECT_EQ(FormatFixed(99999.6, 5, 0), "1E5");  // rounding adds a sixth digit
  EXPECT_EQ(FormatFixed(12345, 5, 2), "12345.00");
  EXPECT_EQ(FormatFixed(1e300, 15, 5), "1E300");
  EXPECT_EQ(FormatFixed(std::numeric_limits<double>::quiet_NaN(), 10, 5), "NAN");
  EXPECT_EQ(FormatFixed(std::numeric_limits<double>::infinity(), 10, 5), "INF");
  EXPECT_EQ(FormatFixed(-std::numeric_limits<double>::infinity(), 10, 5), "-INF");
  EXPECT_EQ(FormatFixed(std::numeric_limits<double>::denorm_min(), 10, 5), "0.00000");
  // Out-of-range arguments are bounded, never a crash.
  EXPECT_EQ(FormatFixed(1.5, 0, -3), "2");
  EXPECT_EQ(FormatFixed(0.1, 99, 99), "0.100000000000000010");
}

TEST(FormatGeneral, ShortestTextUpTo15Digits) {
  EXPECT_EQ(FormatGeneral(11.7835, ','), "11,7835");
  EXPECT_EQ(FormatGeneral(100.0), "100");
  EXPECT_EQ(FormatGeneral(-2.5), "-2.5");
  EXPECT_EQ(FormatGeneral(0.0), "0");
  EXPECT_EQ(FormatGeneral(0.1), "0.1");
  EXPECT_EQ(FormatGeneral(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FormatGeneral(0.0001), "0.0001");
  EXPECT_EQ(FormatGeneral(0.00001), "1E-5");
  EXPECT_EQ(FormatGeneral(1.5e-7, ','), "1,5E-7");
  EXPECT_EQ(FormatGeneral(999999999999999.0), "999999999999999");
  EXPECT_EQ(FormatGeneral(1e15), "1E15");
  EXPECT_EQ(FormatGeneral(1e20), "1E20");
  EXPECT_EQ(FormatGeneral(std::nan("")), "NAN");
}

TEST(ParseDouble, StrictWithTheGivenSeparator) {
  double v = -1;
  EXPECT_TRUE(ParseDouble("1,5", ',', v));
  EXPECT_EQ(v, 1.5);
  EXPECT_TRUE(ParseDouble(" -11,7835 ", ',', v));
  EXPECT_EQ(v, -11.7835);
  EXPECT_TRUE(ParseDouble("2.5E-3", '.', v));
  EXPECT_EQ(v, 2.5e-3);
  EXPECT_TRUE(ParseDouble("+7", '.', v));
  EXPECT_EQ(v, 7.0);
  EXPECT_TRUE(ParseDouble(".5", '.', v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(ParseDouble("5.", '.', v));
  EXPECT_EQ(v, 5.0);
  EXPECT_TRUE(ParseDouble("1e5", ',', v));
  EXPECT_EQ(v, 1e5);

  v = 42;
  for (const char* bad : {"", " ", "-", "+", ".", "1.5", "1 000", "1,000,5", "1e", "1e+", "abc",
                          "12a", "0x10", "--1", "+-1", "nan", "inf", "1e999", "1,5,", "1;"}) {
    EXPECT_FALSE(ParseDouble(bad, ',', v)) << bad;
  }
  EXPECT_FALSE(ParseDouble("1,5", '.', v));
  EXPECT_EQ(v, 42.0);  // untouched on failure
}

TEST(ParseDouble, ReadsBackWhatFormatWrites) {
  for (double x : {0.0, 1.0, -5.0, 11.7835, 1e-5, 123.45700, -1.23456789e11, 0.333333333333333}) {
    double back = 0;
    ASSERT_TRUE(ParseDouble(FormatGeneral(x, ','), ',', back)) << x;
    EXPECT_DOUBLE_EQ(back, x);
    ASSERT_TRUE(ParseDouble(FormatFixed(x, 15, 6, ','), ',', back)) << x;
    EXPECT_NEAR(back, x, 5e-7 + std::fabs(x) * 1e-14);
  }
}

TEST(ParseInt, StrictRange) {
  int v = 0;
  EXPECT_TRUE(ParseInt("50", v));
  EXPECT_EQ(v, 50);
  EXPECT_TRUE(ParseInt(" -7 ", v));
  EXPECT_EQ(v, -7);
  EXPECT_TRUE(ParseInt("+300", v));
  EXPECT_EQ(v, 300);
  EXPECT_TRUE(ParseInt("-2147483648", v));
  EXPECT_EQ(v, -2147483648);
  v = 9;
  for (const char* bad : {"", "+", "-", "2147483648", "1.0", "1e3", "0x10", "1 0", "+-1", "abc"}) {
    EXPECT_FALSE(ParseInt(bad, v)) << bad;
  }
  EXPECT_EQ(v, 9);
}

}  // namespace
