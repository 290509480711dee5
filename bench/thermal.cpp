// The temperature model of a whole day at 100 Hz (8.64 million records) as
// `ratelog-cli thermal` computes it: reading the recording, the averaged
// blocks, the QR fit, the residuals at the record rate, the compensated
// rate and the Allan read-outs of the raw and the compensated rate.
// Also the fit alone on a day and on a week of 1 Hz records.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/Recording.h"
#include "processing/Thermal.h"

namespace {

constexpr std::int64_t kRecords = 24LL * 3600 * 100;

// Chamber cycles -40 -> +60 -> -40 deg C at 1 deg C/min through the day,
// bias 5 - 0.08 T + 0.0025 T^2 + 1.5 dT/dt deg/h with 3 deg/h white noise.
const std::string& ChamberDay() {
  static const std::string path = [] {
    const std::string p = "/tmp/ratelog-bench-chamber-day.rtd";
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0 && st.st_size == rtd::HeaderSize + kRecords * 12) return p;
    const int fd = ::open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) std::abort();
    std::vector<std::uint8_t> header(rtd::HeaderSize, 0);
    std::memcpy(header.data(), "VRDT40-123.456-00042", 20);
    const float sample = 100.0f;
    std::memcpy(header.data() + rtd::SampleOffset, &sample, 4);
    if (::write(fd, header.data(), header.size()) < 0) std::abort();
    std::mt19937_64 rng(1);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<SamplePoint> block(1 << 16);
    for (std::int64_t i = 0; i < kRecords;) {
      std::size_t n = 0;
      for (; n < block.size() && i < kRecords; ++n, ++i) {
        const double t = static_cast<double>(i + 1) * 0.01;
        const double phase = std::fmod(t, 12000.0);
        const bool up = phase < 6000;
        const double T = up ? -40 + phase / 60 : 60 - (phase - 6000) / 60;
        const double bias = 5 - 0.08 * T + 0.0025 * T * T + (up ? 1.5 : -1.5) + noise(rng);
        block[n] = {static_cast<float>(t), static_cast<float>(bias / 3600), static_cast<float>(T)};
      }
      if (::write(fd, block.data(), n * sizeof(SamplePoint)) < 0) std::abort();
    }
    ::close(fd);
    return p;
  }();
  return path;
}

void BM_ThermalCommandDay100Hz(benchmark::State& state) {
  const std::string& path = ChamberDay();
  double c = 0;
  for (auto _ : state) {
    std::vector<SamplePoint> records;
    std::string error;
    if (!ReadSpanRecords(path, -1e30, 1e30, records, error)) state.SkipWithError(error.c_str());
    const TThermalResult r = ComputeThermal(records, {});
    if (!r.Valid) state.SkipWithError(r.Message.c_str());
    c = r.C;
    benchmark::DoNotOptimize(r.B);
  }
  state.counters["records"] = static_cast<double>(kRecords);
  state.counters["c"] = c;
}
BENCHMARK(BM_ThermalCommandDay100Hz)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

namespace {

// A chamber recording at 1 Hz over `hours`: cycles -40 -> +60 -> -40 deg C
// at 1 deg C/min, the bias 5 - 0.08 T + 0.0025 T^2 + 0.3 dT/dt deg/h with
// 1 deg/h white noise, a bias wander (Gauss-Markov, 1000 s, 0.05 deg/h) and
// a slight rate random walk: the residuals' noise fit has all three terms
// to weigh.
std::vector<SamplePoint> ChamberAt1Hz(double hours) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> g(0.0, 1.0);
  const auto n = static_cast<std::int64_t>(hours * 3600);
  std::vector<SamplePoint> v(static_cast<std::size_t>(n));
  const double phi = std::exp(-1.0 / 1000);
  double wander = 0, walk = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i + 1);
    const double phase = std::fmod(t, 12000.0);
    const bool up = phase < 6000;
    const double T = up ? -40 + phase / 60 : 60 - (phase - 6000) / 60;
    wander = phi * wander + std::sqrt(1 - phi * phi) * 0.05 * g(rng);
    walk += 2e-4 * g(rng);
    const double bias = 5 - 0.08 * T + 0.0025 * T * T + (up ? 0.3 : -0.3) + wander + walk + g(rng);
    v[static_cast<std::size_t>(i)] = {static_cast<float>(t), static_cast<float>(bias / 3600),
                                      static_cast<float>(T)};
  }
  return v;
}

// The whole temperature model of a day and of a week at 1 Hz (8640 and
// 60480 blocks of 10 s), most of it the noise fit of the blocks' errors.
void BM_ThermalFit1Hz(benchmark::State& state) {
  const std::vector<SamplePoint> records = ChamberAt1Hz(static_cast<double>(state.range(0)));
  double se = 0, evaluations = 0;
  for (auto _ : state) {
    const TThermalResult r = ComputeThermal(records, {});
    if (!r.Valid) state.SkipWithError(r.Message.c_str());
    se = r.CSe;
    evaluations = r.Noise.Evaluations;
    benchmark::DoNotOptimize(r.B);
  }
  state.counters["blocks"] = static_cast<double>(records.size()) / 10;
  state.counters["c_se"] = se;
  state.counters["evaluations"] = evaluations;  // of the noise fit's likelihood
}
BENCHMARK(BM_ThermalFit1Hz)->Arg(24)->Arg(168)->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(1);

}  // namespace
