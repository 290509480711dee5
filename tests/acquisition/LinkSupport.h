// Shared by the tests of the link, the timer and the run: a pseudo-terminal
// for the gyroscope's serial port (the link opens the slave side by its path,
// the test plays the device on the master side), and waiting for a condition.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
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
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0)
      throw std::runtime_error("no pseudo-terminal");
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
    for (auto* p = static_cast<const std::uint8_t*>(data); n > 0;) {
      const ssize_t k = ::write(master_, p, n);
      pollfd pf{master_, POLLOUT, 0};
      if (k < 0) ::poll(&pf, 1, 100);
      p += std::max<ssize_t>(k, 0);
      n -= static_cast<std::size_t>(std::max<ssize_t>(k, 0));
    }
  }
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  // Reads what the link sent until n bytes came or the time is up.
  std::vector<std::uint8_t> Read(std::size_t n, std::chrono::milliseconds limit) {
    std::vector<std::uint8_t> out(n);
    std::size_t got = 0;
    for (const auto end = std::chrono::steady_clock::now() + limit;
         got < n && std::chrono::steady_clock::now() < end;) {
      pollfd pf{master_, POLLIN, 0};
      const ssize_t k = ::poll(&pf, 1, 10) > 0 ? ::read(master_, &out[got], n - got) : 0;
      got += static_cast<std::size_t>(std::max<ssize_t>(k, 0));
    }
    out.resize(got);
    return out;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Sets RATELOG_<port> for the life of the object.
class PortVariable {
 public:
  PortVariable(const std::string& port, const std::string& path) : name_("RATELOG_" + port) {
    ::setenv(name_.c_str(), path.c_str(), 1);
  }
  ~PortVariable() { ::unsetenv(name_.c_str()); }

 private:
  std::string name_;
};

// Waits until done() holds, running the queue's posts meanwhile if one is
// given; false after the limit (a hung test fails instead of hanging).
template <typename Pred>
bool PumpUntil(TEventQueue* queue, Pred done, std::chrono::milliseconds limit = std::chrono::minutes(1)) {
  for (const auto end = std::chrono::steady_clock::now() + limit; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (queue) queue->WaitAndProcess(std::chrono::milliseconds(5));
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = std::chrono::minutes(1)) {
  return PumpUntil(nullptr, done, limit);
}
