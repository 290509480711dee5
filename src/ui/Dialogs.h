// One seam for every message box, input box and file, folder and printer
// dialog of the program. The windows ask Dialogs(); the real one shows Qt's
// dialogs, a scripted one (ScriptedDialogs.h) answers without a screen.
#pragma once

#include <QString>

class QPrinter;
class QWidget;

enum class TMsgIcon { None, Information, Warning, Stop, Question };
enum class TMsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class TMsgResult { Ok, Cancel, Yes, No };

// What an open or save dialog offers.
struct TFileRequest {
  QString Caption;
  QString Filter;          // Qt form: "Recording (*.rtd);;All files (*)"
  QString DefaultSuffix;   // without the dot; added when the name has none
  QString FileName;        // proposed name (save) or start file
  QString Folder;          // start folder; empty: the current one
  bool ConfirmOverwrite = true;  // save: ask before replacing a file
};

class TDialogs {
 public:
  virtual ~TDialogs();

  // A message box owned by `owner` (may be null). Returns the button.
  virtual TMsgResult Message(QWidget* owner, const QString& text, const QString& caption,
                             TMsgButtons buttons, TMsgIcon icon) = 0;
  // One-line input box; `value` is the proposal and, when true is
  // returned, the answer.
  virtual bool InputText(QWidget* owner, const QString& caption, const QString& prompt,
                         QString& value) = 0;
  // File choosers: true and the chosen name, or false when cancelled.
  virtual bool OpenFileName(QWidget* owner, const TFileRequest& request, QString& fileName) = 0;
  virtual bool SaveFileName(QWidget* owner, const TFileRequest& request, QString& fileName) = 0;
  // Folder chooser with no owner window; `title` empty gives "Open Folder...".
  virtual bool FolderName(const QString& title, QString& folder) = 0;
  // The printer set-up dialog for `printer`; true when confirmed.
  virtual bool PrinterSetup(QWidget* owner, QPrinter& printer) = 0;

  // The box for an error that escaped a handler: caption "Ratelog", stop
  // icon, OK.
  void ShowError(QWidget* owner, const QString& text);
};

// The dialogs in force. SetDialogs(nullptr) restores the Qt dialogs; the
// object set must outlive its use.
TDialogs& Dialogs();
void SetDialogs(TDialogs* dialogs);

// Qt's dialogs.
class TQtDialogs : public TDialogs {
 public:
  TMsgResult Message(QWidget* owner, const QString& text, const QString& caption,
                     TMsgButtons buttons, TMsgIcon icon) override;
  bool InputText(QWidget* owner, const QString& caption, const QString& prompt,
                 QString& value) override;
  bool OpenFileName(QWidget* owner, const TFileRequest& request, QString& fileName) override;
  bool SaveFileName(QWidget* owner, const TFileRequest& request, QString& fileName) override;
  bool FolderName(const QString& title, QString& folder) override;
  bool PrinterSetup(QWidget* owner, QPrinter& printer) override;
};
