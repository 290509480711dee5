// Recording files read back (the layout rule, damaged and hostile files),
// the chart loading of a recording, OLE dates, the text export and the copy
// to the archive server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/TestFiles.h"
#include "files/ArchiveCopy.h"
#include "files/ExportText.h"
#include "files/OleDate.h"
#include "files/Openf.h"
#include "files/RecordingReader.h"

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0, nl; at < text.size(); at = nl == std::string::npos ? text.size() : nl + 1) {
    nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl - at));
  }
  return lines;
}

std::vector<int> Fields(const LocalDateTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.msec};
}

// ---------------------------------------------------------------------------
// OLE dates: days since 30 December 1899, the time of day as the fraction.

TEST(OleDate, KnownDaysBothWays) {
  const struct {
    int y, mo, d, h, mi;
    double ole;
  } cases[] = {
      {2026, 12, 5, 10, 30, 46361.4375}, {1899, 12, 30, 0, 0, 0.0}, {1899, 12, 31, 0, 0, 1.0},
      {1900, 1, 1, 0, 0, 2.0},           {1900, 2, 28, 0, 0, 60.0}, {1900, 3, 1, 0, 0, 61.0},  // no leap day
      {2000, 1, 1, 0, 0, 36526.0},       {2024, 2, 29, 18, 0, 45351.75}, {2024, 3, 1, 6, 0, 45352.25},
      {1899, 12, 29, 6, 0, -1.25},  // before the epoch the day counts back, the time forwards
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OleDateFromLocal(c.y, c.mo, c.d, c.h, c.mi), c.ole);
    EXPECT_EQ(Fields(LocalFromOleDate(c.ole)), (std::vector<int>{c.y, c.mo, c.d, c.h, c.mi, 0, 0}));
  }
  const double ms = 1 / 86400000.0;
  EXPECT_EQ(OleDateFromLocal(2026, 12, 5, 10, 30, 15, 500), 46361.4375 + 15500 * ms);
  EXPECT_EQ(Fields(LocalFromOleDate(46361.4375 + 15500 * ms)), (std::vector<int>{2026, 12, 5, 10, 30, 15, 500}));
  // Rounded to the millisecond, carrying into the next day.
  EXPECT_EQ(Fields(LocalFromOleDate(46361.0 - 0.2 * ms)), (std::vector<int>{2026, 12, 5, 0, 0, 0, 0}));
  EXPECT_EQ(FormatDdMmYyyyHhNn(46361.0 - 0.2 * ms), "05.12.2026 00:00");
  EXPECT_EQ(FormatDdMmYyyyHhNn(OleDateFromLocal(2024, 1, 9, 7, 5, 59, 999)), "09.01.2024 07:05");
  // Not a date: a fixed answer, no crash.
  for (double bad : {double(kNan), HUGE_VAL, -1e300, 1e300, 3e6})
    EXPECT_EQ(Fields(LocalFromOleDate(bad)), (std::vector<int>{1899, 12, 30, 0, 0, 0, 0}));
  // Now is the local clock.
  auto local = [](std::time_t t, int msec) {
    std::tm m{};
    localtime_r(&t, &m);
    return OleDateFromLocal(m.tm_year + 1900, m.tm_mon + 1, m.tm_mday, m.tm_hour, m.tm_min, m.tm_sec, msec);
  };
  // (The bounds from the same clock: time() reads a coarser one, which can
  // still show the second before at the turn of a second.)
  auto second = [] {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
  };
  const double before = local(second(), 0), now = OleDateNow(), after = local(second(), 999);
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
}

// ---------------------------------------------------------------------------
// Reading recordings

class Reader : public ::testing::Test {
 protected:
  std::vector<SamplePoint> ReadAll() {
    std::vector<SamplePoint> out;
    for (SamplePoint p; r_.Next(p);) out.push_back(p);
    return out;
  }
  TTempDir tmp_;
  std::string path_ = tmp_.File("run.rtd");
  TRecordingReader r_;
};

// The header is recognised by the signature or by the version marker at
// byte 28: a device whose identification is not "VRDT..." still writes a
// full header. In a headerless file byte 28 is the third record's time,
// which never equals the marker's bit pattern.
TEST_F(Reader, LayoutBySignatureOrVersionMarker) {
  const struct {
    const char* ident;
    std::uint32_t marker;
  } headers[] = {{"VRDT40-123.456-00042", 24611}, {"FOG-2000 SN 0042", 24611},
                 {"vrdt40-000.000-00000", 24611}, {"VRDT40-000.000-00000", 0}};
  for (const auto& c : headers) {
    Bytes b = RecordingHeader(99.9f, c.ident);
    PutAt(b, 28, c.marker);
    for (int i = 1; i <= 25; ++i) AddRecord(b, 0.1f * i, 0.5f, 25.0f);
    WriteBytes(path_, b);
    ASSERT_TRUE(r_.Open(path_)) << c.ident;
    const TRecordingInfo& info = r_.Info();
    EXPECT_EQ(info.FormatVersion, 6) << c.ident;
    EXPECT_EQ(info.Sample, 99);
    EXPECT_EQ(info.Ident + info.CompName + info.UserName, c.ident + std::string("benchpcanna"));
    EXPECT_EQ(info.Created, 46361.4375);
    EXPECT_EQ(info.DataLength, 300);
    EXPECT_EQ(info.RecordCount, 25);
    const auto recs = ReadAll();
    ASSERT_EQ(recs.size(), 25u);
    EXPECT_EQ(recs[24].Time, 0.1f * 25);
    EXPECT_EQ(r_.RecordsRead(), 25);
  }
  for (float third : {3.0f, 0.024f, 1e-30f}) {
    Bytes b = HeaderlessRecording(50.9f);
    for (float t : {1.0f, 2.0f, third}) AddRecord(b, t, -1.0f, 20.0f);
    WriteBytes(path_, b);
    ASSERT_TRUE(r_.Open(path_));
    EXPECT_EQ(r_.Info().FormatVersion, 0) << third;
    EXPECT_EQ(r_.Info().Sample, 50);
    EXPECT_EQ(r_.Info().Ident, "VRDT40-000.000-00000");
    EXPECT_EQ(ReadAll().size(), 3u);
  }
}

// A header cut short, a torn last record, an empty file; text fields
// without a terminator end at their width.
TEST_F(Reader, ShortFilesTrailingFragmentsAndTextWidths) {
  Bytes b = RecordingHeader(10.0f);
  b.resize(500);
  WriteBytes(path_, b);
  ASSERT_TRUE(r_.Open(path_));
  EXPECT_EQ(r_.Info().DataLength, -260);
  EXPECT_TRUE(ReadAll().empty());
  b = RecordingHeader(10.0f);
  AddRecord(b, 1, 2, 3);
  AddRecord(b, 4, 5, 6);
  b.insert(b.end(), {0xAA, 0xBB});
  WriteBytes(path_, b);
  ASSERT_TRUE(r_.Open(path_));
  const auto recs = ReadAll();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(r_.Info().RecordCount, 2);
  EXPECT_EQ(recs[1].Temperature, 6);
  WriteBytes(path_, {});
  ASSERT_TRUE(r_.Open(path_));
  EXPECT_EQ(r_.Info().Sample, 0);
  EXPECT_TRUE(ReadAll().empty());
  b = RecordingHeader(10.0f);
  std::memset(b.data() + 4, 'X', 24);
  std::memset(b.data() + 48, 'c', 255);
  std::memset(b.data() + 303, 'u', 457);  // the reserved bytes behind are not text
  WriteBytes(path_, b);
  ASSERT_TRUE(r_.Open(path_));
  EXPECT_EQ(r_.Info().Ident, "VRDT" + std::string(24, 'X'));
  EXPECT_EQ(r_.Info().CompName, std::string(255, 'c'));
  EXPECT_EQ(r_.Info().UserName, std::string(255, 'u'));
}

// Only regular files are recordings: a FIFO would block the reader forever.
// A sample value that fits no integer setting refuses the file; a headerless
// file beginning "vrdt" has one (about 7e31) and is not misread as a header.
TEST_F(Reader, UnreadableFilesSayWhy) {
  EXPECT_FALSE(r_.Open(tmp_.File("missing.rtd")));
  EXPECT_FALSE(r_.Exists());
  EXPECT_NE(r_.Error().find("No such file"), std::string::npos) << r_.Error();
  const std::string fifo = tmp_.File("pipe.rtd"), sock = tmp_.File("socket.rtd");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int listener = BoundSocket(sock);
  ASSERT_GE(listener, 0);
  for (const auto& [path, reason] : {std::pair{fifo, ": not a regular file"}, {tmp_.Path(), ": Is a directory"},
                                     {sock, ": No such device or address"}}) {  // a socket cannot be opened
    EXPECT_FALSE(r_.Open(path)) << path;
    EXPECT_TRUE(r_.Exists());
    EXPECT_EQ(r_.Error(), path + reason);
  }
  ::close(listener);
  Bytes lower = HeaderlessRecording(0);
  std::memcpy(lower.data(), "vrdt", 4);
  for (float bad : {kNan, INFINITY, 2147483648.0f, -2147483904.0f}) {  // 2^31 and the float below -2^31
    for (const Bytes& b : {RecordingHeader(bad), HeaderlessRecording(bad), lower}) {
      WriteBytes(path_, b);
      EXPECT_FALSE(r_.Open(path_)) << bad;
      EXPECT_EQ(r_.Info().FormatVersion, b.size() == 760 ? 6 : 0);
      EXPECT_NE(r_.Error().find("sample value"), std::string::npos);
    }
  }
  for (const auto& [value, sample] : {std::pair{-2.9f, -2}, {2147483520.0f, 2147483520}, {-2147483648.0f, INT32_MIN}}) {
    WriteBytes(path_, RecordingHeader(value));  // truncated; the largest and smallest that fit
    ASSERT_TRUE(r_.Open(path_)) << value;
    EXPECT_EQ(r_.Info().Sample, sample);
  }
}

TEST_F(Reader, FileThatShrinksWhileReadEndsTheLoop) {
  Bytes b = RecordingHeader(125.0f);
  for (int i = 0; i < 20000; ++i) AddRecord(b, i * 0.008f, 0, 0);
  WriteBytes(path_, b);
  ASSERT_TRUE(r_.Open(path_));
  SamplePoint p;
  ASSERT_TRUE(r_.Next(p));
  ASSERT_EQ(::truncate(path_.c_str(), 760 + 12 * 10000 + 5), 0);
  std::int64_t n = 1;
  while (r_.Next(p)) ++n;
  EXPECT_EQ(n, 10000);
}

// ---------------------------------------------------------------------------
// Loading a recording for the chart

struct Capture : TOpenFileSink {
  std::string ident;
  std::vector<std::int64_t> progress;
  std::vector<TChartRecord> records;
  double rateFactor = 0;
  bool finished = false;
  void LoadScale(double factor, std::int32_t) override { rateFactor = factor; }
  void LoadStarted(const std::string& i, std::int64_t) override { ident = i; }
  void LoadProgress(std::int64_t r) override { progress.push_back(r); }
  void LoadRecords(const TChartRecord* r, std::size_t n) override { records.insert(records.end(), r, r + n); }
  void LoadFinished() override { finished = true; }
};

class OpenFile : public ::testing::Test {
 protected:
  void SetUp() override { file_->RecordingName = tmp_.File("run.rtd"); }
  // Loads `recs` written behind a header (or headerless) into a new sink.
  Capture Load(float sample, const std::vector<SamplePoint>& recs, bool header = true,
               TLoadResult expected = TLoadResult::Loaded) {
    Bytes b = header ? RecordingHeader(sample) : HeaderlessRecording(sample);
    for (const auto& r : recs) AddRecord(b, r.Time, r.Rate, r.Temperature);
    WriteBytes(file_->RecordingName, b);
    Capture sink;
    EXPECT_EQ(file_->Load(sink), expected);
    return sink;
  }
  TTempDir tmp_;
  std::unique_ptr<TOpenFile> file_ = std::make_unique<TOpenFile>();
};

// The window is the recording's own sample x MeanTime; progress comes about
// a hundred times, none for a short recording; a cancel stops the reading
// within a batch. (What the chart shows of odd records is tested with the
// window.)
TEST_F(OpenFile, OwnSampleSetsTheWindowProgressAndCancel) {
  std::vector<SamplePoint> recs;
  for (int i = 1; i <= 50; ++i) recs.push_back({i * 0.5f, static_cast<float>(i), 25});
  file_->MeanTime = 10;
  file_->Sample = 125;
  Capture c = Load(2.9f, recs);
  EXPECT_EQ(file_->Sample, 2);
  EXPECT_EQ(file_->AverageEngine.Window, 20);
  ASSERT_EQ(c.records.size(), 50u);
  EXPECT_DOUBLE_EQ(c.records[49].Average * c.rateFactor, (31 + 50) / 2.0 * 3600.0);
  EXPECT_EQ(c.ident, "VRDT40-123.456-00042");
  EXPECT_TRUE(c.progress.empty());
  EXPECT_TRUE(c.finished);
  file_->UnitsPerSecond = true;
  c = Load(99.9f, std::vector<SamplePoint>(1234, SamplePoint{1, 0.5f, 20}), false);
  EXPECT_EQ(c.ident, "VRDT40-000.000-00000");
  EXPECT_EQ(file_->Sample, 99);
  EXPECT_EQ(c.records[0].Rate, 0.5);
  EXPECT_EQ(c.progress.size(), 102u);  // every 12 records
  EXPECT_EQ(c.progress.front(), 12);

  const std::vector<SamplePoint> many(3 * TOpenFile::BatchSize, SamplePoint{1, 0, 20});
  std::atomic<bool> cancel{true};
  file_->Cancel = &cancel;
  c = Load(100.0f, many, true, TLoadResult::Cancelled);
  EXPECT_FALSE(file_->Loaded);
  EXPECT_TRUE(c.finished);
  EXPECT_LE(c.records.size(), TOpenFile::BatchSize);
}

// Every record but the NaN ones reaches the chart, in file order, on both
// sides of the reader's buffer (8192 records) and of the loader's batch; the
// largest count steps back in time and puts NaN records at the edges of a
// buffer and a batch, leaving one record after the last whole batch.
TEST_F(OpenFile, EveryRecordOnBothSidesOfTheBufferAndTheBatch) {
  constexpr std::size_t buffer = 8192, batch = TOpenFile::BatchSize;
  for (const std::size_t count : {buffer - 1, buffer, buffer + 1, batch, batch + 1, 2 * batch + 6}) {
    SCOPED_TRACE(count);
    std::vector<SamplePoint> recs;
    for (std::size_t i = 0; i < count; ++i) recs.push_back({static_cast<float>(i) * 0.01f, static_cast<float>(i), 25});
    if (count > 2 * batch) {
      for (const std::size_t at : {buffer - 1, buffer, batch - 1, batch, count - 1}) recs[at].Rate = NAN;
      for (std::size_t i = count - 300; i < count - 200; ++i) recs[i].Time -= 2.0f;
    }
    const Capture c = Load(100.0f, recs);
    std::vector<SamplePoint> kept;
    for (const SamplePoint& r : recs)
      if (!std::isnan(r.Rate)) kept.push_back(r);
    ASSERT_EQ(c.records.size(), kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i)
      ASSERT_TRUE(c.records[i].Time == kept[i].Time && c.records[i].Rate == kept[i].Rate) << i;
  }
}

// ---------------------------------------------------------------------------
// Text export

std::string Field(float v, int width, int decimals) {
  char buf[128];
  return std::string(buf, WriteFixedField(buf, v, width, decimals));
}

std::string Printf(float v, int width, int decimals) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%-*.*f", width, decimals, static_cast<double>(v));
  return buf;
}

// The three formats of the table against the C library, on floats of every
// magnitude (2^33 and the float below it on both sides of the exact integer
// path) and on values that lie exactly halfway between two outputs.
// Values that are no numbers, and those wider than the field (never cut).
TEST(FixedField, SameBytesAsPrintf) {
  std::mt19937 rng(12345);
  const int formats[][2] = {{15, 4}, {20, 7}, {20, 6}};
  std::vector<float> values = {0.0f, -0.0f, 0.03125f, -0.03125f, 0.5f, 2.5f, 0.00005f, 1e-30f, -1e-30f,
                               99999.99995f, 1e20f, -1e20f, FLT_MAX, -FLT_MAX, FLT_MIN, 12345678.0f,
                               std::numeric_limits<float>::denorm_min(), 4294967296.5f, 0.00000005f,
                               0.00000015f, 123456789012.0f, 8589934592.0f, 8589933568.0f, -8589933568.0f};
  std::uniform_real_distribution<float> rate(-1.0f, 1.0f), time(0.0f, 90000.0f), temp(-60.0f, 100.0f);
  std::uniform_int_distribution<int> tick(0, 2000000);
  for (int i = 0; i < 50000; ++i) {
    const std::uint32_t bits = rng();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (std::isfinite(f)) values.push_back(f);
    values.insert(values.end(), {rate(rng), time(rng), temp(rng)});
    values.push_back(static_cast<float>(tick(rng)) * 0.1f);  // times of a 10 Hz run
    values.push_back(std::ldexp(static_cast<float>(tick(rng)), -(i % 12)));  // exact halves: k / 2^n
  }
  int mismatches = 0;
  for (float v : values)
    for (const auto& f : formats)
      if (Field(v, f[0], f[1]) != Printf(v, f[0], f[1]) && ++mismatches < 10)
        ADD_FAILURE() << "value " << Printf(v, 0, 12) << " %-" << f[0] << "." << f[1] << "f";
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(Field(kNan, 20, 7) + Field(-kNan, 20, 6), "NAN                 NAN                 ");
  EXPECT_EQ(Field(INFINITY, 15, 4) + Field(-INFINITY, 20, 6), "INF            -INF                ");
}

TEST(ExportNames, OnlyTheRightExtensionIsRemoved) {
  EXPECT_EQ(ExportBaseFromChosen("/d/data.TXT"), "/d/data");
  EXPECT_EQ(ExportBaseFromChosen("/d/data.csv"), "/d/data.csv");
  EXPECT_EQ(ExportBaseFromChosen("ab"), "ab");
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

// The header (the source's creation time only from a file with a header)
// and the chosen columns, byte for byte.
TEST_F(Export, HeaderAndColumnsByteForByte) {
  const std::string rule(58, '-');
  const struct {
    bool header, rate, temperature;
    std::string columns, line;
  } cases[] = {
      {true, true, true, "Time, sec | Rate, \xB0/sec | Temperature, \xB0" "C | ",
       "0.1000         ;-0.0123000          ;25.500000           ;"},
      {false, false, true, "Time, sec | Temperature, \xB0" "C | ", "0.1000         ;25.500000           ;"},
      {false, false, false, "Time, sec | ", "0.1000         ;"},
  };
  for (const auto& c : cases) {
    Write(2, c.header);
    TExportJob job = Job();
    job.FormatVersion = c.header ? 6 : 0;
    job.Rate = c.rate;
    job.Temperature = c.temperature;
    const TExportResult r = RunTextExport(job);
    ASSERT_EQ(r.Status, TExportStatus::Complied) << r.Reason;
    EXPECT_EQ(r.Files, std::vector<std::string>{tmp_.File("data.txt")});
    EXPECT_EQ(ReadText(tmp_.File("data.txt")),
              "Source file: " + source_ + "\nTime create: 06.12.2026 09:05\nSample: 10 \xC3\xF6\n" +
                  (c.header ? "Source file create: 05.12.2026 10:30 \n" : "") + rule + "\n" + c.columns +
                  "\n" + rule + "\n" + c.line + "\n" + "0.2000" + c.line.substr(6) + "\n");
  }
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
  const auto lines = Lines(ReadText(tmp_.File("data.txt")));
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 7, lines.end()),
            (std::vector<std::string>{"2.0000         ;", "3.0000         ;", "4.0000         ;"}));
  // Bounds typed as 0.7 and 0.8 take the records stored as 0.7 (0.69999999)
  // and 0.8 (0.80000001) in single precision.
  Write(200);
  job.BeginTime = 0.7;
  job.EndTime = 0.8;
  EXPECT_EQ(RunTextExport(job).Lines, 2);
}

TEST_F(Export, ExcelSplitsEvery32000LinesWithTheHeaderInEachFile) {
  Write(70000);
  TExportJob job = Job();
  job.Excel = true;
  int updates = 0;
  const TExportResult r = RunTextExport(job, [&](std::int64_t, std::int64_t) { ++updates; });
  ASSERT_EQ(r.Status, TExportStatus::Complied);
  EXPECT_EQ(updates, 100);
  EXPECT_EQ(r.Files, (std::vector<std::string>{tmp_.File("data.txt"), tmp_.File("data_1.txt"),
                                                tmp_.File("data_2.txt")}));
  const std::size_t counts[] = {32000, 32000, 6000};
  const std::string first = ReadText(r.Files[0]);
  const std::string header = first.substr(0, first.find("\n0.1000 ") + 1);
  for (std::size_t i = 0; i < r.Files.size(); ++i) {
    const auto lines = Lines(ReadText(r.Files[i]));
    EXPECT_EQ(ReadText(r.Files[i]).compare(0, header.size(), header), 0);
    EXPECT_EQ(lines.size(), counts[i] + 7);
    EXPECT_EQ(lines[7], Printf((i * 32000 + 1) * 0.1f, 15, 4) + ";");  // the parts continue
  }
  // A later part that cannot be written (a folder, a recording behind a
  // link at its name) ends the export there, naming it; the parts before
  // stay whole.
  ASSERT_EQ(::unlink(r.Files[2].c_str()), 0);
  ASSERT_EQ(::mkdir(r.Files[2].c_str(), 0700), 0);
  ASSERT_EQ(::unlink(r.Files[1].c_str()), 0);
  ASSERT_EQ(::symlink(source_.c_str(), r.Files[1].c_str()), 0);
  for (const auto& [status, path, parts] : {std::tuple{TExportStatus::OutputIsRecording, r.Files[1], 1},
                                            {TExportStatus::OutputFailed, r.Files[2], 2}}) {
    const TExportResult failed = RunTextExport(job);
    EXPECT_EQ(failed.Status, status);
    EXPECT_EQ(failed.Path, path);
    EXPECT_EQ(failed.Reason, status == TExportStatus::OutputFailed ? "Is a directory" : "");
    EXPECT_EQ(failed.Files, std::vector<std::string>(r.Files.begin(), r.Files.begin() + parts));
    EXPECT_EQ(Lines(ReadText(r.Files[parts - 1])).size(), 32000u + 7);
    ::unlink(r.Files[1].c_str());
  }
}

// A NaN time, a missing source or output folder, an output that is the
// recording itself or another one (through a link): the export fails
// naming the file; what it wrote is a clean prefix. (A full disk is met by
// the programs themselves, with the command-line tool.)
TEST_F(Export, FailuresNameTheFileAndKeepACleanPrefix) {
  Bytes b = RecordingHeader(10.0f);
  AddRecord(b, 1.0f, 0.5f, kNan);
  AddRecord(b, kNan, 0, 0);
  AddRecord(b, 3.0f, 0, 0);
  WriteBytes(source_, b);
  TExportJob job = Job();
  job.Rate = job.Temperature = true;
  EXPECT_EQ(RunTextExport(job).Status, TExportStatus::BadRecording);
  const auto lines = Lines(ReadText(tmp_.File("data.txt")));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[7], "1.0000         ;0.5000000           ;NAN                 ;");

  Write(20000);
  const Bytes before = ReadBytes(source_);
  WriteBytes(tmp_.File("other.rtd"), before);
  ASSERT_EQ(::symlink(source_.c_str(), tmp_.File("self.txt").c_str()), 0);
  ASSERT_EQ(::symlink(tmp_.File("other.rtd").c_str(), tmp_.File("other.txt").c_str()), 0);
  // Outputs that are no regular files; the FIFO has no reader (its open
  // alone would fail with another reason).
  ASSERT_EQ(::mkfifo(tmp_.File("pipe.txt").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/null", tmp_.File("null.txt").c_str()), 0);
  ASSERT_EQ(::mkdir(tmp_.File("folder.txt").c_str(), 0700), 0);
  const int listener = BoundSocket(tmp_.File("sock.txt"));
  const struct {
    std::string source, base;
    TExportStatus status;
    std::string path, reason;
  } cases[] = {
      {tmp_.File("gone.rtd"), "data", TExportStatus::SourceMissing, tmp_.File("gone.rtd"), ""},
      {tmp_.Path(), "data", TExportStatus::SourceUnreadable, tmp_.Path(), ""},  // a folder
      {source_, "no/such/data", TExportStatus::OutputFailed, tmp_.File("no/such/data.txt"),
       "No such file or directory"},
      {source_, "self", TExportStatus::OutputIsRecording, tmp_.File("self.txt"), ""},
      {source_, "other", TExportStatus::OutputIsRecording, tmp_.File("other.txt"), ""},
      {source_, "pipe", TExportStatus::OutputFailed, tmp_.File("pipe.txt"), "not a regular file (a FIFO)"},
      {source_, "null", TExportStatus::OutputFailed, tmp_.File("null.txt"), "not a regular file (a device)"},
      {source_, "sock", TExportStatus::OutputFailed, tmp_.File("sock.txt"), "not a regular file (a socket)"},
      {source_, "folder", TExportStatus::OutputFailed, tmp_.File("folder.txt"), "Is a directory"},
  };
  for (const auto& c : cases) {
    job = Job();
    job.SourceName = c.source;
    job.BaseName = tmp_.File(c.base);
    const TExportResult r = RunTextExport(job);
    EXPECT_EQ(r.Status, c.status) << c.base;
    EXPECT_EQ(r.Path, c.path);
    EXPECT_EQ(r.Reason, c.reason.empty() ? r.Reason : c.reason);
    EXPECT_TRUE(r.Files.empty());
  }
  ::close(listener);
  EXPECT_EQ(ReadBytes(source_), before);
  EXPECT_EQ(ReadBytes(tmp_.File("other.rtd")), before);
}

// ---------------------------------------------------------------------------
// Copy to the archive server: <server>/<ident 1..14>/<ident 16..25>/
// create_<ddmmyyyy_hhnn>__file_<name>.rtd, every part made safe.

const char kDefaultIdent[] = "VRDT40-000.000-00000";

TEST(ArchiveNames, FoldersAndFileNames) {
  EXPECT_EQ(ArchiveLeadingPart("VRDT40-123.456-ABCDEFGHIJ"), "VRDT40-123.456");
  EXPECT_EQ(ArchiveTrailingPart("VRDT40-123.456-ABCDEFGHIJ"), "ABCDEFGHIJ");
  EXPECT_EQ(ArchiveTrailingPart("VRDT40-123.456"), "_");
  const struct {
    std::string in, out;
  } cases[] = {{"", "_"},      {".", "_"},         {"..", "_"},      {"../../etc", ".._.._etc"},
               {"a/b", "a_b"}, {"a\tb\x7f", "a_b_"}, {std::string("a\0b", 3), "a_b"}, {"x..y", "x..y"},
               {"-Kreisel Pr\xC3\xBC" "fung 3.1", "-Kreisel Pr\xC3\xBC" "fung 3.1"}};  // names as typed stay
  for (const auto& c : cases) EXPECT_EQ(SafePathPart(c.in), c.out) << c.in;
  EXPECT_EQ(DefaultArchiveName("/d/run1.RTD"), "run1");
  EXPECT_EQ(DefaultArchiveName("run1.dat"), "run1.dat");
  EXPECT_EQ(ArchiveFileName(OleDateFromLocal(2026, 1, 2, 3, 4), "../x"), "create_02012026_0304__file_.._x.rtd");
}

class Archive : public ::testing::Test {
 protected:
  void SetUp() override {
    Bytes b = RecordingHeader(10.0f, kDefaultIdent);
    for (int i = 1; i <= 1000; ++i) AddRecord(b, i * 0.1f, 0.001f * i, 25);
    WriteBytes(source_, b);
    ::mkdir(server_.c_str(), 0777);
  }
  TArchiveJob Job(const std::string& ident = kDefaultIdent, bool folders = true) {
    if (folders) {
      ::mkdir((server_ + "/" + ArchiveLeadingPart(ident)).c_str(), 0777);
      ::mkdir(ArchiveFolder(server_, ident).c_str(), 0777);
    }
    return TArchiveJob{source_, server_, ident, OleDateFromLocal(2026, 12, 5, 10, 30), "0512"};
  }
  TTempDir tmp_;
  std::string server_ = tmp_.File("arch"), source_ = tmp_.File("0512.rtd");
};

TEST_F(Archive, CopiesByteForByteWithProgress) {
  std::vector<int> percents;
  TArchiveResult r = SaveToServer(Job(), [&](int p) { percents.push_back(p); });
  ASSERT_EQ(r.Status, TArchiveStatus::Complied) << r.Path << ": " << r.Reason;
  EXPECT_EQ(r.Target, server_ + "/VRDT40-000.000/00000/create_05122026_1030__file_0512.rtd");
  EXPECT_EQ(ReadBytes(r.Target), ReadBytes(source_));
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  WriteBytes(source_, Bytes{1, 2, 3});  // fewer than 100 bytes
  r = SaveToServer(Job());
  ASSERT_EQ(r.Status, TArchiveStatus::Complied);
  EXPECT_EQ(ReadBytes(r.Target), (Bytes{1, 2, 3}));
}

TEST_F(Archive, HostileIdentificationsStayInsideTheServerFolder) {
  char* server = ::realpath(server_.c_str(), nullptr);
  for (const std::string ident : {"../../etc", "a/b", "VRDT40-000.000-../../../x"}) {
    TArchiveJob job = Job(ident);
    job.Name = "../../escape";
    const TArchiveResult r = SaveToServer(job);
    ASSERT_EQ(r.Status, TArchiveStatus::Complied) << ident << ": " << r.Path << " " << r.Reason;
    char* real = ::realpath(r.Target.c_str(), nullptr);
    EXPECT_EQ(std::string(real ? real : "").rfind(std::string(server) + "/", 0), 0u) << r.Target;
    std::free(real);
  }
  std::free(server);
  EXPECT_NE(::access(tmp_.File("etc").c_str(), F_OK), 0);
}

TEST_F(Archive, FailuresNameTheFolderOrFileAndLeaveNoTarget) {
  TArchiveJob job = Job(kDefaultIdent, false);
  job.ServerFolder = "";
  EXPECT_EQ(SaveToServer(job).Status, TArchiveStatus::NoServerFolder);
  // Missing sub-folders are not created: the first missing one is named.
  TArchiveResult r = SaveToServer(Job(kDefaultIdent, false));
  EXPECT_EQ(r.Status, TArchiveStatus::Failed);
  EXPECT_EQ(r.Path + ": " + r.Reason, server_ + "/VRDT40-000.000: No such file or directory");
  ASSERT_EQ(::mkfifo(tmp_.File("pipe.rtd").c_str(), 0600), 0);  // no writer: a read would wait
  // A recording loaded from the archive itself is never truncated.
  const std::string target = ArchiveTargetPath(Job());
  WriteBytes(target, ReadBytes(source_));
  const int listener = BoundSocket(tmp_.File("socket.rtd"));
  ASSERT_GE(listener, 0);
  const std::pair<std::string, std::string> cases[] = {{tmp_.File("gone.rtd"), "No such file or directory"},
                                                       {tmp_.File("pipe.rtd"), "not a regular file"},
                                                       {tmp_.File("socket.rtd"), "No such device or address"},
                                                       {tmp_.Path(), "not a regular file"},
                                                       {target, "this is the recording itself"}};
  for (const auto& [source, reason] : cases) {
    job = Job();
    job.Source = source;
    r = SaveToServer(job);
    EXPECT_EQ(r.Status, TArchiveStatus::Failed);
    EXPECT_EQ(r.Path + ": " + r.Reason, source + ": " + reason);
  }
  ::close(listener);
  EXPECT_EQ(ReadBytes(target), ReadBytes(source_));
  // A server folder that is a file; a folder at the target name, which
  // stays, with no part of the copy left beside it.
  job = Job();
  job.ServerFolder = source_;
  r = SaveToServer(job);
  EXPECT_EQ(r.Path + ": " + r.Reason, source_ + ": Not a directory");
  job = Job();
  job.Name = "folder";
  const std::string folder = ArchiveTargetPath(job);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  r = SaveToServer(job);
  EXPECT_EQ(r.Status, TArchiveStatus::Failed);
  EXPECT_EQ(r.Path + ": " + r.Reason, folder + ": Is a directory");
  EXPECT_EQ(FolderNames(ArchiveFolder(server_, kDefaultIdent)),
            (std::vector<std::string>{ArchiveFileName(job.Created, "0512"), ArchiveFileName(job.Created, "folder")}));
}

// A link at the target name is replaced by the copy, never followed: the
// file it pointed to (outside the archive) stays as it was. An older copy
// is replaced whole. Nothing but the target is left in the folder.
TEST_F(Archive, TheTargetNameIsReplacedNeverFollowed) {
  const Bytes outside(5000, 0x42);
  WriteBytes(tmp_.File("outside.dat"), outside);
  TArchiveJob job = Job();
  const std::string target = ArchiveTargetPath(job), folder = ArchiveFolder(server_, kDefaultIdent);
  ASSERT_EQ(::symlink(tmp_.File("outside.dat").c_str(), target.c_str()), 0);
  TArchiveResult r = SaveToServer(job);
  ASSERT_EQ(r.Status, TArchiveStatus::Complied) << r.Path << ": " << r.Reason;
  EXPECT_EQ(ReadBytes(tmp_.File("outside.dat")), outside);
  struct stat st {};
  ASSERT_EQ(::lstat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadBytes(target), ReadBytes(source_));
  WriteBytes(target, Bytes(20000, 0x77));  // an older, longer copy
  r = SaveToServer(job);
  ASSERT_EQ(r.Status, TArchiveStatus::Complied) << r.Path << ": " << r.Reason;
  EXPECT_EQ(ReadBytes(target), ReadBytes(source_));
  EXPECT_EQ(FolderNames(folder), std::vector<std::string>{ArchiveFileName(job.Created, job.Name)});
}

}  // namespace
