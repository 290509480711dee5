// --json on info, calc, allan and ports: one strict JSON object whose names
// are the text captions in lower snake case and whose numbers are those of
// the text (null for NAN); ports against pseudo-terminals, a missing path, a
// port held by the link, and a file this user may not open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "acquisition/Xcomdrv.h"
#include "cli/CliRun.h"
#include "common/MiniJson.h"
#include "common/TestFiles.h"

namespace {

std::vector<std::vector<std::string>> TextRows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    std::string cell;
    while (std::getline(fields, cell, '\t')) cells.push_back(cell);
    rows.push_back(cells);
  }
  return rows;
}

// Row i of the text is member names[i] of the object, with the same value.
void ExpectSameAsText(const std::string& text, const JsonValue& json,
                      const std::vector<std::string>& names) {
  const auto rows = TextRows(text);
  ASSERT_EQ(rows.size(), names.size()) << text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    ASSERT_TRUE(json.Has(names[i]));
    const JsonValue& v = json[names[i]];
    const std::string& shown = rows[i].at(1);
    if (shown == "NAN") {
      EXPECT_EQ(v.kind, JsonValue::Null);
    } else if (v.kind == JsonValue::Number) {
      EXPECT_EQ(v.number, std::strtod(shown.c_str(), nullptr)) << shown;
    } else {
      ASSERT_EQ(v.kind, JsonValue::String);
      EXPECT_EQ(v.text, shown);
    }
  }
}

class CliJson : public ::testing::Test {
 protected:
  void SetUp() override {
    // 1 record a second for 200 s: a random walk, no drift error (NAN: that
    // needs more than 3 x 100 s).
    Bytes full = RecordingHeader(1.0f, "VRDT40-123.456-00042"), old = HeaderlessRecording(1.0f);
    for (int i = 0; i < 200; ++i)
      for (Bytes* b : {&full, &old})
        AddRecord(*b, static_cast<float>(i + 1), static_cast<float>((100 + i % 7) / 3600.0),
                  25.0f);
    WriteBytes(rtd_, full);
    WriteBytes(old_, old);
    WriteBytes(settings_, {});
  }
  TTempDir tmp_;
  std::string rtd_ = tmp_.File("run.rtd"), old_ = tmp_.File("old.rtd"),
              settings_ = tmp_.File("Ratelog.ini");
};

TEST_F(CliJson, ReportsMatchTheirTextForm) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {{"info", rtd_},
       {"idn", "sample", "time_create", "user_name", "comp_name", "records", "first_time",
        "last_time"}},
      {{"info", old_}, {"format", "sample", "records", "first_time", "last_time"}},
      {{"calc", rtd_, "--settings", settings_},
       {"average_value_signal", "drift_error", "random_walk", "bias_error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const CliResult text = Cli(c.args);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const CliResult json = Cli(args);
    ASSERT_EQ(text.code, 0) << text.err;
    ASSERT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(json.out.back(), '\n');
    const JsonValue v = ParseJson(json.out);
    ASSERT_EQ(v.kind, JsonValue::Object);
    ExpectSameAsText(text.out, v, c.names);
    if (c.args[0] == "calc") {
      EXPECT_EQ(v["drift_error"].kind, JsonValue::Null);
      EXPECT_EQ(v["random_walk"].kind, JsonValue::Number);
      EXPECT_EQ(v["units"]["random_walk"].text, "\u00B0/Vh");
      EXPECT_EQ(v.members.size(), 5u);
    } else {
      EXPECT_EQ(v.members.size(), c.names.size());
      EXPECT_EQ(v["records"].number, 200);
    }
  }
}

TEST_F(CliJson, TextsFromTheFileAreEscapedNotCut) {
  const std::string ident = "VRDT\"q\x01\\\t";
  WriteBytes(rtd_, RecordingHeader(1.0f, ident.c_str()));
  const CliResult r = Cli({"info", rtd_, "--json"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ParseJson(r.out)["idn"].text, ident);
  EXPECT_EQ(Cli({"info", rtd_}).out.rfind("IDN\tVRDT\"q\\x01\\x5c\\x09\nSample\t1\n", 0), 0u);
  // A name in another code page: each stray byte becomes U+FFFD, UTF-8
  // passes as it is.
  WriteBytes(rtd_, RecordingHeader(1.0f, "VRDT", 46361.4375, "\xcf\xca-\xff", "\xd0\xaf\xe2\x82"));
  const JsonValue v = ParseJson(Cli({"info", rtd_, "--json"}).out);
  EXPECT_EQ(v["comp_name"].text, "\ufffd\ufffd-\ufffd");
  EXPECT_EQ(v["user_name"].text, "\u042f\ufffd\ufffd");
}

TEST_F(CliJson, AllanPointsAndReadOuts) {
  const CliResult text = Cli({"allan", rtd_, "--settings", settings_});
  const CliResult json = Cli({"allan", rtd_, "--settings", settings_, "--json"});
  ASSERT_EQ(json.code, 0) << json.err;
  const JsonValue v = ParseJson(json.out);
  const auto rows = TextRows(text.out);
  const JsonValue& points = v["points"];
  ASSERT_EQ(points.kind, JsonValue::Array);
  ASSERT_EQ(points.items.size() + 3, rows.size());
  for (std::size_t i = 0; i < points.items.size(); ++i) {
    const JsonValue& p = points.items[i];
    EXPECT_EQ(p["tau_s"].number, std::ldexp(1.0, static_cast<int>(i)));  // 1, 2, 4, ... s
    // The text has ten significant digits.
    EXPECT_NEAR(p["adev_deg_h"].number, std::strtod(rows[i][1].c_str(), nullptr),
                1e-8 * p["adev_deg_h"].number);
    EXPECT_EQ(p["terms"].number, std::strtod(rows[i][2].c_str(), nullptr));
  }
  const std::size_t n = points.items.size();
  for (auto [name, row] : {std::pair{"n", n}, {"b", n + 1}, {"k", n + 2}}) {
    SCOPED_TRACE(name);
    if (rows[row][1] == "NAN") EXPECT_EQ(v[name].kind, JsonValue::Null);
    else EXPECT_NEAR(v[name].number, std::strtod(rows[row][1].c_str(), nullptr),
                     1e-8 * std::fabs(v[name].number));
  }
  EXPECT_EQ(v["units"]["b"].text, "\u00B0/h");
  // Usage and failures as without --json.
  EXPECT_EQ(Cli({"export", rtd_, "--json"}).code, ExitUsage);
  EXPECT_EQ(Cli({"allan", tmp_.File("none.rtd"), "--json"}).code, ExitFailure);
}

// ---------------------------------------------------------------------------
// ports

class CliPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    pty_ = ::ptsname(master_);
    ::setenv("RATELOG_COM1", pty_.c_str(), 1);
    ::setenv("RATELOG_COM2", tmp_.File("gone").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("RATELOG_COM1");
    ::unsetenv("RATELOG_COM2");
    ::close(master_);
  }
  JsonValue Ports() {
    const CliResult r = Cli({"ports", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    const JsonValue v = ParseJson(r.out);
    EXPECT_EQ(v.members.size(), 1u);
    EXPECT_EQ(v["ports"].items.size(), 9u);
    return v;
  }
  TTempDir tmp_;
  int master_ = -1;
  std::string pty_;
};

TEST_F(CliPorts, FreeMissingAndHeldPorts) {
  JsonValue v = Ports();
  const JsonValue& com1 = v["ports"].items[0];
  EXPECT_EQ(com1["port"].text, "COM1");
  EXPECT_EQ(com1["device"].text, pty_);
  EXPECT_EQ(com1["resolved_by"].text, "RATELOG_COM1");
  EXPECT_TRUE(com1["exists"].boolean);
  EXPECT_TRUE(com1["access"].boolean);
  EXPECT_FALSE(com1["in_use"].boolean);
  EXPECT_EQ(com1["holder_pid"].kind, JsonValue::Null);
  EXPECT_EQ(com1["usb"].kind, JsonValue::Bool);
  EXPECT_EQ(com1["summary"].text, pty_ + " (RATELOG_COM1): ready");
  EXPECT_TRUE(com1["hints"].items.empty());

  const JsonValue& com2 = v["ports"].items[1];
  EXPECT_FALSE(com2["exists"].boolean);
  EXPECT_EQ(com2["access"].kind, JsonValue::Null);
  EXPECT_EQ(com2["summary"].text, tmp_.File("gone") + " (RATELOG_COM2): missing");
  ASSERT_EQ(com2["hints"].items.size(), 1u);
  EXPECT_EQ(com2["hints"].items[0].text,
            "Is the adapter plugged in? RATELOG_COM2 can name the device file.");

  // The link holds COM1: its lock names this process.
  TXComm link;
  link.SetDeviceName("COM1");
  ASSERT_TRUE(link.OpenDevice());
  v = Ports();
  const JsonValue& held = v["ports"].items[0];
  EXPECT_TRUE(held["in_use"].boolean);
  EXPECT_EQ(held["holder_pid"].number, ::getpid());
  const std::string comm = held["holder_program"].text;
  EXPECT_FALSE(comm.empty());
  EXPECT_EQ(held["summary"].text, pty_ + " (RATELOG_COM1): in use by " + comm + " (pid " +
                                      std::to_string(::getpid()) + ")");
  const std::string text = Cli({"ports"}).out;
  EXPECT_EQ(text.substr(0, text.find('\n')), "COM1\t" + held["summary"].text);
  EXPECT_NE(text.find("  Hint\tThe port is in use by " + comm + " (pid "), std::string::npos);
  link.CloseDevice();
  EXPECT_FALSE(Ports()["ports"].items[0]["in_use"].boolean);
}

// A device file only root may open, looked at by an ordinary user (the
// program itself, run through setpriv as nobody).
TEST_F(CliPorts, NoPermissionForAnOrdinaryUser) {
  const std::string program = RATELOG_BINARY_DIR "/bin/ratelog-cli";
  if (::getuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
  const std::string as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (std::system((as + program + " --version >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "nobody cannot run " << program;
  ASSERT_EQ(::chmod(tmp_.Path().c_str(), 0755), 0);
  const std::string device = tmp_.File("ttyUSB7");
  WriteBytes(device, {});
  ASSERT_EQ(::chmod(device.c_str(), 0600), 0);

  const std::string command = "RATELOG_COM1=" + device + " " + as + program + " ports --json";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ASSERT_EQ(WEXITSTATUS(::pclose(pipe)), 0) << out;
  const JsonValue com1 = ParseJson(out)["ports"].items[0];
  EXPECT_TRUE(com1["exists"].boolean);
  EXPECT_FALSE(com1["access"].boolean);
  EXPECT_EQ(com1["group"].text, "root");
  EXPECT_EQ(com1["summary"].text, device + " (RATELOG_COM1): no permission (group root)");
  ASSERT_EQ(com1["hints"].items.size(), 1u);
  EXPECT_EQ(com1["hints"].items[0].text,
            "No permission for " + device +
                " (group root). A udev rule (GROUP=\"dialout\") gives it to the dialout group; "
                "add yourself to that group, then log in again.");
}

}  // namespace
