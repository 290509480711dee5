#include "ui/Cursors.h"

#include <algorithm>

#include "processing/Averrmsstatic.h"
#include "ui/RecordingSeries.h"

TCursorPoint CursorPoint(const TRecordingSeries& recording, double time) {
  TCursorPoint p;
  const std::int64_t i = recording.Nearest(time);
  if (i < 0) return p;
  p.Valid = true;
  p.Time = recording.Key(i);
  p.Rate = recording.Value(TRecordingSeries::Rate, i);
  p.Average = recording.Value(TRecordingSeries::Average, i);
  p.Temperature = recording.Value(TRecordingSeries::Temperature, i);
  return p;
}

TCursorReadOut CursorReadOut(const TRecordingSeries& recording, double a, double b) {
  TCursorReadOut r;
  r.A = CursorPoint(recording, a);
  r.B = CursorPoint(recording, b);
  if (!r.A.Valid || !r.B.Valid) return r;
  r.Dt = r.B.Time - r.A.Time;
  r.DRate = r.B.Rate - r.A.Rate;
  TAverRmsStatic statistics;
  if (recording.SpanStatistics(std::min(r.A.Time, r.B.Time), std::max(r.A.Time, r.B.Time), statistics)) {
    r.Mean = statistics.Mean;
    r.Rms = statistics.Rms;
    r.TemperatureMean = statistics.TempMean;
  }
  return r;
}
