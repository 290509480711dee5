// Periodic timer: restart rules, ticks in flight when it is changed or destroyed,
// exceptions escaping the handler. Period and jitter: see the timer benchmark.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "LinkSupport.h"
#include "acquisition/Mmtimer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Counts a timer's ticks: the first one's time (ms after start), their thread.
struct Ticks {
  Clock::time_point start = Clock::now();
  std::atomic<int> count{0};
  std::atomic<double> first{-1};
  std::atomic<std::thread::id> thread;
  TMMTimer::TNotifyEvent Handler() {
    return [this](TMMTimer*) {
      if (count == 0) first = Ms(Clock::now() - start);
      thread = std::this_thread::get_id();
      ++count;
    };
  }
};

}  // namespace

TEST(MMTimer, NothingRunsWithoutHandlerOrDelayAndTicksOnItsOwnThread) {
  TMMTimer timer;
  EXPECT_FALSE(timer.Running());  // enabled, Delay 1000, but no OnTimer yet

  // As the main window sets it up: disabled, resolution 0, handler.
  Ticks ticks;
  timer.SetEnabled(false);
  timer.SetResolution(0);
  timer.SetOnTimer(ticks.Handler());
  EXPECT_FALSE(timer.Running());
  timer.SetDelay(0);
  EXPECT_NO_THROW(timer.SetEnabled(true));  // Delay 0: nothing starts, nothing raised
  EXPECT_FALSE(timer.Running());
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.count, 0);
  timer.SetDelay(5);
  EXPECT_TRUE(timer.Running());
  EXPECT_TRUE(WaitUntil([&] { return ticks.count >= 2; }));
  EXPECT_NE(ticks.thread.load(), std::this_thread::get_id());  // a thread of its own
  timer.SetOnTimer(nullptr);
  EXPECT_FALSE(timer.Running());
}

// An equal value changes nothing: the expiry keeps its time. A new value,
// or OnTimer assigned again (also the same handler), restarts: a new start
// whose expiry comes Delay ms after the change.
TEST(MMTimer, RestartRules) {
  for (int change : {0, 1, 2}) {
    SCOPED_TRACE(change);
    Ticks ticks;
    TMMTimer timer;
    timer.SetMode(mmeOneShort);
    timer.SetDelay(change == 0 ? 100 : 1000);
    auto handler = ticks.Handler();
    timer.SetOnTimer(handler);
    const std::uint32_t id = timer.GetId();
    EXPECT_NE(id, 0u);
    std::this_thread::sleep_for(60ms);
    const double changed = Ms(Clock::now() - ticks.start);
    if (change == 0) {
      timer.SetDelay(100);
      timer.SetEnabled(true);
      timer.SetMode(mmeOneShort);
      timer.SetResolution(100);
      EXPECT_EQ(timer.GetId(), id);  // still the first start
    } else {
      change == 1 ? timer.SetOnTimer(handler) : timer.SetDelay(120);
      EXPECT_NE(timer.GetId(), id);
      EXPECT_NE(timer.GetId(), 0u);
    }
    ASSERT_TRUE(WaitUntil([&] { return ticks.count == 1; }));
    EXPECT_GE(ticks.first, change == 0 ? 99.0 : changed + (change == 1 ? 999.0 : 119.0));
  }
}

TEST(MMTimer, DisablingAndDestroyingWaitForTheTickInFlight) {
  std::atomic<bool> inTick{false};
  std::atomic<int> count{0};
  auto timer = std::make_unique<TMMTimer>();
  timer->SetDelay(5);
  timer->SetOnTimer([&](TMMTimer*) {
    inTick = true;
    ++count;
    std::this_thread::sleep_for(60ms);
    inTick = false;
  });
  for (bool destroy : {false, true}) {
    ASSERT_TRUE(WaitUntil([&] { return inTick.load(); }));
    destroy ? timer.reset() : timer->SetEnabled(false);
    EXPECT_FALSE(inTick);  // returned only after the handler
    const int after = count;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(count, after);  // no tick reaches a disabled or destroyed timer
    if (!destroy) timer->SetEnabled(true);
  }
}

TEST(MMTimer, ExceptionsFromTheHandlerAreReportedAndTheTimerGoesOn) {
  std::atomic<int> count{0};
  std::mutex mutex;
  std::vector<std::string> reports;
  TMMTimer timer;
  timer.SetOnError([&](TMMTimer* sender, const std::string& message) {
    EXPECT_EQ(sender, &timer);
    std::lock_guard<std::mutex> lock(mutex);
    reports.push_back(message);
  });
  timer.SetDelay(5);
  timer.SetOnTimer([&](TMMTimer*) {
    if (++count % 2) throw std::runtime_error("Device not opened.");
    throw 42;
  });
  ASSERT_TRUE(WaitUntil([&] { return count >= 4; }));
  timer.SetEnabled(false);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_GE(reports.size(), 4u);
  EXPECT_EQ(reports[0], "Device not opened.");
  EXPECT_FALSE(reports[1].empty());
}
