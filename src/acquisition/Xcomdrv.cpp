#include "acquisition/Xcomdrv.h"

// The kernel's termios2 (arbitrary rates through BOTHER). It clashes with
// glibc's <termios.h>, which this file therefore does not include.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

// ---------------------------------------------------------------------------
// TEventQueue

TUiDispatcher::~TUiDispatcher() = default;

void TEventQueue::Post(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  posted_.notify_all();
}

std::size_t TEventQueue::ProcessPending() {
  std::size_t todo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    todo = queue_.size();
  }
  std::size_t done = 0;
  // One at a time, so that a nested call (a posted function running its own
  // loop) takes the next one and an exception leaves the rest queued.
  while (done < todo) {
    std::function<void()> fn;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (queue_.empty()) break;
      fn = std::move(queue_.front());
      queue_.pop_front();
    }
    ++done;
    if (fn) fn();
  }
  return done;
}

std::size_t TEventQueue::WaitAndProcess(std::chrono::milliseconds timeout) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!posted_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) return 0;
  }
  return ProcessPending();
}

std::size_t TEventQueue::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

// ---------------------------------------------------------------------------
// Port names

std::string ResolvePortDevice(const std::string& name) {
  std::string how;
  return ResolvePortDevice(name, how);
}

std::string ResolvePortDevice(const std::string& name, std::string& how) {
  how = "path";
  if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '9')
    return name;
  const int index = name[3] - '1';
  const std::string variable = "RATELOG_" + name;
  how = variable;
  if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0')
    return path;
  for (const char* stem : {"/dev/ttyUSB", "/dev/ttyACM"}) {
    std::string path = stem + std::to_string(index);
    how = stem + 5;
    if (::access(path.c_str(), F_OK) == 0) return path;
  }
  how = "ttyS";
  return "/dev/ttyS" + std::to_string(index);
}

// ---------------------------------------------------------------------------

std::uint32_t BaudRateValue(TBaudRate rate) {
  static constexpr std::uint32_t rates[] = {110,   300,   600,   1200,  2400,   4800,
                                            9600,  14400, 19200, 38400, 56000,  57600,
                                            115200, 128000, 256000};
  const auto i = static_cast<unsigned>(rate);
  return i < sizeof rates / sizeof rates[0] ? rates[i] : 0;
}

namespace {

constexpr auto kIdlePause = std::chrono::milliseconds(10);
// Pause after each notification while bytes keep coming, so that bursts are
// delivered together (at most about 500 notifications a second).
constexpr auto kGatherPause = std::chrono::milliseconds(2);

// Errors that mean the device itself has gone (adapter unplugged, peer of a
// pseudo-terminal closed), as opposed to a failed transfer on a live port.
bool IsLostError(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EPIPE; }

tcflag_t SpeedCode(std::uint32_t rate) {
  switch (rate) {
    case 110: return B110;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return BOTHER;  // 14400, 56000, 128000, 256000, any other
  }
}

int QueueCount(int fd, unsigned long request) {
  int n = 0;
  if (::ioctl(fd, request, &n) != 0 || n < 0) return 0;
  return n;
}

// Waits on the monotonic clock until deadline for events on fd (may be 0:
// only hang-ups) or for the wake descriptor. Returns the revents of fd, or
// -1 when woken (port closing), 0 on time-out.
int WaitFor(int fd, short events, int wake, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd p[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    const int r = ::ppoll(p, 2, &ts, nullptr);
    if (r < 0) {
      if (errno == EINTR) continue;
      return POLLERR;
    }
    if (r == 0) return 0;
    if (p[1].revents != 0) return -1;
    return p[0].revents;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TCustomComm

struct TCustomComm::TShared {
  // Cleared when the component is destroyed. Notifications run on the
  // owning thread, as does the destructor, so no lock is needed.
  TCustomComm* owner = nullptr;
};

// Holds the descriptors of the current open for the length of a system call:
// closing waits until no use is left.
class TCustomComm::TUse {
 public:
  explicit TUse(TCustomComm& comm) : comm_(comm) {
    std::lock_guard<std::mutex> lock(comm.mutex_);
    const int fd = comm.handle_.load();
    if (fd >= 0 && !comm.closing_) {
      this->fd = fd;
      wake = comm.wakeFd_;
      epoch = comm.epoch_;
      ++comm.uses_;
    }
  }
  ~TUse() { Release(); }
  TUse(const TUse&) = delete;
  TUse& operator=(const TUse&) = delete;

  void Release() {
    if (fd < 0) return;
    fd = -1;
    std::lock_guard<std::mutex> lock(comm_.mutex_);
    if (--comm_.uses_ == 0) comm_.changed_.notify_all();
  }

  int fd = -1;
  int wake = -1;
  std::uint64_t epoch = 0;

 private:
  TCustomComm& comm_;
};

TCustomComm::TCustomComm() : shared_(std::make_shared<TShared>()) { shared_->owner = this; }

TCustomComm::~TCustomComm() {
  shared_->owner = nullptr;  // notifications still queued do nothing
  std::uint64_t epoch;
  bool open;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    epoch = epoch_;
    open = handle_.load() >= 0;
  }
  if (open) ShutDown(epoch);
  JoinReader();
  // A loss being handled on another thread finishes before the members go.
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !closing_; });
}

TCommLocks TCustomComm::GetLocked() const {
  TCommLocks locks = 0;
  if (sendLocked_.load()) locks |= SetOf(clSendLocked);
  if (readLocked_.load()) locks |= SetOf(clReadLocked);
  return locks;
}

void TCustomComm::SetDispatcher(TUiDispatcher* dispatcher) { dispatcher_ = dispatcher; }

void TCustomComm::RaiseNotOpened() const { throw EDeviceError::Make(DEVICE_NOTOPENED); }

bool TCustomComm::OpenDevice() {
  if (GetOpened()) throw EDeviceError::Make(DEVICE_ALREADYOPENED);
  JoinReader();  // the reader of a port that closed itself
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !closing_; });
  }
  sendLocked_ = false;
  readLocked_ = false;
  lostClosed_ = false;
  // A send that was ending while the last open closed may have counted
  // after the close cleared the totals: each open counts from zero.
  received_ = 0;
  sent_ = 0;
  paused_ = 0;
  updating_ = false;

  const std::string path = ResolvePortDevice(deviceName_);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EDeviceError::Make(DEVICE_CANNOTOPEN, deviceName_, errno);
  // The lock keeps out a second Ratelog also when run as root, which
  // TIOCEXCL does not; TIOCEXCL keeps out other programs that open the
  // device after us. Exclusive mode is set only once the lock is ours, so a
  // refused open leaves the holder's device as it was.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    throw EDeviceError::Make(DEVICE_CANNOTOPEN, deviceName_, e);
  }
  ::ioctl(fd, TIOCEXCL);  // fails on a file that is no terminal: settings report it
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    const int e = errno;
    ::close(fd);
    throw EDeviceError::Make(DEVICE_CANNOTOPEN, deviceName_, e);
  }

  std::uint64_t epoch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handle_ = fd;
    wakeFd_ = wake;
    activeDispatcher_ = dispatcher_;
    pending_ = false;
    idleWait_ = false;
    epoch = ++epoch_;
    ++uses_;  // the reader's, for its whole life
  }
  devicePath_ = path;
  try {
    reader_ = std::thread(&TCustomComm::ReaderBody, this, epoch, fd, wake);
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --uses_;
    }
    ShutDown(epoch);
    devicePath_.clear();
    throw EDeviceError::Make(DEVICE_CANNOTOPEN, deviceName_, e.code().value());
  }
  ApplyAll();
  return GetOpened();
}

void TCustomComm::CloseDevice() {
  std::uint64_t epoch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    epoch = epoch_;
  }
  if (!GetOpened()) {
    JoinReader();
    RaiseNotOpened();
  }
  ShutDown(epoch);  // false only when the port closed itself meanwhile
  JoinReader();
}

bool TCustomComm::ShutDown(std::uint64_t epoch, int lostError, const char* reason) {
  int fd;
  int wake;
  TUiDispatcher* dispatcher = nullptr;
  std::uint64_t closedEpoch;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (handle_.load() < 0 || epoch_ != epoch || closing_) return false;
    fd = handle_.load();
    wake = wakeFd_;
    lostClosed_ = lostError != 0;
    handle_ = -1;  // GetOpened() is false from here on
    closing_ = true;
    pending_ = false;
    closedEpoch = ++epoch_;  // notifications of the open become stale
    dispatcher = activeDispatcher_;
    if (lostError != 0) {
      lostError_ = lostError;
      std::snprintf(lostReason_, sizeof lostReason_, "%s", reason);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);  // wakes every poll
    changed_.notify_all();
    changed_.wait(lock, [this] { return uses_ == 0; });
    wakeFd_ = -1;
    received_ = 0;
    sent_ = 0;
    paused_ = 0;
  }
  ::ioctl(fd, TIOCNXCL);  // the flag lives on in the terminal, not in our descriptor
  ::close(fd);
  ::close(wake);
  if (lostError != 0 && dispatcher != nullptr) {
    // Posted before closing_ is cleared: the destructor waits for that.
    try {
      dispatcher->Post([shared = shared_, closedEpoch] {
        if (shared->owner) shared->owner->DeliverLost(closedEpoch);
      });
    } catch (...) {
      // Out of memory: the link is closed all the same, and GetOpened() says so.
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = false;
  }
  changed_.notify_all();
  return true;
}

void TCustomComm::JoinReader() {
  if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) reader_.join();
  if (!GetOpened()) devicePath_.clear();
}

bool TCustomComm::ClosedByLoss(int& osError, std::string& reason) const {
  if (!lostClosed_.load()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  osError = lostError_;
  reason = lostReason_;
  return true;
}

void TCustomComm::DeliverLost(std::uint64_t epoch) {
  int osError;
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoch != epoch_) return;  // reopened since
    osError = lostError_;
    reason = lostReason_;
  }
  JoinReader();
  if (OnLost) OnLost(this, osError, reason);
}

// Reader thread: waits for received bytes, a hang-up or the close signal.
// Each arrival posts one notification and then waits until the owning
// thread has taken it (or the port closes), so notifications never pile up
// and OnData is never called for one arrival twice at once. It never waits
// for the owning thread in a way a close could not end.
void TCustomComm::ReaderBody(std::uint64_t epoch, int fd, int wake) {
  TUiDispatcher* dispatcher;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dispatcher = activeDispatcher_;
  }
  int lostError = 0;
  const char* reason = "";
  for (;;) {
    pollfd p[2] = {{fd, static_cast<short>(dispatcher ? POLLIN : 0), 0}, {wake, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      lostError = errno;
      reason = std::strerror(lostError);
      break;
    }
    if (p[1].revents != 0) break;  // closing
    if (p[0].revents & POLLNVAL) {
      lostError = EBADF;
      reason = std::strerror(EBADF);
      break;
    }
    if (p[0].revents & (POLLHUP | POLLERR)) {
      lostError = EIO;
      reason = "line hung up";
      break;
    }
    if (!(p[0].revents & POLLIN)) continue;

    std::unique_lock<std::mutex> lock(mutex_);
    if (epoch_ != epoch) break;
    pending_ = true;
    lock.unlock();
    bool posted = true;
    try {
      dispatcher->Post([shared = shared_, epoch] {
        if (shared->owner) shared->owner->DeliverData(epoch);
      });
    } catch (...) {
      posted = false;
    }
    lock.lock();
    if (!posted) {
      pending_ = false;
      idleWait_ = true;
    }
    changed_.wait(lock, [&] { return !pending_ || epoch_ != epoch; });
    if (epoch_ != epoch) break;
    // The handler took nothing (or there was nothing to take): bytes it
    // leaves queued keep the port readable, so pause a little instead of
    // spinning; new bytes are still reported within the pause.
    if (idleWait_ && changed_.wait_for(lock, kIdlePause, [&] { return epoch_ != epoch; }))
      break;
    // Bytes that follow each other closely (a device streaming thousands of
    // frames a second) are gathered for a moment, so that one notification
    // carries many frames instead of one each. Closing ends the wait.
    if (changed_.wait_for(lock, kGatherPause, [&] { return epoch_ != epoch; })) break;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--uses_ == 0) changed_.notify_all();
  }
  if (lostError != 0) ShutDown(epoch, lostError, reason);
}

// On the owning thread. Raises OnData (through UpdateEvents, HandleEvents,
// ReceiveData) with the bytes queued now, then tells the reader it may
// collect the next event.
void TCustomComm::DeliverData(std::uint64_t epoch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (epoch != epoch_ || handle_.load() < 0) return;  // stale: closed or reopened
  }
  if (inData_) {
    // A nested event loop inside OnData (a message box): run it after the
    // outer OnData has returned instead of entering the handler again.
    deferred_ = true;
    deferredEpoch_ = epoch;
    return;
  }
  std::uint32_t before = 0;
  {
    TUse use(*this);
    if (use.fd >= 0) before = static_cast<std::uint32_t>(QueueCount(use.fd, FIONREAD));
  }
  struct Done {
    TCustomComm& comm;
    std::uint64_t epoch;
    std::uint32_t before;
    ~Done() {
      comm.inData_ = false;
      std::uint32_t after = 0;
      {
        TUse use(comm);
        if (use.fd >= 0) after = static_cast<std::uint32_t>(QueueCount(use.fd, FIONREAD));
      }
      TUiDispatcher* dispatcher = nullptr;
      {
        std::lock_guard<std::mutex> lock(comm.mutex_);
        if (comm.epoch_ == epoch) {
          comm.pending_ = false;
          comm.idleWait_ = before == 0 || after >= before;
        }
        if (comm.deferred_) {
          comm.deferred_ = false;
          if (comm.deferredEpoch_ == comm.epoch_ && comm.handle_.load() >= 0)
            dispatcher = comm.activeDispatcher_;
        }
      }
      comm.changed_.notify_all();
      if (dispatcher) {
        try {
          dispatcher->Post([shared = comm.shared_, e = comm.deferredEpoch_] {
            if (shared->owner) shared->owner->DeliverData(e);
          });
        } catch (...) {
        }
      }
    }
  } done{*this, epoch, before};
  inData_ = true;
  UpdateEvents(SetOf(deChar));
}

void TCustomComm::UpdateEvents(TDeviceEvents events) {
  if (!GetOpened()) return;
  HandleEvents(events);
}

void TCustomComm::HandleEvents(TDeviceEvents events) {
  if (events & SetOf(deChar, deFlag)) {
    std::uint32_t count = 0;
    {
      TUse use(*this);
      if (use.fd >= 0) count = static_cast<std::uint32_t>(QueueCount(use.fd, FIONREAD));
    }
    ReceiveData(count);
  }
  const TDeviceEvents monitored = events & monitorEvents_;
  if (paused_.load() == 0 && OnCommEvent && monitored != 0) OnCommEvent(this, monitored);
}

void TCustomComm::ReceiveData(std::uint32_t received) {
  if (paused_.load() == 0 && OnData) OnData(this, received);
}

void TCustomComm::SetPaused(bool value) {
  if (value) {
    ++paused_;
  } else {
    int n = paused_.load();
    while (n > 0 && !paused_.compare_exchange_weak(n, n - 1)) {
    }
  }
}

// ---------------------------------------------------------------------------
// Settings

void TCustomComm::ApplyAll() {
  UpdateDCB();
  UpdateBuffers();
  UpdateTimeouts();
}

void TCustomComm::UpdateDCB() {
  TUse use(*this);
  if (use.fd < 0) return;
  termios2 t{};
  if (::ioctl(use.fd, TCGETS2, &t) != 0)
    throw EDeviceError::Make(DEVICE_UPDATEDCB, deviceName_, errno);

  // Raw 8-bit ("binary") data: no translation, no echo, no signals.
  t.c_iflag = 0;
  t.c_oflag = 0;
  t.c_lflag = 0;
  tcflag_t c = CREAD | CLOCAL;  // HUPCL cleared: closing leaves DTR alone
  switch (dataControl_.DataBits) {
    case db5: c |= CS5; break;
    case db6: c |= CS6; break;
    case db7: c |= CS7; break;
    case db8: c |= CS8; break;
    default:  // 4 data bits: no serial driver here can do that
      throw EDeviceError::Make(DEVICE_UPDATEDCB, deviceName_, EINVAL);
  }
  switch (dataControl_.Parity) {
    case paNone: break;
    case paOdd: c |= PARENB | PARODD; break;
    case paEven: c |= PARENB; break;
    case paMark: c |= PARENB | PARODD | CMSPAR; break;
    case paSpace: c |= PARENB | CMSPAR; break;
  }
  if (options_ & SetOf(coParityCheck)) t.c_iflag |= INPCK;
  // 1.5 stop bits: the UART gives 1.5 for 5 data bits and 2 otherwise.
  if (dataControl_.StopBits != sb1) c |= CSTOPB;

  const bool custom = flowControl_ == fcCustom;
  if (flowControl_ == fcRtsCts ||
      (custom && (rtsSettings_ & SetOf(fsCTSOut, fsRTSHandshake)) != 0))
    c |= CRTSCTS;
  if (flowControl_ == fcSoftware || (custom && (xonXoffSettings_ & SetOf(fsOutX))))
    t.c_iflag |= IXON;
  if (flowControl_ == fcSoftware || (custom && (xonXoffSettings_ & SetOf(fsInX))))
    t.c_iflag |= IXOFF;

  if (baudValue_ == 0)  // rate 0 would hang the line up
    throw EDeviceError::Make(DEVICE_UPDATEDCB, deviceName_, EINVAL);
  const tcflag_t speed = SpeedCode(baudValue_);
  c |= speed;  // input rate bits stay 0: the same as the output rate
  t.c_cflag = c;
  t.c_ispeed = baudValue_;
  t.c_ospeed = baudValue_;

  t.c_cc[VSTART] = eventChars_.XonChar;
  t.c_cc[VSTOP] = eventChars_.XoffChar;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::ioctl(use.fd, TCSETS2, &t) != 0)
    throw EDeviceError::Make(DEVICE_UPDATEDCB, deviceName_, errno);

  // Modem lines: DTR and RTS are asserted only when asked for. Terminals
  // without modem lines (pseudo-terminals) refuse these; that is no error.
  const bool dtr = (custom && (dtrSettings_ & SetOf(fsDTREnabled, fsDTRHandshake))) ||
                   (options_ & SetOf(coLeaveDTROpen)) || flowControl_ == fcDtrDsr;
  const bool rts = (custom && (rtsSettings_ & SetOf(fsRTSEnabled, fsRTSHandshake))) ||
                   flowControl_ == fcRtsCts;
  int bits = (dtr ? TIOCM_DTR : 0) | (rts ? TIOCM_RTS : 0);
  if (bits) ::ioctl(use.fd, TIOCMBIS, &bits);
  bits = (dtr ? 0 : TIOCM_DTR) | (rts ? 0 : TIOCM_RTS);
  if (bits) ::ioctl(use.fd, TIOCMBIC, &bits);
}

void TCustomComm::UpdateBuffers() {
  TUse use(*this);
  if (use.fd < 0) return;
  // The kernel's queues have fixed sizes; InputSize and OutputSize bound
  // what SendData queues and set the XON/XOFF limits. Both queues are
  // discarded as on any buffer update.
  if (::ioctl(use.fd, TCFLSH, TCIOFLUSH) != 0)
    throw EDeviceError::Make(DEVICE_UPDATEBUFFERS, deviceName_, errno);
}

void TCustomComm::UpdateTimeouts() {
  // Reads and writes are non-blocking and bounded by the time limits of
  // ReadDataEx / SendDataEx; the per-character time-outs have no
  // counterpart in the terminal driver, so there is nothing to refuse.
}

void TCustomComm::SetBaudRate(TBaudRate value) {
  baudRate_ = value;
  if (value != brCustom) baudValue_ = BaudRateValue(value);
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetBaudValue(std::uint32_t value) {
  if (baudRate_ != brCustom) return;
  baudValue_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetBuffers(const TCommBuffers& value) {
  buffers_ = value;
  buffers_.InputSize = std::clamp<std::uint16_t>(value.InputSize, 128, 4096);
  buffers_.OutputSize = std::clamp<std::uint16_t>(value.OutputSize, 128, 4096);
  if (GetOpened() && !updating_) UpdateBuffers();
}

void TCustomComm::SetDataControl(const TCommDataControl& value) {
  dataControl_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetDeviceName(const std::string& value) {
  if (GetOpened() || value == deviceName_) return;
  deviceName_ = value;
}

void TCustomComm::SetDTRSettings(TDTRSettings value) {
  dtrSettings_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetEventChars(const TCommEventChars& value) {
  eventChars_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetFlowControl(TFlowControl value) {
  flowControl_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetOptions(TCommOptions value) {
  options_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetRTSSettings(TRTSSettings value) {
  rtsSettings_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::SetTimeouts(const TCommTimeoutsEx& value) {
  timeouts_ = value;
  if (GetOpened() && !updating_) UpdateTimeouts();
}

void TCustomComm::SetXOnXOffSettings(TXOnXOffSettings value) {
  xonXoffSettings_ = value;
  if (GetOpened() && !updating_) UpdateDCB();
}

void TCustomComm::BeginUpdate() { updating_ = true; }

void TCustomComm::EndUpdate() {
  if (!updating_) return;
  updating_ = false;
  if (GetOpened()) ApplyAll();
}

// ---------------------------------------------------------------------------
// Queues, reading and writing

std::uint32_t TCustomComm::InQueCount() {
  TUse use(*this);
  if (use.fd < 0) RaiseNotOpened();
  return static_cast<std::uint32_t>(QueueCount(use.fd, FIONREAD));
}

std::uint32_t TCustomComm::OutQueCount() {
  TUse use(*this);
  if (use.fd < 0) RaiseNotOpened();
  return static_cast<std::uint32_t>(QueueCount(use.fd, TIOCOUTQ));
}

bool TCustomComm::PurgeIn() {
  TUse use(*this);
  if (use.fd < 0) RaiseNotOpened();
  received_ += static_cast<std::uint32_t>(QueueCount(use.fd, FIONREAD));
  return ::ioctl(use.fd, TCFLSH, TCIFLUSH) == 0;
}

bool TCustomComm::PurgeOut() {
  TUse use(*this);
  if (use.fd < 0) RaiseNotOpened();
  return ::ioctl(use.fd, TCFLSH, TCOFLUSH) == 0;
}

std::uint32_t TCustomComm::ReadData(void* buffer, std::uint32_t count) {
  return ReadDataEx(buffer, count, buffers_.InputTimeout);
}

std::uint32_t TCustomComm::SendData(const void* buffer, std::uint32_t count) {
  return SendDataEx(buffer, count, buffers_.OutputTimeout);
}

std::uint32_t TCustomComm::ReadDataEx(void* buffer, std::uint32_t count,
                                      std::uint32_t timeoutMs) {
  if (!GetOpened()) {
    // A notification taken after the device went away: nothing to read.
    if (lostClosed_.load()) return 0;
    RaiseNotOpened();
  }
  if (readLocked_.load()) throw EDeviceError::Make(DEVICE_READLOCKED);
  if (count == 0) return 0;

  auto* out = static_cast<std::uint8_t*>(buffer);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::uint32_t done = 0;
  while (done < count) {
    int lostError = 0;
    const char* reason = "";
    std::uint64_t epoch = 0;
    ssize_t n = 0;
    {
      TUse use(*this);
      if (use.fd < 0) break;  // closed by a loss meanwhile
      epoch = use.epoch;
      const int available = QueueCount(use.fd, FIONREAD);
      if (available > 0) {
        const std::uint32_t want = std::min<std::uint32_t>(available, count - done);
        n = ::read(use.fd, out + done, want);
        if (n == 0) {
          lostError = EIO;
          reason = "end of file";
        } else if (n < 0) {
          const int e = errno;
          n = 0;
          if (IsLostError(e)) {
            lostError = e;
            reason = std::strerror(e);
          } else if (e != EAGAIN && e != EINTR) {
            throw EDeviceError::Make(DEVICE_READERROR, deviceName_, e);
          }
        }
      } else {
        // Wait (without spinning) for bytes until more than the time limit
        // has passed since the call.
        const int r = WaitFor(use.fd, POLLIN, use.wake, deadline);
        if (r == 0 || r < 0) break;  // time limit, or the port is closing
        if (r & (POLLHUP | POLLERR | POLLNVAL)) {
          lostError = EIO;
          reason = "line hung up";
        }
      }
    }
    if (lostError != 0) {
      ShutDown(epoch, lostError, reason);
      break;
    }
    if (n > 0) {
      received_ += static_cast<std::uint32_t>(n);
      done += static_cast<std::uint32_t>(n);
      if (OnRead) {
        readLocked_ = true;
        struct Unlock {
          std::atomic<bool>& flag;
          ~Unlock() { flag = false; }
        } unlock{readLocked_};
        OnRead(this);
      }
    }
  }
  return done;
}

std::uint32_t TCustomComm::SendDataEx(const void* buffer, std::uint32_t count,
                                      std::uint32_t timeoutMs) {
  if (!GetOpened()) RaiseNotOpened();
  if (sendLocked_.load()) throw EDeviceError::Make(DEVICE_SENDLOCKED);
  if (count == 0) return 0;

  const auto* in = static_cast<const std::uint8_t*>(buffer);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const int outputSize = buffers_.OutputSize;
  std::uint32_t done = 0;
  while (done < count) {
    int lostError = 0;
    const char* reason = "";
    std::uint64_t epoch = 0;
    ssize_t n = 0;
    bool attempted = false;
    bool stop = false;
    {
      TUse use(*this);
      if (use.fd < 0) break;  // closed meanwhile
      epoch = use.epoch;
      const int space = outputSize - QueueCount(use.fd, TIOCOUTQ);
      if (space > 0) {
        attempted = true;
        const std::uint32_t want = std::min<std::uint32_t>(space, count - done);
        n = ::write(use.fd, in + done, want);
        if (n < 0) {
          const int e = errno;
          n = 0;
          if (IsLostError(e)) {
            lostError = e;
            reason = std::strerror(e);
          } else if (e != EAGAIN && e != EINTR) {
            throw EDeviceError::Make(DEVICE_WRITEERROR, deviceName_, e);
          }
        }
      }
      if (lostError == 0 && n == 0) {
        // Nothing went out. A full kernel buffer is waited for with poll;
        // our own queue limit drains at line rate, so look again shortly.
        auto until = deadline;
        if (space <= 0)
          until = std::min(deadline, std::chrono::steady_clock::now() +
                                         std::chrono::milliseconds(1));
        const int r = WaitFor(use.fd, space > 0 ? POLLOUT : 0, use.wake, until);
        if (r < 0) {
          stop = true;  // closing
        } else if (r & (POLLHUP | POLLERR | POLLNVAL)) {
          lostError = EIO;
          reason = "line hung up";
        } else if (std::chrono::steady_clock::now() >= deadline) {
          stop = true;
        }
      }
    }
    if (lostError != 0) {
      ShutDown(epoch, lostError, reason);
      break;
    }
    if (attempted) UpdateEvents(SetOf(deOutEmpty));
    if (n > 0) {
      sent_ += static_cast<std::uint32_t>(n);
      done += static_cast<std::uint32_t>(n);
      if (OnSend) {
        sendLocked_ = true;
        struct Unlock {
          std::atomic<bool>& flag;
          ~Unlock() { flag = false; }
        } unlock{sendLocked_};
        OnSend(this);
      }
    }
    if (stop) break;
  }
  return done;
}
