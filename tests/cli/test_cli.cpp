#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CliRun.h"
#include "cli/CliCommands.h"
#include "common/TestFiles.h"
#include "settings/Optionsprogramm.h"

namespace {

using Result = CliResult;

class CliTool : public ::testing::Test {
 protected:

  // 10 Hz records from 0.1 s to seconds, rate given per record.
  void WriteRecording(int seconds, float (*rate)(float), bool header = true) {
    Bytes b = header ? RecordingHeader(10.0f) : HeaderlessRecording(99.9f);  // 05.12.2026 10:30
    for (int i = 1; i <= seconds * 10; ++i) {
      const float t = static_cast<float>(i) * 0.1f;
      AddRecord(b, t, rate(t), 25.0f);
    }
    WriteBytes(rtd_, b);
  }
  TTempDir tmp_;
  std::string dir_ = tmp_.Path(), rtd_ = tmp_.File("run.rtd");
};

TEST_F(CliTool, InfoShowsTheHeaderRowsAndTheRecords) {
  WriteRecording(400, [](float) { return 0.001f; });
  const Result r = Cli({"info", rtd_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "IDN\tVRDT40-123.456-00042\n"
            "Sample\t10\n"
            "Time create\t05.12.2026 10:30\n"
            "UserName\tanna\n"
            "CompName\tbenchpc\n"
            "Records\t4000\n"
            "First time\t0.100000\n"
            "Last time\t400.000000\n");
}

TEST_F(CliTool, InfoOnAHeaderlessFileSaysSo) {
  WriteRecording(1, [](float) { return 0.0f; }, false);
  const Result r = Cli({"info", rtd_});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("headerless"), std::string::npos);
  EXPECT_NE(r.out.find("Sample\t99\n"), std::string::npos);
  EXPECT_NE(r.out.find("Records\t10\n"), std::string::npos);
}

TEST_F(CliTool, CalcOfAConstantRate) {
  WriteRecording(400, [](float) { return 0.001f; });  // 3.6 deg/h
  const std::string settings = dir_ + "/Ratelog.ini";
  TOptionProgramm s;
  s.FileName = settings;
  ASSERT_TRUE(s.Save());
  const Result r = Cli({"calc", rtd_, "--settings", settings});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "Average value signal\t3.60000\t\u00B0/h\n"
            "Drift error\t0.00000\t\u00B0/h\n"
            "Random walk\t0.00000\t\u00B0/Vh\n"
            "Bias error\t-8.18000\t\u00B0/h\n");
}

TEST_F(CliTool, CalcSpanSigmaAndParametersFromOptions) {
  // +-0.01 deg/s alternating every 10 s: segment means of 100 s are 0, of 10 s
  // are +-36 deg/h.
  WriteRecording(400, [](float t) { return static_cast<int>(t / 10) % 2 ? -0.01f : 0.01f; });
  Result r = Cli({"calc", rtd_, "--begin", "0", "--end", "250", "--earth-rate", "0"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Drift error\tNAN\t"), std::string::npos) << r.out;  // 250 <= 3 x 100
  EXPECT_NE(r.out.find("Random walk\t0.00000"), std::string::npos) << r.out;

  r = Cli({"calc", rtd_, "--begin", "0", "--drift-time", "10", "--sigma", "3"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Drift error\t108.00000\t"), std::string::npos) << r.out;  // 3 x 36
}

// Header texts come from a device and from other machines: line breaks,
// tabs and escape sequences are shown escaped, never passed to the terminal.
TEST_F(CliTool, InfoEscapesControlCharacters) {
  Bytes b = RecordingHeader(10.0f, "VRDT\x1b[2J\tX", 46361.4375, "pc\nIDN\tforged", "an\xc2\x9b" "b\\");
  WriteBytes(rtd_, b);
  const Result r = Cli({"info", rtd_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("IDN\tVRDT\\x1b[2J\\x09X\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CompName\tpc\\x0aIDN\\x09forged\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("UserName\tan\\xc2\\x9bb\\x5c\n"), std::string::npos) << r.out;
  for (char c : r.out) EXPECT_TRUE(c == '\n' || c == '\t' || static_cast<unsigned char>(c) >= 0x20);
}

// A span without a single record has no average: every row is "NAN", the
// tool says why and fails. An inverted span is swapped first.
TEST_F(CliTool, CalcOfASpanWithoutRecords) {
  WriteRecording(400, [](float) { return 0.001f; });
  struct Case {
    std::vector<std::string> span;
    int code;
  } cases[] = {
      {{"--begin", "500", "--end", "600"}, ExitFailure},
      {{"--begin", "500", "--end", "450"}, ExitFailure},
      {{"--begin", "300", "--end", "100"}, ExitOk},  // swapped: 100 .. 300 s
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"calc", rtd_};
    args.insert(args.end(), c.span.begin(), c.span.end());
    const Result r = Cli(args);
    EXPECT_EQ(r.code, c.code) << c.span[1];
    if (c.code == ExitOk) {
      EXPECT_NE(r.out.find("Average value signal\t3.60000\t"), std::string::npos) << r.out;
      continue;
    }
    EXPECT_EQ(r.out,
              "Average value signal\tNAN\t\u00B0/h\n"
              "Drift error\tNAN\t\u00B0/h\n"
              "Random walk\tNAN\t\u00B0/Vh\n"
              "Bias error\tNAN\t\u00B0/h\n");
    EXPECT_NE(r.err.find("no record"), std::string::npos) << r.err;
  }
  WriteBytes(rtd_, RecordingHeader(10.0f));  // an empty recording
  const Result r = Cli({"calc", rtd_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.out.find("Average value signal\tNAN"), std::string::npos);
}

TEST_F(CliTool, ErrorsAreClearAndNonZero) {
  Result r = Cli({"info", dir_ + "/missing.rtd"});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.err.find("missing.rtd"), std::string::npos);
  EXPECT_NE(r.err.find("No such file"), std::string::npos);

  WriteRecording(1, [](float) { return 0.0f; });
  r = Cli({"calc", rtd_, "--begin", "abc"});
  EXPECT_EQ(r.code, ExitUsage);
  EXPECT_NE(r.err.find("--begin: not a number: 'abc'"), std::string::npos) << r.err;
  r = Cli({"calc", rtd_, "--sigma", "2"});
  EXPECT_EQ(r.code, ExitUsage);
  r = Cli({"calc", rtd_, "--frobnicate", "1"});
  EXPECT_EQ(r.code, ExitUsage);
  EXPECT_NE(r.err.find("unknown option --frobnicate"), std::string::npos);
  r = Cli({"calc"});
  EXPECT_EQ(r.code, ExitUsage);
  r = Cli({"explode"});
  EXPECT_EQ(r.code, ExitUsage);
  r = Cli({"calc", rtd_, "--settings", dir_ + "/none.ini"});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.err.find("settings file not found"), std::string::npos);

  std::ofstream(dir_ + "/foreign.ini") << "not settings at all";
  r = Cli({"calc", rtd_, "--settings", dir_ + "/foreign.ini"});
  EXPECT_EQ(r.code, ExitFailure);
  std::ifstream in(dir_ + "/foreign.ini");
  std::string kept((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(kept, "not settings at all") << "the tool never rewrites a settings file";

  const std::string fifo = dir_ + "/pipe.rtd";  // would block a reader forever
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const char* command : {"info", "calc"}) {
    r = Cli({command, fifo});
    EXPECT_EQ(r.code, ExitFailure);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  }
  r = Cli({"record", "--out", ""});
  EXPECT_EQ(r.code, ExitUsage);
  EXPECT_NE(r.err.find("--out"), std::string::npos);

  r = Cli({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("calc FILE.rtd"), std::string::npos);
  r = Cli({"calc", "--help"});
  EXPECT_EQ(r.code, 0);
}

}  // namespace
