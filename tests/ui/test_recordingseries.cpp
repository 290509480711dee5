// The recording store of the chart: the running average it replays is the
// engine's to the bit, its span statistics from sums by block agree with the
// point-by-point calculation, and it stays within its memory budget.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

#include "RecordingData.h"
#include "processing/Averrmsstatic.h"

namespace {

// Every point of the span offered in time order, as f32, to TAverRmsStatic.
TAverRmsStatic PointByPoint(const TRecordingData& d, double factor, double begin, double end) {
  TAverRmsStatic s;
  s.Begin = begin;
  s.End = end;
  std::vector<SamplePoint> sorted = d.records;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const SamplePoint& a, const SamplePoint& b) { return a.Time < b.Time; });
  for (const SamplePoint& p : sorted) {
    s.AddPoint(p.Time, static_cast<float>(static_cast<double>(p.Rate) * factor), p.Temperature);
    if (s.Past) break;
  }
  s.Compute();
  return s;
}

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

void ExpectClose(double expected, double actual, const char* what) {
  if (!std::isfinite(expected))
    EXPECT_TRUE(Same(expected, actual)) << what << ": " << actual;
  else
    EXPECT_LE(std::fabs(actual - expected), 1e-12 * std::fabs(expected)) << what << ": " << actual;
}

TEST(RecordingSeries, TheReplayedAverageIsTheEnginesInBothOrders) {
  for (const auto& [swaps, infinityAt] : {std::pair{0, -1}, {25, -1}, {0, 5000}}) {
    // A window of 625 records: laps of the engine's ring end inside blocks.
    TRecordingData d = TRecordingData::Make(20000, 0.01, 0.003, 5, 3, swaps);
    if (infinityAt >= 0) {
      d.records[infinityAt].Rate = std::numeric_limits<float>::infinity();
      d.Replay();
    }
    const auto store = d.Store(3600.0);
    ASSERT_EQ(store->Size(), 20000);
    std::vector<std::size_t> order(d.records.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return d.records[a].Time < d.records[b].Time; });
    int wrong = 0;
    for (std::int64_t i = 0; i < store->Size(); ++i) {
      const SamplePoint& p = d.records[order[i]];
      wrong += store->Key(i) != p.Time ||
               !Same(store->Value(TRecordingSeries::Average, i), d.averages[order[i]] * 3600.0) ||
               !Same(store->Value(TRecordingSeries::Rate, i), static_cast<double>(p.Rate) * 3600.0) ||
               store->Value(TRecordingSeries::Temperature, i) != p.Temperature;
    }
    EXPECT_EQ(wrong, 0) << swaps << " swaps";
  }
}

TEST(RecordingSeries, SpanStatisticsAgreeWithThePointByPointCalculation) {
  struct {
    const char* name;
    double bias, noise;
    int swaps, infinityAt;
  } const cases[] = {
      {"noise about zero", 0.0, 1.0, 0, -1},
      // A large bias under little noise is where a plain sum of squares
      // would lose every digit of the RMS.
      {"earth rate, quiet gyro", 0.0041780741, 1e-7, 0, -1},
      {"times out of order", 0.003, 0.002, 30, -1},
      {"an infinite rate", 0.003, 0.002, 0, 31000},
  };
  for (const auto& c : cases) {
    TRecordingData d = TRecordingData::Make(50000, c.bias, c.noise, 3, 11, c.swaps);
    if (c.infinityAt >= 0) {
      d.records[c.infinityAt].Rate = std::numeric_limits<float>::infinity();
      d.Replay();
    }
    const auto store = d.Store(3600.0);
    const double last = 50000 * 0.008;
    const std::pair<double, double> spans[] = {{-1.0, last + 1.0},
                                               {last / 4, last * 3 / 4},
                                               {100.004, 100.5},
                                               {2.0481, 2.0481 + 256 * 0.008},
                                               {1.0, 1.0 + 3 * 0.008}};
    for (double factor : {3600.0, 1.0}) {
      store->SetRateFactor(factor);
      for (const auto& [begin, end] : spans) {
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(begin) + " .. " + std::to_string(end) +
                     " factor " + std::to_string(factor));
        const TAverRmsStatic expected = PointByPoint(d, factor, begin, end);
        TAverRmsStatic actual;
        EXPECT_TRUE(store->SpanStatistics(begin, end, actual));
        ExpectClose(expected.Mean, actual.Mean, "mean");
        ExpectClose(expected.Rms, actual.Rms, "rms");
        ExpectClose(expected.TempMean, actual.TempMean, "temperature");
      }
    }
  }
  // Two points give zeros, three their statistics.
  const auto store = TRecordingData::Make(3000, 0.003, 0.002, 1, 5).Store(1.0);
  TAverRmsStatic s;
  EXPECT_FALSE(store->SpanStatistics(0.0081, 0.0241, s));
  EXPECT_EQ(s.Mean + s.Rms, 0);
  EXPECT_TRUE(store->SpanStatistics(0.0079, 0.0241, s));
}

TEST(RecordingSeries, AboutTwelveAndAHalfBytesPerRecord) {
  const auto store = TRecordingData::Make(100000, 0.003, 0.002, 50, 2).Store(3600.0);
  EXPECT_LE(store->MemoryBytes(), 13u * 100000u);
  EXPECT_GE(store->MemoryBytes(), 12u * 100000u);
  double keyLow, keyHigh, low, high;
  ASSERT_TRUE(store->Extent(TRecordingSeries::Rate, keyLow, keyHigh, low, high));
  EXPECT_FLOAT_EQ(static_cast<float>(keyLow), 0.008f);
  EXPECT_FLOAT_EQ(static_cast<float>(keyHigh), 800.0f);
  EXPECT_GT(high, 400 * 0.002 * 3600 * 0.9) << "the spikes are in the extent";
}

}  // namespace
