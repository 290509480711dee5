#include "ui/BackgroundWork.h"

#include <utility>

TBackgroundWork::TBackgroundWork() = default;

TBackgroundWork::~TBackgroundWork() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
  // relay_ goes next: what the work queued for it is dropped with it.
}

bool TBackgroundWork::Start(std::function<void()> work, std::function<void()> done) {
  if (running_) return false;
  // The thread of the last work has posted its end; it is over or about to be.
  if (thread_.joinable()) thread_.join();
  cancel_ = false;
  running_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threadEnded_ = false;
  }
  thread_ = std::thread([this, work = std::move(work), done = std::move(done)]() mutable {
    work();
    Post([this, done = std::move(done)] {
      if (thread_.joinable()) thread_.join();
      running_ = false;
      done();
    });
    std::lock_guard<std::mutex> lock(mutex_);
    threadEnded_ = true;
    ended_.notify_all();
  });
  return true;
}

void TBackgroundWork::Post(std::function<void()> action) {
  QMetaObject::invokeMethod(&relay_, std::move(action), Qt::QueuedConnection);
}

bool TBackgroundWork::WaitFinished(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return ended_.wait_for(lock, limit, [this] { return threadEnded_; });
}
