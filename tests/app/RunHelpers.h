// Helpers of the window tests that run measurements and read recordings:
// a real event loop (the idle handler runs when the loop is about to wait,
// which QCoreApplication::processEvents with a time limit never does) and
// recording files written byte by byte.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "processing/Average.h"

// Runs the application's event loop until `done` holds or `ms` passed.
inline bool RunUntil(const std::function<bool()>& done, int ms = 60000) {
  if (done()) return true;
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer check;
  check.setInterval(5);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done() || clock.elapsed() > ms) loop.quit();
  });
  check.start();
  loop.exec();
  return done();
}

inline void RunFor(int ms) {
  RunUntil([] { return false; }, ms);
}

struct TRecordingFile {
  bool Header = true;
  float Sample = 10;
  std::string Ident = "VRDT40-123.456-00042";
  double Created = 0;
  std::string CompName;
  std::string UserName;
  std::vector<SamplePoint> Records;

  void Write(const std::string& path) const {
    std::vector<std::uint8_t> bytes;
    if (Header) {
      bytes.assign(760, 0);
      std::memcpy(bytes.data(), Ident.data(), std::min<std::size_t>(Ident.size(), 25));
      const std::uint32_t version = 24611;
      std::memcpy(bytes.data() + 28, &version, 4);
      std::memcpy(bytes.data() + 32, &Sample, 4);
      std::memcpy(bytes.data() + 40, &Created, 8);
      std::memcpy(bytes.data() + 48, CompName.data(), std::min<std::size_t>(CompName.size(), 254));
      std::memcpy(bytes.data() + 303, UserName.data(), std::min<std::size_t>(UserName.size(), 254));
    } else {
      bytes.resize(4);
      std::memcpy(bytes.data(), &Sample, 4);
    }
    const std::size_t at = bytes.size();
    bytes.resize(at + Records.size() * 12);
    if (!Records.empty()) std::memcpy(bytes.data() + at, Records.data(), Records.size() * 12);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
};
