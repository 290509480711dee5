// The running average and RMS of a measurement, the statistics of a zoomed
// span, and the basic parameters of a span (hand-computed small cases, and a
// long recording whose segments have known means and scatters by design).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <tuple>
#include <vector>

#include "processing/Average.h"
#include "processing/Averrmsstatic.h"
#include "processing/Generalquantities.h"

namespace {

// A fresh engine with the default settings and the given overrides.
std::unique_ptr<TFastAverageRms> MakeEngine(std::uint8_t mode = ModeNormal, int meanTime = 50,
                                            int sample = 10, double freqImpulse = 100.0) {
  auto e = std::make_unique<TFastAverageRms>();
  TOptionProgramm s;
  s.Mode = mode;
  s.MeanTime = meanTime;
  s.Sample = sample;
  s.FreqImpulse = freqImpulse;
  e->Assign(s);
  e->Reset();
  return e;
}

TEST(FastAverageWindow, FollowsModeAndSettings) {
  struct {
    std::uint8_t mode;
    int meanTime, sample;
    double freq;
    std::int32_t window;
  } const cases[] = {
      // The defaults in both modes, a truncated product; every mode but
      // Trigger uses Sample.
      {ModeNormal, 50, 10, 100.0, 500},       {ModeTrigger, 50, 10, 100.0, 5000},
      {ModeTrigger, 50, 10, 99.9, 4995},      {ModeOneCommand, 50, 125, 100.0, 6250},
      // Bounded by the ring (also beyond 32 bits), at least one sample.
      {ModeTrigger, 500, 10, 4000.0, 1000000}, {ModeTrigger, 50, 10, 1e300, 1000000},
      {ModeNormal, 100000, 100000, 0, 1000000}, {ModeTrigger, 1, 10, 0.5, 1},
      {ModeTrigger, 50, 10, std::nan(""), 1},  {ModeTrigger, -50, 10, 100.0, 1},
      {ModeNormal, 50, 0, 100.0, 1},           {ModeNormal, -50, 10, 100.0, 1},
  };
  for (const auto& c : cases) {
    auto e = MakeEngine(c.mode, c.meanTime, c.sample, c.freq);
    EXPECT_EQ(e->Window, 0);
    e->AddSample(0.0f, 1.0f, 20.0f);
    EXPECT_EQ(e->Window, c.window) << int(c.mode) << " " << c.meanTime << " " << c.freq;
    EXPECT_DOUBLE_EQ(e->Average, 1.0);
  }
  // The largest window wraps inside the ring.
  auto e = MakeEngine(ModeTrigger, 500, 10, 1e9);
  for (int i = 0; i < TFastAverageRms::RingSize + 3; ++i) e->AddSample(i * 1e-3f, 1.0f, 0.0f);
  EXPECT_TRUE(e->Full && e->WriteIndex == 3 && e->Average == 1.0);
}

TEST(FastAverageSliding, FillingMeanLapBoundaryAndThe501stSample) {
  auto e = MakeEngine();  // Normal, MeanTime 50, Sample 10: 500 samples
  e->UpdateRms();  // nothing yet
  EXPECT_EQ(e->Rms, 0.0);
  // While filling: the plain mean of 1..k, and the population deviation
  // (divided by k) of consecutive integers, sqrt((k^2 - 1) / 12).
  for (int k = 1; k <= 499; ++k) {
    e->AddSample(0.1f * k, static_cast<float>(k), 20.0f);
    if (k > 4) continue;
    EXPECT_DOUBLE_EQ(e->Average, (k + 1) / 2.0);
    e->UpdateRms();
    EXPECT_DOUBLE_EQ(e->Rms, std::sqrt((k * k - 1) / 12.0));
  }
  EXPECT_FALSE(e->Full);
  e->AddSample(50.0f, 500.0f, 20.0f);
  EXPECT_TRUE(e->Full && e->WriteIndex == 0);
  EXPECT_DOUBLE_EQ(e->Average, 250.5);
  e->AddSample(50.1f, 501.0f, 20.0f);   // sample 1 leaves the window
  EXPECT_DOUBLE_EQ(e->Average, 251.5);  // mean of 2..501
  EXPECT_EQ(e->Ring[0].Rate, 501.0f);
  e->UpdateRms();
  EXPECT_NEAR(e->Rms, std::sqrt((500.0 * 500 - 1) / 12), 1e-12);
}

TEST(FastAverageSliding, EachLapDiscardsTheResidueOfTheOldOne) {
  // A spike far beyond the precision of the sums swallows the small rates
  // around it; once a whole clean lap has been summed, the average is exact.
  auto e = MakeEngine(ModeNormal, 10, 10);  // 100 samples
  int i = 0;
  for (; i < 150; ++i) e->AddSample(0.1f * i, 0.001f * (i % 7), 0.0f);
  e->AddSample(0.1f * i++, 1e30f, 0.0f);
  for (; i < 400; ++i) e->AddSample(0.1f * i, 0.001f * (i % 7), 0.0f);
  long double exact = 0;
  for (int k = 300; k < 400; ++k) exact += 0.001f * (k % 7);
  EXPECT_DOUBLE_EQ(e->Average, static_cast<double>(exact / 100));
}

TEST(FastAverageMinRms, FollowsRmsUntilMeanTimeThenOnlyFalls) {
  auto e = MakeEngine(ModeNormal, 5, 1);  // 5 samples, one per second, MeanTime 5 s
  const double nan = std::nan("");
  // Time, rate; the RMS and the minimum RMS after it.
  const std::tuple<float, float, double, double> steps[] = {
      {0, 0, 0, 0}, {1, 0, 0, 0},
      {2, 9, std::sqrt(18.0), std::sqrt(18.0)},  // scatter grows: followed
      {5, 9, 4.5, 4.5},                          // elapsed exactly MeanTime: still followed
      {6, 40, std::sqrt(217.84), 4.5},           // past MeanTime: only falls
      {7, 2.5, std::sqrt(207.24), 4.5},          {8, 2.5, std::sqrt(196.14), 4.5},
      {9, 2.5, std::sqrt(212.26), 4.5},          {10, 2.5, 15, 4.5},
      {11, 2.5, 0, 0},                           // a constant rate: exactly no scatter
      {12, std::nanf(""), nan, 0},               // a NaN never replaces it
  };
  for (const auto& [time, rate, rms, minRms] : steps) {
    e->AddSample(time, rate, 0.0f);
    e->UpdateRms();
    EXPECT_TRUE(std::isnan(rms) ? std::isnan(e->Rms) : std::fabs(e->Rms - rms) < 1e-12) << time;
    EXPECT_EQ(e->MinRms, minRms) << time;
  }
}

TEST(FastAverageReset, ClearsStateButKeepsSettings) {
  auto e = MakeEngine(ModeTrigger, 20, 10, 50.0);  // 1000 samples
  for (int i = 0; i < 1500; ++i) e->AddSample(0.02f * i, 0.001f * i, 30.0f);
  e->UpdateRms();
  e->Reset();
  EXPECT_FALSE(e->Full || e->HaveFirst || e->Window || e->WriteIndex || e->Ring[999].Temperature);
  EXPECT_EQ(e->Average + e->Rms + e->MinRms + static_cast<double>(e->Sum + e->PrevSum + e->SumSq), 0.0);
  e->AddSample(7.0f, 3.0f, 1.0f);
  EXPECT_TRUE(e->Window == 1000 && e->FirstTime == 7.0f && e->Average == 3.0);
}

TEST(AverRmsStaticSpan, InclusiveBoundsPopulationFormulasAndTooFewPoints) {
  // Points offered; Compute's answer, mean, RMS and mean temperature.
  const std::tuple<std::vector<SamplePoint>, bool, double, double, double> cases[] = {
      // 9.99 before the span and 12.01 after it are dropped; the point after
      // 12.01 is ignored once the span is past.
      {{{9.99f, 100, 0}, {10, 1, 20}, {11, 2, 21}, {12, 4, 23}, {12.01f, 100, 0}, {11.5f, 100, 0}},
       true, 7.0 / 3, std::sqrt(14.0) / 3, 64.0 / 3},
      // NIST StRD NumAcc1: a large mean over a scatter of 1 (sample) lost by
      // a plain sum of squares; the population deviation is sqrt(2/3).
      {{{10, 10000001, 0}, {11, 10000003, 0}, {12, 10000002, 0}}, true, 10000002, std::sqrt(2.0 / 3), 0},
      {{{10.5f, 3, 25}, {11, 5, 25}, {13, 5, 25}}, false, 0, 0, 0},  // two points: zeros
      {{}, false, 0, 0, 0},
  };
  TAverRmsStatic s;
  s.Begin = 10.0;
  s.End = 12.0;
  for (const auto& [points, ok, mean, rms, temp] : cases) {
    // Results of an earlier span must not survive a failed one.
    for (float t : {10.1f, 10.2f, 10.3f}) s.AddPoint(t, 5.0f + t, 30.0f);
    ASSERT_TRUE(s.Compute());
    for (const SamplePoint& p : points) s.AddPoint(p.Time, p.Rate, p.Temperature);
    EXPECT_EQ(s.Compute(), ok);
    EXPECT_DOUBLE_EQ(s.Mean, mean);
    EXPECT_DOUBLE_EQ(s.Rms, rms);
    EXPECT_DOUBLE_EQ(s.TempMean, temp);
    EXPECT_TRUE(s.Points.empty() && !s.Past);
  }
}

struct TRecord {
  double time, rate;  // s, deg/h
  float temperature = 20;
};

// A calculation over [begin, end] of the given records, rates in deg/h
// (offered in deg/s, as read from a recording).
void Calculate(TGeneralQuant& q, double begin, double end, const std::vector<TRecord>& records,
               float driftTime = 100, float walkTime = 10, int passband = 50) {
  TOptionProgramm s;
  s.DriftTime = driftTime;
  s.RandomWalkTime = walkTime;
  s.Passband = passband;
  s.EarthRate = 11.78;
  q.SetSettings(s);
  q.Begin = begin;
  q.End = end;
  for (const TRecord& r : records) {
    q.AddPoint(static_cast<float>(r.time), static_cast<float>(r.rate / 3600.0), r.temperature);
    if (q.Past) break;
  }
  q.ComputeMean();
  q.ComputeDrift();
  q.ComputeRandomWalk();
}

// Records every `step` seconds over [from, to] with rate(t) in deg/h.
template <typename F>
std::vector<TRecord> Every(double step, double from, double to, F rate) {
  std::vector<TRecord> v;
  for (long i = 0; from + i * step <= to + 1e-9; ++i) v.push_back({from + i * step, rate(from + i * step)});
  return v;
}

TEST(GeneralQuantMean, BiasRemovesEarthRateWithTheSignOfTheMean) {
  struct {
    std::vector<TRecord> records;
    double mean, bias;
  } const cases[] = {
      {{{0, -5}, {1, -5}, {2, -5}}, -5, 6.78},
      {{{0, 10}, {1, 20}}, 15, 3.22},
      // Both ends of the span count; records with a NaN do not.
      {{{-0.5, 99}, {0, 10}, {3, NAN}, {NAN, 99}, {5, 99, NAN}, {10, 20}, {10.5, 99}}, 15, 3.22},
      {{{0, 1}, {1, -1}}, 0, 0},    // zero mean: the bias is the mean itself
      {{{0, -0.0}}, 0, 0},
      {{{50, 3}}, 0, 0},            // no record in the span
  };
  for (const auto& c : cases) {
    TGeneralQuant q;
    Calculate(q, 0, 10, c.records);
    EXPECT_NEAR(q.MeanRate, c.mean, 1e-5);
    EXPECT_NEAR(q.BiasError, c.bias, 1e-5) << c.mean;
    EXPECT_FALSE(q.DriftValid || q.WalkValid);
  }
}

TEST(GeneralQuantSegments, DriftAndRandomWalkOfHandComputedCases) {
  const double none = std::nan("");  // no such figure: the span is too short
  auto steps = [](double t) { return t < 100 ? 2.0 : t < 200 ? 6.0 : t < 300 ? 1.0 : 40.0; };
  auto pairs = [](double t) { return t == 10 ? 0.0 : t > 10 ? 40.0 : t == 3 ? 4.0 : t == 3.5 ? 10.0 : 5.0; };
  auto seven = [](double end) { return Every(0.1, 0, end, [](double) { return 7.0; }); };
  const double stepsMean = 2940.0 / 351;
  struct {
    const char* name;
    double begin, end;
    float driftTime, walkTime;
    std::vector<TRecord> records;
    double drift, walk;
    int passband = 4;
  } const cases[] = {
      // The span must be longer than 3 drift times and 10 random-walk times
      // (3 x 100.7, not 3 x 100), both of at least a whole second, and the
      // random walk needs a bandwidth. A constant rate has no scatter.
      {"300 s", 0, 300, 100, 10, seven(300), none, 0},
      {"300.5 s", 0, 300.5, 100, 10, seven(300.5), 0, 0},
      {"100 s", 0, 100, 100, 10, seven(100), none, none},
      {"100.001 s", 0, 100.001, 100, 10, seven(100.001), none, 0},
      {"302 s", 0, 302, 100.7f, 10, seven(302), none, 0},
      {"302.2 s", 0, 302.2, 100.7f, 10, seven(302.2), 0, 0},
      {"no whole second", 0, 100, 0.9f, 0.5f, seven(100), none, none},
      {"no bandwidth", 0, 100, 10, 1, seven(100), 0, none, 0},
      // Segments {0,1} {2,3} {4,5}: means 2, 6, 2 about 29/8; {6,7} unfinished.
      {"drift", 0, 7, 2, 10, {{0, 1}, {1, 3}, {2, 5}, {3, 7}, {4, 2}, {5, 2}, {6, 9}, {7, 0}},
       std::sqrt((2 * 1.625 * 1.625 + 2.375 * 2.375) / 3), none},
      // After the gap each record closes a segment: means 3, 10, 6, 8 about 5.
      {"gap", 0, 10, 2, 10, {{0, 2}, {1, 4}, {7, 10}, {8, 6}, {9, 8}, {10, 0}}, std::sqrt(39.0 / 4), none},
      // From Begin: 2.5 (closed empty, not counted), 4.5, 6.5; means 2, 6 about 8/3.
      {"late start", 0.5, 10.5, 2, 10, {{3, 1}, {4, 3}, {5, 5}, {6, 7}, {7, 0}, {8, 0}}, std::sqrt(52.0) / 3,
       none},
      // 100.7 s: boundaries at 100, 200, 300 s; rates 2, 6, 1, then 40 (unfinished).
      {"truncated time", 0, 350, 100.7f, 100, Every(1, 0, 350, steps),
       std::sqrt((std::pow(2 - stepsMean, 2) + std::pow(6 - stepsMean, 2) + std::pow(1 - stepsMean, 2)) / 3),
       none},
      // Pairs per 1 s segment: (5, 5), but (4, 10) in [3, 4) and (0, 40) in
      // the unfinished [10, 11): the largest scatter 3 over sqrt(4 Hz) x 60.
      {"walk", 0, 10.6, 100, 1, Every(0.5, 0, 10.5, pairs), none, 3.0 / 120},
  };
  for (const auto& c : cases) {
    TGeneralQuant q;
    Calculate(q, c.begin, c.end, c.records, c.driftTime, c.walkTime, c.passband);
    ASSERT_EQ(q.DriftValid, !std::isnan(c.drift)) << c.name;
    ASSERT_EQ(q.WalkValid, !std::isnan(c.walk)) << c.name;
    // A figure not computed stays as a fresh calculator has it: 0.
    EXPECT_NEAR(q.DriftError, q.DriftValid ? c.drift : 0, 1e-5) << c.name;
    EXPECT_NEAR(q.RandomWalk, q.WalkValid ? c.walk : 0, 1e-9) << c.name;
  }
}

TEST(GeneralQuantLongRecording, SegmentsByConstruction) {
  // 128 Hz for 2048 s: j deg/h in the j-th 100 s segment, plus and minus
  // a_k alternately in the k-th 10 s segment, a_k = 0.5 except 3 in
  // [510, 520) and 50 in the unfinished [2040, 2048).
  const std::size_t n = 4 * 65536 - 2;
  std::vector<TRecord> records(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = i / 128.0;
    const int k = static_cast<int>(t / 10);
    const double a = k == 51 ? 3 : k == 204 ? 50 : 0.5;
    records[i] = {t, std::floor(t / 100) + (i % 2 ? a : -a)};
  }
  TGeneralQuant q;
  Calculate(q, 0, 2048, records);
  ASSERT_EQ(q.Records(), static_cast<std::int64_t>(n));
  EXPECT_EQ(q.EarliestTime(), 0.0f);
  EXPECT_EQ(q.LatestTime(), static_cast<float>((n - 1) / 128.0));
  // No record is kept: a random-walk segment's rates and the drift
  // segments' means.
  EXPECT_LT(q.MemoryBytes(), n / 16);
  const double mean = (12800.0 * 190 + (n - 256000.0) * 20) / n;
  EXPECT_NEAR(q.MeanRate, mean, 1e-5);
  double squares = 0;  // closed drift segments 0 .. 19
  for (int j = 0; j < 20; ++j) squares += (j - mean) * (j - mean);
  ASSERT_TRUE(q.DriftValid && q.WalkValid);
  EXPECT_NEAR(q.DriftError, std::sqrt(squares / 20), 1e-5);
  EXPECT_NEAR(q.RandomWalk, 3 / (std::sqrt(50.0) * 60), 1e-7);
  // Clear forgets the records, the results stay readable; new settings
  // start empty.
  q.Clear();
  EXPECT_FALSE(q.MemoryBytes() || q.Records() || q.Past || q.DriftValid || q.WalkValid);
  EXPECT_NEAR(q.MeanRate, mean, 1e-5);
  q.AddPoint(1, 1, 1);
  q.SetSettings(TOptionProgramm());
  EXPECT_TRUE(q.Empty());
}

}  // namespace
