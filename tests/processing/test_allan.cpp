// Noise analysis: NBS-14 and the 1000-point test set of NIST SP 1065, the
// three estimators against their plain definitions (holes included),
// chi-square quantiles against published tables, interval coverage on
// simulated white noise, the read-outs only where their region is, gaps,
// tau grids, reading a span of a recording.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

#include "common/TestFiles.h"
#include "processing/Allan.h"
#include "sim/NoiseSeries.h"

namespace {

std::vector<float> Gaussian(std::size_t n, double sigma, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, sigma);
  std::vector<float> v(n);
  for (float& x : v) x = static_cast<float>(g(rng));
  return v;
}

TAllanOptions Options(TAllanKind kind, TTauGrid::TType grid, int perDecade = 0) {
  TAllanOptions o;
  o.Kind = kind;
  o.Grid.Type = grid;
  o.Grid.PerDecade = perDecade;
  return o;
}

// A span with times at tau0 from t0, the records of [cutFrom, cutTo) left out.
TSpanRates Span(const std::vector<float>& rates, double t0, double tau0, std::size_t cutFrom = 0,
                std::size_t cutTo = 0) {
  TSpanRates s;
  for (std::size_t i = 0; i < rates.size(); ++i) {
    if (i >= cutFrom && i < cutTo) continue;
    s.Rates.push_back(rates[i]);
    s.Times.push_back(static_cast<float>(t0 + static_cast<double>(i) * tau0));
  }
  s.FirstTime = s.Times.front();
  s.LastTime = s.Times.back();
  return s;
}

TEST(Allan, Nbs14NineValues) {
  const double nbs14[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};  // deg/h
  std::vector<float> rates;
  for (double r : nbs14) rates.push_back(static_cast<float>(r / 3600));
  // tau0 0.37 s: factor and time must not be confused.
  const TAllanResult r = ComputeAllan(rates.data(), rates.size(), 0.37);
  ASSERT_EQ(r.Points.size(), 3u);  // m = 1, 2, 4 (2m < 9)
  const double adev[] = {91.22945, 85.95287, 27.6351791200998};
  for (std::size_t k = 0; k < 3; ++k) {
    const TAllanPoint& p = r.Points[k];
    EXPECT_TRUE(p.Factor == 1 << k && std::fabs(p.Tau - 0.37 * p.Factor) < 1e-12 &&
                p.Terms == 9 - 2 * p.Factor + 1) << k;
    EXPECT_NEAR(p.Adev, adev[k], adev[k] * 1e-6) << k;
    EXPECT_TRUE(p.Lo < p.Adev && p.Adev < p.Hi) << k;
  }
  // The smallest point is the last: no flat minimum, no B.
  EXPECT_FALSE(r.B.Found);
  EXPECT_TRUE(std::isnan(r.B.Value) && std::isnan(r.BTau));
  for (const auto& [n, tau0] : {std::pair<std::size_t, double>{0, 1.0}, {2, 1.0}, {9, 0.0}, {9, -1.0}, {9, NAN}}) {
    const TAllanResult none = ComputeAllan(rates.data(), n, tau0);
    EXPECT_TRUE(none.Points.empty() && std::isnan(none.N.Value) && std::isnan(none.Q.Value)) << n;
  }
}

// NIST SP 1065, section 12: 1000 values n_i / (2^31 - 1) from n_{i+1} =
// 16807 n_i mod (2^31 - 1), n_0 = 1234567890; Table 31 (overlapping
// Allan, modified Allan, overlapping Hadamard at tau 1, 10, 100).
TEST(Allan, NistThousandPointSet) {
  std::vector<float> rates;
  std::uint64_t n = 1234567890;
  for (int i = 0; i < 1000; ++i) {
    rates.push_back(static_cast<float>(static_cast<double>(n) / 2147483647.0 / 3600.0));
    n = 16807 * n % 2147483647;
  }
  struct Case {
    TAllanKind kind;
    double dev[3];
    std::int64_t terms[3];
  };
  const Case cases[] = {{TAllanKind::Oadev, {2.922319e-01, 9.159953e-02, 3.241343e-02}, {999, 981, 801}},
                        {TAllanKind::Mdev, {2.922319e-01, 6.172376e-02, 2.170921e-02}, {999, 972, 702}},
                        {TAllanKind::Hdev, {2.943883e-01, 9.581083e-02, 3.237638e-02}, {998, 971, 701}}};
  for (const Case& c : cases) {
    const TAllanResult r = ComputeAllan(rates.data(), rates.size(), 0.37, Options(c.kind, TTauGrid::Decade));
    ASSERT_EQ(r.Points.size(), 3u) << KindName(c.kind);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(r.Points[k].Adev, c.dev[k], c.dev[k] * 1e-5) << KindName(c.kind) << " m " << r.Points[k].Factor;
      EXPECT_EQ(r.Points[k].Terms, c.terms[k]) << KindName(c.kind);
    }
  }
}

// Each estimator from its textbook formula on the frequency values, terms
// touching a hole left out; a large offset must not spoil the differences.
TEST(Allan, TheThreeEstimatorsAgreeWithTheirDefinitions) {
  std::vector<float> y = Gaussian(241, 1.0, 7);
  for (float& v : y) v += 1000.0f;
  for (std::size_t hole : {60u, 61u, 62u, 150u}) y[hole] = NAN;
  auto sum = [&](std::size_t from, std::size_t count, bool& ok) {
    long double s = 0;
    for (std::size_t i = from; i < from + count; ++i) {
      ok = ok && std::isfinite(y[i]);
      s += y[i];
    }
    return s;
  };
  for (TAllanKind kind : {TAllanKind::Oadev, TAllanKind::Mdev, TAllanKind::Hdev}) {
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.37, Options(kind, TTauGrid::All));
    ASSERT_FALSE(r.Points.empty());
    for (const TAllanPoint& p : r.Points) {
      const std::size_t m = static_cast<std::size_t>(p.Factor);
      long double squares = 0;
      std::int64_t terms = 0;
      // Windows of 2m (oadev), 3m - 1 (mdev), 3m (hdev) values.
      const std::size_t window = kind == TAllanKind::Oadev ? 2 * m : kind == TAllanKind::Mdev ? 3 * m - 1 : 3 * m;
      for (std::size_t j = 0; j + window <= y.size(); ++j) {
        bool ok = true;
        long double t = 0;
        if (kind == TAllanKind::Oadev) t = (sum(j + m, m, ok) - sum(j, m, ok)) / m;
        if (kind == TAllanKind::Hdev) t = (sum(j + 2 * m, m, ok) - 2 * sum(j + m, m, ok) + sum(j, m, ok)) / m;
        if (kind == TAllanKind::Mdev)
          for (std::size_t i = j; i < j + m; ++i) t += (sum(i + m, m, ok) - sum(i, m, ok)) / m;
        if (!ok) continue;
        squares += t * t;
        ++terms;
      }
      const long double var = kind == TAllanKind::Oadev ? squares / (2 * terms)
                              : kind == TAllanKind::Hdev ? squares / (6 * terms)
                                                         : squares / (2 * m * m * terms);
      const double want = std::sqrt(static_cast<double>(var)) * 3600;
      ASSERT_EQ(p.Terms, terms) << KindName(kind) << " m " << m;
      ASSERT_NEAR(p.Adev, want, want * 1e-9) << KindName(kind) << " m " << m;
    }
  }
}

TEST(Allan, ChiSquareQuantilesMatchPublishedTables) {
  // p, degrees of freedom, quantile (standard tables, e.g. NIST/SEMATECH
  // e-Handbook 1.3.6.7.4).
  const double table[][3] = {{0.05, 1, 0.00393},  {0.95, 1, 3.841},   {0.05, 10, 3.940},
                             {0.95, 10, 18.307},  {0.025, 30, 16.791}, {0.975, 30, 46.979},
                             {0.01, 100, 70.065}, {0.99, 100, 135.807}, {0.5, 2, 1.386}};
  for (const auto& row : table)
    EXPECT_NEAR(ChiSquareQuantile(row[0], row[1]), row[2], row[2] * 1e-3) << row[0] << " " << row[1];
  // Two degrees of freedom: closed form -2 ln(1 - p).
  EXPECT_NEAR(ChiSquareQuantile(0.1587, 2), -2 * std::log(1 - 0.1587), 1e-9);
}

TEST(Allan, EquivalentDofAgreesWithPublishedFormulas) {
  // NIST SP 1065 Table 5 (overlapping Allan, N phase points): white rate
  // noise [3(N-1)/2m - 2(N-2)/N] 4m^2/(4m^2+5); white phase noise
  // (N+1)(N-2m)/(2(N-m)). Both are approximations: 2 and 3 %.
  for (double N : {1001.0, 200001.0})
    for (double m : {1.0, 10.0, 100.0}) {
      const auto terms = static_cast<std::int64_t>(N - 2 * m);
      const auto mm = static_cast<std::int64_t>(m);
      const double white = (3 * (N - 1) / (2 * m) - 2 * (N - 2) / N) * 4 * m * m / (4 * m * m + 5);
      EXPECT_NEAR(EquivalentDof(TAllanKind::Oadev, 0, mm, terms), white, white * 0.02) << m;
      const double phase = (N + 1) * (N - 2 * m) / (2 * (N - m));
      EXPECT_NEAR(EquivalentDof(TAllanKind::Oadev, 2, mm, terms), phase, phase * 0.03) << m;
    }
  // Long records: 1/edf = (a0 - a1/r)/r, r = terms/m, with Greenhall and
  // Riley's Table 2 (2003) for alpha = 0, -1, -2 (Allan, d = 2) and 0..-4
  // (Hadamard, d = 3).
  const struct {
    TAllanKind kind;
    int alpha;
    double a0, a1;
  } table[] = {{TAllanKind::Oadev, 0, 2.0 / 3, 1.0 / 3}, {TAllanKind::Oadev, -1, 0.852, 0.375},
               {TAllanKind::Oadev, -2, 1.079, 0.368},    {TAllanKind::Hdev, 0, 7.0 / 9, 0.5},
               {TAllanKind::Hdev, -1, 0.997, 0.617},     {TAllanKind::Hdev, -2, 1.033, 0.607},
               {TAllanKind::Hdev, -3, 1.053, 0.553},     {TAllanKind::Hdev, -4, 1.302, 0.535}};
  for (const auto& t : table) {
    const double r = 100000.0 / 1000.0;
    EXPECT_NEAR(EquivalentDof(t.kind, t.alpha, 1000, 100000), r / (t.a0 - t.a1 / r), 0.005 * r / t.a0)
        << KindName(t.kind) << " alpha " << t.alpha;
  }
}

// The covariance the fit of the terms weighs the points by, on one noise
// at a time, against the degrees of freedom of the literature (edf = 2
// sigma^4 / var): Greenhall and Riley's long-record form at r = 100 (as
// above) and white angle noise's exact count (its terms meet only at whole
// multiples of m), sample by sample and as a continuum of lags.
TEST(Allan, PointCovarianceHoldsThePublishedDegreesOfFreedom) {
  const double tau0 = 0.5, tau = 1000 * tau0;
  const struct {
    TAllanKind kind;
    std::array<double, 5> size;
    double a0, a1, variance;
  } table[] = {{TAllanKind::Oadev, {0, 1, 0, 0, 0}, 2.0 / 3, 1.0 / 3, 3600 / tau},
               {TAllanKind::Oadev, {0, 0, 1, 0, 0}, 0.852, 0.375, 2 * std::log(2.0) / M_PI},
               {TAllanKind::Oadev, {0, 0, 0, 1, 0}, 1.079, 0.368, tau / (3 * 3600)},
               {TAllanKind::Hdev, {0, 1, 0, 0, 0}, 7.0 / 9, 0.5, 3600 / tau},
               {TAllanKind::Hdev, {0, 0, 0, 1, 0}, 1.033, 0.607, tau / (6 * 3600)}};
  for (const auto& t : table) {
    const double r = 100, edf = 2 * t.variance * t.variance / PointCovariance(t.kind, 1000, 100000, 1000, 100000, tau0, t.size);
    EXPECT_NEAR(edf, r / (t.a0 - t.a1 / r), 0.015 * r / t.a0) << KindName(t.kind) << " " << t.a0;
  }
  for (const auto& [m, terms] : {std::pair<std::int64_t, std::int64_t>{16, 100}, {64, 5000}, {4096, 1809}, {4096, 20000}}) {
    const double variance = 3 / std::pow(static_cast<double>(m) * tau0, 2);
    const double edf = 2 * variance * variance / PointCovariance(TAllanKind::Oadev, m, terms, m, terms, tau0, {1, 0, 0, 0, 0});
    EXPECT_NEAR(edf, EquivalentDof(TAllanKind::Oadev, 2, m, terms), 1e-6 * edf) << m << " " << terms;
  }
}

// The covariance of the modified deviation's octave points on a recording
// of all five terms (400,000 records at 0.1 s): a covariance matrix, so
// positive definite (its Cholesky factor exists), and a short factor's point
// shares next to nothing with a long one's. Evaluated outside the windows,
// the boxes' kernels once left rounding that made the point at m = 1 more
// than fully correlated with the one at m = 512, and the fit of the terms
// fell back to weights that take the points as independent.
TEST(Allan, ModifiedPointsCovarianceIsPositiveDefinite) {
  const double floor = kFlickerFactor * 0.05, n = floor * std::sqrt(2.5 / 3600), k = floor * std::sqrt(10800 / 20.0);
  const std::array<double, 5> size = {n * std::sqrt(360.0), n, 0.05, k, k * std::sqrt(15.0)};
  std::vector<std::int64_t> m;
  for (std::int64_t f = 1; 3 * f <= 400000; f *= 2) m.push_back(f);
  const std::size_t p = m.size();
  std::vector<double> c(p * p), L(p * p, 0.0);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j <= i; ++j)
      c[i * p + j] = PointCovariance(TAllanKind::Mdev, m[i], 400001 - 3 * m[i], m[j], 400001 - 3 * m[j], 0.1, size);
  for (std::size_t j = 0; j < p; ++j) {
    double d = c[j * p + j];
    for (std::size_t q = 0; q < j; ++q) d -= L[j * p + q] * L[j * p + q];
    ASSERT_GT(d, 1e-9 * c[j * p + j]) << "m = " << m[j];
    L[j * p + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < p; ++i) {
      double x = c[i * p + j];
      for (std::size_t q = 0; q < j; ++q) x -= L[i * p + q] * L[j * p + q];
      L[i * p + j] = x / L[j * p + j];
    }
  }
  for (std::size_t j = 9; j < p; ++j)
    EXPECT_LT(std::fabs(c[j * p]) / std::sqrt(c[0] * c[j * p + j]), 0.01) << "m = 1 and " << m[j];
}

TEST(Allan, IntervalsCoverTheTrueDeviationOnWhiteNoise) {
  // 100 runs of white rate noise of 36 deg/h per sample: the true sigma at
  // factor m is 36 / sqrt(m); the 68.3 % interval holds it in about 68.
  int inside16 = 0, insideLast = 0;
  std::int64_t terms16 = 0;
  for (unsigned seed = 1; seed <= 100; ++seed) {
    const std::vector<float> y = Gaussian(1500, 0.01, seed);
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.37);
    for (const TAllanPoint& p : r.Points) {
      const double truth = 36.0 / std::sqrt(static_cast<double>(p.Factor));
      const bool in = p.Lo <= truth && truth <= p.Hi;
      if (p.Factor == 16) {
        inside16 += in;
        terms16 = p.Terms;
      }
      if (&p == &r.Points.back()) insideLast += in;
    }
  }
  EXPECT_GE(terms16, 30);
  EXPECT_TRUE(inside16 >= 60 && inside16 <= 76) << inside16;
  std::printf("inside the 68.3 %% interval: %d at m = 16, %d at the last tau\n", inside16, insideLast);
  EXPECT_TRUE(insideLast >= 60 && insideLast <= 76) << insideLast;
}

// Rates (deg/s, as stored) of a recording with the given noise terms.
std::vector<float> Noise(const TNoiseTerms& z, std::size_t n, double tau0, std::uint64_t seed) {
  std::vector<float> y;
  for (double v : NoiseSeries(z, n, tau0, seed)) y.push_back(static_cast<float>(v / 3600));
  return y;
}

// Every term each kind reports, against the truth the recording was made
// with, at a period other than 1 s: Q (mdev reads it with tau0), N, B
// (each kind with its own flicker ratio: the three agree), K, R (not
// hdev). All five at comparable strength: Q meets N at 1 s, N meets B at
// 10 s, B meets K at 100 s, K meets R at 500 s.
TEST(Allan, EveryKindReadsEachTermItReportsAtItsTruth) {
  TNoiseTerms z;
  z.B = 0.1;
  const double floor = 0.664282 * z.B;
  z.N = floor * std::sqrt(10.0) / 60;
  z.Q = 60 * z.N / std::sqrt(3.0);
  z.K = floor / std::sqrt(100.0 / 10800);
  z.R = z.K * std::sqrt(500.0 / 10800) * std::sqrt(2.0) * 3600 / 500;
  const std::vector<float> y = Noise(z, 200000, 0.5, 11);
  const double truth[] = {z.Q, z.N, z.B, z.K, z.R};
  double oadevB = NAN;
  for (TAllanKind kind : {TAllanKind::Oadev, TAllanKind::Mdev, TAllanKind::Hdev}) {
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.5, Options(kind, TTauGrid::Octave));
    const TAllanLine* terms[] = {&r.Q, &r.N, &r.B, &r.K, &r.R};
    for (int k = 0; k < 5; ++k) {
      if (kind == TAllanKind::Hdev && k == 4) {
        EXPECT_TRUE(!r.R.Found && r.R.Absent.find("ramp") != std::string::npos) << r.R.Absent;
        continue;
      }
      ASSERT_TRUE(terms[k]->Found) << KindName(kind) << " " << "QNBKR"[k] << ": " << terms[k]->Absent;
      EXPECT_NEAR(terms[k]->Value / truth[k], 1, 0.15) << KindName(kind) << " " << "QNBKR"[k];
      EXPECT_TRUE(terms[k]->Lo < terms[k]->Value && terms[k]->Value < terms[k]->Hi) << "QNBKR"[k];
    }
    if (kind == TAllanKind::Oadev) oadevB = r.B.Value;
    EXPECT_NEAR(r.B.Value / oadevB, 1, 0.04) << KindName(kind);
    EXPECT_TRUE(std::isnan(r.BUpper) && r.BTau > 10 && r.BTau < 100) << r.BTau;
  }
}

// Terms the recording does not have: on these seeds the slope regions of
// the curve's tail (the cross-check) show Q or R, and N meeting K or R
// makes a lowest point that is no flicker floor; none is reported, each
// with its reason, and B's bound holds the curve's lowest point / 0.664.
TEST(Allan, TermsNotInTheDataAreNotReported) {
  const struct {
    const char* name;
    TNoiseTerms z;
    std::uint64_t seed;
    int slopeShows;  // the term the slope regions alone would invent, -1: none
  } cases[] = {
      {"white", {0, 0.01, 0, 0, 0}, 39, 0},
      {"walk", {0, 0, 0, 0.2, 0}, 43, 4},
      // A walk that looks like a ramp: R's square 4.5 standard errors up.
      {"walk like a ramp", {0, 0, 0, 0.2, 0}, 196, -1},
      {"N+K", {0, 0.01, 0, 1, 0}, 1, -1},
      {"N+R", {0, 0.01, 0, 0, 2}, 1, -1},
  };
  for (const auto& c : cases) {
    const std::vector<float> y = Noise(c.z, 100000, 0.1, c.seed);
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.1);
    const TAllanLine* terms[] = {&r.Q, &r.N, &r.B, &r.K, &r.R};
    const double truth[] = {c.z.Q, c.z.N, c.z.B, c.z.K, c.z.R};
    for (int k = 0; k < 5; ++k) {
      if (c.slopeShows == k) {
        EXPECT_TRUE(std::isfinite(terms[k]->SlopeValue)) << c.name << " " << "QNBKR"[k];
      }
      if (truth[k] > 0) continue;
      EXPECT_FALSE(terms[k]->Found) << c.name << " " << "QNBKR"[k] << " " << terms[k]->Value;
      EXPECT_TRUE(std::isnan(terms[k]->Value) && !terms[k]->Absent.empty()) << c.name << " " << "QNBKR"[k];
    }
    double lowest = INFINITY;
    for (const TAllanPoint& p : r.Points) lowest = std::min(lowest, p.Adev);
    EXPECT_NEAR(r.BUpper, lowest / 0.664282, 1e-9 * lowest) << c.name;
  }
}

// Terms next to each other on the curve (Q and N, K and R) trade shares
// of the variance. On 60 short recordings of N+K (K just below what the
// data show): a Q held at zero or above pulls N low (mean (fit - truth) /
// standard error -0.4), and a K that leaves the fit must still count
// against R's showing, or its random walk passes for a rate ramp.
TEST(Allan, NeighbouringTermsTakeNoShareTheyDoNotHave) {
  const TNoiseTerms z{0, 0.01, 0, 1, 0};
  double pullN = 0;
  int rampFound = 0;
  const int runs = 60;
  for (unsigned seed = 1; seed <= runs; ++seed) {
    const std::vector<float> y = Noise(z, 20000, 0.1, seed);
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.1);
    pullN += (r.N.Squared - z.N * z.N) / r.N.SquaredSe / runs;
    rampFound += r.R.Found;
  }
  EXPECT_LT(std::fabs(pullN), 0.25);
  EXPECT_EQ(rampFound, 0);
}

// A rate ramp beside white noise alone: its interval is as wide as its
// scatter over 40 recordings says (the noise of the random walk of the
// rate the fit left out made it twice as wide: (fit - truth) / standard
// error of s.d. 0.47 on the validation's 200 recordings).
TEST(Allan, ARampsIntervalIsNotWidenedByATermThatIsNotThere) {
  const TNoiseTerms z{0, 0.01, 0, 0, 2};
  const int runs = 40;
  std::vector<double> pulls;
  for (unsigned seed = 1; seed <= runs; ++seed) {
    const std::vector<float> y = Noise(z, 100000, 0.1, seed);
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.1);
    ASSERT_TRUE(r.R.Found) << seed;
    pulls.push_back((r.R.Squared - z.R * z.R) / r.R.SquaredSe);
  }
  const double mean = std::accumulate(pulls.begin(), pulls.end(), 0.0) / runs;
  double sd = 0;
  for (double x : pulls) sd += (x - mean) * (x - mean) / (runs - 1);
  sd = std::sqrt(sd);
  // Two standard errors of a standard deviation over 40 (about 0.11 each).
  EXPECT_GT(sd, 0.75);
  EXPECT_LT(sd, 1.3);
}

// The degrees of freedom at the non-overlapping end of the curve (fewer
// terms than the factor): on white angle noise every term there uses its
// own samples, so the terms are independent and the EDF is their number.
// Too few averages there to tell the noise: it is the fitted Q's, also
// where the last tau with an identification of its own reads another.
TEST(Allan, EdfAtTheLongestTauIsTheTermsCount) {
  for (const auto& [n, terms, seed] : {std::tuple<std::size_t, std::int64_t, int>{10000, 1809, 3}, {10444, 2253, 3},
                                       {10000, 1809, 4}, {10000, 1809, 5}, {10000, 1809, 6}, {10000, 1809, 7}}) {
    const std::vector<float> y = Noise({1, 0, 0, 0, 0}, n, 1.0, static_cast<std::uint64_t>(seed));
    const TAllanResult r = ComputeAllan(y.data(), y.size(), 1.0);
    const TAllanPoint& p = r.Points.back();
    ASSERT_TRUE(p.Factor == 4096 && p.Terms == terms) << p.Factor << " " << p.Terms;
    EXPECT_EQ(p.Alpha, 2);
    EXPECT_NEAR(p.Edf, static_cast<double>(terms), 1e-6 * terms);
    EXPECT_TRUE(std::isfinite(p.Lo) && std::isfinite(p.Hi));
    for (const TAllanPoint& q : r.Points) EXPECT_TRUE(q.Edf > 0 && q.Edf <= static_cast<double>(q.Terms)) << q.Factor;
  }
}

TEST(Allan, GapsAreHolesNotJoins) {
  // 125 Hz white noise, 4000 s; 200 s taken out, then 20 % of the middle.
  const std::vector<float> y = Gaussian(500000, 0.01, 3);
  TSpanRates whole = Span(y, 0.004, 0.008);
  const TAllanResult a = ComputeAllan(whole);
  ASSERT_TRUE(a.N.Found);
  EXPECT_EQ(a.Gaps, 0);
  EXPECT_NEAR(a.Tau0, 0.008, 1e-6);
  for (const auto& [from, to] : {std::pair<std::size_t, std::size_t>{200000, 225000}, {200000, 300000}}) {
    TSpanRates cut = Span(y, 0.004, 0.008, from, to);
    const TAllanResult b = ComputeAllan(cut);
    EXPECT_EQ(b.Gaps, 1);
    EXPECT_NEAR(b.GapSeconds, (to - from) * 0.008, 0.01);
    EXPECT_NEAR(b.Tau0, 0.008, 1e-6);
    ASSERT_TRUE(b.N.Found);
    EXPECT_NEAR(b.N.Value / a.N.Value, 1.0, 0.05) << to - from;
    // Joined across the gap with tau0 = (last - first) / (n - 1), as the
    // window did before gaps were found, N moves by far more.
    const double joinedTau0 = (cut.LastTime - cut.FirstTime) / static_cast<double>(cut.Rates.size() - 1);
    const TAllanResult joined = ComputeAllan(cut.Rates.data(), cut.Rates.size(), joinedTau0);
    if (to - from == 100000) {
      EXPECT_GT(std::fabs(joined.N.Value / a.N.Value - 1), 0.1);
    }
    // No term reaches across the gap: each estimator's terms of the two parts.
    EXPECT_EQ(b.Points[3].Terms, static_cast<std::int64_t>(from - 16 + 1 + (500000 - to) - 16 + 1));
  }
  // A clock set back by 0.5 s at record 1000 starts the data afresh and is
  // counted: two runs, one term of m = 1 lost at the join.
  TSpanRates back = Span(y, 0.004, 0.008);
  for (std::size_t i = 1000; i < back.Times.size(); ++i) back.Times[i] -= 0.5f;
  const TAllanResult c = ComputeAllan(back);
  EXPECT_TRUE(c.Backward == 1 && c.Gaps == 0);
  EXPECT_EQ(c.Points[0].Terms, 500000 - 2);
  // One record stamped 0.5 s early among prompt ones is a bad stamp, not a
  // clock set back: the records after it are where they were.
  TSpanRates glitch = Span(y, 0.004, 0.008);
  glitch.Times[1000] -= 0.5f;
  const TAllanResult d = ComputeAllan(glitch);
  EXPECT_TRUE(d.Backward == 0 && d.Gaps == 0);
  EXPECT_EQ(d.Points[0].Terms, 500000 - 1);
}

// A gap is a missing sample, not a long step: the times of 20,000 records
// at 0.1 s from record 1000 on moved by `shift` periods (a sample missing:
// 1; on either side of the half period the rule turns on), or one record
// late and the next prompt, or one early, or every record's stamp jittered.
TEST(Allan, GapsAreMissingSamplesNotJitter) {
  const struct {
    const char* name;
    double shift, late, jitter;
    std::int64_t gaps;
    double gapSeconds;
    std::size_t at = 1000;
  } cases[] = {
      {"one sample missing (a step of 2 tau0)", 1.0, 0, 0, 1, 0.1},
      {"0.4 of a period later: no gap", 0.4, 0, 0, 0, 0},
      {"0.6 of a period later: one sample", 0.6, 0, 0, 1, 0.1},
      {"three samples missing", 3.0, 0, 0, 1, 0.3},
      {"one record 0.6 late, the next prompt", 0, 0.6, 0, 0, 0},
      {"one record 1.6 early: back in time, then on the grid", 0, -1.6, 0, 0, 0},
      {"jitter of 20 % of a period", 0, 0, 0.2, 0, 0},
      // Next to the end a lone record's lateness is jitter; two missing
      // samples still show.
      {"the last record 0.7 late", 0, 0.7, 0, 0, 0, 19999},
      {"two samples missing before the last three", 2.0, 0, 0, 1, 0.2, 19997},
  };
  const std::vector<float> y = Gaussian(20000, 0.01, 4);
  for (const auto& c : cases) {
    TSpanRates s = Span(y, 5, 0.1);
    std::mt19937_64 rng(9);
    std::normal_distribution<double> g(0.0, c.jitter > 0 ? c.jitter * 0.1 : 1e-30);
    for (std::size_t i = 0; i < s.Times.size(); ++i)
      s.Times[i] = static_cast<float>(5 + 0.1 * static_cast<double>(i) + g(rng) +
                                      (i >= c.at ? c.shift * 0.1 : 0) + (i == c.at ? c.late * 0.1 : 0));
    const TAllanResult r = ComputeAllan(s);
    EXPECT_EQ(r.Gaps, c.gaps) << c.name;
    EXPECT_NEAR(r.GapSeconds, c.gapSeconds, 1e-4) << c.name;
    EXPECT_EQ(r.Backward, 0) << c.name;
    EXPECT_NEAR(r.Tau0, 0.1, 2e-4) << c.name;
  }
}

TEST(Allan, TauGrids) {
  const std::pair<const char*, std::vector<std::int64_t>> cases[] = {
      {"octave", {1, 2, 4, 8, 16, 32, 64}},
      {"decade", {1, 10, 100}},
      {"3", {1, 2, 5, 10, 22, 46, 100}},
      {"10", {1, 2, 3, 4, 5, 6, 8, 10, 13, 16, 20, 25, 32, 40, 50, 63, 79, 100}},
  };
  for (const auto& [text, want] : cases) {
    TTauGrid g;
    ASSERT_TRUE(ParseTauGrid(text, g)) << text;
    EXPECT_EQ(GridFactors(g, 100), want) << text;
    EXPECT_EQ(TauGridName(g), text);
  }
  TTauGrid g;
  ASSERT_TRUE(ParseTauGrid("all", g));
  EXPECT_EQ(GridFactors(g, 5), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
  for (const char* bad : {"", "0", "-1", "1.5", "Octave", "1001", "x"}) EXPECT_FALSE(ParseTauGrid(bad, g)) << bad;
  // "all" above 100,000 records is refused with a reason.
  const std::vector<float> y = Gaussian(100001, 0.01, 1);
  const TAllanResult r = ComputeAllan(y.data(), y.size(), 0.01, Options(TAllanKind::Oadev, TTauGrid::All));
  EXPECT_TRUE(r.Points.empty() && r.Refused.find("100000") != std::string::npos) << r.Refused;
  EXPECT_EQ(ComputeAllan(y.data(), 1000, 0.01, Options(TAllanKind::Mdev, TTauGrid::All)).Points.size(), 333u);
}

TEST(Allan, SpanReadingKeepsOnlyTheSpan) {
  // Records at t = 1..1000 s with rate t/1000; record 5 has a NaN
  // temperature, record 7 a NaN time, record 8 an infinite rate; a 5-byte
  // fragment trails.
  TTempDir dir;
  Bytes b = RecordingHeader(10.0f);
  for (int i = 1; i <= 1000; ++i)
    AddRecord(b, i == 7 ? NAN : i, i == 8 ? INFINITY : i / 1000.0f, i == 5 ? NAN : 20.0f);
  b.insert(b.end(), {1, 2, 3, 4, 5});
  WriteBytes(dir.File("span.rtd"), b);
  std::vector<std::int64_t> calls;
  auto progress = [&](std::int64_t read, std::int64_t total) {
    EXPECT_EQ(total, 1000);
    calls.push_back(read);
  };
  TSpanRates span;
  std::string error;
  ASSERT_TRUE(ReadSpanRates(dir.File("span.rtd"), 3, 10.5, span, error, progress));
  EXPECT_EQ(span.Rates, (std::vector<float>{0.003f, 0.004f, 0.006f, 0.009f, 0.010f}));
  EXPECT_EQ(span.Times, (std::vector<float>{3, 4, 6, 9, 10}));
  EXPECT_EQ(span.Skipped, 3);
  EXPECT_LE(calls.size(), 3u);  // reading stops after the span
  // Steps 1, 2, 3, 1 s: the median (the upper middle one) is 2 s, so no
  // step is a gap; tau0 is then the mean step, 7 s / 4.
  const TAllanResult r = ComputeAllan(span);
  EXPECT_TRUE(r.Gaps == 0 && r.Tau0 == 1.75) << r.Gaps << " " << r.Tau0;
  calls.clear();
  ASSERT_TRUE(ReadSpanRates(dir.File("span.rtd"), -1e9, 1e9, span, error, progress));
  EXPECT_EQ(span.Rates.size(), 997u);
  EXPECT_TRUE(calls.size() >= 100 && calls.size() <= 103 && calls.back() == 1000 &&
              std::is_sorted(calls.begin(), calls.end()));
  EXPECT_FALSE(ReadSpanRates(dir.File("missing.rtd"), 0, 1, span, error));
  EXPECT_NE(error.find("missing.rtd"), std::string::npos);
}

// A computation asked to stop ends with no points (a window drops it).
TEST(Allan, CancelledComputationEndsEarly) {
  std::vector<float> rates(20000);
  for (std::size_t i = 0; i < rates.size(); ++i) rates[i] = (i * 7919 % 101) * 1e-4f;
  std::atomic<bool> cancel{true};
  TAllanOptions options;
  options.Cancel = &cancel;
  EXPECT_TRUE(ComputeAllan(rates.data(), rates.size(), 0.1, options).Points.empty());
  cancel = false;
  EXPECT_EQ(ComputeAllan(rates.data(), rates.size(), 0.1, options).Points.size(), 14u);
}

}  // namespace
