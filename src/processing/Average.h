// Sliding-window running average, RMS and minimum RMS of the rate.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "settings/Optionsprogramm.h"

// One sample: time (s since the start of the run), rate (deg/s),
// temperature (deg C). Also the 12-byte record of a recording file.
struct SamplePoint {
  float Time;
  float Rate;
  float Temperature;
};
static_assert(sizeof(SamplePoint) == 12, "a record is 12 bytes");

// A time bound at the precision of the records' times, so that a span typed
// as 0.7 .. 0.8 takes the records stored as 0.7 (0.69999999) and as 0.8
// (0.80000001). A bound beyond the range of a float is infinite.
inline float AtRecordPrecision(double t) {
  constexpr float largest = std::numeric_limits<float>::max();
  if (t > largest) return std::numeric_limits<float>::infinity();
  if (t < -largest) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(t);
}

// The averaging window in samples that an engine with these settings uses.
std::int32_t AveragingWindow(const TOptionProgramm& settings);

// The engine reads MeanTime, Sample, Mode and FreqImpulse from its own
// settings copy (assigned by the owner together with each Reset).
// The object is large (a 12 MB ring): embed it once, never per sample. The
// ring is only touched as far as the window reaches (its memory is not
// written before).
class TFastAverageRms : public TOptionProgramm {
 public:
  static constexpr std::int32_t RingSize = 1000000;

  TFastAverageRms();

  void Reset();
  // Constant time: updates Average.
  void AddSample(float time, float rate, float temperature);
  // Linear in the window: recomputes Rms and MinRms. Called at display pace.
  void UpdateRms();

  SamplePoint LastPoint{};
  double Average = 0;
  double Rms = 0;
  double MinRms = 0;
  long double Sum = 0;
  long double PrevSum = 0;
  long double SumSq = 0;
  std::int32_t Window = 0;
  std::array<SamplePoint, RingSize> Ring;  // [0, window) in use
  bool Full = false;
  std::int32_t WriteIndex = 0;
  bool HaveFirst = false;
  float FirstTime = 0;
};
