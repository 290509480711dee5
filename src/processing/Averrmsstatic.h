// Mean, RMS and mean temperature of the rate over a time span of the chart.
#pragma once

#include <cstddef>
#include <vector>

#include "processing/Average.h"

// One-shot calculator: the owner sets Begin and End, offers the points of
// the series in ascending time order until Past is set, then calls Compute.
// The point list keeps its storage between computations.
class TAverRmsStatic {
 public:
  TAverRmsStatic() = default;

  // Makes room for n points, so that a span of up to n points is collected
  // without growing the list.
  void Reserve(std::size_t n) { Points.reserve(n); }

  void AddPoint(float time, float rate, float temperature);
  // Mean, Rms and TempMean of the collected points (population form); false
  // and zeros when fewer than 3 points were collected. Always leaves the
  // list empty and Past clear.
  bool Compute();

  double Mean = 0;
  double Rms = 0;
  double TempMean = 0;
  double Begin = 0;
  double End = 1000.0;
  std::vector<SamplePoint> Points;
  bool Past = false;
};
