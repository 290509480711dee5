#include "ui/SpanEdits.h"

#include <QLineEdit>
#include <qcustomplot.h>

#include <utility>

#include "ui/Chart.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"

namespace {

bool EditValue(QWidget* owner, QLineEdit* edit, const QString& field, double previous,
               double& value) {
  const QString text = edit->text();
  if (text.trimmed().isEmpty()) {
    edit->setText(FixedText(previous, 8, 3));
    value = previous;
    return true;
  }
  if (!ReadDouble(text, value)) {
    Dialogs().ShowError(owner, QStringLiteral("%1: %2").arg(field, NotFloatMessage(text)));
    return false;
  }
  if (value < 0) {
    edit->setText(FixedText(previous, 8, 3));
    value = previous;
  }
  return true;
}

}  // namespace

bool ApplySpanEdits(QWidget* owner, QLineEdit* beginEdit, QLineEdit* endEdit, const QCPGraph* rate,
                    double& begin, double& end) {
  double b = begin, e = end;
  if (!EditValue(owner, beginEdit, QStringLiteral("Begin time, second"), begin, b)) return false;
  if (!EditValue(owner, endEdit, QStringLiteral("End time, second"), end, e)) return false;
  if (b > e) std::swap(b, e);
  if (rate && SeriesSize(rate) > 0) {
    const double first = SeriesPoint(rate, 0).key;
    const double last = SeriesPoint(rate, SeriesSize(rate) - 1).key;
    if (first > b) b = first;
    if (last < e) e = last;
  }
  begin = b;
  end = e;
  beginEdit->setText(FixedText(begin, 8, 5));
  endEdit->setText(FixedText(end, 8, 5));
  return true;
}
