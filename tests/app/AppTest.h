// The window tests' fixture: a main window on fresh settings in a temporary
// folder, scripted dialogs, and recordings written byte by byte.
#pragma once

#include <QTest>
#include <QtWidgets>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <functional>

#include "app/Forms.h"
#include "common/TestFiles.h"
#include "common/Waiting.h"
#include "ui/Chart.h"
#include "ui/ScriptedDialogs.h"

using TKind = TScriptedDialogs::TKind;
using Records = std::vector<SamplePoint>;

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

// The records `first` .. `last` at `step` seconds: rate(i) in deg/s, 25 deg C.
inline Records Ramp(int first, int last, float step, const std::function<float(int)>& rate) {
  Records r;
  for (int i = first; i <= last; ++i) r.push_back({static_cast<float>(i) * step, rate(i), 25.0f});
  return r;
}

inline void WriteRecording(const std::string& path, const Records& records, float sample = 10,
                           bool header = true) {
  Bytes b = header ? RecordingHeader(sample) : HeaderlessRecording(sample);
  for (const SamplePoint& p : records) AddRecord(b, p.Time, p.Rate, p.Temperature);
  WriteBytes(path, b);
}

// Qt's own message boxes on the screen while it lives (the script answers
// every other dialog), each answered with Return as a user would. A box
// that takes no key is closed after a long while and counted as stuck.
class TBoxesByKeyboard : public TDialogs {
 public:
  explicit TBoxesByKeyboard(TScriptedDialogs& script) : script_(script) {
    SetDialogs(this);
    QObject::connect(&answer_, &QTimer::timeout, [this] { Answer(); });
    answer_.start(20);
  }
  ~TBoxesByKeyboard() override { SetDialogs(&script_); }
  TMsgResult Message(QWidget* owner, const QString& text, const QString& caption,
                     TMsgButtons buttons, TMsgIcon icon) override {
    Shown.push_back(text);
    if (OnShown) OnShown();
    const TMsgResult result = TQtDialogs().Message(owner, text, caption, buttons, icon);
    ++Answered;
    return result;
  }
  bool InputText(QWidget* o, const QString& c, const QString& p, QString& v) override {
    return script_.InputText(o, c, p, v);
  }
  bool OpenFileName(QWidget* o, const TFileRequest& r, QString& f) override {
    return script_.OpenFileName(o, r, f);
  }
  bool SaveFileName(QWidget* o, const TFileRequest& r, QString& f) override {
    return script_.SaveFileName(o, r, f);
  }
  bool FolderName(const QString& t, QString& f) override { return script_.FolderName(t, f); }
  bool PrinterSetup(QWidget* o, QPrinter& p) override { return script_.PrinterSetup(o, p); }

  std::vector<QString> Shown;
  int Answered = 0;
  bool Stuck = false;
  std::function<void()> OnShown;  // as each box is about to show

 private:
  void Answer() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) {
      tries_ = 0;
      return;
    }
    if (++tries_ > 500) {  // never hang the suite
      Stuck = true;
      box->reject();
      return;
    }
    QTest::keyClick(box, Qt::Key_Return);
  }
  TScriptedDialogs& script_;
  QTimer answer_;
  int tries_ = 0;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { Show(dir.File("Ratelog.ini")); }
  void TearDown() override { forms.reset(); }

  void Show(const std::string& settings) {
    forms = CreateForms(settings);
    w = forms->MainFrm.get();
    w->show();
  }
  bool OpenFile(const std::string& name) {  // File Open answered with dir/name
    dialogs.Names.push_back(Q(dir.File(name)));
    w->ac_openExecute();
    Settle();
    return w->OpenFile.Loaded;
  }
  // Waits for the work beside the window (a recording being read, the
  // archive copy) and what follows it.
  bool Settle() const { return RunUntil([this] { return !w->Busy(); }); }
  bool Open(const Records& records, const std::string& name = "rec.rtd", float sample = 10,
            bool header = true) {
    WriteRecording(dir.File(name), records, sample, header);
    return OpenFile(name);
  }
  std::vector<QString> Messages() const {
    std::vector<QString> texts;
    for (const auto& call : dialogs.Calls)
      if (call.Kind == TKind::Message) texts.push_back(call.Text);
    return texts;
  }
  bool MessageShown(const QString& part) const {
    for (const QString& text : Messages())
      if (text.contains(part)) return true;
    return false;
  }
  static std::vector<double> Values(const QCPGraph* series, bool keys = false) {
    std::vector<double> v;
    for (std::int64_t i = 0; i < SeriesSize(series); ++i)
      v.push_back(keys ? SeriesPoint(series, i).key : SeriesPoint(series, i).value);
    return v;
  }
  std::size_t Points() const { return static_cast<std::size_t>(SeriesSize(w->Series1)); }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
};
