#include "files/Infofileform.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "files/HeaderText.h"
#include "files/OleDate.h"
#include "ui/StyledLabel.h"

TInfoFileFrm::TInfoFileFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("InfoFileFrm"));
  setWindowTitle(QStringLiteral("Information file"));
  setFixedSize(406, 157);

  const QString empty = QStringLiteral("-------------------------------------");
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(16, 10, 16, 8);
  grid->setVerticalSpacing(4);
  const struct {
    const char* caption;
    QLabel** value;
    const char* name;
  } rows[] = {{"IDN", &LabIDN, "LabIDN"},
              {"Sample", &LabSample, "LabSample"},
              {"Time create", &LabTime, "LabTime"},
              {"UserName", &LabUser, "LabUser"},
              {"CompName", &LabComp, "LabComp"}};
  int row = 0;
  for (const auto& r : rows) {
    grid->addWidget(StyledLabel(this, nullptr, QString::fromLatin1(r.caption), true, Qt::blue), row, 0);
    QLabel* value = StyledLabel(this, r.name, empty, true, Qt::black);
    value->setFixedWidth(193);
    grid->addWidget(value, row, 1);
    *r.value = value;
    ++row;
  }
  BtnOk = new QPushButton(QStringLiteral("Ok"), this);
  BtnOk->setObjectName(QStringLiteral("BtnOk"));
  BtnOk->setDefault(true);
  connect(BtnOk, &QPushButton::clicked, this, &QDialog::accept);
  grid->addWidget(BtnOk, row, 0, 1, 2, Qt::AlignHCenter);
}

void TInfoFileFrm::ShowInfo(const TRecordingInfo& info) {
  const std::string page = UserHeaderCodePage();
  LabIDN->setText(QString::fromStdString(DecodeHeaderText(info.Ident, page)));
  LabSample->setText(QString::number(info.Sample));
  LabTime->setText(QString::fromStdString(FormatDdMmYyyyHhNn(info.Created)));
  LabUser->setText(QString::fromStdString(DecodeHeaderText(info.UserName, page)));
  LabComp->setText(QString::fromStdString(DecodeHeaderText(info.CompName, page)));
}
