// Temperature model, warm-up time and run-to-run repeatability on records
// built with known coefficients and noise.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <tuple>
#include <random>
#include <vector>

#include "processing/Thermal.h"
#include "processing/Warmup.h"

namespace {

struct TTruth {
  double b0 = 5, b1 = -0.08, b2 = 0.0025, c = 1.5;  // deg/h, per deg C, per deg C^2, per deg C/min
  double noise = 3.0;                               // deg/h, white, at the record rate
};

// A chamber cycle lo -> hi -> lo at `slope` deg C/min, sampled at `hz`.
std::vector<SamplePoint> ChamberCycle(const TTruth& k, double lo = -40, double hi = 60,
                                      double slope = 1.0, double hz = 10, unsigned seed = 1) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, k.noise);
  const double half = (hi - lo) / slope * 60;  // s
  std::vector<SamplePoint> v;
  for (long i = 1; i <= static_cast<long>(2 * half * hz); ++i) {
    const double t = i / hz;
    const bool up = t < half;
    const double T = up ? lo + slope * t / 60 : hi - slope * (t - half) / 60;
    const double bias = k.b0 + k.b1 * T + k.b2 * T * T + k.c * (up ? slope : -slope) + g(rng);
    v.push_back({static_cast<float>(t), static_cast<float>(bias / 3600), static_cast<float>(T)});
  }
  return v;
}

TEST(Thermal, ChamberCycleRecoversTheInjectedCoefficients) {
  const TTruth k;
  const auto records = ChamberCycle(k);
  std::vector<float> compensated;
  const TThermalResult r = ComputeThermal(records, {}, &compensated);
  ASSERT_TRUE(r.Valid) << r.Message;
  EXPECT_NEAR(r.B[1], k.b1, 0.02 * std::fabs(k.b1));
  EXPECT_NEAR(r.B[2], k.b2, 0.02 * k.b2);
  EXPECT_NEAR(r.C, k.c, 0.02 * k.c);
  EXPECT_TRUE(std::isnan(r.B[3]));
  EXPECT_NEAR(r.ResidualRms, k.noise, 0.05 * k.noise);
  // Blocks of 100 records: the noise averages down by 10.
  EXPECT_NEAR(r.ResidualRmsAvg, k.noise / 10, 0.1 * k.noise / 10);
  // The standard errors match the scatter they claim (c: sigma_avg / sqrt(blocks),
  // its regressor being +-1 deg C/min).
  EXPECT_NEAR(r.CSe, k.noise / 10 / std::sqrt(1200.0), 0.2 * r.CSe);
  EXPECT_NEAR(r.TMin, -40, 0.01);
  EXPECT_NEAR(r.TMax, 60, 0.01);
  // R^2 = var(model) / (var(model) + noise of the blocks^2), the model's
  // variance over the cycle (T uniform in -40..60, dT/dt = +-1) summed here.
  long double s1 = 0, s2 = 0;
  for (int i = 0; i < 20000; ++i) {
    const double T = -40 + 100 * (i / 2 + 0.5) / 10000, f = k.b1 * T + k.b2 * T * T + k.c * (i % 2 ? 1 : -1);
    s1 += f;
    s2 += f * f;
  }
  const double var = static_cast<double>(s2 / 20000 - (s1 / 20000) * (s1 / 20000));
  EXPECT_NEAR(r.R2, var / (var + k.noise * k.noise / 100), 0.002);
  // Heating minus cooling at one temperature: c * (+1) - c * (-1).
  EXPECT_NEAR(r.Hysteresis, 2 * k.c, 0.2 * 2 * k.c);  // the largest of 100 bins' noisy differences
  // White noise: N = sigma * sqrt(tau0) in deg/sqrt(h) for both; the
  // compensated rate keeps its level at the mean temperature.
  const double n = k.noise * std::sqrt(0.1) / 60;
  EXPECT_NEAR(r.NCompensated, n, 0.1 * n);
  long double mean = 0;
  for (float x : compensated) mean += x * 3600.0L;
  mean /= compensated.size();
  EXPECT_NEAR(static_cast<double>(mean), k.b0 + k.b1 * r.TRef + k.b2 * r.TRef * r.TRef, 0.1);
}

TEST(Thermal, ExactFitSolvedByHand) {
  // Three blocks, order 1 with the rate term: 1 s blocks of one record each,
  // T = 0, 1, 3 at t = 0, 60, 120 s -> dT/dt = 1, 1.5, 2 deg C/min.
  // bias = 2 + 0.5 T - 1 * dT/dt: 1, 1, 1.5.
  const std::vector<SamplePoint> records = {
      {0, 1.0f / 3600, 0}, {60, 1.0f / 3600, 1}, {120, 1.5f / 3600, 3}};
  const TThermalResult r = ComputeThermal(records, {1, 1.0, true});
  ASSERT_TRUE(r.Valid) << r.Message;
  EXPECT_NEAR(r.B[0], 2, 1e-5);
  EXPECT_NEAR(r.B[1], 0.5, 1e-5);
  EXPECT_NEAR(r.C, -1, 1e-5);
  EXPECT_TRUE(std::isnan(r.BSe[0]) && std::isnan(r.CSe));  // no degree of freedom
  // Without the rate term, the straight line through (0,1), (1,1), (3,1.5):
  // slope 5/28, intercept 13/14 (normal equations by hand).
  const TThermalResult line = ComputeThermal(records, {1, 1.0, false});
  ASSERT_TRUE(line.Valid);
  EXPECT_NEAR(line.B[1], 5.0 / 28, 1e-6);
  EXPECT_NEAR(line.B[0], 13.0 / 14, 1e-6);
  EXPECT_TRUE(std::isnan(line.C));
}

TEST(Thermal, TooLittleTemperatureChangeGivesNoFit) {
  TTruth k;
  struct Case {
    double lo, hi, slope;
    TThermalOptions options;
  } cases[] = {
      {20, 20.9, 0.05, {}},           // under 1 deg C
      {20, 40, 1.0, {3, 600, true}},  // 4 blocks of 10 min for 5 coefficients
      {-40, 60, 1.0, {2, 10, true}},  // a cycle, but rejected below
  };
  for (const Case& c : cases) {
    auto records = ChamberCycle(k, c.lo, c.hi, c.slope, 1);
    if (&c == &cases[2]) records.resize(records.size() / 2);  // one ramp: dT/dt constant
    const TThermalResult r = ComputeThermal(records, c.options);
    EXPECT_FALSE(r.Valid) << c.lo << ".." << c.hi;
    EXPECT_FALSE(r.Message.empty());
    EXPECT_TRUE(std::isnan(r.B[0]) && std::isnan(r.B[1]) && std::isnan(r.ResidualRms));
  }
  // The single ramp is fine without the rate term.
  auto ramp = ChamberCycle(k, -40, 60, 1.0, 1);
  ramp.resize(ramp.size() / 2);
  EXPECT_TRUE(ComputeThermal(ramp, {2, 10, false}).Valid);
  EXPECT_FALSE(ComputeThermal({}, {}).Valid);
}

TEST(Warmup, ExponentialSettlingWithinTheWindowsLag) {
  // bias = binf + a e^(-t/tau): |bias - binf| <= band from t = tau ln(|a| / band).
  struct Case {
    double binf, a, tau, window, band;
  } cases[] = {{10, 5, 600, 100, 0.1}, {-3, -2, 300, 60, 0.05}, {0, 1, 1200, 100, 0.1}};
  for (const Case& c : cases) {
    std::vector<SamplePoint> v;
    const double length = 12 * c.tau;
    for (long i = 1; i <= static_cast<long>(length * 10); ++i) {
      const double t = i / 10.0;
      v.push_back({static_cast<float>(t),
                   static_cast<float>((c.binf + c.a * std::exp(-t / c.tau)) / 3600), 0});
    }
    const TWarmupResult r = ComputeWarmup(v, c.window, c.band);
    const double analytic = c.tau * std::log(std::fabs(c.a) / c.band) - 0.1;  // from the first record
    ASSERT_TRUE(r.Valid);
    EXPECT_GE(r.Time, analytic - 1) << c.tau;
    EXPECT_LE(r.Time, analytic + c.window) << c.tau;
    EXPECT_NEAR(r.Final, c.binf, 1e-4);
    // The first full window's average departs most: a tau/W (1 - e^(-W/tau)).
    EXPECT_NEAR(r.Excursion, c.a * c.tau / c.window * (1 - std::exp(-c.window / c.tau)), 0.01 * std::fabs(c.a));
  }
  // Settled from the start: the first full window; a span shorter than the
  // window: nothing.
  std::vector<SamplePoint> flat;
  for (int i = 0; i <= 3000; ++i) flat.push_back({i * 0.1f, 1.0f / 3600, 0});
  const TWarmupResult f = ComputeWarmup(flat, 100, 0.1);
  EXPECT_TRUE(f.Valid && std::fabs(f.Time - 100) < 1e-3 && f.Excursion == 0) << f.Time;
  EXPECT_FALSE(ComputeWarmup(flat, 400, 0.1).Valid);
}

// 3 h at 1 Hz of bias(t) deg/h plus white noise of angle random walk n
// (deg/sqrt(h)) and a rate random walk k (deg/h/sqrt(h)).
std::vector<SamplePoint> Turnon(unsigned seed, double n, double k, const std::function<double(double)>& bias) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<SamplePoint> v;
  double walk = 0;
  for (int i = 1; i <= 10800; ++i) {
    walk += k / 60 * g(rng);  // k sqrt(1 s / 1 h) per step
    v.push_back({static_cast<float>(i), static_cast<float>((bias(i) + walk + n * 60 * g(rng)) / 3600), 25});
  }
  return v;
}

TEST(Warmup, ABiasThatNeverSettlesHasNoWarmupTime) {
  // Linear drift, a rate random walk and an exponential of 7200 s in 3 h
  // (within 0.1 deg/h of its end only at 7200 ln 50 = 28,167 s): each got
  // a time of 9,700 to 10,800 s with the last 10 % taken as final.
  // Each with the reason it is found by: the random walk under white noise
  // that hides it at every averaging time, and under little white noise,
  // where it wanders.
  struct Case {
    const char* name;
    unsigned seed;
    double n, k;
    std::function<double(double)> bias;
    const char* reason;
  } cases[] = {{"linear drift", 11, 0.001, 0, [](double t) { return 2 + t / 7200; }, "the last quarter"},
               {"rate random walk in the noise", 6, 0.01, 0.5, [](double) { return 2.0; }, "within the band"},
               {"rate random walk", 6, 0.001, 0.5, [](double) { return 2.0; }, "the bias wanders"},
               {"slow exponential", 11, 0.001, 0, [](double t) { return 2 + 5 * std::exp(-t / 7200); },
                "the fitted transient"}};
  for (const Case& c : cases) {
    const TWarmupResult r = ComputeWarmup(Turnon(c.seed, c.n, c.k, c.bias), 100, 0.1);
    EXPECT_TRUE(r.Valid && !r.Settled) << c.name;
    EXPECT_TRUE(std::isnan(r.Time)) << c.name << " " << r.Time;
    EXPECT_EQ(r.Message.rfind("not settled", 0), 0u) << c.name << ": " << r.Message;
    EXPECT_NE(r.Message.find(c.reason), std::string::npos) << c.name << ": " << r.Message;
  }
  // The slow exponential's fit puts the settling beyond the recording, not at its end.
  const TWarmupResult slow = ComputeWarmup(Turnon(11, 0.001, 0, cases[3].bias), 100, 0.1);
  EXPECT_NEAR(slow.Fit.Time, 7200 * std::log(50.0), 3 * slow.Fit.TimeSe);
  EXPECT_GT(slow.Fit.Time, 10800);
}

TEST(Warmup, BandInsideTheNoiseOfTheWindowMean) {
  // 2 + 5 e^(-t/300) deg/h, N = 0.01 deg/sqrt(h): the 100 s mean scatters by
  // 0.01 / sqrt(100 / 3600) = 0.06 deg/h, the band of 0.1 is inside it.
  // The truth: 300 ln 50 = 1173.6 s.
  const TWarmupResult r = ComputeWarmup(Turnon(5, 0.01, 0, [](double t) { return 2 + 5 * std::exp(-t / 300); }), 100, 0.1);
  ASSERT_TRUE(r.Valid && r.Settled) << r.Message;
  EXPECT_NEAR(r.WindowNoise, 0.06, 0.015);
  EXPECT_TRUE(r.NoiseLimited);
  EXPECT_TRUE(std::isnan(r.Time));
  EXPECT_NE(r.Message.find("inside the noise"), std::string::npos) << r.Message;
  ASSERT_TRUE(r.Fit.Valid) << r.Fit.Reason;
  for (auto [value, se, truth] : {std::tuple{r.Fit.Time, r.Fit.TimeSe, 300 * std::log(50.0)},
                                  {r.Fit.Tau, r.Fit.TauSe, 300.0},
                                  {r.Fit.Amplitude, r.Fit.AmplitudeSe, 5.0},
                                  {r.Fit.Settled, r.Fit.SettledSe, 2.0}})
    EXPECT_NEAR(value, truth, 3 * se) << truth;
  // A band wide against the noise gives the moving average's time too.
  const TWarmupResult wide = ComputeWarmup(Turnon(5, 0.01, 0, [](double t) { return 2 + 5 * std::exp(-t / 300); }), 100, 0.5);
  EXPECT_FALSE(wide.NoiseLimited);
  EXPECT_NEAR(wide.Time, 300 * std::log(10.0), 100);
}

TEST(Warmup, AWindowMeanOnTheBandsEdgeIsInside) {
  // 20 s at 1/1024 deg/s (3.515625 deg/h), then 0: the 10 s means fall by
  // 0.3515625 deg/h a record, all exact in binary; the one of 5 ones and 5
  // zeros (t = 25 s) is 1.7578125, the band's edge.
  std::vector<SamplePoint> v;
  for (int i = 1; i <= 2000; ++i) v.push_back({static_cast<float>(i), i <= 20 ? 1.0f / 1024 : 0.0f, 25});
  const double edge = 1.7578125;
  struct Case {
    const char* side;
    double band, time;
  } cases[] = {{"on the edge: inside", edge, 24}, {"above: inside", std::nextafter(edge, 9.0), 24},
               {"below: outside", std::nextafter(edge, 0.0), 25}};
  for (const Case& c : cases) {
    const TWarmupResult r = ComputeWarmup(v, 10, c.band);
    EXPECT_FALSE(r.NoiseLimited) << c.side;
    EXPECT_EQ(r.Time, c.time) << c.side;
  }
  // Too short for the noise analysis' long averaging times: no checks on
  // them, and still the moving average's answer (the first full window).
  const TWarmupResult shortest = ComputeWarmup({v.begin(), v.begin() + 14}, 10, 9);
  EXPECT_TRUE(shortest.Settled && shortest.Time == 10) << shortest.Message;
}

}  // namespace
