// ratelog-cli export and archive.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "common/TestFiles.h"

namespace {

struct Result {
  int code;
  std::string out, err;
};

Result Cli(std::vector<std::string> args) {
  std::ostringstream out, err;
  const int code = RunCli(args, out, err);
  return {code, out.str(), err.str()};
}

std::string Text(const std::string& path) {
  const Bytes b = ReadBytes(path);
  return {b.begin(), b.end()};
}

std::size_t LineCount(const std::string& path) {
  const std::string t = Text(path);
  return static_cast<std::size_t>(std::count(t.begin(), t.end(), '\n'));
}

class CliFiles : public ::testing::Test {
 protected:
  // 10 Hz records from 0.1 s, created 05.12.2026 10:30.
  void Write(int records, bool header = true, const char* ident = "VRDT40-000.000-00000") {
    Bytes b = header ? RecordingHeader(10.0f, ident) : HeaderlessRecording(10.0f);
    for (int i = 1; i <= records; ++i) AddRecord(b, static_cast<float>(i) * 0.1f, -0.0123f, 25.5f);
    WriteBytes(rtd_, b);
  }
  TTempDir tmp_;
  std::string rtd_ = tmp_.File("run1.rtd");
};

TEST_F(CliFiles, ExportDefaultsToAllRecordsBesideTheRecording) {
  Write(4000);
  const Result r = Cli({"export", rtd_});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, tmp_.File("run1.txt") + "\n");
  EXPECT_EQ(LineCount(tmp_.File("run1.txt")), 7u + 4000u);
  const std::string text = Text(tmp_.File("run1.txt"));
  EXPECT_NE(text.find("Time, sec | \n"), std::string::npos);
  EXPECT_NE(text.find("\n400.0000       ;\n"), std::string::npos);
}

TEST_F(CliFiles, ExportWithColumnsSwappedWindowAndSplit) {
  Write(80000);
  const Result r = Cli({"export", rtd_, "--begin", "7000", "--end", "100", "--rate", "--temperature",
                        "--excel", "--out", tmp_.File("data.TXT")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, tmp_.File("data.txt") + "\n" + tmp_.File("data_1.txt") + "\n" +
                       tmp_.File("data_2.txt") + "\n");
  EXPECT_EQ(LineCount(tmp_.File("data.txt")), 7u + 32000u);
  EXPECT_EQ(LineCount(tmp_.File("data_2.txt")), 7u + 69001u - 64000u);
  const std::string text = Text(tmp_.File("data.txt"));
  EXPECT_NE(text.find("\n100.0000       ;-0.0123000          ;25.500000           ;\n"), std::string::npos);
}

TEST_F(CliFiles, ExportFailuresExitWithTheMessage) {
  Write(10);
  Result r = Cli({"export", rtd_, "--out", tmp_.File("missing/out.txt")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "ratelog-cli: cannot write export file " + tmp_.File("missing/out.txt") +
                       ": No such file or directory\n");
  r = Cli({"export", tmp_.File("none.rtd")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot read recording"), std::string::npos);
}

TEST_F(CliFiles, ArchiveCopiesIntoTheServerTree) {
  Write(100);
  const std::string server = tmp_.File("arch");
  for (const char* folder : {"arch", "arch/VRDT40-000.000", "arch/VRDT40-000.000/00000"})
    ::mkdir(tmp_.File(folder).c_str(), 0777);
  Result r = Cli({"archive", rtd_, "--server", server});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string target = server + "/VRDT40-000.000/00000/create_05122026_1030__file_run1.rtd";
  EXPECT_EQ(r.out, target + "\n");
  EXPECT_EQ(ReadBytes(target), ReadBytes(rtd_));

  r = Cli({"archive", rtd_, "--server", server, "--name", "../../x"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, server + "/VRDT40-000.000/00000/create_05122026_1030__file_.._.._x.rtd\n");

  r = Cli({"archive", rtd_, "--server", ""});
  EXPECT_EQ(r.code, 1);
  r = Cli({"archive", rtd_, "--server", tmp_.File("nowhere")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "ratelog-cli: not saved: " + tmp_.File("nowhere") + ": No such file or directory\n");
  Write(100, false);
  r = Cli({"archive", rtd_, "--server", server});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("without header"), std::string::npos);
}

}  // namespace
