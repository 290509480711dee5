#include "acquisition/MeasurementRun.h"

#include <exception>

TMeasurementRun::TMeasurementRun(TOptionProgramm& settings, TPaket& packet, TXComm& comm,
                                 TMMTimer& timer, TUiDispatcher& ui, TRunOwner& owner)
    : settings_(settings),
      packet_(packet),
      comm_(comm),
      timer_(timer),
      ui_(ui),
      owner_(owner),
      self_(std::make_shared<TMeasurementRun*>(this)) {
  packet_.SetListener(this);
  comm_.SetDispatcher(&ui_);
  comm_.OnData = [this](TCustomComm*, std::uint32_t received) { XComm1Data(received); };
  comm_.OnLost = [this](TCustomComm*, int, const std::string&) {
    ReportLoss();
    RequestStop();
  };
  timer_.SetEnabled(false);
  timer_.SetOnError([this](TMMTimer*, const std::string& message) {
    std::weak_ptr<TMeasurementRun*> weak = self_;
    ui_.Post([weak, message] {
      auto self = weak.lock();
      if (self && *self) (*self)->owner_.TickFailed(message);
    });
  });
  timer_.SetOnTimer([this](TMMTimer*) { MMTimer1Timer(); });
}

TMeasurementRun::~TMeasurementRun() {
  *self_ = nullptr;  // stop requests still queued find nobody
  timer_.SetEnabled(false);
  timer_.SetOnTimer(nullptr);
  timer_.SetOnError(nullptr);
  comm_.OnData = nullptr;
  comm_.OnLost = nullptr;
  packet_.SetListener(nullptr);
}

void TMeasurementRun::PreparePacket() {
  packet_.Assign(settings_);
  packet_.Reset();
}

void TMeasurementRun::ArmRecording(const std::string& fileName) {
  packet_.RecordName = fileName;
  packet_.RecordEnabled = true;
}

bool TMeasurementRun::OpenAndStart() {
  run_.fetch_add(1);
  stopPosted_ = false;
  lossReported_ = false;
  comm_.SetDeviceName(port_.empty() ? settings_.PortName() : port_);
  comm_.OpenDevice();
  if (!comm_.GetOpened()) return false;
  comm_.PurgeIn();
  comm_.PurgeOut();
  packet_.BuildIdentRequest();
  timer_.SetDelay(100);
  SetLinkSpeed(5);
  timer_.SetEnabled(true);
  return true;
}

void TMeasurementRun::SetLinkSpeed(int index) {
  if (!comm_.GetOpened()) return;
  switch (index) {
    case 0: comm_.SetBaudRate(br9600); break;
    case 1: comm_.SetBaudRate(br14400); break;
    case 2: comm_.SetBaudRate(br19200); break;
    case 3: comm_.SetBaudRate(br38400); break;
    case 4: comm_.SetBaudRate(br57600); break;
    case 5: comm_.SetBaudRate(br115200); break;
    case 6:
    case 7:
    case 8:
      comm_.SetBaudRate(brCustom);
      comm_.SetBaudValue(BaudValues[static_cast<std::size_t>(index)]);
      break;
    default:
      comm_.SetBaudRate(br115200);
      settings_.BaudIndex = 5;
      break;
  }
}

void TMeasurementRun::DeviceIdentified() {
  if (draining_) return;  // identified in the last bytes read at Stop: nothing more to start
  timer_.SetEnabled(false);
  packet_.Identified = true;
  if (packet_.Mode == ModeTrigger) {
    // The device streams from now on; nothing more is sent.
    SetLinkSpeed(settings_.BaudIndex);
  } else {
    timer_.SetDelay(static_cast<std::uint32_t>(1000 / packet_.SafeSample()));
    packet_.BuildDataRequest();
    timer_.SetEnabled(true);
  }
  owner_.RunIdentified();
}

void TMeasurementRun::IdentificationText(const std::string& text) { owner_.IdentificationText(text); }

void TMeasurementRun::RecordingFailed(const std::string& fileName, const std::string& reason) {
  owner_.RecordingFailed(fileName, reason);
}

void TMeasurementRun::XComm1Data(std::uint32_t count) {
  if (!comm_.GetOpened() || count == 0) return;
  std::uint8_t buffer[TPaket::ChunkSize];
  const std::uint32_t want = count < sizeof buffer ? count : static_cast<std::uint32_t>(sizeof buffer);
  const std::uint32_t n = comm_.ReadData(buffer, want);
  if (n > 0) packet_.Receive(buffer, n);
}

void TMeasurementRun::MMTimer1Timer() {
  if (!comm_.GetOpened()) {
    RequestStop();
    return;
  }
  try {
    comm_.SendData(packet_.SendBuffer.data(), static_cast<std::uint32_t>(packet_.RequestLength));
  } catch (const EDeviceError& e) {
    if (!comm_.GetOpened()) {
      RequestStop();
      return;
    }
    // Report on the user-interface thread, once per run like a stop.
    std::weak_ptr<TMeasurementRun*> weak = self_;
    const std::uint64_t run = run_.load();
    std::string message = e.what();
    if (!stopPosted_.exchange(true)) {
      ui_.Post([weak, run, message] {
        auto self = weak.lock();
        if (!self || !*self || (*self)->run_.load() != run) return;
        (*self)->owner_.TickFailed(message);
        (*self)->owner_.StopRequested();
      });
    }
  }
}

void TMeasurementRun::RequestStop() {
  if (stopPosted_.exchange(true)) return;  // one request per run
  std::weak_ptr<TMeasurementRun*> weak = self_;
  const std::uint64_t run = run_.load();
  ui_.Post([weak, run] {
    auto self = weak.lock();
    if (!self || !*self) return;
    TMeasurementRun* me = *self;
    if (me->run_.load() != run) return;  // an earlier run's request
    // A tick may find the port closed before the link's own loss report
    // arrives: the owner learns why before it stops.
    me->ReportLoss();
    me->owner_.StopRequested();
  });
}

void TMeasurementRun::ReportLoss() {
  int osError = 0;
  std::string reason;
  if (lossReported_ || !comm_.ClosedByLoss(osError, reason)) return;
  lossReported_ = true;
  owner_.LinkLost(osError, reason);
}

void TMeasurementRun::StopTimer() {
  if (timer_.GetEnabled()) timer_.SetEnabled(false);
}

void TMeasurementRun::ReadQueuedInput() {
  // Only what was queued when Stop began: a streaming device keeps sending.
  draining_ = true;
  try {
    std::uint32_t left = comm_.InQueCount();
    std::uint8_t buffer[TPaket::ChunkSize];
    while (left > 0) {
      const std::uint32_t want = left < sizeof buffer ? left : static_cast<std::uint32_t>(sizeof buffer);
      const std::uint32_t n = comm_.ReadDataEx(buffer, want, 0);
      if (n == 0) break;
      packet_.Receive(buffer, n);
      left -= n;
    }
  } catch (const EDeviceError&) {
    // The device went away meanwhile: what was read is kept.
  }
  draining_ = false;
}

void TMeasurementRun::ClosePort() {
  if (!comm_.GetOpened()) return;
  // The timer is off: bytes the device delivered before Stop are still in
  // the input queue. They are samples of this run, read before the purge.
  ReadQueuedInput();
  try {
    comm_.PurgeIn();
    comm_.PurgeOut();
  } catch (const EDeviceError&) {
    // The device went away between the test and the purge: just close.
  }
  try {
    if (comm_.GetOpened()) comm_.CloseDevice();
  } catch (const EDeviceError& e) {
    // The link closed itself (device lost) between the test and the close.
    if (e.ErrorCode != DEVICE_NOTOPENED) throw;
  }
}

void TMeasurementRun::ResetPacket() {
  packet_.Assign(settings_);
  packet_.Reset();
  run_.fetch_add(1);  // stop requests still queued belong to the run that ended
}

void TMeasurementRun::StopPortAndPacket() {
  StopTimer();
  ClosePort();
  ResetPacket();
}

bool TMeasurementRun::Active() const { return timer_.GetEnabled() || comm_.GetOpened(); }
