// Basic parameters of a gyroscope over a time span of a recording: average
// rate, bias error, drift error and random walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "processing/Average.h"
#include "settings/Optionsprogramm.h"

// Fed by the calculation dialog record by record; reads DriftTime, Passband,
// RandomWalkTime and EarthRate from its own settings copy, and the span from
// Begin and End, all set before the first record. All results are in deg/h
// (random walk in deg/sqrt(h)).
//
// The records are not kept: each is added to the sums as it comes, so a
// span of a week takes the memory of one random-walk segment and of the
// drift segments' means, not of its records.
class TGeneralQuant : public TOptionProgramm {
 public:
  TGeneralQuant() = default;

  // Copies the settings part, clears Past and both validity flags and
  // forgets every record taken.
  void SetSettings(const TOptionProgramm& settings);
  // One record; rate in deg/s. Records with a NaN field are skipped.
  void AddPoint(float time, float rate, float temperature);
  void ComputeMean();
  void ComputeDrift();
  void ComputeRandomWalk();
  // Forgets every record taken (the figures stay readable) and clears Past
  // and both validity flags.
  void Clear();

  // The span's records taken so far.
  std::int64_t Records() const { return Count; }
  bool Empty() const { return Count == 0; }
  // The earliest and the latest time among them (0 without a record).
  float EarliestTime() const { return Earliest; }
  float LatestTime() const { return Latest; }
  // The mean of their finite temperatures; NaN without one.
  double MeanTemperature() const;
  // Bytes held for the figures still to compute.
  std::size_t MemoryBytes() const;

  SamplePoint CurPoint{};
  double MeanRate = 0;
  double BiasError = 0;
  double DriftError = 0;
  double RandomWalk = 0;
  double Begin = 0;
  double End = 1000.0;
  bool Past = false;
  bool DriftValid = false;
  bool WalkValid = false;

 private:
  // Where the records of the span are cut into segments of a drift or
  // random-walk time: at whole seconds after Begin.
  struct TSegments {
    bool Used = false;          // the time has a whole second
    long double Boundary = 0;   // the next cut, seconds after Begin
    long double Sum = 0;        // of the open segment's rates
    std::int64_t Count = 0;     // of its records
    bool Cut(long double t, long double begin, float step);
  };
  void Forget();

  std::int64_t Count = 0;
  long double Sum = 0;
  float Earliest = 0, Latest = 0;
  long double TemperatureSum = 0;
  std::int64_t Temperatures = 0;
  TSegments Drift, Walk;
  std::vector<long double> DriftMeans;  // of the closed drift segments
  std::vector<float> WalkRates;         // of the open random-walk segment
  long double WalkLargest = 0;          // RMS about its mean, largest closed segment
  bool WalkClosed = false;
};
