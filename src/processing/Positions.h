// Static Earth-rate tests of a gyroscope without a rate table: the Earth's
// rate (kEarthRateDegH) is the input, the input axis set to known
// directions. Outputs in deg/h (the recording's deg/s x 3600), each with
// the standard error of its mean.
//   four-position: axis horizontal at heading 0, 90, 180, 270 deg
//     (clockwise from north): K = (F0 - F180) / (2 We cos(lat)), bias =
//     mean / K, heading misalignment atan2(F270 - F90, F0 - F180);
//   up/down: axis vertical up, then down: K = (Fup - Fdown) / (2 We sin(lat)),
//     bias = (Fup + Fdown) / 2K;
//   tumble: n positions equally spaced in the meridian plane, position k at
//     360 k / n deg from north-horizontal towards up: F_k = K We cos(th_k -
//     lat) + K bias; the first harmonic gives K We and the latitude it
//     implies.
// These tests give bias and polarity well; the scale factor only to about
// 1e-4 (the Earth rate is small against the noise of each position).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "processing/Average.h"

struct TPosition {
  double Mean = 0;  // deg/h
  double Se = 0;    // deg/h, from the scatter of 16 sub-block means
  std::int64_t Records = 0;
};
TPosition MeasurePosition(const std::vector<SamplePoint>& records);

// The positions of one recording that holds them all, the gyroscope turned
// from one to the next: the steady stretches at rest (within 0.1 deg/s of
// zero; the turns themselves are left out), each from its start + `guard`
// s, in the order of time. `spans` (may be null) gets each one's first and
// last time.
std::vector<TPosition> PositionsFromPlateaus(const std::vector<SamplePoint>& records, double guard,
                                             std::vector<std::pair<double, double>>* spans = nullptr);

enum class TPositionTest { Four, UpDown, Tumble };

struct TPositionsResult {
  bool Valid = false;
  std::string Message;
  double K = 0, KSe = 0;
  double BiasDegH = 0, BiasSe = 0;
  double MisalignmentDeg = 0, MisalignmentSe = 0;  // four-position only
  double LatitudeDeg = 0, LatitudeSe = 0;          // tumble only: implied
};

// `latitude` in deg (NaN: unknown; the tumble needs none).
TPositionsResult ComputePositions(TPositionTest test, const std::vector<TPosition>& positions,
                                  double latitude);

inline const char* const kPositionsNote =
    "static Earth-rate test: bias and polarity are good, the scale factor only to about 1e-4";
