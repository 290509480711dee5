#include "ui/ToolIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// One 16 x 16 and one 32 x 32 picture from the same drawing (coordinates
// on a 16 x 16 grid). A QIcon made of plain pixmaps gets its greyed
// disabled form from the style.
template <typename Draw>
QIcon Drawn(Draw draw) {
  QIcon icon;
  for (int size : {16, 32}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    draw(painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace

QIcon PrinterIcon() {
  return Drawn([](QPainter& p) {
    const QPen outline(QColor(40, 40, 40), 1);
    p.setPen(outline);
    // The sheet going in at the top.
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4.5, 1.5, 7, 5));
    // The body.
    p.setBrush(QColor(110, 120, 135));
    p.drawRoundedRect(QRectF(1.5, 6.5, 13, 6), 1.5, 1.5);
    // The printed sheet coming out, with two lines of print.
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4.5, 10.5, 7, 4));
    p.setPen(QPen(QColor(30, 60, 160), 1));
    p.drawLine(QPointF(5.5, 12.5), QPointF(10.5, 12.5));
    // The power light.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 200, 60));
    p.drawEllipse(QPointF(12.5, 8.5), 1, 1);
  });
}

QIcon ControlPanelIcon() {
  return Drawn([](QPainter& p) {
    // Two slider tracks with their knobs, as on a control desk.
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.drawLine(QPointF(2, 5), QPointF(14, 5));
    p.drawLine(QPointF(2, 11), QPointF(14, 11));
    p.setPen(QPen(QColor(30, 30, 30), 1));
    p.setBrush(QColor(230, 140, 20));
    p.drawRect(QRectF(8.5, 2.5, 3, 5));
    p.setBrush(QColor(30, 110, 200));
    p.drawRect(QRectF(3.5, 8.5, 3, 5));
  });
}

QIcon ThemeOr(const char* themeName, const QIcon& drawn) {
  const QString name = QString::fromLatin1(themeName);
  return QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name) : drawn;
}
