// Periodic timer: period without drift, one-shot, the restart rules, ticks in
// flight when the timer is changed or destroyed, changes from inside a tick,
// and exceptions escaping the handler.
#include <atomic>
#include <cmath>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "acquisition/Mmtimer.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = 60000ms) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Expiry times of a timer, relative to a start mark.
struct Ticks {
  std::mutex mutex;
  std::vector<Clock::time_point> at;
  std::thread::id thread;
  Clock::time_point start = Clock::now();

  TMMTimer::TNotifyEvent Handler() {
    return [this](TMMTimer*) {
      std::lock_guard<std::mutex> lock(mutex);
      at.push_back(Clock::now());
      thread = std::this_thread::get_id();
    };
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return at.size();
  }
  double FirstMs() {
    std::lock_guard<std::mutex> lock(mutex);
    return at.empty() ? -1 : Ms(at.front() - start);
  }
};

}  // namespace

TEST(MMTimer, DefaultsAndNothingRunsWithoutHandlerOrDelay) {
  auto timer = std::make_unique<TMMTimer>();
  EXPECT_EQ(timer->GetDelay(), 1000u);
  EXPECT_EQ(timer->GetResolution(), 100u);
  EXPECT_EQ(timer->GetMode(), mmePeriodic);
  EXPECT_TRUE(timer->GetEnabled());
  EXPECT_FALSE(timer->Running());  // no OnTimer yet
  EXPECT_EQ(static_cast<int>(mmeOneShort), 0);
  EXPECT_EQ(static_cast<int>(mmePeriodic), 1);

  // As the main window sets it up: disabled, resolution 0, handler.
  Ticks ticks;
  timer->SetEnabled(false);
  timer->SetResolution(0);
  timer->SetOnTimer(ticks.Handler());
  EXPECT_FALSE(timer->Running());
  timer->SetDelay(0);
  EXPECT_NO_THROW(timer->SetEnabled(true));  // Delay 0: nothing starts, nothing raised
  EXPECT_FALSE(timer->Running());
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.Count(), 0u);
  timer->SetDelay(5);
  EXPECT_TRUE(timer->Running());
  EXPECT_TRUE(WaitUntil([&] { return ticks.Count() >= 2; }));
  timer->SetOnTimer(nullptr);
  EXPECT_FALSE(timer->Running());
}

// Ticks follow absolute deadlines: the n-th tick never comes before
// start + n periods, and a late tick skips the deadlines already passed
// (never more ticks than periods went by). How close to the deadlines they
// come is measured by the timer benchmark.
TEST(MMTimer, PeriodicTicksOnItsOwnThreadAtTheirDeadlines) {
  Ticks ticks;
  auto timer = std::make_unique<TMMTimer>();
  timer->SetEnabled(false);
  timer->SetResolution(0);
  timer->SetDelay(10);
  timer->SetOnTimer([&, inner = ticks.Handler()](TMMTimer* sender) {
    inner(sender);
    std::this_thread::sleep_for(3ms);  // a busy handler does not stretch the period
  });
  ticks.start = Clock::now();
  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return ticks.Count() >= 30; }));
  timer->SetEnabled(false);
  const double elapsed = Ms(Clock::now() - ticks.start);
  std::lock_guard<std::mutex> lock(ticks.mutex);
  EXPECT_NE(ticks.thread, std::this_thread::get_id());
  EXPECT_LE(static_cast<double>(ticks.at.size()), elapsed / 10.0 + 1.0);
  for (std::size_t n = 0; n < ticks.at.size(); ++n)
    EXPECT_GE(Ms(ticks.at[n] - ticks.start), 10.0 * static_cast<double>(n + 1) - 0.5) << n;
}

TEST(MMTimer, OneShotFiresOnceAndStaysStartedUntilTheNextRestart) {
  Ticks ticks;
  auto timer = std::make_unique<TMMTimer>();
  timer->SetMode(mmeOneShort);
  timer->SetDelay(20);
  ticks.start = Clock::now();
  timer->SetOnTimer(ticks.Handler());
  ASSERT_TRUE(WaitUntil([&] { return ticks.Count() == 1; }));
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(ticks.Count(), 1u);
  EXPECT_GE(ticks.FirstMs(), 19.0);
  EXPECT_TRUE(timer->Running());
  timer->SetEnabled(false);
  EXPECT_FALSE(timer->Running());
  timer->SetEnabled(true);  // restart: once more
  EXPECT_TRUE(WaitUntil([&] { return ticks.Count() == 2; }));
  timer->SetMode(mmePeriodic);
  EXPECT_TRUE(WaitUntil([&] { return ticks.Count() >= 5; }));
}

TEST(MMTimer, RestartRules) {
  // An equal value changes nothing: the expiry keeps its time.
  {
    Ticks ticks;
    TMMTimer timer;
    timer.SetMode(mmeOneShort);
    timer.SetDelay(100);
    ticks.start = Clock::now();
    timer.SetOnTimer(ticks.Handler());
    const std::uint32_t id = timer.GetId();
    EXPECT_NE(id, 0u);
    timer.SetDelay(100);
    timer.SetEnabled(true);
    timer.SetMode(mmeOneShort);
    timer.SetResolution(100);
    EXPECT_EQ(timer.GetId(), id);  // still the first start
    ASSERT_TRUE(WaitUntil([&] { return ticks.Count() == 1; }));
    EXPECT_GE(ticks.FirstMs(), 99.0);
  }
  // A new value, or OnTimer assigned again (also the same handler),
  // restarts: a new start whose expiry comes Delay ms after the change.
  for (bool sameHandler : {false, true}) {
    Ticks ticks;
    TMMTimer timer;
    timer.SetMode(mmeOneShort);
    timer.SetDelay(1000);
    ticks.start = Clock::now();
    auto handler = ticks.Handler();
    timer.SetOnTimer(handler);
    const std::uint32_t id = timer.GetId();
    std::this_thread::sleep_for(60ms);
    const double changed = Ms(Clock::now() - ticks.start);
    if (sameHandler)
      timer.SetOnTimer(handler);
    else
      timer.SetDelay(120);
    EXPECT_NE(timer.GetId(), id);
    EXPECT_NE(timer.GetId(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return ticks.Count() == 1; }));
    EXPECT_GE(ticks.FirstMs(), changed + (sameHandler ? 999.0 : 119.0));
  }
}

TEST(MMTimer, DisablingAndDestroyingWaitForTheTickInFlight) {
  std::atomic<bool> inTick{false};
  std::atomic<int> count{0};
  auto slow = [&](TMMTimer*) {
    inTick = true;
    ++count;
    std::this_thread::sleep_for(60ms);
    inTick = false;
  };
  auto timer = std::make_unique<TMMTimer>();
  timer->SetDelay(5);
  timer->SetOnTimer(slow);
  ASSERT_TRUE(WaitUntil([&] { return inTick.load(); }));
  timer->SetEnabled(false);
  EXPECT_FALSE(inTick);  // returned only after the handler
  const int after = count;
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(count, after);

  timer->SetEnabled(true);
  ASSERT_TRUE(WaitUntil([&] { return inTick.load(); }));
  timer.reset();
  EXPECT_FALSE(inTick);
  const int final = count;
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(count, final);  // no tick reaches a destroyed timer
}

TEST(MMTimer, ChangesFromInsideItsOwnTick) {
  // Disabling from the tick: no deadlock, no further tick.
  {
    std::atomic<int> count{0};
    TMMTimer timer;
    timer.SetDelay(5);
    timer.SetOnTimer([&](TMMTimer* sender) {
      ++count;
      sender->SetEnabled(false);
      EXPECT_FALSE(sender->Running());
    });
    ASSERT_TRUE(WaitUntil([&] { return count == 1; }));
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(timer.GetEnabled());
  }
  // A new period from the tick, then another handler from the tick.
  {
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    Clock::time_point changed;
    Clock::time_point next;
    TMMTimer timer;
    timer.SetResolution(0);
    timer.SetDelay(5);
    timer.SetOnTimer([&](TMMTimer* sender) {
      if (++first == 1) {
        changed = Clock::now();
        sender->SetDelay(40);
      } else {
        next = Clock::now();
        sender->SetOnTimer([&](TMMTimer*) { ++second; });
      }
    });
    ASSERT_TRUE(WaitUntil([&] { return second >= 1; }));
    std::this_thread::sleep_for(200ms);
    timer.SetEnabled(false);
    const double since = Ms(Clock::now() - next);
    EXPECT_EQ(first, 2);
    EXPECT_GE(Ms(next - changed), 39.0);  // deadlines only ever come late
    EXPECT_LE(second, since / 40.0 + 1.0);  // every 40 ms, not 5 ms
  }
  // Destroyed by its own handler: the thread ends after the handler.
  {
    std::atomic<bool> gone{false};
    auto* timer = new TMMTimer;
    timer->SetDelay(5);
    timer->SetOnTimer([&](TMMTimer* sender) {
      delete sender;
      gone = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return gone.load(); }));
    std::this_thread::sleep_for(20ms);
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
