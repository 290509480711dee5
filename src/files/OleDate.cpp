#include "files/OleDate.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// OLE day numbers of 1 January 100 and 31 December 9999.
constexpr double kMinOle = -657434.0;
constexpr double kMaxOle = 2958466.0;

// Days from 1 January 1970 of a proleptic Gregorian date (any month and day
// values are carried into the year arithmetic).
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
  // Normalise the month first so that m lies in 1..12.
  y += (m - 1) >= 0 ? (m - 1) / 12 : -((12 - m) / 12);
  m = ((m - 1) % 12 + 12) % 12 + 1;
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(yoe + era * 400 + (m <= 2));
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

// 30 December 1899 in days from 1 January 1970.
const std::int64_t kOleEpoch = DaysFromCivil(1899, 12, 30);

}  // namespace

double OleDateFromLocal(int year, int month, int day, int hour, int minute, int second,
                        int msec) {
  const std::int64_t days = DaysFromCivil(year, month, day) - kOleEpoch;
  const std::int64_t ms = ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 +
                          msec;
  // Before 30.12.1899 the day counts backwards while the time still counts
  // forwards: -1.25 is 29.12.1899 06:00.
  const double fraction = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
}

double OleDateNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  const std::time_t t = ts.tv_sec;
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return OleDateFromLocal(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

LocalDateTime LocalFromOleDate(double oleDate) {
  LocalDateTime r{1899, 12, 30, 0, 0, 0, 0};
  if (!std::isfinite(oleDate) || oleDate < kMinOle || oleDate >= kMaxOle) return r;
  std::int64_t days = static_cast<std::int64_t>(std::trunc(oleDate));
  std::int64_t ms = std::llround(std::fabs(oleDate - static_cast<double>(days)) *
                                 static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {  // rounded up to the next midnight
    ms -= kMsPerDay;
    days += 1;  // the calendar day after, for either sign
  }
  CivilFromDays(days + kOleEpoch, r.year, r.month, r.day);
  r.msec = static_cast<int>(ms % 1000);
  ms /= 1000;
  r.second = static_cast<int>(ms % 60);
  ms /= 60;
  r.minute = static_cast<int>(ms % 60);
  r.hour = static_cast<int>(ms / 60);
  return r;
}

std::string FormatDdMmYyyyHhNn(double oleDate) {
  const LocalDateTime t = LocalFromOleDate(oleDate);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d", t.day, t.month, t.year, t.hour,
                t.minute);
  return buf;
}
