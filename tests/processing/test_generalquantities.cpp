// The basic parameters of a span: average and bias error, drift error and
// random walk, against hand-computed small cases and a long recording whose
// segments have known means and scatters by construction.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "processing/Generalquantities.h"

namespace {

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

TEST(GeneralQuantValidity, SpanMustExceedThreeDriftAndTenWalkTimes) {
  auto noisy = [](double t) { return 10.0 + std::sin(t * 0.7) + 0.3 * std::cos(t * 13.1); };
  struct {
    double end;
    float driftTime, walkTime;
    int passband;
    bool drift, walk;
  } const cases[] = {
      {300.0, 100, 10, 50, false, true},    {300.5, 100, 10, 50, true, true},
      {100.0, 100, 10, 50, false, false},   {100.001, 100, 10, 50, false, true},
      {302.0, 100.7f, 10, 50, false, true}, {302.2, 100.7f, 10, 50, true, true},  // 3 x 100.7
      {100, 0.9f, 0.5f, 50, false, false},  {100, 10, 1, 0, true, false},  // no whole second, no bandwidth
  };
  for (const auto& c : cases) {
    TGeneralQuant q;
    Calculate(q, 0, c.end, Every(0.1, 0, c.end, noisy), c.driftTime, c.walkTime, c.passband);
    EXPECT_EQ(q.DriftValid, c.drift) << c.end << " " << c.driftTime;
    EXPECT_EQ(q.WalkValid, c.walk) << c.end << " " << c.walkTime;
    EXPECT_TRUE(!c.drift || q.DriftError > 0);
    EXPECT_TRUE(!c.walk || q.RandomWalk > 0);
  }
}

TEST(GeneralQuantSegments, DriftAndRandomWalkOfHandComputedCases) {
  const double none = std::nan("");  // no such figure: the span is too short
  auto steps = [](double t) { return t < 100 ? 2.0 : t < 200 ? 6.0 : t < 300 ? 1.0 : 40.0; };
  auto pairs = [](double t) { return t == 10 ? 0.0 : t > 10 ? 40.0 : t == 3 ? 4.0 : t == 3.5 ? 10.0 : 5.0; };
  const double stepsMean = 2940.0 / 351;
  struct {
    const char* name;
    double begin, end;
    float driftTime, walkTime;
    std::vector<TRecord> records;
    double drift, walk;
  } const cases[] = {
      // Segments {0,1} {2,3} {4,5} with means 2, 6, 2 about 29/8; {6,7} is
      // unfinished.
      {"drift", 0, 7, 2, 10, {{0, 1}, {1, 3}, {2, 5}, {3, 7}, {4, 2}, {5, 2}, {6, 9}, {7, 0}},
       std::sqrt((2 * 1.625 * 1.625 + 2.375 * 2.375) / 3), none},
      // After the gap every record closes a segment of its own: means 3,
      // 10, 6, 8 about 5.
      {"gap", 0, 10, 2, 10, {{0, 2}, {1, 4}, {7, 10}, {8, 6}, {9, 8}, {10, 0}}, std::sqrt(39.0 / 4), none},
      // Boundaries from Begin: 2.5 (closed empty by the late first record,
      // not counted), 4.5, 6.5; means 2 and 6 about 8/3.
      {"late start", 0.5, 10.5, 2, 10, {{3, 1}, {4, 3}, {5, 5}, {6, 7}, {7, 0}, {8, 0}}, std::sqrt(52.0) / 3,
       none},
      // 100.7 s keeps whole-second boundaries at 100, 200, 300: segment
      // rates 2, 6, 1, then 40 from 300 s on (unfinished).
      {"truncated time", 0, 350, 100.7f, 100, Every(1, 0, 350, steps),
       std::sqrt((std::pow(2 - stepsMean, 2) + std::pow(6 - stepsMean, 2) + std::pow(1 - stepsMean, 2)) / 3),
       none},
      // Pairs of records per 1 s segment: (5, 5) except (4, 10) in [3, 4)
      // and (0, 40) in the unfinished [10, 11): the largest scatter is 3,
      // over sqrt(4 Hz) x 60.
      {"walk", 0, 10.6, 100, 1, Every(0.5, 0, 10.5, pairs), none, 3.0 / 120},
      {"constant", 0, 1000, 100, 10, Every(0.008, 0, 1000, [](double) { return 7.0; }), 0, 0},
  };
  for (const auto& c : cases) {
    TGeneralQuant q;
    Calculate(q, c.begin, c.end, c.records, c.driftTime, c.walkTime, 4);
    ASSERT_EQ(q.DriftValid, !std::isnan(c.drift)) << c.name;
    ASSERT_EQ(q.WalkValid, !std::isnan(c.walk)) << c.name;
    // A figure not computed stays as a fresh calculator has it: 0.
    EXPECT_NEAR(q.DriftError, q.DriftValid ? c.drift : 0, 1e-5) << c.name;
    EXPECT_NEAR(q.RandomWalk, q.WalkValid ? c.walk : 0, 1e-9) << c.name;
  }
}

TEST(GeneralQuantLongRecording, SegmentsAcrossStorageBlocksByConstruction) {
  // 128 Hz for 2048 s, fed in four storage blocks: the rate is j deg/h in
  // the j-th 100 s segment, plus and minus a_k alternately in the k-th
  // 10 s segment. Each drift segment's mean is j, each walk segment's
  // scatter a_k: 0.5, except 3 in [510, 520) (across the first block's
  // end) and 50 in the unfinished [2040, 2048).
  const std::size_t n = 4 * TQuantPoints::BlockSize - 2;
  std::vector<TRecord> records(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = i / 128.0;
    const int k = static_cast<int>(t / 10);
    const double a = k == 51 ? 3 : k == 204 ? 50 : 0.5;
    records[i] = {t, std::floor(t / 100) + (i % 2 ? a : -a)};
  }
  TGeneralQuant q;
  q.Reserve(n);
  const std::size_t reserved = q.Points.MemoryBytes();
  Calculate(q, 0, 2048, records);
  ASSERT_EQ(q.Points.size(), n);
  EXPECT_EQ(q.Points.MemoryBytes(), reserved);
  EXPECT_LE(reserved, 12.01 * n);
  const double mean = (12800.0 * 190 + (n - 256000.0) * 20) / n;
  EXPECT_NEAR(q.MeanRate, mean, 1e-5);
  double squares = 0;  // closed drift segments 0 .. 19
  for (int j = 0; j < 20; ++j) squares += (j - mean) * (j - mean);
  ASSERT_TRUE(q.DriftValid && q.WalkValid);
  EXPECT_NEAR(q.DriftError, std::sqrt(squares / 20), 1e-5);
  EXPECT_NEAR(q.RandomWalk, 3 / (std::sqrt(50.0) * 60), 1e-7);

  // Clear frees the points; the results stay readable. A new calculation
  // starts empty.
  q.Clear();
  EXPECT_EQ(q.Points.MemoryBytes(), 0u);
  EXPECT_FALSE(q.Past || q.DriftValid || q.WalkValid);
  EXPECT_NEAR(q.MeanRate, mean, 1e-5);
  q.AddPoint(1, 1, 1);
  q.SetSettings(TOptionProgramm());
  EXPECT_EQ(q.Points.size(), 0u);
}

}  // namespace
