// Speed of the statistics engines, and the memory the general-quantities
// calculator holds for a day-long recording.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "processing/Average.h"
#include "processing/Averrmsstatic.h"
#include "processing/Generalquantities.h"

// Heap accounting for the whole program: bytes in use and their peak.
namespace {
std::atomic<std::size_t> gInUse{0};
std::atomic<std::size_t> gPeak{0};

void ResetPeak() { gPeak.store(gInUse.load()); }
}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  const std::size_t now = gInUse.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t peak = gPeak.load();
  while (now > peak && !gPeak.compare_exchange_weak(peak, now)) {
  }
  return p;
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  if (!p) return;
  gInUse.fetch_sub(malloc_usable_size(p));
  std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

std::vector<float> NoisyRates(std::size_t n) {
  std::vector<float> v(n);
  std::uint32_t x = 12345;
  for (auto& r : v) {
    x = x * 1664525u + 1013904223u;
    r = 0.003f + static_cast<float>(x >> 8) * 1e-10f;
  }
  return v;
}

std::unique_ptr<TFastAverageRms> Engine(std::uint8_t mode, int meanTime, double freq) {
  auto e = std::make_unique<TFastAverageRms>();
  TOptionProgramm s;
  s.Mode = mode;
  s.MeanTime = meanTime;
  s.FreqImpulse = freq;
  e->Assign(s);
  e->Reset();
  return e;
}

// AddSample; argument: window length (500: Normal defaults; 1,000,000).
void BM_AddSample(benchmark::State& state) {
  auto e = state.range(0) == 500 ? Engine(ModeNormal, 50, 100) : Engine(ModeTrigger, 500, 2000);
  const std::vector<float> rates = NoisyRates(4096);
  std::size_t i = 0;
  float t = 0;
  for (auto _ : state) {
    e->AddSample(t, rates[i & 4095], 25.0f);
    t += 0.01f;
    ++i;
  }
  benchmark::DoNotOptimize(e->Average);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_AddSample)->Arg(500)->Arg(1000000);

void BM_UpdateRmsFullWindow(benchmark::State& state) {
  auto e = Engine(ModeTrigger, 500, 2000);  // 1,000,000 samples
  const std::vector<float> rates = NoisyRates(4096);
  for (int i = 0; i < TFastAverageRms::RingSize + 10; ++i)
    e->AddSample(i * 1e-3f, rates[i & 4095], 25.0f);
  for (auto _ : state) {
    e->UpdateRms();
    benchmark::DoNotOptimize(e->Rms);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * e->Window);
}
BENCHMARK(BM_UpdateRmsFullWindow)->Unit(benchmark::kMillisecond);

// A zoom over a 100,000-point span.
void BM_AverRmsStaticSpan(benchmark::State& state) {
  TAverRmsStatic s;
  s.Reserve(100000);
  s.End = 1e9;
  const std::vector<float> rates = NoisyRates(4096);
  for (auto _ : state) {
    for (int i = 0; i < 100000; ++i) s.AddPoint(static_cast<float>(i), rates[i & 4095], 25.0f);
    benchmark::DoNotOptimize(s.Compute());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 100000);
}
BENCHMARK(BM_AverRmsStaticSpan)->Unit(benchmark::kMillisecond);

// 24 h at 125 Hz: AddPoint for every record, then the three computations
// (no record is kept: the peak is that of a random-walk segment).
void BM_GeneralQuantDay(benchmark::State& state) {
  constexpr std::size_t kRecords = 24 * 3600 * 125;
  const std::vector<float> rates = NoisyRates(4096);
  TOptionProgramm settings;  // DriftTime 100, RandomWalkTime 10, Passband 50
  auto q = std::make_unique<TGeneralQuant>();
  double bytesPerRecord = 0;
  for (auto _ : state) {
    q->SetSettings(settings);
    q->Begin = 0;
    q->End = 86400;
    ResetPeak();
    const std::size_t base = gInUse.load();
    for (std::size_t i = 0; i < kRecords; ++i)
      q->AddPoint(static_cast<float>(i) * 0.008f, rates[i & 4095], 25.0f);
    q->ComputeMean();
    q->ComputeDrift();
    q->ComputeRandomWalk();
    bytesPerRecord = static_cast<double>(gPeak.load() - base) / kRecords;
    benchmark::DoNotOptimize(q->RandomWalk);
    state.PauseTiming();
    q->Clear();
    state.ResumeTiming();
  }
  state.counters["peak_bytes_per_record"] = bytesPerRecord;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kRecords));
}
BENCHMARK(BM_GeneralQuantDay)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
