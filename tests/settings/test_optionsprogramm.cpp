// The settings file: its exact bytes, what a damaged or foreign file
// leaves of the settings, the safe accessors, and where the file lives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/TestFiles.h"
#include "settings/Optionsprogramm.h"

namespace {

class SettingsFile : public ::testing::Test {
 protected:
  TTempDir tmp_;
  std::string dir_ = tmp_.Path(), path_ = tmp_.File("Ratelog.ini");
};

const Bytes kDefaultDump = {
    0x23, 0x60, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0xC1, 0x00, 0x00, 0xF0, 0x41,
    0x0A, 0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x70, 0x42,
    0x00, 0x00, 0x20, 0xC2, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x64, 0x05, 0x00,
    0x00, 0xA0, 0x0F, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x7B, 0x56, 0xA6, 0x76, 0x56, 0x34, 0xE2, 0x3E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x59,
    0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x99, 0x99, 0xB9,
    0x3F, 0x00, 0x18, 0x00, 0x03, 0x0A, 0x00, 0x00, 0xC8, 0x42, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x20, 0x41, 0x00, 0x00, 0x00, 0x00, 0x8F, 0xC2, 0xF5, 0x28, 0x5C, 0x8F, 0x27, 0x40, 0x00, 0x00,
    0x00, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0xC8, 0x42, 0x00, 0x00, 0x70, 0xC2, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00};

// A missing or foreign file is replaced by the defaults.
TEST_F(SettingsFile, MissingOrForeignFileBecomesTheDefaultsByteForByte) {
  TOptionProgramm s(path_);
  EXPECT_EQ(ReadBytes(path_), kDefaultDump);
  WriteBytes(path_, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
  s.Sample = 125;
  EXPECT_TRUE(s.Load());
  EXPECT_EQ(s.Sample, 10);
  EXPECT_EQ(ReadBytes(path_), kDefaultDump);
}

TEST_F(SettingsFile, EveryFieldSurvivesSaveAndLoad) {
  TOptionProgramm a;
  a.FileName = path_;
  // The fields in the order they are stored.
  a.ShowSignal = true; a.ShowAver = true; a.RateMin = -1.5f; a.RateMax = 2.25f;
  a.DisplayTime = 7200; a.MeanTime = 123; a.Sample = 125; a.TempMax = 70; a.TempMin = -50;
  a.Mode = ModeOneCommand; a.PortIndex = 8; a.SampleIndex = 12; a.Address = 255; a.BaudIndex = 8;
  a.Resolution = 6000; a.FaultTime = 77; a.TimeSource = TimeSoftware; a.TimeScale = 1e-7;
  a.FreqImpulse = 99.9; a.TempType = TempLong; a.TempScale = 0.001; a.EnableChange = true;
  a.AdTime = 1; a.AdSig = 2; a.AdTemp = 4; a.Command = 200; a.DriftTime = 100.7f; a.Passband = 300;
  a.RandomWalkTime = 50; a.EarthRate = 15.5; a.TrigMask = {true, false, true};
  a.PanelVisible = {false, true, false, true}; a.TempLimitMax = 90; a.TempLimitMin = -20;
  a.ShellPath = "/usr/bin/gyro-tool"; a.ServerFolder = "/srv/archive";
  ASSERT_TRUE(a.Save());
  const Bytes saved = ReadBytes(path_);
  // Mode sits at byte 36 with PortIndex right behind it, unaligned.
  EXPECT_EQ(saved[36], 2);
  EXPECT_EQ(saved[37], 8);
  EXPECT_EQ(saved.size(), 149u + a.ShellPath.size() + a.ServerFolder.size());
  TOptionProgramm b(path_);
  EXPECT_EQ(b.ServerFolder, a.ServerFolder);
  ASSERT_TRUE(b.Save());
  EXPECT_EQ(ReadBytes(path_), saved);
}

// The two strings behind the fixed fields (141 bytes), each a length and
// the bytes: taken when 3 (the shell) or 4 (the folder) to 255 long.
TEST_F(SettingsFile, StringsAsStored) {
  auto text = [](std::int32_t length, const std::string& bytes) {
    Bytes b;
    PutAt(b, 0, length);
    b.insert(b.end(), bytes.begin(), bytes.end());
    return b;
  };
  auto s = [](std::size_t n, char c) { return std::string(n, c); };
  const struct {
    Bytes shell, server;
    std::string shellRead, serverRead;
  } cases[] = {
      {text(5, std::string("ab\0cd", 5)), text(4, "/srv"), "ab", "/srv"},  // up to the first zero
      {text(300, s(300, 'x')), text(5, "/data"), "old", "/data"},           // too long: skipped
      {text(-1, ""), text(5, "/data"), "old", "keep"},                      // negative: the end
      {text(1, "s"), text(1, "f"), "old", "keep"},
      {text(3, "sss"), text(3, "fff"), "sss", "keep"},
      {text(4, "ssss"), text(4, "ffff"), "ssss", "ffff"},
      {text(255, s(255, 's')), text(255, s(255, 'f')), s(255, 's'), s(255, 'f')},
      {text(256, s(256, 's')), text(256, s(256, 'f')), "old", "keep"},
  };
  for (const auto& c : cases) {
    Bytes bytes(kDefaultDump.begin(), kDefaultDump.begin() + 141);
    bytes.insert(bytes.end(), c.shell.begin(), c.shell.end());
    bytes.insert(bytes.end(), c.server.begin(), c.server.end());
    WriteBytes(path_, bytes);
    TOptionProgramm t;
    t.FileName = path_;
    t.ShellPath = "old";
    t.ServerFolder = "keep";
    EXPECT_TRUE(t.Load());
    EXPECT_EQ(t.ShellPath, c.shellRead) << c.shell.size();
    EXPECT_EQ(t.ServerFolder, c.serverRead) << c.server.size();
  }
  TOptionProgramm t;  // saved with their full length
  t.FileName = path_;
  t.ShellPath = s(256, 's');
  t.ServerFolder = "f";
  ASSERT_TRUE(t.Save());
  EXPECT_EQ(ReadBytes(path_).size(), 149u + 257);
}

TEST_F(SettingsFile, TruncatedFileKeepsTheFieldsBeyondItsEnd) {
  Bytes bytes = kDefaultDump;
  bytes[24] = 125;   // Sample
  bytes[37] = 4;     // PortIndex
  bytes.resize(40);  // cuts PortIndex in half
  WriteBytes(path_, bytes);
  TOptionProgramm s;
  s.FileName = path_;
  s.PortIndex = 7;
  s.Address = 42;
  EXPECT_TRUE(s.Load());
  EXPECT_EQ(s.Sample, 125);
  EXPECT_EQ(s.PortIndex, 7);
  EXPECT_EQ(s.Address, 42);
}

TEST_F(SettingsFile, FailuresAreReported) {
  TOptionProgramm s;
  EXPECT_FALSE(s.Load()) << "no file name";
  EXPECT_FALSE(s.Save()) << "no file name";
  s.FileName = dir_ + "/no/such/folder/Ratelog.ini";
  EXPECT_FALSE(s.Save());
  EXPECT_FALSE(s.Load()) << "missing file that cannot be created";
  s.FileName = dir_;  // a folder cannot be read as a file
  EXPECT_FALSE(s.Load());
}

// Out-of-range values from an old or damaged file fall back to the
// defaults; values in range pass.
// Each accessor passes the smallest and the largest value of its range and
// gives its fallback one past either end and at the extremes of its field.
#define FIELD(f, safe) [](TOptionProgramm& s, double v) { s.f = static_cast<decltype(s.f)>(v); }, \
                       [](const TOptionProgramm& s) { return static_cast<double>(s.safe()); }
TEST(SettingsRecord, SafeAccessorsPassTheirRangeAndNothingPast) {
  const double lo = INT32_MIN, hi = INT32_MAX, inf = INFINITY;
  const struct {
    void (*set)(TOptionProgramm&, double);
    double (*safe)(const TOptionProgramm&);
    std::vector<double> pass, refuse;
    double fallback;
  } cases[] = {
      {FIELD(SampleIndex, SafeSampleIndex), {0, 12}, {-1, 13, lo, hi}, 2},
      {FIELD(PortIndex, SafePortIndex), {0, 8}, {-1, 9, lo, hi}, 0},
      {FIELD(BaudIndex, SafeBaudIndex), {0, 8}, {9, 255}, 5},
      {FIELD(Resolution, SafeResolution), {2000, 6000}, {1999, 3000, 6001, -32768, 32767}, 4000},
      {FIELD(DisplayTime, SafeDisplayTime), {10, 7200}, {9, 7201, lo, hi}, 10},
      {FIELD(MeanTime, SafeMeanTime), {1, 500}, {0, 501, lo, hi}, 50},
      {FIELD(Sample, SafeSample), {1, hi}, {0, lo}, 10},
      {FIELD(FreqImpulse, SafeFreqImpulse), {std::numeric_limits<double>::denorm_min(), DBL_MAX},
       {0, -0.0, -1, NAN, inf, -inf}, 100},
  };
  for (const auto& c : cases) {
    TOptionProgramm s;
    for (double v : c.pass) {
      c.set(s, v);
      EXPECT_EQ(c.safe(s), v);
    }
    for (double v : c.refuse) {
      c.set(s, v);
      EXPECT_EQ(c.safe(s), c.fallback) << v;
    }
  }
  TOptionProgramm s;
  s.PortIndex = 8;
  EXPECT_EQ(s.PortName(), "COM9");
}
#undef FIELD

// Beside the program while its folder takes files; else per user, under
// $XDG_CONFIG_HOME when it is absolute or ~/.config, the folder created.
// /proc takes no new files, even from root; /usr/bin is per user, also for
// root (who could write there).
TEST_F(SettingsFile, LocationBesideTheProgramOrPerUser) {
  const std::string program = dir_ + "/bin/", xdg = dir_ + "/xdg", home = dir_ + "/.config/ratelog/Ratelog.ini";
  ::mkdir(program.c_str(), 0755);
  const struct {
    std::string folder;
    const char* xdg;
    std::string file;
  } cases[] = {
      {program, nullptr, program + "Ratelog.ini"},     {dir_ + "/bin", nullptr, program + "Ratelog.ini"},
      {"/proc/", xdg.c_str(), xdg + "/ratelog/Ratelog.ini"}, {"/proc/", nullptr, home},
      {"/proc/", "relative/ignored", home},            {"/usr/bin/", xdg.c_str(), xdg + "/ratelog/Ratelog.ini"},
  };
  for (const auto& c : cases) EXPECT_EQ(SettingsFilePath(c.folder, c.xdg, dir_.c_str()), c.file) << c.folder;
  struct stat st {};
  EXPECT_EQ(::stat((xdg + "/ratelog").c_str(), &st), 0) << "folder created";
}

// Which file a program uses: beside it while its folder takes files; else
// the per-user file, which starts from a file beside the program when there
// is one and wins once it exists.
TEST(SettingsFileLocation, OneRuleDecides) {
  using P = TSettingsPlace;
  struct {
    bool folderWritable, besideExists, userFolderKnown, userExists;
    P place;
  } const cases[] = {
      {true, false, true, false, P::Beside},
      {true, true, true, true, P::Beside},
      {false, false, true, false, P::User},
      {false, true, true, false, P::UserFromBeside},  // installed program: read it, save per user
      {false, true, true, true, P::User},             // the user's file wins from then on
      {false, false, true, true, P::User},
      {false, true, false, false, P::Beside},         // nowhere else to go
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecideSettingsPlace(c.folderWritable, c.besideExists, c.userFolderKnown, c.userExists),
              c.place)
        << c.folderWritable << c.besideExists << c.userFolderKnown << c.userExists;
}

}  // namespace
