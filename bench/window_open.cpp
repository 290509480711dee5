// Opening a recording as the user waits for it: `ratelog FILE.rtd` started
// on the X display of $DISPLAY (e.g. under xvfb-run), timed from the
// program's start until its window's caption names the file: start-up,
// first paint, reading, charting and statistics. The recording is a day at
// 125 Hz (10.8 million records; --records=N any length), in time order
// (steps_back 0) or with a clock that steps back by 5 s three times; it is
// read once before timing, so it is in the page cache as after a run.
// The program runs on a settings folder of its own, removed at the end with
// the recordings.
//
//   xvfb-run -a -s '-screen 0 1280x1024x24' build/release/bench/bench_window_open
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DayRecording.h"

namespace {

std::int64_t records = bench_data::kRecords;
std::string folder;
std::map<int, std::string> recordings;  // by steps back

const std::string& Recording(int stepsBack) {
  std::string& path = recordings[stepsBack];
  if (path.empty()) {
    path = folder + "/day-" + std::to_string(stepsBack) + ".rtd";
    bench_data::WriteRecording(path, records, stepsBack);
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
// negative number when the program ended first.
double TimeUntilCaption(xcb_connection_t* c, xcb_window_t root, const std::string& recording,
                        const std::string& caption) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (recording.empty()) {
      ::execl(RATELOG_PROGRAM, RATELOG_PROGRAM, static_cast<char*>(nullptr));
    } else {
      ::execl(RATELOG_PROGRAM, RATELOG_PROGRAM, recording.c_str(), static_cast<char*>(nullptr));
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
  ::waitpid(pid, &status, 0);
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

// From the program's start until its caption names the recording.
void BM_WindowOpen(benchmark::State& state) {
  const std::string& path = Recording(static_cast<int>(state.range(0)));
  xcb_window_t root = 0;
  xcb_connection_t* c = Display(state, root);
  if (!c) return;
  for (auto _ : state) {
    const double seconds = TimeUntilCaption(c, root, path, path);
    if (seconds < 0) {
      state.SkipWithError("the program ended without showing the recording");
      break;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_WindowOpen)->ArgName("steps_back")->Arg(0)->Arg(3)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

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
  // The program's settings: defaults, in a folder of their own.
  ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
  ::setenv("HOME", folder.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (connection) xcb_disconnect(connection);
  [[maybe_unused]] const int rc = std::system(("rm -rf '" + folder + "'").c_str());
  return 0;
}
