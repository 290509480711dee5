// The temperature model of a whole day at 100 Hz (8.64 million records) as
// `ratelog-cli thermal` computes it: reading the recording, the averaged
// blocks, the QR fit, the residuals at the record rate, the compensated
// rate and the Allan read-outs of the raw and the compensated rate.
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
