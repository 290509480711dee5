// The programs on a full disk (a file-size limit): a failed write is an
// error with the program's own message and exit code 1, never the end of
// the program with a partial file; an older archived copy survives.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/FileSizeLimit.h"
#include "common/TestFiles.h"

namespace {

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

Bytes WithoutSecondLine(Bytes b) {
  const auto first = std::find(b.begin(), b.end(), '\n');
  if (first == b.end()) return b;
  const auto second = std::find(first + 1, b.end(), '\n');
  if (second != b.end()) b.erase(first + 1, second + 1);
  return b;
}

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    Bytes b = RecordingHeader(10.0f, "VRDT40-000.000-00000");
    for (int i = 1; i <= 20000; ++i) AddRecord(b, i * 0.1f, 0.001f * static_cast<float>(i % 7), 25);
    WriteBytes(rtd_, b);
  }
  TTempDir tmp_;
  std::string rtd_ = tmp_.File("run.rtd");
};

TEST_F(FullDisk, ExportEndsWithItsMessageAndACleanPrefix) {
  const std::string out = tmp_.File("run.txt");
  const TProgramRun whole = RunWithFileSizeLimit(RLIM_INFINITY, BuiltProgram("ratelog-cli"), {"export", rtd_});
  ASSERT_EQ(whole.Code, 0) << whole.Err;
  const Bytes all = ReadBytes(out);
  const TProgramRun full = RunWithFileSizeLimit(64 * 1024, BuiltProgram("ratelog-cli"), {"export", rtd_});
  EXPECT_TRUE(full.Exited) << "ended by signal " << full.Signal;
  EXPECT_EQ(full.Code, 1);
  EXPECT_EQ(full.Err, "ratelog-cli: cannot write export file " + out + ": File too large\n");
  // The two exports may be written either side of a minute's turn: the
  // header's "Time create:" line is left out of the comparison.
  const Bytes kept = WithoutSecondLine(ReadBytes(out));
  const Bytes whole_text = WithoutSecondLine(all);
  EXPECT_GT(kept.size(), 1000u);
  ASSERT_LT(kept.size(), whole_text.size());
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), whole_text.begin()));
}

// The new copy fails at the limit: the copy archived before is left whole,
// and nothing else stays behind in the archive folder.
TEST_F(FullDisk, ArchiveKeepsTheOlderCopy) {
  const std::string server = tmp_.File("arch"), folder = server + "/VRDT40-000.000/00000";
  for (const std::string& f : {server, server + "/VRDT40-000.000", folder}) ::mkdir(f.c_str(), 0777);
  const std::string target = folder + "/create_05122026_1030__file_run.rtd";
  Bytes older(3000, 0x5A);
  WriteBytes(target, older);
  const TProgramRun run =
      RunWithFileSizeLimit(4000, BuiltProgram("ratelog-cli"), {"archive", rtd_, "--server", server});
  EXPECT_TRUE(run.Exited) << "ended by signal " << run.Signal;
  EXPECT_EQ(run.Code, 1);
  EXPECT_EQ(run.Err, "ratelog-cli: not saved: " + target + ": File too large\n");
  EXPECT_EQ(ReadBytes(target), older);
  EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"create_05122026_1030__file_run.rtd"});
}

// The window saves its settings file when it first shows; at a limit that
// file cannot hold, the save fails and the window stays (it says so in a
// message box). The child is watched until it has created the file, given
// two seconds more, and then ended by the test: it must be alive until then.
TEST_F(FullDisk, TheWindowOutlivesASettingsFileItCannotWrite) {
  const std::string window = BuiltProgram("ratelog");
  if (::access(window.c_str(), X_OK) != 0) GTEST_SKIP() << "the window is not built";
  // A copy of the program in a folder of its own: its settings go beside it.
  const std::string copy = tmp_.File("ratelog");
  WriteBytes(copy, ReadBytes(window));
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
  const std::string settings = tmp_.File("Ratelog.ini");
  int afterCreation = -1, ticks = 0;
  const TProgramRun run = RunWithFileSizeLimit(
      64, copy, {},
      {"QT_QPA_PLATFORM=offscreen", "HOME=" + tmp_.Path(), "XDG_CONFIG_HOME=" + tmp_.File("config"),
       "XDG_CACHE_HOME=" + tmp_.File("cache"), "XDG_RUNTIME_DIR=" + tmp_.Path()},
      [&](pid_t pid) {
        if (afterCreation < 0 && ::access(settings.c_str(), F_OK) == 0) afterCreation = 0;
        if (afterCreation >= 0 && ++afterCreation == 200) ::kill(pid, SIGTERM);
        if (++ticks == 6000 && afterCreation < 0) ::kill(pid, SIGKILL);  // never got there
      });
  EXPECT_GE(afterCreation, 0) << "the settings file was never created: " << run.Err;
  EXPECT_EQ(run.Signal, SIGTERM) << "exit " << run.Code << ", " << run.Err;
}

}  // namespace
