// Allan deviation: the NBS-14 test data of NIST SP 1065, white noise and a
// rate random walk with known parameters, the sum against the plain
// definition, and reading the span of a recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/TestFiles.h"
#include "processing/Allan.h"

namespace {

const double kNbs14[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};

// The rates (deg/h) as a recording stores them (deg/s), one per second.
std::vector<float> PerSecond(const std::vector<double>& perHour) {
  std::vector<float> v;
  for (double r : perHour) v.push_back(static_cast<float>(r / 3600.0));
  return v;
}

// sum_j (S_{j+m} - S_j)^2 from the definition, each window summed afresh.
long double PlainSquares(const std::vector<float>& y, std::size_t m) {
  long double total = 0;
  for (std::size_t j = 0; j + 2 * m <= y.size(); ++j) {
    long double a = 0, b = 0;
    for (std::size_t i = 0; i < m; ++i) {
      a += y[j + i];
      b += y[j + m + i];
    }
    total += (b - a) * (b - a);
  }
  return total;
}

std::vector<float> Gaussian(std::size_t n, double sigma, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, sigma);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(g(rng));
  return v;
}

TEST(Allan, Nbs14NineValuesThroughARecording) {
  // In a recording as deg/h rates, read back through the reader.
  TTempDir dir;
  Bytes b = RecordingHeader(1.0f);
  const std::vector<float> rates = PerSecond({std::begin(kNbs14), std::end(kNbs14)});
  for (std::size_t i = 0; i < rates.size(); ++i)
    AddRecord(b, static_cast<float>(i + 1), rates[i], 25.0f);
  WriteBytes(dir.File("nbs.rtd"), b);

  TSpanRates span;
  std::string error;
  ASSERT_TRUE(ReadSpanRates(dir.File("nbs.rtd"), 0, 100, span, error)) << error;
  const TAllanResult r = ComputeAllan(span);
  EXPECT_DOUBLE_EQ(r.Tau0, 1.0);
  ASSERT_EQ(r.Points.size(), 3u);  // m = 1, 2, 4 (2m < 9)
  const double expected[] = {91.22945, 85.95287};
  const std::int64_t terms[] = {8, 6, 2};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(r.Points[k].Factor, std::int64_t{1} << k);
    EXPECT_DOUBLE_EQ(r.Points[k].Tau, static_cast<double>(std::int64_t{1} << k));
    EXPECT_EQ(r.Points[k].Terms, terms[k]);
    if (k < 2) {
      EXPECT_NEAR(r.Points[k].Adev, expected[k], expected[k] * 1e-6) << k;
    }
  }
  // m = 4 from the definition (two terms): 27.6351791200998.
  EXPECT_NEAR(r.Points[2].Adev, 27.6351791200998, 27.64 * 1e-6);
  // The smallest deviation is at m = 4; B = sigma / 0.664 there.
  EXPECT_NEAR(r.B, r.Points[2].Adev / 0.664, 1e-9);
  EXPECT_DOUBLE_EQ(r.BTau, 4.0);
}

TEST(Allan, TheRunningSumAgreesWithTheDefinition) {
  const std::vector<float> y = Gaussian(1001, 1.0, 7);
  for (std::size_t m : {1u, 2u, 3u, 64u, 250u, 499u, 500u}) {
    const long double plain = PlainSquares(y, m);
    EXPECT_NEAR(static_cast<double>(AllanSquares(y.data(), y.size(), m)),
                static_cast<double>(plain), static_cast<double>(plain) * 1e-12)
        << "m = " << m;
  }
  // A large offset does not spoil the differences.
  std::vector<float> offset(y);
  for (float& x : offset) x += 1000.0f;
  EXPECT_NEAR(static_cast<double>(AllanSquares(offset.data(), offset.size(), 8)),
              static_cast<double>(PlainSquares(offset, 8)),
              static_cast<double>(PlainSquares(offset, 8)) * 1e-9);
}

TEST(Allan, WhiteNoiseFallsAsOneOverRootTauAndGivesN) {
  // sigma0 = 36 deg/h (0.01 deg/s) at 100 Hz: sigma(tau) = sigma0 sqrt(tau0 / tau),
  // N = sigma(1 s) / 60 = 36 * 0.1 / 60 = 0.06 deg/sqrt(h).
  const std::size_t n = 400000;
  const std::vector<float> y = Gaussian(n, 0.01, 11);
  const TAllanResult r = ComputeAllan(y.data(), n, 0.01);
  ASSERT_EQ(r.Points.size(), 18u);  // m = 1 .. 2^17 (2^18 * 2 > 400000)
  for (const TAllanPoint& p : r.Points) {
    if (p.Factor > 16) break;
    const double expected = 36.0 / std::sqrt(static_cast<double>(p.Factor));
    const double bar = p.Adev / std::sqrt(static_cast<double>(p.Terms));
    EXPECT_NEAR(p.Adev, expected, 3 * bar) << "m = " << p.Factor;
  }
  ASSERT_TRUE(r.White.Found);
  EXPECT_NEAR(r.N, 0.06, 0.06 * 0.05);
  EXPECT_EQ(r.White.First, 0u);
}

TEST(Allan, RateRandomWalkRisesAsRootTauAndGivesK) {
  // y_{i+1} = y_i + w_i, w of deviation q: sigma^2(tau) = K^2 tau / 3 with
  // K = q / sqrt(tau0) per sqrt(s). q = 0.001 deg/s = 3.6 deg/h, tau0 = 0.1 s:
  // K = 3.6 / sqrt(0.1) deg/h/sqrt(s) = 60 * that deg/h/sqrt(h).
  const std::size_t n = 200000;
  const std::vector<float> w = Gaussian(n, 0.001, 5);
  std::vector<float> y(n);
  double level = 0;
  for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<float>(level += w[i]);
  const TAllanResult r = ComputeAllan(y.data(), n, 0.1);
  ASSERT_GE(r.Points.size(), 12u);
  // For the sampled walk sigma^2 goes as (2m^2 + 1) / 6m: the square-root
  // law holds from a few samples on.
  for (std::size_t k = 3; k + 1 < 12; ++k) {
    const double slope = std::log(r.Points[k + 1].Adev / r.Points[k - 1].Adev) /
                         std::log(r.Points[k + 1].Tau / r.Points[k - 1].Tau);
    EXPECT_NEAR(slope, 0.5, 0.1) << "m = " << r.Points[k].Factor;
  }
  ASSERT_TRUE(r.RateWalk.Found);
  EXPECT_FALSE(r.White.Found);
  const double k = 60.0 * 3.6 / std::sqrt(0.1);
  EXPECT_NEAR(r.K, k, k * 0.15);
  EXPECT_TRUE(std::isnan(r.N));
}

TEST(Allan, TooFewRecordsOrNoTimeStepGiveNothing) {
  const float y[] = {1, 2, 3, 4};
  for (auto [n, tau0] : std::vector<std::pair<std::size_t, double>>{
           {0, 1.0}, {2, 1.0}, {4, 0.0}, {4, -1.0}, {4, std::numeric_limits<double>::quiet_NaN()}}) {
    const TAllanResult r = ComputeAllan(y, n, tau0);
    EXPECT_TRUE(r.Points.empty()) << n << " " << tau0;
    EXPECT_TRUE(std::isnan(r.N) && std::isnan(r.B) && std::isnan(r.K));
  }
  // Three records: one factor with two terms.
  EXPECT_EQ(ComputeAllan(y, 3, 1.0).Points.size(), 1u);
  // A constant rate: deviation 0, no sloped region.
  const float flat[] = {2, 2, 2, 2, 2, 2, 2, 2};
  const TAllanResult r = ComputeAllan(flat, 8, 1.0);
  ASSERT_EQ(r.Points.size(), 2u);
  EXPECT_EQ(r.Points[0].Adev, 0.0);
  EXPECT_EQ(r.B, 0.0);
  EXPECT_FALSE(r.White.Found || r.RateWalk.Found);
}

TEST(Allan, SpanReadingKeepsOnlyTheSpan) {
  // Records at t = 1..1000 s with rate t/1000; record 5 has a NaN
  // temperature, record 7 a NaN time; a 5-byte fragment trails.
  TTempDir dir;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Bytes b = RecordingHeader(10.0f);
  for (int i = 1; i <= 1000; ++i)
    AddRecord(b, i == 7 ? nan : static_cast<float>(i), i / 1000.0f, i == 5 ? nan : 20.0f);
  b.insert(b.end(), {1, 2, 3, 4, 5});
  WriteBytes(dir.File("span.rtd"), b);
  std::vector<std::int64_t> calls;
  auto progress = [&](std::int64_t read, std::int64_t total) {
    EXPECT_EQ(total, 1000);
    calls.push_back(read);
  };
  TSpanRates span;
  std::string error;
  ASSERT_TRUE(ReadSpanRates(dir.File("span.rtd"), 3, 9.5, span, error, progress));
  EXPECT_EQ(span.Rates, (std::vector<float>{0.003f, 0.004f, 0.006f, 0.008f, 0.009f}));
  EXPECT_EQ(span.FirstTime, 3.0);
  EXPECT_EQ(span.LastTime, 9.0);
  // Reading stops after the span: a start, at most one step, the end.
  EXPECT_LE(calls.size(), 3u);

  // The whole file: about a hundred reports, rising to the record count.
  calls.clear();
  ASSERT_TRUE(ReadSpanRates(dir.File("span.rtd"), -1e9, 1e9, span, error, progress));
  EXPECT_EQ(span.Rates.size(), 998u);
  EXPECT_GE(calls.size(), 100u);
  EXPECT_LE(calls.size(), 103u);
  EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
  EXPECT_EQ(calls.back(), 1000);

  EXPECT_FALSE(ReadSpanRates(dir.File("missing.rtd"), 0, 1, span, error));
  EXPECT_NE(error.find("missing.rtd"), std::string::npos);
}

}  // namespace
