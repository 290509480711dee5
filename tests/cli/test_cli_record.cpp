// Whole headless runs against the virtual gyroscope: what the device put on
// the wire must be what the recording holds, in order.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
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

  void SaveSettings(TOptionProgramm& settings) {
    settings.FileName = settingsPath_;
    EXPECT_TRUE(settings.Save());
  }

  // Runs `ratelog-cli record` against a fresh virtual gyroscope made for the
  // settings (adjusted by `device`), collecting what the device sent.
  int Record(TOptionProgramm settings, void (*device)(TDeviceConfig&), std::vector<std::string> extra) {
    SaveSettings(settings);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sent_.clear();
      shadow_ = 0;
    }
    ::unlink(rtd_.c_str());
    err_.str("");
    TDeviceConfig config = TDeviceModel::ConfigFor(settings);
    if (device) device(config);
    TVirtualGyro gyro(config);
    gyro.SetHangUpAfter(hangUpAfter_);
    gyro.OnSample = [this](const TDeviceSample& s) {
      std::lock_guard<std::mutex> lock(mutex_);
      // Trigger frames travel unescaped behind a C0 C0 sync pair: a rate
      // whose first byte is C0 shifts the frame by one byte, so that frame
      // fails its CRC and the receiver loses its way for the next one or
      // two (a C0 among their bytes is taken for a sync byte).
      std::uint8_t first;
      std::memcpy(&first, &s.Rate, 1);
      if (s.Kind == TDeviceSample::TKind::Trigger && first == 0xC0) shadow_ = 3;
      sent_.push_back({s, s.BadCrc || shadow_ > 0});
      if (shadow_ > 0) --shadow_;
    };
    std::string error;
    EXPECT_TRUE(gyro.Start(error)) << error;
    ::setenv("RATELOG_COM1", gyro.DevicePath().c_str(), 1);
    std::vector<std::string> args = {"record", "--settings", settingsPath_, "--port", "COM1", "--out", rtd_};
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
    for (SamplePoint p; reader.Next(p);) out.push_back(p);
    return out;
  }

  // The recording holds every sample the device sent but the first (which
  // creates the file) and those still on the wire at Stop, or sent after it,
  // in the order sent. Frames the protocol cannot deliver (wrong CRC, the
  // sync rule) are the only gaps allowed.
  void ExpectRecordingMatchesDevice(bool compareTime, bool compareTemperature = true,
                                    std::size_t inFlight = 4) {
    const auto recs = Recorded();
    std::lock_guard<std::mutex> lock(mutex_);
    auto same = [&](const SamplePoint& r, const TDeviceSample& s) {
      return r.Rate == s.Rate && (!compareTime || r.Time == s.Time) &&
             (!compareTemperature || r.Temperature == s.Temperature);
    };
    std::size_t j = 0;
    int creating = 1;  // the first delivered sample creates the file
    for (std::size_t i = 0; i < recs.size(); ++i, ++j) {
      for (; j < sent_.size() && !same(recs[i], sent_[j].sample); ++j) {
        if (!sent_[j].lossy) {
          ASSERT_GE(creating--, 1) << "sample " << j << " lost before record " << i;
        }
      }
      ASSERT_LT(j, sent_.size()) << "record " << i << " was never sent";
      creating = 0;
    }
    std::size_t missing = 0;  // delivered before the end, not recorded
    for (std::size_t k = j; k < sentByEnd_; ++k) missing += !sent_[k].lossy;
    EXPECT_LE(missing, inFlight) << "samples lost beyond those in flight";
  }

  TTempDir tmp_;
  std::string settingsPath_ = tmp_.File("Ratelog.ini"), rtd_ = tmp_.File("run.rtd");
  std::string output_;
  std::ostringstream err_;
  std::mutex mutex_;
  struct Sent {
    TDeviceSample sample;
    bool lossy;  // the protocol cannot deliver it
  };
  std::vector<Sent> sent_;
  int shadow_ = 0;
  std::size_t sentByEnd_ = 0;
  double hangUpAfter_ = 0;
};

// Each mode against a device that garbles some frames: the recording holds
// what the device sent, in order. In One-command mode with software time the
// rate alone travels (the temperature keeps its last value, none yet) and
// the times are 1/Sample apart, the first reply not stored; an eleventh
// error reply ends the identification with the default text.
TEST_F(RecordRun, EachModeRecordsWhatTheDeviceSent) {
  const struct {
    const char* name;
    void (*settings)(TOptionProgramm&);
    void (*device)(TDeviceConfig&);
    bool time, temperature;
    std::size_t inFlight, minRecords;
    std::string printed, ident;
  } cases[] = {
      {"normal", [](TOptionProgramm& s) { s.Sample = 50; s.SampleIndex = 6; },
       [](TDeviceConfig& c) { c.BadCrcEvery = 9; c.GarbageEvery = 5; }, true, true, 4, 50, "crc-dropped=",
       "VRDT40-123.456-00042"},
      {"trigger",  // streams on during Stop: any tail may be in flight
       [](TOptionProgramm& s) {
         s.Mode = ModeTrigger;
         s.TrigMask = {true, true, true};
         s.FreqImpulse = 200;
         s.MeanTime = 1;
       },
       [](TDeviceConfig& c) { c.BadCrcEvery = 13; }, true, true, SIZE_MAX, 200, "", "VRDT40-123.456-00042"},
      {"one command",
       [](TOptionProgramm& s) {
         s.Mode = ModeOneCommand;
         s.TimeSource = TimeSoftware;
         s.Sample = 20;
         s.SampleIndex = 3;
       },
       [](TDeviceConfig&) {}, false, false, 4, 10, "", "VRDT40-123.456-00042"},
      {"error replies", [](TOptionProgramm&) {}, [](TDeviceConfig& c) { c.ErrorReplies = 11; }, true, true, 4, 3,
       "device: VRDT40-000.000-00000", "VRDT40-000.000-00000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TOptionProgramm s;
    c.settings(s);
    ASSERT_EQ(Record(s, c.device, {"--seconds", "1.5"}), ExitOk) << err_.str();
    EXPECT_NE(output_.find(c.printed), std::string::npos) << output_;
    ExpectRecordingMatchesDevice(c.time, c.temperature, c.inFlight);
    TRecordingInfo info;
    const auto recs = Recorded(&info);
    EXPECT_GT(recs.size(), c.minRecords);
    EXPECT_EQ(info.Ident, c.ident);
    EXPECT_EQ(info.Sample, s.Sample);
    if (s.Mode != ModeOneCommand || recs.size() < 2) continue;
    for (const auto& r : recs) EXPECT_EQ(r.Temperature, 0.0f);
    EXPECT_FLOAT_EQ(recs[0].Time, 0.1f);
    EXPECT_FLOAT_EQ(recs[1].Time, 0.15f);
  }
}

TEST_F(RecordRun, SilentDeviceTimesOut) {
  TOptionProgramm s;
  int code = Record(s, [](TDeviceConfig& c) { c.Silent = true; }, {"--ident-timeout", "0.5"});
  EXPECT_EQ(code, 4);
  EXPECT_NE(err_.str().find("no identification reply"), std::string::npos) << err_.str();
  EXPECT_NE(::access(rtd_.c_str(), F_OK), 0) << "no sample, no file";
  EXPECT_NE(output_.find("nothing recorded: no sample arrived"), std::string::npos) << output_;

}

// The device goes away at any moment (during identification, between two
// replies, in the middle of a frame): the tool never dies by a signal or an
// escaping exception, and what it recorded is exactly what the device sent.
TEST_F(RecordRun, HangUpsAtRandomMoments) {
  std::mt19937 rng(20261206);
  for (int round = 0; round < 50; ++round) {
    const bool trigger = round % 2;
    SCOPED_TRACE(::testing::Message() << "round " << round << (trigger ? " Trigger" : " Normal"));
    TOptionProgramm s;
    s.Mode = trigger ? ModeTrigger : ModeNormal;
    s.TrigMask = {true, true, true};
    s.FreqImpulse = 500;
    s.Sample = 125;
    s.SampleIndex = 12;
    hangUpAfter_ = std::uniform_real_distribution<double>(0.05, 0.6)(rng);
    EXPECT_EQ(Record(s, nullptr, {"--seconds", "30"}), ExitFailure);
    // Gone before the port was opened, while its line was being set up, or
    // during the run.
    EXPECT_TRUE(err_.str().find("went away") != std::string::npos ||
                err_.str().find("Cannot open device") != std::string::npos ||
                err_.str().find("Unable to update device control block") != std::string::npos)
        << err_.str();
    if (::access(rtd_.c_str(), F_OK) != 0) continue;  // gone before the first sample
    // What was still in the terminal when it went away never arrived.
    ExpectRecordingMatchesDevice(true, true, sentByEnd_);
  }
}

// SIGTERM (and Ctrl-C) end a run as Stop does, also one that streams as
// fast as the virtual gyroscope can (asked for a million impulses a second,
// it says so): the program exits normally with its recording complete.
TEST_F(RecordRun, SigtermEndsAStreamingRun) {
  TOptionProgramm s;
  s.Mode = ModeTrigger;
  s.FreqImpulse = 1e6;
  SaveSettings(s);
  const std::string log = tmp_.File("out.txt");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string tool = std::string(RATELOG_BINARY_DIR) + "/bin/ratelog-cli";
    if (!std::freopen(log.c_str(), "w", stdout)) ::_exit(127);
    ::execl(tool.c_str(), tool.c_str(), "record", "--settings", settingsPath_.c_str(), "--simulate",
            "--out", rtd_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto printed = [&] { return ReadText(log); };
  // Once the run streams (the first status line), stop it.
  for (int i = 0; i < 60000 && printed().find("\nt=") == std::string::npos; ++i) ::usleep(1000);
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(printed().find("streams at most 20000 frames/s"), std::string::npos) << printed();
  EXPECT_NE(printed().find("stopped by SIGTERM"), std::string::npos) << printed();
  EXPECT_GT(Recorded().size(), 100u);
}

}  // namespace
