// The "Allan deviation" window: the overlapping Allan, modified Allan or
// overlapping Hadamard deviation of the rate over a span of the loaded
// recording on a log-log plot, on a chosen tau grid, with chi-square
// confidence intervals as error bars, the line of each noise term found
// drawn over the tau range it was read on, the five terms (Q, N, B, K, R)
// with their ranges, and the gaps of the span. The plot saves as PNG or PDF,
// the table (intervals and terms included) as a text file.
#pragma once

#include <QDialog>
#include <QIcon>
#include <functional>
#include <string>

#include "processing/Allan.h"
#include "ui/BackgroundWork.h"

class QCPGraph;
class QComboBox;
class QCustomPlot;
class QLabel;
class QLineEdit;
class QProgressBar;
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
  QComboBox* cb_taus;  // octave, decade, 5, 10, 20 per decade, all
  QComboBox* cb_kind;  // oadev, mdev, hdev
  QLabel* lab_Q;
  QLabel* lab_N;
  QLabel* lab_B;
  QLabel* lab_K;
  QLabel* lab_R;
  QLabel* lab_gaps;
  QPushButton* BtnSavePlot;
  QPushButton* BtnSaveTable;
  QPushButton* BtnClose;
  QProgressBar* Progress;  // shown while reading and computing

 public slots:
  void FormShow();
  void e_beg_timeChange();
  void but_applyClick();
  void BtnSavePlotClick();
  void BtnSaveTableClick();

 public:
  // The grid and kind chosen in the window.
  TAllanOptions Options() const;
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
  // 0..99: reading; 100: computing; -1: done.
  void ShowProgress(int percent);

  TBackgroundWork work_;
  bool restart_ = false;  // compute again once the computation under way has stopped
};
