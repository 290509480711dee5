// Warm-up (turn-on) time of a gyroscope: how long after the first record
// the bias settles, judged on a moving average of the rate, checked against
// the noise of that average and against a trend in the recording's tail,
// and from a fit of the turn-on transient.
#pragma once

#include <string>
#include <vector>

#include "processing/Average.h"

// The transient bias(t) = Settled + Amplitude e^(-t / Tau), t from the first
// record, fitted by least squares to block means of the rate; each figure
// with its standard error (from the residual scatter of the blocks). The
// fitted settling time is when |Amplitude| e^(-t / Tau) falls to the band:
// 0 when the amplitude is within the band; it may lie beyond the recording.
struct TWarmupFit {
  bool Valid = false;
  std::string Reason;  // why there is no fit, when so
  double Settled, SettledSe;
  double Amplitude, AmplitudeSe;
  double Tau, TauSe;      // s
  double Time, TimeSe;    // s from the first record
  TWarmupFit();
};

struct TWarmupResult {
  bool Valid = false;
  // Settled: the bias settles within the recording. False, with Message,
  // when the tail still drifts, when the moving average ends outside the
  // band, or when the fit puts the settling beyond the recording.
  bool Settled = false;
  std::string Message;
  double Time;       // s from the first record, moving average; NaN when not
                     // settled or when the band is inside the noise
  double Final;      // deg/h: mean of the last 10 % of the span
  double Excursion;  // deg/h: the moving average's largest departure from Final
                     // (signed) before Time; 0 when it settled at once
  double Window = 0, Band = 0;
  // deg/h: the scatter (1 sigma) of a window's mean, the Allan deviation at
  // the window of the rate with the fitted transient removed; NaN when the
  // recording is too short for it.
  double WindowNoise;
  bool NoiseLimited = false;  // Band < kBandNoiseRatio x WindowNoise
  // The tail (the last quarter of the span): its change (deg/h) from a
  // straight line over it, with its standard error from the Allan deviation
  // at an eighth of the tail.
  double TailChange, TailChangeSe;
  TWarmupFit Fit;
  TWarmupResult();
};

// The band must be this many window-mean standard deviations wide for the
// moving average's time to mean anything.
inline constexpr double kBandNoiseRatio = 3.0;
// The tail drifts when its change exceeds this many standard errors and
// would carry the bias out of the band within another span's length.
inline constexpr double kTailTrendSigmas = 3.0;

// The moving average at record i is the mean of the rates of the records
// in (t_i - window, t_i] (a trailing window, as the running average shows
// it); it counts from the first record whose window is full. The warm-up
// time is t_i - t_first for the first such record after which every moving
// average stays within +-band (deg/h) of the final value, the edge counting
// as inside. Rates as stored (deg/s); records in time order.
TWarmupResult ComputeWarmup(const std::vector<SamplePoint>& records, double window, double band);
