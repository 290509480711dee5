#include "ui/About.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "ui/ProgramIcon.h"
#include "ui/StyledLabel.h"


TAboutFrm::TAboutFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("AboutFrm"));
  setWindowTitle(QStringLiteral("About!"));
  setFixedSize(341, 166);

  LabName = StyledLabel(this, "LabName", QStringLiteral("Ratelog.exe"), true, Qt::black);
  LabVersion = StyledLabel(this, "LabVersion", QStringLiteral("Version 6.2.3"), true, Qt::black);
  LabDescription =
      StyledLabel(this, "LabDescription", QStringLiteral("Description"), true, QColor(0, 128, 0));
  LabText = StyledLabel(this, "LabText", QStringLiteral("Program for work single axis FOG"), false,
                      Qt::black);
  Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setFixedSize(33, 33);
  Image1->setScaledContents(true);
  Image1->setPixmap(ProgramPixmap(66));
  BtnOk = new QPushButton(QStringLiteral("Ok"), this);
  BtnOk->setObjectName(QStringLiteral("BtnOk"));
  BtnOk->setDefault(true);
  connect(BtnOk, &QPushButton::clicked, this, &QDialog::accept);

  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(24, 14, 24, 12);
  grid->setVerticalSpacing(4);
  grid->addWidget(LabName, 0, 0);
  grid->addWidget(LabVersion, 1, 0);
  grid->addWidget(Image1, 0, 1, 2, 1, Qt::AlignRight | Qt::AlignVCenter);
  grid->addWidget(LabDescription, 2, 0, 1, 2);
  grid->addWidget(LabText, 3, 0, 1, 2);
  grid->setRowStretch(4, 1);
  grid->addWidget(BtnOk, 5, 0, 1, 2, Qt::AlignHCenter);
}

void TAboutFrm::showEvent(QShowEvent* event) {
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  QDialog::showEvent(event);
}
