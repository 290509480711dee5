// Dialogs that answer from a script instead of a screen: for tests and
// unattended runs. Every call is recorded; a call with no answer left gets
// Cancel (or false) and is marked unexpected.
#pragma once

#include <deque>
#include <vector>

#include "ui/Dialogs.h"

class TScriptedDialogs : public TDialogs {
 public:
  enum class TKind { Message, Input, OpenFile, SaveFile, Folder, Printer };

  struct TCall {
    TKind Kind;
    QString Text;      // message text, input prompt, folder title
    QString Caption;   // message caption, input/file caption
    TMsgButtons Buttons = TMsgButtons::Ok;
    TMsgIcon Icon = TMsgIcon::None;
    TFileRequest Request;  // file dialogs
    bool Unexpected = false;
  };

  TScriptedDialogs();            // installs itself
  ~TScriptedDialogs() override;  // restores the Qt dialogs

  TMsgResult Message(QWidget* owner, const QString& text, const QString& caption,
                     TMsgButtons buttons, TMsgIcon icon) override;
  bool InputText(QWidget* owner, const QString& caption, const QString& prompt,
                 QString& value) override;
  bool OpenFileName(QWidget* owner, const TFileRequest& request, QString& fileName) override;
  bool SaveFileName(QWidget* owner, const TFileRequest& request, QString& fileName) override;
  bool FolderName(const QString& title, QString& folder) override;
  bool PrinterSetup(QWidget* owner, QPrinter& printer) override;

  // Answers in the order asked. Names answer input, file and folder
  // dialogs: a null QString cancels. Printer answers: true confirms; with
  // a non-empty PrintToFile the printer is set to write a PDF there.
  std::deque<TMsgResult> Answers;
  std::deque<QString> Names;
  std::deque<bool> PrinterAnswers;
  QString PrintToFile;

  std::vector<TCall> Calls;
  int CountOf(TKind kind) const;
  bool AnyUnexpected() const;
};
