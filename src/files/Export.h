// The "Export" dialog: writes the records of the loaded recording within a
// time window as a text table (ExportText.h does the writing).
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <string>

#include "files/ExportText.h"
#include "files/Recording.h"
#include "settings/Optionsprogramm.h"
#include "ui/BackgroundWork.h"
#include "ui/Dialogs.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

class TExportFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TExportFrm(QWidget* parent = nullptr);

  // Set by the main window before each opening.
  TOptionProgramm Settings;  // the loaded recording's settings (its Sample)
  std::string SourceName;
  double BeginTime = 0.0;
  double EndTime = 500.0;
  std::array<std::uint8_t, rtd::HeaderSize> Header{};
  std::int32_t FormatVersion = 0;

  // Lines 1 to 7 of every export file for the current state.
  std::string BuildHeaderText() const;
  // An export run is going on.
  bool Running() const { return running_; }

  QGroupBox* GroupBox1;
  QLabel* Label1;
  QCheckBox* ch_excel;
  QGroupBox* GroupBox2;
  QCheckBox* ch_sig;
  QCheckBox* ch_temp;
  QLabel* Label2;
  QLineEdit* e_time_b;
  QLabel* Label3;
  QLineEdit* e_time_e;
  QPushButton* but_start;
  QLabel* Label4;
  QProgressBar* CGauge1;
  QPushButton* but_exit;
  TFileRequest SaveFileDialog;

 public slots:
  void FormShow();
  void but_startClick();
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // Reads a bound edit: empty or not above 0 takes `fallback` (written back).
  // False, with the framework's conversion message, when it is no number.
  bool ReadBound(QLineEdit* edit, double fallback, double& value);
  void Finish();
  void ShowOutcome(const TExportResult& result);

  TBackgroundWork work_;  // the export file is written beside the window

  bool running_ = false;
};
