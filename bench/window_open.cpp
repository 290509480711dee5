// Opening a recording as the user waits for it: `ratelog FILE.rtd` started
// on the X display of $DISPLAY (e.g. under xvfb-run), timed from the
// program's start until its window's caption names the file: start-up,
// first paint, reading, charting and statistics. The recording is a day at
// 125 Hz (10.8 million records; --records=N any length) of a pattern
// (rising: noisy rate of 0.0033 deg/s, temperature rising 1 deg C/h;
// steady and cycling: a gyroscope's 2 deg/h with 0.5 deg/h of noise at a
// steady temperature or in a cycling chamber), in time order (steps_back 0)
// or with a clock that steps back by 5 s three times; it is
// read once before timing, so it is in the page cache as after a run.
// The program runs from a folder of its own, with its settings beside it
// (rate and average shown), removed at the end with the recordings.
//
//   xvfb-run -a -s '-screen 0 1280x1024x24' build/release/bench/bench_window_open
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DayRecording.h"
#include "settings/Optionsprogramm.h"

namespace {

std::int64_t records = bench_data::kRecords;
std::string folder;
std::map<std::pair<int, int>, std::string> recordings;  // by steps back and pattern

const std::string& Recording(int stepsBack, bench_data::TPattern pattern) {
  std::string& path = recordings[{stepsBack, static_cast<int>(pattern)}];
  if (path.empty()) {
    path = folder + "/" + bench_data::PatternName(pattern) + "-" + std::to_string(stepsBack) + ".rtd";
    bench_data::WriteRecording(path, records, stepsBack, pattern);
    // Into the page cache.
    const int fd = ::open(path.c_str(), O_RDONLY);
    static char buffer[1 << 20];
    while (fd >= 0 && ::read(fd, buffer, sizeof buffer) > 0) {
    }
    if (fd >= 0) ::close(fd);
  }
  return path;
}

// True when a top-level window of the display has a caption containing
// `text`.
bool CaptionShown(xcb_connection_t* c, xcb_window_t root, const std::string& text) {
  xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
  if (!tree) return false;
  const xcb_window_t* children = xcb_query_tree_children(tree);
  const int n = xcb_query_tree_children_length(tree);
  std::vector<xcb_get_property_cookie_t> cookies;
  for (int i = 0; i < n; ++i)
    cookies.push_back(xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024));
  bool found = false;
  for (const xcb_get_property_cookie_t& cookie : cookies) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr);
    if (!reply) continue;
    const std::string caption(static_cast<const char*>(xcb_get_property_value(reply)),
                              static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    found = found || caption.find(text) != std::string::npos;
    std::free(reply);
  }
  std::free(tree);
  return found;
}

// Starts the program (with `recording`, or none when empty) and returns the
// seconds until one of its windows has a caption containing `caption`; a
// negative number when the program ended first. `peakKb`: the program's
// peak resident memory until then; `cpuSeconds`: its processor time (user
// and system), which a loaded machine does not inflate as it does the
// wall time.
double TimeUntilCaption(xcb_connection_t* c, xcb_window_t root, const std::string& recording,
                        const std::string& caption, double* peakKb = nullptr,
                        double* cpuSeconds = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string program = folder + "/ratelog";
    if (recording.empty()) {
      ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    } else {
      ::execl(program.c_str(), program.c_str(), recording.c_str(), static_cast<char*>(nullptr));
    }
    ::_exit(127);
  }
  int status = 0;
  bool shown = false;
  while (!(shown = CaptionShown(c, root, caption))) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::kill(pid, SIGTERM);
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  if (peakKb) *peakKb = static_cast<double>(usage.ru_maxrss);
  if (cpuSeconds)
    *cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  return seconds;
}

// One connection for the whole run: a virtual display that loses its last
// client resets and refuses connections for a moment.
xcb_connection_t* connection = nullptr;

xcb_connection_t* Display(benchmark::State& state, xcb_window_t& root) {
  if (!connection) connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    state.SkipWithError("no X display (run under xvfb-run)");
    return nullptr;
  }
  root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  return connection;
}

// The peak memory of the program started without a recording (kB).
double emptyPeakKb = 0;

// From the program's start until its caption names the recording; the
// program's peak memory over that of the empty window, per record.
void BM_WindowOpen(benchmark::State& state) {
  const auto pattern = static_cast<bench_data::TPattern>(state.range(1));
  const std::string& path = Recording(static_cast<int>(state.range(0)), pattern);
  xcb_window_t root = 0;
  xcb_connection_t* c = Display(state, root);
  if (!c) return;
  if (emptyPeakKb == 0) TimeUntilCaption(c, root, std::string(), "Ratelog", &emptyPeakKb);
  double peakKb = 0, cpu = 0, cpuSum = 0;
  for (auto _ : state) {
    const double seconds = TimeUntilCaption(c, root, path, path, &peakKb, &cpu);
    cpuSum += cpu;
    if (seconds < 0) {
      state.SkipWithError("the program ended without showing the recording");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.SetLabel(bench_data::PatternName(pattern));
  state.counters["records"] = static_cast<double>(records);
  state.counters["peak_MB"] = peakKb / 1024;
  state.counters["program_cpu_s"] = cpuSum / static_cast<double>(state.iterations());
  state.counters["bytes_per_record"] = (peakKb - emptyPeakKb) * 1024 / static_cast<double>(records);
}
BENCHMARK(BM_WindowOpen)
    ->ArgNames({"steps_back", "pattern"})
    ->Args({0, static_cast<int>(bench_data::TPattern::Rising)})
    ->Args({3, static_cast<int>(bench_data::TPattern::Rising)})
    ->Args({0, static_cast<int>(bench_data::TPattern::Steady)})
    ->Args({0, static_cast<int>(bench_data::TPattern::Cycling)})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The start-up alone: from the program's start (no recording) until its
// window is shown with its caption.
void BM_WindowStart(benchmark::State& state) {
  xcb_window_t root = 0;
  xcb_connection_t* c = Display(state, root);
  if (!c) return;
  for (auto _ : state) {
    const double seconds = TimeUntilCaption(c, root, std::string(), "Ratelog");
    if (seconds < 0) {
      state.SkipWithError("the program ended without its window");
      break;
    }
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_WindowStart)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc;) {
    if (std::strncmp(argv[i], "--records=", 10) == 0) {
      records = std::atoll(argv[i] + 10);
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
    } else {
      ++i;
    }
  }
  char name[] = "/tmp/ratelog-bench-window-XXXXXX";
  folder = ::mkdtemp(name);
  // The program in a folder of its own, with its settings beside it:
  // the defaults, with rate and average shown as a user shows them.
  std::filesystem::copy_file(RATELOG_PROGRAM, folder + "/ratelog");
  ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  ::setenv("HOME", folder.c_str(), 1);
  TOptionProgramm settings;
  settings.FileName = folder + "/Ratelog.ini";
  settings.ShowSignal = settings.ShowAver = true;
  if (!settings.Save()) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (connection) xcb_disconnect(connection);
  [[maybe_unused]] const int rc = std::system(("rm -rf '" + folder + "'").c_str());
  return 0;
}
