#include "ui/StyledLabel.h"

#include <QLabel>

QLabel* StyledLabel(QWidget* parent, const char* name, const QString& text, bool bold,
                    const QColor& colour) {
  auto* label = new QLabel(text, parent);
  if (name) label->setObjectName(QString::fromLatin1(name));
  QFont font = label->font();
  font.setBold(bold);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  return label;
}
