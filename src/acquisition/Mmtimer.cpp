#include "acquisition/Mmtimer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <chrono>
#include <exception>

using Clock = std::chrono::steady_clock;

// Everything the timer thread touches lives here, so that the thread never
// refers to a destroyed TMMTimer (it is detached when the timer is destroyed
// from inside its own handler).
struct TMMTimer::TState {
  std::mutex mutex;
  std::condition_variable changed;

  std::uint32_t delay = 1000;
  std::uint32_t resolution = 100;
  TMMEventMode mode = mmePeriodic;
  bool enabled = true;
  TNotifyEvent onTimer;
  TErrorEvent onError;

  std::uint32_t id = 0;  // started timer, 0 when stopped
  std::uint32_t lastId = 0;
  std::uint64_t generation = 0;  // counts starts and stops
  bool active = false;           // an expiry is due at start + delay
  Clock::time_point start;
  bool inTick = false;  // the handler is running
  std::thread::id timerThread;
  bool shutdown = false;
};

TMMTimer::TMMTimer() : state_(std::make_shared<TState>()) {
  // No timer device to ask for capabilities: the thread's clock serves any
  // period from 1 ms up.
}

TMMTimer::~TMMTimer() {
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->enabled = false;
    Restart(lock);
    state_->shutdown = true;
  }
  state_->changed.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();  // destroyed by its own handler: the thread ends after it returns
    else
      thread_.join();
  }
}

void TMMTimer::Restart(std::unique_lock<std::mutex>& lock) {
  TState& s = *state_;
  const bool onTimerThread = std::this_thread::get_id() == s.timerThread;
  if (s.id != 0) {
    s.id = 0;
    s.active = false;
    ++s.generation;
    s.changed.notify_all();
  }
  // A tick in flight ends before the change counts as made, so that what
  // the handler uses may be changed once the timer is disabled. The tick's
  // own thread cannot wait for itself; there the change takes effect when
  // the handler returns.
  if (!onTimerThread) s.changed.wait(lock, [&] { return !s.inTick; });

  if (s.delay == 0 || !s.enabled || !s.onTimer || s.shutdown) return;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&TMMTimer::Body, state_, this);
    } catch (...) {
      throw EMMTimerError("Can't start multimedia timer");
    }
  }
  if (++s.lastId == 0) ++s.lastId;
  s.id = s.lastId;
  s.active = true;
  ++s.generation;
  s.start = Clock::now();
  s.changed.notify_all();
}

void TMMTimer::Body(std::shared_ptr<TState> state, TMMTimer* owner) {
  TState& s = *state;
  // Like the system timer thread it stands in for, the thread runs above
  // ordinary threads when it may (lowest real-time priority: short ticks
  // stay on time while the machine is busy). Without the privilege it
  // keeps the normal priority.
  sched_param param{};
  param.sched_priority = sched_get_priority_min(SCHED_FIFO);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);

  std::unique_lock<std::mutex> lock(s.mutex);
  s.timerThread = std::this_thread::get_id();
  std::uint64_t generation = ~std::uint64_t{0};
  TNotifyEvent handler;  // the handler of this start; OnTimer may change meanwhile
  Clock::duration period{};
  Clock::time_point deadline;
  bool oneShot = false;
  unsigned long slack = 0;
  while (!s.shutdown) {
    if (!s.active) {
      handler = nullptr;
      generation = ~std::uint64_t{0};
      s.changed.wait(lock, [&] { return s.shutdown || s.active; });
      continue;
    }
    if (s.generation != generation) {
      generation = s.generation;
      handler = s.onTimer;
      period = std::chrono::milliseconds(s.delay);
      deadline = s.start + period;
      oneShot = s.mode == mmeOneShort;
      // Resolution 0 asks for the greatest accuracy: let the kernel wake
      // the thread within a microsecond instead of its default 50.
      const unsigned long wanted = s.resolution == 0 ? 1000 : 50000;
      if (wanted != slack) {
        slack = wanted;
        prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
      }
    }
    if (s.changed.wait_until(lock, deadline,
                             [&] { return s.shutdown || s.generation != generation; }))
      continue;

    s.inTick = true;
    lock.unlock();
    bool failed = false;
    std::string message;
    try {
      handler(owner);
    } catch (const std::exception& e) {
      failed = true;
      try {
        message = e.what();
      } catch (...) {
      }
    } catch (...) {
      failed = true;
      message = "Unknown exception in the timer handler";
    }
    if (failed) {
      TErrorEvent report;
      {
        std::lock_guard<std::mutex> relock(s.mutex);
        if (!s.shutdown) report = s.onError;
      }
      if (report) {
        try {
          report(owner, message);
        } catch (...) {
        }
      }
    }
    lock.lock();
    s.inTick = false;
    s.changed.notify_all();
    if (s.generation != generation) continue;  // changed during the tick
    if (oneShot) {
      s.active = false;  // the id stays until the next restart
      continue;
    }
    deadline += period;
    const auto now = Clock::now();
    if (deadline <= now) deadline += ((now - deadline) / period + 1) * period;
  }
}

std::uint32_t TMMTimer::GetDelay() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->delay;
}

void TMMTimer::SetDelay(std::uint32_t value) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (value == state_->delay) return;
  state_->delay = value;
  Restart(lock);
}

std::uint32_t TMMTimer::GetResolution() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->resolution;
}

void TMMTimer::SetResolution(std::uint32_t value) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (value == state_->resolution) return;
  state_->resolution = value;
  Restart(lock);
}

TMMEventMode TMMTimer::GetMode() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mode;
}

void TMMTimer::SetMode(TMMEventMode value) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (value == state_->mode) return;
  state_->mode = value;
  Restart(lock);
}

bool TMMTimer::GetEnabled() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->enabled;
}

void TMMTimer::SetEnabled(bool value) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  TState& s = *state_;
  if (value == s.enabled) {
    // Nothing changes, but a caller disabling an already disabled timer
    // (say, after the handler disabled it) may rely on no tick running
    // once this returns.
    if (!value && std::this_thread::get_id() != s.timerThread)
      s.changed.wait(lock, [&] { return !s.inTick; });
    return;
  }
  s.enabled = value;
  Restart(lock);
}

TMMTimer::TNotifyEvent TMMTimer::GetOnTimer() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->onTimer;
}

void TMMTimer::SetOnTimer(TNotifyEvent value) {
  TNotifyEvent old;  // destroyed after the lock is released
  std::unique_lock<std::mutex> lock(state_->mutex);
  old = std::move(state_->onTimer);
  state_->onTimer = std::move(value);
  Restart(lock);
}

void TMMTimer::SetOnError(TErrorEvent value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->onError = std::move(value);
}

bool TMMTimer::Running() const { return GetId() != 0; }

std::uint32_t TMMTimer::GetId() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->id;
}
