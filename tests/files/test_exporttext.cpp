#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "common/FileSizeLimit.h"
#include "common/TestFiles.h"
#include "files/ExportText.h"
#include "files/OleDate.h"

namespace {

std::string Field(float v, int width, int decimals) {
  char buf[128];
  char* end = WriteFixedField(buf, v, width, decimals);
  return std::string(buf, end);
}

std::string Printf(float v, int width, int decimals) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%-*.*f", width, decimals, static_cast<double>(v));
  return buf;
}

std::string Text(const std::string& path) {
  const Bytes b = ReadBytes(path);
  return {b.begin(), b.end()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl - at));
    at = nl == std::string::npos ? text.size() : nl + 1;
  }
  return lines;
}

const std::string kRule(58, '-');

// The three formats of the table against the C library, on floats of every
// magnitude and on values that lie exactly halfway between two outputs.
TEST(FixedField, SameBytesAsPrintf) {
  std::mt19937 rng(12345);
  const struct {
    int width, decimals;
  } formats[] = {{15, 4}, {20, 7}, {20, 6}};
  std::vector<float> values = {0.0f, -0.0f, 0.03125f, -0.03125f, 0.5f, 2.5f, 0.00005f, 1e-30f,
                               -1e-30f, 99999.99995f, 1e20f, -1e20f, FLT_MAX, -FLT_MAX,
                               FLT_MIN, std::numeric_limits<float>::denorm_min(), 8589934592.0f,
                               4294967296.5f, 12345678.0f, 0.00000005f, 0.00000015f};
  std::uniform_int_distribution<std::uint32_t> bits;
  std::uniform_real_distribution<float> rate(-1.0f, 1.0f), time(0.0f, 90000.0f), temp(-60.0f, 100.0f);
  std::uniform_int_distribution<int> tick(0, 2000000);
  for (int i = 0; i < 50000; ++i) {
    std::uint32_t b = bits(rng);
    float f;
    std::memcpy(&f, &b, sizeof f);
    if (std::isfinite(f)) values.push_back(f);
    values.push_back(rate(rng));
    values.push_back(time(rng));
    values.push_back(temp(rng));
    values.push_back(static_cast<float>(tick(rng)) * 0.1f);  // times of a 10 Hz run
    // Exact halves at the last decimal: k / 2^n.
    values.push_back(std::ldexp(static_cast<float>(tick(rng)), -(i % 12)));
  }
  int mismatches = 0;
  for (float v : values)
    for (const auto& f : formats)
      if (Field(v, f.width, f.decimals) != Printf(v, f.width, f.decimals) && ++mismatches < 10)
        ADD_FAILURE() << "value " << Printf(v, 0, 12) << " %-" << f.width << "." << f.decimals << "f";
  EXPECT_EQ(mismatches, 0);
}

TEST(FixedField, ExamplesAndValuesThatAreNoNumbers) {
  EXPECT_EQ(Field(12.5f, 15, 4), "12.5000        ");
  EXPECT_EQ(Field(-0.0123f, 20, 7), "-0.0123000          ");
  EXPECT_EQ(Field(std::nanf(""), 20, 7), "NAN                 ");
  EXPECT_EQ(Field(-std::nanf(""), 20, 6), "NAN                 ");
  EXPECT_EQ(Field(INFINITY, 15, 4), "INF            ");
  EXPECT_EQ(Field(-INFINITY, 20, 6), "-INF                ");
  // Wider than the field: never cut.
  EXPECT_EQ(Field(123456789012.0f, 15, 4), "123456790528.0000");
}

TEST(ExportNames, OnlyTheRightExtensionIsRemoved) {
  EXPECT_EQ(ExportBaseFromChosen("/d/data.txt"), "/d/data");
  EXPECT_EQ(ExportBaseFromChosen("/d/data.TXT"), "/d/data");
  EXPECT_EQ(ExportBaseFromChosen("/d/data.csv"), "/d/data.csv");
  EXPECT_EQ(ExportBaseFromChosen("ab"), "ab");
  EXPECT_EQ(ExportBaseFromRecording("/d/run1.rtd"), "/d/run1");
  EXPECT_EQ(ExportBaseFromRecording("/d/run1.RtD"), "/d/run1");
  EXPECT_EQ(ExportPartName("/d/data", 0), "/d/data.txt");
  EXPECT_EQ(ExportPartName("/d/data", 2), "/d/data_2.txt");
}

class Export : public ::testing::Test {
 protected:
  // Records at 0.1 s steps from 0.1 s, rate -0.0123, temperature 25.5.
  void Write(int records, bool header = true) {
    Bytes b = header ? RecordingHeader(10.0f) : HeaderlessRecording(99.9f);
    for (int i = 1; i <= records; ++i) AddRecord(b, static_cast<float>(i) * 0.1f, -0.0123f, 25.5f);
    WriteBytes(source_, b);
  }
  TExportJob Job() {
    TExportJob job;
    job.SourceName = source_;
    job.BaseName = tmp_.File("data");
    job.BeginTime = 0;
    job.EndTime = 1e9;
    job.Sample = 10;
    job.FormatVersion = 6;
    job.Now = OleDateFromLocal(2026, 12, 6, 9, 5);
    return job;
  }
  TTempDir tmp_;
  std::string source_ = tmp_.File("run1.rtd");
};

TEST_F(Export, HeaderAndLinesByteForByte) {
  Write(3);
  TExportJob job = Job();
  job.Rate = job.Temperature = true;
  const TExportResult r = RunTextExport(job);
  ASSERT_EQ(r.Status, TExportStatus::Complied) << r.Reason;
  EXPECT_EQ(r.Files, std::vector<std::string>{tmp_.File("data.txt")});
  EXPECT_EQ(Text(tmp_.File("data.txt")),
            "Source file: " + source_ + "\n"
            "Time create: 06.12.2026 09:05\n"
            "Sample: 10 \xC3\xF6\n"
            "Source file create: 05.12.2026 10:30 \n" +
                kRule + "\n"
                "Time, sec | Rate, \xB0/sec | Temperature, \xB0" "C | \n" +
                kRule + "\n"
                "0.1000         ;-0.0123000          ;25.500000           ;\n"
                "0.2000         ;-0.0123000          ;25.500000           ;\n"
                "0.3000         ;-0.0123000          ;25.500000           ;\n");
}

TEST_F(Export, ColumnsAndHeaderLinesFollowTheChoices) {
  Write(125, false);
  TExportJob job = Job();
  job.FormatVersion = 0;
  job.Temperature = true;
  job.BeginTime = job.EndTime = 12.5;
  ASSERT_EQ(RunTextExport(job).Status, TExportStatus::Complied);
  auto lines = Lines(Text(tmp_.File("data.txt")));
  ASSERT_EQ(lines.size(), 7u);  // no "Source file create: " line
  EXPECT_EQ(lines[2], "Sample: 10 \xC3\xF6");
  EXPECT_EQ(lines[4], "Time, sec | Temperature, \xB0" "C | ");
  EXPECT_EQ(lines[6], "12.5000        ;25.500000           ;");

  job.Temperature = false;
  ASSERT_EQ(RunTextExport(job).Status, TExportStatus::Complied);
  lines = Lines(Text(tmp_.File("data.txt")));
  EXPECT_EQ(lines[4], "Time, sec | ");
  EXPECT_EQ(lines[6], "12.5000        ;");
}

TEST_F(Export, WindowBoundsAreInclusiveAndTheFirstLaterTimeEndsIt) {
  Bytes b = RecordingHeader(10.0f);
  for (float t : {1.0f, 2.0f, 3.0f, 4.0f, 9.0f, 3.5f}) AddRecord(b, t, 0, 0);
  WriteBytes(source_, b);
  TExportJob job = Job();
  job.BeginTime = 2.0;
  job.EndTime = 4.0;
  const TExportResult r = RunTextExport(job);
  ASSERT_EQ(r.Status, TExportStatus::Complied);
  EXPECT_EQ(r.Lines, 3);
  const auto lines = Lines(Text(tmp_.File("data.txt")));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[7], "2.0000         ;");
  EXPECT_EQ(lines[9], "4.0000         ;");

  // A bound typed as 12.3 takes the record stored as 12.3 in single precision.
  Write(200);
  job.BeginTime = 12.3;
  job.EndTime = 12.5;
  EXPECT_EQ(RunTextExport(job).Lines, 3);
}

TEST_F(Export, ExcelSplitsEvery32000LinesWithTheHeaderInEachFile) {
  Write(70000);
  for (const bool excel : {true, false}) {
    TExportJob job = Job();
    job.Excel = excel;
    job.BaseName = tmp_.File(excel ? "data" : "whole");
    int updates = 0;
    const TExportResult r = RunTextExport(job, [&](std::int64_t, std::int64_t) { ++updates; });
    ASSERT_EQ(r.Status, TExportStatus::Complied);
    EXPECT_EQ(updates, 100);
    const std::vector<std::string> names = {"data.txt", "data_1.txt", "data_2.txt"};
    const std::vector<std::size_t> counts = excel ? std::vector<std::size_t>{32000, 32000, 6000}
                                                  : std::vector<std::size_t>{70000};
    ASSERT_EQ(r.Files.size(), counts.size());
    const std::string first = Text(r.Files[0]);
    const std::string header = first.substr(0, first.find("\n0.1000 ") + 1);
    for (std::size_t i = 0; i < counts.size(); ++i) {
      EXPECT_EQ(r.Files[i], tmp_.File(excel ? names[i] : "whole.txt"));
      const std::string text = Text(r.Files[i]);
      EXPECT_EQ(text.compare(0, header.size(), header), 0);
      EXPECT_EQ(Lines(text).size(), counts[i] + 7);
    }
    // The parts continue one another.
    if (excel) {
      EXPECT_EQ(Lines(Text(r.Files[2]))[7], Printf(64001 * 0.1f, 15, 4) + ";");
    }
  }
}

TEST_F(Export, ANanTimeEndsTheExportWithWhatWasWritten) {
  Bytes b = RecordingHeader(10.0f);
  AddRecord(b, 1.0f, 0.5f, std::nanf(""));
  AddRecord(b, std::nanf(""), 0, 0);
  AddRecord(b, 3.0f, 0, 0);
  WriteBytes(source_, b);
  TExportJob job = Job();
  job.Rate = job.Temperature = true;
  const TExportResult r = RunTextExport(job);
  EXPECT_EQ(r.Status, TExportStatus::BadRecording);
  const auto lines = Lines(Text(tmp_.File("data.txt")));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[7], "1.0000         ;0.5000000           ;NAN                 ;");
}

TEST_F(Export, FailuresNameTheFileAndTheReason) {
  Write(10);
  TExportJob job = Job();
  job.SourceName = tmp_.File("gone.rtd");
  TExportResult r = RunTextExport(job);
  EXPECT_EQ(r.Status, TExportStatus::SourceMissing);
  EXPECT_TRUE(r.Files.empty());

  job.SourceName = tmp_.Path();  // a folder: exists, cannot be read
  EXPECT_EQ(RunTextExport(job).Status, TExportStatus::SourceUnreadable);

  job = Job();
  job.BaseName = tmp_.File("no/such/data");
  r = RunTextExport(job);
  EXPECT_EQ(r.Status, TExportStatus::OutputFailed);
  EXPECT_EQ(r.Path, tmp_.File("no/such/data.txt"));
  EXPECT_EQ(r.Reason, "No such file or directory");
}

TEST_F(Export, NeverReplacesTheRecordingOrAnotherRecording) {
  Write(10);
  const Bytes before = ReadBytes(source_);
  WriteBytes(tmp_.File("other.rtd"), before);
  ASSERT_EQ(::symlink(source_.c_str(), tmp_.File("self.txt").c_str()), 0);
  ASSERT_EQ(::symlink(tmp_.File("other.rtd").c_str(), tmp_.File("other.txt").c_str()), 0);
  for (const char* base : {"self", "other"}) {
    TExportJob job = Job();
    job.BaseName = tmp_.File(base);
    const TExportResult r = RunTextExport(job);
    EXPECT_EQ(r.Status, TExportStatus::OutputIsRecording) << base;
    EXPECT_EQ(r.Path, tmp_.File(std::string(base) + ".txt"));
  }
  EXPECT_EQ(ReadBytes(source_), before);
  EXPECT_EQ(ReadBytes(tmp_.File("other.rtd")), before);
}

TEST_F(Export, AFullDiskIsAFailure) {
  Write(20000);
  const TExportJob job = Job();
  const int code = RunWithFileSizeLimit(64 * 1024, [&] {
    const TExportResult r = RunTextExport(job);
    if (r.Status != TExportStatus::OutputFailed) return 1;
    if (r.Path != job.BaseName + ".txt" || r.Reason != "File too large") return 2;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
