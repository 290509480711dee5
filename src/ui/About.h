// The About box.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TAboutFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutFrm(QWidget* parent = nullptr);

  QLabel* LabName;
  QLabel* LabVersion;
  QLabel* LabDescription;
  QLabel* LabText;
  QLabel* Image1;
  QPushButton* BtnOk;

 protected:
  void showEvent(QShowEvent* event) override;
};
