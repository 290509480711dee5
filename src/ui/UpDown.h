// A pair of up/down arrow buttons that steps a position within limits and
// does not wrap; it belongs beside a read-only edit that shows the value.
#pragma once

#include <QWidget>

class QToolButton;

class TUpDown : public QWidget {
  Q_OBJECT
 public:
  explicit TUpDown(QWidget* parent = nullptr);

  void SetRange(int min, int max);
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  // Sets the position (kept within the limits) without raising Click.
  void SetPosition(int value);

  // Steps like a click on the arrows: +1 or -1, then Click.
  void StepBy(int steps);

 signals:
  // A click on an arrow changed or tried to change the position.
  void Click(int position);

 private:
  QToolButton* up_;
  QToolButton* down_;
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
};
