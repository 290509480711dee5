// The recording writer inside the packet processor: header bytes, records,
// blocks of ten, the pending block at the end of a run, failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Paket.h"
#include "common/Frames.h"
#include "files/OleDate.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Reply(std::uint8_t status, const Bytes& data) { return ReplyFrame(status, data); }

Bytes Floats(std::initializer_list<float> v) {
  Bytes b(v.size() * 4);
  std::memcpy(b.data(), v.begin(), b.size());
  return b;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

float F32At(const Bytes& b, std::size_t at) {
  float v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  std::vector<std::string> failures;
  void DeviceIdentified() override { packet->BuildDataRequest(); }
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
    p->TimeSource = TimeSoftware;
  }
  void TearDown() override {
    p.reset();
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  }

  // Start of a run as the main window does it; an empty ident means the
  // device answers with errors only.
  void Start(const std::string& name, const std::string& ident = "") {
    p->Reset();
    p->RecordName = name;
    p->RecordEnabled = true;
    p->BuildIdentRequest();
    for (int i = 0; ident.empty() && i < 11; ++i) Feed(Reply(3, {}));
    if (!ident.empty()) Feed(Reply(2, Bytes(ident.begin(), ident.end())));
    ASSERT_TRUE(p->Identified);
  }
  void Feed(const Bytes& b) { p->Receive(b.data(), b.size()); }
  // n replies of the software-time request; reply i has rate i/2, 20 + i deg C.
  void Samples(int n) {
    for (int i = 1; i <= n; ++i) {
      Feed(Reply(2, Floats({0.5f * static_cast<float>(i), 20.0f + static_cast<float>(i)})));
      ASSERT_LE(p->BlockCount, 10);
    }
  }
  long Size() { return static_cast<long>(ReadFile(path).size()); }

  std::string dir, path;
  std::unique_ptr<TPaket> p;
  Owner owner;
};

TEST_F(Recording, HeaderOfTheFirstSample) {
  Start(path);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);  // no sample, no file
  Samples(1);
  p->Reset();

  Bytes expected(760, 0);
  std::memcpy(expected.data(), "VRDT40-000.000-00000", 20);
  const Bytes fixed{0x23, 0x60, 0x00, 0x00, 0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x2E, 0xA3, 0xE6, 0x40};
  std::copy(fixed.begin(), fixed.end(), expected.begin() + 28);
  std::memcpy(expected.data() + 48, "benchpc", 7);
  std::memcpy(expected.data() + 303, "anna", 4);
  EXPECT_EQ(ReadFile(path), expected);  // the first sample itself is not stored

  // A 25-character identification, another Sample, long names cut to 254.
  p->Sample = 125;
  p->SetHostNames(std::string(400, 'c'), "me");
  Start(path, "VRDT40-123.456-00042-ABCD");
  Samples(1);
  p->Reset();
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 26), std::string("VRDT40-123.456-00042-ABCD\0", 26));
  EXPECT_EQ(F32At(f, 32), 125.0f);
  EXPECT_EQ(std::string(f.begin() + 48, f.begin() + 303), std::string(254, 'c') + '\0');
  EXPECT_EQ(std::string(f.begin() + 303, f.begin() + 306), std::string("me\0", 3));
  EXPECT_EQ(f[306], 0);
  EXPECT_TRUE(owner.failures.empty());
}

TEST_F(Recording, BlocksOfTenAndThePendingBlockAtStop) {
  Start(path);
  Samples(26);  // the first creates the file, 25 follow
  EXPECT_EQ(Size(), 760 + 240);
  p->Reset();  // Stop writes the last five
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u + 25 * 12);
  double soft = 0.1;
  for (int k = 0; k < 25; ++k) {
    const std::size_t at = 760 + 12 * static_cast<std::size_t>(k);
    soft += 0.1;
    EXPECT_EQ(F32At(f, at), static_cast<float>(soft)) << k;
    EXPECT_EQ(F32At(f, at + 4), 0.5f * static_cast<float>(k + 2)) << k;
    EXPECT_EQ(F32At(f, at + 8), 20.0f + static_cast<float>(k + 2)) << k;
  }

  Start(path);  // the next run replaces the file
  Samples(14);
  p.reset();  // the program ends during the run
  EXPECT_EQ(Size(), 760 + 13 * 12);
}

TEST_F(Recording, SamplesOfTimeZeroAreNotRecorded) {
  p->TimeSource = TimeHardFloat;
  Start(path, "FOG");
  for (float t : {1.0f, 0.0f, 2.0f, 0.0f, -0.0f, 3.0f}) Feed(Reply(2, Floats({t, 1.0f, 25.0f})));
  EXPECT_EQ(p->SamplesAccepted, 6u);
  p->Reset();
  const Bytes f = ReadFile(path);
  ASSERT_EQ(f.size(), 760u + 2 * 12);
  EXPECT_EQ(F32At(f, 760), 2.0f);
  EXPECT_EQ(F32At(f, 772), 3.0f);
}

TEST_F(Recording, FileThatCannotBeCreated) {
  const std::string bad = dir + "/missing/run.rtd";
  Start(bad);
  Samples(35);
  EXPECT_EQ(p->SamplesAccepted, 35u);  // the run goes on
  p->Reset();
  Start(bad);  // each run reports its own failure, once
  Samples(2);
  EXPECT_EQ(owner.failures,
            std::vector<std::string>(2, bad + ": No such file or directory"));
}

TEST_F(Recording, FullDisk) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  Start("/dev/full");
  Samples(40);
  p->Reset();
  EXPECT_EQ(owner.failures, std::vector<std::string>{"/dev/full: No space left on device"});
}

// A failed write ends the recording for the rest of the run: writes that
// would succeed again later (space freed) must not leave a gap.
TEST_F(Recording, ShortWriteEndsTheRecordingAtTheLastWholeBlock) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < 4096) GTEST_SKIP();
  Start(path);
  // A file size limit in the middle of the second block.
  auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit lim = old;
  lim.rlim_cur = 760 + 120 + 50;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  Samples(21);
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  Samples(25);
  EXPECT_EQ(p->SamplesAccepted, 46u);  // the run goes on
  p->Reset();

  const Bytes f = ReadFile(path);
  EXPECT_EQ(f.size(), 760u + 120);
  EXPECT_EQ(F32At(f, 760 + 12 * 9 + 4), 0.5f * 11);
  EXPECT_EQ(owner.failures, std::vector<std::string>{path + ": File too large"});
}

}  // namespace
