// The acquisition side of a measurement run, shared by the window and the
// command-line tool: settings into the packet processor, opening the port,
// the identification phase, the polling timer or trigger streaming, the
// received bytes, and the port and packet steps of Stop. The owner keeps the
// user-facing steps (file dialog, chart, labels, menus) and its own Stop
// sequence, which this class asks for when the link goes away.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/Mmtimer.h"
#include "acquisition/Paket.h"
#include "acquisition/Xcomdrv.h"
#include "settings/Optionsprogramm.h"

class TRunOwner {
 public:
  virtual ~TRunOwner() = default;
  // Run the owner's Stop sequence: the port was found closed by a timer
  // tick or the device went away. Called on the user-interface thread, at
  // most once per run.
  virtual void StopRequested() = 0;
  // The identification phase is over; polling or streaming has begun.
  virtual void RunIdentified() {}
  // Text for the identification label.
  virtual void IdentificationText(const std::string& /*text*/) {}
  // The recording file could not be created or written (once per run).
  virtual void RecordingFailed(const std::string& /*file*/, const std::string& /*reason*/) {}
  // The device went away (unplugged adapter, hang-up); Stop follows.
  virtual void LinkLost(int /*osError*/, const std::string& /*reason*/) {}
  // Sending a request failed, or the timer handler failed otherwise.
  virtual void TickFailed(const std::string& /*message*/) {}
};

class TMeasurementRun : private TPaketListener {
 public:
  // All references must outlive this object. Installs the link's OnData and
  // OnLost handlers and the timer's OnTimer handler, and the dispatcher
  // the link posts its notifications through.
  TMeasurementRun(TOptionProgramm& settings, TPaket& packet, TXComm& comm, TMMTimer& timer,
                  TUiDispatcher& ui, TRunOwner& owner);
  ~TMeasurementRun() override;
  TMeasurementRun(const TMeasurementRun&) = delete;
  TMeasurementRun& operator=(const TMeasurementRun&) = delete;

  // Start, first half: the packet processor takes the live settings and is
  // reset (a recording still open is completed and closed).
  void PreparePacket();
  // Records this run to fileName (after PreparePacket, at the latest when
  // the device has identified itself: the first sample creates the file).
  void ArmRecording(const std::string& fileName);
  // The port the run opens: a name ResolvePortDevice takes ("COM3", or a
  // device file such as /dev/ttyUSB12). Empty: the settings' port.
  void SetPort(const std::string& name) { port_ = name; }
  // Start, second half: opens the port (EDeviceError when it cannot be
  // opened), purges it, and polls the identification request every 100 ms
  // at 115200 bit/s. Returns whether the port is open.
  bool OpenAndStart();

  // Line speed from a BaudIndex (0..8); any other index means 115200 bit/s
  // and corrects the live settings' BaudIndex to 5. Only while the port is
  // open.
  void SetLinkSpeed(int index);

  // Stop, the acquisition steps. The owner calls them in its own order.
  void StopTimer();     // waits for a tick in flight
  void ClosePort();     // read what is queued into the packet processor,
                        // then purge both queues and close, when open
  void ResetPacket();   // the live settings into the packet processor; Reset
                        // (writes the pending records and closes the file)
  // All three, in order (for owners without their own sequence).
  void StopPortAndPacket();

  // Timer enabled or port open: a run is going on.
  bool Active() const;

  // Handlers, also callable by the owner's own named handlers.
  void XComm1Data(std::uint32_t count);  // user-interface thread
  void MMTimer1Timer();                  // timer thread

 private:
  void DeviceIdentified() override;
  void IdentificationText(const std::string& text) override;
  void RecordingFailed(const std::string& fileName, const std::string& reason) override;
  void RequestStop();  // any thread
  void ReadQueuedInput();
  // Tells the owner, once per run, that the link closed itself because the
  // device went away (user-interface thread).
  void ReportLoss();

  TOptionProgramm& settings_;
  TPaket& packet_;
  TXComm& comm_;
  TMMTimer& timer_;
  TUiDispatcher& ui_;
  TRunOwner& owner_;

  // Stop requests are queued to the user-interface thread, at most one per
  // run, and dropped when they arrive after their run ended.
  std::atomic<std::uint64_t> run_{0};
  std::atomic<bool> stopPosted_{false};
  bool draining_ = false;  // ClosePort is reading the last bytes of the run
  bool lossReported_ = false;
  std::string port_;
  std::shared_ptr<TMeasurementRun*> self_;
};
