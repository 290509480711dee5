// The begin and end edits of an analysis span (Calculation, Allan deviation).
#pragma once

class QCPGraph;
class QLineEdit;
class QWidget;

// Apply: reads both edits in seconds. An empty or negative entry puts the
// span's present value back (written with 3 decimals); an inverted span is
// swapped and then clamped to the first and last point of the rate series.
// The edits then show the new span with 5 decimals. Returns false, with
// begin and end unchanged, after showing the error box that names the
// field whose text is not a number.
bool ApplySpanEdits(QWidget* owner, QLineEdit* beginEdit, QLineEdit* endEdit, const QCPGraph* rate,
                    double& begin, double& end);
