// What the tests of the link, the timer and the run share: a pseudo-terminal
// standing in for the gyroscope's serial port (the link under test opens the
// slave side by its path, the test plays the device on the master side), the
// port variable, and waiting for a condition.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/Xcomdrv.h"

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
      throw std::runtime_error("no pseudo-terminal");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    slave_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slave_; }
  int Master() const { return master_; }

  // The device goes away: the slave side sees a hang-up.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Writes all bytes (waiting while the terminal's buffer is full).
  void Write(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
      const ssize_t k = ::write(master_, p, n);
      if (k < 0) {
        pollfd pf{master_, POLLOUT, 0};
        ::poll(&pf, 1, 100);
        continue;
      }
      p += k;
      n -= static_cast<std::size_t>(k);
    }
  }
  void Write(const std::string& s) { Write(s.data(), s.size()); }

  // Reads what the link sent until n bytes came or the time is up.
  std::vector<std::uint8_t> Read(std::size_t n, std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + limit;
    std::uint8_t buf[4096];
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd pf{master_, POLLIN, 0};
      if (::poll(&pf, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t k = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (k > 0) out.insert(out.end(), buf, buf + k);
      else if (k < 0 && errno != EAGAIN) break;
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Sets RATELOG_<name> for the life of the object.
class PortVariable {
 public:
  PortVariable(const std::string& port, const std::string& path) : name_("RATELOG_" + port) {
    ::setenv(name_.c_str(), path.c_str(), 1);
  }
  ~PortVariable() { ::unsetenv(name_.c_str()); }
  PortVariable(const PortVariable&) = delete;
  PortVariable& operator=(const PortVariable&) = delete;

 private:
  std::string name_;
};

// Waits until done() holds; false after the limit (a hung test fails
// instead of blocking the suite).
template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = std::chrono::minutes(1)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The same on the owning thread, running the queue's posts meanwhile.
template <typename Pred>
bool PumpUntil(TEventQueue& queue, Pred done, std::chrono::milliseconds limit = std::chrono::minutes(1)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    queue.WaitAndProcess(std::chrono::milliseconds(5));
  }
  return true;
}
