// Packet processor: request frames, the reply and trigger receivers, decoding,
// time, identification, display pacing, and the recording it writes (header
// bytes, blocks of ten, the pending block at the end of a run, failures).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "acquisition/Paket.h"
#include "common/Frames.h"
#include "common/TestFiles.h"
#include "files/OleDate.h"

namespace {

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

Bytes Reply(std::uint8_t status, const Bytes& data = {}) { return ReplyFrame(status, data); }
float F32At(const Bytes& b, std::size_t at) { return proto::GetLE<float>(&b[at]); }

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  bool poll = true;  // build the data request, as the main window does
  int identified = 0;
  std::vector<std::string> texts, failures;
  void DeviceIdentified() override {
    ++identified;
    if (poll && packet->Mode != ModeTrigger) packet->BuildDataRequest();
  }
  void IdentificationText(const std::string& text) override { texts.push_back(text); }
  void RecordingFailed(const std::string& name, const std::string& reason) override {
    failures.push_back(name + ": " + reason);
  }
};

class Paket : public ::testing::Test {
 protected:
  void SetUp() override {
    p = std::make_unique<TPaket>();
    owner.packet = p.get();
    p->SetListener(&owner);
  }
  void Start() {
    p->Reset();
    p->BuildIdentRequest();
  }
  void StartIdentified() {
    Start();
    Feed(IdentReply("FOG-1"));
    ASSERT_TRUE(p->Identified);
  }
  void StartTrigger(bool temp, bool count, bool time) {
    p->Mode = ModeTrigger;
    p->TrigMask = {temp, count, time};
    StartIdentified();
  }
  void Feed(const Bytes& b) { p->Receive(b.data(), b.size()); }
  Bytes Sent() const { return Bytes(p->SendBuffer.begin(), p->SendBuffer.begin() + p->RequestLength); }
  // Time, rate and temperature of the last sample.
  std::tuple<float, float, float> Now() const { return {p->Current.Time, p->Current.Rate, p->Current.Temperature}; }
  std::unique_ptr<TPaket> p;
  Owner owner;
};

TEST(PaketCrc, CheckValueAndTheByteWiseForm) {
  const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, data = Le(0.5f, 25.0f, 1e30, 0xC0DBu);
  EXPECT_EQ(TPaket::Crc16(check.data(), check.size()), 0x29B1);
  EXPECT_EQ(TPaket::Crc16(data.data(), data.size()), proto::Crc16(data.data(), data.size()));
}

TEST_F(Paket, RequestFrames) {
  p->BuildIdentRequest();
  EXPECT_EQ(Sent(), IdentRequest);
  p->BuildDataRequest();
  EXPECT_EQ(Sent(), DataRequest);
  p->Mode = ModeOneCommand;
  p->BuildDataRequest();
  EXPECT_EQ(Sent(), OneCommandRequest);
  p->Mode = ModeNormal;
  p->TimeSource = TimeSoftware;
  p->Address = 0xC0;
  p->AdSig = 0xDB;
  p->BuildDataRequest();  // no time field; 0xC0 and 0xDB escaped
  const Bytes sent = Sent();
  EXPECT_EQ(sent, Frame({0xC0, 0x63, 0x04, 0xDB, 0x00, 0x03, 0x00}));
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{0xC0, 0xDB, 0xDC, 0x63, 0x04, 0xDB}));
  Bytes tooLong(200, 0xC0);  // 400 bytes once escaped
  p->BuildFrame(tooLong.data(), tooLong.size());
  EXPECT_EQ(p->RequestLength, 0);
}

TEST_F(Paket, IdentificationReply) {
  owner.poll = false;  // the identification request stays out
  Start();
  Feed(IdentReply("ABC"));  // short: the rest of the text is zero
  EXPECT_EQ(std::tuple(p->Identified, owner.identified), std::tuple(true, 1));
  EXPECT_EQ(owner.texts, std::vector<std::string>{"ABC"});
  for (int i = 3; i < 28; ++i) EXPECT_EQ(p->Header[static_cast<std::size_t>(i)], 0) << i;
  Feed(IdentReply("SECOND"));  // after Identified: ignored
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(p->Header[0], 'A');
  Start();
  // Identification clears ChunkLength; the rest of its chunk is still read.
  Feed(Cat({IdentReply("0123456789012345678901234567890"), Reply(3), Reply(3)}));
  EXPECT_EQ(owner.texts.back(), "0123456789012345678901234");
  EXPECT_EQ(p->Header[25], 0);
  EXPECT_EQ(p->ErrorReplies, 2);
}

TEST_F(Paket, EleventhErrorReplyEndsIdentification) {
  Start();
  Feed(Reply(7, Bytes(25, 'x')));  // other statuses are ignored
  for (int i = 0; i < 10; ++i) Feed(Reply(3));
  EXPECT_EQ(std::tuple(p->Identified, owner.identified), std::tuple(false, 0));
  Feed(Reply(3));
  EXPECT_EQ(std::tuple(p->Identified, owner.identified), std::tuple(true, 1));
  EXPECT_EQ(owner.texts, std::vector<std::string>{"VRDT40-000.000-00000"});
  for (int i = 0; i < 15; ++i) Feed(Reply(3));  // later ones only count
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(p->ErrorReplies, 16);
}

TEST_F(Paket, DataReplyExampleAndFieldTypes) {
  StartIdentified();
  Feed({0xC0, 0x64, 0x63, 0x02, 0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0xC8,
        0x41, 0xFF, 0x7F, 0xC0});
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(Now(), std::tuple(1.0f, 0.5f, 25.0f));
  EXPECT_EQ(p->AverageEngine.Average, 0.5);
  p->TimeSource = TimeHardFloat;
  p->TempType = TempLong;
  StartIdentified();
  Feed(Reply(2, Le(2.5f, -0.25f, std::int32_t{-123})));
  EXPECT_EQ(Now(), std::tuple(2.5f, -0.25f, static_cast<float>(-123 * 0.10000000149011612)));
}

// The time count is unsigned and the temperature count signed, each over its
// whole 32-bit range (scales of 0.5 keep the expected values exact).
TEST_F(Paket, CountsOverTheirWholeRange) {
  p->TimeSource = TimeHardUlong;
  p->TempType = TempLong;
  p->TimeScale = 0.5;
  p->TempScale = 0.5;
  const std::tuple<std::uint32_t, std::int32_t, float, float> cases[] = {
      {0x7FFFFFFFu, INT32_MAX, 1073741823.5f, 1073741823.5f},
      {0x80000000u, INT32_MIN, 1073741824.0f, -1073741824.0f},
      {0xFFFFFFFFu, -1, 2147483647.5f, -0.5f},
  };
  for (const auto& [time, temp, seconds, celsius] : cases) {
    StartIdentified();
    Feed(Reply(2, Le(time, 1.0f, temp)));
    EXPECT_EQ(Now(), std::tuple(seconds, 1.0f, celsius)) << time;
  }
}

TEST_F(Paket, EscapesCrcAndDelimiters) {
  StartIdentified();
  // Rate and temperature bytes holding 0xC0 and 0xDB travel escaped.
  const Bytes fields = Le(std::uint32_t{115200}, std::uint32_t{0xC0DB0000}, std::uint32_t{0x41C0DBC0});
  Feed(Reply(2, fields));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(std::memcmp(&p->Current.Rate, fields.data() + 4, 8), 0);
  Bytes bad = Reply(2, Le(std::uint32_t{230400}, 1.0f, 20.0f));
  bad[bad.size() - 2] ^= 0x01;
  Feed(bad);
  Feed({0xC0, 0x01, 0x02, 0x03, 0x04, 0xC0});  // fewer than five body bytes
  EXPECT_EQ(std::tuple(p->SamplesAccepted, p->CrcErrors), std::tuple(1u, 2u));

  // 0xDB followed by any other byte stands for that byte.
  Bytes odd = Reply(2, Le(std::uint32_t{230400}, 2.0f, 20.0f));
  odd.insert(odd.begin() + 2, 0xDB);
  Feed(odd);
  EXPECT_EQ(p->Current.Rate, 2.0f);
  const Bytes a = Reply(2, Le(std::uint32_t{345600}, 3.0f, 20.0f));
  const Bytes b = Reply(2, Le(std::uint32_t{460800}, 4.0f, 21.0f));
  Feed(Cat({{0xC0, 0xC0}, a}));  // C0 C0 body C0 is one frame
  EXPECT_EQ(p->Current.Rate, 3.0f);
  Feed(Cat({b, Bytes(a.begin() + 1, a.end())}));  // C0 b C0 a C0: a is skipped
  EXPECT_EQ(p->Current.Rate, 4.0f);
  EXPECT_EQ(p->AccumLength, 1);  // ... and its last delimiter opened a frame
  Feed(Cat({a, {0x11, 0x22}, b}));  // bytes outside frames are ignored
  EXPECT_EQ(std::tuple(p->SamplesAccepted, p->CrcErrors), std::tuple(6u, 2u));
}

TEST_F(Paket, LongestAndOverLongFrames) {
  owner.poll = false;
  Start();
  auto identOnWire = [](std::size_t len) {  // a reply of exactly len bytes on the wire
    for (std::uint8_t fill = 'a';; ++fill) {
      const Bytes w = Reply(2, Bytes(len - 7, fill));
      if (w.size() == len) return w;
    }
  };
  Feed(identOnWire(256));
  EXPECT_EQ(std::tuple(p->Identified, p->AccumLength), std::tuple(false, 0));
  Feed(identOnWire(255));
  EXPECT_TRUE(p->Identified);
  Start();
  Feed(Cat({{0xC0}, Bytes(600, 0x55), IdentReply("OK")}));
  EXPECT_TRUE(p->Identified);
}

TEST_F(Paket, NaNInfinityAndShortReplies) {
  StartIdentified();
  Feed(Reply(2, Le(std::uint32_t{115200}, NaN, 25.0f)));
  EXPECT_EQ(p->SamplesAccepted, 0u);
  EXPECT_EQ(std::tuple(p->Decoded.Time, p->Decoded.Temperature), std::tuple(1.0f, 0.0f));  // stored so far
  Feed(Reply(2, Le(std::uint32_t{115200}, 0.5f, NaN)));
  Feed(Reply(2, Le(std::uint32_t{115200}, 0.5f, std::uint16_t{0})));  // half a temperature
  EXPECT_EQ(p->SamplesAccepted, 0u);
  Feed(Reply(2, Le(std::uint32_t{115200}, Inf, -Inf)));
  EXPECT_EQ(std::tuple(p->SamplesAccepted, p->Current.Temperature), std::tuple(1u, -Inf));
}

// More than 5 s back is a restart of the device clock: the time runs on.
TEST_F(Paket, HardwareTimeGoingBack) {
  p->TimeSource = TimeHardFloat;
  const struct {
    std::vector<float> times;
    float last;
  } cases[] = {{{100, 0.5f}, 100.5f}, {{100, 96}, 96}, {{100, 96, 91}, 91}};  // 96 to 91: exactly 5 s
  for (const auto& c : cases) {
    StartIdentified();
    for (float t : c.times) Feed(Reply(2, Le(t, 0.0f, 0.0f)));
    EXPECT_EQ(p->Current.Time, c.last) << c.times.size();
  }
}

TEST_F(Paket, SoftwareTimeAndDisplayPace) {
  p->TimeSource = TimeSoftware;
  StartIdentified();
  EXPECT_EQ(p->DisplayInterval, 0.03999999910593033);
  for (float t : {0.1f, 0.2f, 0.3f, 0.4f}) {
    Feed(Reply(2, Le(1.0f, 20.0f)));
    EXPECT_TRUE(p->DisplayReady);  // every reply at Sample 10
    EXPECT_EQ(p->TakeSnapshot().time, t);
    EXPECT_FALSE(p->DisplayReady);
  }

  // At 125 Hz a sample is due when 0.04 s passed since the last one shown:
  // the fifth, then every fifth or sixth (8 ms steps summed in floats).
  p->Sample = 125;
  StartIdentified();
  std::vector<int> due;
  float previous = 0, shown = 0;
  for (int i = 1; i <= 1250; ++i, previous = p->Current.Time) {
    Feed(Reply(2, Le(1.0f, 20.0f)));
    if (!p->DisplayReady) continue;
    EXPECT_GE(static_cast<double>(p->Current.Time) - shown, 0.04f) << i;
    EXPECT_LT(static_cast<double>(previous) - shown, 0.04f) << i;
    due.push_back(i);
    shown = p->TakeSnapshot().time;
  }
  ASSERT_GT(due.size(), 200u);
  EXPECT_EQ(due.front(), 5);
  EXPECT_GT(due.back() - due.front(), 5 * static_cast<int>(due.size() - 1));  // some sixth
  Bytes many;  // at most one display record per receive event
  for (int i = 0; i < 50; ++i) many = Cat({many, Reply(2, Le(1.0f, 20.0f))});
  Feed(many);
  EXPECT_EQ(p->LastShownTime, static_cast<double>(p->Current.Time));
  p->Resolution = 1234;  // keeps the interval
  p->Reset();
  EXPECT_EQ(p->DisplayInterval, 0.03999999910593033);
}

TEST_F(Paket, SnapshotCarriesValuesAndStatistics) {
  p->TimeSource = TimeSoftware;
  StartIdentified();
  for (float r : {1.0f, 3.0f, 1.0f, 3.0f}) Feed(Reply(2, Le(r, 22.5f)));
  const DisplayRecord d = p->TakeSnapshot();
  EXPECT_EQ(std::tuple(d.time, d.rate, d.temperature, d.average, d.rms, d.minRms),
            std::tuple(0.4f, 3.0f, 22.5f, 2.0, 1.0, 1.0));
}

// The owner's real sequence: the timer repeats the identification request,
// so a second identification reply may follow the first after the data
// request was built (in the same read or the next). It is never a sample,
// in any mode or time source; a OneCommand reply carries no time, so its
// samples take the software clock whatever time source is stored.
TEST_F(Paket, LateIdentificationReplyIsNeverASample) {
  const struct {
    std::int32_t mode, timeSource;
    float firstTime;
    Bytes data;
  } cases[] = {
      {ModeNormal, TimeHardFloat, 1.0f, Le(1.0f, 0.5f, 25.0f)},
      {ModeNormal, TimeHardUlong, 1.0f, Le(std::uint32_t{115200}, 0.5f, 25.0f)},
      {ModeNormal, TimeSoftware, 0.1f, Le(0.5f, 25.0f)},
      {ModeOneCommand, TimeHardFloat, 0.1f, Le(0.5f)},
      {ModeOneCommand, TimeHardUlong, 0.1f, Le(0.5f)},
      {ModeOneCommand, TimeSoftware, 0.1f, Le(0.5f)},
  };
  const Bytes ident = IdentReply("VRDT40-123.456-00042");
  for (const auto& c : cases) {
    for (bool oneRead : {true, false}) {
      SCOPED_TRACE(::testing::Message() << c.mode << " " << c.timeSource << " " << oneRead);
      p->Mode = c.mode;
      p->TimeSource = c.timeSource;
      const Bytes data = Reply(2, c.data);
      Start();
      Feed(oneRead ? Cat({ident, ident, data}) : ident);  // one read, or two
      Feed(oneRead ? Bytes() : Cat({ident, data}));
      EXPECT_EQ(p->SamplesAccepted, 1u);
      EXPECT_EQ(std::tuple(p->Current.Time, p->Current.Rate), std::tuple(c.firstTime, 0.5f));
      Feed(data);
      EXPECT_EQ(p->SamplesAccepted, 2u);
    }
  }
}

using PaketTrigger = Paket;

TEST_F(PaketTrigger, FramesDecode) {
  StartTrigger(true, true, true);
  EXPECT_EQ(p->TriggerLength, 12);
  Feed({0xC0, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0xFA, 0x00, 0x07, 0x00, 0x00, 0xC2, 0x01, 0x00, 0xB9,
        0x87});
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(Now(), std::tuple(1.0f, 0.5f, 25.0f));
  EXPECT_EQ(p->TakeSnapshot().frame, 7);

  // Junk before the sync pair and delimiters after it are skipped.
  const Bytes f = TriggerFrame(Le(0.25f, std::int16_t{-10}, std::uint16_t{8}, std::uint32_t{230400}));
  EXPECT_EQ(Bytes(f.begin() + 6, f.begin() + 8), (Bytes{0xF6, 0xFF}));
  Feed(Cat({{0x12, 0xC0}, f}));
  EXPECT_EQ(Now(), std::tuple(2.0f, 0.25f, -1.0f));
  EXPECT_EQ(p->Snapshot.frame, 8);
  Feed(Reply(2, Le(std::uint32_t{115200}, 0.5f, 25.0f)));  // framed replies are not data here
  EXPECT_EQ(p->SamplesAccepted, 2u);

  // Each field at both ends of its range: temperature and frame count are
  // 16 bits (signed, unsigned), the time count 32 bits unsigned.
  p->TimeScale = 0.5;
  const std::tuple<std::int16_t, std::uint16_t, std::uint32_t, float, float> ends[] = {
      {INT16_MIN, 65535, 0xFFFFFFFFu, static_cast<float>(-32768 * 0.1), 2147483647.5f},
      {INT16_MAX, 0, 0x80000000u, static_cast<float>(32767 * 0.1), 1073741824.0f},
  };
  for (const auto& [temp, frame, time, celsius, seconds] : ends) {
    StartTrigger(true, true, true);
    Feed(TriggerFrame(Le(0.5f, temp, frame, time)));
    EXPECT_EQ(Now(), std::tuple(seconds, 0.5f, celsius)) << time;
    EXPECT_EQ(p->TakeSnapshot().frame, frame);
  }
}

// A device that streams right after its answer puts the answer and its
// first frames into one read: every frame is taken, also behind a second,
// late identification reply.
TEST_F(PaketTrigger, FramesInTheReadOfTheIdentificationReply) {
  p->Mode = ModeTrigger;
  p->TrigMask = {true, true, true};
  const Bytes ident = IdentReply("VRDT40-123.456-00042");
  Bytes frames;
  for (std::uint16_t k = 1; k <= 5; ++k)
    frames = Cat({frames, TriggerFrame(Le(0.25f * k, std::int16_t{250}, k, std::uint32_t{115200u * k}))});
  for (const Bytes& read : {Cat({ident, frames}), Cat({ident, ident, frames})}) {
    Start();
    Feed(read);
    EXPECT_EQ(std::tuple(p->SamplesAccepted, p->Current.Time, p->Snapshot.frame), std::tuple(5u, 5.0f, 5));
  }
}

// Every mask, each frame fed a byte at a time: a field left out of the mask
// reads 0, the time without its field is the software clock (100 Hz).
TEST_F(PaketTrigger, EveryMaskFedByteByByte) {
  for (int mask = 0; mask < 8; ++mask) {
    const bool temp = mask & 1, count = mask & 2, time = mask & 4;
    StartTrigger(temp, count, time);
    const Bytes frame = TriggerFrame(Cat({Le(0.5f), temp ? Le(std::int16_t{-10}) : Bytes(),
                                          count ? Le(std::uint16_t{9}) : Bytes(),
                                          time ? Le(std::uint32_t{230400}) : Bytes()}));
    for (std::uint8_t b : Cat({frame, frame})) Feed({b});
    EXPECT_EQ(p->SamplesAccepted, 2u) << mask;
    EXPECT_EQ(Now(), std::tuple(time ? 2.0f : static_cast<float>(0.01 + 0.01), 0.5f, temp ? -1.0f : 0.0f)) << mask;
    EXPECT_EQ(p->Snapshot.frame, count ? 9 : 0) << mask;
  }
}

TEST_F(PaketTrigger, SoftwareClock) {
  p->FreqImpulse = 50.0;
  StartTrigger(true, false, false);
  const Bytes f = TriggerFrame(Le(1.0f, std::int16_t{250}));
  Feed(Cat({f, f, f}));
  EXPECT_EQ(Now(), std::tuple(static_cast<float>(0.02 + 0.02 + 0.02), 1.0f, 25.0f));
  for (double bad : {0.0, -5.0, std::nan(""), HUGE_VAL}) {
    p->FreqImpulse = bad;
    StartTrigger(false, false, false);
    Feed(Cat({TriggerFrame(Le(1.0f)), TriggerFrame(Le(1.0f))}));
    EXPECT_EQ(p->Current.Time, 0.02f) << bad;  // acts as 100 Hz
  }
}

TEST_F(PaketTrigger, FrameFrequencyAndClockRestart) {
  StartTrigger(false, false, true);
  auto frame = [](std::uint32_t counts) { return TriggerFrame(Le(0.0f, counts)); };
  Feed(frame(115200));
  Feed(frame(116352));  // 1152 counts of 1/115200 s: 100 Hz
  EXPECT_NEAR(p->FrameFrequency, 100.0, 1e-3);
  const double f = p->FrameFrequency;
  Feed(frame(116352));  // equal times keep the last frequency
  EXPECT_EQ(p->FrameFrequency, f);
  StartTrigger(false, false, true);
  Feed(frame(11520000));  // 100 s
  Feed(frame(57600));     // 0.5 s
  EXPECT_NEAR(p->TimeOffset, 100.0, 1e-6);
  EXPECT_EQ(p->Current.Time, 100.5f);
  EXPECT_NEAR(p->FrameFrequency, 2.0, 1e-6);
  Feed(frame(11520000));
  Feed(frame(0));  // restart exactly at 0: frequency kept
  EXPECT_EQ(p->Current.Time, 200.0f);
  EXPECT_TRUE(std::isfinite(p->FrameFrequency));
}

class Recording : public Paket {
 protected:
  void SetUp() override {
    Paket::SetUp();
    p->SetHostNames("benchpc", "anna");
    p->Clock = [] { return OleDateFromLocal(2026, 12, 5, 10, 30); };
    p->TimeSource = TimeSoftware;
  }
  // Start of a run as the main window does it; an empty ident means the
  // device answers with errors only.
  void Start(const std::string& name, const std::string& ident = "") {
    p->Reset();
    p->RecordName = name;
    p->RecordEnabled = true;
    p->BuildIdentRequest();
    for (int i = 0; ident.empty() && i < 11; ++i) Feed(Reply(3));
    if (!ident.empty()) Feed(IdentReply(ident));
    ASSERT_TRUE(p->Identified);
  }
  // n replies of the software-time request; reply i has rate i/2, 20 + i deg C.
  void Samples(int n) {
    for (int i = 1; i <= n; ++i) {
      Feed(Reply(2, Le(0.5f * static_cast<float>(i), 20.0f + static_cast<float>(i))));
      ASSERT_LE(p->BlockCount, 10);
    }
  }
  TTempDir dir;
  std::string path = dir.File("run.rtd");
};

TEST_F(Recording, HeaderOfTheFirstSample) {
  Start(path);
  EXPECT_NE(::access(path.c_str(), F_OK), 0);  // no sample, no file
  Samples(1);
  p->Reset();

  // The first sample itself is not stored.
  EXPECT_EQ(ReadBytes(path), RecordingHeader(10.0f, "VRDT40-000.000-00000"));

  // A 25-character identification, another Sample, long names cut to 254.
  p->Sample = 125;
  p->SetHostNames(std::string(400, 'c'), "me");
  Start(path, "VRDT40-123.456-00042-ABCD");
  Samples(1);
  p->Reset();
  EXPECT_EQ(ReadBytes(path), RecordingHeader(125.0f, "VRDT40-123.456-00042-ABCD", 46361.4375,
                                             std::string(254, 'c').c_str(), "me"));
  EXPECT_TRUE(owner.failures.empty());
}

TEST_F(Recording, BlocksOfTenAndThePendingBlockAtStop) {
  Start(path);
  Samples(26);  // the first creates the file, 25 follow
  EXPECT_EQ(ReadBytes(path).size(), 760u + 240);
  p->Reset();  // Stop writes the last five
  const Bytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 760u + 25 * 12);
  for (int k = 0; k < 25; ++k) {
    const std::size_t at = 760 + 12 * static_cast<std::size_t>(k);
    EXPECT_NEAR(F32At(f, at), 0.1 * (k + 2), 1e-5) << k;
    EXPECT_EQ(F32At(f, at + 4), 0.5f * static_cast<float>(k + 2)) << k;
    EXPECT_EQ(F32At(f, at + 8), 20.0f + static_cast<float>(k + 2)) << k;
  }
  Start(path);  // the next run replaces the file
  Samples(14);
  p.reset();  // the program ends during the run
  EXPECT_EQ(ReadBytes(path).size(), 760u + 13 * 12);
}

TEST_F(Recording, SamplesOfTimeZeroAreNotRecorded) {
  p->TimeSource = TimeHardFloat;
  Start(path, "FOG");
  for (float t : {1.0f, 0.0f, 2.0f, 0.0f, -0.0f, 3.0f}) Feed(Reply(2, Le(t, 1.0f, 25.0f)));
  EXPECT_EQ(p->SamplesAccepted, 6u);
  p->Reset();
  const Bytes f = ReadBytes(path);
  ASSERT_EQ(f.size(), 760u + 2 * 12);
  EXPECT_EQ(F32At(f, 760), 2.0f);
  EXPECT_EQ(F32At(f, 772), 3.0f);
}

// A file that cannot be created or a full disk: the run goes on, each run
// reports its own failure once.
TEST_F(Recording, FailuresAreReportedOncePerRun) {
  const std::string bad = dir.File("missing/run.rtd");
  for (const std::string& name : {bad, std::string("/dev/full")}) {
    owner.failures.clear();
    for (int run = 0; run < 2; ++run) {
      Start(name);
      Samples(35);
      EXPECT_EQ(p->SamplesAccepted, 35u);
      p->Reset();
    }
    const std::string reason = name == bad ? "No such file or directory" : "No space left on device";
    EXPECT_EQ(owner.failures, std::vector<std::string>(2, name + ": " + reason));
  }
}

// A failed write ends the recording for the rest of the run: writes that
// would succeed again later (space freed) must not leave a gap.
TEST_F(Recording, ShortWriteEndsTheRecordingAtTheLastWholeBlock) {
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  if (old.rlim_cur != RLIM_INFINITY && old.rlim_cur < 4096) GTEST_SKIP();
  Start(path);
  // A file size limit in the middle of the second block.
  rlimit lim = old;
  lim.rlim_cur = 760 + 120 + 50;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  Samples(21);
  ::setrlimit(RLIMIT_FSIZE, &old);
  Samples(25);
  EXPECT_EQ(p->SamplesAccepted, 46u);  // the run goes on
  p->Reset();
  const Bytes f = ReadBytes(path);
  EXPECT_EQ(f.size(), 760u + 120);
  EXPECT_EQ(F32At(f, 760 + 12 * 9 + 4), 0.5f * 11);
  EXPECT_EQ(owner.failures, std::vector<std::string>{path + ": File too large"});
}

}  // namespace
