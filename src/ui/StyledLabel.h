// Labels of the small dialogs: bold or plain text in a given colour.
#pragma once

#include <QColor>
#include <QString>

class QLabel;
class QWidget;

// name (may be null) becomes the label's objectName.
QLabel* StyledLabel(QWidget* parent, const char* name, const QString& text, bool bold,
                    const QColor& colour);
