// The rate-table test as `ratelog-cli scalefactor` computes it.
//   BM_ScaleFactorHour1kHz: a one-hour staircase at 1 kHz (3.6 million
//     records): reading the recording, the plateau detection snapped to the
//     commanded rates and the figures.
//   BM_ScaleFactorValidation: 400 simulated staircases with known K,
//     asymmetry and bias (100 Hz, 1 s transitions, 6 s plateaus, white
//     noise): how often each figure's +-1 standard error holds the truth
//     (about 0.68 expected), the mean error in standard errors, and the
//     plateaus missed or invented by the detection without --rates.
//   BM_PositionsValidation: 400 simulated tumbles (8 positions of 10 min
//     at 10 Hz, white noise 0.5 deg/h, latitude 48 deg) and four-position
//     tests: coverage of the +-1 standard error of K, bias and latitude.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "files/Recording.h"
#include "processing/Positions.h"
#include "processing/ScaleFactor.h"
#include "processing/Thermal.h"
#include "sim/RateTable.h"

namespace {

const std::vector<double> kRates = {0, 1, -1, 2, -2, 5, -5, 10, -10, 20, -20, 50, -50, 100, -100, 200, -200};

// The built-in staircase with plateaus of `dwell` s at `hz`, read through
// `table`'s model with white noise of `noise` deg/s and a bias in deg/h.
void Staircase(TRateTable& table, double dwell, double hz, double noise, double biasDegH, std::uint64_t seed,
               const std::function<void(const SamplePoint&)>& put) {
  table.SetSteps(BuiltInStaircase(dwell));
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, noise);
  const double end = table.Knots.back().first;
  for (std::int64_t i = 1; i / hz <= end; ++i) {
    const double t = static_cast<double>(i) / hz;
    put({static_cast<float>(t),
         static_cast<float>(table.Output(table.RateAt(t), 25.0) + biasDegH / 3600 + g(rng)), 25.0f});
  }
}

const std::string& HourRecording() {
  static const std::string path = [] {
    const std::string p = "/tmp/ratelog-bench-staircase-hour.rtd";
    TRateTable table;
    table.K = 1.0002;
    table.AsymmetryPpm = 30;
    const std::int64_t records = 3600 * 1000;
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0 && st.st_size == rtd::HeaderSize + records * 12) return p;
    const int fd = ::open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) std::abort();
    std::vector<std::uint8_t> header(rtd::HeaderSize, 0);
    std::memcpy(header.data(), "VRDT40-123.456-00042", 20);
    const float sample = 1000.0f;
    std::memcpy(header.data() + rtd::SampleOffset, &sample, 4);
    if (::write(fd, header.data(), header.size()) < 0) std::abort();
    std::vector<SamplePoint> all;
    all.reserve(records);
    // 18 plateaus of 199 s and 17 changes of 1 s: one hour.
    Staircase(table, 199.0, 1000.0, 0.005, 5.0, 1, [&](const SamplePoint& s) { all.push_back(s); });
    all.resize(records, all.back());
    if (::write(fd, all.data(), all.size() * sizeof(SamplePoint)) < 0) std::abort();
    ::close(fd);
    return p;
  }();
  return path;
}

void BM_ScaleFactorHour1kHz(benchmark::State& state) {
  const std::string& path = HourRecording();
  double k = 0, plateaus = 0;
  for (auto _ : state) {
    std::vector<SamplePoint> records;
    std::string error;
    if (!ReadSpanRecords(path, -1e30, 1e30, records, error)) state.SkipWithError(error.c_str());
    TPlateauOptions options;
    options.Rates = kRates;
    const TScaleFactorResult r = ComputeScaleFactor(DetectPlateaus(records, options), TSite{});
    if (!r.Valid) state.SkipWithError(r.Message.c_str());
    k = r.K;
    plateaus = static_cast<double>(r.Plateaus.size());
  }
  state.counters["records"] = 3.6e6;
  state.counters["k"] = k;
  state.counters["plateaus"] = plateaus;
}
BENCHMARK(BM_ScaleFactorHour1kHz)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_ScaleFactorValidation(benchmark::State& state) {
  const int runs = 400;
  for (auto _ : state) {
    int kIn = 0, asymIn = 0, biasIn = 0, nlIn = 0, missed = 0, extra = 0, runsUsed = 0;
    double kZ = 0, asymZ = 0;
    std::mt19937_64 draw(99);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int run = 0; run < runs; ++run) {
      TRateTable table;
      table.K = 1 + 5e-4 * u(draw);
      table.AsymmetryPpm = 40 + 20 * u(draw);
      const double bias = 5 + 3 * u(draw);
      std::vector<SamplePoint> rec;
      Staircase(table, 6.0, 100.0, 0.002, bias, static_cast<std::uint64_t>(run) + 1,
                [&](const SamplePoint& s) { rec.push_back(s); });
      const std::vector<TPlateau> own = DetectPlateaus(rec, TPlateauOptions{});
      missed += std::max<int>(0, 18 - static_cast<int>(own.size()));
      extra += std::max<int>(0, static_cast<int>(own.size()) - 18);
      TPlateauOptions options;
      options.Rates = kRates;
      const TScaleFactorResult r = ComputeScaleFactor(DetectPlateaus(rec, options), TSite{});
      if (!r.Valid) continue;
      ++runsUsed;
      kIn += std::fabs(r.K - table.K) <= r.KSe;
      kZ += (r.K - table.K) / r.KSe;
      asymIn += std::fabs(r.AsymmetryPpm - table.AsymmetryPpm) <= r.AsymmetrySe;
      asymZ += (r.AsymmetryPpm - table.AsymmetryPpm) / r.AsymmetrySe;
      biasIn += std::fabs(r.BiasDegH - bias / table.K) <= r.BiasSe;
      // No true nonlinearity beyond the asymmetry: the two-slope model's
      // largest residual against the plateau noise.
      nlIn += r.NonlinearityAsymPpmFs <= 3 * r.NonlinearitySe;
    }
    const double n = runsUsed;
    state.counters["runs"] = n;
    state.counters["k_coverage"] = kIn / n;
    state.counters["k_mean_z"] = kZ / n;
    state.counters["asym_coverage"] = asymIn / n;
    state.counters["asym_mean_z"] = asymZ / n;
    state.counters["bias_coverage"] = biasIn / n;
    state.counters["two_slope_nl_within_3se"] = nlIn / n;
    state.counters["plateaus_missed"] = missed;
    state.counters["plateaus_extra"] = extra;
  }
}
BENCHMARK(BM_ScaleFactorValidation)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_PositionsValidation(benchmark::State& state) {
  constexpr double kDeg = 3.14159265358979323846 / 180;
  for (auto _ : state) {
    int kIn = 0, biasIn = 0, latIn = 0, fourKIn = 0, fourBiasIn = 0;
    const int runs = 400;
    std::mt19937_64 rng(7);
    std::normal_distribution<double> g(0, 0.5);
    auto position = [&](double degH) {
      std::vector<SamplePoint> rec(6000);
      for (std::size_t i = 0; i < rec.size(); ++i)
        rec[i] = {static_cast<float>(i) / 10, static_cast<float>((degH + g(rng)) / 3600), 25};
      return MeasurePosition(rec);
    };
    const double k = 1.0002, bias = 2.5, lat = 48;
    for (int run = 0; run < runs; ++run) {
      std::vector<TPosition> tumble, four;
      for (int i = 0; i < 8; ++i) tumble.push_back(position(k * (kEarthRateDegH * std::cos((45.0 * i - lat) * kDeg) + bias)));
      for (double h : {0.0, 90.0, 180.0, 270.0})
        four.push_back(position(k * (kEarthRateDegH * std::cos(lat * kDeg) * std::cos(h * kDeg) + bias)));
      const TPositionsResult t = ComputePositions(TPositionTest::Tumble, tumble, NAN);
      const TPositionsResult f = ComputePositions(TPositionTest::Four, four, lat);
      kIn += std::fabs(t.K - k) <= t.KSe;
      biasIn += std::fabs(t.BiasDegH - bias) <= t.BiasSe;
      latIn += std::fabs(t.LatitudeDeg - lat) <= t.LatitudeSe;
      fourKIn += std::fabs(f.K - k) <= f.KSe;
      fourBiasIn += std::fabs(f.BiasDegH - bias) <= f.BiasSe;
    }
    state.counters["tumble_k_coverage"] = kIn / double(runs);
    state.counters["tumble_bias_coverage"] = biasIn / double(runs);
    state.counters["tumble_latitude_coverage"] = latIn / double(runs);
    state.counters["four_k_coverage"] = fourKIn / double(runs);
    state.counters["four_bias_coverage"] = fourBiasIn / double(runs);
  }
}
BENCHMARK(BM_PositionsValidation)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
