// CPU use of a measurement run: the acquisition sequence with its own event
// loop (as ratelog-cli record runs it) against a virtual gyroscope in a child
// process, so only the program's side is counted. Normal mode at Sample 125
// and Trigger streaming at 5000 frames/s; target under 5 % of one core.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "acquisition/MeasurementRun.h"
#include "sim/VirtualGyro.h"

namespace {

struct Owner : TRunOwner {
  bool stop = false;
  void StopRequested() override { stop = true; }
};

double CpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// Starts the virtual gyroscope in a child process; returns its pid and the
// terminal path.
pid_t StartDevice(const TOptionProgramm& settings, std::string& path) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    TVirtualGyro gyro(TDeviceModel::ConfigFor(settings));
    std::string error;
    if (!gyro.Start(error)) ::_exit(1);
    const std::string& p = gyro.DevicePath();
    if (::write(fds[1], p.c_str(), p.size() + 1) < 0) ::_exit(1);
    ::close(fds[1]);
    for (;;) ::pause();  // until killed
  }
  ::close(fds[1]);
  char buf[256] = {};
  const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
  ::close(fds[0]);
  if (n <= 0) return -1;
  path = buf;
  return pid;
}

void RunFor(benchmark::State& state, TOptionProgramm settings, double seconds) {
  std::string path;
  const pid_t device = StartDevice(settings, path);
  if (device < 0) {
    state.SkipWithError("cannot start the virtual gyroscope");
    return;
  }
  ::setenv("RATELOG_COM1", path.c_str(), 1);
  auto packet = std::make_unique<TPaket>();
  TXComm comm;
  TMMTimer timer;
  timer.SetEnabled(false);
  timer.SetResolution(0);
  TEventQueue queue;
  Owner owner;
  double cpu = 0, wall = 0;
  std::uint64_t samples = 0;
  for (auto _ : state) {
    TMeasurementRun run(settings, *packet, comm, timer, queue, owner);
    run.PreparePacket();
    run.OpenAndStart();
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds();
    while (!owner.stop && std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
      queue.WaitAndProcess(std::chrono::milliseconds(20));
      if (packet->DisplayReady) packet->TakeSnapshot();  // the display pace of the window
    }
    cpu += CpuSeconds() - cpu0;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    samples += packet->SamplesAccepted;
    run.StopPortAndPacket();
  }
  ::kill(device, SIGKILL);
  ::waitpid(device, nullptr, 0);
  state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
  state.counters["samples_per_s"] = static_cast<double>(samples) / wall;
}

void BM_NormalModeSample125(benchmark::State& state) {
  TOptionProgramm s;
  s.Sample = 125;
  s.SampleIndex = 12;
  RunFor(state, s, 5.0);
}
BENCHMARK(BM_NormalModeSample125)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_TriggerStreaming5000(benchmark::State& state) {
  TOptionProgramm s;
  s.Mode = ModeTrigger;
  s.TrigMask = {true, true, true};
  s.FreqImpulse = 5000;
  s.BaudIndex = 8;
  RunFor(state, s, 5.0);
}
BENCHMARK(BM_TriggerStreaming5000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
