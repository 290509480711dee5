// File and event-loop helpers for the window tests.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/TestFiles.h"

inline std::string ReadText(const std::string& path) {
  const auto bytes = ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

// Runs the event loop until `done` holds or `ms` passed.
inline bool WaitFor(const std::function<bool()>& done, int ms = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
  }
  return true;
}
