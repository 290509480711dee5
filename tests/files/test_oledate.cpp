#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <random>

#include "files/OleDate.h"

namespace {

void ExpectFields(const LocalDateTime& t, int y, int mo, int d, int h, int mi, int s, int ms) {
  EXPECT_EQ(t.year, y);
  EXPECT_EQ(t.month, mo);
  EXPECT_EQ(t.day, d);
  EXPECT_EQ(t.hour, h);
  EXPECT_EQ(t.minute, mi);
  EXPECT_EQ(t.second, s);
  EXPECT_EQ(t.msec, ms);
}

TEST(OleDate, KnownDays) {
  EXPECT_EQ(OleDateFromLocal(2026, 12, 5, 10, 30), 46361.4375);
  EXPECT_EQ(OleDateFromLocal(1899, 12, 30, 0, 0), 0.0);
  EXPECT_EQ(OleDateFromLocal(1899, 12, 31, 0, 0), 1.0);
  EXPECT_EQ(OleDateFromLocal(1900, 1, 1, 0, 0), 2.0);
  EXPECT_EQ(OleDateFromLocal(1900, 2, 28, 0, 0), 60.0);
  EXPECT_EQ(OleDateFromLocal(1900, 3, 1, 0, 0), 61.0);  // 1900 was no leap year
  EXPECT_EQ(OleDateFromLocal(2000, 1, 1, 0, 0), 36526.0);
  EXPECT_EQ(OleDateFromLocal(2024, 2, 29, 18, 0), 45351.75);
  EXPECT_EQ(OleDateFromLocal(2024, 3, 1, 6, 0), 45352.25);
  EXPECT_DOUBLE_EQ(OleDateFromLocal(2026, 12, 5, 10, 30, 15, 500),
                   46361.0 + (10 * 3600 + 30 * 60 + 15.5) / 86400.0);
  // Before the epoch the day counts back, the time forwards.
  EXPECT_EQ(OleDateFromLocal(1899, 12, 29, 6, 0), -1.25);
}

TEST(OleDate, BackToLocalFields) {
  ExpectFields(LocalFromOleDate(46361.4375), 2026, 12, 5, 10, 30, 0, 0);
  ExpectFields(LocalFromOleDate(45351.75), 2024, 2, 29, 18, 0, 0, 0);
  ExpectFields(LocalFromOleDate(0.0), 1899, 12, 30, 0, 0, 0, 0);
  ExpectFields(LocalFromOleDate(-1.25), 1899, 12, 29, 6, 0, 0, 0);
  // Rounded to the millisecond, carrying into the next day.
  ExpectFields(LocalFromOleDate(46361.0 - 0.2 / 86400000.0), 2026, 12, 5, 0, 0, 0, 0);
  ExpectFields(LocalFromOleDate(46361.4375 - 0.4 / 86400000.0), 2026, 12, 5, 10, 30, 0, 0);
  // Not a date: a fixed answer, no crash.
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), -1e300, 1e300, 3e6}) {
    ExpectFields(LocalFromOleDate(bad), 1899, 12, 30, 0, 0, 0, 0);
  }
}

TEST(OleDate, RoundTripsEveryMillisecondField) {
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> year(1900, 2200), month(1, 12), day(1, 28), hour(0, 23),
      minute(0, 59), second(0, 59), msec(0, 999);
  for (int i = 0; i < 20000; ++i) {
    const LocalDateTime in{year(gen),   month(gen),  day(gen), hour(gen),
                           minute(gen), second(gen), msec(gen)};
    const double ole =
        OleDateFromLocal(in.year, in.month, in.day, in.hour, in.minute, in.second, in.msec);
    const LocalDateTime out = LocalFromOleDate(ole);
    ExpectFields(out, in.year, in.month, in.day, in.hour, in.minute, in.second, in.msec);
    if (HasFailure()) break;
  }
}

TEST(OleDate, Text) {
  EXPECT_EQ(FormatDdMmYyyyHhNn(46361.4375), "05.12.2026 10:30");
  EXPECT_EQ(FormatDdMmYyyyHhNn(OleDateFromLocal(2024, 1, 9, 7, 5, 59, 999)), "09.01.2024 07:05");
  EXPECT_EQ(FormatDdMmYyyyHhNn(46361.0 - 0.2 / 86400000.0), "05.12.2026 00:00");
}

TEST(OleDate, NowIsTheLocalClock) {
  const std::time_t before = std::time(nullptr);
  const double now = OleDateNow();
  const std::time_t after = std::time(nullptr);
  std::tm a{}, b{};
  localtime_r(&before, &a);
  localtime_r(&after, &b);
  const double lo = OleDateFromLocal(a.tm_year + 1900, a.tm_mon + 1, a.tm_mday, a.tm_hour,
                                     a.tm_min, a.tm_sec);
  const double hi = OleDateFromLocal(b.tm_year + 1900, b.tm_mon + 1, b.tm_mday, b.tm_hour,
                                     b.tm_min, b.tm_sec, 999);
  EXPECT_GE(now, lo);
  EXPECT_LE(now, hi);
}

}  // namespace
