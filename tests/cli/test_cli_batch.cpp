// Batch recording: several virtual gyroscopes on pseudo-terminals at once,
// through the real measurement sequence of each port.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/RecordBatch.h"
#include "common/TestFiles.h"
#include "files/RecordingReader.h"
#include "settings/Optionsprogramm.h"
#include "sim/VirtualGyro.h"

namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<SamplePoint> Records(const std::string& path, std::string* ident = nullptr) {
  TRecordingReader reader;
  EXPECT_TRUE(reader.Open(path)) << reader.Error();
  if (ident) *ident = reader.Info().Ident;
  std::vector<SamplePoint> out;
  for (SamplePoint p; reader.Next(p);) out.push_back(p);
  return out;
}

// A virtual gyroscope standing in for COMn, with the samples it sent.
struct Device {
  Device(int n, const TOptionProgramm& s, void (*adjust)(TDeviceConfig&)) : port(n) {
    TDeviceConfig config = TDeviceModel::ConfigFor(s);
    config.SetIdent("VRDT40-123.456-0000" + std::to_string(n));
    config.Seed = static_cast<std::uint64_t>(n);
    if (adjust) adjust(config);
    gyro = std::make_unique<TVirtualGyro>(config);
    gyro->OnSample = [this](const TDeviceSample& x) {
      std::lock_guard<std::mutex> lock(mutex);
      sent.push_back(x);
    };
    std::string error;
    EXPECT_TRUE(gyro->Start(error)) << error;
    ::setenv(("RATELOG_COM" + std::to_string(n)).c_str(), gyro->DevicePath().c_str(), 1);
  }
  ~Device() {
    gyro->Stop();
    ::unsetenv(("RATELOG_COM" + std::to_string(port)).c_str());
  }
  // The recording holds every sample the device sent, in order, but the
  // first (which creates the file) and at most `inFlight` at the end, still
  // on the wire when the run ended.
  void ExpectRecorded(const std::vector<SamplePoint>& recs, std::size_t inFlight) {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(sent.size(), recs.size() + 1);
    for (std::size_t i = 0; i < recs.size(); ++i) {
      ASSERT_EQ(recs[i].Time, sent[i + 1].Time) << "record " << i;
      ASSERT_EQ(recs[i].Rate, sent[i + 1].Rate) << "record " << i;
      ASSERT_EQ(recs[i].Temperature, sent[i + 1].Temperature) << "record " << i;
    }
    EXPECT_LE(sent.size() - 1 - recs.size(), inFlight);
  }

  int port;
  std::unique_ptr<TVirtualGyro> gyro;
  std::mutex mutex;
  std::vector<TDeviceSample> sent;
};

class BatchRun : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.Sample = 50;
    settings_.SampleIndex = 6;
    settings_.FileName = tmp_.File("Ratelog.ini");
    ASSERT_TRUE(settings_.Save());
    ASSERT_EQ(::mkdir(tmp_.File("out").c_str(), 0755), 0);
  }
  int Run(std::vector<std::string> extra) {
    std::vector<std::string> args = {"record", "--settings", settings_.FileName, "--out-dir", tmp_.Path() + "/out"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out, err;
    const int code = RunCli(args, out, err);
    out_ = out.str();
    err_ = err.str();
    return code;
  }
  TTempDir tmp_;
  TOptionProgramm settings_;
  std::string out_, err_;
};

// Three units on COM1..COM3: one records its whole run, one hangs up during
// it, one never answers. The two that identified themselves leave complete
// recordings named after them; the silent one is named in the verdict.
TEST_F(BatchRun, ThreeUnitsOneLostOneSilent) {
  Device whole(1, settings_, nullptr);
  Device lost(2, settings_, nullptr);
  Device silent(3, settings_, [](TDeviceConfig& c) { c.Silent = true; });
  // The second unit is pulled once it has sent 40 samples.
  std::atomic<bool> ended{false};
  std::thread pull([&] {
    for (;; ::usleep(1000)) {
      if (ended) return;
      std::lock_guard<std::mutex> lock(lost.mutex);
      if (lost.sent.size() >= 40) break;
    }
    lost.gyro->Stop();
  });
  const int code = Run({"--port", "COM1-COM3", "--seconds", "3", "--ident-timeout", "2"});
  ended = true;
  pull.join();
  ASSERT_EQ(code, ExitFailure) << err_;
  EXPECT_NE(err_.find("COM2: the device went away"), std::string::npos) << err_;
  EXPECT_NE(err_.find("COM3: no identification reply within 2 s; left out"), std::string::npos) << err_;
  EXPECT_NE(err_.find("not recorded: COM2 (the device went away), COM3 (no identification)"), std::string::npos)
      << err_;
  EXPECT_NE(out_.find(" COM1="), std::string::npos) << out_;
  EXPECT_NE(out_.find(" (lost) COM3=silent  lost: 1\n"), std::string::npos) << out_;

  const std::vector<std::string> files = FilesIn(tmp_.Path() + "/out");
  ASSERT_EQ(files.size(), 2u) << out_;
  const std::regex name("VRDT40-123\\.456-0000([12])_(20[0-9]{6}_[0-9]{6})\\.rtd");
  std::smatch m1, m2;
  ASSERT_TRUE(std::regex_match(files[0], m1, name)) << files[0];
  ASSERT_TRUE(std::regex_match(files[1], m2, name)) << files[1];
  EXPECT_EQ(m1[1], "1");
  EXPECT_EQ(m2[1], "2");
  EXPECT_EQ(m1[2], m2[2]) << "one start time for the batch";
  for (Device* d : {&whole, &lost}) {
    SCOPED_TRACE(d->port);
    std::string ident;
    const auto recs = Records(tmp_.File("out/" + files[static_cast<std::size_t>(d->port - 1)]), &ident);
    EXPECT_EQ(ident, "VRDT40-123.456-0000" + std::to_string(d->port));
    EXPECT_GT(recs.size(), d == &whole ? 100u : 36u);
    d->ExpectRecorded(recs, 2);
  }
  EXPECT_TRUE(silent.sent.empty());
}

// No unit identified: one port has no device behind it, one is silent.
TEST_F(BatchRun, NoUnitIdentified) {
  Device silent(1, settings_, [](TDeviceConfig& c) { c.Silent = true; });
  ::setenv("RATELOG_COM2", tmp_.File("no-such-port").c_str(), 1);
  EXPECT_EQ(Run({"--port", "COM1", "--port", "COM2", "--ident-timeout", "0.3"}), 4);
  ::unsetenv("RATELOG_COM2");
  EXPECT_NE(err_.find("COM2: Cannot open device COM2 (no such device"), std::string::npos) << err_;
  EXPECT_NE(err_.find("no device identified itself: COM1 (no identification), COM2 (did not open)"),
            std::string::npos)
      << err_;
  EXPECT_TRUE(FilesIn(tmp_.Path() + "/out").empty());
}

// SIGTERM stops every run as Stop does: each recording is complete and the
// tool exits normally.
TEST_F(BatchRun, SigtermStopsEveryRun) {
  const std::string log = tmp_.File("out.txt"), dir = tmp_.File("out");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string tool = std::string(RATELOG_BINARY_DIR) + "/bin/ratelog-cli";
    if (!std::freopen(log.c_str(), "w", stdout)) ::_exit(127);
    ::execl(tool.c_str(), tool.c_str(), "record", "--settings", settings_.FileName.c_str(), "--simulate", "2",
            "--out-dir", dir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  auto printed = [&] {
    const Bytes text = ReadBytes(log);
    return std::string(text.begin(), text.end());
  };
  // Once both units have recorded for a moment, stop them.
  auto statusLines = [&] {
    const std::string text = printed();
    std::size_t n = 0;
    for (auto at = text.find("\nt="); at != std::string::npos; at = text.find("\nt=", at + 1)) ++n;
    return n;
  };
  for (int i = 0; i < 60000 && statusLines() < 2; ++i) ::usleep(1000);
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << printed();
  EXPECT_NE(printed().find("stopped by SIGTERM"), std::string::npos) << printed();
  const std::vector<std::string> files = FilesIn(dir);
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& f : files) {
    EXPECT_NE(printed().find("recording: " + dir + "/" + f), std::string::npos) << printed();
    // Every sample counted was written: the block still open at the stop too.
    const auto recs = Records(dir + "/" + f);
    EXPECT_GT(recs.size(), 40u);
    EXPECT_NE(printed().find(std::to_string(recs.size() + 1) + " samples, recording: " + dir + "/" + f),
              std::string::npos)
        << printed();
  }
}

// Names: identification and start time; an existing file is never touched
// and the next free suffix is taken; unsafe identifications stay inside the
// folder.
TEST(BatchNames, ReservedExclusivelyWithSuffix) {
  TTempDir tmp;
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  const std::time_t start = 1796588107;  // 6 December 2026 20:15:07 UTC
  const std::string first = tmp.File("VRDT40-123.456-00042_20261206_201507.rtd");
  WriteBytes(first, {'k', 'e', 'e', 'p'});
  const struct {
    const char* ident;
    std::string expected;
  } cases[] = {
      {"VRDT40-123.456-00042", tmp.File("VRDT40-123.456-00042_20261206_201507_2.rtd")},
      {"VRDT40-123.456-00042", tmp.File("VRDT40-123.456-00042_20261206_201507_3.rtd")},
      {"../x/\x01y", tmp.File(".._x__y_20261206_201507.rtd")},
      {"", tmp.File("__20261206_201507.rtd")},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(cli::ReserveRecordingFile(tmp.Path(), c.ident, start, error), c.expected) << error;
    EXPECT_EQ(ReadBytes(c.expected).size(), 0u);
  }
  EXPECT_EQ(ReadBytes(first), (Bytes{'k', 'e', 'e', 'p'}));
  std::string error;
  EXPECT_EQ(cli::ReserveRecordingFile(tmp.File("missing"), "A", start, error), "");
  EXPECT_EQ(error, tmp.File("missing/A_20261206_201507.rtd") + ": No such file or directory");
  ::unsetenv("TZ");
  ::tzset();
}

// Port lists and the options a batch refuses.
TEST(BatchNames, PortListsAndRefusedOptions) {
  EXPECT_EQ(cli::BatchPorts({"COM2-COM4", "/dev/ttyUSB12", "COM9"}),
            (std::vector<std::string>{"COM2", "COM3", "COM4", "/dev/ttyUSB12", "COM9"}));
  const struct {
    std::vector<std::string> args;
    const char* message;
  } refused[] = {
      {{"--port", "COM3-COM1"}, "--port must be COM1 .. COM9, a range"},
      {{"--port", "COM1-COM2", "--port", "COM2"}, "--port COM2 is named twice"},
      {{"--port", "COM10", "--port", "COM1"}, "'COM10'"},
      {{"--port", "COM1-COM2", "--out", "x.rtd"}, "--out names one recording"},
      {{"--simulate", "0"}, "--simulate takes the number of virtual gyroscopes"},
      {{"--simulate", "2", "--port", "COM1"}, "leave out --port"},
  };
  for (const auto& c : refused) {
    std::vector<std::string> args = {"record"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::ostringstream out, err;
    EXPECT_EQ(RunCli(args, out, err), ExitUsage) << c.message;
    EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
  }
}

}  // namespace

namespace {

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(by, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// The value column of `name` in a calc or allan text output.
std::string ValueOf(const std::string& output, const std::string& name) {
  for (const std::string& line : Split(output, '\n')) {
    const auto cells = Split(line, '\t');
    if (cells.size() >= 2 && cells[0] == name) return cells[1];
  }
  return "missing " + name;
}

std::string Cli(std::vector<std::string> args, int expected = ExitOk) {
  std::ostringstream out, err;
  EXPECT_EQ(RunCli(args, out, err), expected) << err.str();
  return out.str();
}

// Each row of the batch table holds what calc and allan give for that
// recording; the last rows are the spread of each column.
TEST(BatchCompare, RowsEqualCalcAndAllanThenTheSpread) {
  TTempDir tmp;
  TOptionProgramm settings;
  settings.FileName = tmp.File("Ratelog.ini");
  settings.DriftTime = 10;
  settings.RandomWalkTime = 10;
  ASSERT_TRUE(settings.Save());
  std::vector<std::string> files;
  for (int unit = 0; unit < 3; ++unit) {
    std::mt19937 rng(static_cast<unsigned>(unit + 7));
    std::normal_distribution<float> noise(0.0f, 0.002f);
    const std::string ident = "VRDT40-123.456-0000" + std::to_string(unit + 1);
    Bytes b = RecordingHeader(10, ident.c_str());
    for (int i = 1; i <= 3000; ++i)
      AddRecord(b, 0.1f * static_cast<float>(i), 0.001f * static_cast<float>(unit) + noise(rng), 25.0f);
    files.push_back(tmp.File("unit" + std::to_string(unit) + ".rtd"));
    WriteBytes(files.back(), b);
  }
  const char* calcNames[] = {"Average value signal", "Drift error", "Random walk", "Bias error"};
  for (const std::vector<std::string>& span :
       {std::vector<std::string>{}, std::vector<std::string>{"--begin", "20", "--end", "250.5"}}) {
    SCOPED_TRACE(span.empty() ? "whole recordings" : "a span");
    std::vector<std::string> args = {"batch", "--settings", settings.FileName};
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.end(), span.begin(), span.end());
    const auto lines = Split(Cli(args), '\n');
    ASSERT_EQ(lines.size(), 1 + 3 + 4 + 1u);  // heading, rows, spread, final newline
    EXPECT_EQ(lines[0],
              "File\tIdentification\tRecords\tSpan s\tAverage value signal \u00B0/h\tDrift error \u00B0/h\t"
              "Random walk \u00B0/Vh\tBias error \u00B0/h\tN \u00B0/Vh\tB \u00B0/h\tK \u00B0/h/Vh");
    std::vector<std::vector<double>> columns(9);
    for (std::size_t u = 0; u < 3; ++u) {
      const auto cells = Split(lines[1 + u], '\t');
      ASSERT_EQ(cells.size(), 11u);
      EXPECT_EQ(cells[0], files[u]);
      EXPECT_EQ(cells[1], "VRDT40-123.456-0000" + std::to_string(u + 1));
      EXPECT_EQ(cells[2], span.empty() ? "3000" : "2306");
      std::vector<std::string> one = {"--settings", settings.FileName, files[u]};
      one.insert(one.end(), span.begin(), span.end());
      std::vector<std::string> calc = {"calc"}, allan = {"allan"};
      calc.insert(calc.end(), one.begin(), one.end());
      allan.insert(allan.end(), one.begin(), one.end());
      const std::string calcOut = Cli(calc), allanOut = Cli(allan);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(cells[4 + i], ValueOf(calcOut, calcNames[i])) << calcNames[i];
      EXPECT_EQ(cells[8], ValueOf(allanOut, "N"));
      EXPECT_EQ(cells[9], ValueOf(allanOut, "B"));
      EXPECT_EQ(cells[10], ValueOf(allanOut, "K"));
      for (std::size_t c = 0; c < 9; ++c) columns[c].push_back(std::strtod(cells[2 + c].c_str(), nullptr));
    }
    // The spread, from the values shown.
    for (std::size_t c = 0; c < 9; ++c) {
      SCOPED_TRACE(c);
      const auto& v = columns[c];
      const double mean = (v[0] + v[1] + v[2]) / 3;
      const double sd = std::sqrt(((v[0] - mean) * (v[0] - mean) + (v[1] - mean) * (v[1] - mean) +
                                   (v[2] - mean) * (v[2] - mean)) / 3);
      const double expected[] = {mean, sd, *std::min_element(v.begin(), v.end()),
                                 *std::max_element(v.begin(), v.end())};
      for (int s = 0; s < 4; ++s) {
        const auto cells = Split(lines[4 + static_cast<std::size_t>(s)], '\t');
        ASSERT_EQ(cells.size(), 11u);
        if (std::isnan(expected[s])) EXPECT_EQ(cells[2 + c], "NAN");
        else EXPECT_NEAR(std::strtod(cells[2 + c].c_str(), nullptr), expected[s], 1e-9 * (1 + std::fabs(expected[s])));
      }
    }
    EXPECT_EQ(Split(lines[4], '\t')[0], "Mean");
    EXPECT_EQ(Split(lines[7], '\t')[0], "Maximum");
  }
  // A recording that cannot be read is left out and makes the exit code 1;
  // JSON carries the same figures as numbers.
  const std::string json =
      Cli({"batch", "--settings", settings.FileName, "--json", files[0], tmp.File("missing.rtd")}, ExitFailure);
  EXPECT_EQ(json.rfind("{\"recordings\": [{\"file\": \"" + files[0] + "\", \"identification\": "
                       "\"VRDT40-123.456-00001\", \"records\": 3000, ", 0), 0u) << json;
  EXPECT_NE(json.find("\"count\": {\"records\": 1, "), std::string::npos) << json;
}

}  // namespace
