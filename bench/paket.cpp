// Receive throughput of the packet processor with the running-average engine
// and the recording file, for Normal-mode data replies and for 16-byte
// trigger frames, fed in receive events of 4096 bytes. For scale: the wire
// carries at most about 83,800 bytes/s (921600 bit/s, 2 stop bits), that is
// about 5,200 trigger frames/s.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Paket.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kFramesPerPass = 65536;
// A new recording is started after this many passes, so the file stays
// below about 50 MB.
constexpr int kPassesPerFile = 64;

const char* const kFile = "/tmp/ratelog-bench-paket.rtd";

struct Owner : TPaketListener {
  TPaket* packet = nullptr;
  void DeviceIdentified() override {
    if (packet->Mode != ModeTrigger) packet->BuildDataRequest();
  }
  void IdentificationText(const std::string&) override {}
  void RecordingFailed(const std::string&, const std::string&) override { std::abort(); }
};

template <typename T>
void Append(Bytes& b, T v) {
  std::uint8_t raw[sizeof v];
  std::memcpy(raw, &v, sizeof v);
  b.insert(b.end(), raw, raw + sizeof v);
}

void AppendCrc(Bytes& b, std::size_t from) {
  const std::uint16_t crc = proto::Crc16(b.data() + from, b.size() - from);
  b.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  b.push_back(static_cast<std::uint8_t>(crc >> 8));
}

Bytes Framed(const Bytes& body) {
  Bytes out(body.size() * 2 + 2);
  out.resize(proto::EscapeFrame(body.data(), body.size(), out.data(), out.size()));
  return out;
}

// Starts a run: reset, recording armed (or not), identification taken.
void StartRun(TPaket& p, bool record) {
  p.Reset();
  if (record) {
    p.RecordName = kFile;
    p.RecordEnabled = true;
  }
  p.BuildIdentRequest();
  Bytes ident{0x64, 0x63, proto::STATUS_OK};
  const char text[] = "VRDT40-123.456-00042";
  ident.insert(ident.end(), text, text + 20);
  AppendCrc(ident, 0);
  const Bytes wire = Framed(ident);
  p.Receive(wire.data(), wire.size());
}

Bytes NormalStream() {
  Bytes s;
  for (int i = 1; i <= kFramesPerPass; ++i) {
    Bytes body{0x64, 0x63, proto::STATUS_OK};
    Append(body, static_cast<std::uint32_t>(i * 144));  // 125 Hz in counts of TimeScale
    Append(body, 0.001f * static_cast<float>(i % 1000) - 0.5f);
    Append(body, 25.0f + 0.001f * static_cast<float>(i % 100));
    AppendCrc(body, 0);
    const Bytes f = Framed(body);
    s.insert(s.end(), f.begin(), f.end());
  }
  return s;
}

Bytes TriggerStream() {
  Bytes s;
  for (int i = 1; i <= kFramesPerPass; ++i) {
    Bytes f{0xC0, 0xC0};
    float rate = 0.001f * static_cast<float>(i % 1000) - 0.5f;
    std::uint8_t low;
    std::memcpy(&low, &rate, 1);
    // A payload may not begin with 0xC0: the receiver would take it for a
    // further sync byte.
    if (low == 0xC0) rate = std::nextafter(rate, 1.0f);
    Append(f, rate);
    Append(f, static_cast<std::int16_t>(250 + i % 7));
    Append(f, static_cast<std::uint16_t>(i));
    Append(f, static_cast<std::uint32_t>(i * 1152));  // 100 Hz
    AppendCrc(f, 2);
    s.insert(s.end(), f.begin(), f.end());
  }
  return s;
}

void Run(benchmark::State& state, std::uint8_t mode, bool record) {
  auto p = std::make_unique<TPaket>();
  Owner owner;
  owner.packet = p.get();
  p->SetListener(&owner);
  p->SetHostNames("bench", "bench");
  p->Mode = mode;
  p->Sample = 125;
  p->TrigMask = {true, true, true};
  const Bytes stream = mode == ModeTrigger ? TriggerStream() : NormalStream();
  StartRun(*p, record);

  int passes = 0;
  std::uint64_t accepted = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < stream.size(); at += TPaket::ChunkSize) {
      const std::size_t n = std::min<std::size_t>(TPaket::ChunkSize, stream.size() - at);
      p->Receive(stream.data() + at, n);
    }
    benchmark::DoNotOptimize(p->Current);
    if (++passes == kPassesPerFile) {
      state.PauseTiming();
      accepted += p->SamplesAccepted;
      StartRun(*p, record);
      passes = 0;
      state.ResumeTiming();
    }
  }
  accepted += p->SamplesAccepted;
  const auto frames = static_cast<std::int64_t>(state.iterations()) * kFramesPerPass;
  if (accepted != static_cast<std::uint64_t>(frames)) state.SkipWithError("frames were lost");
  state.SetItemsProcessed(frames);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
  state.counters["frame_bytes"] =
      static_cast<double>(stream.size()) / static_cast<double>(kFramesPerPass);
  p.reset();
  ::unlink(kFile);
}

void BM_ReceiveNormalRecording(benchmark::State& state) { Run(state, ModeNormal, true); }
void BM_ReceiveTriggerRecording(benchmark::State& state) { Run(state, ModeTrigger, true); }
void BM_ReceiveNormalNoFile(benchmark::State& state) { Run(state, ModeNormal, false); }
void BM_ReceiveTriggerNoFile(benchmark::State& state) { Run(state, ModeTrigger, false); }

BENCHMARK(BM_ReceiveNormalRecording)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveTriggerRecording)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveNormalNoFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveTriggerNoFile)->Unit(benchmark::kMillisecond);

}  // namespace
