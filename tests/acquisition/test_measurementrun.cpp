// The run's coordination: the timer through identification, polling and
// streaming (the request rebuilt only while it is off), stop requests (one per
// run, none after the run ended), and Stop reading what came before it. A timer
// ticked by hand and the real link on a pseudo-terminal, the test the device.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LinkSupport.h"
#include "acquisition/MeasurementRun.h"
#include "common/Frames.h"
#include "common/TestFiles.h"

using namespace std::chrono_literals;

namespace {

// What the run did to its timer, with the request a tick would send then.
struct TimerEvent {
  std::string what;  // "on", "off", "delay"
  std::uint32_t delay;
  Bytes request;
  bool operator==(const TimerEvent&) const = default;
};

// A timer ticked by hand that logs what the run does to it.
class TFakeTimer : public TMMTimer {
 public:
  explicit TFakeTimer(const TPaket& packet) : packet_(packet) {}
  void SetDelay(std::uint32_t value) override {
    delay_ = value;
    Log("delay");
  }
  bool GetEnabled() const override { return enabled_; }
  void SetEnabled(bool value) override {
    if (value == enabled_) return;
    enabled_ = value;
    Log(value ? "on" : "off");
  }
  void SetOnTimer(TNotifyEvent value) override { onTimer_ = std::move(value); }
  void SetOnError(TErrorEvent) override {}
  // One expiry, on a thread of its own as the real timer's.
  void Tick() {
    if (enabled_ && onTimer_) std::thread([this] { onTimer_(this); }).join();
  }
  std::vector<TimerEvent> log;
 private:
  void Log(const char* what) {
    log.push_back({what, delay_, Bytes(packet_.SendBuffer.begin(), packet_.SendBuffer.begin() + packet_.RequestLength)});
  }
  const TPaket& packet_;
  bool enabled_ = false;
  std::uint32_t delay_ = 1000;
  TNotifyEvent onTimer_;
};

struct Owner : TRunOwner {
  int identified = 0;
  std::vector<std::string> events;
  void StopRequested() override { events.push_back("stop"); }
  void RunIdentified() override { ++identified; }
  void LinkLost(int, const std::string& reason) override { events.push_back("lost: " + reason); }
};

// The user-interface thread's queue, able to hold posts back and run them
// newest first: the order in which posts of different threads arrive is
// not fixed.
struct THoldingQueue : TEventQueue {
  std::mutex mutex;
  bool hold = false;
  std::vector<std::function<void()>> held;
  void Post(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex);
    if (hold) return held.push_back(std::move(fn));
    lock.unlock();
    TEventQueue::Post(std::move(fn));
  }
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex);
    hold = true;
  }
  std::size_t Held() {
    std::lock_guard<std::mutex> lock(mutex);
    return held.size();
  }
  void RunHeldNewestFirst() {
    std::vector<std::function<void()>> run;
    {
      std::lock_guard<std::mutex> lock(mutex);
      run.swap(held);
      hold = false;
    }
    for (auto it = run.rbegin(); it != run.rend(); ++it) (*it)();
  }
};

class Run : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.PortIndex = 2;  // COM3
    settings.Sample = 10;
  }
  void Start(std::int32_t mode) {
    settings.Mode = mode;
    run->PreparePacket();
    ASSERT_TRUE(run->OpenAndStart());
  }
  void Identify() {
    const Bytes ident = IdentReply(std::string(25, 'G'));
    pty.Write(ident.data(), ident.size());
    ASSERT_TRUE(PumpUntil(&queue, [&] { return owner.identified == 1; }));
  }
  void Stop() {  // the owner's Stop, port and packet steps
    run->StopTimer();
    run->ClosePort();
    run->ResetPacket();
  }
  Bytes DeviceReads(std::size_t n) { return pty.Read(n, 60000ms); }
  PtyPair pty;
  PortVariable variable{"COM3", pty.SlavePath()};
  TOptionProgramm settings;
  THoldingQueue queue;  // outlives the link, whose reader posts into it
  TPaket packet;
  TXComm comm;
  TFakeTimer timer{packet};
  Owner owner;
  std::unique_ptr<TMeasurementRun> run =
      std::make_unique<TMeasurementRun>(settings, packet, comm, timer, queue, owner);
};

// Identification at 100 ms, then polling at 1000 div Sample ms (Normal,
// OneCommand) or nothing sent at all (Trigger). The request buffer changes
// only while the timer is off.
TEST_F(Run, TimerThroughIdentificationPollingAndStreaming) {
  struct Case {
    std::int32_t mode;
    std::vector<TimerEvent> afterIdentification;
  } cases[] = {
      {ModeNormal, {{"off", 100, IdentRequest}, {"delay", 100, IdentRequest}, {"on", 100, DataRequest}}},
      {ModeOneCommand,
       {{"off", 100, IdentRequest}, {"delay", 100, IdentRequest}, {"on", 100, OneCommandRequest}}},
      {ModeTrigger, {{"off", 100, IdentRequest}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    owner = Owner{};
    timer.log.clear();
    Start(c.mode);
    EXPECT_EQ(timer.log.back(), (TimerEvent{"on", 100, IdentRequest}));
    timer.Tick();
    EXPECT_EQ(DeviceReads(IdentRequest.size()), IdentRequest);
    timer.log.clear();
    Identify();
    EXPECT_EQ(timer.log, c.afterIdentification);
    timer.Tick();
    if (c.mode == ModeTrigger) {
      EXPECT_FALSE(timer.GetEnabled());
      EXPECT_TRUE(pty.Read(1, 100ms).empty());  // nothing more is sent
    } else {
      const Bytes expected = timer.log.back().request;
      EXPECT_EQ(DeviceReads(expected.size()), expected);
    }
    Stop();
    EXPECT_TRUE(owner.events.empty());
  }
}

// A tick that finds the port closed, and the link's own loss report, ask
// for Stop once per run; a request still queued when the owner stopped the
// run by hand belongs to the ended run and is dropped.
TEST_F(Run, StopRequestsOncePerRunAndNeverAfterTheRunEnded) {
  Start(ModeNormal);
  // The device goes away; the next tick finds the port closed, and its stop
  // request is taken before the link's own report of the loss: the owner
  // learns why before it stops, once.
  queue.Hold();
  pty.CloseMaster();
  ASSERT_TRUE(WaitUntil([&] { return queue.Held() > 0; }));
  timer.Tick();
  timer.Tick();
  queue.RunHeldNewestFirst();
  queue.ProcessPending();
  EXPECT_EQ(owner.events, (std::vector<std::string>{"lost: line hung up", "stop"}));

  // The owner's Stop runs before the queued request is taken.
  PtyPair second;
  PortVariable again("COM3", second.SlavePath());
  owner.events.clear();
  Start(ModeNormal);
  comm.CloseDevice();  // closed under the timer's feet
  timer.Tick();        // queues a stop request
  Stop();              // the owner's Stop, by hand
  queue.ProcessPending();
  EXPECT_TRUE(owner.events.empty());
}

// Stop reads the replies already in the input queue before it purges it:
// the recording holds every sample the device delivered before Stop.
TEST_F(Run, StopKeepsTheRepliesAlreadyReceived) {
  TTempDir dir;
  const std::string file = dir.File("run.rtd");
  settings.TimeSource = TimeSoftware;
  settings.Mode = ModeNormal;
  run->PreparePacket();
  run->ArmRecording(file);
  ASSERT_TRUE(run->OpenAndStart());
  Identify();
  // 25 replies arrive; the owner has not taken their notification when the
  // user presses Stop.
  Bytes replies;
  for (int i = 1; i <= 25; ++i) replies = Cat({replies, ReplyFrame(2, Le(0.5f * i, 25.0f))});
  pty.Write(replies.data(), replies.size());
  ASSERT_TRUE(WaitUntil([&] { return comm.InQueCount() == replies.size(); }));
  Stop();
  queue.ProcessPending();  // the stale notification does nothing
  const Bytes f = ReadBytes(file);
  ASSERT_EQ(f.size(), 760u + 24 * 12);  // the first sample creates the file
  EXPECT_EQ(proto::GetLE<float>(&f[f.size() - 8]), 12.5f);
}

}  // namespace
