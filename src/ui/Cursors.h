// Cursors A and B on a loaded recording: what the chart shows at each (the
// record nearest to the cursor's time) and between them (the time and rate
// differences, the mean and RMS of the rate and the mean temperature of
// the records between them). The same on a recording of 10^8 records as
// on a short one: a binary search and the recording's sums by block.
#pragma once

#include <cmath>
#include <cstdint>

class TRecordingSeries;

struct TCursorPoint {
  bool Valid = false;
  double Time = NAN;  // of the nearest record, s
  double Rate = NAN;  // display unit
  double Average = NAN;
  double Temperature = NAN;
};

struct TCursorReadOut {
  TCursorPoint A, B;
  // B - A; NaN unless both are placed.
  double Dt = NAN, DRate = NAN;
  // Over the records from the earlier cursor to the later one (display
  // unit); NaN for fewer than 3 records.
  double Mean = NAN, Rms = NAN, TemperatureMean = NAN;
};

// The record nearest to `time` (ties: the earlier); none for an empty
// recording or a time that is not a number.
TCursorPoint CursorPoint(const TRecordingSeries& recording, double time);
// `a`, `b`: the cursors' times, NaN for a cursor not placed.
TCursorReadOut CursorReadOut(const TRecordingSeries& recording, double a, double b);
