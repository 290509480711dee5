// A chamber batch: `ratelog-cli record` with 16 ports at Sample 125, each a
// virtual gyroscope on a pseudo-terminal served by a child process, so only
// the recording side is measured. Counts the CPU time of the whole tool
// (every link, timer and event-loop thread) against the wall time, and
// samples the resident memory every few seconds to show that it stays flat.
// The run lasts RATELOG_BENCH_SECONDS (default 180); target: under 20 % of
// one core, no growth beyond the first seconds.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliCommands.h"
#include "settings/Optionsprogramm.h"
#include "sim/VirtualGyro.h"

namespace {

constexpr int Units = 16;

// The tool's output, of which only the last few kilobytes are kept (for the
// message when the batch fails): a status line a second for an hour would
// otherwise grow this process by megabytes and look like the tool's memory.
class TailBuffer : public std::streambuf {
 public:
  std::string Text() const { return text_; }

 protected:
  int overflow(int c) override {
    if (c != EOF) Keep(std::string(1, static_cast<char>(c)));
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    Keep(std::string(s, static_cast<std::size_t>(n)));
    return n;
  }

 private:
  void Keep(const std::string& more) {
    text_ += more;
    if (text_.size() > 8192) text_.erase(0, text_.size() - 4096);
  }
  std::string text_;
};

double CpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

// Resident memory of this process, kB (VmRSS).
double RssKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
  return 0;
}

// The virtual gyroscopes in a child process; their terminal paths.
pid_t StartDevices(const TOptionProgramm& settings, std::vector<std::string>& paths) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::vector<std::unique_ptr<TVirtualGyro>> gyros;
    std::string all;
    for (int i = 0; i < Units; ++i) {
      TDeviceConfig config = TDeviceModel::ConfigFor(settings);
      config.SetIdent("VRDT40-123.456-100" + std::to_string(10 + i));
      config.Seed = static_cast<std::uint64_t>(i) + 1;
      gyros.push_back(std::make_unique<TVirtualGyro>(config));
      std::string error;
      if (!gyros.back()->Start(error)) ::_exit(1);
      all += gyros.back()->DevicePath() + "\n";
    }
    if (::write(fds[1], all.c_str(), all.size() + 1) < 0) ::_exit(1);
    ::close(fds[1]);
    for (;;) ::pause();  // until killed
  }
  ::close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<std::size_t>(n));
    if (text.back() == '\0') break;
  }
  ::close(fds[0]);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] == '/') paths.push_back(line);
  return paths.size() == Units ? pid : -1;
}

void BM_Batch16Sample125(benchmark::State& state) {
  const char* env = std::getenv("RATELOG_BENCH_SECONDS");
  const double seconds = env ? std::atof(env) : 180.0;
  char dir[] = "/tmp/ratelog-bench-XXXXXX";
  if (!::mkdtemp(dir)) {
    state.SkipWithError("cannot create a folder");
    return;
  }
  TOptionProgramm settings;
  settings.Sample = 125;
  settings.SampleIndex = 12;
  settings.FileName = std::string(dir) + "/Ratelog.ini";
  settings.Save();
  std::vector<std::string> paths;
  const pid_t devices = StartDevices(settings, paths);
  if (devices < 0) {
    state.SkipWithError("cannot start the virtual gyroscopes");
    return;
  }
  std::vector<std::string> args = {"record", "--settings", settings.FileName, "--out-dir", dir,
                                   "--seconds", std::to_string(seconds)};
  for (const auto& p : paths) args.insert(args.end(), {"--port", p});

  // RSS every 5 s while the batch runs.
  std::vector<std::pair<double, double>> rss;  // (s, kB)
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  double cpu = 0, wall = 0;
  std::string output;
  int code = -1;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::thread monitor([&] {
      std::unique_lock<std::mutex> lock(mutex);
      do {
        rss.emplace_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), RssKb());
      } while (!done.wait_for(lock, std::chrono::seconds(5), [&] { return finished; }));
    });
    const double cpu0 = CpuSeconds();
    TailBuffer outTail, errTail;
    std::ostream out(&outTail), err(&errTail);
    code = RunCli(args, out, err);
    cpu = CpuSeconds() - cpu0;
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
    }
    done.notify_all();
    monitor.join();
    output = outTail.Text() + errTail.Text();
  }
  ::kill(devices, SIGKILL);
  ::waitpid(devices, nullptr, 0);
  [[maybe_unused]] int rc = std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  if (code != 0) {
    state.SkipWithError(("the batch failed: " + output.substr(output.size() > 2000 ? output.size() - 2000 : 0)).c_str());
    return;
  }
  // Memory: the first sample after the start-up (10 s) against the last; the
  // slope over that stretch, extrapolated to an hour.
  double t0 = 0, r0 = 0, t1 = 0, r1 = 0, peak = 0;
  for (const auto& [t, kb] : rss) {
    if (t >= 10 && r0 == 0) t0 = t, r0 = kb;
    t1 = t, r1 = kb;
    peak = std::max(peak, kb);
  }
  std::printf("VmRSS over time (s: MB):");
  for (const auto& [t, kb] : rss) std::printf(" %.0f:%.1f", t, kb / 1024);
  std::printf("\n");
  state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
  state.counters["rss_mb_at_10s"] = r0 / 1024;
  state.counters["rss_mb_at_end"] = r1 / 1024;
  state.counters["rss_mb_peak"] = peak / 1024;
  state.counters["rss_growth_mb_per_hour"] = t1 > t0 ? (r1 - r0) / 1024 / (t1 - t0) * 3600 : 0;
  state.counters["seconds"] = wall;
}
BENCHMARK(BM_Batch16Sample125)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
