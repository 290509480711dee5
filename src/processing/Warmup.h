// Warm-up (turn-on) time of a gyroscope: how long after the first record
// the bias settles, judged on a moving average of the rate.
#pragma once

#include <vector>

#include "processing/Average.h"

struct TWarmupResult {
  bool Valid = false;
  double Time;       // s from the first record; NaN when the bias never settles
  double Final;      // deg/h: mean of the last 10 % of the span
  double Excursion;  // deg/h: the moving average's largest departure from Final
                     // (signed) before Time; 0 when it settled at once
  double Window = 0, Band = 0;
  TWarmupResult();
};

// The moving average at record i is the mean of the rates of the records
// in (t_i - window, t_i] (a trailing window, as the running average shows
// it); it counts from the first record whose window is full. The warm-up
// time is t_i - t_first for the first such record after which every moving
// average stays within +-band (deg/h) of the final value. Rates as stored
// (deg/s); records in time order.
TWarmupResult ComputeWarmup(const std::vector<SamplePoint>& records, double window, double band);
