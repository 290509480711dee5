// The "Information file" dialog: the header of a loaded recording.
#pragma once

#include <QDialog>

#include "files/RecordingReader.h"

class QLabel;
class QPushButton;

class TInfoFileFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TInfoFileFrm(QWidget* parent = nullptr);

  // Fills the value labels from a recording's header.
  void ShowInfo(const TRecordingInfo& info);

  QLabel* LabIDN;
  QLabel* LabSample;
  QLabel* LabTime;
  QLabel* LabUser;
  QLabel* LabComp;
  QPushButton* BtnOk;
};
