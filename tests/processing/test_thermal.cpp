// Temperature model, warm-up time and run-to-run repeatability on records
// built with known coefficients and noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <tuple>
#include <random>
#include <thread>
#include <vector>

#include "processing/Thermal.h"
#include "processing/Warmup.h"

namespace {

struct TTruth {
  double b0 = 5, b1 = -0.08, b2 = 0.0025, c = 1.5;  // deg/h, per deg C, per deg C^2, per deg C/min
  double noise = 3.0;                               // deg/h, white, at the record rate
};

// What a real chamber and sensor add to a recording: a programme of
// (deg C/min, minutes) legs from `start`, a sensor step and noise, a bias
// offset of +h/2 while heating and -h/2 while cooling, rate random walk
// (deg/h per sqrt(s)), a clipping sensor.
struct TChamber {
  std::vector<std::pair<double, double>> legs = {{1, 100}, {-1, 100}};
  double start = -40, step = 0, tempNoise = 0, h = 0, rrw = 0, clip = 1e9;
  double hz = 1;
  unsigned seed = 7;
};

std::vector<SamplePoint> Record(const TTruth& k, const TChamber& c) {
  std::mt19937_64 rng(c.seed);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<SamplePoint> v;
  double T = c.start, t = 0, walk = 0, branch = 0;
  for (const auto& [slope, minutes] : c.legs) {
    if (slope != 0) branch = slope > 0 ? 0.5 : -0.5;
    for (long i = 0; i < static_cast<long>(minutes * 60 * c.hz); ++i) {
      t += 1 / c.hz;
      T += slope / 60 / c.hz;
      walk += c.rrw * std::sqrt(1 / c.hz) * g(rng);
      const double bias = k.b0 + k.b1 * T + k.b2 * T * T + k.c * slope + c.h * branch + walk + k.noise * g(rng);
      double read = std::min(T + c.tempNoise * g(rng), c.clip);
      if (c.step > 0) read = c.step * std::round(read / c.step);
      v.push_back({static_cast<float>(t), static_cast<float>(bias / 3600), static_cast<float>(read)});
    }
  }
  return v;
}

// A chamber cycle lo -> hi -> lo at `slope` deg C/min, sampled at `hz`.
std::vector<SamplePoint> ChamberCycle(const TTruth& k, double lo = -40, double hi = 60, double slope = 1.0,
                                      double hz = 10) {
  return Record(k, {{{slope, (hi - lo) / slope}, {-slope, (hi - lo) / slope}}, lo, 0, 0, 0, 0, 1e9, hz, 1});
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
  EXPECT_NEAR(r.CSe, k.noise / 10 / std::sqrt(1200.0), 0.25 * r.CSe);
  EXPECT_NEAR(r.TMin, -40, 0.01);
  EXPECT_NEAR(r.TMax, 60, 0.01);
  EXPECT_EQ(r.Spikes + r.OutOfRange, 0);
  // The bias at 25 deg C and dT/dt = 0.
  EXPECT_NEAR(r.BiasRef, k.b0 + k.b1 * 25 + k.b2 * 625, 3 * r.BiasRefSe);
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
  // Heating and cooling differ by c * (+1) - c * (-1) only: no hysteresis
  // apart from c can be read from a symmetric cycle.
  EXPECT_TRUE(std::isnan(r.Hysteresis));
  EXPECT_NE(r.HysteresisNote.find("not separable"), std::string::npos);
  // White noise: N = sigma * sqrt(tau0) in deg/sqrt(h) for both; the
  // compensated rate keeps its level at the mean temperature.
  const double n = k.noise * std::sqrt(0.1) / 60;
  EXPECT_NEAR(r.NCompensated, n, 0.1 * n);
  long double mean = 0;
  for (float x : compensated) mean += x * 3600.0L;
  mean /= compensated.size();
  EXPECT_NEAR(static_cast<double>(mean), k.b0 + k.b1 * r.TMean + k.b2 * r.TMean * r.TMean, 0.1);

  // Without a copy of the rates: the same figures, and the records' rates
  // become the compensated ones.
  auto inPlace = records;
  const TThermalResult same = ComputeThermalInPlace(inPlace, {});
  for (auto [a, b] : {std::pair{r.B[1], same.B[1]}, {r.C, same.C}, {r.BiasRefSe, same.BiasRefSe},
                      {r.NRaw, same.NRaw}, {r.BRaw, same.BRaw}, {r.NCompensated, same.NCompensated},
                      {r.BCompensated, same.BCompensated}})
    EXPECT_TRUE(a == b || (std::isnan(a) && std::isnan(b))) << a << " " << b;
  ASSERT_EQ(inPlace.size(), compensated.size());
  for (std::size_t i = 0; i < inPlace.size(); i += 997) {
    EXPECT_EQ(inPlace[i].Rate, compensated[i]);
    EXPECT_EQ(inPlace[i].Time, records[i].Time);
    EXPECT_EQ(inPlace[i].Temperature, records[i].Temperature);
  }
}

TEST(Thermal, SpikeThresholdIsEightRobustDeviationsOfTheDepartures) {
  // Noisy readings: each one's departure from the median of itself and its
  // three neighbours either side, all sorted for their median.
  TChamber ch;
  ch.legs = {{1, 30}};
  ch.tempNoise = 0.5;
  const auto records = Record(TTruth{}, ch);
  std::vector<float> departures;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::vector<float> w;
    for (std::size_t j = i >= 3 ? i - 3 : 0; j < std::min(records.size(), i + 4); ++j) w.push_back(records[j].Temperature);
    std::sort(w.begin(), w.end());
    departures.push_back(std::fabs(records[i].Temperature - w[w.size() / 2]));
  }
  std::sort(departures.begin(), departures.end());
  const TThermalResult r = ComputeThermal(records, {});
  EXPECT_DOUBLE_EQ(r.SpikeThreshold, 8 * 1.4826 * departures[departures.size() / 2]);
  EXPECT_GT(r.SpikeThreshold, 1.0);
}

TEST(Thermal, ExactFitSolvedByHand) {
  // Without the rate term, the straight line through (0,1), (1,1), (3,1.5)
  // (1 s blocks of one record each): slope 5/28, intercept 13/14 (normal
  // equations by hand).
  const std::vector<SamplePoint> records = {
      {0, 1.0f / 3600, 0}, {60, 1.0f / 3600, 1}, {120, 1.5f / 3600, 3}};
  const TThermalResult line = ComputeThermal(records, {1, 1.0, false});
  ASSERT_TRUE(line.Valid);
  EXPECT_NEAR(line.B[1], 5.0 / 28, 1e-6);
  EXPECT_NEAR(line.B[0], 13.0 / 14, 1e-6);
  EXPECT_TRUE(std::isnan(line.C));
}

// A real sensor's faults, each with the coefficient it used to ruin.
TEST(Thermal, BadReadingsAreLeftOutAndCounted) {
  const TTruth k{5, -0.08, 0.0025, 0.3, 1.0};
  struct Case {
    const char* what;
    std::vector<std::pair<std::size_t, float>> bad;  // record, reading
    std::int64_t outOfRange, spikes;
  } cases[] = {
      {"one 200 deg C reading", {{3000, 200.0f}}, 1, 0},
      {"ten 0 deg C dropouts", {{500, 0}, {1500, 0}, {2500, 0}, {4000, 0}, {5200, 0},
                                {7000, 0}, {8100, 0}, {9000, 0}, {10500, 0}, {11800, 0}}, 0, 10},
  };
  for (const Case& c : cases) {
    TChamber ch;
    ch.tempNoise = 0.02;
    auto records = Record(k, ch);
    for (const auto& [i, T] : c.bad) records[i].Temperature = T;
    const TThermalResult r = ComputeThermal(records, {});
    ASSERT_TRUE(r.Valid) << c.what << ": " << r.Message;
    EXPECT_EQ(r.OutOfRange, c.outOfRange) << c.what;
    EXPECT_EQ(r.Spikes, c.spikes) << c.what;
    EXPECT_NEAR(r.C, k.c, 3 * r.CSe) << c.what;
    EXPECT_NEAR(r.TMax, 60, 0.1) << c.what;
  }
}

TEST(Thermal, QuantizedTemperatureLeavesCUnbiased) {
  const TTruth k{5, -0.08, 0.0025, 0.3, 0.5};
  for (double step : {0.1, 0.2, 0.5}) {
    TChamber ch;
    ch.step = step;
    const TThermalResult r = ComputeThermal(Record(k, ch), {});
    ASSERT_TRUE(r.Valid) << step << ": " << r.Message;
    EXPECT_NEAR(r.C, k.c, std::max(3 * r.CSe, 0.03 * k.c)) << step;
    EXPECT_NEAR(r.B[1], k.b1, 3 * r.BSe[1]) << step;
  }
}

TEST(Thermal, StandardErrorsHoldUnderRateRandomWalk) {
  // Chamber cycles with a rate random walk: a day at 0.5 Hz, then two
  // cycles on which the walk the fit itself takes up was missed by the
  // residuals' Allan variance (c 3.8 and the bias at 25 deg C 12 of those
  // standard errors off).
  const struct { int cycles; double rrw, hz, noise; unsigned seed; } cases[] = {
      {7, 0.01, 0.5, 0.5, 11}, {2, 0.003, 1, 1, 2}, {2, 0.003, 1, 1, 32}};
  for (const auto& c : cases) {
    const TTruth k{5, -0.08, 0.0025, 0.3, c.noise};
    TChamber ch;
    ch.legs.clear();
    for (int i = 0; i < c.cycles; ++i) ch.legs.insert(ch.legs.end(), {{1, 100}, {-1, 100}});
    ch.rrw = c.rrw;
    ch.hz = c.hz;
    ch.seed = c.seed;
    const TThermalResult r = ComputeThermal(Record(k, ch), {});
    ASSERT_TRUE(r.Valid) << r.Message;
    EXPECT_GT(r.Noise.Walk, 0) << c.seed;
    const double truth[] = {k.b0, k.b1, k.b2};
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(r.B[j], truth[j], 3 * r.BSe[j]) << "b" << j << " seed " << c.seed;
    EXPECT_NEAR(r.C, k.c, 2 * r.CSe) << c.seed;
    EXPECT_NEAR(r.BiasRef, k.b0 + 25 * k.b1 + 625 * k.b2, 2 * r.BiasRefSe) << c.seed;
  }
}

TEST(Thermal, StandardErrorWidenedByStudentsFactor) {
  // P(|t| <= x) = 68.27 %: 2/pi atan(x) at one degree of freedom,
  // x / sqrt(2 + x^2) at two, the normal's 1 in the limit.
  for (const auto& [nu, x] : {std::pair{1.0, 1.8373}, {2.0, 1.3213}, {1e9, 1.0}})
    EXPECT_NEAR(StudentFactor(nu), x, 2e-4) << nu;
  EXPECT_TRUE(std::isnan(StudentFactor(0.9)));
  // A mean of four blocks of variance 4 (white 40 (deg/h)^2 s over 10 s
  // blocks): standard deviation 1, its noise known to two degrees of
  // freedom (var ln W = 2 / 2).
  TResidualNoise noise;
  noise.White = 40;
  noise.LogCov[0][0] = 1;
  const std::vector<double> ones(4, 1.0), times{0, 10, 20, 30};
  EXPECT_NEAR(CoefficientErrors(ones, 4, 1, times, {0.25}, noise, 10, {{1.0}})[0], 1.3213, 2e-4);
}

TEST(Thermal, ACancelledComputationIsDroppedAndTheNextRunsInFull) {
  TChamber ch;
  ch.legs = {{1, 100}, {-1, 100}, {1, 100}, {-1, 100}};
  ch.rrw = 0.003;
  const auto records = Record({5, -0.08, 0.0025, 0.3, 1}, ch);
  const TThermalResult full = ComputeThermal(records, {});
  ASSERT_TRUE(full.Valid && full.Noise.Evaluations > 0) << full.Message;
  // Cancelled from the start: no figure, and the noise fit stops before
  // its first likelihood evaluation.
  std::atomic<bool> cancel{true};
  const TThermalResult stopped = ComputeThermal(records, {}, nullptr, &cancel);
  EXPECT_TRUE(!stopped.Valid && stopped.Message == "cancelled" && std::isnan(stopped.CSe));
  std::vector<double> ones(2400, 1.0), e(2400), times(2400);
  for (std::size_t i = 0; i < e.size(); ++i) e[i] = std::sin(0.37 * i), times[i] = 10.0 * i;
  const TResidualNoise noise = FitResidualNoise(ones, e.size(), 1, e, times, 10, &cancel);
  EXPECT_TRUE(noise.Cancelled && noise.White == 0);
  EXPECT_EQ(noise.Evaluations, 0);
  // From another thread while it runs: the whole result or none, never one
  // in between; the next computation, with a fresh flag, is whole again.
  cancel = false;
  TThermalResult raced;
  std::thread worker([&] { raced = ComputeThermal(records, {}, nullptr, &cancel); });
  cancel = true;
  worker.join();
  EXPECT_TRUE(raced.Valid ? raced.CSe == full.CSe : raced.Message == "cancelled");
  std::atomic<bool> fresh{false};
  EXPECT_EQ(ComputeThermal(records, {}, nullptr, &fresh).CSe, full.CSe);
}

TEST(Thermal, SingleRampIsRefusedOnItsUsableSignal) {
  const TTruth k{5, -0.08, 0.0025, 0.3};
  for (const auto& [step, noise] : {std::pair{0.0, 0.0}, {0.0, 0.02}, {0.1, 0.0}}) {
    const auto records = Record(k, {{{1, 100}}, -40, step, noise});
    const TThermalResult r = ComputeThermal(records, {});
    EXPECT_FALSE(r.Valid) << step << " " << noise << ": c " << r.C;
    EXPECT_NE(r.Message.find("independently"), std::string::npos);
    EXPECT_TRUE(ComputeThermal(records, {2, 10, false}).Valid);
  }
}

TEST(Thermal, HysteresisOnlyWhereBothBranchesShareTemperatures) {
  const TTruth k{5, -0.08, 0.0025, 0.3, 0.5};
  // Heating at 1 and 0.5 deg C/min, cooling at 1 and 0.5: the branch offset
  // is told apart from c dT/dt.
  TChamber two;
  two.legs = {{1, 100}, {-1, 100}, {0.5, 200}, {-0.5, 200}};
  for (double h : {0.0, 0.6}) {
    two.h = h;
    const TThermalResult r = ComputeThermal(Record(k, two), {});
    ASSERT_TRUE(r.Valid) << r.Message;
    EXPECT_GT(r.HysteresisSe, 0) << h;
    EXPECT_NEAR(r.Hysteresis, h, 3 * r.HysteresisSe) << h;
    EXPECT_NEAR(r.C, k.c, 3 * r.CSe) << h;
  }
  // Heating only, and branches on different temperatures: none.
  for (const auto& legs : {std::vector<std::pair<double, double>>{{1, 50}, {0, 60}, {0.5, 100}},
                           std::vector<std::pair<double, double>>{{1, 40}, {0, 60}, {-0.5, 4}, {0, 60}}}) {
    const TThermalResult r = ComputeThermal(Record(k, {legs}), {2, 10, false});
    EXPECT_TRUE(std::isnan(r.Hysteresis) && std::isnan(r.HysteresisSe)) << r.Hysteresis;
    EXPECT_NE(r.HysteresisNote.find("branch"), std::string::npos) << r.HysteresisNote;
  }
}

TEST(Thermal, BranchesAtTheDeadBand) {  // on the band: steady
  const std::pair<double, TBranch> cases[] = {{0.0201, TBranch::Heating}, {0.02, TBranch::Steady},
                                              {-0.02, TBranch::Steady}, {-0.0201, TBranch::Cooling}};
  for (const auto& [rate, expected] : cases) EXPECT_EQ(BranchOf(rate), expected) << rate;
}

TEST(Thermal, ClippedSensorIsNamedAndLeftOut) {
  const TTruth k{5, -0.08, 0.0025, 0.3, 0.5};
  TChamber ch;
  ch.clip = 40;
  const TThermalResult r = ComputeThermal(Record(k, ch), {});
  ASSERT_EQ(r.Warnings.size(), 1u);
  EXPECT_NE(r.Warnings[0].find("exactly 40 \u00B0C, its maximum"), std::string::npos) << r.Warnings[0];
  ASSERT_TRUE(r.Valid) << r.Message;
  EXPECT_NEAR(r.B[2], k.b2, 3 * r.BSe[2]);
  // Clipped at both ends of a cycle that only touches them: nothing is left.
  ch.clip = -39;
  EXPECT_FALSE(ComputeThermal(Record(k, ch), {}).Valid);
}

TEST(Thermal, NoiseAfterAGapOrAStepBack) {
  const TTruth k;
  const double n = k.noise / 60;  // 1 Hz white: N = sigma sqrt(1 s), deg/sqrt(h)
  auto gap = Record(k, TChamber{});
  gap.erase(gap.begin() + 3000, gap.begin() + 5000);
  auto back = Record(k, TChamber{});
  for (std::size_t i = 6000; i < back.size(); ++i) back[i].Time -= 3000;
  for (const auto* records : {&gap, &back}) {
    const TThermalResult r = ComputeThermal(*records, {2, 10, false});
    EXPECT_NEAR(r.NRaw, n, 0.04 * n);
  }
}

TEST(Thermal, BiasAtTheReferenceAndOnEachSoak) {
  const TTruth k{5, -0.08, 0.0025, 0.3, 1.0};
  TChamber ch;
  ch.legs = {{0, 30}, {1, 60}, {0, 60}, {-1, 60}, {0, 40}, {1, 40}};
  const auto records = Record(k, ch);
  const TThermalResult r = ComputeThermal(records, {2, 10, true, -20});
  ASSERT_TRUE(r.Valid) << r.Message;
  EXPECT_NEAR(r.BiasRef, k.b0 - 20 * k.b1 + 400 * k.b2, 3 * r.BiasRefSe);
  const double soaks[] = {-40, 20, -40};
  ASSERT_EQ(r.Plateaus.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const TThermalPlateau& p = r.Plateaus[i];
    EXPECT_NEAR(p.Temperature, soaks[i], 0.5);
    const double truth = k.b0 + k.b1 * soaks[i] + k.b2 * soaks[i] * soaks[i];
    EXPECT_NEAR(p.Bias, truth, 4 * p.BiasSe) << i;
    EXPECT_GT(p.BiasSe, 0);
  }
  // Outside the fitted temperatures: no bias, and why.
  const TThermalResult far = ComputeThermal(records, {2, 10, true, 70});
  EXPECT_TRUE(std::isnan(far.BiasRef) && std::isnan(far.BiasRefSe));
  EXPECT_NE(far.BiasRefNote.find("outside"), std::string::npos);
}

TEST(Thermal, TooLittleTemperatureChangeGivesNoFit) {
  TTruth k;
  struct Case {
    double lo, hi, slope;
    TThermalOptions options;
  } cases[] = {
      {20, 20.9, 0.05, {}},           // under 1 deg C
      {20, 40, 1.0, {3, 600, true}},  // 4 blocks of 10 min for 5 coefficients
  };
  for (const Case& c : cases) {
    const TThermalResult r = ComputeThermal(ChamberCycle(k, c.lo, c.hi, c.slope, 1), c.options);
    EXPECT_FALSE(r.Valid) << c.lo << ".." << c.hi;
    EXPECT_FALSE(r.Message.empty());
    EXPECT_TRUE(std::isnan(r.B[0]) && std::isnan(r.B[1]) && std::isnan(r.ResidualRms));
  }
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
