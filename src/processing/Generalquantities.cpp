#include "processing/Generalquantities.h"

#include <cmath>

void TQuantPoints::AddBlock() {
  Blocks.emplace_back(new SamplePoint[BlockSize]);
}

void TQuantPoints::reserve(std::size_t n) {
  const std::size_t blocks = (n + BlockSize - 1) >> BlockShift;
  if (blocks <= Blocks.size()) return;
  Blocks.reserve(blocks);
  while (Blocks.size() < blocks) AddBlock();
}

void TQuantPoints::clear() {
  std::vector<std::unique_ptr<SamplePoint[]>>().swap(Blocks);
  Count = 0;
}

std::size_t TQuantPoints::MemoryBytes() const {
  return Blocks.size() * BlockSize * sizeof(SamplePoint) +
         Blocks.capacity() * sizeof(std::unique_ptr<SamplePoint[]>);
}

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

void TGeneralQuant::SetSettings(const TOptionProgramm& settings) {
  Assign(settings);
  Past = false;
  DriftValid = false;
  WalkValid = false;
  Points.clear();
}

void TGeneralQuant::Clear() {
  Points.clear();
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
  if (begin <= time && time <= end) {
    Points.push_back(SamplePoint{time, perHour, temperature});
  } else if (time > end) {
    Past = true;
  }
}

void TGeneralQuant::ComputeMean() {
  const std::size_t n = Points.size();
  if (n == 0) {
    // Nothing in the span: no average, and nothing for the other two either.
    MeanRate = 0;
    BiasError = 0;
    DriftValid = false;
    WalkValid = false;
    return;
  }
  long double sum = 0;
  Points.ForRange(0, n, [&sum](const SamplePoint* p, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) sum += p[i].Rate;
  });
  MeanRate = static_cast<double>(sum / static_cast<long double>(n));
  const double sign = MeanRate < 0 ? -1.0 : (MeanRate == 0 ? 0.0 : 1.0);
  BiasError = MeanRate - sign * EarthRate;
}

void TGeneralQuant::ComputeDrift() {
  DriftValid = false;
  const float td = DriftTime;
  const long double begin = Begin;
  const long double step = SegmentStep(td, 3.0f, begin, End);
  // The span's own points are those AddPoint took: bounds at record precision.
  const float first = AtRecordPrecision(Begin), end = AtRecordPrecision(End);
  if (step == 0 || Points.empty()) return;

  long double boundary = step;
  long double segSum = 0;
  std::size_t segCount = 0;
  long double squares = 0;
  std::size_t segments = 0;
  const long double mean = MeanRate;
  Points.ForRange(0, Points.size(), [&](const SamplePoint* p, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const long double t = p[i].Time;
      if (t >= begin + boundary && p[i].Time <= end) {
        boundary = std::trunc(boundary + td);
        if (segCount != 0) {
          const long double d = segSum / static_cast<long double>(segCount) - mean;
          squares += d * d;
          ++segments;
        }
        segSum = 0;
        segCount = 0;
      }
      if (p[i].Time >= first && p[i].Time <= end) {
        segSum += p[i].Rate;
        ++segCount;
      }
    }
  });
  if (segments == 0) return;
  DriftError = static_cast<double>(std::sqrt(squares / static_cast<long double>(segments)));
  DriftValid = true;
}

void TGeneralQuant::ComputeRandomWalk() {
  WalkValid = false;
  const float tr = RandomWalkTime;
  const long double begin = Begin;
  const long double step = SegmentStep(tr, 10.0f, begin, End);
  const float first = AtRecordPrecision(Begin), end = AtRecordPrecision(End);
  if (step == 0 || Points.empty() || Passband <= 0) return;

  long double boundary = step;
  long double segSum = 0;
  std::size_t segCount = 0;
  std::size_t segStart = 0;
  long double largest = 0;
  bool closed = false;
  const std::size_t n = Points.size();
  for (std::size_t i = 0; i < n; ++i) {
    const SamplePoint& pt = Points[i];
    const long double t = pt.Time;
    if (t >= begin + boundary && pt.Time <= end) {
      boundary = std::trunc(boundary + tr);
      if (segCount != 0) {
        const long double m = segSum / static_cast<long double>(segCount);
        long double squares = 0;
        Points.ForRange(segStart, i, [&squares, m](const SamplePoint* p, std::size_t count) {
          for (std::size_t j = 0; j < count; ++j) {
            const long double d = p[j].Rate - m;
            squares += d * d;
          }
        });
        const long double d = std::sqrt(squares / static_cast<long double>(i - segStart));
        if (d > largest) largest = d;
        closed = true;
      }
      segStart = i;
      segSum = 0;
      segCount = 0;
    }
    if (pt.Time >= first && pt.Time <= end) {
      segSum += pt.Rate;
      ++segCount;
    }
  }
  if (!closed) return;
  RandomWalk = static_cast<double>(largest / (std::sqrt(static_cast<long double>(Passband)) * 60.0L));
  WalkValid = true;
}
