// The window's test report: the limits (kept per user in a small text file,
// one limit per line as ratelog-cli takes them), a preview of the pages and
// "Save PDF...". The figures are computed on a thread of their own; the
// dialog stays answerable meanwhile and shows the progress. A change of the
// limits only evaluates them again. Each saved report's result goes to the
// results store.
#pragma once

#include <QDialog>
#include <QPrinter>
#include <memory>
#include <string>

#include "report/ReportContent.h"
#include "ui/ThermalFrm.h"

class QLabel;
class QLineEdit;
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
  // The document's fields (number, revision, conditions, equipment,
  // signatories) are read from `documentFile` (when given) and kept there
  // whenever they are applied, so the next report starts with them; they
  // replace the request's document.
  void Start(const TReportRequest& request, std::shared_ptr<TRecordingSeries> chart,
             const std::string& limitsFile, const std::string& documentFile = {});
  bool Ready() const { return ready_; }
  const TReportContent& Content() const { return content_; }
  // The results store each saved report's result goes to: empty for the
  // one ratelog-cli uses without --db (RATELOG_DB, the store settings, the
  // file in the user's data folder).
  std::string StoreTarget;

  QLineEdit *e_number, *e_revision, *e_latitude, *e_axis, *e_chamber, *e_station, *e_equipment, *e_tested,
      *e_checked, *e_approved;
  QPlainTextEdit* e_limits;
  QLabel* lab_fields;
  QPushButton* but_apply;
  QPrintPreviewWidget* Preview;
  QProgressBar* Gauge;
  QLabel* lab_state;
  QLabel* lab_store;  // what became of the saved report's result in the results store
  QPushButton* BtnSave;
  QPushButton* BtnClose;

 signals:
  // The figures are there (or could not be computed) and the preview shows
  // them.
  void Computed();
  // lab_store says what became of a saved report's result.
  void Stored();

 private:
  void Finished(bool ok, TReportContent content, const std::string& error);
  // Takes the limits of the text: false (and a message) when a line is not
  // a limit. Saves them to the limits file.
  bool ApplyLimits();
  // The document's fields into the request and the report (and its file):
  // false (and a message) for a latitude that is no number of degrees.
  bool ApplyDocument();
  void ShowDocument(const TReportDocument& document);
  void but_applyClick();
  void BtnSaveClick();
  void ShowState();
  // The saved report's result to the results store, off the window's
  // thread; a store that cannot be reached never fails the report.
  void StoreResult();

  QPrinter printer_{QPrinter::HighResolution};
  TReportRequest request_;
  std::shared_ptr<TRecordingSeries> chart_;
  TReportContent content_;
  bool ready_ = false;
  std::string limitsFile_, documentFile_;
  // Why the document's fields or the limits were not kept in their files
  // (empty when they were), shown beside the verdict.
  QString documentUnkept_, limitsUnkept_;
  std::string storedKey_, storedFingerprint_;  // the last saved result's key, and its limits and document
  // Storing a saved result; ends (joined) before the dialog goes, so that a
  // result on its way is never lost.
  TBackgroundJob store_{this};
  // The computation: a new one (or closing) cancels the one under way and
  // drops its result without waiting for it; its thread ends on its own
  // within a fraction of a second. Last member: its threads end first.
  TBackgroundJob job_{this};
};
