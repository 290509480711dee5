// Hands functions from any thread to the GUI thread through Qt's event
// queue. Functions posted after the receiver is gone are dropped.
#pragma once

#include <QObject>

#include "acquisition/Xcomdrv.h"

class TQtUiDispatcher : public TUiDispatcher {
 public:
  // receiver: a QObject of the GUI thread; the functions run in its thread
  // and only while it exists.
  explicit TQtUiDispatcher(QObject* receiver) : receiver_(receiver) {}
  void Post(std::function<void()> fn) override;

 private:
  QObject* receiver_;
};
