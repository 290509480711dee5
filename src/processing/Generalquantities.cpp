#include "processing/Generalquantities.h"

#include <algorithm>
#include <cmath>

namespace {
// The length of a drift or random-walk segment in whole seconds, or 0 when
// the time has no whole second (such a boundary would never advance).
long double WholeSeconds(float t) {
  const long double whole = std::trunc(static_cast<long double>(t));
  return whole >= 1.0L ? whole : 0.0L;
}
// The segment length for a drift or random-walk time t, or 0 when the span
// is not longer than `multiple` segments (the product in single precision,
// the comparison in extended; NaN fails) or t has no whole second.
long double SegmentStep(float t, float multiple, long double begin, long double end) {
  const float minSpan = multiple * t;
  if (!(static_cast<long double>(minSpan) < end - begin)) return 0;
  return WholeSeconds(t);
}
}  // namespace

// A record at t reaches the segment's next cut (Begin + Boundary): the
// open segment closes, and the cut after it lies `step` later, at a whole
// second.
bool TGeneralQuant::TSegments::Cut(long double t, long double begin, float step) {
  if (!(t >= begin + Boundary)) return false;
  Boundary = std::trunc(Boundary + step);
  return true;
}

void TGeneralQuant::Forget() {
  Count = 0;
  Sum = 0;
  Earliest = Latest = 0;
  TemperatureSum = 0;
  Temperatures = 0;
  Drift = Walk = TSegments{};
  std::vector<long double>().swap(DriftMeans);
  std::vector<float>().swap(WalkRates);
  WalkLargest = 0;
  WalkClosed = false;
}

void TGeneralQuant::SetSettings(const TOptionProgramm& settings) {
  Assign(settings);
  Clear();
}

void TGeneralQuant::Clear() {
  Forget();
  Past = false;
  DriftValid = false;
  WalkValid = false;
}

void TGeneralQuant::AddPoint(float time, float rate, float temperature) {
  CurPoint = SamplePoint{time, rate, temperature};
  if (std::isnan(time) || std::isnan(rate) || std::isnan(temperature)) return;
  const float perHour = rate * 3600.0f;
  const float begin = AtRecordPrecision(Begin);
  const float end = AtRecordPrecision(End);
  if (time > end) {
    Past = true;
    return;
  }
  if (!(begin <= time)) return;
  if (Count == 0) {
    // The segments' cuts: a whole number of seconds after Begin, and only
    // when the span holds enough segments for the figure (three for the
    // drift, ten for the random walk).
    Earliest = Latest = time;
    Drift.Boundary = SegmentStep(DriftTime, 3.0f, Begin, End);
    Drift.Used = Drift.Boundary > 0;
    Walk.Boundary = SegmentStep(RandomWalkTime, 10.0f, Begin, End);
    Walk.Used = Walk.Boundary > 0;
  }
  ++Count;
  Sum += perHour;
  Earliest = std::min(Earliest, time);
  Latest = std::max(Latest, time);
  if (std::isfinite(temperature)) {
    TemperatureSum += temperature;
    ++Temperatures;
  }
  const long double t = time;
  const long double from = Begin;
  if (Drift.Used) {
    if (Drift.Cut(t, from, DriftTime)) {
      if (Drift.Count != 0) DriftMeans.push_back(Drift.Sum / static_cast<long double>(Drift.Count));
      Drift.Sum = 0;
      Drift.Count = 0;
    }
    Drift.Sum += perHour;
    ++Drift.Count;
  }
  if (Walk.Used) {
    if (Walk.Cut(t, from, RandomWalkTime)) {
      if (Walk.Count != 0) {
        // The segment's RMS about its own mean.
        const long double m = Walk.Sum / static_cast<long double>(Walk.Count);
        long double squares = 0;
        for (const float r : WalkRates) {
          const long double d = r - m;
          squares += d * d;
        }
        const long double d = std::sqrt(squares / static_cast<long double>(WalkRates.size()));
        if (d > WalkLargest) WalkLargest = d;
        WalkClosed = true;
      }
      WalkRates.clear();
      Walk.Sum = 0;
      Walk.Count = 0;
    }
    WalkRates.push_back(perHour);
    Walk.Sum += perHour;
    ++Walk.Count;
  }
}

double TGeneralQuant::MeanTemperature() const {
  return Temperatures ? static_cast<double>(TemperatureSum / static_cast<long double>(Temperatures)) : NAN;
}

std::size_t TGeneralQuant::MemoryBytes() const {
  return DriftMeans.capacity() * sizeof(long double) + WalkRates.capacity() * sizeof(float);
}

void TGeneralQuant::ComputeMean() {
  if (Count == 0) {
    // Nothing in the span: no average, and nothing for the other two either.
    MeanRate = 0;
    BiasError = 0;
    DriftValid = false;
    WalkValid = false;
    return;
  }
  MeanRate = static_cast<double>(Sum / static_cast<long double>(Count));
  const double sign = MeanRate < 0 ? -1.0 : (MeanRate == 0 ? 0.0 : 1.0);
  BiasError = MeanRate - sign * EarthRate;
}

// The RMS of the closed drift segments' means about the span's mean (the
// segment still open at the span's end does not count).
void TGeneralQuant::ComputeDrift() {
  DriftValid = false;
  if (!Drift.Used || Count == 0 || DriftMeans.empty()) return;
  const long double mean = MeanRate;
  long double squares = 0;
  for (const long double m : DriftMeans) {
    const long double d = m - mean;
    squares += d * d;
  }
  DriftError = static_cast<double>(std::sqrt(squares / static_cast<long double>(DriftMeans.size())));
  DriftValid = true;
}

// The largest RMS of a closed random-walk segment about its own mean, per
// square root of the passband.
void TGeneralQuant::ComputeRandomWalk() {
  WalkValid = false;
  if (!Walk.Used || Count == 0 || Passband <= 0 || !WalkClosed) return;
  RandomWalk = static_cast<double>(WalkLargest / (std::sqrt(static_cast<long double>(Passband)) * 60.0L));
  WalkValid = true;
}
