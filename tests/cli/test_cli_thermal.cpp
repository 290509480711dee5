// ratelog-cli thermal, warmup and repeat on recordings built with known
// coefficients, settling and biases: the figures, the output forms, the
// refusals and exit codes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/CliCommands.h"
#include "report/ReportContent.h"
#include "common/CliRun.h"
#include "common/TestFiles.h"

namespace {

// A recording at `hz` of bias(t, T) deg/h at temperature T(t), n records from t = 1/hz.
void WriteRun(const std::string& path, long n, double hz, const std::function<double(double)>& temp,
              const std::function<double(double, double)>& bias, const char* ident = "VRDT40-123.456-00042") {
  Bytes b = RecordingHeader(static_cast<float>(hz), ident);
  b.reserve(760 + 12 * static_cast<std::size_t>(n));
  for (long i = 1; i <= n; ++i) {
    const double t = i / hz, T = temp(t);
    AddRecord(b, static_cast<float>(t), static_cast<float>(bias(t, T) / 3600), static_cast<float>(T));
  }
  WriteBytes(path, b);
}

class CliThermal : public ::testing::Test {
 protected:
  TTempDir tmp_;
  std::string rtd_ = tmp_.File("run.rtd");
};

// The report reads a whole recording once for both the noise analysis and
// the temperature model (which writes the compensated rates over the
// records while its raw rates' curve is read beside it): its figures are
// those of the same span given by its ends, where each analysis reads the
// span on its own. Records that cannot be used and a step back included.
TEST_F(CliThermal, ReportOverTheWholeRecordingAsOverItsSpan) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> g(0, 2);
  auto temp = [](double t) { return t < 1500 ? 20 + t / 60 : 45 - (t - 1500) / 60; };
  WriteRun(rtd_, 30000, 10, temp, [&](double, double T) { return 3 + 0.1 * T + g(rng); });
  Bytes b = ReadBytes(rtd_);
  const float nan = std::nanf("");
  for (const auto& [record, field, value] : {std::tuple{100, 0, nan}, {2000, 1, nan}, {7000, 2, INFINITY}})
    std::memcpy(&b[760 + 12 * record + 4 * field], &value, 4);
  for (std::size_t at = 760 + 12 * 20000; at < b.size(); at += 12) {  // the clock steps back 100 s
    float t;
    std::memcpy(&t, &b[at], 4);
    t -= 100;
    std::memcpy(&b[at], &t, 4);
  }
  WriteBytes(rtd_, b);
  TReportRequest whole;
  whole.Path = rtd_;
  TReportRequest span = whole;
  span.Begin = 0.1f;  // the first record's time as stored
  span.End = 2900;
  TReportContent a, c;
  std::string error;
  ASSERT_TRUE(ComputeReport(whole, a, error)) << error;
  ASSERT_TRUE(ComputeReport(span, c, error)) << error;
  ASSERT_TRUE(a.Thermal.Valid) << a.Thermal.Message;
  EXPECT_EQ(a.Allan.Skipped, 3);
  EXPECT_EQ(a.Allan.Backward, 1);
  ASSERT_EQ(a.Allan.Points.size(), c.Allan.Points.size());
  for (std::size_t i = 0; i < a.Allan.Points.size(); ++i) EXPECT_EQ(a.Allan.Points[i].Adev, c.Allan.Points[i].Adev) << i;
  for (const auto& [x, y] : {std::pair{&a.Calc, &c.Calc}, {&a.AllanFigures, &c.AllanFigures},
                             {&a.AllanCounts, &c.AllanCounts}, {&a.ThermalFigures, &c.ThermalFigures}}) {
    ASSERT_EQ(x->Figures.size(), y->Figures.size());
    for (std::size_t i = 0; i < x->Figures.size(); ++i)
      EXPECT_EQ(x->Figures[i].Text, y->Figures[i].Text) << x->Command << " " << x->Figures[i].Caption;
  }
  EXPECT_EQ(a.Thermal.NRaw, a.Allan.N.Value);
}

TEST_F(CliThermal, ChamberCycleFiguresAsTextAndJson) {
  // -40 -> +60 -> -40 deg C at 1 deg C/min, 10 Hz, white noise 2 deg/h.
  const double b0 = -4, b1 = 0.12, b2 = -0.0015, c = -0.8, noise = 2;
  std::mt19937_64 rng(3);
  std::normal_distribution<double> g(0, noise);
  auto temp = [](double t) { return t < 6000 ? -40 + t / 60 : 60 - (t - 6000) / 60; };
  WriteRun(rtd_, 120000, 10, temp, [&](double t, double T) {
    return b0 + b1 * T + b2 * T * T + c * (t < 6000 ? 1 : -1) + g(rng);
  });
  const Result json = Cli({"thermal", rtd_, "--json"});
  ASSERT_EQ(json.code, ExitOk) << json.err;
  EXPECT_NEAR(JsonValue(json.out, "b1"), b1, 0.02 * std::fabs(b1));
  EXPECT_NEAR(JsonValue(json.out, "b2"), b2, 0.02 * std::fabs(b2));
  EXPECT_NEAR(JsonValue(json.out, "c"), c, 0.02 * std::fabs(c));
  EXPECT_NEAR(JsonValue(json.out, "residual_rms_deg_h"), noise, 0.05 * noise);
  for (const char* name : {"b0", "b0_se", "b1_se", "b2_se", "c_se", "residual_rms_avg_deg_h", "r2", "t_min_c",
                           "t_max_c", "n_raw", "n_compensated", "bias_tref_deg_h_se"})
    EXPECT_TRUE(std::isfinite(JsonValue(json.out, name))) << name << " in " << json.out;
  EXPECT_NEAR(JsonValue(json.out, "bias_tref_deg_h"), b0 + 25 * b1 + 625 * b2, 3 * JsonValue(json.out, "bias_tref_deg_h_se"));
  // A symmetric cycle: heating and cooling differ as c dT/dt does; counts are integers.
  EXPECT_NE(json.out.find("\"hysteresis_deg_h\": null"), std::string::npos);
  EXPECT_NE(json.out.find("\"notes\": {\"hysteresis\": \"heating and cooling differ here as c\u00B7dT/dt does"), std::string::npos);
  EXPECT_NE(json.out.find("\"out_of_range\": 0, \"spikes\": 0,"), std::string::npos) << json.out;
  EXPECT_TRUE(std::isnan(JsonValue(json.out, "b3")) && json.out.find("\"b3\": null") != std::string::npos);
  // The text: "NAME value unit +- stderr", b3 left out at order 2.
  const Result text = Cli({"thermal", rtd_, "--average", "20"});
  ASSERT_EQ(text.code, ExitOk) << text.err;
  for (const char* line : {"b0 ", "b1 ", "b2 ", "c ", "residual_rms ", "r2 ", "bias_tref ", "temperature_spikes "}) {
    const std::size_t at = ("\n" + text.out).find(std::string("\n") + line);
    ASSERT_NE(at, std::string::npos) << line << " in " << text.out;
    EXPECT_TRUE(std::isfinite(std::strtod(text.out.c_str() + at + std::strlen(line), nullptr))) << line;
  }
  EXPECT_NE(text.out.find(" \u00B0/h/\u00B0C^2 \u00B1 "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(" \u00B0/h/(\u00B0C/min) \u00B1 "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nt_min -40"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("\nb3 "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nhysteresis NAN \u00B0/h \u00B1 NAN\nn_raw"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nnote hysteresis: "), std::string::npos) << text.out;
  // Order 3 on a quadratic: b3 comes out within its error of zero; without the
  // rate term the branches' difference is the hysteresis, 2 c.
  const Result cubic = Cli({"thermal", rtd_, "--order", "3", "--json", "--no-rate-term"});
  ASSERT_EQ(cubic.code, ExitOk);
  EXPECT_LT(std::fabs(JsonValue(cubic.out, "b3")), 4 * JsonValue(cubic.out, "b3_se"));
  EXPECT_TRUE(std::isnan(JsonValue(cubic.out, "c")));
  EXPECT_NEAR(JsonValue(cubic.out, "hysteresis_deg_h"), 2 * c, 3 * JsonValue(cubic.out, "hysteresis_deg_h_se"));
}

TEST_F(CliThermal, RefusalsAndExitCodes) {
  // 0.5 deg C of change: NAN/null figures, a message, exit 1.
  WriteRun(rtd_, 6000, 10, [](double t) { return 20 + t / 1200; }, [](double, double T) { return T; });
  const Result r = Cli({"thermal", rtd_, "--json"});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.out.find("\"b1\": null"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("less than 1 \u00B0C"), std::string::npos) << r.err;
  EXPECT_NE(Cli({"thermal", rtd_}).out.find("b1 NAN"), std::string::npos);
  struct Case {
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {{"thermal", rtd_, "--order", "4"}, ExitUsage},
      {{"thermal", rtd_, "--average", "0"}, ExitUsage},
      {{"thermal", tmp_.File("missing.rtd")}, ExitFailure},
      {{"warmup", rtd_, "--window", "-1"}, ExitUsage},
      {{"warmup", rtd_, "--window", "1000"}, ExitFailure},  // span of 600 s
      {{"repeat"}, ExitUsage},
  };
  for (const Case& c : cases) EXPECT_EQ(Cli(c.args).code, c.code) << c.args[0] << " " << c.args.back();
}

TEST_F(CliThermal, WarmupOfAnExponentialSettling) {
  // 7 + 3 e^(-t/500) deg/h: within 0.1 of 7 from t = 500 ln 30 = 1700.6 s.
  WriteRun(rtd_, 60000, 10, [](double) { return 25; },
           [](double t, double) { return 7 + 3 * std::exp(-t / 500); });
  Result r = Cli({"warmup", rtd_, "--json"});
  ASSERT_EQ(r.code, ExitOk) << r.err;
  const double analytic = 500 * std::log(30.0);
  EXPECT_GE(JsonValue(r.out, "warmup_s"), analytic - 1);
  EXPECT_LE(JsonValue(r.out, "warmup_s"), analytic + 100);
  EXPECT_NEAR(JsonValue(r.out, "final_deg_h"), 7, 1e-3);
  EXPECT_GT(JsonValue(r.out, "excursion_deg_h"), 2.5);
  EXPECT_NEAR(JsonValue(r.out, "warmup_fit_s"), analytic, 1);
  EXPECT_NEAR(JsonValue(r.out, "tau_s"), 500, 0.5);
  r = Cli({"warmup", rtd_, "--window", "10", "--band", "1"});
  ASSERT_EQ(r.code, ExitOk);
  // 500 ln 3 = 549.3 s, 10 s window.
  const double t = std::strtod(r.out.c_str() + r.out.find("warmup ") + 7, nullptr);
  EXPECT_TRUE(t >= 548 && t <= 560) << r.out;
  EXPECT_NE(r.out.find("\ntau "), std::string::npos) << r.out;
  // Still drifting at the end: no time, exit 1, the reason on standard error.
  WriteRun(rtd_, 60000, 10, [](double) { return 25; }, [](double t, double) { return 7 + t / 600; });
  r = Cli({"warmup", rtd_});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.out.find("warmup NAN s\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("not settled: the last quarter of the span changes by"), std::string::npos) << r.err;
}

TEST_F(CliThermal, RepeatabilityOfRunsWithKnownBiases) {
  // Biases k x 3.515625 deg/h (k/1024 deg/s, exact in binary) with an
  // alternating +-1/1024 deg/s on top (mean zero over the even count); the
  // first 100 s of each run sits 50 deg/h off and is skipped.
  struct Run {
    const char* file;
    const char* ident;
    int k;
  } runs[] = {{"a1.rtd", "VRDT40-000.001-00001", 10}, {"b1.rtd", "VRDT40-000.002-00002", -4},
              {"a2.rtd", "VRDT40-000.001-00001", 12}, {"a3.rtd", "VRDT40-000.001-00001", 14},
              {"b2.rtd", "VRDT40-000.002-00002", -3}};
  std::vector<std::string> args = {"repeat", "--skip", "99.95", "--json"};
  for (const Run& run : runs) {
    Bytes b = RecordingHeader(10.0f, run.ident);
    for (int i = 1; i <= 4000; ++i) {
      const float t = static_cast<float>(i) / 10;
      const float rate = t < 100 ? 50.0f / 3600 : static_cast<float>(run.k + (i % 2 ? 1 : -1)) / 1024;
      AddRecord(b, t, rate, 25);
    }
    WriteBytes(tmp_.File(run.file), b);
    args.push_back(tmp_.File(run.file));
  }
  Result r = Cli(args);
  ASSERT_EQ(r.code, ExitOk) << r.err;
  // Device A: 10, 12, 14 -> mean 12, sample sd 2; device B: -4, -3 -> -3.5, sd sqrt(1/2).
  const std::size_t devices = r.out.find("\"devices\"");
  const std::size_t b = r.out.find("VRDT40-000.002-00002", devices);
  EXPECT_EQ(JsonValue(r.out, "runs", devices), 3);
  EXPECT_EQ(JsonValue(r.out, "mean_deg_h", devices), 12 * 3.515625);
  EXPECT_EQ(JsonValue(r.out, "repeatability_deg_h", devices), 2 * 3.515625);
  EXPECT_EQ(JsonValue(r.out, "runs", b), 2);
  EXPECT_EQ(JsonValue(r.out, "mean_deg_h", b), -3.5 * 3.515625);
  EXPECT_NEAR(JsonValue(r.out, "repeatability_deg_h", b), std::sqrt(0.5) * 3.515625, 1e-12);
  EXPECT_NEAR(JsonValue(r.out, "begin_s"), 100.05, 1e-6);  // first record + skip
  // An unreadable recording is named and skipped: exit 1 at the end, the rest reported.
  args.push_back(tmp_.File("missing.rtd"));
  args.erase(args.begin() + 3);  // text form
  r = Cli(args);
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_NE(r.err.find("missing.rtd"), std::string::npos) << r.err;
  // Interval of the sample deviation s with 2 degrees of freedom, where the
  // chi-square quantile is -2 ln(1 - p): s / sqrt(-ln(1 - p)) at p = 0.8415, 0.1585.
  const double s = 7.03125, lo = s / std::sqrt(-std::log(0.1585)), hi = s / std::sqrt(-std::log(0.8415));
  const std::size_t row = r.out.find("VRDT40-000.001-00001\t3\t42.1875\t7.03125\t");
  ASSERT_NE(row, std::string::npos) << r.out;
  const std::vector<std::string> cells = Split(r.out.substr(row, r.out.find('\n', row) - row), '\t');
  EXPECT_NEAR(std::strtod(cells[4].c_str(), nullptr), lo, 1e-6 * s);
  EXPECT_NEAR(std::strtod(cells[5].c_str(), nullptr), hi, 1e-6 * s);
  EXPECT_NE(r.out.find("# repeatability: sample standard deviation (n - 1)"), std::string::npos);
}

TEST_F(CliThermal, RepeatRunsAtDifferentTemperaturesAndPaddedIdentifications) {
  // One unit named with and without trailing blanks, its runs at 25 and 28 deg C.
  std::vector<std::string> args = {"repeat", "--json"};
  const char* idents[] = {"VRDT40-000.001-00001", "VRDT40-000.001-00001   "};
  for (int k = 0; k < 2; ++k) {
    args.push_back(tmp_.File("run" + std::to_string(k) + ".rtd"));
    WriteRun(args.back(), 1000, 10, [k](double) { return 25 + 3 * k; }, [k](double, double) { return 3.515625 * k; },
             idents[k]);
  }
  Result r = Cli(args);
  ASSERT_EQ(r.code, ExitOk) << r.err;
  EXPECT_EQ(JsonValue(r.out, "runs", r.out.find("\"devices\"")), 2);
  EXPECT_EQ(JsonValue(r.out, "temperature_c", r.out.find("run1.rtd")), 28);
  EXPECT_EQ(JsonValue(r.out, "temperature_spread_c"), 3);
  EXPECT_NE(r.err.find("differ by 3 \u00B0C in mean temperature (more than 2 \u00B0C)"), std::string::npos) << r.err;
  // Within an allowed 3 deg C: no warning.
  args.insert(args.begin() + 1, {"--temperature-spread", "3"});
  EXPECT_EQ(Cli(args).err, "");
}

}  // namespace
