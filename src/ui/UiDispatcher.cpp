#include "ui/UiDispatcher.h"

#include <QMetaObject>

void TQtUiDispatcher::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(receiver_, std::move(fn), Qt::QueuedConnection);
}
