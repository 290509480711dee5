#include <gtest/gtest.h>

#include <cmath>

#include "processing/Averrmsstatic.h"

namespace {

TEST(AverRmsStaticSpan, BoundsAreInclusiveAndLaterPointsStopCollection) {
  TAverRmsStatic s;
  s.Begin = 10.0;
  s.End = 12.0;
  s.AddPoint(9.99f, 100.0f, 0.0f);  // before Begin: dropped
  s.AddPoint(10.0f, 1.0f, 20.0f);
  s.AddPoint(11.0f, 2.0f, 21.0f);
  s.AddPoint(12.0f, 4.0f, 23.0f);
  EXPECT_FALSE(s.Past);
  s.AddPoint(12.01f, 100.0f, 0.0f);  // after End: sets Past
  EXPECT_TRUE(s.Past);
  s.AddPoint(11.5f, 100.0f, 0.0f);  // ignored once Past is set
  ASSERT_EQ(s.Points.size(), 3u);

  ASSERT_TRUE(s.Compute());
  EXPECT_DOUBLE_EQ(s.Mean, 7.0 / 3.0);
  EXPECT_DOUBLE_EQ(s.TempMean, 64.0 / 3.0);
  const double m = 7.0 / 3.0;
  EXPECT_DOUBLE_EQ(s.Rms, std::sqrt(((1 - m) * (1 - m) + (2 - m) * (2 - m) + (4 - m) * (4 - m)) / 3));
  EXPECT_TRUE(s.Points.empty());
  EXPECT_FALSE(s.Past);
}

TEST(AverRmsStaticSpan, FewerThanThreePointsGiveZeros) {
  TAverRmsStatic s;
  s.Begin = 0;
  s.End = 1;
  // Results of an earlier span must not survive a failed one.
  for (float t : {0.1f, 0.2f, 0.3f}) s.AddPoint(t, 5.0f + t, 30.0f);
  ASSERT_TRUE(s.Compute());
  ASSERT_GT(s.Mean, 0.0);

  s.AddPoint(0.5f, 3.0f, 25.0f);
  s.AddPoint(0.6f, 5.0f, 25.0f);
  s.AddPoint(2.0f, 5.0f, 25.0f);
  ASSERT_TRUE(s.Past);
  EXPECT_FALSE(s.Compute());
  EXPECT_EQ(s.Mean, 0.0);
  EXPECT_EQ(s.Rms, 0.0);
  EXPECT_EQ(s.TempMean, 0.0);
  EXPECT_TRUE(s.Points.empty());
  EXPECT_FALSE(s.Past);

  EXPECT_FALSE(s.Compute());  // empty span
}

TEST(AverRmsStaticSpan, ReusesItsStorage) {
  TAverRmsStatic s;
  s.Reserve(5000);
  const auto capacity = s.Points.capacity();
  const auto* data = s.Points.data();
  s.End = 1e9;
  for (int run = 0; run < 3; ++run) {
    for (int i = 0; i < 5000; ++i) s.AddPoint(static_cast<float>(i), (i % 2) ? 1.0f : -1.0f, 0.0f);
    ASSERT_TRUE(s.Compute());
    EXPECT_EQ(s.Mean, 0.0);
    EXPECT_EQ(s.Rms, 1.0);
    EXPECT_EQ(s.Points.capacity(), capacity);
    EXPECT_EQ(s.Points.data(), data);
  }
}

}  // namespace
