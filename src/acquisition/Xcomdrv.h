// Serial link to the gyroscope: one serial port opened for exclusive use,
// raw 8-bit data, block reads and writes with time limits, and a
// received-data notification delivered on the user-interface thread.
//
// Port names: the user sees and stores "COM1".."COM9"; ResolvePortDevice
// turns such a name into a device file (see there). The link itself keeps
// the name as given.
//
// Threads: the thread that owns the link (the user-interface thread) opens,
// closes, purges, reads and changes properties. A reader thread of the link
// only waits for port events and posts notifications through the injected
// TUiDispatcher; it never waits for the user-interface thread, so closing
// the port can never deadlock on a pending notification. Another thread (the
// periodic timer) may send while the owner reads. The descriptor is kept
// alive by a use count: closing waits until no send or read is inside a
// system call on it, so a late send never reaches a file that got the same
// descriptor number afterwards.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "acquisition/Xcomerr.h"

// ---------------------------------------------------------------------------
// Hand-over to the user-interface thread.

// Runs functions on the thread that owns the serial link. Post may be called
// from any thread and must not block for long nor run fn at once; fn runs
// later on the owning thread, in the order posted.
class TUiDispatcher {
 public:
  virtual ~TUiDispatcher();
  virtual void Post(std::function<void()> fn) = 0;
};

// A plain event queue for a program (or test) without a window toolkit: the
// thread that calls ProcessPending / WaitAndProcess is "the user-interface
// thread". An exception escaping a posted function leaves ProcessPending;
// the functions behind it stay queued.
class TEventQueue : public TUiDispatcher {
 public:
  void Post(std::function<void()> fn) override;
  // Runs the functions queued now (not those they post in turn); returns how
  // many ran. May be called from inside a posted function (nested loop).
  std::size_t ProcessPending();
  // Waits up to timeout for at least one function, then runs what is queued.
  // Returns how many ran (0 after a time-out).
  std::size_t WaitAndProcess(std::chrono::milliseconds timeout);
  std::size_t Pending() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

// ---------------------------------------------------------------------------
// Port names.

// "COM1".."COM9" -> the environment variable RATELOG_COMn when set and not
// empty (any path, e.g. a pseudo-terminal), else /dev/ttyUSB<n-1> if it
// exists, else /dev/ttyACM<n-1> if it exists, else /dev/ttyS<n-1>. Any other
// name (an absolute path, say) is returned unchanged.
std::string ResolvePortDevice(const std::string& name);
// The same, also telling how the name was resolved: "RATELOG_COMn",
// "ttyUSB", "ttyACM", "ttyS", or "path" for a name taken unchanged.
std::string ResolvePortDevice(const std::string& name, std::string& how);

// ---------------------------------------------------------------------------
// Enumerations (ordinal order is significant).

enum TBaudRate {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000, brCustom
};
enum TDataBits { db4, db5, db6, db7, db8 };
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sb1, sb1p5, sb2 };
enum TFlowControl { fcNone, fcRtsCts, fcDtrDsr, fcSoftware, fcCustom };
enum TDeviceEvent {
  deChar, deFlag, deOutEmpty, deCTS, deDSR, deRLSD, deBreak, deError, deRing,
  dePrintError, deIn80Full, deProv1, deProv2
};
enum TCommOption {
  coAbortOnError, coDiscardNull, coDSRSensitivity, coErrorChar, coParityCheck,
  coTXContinueOnXOff, coLeaveDTROpen
};
enum TDTRSetting { fsDSROut, fsDTREnabled, fsDTRHandshake };
enum TRTSSetting { fsCTSOut, fsRTSEnabled, fsRTSHandshake };
enum TXOnXOffSetting { fsInX, fsOutX };
enum TCommLock { clSendLocked, clReadLocked };

// Sets of the enumerations above: bit n stands for the member of ordinal n.
using TDeviceEvents = std::uint16_t;
using TCommOptions = std::uint8_t;
using TDTRSettings = std::uint8_t;
using TRTSSettings = std::uint8_t;
using TXOnXOffSettings = std::uint8_t;
using TCommLocks = std::uint8_t;

template <typename E>
constexpr std::uint32_t SetOf(E e) {
  return 1u << static_cast<unsigned>(e);
}
template <typename E, typename... Rest>
constexpr std::uint32_t SetOf(E e, Rest... rest) {
  return SetOf(e) | SetOf(rest...);
}

// Rate named by a TBaudRate member in bit/s; 0 for brCustom.
std::uint32_t BaudRateValue(TBaudRate rate);

struct TCommBuffers {
  std::uint16_t InputSize = 4096;      // bytes, 128..4096
  std::uint16_t InputTimeout = 500;    // ms, time limit of ReadData
  std::uint16_t OutputSize = 2048;     // bytes, 128..4096
  std::uint16_t OutputTimeout = 500;   // ms, time limit of SendData
};

struct TCommDataControl {
  TDataBits DataBits = db8;
  TParity Parity = paNone;
  TStopBits StopBits = sb2;
};

struct TCommEventChars {
  std::uint8_t XonChar = 0x11;
  std::uint8_t XoffChar = 0x13;
  std::uint8_t EofChar = 0x00;
  std::uint8_t ErrorChar = 0x00;
  std::uint8_t EventChar = 0x0A;
};

struct TCommTimeoutsEx {
  std::uint32_t ReadInterval = 1;
  std::uint32_t ReadMultiplier = 0;
  std::uint32_t ReadConstant = 3;
  std::uint32_t WriteMultiplier = 0;
  std::uint32_t WriteConstant = 3;
};

// ---------------------------------------------------------------------------

class TCustomComm {
 public:
  using TCommEvent = std::function<void(TCustomComm* Sender, TDeviceEvents Events)>;
  using TDataEvent = std::function<void(TCustomComm* Sender, std::uint32_t Received)>;
  using TNotifyEvent = std::function<void(TCustomComm* Sender)>;
  // Raised on the user-interface thread after the link closed itself
  // because the device went away (hang-up, I/O error, end of file).
  // osError is the errno behind it (EIO for a hang-up); reason is the text.
  using TLostEvent =
      std::function<void(TCustomComm* Sender, int osError, const std::string& reason)>;

  TCustomComm();
  virtual ~TCustomComm();
  TCustomComm(const TCustomComm&) = delete;
  TCustomComm& operator=(const TCustomComm&) = delete;

  virtual TCommLocks GetLocked() const;
  // Opens DeviceName (resolved by ResolvePortDevice) and applies the line
  // settings, queues and time-outs. Raises EDeviceError: 2 when open
  // already, 65535 when the device cannot be opened or is in use (OsError
  // tells why; EBUSY when another program holds it); 3, 6 or 7 when a
  // setting is refused, the port then stays open. Returns GetOpened().
  virtual bool OpenDevice();
  // Raises 1 on a closed port. Waits until a send or read on another thread
  // has left the port and the reader thread has ended; never waits for the
  // user-interface thread.
  virtual void CloseDevice();

  bool GetOpened() const { return handle_.load(std::memory_order_acquire) >= 0; }

  // Where notifications (OnData, OnLost) are posted. Set it while the port
  // is closed; it must outlive the link's open periods. Without one no
  // notifications are raised (reads and writes still work).
  void SetDispatcher(TUiDispatcher* dispatcher);
  TUiDispatcher* GetDispatcher() const { return dispatcher_; }

  // Properties. Changes while open are applied at once unless an update is
  // in progress (BeginUpdate .. EndUpdate, which then applies everything).
  TBaudRate GetBaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  std::uint32_t GetBaudValue() const { return baudValue_; }
  void SetBaudValue(std::uint32_t value);
  const TCommBuffers& GetBuffers() const { return buffers_; }
  void SetBuffers(const TCommBuffers& value);
  const TCommDataControl& GetDataControl() const { return dataControl_; }
  void SetDataControl(const TCommDataControl& value);
  const std::string& GetDeviceName() const { return deviceName_; }
  void SetDeviceName(const std::string& value);
  TDTRSettings GetDTRSettings() const { return dtrSettings_; }
  void SetDTRSettings(TDTRSettings value);
  const TCommEventChars& GetEventChars() const { return eventChars_; }
  void SetEventChars(const TCommEventChars& value);
  TDeviceEvents GetMonitorEvents() const { return monitorEvents_; }
  void SetMonitorEvents(TDeviceEvents value) { monitorEvents_ = value; }
  TFlowControl GetFlowControl() const { return flowControl_; }
  void SetFlowControl(TFlowControl value);
  TCommOptions GetOptions() const { return options_; }
  void SetOptions(TCommOptions value);
  TRTSSettings GetRTSSettings() const { return rtsSettings_; }
  void SetRTSSettings(TRTSSettings value);
  // Kept for the component's interface: notifications always go through
  // the dispatcher, that is, to the owning thread.
  bool GetSynchronize() const { return synchronize_; }
  void SetSynchronize(bool value) { synchronize_ = value; }
  const TCommTimeoutsEx& GetTimeouts() const { return timeouts_; }
  void SetTimeouts(const TCommTimeoutsEx& value);
  TXOnXOffSettings GetXOnXOffSettings() const { return xonXoffSettings_; }
  void SetXOnXOffSettings(TXOnXOffSettings value);

  void BeginUpdate();
  void EndUpdate();

  // While the pause counter is non-zero no OnData or OnCommEvent is raised.
  // SetPaused(true) counts up, SetPaused(false) down (not below 0).
  void SetPaused(bool value);
  bool GetPaused() const { return paused_.load() != 0; }

  // Bytes now in the input / output queue. Raise 1 on a closed port.
  std::uint32_t InQueCount();
  std::uint32_t OutQueCount();

  // Adds the queued input to the received total, then discards it. Raises 1
  // on a closed port. Returns the operating system's success.
  bool PurgeIn();
  // Discards the output queue. Raises 1 on a closed port.
  bool PurgeOut();

  // Reads what arrives within Buffers.InputTimeout ms (ReadDataEx).
  std::uint32_t ReadData(void* buffer, std::uint32_t count);
  // Writes within Buffers.OutputTimeout ms (SendDataEx). Safe to call from
  // another thread while the owner reads.
  std::uint32_t SendData(const void* buffer, std::uint32_t count);
  // Reads up to count bytes, taking only what is queued and waiting (poll on
  // the monotonic clock) while the queue is empty, until count bytes were
  // read or more than timeoutMs passed. Raises 1 (closed; a port that closed
  // itself for a lost device reads 0 bytes instead), 5 (read lock
  // set), 10 (transfer failed). A lost device closes the link, is reported
  // through OnLost, and ends the read with the bytes read so far.
  std::uint32_t ReadDataEx(void* buffer, std::uint32_t count, std::uint32_t timeoutMs);
  // Writes count bytes, at most OutputSize minus the queued bytes at a time,
  // until all are written or more than timeoutMs passed; returns the bytes
  // written. Raises 1 (closed), 4 (send lock set), 11 (transfer failed).
  // A lost device or a close from another thread ends it early.
  std::uint32_t SendDataEx(const void* buffer, std::uint32_t count, std::uint32_t timeoutMs);

  // The port closed itself because the device went away (until the next
  // open): the OS error and reason, as OnLost reports them.
  bool ClosedByLoss(int& osError, std::string& reason) const;

  // Bytes read plus bytes discarded by PurgeIn; bytes written. Both 0 after
  // close.
  std::uint32_t ReceivedTotal() const { return received_.load(); }
  std::uint32_t SentTotal() const { return sent_.load(); }

  // The device file of the current open; empty while closed.
  const std::string& GetDevicePath() const { return devicePath_; }

  // Handlers; assign them while the port is closed.
  // OnCommEvent: monitored events; deChar on the owning thread with each
  // data notification, deOutEmpty on the sending thread after each write.
  TCommEvent OnCommEvent;
  // OnData: on the owning thread, once per arrival of bytes; Received is the
  // input queue at that moment (0 when someone took the bytes already, and
  // possibly more than InputSize: bound the read by your own buffer). The
  // next arrival is reported only after the handler has returned.
  TDataEvent OnData;
  // OnRead / OnSend: after each chunk read / written, on the calling thread,
  // with the read / send lock set.
  TNotifyEvent OnRead;
  TNotifyEvent OnSend;
  TLostEvent OnLost;

 protected:
  // Event distribution. UpdateEvents does nothing on a closed port;
  // HandleEvents passes the queued byte count to ReceiveData on deChar or
  // deFlag and the monitored events to OnCommEvent; ReceiveData raises
  // OnData.
  void UpdateEvents(TDeviceEvents events);
  virtual void HandleEvents(TDeviceEvents events);
  virtual void ReceiveData(std::uint32_t received);

 private:
  struct TShared;  // what posted notifications refer to; outlives the link
  class TUse;      // holds the descriptor open for one system call

  void ApplyAll();
  void UpdateDCB();
  void UpdateBuffers();
  void UpdateTimeouts();
  void ReaderBody(std::uint64_t epoch, int fd, int wake);
  // Marks the port of that epoch closed, wakes every waiter, waits for the
  // uses to end and closes the descriptors; with a lostError the loss is
  // recorded and OnLost posted. Returns false when that open was closed
  // already. Callable from any thread holding no use.
  bool ShutDown(std::uint64_t epoch, int lostError = 0, const char* reason = "");
  void JoinReader();
  void DeliverData(std::uint64_t epoch);
  void DeliverLost(std::uint64_t epoch);
  [[noreturn]] void RaiseNotOpened() const;

  // State, in the order of the component's fields.
  std::atomic<int> handle_{-1};
  TBaudRate baudRate_ = br115200;
  std::uint32_t baudValue_ = 115200;
  TCommBuffers buffers_;
  TCommDataControl dataControl_;
  std::string deviceName_ = "COM1";
  TDTRSettings dtrSettings_ = 0;
  TCommEventChars eventChars_;
  TDeviceEvents monitorEvents_ = SetOf(deChar, deFlag, deOutEmpty);
  TFlowControl flowControl_ = fcNone;
  TCommOptions options_ = 0;
  TRTSSettings rtsSettings_ = 0;
  bool synchronize_ = true;
  TCommTimeoutsEx timeouts_;
  TXOnXOffSettings xonXoffSettings_ = 0;
  std::thread reader_;  // exists exactly while open (joined on close)
  std::atomic<bool> sendLocked_{false};
  std::atomic<bool> readLocked_{false};
  std::atomic<int> paused_{0};
  std::atomic<std::uint32_t> received_{0};
  std::atomic<std::uint32_t> sent_{0};
  bool updating_ = false;

  TUiDispatcher* dispatcher_ = nullptr;
  std::shared_ptr<TShared> shared_;
  int lostError_ = 0;        // set by a loss, under mutex_
  // The port closed itself because the device went away (set before the
  // handle is cleared, cleared by the next open): a read then finds nothing
  // instead of raising "Device not opened.".
  std::atomic<bool> lostClosed_{false};
  char lostReason_[128] = {};
  std::string devicePath_;

  // Link state shared by the owner, the reader thread and senders.
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t epoch_ = 0;  // counts opens and closes; notifications carry it
  int wakeFd_ = -1;          // eventfd, signalled when the port closes
  TUiDispatcher* activeDispatcher_ = nullptr;  // dispatcher_ as of the open
  int uses_ = 0;             // system calls in progress on handle_ / wakeFd_
  bool closing_ = false;     // a close is waiting for the uses to end
  bool pending_ = false;     // a data notification is posted, not yet taken
  bool idleWait_ = false;    // last notification took nothing: pause a little
  // User-interface thread only.
  bool inData_ = false;      // OnData is running
  bool deferred_ = false;    // a notification arrived while OnData ran
  std::uint64_t deferredEpoch_ = 0;
};

// The component as the main window uses it: 115200 bit/s, queues 4096/2048
// bytes with 500/500 ms time limits, 8 data bits, no parity, 2 stop bits, no
// flow control, "COM1".
class TXComm : public TCustomComm {
 public:
  TXComm() = default;
};
