#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <random>
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

TEST_F(SettingsFile, MissingFileIsCreatedWithTheDefaultsByteForByte) {
  TOptionProgramm s(path_);
  EXPECT_EQ(ReadBytes(path_), kDefaultDump);
  // A foreign file is replaced by the defaults as well.
  WriteBytes(path_, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
  s.Sample = 125;
  EXPECT_TRUE(s.Load());
  EXPECT_EQ(s.Sample, 10);
  EXPECT_EQ(ReadBytes(path_), kDefaultDump);
}

// Every field differs from its default: a file saved from what was loaded
// is the same file only when every field was read back.
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

TEST_F(SettingsFile, StringAcceptanceByLength) {
  struct Case { std::size_t len; bool shellTaken; bool serverTaken; };
  for (Case c : {Case{1, false, false}, Case{3, true, false}, Case{4, true, true},
                 Case{255, true, true}, Case{256, false, false}}) {
    TOptionProgramm a;
    a.FileName = path_;
    a.ShellPath = std::string(c.len, 's');
    a.ServerFolder = std::string(c.len, 'f');
    ASSERT_TRUE(a.Save());
    EXPECT_EQ(ReadBytes(path_).size(), 149u + 2 * c.len) << "saved with full length";
    TOptionProgramm b;
    b.FileName = path_;
    b.ShellPath = "old-shell";
    b.ServerFolder = "old-folder";
    ASSERT_TRUE(b.Load());
    EXPECT_EQ(b.ShellPath, c.shellTaken ? a.ShellPath : "old-shell") << c.len;
    EXPECT_EQ(b.ServerFolder, c.serverTaken ? a.ServerFolder : "old-folder") << c.len;
  }
}

// The two strings behind the fixed fields, as a length and the bytes.
TEST_F(SettingsFile, StringsAsStored) {
  auto text = [](std::int32_t length, const std::string& bytes) {
    Bytes b;
    PutAt(b, 0, length);
    b.insert(b.end(), bytes.begin(), bytes.end());
    return b;
  };
  const struct {
    Bytes shell, server;
    std::string shellRead, serverRead;
  } cases[] = {
      {text(5, std::string("ab\0cd", 5)), text(4, "/srv"), "ab", "/srv"},  // up to the first zero
      {text(300, std::string(300, 'x')), text(5, "/data"), "", "/data"},  // too long: skipped
      {text(-1, ""), text(5, "/data"), "", "keep"},  // a negative length ends the reading
  };
  for (const auto& c : cases) {
    Bytes bytes(kDefaultDump.begin(), kDefaultDump.begin() + 141);
    bytes.insert(bytes.end(), c.shell.begin(), c.shell.end());
    bytes.insert(bytes.end(), c.server.begin(), c.server.end());
    WriteBytes(path_, bytes);
    TOptionProgramm s;
    s.FileName = path_;
    s.ServerFolder = "keep";
    EXPECT_TRUE(s.Load());
    EXPECT_EQ(s.ShellPath, c.shellRead);
    EXPECT_EQ(s.ServerFolder, c.serverRead);
  }
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

TEST_F(SettingsFile, RandomBytesNeverCrash) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 400; ++round) {
    Bytes bytes(rng() % 600);
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    if (round % 2 && bytes.size() >= 4) PutAt<std::uint32_t>(bytes, 0, 0x6023);  // the version
    if (round % 4 == 1 && bytes.size() >= 145)  // a plausible first length
      PutAt<std::int32_t>(bytes, 141, static_cast<std::int32_t>(rng() % 400) - 100);
    WriteBytes(path_, bytes);
    TOptionProgramm s;
    s.FileName = path_;
    s.Load();
    EXPECT_LE(s.ShellPath.size(), 255u);
    EXPECT_LE(s.ServerFolder.size(), 255u);
  }
}

// Out-of-range values read from an old or damaged file fall back to the
// defaults; values in range pass.
TEST(SettingsRecord, SafeAccessorsFallBackToDefaults) {
  TOptionProgramm s;
  s.SampleIndex = 13; s.PortIndex = -1; s.BaudIndex = 9; s.Resolution = 3000;
  s.DisplayTime = 0; s.MeanTime = 0; s.Sample = 0; s.FreqImpulse = -1;
  EXPECT_EQ(s.SafeSampleIndex(), 2);
  EXPECT_EQ(s.SafePortIndex(), 0);
  EXPECT_EQ(s.SafeBaudIndex(), 5);
  EXPECT_EQ(s.SafeResolution(), 4000);
  EXPECT_EQ(s.SafeDisplayTime(), 10);
  EXPECT_EQ(s.SafeMeanTime(), 50);
  EXPECT_EQ(s.SafeSample(), 10);
  EXPECT_EQ(s.SafeFreqImpulse(), 100.0);
  s.FreqImpulse = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(s.SafeFreqImpulse(), 100.0);
  s.PortIndex = 8; s.SampleIndex = 12; s.BaudIndex = 8; s.Resolution = 6000;
  s.DisplayTime = 7200; s.MeanTime = 500; s.Sample = 99; s.FreqImpulse = 0.5;
  EXPECT_EQ(s.PortName(), "COM9");
  EXPECT_EQ(std::vector<double>({double(s.SafeSampleIndex()), double(s.SafeBaudIndex()),
                                 double(s.SafeResolution()), double(s.SafeDisplayTime()),
                                 double(s.SafeMeanTime()), double(s.SafeSample()), s.SafeFreqImpulse()}),
            std::vector<double>({12, 8, 6000, 7200, 500, 99, 0.5}));
}

TEST_F(SettingsFile, LocationBesideTheProgramOrPerUser) {
  const std::string program = dir_ + "/bin/";
  ::mkdir(program.c_str(), 0755);
  EXPECT_EQ(SettingsFilePath(program, nullptr, dir_.c_str()), program + "Ratelog.ini");
  EXPECT_EQ(SettingsFilePath(dir_ + "/bin", nullptr, dir_.c_str()), program + "Ratelog.ini");

  // /proc takes no new files, even from root.
  const std::string xdg = dir_ + "/xdg";
  EXPECT_EQ(SettingsFilePath("/proc/", xdg.c_str(), dir_.c_str()), xdg + "/ratelog/Ratelog.ini");
  struct stat st {};
  EXPECT_EQ(::stat((xdg + "/ratelog").c_str(), &st), 0) << "folder created";
  EXPECT_EQ(SettingsFilePath("/proc/", nullptr, dir_.c_str()),
            dir_ + "/.config/ratelog/Ratelog.ini");
  EXPECT_EQ(SettingsFilePath("/proc/", "relative/ignored", dir_.c_str()),
            dir_ + "/.config/ratelog/Ratelog.ini");
  // Installed in /usr/bin: per user, also for root (who could write there).
  EXPECT_EQ(SettingsFilePath("/usr/bin/", xdg.c_str(), dir_.c_str()),
            xdg + "/ratelog/Ratelog.ini");
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
