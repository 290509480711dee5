#include "ui/ProgramIcon.h"

#include <QPainter>
#include <QPainterPath>

// Drawn on a 64 x 64 grid, scaled to the size asked for.
QPixmap ProgramPixmap(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);

  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x3a, 0x5f));
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

  // The coil: three turns of fibre.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0x8e, 0xd1, 0xfc), 3));
  p.drawEllipse(QPointF(32, 32), 22, 22);
  p.setPen(QPen(QColor(0x5b, 0xa8, 0xe0), 2));
  p.drawEllipse(QPointF(32, 32), 18, 18);
  p.drawEllipse(QPointF(32, 32), 14.5, 14.5);

  // The rotation: an arc with its arrow head.
  p.setPen(QPen(QColor(0xff, 0x9f, 0x1c), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(23, 23, 18, 18), 90 * 16, 270 * 16);
  QPainterPath head;
  head.moveTo(41, 26);
  head.lineTo(47, 33);
  head.lineTo(36, 34);
  head.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xff, 0x9f, 0x1c));
  p.drawPath(head);

  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(32, 32), 2.5, 2.5);
  return pixmap;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(ProgramPixmap(size));
  return icon;
}
