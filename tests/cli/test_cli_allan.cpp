// ratelog-cli allan: the table and read-outs, the span options, the exit
// codes.
#include <gtest/gtest.h>

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

class CliAllan : public ::testing::Test {
 protected:
  // The NBS-14 values (deg/h) at t = 1..9 s; a headerless copy too.
  void SetUp() override {
    const double values[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};
    Bytes full = RecordingHeader(1.0f), old = HeaderlessRecording(1.0f);
    for (int i = 0; i < 9; ++i)
      for (Bytes* b : {&full, &old})
        AddRecord(*b, static_cast<float>(i + 1), static_cast<float>(values[i] / 3600.0), 25.0f);
    WriteBytes(rtd_, full);
    WriteBytes(old_, old);
    WriteBytes(settings_, {});  // an empty settings file reads as the defaults
  }
  TTempDir tmp_;
  std::string rtd_ = tmp_.File("nbs.rtd"), old_ = tmp_.File("old.rtd"),
              settings_ = tmp_.File("Ratelog.ini");
};

TEST_F(CliAllan, TableOfFactorsThenReadOuts) {
  for (const std::string& file : {rtd_, old_}) {
    const Result r = Cli({"allan", file, "--settings", settings_});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(lines, line)) rows.push_back(line);
    ASSERT_EQ(rows.size(), 6u) << r.out;
    // NIST SP 1065: 91.22945 and 85.95287 at m = 1 and 2 (the rates pass
    // through single precision in the file: seven digits hold).
    EXPECT_EQ(rows[0].substr(0, 10), "1\t91.22944");
    EXPECT_EQ(rows[0].substr(rows[0].size() - 2), "\t8");
    EXPECT_EQ(rows[1].substr(0, 10), "2\t85.95286");
    EXPECT_EQ(rows[1].substr(rows[1].size() - 2), "\t6");
    EXPECT_EQ(rows[2].substr(0, 4), "4\t27");
    EXPECT_EQ(rows[3].substr(0, 2), "N\t");
    EXPECT_EQ(rows[4].substr(0, 9), "B\t41.6192");  // 27.63518 / 0.664
    EXPECT_EQ(rows[4].substr(rows[4].size() - 7), "\t\u00B0/h\t4");
    EXPECT_EQ(rows[5].substr(0, 2), "K\t");
  }
}

TEST_F(CliAllan, SpanOptionsAndFailures) {
  // Five records (t = 3..7): factors 1 and 2.
  Result r = Cli({"allan", rtd_, "--begin", "3", "--end", "7", "--settings", settings_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 2), "1\t");
  EXPECT_NE(r.out.find("\n2\t"), std::string::npos);
  EXPECT_EQ(r.out.find("\n4\t"), std::string::npos);

  // Two records: no factor, the read-outs NAN, exit 1.
  r = Cli({"allan", rtd_, "--begin", "8", "--settings", settings_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_EQ(r.out, "N\tNAN\t\u00B0/Vh\nB\tNAN\t\u00B0/h\tNAN\nK\tNAN\t\u00B0/h/Vh\n");
  EXPECT_NE(r.err.find("fewer than 3 records"), std::string::npos);

  r = Cli({"allan", tmp_.File("missing.rtd"), "--settings", settings_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.err.find("missing.rtd"), std::string::npos);
  EXPECT_EQ(Cli({"allan", rtd_, "--begin", "x", "--settings", settings_}).code, ExitUsage);
  EXPECT_EQ(Cli({"allan", rtd_, "--sigma", "3", "--settings", settings_}).code, ExitUsage);
  EXPECT_EQ(Cli({"allan", "--settings", settings_}).code, ExitUsage);
}

}  // namespace
