// Whole runs of the device model through the packet processor, in memory:
// requests go to the device, its bytes come back in chunks of random size,
// and the recording must hold exactly what the device sent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "acquisition/Paket.h"
#include "common/TestFiles.h"
#include "files/RecordingReader.h"
#include "sim/DeviceModel.h"

namespace {

struct Listener : TPaketListener {
  bool identified = false;
  std::string text;
  void DeviceIdentified() override { identified = true; }
  void IdentificationText(const std::string& t) override { text = t; }
  void RecordingFailed(const std::string&, const std::string& reason) override {
    ADD_FAILURE() << "recording failed: " << reason;
  }
};

class DeviceThroughPaket : public ::testing::TestWithParam<int> {
 protected:
  // Runs `seconds` of device time; returns the samples the device sent and
  // leaves the recording in dir_/run.rtd.
  std::vector<TDeviceSample> Run(const TOptionProgramm& settings, double seconds, unsigned seed,
                                 void (*device)(TDeviceConfig&) = nullptr) {
    auto packet = std::make_unique<TPaket>();
    Listener listener;
    packet->SetListener(&listener);
    packet->Assign(settings);
    packet->Reset();
    packet->RecordName = dir_ + "/run.rtd";
    packet->RecordEnabled = true;
    packet->BuildIdentRequest();

    TDeviceConfig config = TDeviceModel::ConfigFor(settings);
    if (device) device(config);
    TDeviceModel model(config);
    std::vector<TDeviceSample> sent;
    model.OnSample = [&](const TDeviceSample& s) {
      std::uint8_t first;
      std::memcpy(&first, &s.Rate, 1);
      // A trigger frame whose rate starts with C0 loses its first byte to the
      // sync pair and takes the next frame down with it.
      if (skipNext_) {
        skipNext_ = false;
      } else if (s.Kind == TDeviceSample::TKind::Trigger && first == 0xC0) {
        skipNext_ = true;
      } else if (!s.BadCrc) {
        sent.push_back(s);
      }
    };

    std::mt19937 rng(seed);
    std::vector<std::uint8_t> wire;
    const double period = 1.0 / settings.SafeSample();
    double now = 0;
    auto deliver = [&] {
      model.Take(wire);
      std::size_t at = 0;
      while (at < wire.size()) {
        const std::size_t n = std::min<std::size_t>(wire.size() - at, 1 + rng() % 97);
        packet->Receive(wire.data() + at, n);
        at += n;
        if (listener.identified && !packet->Identified) ADD_FAILURE() << "flag not set";
      }
      wire.clear();
    };
    while (now < seconds) {
      now += period;
      const bool polling = !listener.identified || settings.Mode != ModeTrigger;
      if (polling) {
        model.Feed(packet->SendBuffer.data(), static_cast<std::size_t>(packet->RequestLength), now);
      } else {
        model.AdvanceTo(now);
      }
      const bool wasIdentified = listener.identified;
      deliver();
      if (listener.identified && !wasIdentified && settings.Mode != ModeTrigger) {
        packet->BuildDataRequest();
      }
    }
    packet->Reset();  // Stop: the pending records are written
    EXPECT_EQ(listener.text.substr(0, 20), "VRDT40-123.456-00042");
    return sent;
  }

  std::vector<SamplePoint> Recording() {
    TRecordingReader reader;
    EXPECT_TRUE(reader.Open(dir_ + "/run.rtd")) << reader.Error();
    std::vector<SamplePoint> out;
    SamplePoint p;
    while (reader.Next(p)) out.push_back(p);
    return out;
  }

  void ExpectSame(const std::vector<TDeviceSample>& sent, bool time, bool temperature) {
    const auto recs = Recording();
    ASSERT_GE(sent.size(), 10u);
    ASSERT_EQ(recs.size(), sent.size() - 1) << "every sample but the first";
    for (std::size_t i = 0; i < recs.size(); ++i) {
      if (time) {
        ASSERT_EQ(recs[i].Time, sent[i + 1].Time) << i;
      }
      ASSERT_EQ(recs[i].Rate, sent[i + 1].Rate) << i;
      if (temperature) {
        ASSERT_EQ(recs[i].Temperature, sent[i + 1].Temperature) << i;
      }
    }
  }

  TTempDir tmp_;
  std::string dir_ = tmp_.Path();
  bool skipNext_ = false;
};

TEST_P(DeviceThroughPaket, NormalModeWithFaults) {
  TOptionProgramm s;
  s.Sample = 125;
  s.TempType = TempLong;
  const auto sent = Run(s, 60, GetParam(), [](TDeviceConfig& c) {
    c.BadCrcEvery = 17;
    c.GarbageEvery = 5;
    c.OverlongEvery = 23;
  });
  ExpectSame(sent, true, true);
}

TEST_P(DeviceThroughPaket, NormalModeFloatTimeAcrossAClockWrap) {
  TOptionProgramm s;
  s.Sample = 50;
  s.TimeSource = TimeHardFloat;
  const auto sent = Run(s, 40, GetParam(), [](TDeviceConfig& c) { c.ClockWrapSeconds = 15; });
  const auto recs = Recording();
  ASSERT_EQ(recs.size(), sent.size() - 1);
  for (std::size_t i = 1; i < recs.size(); ++i) {
    ASSERT_GT(recs[i].Time, recs[i - 1].Time) << "time keeps rising across the wrap, " << i;
    ASSERT_EQ(recs[i].Rate, sent[i + 1].Rate);
  }
  EXPECT_NEAR(recs.back().Time - recs.front().Time, 40, 0.1);
}

TEST_P(DeviceThroughPaket, TriggerModeEveryMask) {
  for (int mask = 0; mask < 8; ++mask) {
    TOptionProgramm s;
    s.Mode = ModeTrigger;
    s.TrigMask = {(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0};
    s.FreqImpulse = 500;
    const auto sent = Run(s, 10, GetParam() + mask, [](TDeviceConfig& c) { c.BadCrcEvery = 31; });
    const auto recs = Recording();
    ASSERT_EQ(recs.size(), sent.size() - 1) << "mask " << mask;
    for (std::size_t i = 0; i < recs.size(); ++i) {
      ASSERT_EQ(recs[i].Rate, sent[i + 1].Rate) << mask << " " << i;
      const float temperature = s.TrigMask[0] ? sent[i + 1].Temperature : 0.0f;
      ASSERT_EQ(recs[i].Temperature, temperature) << mask << " " << i;
      if (s.TrigMask[2]) {
        ASSERT_EQ(recs[i].Time, sent[i + 1].Time) << mask << " " << i;
      }
    }
  }
}

TEST_P(DeviceThroughPaket, OneCommandModeWithSoftwareTime) {
  TOptionProgramm s;
  s.Mode = ModeOneCommand;
  s.TimeSource = TimeSoftware;
  s.Sample = 10;
  const auto sent = Run(s, 30, GetParam());
  ExpectSame(sent, false, false);
  const auto recs = Recording();
  EXPECT_FLOAT_EQ(recs[0].Time, 0.2f);
  EXPECT_NEAR(recs.back().Time, 0.1 * static_cast<double>(recs.size() + 1), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Chunkings, DeviceThroughPaket, ::testing::Values(1u, 2u, 3u));

// The device clock advances with every sample, also when requests arrive
// together (a busy program sends two at once, the device reads them in one
// go): its time field strictly increases, and so do the times the program
// takes from it. An hour into the run, at every poll rate, both time types.
TEST(DeviceClock, StrictlyIncreasingAtEveryPollRate) {
  constexpr std::int32_t TimeTrigger = -1;  // trigger frames with their time field
  for (const std::int32_t sample : SampleValues) {
    for (const std::int32_t source : {std::int32_t{TimeHardFloat}, std::int32_t{TimeHardUlong}, TimeTrigger}) {
      SCOPED_TRACE(::testing::Message() << "Sample " << sample << " source " << source);
      TOptionProgramm s;
      s.Sample = sample;
      s.TimeSource = source == TimeTrigger ? TimeHardUlong : source;
      s.Mode = source == TimeTrigger ? ModeTrigger : ModeNormal;
      s.TrigMask = {true, false, true};
      s.FreqImpulse = 5.0 * sample;
      TDeviceModel dev(TDeviceModel::ConfigFor(s));
      double lastField = -1;
      std::size_t repeats = 0;
      dev.OnSample = [&](const TDeviceSample& d) {
        const double field = d.Kind == TDeviceSample::TKind::Trigger || source == TimeHardUlong
                                 ? static_cast<double>(d.TimeCounts)
                                 : static_cast<double>(d.Time);
        repeats += !(field > lastField);
        lastField = field;
      };
      auto owned = std::make_unique<TPaket>();  // its averaging ring is large
      TPaket& packet = *owned;
      Listener listener;
      packet.SetListener(&listener);
      packet.Assign(s);
      packet.Reset();
      packet.BuildIdentRequest();
      std::vector<std::uint8_t> wire;
      auto send = [&](double now, int requests) {
        for (int k = 0; k < requests; ++k)
          dev.Feed(packet.SendBuffer.data(), static_cast<std::size_t>(packet.RequestLength), now);
        dev.AdvanceTo(now);
        dev.Take(wire);
        for (std::uint8_t b : wire) {  // byte by byte: every sample is seen
          const float last = packet.Current.Time;
          const std::uint64_t before = packet.SamplesAccepted;
          packet.Receive(&b, 1);
          if (packet.SamplesAccepted != before && before > 0 && packet.Current.Time <= last)
            ADD_FAILURE() << "time " << packet.Current.Time << " after " << last;
        }
        wire.clear();
      };
      const double start = 3600.0, period = 1.0 / sample;
      send(start, 1);
      ASSERT_TRUE(listener.identified);
      if (s.Mode != ModeTrigger) packet.BuildDataRequest();
      for (int i = 1; i <= 20 * sample; ++i) send(start + i * period, i % 3 == 0 ? 2 : 1);
      EXPECT_GT(packet.SamplesAccepted, static_cast<std::uint64_t>(19 * sample));
      EXPECT_EQ(repeats, 0u);
    }
  }
}

}  // namespace
