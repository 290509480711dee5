// ratelog-cli info, calc, allan, export, archive and ports: the exact text
// and --json output, the span options, the error messages and exit codes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "acquisition/LinkSupport.h"
#include "cli/CliCommands.h"
#include "cli/Fields.h"
#include "common/CliRun.h"
#include "common/TestFiles.h"
#include "settings/Optionsprogramm.h"

namespace {

class CliTool : public ::testing::Test {
 protected:
  // `b` followed by `n` records `step` seconds apart from `step` on, the rate
  // (deg/s) given per record number 1..n.
  void Write(Bytes b, int n, float step, const std::function<float(int)>& rate,
             float temperature = 25.0f, const std::string& path = "") {
    for (int i = 1; i <= n; ++i) AddRecord(b, static_cast<float>(i) * step, rate(i), temperature);
    WriteBytes(path.empty() ? rtd_ : path, b);
  }
  // The NBS-14 values (deg/h) at t = 1..9 s, with a header (rtd_) and
  // without (old_), and an empty settings file (the defaults).
  void WriteNbs14() {
    const double values[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};
    auto rate = [&](int i) { return static_cast<float>(values[i - 1] / 3600.0); };
    Write(RecordingHeader(1.0f), 9, 1.0f, rate);
    Write(HeaderlessRecording(1.0f), 9, 1.0f, rate, 25.0f, old_);
    WriteBytes(settings_, {});
  }
  TTempDir tmp_;
  std::string dir_ = tmp_.Path(), rtd_ = tmp_.File("run.rtd"), old_ = tmp_.File("old.rtd"),
              settings_ = tmp_.File("Ratelog.ini");
};
using CliAllan = CliTool;
using CliFiles = CliTool;
using CliJson = CliTool;

// The text rows and the --json object of the same report, to the byte.
TEST_F(CliJson, ReportsAsTextAndJson) {
  WriteNbs14();
  const struct {
    std::vector<std::string> args;
    std::string text, json;
  } cases[] = {
      {{"info", rtd_},
       "IDN\tVRDT40-123.456-00042\nSample\t1\nTime create\t05.12.2026 10:30\nUserName\tanna\n"
       "CompName\tbenchpc\nRecords\t9\nFirst time\t1.000000\nLast time\t9.000000\n",
       R"({"idn": "VRDT40-123.456-00042", "sample": 1, "time_create": "05.12.2026 10:30", )"
       R"("user_name": "anna", "comp_name": "benchpc", "records": 9, "first_time": 1, )"
       R"("last_time": 9})"},
      {{"info", old_},
       "Format\theaderless (older layout: no identification, creation time or names)\n"
       "Sample\t1\nRecords\t9\nFirst time\t1.000000\nLast time\t9.000000\n",
       R"x({"format": "headerless (older layout: no identification, creation time or names)", )x"
       R"("sample": 1, "records": 9, "first_time": 1, "last_time": 9})"},
      // Mean 788.88889 deg/h; bias = mean - 15 x cos 55.75 deg (the default
      // earth rate); too short a span for drift and random walk.
      {{"calc", rtd_, "--settings", settings_},
       "Average value signal\t788.88889\t\u00B0/h\nDrift error\tNAN\t\u00B0/h\n"
       "Random walk\tNAN\t\u00B0/Vh\nBias error\t777.10889\t\u00B0/h\n",
       R"({"average_value_signal": 788.88889, "drift_error": null, "random_walk": null, )"
       R"("bias_error": 777.10889, "units": {"average_value_signal": "°/h", )"
       R"("drift_error": "°/h", "random_walk": "°/Vh", "bias_error": "°/h"}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const Result text = Cli(c.args);
    EXPECT_EQ(text.code, ExitOk) << text.err;
    EXPECT_EQ(text.out, c.text);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const Result json = Cli(args);
    EXPECT_EQ(json.code, ExitOk) << json.err;
    EXPECT_EQ(json.out, c.json + "\n");
  }
  // Whole numbers (every count) as integers, never in exponent form.
  for (const auto& [value, text] : {std::pair<double, const char*>{200000, "200000"}, {-3, "-3"}, {0.1, "0.1"},
                                   {123456789012, "123456789012"}, {2.5e-7, "2.5e-07"}, {NAN, "null"}})
    EXPECT_EQ(cli::JsonNumber(value), text) << value;
}

TEST_F(CliTool, CalcSpanSigmaAndParametersFromOptions) {
  // +-0.01 deg/s alternating every 10 s: segment means of 100 s are 0, of 10 s
  // are +-36 deg/h.
  Write(RecordingHeader(10.0f), 4000, 0.1f,
        [](int i) { return static_cast<int>(static_cast<float>(i) * 0.1f / 10) % 2 ? -0.01f : 0.01f; });
  Result r = Cli({"calc", rtd_, "--begin", "0", "--end", "250", "--earth-rate", "0"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Drift error\tNAN\t")) << r.out;  // 250 <= 3 x 100
  EXPECT_TRUE(Has(r.out, "Random walk\t0.00000")) << r.out;

  r = Cli({"calc", rtd_, "--begin", "0", "--drift-time", "10", "--sigma", "3"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "Drift error\t108.00000\t")) << r.out;  // 3 x 36
}

// Header texts come from a device and from other machines: the text form
// shows control characters escaped, never passing them to the terminal; the
// JSON form escapes them as JSON does. A text that is no UTF-8 is in the
// Windows code page (Cyrillic by default, Western when the user chose it).
TEST_F(CliTool, InfoEscapesControlCharacters) {
  WriteBytes(rtd_, RecordingHeader(10.0f, "VRDT\x1b[2J\tX", 46361.4375, "pc\nIDN\tforged", "an\xc2\x9b" "b\\"));
  Result r = Cli({"info", rtd_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("Records")),
            "IDN\tVRDT\\x1b[2J\\x09X\nSample\t10\nTime create\t05.12.2026 10:30\n"
            "UserName\tan\\xc2\\x9bb\\x5c\nCompName\tpc\\x0aIDN\\x09forged\n");

  WriteBytes(rtd_, RecordingHeader(1.0f, "VRDT\"q\x01\\\t", 46361.4375, "\xcf\xca-\xff", "\xd0\xaf\xe2\x82"));
  r = Cli({"info", rtd_, "--json"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, R"({"idn": "VRDT\"q\u0001\\\t", "sample": 1, "time_create": "05.12.2026 10:30", )"
                   "\"user_name\": \"\u0420\u0407\u0432\u201a\", "
                   "\"comp_name\": \"\u041f\u041a-\u044f\", \"records\": 0}\n");
  const TTempDir config;
  ::mkdir(config.File("ratelog").c_str(), 0755);
  WriteBytes(config.File("ratelog/header-codepage.txt"), {'w', 'i', 'n', 'd', 'o', 'w', 's', '-', '1', '2', '5', '2', '\n'});
  ::setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  r = Cli({"info", rtd_});
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_TRUE(Has(r.out, "UserName\t\u00D0\u00AF\u00E2\u201A\nCompName\t\u00CF\u00CA-\u00FF\n")) << r.out;
}

// A constant 3.6 deg/h with the settings file's defaults: no drift, no
// random walk, the bias less the earth rate. A span without a single record
// has no average: every row is "NAN", the tool says why and fails. An
// inverted span is swapped first.
TEST_F(CliTool, CalcOfAConstantRateAndOfASpanWithoutRecords) {
  Write(RecordingHeader(10.0f), 4000, 0.1f, [](int) { return 0.001f; });
  TOptionProgramm s;
  s.FileName = settings_;
  ASSERT_TRUE(s.Save());
  const std::string nan = "Average value signal\tNAN\t\u00B0/h\nDrift error\tNAN\t\u00B0/h\n"
                          "Random walk\tNAN\t\u00B0/Vh\nBias error\tNAN\t\u00B0/h\n";
  const struct {
    std::string begin, end;
    int code;
    std::string out;
  } cases[] = {
      {"0", "1e9", ExitOk, "Average value signal\t3.60000\t\u00B0/h\nDrift error\t0.00000\t\u00B0/h\n"
                           "Random walk\t0.00000\t\u00B0/Vh\nBias error\t-8.18000\t\u00B0/h\n"},
      {"500", "600", ExitFailure, nan},
      {"500", "450", ExitFailure, nan},
      {"300", "100", ExitOk, "Average value signal\t3.60000\t"},  // swapped: 100 .. 300 s
  };
  for (const auto& c : cases) {
    const Result r = Cli({"calc", rtd_, "--settings", settings_, "--begin", c.begin, "--end", c.end});
    EXPECT_EQ(r.code, c.code) << c.begin;
    EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(Has(r.err, "no record"), c.code == ExitFailure) << r.err;
  }
  EXPECT_TRUE(Has(Cli({"info", rtd_}).out, "Records\t4000\nFirst time\t0.100000\nLast time\t400.000000\n"));
  WriteBytes(rtd_, RecordingHeader(10.0f));  // an empty recording
  const Result r = Cli({"calc", rtd_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_EQ(r.out, nan);
}

TEST_F(CliTool, ErrorsAreClearAndNonZero) {
  WriteNbs14();
  std::ofstream(dir_ + "/foreign.ini") << "not settings at all";
  const std::string fifo = dir_ + "/pipe.rtd";  // would block a reader forever
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Outputs that are no regular files. The test keeps one FIFO open for
  // reading, so that an export that took it would fill it instead of
  // waiting for a reader forever; the other has no reader.
  const std::string outFifo = dir_ + "/pipe.txt", outDevice = dir_ + "/null.txt", outFolder = dir_ + "/folder.txt",
                    lonelyFifo = dir_ + "/lonely.txt";
  ASSERT_EQ(::mkfifo(outFifo.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(lonelyFifo.c_str(), 0600), 0);
  const int reader = ::open(outFifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_EQ(::symlink("/dev/null", outDevice.c_str()), 0);
  ASSERT_EQ(::mkdir(outFolder.c_str(), 0700), 0);
  const struct {
    std::vector<std::string> args;
    int code;
    std::string message;
  } cases[] = {
      {{"info", dir_ + "/missing.rtd"}, ExitFailure, dir_ + "/missing.rtd: No such file"},
      {{"allan", dir_ + "/missing.rtd", "--json"}, ExitFailure, "cannot read recording " + dir_ + "/missing.rtd: No such file"},
      {{"calc", fifo}, ExitFailure, fifo + ": not a regular file"},
      {{"calc", rtd_, "--begin", "abc"}, ExitUsage, "--begin: not a number: 'abc'"},
      {{"allan", rtd_, "--begin", "x"}, ExitUsage, "--begin: not a number: 'x'"},
      {{"calc", rtd_, "--sigma", "2"}, ExitUsage, "--sigma must be 1 or 3"},
      {{"allan", rtd_, "--sigma", "3"}, ExitUsage, "unknown option --sigma"},
      {{"calc", rtd_, "--frobnicate", "1"}, ExitUsage, "unknown option --frobnicate"},
      {{"export", rtd_, "--json"}, ExitUsage, "unknown option --json"},
      {{"export", rtd_, "--out", outFifo}, ExitFailure,
       "cannot write export file " + outFifo + ": not a regular file (a FIFO)\n"},
      {{"export", rtd_, "--out", lonelyFifo}, ExitFailure,
       "cannot write export file " + lonelyFifo + ": not a regular file (a FIFO)\n"},
      {{"export", rtd_, "--out", outDevice}, ExitFailure,
       "cannot write export file " + outDevice + ": not a regular file (a device)\n"},
      {{"export", rtd_, "--out", outFolder}, ExitFailure,
       "cannot write export file " + outFolder + ": Is a directory\n"},
      {{"calc"}, ExitUsage, "calc needs one recording file"},
      {{"allan", "--settings", settings_}, ExitUsage, "allan needs one recording file"},
      {{"explode"}, ExitUsage, "unknown command 'explode'"},
      {{"record", "--out", ""}, ExitUsage, "--out needs a file name"},
      {{"calc", rtd_, "--settings", dir_ + "/none.ini"}, ExitFailure, "settings file not found: " + dir_ + "/none.ini"},
      {{"calc", rtd_, "--settings", dir_ + "/foreign.ini"}, ExitFailure, "not a Ratelog settings file: " + dir_ + "/foreign.ini"},
      {{"archive", rtd_, "--server", ""}, ExitFailure, "not saved: no server folder is set"},
      {{"record", "--mode", "fast"}, ExitUsage, "--mode must be normal, trigger or onecommand"},
      {{"record", "--sample", "7"}, ExitUsage, "--sample must be one of 1 5 10 20 30 40 50 60 70 80 90 100 125"},
      {{"record", "--port", "COM1"}, ExitFailure,
       "Cannot open device COM1 (no such device: is the adapter plugged in? RATELOG_COMn can name the device "
       "file) [" + tmp_.File("no-such-tty") + "]"},
  };
  const PortVariable com1("COM1", tmp_.File("no-such-tty"));
  for (const auto& c : cases) {
    const Result r = Cli(c.args);
    EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args.back();
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
  }
  ::close(reader);
  EXPECT_EQ(ReadText(dir_ + "/foreign.ini"), "not settings at all") << "never rewritten";
  const Result help = Cli({"--help"});
  EXPECT_EQ(help.code, ExitOk);
  EXPECT_TRUE(Has(help.out, "calc FILE.rtd"));
  // The commands in the order of a day's work: measure, look, analyse, pass on.
  std::size_t last = 0;
  for (const char* command : {"record", "info", "calc", "allan", "thermal", "warmup", "repeat",
                              "export", "archive", "ports", "report", "batch"}) {
    const std::size_t at = help.out.find(std::string("\n  ") + command + " ");
    EXPECT_TRUE(at != std::string::npos && at > last) << command;
    last = at == std::string::npos ? last : at;
  }
  EXPECT_EQ(Cli({"calc", "--help"}).code, ExitOk);
}

// A comment line, rows of tau, deviation (deg/h), terms, edf and interval,
// then the five read-outs. NIST SP 1065 gives 91.22945 and 85.95287 at m =
// 1 and 2 (the rates pass through single precision in the file: seven
// digits hold); the curve falls to its last point: no B.
TEST_F(CliAllan, TableOfFactorsThenReadOuts) {
  WriteNbs14();
  const std::vector<std::string> parts = {
      "# kind oadev, confidence 0.683, gaps 0\n1\t91.22944", "\t8\t", "\n2\t85.95286", "\t6\t", "\n4\t27.635",
      "\t2\t", "\nQ\tNAN\tarcsec\tNAN\tNAN\tNAN\tNAN\tnot in the data: the fit of the five terms gives it no share\n"
      "N\tNAN\t\u00B0/Vh\tNAN\tNAN\tNAN\tNAN\tnot shown by the data: its fitted share is within 3.5 standard errors "
      "of zero\nB\tNAN\t\u00B0/h\tNAN\tNAN\tNAN\tNAN\tNAN\tnot in the data: the fit of the five terms "
      "gives it no share\nB upper\t41.60157148\t\u00B0/h\tbound: B is at most the lowest point over 0.664282\n"  // 27.635 / 0.664282
      "K\tNAN\t\u00B0/h/Vh\tNAN\tNAN\tNAN\tNAN\tnot in the data: the fit of the five terms gives it no share\n"
      "R\tNAN\t\u00B0/h^2\tNAN\tNAN\tNAN\tNAN\tnot in the data: the fit of the five terms gives it no share\n"};
  for (const std::string& file : {rtd_, old_}) {
    const Result r = Cli({"allan", file, "--settings", settings_});
    EXPECT_EQ(r.code, ExitOk) << r.err;
    EXPECT_TRUE(InOrder(r.out, parts));
    EXPECT_TRUE(r.out.ends_with(parts.back())) << r.out;
  }
  const Result json = Cli({"allan", rtd_, "--settings", settings_, "--json", "--confidence", "0.95"});
  EXPECT_EQ(json.code, ExitOk) << json.err;
  EXPECT_TRUE(InOrder(json.out,
      {R"({"kind": "oadev", "confidence": 0.95, "gaps": 0, "gap_s": 0, "backward": 0, "skipped": 0, )",
        R"("points": [{"tau_s": 1, "adev_deg_h": 91.22944)", R"(, "terms": 8, "edf": )",
        R"(, {"tau_s": 4, "adev_deg_h": 27.635)",
        R"(], "q": null, "n": null, "b": null, "b_tau": null, "k": null, "r": null, "q_lo": null, )",
        R"("b_upper": 41.6015714)", R"(, "ranges_s": {"q": null, "n": null, "b": null, "k": null, "r": null}, )"
        R"("absent": {"q": "not in the data: )", R"("slope_regions": {"q": null, )",
        R"("units": {"q": "arcsec", )"}));
}

TEST_F(CliAllan, SpanOptionsAndFailures) {
  WriteNbs14();
  // Five records (t = 3..7): factors 1 and 2.
  Result r = Cli({"allan", rtd_, "--begin", "3", "--end", "7", "--settings", settings_});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "gaps 0\n1\t") && Has(r.out, "\n2\t") && !Has(r.out, "\n4\t")) << r.out;
  // Three records (883, 903, 677 deg/h), the fewest that make a deviation:
  // sqrt((20^2 + 226^2) / 4) = 113.4416 at factor 1 only.
  r = Cli({"allan", rtd_, "--begin", "7", "--settings", settings_});
  EXPECT_TRUE(r.code == ExitOk && Has(r.out, "gaps 0\n1\t113.441") && !Has(r.out, "\n2\t")) << r.out;
  // Two records: no factor, the read-outs NAN, exit 1.
  r = Cli({"allan", rtd_, "--begin", "8", "--settings", settings_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_TRUE(Has(r.out, "gaps 0\nQ\tNAN\t")) << r.out;
  EXPECT_TRUE(Has(r.err, "fewer than 3 records"));
  r = Cli({"allan", rtd_, "--begin", "8", "--settings", settings_, "--json"});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_TRUE(Has(r.out, R"("points": [], "q": null, "n": null, "b": null, "b_tau": null, "k": null, "r": null)")) << r.out;
  // Grids and kinds: decade has m = 1 only on nine records; mdev, hdev.
  r = Cli({"allan", rtd_, "--taus", "decade", "--kind", "hdev", "--settings", settings_});
  EXPECT_TRUE(r.code == ExitOk && Has(r.out, "# kind hdev, ") && !Has(r.out, "\n2\t")) << r.out << r.err;
  // Three records are too few for the Hadamard deviation, which needs four.
  r = Cli({"allan", rtd_, "--begin", "7", "--kind", "hdev", "--settings", settings_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_TRUE(Has(r.err, "too few records for the hdev estimator: 3 ") && Has(r.err, "it needs 4")) << r.err;
  for (const auto& [option, value] : {std::pair<const char*, const char*>{"--taus", "fortnight"}, {"--taus", "0"},
                                     {"--kind", "tdev"}, {"--confidence", "1"}, {"--confidence", "-0.5"}}) {
    r = Cli({"allan", rtd_, option, value, "--settings", settings_});
    EXPECT_EQ(r.code, ExitUsage) << option << " " << value;
    EXPECT_TRUE(Has(r.err, option)) << r.err;
  }
}

// Times stored as i x 0.1f: a span typed as 0.7 .. 1.2 takes the records
// stored as 0.7 (0.69999999) and 1.2 (1.20000005), six in all, in every command.
TEST_F(CliTool, SpanBoundsAtTheRecordsPrecision) {
  Write(RecordingHeader(10.0f), 20, 0.1f, [](int i) { return static_cast<float>(i) / 1024; });
  const struct {
    std::string command, part;
  } cases[] = {
      {"calc", "Average value signal\t33.39844\t"},  // (7 + ... + 12) / 6 / 1024 x 3600
      {"allan", R"("terms": 5, )"},                   // m = 1 over six records
      {"export", "-\n0.7000         ;\n0.8000         ;\n0.9000         ;\n1.0000         ;\n"
                 "1.1000         ;\n1.2000         ;\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {c.command, rtd_, "--begin", "0.7", "--end", "1.2"};
    if (c.command == "allan") args.push_back("--json");
    const Result r = Cli(args);
    EXPECT_EQ(r.code, ExitOk) << c.command << r.err;
    EXPECT_TRUE(Has(c.command == "export" ? ReadText(tmp_.File("run.txt")) : r.out, c.part))
        << c.command << "\n" << r.out;
  }
}

// Without --begin/--end every record counts, also when the device clock
// stepped back (first and last record are then not the ends); records with
// an infinite value are left out of the Allan deviation and counted.
TEST_F(CliTool, DefaultSpanTakesEveryRecordAndInfiniteRatesAreSkipped) {
  const float inf = std::numeric_limits<float>::infinity();
  // Rates k/1024 deg/s are exact in single precision, also times 3600.
  const auto rate = [](int i) { return static_cast<float>(i % 4) / 1024.0f; };
  std::vector<float> atEnd, atStart;
  for (int i = 1; i <= 60; ++i) atEnd.push_back(static_cast<float>(i));
  for (float t : {56.0f, 57.0f, 58.0f}) atEnd.push_back(t);  // 4 s back before the end
  for (float t : {4.5f, 5.0f}) atStart.push_back(t);
  for (int i = 2; i <= 18; ++i) atStart.push_back(0.5f * static_cast<float>(i));  // back to 1 s
  for (const auto& times : {atEnd, atStart}) {
    Bytes b = RecordingHeader(1.0f);
    double sum = 0;
    for (std::size_t i = 0; i < times.size(); ++i) {
      AddRecord(b, times[i], rate(static_cast<int>(i)), 25);
      sum += rate(static_cast<int>(i)) * 3600.0;
    }
    WriteBytes(rtd_, b);
    SCOPED_TRACE(times.size());
    Result r = Cli({"export", rtd_});
    ASSERT_EQ(r.code, ExitOk) << r.err;
    const Bytes text = ReadBytes(tmp_.File("run.txt"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(times.size() + 7));
    char mean[64];
    std::snprintf(mean, sizeof mean, "Average value signal\t%.5f\t", sum / static_cast<double>(times.size()));
    r = Cli({"calc", rtd_});
    EXPECT_EQ(r.code, ExitOk) << r.err;
    EXPECT_TRUE(Has(r.out, mean)) << r.out << mean;
    // The step back starts the data afresh: at m = 1 each of the two runs
    // gives one term fewer than it has records, n - 2 in all.
    r = Cli({"allan", rtd_, "--json"});
    EXPECT_TRUE(Has(r.out, R"("backward": 1, "skipped": 0, )")) << r.out;
    EXPECT_TRUE(Has(r.out, R"(, "terms": )" + std::to_string(times.size() - 2) + ", ")) << r.out;
  }
  // The NBS-14 values with an infinite rate among them and one at the end:
  // the same deviations as without them.
  const double values[] = {892, 809, 823, 798, 671, 644, 883, 903, 677};
  Bytes b = RecordingHeader(1.0f);
  for (int i = 0; i < 9; ++i) {
    AddRecord(b, static_cast<float>(i + 1), static_cast<float>(values[i] / 3600.0), 25);
    if (i == 4) AddRecord(b, 5.5f, inf, 25);
  }
  AddRecord(b, 10.0f, -inf, 25);
  WriteBytes(rtd_, b);
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> parts;
  } cases[] = {
      {{"allan", rtd_}, {"\n1\t91.22944", "\t8\t", "\n2\t85.95286", "\t6\t", "\n4\t27.635", "\t2\t"}},
      {{"allan", rtd_, "--json"}, {R"("skipped": 2, )", R"("adev_deg_h": 91.22944)", R"("adev_deg_h": 27.635)"}},
  };
  for (const auto& c : cases) {
    const Result r = Cli(c.args);
    EXPECT_EQ(r.code, ExitOk) << r.err;
    EXPECT_TRUE(Has(r.err, "2 records skipped")) << r.err;
    EXPECT_TRUE(InOrder(r.out, c.parts));
  }
}

// export and archive print the files they wrote, or why they wrote none.
TEST_F(CliFiles, ExportAndArchive) {
  Write(RecordingHeader(10.0f, "VRDT40-000.000-00000"), 80000, 0.1f, [](int) { return -0.0123f; }, 25.5f);
  auto text = [&](const std::string& name) { return ReadText(tmp_.File(name)); };
  // Defaults: every record, the time column, run.txt beside the recording.
  Result r = Cli({"export", rtd_});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, tmp_.File("run.txt") + "\n");
  EXPECT_TRUE(Has(text("run.txt"), "-\n0.1000         ;\n"));
  EXPECT_TRUE(Has(text("run.txt"), "\n8000.0000      ;\n"));
  r = Cli({"export", rtd_, "--begin", "7000", "--end", "100", "--rate", "--temperature", "--excel",
           "--out", tmp_.File("data.TXT")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, tmp_.File("data.txt") + "\n" + tmp_.File("data_1.txt") + "\n" + tmp_.File("data_2.txt") + "\n");
  // The swapped window starts right below the header.
  EXPECT_TRUE(Has(text("data.txt"), "-\n100.0000       ;-0.0123000          ;25.500000           ;\n"));
  EXPECT_TRUE(Has(text("data_2.txt"), "\n7000.0000      ;"));

  const std::string server = tmp_.File("arch");
  for (const char* folder : {"arch", "arch/VRDT40-000.000", "arch/VRDT40-000.000/00000"})
    ::mkdir(tmp_.File(folder).c_str(), 0777);
  r = Cli({"archive", rtd_, "--server", server});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string target = server + "/VRDT40-000.000/00000/create_05122026_1030__file_run.rtd";
  EXPECT_EQ(r.out, target + "\n");
  EXPECT_EQ(ReadBytes(target), ReadBytes(rtd_));
  r = Cli({"archive", rtd_, "--server", server, "--name", "-Kreisel Pr\xC3\xBC" "fung 3.1"});  // kept as typed
  EXPECT_EQ(r.out, server + "/VRDT40-000.000/00000/create_05122026_1030__file_-Kreisel Pr\xC3\xBC" "fung 3.1.rtd\n");

  const std::string missing = tmp_.File("missing/out.txt"), nowhere = tmp_.File("nowhere");
  r = Cli({"export", rtd_, "--out", missing});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_EQ(r.err, "ratelog-cli: cannot write export file " + missing + ": No such file or directory\n");
  r = Cli({"archive", rtd_, "--server", nowhere, "--name", "x"});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_EQ(r.err, "ratelog-cli: not saved: " + nowhere + ": No such file or directory\n");
  WriteBytes(rtd_, HeaderlessRecording(10.0f));
  r = Cli({"archive", rtd_, "--server", server});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_TRUE(Has(r.err, "without header")) << r.err;
}

// ports: COM1 a pseudo-terminal, free and then held by the link (whose lock
// names this process), COM2 a missing path.
TEST(CliPorts, FreeMissingAndHeldPorts) {
  TTempDir tmp;
  PtyPair device;
  const std::string pty = device.SlavePath(), gone = tmp.File("gone");
  PortVariable com1("COM1", pty), com2("COM2", gone);
  Result r = Cli({"ports", "--json"});
  EXPECT_EQ(r.code, ExitOk) << r.err;
  EXPECT_TRUE(InOrder(r.out, {
           R"({"ports": [{"port": "COM1", "device": ")" + pty + R"(", "resolved_by": "RATELOG_COM1", )",
           R"("exists": true, "access": true, "group": )",
           R"("in_use": false, "holder_pid": null, "holder_program": null, "usb": false, )",
           R"("summary": ")" + pty + R"( (RATELOG_COM1): ready", "hints": []}, {"port": "COM2", )",
           R"("exists": false, "access": null, )", R"("summary": ")" + gone + R"( (RATELOG_COM2): missing", )",
           R"({"port": "COM9", )"}));
  TXComm link;
  link.SetDeviceName("COM1");
  ASSERT_TRUE(link.OpenDevice());
  const std::string pid = std::to_string(::getpid());
  r = Cli({"ports", "--json"});
  EXPECT_TRUE(Has(r.out, R"("in_use": true, "holder_pid": )" + pid + R"(, "holder_program": ")")) << r.out;
  const std::size_t at = r.out.find("\"holder_program\": \"") + 19;
  const std::string comm = r.out.substr(at, r.out.find('"', at) - at);
  EXPECT_FALSE(comm.empty());
  const std::string summary = pty + " (RATELOG_COM1): in use by " + comm + " (pid " + pid + ")";
  EXPECT_TRUE(Has(r.out, R"("summary": ")" + summary + "\"")) << r.out;
  const std::string text = Cli({"ports"}).out;
  EXPECT_EQ(text.substr(0, text.find('\n')), "COM1\t" + summary);
  EXPECT_TRUE(Has(text, "  Hint\tThe port is in use by " + comm + " (pid " + pid + ")"));
  link.CloseDevice();
  EXPECT_TRUE(Has(Cli({"ports"}).out, "COM1\t" + pty + " (RATELOG_COM1): ready\n"));
}

// A device file only root may open, looked at by an ordinary user (the
// program itself, run through setpriv as nobody).
TEST(CliPorts, NoPermissionForAnOrdinaryUser) {
  const std::string program = RATELOG_BINARY_DIR "/bin/ratelog-cli";
  if (::getuid() != 0) GTEST_SKIP() << "needs root to become another user";
  if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
  const std::string as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (std::system((as + program + " --version >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "nobody cannot run " << program;
  TTempDir tmp;
  ASSERT_EQ(::chmod(tmp.Path().c_str(), 0755), 0);
  const std::string device = tmp.File("ttyUSB7");
  WriteBytes(device, {});
  ASSERT_EQ(::chmod(device.c_str(), 0600), 0);
  FILE* pipe = ::popen(("RATELOG_COM1=" + device + " " + as + program + " ports --json").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  ASSERT_EQ(WEXITSTATUS(::pclose(pipe)), 0) << out;
  EXPECT_TRUE(Has(out, R"("exists": true, "access": false, "group": "root", )")) << out;
  EXPECT_TRUE(Has(out, R"("summary": ")" + device + R"x( (RATELOG_COM1): no permission (group root)", )x"
                       R"("hints": ["No permission for )" + device +
                       R"x( (group root). A udev rule (GROUP=\"dialout\") gives it to the dialout )x"
                       R"(group; add yourself to that group, then log in again."]})"))
      << out;
}

}  // namespace
