// Reading a day-long recording (24 h at 125 Hz = 10.8 million records) from
// the page cache, and the basic-parameter calculation over all of it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/Recording.h"
#include "files/RecordingReader.h"
#include "processing/BasicParameters.h"

namespace {

constexpr std::int64_t kRecords = 24LL * 3600 * 125;

const std::string& DayRecording() {
  static const std::string path = [] {
    std::string p = "/tmp/ratelog-bench-day.rtd";
    struct stat st {};
    const std::int64_t size = static_cast<std::int64_t>(rtd::HeaderSize) + kRecords * 12;
    if (::stat(p.c_str(), &st) == 0 && st.st_size == size) return p;
    const int fd = ::open(p.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    std::vector<std::uint8_t> header(rtd::HeaderSize, 0);
    std::memcpy(header.data(), "VRDT40-123.456-00042", 20);
    const float sample = 125.0f;
    std::memcpy(header.data() + rtd::SampleOffset, &sample, 4);
    if (::write(fd, header.data(), header.size()) < 0) std::abort();
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0033f, 0.002f);
    std::vector<SamplePoint> block(1 << 16);
    for (std::int64_t i = 0; i < kRecords;) {
      std::size_t n = 0;
      for (; n < block.size() && i < kRecords; ++n, ++i)
        block[n] = {static_cast<float>((i + 1) * 0.008), noise(rng), 25.0f};
      if (::write(fd, block.data(), n * sizeof(SamplePoint)) < 0) std::abort();
    }
    ::close(fd);
    return p;
  }();
  return path;
}

void BM_ReadDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  for (auto _ : state) {
    TRecordingReader reader;
    if (!reader.Open(path)) state.SkipWithError("cannot open");
    SamplePoint p;
    double sum = 0;
    std::int64_t n = 0;
    while (reader.Next(p)) {
      sum += p.Rate;
      ++n;
    }
    benchmark::DoNotOptimize(sum);
    if (n != kRecords) state.SkipWithError("record count");
  }
  state.counters["records"] = static_cast<double>(kRecords);
}
BENCHMARK(BM_ReadDayRecording)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_CalcDayRecording(benchmark::State& state) {
  const std::string& path = DayRecording();
  TOptionProgramm settings;
  for (auto _ : state) {
    TGeneralQuant quant;
    std::string error;
    if (!ComputeBasicParameters(path, settings, 0.008, kRecords * 0.008, quant, error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(quant.RandomWalk);
  }
}
BENCHMARK(BM_CalcDayRecording)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
