#include "processing/Average.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// Window length in samples from the engine's settings copy, formed in 64-bit
// (or extended) arithmetic and kept within the ring: never 0 (the average
// divides by it), never more than the ring holds.
std::int32_t AveragingWindow(const TOptionProgramm& s) {
  constexpr std::int64_t kMax = TFastAverageRms::RingSize;
  std::int64_t window;
  if (s.Mode == ModeTrigger) {
    const long double w = static_cast<long double>(s.MeanTime) *
                          static_cast<long double>(s.FreqImpulse);
    if (!(w >= 1.0L)) return 1;  // also NaN
    if (w >= static_cast<long double>(kMax)) return static_cast<std::int32_t>(kMax);
    window = static_cast<std::int64_t>(w);  // truncated toward zero
  } else {
    window = static_cast<std::int64_t>(s.Sample) * static_cast<std::int64_t>(s.MeanTime);
  }
  if (window < 1) return 1;
  if (window > kMax) return static_cast<std::int32_t>(kMax);
  return static_cast<std::int32_t>(window);
}

TFastAverageRms::TFastAverageRms() = default;

void TFastAverageRms::Reset() {
  // The samples of the last run; beyond them the ring was never written.
  const std::int32_t used = Full ? Window : WriteIndex;
  std::fill(Ring.begin(), Ring.begin() + used, SamplePoint{});
  LastPoint = SamplePoint{};
  Average = 0;
  Rms = 0;
  MinRms = 0;
  Sum = 0;
  PrevSum = 0;
  SumSq = 0;
  Window = 0;
  Full = false;
  WriteIndex = 0;
  HaveFirst = false;
  FirstTime = 0;
}

void TFastAverageRms::AddSample(float time, float rate, float temperature) {
  LastPoint = SamplePoint{time, rate, temperature};
  if (!Full) {
    Window = AveragingWindow(*this);
    Sum += rate;
    Average = static_cast<double>(Sum / static_cast<long double>(WriteIndex + 1));
  } else {
    PrevSum -= Ring[static_cast<std::size_t>(WriteIndex)].Rate;
    Sum += rate;
    Average = static_cast<double>((PrevSum + Sum) / static_cast<long double>(Window));
  }
  Ring[static_cast<std::size_t>(WriteIndex)] = LastPoint;
  ++WriteIndex;
  if (!HaveFirst) {
    FirstTime = time;
    HaveFirst = true;
  }
  if (WriteIndex >= Window) {
    // One lap done: the exact sum of the lap replaces whatever rounding
    // residue the subtractions of the old lap have gathered.
    WriteIndex = 0;
    PrevSum = Sum;
    Sum = 0;
    Full = true;
  }
}

void TFastAverageRms::UpdateRms() {
  std::int32_t count;
  long double factor;
  if (!Full) {
    count = WriteIndex;
    factor = (Window != 0 && WriteIndex > 0) ? 1.0L / WriteIndex : 0.0L;
  } else {
    count = Window;
    factor = 1.0L / Window;
  }
  const long double avg = Average;
  const SamplePoint* p = Ring.data();
  SumSq = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    const long double d = p[i].Rate - avg;
    SumSq += d * d;
  }
  Rms = static_cast<double>(std::sqrt(SumSq * factor));

  if (HaveFirst) {
    const double elapsed = static_cast<double>(LastPoint.Time) - static_cast<double>(FirstTime);
    if (elapsed <= static_cast<double>(MeanTime)) {
      MinRms = Rms;
    } else if (Rms < MinRms) {
      MinRms = Rms;
    }
  }
}
