// ratelog-cli record with several ports: one measurement run per port, each
// with its own link, timer, packet processor and recording, all served by
// one event loop (the tool's stand-in for the window's thread). A port that
// does not open or a device that does not identify itself is left out; a
// device lost during the run ends its own run only.
#include "cli/RecordBatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>

#include "acquisition/HostInfo.h"
#include "acquisition/MeasurementRun.h"
#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/RecordSupport.h"
#include "files/ArchiveCopy.h"
#include "processing/NumberFormat.h"
#include "sim/RateTable.h"
#include "sim/VirtualGyro.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

// COM1..COM9 -> 1..9, else 0.
int ComNumber(const std::string& text) {
  if (text.size() != 4 || text.compare(0, 3, "COM") != 0 || text[3] < '1' || text[3] > '9') return 0;
  return text[3] - '0';
}

// How often the batch's loop takes what the links delivered.
constexpr auto Pace = std::chrono::milliseconds(10);

// The most units a batch takes (also what --simulate attaches).
constexpr int MaxUnits = 64;

// Where the batch's runs report to.
struct BatchContext {
  std::ostream& out;
  std::ostream& err;
  std::string folder;  // empty: the current folder
  std::time_t start;   // names the recordings
};

// One port of the batch: its run and what became of it.
class Unit final : public TRunOwner {
 public:
  enum class State { Left, Identifying, Recording, Ended };
  enum class End { None, Done, Lost, Silent, NotOpened };

  Unit(std::string port, const TOptionProgramm& settings, TUiDispatcher& queue, BatchContext& context)
      : Port(std::move(port)), settings_(settings), packet_(std::make_unique<TPaket>()), context_(context) {
    packet_->SetHostNames(ComputerName(), UserName());
    timer_.SetEnabled(false);
    timer_.SetResolution(0);
    run_ = std::make_unique<TMeasurementRun>(settings_, *packet_, comm_, timer_, queue, *this);
    run_->SetPort(Port);
  }

  // Prepares the packet processor and opens the port; false (reported)
  // when the port does not open.
  bool Start() {
    run_->PreparePacket();
    try {
      if (run_->OpenAndStart()) {
        state = State::Identifying;
        return true;
      }
      int osError = 0;
      std::string reason;
      Problem = comm_.ClosedByLoss(osError, reason) ? "the device went away while the port was being opened (" +
                                                          reason + ")"
                                                    : "the port did not open";
    } catch (const EDeviceError& e) {
      Problem = e.what() + PortHint(e.OsError);
      if (e.ErrorCode == DEVICE_CANNOTOPEN && ComNumber(Port)) Problem += " [" + ResolvePortDevice(Port) + "]";
    }
    context_.err << "ratelog-cli: " << Port << ": " << Problem << "; left out\n" << std::flush;
    run_->StopPortAndPacket();
    state = State::Ended;
    end = End::NotOpened;
    return false;
  }

  // Stop, as the window's Stop does it: the timer first (for every unit),
  // then the port (what the device delivered is read first) and the packet
  // processor, which completes and closes the recording.
  void StopTimer() { run_->StopTimer(); }
  void Finish(End why) {
    if (state == State::Ended) return;
    state = State::Ended;
    end = why;
    run_->StopTimer();
    try {
      run_->ClosePort();
    } catch (const std::exception& e) {
      if (Problem.empty()) Problem = e.what();
    }
    Samples = packet_->SamplesAccepted;
    Created = packet_->FileCreated();
    run_->ResetPacket();
    if (!File.empty() && !Created) {
      // No sample came: the name reserved for this unit is given back.
      struct stat st {};
      if (::stat(File.c_str(), &st) == 0 && st.st_size == 0) ::unlink(File.c_str());
    }
  }

  std::uint64_t LiveSamples() const { return state == State::Ended ? Samples : packet_->SamplesAccepted; }

  // TRunOwner
  void StopRequested() override { StopAsked = true; }
  void RunIdentified() override {
    if (state != State::Identifying) return;
    state = State::Recording;
    Identified = true;
    IdentifiedAt = Clock::now();
  }
  void IdentificationText(const std::string& text) override {
    if (state != State::Identifying) return;  // read in the last bytes of a run that ends
    Ident = text;
    std::string error;
    File = ReserveRecordingFile(context_.folder, text, context_.start, error);
    if (File.empty()) {
      RecordingProblem = error;
      context_.err << "ratelog-cli: " << Port << ": cannot create the recording " << error
                   << " (the run goes on without it)\n";
    } else {
      run_->ArmRecording(File);
    }
    context_.out << Port << ": device " << text.c_str() << (File.empty() ? "" : ", recording to " + File)
                 << "\n" << std::flush;
  }
  void RecordingFailed(const std::string& file, const std::string& reason) override {
    if (!RecordingProblem.empty()) return;
    RecordingProblem = reason;
    context_.err << "ratelog-cli: " << Port << ": cannot record to " << file << ": " << reason
                 << " (the run goes on without a complete recording)\n";
  }
  void LinkLost(int, const std::string& reason) override { LostReason = reason; }
  void TickFailed(const std::string& message) override {
    context_.err << "ratelog-cli: " << Port << ": " << message << "\n";
  }

  const std::string Port;
  State state = State::Left;
  End end = End::None;
  bool StopAsked = false;
  bool Identified = false;  // the run got past its identification phase
  bool Created = false;
  std::uint64_t Samples = 0;
  Clock::time_point IdentifiedAt{};
  std::string Ident, File, Problem, LostReason, RecordingProblem;

 private:
  // The run refers to everything above it and goes first.
  TOptionProgramm settings_;
  std::unique_ptr<TPaket> packet_;  // holds a 12 MB ring: never on the stack
  TXComm comm_;
  TMMTimer timer_;
  BatchContext& context_;
  std::unique_ptr<TMeasurementRun> run_;
};

std::string Seconds1(double s) { return FormatFixed(s, 15, 1, '.'); }

std::string StatusLine(double elapsed, const std::vector<std::unique_ptr<Unit>>& units) {
  std::string line = "t=" + Seconds1(elapsed) + " s ";
  int lost = 0;
  for (const auto& u : units) {
    if (u->end == Unit::End::NotOpened) continue;
    line += " " + u->Port + "=";
    switch (u->state) {
      case Unit::State::Identifying: line += "identifying"; break;
      case Unit::State::Recording: line += std::to_string(u->LiveSamples()); break;
      default:
        if (u->end == Unit::End::Silent) {
          line += "silent";
        } else {
          line += std::to_string(u->Samples) + (u->end == Unit::End::Lost ? " (lost)" : " (done)");
        }
    }
    lost += u->end == Unit::End::Lost;
  }
  return line + "  lost: " + std::to_string(lost);
}

}  // namespace

std::vector<std::string> BatchPorts(const std::vector<std::string>& values) {
  std::vector<std::string> ports;
  auto add = [&ports](const std::string& port) {
    if (std::find(ports.begin(), ports.end(), port) != ports.end())
      throw UsageError{"--port " + port + " is named twice"};
    ports.push_back(port);
  };
  for (const std::string& v : values) {
    if (v.size() > 1 && v[0] == '/') {
      add(v);
      continue;
    }
    const auto dash = v.find('-');
    if (dash == std::string::npos && ComNumber(v)) {
      add(v);
      continue;
    }
    const int first = dash == std::string::npos ? 0 : ComNumber(v.substr(0, dash));
    const int last = dash == std::string::npos ? 0 : ComNumber(v.substr(dash + 1));
    if (first == 0 || last < first)
      throw UsageError{"--port must be COM1 .. COM9, a range such as COM1-COM8, or a device file (/dev/...): '" +
                       v + "'"};
    for (int n = first; n <= last; ++n) add("COM" + std::to_string(n));
  }
  if (ports.size() > MaxUnits) throw UsageError{"a batch takes at most " + std::to_string(MaxUnits) + " ports"};
  return ports;
}

std::string ReserveRecordingFile(const std::string& folder, const std::string& ident, std::time_t start,
                                 std::string& error) {
  std::tm local{};
  ::localtime_r(&start, &local);
  char stamp[32] = {};
  std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
  std::string stem = SafePathPart(ident) + "_" + stamp;
  if (!folder.empty()) stem = folder + (folder.back() == '/' ? "" : "/") + stem;
  for (int n = 1; n < 10000; ++n) {
    const std::string path = stem + (n == 1 ? "" : "_" + std::to_string(n)) + ".rtd";
    int fd;
    do {
      fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) {
      error = path + ": " + std::strerror(errno);
      return {};
    }
  }
  error = stem + ".rtd: every name up to _9999 is taken";
  return {};
}

bool IsBatchRecord(const Options& o) {
  const std::vector<std::string> ports = o.All("port");
  if (ports.size() > 1 || o.Get("out-dir") || o.Get("simulate")) return true;
  return ports.size() == 1 && (ports[0].find('-') != std::string::npos || ports[0].rfind('/', 0) == 0);
}

int RecordBatch(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.Get("out")) throw UsageError{"--out names one recording; a batch is written to --out-dir"};
  int simulate = 0;
  if (o.Get("simulate")) {
    const double n = *o.Number("simulate");
    if (n != static_cast<int>(n) || n < 1 || n > MaxUnits)
      throw UsageError{"--simulate takes the number of virtual gyroscopes, 1 .. " + std::to_string(MaxUnits)};
    if (!o.All("port").empty()) throw UsageError{"--simulate attaches its own devices: leave out --port"};
    simulate = static_cast<int>(n);
  }
  std::vector<std::string> ports = simulate ? std::vector<std::string>{} : BatchPorts(o.All("port"));
  // One chamber programme for every virtual gyroscope of the batch.
  const std::optional<std::string> profile = o.Get("temp-profile");
  if (profile && !simulate) throw UsageError{"--temp-profile is for the virtual gyroscopes (--simulate N)"};
  if (profile) {
    TDeviceConfig chamber;
    if (std::string error; !ParseTempProfile(*profile, chamber, error)) throw UsageError{"--temp-profile: " + error};
  }
  // One rate table for every virtual gyroscope, each turned from its own start.
  if ((o.Get("rate-profile") || o.Get("sf-model")) && !simulate)
    throw UsageError{"--rate-profile and --sf-model are for the virtual gyroscopes (--simulate N)"};
  std::string tableError;
  const auto table = MakeRateTable(o.Get("rate-profile").value_or(""), o.Get("sf-model").value_or(""), tableError);
  if (!tableError.empty()) throw UsageError{tableError};
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;
  const RunLimits limits = ApplyRunOptions(o, settings);
  const std::string folder = o.Get("out-dir").value_or("");
  if (o.Get("out-dir")) {
    struct stat st {};
    if (folder.empty()) throw UsageError{"--out-dir needs a folder"};
    const bool found = ::stat(folder.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
      err << "ratelog-cli: --out-dir " << folder << ": " << (found ? "not a folder" : std::strerror(errno))
          << "\n";
      return ExitFailure;
    }
  }

  // Virtual gyroscopes, each with its own identification and noise seed;
  // they take the place of the ports and go last.
  std::vector<std::unique_ptr<TVirtualGyro>> gyros;
  for (int i = 0; i < simulate; ++i) {
    TDeviceConfig config = TDeviceModel::ConfigFor(settings);
    if (std::string unused; profile) ParseTempProfile(*profile, config, unused);
    config.RateTable = table;
    char ident[32];
    std::snprintf(ident, sizeof ident, "VRDT40-123.456-%05d", i + 1);
    config.SetIdent(ident);
    config.Seed = static_cast<std::uint64_t>(i) + 1;
    gyros.push_back(std::make_unique<TVirtualGyro>(config));
    std::string error;
    if (!gyros.back()->Start(error)) {
      err << "ratelog-cli: " << error << "\n";
      return ExitFailure;
    }
    ports.push_back(gyros.back()->DevicePath());
    out << "virtual gyroscope " << ident << " on " << gyros.back()->DevicePath() << "\n";
    if (i == 0)
      if (const std::string notice = gyros.back()->Notice(); !notice.empty()) out << notice << "\n";
  }

  // The queue outlives the links, whose reader threads post into it.
  TEventQueue queue;
  BatchContext context{out, err, folder, std::time(nullptr)};
  std::vector<std::unique_ptr<Unit>> units;
  for (const std::string& port : ports) units.push_back(std::make_unique<Unit>(port, settings, queue, context));
  StopSignals signals;

  std::size_t opened = 0;
  for (auto& u : units) opened += u->Start();
  for (auto& u : units) {
    if (u->state == Unit::State::Identifying)
      out << "identifying the device on " << u->Port
          << (ComNumber(u->Port) ? " (" + ResolvePortDevice(u->Port) + ")" : std::string()) << " ...\n";
  }
  out << std::flush;

  const Clock::time_point started = Clock::now();
  Clock::time_point nextStatus = started + std::chrono::seconds(1);
  const auto identTimeout = std::chrono::duration<double>(limits.identTimeout);
  const auto runTime = std::chrono::duration<double>(limits.seconds);
  auto running = [&units] {
    return std::any_of(units.begin(), units.end(), [](const auto& u) { return u->state != Unit::State::Ended; });
  };
  int sig = 0;
  try {
    while (opened > 0 && running()) {
      // What the links delivered is taken every few milliseconds, all at
      // once: with many ports a wake-up per notification would cost more
      // than the work it brings.
      std::this_thread::sleep_for(Pace);
      queue.ProcessPending();
      const Clock::time_point now = Clock::now();
      if ((sig = StopSignals::Caught()) != 0) break;
      for (auto& u : units) {
        if (u->state == Unit::State::Ended) continue;
        if (u->StopAsked) {
          u->Finish(Unit::End::Lost);
          err << "ratelog-cli: " << u->Port << ": the device went away"
              << (u->LostReason.empty() ? "" : " (" + u->LostReason + ")") << " after " << u->Samples
              << " samples; its run stopped, the others go on\n";
        } else if (u->state == Unit::State::Identifying && now - started > identTimeout) {
          u->Finish(Unit::End::Silent);
          err << "ratelog-cli: " << u->Port << ": no identification reply within "
              << FormatGeneral(limits.identTimeout) << " s; left out\n";
        } else if (u->state == Unit::State::Recording && limits.seconds > 0 && now - u->IdentifiedAt >= runTime) {
          u->Finish(Unit::End::Done);
        }
      }
      if (now >= nextStatus) {
        nextStatus = now + std::chrono::seconds(1);
        out << StatusLine(std::chrono::duration<double>(now - started).count(), units) << "\n" << std::flush;
      }
    }
  } catch (const std::exception& e) {
    // Whatever went wrong, every run ends as Stop ends it.
    err << "ratelog-cli: " << e.what() << "\n";
  }
  if (sig) out << "stopped by " << StopSignals::Name(sig) << "\n";
  for (auto& u : units) u->StopTimer();
  for (auto& u : units) {
    if (u->state == Unit::State::Identifying) {
      u->Finish(Unit::End::Silent);
      if (!sig) continue;
      err << "ratelog-cli: " << u->Port << ": stopped before the device identified itself; left out\n";
    } else {
      u->Finish(Unit::End::Done);
    }
  }
  for (auto& g : gyros) g->Stop();

  // One line per unit, then the verdict.
  std::string missing;
  int identified = 0;
  for (const auto& u : units) {
    if (!u->Identified) {
      missing += (missing.empty() ? "" : ", ") + u->Port +
                 (u->end == Unit::End::NotOpened ? " (did not open)"
                  : u->end == Unit::End::Lost    ? " (went away before it identified itself)"
                                                 : " (no identification)");
      continue;
    }
    ++identified;
    const bool complete = u->Created && u->RecordingProblem.empty();
    out << u->Port << ": " << u->Ident.c_str() << ": " << u->Samples << " samples, ";
    if (u->Created)
      out << (u->end == Unit::End::Lost ? "recording up to the loss of the device: "
                                        : complete ? "recording: " : "recording incomplete: ")
          << u->File << "\n";
    else
      out << "nothing recorded: "
          << (u->File.empty() || u->Samples > 0 ? "the file could not be created" : "no sample arrived") << "\n";
    if (u->end == Unit::End::Lost)
      missing += (missing.empty() ? "" : ", ") + u->Port + " (the device went away)";
    else if (!complete)
      missing += (missing.empty() ? "" : ", ") + u->Port + " (no complete recording)";
  }
  if (identified == 0) {
    err << "ratelog-cli: no device identified itself: " << missing << "\n";
    return 4;
  }
  if (!missing.empty()) {
    err << "ratelog-cli: not recorded: " << missing << "\n";
    return ExitFailure;
  }
  return ExitOk;
}

}  // namespace cli
