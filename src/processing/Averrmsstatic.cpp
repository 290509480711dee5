#include "processing/Averrmsstatic.h"

#include <cmath>

void TAverRmsStatic::AddPoint(float time, float rate, float temperature) {
  if (Past) return;
  if (Begin <= time && time <= End) {
    Points.push_back(SamplePoint{time, rate, temperature});
  } else if (time > End) {
    Past = true;
  }
}

bool TAverRmsStatic::Compute() {
  Mean = 0;
  Rms = 0;
  TempMean = 0;
  const std::size_t n = Points.size();
  if (n < 3) {
    Points.clear();
    Past = false;
    return false;
  }
  const long double factor = 1.0L / static_cast<long double>(n);
  long double sumRate = 0;
  long double sumTemp = 0;
  for (const SamplePoint& p : Points) {
    sumRate += p.Rate;
    sumTemp += p.Temperature;
  }
  Mean = static_cast<double>(sumRate * factor);
  TempMean = static_cast<double>(sumTemp * factor);
  const long double mean = Mean;
  long double sumSq = 0;
  for (const SamplePoint& p : Points) {
    const long double d = p.Rate - mean;
    sumSq += d * d;
  }
  Rms = static_cast<double>(std::sqrt(sumSq * factor));
  Points.clear();
  Past = false;
  return true;
}
