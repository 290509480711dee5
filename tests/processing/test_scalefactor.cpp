// The scale-factor core against certified regression data, hand-computed
// staircases and the Earth-rate geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "processing/Positions.h"
#include "processing/ScaleFactor.h"

namespace {

// Relative agreement to 12 significant digits.
void ExpectDigits(double got, double certified) {
  EXPECT_NEAR(got, certified, std::fabs(certified) * 1e-12) << "certified " << certified;
}

// The NIST StRD linear least-squares data sets Norris (y, x) and Pontius
// (y for x = 150000, 300000, ... 3000000, twice).
TEST(ScaleFactorFit, ReproducesTheCertifiedRegressions) {
  const double norris[36][2] = {
      {0.1, 0.2},     {338.8, 337.4}, {118.1, 118.2}, {888.0, 884.6}, {9.2, 10.1},
      {228.1, 226.5}, {668.5, 666.3}, {998.5, 996.3}, {449.1, 448.6}, {778.9, 777.0},
      {559.2, 558.2}, {0.3, 0.4},     {0.1, 0.6},     {778.1, 775.5}, {668.8, 666.9},
      {339.3, 338.0}, {448.9, 447.5}, {10.8, 11.6},   {557.7, 556.0}, {228.3, 228.1},
      {998.0, 995.8}, {888.8, 887.6}, {119.6, 120.2}, {0.3, 0.3},     {0.6, 0.3},
      {557.6, 556.8}, {339.3, 339.1}, {888.0, 887.2}, {998.5, 999.0}, {778.9, 779.0},
      {10.2, 11.1},   {117.6, 118.3}, {228.9, 229.2}, {668.4, 669.1}, {449.2, 448.9},
      {0.2, 0.5}};
  std::vector<double> x, y;
  for (const auto& p : norris) {
    y.push_back(p[0]);
    x.push_back(p[1]);
  }
  TPolyFit f = FitPolynomial(x, y, 1);
  ASSERT_TRUE(f.Valid);
  ExpectDigits(f.Coef[0], -0.262323073774029);
  ExpectDigits(f.Coef[1], 1.00211681802045);
  EXPECT_NEAR(f.Se[0], 0.232818234301152, 1e-10);
  EXPECT_NEAR(f.Se[1], 0.429796848199937e-3, 1e-13);
  EXPECT_NEAR(f.ResidualSd, 0.884796396144373, 1e-10);

  const double pontius[40] = {
      .11019, .21956, .32949, .43899, .54803, .65694, .76562, .87487, .98292, 1.09146,
      1.20001, 1.30822, 1.41599, 1.52399, 1.63194, 1.73947, 1.84646, 1.95392, 2.06128, 2.16844,
      .11052, .22018, .32939, .43886, .54798, .65739, .76596, .87474, .98300, 1.09150,
      1.20004, 1.30818, 1.41613, 1.52408, 1.63159, 1.73965, 1.84696, 1.95445, 2.06177, 2.16829};
  x.clear();
  y.assign(std::begin(pontius), std::end(pontius));
  for (int i = 0; i < 40; ++i) x.push_back(150000.0 * (i % 20 + 1));
  f = FitPolynomial(x, y, 2);
  ASSERT_TRUE(f.Valid);
  ExpectDigits(f.Coef[0], 0.673565789473684e-3);
  ExpectDigits(f.Coef[1], 0.732059160401003e-6);
  ExpectDigits(f.Coef[2], -0.316081871345029e-14);
  EXPECT_NEAR(f.Se[2] / 0.486652849992036e-16, 1.0, 1e-9);
}

// Noise-free plateaus of output = K W + K (a/2)|W| + q W^2 + F0.
std::vector<TPlateau> Staircase(double k, double asymmetry, double quadratic, double biasDegH) {
  std::vector<TPlateau> out;
  for (double w : {0., 1., -1., 2., -2., 5., -5., 10., -10., 20., -20., 50., -50., 100., -100., 200., -200.}) {
    TPlateau p;
    p.Rate = w;
    p.Output = k * w + k * asymmetry / 2 * std::fabs(w) + quadratic * w * w + biasDegH / 3600;
    p.OutputSe = 1e-6;
    p.Records = 1000;
    out.push_back(p);
  }
  return out;
}

TEST(ScaleFactor, AsymmetryIsNamedApartFromBiasAndNonlinearity) {
  // 50 ppm asymmetry, true bias 5 deg/h: the single line's intercept takes
  // K (a/2) mean|W| = 25e-6 * 776/17 deg/s, and its largest residual (at
  // 200 deg/s) is 25e-6 (200 - 776/17) of 200 deg/s.
  const TScaleFactorResult r = ComputeScaleFactor(Staircase(1.0, 50e-6, 0, 5.0), TSite{});
  ASSERT_TRUE(r.Valid) << r.Message;
  EXPECT_NEAR(r.K, 1.0, 1e-12);
  EXPECT_NEAR(r.InterceptDegH, 5.0 + 3600 * 25e-6 * 776 / 17, 1e-6);
  EXPECT_NEAR(r.BiasDegH, 5.0, 1e-6);
  EXPECT_NEAR(r.KPlus, 1 + 25e-6, 1e-12);
  EXPECT_NEAR(r.KMinus, 1 - 25e-6, 1e-12);
  EXPECT_NEAR(r.AsymmetryPpm, 50.0, 1e-6);
  EXPECT_NEAR(r.NonlinearityPpmFs, 25.0 * (200 - 776.0 / 17) / 200, 1e-6);
  EXPECT_LT(r.NonlinearityAsymPpmFs, 1e-6);
  EXPECT_NEAR(r.ResidualPpm[15], 25.0 * (200 - 776.0 / 17) / 200, 1e-6);  // +200 deg/s
  EXPECT_TRUE(std::isnan(r.ResidualPpm[0]));                              // 0 deg/s
}

TEST(ScaleFactor, QuadraticNonlinearityAndScaleFactor) {
  // q W^2 is even: the slope stays K, the intercept takes q mean(W^2) with
  // mean(W^2) = 2 * 53030 / 17, the largest residual is at full scale.
  const double q = 1e-7, meanSq = 2 * 53030.0 / 17;
  const TScaleFactorResult r = ComputeScaleFactor(Staircase(0.9995, 0, q, 0), TSite{});
  ASSERT_TRUE(r.Valid);
  EXPECT_NEAR(r.K, 0.9995, 1e-12);
  EXPECT_NEAR(r.NonlinearityPpmFs, q * (40000 - meanSq) / (0.9995 * 200) * 1e6, 1e-6);
  // Each direction's secant slope takes the curvature, in opposite senses.
  EXPECT_NEAR(r.KPlus + r.KMinus, 2 * 0.9995, 1e-12);
  EXPECT_GT(r.KPlus, r.KMinus);
}

TEST(ScaleFactor, TooFewPlateausAndTheEarthRate) {
  std::vector<TPlateau> two = Staircase(1, 0, 0, 0);
  two.resize(2);
  EXPECT_FALSE(ComputeScaleFactor(two, TSite{}).Valid);
  std::vector<TPlateau> dropped = Staircase(1, 0, 0, 0);
  for (std::size_t i = 1; i < dropped.size(); ++i) dropped[i].Used = i < 2;
  EXPECT_FALSE(ComputeScaleFactor(dropped, TSite{}).Valid);

  EXPECT_NEAR(kEarthRateDegH, 15.0411, 5e-5);
  TSite site;
  site.HasLatitude = true;
  site.Latitude = 50;  // axis up: Omega sin(phi)
  EXPECT_NEAR(EarthRateAlongAxis(site), 15.04107 * 0.766044443, 1e-4);
  site.Elevation = 0;  // horizontal, east: none
  site.Heading = 90;
  EXPECT_NEAR(EarthRateAlongAxis(site), 0.0, 1e-12);
  site.Heading = 180;  // horizontal, south: -Omega cos(phi)
  EXPECT_NEAR(EarthRateAlongAxis(site), -15.04107 * 0.64278761, 1e-4);
  const TScaleFactorResult r = ComputeScaleFactor(Staircase(1, 0, 0, 12.0), TSite{false, 0, 90, 0, 11.5});
  EXPECT_NEAR(r.BiasCorrectedDegH, 0.5, 1e-6);

  TSite parsed;
  std::string error;
  EXPECT_TRUE(ParseSite("latitude = 48.1 # Munich\naxis_elevation=0\naxis_heading=270\n", parsed, error));
  EXPECT_TRUE(parsed.HasLatitude);
  EXPECT_DOUBLE_EQ(parsed.Heading, 270);
  for (const char* bad : {"latitude=91", "latitude=", "height=3", "axis_heading=east"})
    EXPECT_FALSE(ParseSite(bad, parsed, error)) << bad;
}

TEST(ScaleFactor, RepeatabilityWithItsChiSquareInterval) {
  // s = 2 ppm on 2 degrees of freedom; the chi-square(2) quantile is
  // -2 ln(1 - p).
  const TScaleFactorRuns r = CompareRuns({1.0, 1.000002, 0.999998}, {20, 30, 40});
  EXPECT_NEAR(r.RepeatabilityPpm, 2.0, 1e-6);
  EXPECT_NEAR(r.RepeatabilityLo, 2.0 * std::sqrt(2 / (-2 * std::log(1 - 0.8415))), 1e-3);
  EXPECT_NEAR(r.RepeatabilityHi, 2.0 * std::sqrt(2 / (-2 * std::log(1 - 0.1585))), 1e-3);
  EXPECT_NEAR(r.TcPpmPerC, -0.1, 1e-6);  // slope -2e-5 / 200 deg C^2
  EXPECT_TRUE(std::isnan(CompareRuns({1.0}, {20}).RepeatabilityPpm));
}

// A recording of a staircase at 100 Hz: 1 s linear transitions, `dwell`
// seconds at each rate, white noise of 0.002 deg/s, bias 5 deg/h, K 1.0002;
// the table starts `start` seconds into the recording.
std::vector<SamplePoint> Recording(const std::vector<double>& rates, double dwell, double start,
                                   unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 0.002);
  std::vector<SamplePoint> out;
  std::vector<std::pair<double, double>> knots = {{0, 0}, {start, 0}};
  double t = start, prev = 0;
  for (double w : rates) {
    if (w != prev) knots.push_back({t += 1.0, w});
    knots.push_back({t += dwell, w});
    prev = w;
  }
  std::size_t k = 1;
  for (int i = 0; i / 100.0 <= t; ++i) {
    const double time = i / 100.0;
    while (k + 1 < knots.size() && knots[k].first < time) ++k;
    const auto [t0, w0] = knots[k - 1];
    const auto [t1, w1] = knots[k];
    const double w = t1 > t0 ? w0 + (w1 - w0) * std::clamp((time - t0) / (t1 - t0), 0.0, 1.0) : w1;
    out.push_back({static_cast<float>(time), static_cast<float>(1.0002 * w + 5.0 / 3600 + noise(rng)),
                   static_cast<float>(25 + time / 100)});
  }
  return out;
}

TEST(ScaleFactorPlateaus, DetectsEveryPlateauOfNoisyStaircases) {
  const std::vector<double> rates = {0, 1, -1, 2, -2, 5, -5, 10, -10, 20, -20, 50, -50, 100, -100, 200, -200, 0};
  for (unsigned seed : {1u, 2u, 3u}) {
    const std::vector<SamplePoint> rec = Recording(rates, 6.0, 3.0, seed);
    TPlateauOptions options;
    options.Rates = {0, 1, -1, 2, -2, 5, -5, 10, -10, 20, -20, 50, -50, 100, -100, 200, -200};
    int unmatched = -1;
    std::vector<TPlateau> found = DetectPlateaus(rec, options, &unmatched);
    ASSERT_EQ(found.size(), rates.size() + 0) << "seed " << seed;
    EXPECT_EQ(unmatched, 0);
    for (std::size_t i = 0; i < rates.size(); ++i) {
      EXPECT_EQ(found[i].Rate, rates[i]);
      EXPECT_NEAR(found[i].Records, i == 0 ? 790 : 480, 30) << i;
    }
    const TScaleFactorResult r = ComputeScaleFactor(found, TSite{});
    EXPECT_NEAR(r.K, 1.0002, 4 * r.KSe);
    EXPECT_NEAR(r.BiasDegH, 5.0, 4 * r.BiasSe);
    // Without --rates: the own means rounded to two significant digits.
    found = DetectPlateaus(rec, TPlateauOptions{});
    ASSERT_EQ(found.size(), rates.size());
    for (std::size_t i = 0; i < rates.size(); ++i) EXPECT_EQ(found[i].Rate, rates[i]);
  }
}

TEST(ScaleFactorPlateaus, ProfileIsAlignedByTheRateEdges) {
  const std::vector<double> rates = {0, 10, -10, 100, -100, 0};
  const std::vector<SamplePoint> rec = Recording(rates, 8.0, 12.5, 7);
  std::vector<TProfileStep> steps;
  std::string error;
  ASSERT_TRUE(ParseRateProfile("# rate dwell\n0 8\n10 8 10\n-10 8\n100 8\n-100 8 # last\n0 8\n", steps, error))
      << error;
  // 10 -> -10 with an acceleration given takes 2 s; the recording's took 1 s:
  // the profile says where the plateaus are, the edges say when it began.
  steps[1].Accel = 0;
  const std::vector<TPlateau> p = ProfilePlateaus(rec, steps, 2.0, error);
  ASSERT_EQ(p.size(), rates.size()) << error;
  // Profile time 0 is recording time 12.5; plateau 2 (-10) starts at
  // 8 + 1 + 8 + 1 = 18 s of the profile, used from 2 s later.
  EXPECT_NEAR(p[2].Begin, 12.5 + 18 + 2, 0.15);
  EXPECT_NEAR(p[2].End, 12.5 + 26, 0.15);
  EXPECT_EQ(p[3].Rate, 100);
  EXPECT_FALSE(ProfilePlateaus(rec, {{300, 5, 0}, {-300, 5, 0}}, 1.0, error).size());
  EXPECT_NE(error.find("0 of 2"), std::string::npos) << error;

  for (const char* bad : {"", "10\n", "10 0\n", "10 5 -1\n", "ten 5\n", "1 2 3 4\n"})
    EXPECT_FALSE(ParseRateProfile(bad, steps, error)) << bad;
}

// Outputs K (We . axis + B) of a gyroscope with K = 1.0001, bias 3 deg/h,
// at latitude 48 deg, each with a standard error of 0.01 deg/h.
TEST(Positions, EarthRateFormulasGiveBackScaleFactorBiasAndLatitude) {
  const double k = 1.0001, bias = 3.0, lat = 48.0, d = 3.14159265358979323846 / 180, we = 15.04106864;
  auto at = [&](double alongAxis) { return TPosition{k * (alongAxis + bias), 0.01, 1000}; };
  std::vector<TPosition> four;
  for (double h : {0.0, 90.0, 180.0, 270.0}) four.push_back(at(we * std::cos(lat * d) * std::cos((h + 0.5) * d)));
  TPositionsResult r = ComputePositions(TPositionTest::Four, four, lat);
  ASSERT_TRUE(r.Valid) << r.Message;
  EXPECT_NEAR(r.K, k * std::cos(0.5 * d), 1e-7);  // the heading error's cosine stays in K
  EXPECT_NEAR(r.MisalignmentDeg, 0.5, 1e-6);
  EXPECT_NEAR(r.BiasDegH, bias / std::cos(0.5 * d), 1e-5);
  EXPECT_NEAR(r.KSe, 0.01 * std::sqrt(2.0) / (2 * we * std::cos(lat * d)), 1e-9);

  r = ComputePositions(TPositionTest::UpDown, {at(we * std::sin(lat * d)), at(-we * std::sin(lat * d))}, lat);
  EXPECT_NEAR(r.K, k, 1e-7);
  EXPECT_NEAR(r.BiasDegH, bias, 1e-6);
  EXPECT_NEAR(r.BiasSe, 0.01 * std::sqrt(2.0) / (2 * k), 1e-9);

  std::vector<TPosition> tumble;
  for (int i = 0; i < 8; ++i) tumble.push_back(at(we * std::cos((45.0 * i - lat) * d)));
  r = ComputePositions(TPositionTest::Tumble, tumble, std::nan(""));
  EXPECT_NEAR(r.K, k, 1e-7);
  EXPECT_NEAR(r.LatitudeDeg, lat, 1e-6);
  EXPECT_NEAR(r.BiasDegH, bias, 1e-6);

  EXPECT_FALSE(ComputePositions(TPositionTest::Four, tumble, lat).Valid);
  EXPECT_FALSE(ComputePositions(TPositionTest::UpDown, four, lat).Valid);
  EXPECT_FALSE(ComputePositions(TPositionTest::UpDown, {at(1), at(-1)}, std::nan("")).Valid);
  EXPECT_FALSE(ComputePositions(TPositionTest::Tumble, {at(1), at(-1)}, lat).Valid);

  // Mean and standard error of one position's records.
  std::vector<SamplePoint> rec(160, SamplePoint{0, 1.0f / 3600, 25});
  for (std::size_t i = 0; i < 10; ++i) rec[i].Rate = 2.0f / 3600;  // first block mean 2 deg/h
  const TPosition p = MeasurePosition(rec);
  EXPECT_NEAR(p.Mean, 1.0625, 1e-6);
  EXPECT_NEAR(p.Se, std::sqrt((0.9375 * 0.9375 + 15 * 0.0625 * 0.0625) / (16 * 15)), 1e-6);
}

}  // namespace
