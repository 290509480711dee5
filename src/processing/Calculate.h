// The "Calculation basic parameter" dialog: reads the records of the loaded
// recording again from disk, feeds those of the span to the general-
// quantities calculator and shows average value, drift error, random walk
// and bias error at 1 or 3 sigma.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "processing/Generalquantities.h"
#include "settings/Optionsprogramm.h"
#include "ui/BackgroundWork.h"

class QCPGraph;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTableWidget;

class TCalculFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TCalculFrm(QWidget* parent = nullptr);

  // Set by the main window before each opening.
  TOptionProgramm Settings;
  TGeneralQuant Quant;
  std::string RecordingPath;
  int SigmaFactor = 1;
  double Begin = 0;
  double End = 0;
  int FormatVersion = 0;
  // The chart's rate series: Apply keeps the span within its first and
  // last point. Set once by the main window.
  QCPGraph* Series1 = nullptr;
  // The progress of a reading: 0..100 while reading, -1 when done. Set by
  // the main window (its gauge).
  std::function<void(int)> Gauge;
  // No record of the file lay in the span of the last calculation.
  bool SpanEmpty = false;

  QGroupBox* GroupBox1;
  QLabel* lab_SSZS;
  QLabel* lab_RandWalk;
  QLabel* lab_passband;
  QLabel* lab_U;
  QLineEdit* e_beg_time;
  QLineEdit* e_end_time;
  QRadioButton* RadioButton1;
  QRadioButton* RadioButton2;
  QLabel* Label7;
  QTableWidget* ListView2;
  QPushButton* but_apply;
  QPushButton* Button2;

 public slots:
  void FormShow();
  void FormClose();
  void e_beg_timeChange();
  void but_applyClick();
  void RadioButton1Click();
  void RadioButton2Click();
  void Button2Click();

 public:
  // Empties the table and starts reading the file and computing beside
  // the window; the table is filled when done. False when there is no
  // recording to read.
  bool Recompute();
  void FillResults();
  // A reading and computing is under way.
  bool Busy() const { return work_.Running(); }
  // The recording is no longer the one on the chart: no path, an empty
  // table, a reading under way stops.
  void RecordingGone();

 protected:
  void showEvent(QShowEvent* event) override;
  void done(int result) override;

 private:
  void StartReading();
  void ClearResults();

  TBackgroundWork work_;
  bool restart_ = false;        // read again once the reading under way has stopped
  bool resultsShown_ = false;   // the table holds the results of Quant
};
