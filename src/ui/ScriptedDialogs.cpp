#include "ui/ScriptedDialogs.h"

#include <QPrinter>

TScriptedDialogs::TScriptedDialogs() { SetDialogs(this); }

TScriptedDialogs::~TScriptedDialogs() {
  if (&Dialogs() == this) SetDialogs(nullptr);
}

TMsgResult TScriptedDialogs::Message(QWidget*, const QString& text, const QString& caption,
                                     TMsgButtons buttons, TMsgIcon icon) {
  TCall call{TKind::Message, text, caption, buttons, icon, {}, false};
  TMsgResult result = TMsgResult::Cancel;
  if (!Answers.empty()) {
    result = Answers.front();
    Answers.pop_front();
  } else if (buttons == TMsgButtons::Ok) {
    result = TMsgResult::Ok;  // a plain notice needs no script
  } else {
    call.Unexpected = true;
  }
  Calls.push_back(call);
  return result;
}

namespace {

bool TakeName(std::deque<QString>& names, TScriptedDialogs::TCall& call, QString& out) {
  if (names.empty()) {
    call.Unexpected = true;
    return false;
  }
  const QString name = names.front();
  names.pop_front();
  if (name.isNull()) return false;
  out = name;
  return true;
}

}  // namespace

bool TScriptedDialogs::InputText(QWidget*, const QString& caption, const QString& prompt,
                                 QString& value) {
  TCall call{TKind::Input, prompt, caption, TMsgButtons::OkCancel, TMsgIcon::None, {}, false};
  const bool ok = TakeName(Names, call, value);
  Calls.push_back(call);
  return ok;
}

bool TScriptedDialogs::OpenFileName(QWidget*, const TFileRequest& request, QString& fileName) {
  TCall call{TKind::OpenFile, QString(), request.Caption, TMsgButtons::OkCancel,
             TMsgIcon::None, request, false};
  const bool ok = TakeName(Names, call, fileName);
  Calls.push_back(call);
  return ok;
}

bool TScriptedDialogs::SaveFileName(QWidget*, const TFileRequest& request, QString& fileName) {
  TCall call{TKind::SaveFile, QString(), request.Caption, TMsgButtons::OkCancel,
             TMsgIcon::None, request, false};
  const bool ok = TakeName(Names, call, fileName);
  Calls.push_back(call);
  return ok;
}

bool TScriptedDialogs::FolderName(const QString& title, QString& folder) {
  TCall call{TKind::Folder, title, QString(), TMsgButtons::OkCancel, TMsgIcon::None, {}, false};
  const bool ok = TakeName(Names, call, folder);
  Calls.push_back(call);
  return ok;
}

bool TScriptedDialogs::PrinterSetup(QWidget*, QPrinter& printer) {
  TCall call{TKind::Printer, QString(), QString(), TMsgButtons::OkCancel, TMsgIcon::None, {},
             false};
  bool ok = false;
  if (PrinterAnswers.empty()) {
    call.Unexpected = true;
  } else {
    ok = PrinterAnswers.front();
    PrinterAnswers.pop_front();
  }
  if (ok && !PrintToFile.isEmpty()) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(PrintToFile);
  }
  Calls.push_back(call);
  return ok;
}

int TScriptedDialogs::CountOf(TKind kind) const {
  int n = 0;
  for (const TCall& call : Calls) n += call.Kind == kind;
  return n;
}

bool TScriptedDialogs::AnyUnexpected() const {
  for (const TCall& call : Calls)
    if (call.Unexpected) return true;
  return false;
}
