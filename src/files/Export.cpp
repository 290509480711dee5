#include "files/Export.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "files/ExportText.h"
#include "files/OleDate.h"
#include "ui/NumberText.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QString Message(const char* text) { return QString::fromLatin1(text); }

// "first line\npath\nreason" with the path as the file system's bytes.
QString FailureText(const char* first, const std::string& path, const std::string& reason) {
  return QString::fromLatin1(first) + QLatin1Char('\n') + QFile::decodeName(QByteArray::fromStdString(path)) +
         QLatin1Char('\n') + QString::fromLocal8Bit(reason.c_str());
}

}  // namespace

TExportFrm::TExportFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("ExportFrm"));
  setWindowTitle(QStringLiteral("Export"));
  setFixedSize(245, 287);

  GroupBox1 = Named(new QGroupBox(QStringLiteral("Option export"), this), "GroupBox1");
  GroupBox1->setGeometry(8, 4, 229, 180);
  Label1 = Named(new QLabel(QStringLiteral("Write file"), GroupBox1), "Label1");
  Label1->setGeometry(12, 22, 80, 20);
  ch_excel = Named(new QCheckBox(QStringLiteral("Format Excel"), GroupBox1), "ch_excel");
  ch_excel->setGeometry(96, 22, 125, 20);

  GroupBox2 = Named(new QGroupBox(QStringLiteral("Source Data"), GroupBox1), "GroupBox2");
  GroupBox2->setGeometry(8, 46, 213, 62);
  ch_sig = Named(new QCheckBox(QStringLiteral("Rate"), GroupBox2), "ch_sig");
  ch_sig->setGeometry(12, 18, 190, 20);
  ch_temp = Named(new QCheckBox(QStringLiteral("Temperature"), GroupBox2), "ch_temp");
  ch_temp->setGeometry(12, 38, 190, 20);

  Label2 = Named(new QLabel(QStringLiteral("Begin time"), GroupBox1), "Label2");
  Label2->setGeometry(12, 116, 90, 22);
  e_time_b = Named(new QLineEdit(QStringLiteral("0"), GroupBox1), "e_time_b");
  e_time_b->setGeometry(104, 116, 117, 22);
  Label3 = Named(new QLabel(QStringLiteral("End time"), GroupBox1), "Label3");
  Label3->setGeometry(12, 146, 90, 22);
  e_time_e = Named(new QLineEdit(QStringLiteral("0"), GroupBox1), "e_time_e");
  e_time_e->setGeometry(104, 146, 117, 22);

  but_start = Named(new QPushButton(QStringLiteral("Run export"), this), "but_start");
  but_start->setGeometry(8, 192, 229, 26);
  Label4 = Named(new QLabel(QStringLiteral("Progress"), this), "Label4");
  Label4->setGeometry(8, 222, 229, 16);
  CGauge1 = Named(new QProgressBar(this), "CGauge1");
  CGauge1->setGeometry(8, 240, 229, 12);
  CGauge1->setTextVisible(false);
  CGauge1->setRange(0, 100);
  CGauge1->setValue(0);
  but_exit = Named(new QPushButton(QStringLiteral("Close"), this), "but_exit");
  but_exit->setGeometry(82, 258, 80, 24);

  SaveFileDialog.Caption = QStringLiteral("Сохранить как..");
  SaveFileDialog.Filter = QStringLiteral("*.txt (*.txt)");
  SaveFileDialog.FileName = QStringLiteral("Untitled");
  SaveFileDialog.ConfirmOverwrite = true;

  connect(but_start, &QPushButton::clicked, this, &TExportFrm::but_startClick);
  connect(but_exit, &QPushButton::clicked, this, &QDialog::accept);
}

void TExportFrm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  FormShow();
}

void TExportFrm::FormShow() {
  e_time_b->setText(FixedText(BeginTime, 8, 3));
  e_time_e->setText(FixedText(EndTime, 8, 3));
  CGauge1->setValue(0);
}

// While a run goes on the dialog stays open: its files are being written.
void TExportFrm::reject() {
  if (!running_) QDialog::reject();
}

void TExportFrm::closeEvent(QCloseEvent* event) {
  if (running_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

std::string TExportFrm::BuildHeaderText() const {
  double created = 0;
  std::memcpy(&created, Header.data() + rtd::CreatedOffset, sizeof created);
  return ExportHeaderText(SourceName, OleDateNow(), Settings.Sample, FormatVersion, created,
                          ch_sig->isChecked(), ch_temp->isChecked());
}

bool TExportFrm::ReadBound(QLineEdit* edit, double fallback, double& value) {
  const QString text = edit->text().trimmed();
  if (!text.isEmpty()) {
    if (!ReadDouble(text, value)) {
      Dialogs().ShowError(this, NotFloatMessage(edit->text()));
      return false;
    }
    if (value > 0) return true;
  }
  edit->setText(FixedText(fallback, 8, 3));
  return ReadDouble(edit->text(), value);
}

void TExportFrm::but_startClick() {
  if (running_) return;
  double begin = 0, end = 0;
  if (!ReadBound(e_time_b, BeginTime, begin) || !ReadBound(e_time_e, EndTime, end)) return;
  if (begin > end) std::swap(begin, end);
  BeginTime = begin;
  EndTime = end;
  e_time_b->setText(FixedText(BeginTime, 8, 3));
  e_time_e->setText(FixedText(EndTime, 8, 3));

  running_ = true;
  GroupBox1->setEnabled(false);
  but_start->setEnabled(false);
  CGauge1->setValue(0);
  repaint();

  TExportJob job;
  QString chosen = SaveFileDialog.FileName;
  if (Dialogs().SaveFileName(this, SaveFileDialog, chosen)) {
    SaveFileDialog.FileName = chosen;
    job.BaseName = ExportBaseFromChosen(QFile::encodeName(chosen).toStdString());
  } else {
    job.BaseName = ExportBaseFromRecording(SourceName);
  }
  job.SourceName = SourceName;
  job.BeginTime = BeginTime;
  job.EndTime = EndTime;
  job.Rate = ch_sig->isChecked();
  job.Temperature = ch_temp->isChecked();
  job.Excel = ch_excel->isChecked();
  job.Sample = Settings.Sample;
  job.FormatVersion = FormatVersion;
  job.Now = OleDateNow();

  but_exit->setEnabled(false);
  // The file is written beside the window; the gauge follows it.
  auto result = std::make_shared<TExportResult>();
  work_.Start(
      [this, job, result] {
        *result = RunTextExport(job, [this](std::int64_t done, std::int64_t total) {
          const int maximum = static_cast<int>(std::min<std::int64_t>(total, INT32_MAX));
          const int value = static_cast<int>(std::min<std::int64_t>(done, INT32_MAX));
          work_.Post([this, maximum, value] {
            CGauge1->setMaximum(maximum);
            CGauge1->setValue(value);
          });
        });
      },
      [this, result] {
        Finish();
        ShowOutcome(*result);
      });
}

void TExportFrm::ShowOutcome(const TExportResult& result) {
  switch (result.Status) {
    case TExportStatus::Complied:
      Dialogs().Message(this, Message("Export file complied."), Message("Message"), TMsgButtons::Ok,
                        TMsgIcon::Information);
      break;
    case TExportStatus::SourceMissing:  // the recording was removed: nothing to do
      break;
    case TExportStatus::SourceUnreadable:
      Dialogs().Message(this, Message("Not open file."), Message("Message"), TMsgButtons::Ok,
                        TMsgIcon::Stop);
      break;
    case TExportStatus::OutputFailed:
      Dialogs().Message(this, FailureText("Cannot write export file", result.Path, result.Reason),
                        Message("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
      break;
    case TExportStatus::OutputIsRecording:
      Dialogs().Message(this,
                        FailureText("Cannot write export file", result.Path,
                                    "it is a recording; choose another name"),
                        Message("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
      break;
    case TExportStatus::BadRecording:
      Dialogs().Message(this, Message("Bad recording in file."), Message("Message"), TMsgButtons::Ok,
                        TMsgIcon::Stop);
      break;
  }
}

void TExportFrm::Finish() {
  CGauge1->setValue(0);
  but_exit->setEnabled(true);
  GroupBox1->setEnabled(true);
  but_start->setEnabled(true);
  running_ = false;
}
