// ratelog-cli export and archive: options, output and exit codes (the
// writing itself is tested with the core).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "CliRun.h"
#include "cli/CliCommands.h"
#include "common/TestFiles.h"

namespace {

using Result = CliResult;

class CliFiles : public ::testing::Test {
 protected:
  // 10 Hz records from 0.1 s, created 05.12.2026 10:30.
  void Write(int records, bool header = true) {
    Bytes b = header ? RecordingHeader(10.0f, "VRDT40-000.000-00000") : HeaderlessRecording(10.0f);
    for (int i = 1; i <= records; ++i) AddRecord(b, static_cast<float>(i) * 0.1f, -0.0123f, 25.5f);
    WriteBytes(rtd_, b);
  }
  std::string Text(const std::string& name) {
    const Bytes b = ReadBytes(tmp_.File(name));
    return {b.begin(), b.end()};
  }
  TTempDir tmp_;
  std::string rtd_ = tmp_.File("run1.rtd");
};

TEST_F(CliFiles, Export) {
  Write(80000);
  // Defaults: every record, the time column, run1.txt beside the recording.
  Result r = Cli({"export", rtd_});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, tmp_.File("run1.txt") + "\n");
  EXPECT_NE(Text("run1.txt").find("\n0.1000         ;\n"), std::string::npos);
  EXPECT_NE(Text("run1.txt").find("\n8000.0000      ;\n"), std::string::npos);

  r = Cli({"export", rtd_, "--begin", "7000", "--end", "100", "--rate", "--temperature", "--excel",
           "--out", tmp_.File("data.TXT")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, tmp_.File("data.txt") + "\n" + tmp_.File("data_1.txt") + "\n" +
                       tmp_.File("data_2.txt") + "\n");
  // The swapped window starts right below the header.
  EXPECT_NE(Text("data.txt").find("-\n100.0000       ;-0.0123000          ;25.500000           ;\n"),
            std::string::npos);
  EXPECT_NE(Text("data_2.txt").find("\n7000.0000      ;"), std::string::npos);

  r = Cli({"export", rtd_, "--out", tmp_.File("missing/out.txt")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "ratelog-cli: cannot write export file " + tmp_.File("missing/out.txt") +
                       ": No such file or directory\n");
}

TEST_F(CliFiles, Archive) {
  Write(100);
  const std::string server = tmp_.File("arch");
  for (const char* folder : {"arch", "arch/VRDT40-000.000", "arch/VRDT40-000.000/00000"})
    ::mkdir(tmp_.File(folder).c_str(), 0777);
  Result r = Cli({"archive", rtd_, "--server", server});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string target = server + "/VRDT40-000.000/00000/create_05122026_1030__file_run1.rtd";
  EXPECT_EQ(r.out, target + "\n");
  EXPECT_EQ(ReadBytes(target), ReadBytes(rtd_));

  r = Cli({"archive", rtd_, "--server", tmp_.File("nowhere"), "--name", "x"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "ratelog-cli: not saved: " + tmp_.File("nowhere") + ": No such file or directory\n");
  EXPECT_EQ(Cli({"archive", rtd_, "--server", ""}).code, 1);
  Write(100, false);
  r = Cli({"archive", rtd_, "--server", server});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("without header"), std::string::npos);
}

}  // namespace
