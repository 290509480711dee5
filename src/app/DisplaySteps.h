// How often the live display acts on display records, and the polling
// period, from the settings.
#pragma once

#include <cstdint>

// Display records per second of sample time at a resolution (10, 25, 50 for
// 2000, 4000, 6000); 0 for any other value.
int DisplayRateFactor(int resolution);

// Display records per charted point: Ceil(displayTime * factor /
// resolution), so that a full window holds about `resolution` points;
// `current` for an unknown resolution.
int ComputePointStep(int displayTime, int resolution, int current);

// Display records per refresh of the information panels: 0, 3, 10 for
// 2000, 4000, 6000 (`current` for another resolution), and 0 whenever
// sample <= 10.
int ComputeLabelStep(int resolution, int sample, int current);

// The polling period in ms: 1000 div sample (sample taken as at least 1).
std::uint32_t TimerPeriodMs(int sample);
