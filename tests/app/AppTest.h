// The window tests' fixture: a main window on fresh settings in a temporary
// folder, scripted dialogs, and recordings written byte by byte.
#pragma once

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

inline std::string ReadText(const std::string& path) {
  const Bytes bytes = ReadBytes(path);
  return {bytes.begin(), bytes.end()};
}

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
    return w->OpenFile.Loaded;
  }
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
