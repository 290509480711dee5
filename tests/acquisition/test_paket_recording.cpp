// The recording writer inside the packet processor: header bytes, records,
// blocks of ten, the pending block at the end of a run, failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Paket.h"
#include "files/OleDate.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes WithCrc(Bytes body) {
  const std::uint16_t crc = proto::Crc16(body.data(), body.size());
  body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  body.push_back(static_cast<std::uint8_t>(crc >> 8));
  return body;
}

Bytes Framed(const Bytes& body) {
  Bytes out(body.size() * 2 + 2);
  out.resize(proto::EscapeFrame(body.data(), body.size(), out.data(), out.size()));
  return out;
}

template <typename T>
void Append(Bytes& b, T v) {
  std::uint8_t raw[sizeof v];
  std::memcpy(raw, &v, sizeof v);
  b.insert(b.end(), raw, raw + sizeof v);
}

Bytes Reply(const Bytes& data) {
  Bytes body{0x64, 0x63, proto::STATUS_OK};
  body.insert(body.end(), data.begin(), data.end());
  return Framed(WithCrc(body));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

float F32At(const Bytes& b, std::size_t at) {
  float v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  int identified = 0;
  std::vector<std::string> failures;
  void DeviceIdentified() override {
    ++identified;
    packet->BuildDataRequest();
  }
  void IdentificationText(const std::string&) override {}
  void RecordingFailed(const std::string& name, const std::string& reason) override {
    failures.push_back(name + ": " + reason);
  }
};

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ratelog-paket-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/run.rtd";
    p = std::make_unique<TPaket>();
    owner.packet = p.get();
    p->SetListener(&owner);
    p->SetHostNames("benchpc", "anna");
    p->Clock = [] { return OleDateFromLocal(2026, 12, 5, 10, 30); };
  }
  void TearDown() override {
    p.reset();
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  }

  // Start of a run as the main window does it, software time.
  void Start(const std::string& name, const std::string& ident = "") {
    p->TimeSource = TimeSoftware;
    p->Reset();
    p->RecordName = name;
    p->RecordEnabled = true;
    p->BuildIdentRequest();
    if (ident.empty()) {
      for (int i = 0; i < 11; ++i) Feed(Reply3());
    } else {
      Feed(Reply(Bytes(ident.begin(), ident.end())));
    }
    ASSERT_TRUE(p->Identified);
  }
  static Bytes Reply3() { return Framed(WithCrc({0x64, 0x63, proto::STATUS_ERROR})); }
  void Feed(const Bytes& b) { p->Receive(b.data(), b.size()); }
  // One reply of the software-time request: rate, temperature.
  void Sample(float rate, float temp) {
    Bytes d;
    Append(d, rate);
    Append(d, temp);
    Feed(Reply(d));
  }
  void Samples(int n) {
    for (int i = 1; i <= n; ++i) Sample(0.5f * static_cast<float>(i), 20.0f + static_cast<float>(i));
  }

  std::string dir, path;
  std::unique_ptr<TPaket> p;
  Owner owner;
};

TEST_F(Recording, HeaderOfTheFirstSample) {
  EXPECT_EQ(OleDateFromLocal(2026, 12, 5, 10, 30), 46361.4375);
  Start(path);
  EXPECT_EQ(FileSize(path), -1);  // no sample, no file
  Samples(1);
  EXPECT_TRUE(p->HeaderWritten);
  p->Reset();

  Bytes expected(760, 0);
  std::memcpy(expected.data(), "VRDT40-000.000-00000", 20);
  const Bytes fixed{0x23, 0x60, 0x00, 0x00, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x2E, 0xA3, 0xE6, 0x40};
  std::copy(fixed.begin(), fixed.end(), expected.begin() + 28);
  std::memcpy(expected.data() + 48, "benchpc", 7);
  std::memcpy(expected.data() + 303, "anna", 4);
  EXPECT_EQ(ReadFile(path), expected);  // the first sample itself is not stored
  EXPECT_TRUE(owner.failures.empty());
}

TEST_F(Recording, IdentificationAndSampleValueInTheHeader) {
  p->Sample = 125;
  Start(path, "VRDT40-123.456-00042-ABCD");  // exactly 25 characters
  Samples(1);
  p->Reset();
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 25), "VRDT40-123.456-00042-ABCD");
  EXPECT_EQ(f[25], 0);
  EXPECT_EQ(f[26], 0);
  EXPECT_EQ(f[27], 0);
  EXPECT_EQ(F32At(f, 32), 125.0f);
}

TEST_F(Recording, BlocksOfTenAndThePendingBlockAtStop) {
  Start(path);
  Samples(26);  // the first creates the file, 25 follow
  EXPECT_EQ(FileSize(path), 760 + 240);
  EXPECT_EQ(p->BlockCount, 5);
  p->Reset();  // Stop
  EXPECT_EQ(p->FileHandle, -1);
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u + 25 * 12);
  double soft = 0.1;  // the software clock, one step per reply
  for (int k = 0; k < 25; ++k) {
    const std::size_t at = 760 + 12 * static_cast<std::size_t>(k);
    const int i = k + 2;  // sample number
    soft += 0.1;
    EXPECT_EQ(F32At(f, at), static_cast<float>(soft)) << k;
    EXPECT_EQ(F32At(f, at + 4), 0.5f * static_cast<float>(i)) << k;
    EXPECT_EQ(F32At(f, at + 8), 20.0f + static_cast<float>(i)) << k;
  }
  EXPECT_NEAR(F32At(f, 760 + 12 * 24), 2.6f, 1e-6);
}

TEST_F(Recording, SamplesOfTimeZeroAreNotRecorded) {
  p->TimeSource = TimeHardFloat;
  p->Reset();
  p->RecordName = path;
  p->RecordEnabled = true;
  p->BuildIdentRequest();
  Feed(Reply(Bytes{'F', 'O', 'G'}));
  ASSERT_TRUE(p->Identified);
  const float times[] = {1.0f, 0.0f, 2.0f, 0.0f, -0.0f, 3.0f};
  for (float t : times) {
    Bytes d;
    Append(d, t);
    Append(d, 1.0f);
    Append(d, 25.0f);
    Feed(Reply(d));
  }
  EXPECT_EQ(p->SamplesAccepted, 6u);
  p->Reset();
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u + 2 * 12);
  EXPECT_EQ(F32At(f, 760), 2.0f);
  EXPECT_EQ(F32At(f, 772), 3.0f);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "FOG\0"s);
}

TEST_F(Recording, ProgramEndDuringARunKeepsThePendingRecords) {
  Start(path);
  Samples(14);
  EXPECT_EQ(FileSize(path), 760 + 120);
  p.reset();  // the main window goes away during the run
  EXPECT_EQ(FileSize(path), 760 + 13 * 12);
}

TEST_F(Recording, CloseRecordingEndsTheRecordingOfTheRun) {
  Start(path);
  Samples(4);
  p->CloseRecording();
  EXPECT_EQ(FileSize(path), 760 + 3 * 12);
  EXPECT_FALSE(p->RecordEnabled);
  Samples(20);  // the run goes on without a file
  EXPECT_EQ(FileSize(path), 760 + 3 * 12);
  EXPECT_EQ(p->SamplesAccepted, 24u);
}

TEST_F(Recording, NoFileWithoutRecording) {
  p->TimeSource = TimeSoftware;
  p->Reset();
  p->BuildIdentRequest();
  Feed(Reply(Bytes{'X'}));
  Samples(30);
  EXPECT_EQ(p->FileHandle, -1);
  EXPECT_FALSE(p->HeaderWritten);
  EXPECT_EQ(p->BlockCount, 0);
}

TEST_F(Recording, NextRunReplacesTheFile) {
  Start(path);
  Samples(40);
  p->Clock = [] { return 46000.25; };
  Start(path);  // Reset ends the first run
  EXPECT_EQ(FileSize(path), 760 + 39 * 12);
  Samples(3);
  p->Reset();
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u + 2 * 12);
  double created;
  std::memcpy(&created, f.data() + 40, 8);
  EXPECT_EQ(created, 46000.25);
}

TEST_F(Recording, HostNamesAreCutAndTheirFieldsCleared) {
  p->SetHostNames(std::string(400, 'c'), std::string(300, 'u'));
  Start(path);
  p->SetHostNames("pc", "me");  // a shorter name leaves no trace of the longer one
  p->SetHostNames(std::string(400, 'c'), "me");
  Samples(1);
  p->Reset();
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u);
  EXPECT_EQ(std::string(f.begin() + 48, f.begin() + 48 + 254), std::string(254, 'c'));
  EXPECT_EQ(f[48 + 254], 0);
  EXPECT_EQ(std::string(f.begin() + 303, f.begin() + 306), "me\0"s);
  for (std::size_t i = 306; i < 760; ++i) EXPECT_EQ(f[i], 0) << i;
}

// --- failures ---------------------------------------------------------------

TEST_F(Recording, FileThatCannotBeCreatedIsReportedOnce) {
  const std::string bad = dir + "/missing/run.rtd";
  Start(bad);
  for (int i = 0; i < 35; ++i) {
    Samples(1);
    ASSERT_LE(p->BlockCount, 10);
  }
  EXPECT_EQ(p->SamplesAccepted, 35u);  // the run goes on
  EXPECT_EQ(p->AverageEngine.Average, 0.5);
  ASSERT_EQ(owner.failures.size(), 1u);
  EXPECT_EQ(owner.failures[0], bad + ": No such file or directory");
  p->Reset();
  EXPECT_EQ(owner.failures.size(), 1u);

  // Each run reports its own failure.
  Start(bad);
  Samples(2);
  EXPECT_EQ(owner.failures.size(), 2u);
  p->Reset();
}

TEST_F(Recording, FullDiskIsReportedOnce) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Start("/dev/full");
  Samples(40);
  EXPECT_EQ(p->SamplesAccepted, 40u);
  EXPECT_LE(p->BlockCount, 10);
  p->Reset();
  ASSERT_EQ(owner.failures.size(), 1u);
  EXPECT_EQ(owner.failures[0], "/dev/full: No space left on device");
}

TEST_F(Recording, ShortWriteKeepsWholeRecordsOnly) {
  // A file size limit makes the second block a short write.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < 4096) GTEST_SKIP();
  Start(path);
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit lim = old;
  lim.rlim_cur = 760 + 120 + 50;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  Samples(1 + 35);
  p->Reset();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(FileSize(path), 760 + 120);
  ASSERT_EQ(owner.failures.size(), 1u);
  EXPECT_EQ(owner.failures[0], path + ": File too large");
  const Bytes f = ReadFile(path);
  EXPECT_EQ(F32At(f, 760 + 12 * 9 + 4), 0.5f * 11);
}

}  // namespace
