// Serial link on pseudo-terminals: opening rules and error codes, line
// settings as the terminal driver sees them, reads and writes with their
// time limits, notifications on the owning thread, loss of the device, and
// threads meeting at open, close and send.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LinkSupport.h"
#include "acquisition/Xcomdrv.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
int ErrorCodeOf(F f) {
  try {
    f();
  } catch (const EDeviceError& e) {
    return e.ErrorCode;
  }
  return -1;
}

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
    if (comm && comm->GetOpened()) {
      try {
        comm->CloseDevice();
      } catch (const EDeviceError& e) {
        if (e.ErrorCode != DEVICE_NOTOPENED) throw;
      }
    }
  }
};

}  // namespace

// ---------------------------------------------------------------------------

TEST(PortNames, ComNamesResolveThroughVariableThenDeviceFiles) {
  {
    PortVariable v("COM5", "/tmp/some-pty");
    EXPECT_EQ(ResolvePortDevice("COM5"), "/tmp/some-pty");
  }
  PortVariable empty("COM5", "");
  const std::string fallback = ResolvePortDevice("COM5");
  EXPECT_THAT(fallback, ::testing::AnyOf("/dev/ttyUSB4", "/dev/ttyACM4", "/dev/ttyS4"));
  if (::access("/dev/ttyUSB0", F_OK) != 0 && ::access("/dev/ttyACM0", F_OK) != 0) {
    EXPECT_EQ(ResolvePortDevice("COM1"), "/dev/ttyS0");
  }
  for (const char* other : {"COM0", "COM10", "com1", "/dev/pts/7", "", "COMX"})
    EXPECT_EQ(ResolvePortDevice(other), other);
}

TEST(DeviceErrors, MessagesAndCodes) {
  EXPECT_STREQ(EDeviceError::Make(DEVICE_CANNOTOPEN, "COM4", ENOENT).what(),
               "Cannot open device COM4");
  EXPECT_EQ(EDeviceError::Make(DEVICE_CANNOTOPEN, "COM4", ENOENT).OsError, ENOENT);
  EXPECT_EQ(DEVICE_CANNOTOPEN, 65535);
  const std::pair<int, const char*> fixed[] = {
      {1, "Device not opened."},
      {2, "Device is allready opened."},
      {3, "Unable to update device control block."},
      {4, "Device locked. Cannot perform send operations."},
      {5, "Device locked. Cannot perform read operations."},
      {6, "Unable to update IO buffers."},
      {7, "Unable to update Timeouts."}};
  for (const auto& [code, text] : fixed) {
    const EDeviceError e = EDeviceError::Make(code);
    EXPECT_EQ(e.ErrorCode, code);
    EXPECT_STREQ(e.what(), text);
  }
  EXPECT_STREQ(EDeviceError::Make(DEVICE_READERROR, "COM1", EIO).what(),
               "Unable to read from port. (Win32 error 5: Input/output error)");
  EXPECT_STREQ(EDeviceError::Make(DEVICE_WRITEERROR, "COM1", EAGAIN).what(),
               "Unable to write to port. (Win32 error 11: Resource temporarily unavailable)");
  const std::exception& base = EDeviceError::Make(1);
  EXPECT_STREQ(base.what(), "Device not opened.");
}

TEST(Configuration, DefaultsAsTheMainWindowCreatesTheLink) {
  TXComm c;
  EXPECT_EQ(c.GetBaudRate(), br115200);
  EXPECT_EQ(c.GetBaudValue(), 115200u);
  EXPECT_EQ(c.GetBuffers().InputSize, 4096);
  EXPECT_EQ(c.GetBuffers().OutputSize, 2048);
  EXPECT_EQ(c.GetBuffers().InputTimeout, 500);
  EXPECT_EQ(c.GetBuffers().OutputTimeout, 500);
  EXPECT_EQ(c.GetDataControl().DataBits, db8);
  EXPECT_EQ(c.GetDataControl().Parity, paNone);
  EXPECT_EQ(c.GetDataControl().StopBits, sb2);
  EXPECT_EQ(c.GetDeviceName(), "COM1");
  EXPECT_EQ(c.GetFlowControl(), fcNone);
  EXPECT_EQ(c.GetEventChars().XonChar, 0x11);
  EXPECT_EQ(c.GetEventChars().XoffChar, 0x13);
  EXPECT_EQ(c.GetEventChars().EventChar, 0x0A);
  EXPECT_EQ(c.GetMonitorEvents(), 0x7);  // deChar, deFlag, deOutEmpty
  EXPECT_EQ(c.GetTimeouts().ReadInterval, 1u);
  EXPECT_EQ(c.GetTimeouts().ReadConstant, 3u);
  EXPECT_EQ(c.GetTimeouts().WriteConstant, 3u);
  EXPECT_TRUE(c.GetSynchronize());
  EXPECT_FALSE(c.GetOpened());
  EXPECT_EQ(c.GetLocked(), 0);

  // Ordinals are the operating system's codes.
  EXPECT_EQ(static_cast<int>(brCustom), 15);
  EXPECT_EQ(static_cast<int>(db8) + 4, 8);
  EXPECT_EQ(static_cast<int>(paSpace), 4);
  EXPECT_EQ(static_cast<int>(sb2), 2);
  EXPECT_EQ(SetOf(deProv2), 1u << 12);

  TCommBuffers b;
  b.InputSize = 10;
  b.OutputSize = 60000;
  c.SetBuffers(b);
  EXPECT_EQ(c.GetBuffers().InputSize, 128);
  EXPECT_EQ(c.GetBuffers().OutputSize, 4096);

  c.SetBaudRate(br14400);
  EXPECT_EQ(c.GetBaudValue(), 14400u);
  c.SetBaudValue(300);  // only with brCustom
  EXPECT_EQ(c.GetBaudValue(), 14400u);
  c.SetBaudRate(brCustom);
  EXPECT_EQ(c.GetBaudValue(), 14400u);
  c.SetBaudValue(230400);
  EXPECT_EQ(c.GetBaudValue(), 230400u);
}

// ---------------------------------------------------------------------------

TEST_F(Link, OpenCloseReopenAndTheClosedPortErrors) {
  EXPECT_TRUE(comm->OpenDevice());
  EXPECT_TRUE(comm->GetOpened());
  EXPECT_EQ(comm->GetDevicePath(), pty.SlavePath());
  comm->CloseDevice();
  EXPECT_FALSE(comm->GetOpened());
  EXPECT_TRUE(comm->OpenDevice());
  comm->CloseDevice();

  std::uint8_t b[4] = {1, 2, 3, 4};
  EXPECT_EQ(ErrorCodeOf([&] { comm->CloseDevice(); }), DEVICE_NOTOPENED);
  EXPECT_EQ(ErrorCodeOf([&] { comm->PurgeIn(); }), DEVICE_NOTOPENED);
  EXPECT_EQ(ErrorCodeOf([&] { comm->PurgeOut(); }), DEVICE_NOTOPENED);
  EXPECT_EQ(ErrorCodeOf([&] { comm->ReadData(b, 4); }), DEVICE_NOTOPENED);
  EXPECT_EQ(ErrorCodeOf([&] { comm->ReadData(b, 0); }), DEVICE_NOTOPENED);
  EXPECT_EQ(ErrorCodeOf([&] { comm->SendData(b, 4); }), DEVICE_NOTOPENED);
  EXPECT_EQ(ErrorCodeOf([&] { comm->InQueCount(); }), DEVICE_NOTOPENED);
}

TEST_F(Link, OpeningAnOpenPortFailsAndLeavesItOpen) {
  comm->OpenDevice();
  try {
    comm->OpenDevice();
    FAIL() << "no error";
  } catch (const EDeviceError& e) {
    EXPECT_EQ(e.ErrorCode, 2);
    EXPECT_STREQ(e.what(), "Device is allready opened.");
  }
  EXPECT_TRUE(comm->GetOpened());
  pty.Write("x");
  std::uint8_t b = 0;
  EXPECT_EQ(comm->ReadDataEx(&b, 1, 1000), 1u);
  EXPECT_EQ(b, 'x');
}

TEST_F(Link, MissingDeviceAndPortInUse) {
  PortVariable missing("COM7", "/nonexistent/ratelog-port");
  TXComm other;
  other.SetDeviceName("COM7");
  try {
    other.OpenDevice();
    FAIL() << "no error";
  } catch (const EDeviceError& e) {
    EXPECT_EQ(e.ErrorCode, 65535);
    EXPECT_STREQ(e.what(), "Cannot open device COM7");
    EXPECT_EQ(e.OsError, ENOENT);
  }
  EXPECT_FALSE(other.GetOpened());

  // A second opener of the same device is refused through the lock (the
  // tests run as root, which exclusive terminal mode does not stop).
  comm->OpenDevice();
  other.SetDeviceName("COM3");
  try {
    other.OpenDevice();
    FAIL() << "no error";
  } catch (const EDeviceError& e) {
    EXPECT_EQ(e.ErrorCode, 65535);
    EXPECT_STREQ(e.what(), "Cannot open device COM3");
    EXPECT_EQ(e.OsError, EBUSY);
  }
  EXPECT_FALSE(other.GetOpened());
  // The holder is undisturbed, and the port is free again once closed.
  const char hello[] = "hello";
  EXPECT_EQ(comm->SendData(hello, 5), 5u);
  EXPECT_EQ(pty.Read(5, 1000ms), std::vector<std::uint8_t>(hello, hello + 5));
  comm->CloseDevice();
  EXPECT_TRUE(other.OpenDevice());
  other.CloseDevice();
}

TEST_F(Link, NameChangeIgnoredWhileOpen) {
  comm->OpenDevice();
  comm->SetDeviceName("COM8");
  EXPECT_EQ(comm->GetDeviceName(), "COM3");
  comm->CloseDevice();
  EXPECT_TRUE(comm->OpenDevice());  // still COM3
  EXPECT_EQ(comm->GetDevicePath(), pty.SlavePath());
  comm->CloseDevice();
  comm->SetDeviceName("COM8");
  EXPECT_EQ(comm->GetDeviceName(), "COM8");
}

TEST_F(Link, LineSettingsReachTheTerminal) {
  comm->OpenDevice();
  termios2 t = LineOf(pty);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & (PARENB | CRTSCTS | HUPCL));
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE(t.c_cflag & CREAD);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
  EXPECT_EQ(t.c_iflag, 0u);  // no translation, no XON/XOFF, no parity check
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_lflag, 0u);  // raw: no echo, no line editing, no signals

  // Rates of the speed switch, applied at once while open.
  comm->SetBaudRate(br14400);  // no B constant: BOTHER with the rate
  t = LineOf(pty);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(t.c_ospeed, 14400u);
  comm->SetBaudRate(br9600);
  EXPECT_EQ(LineOf(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B9600));
  comm->SetBaudRate(brCustom);
  for (std::uint32_t rate : {230400u, 460800u, 921600u, 256000u}) {
    comm->SetBaudValue(rate);
    EXPECT_EQ(LineOf(pty).c_ospeed, rate);
  }
  EXPECT_EQ(LineOf(pty).c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  comm->SetBaudValue(921600);
  EXPECT_EQ(LineOf(pty).c_cflag & CBAUD, static_cast<tcflag_t>(B921600));

  // A pseudo-terminal keeps CS8 and clears PARENB whatever it is told, so
  // of the data format only stop bits and the parity kind show here.
  TCommDataControl dc;
  dc.DataBits = db7;
  dc.Parity = paOdd;
  dc.StopBits = sb1;
  comm->SetDataControl(dc);
  t = LineOf(pty);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD));
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_iflag & INPCK);
  dc.Parity = paSpace;
  dc.StopBits = sb1p5;
  comm->SetDataControl(dc);
  t = LineOf(pty);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(CMSPAR));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  dc.Parity = paMark;
  comm->SetDataControl(dc);
  EXPECT_EQ(LineOf(pty).c_cflag & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
  comm->SetOptions(SetOf(coParityCheck));
  EXPECT_TRUE(LineOf(pty).c_iflag & INPCK);

  // Four data bits exist in the enumeration but not in the driver.
  dc.DataBits = db4;
  EXPECT_EQ(ErrorCodeOf([&] { comm->SetDataControl(dc); }), DEVICE_UPDATEDCB);
  EXPECT_TRUE(comm->GetOpened());

  // While an update is in progress nothing is applied until its end.
  dc.DataBits = db8;
  dc.Parity = paNone;
  dc.StopBits = sb1;
  comm->BeginUpdate();
  comm->SetDataControl(dc);
  comm->SetBaudValue(57600);
  t = LineOf(pty);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_ospeed, 921600u);
  comm->EndUpdate();
  t = LineOf(pty);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), 0u);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B57600));
}

TEST_F(Link, SettingsRefusedByANonTerminalLeaveThePortOpen) {
  char path[] = "/tmp/ratelog-notatty-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  comm->SetDeviceName(path);  // not a COMn name: used as it is
  EXPECT_EQ(ErrorCodeOf([&] { comm->OpenDevice(); }), DEVICE_UPDATEDCB);
  EXPECT_TRUE(comm->GetOpened());
  comm->CloseDevice();
  ::unlink(path);
}

// ---------------------------------------------------------------------------

TEST_F(Link, ReadTimeLimitsAndTotals) {
  comm->OpenDevice();
  std::uint8_t buf[64];
  EXPECT_EQ(comm->ReadData(buf, 0), 0u);

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
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 5),
            (std::vector<std::uint8_t>{0xC0, 1, 2, 3, 0xC0}));
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
  EXPECT_EQ(comm->InQueCount(), 0u);
  EXPECT_EQ(comm->ReceivedTotal(), 15u);
  EXPECT_TRUE(comm->PurgeOut());

  const std::uint8_t frame[] = {0xC0, 0x04, 0xDB, 0xDC, 0x00, 0xFF, 0xC0};
  EXPECT_EQ(comm->SendData(frame, sizeof frame), sizeof frame);
  EXPECT_EQ(pty.Read(sizeof frame, 1000ms), std::vector<std::uint8_t>(frame, frame + 7));
  EXPECT_EQ(comm->SentTotal(), 7u);

  comm->CloseDevice();
  EXPECT_EQ(comm->ReceivedTotal(), 0u);
  EXPECT_EQ(comm->SentTotal(), 0u);
}

TEST_F(Link, SendIntoAFullQueueReturnsWhatWentOutAtTheLimit) {
  comm->OpenDevice();
  // The device reads nothing: the terminal's buffer fills.
  std::vector<std::uint8_t> big(1 << 20, 0x55);
  const auto t0 = Clock::now();
  const std::uint32_t sent = comm->SendDataEx(big.data(), big.size(), 200);
  EXPECT_GE(Ms(Clock::now() - t0), 200);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
  EXPECT_EQ(comm->SentTotal(), sent);
}

TEST_F(Link, HandlersLockTheirOwnDirection) {
  comm->OpenDevice();
  int reads = 0;
  int sends = 0;
  comm->OnRead = [&](TCustomComm* sender) {
    ++reads;
    EXPECT_EQ(sender->GetLocked(), SetOf(clReadLocked));
    std::uint8_t b;
    EXPECT_EQ(ErrorCodeOf([&] { sender->ReadData(&b, 1); }), DEVICE_READLOCKED);
  };
  comm->OnSend = [&](TCustomComm* sender) {
    ++sends;
    EXPECT_EQ(sender->GetLocked(), SetOf(clSendLocked));
    EXPECT_EQ(ErrorCodeOf([&] { sender->SendData("x", 1); }), DEVICE_SENDLOCKED);
    throw std::runtime_error("handler failed");
  };
  pty.Write("abc");
  std::uint8_t b[3];
  EXPECT_EQ(comm->ReadDataEx(b, 3, 1000), 3u);
  EXPECT_GE(reads, 1);
  EXPECT_THROW(comm->SendData("y", 1), std::runtime_error);
  EXPECT_EQ(sends, 1);
  EXPECT_EQ(comm->GetLocked(), 0);  // cleared although the handler raised
}

// ---------------------------------------------------------------------------
// Notifications

TEST_F(Link, OnDataRunsOnTheOwningThreadWithTheQueuedCount) {
  std::vector<std::uint32_t> counts;
  std::vector<std::uint8_t> got;
  const auto owner = std::this_thread::get_id();
  comm->OnData = [&](TCustomComm* sender, std::uint32_t received) {
    EXPECT_EQ(std::this_thread::get_id(), owner);
    EXPECT_EQ(sender, comm.get());
    counts.push_back(received);
    std::uint8_t buf[4096];
    const std::uint32_t n = sender->ReadData(buf, std::min<std::uint32_t>(received, sizeof buf));
    got.insert(got.end(), buf, buf + n);
  };
  comm->OpenDevice();

  // The count is the queue at the moment OnData runs, not at the event.
  pty.Write("hello\n");
  ASSERT_TRUE(WaitUntil([&] { return comm->InQueCount() == 6; }));
  ASSERT_TRUE(PumpUntil(queue, [&] { return !counts.empty(); }));
  EXPECT_EQ(counts[0], 6u);
  pty.Write("more");
  ASSERT_TRUE(PumpUntil(queue, [&] { return got.size() == 10; }));
  EXPECT_EQ(std::string(got.begin(), got.end()), "hello\nmore");

  // Someone else took the bytes first: OnData comes with 0 and is harmless.
  counts.clear();
  pty.Write("zz");
  ASSERT_TRUE(WaitUntil([&] { return queue.Pending() > 0 && comm->InQueCount() == 2; }));
  std::uint8_t b[2];
  EXPECT_EQ(comm->ReadDataEx(b, 2, 100), 2u);
  queue.ProcessPending();
  EXPECT_EQ(counts, std::vector<std::uint32_t>{0});

  // Paused: no OnData.
  counts.clear();
  comm->SetPaused(true);
  EXPECT_TRUE(comm->GetPaused());
  pty.Write("p");
  PumpUntil(queue, [] { return false; }, 100ms);
  EXPECT_TRUE(counts.empty());
  comm->SetPaused(false);
  pty.Write("q");
  EXPECT_TRUE(PumpUntil(queue, [&] { return !counts.empty(); }));
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
    PumpUntil(queue, [] { return false; }, 30ms);
    EXPECT_LE(queue.Pending(), 1u);
  }
  EXPECT_EQ(comm->InQueCount(), 20u);
}

TEST_F(Link, OnDataIsNotReenteredFromANestedLoop) {
  int depth = 0;
  int maxDepth = 0;
  int calls = 0;
  std::string got;
  comm->OnData = [&](TCustomComm* sender, std::uint32_t received) {
    ++depth;
    ++calls;
    maxDepth = std::max(maxDepth, depth);
    char buf[64];
    got.append(buf, sender->ReadDataEx(buf, std::min<std::uint32_t>(received, 64), 0));
    if (calls == 1) {
      // A message box: its own loop runs while the handler waits. The port
      // is even closed and reopened meanwhile, and new bytes arrive.
      sender->CloseDevice();
      sender->OpenDevice();
      pty.Write("2");
      PumpUntil(queue, [] { return false; }, 150ms);
      EXPECT_EQ(calls, 1);
    }
    --depth;
  };
  comm->OpenDevice();
  pty.Write("1");
  ASSERT_TRUE(PumpUntil(queue, [&] { return got == "12"; }));
  EXPECT_EQ(maxDepth, 1);
}

TEST_F(Link, TheDispatcherIsOptional) {
  comm->SetDispatcher(nullptr);
  int calls = 0;
  comm->OnData = [&](TCustomComm*, std::uint32_t) { ++calls; };
  comm->OpenDevice();
  pty.Write("abc");
  std::uint8_t b[3];
  EXPECT_EQ(comm->ReadDataEx(b, 3, 1000), 3u);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(queue.Pending(), 0u);
  EXPECT_EQ(calls, 0);
  // The link still notices a lost device and closes itself.
  pty.CloseMaster();
  EXPECT_TRUE(WaitUntil([&] { return !comm->GetOpened(); }));
}

// ---------------------------------------------------------------------------
// Lost device

TEST_F(Link, HangUpWhileIdleClosesTheLinkAndReportsIt) {
  int lost = 0;
  int lostError = 0;
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
  pty.CloseMaster();
  // The timer thread's view: the port is closed without the owner's help.
  EXPECT_TRUE(WaitUntil([&] { return !comm->GetOpened(); }));
  ASSERT_TRUE(PumpUntil(queue, [&] { return lost == 1; }));
  EXPECT_EQ(lostError, EIO);
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(ErrorCodeOf([&] { comm->CloseDevice(); }), DEVICE_NOTOPENED);
  std::uint8_t b = 0;
  EXPECT_EQ(ErrorCodeOf([&] { comm->SendData(&b, 1); }), DEVICE_NOTOPENED);

  // A new device under the same name opens as usual.
  PtyPair second;
  PortVariable again("COM3", second.SlavePath());
  EXPECT_TRUE(comm->OpenDevice());
  second.Write("k");
  EXPECT_EQ(comm->ReadDataEx(&b, 1, 1000), 1u);
  queue.ProcessPending();
  EXPECT_EQ(lost, 1);
}

TEST_F(Link, HangUpDuringAReadEndsItAndClosesTheLink) {
  int lost = 0;
  comm->OnLost = [&](TCustomComm*, int, const std::string&) { ++lost; };
  comm->OpenDevice();
  std::thread device([&] {
    std::this_thread::sleep_for(50ms);
    pty.CloseMaster();
  });
  std::uint8_t b[8];
  // The hang-up ends the read long before its time limit.
  const auto t0 = Clock::now();
  EXPECT_EQ(comm->ReadDataEx(b, 8, 120000), 0u);
  EXPECT_LT(Ms(Clock::now() - t0), 60000);
  device.join();
  EXPECT_FALSE(comm->GetOpened());
  // The notification of bytes that came before the loss may still be
  // delivered: its read finds nothing instead of "Device not opened.".
  EXPECT_EQ(comm->ReadData(b, 8), 0u);
  EXPECT_TRUE(PumpUntil(queue, [&] { return lost == 1; }));
}

TEST_F(Link, HangUpDuringASendFromAnotherThreadClosesTheLink) {
  int lost = 0;
  comm->OnLost = [&](TCustomComm*, int, const std::string&) { ++lost; };
  comm->OpenDevice();
  std::atomic<bool> done{false};
  std::atomic<std::uint32_t> sent{0};
  std::thread timer([&] {
    std::vector<std::uint8_t> big(1 << 20, 0xAA);
    sent = comm->SendDataEx(big.data(), big.size(), 120000);  // blocks: nobody reads
    done = true;
  });
  ASSERT_TRUE(WaitUntil([&] { return comm->SentTotal() > 0; }));  // the send is under way
  EXPECT_FALSE(done);
  pty.CloseMaster();
  // The hang-up ends the send long before its time limit.
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 60000ms));
  timer.join();
  EXPECT_LT(sent.load(), 1u << 20);
  EXPECT_FALSE(comm->GetOpened());
  EXPECT_TRUE(PumpUntil(queue, [&] { return lost == 1; }));
}

// The timer thread sends while the owner closes: the close waits for the
// send's system call, so a file opened right after the close (which gets
// the port's descriptor number) never receives the send's bytes. The
// device drains the terminal, so the send keeps writing while it is closed.
TEST_F(Link, CloseWaitsForASendSoTheDescriptorIsNeverReused) {
  for (int round = 0; round < 40; ++round) {
    comm->OpenDevice();
    std::atomic<bool> stop{false};
    std::thread device([&] {
      std::uint8_t sink[4096];
      while (!stop) {
        if (::read(pty.Master(), sink, sizeof sink) <= 0) std::this_thread::sleep_for(50us);
      }
    });
    std::atomic<int> lateError{-1};
    std::atomic<bool> escaped{false}, closed{false};
    std::thread timer([&] {
      try {
        std::vector<std::uint8_t> big(1 << 22, 0xAA);
        comm->SendDataEx(big.data(), big.size(), 120000);  // ended by the close
        WaitUntil([&] { return closed.load(); }, 120000ms);
        lateError = ErrorCodeOf([&] { comm->SendDataEx(big.data(), 16, 100); });
      } catch (...) {
        escaped = true;
      }
    });
    // Latch: the send is under way (bytes went out, most are still to go).
    ASSERT_TRUE(WaitUntil([&] { return comm->SentTotal() > 0; }, 60000ms));
    const auto t0 = Clock::now();
    comm->CloseDevice();  // wakes the send instead of waiting out its limit
    char path[] = "/tmp/ratelog-reuse-XXXXXX";
    const int fd = ::mkstemp(path);
    closed = true;
    ASSERT_GE(fd, 0);
    timer.join();
    EXPECT_LT(Ms(Clock::now() - t0), 60000);
    stop = true;
    device.join();
    EXPECT_FALSE(escaped);
    EXPECT_EQ(lateError, DEVICE_NOTOPENED);
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), 0) << "round " << round;
    ::close(fd);
    ::unlink(path);
  }
}

// ---------------------------------------------------------------------------
// Threads meeting

TEST_F(Link, SendsFromAnotherThreadDuringReads) {
  comm->OpenDevice();
  constexpr int kFrames = 300;
  std::vector<std::uint8_t> expected;
  for (int i = 0; i < kFrames; ++i)
    for (int k = 0; k < 16; ++k) expected.push_back(static_cast<std::uint8_t>(i + k));

  std::vector<std::uint8_t> atDevice;
  std::thread device([&] {
    // Reads what the link sends while sending it data of its own.
    atDevice = pty.Read(expected.size(), 60000ms);
  });
  std::thread feeder([&] {
    for (int i = 0; i < kFrames; ++i) {
      std::uint8_t frame[16];
      for (int k = 0; k < 16; ++k) frame[k] = static_cast<std::uint8_t>(255 - i - k);
      pty.Write(frame, sizeof frame);
    }
  });
  std::thread timer([&] {
    for (int i = 0; i < kFrames; ++i) {
      EXPECT_EQ(comm->SendData(expected.data() + i * 16, 16), 16u);
      if (i % 50 == 0) std::this_thread::sleep_for(1ms);
    }
  });
  std::vector<std::uint8_t> atLink(kFrames * 16);
  std::uint32_t got = 0;
  while (got < atLink.size()) {
    const std::uint32_t n = comm->ReadDataEx(atLink.data() + got, 100, 1000);
    if (n == 0) break;
    got += n;
  }
  timer.join();
  feeder.join();
  device.join();
  EXPECT_EQ(atDevice, expected);
  ASSERT_EQ(got, atLink.size());
  for (int i = 0; i < kFrames; ++i)
    for (int k = 0; k < 16; ++k)
      ASSERT_EQ(atLink[i * 16 + k], static_cast<std::uint8_t>(255 - i - k));
  EXPECT_EQ(comm->SentTotal(), expected.size());
  EXPECT_EQ(comm->ReceivedTotal(), atLink.size());
}

TEST_F(Link, ThousandsOfOpenCloseCyclesWithDataAndNotificationsPending) {
  std::atomic<bool> stop{false};
  // The device streams and drains all the time, port open or not.
  std::thread device([&] {
    std::uint8_t buf[512];
    std::uint8_t data[64];
    std::memset(data, 0x5A, sizeof data);
    while (!stop) {
      [[maybe_unused]] ssize_t w = ::write(pty.Master(), data, sizeof data);
      while (::read(pty.Master(), buf, sizeof buf) > 0) {
      }
      std::this_thread::sleep_for(50us);
    }
  });
  std::atomic<bool> open{false};
  std::atomic<int> sends{0};
  std::thread timer([&] {
    const std::uint8_t request[8] = {0xC0, 1, 2, 3, 4, 5, 6, 0xC0};
    while (!stop) {
      if (open && comm->GetOpened()) {
        try {
          comm->SendDataEx(request, sizeof request, 5);
          ++sends;
        } catch (const EDeviceError& e) {
          EXPECT_EQ(e.ErrorCode, DEVICE_NOTOPENED);  // closed between the test and the send
        }
      }
      std::this_thread::sleep_for(20us);
    }
  });
  std::uint64_t taken = 0;
  comm->OnData = [&](TCustomComm* sender, std::uint32_t received) {
    std::uint8_t buf[4096];
    if (sender->GetOpened())
      taken += sender->ReadDataEx(buf, std::min<std::uint32_t>(received, sizeof buf), 0);
  };
  constexpr int kCycles = 2000;
  for (int i = 0; i < kCycles; ++i) {
    ASSERT_TRUE(comm->OpenDevice());
    open = true;
    if (i % 3 == 0) queue.WaitAndProcess(1ms);
    if (i % 7 == 0) {
      std::uint8_t b[16];
      comm->ReadDataEx(b, sizeof b, 0);
    }
    open = false;
    comm->CloseDevice();  // often with a notification pending
    if (i % 5 == 0) queue.ProcessPending();
  }
  stop = true;
  timer.join();
  device.join();
  queue.ProcessPending();
  EXPECT_GT(taken, 0u);
  EXPECT_GT(sends.load(), 0);
  EXPECT_FALSE(comm->GetOpened());
}
