// Waiting in the window tests: a real event loop, so that the idle handler
// runs (QCoreApplication::processEvents with a time limit never gets there).
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

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
