// What the window shows while a run waits for the device to identify
// itself: the identification phase has no time limit, so the chart's title
// says that the program is waiting, for how long, and after a while what
// to check.
#pragma once

#include <QString>

// Seconds without an answer after which the title adds its hint.
inline constexpr int WaitingHintAfter = 10;

// "Waiting for the gyroscope on COM1 (/dev/ttyS0)… 12 s", and from
// WaitingHintAfter seconds on two more lines (short enough for the chart
// of the smallest window) naming what to check.
QString WaitingTitle(const QString& portName, const QString& deviceFile, int seconds,
                     int address);
