#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "processing/Generalquantities.h"

namespace {

TOptionProgramm Params(float driftTime = 100.0f, float walkTime = 10.0f, int passband = 50,
                       double earthRate = 11.78) {
  TOptionProgramm s;
  s.DriftTime = driftTime;
  s.RandomWalkTime = walkTime;
  s.Passband = passband;
  s.EarthRate = earthRate;
  return s;
}

void Start(TGeneralQuant& q, const TOptionProgramm& s, double begin, double end) {
  q.SetSettings(s);
  q.Begin = begin;
  q.End = end;
}

void ComputeAll(TGeneralQuant& q) {
  q.ComputeMean();
  q.ComputeDrift();
  q.ComputeRandomWalk();
}

// Records every `step` seconds over [from, to] with rate(t) in deg/h.
template <typename F>
void Feed(TGeneralQuant& q, double from, double to, double step, F rateAt) {
  for (long i = 0;; ++i) {
    const double t = from + i * step;
    if (t > to + 1e-9) break;
    q.AddPoint(static_cast<float>(t), static_cast<float>(rateAt(t) / 3600.0), 20.0f);
    if (q.Past) break;
  }
}

// The calculation written out plainly over a vector of (time, deg/h) pairs.
struct Reference {
  double mean = 0, bias = 0, drift = 0, walk = 0;
  bool driftValid = false, walkValid = false;
};

Reference Compute(const std::vector<SamplePoint>& pts, double begin, double end, float td,
                  float tr, int passband, double earth) {
  Reference r;
  if (pts.empty()) return r;
  long double sum = 0;
  for (const auto& p : pts) sum += p.Rate;
  r.mean = static_cast<double>(sum / pts.size());
  r.bias = r.mean - (r.mean > 0 ? earth : r.mean < 0 ? -earth : 0.0);

  if (3.0f * td < static_cast<long double>(end) - begin && std::trunc(td) >= 1) {
    long double boundary = std::trunc(td), segSum = 0, sq = 0;
    long count = 0, n = 0;
    for (const auto& p : pts) {
      if (p.Time >= begin + boundary) {
        boundary = std::trunc(boundary + td);
        if (count > 0) {
          const long double d = segSum / count - r.mean;
          sq += d * d;
          ++n;
        }
        segSum = 0;
        count = 0;
      }
      segSum += p.Rate;
      ++count;
    }
    if (n > 0) {
      r.drift = static_cast<double>(std::sqrt(sq / n));
      r.driftValid = true;
    }
  }

  if (10.0f * tr < static_cast<long double>(end) - begin && std::trunc(tr) >= 1 && passband > 0) {
    long double boundary = std::trunc(tr), largest = 0;
    std::size_t s = 0;
    bool any = false;
    for (std::size_t i = 0; i < pts.size(); ++i) {
      if (pts[i].Time >= begin + boundary) {
        boundary = std::trunc(boundary + tr);
        if (i > s) {
          long double segSum = 0;
          for (std::size_t j = s; j < i; ++j) segSum += pts[j].Rate;
          const long double m = segSum / (i - s);
          long double sq = 0;
          for (std::size_t j = s; j < i; ++j) sq += (pts[j].Rate - m) * (pts[j].Rate - m);
          largest = std::max(largest, std::sqrt(sq / (i - s)));
          any = true;
        }
        s = i;
      }
    }
    if (any) {
      r.walk = static_cast<double>(largest / (std::sqrt(static_cast<long double>(passband)) * 60));
      r.walkValid = true;
    }
  }
  return r;
}

TEST(GeneralQuantPoints, SpanNanAndUnit) {
  TGeneralQuant q;
  Start(q, Params(), 10.0, 20.0);
  q.AddPoint(9.5f, 1.0f, 20.0f);  // before Begin
  q.AddPoint(10.0f, 1.0f / 3600.0f, 21.0f);
  q.AddPoint(15.0f, std::nanf(""), 20.0f);
  q.AddPoint(std::nanf(""), 1.0f, 20.0f);
  q.AddPoint(16.0f, 1.0f, std::nanf(""));
  EXPECT_TRUE(std::isnan(q.CurPoint.Temperature));
  q.AddPoint(20.0f, 0.5f, 22.0f);
  EXPECT_FALSE(q.Past);
  q.AddPoint(20.5f, 0.5f, 22.0f);
  EXPECT_TRUE(q.Past);
  EXPECT_EQ(q.CurPoint.Time, 20.5f);
  EXPECT_EQ(q.CurPoint.Rate, 0.5f);  // as offered, deg/s
  ASSERT_EQ(q.Points.size(), 2u);
  EXPECT_EQ(q.Points[0].Time, 10.0f);
  EXPECT_EQ(q.Points[0].Rate, (1.0f / 3600.0f) * 3600.0f);  // single-precision product
  EXPECT_EQ(q.Points[0].Temperature, 21.0f);
  EXPECT_EQ(q.Points[1].Rate, 1800.0f);
}

TEST(GeneralQuantMean, BiasRemovesEarthRateWithTheSignOfTheMean) {
  TGeneralQuant q;
  struct Case {
    double mean, bias;
  } cases[] = {{-5.0, 6.78}, {15.0, 3.22}, {0.0, 0.0}, {-0.0, 0.0}};
  for (const Case& c : cases) {
    Start(q, Params(), 0, 100);
    Feed(q, 0, 100, 1, [&](double) { return c.mean; });
    q.ComputeMean();
    EXPECT_NEAR(q.MeanRate, c.mean, 1e-5);
    EXPECT_NEAR(q.BiasError, c.bias, 1e-5) << c.mean;
  }
  // Exactly representable mean: -5 deg/h gives -5 + 11.78.
  Start(q, Params(), 0, 10);
  for (int i = 0; i <= 10; ++i) q.AddPoint(static_cast<float>(i), -5.0f / 3600.0f, 20.0f);
  q.ComputeMean();
  EXPECT_EQ(q.MeanRate, -5.0);
  EXPECT_EQ(q.BiasError, -5.0 + 11.78);
  // Zero mean: the bias is the mean itself.
  Start(q, Params(), 0, 10);
  q.AddPoint(1.0f, 1.0f / 3600.0f, 20.0f);
  q.AddPoint(2.0f, -1.0f / 3600.0f, 20.0f);
  q.ComputeMean();
  EXPECT_EQ(q.MeanRate, 0.0);
  EXPECT_EQ(q.BiasError, 0.0);
}

TEST(GeneralQuantValidity, SpanMustExceedThreeDriftAndTenWalkTimes) {
  TGeneralQuant q;
  auto noisy = [](double t) { return 10.0 + std::sin(t * 0.7) + 0.3 * std::cos(t * 13.1); };
  struct Case {
    double end;
    bool drift, walk;
  } cases[] = {{300.0, false, true}, {300.5, true, true}, {100.0, false, false},
               {100.001, false, true}, {250.0, false, true}};
  for (const Case& c : cases) {
    Start(q, Params(100.0f, 10.0f), 0, c.end);
    Feed(q, 0, c.end, 0.1, noisy);
    ComputeAll(q);
    EXPECT_EQ(q.DriftValid, c.drift) << c.end;
    EXPECT_EQ(q.WalkValid, c.walk) << c.end;
    if (c.drift) {
      EXPECT_GT(q.DriftError, 0.0);
    }
    if (c.walk) {
      EXPECT_GT(q.RandomWalk, 0.0);
    }
  }
}

TEST(GeneralQuantDrift, BoundariesStayWholeSeconds) {
  // Segments [0,100), [100,200), [200,300) with their own constant rates;
  // boundaries at 100.7, 201.4, ... would mix them.
  auto rate = [](double t) { return t < 100 ? 2.0 : t < 200 ? 6.0 : t < 300 ? 1.0 : 40.0; };
  TGeneralQuant q;
  Start(q, Params(100.7f, 10.0f), 0, 350);
  Feed(q, 0, 350, 1, rate);
  ComputeAll(q);
  ASSERT_TRUE(q.DriftValid);
  const double mean = (100 * 2.0 + 100 * 6.0 + 100 * 1.0 + 51 * 40.0) / 351;
  EXPECT_NEAR(q.MeanRate, mean, 1e-9);
  const double a = 2 - mean, b = 6 - mean, c = 1 - mean;
  EXPECT_NEAR(q.DriftError, std::sqrt((a * a + b * b + c * c) / 3), 1e-9);
  // Constant within every closed random-walk segment.
  ASSERT_TRUE(q.WalkValid);
  EXPECT_EQ(q.RandomWalk, 0.0);

  // The validity test uses the time itself: 3 x 100.7 = 302.1.
  Start(q, Params(100.7f, 10.0f), 0, 302);
  Feed(q, 0, 302, 1, rate);
  ComputeAll(q);
  EXPECT_FALSE(q.DriftValid);
  Start(q, Params(100.7f, 10.0f), 0, 302.2);
  Feed(q, 0, 302.2, 1, rate);
  ComputeAll(q);
  EXPECT_TRUE(q.DriftValid);
}

TEST(GeneralQuantDrift, ConstantRateGivesZeros) {
  TGeneralQuant q;
  Start(q, Params(), 0, 1000);
  Feed(q, 0, 1000, 0.008, [](double) { return 7.0; });
  ComputeAll(q);
  EXPECT_EQ(q.MeanRate, 7.0);
  ASSERT_TRUE(q.DriftValid);
  ASSERT_TRUE(q.WalkValid);
  EXPECT_EQ(q.DriftError, 0.0);
  EXPECT_EQ(q.RandomWalk, 0.0);
}

TEST(GeneralQuantWalk, LargestSegmentScatterOverBandwidth) {
  // +-1 deg/h alternating in [10,20), +-3 in [20,30), steady elsewhere.
  auto rate = [](double t) {
    const double sign = (static_cast<long>(std::lround(t * 10)) % 2) ? 1.0 : -1.0;
    if (t >= 10 && t < 20) return sign;
    if (t >= 20 && t < 30) return 3 * sign;
    return 0.0;
  };
  TGeneralQuant q;
  Start(q, Params(100.0f, 10.0f, 50), 0, 120);
  Feed(q, 0, 120, 0.1, rate);
  ComputeAll(q);
  ASSERT_TRUE(q.WalkValid);
  EXPECT_NEAR(q.RandomWalk, 3.0 / (std::sqrt(50.0) * 60.0), 1e-9);
  Start(q, Params(100.0f, 10.0f, 2), 0, 120);
  Feed(q, 0, 120, 0.1, rate);
  ComputeAll(q);
  EXPECT_NEAR(q.RandomWalk, 3.0 / (std::sqrt(2.0) * 60.0), 1e-9);
}

TEST(GeneralQuantOpenCases, EmptySpansShortTimesAndEmptySegments) {
  TGeneralQuant q;
  // No record in the span.
  Start(q, Params(), 5000, 9000);
  Feed(q, 0, 100, 1, [](double) { return 3.0; });
  ComputeAll(q);
  EXPECT_EQ(q.MeanRate, 0.0);
  EXPECT_EQ(q.BiasError, 0.0);
  EXPECT_FALSE(q.DriftValid);
  EXPECT_FALSE(q.WalkValid);

  // Times without a whole second, or a bandwidth of 0.
  Start(q, Params(0.9f, 0.5f), 0, 100);
  Feed(q, 0, 100, 0.1, [](double t) { return t; });
  ComputeAll(q);
  EXPECT_FALSE(q.DriftValid);
  EXPECT_FALSE(q.WalkValid);
  Start(q, Params(10.0f, 1.0f, 0), 0, 100);
  Feed(q, 0, 100, 0.1, [](double t) { return t; });
  ComputeAll(q);
  EXPECT_TRUE(q.DriftValid);
  EXPECT_FALSE(q.WalkValid);

  // Records only inside the first segment: nothing closes.
  Start(q, Params(100.0f, 10.0f), 0, 1000);
  Feed(q, 0, 9.5, 0.5, [](double t) { return t; });
  ComputeAll(q);
  EXPECT_TRUE(std::isfinite(q.MeanRate));
  EXPECT_FALSE(q.DriftValid);
  EXPECT_FALSE(q.WalkValid);

}

TEST(GeneralQuantLifecycle, SetSettingsAndClearFreeThePoints) {
  TGeneralQuant q;
  Start(q, Params(), 0, 1e6);
  Feed(q, 0, 1000, 0.01, [](double t) { return t; });
  ComputeAll(q);
  ASSERT_TRUE(q.DriftValid);
  q.AddPoint(2e6f, 0.0f, 0.0f);
  ASSERT_TRUE(q.Past);
  EXPECT_GT(q.Points.MemoryBytes(), 0u);

  q.Clear();
  EXPECT_EQ(q.Points.size(), 0u);
  EXPECT_EQ(q.Points.MemoryBytes(), 0u);
  EXPECT_FALSE(q.Past);
  EXPECT_FALSE(q.DriftValid);
  EXPECT_FALSE(q.WalkValid);
  EXPECT_GT(q.MeanRate, 0.0);  // results stay readable

  q.SetSettings(Params(50.0f));
  EXPECT_EQ(q.DriftTime, 50.0f);
  EXPECT_EQ(q.Points.size(), 0u);
}

TEST(GeneralQuantLifecycle, StorageStaysNearTwelveBytesPerRecord) {
  auto q = std::make_unique<TGeneralQuant>();
  Start(*q, Params(), 0, 1e9);
  const std::size_t n = 3'000'001;
  for (std::size_t i = 0; i < n; ++i) q->AddPoint(static_cast<float>(i) * 0.008f, 1.0f, 20.0f);
  ASSERT_EQ(q->Points.size(), n);
  EXPECT_LE(q->Points.MemoryBytes(), 16 * n);
  EXPECT_EQ(q->Points[n - 1].Time, static_cast<float>(n - 1) * 0.008f);

  Start(*q, Params(), 0, 1e9);
  q->Reserve(n);
  const std::size_t reserved = q->Points.MemoryBytes();
  for (std::size_t i = 0; i < n; ++i) q->AddPoint(static_cast<float>(i), 1.0f, 20.0f);
  EXPECT_EQ(q->Points.MemoryBytes(), reserved);
  EXPECT_LE(reserved, 13 * n);
}

TEST(GeneralQuantReference, LongRunMatchesThePlainComputation) {
  // 125 Hz for 50 minutes: noise, a slow drift, a temperature step and a
  // 250 s gap in the data, over a span that starts inside the recording.
  std::mt19937 gen(7);
  std::normal_distribution<float> noise(0.0f, 2e-4f);
  const double begin = 33.3, end = 2950.0;
  const float td = 100.7f, tr = 10.0f;
  auto q = std::make_unique<TGeneralQuant>();
  Start(*q, Params(td, tr, 50, 11.78), begin, end);
  std::vector<SamplePoint> inSpan;
  for (long i = 0; i < 125L * 3000; ++i) {
    const float t = static_cast<float>(i / 125.0);
    if (t > 1200 && t < 1450) continue;
    const float r = 0.003f + 1e-6f * t + noise(gen);
    q->AddPoint(t, r, 25.0f);
    if (q->Past) break;
    if (t >= begin && t <= end) inSpan.push_back({t, r * 3600.0f, 25.0f});
  }
  ComputeAll(*q);
  const Reference ref = Compute(inSpan, begin, end, td, tr, 50, 11.78);
  ASSERT_EQ(q->Points.size(), inSpan.size());
  EXPECT_DOUBLE_EQ(q->MeanRate, ref.mean);
  EXPECT_DOUBLE_EQ(q->BiasError, ref.bias);
  ASSERT_TRUE(ref.driftValid);
  ASSERT_TRUE(ref.walkValid);
  EXPECT_TRUE(q->DriftValid);
  EXPECT_TRUE(q->WalkValid);
  EXPECT_DOUBLE_EQ(q->DriftError, ref.drift);
  EXPECT_DOUBLE_EQ(q->RandomWalk, ref.walk);
  EXPECT_GT(q->DriftError, 0.0);
  EXPECT_GT(q->RandomWalk, 0.0);

  // Records that start late: the first one closes an empty segment, which
  // is skipped.
  Start(*q, Params(100.0f, 10.0f), 0, 1000);
  inSpan.clear();
  for (double t = 150; t <= 1000; t += 0.5) {
    const float r = static_cast<float>(std::fmod(t, 37.0) / 3600.0);
    q->AddPoint(static_cast<float>(t), r, 20.0f);
    inSpan.push_back({static_cast<float>(t), r * 3600.0f, 20.0f});
  }
  ComputeAll(*q);
  const Reference late = Compute(inSpan, 0, 1000, 100.0f, 10.0f, 50, 11.78);
  EXPECT_DOUBLE_EQ(q->DriftError, late.drift);
  EXPECT_DOUBLE_EQ(q->RandomWalk, late.walk);
}

}  // namespace
