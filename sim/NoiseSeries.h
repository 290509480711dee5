// Rate series of a gyroscope with the five noise terms of the log-log
// plot at known sizes, for validating the noise analysis against its
// truth: quantization Q (arcsec, independent angle errors), angle random
// walk N (deg/sqrt(h), white rate noise), bias instability B (deg/h,
// flicker rate noise), rate random walk K (deg/h/sqrt(h)), rate ramp R
// (deg/h^2). Each sample is the mean rate over its period.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TNoiseTerms {
  double Q = 0, N = 0, B = 0, K = 0, R = 0;
};

// n samples at period tau0 (s), deg/h, from the seed.
std::vector<double> NoiseSeries(const TNoiseTerms& terms, std::size_t n, double tau0, std::uint64_t seed);
