// A day-long recording for the benchmarks: 24 h at 125 Hz = 10.8 million
// records of noisy rate and a slowly rising temperature, written once to
// /tmp and reused while its size is right.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/Recording.h"
#include "processing/Average.h"

namespace bench_data {

inline constexpr std::int64_t kRecords = 24LL * 3600 * 125;

// Writes `records` records of the day-long pattern (125 Hz, noisy rate,
// slowly rising temperature) to `path`. `stepsBack`: times the clock steps
// back by 5 s (the most the packet decoder keeps), evenly spread.
inline void WriteRecording(const std::string& path, std::int64_t records, int stepsBack = 0) {
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) std::abort();
  std::vector<std::uint8_t> header(rtd::HeaderSize, 0);
  std::memcpy(header.data(), "VRDT40-123.456-00042", 20);
  const float sample = 125.0f;
  std::memcpy(header.data() + rtd::SampleOffset, &sample, 4);
  if (::write(fd, header.data(), header.size()) < 0) std::abort();
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0033f, 0.002f);
  std::vector<SamplePoint> block(1 << 16);
  for (std::int64_t i = 0; i < records;) {
    std::size_t n = 0;
    for (; n < block.size() && i < records; ++n, ++i) {
      const std::int64_t steps = stepsBack * i / records;  // steps back so far
      const double t = static_cast<double>(i + 1) * 0.008 - 5.0 * static_cast<double>(steps);
      block[n] = {static_cast<float>(t), noise(rng), static_cast<float>(25.0 + t / 3600.0)};
    }
    if (::write(fd, block.data(), n * sizeof(SamplePoint)) < 0) std::abort();
  }
  ::close(fd);
}

inline const std::string& DayRecording() {
  static const std::string path = [] {
    std::string p = "/tmp/ratelog-bench-day.rtd";
    struct stat st {};
    const std::int64_t size = static_cast<std::int64_t>(rtd::HeaderSize) + kRecords * 12;
    if (::stat(p.c_str(), &st) == 0 && st.st_size == size) return p;
    WriteRecording(p, kRecords);
    return p;
  }();
  return path;
}

}  // namespace bench_data
