#include "app/DisplaySteps.h"

#include <cmath>

int DisplayRateFactor(int resolution) {
  switch (resolution) {
    case 2000: return 10;
    case 4000: return 25;
    case 6000: return 50;
    default: return 0;
  }
}

int ComputePointStep(int displayTime, int resolution, int current) {
  const int factor = DisplayRateFactor(resolution);
  if (factor == 0) return current;
  return static_cast<int>(
      std::ceil(static_cast<double>(displayTime) * factor / static_cast<double>(resolution)));
}

int ComputeLabelStep(int resolution, int sample, int current) {
  int step = current;
  switch (resolution) {
    case 2000: step = 0; break;
    case 4000: step = 3; break;
    case 6000: step = 10; break;
    default: break;
  }
  return sample <= 10 ? 0 : step;
}

std::uint32_t TimerPeriodMs(int sample) {
  return static_cast<std::uint32_t>(1000 / (sample < 1 ? 1 : sample));
}
