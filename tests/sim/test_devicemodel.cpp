// The virtual gyroscope: its replies and trigger frames byte for byte, the
// request parser, faults on demand, its clock and climatic chamber. (Whole
// runs against the program are the command-line tool's record tests.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Frames.h"
#include "common/TestFiles.h"
#include "settings/Optionsprogramm.h"
#include "processing/Thermal.h"
#include "sim/DeviceModel.h"
#include "sim/RateTable.h"

namespace {

Bytes Feed(TDeviceModel& dev, const Bytes& in, double now) {
  dev.Feed(in.data(), in.size(), now);
  Bytes out;
  dev.Take(out);
  return out;
}
Bytes Advance(TDeviceModel& dev, double now) {
  dev.AdvanceTo(now);
  Bytes out;
  dev.Take(out);
  return out;
}

TDeviceConfig TriggerConfig(bool temp, bool count, bool time) {
  TDeviceConfig c;
  c.TriggerMode = true;
  c.TrigMask = {temp, count, time};
  return c;
}

}  // namespace

TEST(DeviceReplies, ExamplesByteExact) {
  TDeviceModel dev;
  dev.SetFixedSignal(0.5f, 25.0f);
  // Time 1.0 s = 115200 counts, rate 0.5, temperature 25.0.
  EXPECT_EQ(Feed(dev, DataRequest, 1.0), (Bytes{0xC0, 0x64, 0x63, 0x02, 0x00, 0xC2, 0x01, 0x00, 0x00, 0x00,
                                                0x00, 0x3F, 0x00, 0x00, 0xC8, 0x41, 0xFF, 0x7F, 0xC0}));
  EXPECT_EQ(Feed(dev, OneCommandRequest, 1.1), ReplyFrame(2, Le(0.5f)));
  EXPECT_EQ(dev.Stats().Requests, 2u);
  EXPECT_EQ(dev.Stats().Replies, 2u);
  // 25 text bytes, zero-padded; a longer text is cut to 25.
  EXPECT_EQ(Feed(dev, IdentRequest, 1.2), IdentReply(std::string("VRDT40-123.456-00042\0\0\0\0\0", 25)));
  dev.Config().SetIdent("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
  EXPECT_EQ(Feed(dev, IdentRequest, 1.3), IdentReply("ABCDEFGHIJKLMNOPQRSTUVWXY"));
  // Reply bodies holding 0xC0 and 0xDB travel escaped.
  dev.SetFixedSignal(proto::GetLE<float>(Bytes{0xC0, 0xDB, 0x00, 0x3F}.data()), 25.0f);
  const Bytes escaped = Feed(dev, OneCommandRequest, 1.4);
  EXPECT_EQ(Bytes(escaped.begin(), escaped.begin() + 8), Bytes({0xC0, 0x64, 0x63, 2, 0xDB, 0xDC, 0xDB, 0xDD}));
  EXPECT_EQ(escaped, ReplyFrame(2, {0xC0, 0xDB, 0x00, 0x3F}));
  TDeviceConfig c = TriggerConfig(true, true, true);
  c.FrameCounterStart = 7;
  c.ClockOffset = 0.99;  // the first frame leaves at device time 1.0 s
  TDeviceModel trigger(c);
  trigger.SetFixedSignal(0.5f, 25.0f);
  trigger.StartStreaming(0.0);
  EXPECT_EQ(trigger.AdvanceTo(0.0099), 0u);
  EXPECT_EQ(Advance(trigger, 0.01), (Bytes{0xC0, 0xC0, 0x00, 0x00, 0x00, 0x3F, 0xFA, 0x00, 0x07, 0x00,
                                           0x00, 0xC2, 0x01, 0x00, 0xB9, 0x87}));
}

TEST(DeviceReplies, FieldsFollowTheRequestOrderAndTypes) {
  TDeviceConfig c;
  c.TimeType = TDeviceTimeType::Float;
  c.TempType = TDeviceTempType::Long;
  TDeviceModel dev(c);
  dev.SetFixedSignal(-1.25f, 25.0f);
  // Temperature (25.0 / 0.1f counts), rate, an unknown address 77 (reads
  // 0), time (f32 seconds), rate again.
  EXPECT_EQ(Feed(dev, Frame({100, 0x63, 0x04, 3, 0, 0, 0, 77, 0, 24, 0, 0, 0}), 2.5),
            ReplyFrame(2, Le(std::int32_t{250}, -1.25f, 0, 2.5f, -1.25f)));
  // No fields at all: status and CRC only.
  EXPECT_EQ(Feed(dev, Frame({100, 0x63, 0x04}), 3.0), ReplyFrame(2));
}

TEST(DeviceErrors, StatusThreeOnDemandAndForUnknownCommands) {
  TDeviceModel dev;
  const Bytes err = ReplyFrame(3);
  dev.FailNext(2);
  EXPECT_EQ(Feed(dev, IdentRequest, 0.0), err);
  EXPECT_EQ(Feed(dev, DataRequest, 0.1), err);
  EXPECT_EQ(Feed(dev, IdentRequest, 0.2).at(3), proto::STATUS_OK);
  EXPECT_EQ(dev.Stats().ErrorReplies, 2u);
  dev.Config().ErrorAlways = true;
  for (int i = 0; i < 12; ++i) EXPECT_EQ(Feed(dev, IdentRequest, 0.3 + i), err);
  dev.Config().ErrorAlways = false;

  // An opcode that is neither identification, read nor the command.
  EXPECT_EQ(Feed(dev, Frame({100, 0x63, 0x55}), 20.0), err);
  // The command with field bytes behind it is not OneCommand: unknown too.
  EXPECT_EQ(Feed(dev, Frame({100, 0x63, 0x0A, 0, 0}), 21.0), err);
}

TEST(DeviceRequests, BadInputIsDroppedAndTheNextRequestAnswered) {
  Bytes wrongCrc = IdentRequest;
  wrongCrc[4] ^= 0x01;
  const struct {
    const char* what;
    Bytes in;
    std::uint64_t bad, other, replies;
  } cases[] = {
      {"bytes before any delimiter", {0x64, 0x63, 0x14, 0xFB, 0x87}, 0, 0, 1},
      {"wrong CRC", wrongCrc, 1, 0, 1},
      {"another address", Frame({101, 0x63, 0x14}), 0, 1, 1},
      {"too short", {0xC0, 0x64, 0x63, 0x14, 0xC0}, 1, 0, 1},
      {"bad escape", {0xC0, 0x64, 0xDB, 0x41, 0x63, 0x14, 0xFB, 0x87, 0xC0}, 1, 0, 1},
      {"over-long", Cat({{0xC0}, Bytes(300, 0x41), {0xC0}}), 1, 0, 1},
      {"empty frames", {0xC0, 0xC0, 0xC0}, 0, 0, 1},
      {"shared delimiters: C0 a C0 b C0", Bytes(IdentRequest.begin(), IdentRequest.end() - 1), 0, 0, 2},
  };
  const Bytes reply = IdentReply(std::string("VRDT40-123.456-00042\0\0\0\0\0", 25));
  for (const auto& k : cases) {
    TDeviceModel d;
    EXPECT_EQ(Feed(d, Cat({k.in, IdentRequest}), 0.0), k.replies == 1 ? reply : Cat({reply, reply})) << k.what;
    EXPECT_EQ(d.Stats().BadRequests, k.bad) << k.what;
    EXPECT_EQ(d.Stats().OtherAddress, k.other) << k.what;
  }
}

TEST(DeviceTrigger, FramesKeepTheirScheduleAndInterleaveWithReplies) {
  TDeviceConfig c = TriggerConfig(true, true, true);
  c.FreqImpulse = 1000;
  TDeviceModel dev(c), other(c);
  for (TDeviceModel* d : {&dev, &other}) {
    d->SetFixedSignal(0.25f, -1.0f);
    Feed(*d, IdentRequest, 0.0);
  }
  // One big step or many small ones: the same frames.
  const Bytes a = Advance(dev, 10.0);
  Bytes b;
  for (int i = 1; i <= 1000; ++i) b = Cat({b, Advance(other, i * 0.01)});
  EXPECT_EQ(a.size(), 10000u * 16);
  EXPECT_EQ(a, b);
  EXPECT_EQ(Bytes(a.begin() + 6, a.begin() + 8), (Bytes{0xF6, 0xFF}));  // -1.0 deg C

  // A request while streaming: due frames first, then the reply.
  const Bytes tail = Feed(dev, IdentRequest, 10.0025);
  ASSERT_EQ(tail.size(), 2 * 16 + 32u);
  EXPECT_EQ(Bytes(tail.begin() + 32, tail.begin() + 34), (Bytes{0xC0, 0x64}));
  dev.StopStreaming();
  EXPECT_EQ(dev.AdvanceTo(20.0), 0u);
}

TEST(DeviceFaults, GarbageAndOverlongFramesBetweenFrames) {
  TDeviceConfig c;
  c.GarbageEvery = 2;
  c.GarbageLength = 9;
  c.OverlongEvery = 3;
  TDeviceModel dev(c), clean;
  dev.SetFixedSignal(0.5f, 25.0f);
  clean.SetFixedSignal(0.5f, 25.0f);
  // Frame 1 clean, 2 after garbage, 3 after an over-long frame, 6 after both.
  const std::size_t before[] = {0, 9, 302, 9, 0, 9 + 302};
  for (int k = 1; k <= 6; ++k) {
    SCOPED_TRACE(k);
    const Bytes reply = Feed(clean, DataRequest, k);
    const Bytes out = Feed(dev, DataRequest, k);
    ASSERT_EQ(out.size(), before[k - 1] + reply.size());
    EXPECT_EQ(Bytes(out.end() - static_cast<long>(reply.size()), out.end()), reply);
    const std::size_t garbage = k % 2 == 0 ? 9 : 0;
    for (std::size_t i = 0; i < garbage; ++i) EXPECT_NE(out[i], 0xC0);
    if (k % 3 != 0) continue;
    EXPECT_EQ(out[garbage], 0xC0);
    EXPECT_EQ(out[garbage + 301], 0xC0);
    for (std::size_t i = garbage + 1; i < garbage + 301; ++i) EXPECT_TRUE(out[i] != 0xC0 && out[i] != 0xDB);
  }
  EXPECT_EQ(dev.Stats().GarbageRuns, 3u);
  EXPECT_EQ(dev.Stats().OverlongFrames, 2u);
}

namespace {

// The device clock advances with every sample, also when requests arrive
// together (a busy program sends two at once, the device reads them in one
// go): its time field strictly increases, so the times the program takes
// from it do too. An hour into the run, at every poll rate, both time types.
TEST(DeviceClock, StrictlyIncreasingAtEveryPollRate) {
  for (const std::int32_t sample : SampleValues) {
    for (const std::int32_t source : {std::int32_t{TimeHardFloat}, std::int32_t{TimeHardUlong}, -1}) {
      SCOPED_TRACE(::testing::Message() << "Sample " << sample << " source " << source);
      TOptionProgramm s;
      s.Sample = sample;
      s.TimeSource = source == TimeHardFloat ? TimeHardFloat : TimeHardUlong;
      s.Mode = source == -1 ? ModeTrigger : ModeNormal;  // -1: trigger frames with their time
      s.TrigMask = {true, false, true};
      s.FreqImpulse = 5.0 * sample;
      TDeviceModel dev(TDeviceModel::ConfigFor(s));
      std::vector<double> times;
      dev.OnSample = [&](const TDeviceSample& d) { times.push_back(source == TimeHardFloat ? d.Time : d.TimeCounts); };
      Feed(dev, IdentRequest, 3600.0);  // in Trigger mode the program repeats this request
      const Bytes& request = s.Mode == ModeTrigger ? IdentRequest : DataRequest;
      for (int i = 1; i <= 20 * sample; ++i) {
        const double now = 3600.0 + i / double(sample);
        for (int k = i % 3 == 0 ? 2 : 1; k > 0; --k) dev.Feed(request.data(), request.size(), now);
        Advance(dev, now);
      }
      ASSERT_GT(times.size(), static_cast<std::size_t>(20 * sample));
      for (std::size_t k = 1; k < times.size(); ++k) ASSERT_GT(times[k], times[k - 1]) << k;
    }
  }
}

// A climatic chamber: the temperature programme and the thermal bias reach
// the wire, and the temperature model finds the coefficients again.
TEST(DeviceChamber, CycleAndRampWithThermalBias) {
  TDeviceConfig c;
  std::string error;
  for (const char* bad : {"cycle:20:30", "wave:20:30:1", "cycle:20:30:0", "ramp:a:30:1", "cycle:20:30:1:2"})
    EXPECT_FALSE(ParseTempProfile(bad, c, error)) << bad;
  ASSERT_TRUE(ParseTempProfile("cycle:20:30:2:0.1:-0.004:0.5", c, error)) << error;
  c.Arw = c.BiasInstability = 0;
  // 5 min up, 5 min down, again.
  const struct {
    double t, temperature, perMinute;
  } points[] = {{0, 20, 2}, {150, 25, 2}, {299, 29.9666667, 2}, {450, 25, -2}, {600, 20, 2}, {750, 25, 2}};
  for (const auto& p : points) {
    double T, r;
    DeviceTemperature(c, p.t, T, r);
    EXPECT_NEAR(T, p.temperature, 1e-6) << p.t;
    EXPECT_EQ(r, p.perMinute) << p.t;
  }
  TDeviceConfig ramp;
  ASSERT_TRUE(ParseTempProfile("ramp:60:-40:1", ramp, error));
  double T, r;
  DeviceTemperature(ramp, 3000, T, r);
  EXPECT_TRUE(T == 10 && r == -1) << T << " " << r;
  DeviceTemperature(ramp, 7000, T, r);
  EXPECT_TRUE(T == -40 && r == 0) << T << " " << r;
  // Its steps as a recording's markers: the cycle's turns in a span, the ramp's start and end.
  EXPECT_EQ(ChamberSteps(c, 250, 900), (std::vector<TMarker>{{300, "chamber to 20.0 \u00B0C"},
                                                              {600, "chamber to 30.0 \u00B0C"},
                                                              {900, "chamber to 20.0 \u00B0C"}}));
  EXPECT_EQ(ChamberSteps(ramp, 0, 1e9), (std::vector<TMarker>{{0, "chamber to -40.0 \u00B0C"},
                                                             {6000, "chamber holds -40.0 \u00B0C"}}));

  TDeviceModel dev(c);
  std::vector<SamplePoint> records;
  dev.OnSample = [&](const TDeviceSample& d) { records.push_back({static_cast<float>(d.Now), d.Rate, d.Temperature}); };
  for (int i = 1; i <= 6000; ++i) dev.Feed(DataRequest.data(), DataRequest.size(), i / 10.0);
  ASSERT_EQ(records.size(), 6000u);
  const SamplePoint& s = records[1500];  // t = 150.1 s, heating
  const double temp = 20 + 2 * 150.1 / 60;
  EXPECT_NEAR(s.Temperature, temp, 1e-4);
  EXPECT_NEAR(s.Rate * 3600.0, c.Bias + c.EarthRate + 0.1 * temp - 0.004 * temp * temp + 0.5 * 2, 1e-4);
  const TThermalResult fit = ComputeThermal(records, {});
  ASSERT_TRUE(fit.Valid) << fit.Message;
  // The model takes dT/dt from a fit over neighbouring blocks, which rounds
  // this programme's instant reversals every five minutes.
  EXPECT_NEAR(fit.B[1], 0.1, 4e-3);
  EXPECT_NEAR(fit.B[2], -0.004, 8e-5);
  EXPECT_NEAR(fit.C, 0.5, 0.01);
}

}  // namespace

// The rate table: its profile in time and the scale-factor model it reads with.
TEST(RateTable, StaircaseInTimeAndTheModel) {
  TRateTable t;
  std::string error;
  ASSERT_TRUE(ParseRateTableSpec("staircase:5", t, error)) << error;
  EXPECT_EQ(t.RateAt(4.9), 0.0);
  EXPECT_DOUBLE_EQ(t.RateAt(5.5), 0.5);  // the change to 1 deg/s takes 1 s
  EXPECT_EQ(t.RateAt(11), 1.0);
  EXPECT_DOUBLE_EQ(t.RateAt(11.25), 0.5);  // 1 -> -1 in 1 s
  EXPECT_EQ(t.RateAt(1e6), 0.0);           // back at rest, held
  ASSERT_TRUE(ParseScaleFactorModel("2:100:1:10:0.5", t, error));
  // 2 (1 + 10e-6 (35 - 25)) (-10 + 50e-6 * 10 + 1e-6 * 100)
  EXPECT_DOUBLE_EQ(t.Output(-10, 35), 2 * (1 + 1e-4) * (-10 + 5e-4 + 1e-4));
  EXPECT_EQ(t.Output(0.4, 25), 0.0);  // inside the dead zone
  for (const char* bad : {"", "0", "1:x", "1:0:0:0:-1", "1:2:3:4:5:6"})
    EXPECT_FALSE(ParseScaleFactorModel(bad, t, error)) << bad;
  EXPECT_FALSE(ParseRateTableSpec("staircase:0", t, error));
  EXPECT_FALSE(MakeRateTable("", "1.1", error));
  EXPECT_FALSE(error.empty());
}
