// The recording store of the chart: the running average it replays is the
// engine's to the bit, its zoom statistics from sums by block agree with
// the point-by-point calculation, and it stays within its memory budget.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>

#include "RecordingData.h"
#include "processing/Averrmsstatic.h"
#include "ui/RecordingSeries.h"

namespace {

// The statistics as the chart computed them before the store: every point
// of the span offered, as f32, to TAverRmsStatic.
TAverRmsStatic PointByPoint(const TRecordingData& d, double factor, double begin, double end) {
  TAverRmsStatic s;
  s.Begin = begin;
  s.End = end;
  std::vector<SamplePoint> sorted = d.records;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const SamplePoint& a, const SamplePoint& b) { return a.Time < b.Time; });
  for (const SamplePoint& p : sorted) {
    if (p.Time < begin) continue;
    const double rate = static_cast<double>(p.Rate) * factor;
    const float r = rate > FLT_MAX    ? std::numeric_limits<float>::infinity()
                    : rate < -FLT_MAX ? -std::numeric_limits<float>::infinity()
                                      : static_cast<float>(rate);
    s.AddPoint(p.Time, r, p.Temperature);
    if (s.Past) break;
  }
  s.Compute();
  return s;
}

void ExpectClose(double expected, double actual, const char* what) {
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(actual)) << what;
    return;
  }
  EXPECT_LE(std::fabs(actual - expected), 1e-12 * std::fabs(expected)) << what << ": " << expected
                                                                       << " vs " << actual;
}

TEST(RecordingSeries, TheReplayedAverageIsTheEnginesInBothOrders) {
  for (int swaps : {0, 25}) {
    // A window of 625 records: laps of the engine's ring end inside blocks.
    const TRecordingData d = TRecordingData::Make(20000, 0.01, 0.003, 5, 3, swaps);
    const auto store = d.Store(3600.0);
    ASSERT_EQ(store->Size(), 20000);
    std::vector<std::size_t> order(d.records.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return d.records[a].Time < d.records[b].Time;
    });
    int wrong = 0;
    for (std::int64_t i = 0; i < store->Size(); ++i) {
      const std::size_t k = order[static_cast<std::size_t>(i)];
      if (store->Key(i) != d.records[k].Time ||
          store->Value(TRecordingSeries::Average, i) != d.averages[k] * 3600.0 ||
          store->Value(TRecordingSeries::Rate, i) != static_cast<double>(d.records[k].Rate) * 3600.0 ||
          store->Value(TRecordingSeries::Temperature, i) != d.records[k].Temperature)
        ++wrong;
    }
    EXPECT_EQ(wrong, 0) << swaps << " swaps";
  }
}

TEST(RecordingSeries, SpanStatisticsAgreeWithThePointByPointCalculation) {
  struct TCase {
    const char* name;
    double bias, noise;
    int swaps;
  };
  // A large bias under little noise is where a plain sum of squares would
  // lose every digit of the RMS.
  const TCase cases[] = {{"noise about zero", 0.0, 1.0, 0},
                         {"earth rate, quiet gyro", 0.0041780741, 1e-7, 0},
                         {"times out of order", 0.003, 0.002, 30}};
  for (const TCase& c : cases) {
    const TRecordingData d = TRecordingData::Make(50000, c.bias, c.noise, 3, 11, c.swaps);
    const auto store = d.Store(3600.0);
    const double last = 50000 * 0.008;
    const std::pair<double, double> spans[] = {
        {-1.0, last + 1.0}, {last / 4, last * 3 / 4}, {100.004, 100.5}, {2.0481, 2.0481 + 256 * 0.008},
        {1.0, 1.0 + 3 * 0.008}};
    for (double factor : {3600.0, 1.0}) {
      store->SetRateFactor(factor);
      for (const auto& [begin, end] : spans) {
        const TAverRmsStatic expected = PointByPoint(d, factor, begin, end);
        TAverRmsStatic actual;
        const bool ok = store->SpanStatistics(begin, end, actual);
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(begin) + " .. " + std::to_string(end) +
                     " factor " + std::to_string(factor));
        EXPECT_TRUE(ok);
        ExpectClose(expected.Mean, actual.Mean, "mean");
        ExpectClose(expected.Rms, actual.Rms, "rms");
        ExpectClose(expected.TempMean, actual.TempMean, "temperature");
        EXPECT_TRUE(actual.Points.empty());
      }
    }
  }
}

TEST(RecordingSeries, FewPointsAndInfinitiesTakeThePointByPointPath) {
  TRecordingData d = TRecordingData::Make(3000, 0.003, 0.002, 1, 5);
  TAverRmsStatic s;
  EXPECT_FALSE(d.Store(1.0)->SpanStatistics(0.0081, 0.0241, s)) << "two points";
  EXPECT_EQ(s.Mean, 0);
  EXPECT_EQ(s.Rms, 0);
  EXPECT_TRUE(d.Store(1.0)->SpanStatistics(0.0079, 0.0241, s)) << "three points";
  // An infinite rate: the same non-finite figures as point by point.
  TRecordingData inf = TRecordingData::Make(3000, 0.003, 0.002, 1, 5);
  inf.records[1000].Rate = std::numeric_limits<float>::infinity();
  {
    auto engine = std::make_unique<TFastAverageRms>();
    engine->Sample = 125;
    engine->MeanTime = 1;
    engine->Mode = 0;
    engine->Reset();
    for (std::size_t i = 0; i < inf.records.size(); ++i) {
      engine->AddSample(inf.records[i].Time, inf.records[i].Rate, inf.records[i].Temperature);
      inf.averages[i] = engine->Average;
    }
  }
  const auto store = inf.Store(3600.0);
  const TAverRmsStatic expected = PointByPoint(inf, 3600.0, 0, 30);
  ASSERT_TRUE(store->SpanStatistics(0, 30, s));
  EXPECT_EQ(s.Mean, expected.Mean);
  EXPECT_EQ(std::isnan(s.Rms), std::isnan(expected.Rms));
  EXPECT_EQ(store->Value(TRecordingSeries::Average, 2999), inf.averages[2999] * 3600.0);
}

TEST(RecordingSeries, AboutTwelveAndAHalfBytesPerRecord) {
  const TRecordingData d = TRecordingData::Make(100000, 0.003, 0.002, 50, 2);
  const auto store = d.Store(3600.0);
  EXPECT_LE(store->MemoryBytes(), 13u * 100000u);
  EXPECT_GE(store->MemoryBytes(), 12u * 100000u);
  double keyLow, keyHigh, low, high;
  ASSERT_TRUE(store->Extent(TRecordingSeries::Rate, keyLow, keyHigh, low, high));
  EXPECT_FLOAT_EQ(static_cast<float>(keyLow), 0.008f);
  EXPECT_FLOAT_EQ(static_cast<float>(keyHigh), 800.0f);
  EXPECT_GT(high, 400 * 0.002 * 3600 * 0.9) << "the spikes are in the extent";
}

}  // namespace
