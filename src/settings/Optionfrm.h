// The "Settings" dialog: edits a copy of the main window's settings record.
// Lists and radio buttons write into the copy at once; typed values are
// checked and converted by Apply (and by OK). The dialog never writes the
// settings file; the main window takes the copy after OK.
#pragma once

#include <QDialog>

#include "processing/ScaleFactor.h"
#include "settings/Optionsprogramm.h"
#include "ui/OptionRules.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;
class TUpDown;

class TOptionForm : public QDialog {
  Q_OBJECT
 public:
  explicit TOptionForm(QWidget* parent = nullptr);

  // The dialog's own record: assigned by the main window before opening,
  // taken back after OK.
  TOptionProgramm Settings;
  bool Modified = false;

  // Notebook and groups.
  QTabWidget* PageControl1;
  QGroupBox* GroupConnect;
  QGroupBox* GroupMode;
  QGroupBox* GroupDisplay;
  QGroupBox* GroupTimeOption;
  QGroupBox* GroupHardTime;
  QGroupBox* GroupTempOption;
  QGroupBox* GroupAddress;
  QGroupBox* GroupCommand;
  QGroupBox* GroupCalculation;
  QWidget* PanelServer;

  // "Connect" page.
  QComboBox* change_port;
  QComboBox* ch_baud;
  QLineEdit* e_adr;
  TUpDown* UpDown1;
  QComboBox* change_sam;
  QComboBox* ChWorking;
  QListWidget* chListTrigerMask;
  QLineEdit* eFreqImpulse;
  QLabel* lab_path;
  QPushButton* BtnPath;
  QLabel* LabFolderServer;
  QPushButton* BtnFolderServer;
  // "Display" page.
  QComboBox* change_quality;
  QRadioButton* chTimeHard;
  QRadioButton* chTimeSoft;
  QComboBox* chTimeTypeHard;
  QLineEdit* eTimeScale;
  QLineEdit* e_FaultTime;
  QComboBox* cbTempType;
  QLineEdit* eTempScale;
  // "Address" page.
  QCheckBox* ch_adr;
  QLineEdit* e_AdTime;
  QLineEdit* e_AdSig;
  QLineEdit* e_AdTemp;
  QLineEdit* e_Command;
  // "Calculation" page.
  QLineEdit* e_tsszs;
  QLineEdit* e_passband;
  QLineEdit* e_trw;
  QLineEdit* e_U_Earth;
  // The site (kept in the per-user site file, not in the settings file):
  // latitude, empty where unknown, and the input axis' elevation and
  // heading. A latitude typed sets the vertical Earth rate.
  QLineEdit* e_Latitude;
  QLineEdit* e_AxisElevation;
  QLineEdit* e_AxisHeading;
  std::string SitePath;  // the site file; empty: the site is not kept
  // Buttons.
  QPushButton* BtnOk;
  QPushButton* BtnApply;
  QPushButton* BtnCancel;
  QPushButton* BtnDefault;

 public slots:
  void FillControls();
  // Checks and converts the typed values; false (and the conversion message
  // shown) when a text is not a number, the record then unchanged.
  bool Apply();

  void change_portChange(int index);
  void ch_baudChange(int index);
  void change_samChange(int index);
  void UpDown1Click(int position);
  void change_qualityChange(int index);
  void ChWorkingChange(int index);
  void chTimeHardClick();
  void chTimeSoftClick();
  void chTimeTypeHardChange(int index);
  void cbTempTypeChange(int index);
  void ch_adrClick();
  void BtnPathClick();
  void BtnFolderServerClick();
  void EditChange();
  void LatitudeChange();
  void BtnApplyClick();
  void BtnOkClick();
  void BtnCancelClick();
  void BtnDefaultClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void SetModified(bool modified);
  void ApplyModeRule(int mode);
  TOptionTexts ReadTexts() const;
  void WriteTexts(const TOptionTexts& texts);
  // Closes with the result OK after a successful Apply.
  void ConfirmAndClose();
  // The site's edits checked and, where changed, written to SitePath; false
  // (with the message shown) on a bad angle or a file that cannot be written.
  bool CheckSite(TSite& site);
  bool SaveSite(const TSite& site);

  // What the edits showed when filled or last applied.
  TOptionTexts Shown;
  bool filling_ = false;
  std::string siteText_;  // the site file as read or last written
};
