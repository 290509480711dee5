#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "files/Openf.h"

namespace {

struct Capture : TOpenFileSink {
  std::string ident;
  std::int64_t max = -1;
  std::vector<std::int64_t> progress;
  std::vector<TChartRecord> records;
  bool finished = false;
  void LoadStarted(const std::string& i, std::int64_t m) override {
    ident = i;
    max = m;
  }
  void LoadProgress(std::int64_t r) override { progress.push_back(r); }
  void LoadRecords(const TChartRecord* r, std::size_t n) override { records.insert(records.end(), r, r + n); }
  void LoadFinished() override { finished = true; }
};

class OpenFile : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = std::make_unique<TOpenFile>();
    file_->RecordingName = dir_ + "/run.rtd";
  }

  void Write(float sample, const std::vector<SamplePoint>& recs, bool header = true) {
    Bytes b = header ? RecordingHeader(sample) : HeaderlessRecording(sample);
    for (const auto& r : recs) AddRecord(b, r.Time, r.Rate, r.Temperature);
    WriteBytes(file_->RecordingName, b);
  }

  TTempDir tmp_;
  std::string dir_ = tmp_.Path();
  std::unique_ptr<TOpenFile> file_;
  Capture sink_;
};

TEST_F(OpenFile, ImplausibleTemperaturesAreChartedAsTheLastPlausibleOne) {
  Write(10, {{0.1f, 0, 120.0f}, {0.2f, 0, 25.0f}, {0.3f, 0, 150.0f}, {0.4f, 0, -60.0f},
             {0.5f, 0, 100.0f}, {0.6f, 0, 99.5f}, {0.7f, 0, -59.5f}});
  ASSERT_EQ(file_->Load(sink_), TLoadResult::Loaded);
  std::vector<double> t;
  for (const auto& r : sink_.records) t.push_back(r.Temperature);
  EXPECT_EQ(t, (std::vector<double>{0, 25, 25, 25, 25, 99.5, -59.5}));
  // The engine still gets the values as read.
  EXPECT_FLOAT_EQ(file_->AverageEngine.LastPoint.Temperature, -59.5f);
}

TEST_F(OpenFile, NaNRecordsAreLeftOutOfEverything) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Write(10, {{0.1f, 1.0f, 20}, {0.2f, nan, 20}, {0.3f, 3.0f, 20}, {nan, 5.0f, 20}, {0.5f, 5.0f, nan}});
  file_->UnitsPerSecond = true;
  ASSERT_EQ(file_->Load(sink_), TLoadResult::Loaded);
  ASSERT_EQ(sink_.records.size(), 2u);
  EXPECT_EQ(sink_.records[1].Time, static_cast<double>(0.3f));
  EXPECT_DOUBLE_EQ(sink_.records[1].Average, 2.0);  // mean of 1 and 3
  EXPECT_EQ(sink_.max, 5);
}

TEST_F(OpenFile, RatesInDegreesPerHourOrPerSecond) {
  Write(10, {{0.1f, 0.5f, 20}, {0.2f, 1.5f, 20}});
  ASSERT_EQ(file_->Load(sink_), TLoadResult::Loaded);
  EXPECT_DOUBLE_EQ(sink_.records[0].Rate, 1800.0);
  EXPECT_DOUBLE_EQ(sink_.records[1].Average, 3600.0);
  Capture perSecond;
  file_->UnitsPerSecond = true;
  ASSERT_EQ(file_->Load(perSecond), TLoadResult::Loaded);
  EXPECT_DOUBLE_EQ(perSecond.records[1].Rate, 1.5);
  EXPECT_DOUBLE_EQ(perSecond.records[1].Average, 1.0);
}

TEST_F(OpenFile, TheRecordingsOwnSampleSetsTheAveragingWindow) {
  std::vector<SamplePoint> recs;
  for (int i = 1; i <= 50; ++i) recs.push_back({i * 0.5f, static_cast<float>(i), 25});
  Write(2.9f, recs);  // Sample 2: window 2 x MeanTime
  file_->MeanTime = 10;
  file_->Sample = 125;
  ASSERT_EQ(file_->Load(sink_), TLoadResult::Loaded);
  EXPECT_EQ(file_->Sample, 2);
  EXPECT_EQ(file_->AverageEngine.Window, 20);
  ASSERT_EQ(sink_.records.size(), 50u) << "a short recording charts every record";
  EXPECT_DOUBLE_EQ(sink_.records[49].Average, (31 + 50) / 2.0 * 3600.0);
  EXPECT_EQ(file_->FormatVersion, 6);
  EXPECT_EQ(sink_.ident, "VRDT40-123.456-00042");
  EXPECT_TRUE(sink_.progress.empty());
  EXPECT_TRUE(sink_.finished);
}

TEST_F(OpenFile, ProgressAboutAHundredTimesAndHeaderlessFiles) {
  std::vector<SamplePoint> recs(1234, SamplePoint{1, 0, 20});
  Write(99.9f, recs, false);
  ASSERT_EQ(file_->Load(sink_), TLoadResult::Loaded);
  EXPECT_EQ(sink_.ident, "VRDT40-000.000-00000");
  EXPECT_EQ(file_->FormatVersion, 0);
  EXPECT_EQ(file_->Sample, 99);
  EXPECT_EQ(sink_.progress.size(), 102u);  // every 12 records
  EXPECT_EQ(sink_.progress.front(), 12);
}

TEST_F(OpenFile, MissingAndUnreadableFiles) {
  EXPECT_EQ(file_->Load(sink_), TLoadResult::Missing);
  EXPECT_FALSE(file_->Loaded);
  EXPECT_EQ(sink_.max, -1) << "nothing happened";

  Write(std::numeric_limits<float>::quiet_NaN(), {{1, 1, 1}});
  EXPECT_EQ(file_->Load(sink_), TLoadResult::Unreadable);
  EXPECT_NE(file_->Error().find("sample value"), std::string::npos);
  EXPECT_FALSE(file_->Loaded);

  file_->RecordingName = dir_;
  EXPECT_EQ(file_->Load(sink_), TLoadResult::Unreadable);

  file_->Reset();
  EXPECT_EQ(file_->RecordingName, "");
  EXPECT_EQ(file_->FormatVersion, 0);
}

}  // namespace

TEST_F(OpenFile, ACancelStopsTheReadingWithinABatch) {
  std::vector<SamplePoint> recs(3 * TOpenFile::BatchSize, SamplePoint{1, 0, 20});
  Write(100.0f, recs);
  std::atomic<bool> cancel{true};
  file_->Cancel = &cancel;
  EXPECT_EQ(file_->Load(sink_), TLoadResult::Cancelled);
  EXPECT_FALSE(file_->Loaded);
  EXPECT_TRUE(sink_.finished);
  EXPECT_LE(sink_.records.size(), TOpenFile::BatchSize);
  cancel = false;
  sink_ = Capture{};
  EXPECT_EQ(file_->Load(sink_), TLoadResult::Loaded);
  EXPECT_EQ(sink_.records.size(), recs.size());
}
