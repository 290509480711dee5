#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "processing/Average.h"

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

double PopulationRms(const std::vector<double>& v, double about) {
  long double sq = 0;
  for (double x : v) sq += (x - about) * (x - about);
  return static_cast<double>(std::sqrt(sq / v.size()));
}

TEST(FastAverageWindow, FollowsModeAndSettings) {
  struct Case {
    std::uint8_t mode;
    int meanTime, sample;
    double freq;
    std::int32_t window;
  };
  const Case cases[] = {
      {ModeNormal, 50, 10, 100.0, 500},          // defaults, Normal mode
      {ModeTrigger, 50, 10, 100.0, 5000},        // defaults, Trigger mode
      {ModeTrigger, 50, 10, 99.9, 4995},         // truncated product
      {ModeOneCommand, 50, 125, 100.0, 6250},    // every mode but Trigger uses Sample
      {ModeTrigger, 500, 10, 4000.0, 1000000},   // 2,000,000: bounded by the ring
      {ModeTrigger, 50, 10, 1e300, 1000000},
      {ModeNormal, 100000, 100000, 0, 1000000},  // product beyond 32 bits
      {ModeTrigger, 1, 10, 0.5, 1},              // less than one sample
      {ModeTrigger, 50, 10, std::nan(""), 1},
      {ModeTrigger, -50, 10, 100.0, 1},
      {ModeNormal, 50, 0, 100.0, 1},
      {ModeNormal, -50, 10, 100.0, 1},
  };
  for (const Case& c : cases) {
    auto e = MakeEngine(c.mode, c.meanTime, c.sample, c.freq);
    EXPECT_EQ(e->Window, 0);
    e->AddSample(0.0f, 1.0f, 20.0f);
    EXPECT_EQ(e->Window, c.window) << int(c.mode) << " " << c.meanTime << " " << c.sample << " "
                                   << c.freq;
    EXPECT_DOUBLE_EQ(e->Average, 1.0);
  }
}

TEST(FastAverageFilling, IsThePlainMeanOfAllSamples) {
  auto e = MakeEngine();
  const float rates[] = {1.0f, 2.0f, 3.0f, 6.0f};
  std::vector<double> seen;
  for (int i = 0; i < 4; ++i) {
    e->AddSample(0.1f * i, rates[i], 25.0f + i);
    seen.push_back(rates[i]);
    double mean = 0;
    for (double x : seen) mean += x;
    mean /= seen.size();
    EXPECT_DOUBLE_EQ(e->Average, mean);
    e->UpdateRms();
    EXPECT_DOUBLE_EQ(e->Rms, PopulationRms(seen, mean));  // divides by k, not k-1
  }
  EXPECT_EQ(e->WriteIndex, 4);
  EXPECT_FALSE(e->Full);
  EXPECT_TRUE(e->HaveFirst);
  EXPECT_EQ(e->FirstTime, 0.0f);
  EXPECT_EQ(e->LastPoint.Rate, 6.0f);
  EXPECT_EQ(e->LastPoint.Temperature, 28.0f);
  EXPECT_EQ(e->Ring[2].Rate, 3.0f);
  EXPECT_DOUBLE_EQ(e->Rms, std::sqrt(3.5));  // {1,2,3,6} about 3
}

TEST(FastAverageSliding, LapBoundaryAndThe501stSample) {
  auto e = MakeEngine();  // Normal, MeanTime 50, Sample 10: 500 samples
  for (int i = 1; i <= 499; ++i) e->AddSample(0.1f * i, static_cast<float>(i), 20.0f);
  EXPECT_FALSE(e->Full);
  e->AddSample(50.0f, 500.0f, 20.0f);
  EXPECT_TRUE(e->Full);
  EXPECT_EQ(e->WriteIndex, 0);
  EXPECT_DOUBLE_EQ(e->Average, 250.5);
  EXPECT_EQ(static_cast<double>(e->PrevSum), 125250.0);
  EXPECT_EQ(static_cast<double>(e->Sum), 0.0);

  e->AddSample(50.1f, 501.0f, 20.0f);  // sample 1 leaves the window
  EXPECT_DOUBLE_EQ(e->Average, 251.5);  // mean of 2..501
  EXPECT_EQ(e->WriteIndex, 1);
  EXPECT_EQ(e->Ring[0].Rate, 501.0f);

  e->UpdateRms();
  std::vector<double> window;
  for (int i = 2; i <= 501; ++i) window.push_back(i);
  EXPECT_NEAR(e->Rms, PopulationRms(window, 251.5), 1e-12);
}

TEST(FastAverageSliding, ConstantRateHasNoScatter) {
  auto e = MakeEngine();
  for (int i = 0; i < 1700; ++i) {  // several laps, time well past MeanTime
    e->AddSample(0.1f * i, 2.5f, 30.0f);
    if (i % 97 == 0) {
      e->UpdateRms();
      EXPECT_EQ(e->Rms, 0.0);
      EXPECT_EQ(e->MinRms, 0.0);
    }
  }
  EXPECT_EQ(e->Average, 2.5);
  e->UpdateRms();
  EXPECT_EQ(e->Rms, 0.0);
  EXPECT_EQ(e->MinRms, 0.0);
}

TEST(FastAverageMinRms, FollowsRmsUntilMeanTimeThenOnlyFalls) {
  // Window of 5 samples, one per second, MeanTime 5 s.
  auto e = MakeEngine(ModeNormal, 5, 1);
  e->UpdateRms();  // nothing yet: Rms 0, MinRms untouched
  EXPECT_EQ(e->Rms, 0.0);
  EXPECT_EQ(e->MinRms, 0.0);

  e->AddSample(0.0f, 0.0f, 0.0f);
  e->AddSample(1.0f, 0.0f, 0.0f);
  e->UpdateRms();
  EXPECT_EQ(e->MinRms, 0.0);
  e->AddSample(2.0f, 9.0f, 0.0f);  // {0,0,9}: scatter grows
  e->UpdateRms();
  EXPECT_GT(e->Rms, 0.0);
  EXPECT_EQ(e->MinRms, e->Rms);  // follows upward
  e->AddSample(5.0f, 9.0f, 0.0f);  // elapsed exactly MeanTime: still follows
  e->UpdateRms();
  const double atMeanTime = e->Rms;
  EXPECT_EQ(e->MinRms, atMeanTime);

  e->AddSample(6.0f, 40.0f, 0.0f);  // past MeanTime, scatter grows: kept
  e->UpdateRms();
  EXPECT_GT(e->Rms, atMeanTime);
  EXPECT_EQ(e->MinRms, atMeanTime);
  for (int i = 7; i < 20; ++i) e->AddSample(static_cast<float>(i), 1.0f, 0.0f);
  e->UpdateRms();  // window all 1.0: falls to 0
  EXPECT_EQ(e->Rms, 0.0);
  EXPECT_EQ(e->MinRms, 0.0);

  e->AddSample(20.0f, std::nanf(""), 0.0f);
  e->UpdateRms();
  EXPECT_TRUE(std::isnan(e->Rms));
  EXPECT_EQ(e->MinRms, 0.0);  // a NaN never replaces it
}

TEST(FastAverageSliding, ManyLapsOfNoiseStayOnTheExactWindowMean) {
  auto e = MakeEngine(ModeNormal, 50, 10);  // 500 samples
  const int window = 500;
  std::mt19937 gen(12345);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::deque<float> last;
  double worst = 0;
  const int total = window * 1050;
  for (int i = 0; i < total; ++i) {
    // A rate around 0.01 deg/s with a slow wander and noise.
    const float rate = 0.01f + 0.002f * std::sin(i * 1e-4f) + noise(gen);
    e->AddSample(0.1f * (i % 100000), rate, 25.0f);
    last.push_back(rate);
    if (static_cast<int>(last.size()) > window) last.pop_front();
    if (i % 1009 == 0 || i == total - 1) {
      long double exact = 0;
      for (float r : last) exact += r;
      exact /= last.size();
      const double rel = std::fabs(e->Average - static_cast<double>(exact)) /
                         std::fabs(static_cast<double>(exact));
      worst = std::max(worst, rel);
    }
  }
  EXPECT_LT(worst, 1e-9);

  // And the RMS is the population scatter about the running average.
  e->UpdateRms();
  long double sq = 0;
  for (float r : last) sq += (r - static_cast<long double>(e->Average)) * (r - e->Average);
  EXPECT_NEAR(e->Rms, static_cast<double>(std::sqrt(sq / window)), 1e-15);
}

TEST(FastAverageSliding, EachLapDiscardsTheResidueOfTheOldOne) {
  // A spike far beyond the precision of the sums swallows the small rates
  // around it; once a whole clean lap has been summed, the average is exact
  // again.
  auto e = MakeEngine(ModeNormal, 10, 10);  // 100 samples
  int i = 0;
  for (; i < 150; ++i) e->AddSample(0.1f * i, 0.001f * (i % 7), 0.0f);
  e->AddSample(0.1f * i++, 1e30f, 0.0f);
  for (; i < 400; ++i) e->AddSample(0.1f * i, 0.001f * (i % 7), 0.0f);
  long double exact = 0;
  for (int k = 300; k < 400; ++k) exact += 0.001f * (k % 7);
  EXPECT_DOUBLE_EQ(e->Average, static_cast<double>(exact / 100));
}

TEST(FastAverageReset, ClearsStateButKeepsSettings) {
  auto e = MakeEngine(ModeTrigger, 20, 10, 50.0);
  for (int i = 0; i < 1500; ++i) e->AddSample(0.02f * i, 0.001f * i, 30.0f);
  e->UpdateRms();
  ASSERT_TRUE(e->Full);
  e->Reset();
  EXPECT_EQ(e->Window, 0);
  EXPECT_FALSE(e->Full);
  EXPECT_FALSE(e->HaveFirst);
  EXPECT_EQ(e->WriteIndex, 0);
  EXPECT_EQ(e->Average + e->Rms + e->MinRms, 0.0);
  EXPECT_EQ(static_cast<double>(e->Sum + e->PrevSum + e->SumSq), 0.0);
  EXPECT_EQ(e->Ring[999].Temperature, 0.0f);
  EXPECT_EQ(e->Mode, ModeTrigger);
  EXPECT_EQ(e->MeanTime, 20);
  EXPECT_EQ(e->FreqImpulse, 50.0);
  e->AddSample(7.0f, 3.0f, 1.0f);
  EXPECT_EQ(e->Window, 1000);
  EXPECT_EQ(e->FirstTime, 7.0f);
  EXPECT_EQ(e->Average, 3.0);
}

TEST(FastAverageSliding, LargestWindowWrapsInsideTheRing) {
  auto e = MakeEngine(ModeTrigger, 500, 10, 1e9);
  for (int i = 0; i < TFastAverageRms::RingSize + 3; ++i) e->AddSample(i * 1e-3f, 1.0f, 0.0f);
  EXPECT_EQ(e->Window, TFastAverageRms::RingSize);
  EXPECT_TRUE(e->Full);
  EXPECT_EQ(e->WriteIndex, 3);
  EXPECT_EQ(e->Average, 1.0);
  e->UpdateRms();
  EXPECT_EQ(e->Rms, 0.0);
}

}  // namespace
