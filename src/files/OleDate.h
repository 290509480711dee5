// OLE Automation dates: days since 30 December 1899 00:00 as a double, the
// fraction being the time of day. The program's dates are local time, so
// these are plain calendar arithmetic on local fields; no time zone is
// involved.
#pragma once

#include <string>

struct LocalDateTime {
  int year;
  int month;   // 1..12
  int day;     // 1..31
  int hour;    // 0..23
  int minute;  // 0..59
  int second;  // 0..59
  int msec;    // 0..999
};

double OleDateFromLocal(int year, int month, int day, int hour, int minute, int second = 0,
                        int msec = 0);
// The current local date and time.
double OleDateNow();
// The fields of an OLE date, rounded to the millisecond. Values that are not
// finite or lie outside the years 100..9999 give 30.12.1899 00:00.
LocalDateTime LocalFromOleDate(double oleDate);
// "dd.mm.yyyy hh:nn"
std::string FormatDdMmYyyyHhNn(double oleDate);
