// ratelog-cli record: a headless measurement run with the same acquisition
// sequence as the window, its own event loop standing in for the window's.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>

#include "acquisition/HostInfo.h"
#include "acquisition/MeasurementRun.h"
#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/RecordSupport.h"
#include "processing/NumberFormat.h"
#include "sim/RateTable.h"
#include "sim/VirtualGyro.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

class Owner : public TRunOwner {
 public:
  Owner(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}
  void StopRequested() override { stop = true; }
  void RunIdentified() override {
    identified = true;
    identifiedAt = Clock::now();
  }
  void IdentificationText(const std::string& text) override {
    out_ << "device: " << text.c_str() << "\n" << std::flush;
  }
  void RecordingFailed(const std::string& file, const std::string& reason) override {
    err_ << "ratelog-cli: cannot record to " << file << ": " << reason
         << " (the run goes on without a complete recording)\n";
    recordingFailed = true;
  }
  void LinkLost(int, const std::string& reason) override {
    lost = true;
    lostReason = reason;
  }
  void TickFailed(const std::string& message) override {
    err_ << "ratelog-cli: " << message << "\n";
  }

  bool stop = false, identified = false, lost = false, recordingFailed = false;
  std::string lostReason;
  Clock::time_point identifiedAt;

 private:
  std::ostream& out_;
  std::ostream& err_;
};

std::string Status(double elapsed, const DisplayRecord& d, const TPaket& p) {
  auto f = [](double v, int decimals) { return FormatFixed(v, 15, decimals, '.'); };
  return "t=" + f(elapsed, 1) + " s  time=" + f(d.time, 3) + " s  rate=" + f(d.rate * 3600.0, 4) +
         " \u00B0/h  average=" + f(d.average * 3600.0, 4) + " \u00B0/h  rms=" + f(d.rms * 3600.0, 4) +
         " \u00B0/h  replies=" + std::to_string(p.RepliesReceived) +
         "  crc-dropped=" + std::to_string(p.CrcErrors);
}

}  // namespace

int Record(const Options& o, std::ostream& out, std::ostream& err) {
  if (!o.positional.empty()) throw UsageError{"record takes no file argument (use --out)"};
  if (IsBatchRecord(o)) return RecordBatch(o, out, err);
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;

  // Options change this run only; nothing is saved.
  if (auto port = o.Get("port")) {
    const std::string& p = *port;
    if (p.size() != 4 || p.compare(0, 3, "COM") != 0 || p[3] < '1' || p[3] > '9')
      throw UsageError{"--port must be COM1 .. COM9"};
    settings.PortIndex = p[3] - '1';
  }
  const RunLimits limits = ApplyRunOptions(o, settings);
  const double seconds = limits.seconds, identTimeout = limits.identTimeout;
  const std::optional<std::string> outOption = o.Get("out");
  if (outOption && outOption->empty()) throw UsageError{"--out needs a file name"};
  const std::string outFile = outOption.value_or("");

  if (o.Get("temp-profile") && !o.Flag("simulate"))
    throw UsageError{"--temp-profile is for the virtual gyroscope (--simulate)"};
  if ((o.Get("rate-profile") || o.Get("sf-model")) && !o.Flag("simulate"))
    throw UsageError{"--rate-profile and --sf-model are for the virtual gyroscope (--simulate)"};
  std::unique_ptr<TVirtualGyro> gyro;
  if (o.Flag("simulate")) {
    TDeviceConfig config = TDeviceModel::ConfigFor(settings);
    if (const auto profile = o.Get("temp-profile")) {
      std::string error;
      if (!ParseTempProfile(*profile, config, error)) throw UsageError{"--temp-profile: " + error};
    }
    std::string tableError;
    config.RateTable = MakeRateTable(o.Get("rate-profile").value_or(""), o.Get("sf-model").value_or(""), tableError);
    if (!tableError.empty()) throw UsageError{tableError};
    gyro = std::make_unique<TVirtualGyro>(config);
    std::string error;
    if (!gyro->Start(error)) {
      err << "ratelog-cli: " << error << "\n";
      return ExitFailure;
    }
    // The virtual gyroscope takes the place of the chosen port.
    const std::string var = "RATELOG_" + settings.PortName();
    ::setenv(var.c_str(), gyro->DevicePath().c_str(), 1);
    out << "virtual gyroscope on " << gyro->DevicePath() << " as " << settings.PortName() << "\n";
    if (const std::string notice = gyro->Notice(); !notice.empty()) out << notice << "\n";
  }

  // The queue outlives the link, whose reader thread posts into it, and the
  // packet processor outlives the timer that sends its requests.
  TEventQueue queue;
  auto packet = std::make_unique<TPaket>();
  packet->SetHostNames(ComputerName(), UserName());
  TXComm comm;
  TMMTimer timer;
  timer.SetEnabled(false);
  timer.SetResolution(0);
  Owner owner(out, err);
  TMeasurementRun run(settings, *packet, comm, timer, queue, owner);
  StopSignals signals;

  run.PreparePacket();
  if (!outFile.empty()) run.ArmRecording(outFile);
  try {
    if (!run.OpenAndStart()) {
      int osError = 0;
      std::string reason;
      if (comm.ClosedByLoss(osError, reason))
        err << "ratelog-cli: the device went away while " << settings.PortName() << " was being opened ("
            << reason << ")\n";
      else
        err << "ratelog-cli: " << settings.PortName() << " did not open\n";
      run.StopPortAndPacket();
      return ExitFailure;
    }
  } catch (const EDeviceError& e) {
    err << "ratelog-cli: " << e.what() << PortHint(e.OsError);
    if (e.ErrorCode == DEVICE_CANNOTOPEN) err << " [" << ResolvePortDevice(settings.PortName()) << "]";
    err << "\n";
    run.StopPortAndPacket();
    return ExitFailure;
  }
  out << "identifying the device on " << settings.PortName() << " ("
      << ResolvePortDevice(settings.PortName()) << ") ...\n" << std::flush;

  int code = ExitOk;
  const Clock::time_point started = Clock::now();
  Clock::time_point nextStatus{};
  try {
  for (;;) {
    queue.WaitAndProcess(std::chrono::milliseconds(20));
    const Clock::time_point now = Clock::now();
    if (const int sig = StopSignals::Caught()) {
      out << "stopped by " << StopSignals::Name(sig) << "\n";
      break;
    }
    if (owner.stop) {
      err << "ratelog-cli: the device went away"
          << (owner.lostReason.empty() ? "" : " (" + owner.lostReason + ")") << "; run stopped\n";
      code = ExitFailure;
      break;
    }
    if (!owner.identified) {
      if (now - started > std::chrono::duration<double>(identTimeout)) {
        err << "ratelog-cli: no identification reply from the device on " << settings.PortName()
            << " within " << FormatGeneral(identTimeout) << " s\n";
        code = 4;
        break;
      }
      continue;
    }
    const double elapsed = std::chrono::duration<double>(now - owner.identifiedAt).count();
    if (nextStatus == Clock::time_point{}) nextStatus = owner.identifiedAt + std::chrono::seconds(1);
    if (now >= nextStatus) {
      nextStatus = now + std::chrono::seconds(1);
      out << Status(elapsed, packet->TakeSnapshot(), *packet) << "\n" << std::flush;
    }
    if (seconds > 0 && elapsed >= seconds) break;
  }
  } catch (const std::exception& e) {
    // Whatever went wrong, the run ends as Stop ends it: the recording is
    // completed below.
    err << "ratelog-cli: " << e.what() << "\n";
    code = ExitFailure;
  }

  run.StopTimer();
  try {
    run.ClosePort();  // reads what the device delivered before the stop
  } catch (const std::exception& e) {
    err << "ratelog-cli: " << e.what() << "\n";
    code = ExitFailure;
  }
  const std::uint64_t samples = packet->SamplesAccepted;
  const bool sampled = packet->HeaderWritten;   // the first sample creates the file
  const bool created = packet->FileCreated();
  run.ResetPacket();  // the recording is completed and closed here
  if (gyro) gyro->Stop();
  out << "samples: " << samples << "\n";
  if (!outFile.empty()) {
    if (!created) {
      out << "nothing recorded: " << (sampled ? "the file could not be created" : "no sample arrived")
          << " (" << outFile << ")\n";
      if (code == ExitOk) code = ExitFailure;
    } else {
      out << (owner.recordingFailed ? "recording incomplete: " : "recording: ") << outFile << "\n";
      if (owner.recordingFailed && code == ExitOk) code = ExitFailure;
    }
  }
  return code;
}

}  // namespace cli
