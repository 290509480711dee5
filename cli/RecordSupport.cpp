#include "cli/RecordSupport.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace cli {
namespace {

std::atomic<int> g_signal{0};
extern "C" void OnStopSignal(int sig) { g_signal = sig; }

}  // namespace

struct StopSignals::Saved {
  struct sigaction oldInt {}, oldTerm {};
};

StopSignals::StopSignals() : saved_(new Saved) {
  g_signal = 0;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  ::sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, &saved_->oldInt);
  ::sigaction(SIGTERM, &sa, &saved_->oldTerm);
}

StopSignals::~StopSignals() {
  ::sigaction(SIGINT, &saved_->oldInt, nullptr);
  ::sigaction(SIGTERM, &saved_->oldTerm, nullptr);
  delete saved_;
}

int StopSignals::Caught() { return g_signal.load(); }

const char* StopSignals::Name(int sig) { return sig == SIGINT ? "Ctrl-C" : "SIGTERM"; }

std::string PortHint(int osError) {
  switch (osError) {
    case EACCES:
    case EPERM:
      return " (" + std::string(std::strerror(osError)) +
             ": add yourself to the dialout group, then log in again)";
    case EBUSY:
    case EWOULDBLOCK:
      return " (the port is in use by another program)";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return " (no such device: is the adapter plugged in? RATELOG_COMn can name the device file)";
    case 0:
      return "";
    default:
      return " (" + std::string(std::strerror(osError)) + ")";
  }
}

RunLimits ApplyRunOptions(const Options& o, TOptionProgramm& settings) {
  if (auto mode = o.Get("mode")) {
    if (*mode == "normal") settings.Mode = ModeNormal;
    else if (*mode == "trigger") settings.Mode = ModeTrigger;
    else if (*mode == "onecommand") settings.Mode = ModeOneCommand;
    else throw UsageError{"--mode must be normal, trigger or onecommand"};
  }
  if (auto sample = o.Number("sample")) {
    bool found = false;
    for (std::size_t i = 0; i < SampleValues.size(); ++i) {
      if (SampleValues[i] == *sample) {
        settings.SampleIndex = static_cast<std::int32_t>(i);
        settings.Sample = SampleValues[i];
        found = true;
      }
    }
    if (!found) throw UsageError{"--sample must be one of 1 5 10 20 30 40 50 60 70 80 90 100 125"};
  }
  RunLimits limits;
  if (auto s = o.Number("seconds")) {
    if (*s <= 0) throw UsageError{"--seconds must be positive"};
    limits.seconds = *s;
  }
  if (auto s = o.Number("ident-timeout")) {
    if (*s <= 0) throw UsageError{"--ident-timeout must be positive"};
    limits.identTimeout = *s;
  }
  return limits;
}

}  // namespace cli
