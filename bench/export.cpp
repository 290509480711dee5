// Text export of the day-long recording (10.8 million records, both
// columns), the number writer against the C library's snprintf, and the
// archive copy of a 1 GB recording (copied to disk and synced).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "DayRecording.h"
#include "files/ArchiveCopy.h"
#include "files/ExportText.h"

namespace {

using bench_data::DayRecording;
using bench_data::kRecords;

void BM_ExportDayRecording(benchmark::State& state) {
  TExportJob job;
  job.SourceName = DayRecording();
  job.BaseName = "/tmp/ratelog-bench-export";
  job.BeginTime = 0;
  job.EndTime = 1e9;
  job.Rate = job.Temperature = true;
  job.Excel = state.range(0) != 0;
  job.Sample = 125;
  job.FormatVersion = 6;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const TExportResult r = RunTextExport(job);
    if (r.Status != TExportStatus::Complied || r.Lines != kRecords) state.SkipWithError("export failed");
    bytes = 0;
    for (const std::string& f : r.Files) {
      struct stat st {};
      ::stat(f.c_str(), &st);
      bytes += st.st_size;
      ::unlink(f.c_str());
    }
  }
  state.counters["lines"] = static_cast<double>(kRecords);
  state.counters["MB written"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_ExportDayRecording)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

std::vector<float> Values() {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> v(-100.0f, 90000.0f);
  std::vector<float> values(1 << 16);
  for (float& f : values) f = v(rng);
  return values;
}

void BM_FixedField(benchmark::State& state) {
  const std::vector<float> values = Values();
  char buf[128];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(WriteFixedField(buf, values[i++ & 0xFFFF], 20, 7));
  }
}
BENCHMARK(BM_FixedField);

void BM_Snprintf(benchmark::State& state) {
  const std::vector<float> values = Values();
  char buf[128];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, "%-20.7f", static_cast<double>(values[i++ & 0xFFFF])));
  }
}
BENCHMARK(BM_Snprintf);

// A 1 GB recording copied into an archive tree under /tmp.
void BM_ArchiveCopy1GB(benchmark::State& state) {
  const std::string source = "/tmp/ratelog-bench-1g.rtd";
  const std::int64_t size = 1LL << 30;
  struct stat st {};
  if (::stat(source.c_str(), &st) != 0 || st.st_size != size) {
    const int fd = ::open(source.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    std::vector<char> block(1 << 20);
    std::mt19937 rng(3);
    for (char& c : block) c = static_cast<char>(rng());
    for (std::int64_t n = 0; n < size; n += static_cast<std::int64_t>(block.size()))
      if (::write(fd, block.data(), block.size()) < 0) std::abort();
    ::fsync(fd);
    ::close(fd);
  }
  const std::string server = "/tmp/ratelog-bench-arch";
  ::mkdir(server.c_str(), 0777);
  ::mkdir((server + "/VRDT40-123.456").c_str(), 0777);
  ::mkdir((server + "/VRDT40-123.456/00042").c_str(), 0777);
  TArchiveJob job;
  job.Source = source;
  job.ServerFolder = server;
  job.Ident = "VRDT40-123.456-00042";
  job.Name = "big";
  for (auto _ : state) {
    const TArchiveResult r = SaveToServer(job);
    if (r.Status != TArchiveStatus::Complied) state.SkipWithError(r.Reason.c_str());
    state.PauseTiming();
    ::unlink(r.Target.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_ArchiveCopy1GB)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
