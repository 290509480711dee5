#include "sim/VirtualGyro.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

namespace {

long long MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Bytes the terminal has not taken yet are kept up to this much; beyond it
// the device drops what it would send, as a real device's buffer would.
constexpr std::size_t MaxPending = 1 << 20;

}  // namespace

TVirtualGyro::TVirtualGyro(const TDeviceConfig& config) : model_(config) {}

TVirtualGyro::~TVirtualGyro() { Stop(); }

bool TVirtualGyro::Start(std::string& error) {
  if (Running()) return true;
  char name[256] = {};
  termios raw{};
  ::cfmakeraw(&raw);
  ::cfsetispeed(&raw, B115200);
  ::cfsetospeed(&raw, B115200);
  if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
    return false;
  }
  path_ = name;
  stop_ = false;
  hungUp_ = false;
  startNs_ = MonotonicNs();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model_.Reset();
    if (OnSample) model_.OnSample = OnSample;
  }
  thread_ = std::thread([this] { Body(); });
  return true;
}

void TVirtualGyro::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    thread_.join();
  }
  for (int* fd : {&master_, &slave_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void TVirtualGyro::WithModel(const std::function<void(TDeviceModel&)>& fn) {
  std::lock_guard<std::mutex> lock(mutex_);
  fn(model_);
}

double TVirtualGyro::Now() const { return static_cast<double>(MonotonicNs() - startNs_) * 1e-9; }

void TVirtualGyro::Flush() {
  if (pendingHead_ == pending_.size()) {
    pending_.clear();
    pendingHead_ = 0;
  }
  std::size_t before = pending_.size();
  model_.Take(pending_);
  if (pending_.size() - pendingHead_ > MaxPending) pending_.resize(before);
  while (pendingHead_ < pending_.size()) {
    const ssize_t n = ::write(master_, pending_.data() + pendingHead_, pending_.size() - pendingHead_);
    if (n > 0) {
      pendingHead_ += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // the terminal is full: the rest waits for the next round
    }
  }
}

void TVirtualGyro::Body() {
  std::uint8_t buf[4096];
  while (!stop_) {
    const double now = Now();
    if (hangUpAfter_ > 0 && now >= hangUpAfter_) {
      // A device pulled from the port: the terminal goes away. Its name
      // goes with the master side; the slave side stays open until Stop, so
      // that the terminal's number is not given to another terminal meanwhile
      // (a program that opens the name late finds nothing, not a stranger).
      std::lock_guard<std::mutex> lock(mutex_);
      ::close(master_);
      master_ = -1;
      hungUp_ = true;
      return;
    }
    // Sleep until a request arrives or the next trigger frame is due.
    double wait = 0.05;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      model_.AdvanceTo(now);
      Flush();
      if (model_.Streaming()) {
        const double period = 1.0 / std::max(model_.FrameRate(), 1e-3);
        wait = std::min(wait, period / 2);
      }
      if (pendingHead_ < pending_.size()) wait = std::min(wait, 0.002);
    }
    if (hangUpAfter_ > 0) wait = std::min(wait, std::max(0.0, hangUpAfter_ - now));
    pollfd fds[2] = {{master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const timespec ts{static_cast<time_t>(wait), static_cast<long>(std::fmod(wait, 1.0) * 1e9)};
    if (::ppoll(fds, 2, &ts, nullptr) < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        model_.Feed(buf, static_cast<std::size_t>(n), Now());
        Flush();
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // Nobody has the terminal open besides us: nothing to do but wait.
      const timespec pause{0, 10000000};
      ::nanosleep(&pause, nullptr);
    }
  }
}
