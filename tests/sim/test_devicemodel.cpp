#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Protocol.h"
#include "settings/Optionsprogramm.h"
#include "sim/DeviceModel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The program's requests with the default settings.
const Bytes kIdentRequest = {0xC0, 0x64, 0x63, 0x14, 0xFB, 0x87, 0xC0};
const Bytes kDataRequest = {0xC0, 0x64, 0x63, 0x04, 0x18, 0x00, 0x00,
                            0x00, 0x03, 0x00, 0x26, 0xBA, 0xC0};
const Bytes kOneCommandRequest = {0xC0, 0x64, 0x63, 0x0A, 0x04, 0x74, 0xC0};

// Framed request from a payload: CRC appended, escaped, delimited.
Bytes Request(Bytes payload) {
  const std::uint16_t crc = proto::Crc16(payload.data(), payload.size());
  payload.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  payload.push_back(static_cast<std::uint8_t>(crc >> 8));
  Bytes out(2 * payload.size() + 2);
  out.resize(proto::EscapeFrame(payload.data(), payload.size(), out.data(), out.size()));
  return out;
}

Bytes Feed(TDeviceModel& dev, const Bytes& in, double now) {
  dev.Feed(in.data(), in.size(), now);
  Bytes out;
  dev.Take(out);
  return out;
}

// Splits a stream of framed replies into unescaped bodies (CRC included).
// Bytes outside frames are skipped; each frame must start with 0xC0.
std::vector<Bytes> Unframe(const Bytes& stream) {
  std::vector<Bytes> frames;
  Bytes cur;
  bool in = false, esc = false;
  for (std::uint8_t c : stream) {
    if (c == 0xC0) {
      if (in && !cur.empty()) {
        frames.push_back(cur);
        in = false;
      } else {
        in = true;
      }
      cur.clear();
      esc = false;
      continue;
    }
    if (!in) continue;
    if (esc) {
      cur.push_back(c == 0xDC ? 0xC0 : c == 0xDD ? 0xDB : 0xEE);
      esc = false;
    } else if (c == 0xDB) {
      esc = true;
    } else {
      cur.push_back(c);
    }
  }
  return frames;
}

bool CrcOk(const Bytes& body) {
  if (body.size() < 3) return false;
  const std::size_t m = body.size() - 2;
  return proto::GetLE<std::uint16_t>(&body[m]) == proto::Crc16(body.data(), m);
}

float F32(const Bytes& b, std::size_t at) { return proto::GetLE<float>(&b[at]); }
std::uint32_t U32(const Bytes& b, std::size_t at) { return proto::GetLE<std::uint32_t>(&b[at]); }

float FloatFromBytes(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
  const std::uint8_t raw[4] = {b0, b1, b2, b3};
  float f;
  std::memcpy(&f, raw, 4);
  return f;
}

TDeviceConfig TriggerConfig(bool temp, bool count, bool time) {
  TDeviceConfig c;
  c.TriggerMode = true;
  c.TrigMask = {temp, count, time};
  return c;
}

}  // namespace

// ------------------------------------------------------------ exact bytes ---

TEST(DeviceReplies, DataReplyOfTheDefaultRequestIsByteExact) {
  TDeviceModel dev;
  dev.SetFixedSignal(0.5f, 25.0f);
  // Time 1.0 s = 115200 counts, rate 0.5, temperature 25.0.
  const Bytes expect = {0xC0, 0x64, 0x63, 0x02, 0x00, 0xC2, 0x01, 0x00, 0x00, 0x00,
                        0x00, 0x3F, 0x00, 0x00, 0xC8, 0x41, 0xFF, 0x7F, 0xC0};
  EXPECT_EQ(Feed(dev, kDataRequest, 1.0), expect);
  EXPECT_EQ(dev.Stats().Requests, 1u);
  EXPECT_EQ(dev.Stats().Replies, 1u);
}

TEST(DeviceReplies, IdentificationReplyCarries25ZeroPaddedBytes) {
  TDeviceModel dev;
  const Bytes out = Feed(dev, kIdentRequest, 0.0);
  ASSERT_EQ(out.front(), 0xC0);
  ASSERT_EQ(out.back(), 0xC0);
  const auto frames = Unframe(out);
  ASSERT_EQ(frames.size(), 1u);
  const Bytes& b = frames[0];
  ASSERT_EQ(b.size(), 3u + 25u + 2u);
  EXPECT_TRUE(CrcOk(b));
  EXPECT_EQ(b[0], 100);
  EXPECT_EQ(b[1], 0x63);
  EXPECT_EQ(b[2], proto::STATUS_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[3])), "VRDT40-123.456-00042");
  for (int i = 3 + 20; i < 3 + 25; ++i) EXPECT_EQ(b[i], 0) << i;

  // A longer text is cut to 25 bytes.
  TDeviceConfig c;
  c.SetIdent("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  TDeviceModel dev2(c);
  const auto f2 = Unframe(Feed(dev2, kIdentRequest, 0.0));
  ASSERT_EQ(f2.size(), 1u);
  EXPECT_EQ(std::string(f2[0].begin() + 3, f2[0].begin() + 28), "ABCDEFGHIJKLMNOPQRSTUVWXY");
}

TEST(DeviceReplies, OneCommandReplyIsTheRateAlone) {
  TDeviceModel dev;
  dev.SetFixedSignal(0.5f, 25.0f);
  Bytes body = {0x64, 0x63, 0x02, 0x00, 0x00, 0x00, 0x3F};
  const std::uint16_t crc = proto::Crc16(body.data(), body.size());
  Bytes expect = {0xC0};
  expect.insert(expect.end(), body.begin(), body.end());
  expect.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  expect.push_back(static_cast<std::uint8_t>(crc >> 8));
  expect.push_back(0xC0);
  EXPECT_EQ(Feed(dev, kOneCommandRequest, 0.3), expect);
}

TEST(DeviceReplies, TriggerFrameOfTheExampleIsByteExact) {
  TDeviceConfig c = TriggerConfig(true, true, true);
  c.FrameCounterStart = 7;
  c.ClockOffset = 0.99;  // the first frame leaves at device time 1.0 s
  TDeviceModel dev(c);
  dev.SetFixedSignal(0.5f, 25.0f);
  dev.StartStreaming(0.0);
  EXPECT_EQ(dev.AdvanceTo(0.0099), 0u);
  EXPECT_EQ(dev.AdvanceTo(0.01), 16u);
  Bytes out;
  dev.Take(out);
  const Bytes expect = {0xC0, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0xFA, 0x00,
                        0x07, 0x00, 0x00, 0xC2, 0x01, 0x00, 0xB9, 0x87};
  EXPECT_EQ(out, expect);
}

TEST(DeviceReplies, FieldsFollowTheRequestOrderAndTypes) {
  TDeviceConfig c;
  c.TimeType = TDeviceTimeType::Float;
  c.TempType = TDeviceTempType::Long;
  TDeviceModel dev(c);
  dev.SetFixedSignal(-1.25f, 25.0f);
  // Temperature, rate, an unknown address 77, time, rate again.
  const auto frames =
      Unframe(Feed(dev, Request({100, 0x63, 0x04, 3, 0, 0, 0, 77, 0, 24, 0, 0, 0}), 2.5));
  ASSERT_EQ(frames.size(), 1u);
  const Bytes& b = frames[0];
  ASSERT_EQ(b.size(), 3u + 5 * 4 + 2);
  EXPECT_TRUE(CrcOk(b));
  EXPECT_EQ(proto::GetLE<std::int32_t>(&b[3]), 250);  // 25.0 / 0.1f
  EXPECT_EQ(F32(b, 7), -1.25f);
  EXPECT_EQ(U32(b, 11), 0u);                          // unknown address reads 0
  EXPECT_EQ(F32(b, 15), 2.5f);                        // FLOAT time, seconds
  EXPECT_EQ(F32(b, 19), -1.25f);

  // No fields at all: status and CRC only.
  const auto empty = Unframe(Feed(dev, Request({100, 0x63, 0x04}), 3.0));
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].size(), 5u);
  EXPECT_EQ(empty[0][2], proto::STATUS_OK);
}

TEST(DeviceReplies, ReplyBodiesAreEscaped) {
  TDeviceModel dev;
  dev.SetFixedSignal(FloatFromBytes(0xC0, 0xDB, 0x00, 0x3F), 25.0f);
  const Bytes out = Feed(dev, kOneCommandRequest, 0.0);
  // 0x64 0x63 0x02, then C0 DB escaped.
  ASSERT_GE(out.size(), 8u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8),
            (Bytes{0xC0, 0x64, 0x63, 0x02, 0xDB, 0xDC, 0xDB, 0xDD}));
  for (std::size_t i = 1; i + 1 < out.size(); ++i) EXPECT_NE(out[i], 0xC0) << i;
  const auto frames = Unframe(out);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(CrcOk(frames[0]));
  EXPECT_EQ(F32(frames[0], 3), FloatFromBytes(0xC0, 0xDB, 0x00, 0x3F));
}

// --------------------------------------------------------- error replies ---

TEST(DeviceErrors, StatusThreeOnDemandAndForUnknownCommands) {
  TDeviceModel dev;
  const Bytes err = Request({100, 0x63, 0x03});  // same framing as a reply body
  dev.FailNext(2);
  EXPECT_EQ(Feed(dev, kIdentRequest, 0.0), err);
  EXPECT_EQ(Feed(dev, kDataRequest, 0.1), err);
  auto frames = Unframe(Feed(dev, kIdentRequest, 0.2));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][2], proto::STATUS_OK);
  EXPECT_EQ(dev.Stats().ErrorReplies, 2u);

  dev.Config().ErrorAlways = true;
  for (int i = 0; i < 12; ++i) EXPECT_EQ(Feed(dev, kIdentRequest, 0.3 + i), err);
  dev.Config().ErrorAlways = false;

  // An opcode that is neither identification, read nor the command.
  EXPECT_EQ(Feed(dev, Request({100, 0x63, 0x55}), 20.0), err);
  // The command with field bytes behind it is not OneCommand: unknown too.
  EXPECT_EQ(Feed(dev, Request({100, 0x63, 0x0A, 0, 0}), 21.0), err);
}

TEST(DeviceErrors, SilentDeviceSaysNothing) {
  TDeviceConfig c = TriggerConfig(false, true, false);
  c.Silent = true;
  TDeviceModel dev(c);
  EXPECT_TRUE(Feed(dev, kIdentRequest, 0.0).empty());
  EXPECT_FALSE(dev.Streaming());
  dev.StartStreaming(0.0);
  EXPECT_EQ(dev.AdvanceTo(1.0), 0u);
  EXPECT_TRUE(Feed(dev, kDataRequest, 1.0).empty());
  EXPECT_EQ(dev.Stats().Requests, 2u);
  // Back on the line: the frame counter has run on meanwhile.
  dev.Config().Silent = false;
  Bytes out;
  dev.AdvanceTo(1.01);
  dev.Take(out);
  ASSERT_EQ(out.size(), 10u);
  EXPECT_EQ(proto::GetLE<std::uint16_t>(&out[6]), 100);
}

// -------------------------------------------------------- request parser ---

TEST(DeviceRequests, SplitAtEveryBytePositionGivesTheSameReplies) {
  Bytes stream = kDataRequest;
  stream.insert(stream.end(), kIdentRequest.begin(), kIdentRequest.end());
  stream.insert(stream.end(), kOneCommandRequest.begin(), kOneCommandRequest.end());

  TDeviceModel whole;
  whole.SetFixedSignal(0.5f, 25.0f);
  const Bytes expect = Feed(whole, stream, 1.0);
  ASSERT_EQ(Unframe(expect).size(), 3u);

  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    TDeviceModel dev;
    dev.SetFixedSignal(0.5f, 25.0f);
    dev.Feed(stream.data(), cut, 1.0);
    dev.Feed(stream.data() + cut, stream.size() - cut, 1.0);
    Bytes out;
    dev.Take(out);
    EXPECT_EQ(out, expect) << "cut at " << cut;
  }
  TDeviceModel bytewise;
  bytewise.SetFixedSignal(0.5f, 25.0f);
  for (std::uint8_t b : stream) bytewise.Feed(&b, 1, 1.0);
  Bytes out;
  bytewise.Take(out);
  EXPECT_EQ(out, expect);
}

TEST(DeviceRequests, BadInputIsDroppedAndTheNextRequestAnswered) {
  TDeviceModel dev;
  const std::size_t identReply = Feed(dev, kIdentRequest, 0.0).size();

  struct Case {
    const char* what;
    Bytes in;
    std::uint64_t bad, other;
  };
  Bytes wrongCrc = kIdentRequest;
  wrongCrc[4] ^= 0x01;
  Bytes overlong = {0xC0};
  overlong.insert(overlong.end(), 300, 0x41);
  overlong.push_back(0xC0);
  const Case cases[] = {
      {"bytes before any delimiter", {0x64, 0x63, 0x14, 0xFB, 0x87}, 0, 0},
      {"wrong CRC", wrongCrc, 1, 0},
      {"another address", Request({101, 0x63, 0x14}), 0, 1},
      {"too short", {0xC0, 0x64, 0x63, 0x14, 0xC0}, 1, 0},
      {"bad escape", {0xC0, 0x64, 0xDB, 0x41, 0x63, 0x14, 0xFB, 0x87, 0xC0}, 1, 0},
      {"over-long", overlong, 1, 0},
      {"empty frames", {0xC0, 0xC0, 0xC0}, 0, 0},
  };
  for (const Case& k : cases) {
    TDeviceModel d;
    Bytes in = k.in;
    in.insert(in.end(), kIdentRequest.begin(), kIdentRequest.end());
    const auto frames = Unframe(Feed(d, in, 0.0));
    ASSERT_EQ(frames.size(), 1u) << k.what;
    EXPECT_EQ(frames[0].size() + 2, identReply) << k.what;  // the ident reply
    EXPECT_EQ(d.Stats().BadRequests, k.bad) << k.what;
    EXPECT_EQ(d.Stats().OtherAddress, k.other) << k.what;
    EXPECT_EQ(d.Stats().Requests, 1u) << k.what;
  }

  // Frames sharing their delimiters: C0 a C0 b C0 gives two replies.
  TDeviceModel d;
  Bytes shared = kIdentRequest;
  shared.insert(shared.end(), kIdentRequest.begin() + 1, kIdentRequest.end());
  EXPECT_EQ(Unframe(Feed(d, shared, 0.0)).size(), 2u);

  // An address that must be escaped on the wire.
  TDeviceConfig c;
  c.Address = 0xC0;
  TDeviceModel e(c);
  const Bytes req = Request({0xC0, 0x63, 0x14});
  ASSERT_EQ(req[1], 0xDB);
  const auto frames = Unframe(Feed(e, req, 0.0));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][0], 0xC0);
  EXPECT_TRUE(CrcOk(frames[0]));
}

// --------------------------------------------------------------- trigger ---

TEST(DeviceTrigger, EveryMaskGivesItsLengthFieldsAndCrc) {
  for (int mask = 0; mask < 8; ++mask) {
    const bool temp = mask & 1, count = mask & 2, time = mask & 4;
    TDeviceConfig c = TriggerConfig(temp, count, time);
    c.FreqImpulse = 50;
    TDeviceModel dev(c);
    std::vector<TDeviceSample> truth;
    dev.OnSample = [&](const TDeviceSample& s) { truth.push_back(s); };
    // Nothing streams before the identification reply.
    EXPECT_EQ(dev.AdvanceTo(1.0), 0u);
    ASSERT_EQ(Unframe(Feed(dev, kIdentRequest, 1.0)).size(), 1u);
    EXPECT_TRUE(dev.Streaming());

    const std::size_t payload = 4u + (temp ? 2 : 0) + (count ? 2 : 0) + (time ? 4 : 0);
    const std::size_t frame = payload + 4;
    EXPECT_EQ(dev.AdvanceTo(1.1), 5 * frame) << mask;
    Bytes out;
    dev.Take(out);
    ASSERT_EQ(out.size(), 5 * frame);
    ASSERT_EQ(truth.size(), 5u);
    for (int k = 0; k < 5; ++k) {
      const std::uint8_t* f = &out[k * frame];
      const TDeviceSample& s = truth[k];
      EXPECT_EQ(f[0], 0xC0);
      EXPECT_EQ(f[1], 0xC0);
      EXPECT_EQ(proto::GetLE<std::uint16_t>(f + 2 + payload), proto::Crc16(f + 2, payload));
      EXPECT_EQ(proto::GetLE<float>(f + 2), s.Rate);
      std::size_t p = 6;
      if (temp) {
        EXPECT_EQ(proto::GetLE<std::int16_t>(f + p), s.TempCounts);
        EXPECT_NEAR(s.Temperature, 25.0, 0.06);
        p += 2;
      }
      if (count) {
        EXPECT_EQ(proto::GetLE<std::uint16_t>(f + p), k);
        p += 2;
      }
      if (time) {
        EXPECT_EQ(proto::GetLE<std::uint32_t>(f + p), s.TimeCounts);
        p += 4;
      }
      EXPECT_EQ(p, 2 + payload);
      EXPECT_EQ(s.Kind, TDeviceSample::TKind::Trigger);
      EXPECT_EQ(s.HasTime, time);
      EXPECT_EQ(s.HasTemperature, temp);
      EXPECT_DOUBLE_EQ(s.Now, 1.0 + (k + 1) * 0.02);
    }
  }
}

TEST(DeviceTrigger, FramesKeepTheirScheduleAndInterleaveWithReplies) {
  TDeviceConfig c = TriggerConfig(true, true, true);
  c.FreqImpulse = 1000;
  TDeviceModel dev(c);
  dev.SetFixedSignal(0.25f, -1.0f);
  Feed(dev, kIdentRequest, 0.0);
  // One big step or many small ones: the same frames.
  TDeviceModel other(c);
  other.SetFixedSignal(0.25f, -1.0f);
  Feed(other, kIdentRequest, 0.0);
  dev.AdvanceTo(10.0);
  for (int i = 1; i <= 1000; ++i) other.AdvanceTo(i * 0.01);
  Bytes a, b;
  dev.Take(a);
  other.Take(b);
  EXPECT_EQ(a.size(), 10000u * 16);
  EXPECT_EQ(a, b);
  // -1.0 degC as 0xF6 0xFF; counter wraps after 65535.
  EXPECT_EQ(a[6], 0xF6);
  EXPECT_EQ(a[7], 0xFF);

  // A request while streaming: due frames first, then the reply.
  dev.Feed(kIdentRequest.data(), kIdentRequest.size(), 10.0025);
  Bytes tail;
  dev.Take(tail);
  ASSERT_EQ(tail.size(), 2 * 16 + 32u);
  EXPECT_EQ(tail[32], 0xC0);
  EXPECT_EQ(tail[33], 0x64);
  dev.StopStreaming();
  EXPECT_EQ(dev.AdvanceTo(20.0), 0u);
}

// ----------------------------------------------------------- determinism ---

TEST(DeviceSignal, SameSeedSameBytesOtherSeedOtherBytes) {
  auto run = [](std::uint64_t seed) {
    TDeviceConfig c = TriggerConfig(true, true, true);
    c.Seed = seed;
    c.GarbageEvery = 5;
    auto dev = std::make_unique<TDeviceModel>(c);
    Bytes out;
    for (int i = 0; i < 50; ++i) {
      dev->Feed(kDataRequest.data(), kDataRequest.size(), i * 0.1);
      dev->Take(out);
    }
    dev->Feed(kIdentRequest.data(), kIdentRequest.size(), 5.0);
    dev->AdvanceTo(7.0);
    dev->Take(out);
    return out;
  };
  const Bytes a = run(42);
  EXPECT_EQ(a, run(42));
  EXPECT_NE(a, run(43));

  // Reset starts the same sequence again.
  TDeviceModel dev;
  const Bytes first = Feed(dev, kDataRequest, 0.1);
  Feed(dev, kDataRequest, 0.2);
  dev.Reset();
  EXPECT_EQ(Feed(dev, kDataRequest, 0.1), first);

  // Faults use their own generator: the signal does not change with them.
  TDeviceConfig plain, faulty;
  faulty.GarbageEvery = 1;
  faulty.BadCrcEvery = 2;
  TDeviceModel p(plain), f(faulty);
  for (int i = 0; i < 20; ++i) {
    const auto fp = Unframe(Feed(p, kDataRequest, i * 0.1));
    const auto ff = Unframe(Feed(f, kDataRequest, i * 0.1));
    ASSERT_EQ(fp.size(), 1u);
    ASSERT_EQ(ff.size(), 1u);
    EXPECT_EQ(F32(fp[0], 7), F32(ff[0], 7));
  }
}

// -------------------------------------------------------------- statistics ---

namespace {

// Rates in deg/h of n trigger frames at f Hz.
std::vector<double> TriggerRates(TDeviceConfig c, double f, int n) {
  c.TriggerMode = true;
  c.FreqImpulse = f;
  auto dev = std::make_unique<TDeviceModel>(c);
  std::vector<double> rates;
  rates.reserve(n);
  dev->OnSample = [&](const TDeviceSample& s) { rates.push_back(s.Rate * 3600.0); };
  dev->StartStreaming(0.0);
  Bytes sink;
  for (int i = 1; i <= n / 1000; ++i) {
    dev->AdvanceTo(i * 1000 / f);
    sink.clear();
    dev->Take(sink);
  }
  return rates;
}

void MeanStd(const std::vector<double>& v, double& mean, double& sd) {
  double s = 0, q = 0;
  for (double x : v) s += x;
  mean = s / v.size();
  for (double x : v) q += (x - mean) * (x - mean);
  sd = std::sqrt(q / v.size());
}

// Allan deviation for clusters of m samples (non-overlapping).
double AllanDev(const std::vector<double>& v, std::size_t m) {
  std::vector<double> avg;
  for (std::size_t i = 0; i + m <= v.size(); i += m) {
    double s = 0;
    for (std::size_t j = 0; j < m; ++j) s += v[i + j];
    avg.push_back(s / m);
  }
  double q = 0;
  for (std::size_t i = 1; i < avg.size(); ++i) q += (avg[i] - avg[i - 1]) * (avg[i] - avg[i - 1]);
  return std::sqrt(q / (2.0 * (avg.size() - 1)));
}

}  // namespace

TEST(DeviceSignal, WhiteNoiseMatchesTheAngleRandomWalk) {
  TDeviceConfig c;
  c.Bias = 3.0;
  c.EarthRate = 11.78;
  c.Arw = 0.01;  // deg/sqrt(h): 60 * 0.01 * sqrt(100) = 6 deg/h per sample at 100 Hz
  c.BiasInstability = 0;
  c.Seed = 7;
  const auto rates = TriggerRates(c, 100.0, 200000);
  ASSERT_EQ(rates.size(), 200000u);
  double mean, sd;
  MeanStd(rates, mean, sd);
  EXPECT_NEAR(mean, 14.78, 0.05);
  EXPECT_NEAR(sd, 6.0, 6.0 * 0.02);
  // Allan deviation of white rate noise at 1 s: 60 * N deg/h.
  EXPECT_NEAR(AllanDev(rates, 100), 0.6, 0.6 * 0.08);
  // And at 10 s it falls by sqrt(10).
  EXPECT_NEAR(AllanDev(rates, 1000), 0.6 / std::sqrt(10.0), 0.6 / std::sqrt(10.0) * 0.2);
}

TEST(DeviceSignal, PolledNoiseFollowsTheSampleRate) {
  TDeviceConfig c;
  c.Arw = 0.05;
  c.BiasInstability = 0;
  c.SampleRate = 25;  // 60 * 0.05 * 5 = 15 deg/h
  auto dev = std::make_unique<TDeviceModel>(c);
  std::vector<double> rates;
  dev->OnSample = [&](const TDeviceSample& s) { rates.push_back(s.Rate * 3600.0); };
  for (int i = 0; i < 40000; ++i) {
    dev->Feed(kDataRequest.data(), kDataRequest.size(), i * 0.04);
    Bytes sink;
    dev->Take(sink);
  }
  double mean, sd;
  MeanStd(rates, mean, sd);
  EXPECT_NEAR(mean, 2.0 + 11.78, 0.3);
  EXPECT_NEAR(sd, 15.0, 15.0 * 0.03);
}

TEST(DeviceSignal, BiasInstabilityIsTheAllanFloor) {
  TDeviceConfig c;
  c.Arw = 0;
  c.BiasInstability = 0.2;
  c.CorrelationTime = 2.0;
  c.Seed = 3;
  const auto rates = TriggerRates(c, 10.0, 400000);
  // Peak of the Allan deviation at about 1.89 x the correlation time.
  const double peak = AllanDev(rates, 38);
  EXPECT_NEAR(peak, 0.2, 0.2 * 0.1);
  EXPECT_LT(AllanDev(rates, 400), peak);
  EXPECT_LT(AllanDev(rates, 4), peak);
}

TEST(DeviceSignal, TemperatureDriftsAndSamplesAreReported) {
  TDeviceConfig c;
  c.TempStart = 20.0;
  c.TempDrift = 2.0;  // per hour
  c.TempType = TDeviceTempType::Long;
  c.TempScale = 0.01;
  TDeviceModel dev(c);
  std::vector<TDeviceSample> truth;
  dev.OnSample = [&](const TDeviceSample& s) { truth.push_back(s); };
  const auto frames = Unframe(Feed(dev, kDataRequest, 1800.0));
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(truth.size(), 1u);
  EXPECT_EQ(proto::GetLE<std::int32_t>(&frames[0][11]), 2100);
  EXPECT_EQ(truth[0].TempCounts, 2100);
  EXPECT_FLOAT_EQ(truth[0].Temperature, 21.0f);
  EXPECT_EQ(truth[0].TimeCounts, U32(frames[0], 3));
  EXPECT_EQ(truth[0].Rate, F32(frames[0], 7));
  EXPECT_FLOAT_EQ(truth[0].Time, 1800.0f);
  EXPECT_TRUE(truth[0].HasTime);
  EXPECT_TRUE(truth[0].HasTemperature);
  EXPECT_FALSE(truth[0].BadCrc);
}

// ------------------------------------------------------------------ faults ---

TEST(DeviceFaults, WrongCrcEveryKthFrame) {
  TDeviceConfig c;
  c.BadCrcEvery = 3;
  TDeviceModel dev(c);
  std::vector<bool> flagged;
  dev.OnSample = [&](const TDeviceSample& s) { flagged.push_back(s.BadCrc); };
  Bytes out;
  for (int i = 0; i < 9; ++i) {
    dev.Feed(kDataRequest.data(), kDataRequest.size(), i * 0.1);
    dev.Take(out);
  }
  const auto frames = Unframe(out);
  ASSERT_EQ(frames.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    const bool bad = (i + 1) % 3 == 0;
    EXPECT_EQ(CrcOk(frames[i]), !bad) << i;
    EXPECT_EQ(flagged[i], bad) << i;
  }
  EXPECT_EQ(dev.Stats().BadCrcFrames, 3u);

  // Trigger frames too.
  TDeviceConfig t = TriggerConfig(false, true, false);
  t.BadCrcEvery = 2;
  TDeviceModel trig(t);
  trig.StartStreaming(0.0);
  trig.AdvanceTo(0.04);
  Bytes tf;
  trig.Take(tf);
  ASSERT_EQ(tf.size(), 4 * 10u);
  for (int k = 0; k < 4; ++k) {
    const std::uint8_t* f = &tf[k * 10];
    EXPECT_EQ(proto::GetLE<std::uint16_t>(f + 8) == proto::Crc16(f + 2, 6), k % 2 == 0) << k;
  }
}

TEST(DeviceFaults, GarbageAndOverlongFramesBetweenFrames) {
  TDeviceConfig c;
  c.GarbageEvery = 2;
  c.GarbageLength = 9;
  c.OverlongEvery = 3;
  c.OverlongLength = 300;
  TDeviceModel dev(c), clean{TDeviceConfig{}};
  dev.SetFixedSignal(0.5f, 25.0f);
  clean.SetFixedSignal(0.5f, 25.0f);
  const Bytes reply = Feed(dev, kDataRequest, 1.0);  // frame 1: clean
  ASSERT_EQ(reply.size(), 19u);
  EXPECT_EQ(reply, Feed(clean, kDataRequest, 1.0));
  const Bytes second = Feed(dev, kDataRequest, 2.0);  // frame 2: garbage first
  ASSERT_EQ(second.size(), 9u + 19u);
  for (int i = 0; i < 9; ++i) EXPECT_NE(second[i], 0xC0);
  EXPECT_EQ(Bytes(second.begin() + 9, second.end()), Feed(clean, kDataRequest, 2.0));
  const Bytes third = Feed(dev, kDataRequest, 3.0);  // frame 3: over-long frame first
  ASSERT_EQ(third.size(), 302u + 19u);
  EXPECT_EQ(third[0], 0xC0);
  EXPECT_EQ(third[301], 0xC0);
  for (int i = 1; i < 301; ++i) {
    EXPECT_NE(third[i], 0xC0);
    EXPECT_NE(third[i], 0xDB);
  }
  EXPECT_EQ(Bytes(third.begin() + 302, third.end()), Feed(clean, kDataRequest, 3.0));
  const Bytes sixth = [&] {
    Feed(dev, kDataRequest, 4.0);
    Feed(dev, kDataRequest, 5.0);
    return Feed(dev, kDataRequest, 6.0);
  }();
  EXPECT_EQ(sixth.size(), 9u + 302u + 19u);
  EXPECT_EQ(dev.Stats().GarbageRuns, 3u);
  EXPECT_EQ(dev.Stats().OverlongFrames, 2u);
}

TEST(DeviceFaults, ClockWraps) {
  // The wrap fault: the counter starts again from 0 every 10 s.
  TDeviceConfig c;
  c.ClockWrapSeconds = 10.0;
  TDeviceModel dev(c);
  EXPECT_EQ(dev.TimeCounts(9.5), 1094400u);
  EXPECT_EQ(dev.TimeCounts(12.5), 288000u);
  EXPECT_DOUBLE_EQ(dev.DeviceSeconds(12.5), 2.5);
  dev.SetFixedSignal(0.5f, 25.0f);
  EXPECT_EQ(U32(Unframe(Feed(dev, kDataRequest, 12.5))[0], 3), 288000u);

  // FLOAT time wraps with the same period.
  c.TimeType = TDeviceTimeType::Float;
  TDeviceModel flt(c);
  EXPECT_EQ(F32(Unframe(Feed(flt, kDataRequest, 21.0))[0], 3), 1.0f);

  // Without the fault the 32-bit counter wraps by itself (after ~10.4 h).
  TDeviceConfig n;
  n.ClockOffset = 4294967296.0 * n.TimeScale - 0.5;
  TDeviceModel nat(n);
  EXPECT_GT(nat.TimeCounts(0.0), 4294900000u);
  EXPECT_NEAR(static_cast<double>(nat.TimeCounts(1.0)), 57600.0, 1.0);
}

// ------------------------------------------------------------------ plumbing ---

TEST(DeviceOutput, PartialTakeKeepsTheOrder) {
  TDeviceModel dev;
  Bytes all;
  for (int i = 0; i < 3; ++i) dev.Feed(kIdentRequest.data(), kIdentRequest.size(), 0.0);
  const std::size_t n = dev.Pending();
  ASSERT_GT(n, 0u);
  std::uint8_t buf[7];
  std::size_t k;
  while ((k = dev.Take(buf, sizeof buf)) > 0) all.insert(all.end(), buf, buf + k);
  EXPECT_EQ(all.size(), n);
  EXPECT_EQ(dev.Pending(), 0u);
  EXPECT_EQ(Unframe(all).size(), 3u);
}

TEST(DeviceConfigFromSettings, MirrorsTheProgramsSettings) {
  TOptionProgramm s;
  TDeviceModel dev(TDeviceModel::ConfigFor(s));
  dev.SetFixedSignal(0.5f, 25.0f);
  EXPECT_EQ(Feed(dev, kDataRequest, 1.0).size(), 19u);

  s.Address = 7;
  s.AdTime = 5;
  s.AdSig = 6;
  s.AdTemp = 9;
  s.Command = 0x21;
  s.TimeSource = TimeHardFloat;
  s.TempType = TempLong;
  s.Mode = ModeTrigger;
  s.TrigMask = {true, false, true};
  s.FreqImpulse = 0;  // unusable: the safe value
  s.Sample = 125;
  s.EarthRate = 9.5;
  const TDeviceConfig c = TDeviceModel::ConfigFor(s);
  EXPECT_EQ(c.Address, 7);
  EXPECT_EQ(c.ReplyCode, 0x63);
  EXPECT_EQ(c.AdTime, 5);
  EXPECT_EQ(c.AdSig, 6);
  EXPECT_EQ(c.AdTemp, 9);
  EXPECT_EQ(c.Command, 0x21);
  EXPECT_EQ(c.TimeType, TDeviceTimeType::Float);
  EXPECT_EQ(c.TempType, TDeviceTempType::Long);
  EXPECT_TRUE(c.TriggerMode);
  EXPECT_EQ(c.TrigMask, (std::array<bool, 3>{true, false, true}));
  EXPECT_EQ(c.FreqImpulse, 100.0);
  EXPECT_EQ(c.SampleRate, 125.0);
  EXPECT_EQ(c.EarthRate, 9.5);
}
