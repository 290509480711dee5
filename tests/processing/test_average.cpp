// The running average and RMS of a measurement (window, filling, sliding,
// minimum RMS, lap re-basing) and the statistics of a zoomed span.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "processing/Average.h"
#include "processing/Averrmsstatic.h"

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
  const struct {
    float time, rate;
    double rms, minRms;
  } steps[] = {
      {0, 0, 0, 0}, {1, 0, 0, 0},
      {2, 9, std::sqrt(18.0), std::sqrt(18.0)},  // scatter grows: followed
      {5, 9, 4.5, 4.5},                          // elapsed exactly MeanTime: still followed
      {6, 40, std::sqrt(217.84), 4.5},           // past MeanTime: only falls
      {7, 2.5, std::sqrt(207.24), 4.5},          {8, 2.5, std::sqrt(196.14), 4.5},
      {9, 2.5, std::sqrt(212.26), 4.5},          {10, 2.5, 15, 4.5},
      {11, 2.5, 0, 0},                           // a constant rate: exactly no scatter
      {12, std::nanf(""), nan, 0},               // a NaN never replaces it
  };
  for (const auto& s : steps) {
    e->AddSample(s.time, s.rate, 0.0f);
    e->UpdateRms();
    EXPECT_TRUE(std::isnan(s.rms) ? std::isnan(e->Rms) : std::fabs(e->Rms - s.rms) < 1e-12) << s.time;
    EXPECT_EQ(e->MinRms, s.minRms) << s.time;
  }
}

TEST(FastAverageReset, ClearsStateButKeepsSettings) {
  auto e = MakeEngine(ModeTrigger, 20, 10, 50.0);  // 1000 samples
  for (int i = 0; i < 1500; ++i) e->AddSample(0.02f * i, 0.001f * i, 30.0f);
  e->UpdateRms();
  e->Reset();
  EXPECT_FALSE(e->Full || e->HaveFirst || e->Window || e->WriteIndex || e->Ring[999].Temperature);
  EXPECT_EQ(e->Average + e->Rms + e->MinRms, 0.0);
  EXPECT_EQ(static_cast<double>(e->Sum + e->PrevSum + e->SumSq), 0.0);
  e->AddSample(7.0f, 3.0f, 1.0f);
  EXPECT_TRUE(e->Window == 1000 && e->FirstTime == 7.0f && e->Average == 3.0);
}

TEST(AverRmsStaticSpan, InclusiveBoundsPopulationFormulasAndTooFewPoints) {
  struct {
    std::vector<SamplePoint> points;
    bool ok;
    double mean, rms, temp;
  } const cases[] = {
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
  for (const auto& c : cases) {
    // Results of an earlier span must not survive a failed one.
    for (float t : {10.1f, 10.2f, 10.3f}) s.AddPoint(t, 5.0f + t, 30.0f);
    ASSERT_TRUE(s.Compute());
    for (const SamplePoint& p : c.points) s.AddPoint(p.Time, p.Rate, p.Temperature);
    EXPECT_EQ(s.Compute(), c.ok);
    EXPECT_DOUBLE_EQ(s.Mean, c.mean);
    EXPECT_DOUBLE_EQ(s.Rms, c.rms);
    EXPECT_DOUBLE_EQ(s.TempMean, c.temp);
    EXPECT_TRUE(s.Points.empty() && !s.Past);
  }
}

}  // namespace
