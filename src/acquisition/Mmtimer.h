// Periodic timer whose handler runs on a thread of its own, not on the
// user-interface thread. Expiries follow absolute deadlines on the monotonic
// clock, so the period does not drift; a tick that comes too late skips the
// deadlines already passed instead of firing in a burst.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

class EMMTimerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The ordinal is the timer type: fire once, or every Delay ms.
enum TMMEventMode { mmeOneShort, mmePeriodic };

class TMMTimer {
 public:
  using TNotifyEvent = std::function<void(TMMTimer* Sender)>;
  // Called on the timer thread with the message of an exception that
  // escaped OnTimer; the timer goes on.
  using TErrorEvent = std::function<void(TMMTimer* Sender, const std::string& Message)>;

  TMMTimer();
  // Disables the timer (waiting for a tick in flight) and ends its thread.
  virtual ~TMMTimer();
  TMMTimer(const TMMTimer&) = delete;
  TMMTimer& operator=(const TMMTimer&) = delete;

  // Shortest and longest period, ms.
  std::uint32_t GetMinPeriod() const { return minPeriod_; }
  std::uint32_t GetMaxPeriod() const { return maxPeriod_; }

  // Each setter stores a new value and restarts the timer; a value equal to
  // the stored one does nothing. SetOnTimer always stores and restarts.
  // Restart: a running timer is stopped (waiting until a tick in flight on
  // the timer thread has returned); then, if Delay is not 0, Enabled is true
  // and OnTimer is assigned, it starts again with the first expiry Delay ms
  // from now. Raises EMMTimerError("Can't start multimedia timer") when the
  // timer thread cannot be started; the timer is then stopped.
  //
  // Called from inside the timer's own tick (on the timer thread), a setter
  // does not wait for the tick, which is the caller itself: the change takes
  // effect when the handler returns (disabled: no further tick; a new Delay:
  // the next expiry Delay ms after the change; a new OnTimer: called from
  // the next expiry on).
  // The setters a measurement run uses are virtual, so that a test can
  // stand in a timer it ticks by hand.
  std::uint32_t GetDelay() const;
  virtual void SetDelay(std::uint32_t value);
  std::uint32_t GetResolution() const;
  void SetResolution(std::uint32_t value);
  TMMEventMode GetMode() const;
  void SetMode(TMMEventMode value);
  virtual bool GetEnabled() const;
  virtual void SetEnabled(bool value);
  TNotifyEvent GetOnTimer() const;
  virtual void SetOnTimer(TNotifyEvent value);
  // Set it before enabling; read by the timer thread when a handler throws.
  virtual void SetOnError(TErrorEvent value);

  // True while a timer is started (a one-shot timer stays started after it
  // fired, until the next restart).
  bool Running() const;
  // The started timer's id: 0 while stopped, a new one at every start.
  std::uint32_t GetId() const;

 private:
  struct TState;
  static void Body(std::shared_ptr<TState> state, TMMTimer* owner);
  void Restart(std::unique_lock<std::mutex>& lock);

  std::uint32_t minPeriod_ = 1;
  std::uint32_t maxPeriod_ = 1000000;
  std::shared_ptr<TState> state_;  // shared with the timer thread
  std::thread thread_;             // started with the first start, ended by the destructor
};
