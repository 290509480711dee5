// Allan deviation: NBS-14 of NIST SP 1065, the running sum against the plain
// definition, noises of known parameters, reading a span of a recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "common/TestFiles.h"
#include "processing/Allan.h"

namespace {

std::vector<float> Gaussian(std::size_t n, double sigma, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, sigma);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(g(rng));
  return v;
}

TEST(Allan, Nbs14NineValuesAndTooFew) {
  const double nbs14[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};  // deg/h
  std::vector<float> rates;
  for (double r : nbs14) rates.push_back(static_cast<float>(r / 3600));
  const TAllanResult r = ComputeAllan(rates.data(), rates.size(), 1.0);
  ASSERT_EQ(r.Points.size(), 3u);  // m = 1, 2, 4 (2m < 9)
  // SP 1065's overlapping values for m = 1, 2; m = 4 from its two terms.
  const double adev[] = {91.22945, 85.95287, 27.6351791200998};
  for (std::size_t k = 0; k < 3; ++k) {
    const TAllanPoint& p = r.Points[k];
    EXPECT_TRUE(p.Factor == 1 << k && p.Tau == p.Factor && p.Terms == 9 - 2 * p.Factor + 1) << k;
    EXPECT_NEAR(p.Adev, adev[k], adev[k] * 1e-6) << k;
  }
  // The smallest deviation is at m = 4; B = sigma / 0.664 there.
  EXPECT_TRUE(std::fabs(r.B - adev[2] / 0.664) < 1e-4 && r.BTau == 4.0) << r.B << " at " << r.BTau;
  // Fewer than three rates, or no positive time step: nothing.
  for (const auto& [n, tau0] : {std::pair<std::size_t, double>{0, 1.0}, {2, 1.0}, {9, 0.0}, {9, -1.0}, {9, NAN}}) {
    const TAllanResult none = ComputeAllan(rates.data(), n, tau0);
    EXPECT_TRUE(none.Points.empty() && std::isnan(none.N) && std::isnan(none.B) && std::isnan(none.K)) << n;
  }
  EXPECT_EQ(ComputeAllan(rates.data(), 3, 1.0).Points.size(), 1u);  // one factor of two terms
}

TEST(Allan, TheRunningSumAgreesWithTheDefinition) {
  // sum_j (S_{j+m} - S_j)^2, each window summed afresh; a large offset must
  // not spoil the differences.
  for (float offset : {0.0f, 1000.0f}) {
    std::vector<float> y = Gaussian(1001, 1.0, 7);
    for (float& x : y) x += offset;
    for (std::size_t m : {1u, 2u, 3u, 64u, 250u, 499u, 500u}) {
      long double plain = 0;
      for (std::size_t j = 0; j + 2 * m <= y.size(); ++j) {
        const long double a = std::accumulate(y.begin() + j, y.begin() + j + m, 0.0L);
        const long double b = std::accumulate(y.begin() + j + m, y.begin() + j + 2 * m, 0.0L);
        plain += (b - a) * (b - a);
      }
      EXPECT_NEAR(static_cast<double>(AllanSquares(y.data(), y.size(), m)), static_cast<double>(plain),
                  static_cast<double>(plain) * (offset == 0 ? 1e-12 : 1e-9))
          << "m = " << m << ", offset " << offset;
    }
  }
}

TEST(Allan, WhiteNoiseAndRateRandomWalkGiveTheirSlopesAndLevels) {
  // White: sigma0 = 36 deg/h (0.01 deg/s) at 100 Hz, sigma(tau) falls as
  // sigma0 sqrt(tau0 / tau); N = sigma(1 s) / 60 = 0.06 deg/sqrt(h).
  const std::vector<float> white = Gaussian(400000, 0.01, 11);
  const TAllanResult r = ComputeAllan(white.data(), white.size(), 0.01);
  ASSERT_EQ(r.Points.size(), 18u);  // m = 1 .. 2^17
  for (std::size_t k = 0; k < 5; ++k) {
    const TAllanPoint& p = r.Points[k];
    const double bar = p.Adev / std::sqrt(static_cast<double>(p.Terms));
    EXPECT_NEAR(p.Adev, 36.0 / std::sqrt(static_cast<double>(p.Factor)), 3 * bar) << p.Factor;
  }
  ASSERT_TRUE(r.White.Found);
  EXPECT_EQ(r.White.First, 0u);
  EXPECT_NEAR(r.N, 0.06, 0.06 * 0.05);
  // Rate random walk: steps of 0.001 deg/s (3.6 deg/h) every 0.1 s give
  // sigma^2 = K^2 tau / 3, K = 60 x 3.6 / sqrt(0.1) deg/h/sqrt(h).
  std::vector<float> walk = Gaussian(200000, 0.001, 5);
  double level = 0;
  for (float& y : walk) y = static_cast<float>(level += y);
  const TAllanResult w = ComputeAllan(walk.data(), walk.size(), 0.1);
  EXPECT_TRUE(w.RateWalk.Found && !w.White.Found && std::isnan(w.N));
  EXPECT_NEAR(w.K, 60 * 3.6 / std::sqrt(0.1), 0.15 * 60 * 3.6 / std::sqrt(0.1));
}

TEST(Allan, SpanReadingKeepsOnlyTheSpan) {
  // Records at t = 1..1000 s with rate t/1000; record 5 has a NaN
  // temperature, record 7 a NaN time; a 5-byte fragment trails.
  TTempDir dir;
  Bytes b = RecordingHeader(10.0f);
  for (int i = 1; i <= 1000; ++i) AddRecord(b, i == 7 ? NAN : i, i / 1000.0f, i == 5 ? NAN : 20.0f);
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
  EXPECT_DOUBLE_EQ(ComputeAllan(span).Tau0, 1.5);  // 6 s over 4 steps
  EXPECT_LE(calls.size(), 3u);  // reading stops after the span
  // The whole file: about a hundred rising reports, up to the record count.
  calls.clear();
  ASSERT_TRUE(ReadSpanRates(dir.File("span.rtd"), -1e9, 1e9, span, error, progress));
  EXPECT_EQ(span.Rates.size(), 998u);
  EXPECT_TRUE(calls.size() >= 100 && calls.size() <= 103 && calls.back() == 1000 &&
              std::is_sorted(calls.begin(), calls.end()));
  EXPECT_FALSE(ReadSpanRates(dir.File("missing.rtd"), 0, 1, span, error));
  EXPECT_NE(error.find("missing.rtd"), std::string::npos);
}

}  // namespace
