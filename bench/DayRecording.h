// Recordings for the benchmarks: by default a day at 125 Hz = 10.8 million
// records of noisy rate and a slowly rising temperature, written once to
// /tmp and reused while its size is right; also a gyroscope's own data
// (small rate and noise, steady or cycling temperature).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
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

// What the records hold besides their 125 Hz time stamps (stored as f32:
// at 800,000 s, the end of 10^8 records, one step of a float is 0.0625 s,
// so eight records in a row share a time stamp).
enum class TPattern {
  // Rate N(0.0033, 0.002) deg/s, temperature rising 1 deg C/h.
  Rising,
  // A gyroscope at rest: 2 deg/h with 0.5 deg/h of white noise (sigma),
  // a steady temperature (25.3 deg C with a sensor noise of 0.01 deg C).
  Steady,
  // The same gyroscope in a chamber cycling -40 .. +60 deg C every 4 h,
  // with a bias of 0.05 deg/h per deg C.
  Cycling,
};
inline const char* PatternName(TPattern pattern) {
  switch (pattern) {
    case TPattern::Rising: return "rising";
    case TPattern::Steady: return "steady";
    case TPattern::Cycling: return "cycling";
  }
  return "?";
}

// Writes `records` records of a pattern (125 Hz) to `path`. `stepsBack`:
// times the clock steps back by 5 s (the most the packet decoder keeps),
// evenly spread.
inline void WriteRecording(const std::string& path, std::int64_t records, int stepsBack = 0,
                           TPattern pattern = TPattern::Rising) {
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  if (fd < 0) std::abort();
  std::vector<std::uint8_t> header(rtd::HeaderSize, 0);
  std::memcpy(header.data(), "VRDT40-123.456-00042", 20);
  const float sample = 125.0f;
  std::memcpy(header.data() + rtd::SampleOffset, &sample, 4);
  if (::write(fd, header.data(), header.size()) < 0) std::abort();
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0033f, 0.002f);
  std::normal_distribution<double> unit(0.0, 1.0);
  std::vector<SamplePoint> block(1 << 16);
  for (std::int64_t i = 0; i < records;) {
    std::size_t n = 0;
    for (; n < block.size() && i < records; ++n, ++i) {
      const std::int64_t steps = stepsBack * i / records;  // steps back so far
      const double t = static_cast<double>(i + 1) * 0.008 - 5.0 * static_cast<double>(steps);
      if (pattern == TPattern::Rising) {
        block[n] = {static_cast<float>(t), noise(rng), static_cast<float>(25.0 + t / 3600.0)};
        continue;
      }
      const double temperature =
          pattern == TPattern::Steady ? 25.3 : 10.0 - 50.0 * std::cos(2 * M_PI * t / (4 * 3600.0));
      const double bias = 2.0 + 0.05 * (temperature - 25.3);  // deg/h
      const double rate = (bias + 0.5 * unit(rng)) / 3600.0;  // deg/s
      block[n] = {static_cast<float>(t), static_cast<float>(rate),
                  static_cast<float>(temperature + 0.01 * unit(rng))};
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
