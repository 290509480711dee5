// The virtual gyroscope: the device model behind a pseudo-terminal, answering
// requests as they arrive and streaming trigger frames in real time on a
// thread of its own. The program opens DevicePath() like any serial port.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/DeviceModel.h"

class TVirtualGyro {
 public:
  explicit TVirtualGyro(const TDeviceConfig& config = TDeviceConfig{});
  ~TVirtualGyro();
  TVirtualGyro(const TVirtualGyro&) = delete;
  TVirtualGyro& operator=(const TVirtualGyro&) = delete;

  // Creates the pseudo-terminal and starts the device thread. False with
  // error set when the terminal cannot be created.
  bool Start(std::string& error);
  // Stops the thread and closes the terminal (the program sees a hang-up).
  void Stop();
  bool Running() const { return thread_.joinable(); }

  // Says so when the configured impulse frequency is more than the device
  // streams (it then streams at its highest rate); empty else.
  std::string Notice() {
    std::lock_guard<std::mutex> lock(mutex_);
    return model_.FrameRateNotice();
  }

  // The terminal the program opens, e.g. /dev/pts/3.
  const std::string& DevicePath() const { return path_; }

  // Hangs up (closes the terminal) this many seconds after Start; 0: never.
  // Set before Start.
  void SetHangUpAfter(double seconds) { hangUpAfter_ = seconds; }
  // True once the device has hung up by itself.
  bool HungUp() const { return hungUp_.load(); }

  // Runs fn on the model under the device thread's lock (to change faults
  // or read the statistics while running).
  void WithModel(const std::function<void(TDeviceModel&)>& fn);

  // Every sample put on the wire, called on the device thread.
  std::function<void(const TDeviceSample&)> OnSample;

 private:
  void Body();
  double Now() const;
  void Flush();

  TDeviceModel model_;
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  int master_ = -1;
  int slave_ = -1;  // kept open so the terminal stays usable between opens
  int wake_[2] = {-1, -1};
  std::string path_;
  double hangUpAfter_ = 0;
  long long startNs_ = 0;
  std::vector<std::uint8_t> pending_;  // device bytes not yet taken by the terminal
  std::size_t pendingHead_ = 0;
};
