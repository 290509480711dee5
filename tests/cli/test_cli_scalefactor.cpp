// ratelog-cli scalefactor and positions on recordings of the virtual
// gyroscope turned on its rate table with a known scale-factor model, and
// the refusals and exit codes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <random>
#include <regex>
#include <string>

#include "common/CliRun.h"
#include "common/TestFiles.h"
#include "processing/ScaleFactor.h"
#include "sim/DeviceModel.h"
#include "sim/RateTable.h"

namespace {

// What the virtual gyroscope streams at 100 Hz on the built-in staircase
// (10 s plateaus) with model `sf`, Earth rate 11.78 deg/h along its axis,
// bias 2 deg/h, written as a recording.
void Simulate(const std::string& path, const std::string& sf, const char* chamber = nullptr) {
  TDeviceConfig c;
  c.TriggerMode = true;
  c.FreqImpulse = 100;
  c.TrigMask = {true, false, true};
  std::string error;
  c.RateTable = MakeRateTable("staircase", sf, error);
  ASSERT_TRUE(c.RateTable) << error;
  if (chamber) {
    ASSERT_TRUE(ParseTempProfile(chamber, c, error)) << error;
  }
  TDeviceModel model(c);
  Bytes b = RecordingHeader(100);
  model.OnSample = [&](const TDeviceSample& s) { AddRecord(b, s.Time, s.Rate, s.Temperature); };
  model.StartStreaming(0);
  for (double t = 0; t < 198; t += 1) {
    model.AdvanceTo(t);
    std::vector<std::uint8_t> drained;
    model.Take(drained);
  }
  WriteBytes(path, b);
}

class CliScaleFactor : public ::testing::Test {
 protected:
  // No per-user site file and no results store but the test's own.
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", tmp_.Path().c_str(), 1); }
  // The figures of the one test the results store `db` holds of the unit.
  std::string OnlyStoredTest(const std::string& db) {
    const Result h = Cli({"db", "history", "VRDT40-123.456-00042", "--db", db});
    EXPECT_EQ(h.code, ExitOk) << h.err;
    EXPECT_EQ(h.out.find("Command\t", h.out.find("Command\t") + 1), std::string::npos) << h.out;
    return h.out;
  }
  TTempDir tmp_;
  TScopedEnv data_{"XDG_DATA_HOME", tmp_.File("data")};
  std::string rtd_ = tmp_.File("table.rtd");
};

TEST_F(CliScaleFactor, RecoversTheVirtualGyroscopesScaleFactorModel) {
  // K 1.0003, asymmetry 40 ppm: the line's largest residual (at 200 deg/s)
  // is 20 ppm x (200 - 776/18) of 200 deg/s, the two-slope model's nothing.
  Simulate(rtd_, "1.0003:40");
  const std::string db = tmp_.File("results.sqlite");
  Result r = Cli({"scalefactor", rtd_, "--json", "--rates", "0,1,-1,2,-2,5,-5,10,-10,20,-20,50,-50,100,-100,200,-200",
                  "--latitude", "51.5", "--db", db});
  ASSERT_EQ(r.code, ExitOk) << r.err;
  EXPECT_TRUE(Has(r.err, "1 result stored in ")) << r.err;
  auto within = [&](const char* name, double truth, double slack = 0) {
    const double v = JsonValue(r.out, name), se = JsonValue(r.out, std::string(name) + "_se");
    EXPECT_NEAR(v, truth, 4 * se + slack) << name << " \u00B1 " << se;
  };
  within("scale_factor", 1.0003);
  within("asymmetry_ppm", 40);
  within("k_plus", 1.0003 * (1 + 20e-6));
  within("bias_deg_h", (2 + 11.78) / 1.0003);
  within("nonlinearity_ppm_fs", 20 * (200 - 776.0 / 18) / 200);
  EXPECT_LT(JsonValue(r.out, "nonlinearity_two_slope_ppm_fs"), 2.0);
  EXPECT_NEAR(JsonValue(r.out, "bias_earth_corrected_deg_h"),
              JsonValue(r.out, "bias_deg_h") - kEarthRateDegH * std::sin(51.5 * M_PI / 180), 1e-9);
  EXPECT_EQ(Split(r.out, '{').size(), 2u + 18);  // the object and 18 plateaus
  // The text names each figure's definition and the same plateaus.
  r = Cli({"scalefactor", rtd_, "--drop", "18", "--db", db, "--no-store"});
  ASSERT_EQ(r.code, ExitOk) << r.err;
  EXPECT_NE(r.out.find("it includes the asymmetry"), std::string::npos);
  EXPECT_NE(r.out.find("18 (dropped)\t0\t"), std::string::npos) << r.out;
  // The store holds the first run's figures, named and rounded as the
  // report's, with the options that shaped them.
  EXPECT_TRUE(InOrder(OnlyStoredTest(db), {"Command\tscalefactor", "Settings\t--latitude=51.5; --rates=0,1,-1",
                                           "Figure\tsf\t1.000", "E-", "Figure\tsf_asymmetry_ppm\t",
                                           "Figure\tsf_nonlinearity_two_slope_ppm\t"}));

  // The same plateaus from the staircase's profile, aligned by its edges.
  std::string profile = "# built-in staircase\n";
  for (const TProfileStep& p : BuiltInStaircase(10)) profile += std::to_string(p.Rate) + " 10\n";
  WriteBytes(tmp_.File("stair.txt"), Bytes(profile.begin(), profile.end()));
  r = Cli({"scalefactor", rtd_, "--json", "--profile", tmp_.File("stair.txt"), "--guard", "2"});
  ASSERT_EQ(r.code, ExitOk) << r.err;
  within("scale_factor", 1.0003);
  EXPECT_EQ(Split(r.out, '{').size(), 2u + 18);
  EXPECT_NEAR(JsonValue(r.out, "records"), 790, 5);  // 10 s less the 2 s guard and 0.1 s before the next change

  // Quadratic 0.05 ppm per deg/s: mean W^2 = 2 x 53030 / 18.
  Simulate(rtd_, "0.9998:0:0.05");
  r = Cli({"scalefactor", rtd_, "--json"});
  within("nonlinearity_ppm_fs", 0.05 * (40000 - 2 * 53030.0 / 18) / 200);
  // 30 ppm/deg C in a chamber ramp 20 -> 40 deg C over the run, and a
  // second run: the repeatability of K over the two.
  const std::string second = tmp_.File("second.rtd");
  Simulate(second, "1:0:0:30", "ramp:20:40:6");
  r = Cli({"scalefactor", second, "--json"});
  within("tc_ppm_per_c", 30, 1.0);
  const std::string both = tmp_.File("both.sqlite");
  r = Cli({"scalefactor", rtd_, second, "--db", both});
  EXPECT_NE(r.out.find("repeatability "), std::string::npos);
  // Each run stored with the repeatability over the two.
  EXPECT_TRUE(Has(r.err, "2 results stored in ")) << r.err;
  const Result h = Cli({"db", "history", "VRDT40-123.456-00042", "--db", both});
  const std::regex repeatability("Figure\tsf_repeatability_ppm\t[0-9]");
  EXPECT_EQ(std::distance(std::sregex_iterator(h.out.begin(), h.out.end(), repeatability), std::sregex_iterator()), 2)
      << h.out;
}

TEST_F(CliScaleFactor, PositionsAndRefusals) {
  // A tumble in 6 positions at latitude 40: K 1, bias 3 deg/h, white noise.
  std::vector<std::string> args = {"positions"};
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0, 0.5);
  for (int k = 0; k < 6; ++k) {
    Bytes b = RecordingHeader(10);
    const double along = kEarthRateDegH * std::cos((60.0 * k - 40.0) * M_PI / 180);
    for (int i = 1; i <= 36000; ++i) AddRecord(b, i / 10.0f, static_cast<float>((along + 3 + noise(rng)) / 3600), 25);
    args.push_back(tmp_.File("p" + std::to_string(k) + ".rtd"));
    WriteBytes(args.back(), b);
  }
  args.insert(args.end(), {"--test", "tumble", "--json"});
  Result r = Cli(args);
  ASSERT_EQ(r.code, ExitOk) << r.err;
  EXPECT_NEAR(JsonValue(r.out, "latitude_deg"), 40, 4 * JsonValue(r.out, "latitude_deg_se"));
  EXPECT_NEAR(JsonValue(r.out, "bias_deg_h"), 3, 4 * JsonValue(r.out, "bias_deg_h_se"));
  EXPECT_NE(r.out.find("only to about 1e-4"), std::string::npos);
  // Stored in the default store, one test on the first position's recording
  // that names the others with their digests.
  const std::string stored = OnlyStoredTest(tmp_.File("data/ratelog/results.sqlite"));
  EXPECT_TRUE(InOrder(stored, {"Command\tpositions", "Recording\t" + args[1], "Settings\tTest=tumble; Position 1=" +
                                   args[1] + "; Position 2=" + args[2] + " SHA-256 "}));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(stored, m, std::regex("Figure\tpositions_latitude_deg\t([-0-9.eE+]+)\t([-0-9.eE+]+)")))
      << stored;
  EXPECT_NEAR(std::stod(m[1]), JsonValue(r.out, "latitude_deg"), 1e-6);
  EXPECT_NEAR(std::stod(m[2]), JsonValue(r.out, "latitude_deg_se"), 1e-6);

  const std::string missing = tmp_.File("missing.rtd");
  for (const auto& [argv, code] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"scalefactor"}, ExitUsage},
           {{"scalefactor", rtd_, "--rates", "1,x"}, ExitUsage},
           {{"scalefactor", rtd_, "--guard", "-1"}, ExitUsage},
           {{"scalefactor", missing}, ExitFailure},
           {{"scalefactor", rtd_, "--profile", missing}, ExitFailure},
           {{"positions", args[1], args[2], args[3], args[4], "--test", "four"}, ExitUsage},
           {{"positions", args[1], "--test", "updown", "--latitude", "40"}, ExitFailure},
           {{"positions", args[1], "--test", "spin"}, ExitUsage}})
    EXPECT_EQ(Cli(argv).code, code) << argv[0] << " " << argv.back();

  // The same tumble as one recording: the gyroscope turned at 30 deg/s for
  // 3 s between positions. Each position loses its guard second only.
  Bytes one = RecordingHeader(10);
  float t = 0;
  for (int k = 0; k < 6; ++k) {
    const double along = kEarthRateDegH * std::cos((60.0 * k - 40.0) * M_PI / 180);
    for (int i = 0; i < 36000; ++i) AddRecord(one, t += 0.1f, static_cast<float>((along + 3 + noise(rng)) / 3600), 25);
    for (int i = 0; k < 5 && i < 30; ++i) AddRecord(one, t += 0.1f, 30.0f, 25);
  }
  WriteBytes(rtd_, one);
  r = Cli({"positions", rtd_, "--plateaus", "--test", "tumble", "--json"});
  ASSERT_EQ(r.code, ExitOk) << r.err;
  EXPECT_EQ(Split(r.out, '{').size(), 2u + 6);
  EXPECT_NEAR(JsonValue(r.out, "latitude_deg"), 40, 4 * JsonValue(r.out, "latitude_deg_se"));
  EXPECT_NEAR(JsonValue(r.out, "records"), 35990, 1);
  r = Cli({"positions", rtd_, "--plateaus", "--test", "four", "--latitude", "40"});
  EXPECT_EQ(r.code, ExitFailure);
  EXPECT_TRUE(Has(r.err, "6 positions at rest found, the four test takes 4")) << r.err;
  EXPECT_EQ(Cli({"positions", rtd_, args[1], "--plateaus", "--test", "tumble"}).code, ExitUsage);
}

#ifdef RATELOG_REPORT
TEST_F(CliScaleFactor, ReportAndBatchJudgeTheScaleFactorFigures) {
  // Two runs of K 1.0003 and 1.0001: 1 sigma of K over them is
  // 0.0002 / sqrt(2) / 1.0002 = 141.39 ppm. A third unit at rest.
  const std::string second = tmp_.File("second.rtd"), rest = tmp_.File("rest.rtd");
  Simulate(rtd_, "1.0003:40");
  Simulate(second, "1.0001:40");
  Bytes b = RecordingHeader(10);
  for (int i = 1; i <= 3000; ++i) AddRecord(b, i / 10.0f, static_cast<float>(std::sin(i) * 1e-3), 25);
  WriteBytes(rest, b);
  const std::string rates = "0,1,-1,2,-2,5,-5,10,-10,20,-20,50,-50,100,-100,200,-200";

  // At rest alone: no rate-table test, no scale-factor columns, and a limit
  // on sf cannot be judged.
  Result r = Cli({"batch", rest, "--limit", "sf<=2", "--no-store", "--json"});
  EXPECT_EQ(r.code, ExitIncomplete) << r.err;
  EXPECT_FALSE(Has(r.out, "sf_asymmetry_ppm")) << r.out;

  r = Cli({"batch", rtd_, second, rest, "--no-store", "--json", "--limit", "sf_repeatability_ppm<=141.3",
           "--limit", "sf_asymmetry_ppm<=60"});
  EXPECT_EQ(r.code, ExitLimitsFailed) << r.err;
  const std::size_t runs = r.out.find("\"scale_factor_runs\"");
  ASSERT_NE(runs, std::string::npos) << r.out;
  EXPECT_EQ(JsonValue(r.out, "runs", runs), 2);
  EXPECT_NEAR(JsonValue(r.out, "sf_repeatability_ppm", runs), 141.39, 3);
  EXPECT_NEAR(JsonValue(r.out, "sf"), 1.0003, 2e-5);
  EXPECT_TRUE(InOrder(r.out, {"null, \"result\": \"FAIL\"", "null, \"result\": \"FAIL\"", "null, \"result\": \"INCOMPLETE\""}));
  EXPECT_TRUE(Has(r.out, "\"limit\": \"sf_asymmetry_ppm<=60\", \"measured\": 4")) << r.out;

  // The report of one run: the line's nonlinearity holds the asymmetry
  // (20 ppm x (200 - 776/18) / 200 = 15.69), the asymmetric model's does
  // not; no repeatability from one run.
  r = Cli({"report", rtd_, "--out", tmp_.File("r.pdf"), "--no-store", "--scalefactor-rates", rates, "--limit",
           "sf_nonlinearity_ppm<=15", "--limit", "sf_nonlinearity_two_slope_ppm<=2", "--limit",
           "sf_repeatability_ppm<=500"});
  EXPECT_EQ(r.code, ExitLimitsFailed) << r.err;
  EXPECT_TRUE(InOrder(r.out, {"sf_nonlinearity_ppm<=15\t15.", "FAIL", "sf_nonlinearity_two_slope_ppm<=2\t", "PASS",
                              "sf_repeatability_ppm<=500\tNAN\tINCOMPLETE"}))
      << r.out;
  // The page: the figures by their limit names, the plateaus, the plot.
  const auto text = [](const std::string& pdf) {
    std::string page;
    if (FILE* pipe = ::popen(("pdftotext -layout '" + pdf + "' - 2>&1").c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) page.append(buffer, n);
      ::pclose(pipe);
    }
    return page;
  };
  std::string page = text(tmp_.File("r.pdf"));
  EXPECT_TRUE(InOrder(page, {"Scale factor (rate-table test)", "snapped to the commanded rates given",
                             "Asymmetry", "sf_asymmetry_ppm", "ppm of reading", "-200",
                             "Residual from the line, ppm of full scale", "Limits"}))
      << page;
  // The figure printed to its standard error's two digits, and judged as printed.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(page, m, std::regex(R"(sf_nonlinearity_ppm +([0-9.]+) +(0\.0*[1-9][0-9]) )"))) << page;
  EXPECT_EQ(m[1].str().size() - m[1].str().find('.'), m[2].str().size() - m[2].str().find('.')) << m[0];
  EXPECT_TRUE(Has(r.out, "sf_nonlinearity_ppm<=15\t" + m[1].str() + "\tFAIL")) << r.out;

  // Both runs in one report, their plateaus from the staircase's profile,
  // the Earth rate from the site's latitude: each unit's page holds the
  // repeatability over the two runs with its interval, and says where its
  // plateaus and Earth rate came from.
  std::string profile;
  for (const TProfileStep& p : BuiltInStaircase(10)) profile += std::to_string(p.Rate) + " 10\n";
  WriteBytes(tmp_.File("stair.txt"), Bytes(profile.begin(), profile.end()));
  r = Cli({"report", rtd_, second, "--out", tmp_.File("both.pdf"), "--no-store", "--scalefactor-profile",
           tmp_.File("stair.txt"), "--scalefactor-guard", "2", "--latitude", "51.5", "--limit",
           "sf_repeatability_ppm>=138", "--limit", "sf_repeatability_ppm<=145"});
  EXPECT_EQ(r.code, ExitOk) << r.err << r.out;
  page = text(tmp_.File("both.pdf"));
  // 1 sigma of K over the runs as above; its interval from the chi-square
  // quantiles of one degree of freedom, the normal's squared:
  // 141.393 / 1.41013 and 141.393 / 0.19998.
  const std::vector<std::string> unit = {"stair.txt, guard 2 s.", "from latitude 51.5 deg, input axis 90 deg",
                                         "sf_repeatability_ppm", "141.393", "100.3 .. 707.1 ppm", "over the 2 runs"};
  std::vector<std::string> both = unit;
  both.insert(both.end(), unit.begin(), unit.end());
  EXPECT_TRUE(InOrder(page, both));

  // A chamber batch: three runs soaked at 20, 30 and 40 deg C with 30 ppm/deg C;
  // within a run the plateaus span no temperature, over the runs they do.
  std::vector<std::string> argv = {"batch", "--no-store", "--json", "--scalefactor-rates", rates};
  for (const char* soak : {"ramp:20:20:1", "ramp:30:30:1", "ramp:40:40:1"}) {
    argv.push_back(tmp_.File(std::string("soak") + soak[5] + ".rtd"));
    Simulate(argv.back(), "1:0:0:30", soak);
  }
  r = Cli(argv);
  ASSERT_EQ(r.code, ExitOk) << r.err;
  EXPECT_NEAR(JsonValue(r.out, "sf_tc_ppm_per_c"), 30, 1.5);
  EXPECT_NEAR(JsonValue(r.out, "sf_tc_runs_ppm_per_c"), 30, 1.5);

  // The results store keeps the figures with their standard errors.
  const std::string db = tmp_.File("results.sqlite");
  ASSERT_EQ(Cli({"batch", rtd_, "--db", db, "--scalefactor-rates", rates}).code, ExitOk);
  r = Cli({"db", "history", "VRDT40-123.456-00042", "--db", db});
  EXPECT_TRUE(InOrder(r.out, {"Figure\tsf\t1.000", "E-6", "Figure\tsf_asymmetry_ppm\t4"})) << r.out;
}
#endif

}  // namespace
