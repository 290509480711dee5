// Whole headless runs against the virtual gyroscope: what the device put on
// the wire must be what the recording holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "common/TestFiles.h"
#include "files/RecordingReader.h"
#include "settings/Optionsprogramm.h"
#include "sim/VirtualGyro.h"

namespace {

class RecordRun : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("RATELOG_COM1"); }

  // Runs `ratelog-cli record` against a virtual gyroscope made for the
  // settings (adjusted by `device`), collecting what the device sent.
  int Record(TOptionProgramm settings, void (*device)(TDeviceConfig&), std::vector<std::string> extra) {
    settings.FileName = settingsPath_;
    EXPECT_TRUE(settings.Save());
    TDeviceConfig config = TDeviceModel::ConfigFor(settings);
    if (device) device(config);
    TVirtualGyro gyro(config);
    gyro.OnSample = [this](const TDeviceSample& s) {
      std::lock_guard<std::mutex> lock(mutex_);
      // Trigger frames travel unescaped behind a C0 C0 sync pair: a rate
      // whose first byte is C0 shifts the frame by one byte, so that frame
      // and the next (whose sync pair it swallowed) fail their CRC.
      std::uint8_t first;
      std::memcpy(&first, &s.Rate, 1);
      if (skipNext_) {
        skipNext_ = false;
        return;
      }
      if (s.Kind == TDeviceSample::TKind::Trigger && first == 0xC0) {
        skipNext_ = true;
        return;
      }
      if (!s.BadCrc) sent_.push_back(s);
    };
    std::string error;
    EXPECT_TRUE(gyro.Start(error)) << error;
    ::setenv("RATELOG_COM1", gyro.DevicePath().c_str(), 1);
    std::vector<std::string> args = {"record", "--settings", settingsPath_, "--port", "COM1"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out;
    const int code = RunCli(args, out, err_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sentByEnd_ = sent_.size();  // a streaming device goes on until it is stopped itself
    }
    gyro.Stop();
    output_ = out.str();
    return code;
  }

  std::vector<SamplePoint> Recorded(TRecordingInfo* info = nullptr) {
    TRecordingReader reader;
    EXPECT_TRUE(reader.Open(rtd_)) << reader.Error();
    if (info) *info = reader.Info();
    std::vector<SamplePoint> out;
    SamplePoint p;
    while (reader.Next(p)) out.push_back(p);
    return out;
  }

  // The recording holds every sample the device sent but the first (which
  // creates the file) and those still on the wire at Stop, or sent after it
  // (a streaming device goes on until it is stopped itself).
  void ExpectRecordingMatchesDevice(bool compareTime, bool compareTemperature = true,
                                    std::size_t inFlight = 4) {
    const auto recs = Recorded();
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_GE(sent_.size(), 2u);
    ASSERT_GE(recs.size() + inFlight, sentByEnd_ - 1) << "samples lost beyond those in flight";
    ASSERT_LE(recs.size(), sent_.size() - 1);
    for (std::size_t i = 0; i < recs.size(); ++i) {
      const TDeviceSample& s = sent_[i + 1];
      if (compareTime) {
        EXPECT_EQ(recs[i].Time, s.Time) << i;
      }
      EXPECT_EQ(recs[i].Rate, s.Rate) << i;
      if (compareTemperature) {
        EXPECT_EQ(recs[i].Temperature, s.Temperature) << i;
      }
    }
  }

  TTempDir tmp_;
  std::string dir_ = tmp_.Path(), settingsPath_ = tmp_.File("Ratelog.ini"), rtd_ = tmp_.File("run.rtd");
  std::string output_;
  std::ostringstream err_;
  std::mutex mutex_;
  std::vector<TDeviceSample> sent_;
  bool skipNext_ = false;
  std::size_t sentByEnd_ = 0;
};

TEST_F(RecordRun, NormalModeWithHardwareTimeAndCrcFaults) {
  TOptionProgramm s;
  s.Sample = 50;
  s.SampleIndex = 6;
  const int code = Record(s, [](TDeviceConfig& c) { c.BadCrcEvery = 9; c.GarbageEvery = 5; },
                          {"--seconds", "1.5", "--out", rtd_});
  ASSERT_EQ(code, 0) << err_.str();
  EXPECT_NE(output_.find("crc-dropped="), std::string::npos);
  ExpectRecordingMatchesDevice(true);
  TRecordingInfo info;
  Recorded(&info);
  EXPECT_EQ(info.Ident, "VRDT40-123.456-00042");
  EXPECT_EQ(info.Sample, 50);
}

TEST_F(RecordRun, TriggerModeWithEveryField) {
  TOptionProgramm s;
  s.Mode = ModeTrigger;
  s.TrigMask = {true, true, true};
  s.FreqImpulse = 200;
  s.MeanTime = 1;
  const int code = Record(s, [](TDeviceConfig& c) { c.BadCrcEvery = 13; },
                          {"--seconds", "1.5", "--out", rtd_});
  ASSERT_EQ(code, 0) << err_.str();
  ExpectRecordingMatchesDevice(true, true, 20);  // 200 frames/s: those between Stop and return
  EXPECT_GT(Recorded().size(), 200u);
}

TEST_F(RecordRun, OneCommandModeWithSoftwareTime) {
  TOptionProgramm s;
  s.Mode = ModeOneCommand;
  s.TimeSource = TimeSoftware;
  s.Sample = 20;
  s.SampleIndex = 3;
  const int code = Record(s, nullptr, {"--seconds", "1.2", "--out", rtd_});
  ASSERT_EQ(code, 0) << err_.str();
  // The rate alone travels; the temperature keeps its last value (none yet).
  ExpectRecordingMatchesDevice(false, false);
  const auto recs = Recorded();
  for (const auto& r : recs) EXPECT_EQ(r.Temperature, 0.0f);
  ASSERT_GE(recs.size(), 10u);
  EXPECT_FLOAT_EQ(recs[0].Time, 0.1f);  // 2 x 1/20 s: the first reply is not stored
  EXPECT_FLOAT_EQ(recs[1].Time, 0.15f);
}

TEST_F(RecordRun, EleventhErrorReplyEndsIdentificationWithTheDefaultText) {
  TOptionProgramm s;
  const int code = Record(s, [](TDeviceConfig& c) { c.ErrorReplies = 11; },
                          {"--seconds", "0.8", "--out", rtd_});
  ASSERT_EQ(code, 0) << err_.str();
  EXPECT_NE(output_.find("device: VRDT40-000.000-00000"), std::string::npos) << output_;
  TRecordingInfo info;
  const auto recs = Recorded(&info);
  EXPECT_EQ(info.Ident, "VRDT40-000.000-00000");
  EXPECT_GT(recs.size(), 3u);
}

TEST_F(RecordRun, SilentDeviceTimesOutAndHangUpStopsTheRun) {
  TOptionProgramm s;
  int code = Record(s, [](TDeviceConfig& c) { c.Silent = true; },
                    {"--ident-timeout", "0.5", "--out", rtd_});
  EXPECT_EQ(code, 4);
  EXPECT_NE(err_.str().find("no identification reply"), std::string::npos) << err_.str();
  EXPECT_NE(::access(rtd_.c_str(), F_OK), 0) << "no sample, no file";

  // A device that goes away mid-run: the run stops by itself, the recording
  // keeps everything received.
  s.Mode = ModeTrigger;
  s.FreqImpulse = 100;
  TDeviceConfig config = TDeviceModel::ConfigFor(s);
  TVirtualGyro gyro(config);
  gyro.SetHangUpAfter(1.0);
  std::string error;
  ASSERT_TRUE(gyro.Start(error)) << error;
  ::setenv("RATELOG_COM1", gyro.DevicePath().c_str(), 1);
  s.FileName = settingsPath_;
  ASSERT_TRUE(s.Save());
  std::ostringstream out, err;
  code = RunCli({"record", "--settings", settingsPath_, "--seconds", "30", "--out", rtd_}, out, err);
  EXPECT_EQ(code, ExitFailure);
  EXPECT_NE(err.str().find("went away"), std::string::npos) << err.str();
  EXPECT_GT(Recorded().size(), 40u);
}

TEST_F(RecordRun, PortThatCannotBeOpened) {
  ::setenv("RATELOG_COM1", (dir_ + "/no-such-tty").c_str(), 1);
  std::ostringstream out, err;
  const int code = RunCli({"record", "--port", "COM1"}, out, err);
  EXPECT_EQ(code, ExitFailure);
  EXPECT_NE(err.str().find("Cannot open device COM1"), std::string::npos) << err.str();
}

}  // namespace
