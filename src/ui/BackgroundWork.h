// Long work of a window (reading a recording, a calculation, an export, the
// archive copy) on a thread of its own. The window's thread goes on with its
// events meanwhile: it repaints, can be moved, resized and closed, and a
// message box opened meanwhile can be answered. What the work reports
// (progress, its end) reaches the window's thread as queued calls, in the
// order sent.
#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class TBackgroundWork {
 public:
  TBackgroundWork();
  // Asks running work to stop and waits for its thread; its queued calls
  // and its `done` are dropped.
  ~TBackgroundWork();
  TBackgroundWork(const TBackgroundWork&) = delete;
  TBackgroundWork& operator=(const TBackgroundWork&) = delete;

  // Runs `work` on a new thread; `done` then runs on the window's thread
  // after every call the work posted. Refused (false) while work runs.
  bool Start(std::function<void()> work, std::function<void()> done);
  // From Start until `done` has begun.
  bool Running() const { return running_; }
  // Asks the work to stop early; the work sees it in Cancelled().
  void Cancel() { cancel_ = true; }
  bool Cancelled() const { return cancel_; }
  // The flag the work can hand to code that checks it on its own.
  const std::atomic<bool>& CancelFlag() const { return cancel_; }
  // From the work's thread: `action` runs on the window's thread.
  void Post(std::function<void()> action);
  // Waits at most `limit` for the work's thread to end; true when it has
  // (or none runs). The queued `done` is not run.
  bool WaitFinished(std::chrono::milliseconds limit);

 private:
  QObject relay_;  // lives in the window's thread; queued calls go to it
  std::thread thread_;
  std::atomic<bool> cancel_{false};
  bool running_ = false;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool threadEnded_ = true;
};
