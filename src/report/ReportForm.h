// The window's test report: the limits (kept per user in a small text file,
// one limit per line as ratelog-cli takes them), a preview of the pages and
// "Save PDF...". The figures are computed on a thread of their own; the
// dialog stays answerable meanwhile and shows the progress. A change of the
// limits only evaluates them again.
#pragma once

#include <QDialog>
#include <QPrinter>
#include <memory>
#include <string>

#include "report/ReportContent.h"
#include "ui/ThermalFrm.h"

class QLabel;
class QPlainTextEdit;
class QPrintPreviewWidget;
class QProgressBar;
class QPushButton;
class TRecordingSeries;

class TReportFrm : public QDialog {
  Q_OBJECT

 public:
  explicit TReportFrm(QWidget* parent = nullptr);
  ~TReportFrm() override;

  // A report of `request`'s recording and span (its limits are replaced by
  // those of the limits file), drawn with `chart`, the window's points of
  // the recording. Shows the dialog (without waiting for it) and starts
  // the computation.
  void Start(const TReportRequest& request, std::shared_ptr<TRecordingSeries> chart,
             const std::string& limitsFile);
  bool Ready() const { return ready_; }
  const TReportContent& Content() const { return content_; }

  QPlainTextEdit* e_limits;
  QLabel* lab_fields;
  QPushButton* but_apply;
  QPrintPreviewWidget* Preview;
  QProgressBar* Gauge;
  QLabel* lab_state;
  QPushButton* BtnSave;
  QPushButton* BtnClose;

 signals:
  // The figures are there (or could not be computed) and the preview shows
  // them.
  void Computed();

 private:
  void Finished(bool ok, TReportContent content, const std::string& error);
  // Takes the limits of the text: false (and a message) when a line is not
  // a limit. Saves them to the limits file.
  bool ApplyLimits();
  void but_applyClick();
  void BtnSaveClick();
  void ShowState();

  QPrinter printer_{QPrinter::HighResolution};
  TReportRequest request_;
  std::shared_ptr<TRecordingSeries> chart_;
  TReportContent content_;
  bool ready_ = false;
  std::string limitsFile_;
  // The computation: a new one (or closing) cancels the one under way and
  // drops its result without waiting for it; its thread ends on its own
  // within a fraction of a second. Last member: its threads end first.
  TBackgroundJob job_{this};
};
