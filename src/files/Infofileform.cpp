#include "files/Infofileform.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "files/OleDate.h"

namespace {

QLabel* MakeLabel(QWidget* parent, const QString& text, const QColor& colour, const char* name) {
  auto* label = new QLabel(text, parent);
  if (name) label->setObjectName(QString::fromLatin1(name));
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  return label;
}

}  // namespace

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
    grid->addWidget(MakeLabel(this, QString::fromLatin1(r.caption), Qt::blue, nullptr), row, 0);
    QLabel* value = MakeLabel(this, empty, Qt::black, r.name);
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
  LabIDN->setText(QString::fromLocal8Bit(info.Ident.c_str()));
  LabSample->setText(QString::number(info.Sample));
  LabTime->setText(QString::fromStdString(FormatDdMmYyyyHhNn(info.Created)));
  LabUser->setText(QString::fromLocal8Bit(info.UserName.c_str()));
  LabComp->setText(QString::fromLocal8Bit(info.CompName.c_str()));
}
