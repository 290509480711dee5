// The "Allan deviation" window: the overlapping Allan deviation of the rate
// over a span of the loaded recording on a log-log plot with confidence
// bars, the reading-off lines of slope -1/2 and +1/2 and the flat minimum,
// and the read-outs N, B and K. The plot saves as PNG or PDF, the table as
// a text file.
#pragma once

#include <QDialog>
#include <QIcon>
#include <functional>
#include <string>

#include "processing/Allan.h"
#include "ui/BackgroundWork.h"

class QCPGraph;
class QCustomPlot;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class TAllanFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TAllanFrm(QWidget* parent = nullptr);
  // The image of the action: a V-shaped curve on log-log axes.
  static QIcon Icon();

  // Set by the main window before each opening.
  std::string RecordingPath;
  double Begin = 0;
  double End = 0;
  // The chart's rate series: Apply keeps the span within its first and
  // last point. Set once by the main window.
  QCPGraph* Series1 = nullptr;
  // Reading progress: 0..100, -1 when done (the main window's gauge).
  std::function<void(int)> Gauge;

  TSpanRates Span;
  TAllanResult Result;

  QLineEdit* e_beg_time;
  QLineEdit* e_end_time;
  QPushButton* but_apply;
  QCustomPlot* PlotAllan;
  QTableWidget* ListAllan;
  QLabel* lab_span;
  QLabel* lab_N;
  QLabel* lab_B;
  QLabel* lab_K;
  QPushButton* BtnSavePlot;
  QPushButton* BtnSaveTable;
  QPushButton* BtnClose;

 public slots:
  void FormShow();
  void e_beg_timeChange();
  void but_applyClick();
  void BtnSavePlotClick();
  void BtnSaveTableClick();

 public:
  // Clears plot, table and read-outs at once and starts reading the span
  // and computing beside the window; they are filled when done. False when
  // there is no recording to read.
  bool Recompute();
  // A computation is under way.
  bool Busy() const { return work_.Running(); }
  // The recording is no longer the one on the chart: no path, nothing
  // shown, a computation under way stops.
  void RecordingGone();
  // Plot, table and read-outs from Result.
  void ShowResult();

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  void Message(const QString& text);

  TBackgroundWork work_;
  bool restart_ = false;  // compute again once the computation under way has stopped
};
