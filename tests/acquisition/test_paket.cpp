// Packet processor: request frames, the framed-reply and trigger receivers,
// decoding, time reconstruction, identification and display pacing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Paket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float Inf = std::numeric_limits<float>::infinity();

template <typename... T>
Bytes Le(T... v) {
  Bytes b;
  auto put = [&b](auto x) {
    const std::size_t at = b.size();
    b.resize(at + sizeof x);
    std::memcpy(b.data() + at, &x, sizeof x);
  };
  (put(v), ...);
  return b;
}

Bytes WithCrc(Bytes b, std::size_t from = 0) {
  const std::uint16_t crc = proto::Crc16(b.data() + from, b.size() - from);
  b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  b.push_back(static_cast<std::uint8_t>(crc >> 8));
  return b;
}

Bytes Framed(const Bytes& body) {
  Bytes out(body.size() * 2 + 2);
  out.resize(proto::EscapeFrame(body.data(), body.size(), out.data(), out.size()));
  return out;
}

Bytes Reply(std::uint8_t status, const Bytes& data = {}) {
  Bytes body{0x64, 0x63, status};
  body.insert(body.end(), data.begin(), data.end());
  return Framed(WithCrc(body));
}
Bytes Ident(const std::string& text) { return Reply(2, Bytes(text.begin(), text.end())); }
Bytes Trigger(const Bytes& payload) {
  Bytes f{0xC0, 0xC0};
  f.insert(f.end(), payload.begin(), payload.end());
  return WithCrc(f, 2);
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  bool poll = true;  // build the data request, as the main window does
  int identified = 0;
  std::vector<std::string> texts;
  void DeviceIdentified() override {
    ++identified;
    if (poll && packet->Mode != ModeTrigger) packet->BuildDataRequest();
  }
  void IdentificationText(const std::string& text) override { texts.push_back(text); }
  void RecordingFailed(const std::string&, const std::string&) override {}
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
    Feed(Ident("FOG-1"));
    ASSERT_TRUE(p->Identified);
  }
  void Feed(const Bytes& b) { p->Receive(b.data(), b.size()); }
  Bytes Sent() const { return Bytes(p->SendBuffer.begin(), p->SendBuffer.begin() + p->RequestLength); }

  std::unique_ptr<TPaket> p;
  Owner owner;
};

TEST(PaketCrc, TableFormAgreesWithTheByteWiseForm) {
  EXPECT_EQ(TPaket::Crc16(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x29B1);
  std::uint32_t x = 12345;
  for (int len = 0; len < 40; ++len) {
    Bytes b(static_cast<std::size_t>(len));
    for (auto& v : b) v = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    EXPECT_EQ(TPaket::Crc16(b.data(), b.size()), proto::Crc16(b.data(), b.size()));
  }
}

TEST_F(Paket, RequestFrames) {
  p->BuildIdentRequest();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x14, 0xFB, 0x87, 0xC0}));
  p->BuildDataRequest();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x04, 0x18, 0x00, 0x00, 0x00, 0x03, 0x00, 0x26, 0xBA,
                           0xC0}));
  p->Mode = ModeOneCommand;
  p->BuildDataRequest();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x0A, 0x04, 0x74, 0xC0}));

  p->Mode = ModeNormal;
  p->TimeSource = TimeSoftware;
  p->Address = 0xC0;
  p->AdSig = 0xDB;
  p->BuildDataRequest();  // no time field; 0xC0 and 0xDB escaped
  const Bytes sent = Sent();
  EXPECT_EQ(sent, Framed(WithCrc({0xC0, 0x63, 0x04, 0xDB, 0x00, 0x03, 0x00})));
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 6), (Bytes{0xC0, 0xDB, 0xDC, 0x63, 0x04, 0xDB}));

  Bytes tooLong(200, 0xC0);  // 400 bytes once escaped
  p->BuildFrame(tooLong.data(), tooLong.size());
  EXPECT_EQ(p->RequestLength, 0);
}

// --- identification ---------------------------------------------------------

TEST_F(Paket, IdentificationReply) {
  owner.poll = false;  // the identification request stays out
  Start();
  Feed(Ident("ABC"));  // short: the rest of the text is zero
  EXPECT_TRUE(p->Identified);
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(owner.texts, std::vector<std::string>{"ABC"});
  for (int i = 3; i < 28; ++i) EXPECT_EQ(p->Header[static_cast<std::size_t>(i)], 0) << i;

  Feed(Ident("SECOND"));  // after Identified: ignored
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(p->Header[0], 'A');

  Start();
  // Identification clears ChunkLength; the rest of its chunk is still read.
  Feed(Cat({Ident("0123456789012345678901234567890"), Reply(3), Reply(3)}));
  EXPECT_EQ(owner.texts.back(), "0123456789012345678901234");
  EXPECT_EQ(p->Header[25], 0);
  EXPECT_EQ(p->ErrorReplies, 2);
}

TEST_F(Paket, EleventhErrorReplyEndsIdentification) {
  Start();
  Feed(Reply(7, Bytes(25, 'x')));  // other statuses are ignored
  for (int i = 0; i < 10; ++i) Feed(Reply(3));
  EXPECT_FALSE(p->Identified);
  EXPECT_EQ(owner.identified, 0);
  Feed(Reply(3));
  EXPECT_TRUE(p->Identified);
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(owner.texts, std::vector<std::string>{"VRDT40-000.000-00000"});
  for (int i = 0; i < 15; ++i) Feed(Reply(3));  // later ones only count
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(p->ErrorReplies, 16);
}

// --- framed replies ---------------------------------------------------------

TEST_F(Paket, DataReplyExampleAndFieldTypes) {
  StartIdentified();
  Feed({0xC0, 0x64, 0x63, 0x02, 0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0xC8,
        0x41, 0xFF, 0x7F, 0xC0});
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Time, 1.0f);
  EXPECT_EQ(p->Current.Rate, 0.5f);
  EXPECT_EQ(p->Current.Temperature, 25.0f);
  EXPECT_EQ(p->AverageEngine.Average, 0.5);

  p->TimeSource = TimeHardFloat;
  p->TempType = TempLong;
  StartIdentified();
  Feed(Reply(2, Le(2.5f, -0.25f, std::int32_t{-123})));
  EXPECT_EQ(p->Current.Time, 2.5f);
  EXPECT_EQ(p->Current.Temperature, static_cast<float>(-123 * 0.10000000149011612));
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
  EXPECT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->CrcErrors, 2u);

  // 0xDB followed by any other byte stands for that byte.
  Bytes odd = Reply(2, Le(std::uint32_t{230400}, 2.0f, 20.0f));
  odd.insert(odd.begin() + 2, 0xDB);
  Feed(odd);
  EXPECT_EQ(p->Current.Rate, 2.0f);

  const Bytes a = Reply(2, Le(std::uint32_t{345600}, 3.0f, 20.0f));
  const Bytes b = Reply(2, Le(std::uint32_t{460800}, 4.0f, 21.0f));
  Feed(Cat({{0xC0, 0xC0}, a}));  // C0 C0 body C0 is one frame
  EXPECT_EQ(p->Current.Rate, 3.0f);
  Bytes shared = b;  // C0 b C0 a C0: a is skipped
  shared.insert(shared.end(), a.begin() + 1, a.end());
  Feed(shared);
  EXPECT_EQ(p->Current.Rate, 4.0f);
  EXPECT_EQ(p->AccumLength, 1);  // ... and its last delimiter opened a frame
  Feed(Cat({a, {0x11, 0x22}, b}));  // bytes outside frames are ignored
  EXPECT_EQ(p->SamplesAccepted, 6u);
  EXPECT_EQ(p->CrcErrors, 2u);
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
  EXPECT_FALSE(p->Identified);
  EXPECT_EQ(p->AccumLength, 0);
  Feed(identOnWire(255));
  EXPECT_TRUE(p->Identified);

  Start();
  Bytes junk{0xC0};
  junk.insert(junk.end(), 600, 0x55);
  Feed(Cat({junk, Ident("OK")}));
  EXPECT_TRUE(p->Identified);
}

TEST_F(Paket, NaNInfinityAndShortReplies) {
  StartIdentified();
  Feed(Reply(2, Le(std::uint32_t{115200}, NaN, 25.0f)));
  EXPECT_EQ(p->SamplesAccepted, 0u);
  EXPECT_EQ(p->Decoded.Time, 1.0f);  // fields stored so far stay
  EXPECT_EQ(p->Decoded.Temperature, 0.0f);
  Feed(Reply(2, Le(std::uint32_t{115200}, 0.5f, NaN)));
  Feed(Reply(2, Le(std::uint32_t{115200}, 0.5f, std::uint16_t{0})));  // half a temperature
  EXPECT_EQ(p->SamplesAccepted, 0u);
  Feed(Reply(2, Le(std::uint32_t{115200}, Inf, -Inf)));
  EXPECT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Temperature, -Inf);
}

// --- time and display pace --------------------------------------------------

TEST_F(Paket, HardwareTimeGoingBack) {
  p->TimeSource = TimeHardFloat;
  StartIdentified();
  Feed(Reply(2, Le(100.0f, 0.0f, 0.0f)));
  Feed(Reply(2, Le(0.5f, 0.0f, 0.0f)));
  EXPECT_EQ(p->TimeOffset, 100.0);
  EXPECT_EQ(p->Current.Time, 100.5f);

  StartIdentified();
  Feed(Reply(2, Le(100.0f, 0.0f, 0.0f)));
  Feed(Reply(2, Le(96.0f, 0.0f, 0.0f)));
  EXPECT_EQ(p->Current.Time, 96.0f);
  Feed(Reply(2, Le(91.0f, 0.0f, 0.0f)));  // exactly 5 s back: not corrected
  EXPECT_EQ(p->Current.Time, 91.0f);
}

TEST_F(Paket, SoftwareTimeAndDisplayPace) {
  p->TimeSource = TimeSoftware;
  StartIdentified();
  EXPECT_EQ(p->DisplayInterval, 0.03999999910593033);
  for (float t : {0.1f, 0.2f, 0.3f, 0.4f}) {
    Feed(Reply(2, Le(1.0f, 20.0f)));
    EXPECT_EQ(p->Current.Time, t);
    EXPECT_TRUE(p->DisplayReady);  // every reply at Sample 10
    p->TakeSnapshot();
    EXPECT_FALSE(p->DisplayReady);
  }

  p->Sample = 125;
  StartIdentified();
  std::vector<int> expected, due;
  double soft = 0, last = 0;
  for (int i = 1; i <= 1250; ++i) {
    soft += 1.0 / 125;
    const float t = static_cast<float>(soft);
    if (static_cast<double>(t) - last >= static_cast<double>(0.04f)) {
      last = t;
      expected.push_back(i);
    }
    Feed(Reply(2, Le(1.0f, 20.0f)));
    if (p->DisplayReady) {
      due.push_back(i);
      p->TakeSnapshot();
    }
  }
  EXPECT_EQ(due, expected);
  EXPECT_EQ(due.front(), 5);
  int gaps[8] = {};
  for (std::size_t k = 1; k < due.size(); ++k) ++gaps[std::min(due[k] - due[k - 1], 7)];
  EXPECT_EQ(gaps[5] + gaps[6], static_cast<int>(due.size()) - 1);  // every fifth or sixth
  EXPECT_GT(gaps[6], 0);

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
  EXPECT_EQ(d.time, 0.4f);
  EXPECT_EQ(d.rate, 3.0f);
  EXPECT_EQ(d.temperature, 22.5f);
  EXPECT_EQ(d.average, 2.0);
  EXPECT_EQ(d.rms, 1.0);
  EXPECT_EQ(d.minRms, 1.0);
}

TEST_F(Paket, OneCommandReplies) {
  p->Mode = ModeOneCommand;
  p->TimeSource = TimeSoftware;
  StartIdentified();
  Feed(Reply(2, Le(-2.0f)));
  EXPECT_EQ(p->Current.Time, 0.1f);
  EXPECT_EQ(p->Current.Rate, -2.0f);
  Feed(Reply(3, Le(1.0f)));
  Feed(Reply(2, {0x01, 0x02}));  // too short for a rate
  EXPECT_EQ(p->SamplesAccepted, 1u);
  Feed(Reply(2, Le(NaN)));  // no NaN test in this mode
  EXPECT_EQ(p->SamplesAccepted, 2u);

}

// The owner's real sequence: the timer repeats the identification request,
// so a second identification reply may follow the first after the data
// request was built (in the same read or the next). It is never a sample,
// in any mode or time source; a OneCommand reply carries no time, so its
// samples take the software clock whatever time source is stored.
TEST_F(Paket, LateIdentificationReplyIsNeverASample) {
  struct Case {
    std::int32_t mode, timeSource;
    float firstTime;
  } cases[] = {
      {ModeNormal, TimeHardFloat, 1.0f},    {ModeNormal, TimeHardUlong, 1.0f},
      {ModeNormal, TimeSoftware, 0.1f},     {ModeOneCommand, TimeHardFloat, 0.1f},
      {ModeOneCommand, TimeHardUlong, 0.1f}, {ModeOneCommand, TimeSoftware, 0.1f},
  };
  for (const Case& c : cases) {
    for (bool oneRead : {true, false}) {
      SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " time " << c.timeSource
                                        << (oneRead ? " one read" : " two reads"));
      p->Mode = c.mode;
      p->TimeSource = c.timeSource;
      Bytes data;
      if (c.mode == ModeOneCommand)
        data = Reply(2, Le(0.5f));
      else if (c.timeSource == TimeHardFloat)
        data = Reply(2, Le(1.0f, 0.5f, 25.0f));
      else if (c.timeSource == TimeHardUlong)
        data = Reply(2, Le(std::uint32_t{115200}, 0.5f, 25.0f));
      else
        data = Reply(2, Le(0.5f, 25.0f));
      const Bytes ident = Ident("VRDT40-123.456-00042");
      Start();
      if (oneRead) {
        Feed(Cat({ident, ident, data}));
      } else {
        Feed(ident);
        Feed(Cat({ident, data}));
      }
      EXPECT_EQ(p->SamplesAccepted, 1u);
      EXPECT_EQ(p->Current.Time, c.firstTime);
      EXPECT_EQ(p->Current.Rate, 0.5f);
      Feed(data);
      EXPECT_EQ(p->SamplesAccepted, 2u);
    }
  }
}

// --- Trigger mode -----------------------------------------------------------

class PaketTrigger : public Paket {
 protected:
  void StartTrigger(bool temp, bool count, bool time) {
    p->Mode = ModeTrigger;
    p->TrigMask = {temp, count, time};
    StartIdentified();
  }
};

TEST_F(PaketTrigger, FramesDecode) {
  StartTrigger(true, true, true);
  EXPECT_EQ(p->TriggerLength, 12);
  Feed({0xC0, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0xFA, 0x00, 0x07, 0x00, 0x00, 0xC2, 0x01, 0x00, 0xB9,
        0x87});
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Rate, 0.5f);
  EXPECT_EQ(p->Current.Temperature, 25.0f);
  EXPECT_EQ(p->Current.Time, 1.0f);
  EXPECT_EQ(p->TakeSnapshot().frame, 7);

  // Junk before the sync pair and delimiters after it are skipped.
  const Bytes f = Trigger(Le(0.25f, std::int16_t{-10}, std::uint16_t{8}, std::uint32_t{230400}));
  EXPECT_EQ(f[6], 0xF6);
  EXPECT_EQ(f[7], 0xFF);
  Feed(Cat({{0x12, 0xC0}, f}));
  EXPECT_EQ(p->Current.Temperature, -1.0f);
  EXPECT_EQ(p->Current.Time, 2.0f);
  EXPECT_EQ(p->Snapshot.frame, 8);

  Feed(Reply(2, Le(std::uint32_t{115200}, 0.5f, 25.0f)));  // framed replies are not data here
  EXPECT_EQ(p->SamplesAccepted, 2u);
}

// A device that streams right after its answer puts the answer and its
// first frames into one read: every frame is taken, also behind a second,
// late identification reply.
TEST_F(PaketTrigger, FramesInTheReadOfTheIdentificationReply) {
  p->Mode = ModeTrigger;
  p->TrigMask = {true, true, true};
  const Bytes ident = Ident("VRDT40-123.456-00042");
  Bytes frames;
  for (std::uint16_t k = 1; k <= 5; ++k)
    frames = Cat({frames, Trigger(Le(0.25f * k, std::int16_t{250}, k, std::uint32_t{115200u * k}))});
  for (const Bytes& read : {Cat({ident, frames}), Cat({ident, ident, frames})}) {
    Start();
    Feed(read);
    EXPECT_EQ(p->SamplesAccepted, 5u);
    EXPECT_EQ(p->Current.Time, 5.0f);
    EXPECT_EQ(p->Snapshot.frame, 5);
  }
}

TEST_F(PaketTrigger, DelimiterAsPayloadByte) {
  StartTrigger(false, false, false);
  Feed(Trigger({0x00, 0xC0, 0xC0, 0x3F}));  // inside the payload: data
  EXPECT_EQ(p->SamplesAccepted, 1u);
  Feed(Trigger({0xC0, 0x00, 0x80, 0x3F}));  // first: taken for a sync byte
  EXPECT_EQ(p->SamplesAccepted, 1u);
  for (int i = 0; i < 3; ++i) Feed(Trigger(Le(1.5f)));
  EXPECT_EQ(p->Current.Rate, 1.5f);
  EXPECT_GE(p->CrcErrors, 1u);
}

TEST_F(PaketTrigger, SoftwareClock) {
  p->FreqImpulse = 50.0;
  StartTrigger(true, false, false);
  const Bytes f = Trigger(Le(1.0f, std::int16_t{250}));
  Feed(Cat({f, f, f}));
  EXPECT_EQ(p->Current.Time, static_cast<float>(0.02 + 0.02 + 0.02));
  EXPECT_EQ(p->Current.Temperature, 25.0f);
  for (double bad : {0.0, -5.0, std::nan(""), HUGE_VAL}) {
    p->FreqImpulse = bad;
    StartTrigger(false, false, false);
    Feed(Cat({Trigger(Le(1.0f)), Trigger(Le(1.0f))}));
    EXPECT_EQ(p->Current.Time, 0.02f) << bad;  // acts as 100 Hz
  }
}

TEST_F(PaketTrigger, FrameFrequencyAndClockRestart) {
  StartTrigger(false, false, true);
  auto frame = [](std::uint32_t counts) { return Trigger(Le(0.0f, counts)); };
  const double scale = p->TimeScale;
  Feed(frame(115200));
  Feed(frame(116352));
  EXPECT_DOUBLE_EQ(p->FrameFrequency, 1.0 / (116352 * scale - 115200 * scale));
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

}  // namespace
