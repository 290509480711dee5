#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "files/RecordingReader.h"

namespace {

Bytes CurrentHeader(float sample) { return RecordingHeader(sample, "VRDT40-123.456-00042"); }

class Reader : public ::testing::Test {
 protected:
  void Write(const Bytes& b) { WriteBytes(path_, b); }
  std::vector<SamplePoint> ReadAll(TRecordingReader& r) {
    std::vector<SamplePoint> out;
    SamplePoint p;
    while (r.Next(p)) out.push_back(p);
    return out;
  }
  TTempDir tmp_;
  std::string dir_ = tmp_.Path(), path_ = tmp_.File("run.rtd");
};

TEST_F(Reader, CurrentLayoutHeaderAndRecords) {
  Bytes b = CurrentHeader(99.9f);
  for (int i = 1; i <= 25; ++i) AddRecord(b, 0.1f * i, 0.5f, 25.0f);
  Write(b);
  TRecordingReader r;
  ASSERT_TRUE(r.Open(path_)) << r.Error();
  const TRecordingInfo& info = r.Info();
  EXPECT_EQ(info.FormatVersion, 6);
  EXPECT_EQ(info.Sample, 99);
  EXPECT_EQ(info.Ident, "VRDT40-123.456-00042");
  EXPECT_EQ(info.CompName, "benchpc");
  EXPECT_EQ(info.UserName, "anna");
  EXPECT_DOUBLE_EQ(info.Created, 46361.4375);
  EXPECT_EQ(info.DataLength, 300);
  EXPECT_EQ(info.RecordCount, 25);
  const auto recs = ReadAll(r);
  ASSERT_EQ(recs.size(), 25u);
  EXPECT_FLOAT_EQ(recs[24].Time, 2.5f);
  EXPECT_EQ(r.RecordsRead(), 25);
}

TEST_F(Reader, HeaderlessAndLowerCaseSignature) {
  Bytes b;
  PutAt(b, 0, 99.9f);
  for (int i = 1; i <= 3; ++i) AddRecord(b, i, -1.0f, 20.0f);
  Write(b);
  TRecordingReader r;
  ASSERT_TRUE(r.Open(path_));
  EXPECT_EQ(r.Info().FormatVersion, 0);
  EXPECT_EQ(r.Info().Sample, 99);
  EXPECT_EQ(r.Info().Ident, "VRDT40-000.000-00000");
  EXPECT_EQ(ReadAll(r).size(), 3u);

  // A headerless file beginning "vrdt": its sample value (about 7e31) fits
  // no integer setting, so the file is refused rather than misread.
  Bytes lower = HeaderlessRecording(0);
  std::memcpy(lower.data(), "vrdt", 4);
  for (int i = 1; i <= 3; ++i) AddRecord(lower, i, -1.0f, 20.0f);
  Write(lower);
  EXPECT_FALSE(r.Open(path_));
  EXPECT_EQ(r.Info().FormatVersion, 0);
  EXPECT_NE(r.Error().find("sample value"), std::string::npos);
}

// The header is recognised by the signature or by the version marker at
// byte 28: a device whose identification is not "VRDT..." still writes a
// full header. In a headerless file byte 28 is the third record's time.
TEST_F(Reader, LayoutBySignatureOrVersionMarker) {
  struct Case {
    const char* ident;
    std::uint32_t marker;
    int format;
  } cases[] = {
      {"VRDT40-123.456-00042", 24611, 6},
      {"FOG-2000 SN 0042", 24611, 6},
      {"vrdt40-000.000-00000", 24611, 6},
      {"VRDT40-000.000-00000", 0, 6},  // the signature alone is enough
  };
  for (const Case& c : cases) {
    Bytes b = RecordingHeader(10.0f, c.ident);
    PutAt(b, 28, c.marker);
    AddRecord(b, 0.1f, 0.5f, 25.0f);
    Write(b);
    TRecordingReader r;
    ASSERT_TRUE(r.Open(path_)) << c.ident;
    EXPECT_EQ(r.Info().FormatVersion, c.format) << c.ident;
    EXPECT_EQ(r.Info().Sample, 10) << c.ident;
    EXPECT_EQ(r.Info().Ident, c.ident);
    EXPECT_EQ(r.Info().RecordCount, 1) << c.ident;
  }
  // Headerless files: the third record's time sits at byte 28; ordinary
  // times never equal the marker's bit pattern.
  for (float third : {3.0f, 0.024f, 1e-30f}) {
    Bytes b = HeaderlessRecording(50.0f);
    AddRecord(b, 1.0f, 0.5f, 25.0f);
    AddRecord(b, 2.0f, 0.5f, 25.0f);
    AddRecord(b, third, 0.5f, 25.0f);
    Write(b);
    TRecordingReader r;
    ASSERT_TRUE(r.Open(path_));
    EXPECT_EQ(r.Info().FormatVersion, 0) << third;
    EXPECT_EQ(r.Info().Sample, 50);
    EXPECT_EQ(r.Info().RecordCount, 3);
  }
}

// Only regular files are recordings: a FIFO would block the reader forever.
TEST_F(Reader, RefusesFifosAndFolders) {
  const std::string fifo = tmp_.File("pipe.rtd");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, dir_}) {
    TRecordingReader r;
    EXPECT_FALSE(r.Open(path)) << path;
    EXPECT_TRUE(r.Exists());
    EXPECT_NE(r.Error().find(path), std::string::npos);
  }
}

TEST_F(Reader, ShortFilesTrailingFragmentsAndNegativeLengths) {
  Bytes b = CurrentHeader(10.0f);
  b.resize(500);  // shorter than a header: negative data length
  Write(b);
  TRecordingReader r;
  ASSERT_TRUE(r.Open(path_));
  EXPECT_EQ(r.Info().DataLength, -260);
  EXPECT_TRUE(ReadAll(r).empty());

  b = CurrentHeader(10.0f);
  AddRecord(b, 1, 2, 3);
  AddRecord(b, 4, 5, 6);
  b.push_back(0xAA);  // a torn record at the end is dropped
  b.push_back(0xBB);
  Write(b);
  ASSERT_TRUE(r.Open(path_));
  const auto recs = ReadAll(r);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_FLOAT_EQ(recs[1].Temperature, 6);

  Write({});  // empty file: headerless, sample 0, nothing to read
  ASSERT_TRUE(r.Open(path_));
  EXPECT_EQ(r.Info().Sample, 0);
  EXPECT_TRUE(ReadAll(r).empty());
}

TEST_F(Reader, TextFieldsNeverPastTheirWidth) {
  Bytes b = CurrentHeader(10.0f);
  std::memset(b.data(), 'X', 28);             // no terminator in the identification
  std::memcpy(b.data(), "VRDT", 4);
  std::memset(b.data() + 48, 'c', 255);       // nor in the computer name
  std::memset(b.data() + 303, 'u', 255);
  std::memset(b.data() + 558, 'r', 202);      // reserved bytes are not text
  Write(b);
  TRecordingReader r;
  ASSERT_TRUE(r.Open(path_));
  EXPECT_EQ(r.Info().Ident.size(), 28u);
  EXPECT_EQ(r.Info().CompName, std::string(255, 'c'));
  EXPECT_EQ(r.Info().UserName, std::string(255, 'u'));
}

TEST_F(Reader, UnreadableFilesSayWhy) {
  TRecordingReader r;
  EXPECT_FALSE(r.Open(dir_ + "/missing.rtd"));
  EXPECT_FALSE(r.Exists());
  EXPECT_NE(r.Error().find("No such file"), std::string::npos) << r.Error();
  EXPECT_FALSE(r.Open(dir_));
  EXPECT_TRUE(r.Exists());

  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                    3.0e9f, -3.0e9f}) {
    Write(CurrentHeader(bad));
    EXPECT_FALSE(r.Open(path_)) << bad;
    EXPECT_NE(r.Error().find("sample value"), std::string::npos);
    Bytes old;
    PutAt(old, 0, bad);
    Write(old);
    EXPECT_FALSE(r.Open(path_)) << bad;
  }
  Write(CurrentHeader(-2.9f));
  ASSERT_TRUE(r.Open(path_));
  EXPECT_EQ(r.Info().Sample, -2);
}

TEST_F(Reader, FileThatShrinksWhileReadEndsTheLoop) {
  Bytes b = CurrentHeader(125.0f);
  for (int i = 0; i < 20000; ++i) AddRecord(b, i * 0.008f, 0, 0);
  Write(b);
  TRecordingReader r;
  ASSERT_TRUE(r.Open(path_));
  SamplePoint p;
  ASSERT_TRUE(r.Next(p));
  ASSERT_EQ(::truncate(path_.c_str(), 760 + 12 * 10000 + 5), 0);
  std::int64_t n = 1;
  while (r.Next(p)) ++n;
  EXPECT_EQ(n, 10000);
}

TEST_F(Reader, RandomFilesAreSafe) {
  std::mt19937 rng(7);
  TRecordingReader r;
  for (int round = 0; round < 300; ++round) {
    Bytes b(rng() % 2000);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    if (round % 2 && b.size() >= 4) std::memcpy(b.data(), "VRDT", 4);
    Write(b);
    if (!r.Open(path_)) continue;
    EXPECT_LE(r.Info().Ident.size(), 28u);
    const auto recs = ReadAll(r);
    EXPECT_EQ(static_cast<std::int64_t>(recs.size()), r.Info().RecordCount);
  }
}

}  // namespace
