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

std::uint16_t RefCrc(const Bytes& b) {
  // Bit-wise CRC-16/CCITT-FALSE, independent of the byte-wise form.
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t v : b) {
    crc ^= static_cast<std::uint16_t>(v << 8);
    for (int i = 0; i < 8; ++i)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

Bytes WithCrc(Bytes body) {
  const std::uint16_t crc = RefCrc(body);
  body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  body.push_back(static_cast<std::uint8_t>(crc >> 8));
  return body;
}

Bytes Escape(const Bytes& body) {
  Bytes out{0xC0};
  for (std::uint8_t b : body) {
    if (b == 0xC0) {
      out.push_back(0xDB);
      out.push_back(0xDC);
    } else if (b == 0xDB) {
      out.push_back(0xDB);
      out.push_back(0xDD);
    } else {
      out.push_back(b);
    }
  }
  out.push_back(0xC0);
  return out;
}

template <typename T>
void Append(Bytes& b, T v) {
  std::uint8_t raw[sizeof v];
  std::memcpy(raw, &v, sizeof v);
  b.insert(b.end(), raw, raw + sizeof v);
}

Bytes Reply(std::uint8_t status, const Bytes& data) {
  Bytes body{0x64, 0x63, status};
  body.insert(body.end(), data.begin(), data.end());
  return Escape(WithCrc(body));
}

Bytes IdentReply(const std::string& text) { return Reply(2, Bytes(text.begin(), text.end())); }

// Data reply for the default request (time counts, rate, temperature).
Bytes DataReply(std::uint32_t counts, float rate, float temp) {
  Bytes d;
  Append(d, counts);
  Append(d, rate);
  Append(d, temp);
  return Reply(2, d);
}
Bytes DataReplyF(float time, float rate, float temp) {
  Bytes d;
  Append(d, time);
  Append(d, rate);
  Append(d, temp);
  return Reply(2, d);
}
// Reply for a request without a time field (software time).
Bytes SoftReply(float rate, float temp) {
  Bytes d;
  Append(d, rate);
  Append(d, temp);
  return Reply(2, d);
}

Bytes TriggerFrame(const Bytes& payload) {
  Bytes f{0xC0, 0xC0};
  const Bytes withCrc = WithCrc(payload);
  f.insert(f.end(), withCrc.begin(), withCrc.end());
  return f;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  bool pollAfterIdent = true;  // as the main window does in Normal and OneCommand mode
  int identified = 0;
  std::vector<std::string> texts;
  std::vector<std::string> failures;

  void DeviceIdentified() override {
    ++identified;
    if (pollAfterIdent && packet->Mode != ModeTrigger) packet->BuildDataRequest();
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
  void Feed(const Bytes& b) { p->Receive(b.data(), b.size()); }
  void StartIdentified(const std::string& ident = "FOG-1") {
    Start();
    Feed(IdentReply(ident));
    ASSERT_TRUE(p->Identified);
  }
  Bytes Sent() const { return Bytes(p->SendBuffer.begin(), p->SendBuffer.begin() + p->RequestLength); }

  std::unique_ptr<TPaket> p;
  Owner owner;
};

// --- requests --------------------------------------------------------------

TEST(PaketCrc, CheckValueAndAgreementWithTheBitwiseForm) {
  EXPECT_EQ(TPaket::Crc16(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x29B1);
  EXPECT_EQ(TPaket::Crc16(nullptr, 0), 0xFFFF);
  std::uint32_t x = 12345;
  for (int round = 0; round < 200; ++round) {
    Bytes b(static_cast<std::size_t>(round % 40));
    for (auto& v : b) {
      x = x * 1664525u + 1013904223u;
      v = static_cast<std::uint8_t>(x >> 24);
    }
    EXPECT_EQ(TPaket::Crc16(b.data(), b.size()), RefCrc(b));
    EXPECT_EQ(TPaket::Crc16(b.data(), b.size()), proto::Crc16(b.data(), b.size()));
  }
}

TEST_F(Paket, RequestFramesWithDefaultSettings) {

  p->BuildIdentRequest();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x14, 0xFB, 0x87, 0xC0}));
  EXPECT_EQ(Bytes(p->Request.begin(), p->Request.begin() + p->RequestLength), Sent());

  p->BuildDataRequest();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x04, 0x18, 0x00, 0x00, 0x00, 0x03, 0x00, 0x26, 0xBA,
                           0xC0}));

  p->Mode = ModeOneCommand;
  p->BuildDataRequest();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x0A, 0x04, 0x74, 0xC0}));
}

TEST_F(Paket, DataRequestFieldsFollowTimeSourceAndAreEscaped) {
  p->TimeSource = TimeSoftware;
  p->BuildDataRequest();
  EXPECT_EQ(Sent(), Escape(WithCrc({0x64, 0x63, 0x04, 0x00, 0x00, 0x03, 0x00})));

  p->TimeSource = TimeHardFloat;
  p->Address = 0xC0;
  p->AdSig = 0xDB;
  p->BuildDataRequest();
  const Bytes expected = Escape(WithCrc({0xC0, 0x63, 0x04, 24, 0, 0xDB, 0, 3, 0}));
  const Bytes sent = Sent();
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 5), (Bytes{0xC0, 0xDB, 0xDC, 0x63, 0x04}));
}

TEST_F(Paket, OversizedPayloadLeavesNoRequest) {
  Bytes big(254, 0x11);
  p->BuildFrame(big.data(), big.size());
  EXPECT_EQ(p->RequestLength, 0);
  Bytes escapesTooLong(200, 0xC0);  // 400 bytes once escaped
  p->BuildFrame(escapesTooLong.data(), escapesTooLong.size());
  EXPECT_EQ(p->RequestLength, 0);
}

// --- identification ---------------------------------------------------------

TEST_F(Paket, IdentificationReplyEndsThePhase) {
  Start();
  Feed(IdentReply("VRDT40-123.456-00042 abcd"));
  EXPECT_TRUE(p->Identified);
  EXPECT_EQ(owner.identified, 1);
  ASSERT_EQ(owner.texts.size(), 1u);
  EXPECT_EQ(owner.texts[0], "VRDT40-123.456-00042 abcd");
  EXPECT_EQ(std::memcmp(p->Header.data(), "VRDT40-123.456-00042 abcd", 25), 0);
  EXPECT_EQ(p->Header[25], 0);
  EXPECT_EQ(Sent()[3], 0x04);  // the owner switched to the data request
}

TEST_F(Paket, ShortIdentificationIsZeroFilledAndLongOneCut) {
  Start();
  Feed(IdentReply("ABC"));
  ASSERT_EQ(owner.texts.size(), 1u);
  EXPECT_EQ(owner.texts[0], "ABC");
  for (int i = 3; i < 28; ++i) EXPECT_EQ(p->Header[static_cast<std::size_t>(i)], 0) << i;

  Start();
  Feed(IdentReply("0123456789012345678901234567890"));
  EXPECT_EQ(owner.texts.back(), "0123456789012345678901234");
  EXPECT_EQ(p->Header[25], 0);
  EXPECT_EQ(p->Header[27], 0);
}

TEST_F(Paket, IdentificationAfterIdentifiedIsIgnored) {
  owner.pollAfterIdent = false;  // the identification request stays out
  StartIdentified("FIRST");
  Feed(IdentReply("SECOND"));
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(owner.texts, std::vector<std::string>{"FIRST"});
  EXPECT_EQ(std::memcmp(p->Header.data(), "FIRST\0", 6), 0);
}

TEST_F(Paket, EleventhErrorReplyEndsIdentificationWithDefaultText) {
  Start();
  for (int i = 0; i < 10; ++i) Feed(Reply(3, {}));
  EXPECT_FALSE(p->Identified);
  EXPECT_EQ(p->ErrorReplies, 10);
  EXPECT_EQ(owner.identified, 0);

  Feed(Reply(3, {}));
  EXPECT_TRUE(p->Identified);
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(owner.texts, std::vector<std::string>{"VRDT40-000.000-00000"});
  EXPECT_EQ(p->ErrorReplies, 1);

  // Later error replies only count.
  for (int i = 0; i < 15; ++i) Feed(Reply(3, {}));
  EXPECT_EQ(owner.identified, 1);
  EXPECT_EQ(p->ErrorReplies, 16);
}

TEST_F(Paket, ChunkGoesOnAfterIdentificationInsideIt) {
  Start();
  // Identification clears ChunkLength; the rest of the chunk is still read.
  Feed(Cat({IdentReply("FOG"), Reply(3, {}), Reply(3, {})}));
  EXPECT_TRUE(p->Identified);
  EXPECT_EQ(p->ErrorReplies, 2);
  EXPECT_EQ(p->ChunkLength, 0);
}

TEST_F(Paket, OtherStatusesAreIgnored) {
  Start();
  Feed(Reply(0, {}));
  Feed(Reply(7, Bytes(25, 'x')));
  EXPECT_FALSE(p->Identified);
  EXPECT_EQ(p->ErrorReplies, 0);
  EXPECT_EQ(p->RepliesReceived, 2u);
}

// --- framed replies ---------------------------------------------------------

TEST_F(Paket, DataReplyExampleDecodes) {
  StartIdentified();
  Feed({0xC0, 0x64, 0x63, 0x02, 0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0xC8,
        0x41, 0xFF, 0x7F, 0xC0});
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Time, 1.0f);
  EXPECT_EQ(p->Current.Rate, 0.5f);
  EXPECT_EQ(p->Current.Temperature, 25.0f);
  EXPECT_EQ(p->AverageEngine.Average, 0.5);
  EXPECT_EQ(p->AverageEngine.LastPoint.Time, 1.0f);
}

TEST_F(Paket, FieldTypesFloatTimeAndLongTemperature) {
  p->TimeSource = TimeHardFloat;
  p->TempType = TempLong;
  StartIdentified();
  Bytes d;
  Append(d, 2.5f);
  Append(d, -0.25f);
  Append(d, std::int32_t{-123});
  Feed(Reply(2, d));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Time, 2.5f);
  EXPECT_EQ(p->Current.Rate, -0.25f);
  EXPECT_EQ(p->Current.Temperature, static_cast<float>(-123 * 0.10000000149011612));
}

TEST_F(Paket, EscapedBodiesAndWrongCrc) {
  StartIdentified();
  // Rate 0xC0DB0000 bit pattern and a temperature holding 0xDB and 0xC0.
  Bytes d;
  Append(d, std::uint32_t{115200});
  const Bytes rateBytes{0x00, 0x00, 0xDB, 0xC0};
  const Bytes tempBytes{0xC0, 0xDB, 0xC0, 0x41};
  d.insert(d.end(), rateBytes.begin(), rateBytes.end());
  d.insert(d.end(), tempBytes.begin(), tempBytes.end());
  const Bytes wire = Reply(2, d);
  ASSERT_GT(wire.size(), 19u);  // escapes on the wire
  Feed(wire);
  ASSERT_EQ(p->SamplesAccepted, 1u);
  float rate, temp;
  std::memcpy(&rate, rateBytes.data(), 4);
  std::memcpy(&temp, tempBytes.data(), 4);
  EXPECT_EQ(p->Current.Rate, rate);
  EXPECT_EQ(p->Current.Temperature, temp);

  Bytes bad = DataReply(230400, 1.0f, 20.0f);
  bad[bad.size() - 2] ^= 0x01;
  Feed(bad);
  EXPECT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->CrcErrors, 1u);
  EXPECT_EQ(p->Current.Rate, rate);

  // A body of fewer than five bytes is dropped before any CRC is read.
  Feed({0xC0, 0x01, 0x02, 0x03, 0x04, 0xC0});
  EXPECT_EQ(p->CrcErrors, 2u);
}

TEST_F(Paket, EscapeFollowedByAnyOtherByteYieldsThatByte) {
  StartIdentified();
  Bytes body{0x64, 0x63, 0x02};
  Append(body, std::uint32_t{115200});
  Append(body, 0.5f);
  Append(body, 25.0f);
  body = WithCrc(body);
  Bytes wire = Escape(body);
  // Replace byte 0x63 by 0xDB 0x63 on the wire.
  ASSERT_EQ(wire[2], 0x63);
  wire.insert(wire.begin() + 2, 0xDB);
  Feed(wire);
  EXPECT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Rate, 0.5f);
}

TEST_F(Paket, RepeatedAndSharedDelimiters) {
  StartIdentified();
  const Bytes a = DataReply(115200, 1.0f, 20.0f);
  const Bytes b = DataReply(230400, 2.0f, 21.0f);
  // C0 C0 body C0: one frame.
  Feed(Cat({Bytes{0xC0, 0xC0}, a}));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Rate, 1.0f);
  // C0 a C0 b C0: the closing delimiter of a does not open b.
  Bytes shared = a;
  shared.insert(shared.end(), b.begin() + 1, b.end());
  Feed(shared);
  EXPECT_EQ(p->SamplesAccepted, 2u);
  EXPECT_EQ(p->Current.Rate, 1.0f);
  // ... but the closing delimiter of b opened a frame, and the next frame's
  // own delimiter repeats it.
  EXPECT_EQ(p->AccumLength, 1);
  Feed(b);
  EXPECT_EQ(p->SamplesAccepted, 3u);
  EXPECT_EQ(p->Current.Rate, 2.0f);
  // Bytes outside frames are ignored.
  Feed(Cat({Bytes{0x11, 0x22, 0x33}, a}));
  EXPECT_EQ(p->SamplesAccepted, 4u);
  EXPECT_EQ(p->Current.Rate, 1.0f);
  EXPECT_EQ(p->CrcErrors, 0u);
}

TEST_F(Paket, LongestFrameAndOverLongFrame) {
  owner.pollAfterIdent = false;
  Start();
  // 255 bytes on the wire (delimiters included) is the longest frame.
  auto identOfWireLength = [](std::size_t len) {
    for (std::uint8_t fill = 'a';; ++fill) {
      Bytes data(len - 7, fill);  // C0, 2 + status, data, CRC 2, C0
      const Bytes w = Reply(2, data);
      if (w.size() == len) return w;
    }
  };
  const Bytes longest = identOfWireLength(255);
  const Bytes tooLong = identOfWireLength(256);
  Feed(tooLong);
  EXPECT_FALSE(p->Identified);
  EXPECT_EQ(p->AccumLength, 0);  // dropped at its closing delimiter
  Feed(longest);
  EXPECT_TRUE(p->Identified);

  // A run of non-delimiter bytes resets the accumulator at 255.
  Start();
  Bytes junk{0xC0};
  junk.insert(junk.end(), 600, 0x55);
  Feed(junk);
  EXPECT_LE(p->AccumLength, 255);
  Feed(IdentReply("OK"));
  EXPECT_TRUE(p->Identified);
}

TEST_F(Paket, NaNDropsTheReplyInfinityIsAccepted) {
  StartIdentified();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Feed(DataReply(115200, nan, 25.0f));
  EXPECT_EQ(p->SamplesAccepted, 0u);
  EXPECT_EQ(p->Decoded.Time, 1.0f);  // fields stored so far stay
  EXPECT_TRUE(std::isnan(p->Decoded.Rate));
  EXPECT_EQ(p->Decoded.Temperature, 0.0f);

  Feed(DataReply(115200, 0.5f, nan));
  EXPECT_EQ(p->SamplesAccepted, 0u);

  Feed(DataReply(115200, inf, -inf));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Rate, inf);
  EXPECT_EQ(p->Current.Temperature, -inf);
}

TEST_F(Paket, ShortDataReplyIsDropped) {
  StartIdentified();
  Bytes d;
  Append(d, std::uint32_t{115200});
  Append(d, 0.5f);
  Append(d, std::uint16_t{0});  // half a temperature
  Feed(Reply(2, d));
  EXPECT_EQ(p->SamplesAccepted, 0u);
  EXPECT_EQ(p->RepliesReceived, 2u);
}

TEST_F(Paket, SplitDeliveryEqualsWholeDelivery) {
  StartIdentified();
  Bytes stream;
  for (std::uint32_t i = 1; i <= 400; ++i)
    stream = Cat({stream, DataReply(i * 1152, 0.001f * static_cast<float>(i), 25.0f)});
  ASSERT_GT(stream.size(), 4096u);  // more than one chunk at once
  Feed(stream);
  const SamplePoint whole = p->Current;
  const double average = p->AverageEngine.Average;
  EXPECT_EQ(p->SamplesAccepted, 400u);

  StartIdentified();
  for (std::uint8_t b : stream) p->Receive(&b, 1);
  EXPECT_EQ(p->SamplesAccepted, 400u);
  EXPECT_EQ(p->Current.Time, whole.Time);
  EXPECT_EQ(p->Current.Rate, whole.Rate);
  EXPECT_EQ(p->AverageEngine.Average, average);
}

// --- time reconstruction ----------------------------------------------------

TEST_F(Paket, HardwareTimeGoingBack) {
  p->TimeSource = TimeHardFloat;
  StartIdentified();
  Feed(DataReplyF(100.0f, 0, 0));
  EXPECT_EQ(p->Current.Time, 100.0f);
  Feed(DataReplyF(0.5f, 0, 0));
  EXPECT_EQ(p->TimeOffset, 100.0);
  EXPECT_EQ(p->Current.Time, 100.5f);
  EXPECT_EQ(p->Previous.Time, 0.5f);

  StartIdentified();
  Feed(DataReplyF(100.0f, 0, 0));
  Feed(DataReplyF(96.0f, 0, 0));
  EXPECT_EQ(p->TimeOffset, 0.0);
  EXPECT_EQ(p->Current.Time, 96.0f);
  Feed(DataReplyF(91.0f, 0, 0));  // exactly 5 s back: not corrected
  EXPECT_EQ(p->Current.Time, 91.0f);
}

TEST_F(Paket, SoftwareTimeStepsByTheSamplePeriod) {
  p->TimeSource = TimeSoftware;
  StartIdentified();
  const float expected[] = {0.1f, 0.2f, 0.3f, 0.4f};
  for (float t : expected) {
    Feed(SoftReply(1.0f, 20.0f));
    EXPECT_EQ(p->Current.Time, t);
  }
  // Sample 0 would divide by zero: it acts as 10.
  p->Sample = 0;
  StartIdentified();
  Feed(SoftReply(1.0f, 20.0f));
  EXPECT_EQ(p->Current.Time, 0.1f);
}

// --- display pace and snapshot ---------------------------------------------

TEST_F(Paket, DisplayPaceAtSample10) {
  p->TimeSource = TimeSoftware;
  p->Resolution = 4000;
  StartIdentified();
  EXPECT_EQ(p->DisplayInterval, 0.03999999910593033);
  EXPECT_FALSE(p->DisplayReady);
  for (int i = 1; i <= 20; ++i) {
    Feed(SoftReply(1.0f, 20.0f));
    ASSERT_TRUE(p->DisplayReady) << i;
    p->TakeSnapshot();
    EXPECT_FALSE(p->DisplayReady);
  }
}

TEST_F(Paket, DisplayPaceAtSample125) {
  p->TimeSource = TimeSoftware;
  p->Sample = 125;
  p->Resolution = 4000;
  StartIdentified();
  // Expected indices from the rule itself, in the stated precisions.
  std::vector<int> expected;
  {
    double soft = 0, last = 0;
    for (int i = 1; i <= 1250; ++i) {
      soft += 1.0 / 125;
      const float t = static_cast<float>(soft);
      if (static_cast<double>(t) - last >= static_cast<double>(0.04f)) {
        last = t;
        expected.push_back(i);
      }
    }
  }
  std::vector<int> due;
  for (int i = 1; i <= 1250; ++i) {
    Feed(SoftReply(1.0f, 20.0f));
    if (p->DisplayReady) {
      due.push_back(i);
      p->TakeSnapshot();
    }
  }
  EXPECT_EQ(due, expected);
  ASSERT_FALSE(due.empty());
  EXPECT_EQ(due.front(), 5);
  bool sawFive = false, sawSix = false;
  for (std::size_t k = 1; k < due.size(); ++k) {
    const int gap = due[k] - due[k - 1];
    EXPECT_TRUE(gap == 5 || gap == 6) << gap;
    sawFive |= gap == 5;
    sawSix |= gap == 6;
  }
  EXPECT_TRUE(sawFive && sawSix);
  EXPECT_GE(due.size(), 210u);  // about 25 per second of sample time
  EXPECT_LE(due.size(), 250u);

  // At most one display record per receive event.
  Bytes many;
  for (int i = 0; i < 50; ++i) many = Cat({many, SoftReply(1.0f, 20.0f)});
  const double before = p->LastShownTime;
  Feed(many);
  EXPECT_TRUE(p->DisplayReady);
  EXPECT_EQ(p->LastShownTime, static_cast<double>(p->Current.Time));
  EXPECT_GT(p->LastShownTime, before + 0.3);
}

TEST_F(Paket, NoDisplayPaceDuringIdentificationOrAtTimeZero) {
  Start();
  for (int i = 0; i < 5; ++i) Feed(Reply(3, {}));
  EXPECT_FALSE(p->DisplayReady);
  StartIdentified();
  Feed(DataReply(0, 1.0f, 20.0f));  // hardware time 0
  EXPECT_EQ(p->SamplesAccepted, 1u);
  EXPECT_FALSE(p->DisplayReady);
}

TEST_F(Paket, ResolutionSetsTheIntervalOtherValuesKeepIt) {
  p->Resolution = 2000;
  p->Reset();
  EXPECT_EQ(p->DisplayInterval, 0.10000000149011612);
  p->Resolution = 6000;
  p->Reset();
  EXPECT_EQ(p->DisplayInterval, 0.019999999552965164);
  p->Resolution = 1234;
  p->Reset();
  EXPECT_EQ(p->DisplayInterval, 0.019999999552965164);
}

TEST_F(Paket, SnapshotCarriesValuesAndStatistics) {
  p->TimeSource = TimeSoftware;
  StartIdentified();
  const float rates[] = {1.0f, 3.0f, 1.0f, 3.0f};
  for (float r : rates) Feed(SoftReply(r, 22.5f));
  const DisplayRecord d = p->TakeSnapshot();
  EXPECT_EQ(d.time, 0.4f);
  EXPECT_EQ(d.rate, 3.0f);
  EXPECT_EQ(d.temperature, 22.5f);
  EXPECT_EQ(d.average, 2.0);
  EXPECT_EQ(d.rms, 1.0);
  EXPECT_EQ(d.minRms, 1.0);
  EXPECT_EQ(d.frame, 0);
  EXPECT_EQ(d.frameFrequency, 0.0);
  EXPECT_FALSE(p->DisplayReady);
}

// --- OneCommand mode --------------------------------------------------------

TEST_F(Paket, OneCommandRepliesCarryTheRateOnly) {
  p->Mode = ModeOneCommand;
  p->TimeSource = TimeSoftware;
  StartIdentified();
  EXPECT_EQ(Sent(), (Bytes{0xC0, 0x64, 0x63, 0x0A, 0x04, 0x74, 0xC0}));
  Bytes d;
  Append(d, -2.0f);
  Feed(Reply(2, d));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Time, 0.1f);
  EXPECT_EQ(p->Current.Rate, -2.0f);
  EXPECT_EQ(p->Current.Temperature, 0.0f);  // keeps its last value

  Feed(Reply(3, d));                // not STATUS_OK
  Feed(Reply(2, {0x01, 0x02}));     // too short for a rate
  EXPECT_EQ(p->SamplesAccepted, 1u);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Bytes n;
  Append(n, nan);
  Feed(Reply(2, n));  // no NaN test in this mode
  EXPECT_EQ(p->SamplesAccepted, 2u);
}

TEST_F(Paket, OneCommandWithHardwareTimeDoesNotAdvance) {
  p->Mode = ModeOneCommand;
  StartIdentified();
  Bytes d;
  Append(d, 1.0f);
  Feed(Reply(2, d));
  Feed(Reply(2, d));
  EXPECT_EQ(p->SamplesAccepted, 2u);
  EXPECT_EQ(p->Current.Time, 0.0f);
  EXPECT_FALSE(p->DisplayReady);
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

TEST_F(PaketTrigger, ExampleFrameDecodes) {
  StartTrigger(true, true, true);
  EXPECT_EQ(p->TriggerLength, 12);
  Feed({0xC0, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0xFA, 0x00, 0x07, 0x00, 0x00, 0xC2, 0x01, 0x00, 0xB9,
        0x87});
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Rate, 0.5f);
  EXPECT_EQ(p->Current.Temperature, 25.0f);
  EXPECT_EQ(p->Snapshot.frame, 7);
  EXPECT_EQ(p->Current.Time, 1.0f);
  EXPECT_NEAR(p->FrameFrequency, 1.0, 1e-7);
  EXPECT_TRUE(p->DisplayReady);
  const DisplayRecord d = p->TakeSnapshot();
  EXPECT_EQ(d.frame, 7);
  EXPECT_EQ(d.frameFrequency, p->FrameFrequency);
}

TEST_F(PaketTrigger, NegativeTemperatureAndSkippedBytes) {
  StartTrigger(true, true, true);
  Bytes pl;
  Append(pl, 0.25f);
  Append(pl, std::int16_t{-10});  // F6 FF
  Append(pl, std::uint16_t{8});
  Append(pl, std::uint32_t{230400});
  const Bytes f = TriggerFrame(pl);
  EXPECT_EQ(f[6], 0xF6);
  EXPECT_EQ(f[7], 0xFF);
  // Junk before the sync pair and extra delimiters after it are skipped.
  Feed(Cat({Bytes{0x12, 0x34, 0xC0}, f}));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Temperature, -1.0f);
  EXPECT_EQ(p->Current.Time, 2.0f);
  EXPECT_EQ(p->Snapshot.frame, 8);
}

TEST_F(PaketTrigger, PayloadStartingWithDelimiterFailsItsCrc) {
  StartTrigger(false, false, false);
  EXPECT_EQ(p->TriggerLength, 4);
  Bytes pl{0xC0, 0x00, 0x80, 0x3F};
  Feed(TriggerFrame(pl));
  EXPECT_EQ(p->SamplesAccepted, 0u);
  // Good frames are taken again once the receiver has found a sync pair.
  Bytes good;
  Append(good, 1.5f);
  for (int i = 0; i < 3; ++i) Feed(TriggerFrame(good));
  EXPECT_GE(p->SamplesAccepted, 1u);
  EXPECT_EQ(p->Current.Rate, 1.5f);
  EXPECT_GE(p->CrcErrors, 1u);
}

TEST_F(PaketTrigger, DelimiterInsidePayloadIsData) {
  StartTrigger(false, false, false);
  Bytes pl{0x00, 0xC0, 0xC0, 0x3F};
  Feed(TriggerFrame(pl));
  ASSERT_EQ(p->SamplesAccepted, 1u);
  float r;
  std::memcpy(&r, pl.data(), 4);
  EXPECT_EQ(p->Current.Rate, r);
}

TEST_F(PaketTrigger, SoftwareClockStepsByImpulsePeriod) {
  p->FreqImpulse = 50.0;
  StartTrigger(true, false, false);
  Bytes pl;
  Append(pl, 1.0f);
  Append(pl, std::int16_t{250});
  Feed(Cat({TriggerFrame(pl), TriggerFrame(pl), TriggerFrame(pl)}));
  EXPECT_EQ(p->SamplesAccepted, 3u);
  EXPECT_EQ(p->Current.Time, static_cast<float>(0.02 + 0.02 + 0.02));
  EXPECT_EQ(p->Current.Temperature, 25.0f);
  EXPECT_EQ(p->Snapshot.frame, 0);

  for (double bad : {0.0, -5.0, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity()}) {
    p->FreqImpulse = bad;
    StartTrigger(false, false, false);
    Bytes r;
    Append(r, 1.0f);
    Feed(Cat({TriggerFrame(r), TriggerFrame(r)}));
    EXPECT_EQ(p->Current.Time, 0.02f) << bad;  // acts as 100 Hz
  }
}

TEST_F(PaketTrigger, FrameFrequencyAndWrap) {
  StartTrigger(false, false, true);
  auto frame = [](std::uint32_t counts) {
    Bytes pl;
    Append(pl, 0.0f);
    Append(pl, counts);
    return TriggerFrame(pl);
  };
  const double scale = p->TimeScale;
  Feed(frame(115200));
  Feed(frame(116352));  // 10 ms later
  EXPECT_DOUBLE_EQ(p->FrameFrequency, 1.0 / (116352 * scale - 115200 * scale));
  EXPECT_NEAR(p->FrameFrequency, 100.0, 0.01);
  const double f = p->FrameFrequency;
  Feed(frame(116352));  // equal time keeps the last frequency
  EXPECT_EQ(p->FrameFrequency, f);

  StartTrigger(false, false, true);
  Feed(frame(11520000));  // 100 s
  Feed(frame(57600));     // 0.5 s: the device clock restarted
  EXPECT_NEAR(p->TimeOffset, 100.0, 1e-6);
  EXPECT_EQ(p->Current.Time, 100.5f);
  EXPECT_NEAR(p->FrameFrequency, 2.0, 1e-6);
  Feed(frame(11520000));
  Feed(frame(0));  // restart exactly at zero: frequency kept, offset grows
  EXPECT_NEAR(p->TimeOffset, 200.0, 1e-5);
  EXPECT_EQ(p->Current.Time, 200.0f);
  EXPECT_TRUE(std::isfinite(p->FrameFrequency));
}

TEST_F(PaketTrigger, FramedRepliesAreNotDataInTriggerMode) {
  StartTrigger(false, false, false);
  Feed(DataReply(115200, 0.5f, 25.0f));
  EXPECT_EQ(p->SamplesAccepted, 0u);
}

// --- reset ------------------------------------------------------------------

TEST_F(Paket, ResetStartsAFreshRun) {
  p->TimeSource = TimeSoftware;
  StartIdentified();
  for (int i = 0; i < 5; ++i) Feed(SoftReply(2.0f, 30.0f));
  p->Mode = ModeTrigger;
  p->TrigMask = {true, false, true};
  p->MeanTime = 7;
  p->Reset();
  EXPECT_FALSE(p->Identified);
  EXPECT_FALSE(p->DisplayReady);
  EXPECT_EQ(p->SoftTime, 0.0);
  EXPECT_EQ(p->Current.Rate, 0.0f);
  EXPECT_EQ(p->SamplesAccepted, 0u);
  EXPECT_EQ(p->TriggerLength, 10);
  EXPECT_EQ(p->AverageEngine.Average, 0.0);
  EXPECT_EQ(p->AverageEngine.WriteIndex, 0);
  EXPECT_EQ(p->AverageEngine.MeanTime, 7);
  EXPECT_EQ(p->AverageEngine.Mode, ModeTrigger);
  EXPECT_EQ(std::memcmp(p->Header.data(), "VRDT40-000.000-00000\0\0\0\0\0\0\0\0", 28), 0);
}

}  // namespace
