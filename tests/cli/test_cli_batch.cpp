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
#include "common/CliRun.h"
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

void ExpectBatchEqualsCommands(const std::vector<std::string>& files, const std::vector<std::string>& options,
                               const std::vector<std::string>& records);

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
  std::vector<std::string> paths, counts;
  for (Device* d : {&whole, &lost}) {
    SCOPED_TRACE(d->port);
    std::string ident;
    paths.push_back(tmp_.File("out/" + files[static_cast<std::size_t>(d->port - 1)]));
    const auto recs = Records(paths.back(), &ident);
    counts.push_back(std::to_string(recs.size()));
    EXPECT_EQ(ident, "VRDT40-123.456-0000" + std::to_string(d->port));
    EXPECT_GT(recs.size(), d == &whole ? 100u : 36u);
    d->ExpectRecorded(recs, 2);
  }
  EXPECT_TRUE(silent.sent.empty());
  ExpectBatchEqualsCommands(paths, {"--settings", settings_.FileName}, counts);
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
// tool exits normally. The virtual units share one chamber programme.
TEST_F(BatchRun, SigtermStopsEveryRun) {
  const std::string log = tmp_.File("out.txt"), dir = tmp_.File("out");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::string tool = std::string(RATELOG_BINARY_DIR) + "/bin/ratelog-cli";
    if (!std::freopen(log.c_str(), "w", stdout)) ::_exit(127);
    ::execl(tool.c_str(), tool.c_str(), "record", "--settings", settings_.FileName.c_str(), "--simulate", "2",
            "--temp-profile", "ramp:20:40:2", "--out-dir", dir.c_str(), static_cast<char*>(nullptr));
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
    // 20 deg C at the device's time 0, rising 2 deg C a minute.
    for (const SamplePoint& p : recs) ASSERT_NEAR(p.Temperature, 20 + p.Time / 30, 1e-4) << p.Time;
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
      {{"--port", "COM1-COM2", "--temp-profile", "ramp:20:40:2"}, "--temp-profile is for the virtual gyroscopes"},
      {{"--simulate", "2", "--temp-profile", "ramp:20:40"}, "--temp-profile: a temperature profile is ramp:"},
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

// The value `name` shows in a text output: calc and allan lines
// "NAME<TAB>value..." (by = '\t'), thermal lines "NAME value unit" (' ').
std::string ValueOf(const std::string& output, const std::string& name, char by) {
  for (const std::string& line : Split(output, '\n')) {
    const auto cells = Split(line, by);
    if (cells.size() >= 2 && cells[0] == name) return cells[1];
  }
  return "missing " + name;
}

// Runs batch on `files` with `options` (settings, span) and checks each row
// against calc, allan and thermal run on that file with the same options,
// the records column against `records`, and the spread rows against the
// rows (a unit without a figure left out of its spread).
void ExpectBatchEqualsCommands(const std::vector<std::string>& files, const std::vector<std::string>& options,
                               const std::vector<std::string>& records) {
  std::vector<std::string> args = {"batch"};
  args.insert(args.end(), files.begin(), files.end());
  args.insert(args.end(), options.begin(), options.end());
  const Result batch = Cli(args);
  ASSERT_EQ(batch.code, ExitOk) << batch.err;
  const auto lines = Split(batch.out, '\n');
  ASSERT_EQ(lines.size(), 1 + files.size() + 4 + 1);  // heading, rows, spread, final newline
  EXPECT_EQ(lines[0],
            "File\tIdentification\tRecords\tSpan s\tAverage value signal \u00B0/h\tDrift error (1\u03C3) \u00B0/h\t"
            "Random walk \u00B0/Vh\tBias error \u00B0/h\tN \u00B0/Vh\tB \u00B0/h\tK \u00B0/h/Vh\t"
            "b1 \u00B0/h/\u00B0C\tb2 \u00B0/h/\u00B0C^2\tc \u00B0/h/(\u00B0C/min)");
  const char* calcNames[] = {"Average value signal", "Drift error", "Random walk", "Bias error"};
  std::vector<std::vector<double>> columns(12);
  for (std::size_t u = 0; u < files.size(); ++u) {
    SCOPED_TRACE(files[u]);
    const auto cells = Split(lines[1 + u], '\t');
    ASSERT_EQ(cells.size(), 14u);
    EXPECT_EQ(cells[0], files[u]);
    EXPECT_EQ(cells[2], records[u]);
    auto run = [&](const char* command) {
      std::vector<std::string> one = {command, files[u]};
      one.insert(one.end(), options.begin(), options.end());
      return Cli(one);
    };
    const Result calc = run("calc"), allan = run("allan"), thermal = run("thermal");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(cells[4 + i], ValueOf(calc.out, calcNames[i], '\t')) << calcNames[i];
    const char* allanNames[] = {"N", "B", "K"};
    // Those with an interval or standard error to its digits.
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(RoundedFrom(cells[8 + i], ValueOf(allan.out, allanNames[i], '\t'))) << allanNames[i] << cells[8 + i];
    // No temperature model: thermal fails, the cells stay empty.
    const char* thermalNames[] = {"b1", "b2", "c"};
    for (int i = 0; i < 3; ++i)
      EXPECT_TRUE(RoundedFrom(cells[11 + i], thermal.code == ExitOk ? ValueOf(thermal.out, thermalNames[i], ' ') : ""))
          << thermalNames[i] << cells[11 + i];
    for (std::size_t c = 0; c < 12; ++c)
      if (const double v = std::strtod(cells[2 + c].c_str(), nullptr); !cells[2 + c].empty() && !std::isnan(v))
        columns[c].push_back(v);
  }
  for (std::size_t c = 0; c < 12; ++c) {
    SCOPED_TRACE(c);
    const auto& v = columns[c];
    double mean = 0, sq = 0;
    for (double x : v) mean += x / static_cast<double>(v.size());
    for (double x : v) sq += (x - mean) * (x - mean) / static_cast<double>(v.size() - 1);  // sample: n - 1
    const double expected[] = {mean, std::sqrt(sq), v.empty() ? 0 : *std::min_element(v.begin(), v.end()),
                               v.empty() ? 0 : *std::max_element(v.begin(), v.end())};
    for (std::size_t s = 0; s < 4; ++s) {
      const auto cells = Split(lines[1 + files.size() + s], '\t');
      ASSERT_EQ(cells.size(), 14u);
      EXPECT_EQ(cells[0], (std::vector<std::string>{"Mean", "Std dev (n-1)", "Minimum", "Maximum"}[s]));
      if (v.empty() || (s == 1 && v.size() < 2)) EXPECT_EQ(cells[2 + c], "NAN");
      else EXPECT_NEAR(std::strtod(cells[2 + c].c_str(), nullptr), expected[s], 1e-9 * (1 + std::fabs(expected[s])));
    }
  }
}

// 1200 s at 10 Hz. In the chamber: 20 -> 40 -> 20 deg C at 2 deg C/min and
// a bias of 3 + b1 T + 0.5 dT/dt deg/h; else 25 deg C, and the clock steps
// back to 100 s for the last 50 records (the span is then the smallest to
// the largest time, not the first to the last).
std::string ChamberUnit(const TTempDir& tmp, int unit, double b1, bool chamber) {
  std::mt19937 rng(static_cast<unsigned>(unit + 7));
  std::normal_distribution<double> noise(0.0, 0.05);
  const std::string ident = "VRDT40-123.456-0000" + std::to_string(unit);
  Bytes b = RecordingHeader(10, ident.c_str());
  for (int i = 1; i <= 12000; ++i) {
    const double t = i * 0.1, rising = t < 600 ? 1 : -1;
    const double T = !chamber ? 25 : t < 600 ? 20 + t / 30 : 40 - (t - 600) / 30;
    const double bias = chamber ? 3 + b1 * T + 0.5 * 2 * rising : 7.2;
    AddRecord(b, static_cast<float>(t), static_cast<float>((bias + noise(rng)) / 3600), static_cast<float>(T));
  }
  for (int j = 1; !chamber && j <= 50; ++j) AddRecord(b, 100.0f + 0.1f * static_cast<float>(j), 0.002f, 25.0f);
  const std::string path = tmp.File("unit" + std::to_string(unit) + ".rtd");
  WriteBytes(path, b);
  return path;
}

// Each row of the batch table holds what calc, allan and thermal give for
// that recording; the last rows are the spread of each column. Limits add
// a result per unit and the exit code 3.
TEST(BatchCompare, RowsEqualCalcAllanAndThermalThenTheSpread) {
  TTempDir tmp;
  TOptionProgramm settings;
  settings.FileName = tmp.File("Ratelog.ini");
  settings.DriftTime = 10;
  settings.RandomWalkTime = 10;
  ASSERT_TRUE(settings.Save());
  const std::vector<std::string> files = {ChamberUnit(tmp, 1, 0.2, true), ChamberUnit(tmp, 2, 0.25, true),
                                          ChamberUnit(tmp, 3, 0, false)};
  const std::vector<std::string> options = {"--settings", settings.FileName};
  {
    SCOPED_TRACE("whole recordings");
    ExpectBatchEqualsCommands(files, options, {"12000", "12000", "12050"});
  }
  {
    SCOPED_TRACE("a span with heating alone: no temperature model");
    ExpectBatchEqualsCommands(files, {"--settings", settings.FileName, "--begin", "20", "--end", "250.5"},
                              {"2306", "2306", "2306"});
  }

  std::vector<std::string> args = {"batch", "--settings", settings.FileName, "--limit", "b1<=0.22",
                                   "--limit", "random_walk<=1000"};
  args.insert(args.end(), files.begin(), files.end());
  const Result limits = Cli(args);
  EXPECT_EQ(limits.code, ExitLimitsFailed) << limits.err;
  const auto lines = Split(limits.out, '\n');
  ASSERT_EQ(lines.size(), 9u) << limits.out;
  EXPECT_EQ(lines[0].substr(lines[0].size() - 21), "\tResult\tFailed limits");
  const char* results[] = {"\tPASS\t", "\tFAIL\tb1<=0.22", "\tINCOMPLETE\tb1<=0.22 (not measurable)", "\t\t"};
  for (std::size_t i = 1; i <= 4; ++i) {
    const std::string end = results[i - 1];
    EXPECT_EQ(lines[i].substr(lines[i].size() - end.size()), end) << lines[i];
  }
  EXPECT_EQ(Cli({"batch", "--limit", "b1>=0.1", files[0], files[1]}).code, ExitOk);

  // JSON carries the same as numbers (null for an empty cell); a recording
  // that cannot be read is left out and makes the exit code 1.
  const Result json = Cli({"batch", "--settings", settings.FileName, "--json", "--limit", "b1<=0.22", files[2],
                           tmp.File("missing.rtd")});
  EXPECT_EQ(json.code, ExitFailure);
  EXPECT_EQ(json.out.rfind("{\"recordings\": [{\"file\": \"" + files[2] + "\", \"identification\": "
                           "\"VRDT40-123.456-00003\", \"records\": 12050, ", 0), 0u) << json.out;
  EXPECT_NE(json.out.find("\"b1\": null, \"b2\": null, \"c\": null, \"result\": \"INCOMPLETE\", \"limits\": "
                          "[{\"limit\": \"b1<=0.22\", \"measured\": null, \"unit\": \"\u00B0/h/\u00B0C\", "
                          "\"result\": \"INCOMPLETE\", \"note\": \"not measurable\"}]}]"),
            std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"count\": {\"records\": 1, "), std::string::npos) << json.out;
  EXPECT_EQ(json.out.substr(json.out.size() - 25), "\"verdict\": \"INCOMPLETE\"}\n");
  EXPECT_EQ(Cli({"batch", "--limit", "b1<=0.22", files[2]}).code, ExitIncomplete);
  EXPECT_NE(json.err.find("missing.rtd"), std::string::npos) << json.err;

  const Result unknown = Cli({"batch", files[0], "--limit", "noise<=1"});
  EXPECT_EQ(unknown.code, ExitUsage);
  EXPECT_NE(unknown.err.find("unknown field 'noise'; known fields: average_value_signal, "), std::string::npos)
      << unknown.err;
  // One unit named twice (by another path) would count twice in the spread.
  const Result twice = Cli({"batch", files[0], files[1], tmp.Path() + "/./unit1.rtd"});
  EXPECT_EQ(twice.code, ExitUsage);
  EXPECT_NE(twice.err.find("the same recording is named twice: " + files[0] + " and "), std::string::npos) << twice.err;
}

}  // namespace
