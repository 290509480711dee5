#include "sim/NoiseSeries.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace {
constexpr double kPi = 3.14159265358979323846;
}

// Flicker rate noise is a sum of first-order Gauss-Markov processes, three
// per decade of correlation time from a three-thousandth of the period (far
// above the sampling rate, so that the curve holds its floor down to one
// period) to thirty times the record: density rho per unit of ln T and
// variance s^2 each make the one-sided spectrum s^2 rho / f, which is B^2 / (pi f) (Allan
// deviation sqrt(2 ln 2 / pi) B) for s^2 = B^2 / (pi rho). The random walk
// is a Brownian motion of the rate; each sample of either is its exact
// mean over the period.
std::vector<double> NoiseSeries(const TNoiseTerms& z, std::size_t n, double tau0, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> y(n, 0.0);
  if (z.N > 0)
    for (double& v : y) v += 60.0 * z.N / std::sqrt(tau0) * g(rng);
  if (z.Q > 0) {
    // Angle errors in arc-seconds; their difference over a period in
    // arc-seconds per second is deg/h.
    double before = z.Q * g(rng);
    for (double& v : y) {
      const double x = z.Q * g(rng);
      v += (x - before) / tau0;
      before = x;
    }
  }
  if (z.B > 0) {
    const double record = static_cast<double>(n) * tau0;
    const double perDecade = 3;
    const double sigma = z.B / std::sqrt(kPi * perDecade / std::log(10.0));
    for (double T = tau0 / 3000; T < 30 * record; T *= std::pow(10.0, 1 / perDecade)) {
      // The end value and the integral over the period drawn together
      // given the start value.
      const double a = std::exp(-tau0 / T);
      const double endSd = sigma * std::sqrt(1 - a * a);
      const double beta = T * (1 - a) / (1 + a);
      const double integralVar = sigma * sigma * T * (2 * tau0 - T * (1 - a) * (3 - a));
      const double restSd = std::sqrt(std::max(0.0, integralVar - beta * beta * endSd * endSd));
      double s = sigma * g(rng);
      for (double& v : y) {
        const double next = a * s + endSd * g(rng);
        v += (s * T * (1 - a) + beta * (next - a * s) + restSd * g(rng)) / tau0;
        s = next;
      }
    }
  }
  if (z.K > 0) {
    // The mean of a Brownian motion over a period: the mean of its ends
    // and the bridge between them (variance step^2 / 12).
    double w = 0;
    const double step = z.K * std::sqrt(tau0 / 3600.0);
    for (double& v : y) {
      const double next = w + step * g(rng);
      v += 0.5 * (w + next) + step / std::sqrt(12.0) * g(rng);
      w = next;
    }
  }
  if (z.R > 0)
    for (std::size_t i = 0; i < n; ++i) y[i] += z.R * (static_cast<double>(i) + 0.5) * tau0 / 3600.0;
  return y;
}
