#include "app/RunFeedback.h"

QString WaitingTitle(const QString& portName, const QString& deviceFile, int seconds,
                     int address) {
  QString text = QStringLiteral("Waiting for the gyroscope on %1 (%2)\u2026 %3 s")
                     .arg(portName, deviceFile)
                     .arg(seconds);
  if (seconds >= WaitingHintAfter)
    text += QStringLiteral(
                "\nNo answer yet: check the port, the cable and that the device is on,"
                "\nits address (%1) and its speed (115200 bit/s).")
                .arg(address);
  return text;
}
