// Serial link on pseudo-terminals: opening rules and error texts, line settings
// as the terminal sees them, time limits, notifications on the owning thread,
// loss of the device, and a close meeting a send.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <atomic>
#include <functional>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LinkSupport.h"
#include "common/TestFiles.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The error a call raised: its code, text and system error; code -1 when
// it raised none.
struct Raised {
  int code = -1;
  std::string text;
  int os = 0;
  bool operator==(const Raised&) const = default;
};
template <typename F>
Raised ErrorOf(F f) {
  try {
    f();
  } catch (const EDeviceError& e) {
    return {e.ErrorCode, e.what(), e.OsError};
  }
  return {};
}
template <typename F>
int ErrorCodeOf(F f) { return ErrorOf(f).code; }

long Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

termios2 LineOf(const PtyPair& pty) {
  termios2 t{};
  // On a pseudo-terminal the master reports the slave's settings.
  EXPECT_EQ(::ioctl(pty.Master(), TCGETS2, &t), 0);
  return t;
}

class Link : public ::testing::Test {
 protected:
  PtyPair pty;
  PortVariable variable{"COM3", pty.SlavePath()};
  TEventQueue queue;
  std::unique_ptr<TXComm> comm = std::make_unique<TXComm>();
  void SetUp() override {
    comm->SetDeviceName("COM3");
    comm->SetDispatcher(&queue);
  }
  void TearDown() override {
    // A test's terminal may already have gone, and the link closes itself
    // when it notices: between the test and the close is no error.
    if (comm && comm->GetOpened()) ErrorOf([&] { comm->CloseDevice(); });
  }
};

}  // namespace

TEST(PortNames, ComNamesResolveThroughVariableThenDeviceFiles) {
  {
    PortVariable v("COM5", "/tmp/some-pty");
    EXPECT_EQ(ResolvePortDevice("COM5"), "/tmp/some-pty");
  }
  PortVariable empty("COM5", "");
  EXPECT_THAT(ResolvePortDevice("COM5"), ::testing::AnyOf("/dev/ttyUSB4", "/dev/ttyACM4", "/dev/ttyS4"));
  for (const char* other : {"COM0", "COM10", "com1", "/dev/pts/7", "", "COMX"})
    EXPECT_EQ(ResolvePortDevice(other), other);
}

TEST(DeviceErrors, MessagesAndCodes) {
  const std::pair<int, const char*> fixed[] = {
      {1, "Device not opened."},
      {2, "Device is allready opened."},
      {3, "Unable to update device control block."},
      {4, "Device locked. Cannot perform send operations."},
      {5, "Device locked. Cannot perform read operations."},
      {6, "Unable to update IO buffers."},
      {7, "Unable to update Timeouts."}};
  for (const auto& [code, text] : fixed)
    EXPECT_EQ(ErrorOf([code] { throw EDeviceError::Make(code); }), (Raised{code, text, 0}));
  EXPECT_EQ(ErrorOf([] { throw EDeviceError::Make(DEVICE_CANNOTOPEN, "COM4", ENOENT); }),
            (Raised{65535, "Cannot open device COM4", ENOENT}));
  EXPECT_STREQ(EDeviceError::Make(DEVICE_READERROR, "COM1", EIO).what(),
               "Unable to read from port. (Win32 error 5: Input/output error)");
  EXPECT_STREQ(EDeviceError::Make(DEVICE_WRITEERROR, "COM1", EAGAIN).what(),
               "Unable to write to port. (Win32 error 11: Resource temporarily unavailable)");
}

TEST_F(Link, OpenCloseReopenAndTheClosedPortErrors) {
  EXPECT_TRUE(comm->OpenDevice());
  EXPECT_EQ(comm->GetDevicePath(), pty.SlavePath());
  // Opening an open port fails and leaves it open; a new name waits for
  // the next open.
  EXPECT_EQ(ErrorOf([&] { comm->OpenDevice(); }), (Raised{2, "Device is allready opened.", 0}));
  comm->SetDeviceName("COM8");
  EXPECT_EQ(comm->GetDeviceName(), "COM3");
  pty.Write("x");
  std::uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(comm->ReadDataEx(b, 1, 1000), 1u);
  EXPECT_EQ(b[0], 'x');
  comm->CloseDevice();
  EXPECT_FALSE(comm->GetOpened());
  EXPECT_TRUE(comm->OpenDevice());  // still COM3
  comm->CloseDevice();
  const std::function<void()> closedCalls[] = {
      [&] { comm->CloseDevice(); }, [&] { comm->PurgeIn(); },      [&] { comm->PurgeOut(); },
      [&] { comm->ReadData(b, 4); }, [&] { comm->ReadData(b, 0); }, [&] { comm->SendData(b, 4); },
      [&] { comm->InQueCount(); }};
  for (const auto& call : closedCalls) EXPECT_EQ(ErrorCodeOf(call), DEVICE_NOTOPENED);
  comm->SetDeviceName("COM8");
  EXPECT_EQ(comm->GetDeviceName(), "COM8");
}

TEST_F(Link, MissingDeviceAndPortInUse) {
  PortVariable missing("COM7", "/nonexistent/ratelog-port");
  TXComm other;
  other.SetDeviceName("COM7");
  EXPECT_EQ(ErrorOf([&] { other.OpenDevice(); }), (Raised{65535, "Cannot open device COM7", ENOENT}));
  EXPECT_FALSE(other.GetOpened());

  // A second opener of the same device is refused through the lock (the
  // tests run as root, which exclusive terminal mode does not stop).
  comm->OpenDevice();
  other.SetDeviceName("COM3");
  EXPECT_EQ(ErrorOf([&] { other.OpenDevice(); }), (Raised{65535, "Cannot open device COM3", EBUSY}));
  EXPECT_FALSE(other.GetOpened());
  // The holder is undisturbed, and the port is free again once closed.
  EXPECT_EQ(comm->SendData("hello", 5), 5u);
  EXPECT_EQ(pty.Read(5, 1000ms), Bytes({'h', 'e', 'l', 'l', 'o'}));
  comm->CloseDevice();
  EXPECT_TRUE(other.OpenDevice());
  other.CloseDevice();
}

TEST_F(Link, LineSettingsReachTheTerminal) {
  comm->OpenDevice();
  termios2 t = LineOf(pty);
  EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS | HUPCL | CLOCAL | CREAD | CBAUD),
            static_cast<tcflag_t>(CS8 | CSTOPB | CLOCAL | CREAD | B115200));
  EXPECT_EQ(t.c_iflag, 0u);  // no translation, no XON/XOFF, no parity check
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);  // raw: no echo, no line editing, no signals

  // Rates of the speed switch, applied at once while open; those without a
  // B constant as BOTHER with the rate.
  auto speed = [&] { return std::pair(LineOf(pty).c_cflag & CBAUD, LineOf(pty).c_ospeed); };
  comm->SetBaudRate(br14400);
  EXPECT_EQ(speed(), std::pair(tcflag_t{BOTHER}, speed_t{14400}));
  comm->SetBaudRate(br9600);
  comm->SetBaudValue(300);  // a rate of its own only with brCustom
  EXPECT_EQ(speed(), std::pair(tcflag_t{B9600}, speed_t{9600}));
  comm->SetBaudRate(brCustom);
  comm->SetBaudValue(256000);
  EXPECT_EQ(speed(), std::pair(tcflag_t{BOTHER}, speed_t{256000}));
  comm->SetBaudValue(921600);
  EXPECT_EQ(speed().first, tcflag_t{B921600});
}

TEST_F(Link, ReadAndSendTimeLimitsAndTotals) {
  comm->OpenDevice();
  std::uint8_t buf[64];
  // Empty queue: 0 after InputTimeout (500 ms).
  auto t0 = Clock::now();
  EXPECT_EQ(comm->ReadData(buf, 10), 0u);
  EXPECT_GE(Ms(Clock::now() - t0), 500);

  // Bytes arriving during the wait are taken; a short read ends at the limit.
  std::thread device([&] {
    std::this_thread::sleep_for(30ms);
    pty.Write("\xC0\x01\x02");
    std::this_thread::sleep_for(30ms);
    pty.Write("\x03\xC0");
  });
  EXPECT_EQ(comm->ReadDataEx(buf, 5, 60000), 5u);  // ends with the fifth byte
  device.join();
  EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{0xC0, 1, 2, 3, 0xC0}));
  pty.Write("ab");
  ASSERT_TRUE(WaitUntil([&] { return comm->InQueCount() == 2; }));
  t0 = Clock::now();
  EXPECT_EQ(comm->ReadDataEx(buf, 10, 100), 2u);
  EXPECT_GE(Ms(Clock::now() - t0), 100);
  EXPECT_EQ(comm->ReceivedTotal(), 7u);

  // PurgeIn counts what it discards.
  pty.Write("12345678");
  ASSERT_TRUE(WaitUntil([&] { return comm->InQueCount() == 8; }));
  EXPECT_TRUE(comm->PurgeIn());
  EXPECT_EQ(std::pair(comm->InQueCount(), comm->ReceivedTotal()), std::pair(0u, 15u));
  const Bytes frame{0xC0, 0x04, 0xDB, 0xDC, 0x00, 0xFF, 0xC0};
  EXPECT_EQ(comm->SendData(frame.data(), frame.size()), frame.size());
  EXPECT_EQ(pty.Read(frame.size(), 1000ms), frame);
  EXPECT_EQ(comm->SentTotal(), 7u);

  // The device reads nothing: the terminal's buffer fills, and the send
  // returns what went out at its limit.
  Bytes big(1 << 20, 0x55);
  t0 = Clock::now();
  const std::uint32_t sent = comm->SendDataEx(big.data(), big.size(), 200);
  EXPECT_GE(Ms(Clock::now() - t0), 200);
  EXPECT_TRUE(sent > 0 && sent < big.size());
  EXPECT_EQ(comm->SentTotal(), 7u + sent);
  comm->CloseDevice();
  EXPECT_EQ(comm->ReceivedTotal() + comm->SentTotal(), 0u);
}

TEST_F(Link, OnDataRunsOnTheOwningThreadWithTheQueuedCount) {
  std::vector<std::uint32_t> counts;
  std::string got;
  const auto owner = std::this_thread::get_id();
  comm->OnData = [&](TCustomComm* sender, std::uint32_t received) {
    EXPECT_EQ(std::this_thread::get_id(), owner);
    EXPECT_EQ(sender, comm.get());
    counts.push_back(received);
    char buf[4096];
    got.append(buf, sender->ReadData(buf, std::min<std::uint32_t>(received, sizeof buf)));
  };
  comm->OpenDevice();

  // The count is the queue at the moment OnData runs, not at the event.
  pty.Write("hello\n");
  ASSERT_TRUE(WaitUntil([&] { return comm->InQueCount() == 6; }));
  ASSERT_TRUE(PumpUntil(&queue, [&] { return !counts.empty(); }));
  EXPECT_EQ(counts[0], 6u);
  pty.Write("more");
  ASSERT_TRUE(PumpUntil(&queue, [&] { return got.size() == 10; }));
  EXPECT_EQ(got, "hello\nmore");

  // Someone else took the bytes first: OnData comes with 0 and is harmless.
  counts.clear();
  pty.Write("zz");
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() > 0 && comm->InQueCount() == 2; }));
  std::uint8_t b[2];
  EXPECT_EQ(comm->ReadDataEx(b, 2, 100), 2u);
  queue.ProcessPending();
  EXPECT_EQ(counts, std::vector<std::uint32_t>{0});
}

TEST_F(Link, NotificationsAfterCloseReopenOrDestructionDoNothing) {
  int calls = 0;
  comm->OnData = [&](TCustomComm*, std::uint32_t) { ++calls; };
  comm->OpenDevice();
  pty.Write("a");
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() == 1; }));
  comm->CloseDevice();  // with the notification pending: no deadlock
  queue.ProcessPending();
  EXPECT_EQ(calls, 0);
  comm->OpenDevice();
  comm->PurgeIn();
  pty.Write("b");
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() == 1; }));
  comm->CloseDevice();
  {
    // Reopened (on a quiet device): the old notification belongs to the
    // last open.
    PtyPair quiet;
    PortVariable other("COM3", quiet.SlavePath());
    comm->OpenDevice();
    queue.ProcessPending();
    EXPECT_EQ(calls, 0);
    comm->CloseDevice();
  }
  PortVariable back("COM3", pty.SlavePath());
  comm->OpenDevice();
  pty.Write("c");
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() >= 1; }));
  comm.reset();  // destroyed while open, notification pending
  EXPECT_EQ(queue.ProcessPending(), 1u);
  EXPECT_EQ(calls, 0);
}

// The reader waits until the owning thread took a notification: bursts
// that arrive meanwhile, and a handler that reads nothing, give one
// notification, never a pile of them.
TEST_F(Link, OneNotificationUntilTheOwnerTakesIt) {
  int calls = 0;
  comm->OnData = [&](TCustomComm*, std::uint32_t) { ++calls; };  // reads nothing
  comm->OpenDevice();
  for (int burst = 0; burst < 20; ++burst) {
    pty.Write("x");
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() >= 1; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(queue.Pending(), 1u);
  queue.ProcessPending();
  EXPECT_EQ(calls, 1);
  // Bytes left queued: at most one more notification at a time.
  for (int k = 0; k < 5; ++k) {
    PumpUntil(&queue, [] { return false; }, 30ms);
    EXPECT_LE(queue.Pending(), 1u);
  }
  EXPECT_EQ(comm->InQueCount(), 20u);
}

TEST_F(Link, OnDataIsNotReenteredFromANestedLoop) {
  int depth = 0, maxDepth = 0, calls = 0;
  std::string got;
  comm->OnData = [&](TCustomComm* sender, std::uint32_t received) {
    maxDepth = std::max(maxDepth, ++depth);
    ++calls;
    char buf[64];
    got.append(buf, sender->ReadDataEx(buf, std::min<std::uint32_t>(received, 64), 0));
    if (calls == 1) {
      // A message box: its own loop runs while the handler waits. The port
      // is even closed and reopened meanwhile, and new bytes arrive.
      sender->CloseDevice();
      sender->OpenDevice();
      pty.Write("2");
      PumpUntil(&queue, [] { return false; }, 150ms);
      EXPECT_EQ(calls, 1);
    }
    --depth;
  };
  comm->OpenDevice();
  pty.Write("1");
  ASSERT_TRUE(PumpUntil(&queue, [&] { return got == "12"; }));
  EXPECT_EQ(maxDepth, 1);
}

// The device goes away while the link is idle, reading, or sending from
// the timer thread: the link closes itself, the call in progress ends, and
// the owning thread learns of the loss once.
TEST_F(Link, HangUpClosesTheLinkEndsTheCallAndIsReportedOnce) {
  for (int during : {0, 1, 2}) {  // idle, a read, a send nobody reads
    SCOPED_TRACE(during);
    PtyPair device;
    PortVariable port("COM3", device.SlavePath());
    int lost = 0, lostError = 0;
    std::string reason;
    const auto owner = std::this_thread::get_id();
    comm->OnLost = [&](TCustomComm* sender, int osError, const std::string& text) {
      EXPECT_EQ(std::this_thread::get_id(), owner);
      EXPECT_FALSE(sender->GetOpened());
      ++lost;
      lostError = osError;
      reason = text;
    };
    comm->OpenDevice();
    std::atomic<std::uint32_t> moved{0};
    std::thread call([&] {
      Bytes big(1 << 20, 0xAA);
      if (during == 1) moved = comm->ReadDataEx(big.data(), 8, 120000);
      if (during == 2) moved = comm->SendDataEx(big.data(), big.size(), 120000);
    });
    if (during == 2) {
      ASSERT_TRUE(WaitUntil([&] { return comm->SentTotal() > 0; }));  // under way
    }
    std::this_thread::sleep_for(50ms);
    const auto t0 = Clock::now();
    device.CloseMaster();
    call.join();
    EXPECT_LT(Ms(Clock::now() - t0), 120000);  // ended by the hang-up, not its limit
    EXPECT_LT(moved.load(), 1u << 20);
    // The timer thread's view: the port is closed without the owner's help.
    EXPECT_TRUE(WaitUntil([&] { return !comm->GetOpened(); }));
    // The notification of bytes that came before the loss may still be
    // delivered: its read finds nothing instead of "Device not opened.".
    std::uint8_t b[8];
    EXPECT_EQ(comm->ReadData(b, 8), 0u);
    ASSERT_TRUE(PumpUntil(&queue, [&] { return lost == 1; }));
    EXPECT_EQ(lostError, EIO);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(ErrorCodeOf([&] { comm->CloseDevice(); }), DEVICE_NOTOPENED);
    EXPECT_EQ(ErrorCodeOf([&] { comm->SendData(b, 1); }), DEVICE_NOTOPENED);

    // A new device under the same name opens as usual.
    PtyPair second;
    PortVariable again("COM3", second.SlavePath());
    EXPECT_TRUE(comm->OpenDevice());
    second.Write("k");
    EXPECT_EQ(comm->ReadDataEx(b, 1, 1000), 1u);
    comm->CloseDevice();
    queue.ProcessPending();
    EXPECT_EQ(lost, 1);
  }
}

// The timer thread sends while the owner closes: the close waits for the
// send's system call, so a file opened right after the close (which gets
// the port's descriptor number) never receives the send's bytes. The
// device drains the terminal, so the send keeps writing while it is closed.
TEST_F(Link, CloseWaitsForASendSoTheDescriptorIsNeverReused) {
  TTempDir dir;
  for (int round = 0; round < 40; ++round) {
    comm->OpenDevice();
    std::atomic<bool> stop{false}, closed{false}, escaped{false};
    std::thread device([&] {
      std::uint8_t sink[4096];
      while (!stop)
        if (::read(pty.Master(), sink, sizeof sink) <= 0) std::this_thread::sleep_for(50us);
    });
    std::atomic<int> lateError{-1};
    std::thread timer([&] {
      try {
        Bytes big(1 << 22, 0xAA);
        comm->SendDataEx(big.data(), big.size(), 120000);  // ended by the close
        WaitUntil([&] { return closed.load(); });
        lateError = ErrorCodeOf([&] { comm->SendDataEx(big.data(), 16, 100); });
      } catch (...) {
        escaped = true;
      }
    });
    // Latch: the send is under way (bytes went out, most are still to go).
    ASSERT_TRUE(WaitUntil([&] { return comm->SentTotal() > 0; }));
    const auto t0 = Clock::now();
    comm->CloseDevice();
    const std::string file = dir.File(std::to_string(round));
    const int fd = ::open(file.c_str(), O_CREAT | O_RDWR, 0600);
    closed = true;
    ASSERT_GE(fd, 0);
    timer.join();
    EXPECT_LT(Ms(Clock::now() - t0), 120000);  // woke the send instead of waiting out its limit
    stop = true;
    device.join();
    EXPECT_FALSE(escaped);
    EXPECT_EQ(lateError, DEVICE_NOTOPENED);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), 0) << "round " << round;
    ::close(fd);
  }
}
