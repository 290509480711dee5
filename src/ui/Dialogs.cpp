#include "ui/Dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>

TDialogs::~TDialogs() = default;

void TDialogs::ShowError(QWidget* owner, const QString& text) {
  Message(owner, text, QStringLiteral("Ratelog"), TMsgButtons::Ok, TMsgIcon::Stop);
}

namespace {

TQtDialogs& QtDialogs() {
  static TQtDialogs dialogs;
  return dialogs;
}

TDialogs* current = nullptr;

QMessageBox::Icon BoxIcon(TMsgIcon icon) {
  switch (icon) {
    case TMsgIcon::Information: return QMessageBox::Information;
    case TMsgIcon::Warning: return QMessageBox::Warning;
    case TMsgIcon::Stop: return QMessageBox::Critical;
    case TMsgIcon::Question: return QMessageBox::Question;
    case TMsgIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons BoxButtons(TMsgButtons buttons) {
  switch (buttons) {
    case TMsgButtons::Ok: return QMessageBox::Ok;
    case TMsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case TMsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case TMsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

}  // namespace

TDialogs& Dialogs() { return current ? *current : QtDialogs(); }

void SetDialogs(TDialogs* dialogs) { current = dialogs; }

TMsgResult TQtDialogs::Message(QWidget* owner, const QString& text, const QString& caption,
                               TMsgButtons buttons, TMsgIcon icon) {
  QMessageBox box(BoxIcon(icon), caption, text, BoxButtons(buttons), owner);
  switch (box.exec()) {
    case QMessageBox::Ok: return TMsgResult::Ok;
    case QMessageBox::Yes: return TMsgResult::Yes;
    case QMessageBox::No: return TMsgResult::No;
    default: break;
  }
  // Closing the box counts as its way out: Cancel, or No without Cancel.
  return buttons == TMsgButtons::YesNo ? TMsgResult::No
         : buttons == TMsgButtons::Ok  ? TMsgResult::Ok
                                       : TMsgResult::Cancel;
}

bool TQtDialogs::InputText(QWidget* owner, const QString& caption, const QString& prompt,
                           QString& value) {
  bool ok = false;
  const QString answer =
      QInputDialog::getText(owner, caption, prompt, QLineEdit::Normal, value, &ok);
  if (ok) value = answer;
  return ok;
}

static bool RunFileDialog(QWidget* owner, const TFileRequest& request, bool save,
                          QString& fileName) {
  QFileDialog dialog(owner, request.Caption, request.Folder, request.Filter);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  if (!request.DefaultSuffix.isEmpty()) dialog.setDefaultSuffix(request.DefaultSuffix);
  if (save && !request.ConfirmOverwrite)
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  if (!request.FileName.isEmpty()) dialog.selectFile(request.FileName);
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.front().isEmpty()) return false;
  fileName = chosen.front();
  return true;
}

bool TQtDialogs::OpenFileName(QWidget* owner, const TFileRequest& request, QString& fileName) {
  return RunFileDialog(owner, request, false, fileName);
}

bool TQtDialogs::SaveFileName(QWidget* owner, const TFileRequest& request, QString& fileName) {
  return RunFileDialog(owner, request, true, fileName);
}

bool TQtDialogs::FolderName(const QString& title, QString& folder) {
  const QString chosen = QFileDialog::getExistingDirectory(
      nullptr, title.isEmpty() ? QStringLiteral("Open Folder...") : title, folder);
  if (chosen.isEmpty()) return false;
  folder = chosen;
  return true;
}

bool TQtDialogs::PrinterSetup(QWidget* owner, QPrinter& printer) {
  QPrintDialog dialog(&printer, owner);
  return dialog.exec() == QDialog::Accepted;
}
