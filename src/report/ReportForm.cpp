#include "report/ReportForm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPrintPreviewWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QStringList>
#include <QVBoxLayout>

#include "RatelogVersion.h"
#include "acquisition/HostInfo.h"
#include "processing/NumberFormat.h"
#include "report/ReportPdf.h"
#include "store/ResultDelivery.h"
#include "ui/Dialogs.h"
#include "ui/RecordingSeries.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QString FieldList() {
  QString list;
  for (const std::string& name : KnownFieldNames())
    list += (list.isEmpty() ? QString() : QStringLiteral(", ")) + QString::fromStdString(name);
  return list;
}

// Stores a saved report's result (off the window's thread) under `key`
// in `chosen`, or where ratelog-cli would without --db; what became of it,
// for the dialog to say. Never throws.
std::string StoreReportResult(const TReportContent& content, const std::string& key, const std::string& chosen) {
  try {
    const std::string target = chosen.empty() ? EnvironmentStoreTarget(std::nullopt).Target : chosen;
    TStoredRun run;
    std::string error;
    if (!StoredRunOf(content, {"report", ComputerName(), UserName(), RATELOG_VERSION, key}, run, error))
      return "result not stored: " + error;
    const std::string queue = EnvironmentStorePath();
    const TDelivery d = DeliverResults({run}, target, queue);
    if (d.Stored) return "result stored in " + d.Where;
    if (d.Already) return "result already stored in " + d.Where;
    if (d.Queued)
      return "result queued in " + queue + " (" + d.Problem + "), sent to " + d.Where +
             " with the next result stored there";
    return "result not stored: " + d.Problem;
  } catch (const std::exception& e) {
    return std::string("result not stored: ") + e.what();
  }
}

// Writes `text` over `file` whole or not at all (nothing when no file is
// named): empty when it is kept, else what of `what` was not and where.
QString Keep(const std::string& file, const std::string& text, const QString& what) {
  if (file.empty()) return {};
  const QString path = QFile::decodeName(file.c_str());
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile out(path);
  if (out.open(QIODevice::WriteOnly) && out.write(text.c_str()) >= 0 && out.commit()) return {};
  return what + QStringLiteral(" could not be kept in ") + path;
}

}  // namespace

TReportFrm::TReportFrm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ReportFrm"));
  setWindowTitle(QStringLiteral("Report"));
  resize(900, 760);

  // The document: its number, the test's conditions, who signs.
  const auto line = [this](const char* name, const char* hint) {
    auto* edit = Named(new QLineEdit(this), name);
    edit->setPlaceholderText(QString::fromUtf8(hint));
    return edit;
  };
  e_number = line("e_number", "not stated");
  e_revision = line("e_revision", "not stated");
  e_latitude = line("e_latitude", "degrees, -90 .. 90");
  e_axis = line("e_axis", "e.g. up, east");
  e_chamber = line("e_chamber", "e.g. 23 \u00B0C ambient");
  e_station = line("e_station", "not stated");
  e_equipment = line("e_equipment", "rate table, chamber, supply");
  e_tested = line("e_tested", "name");
  e_checked = line("e_checked", "name");
  e_approved = line("e_approved", "name");
  auto* document = new QGridLayout;
  const struct {
    const char* label;
    QLineEdit* edit;
  } fields[] = {{"Report no.", e_number},       {"Revision", e_revision},  {"Latitude", e_latitude},
                {"Input axis", e_axis},          {"Ambient or chamber", e_chamber}, {"Station", e_station},
                {"Equipment", e_equipment},      {"Tested by", e_tested},   {"Checked by", e_checked},
                {"Approved by", e_approved}};
  for (int i = 0; i < static_cast<int>(std::size(fields)); ++i) {
    document->addWidget(new QLabel(QString::fromUtf8(fields[i].label), this), i / 2, (i % 2) * 2);
    document->addWidget(fields[i].edit, i / 2, (i % 2) * 2 + 1);
  }

  e_limits = Named(new QPlainTextEdit(this), "e_limits");
  e_limits->setPlaceholderText(QStringLiteral("one limit per line, e.g.\nrandom_walk<=0.005\nb<=0.05"));
  e_limits->setFixedHeight(110);
  lab_fields = Named(new QLabel(QStringLiteral("Limits NAME<=VALUE or NAME>=VALUE; names: ") +
                                    FieldList(),
                                this),
                     "lab_fields");
  lab_fields->setWordWrap(true);
  but_apply = Named(new QPushButton(QStringLiteral("Apply"), this), "but_apply");
  Preview = Named(new QPrintPreviewWidget(&printer_, this), "Preview");
  Gauge = Named(new QProgressBar(this), "Gauge");
  Gauge->setRange(0, 100);
  lab_state = Named(new QLabel(this), "lab_state");
  lab_store = Named(new QLabel(this), "lab_store");
  lab_store->setWordWrap(true);
  lab_store->setTextInteractionFlags(Qt::TextSelectableByMouse);
  BtnSave = Named(new QPushButton(QStringLiteral("Save PDF..."), this), "BtnSave");
  BtnClose = Named(new QPushButton(QStringLiteral("Close"), this), "BtnClose");
  for (QPushButton* button : {but_apply, BtnSave, BtnClose}) button->setAutoDefault(false);

  auto* limits = new QHBoxLayout;
  limits->addWidget(e_limits, 1);
  limits->addWidget(but_apply, 0, Qt::AlignTop);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Gauge);
  buttons->addWidget(lab_state, 1);
  buttons->addWidget(BtnSave);
  buttons->addWidget(BtnClose);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(document);
  layout->addWidget(lab_fields);
  layout->addLayout(limits);
  layout->addWidget(Preview, 1);
  layout->addLayout(buttons);
  layout->addWidget(lab_store);

  connect(Preview, &QPrintPreviewWidget::paintRequested, this, [this](QPrinter* printer) {
    if (ready_) RenderReport(content_, chart_, *printer);
  });
  connect(but_apply, &QPushButton::clicked, this, &TReportFrm::but_applyClick);
  connect(BtnSave, &QPushButton::clicked, this, &TReportFrm::BtnSaveClick);
  connect(BtnClose, &QPushButton::clicked, this, &QDialog::reject);
  // Closing ends a computation that is still running.
  connect(this, &QDialog::finished, this, [this] { job_.Cancel(); });
}

TReportFrm::~TReportFrm() = default;

void TReportFrm::Start(const TReportRequest& request, std::shared_ptr<TRecordingSeries> chart,
                       const std::string& limitsFile, const std::string& documentFile) {
  job_.Cancel();
  request_ = request;
  chart_ = std::move(chart);
  limitsFile_ = limitsFile;
  documentFile_ = documentFile;
  ready_ = false;
  // The document's fields as the last report left them: from the file, or
  // as they stand in the dialog.
  if (QFile kept(QFile::decodeName(documentFile_.c_str())); !documentFile_.empty() && kept.open(QIODevice::ReadOnly))
    ShowDocument(ParseReportDocumentLines(kept.readAll().toStdString()));
  ApplyDocument();
  QFile file(QFile::decodeName(limitsFile_.c_str()));
  e_limits->setPlainText(file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll())
                                                        : QString());
  std::vector<std::string> rejected;
  request_.Limits = ParseLimitLines(e_limits->toPlainText().toStdString(), KnownFieldNames(), rejected);

  Gauge->setValue(0);
  Gauge->setVisible(true);
  BtnSave->setEnabled(false);
  but_apply->setEnabled(false);
  lab_state->setText(QStringLiteral("Computing the figures..."));
  Preview->updatePreview();
  open();

  job_.Start([this, request = request_](const std::atomic<bool>& cancel, const auto& post) {
    std::string error;
    auto content = std::make_shared<TReportContent>();
    int shown = -1;
    const bool ok = ComputeReport(
        request, *content, error,
        [this, &shown, &post](int percent) {
          if (percent == shown) return;
          shown = percent;
          post([this, percent] { Gauge->setValue(percent); });
        },
        &cancel);
    post([this, ok, content, error] { Finished(ok, std::move(*content), error); });
  });
}

void TReportFrm::Finished(bool ok, TReportContent content, const std::string& error) {
  Gauge->setVisible(false);
  but_apply->setEnabled(true);
  if (!ok) {
    ready_ = false;
    lab_state->setText(QStringLiteral("No report: ") + QString::fromStdString(error));
    emit Computed();
    return;
  }
  content_ = std::move(content);
  ready_ = true;
  storedKey_.clear();  // new figures: a new result when saved
  BtnSave->setEnabled(true);
  ShowState();
  Preview->updatePreview();
  emit Computed();
}

void TReportFrm::ShowState() {
  QString state = content_.Verdict == TVerdict::None
                      ? QStringLiteral("No limits: no verdict")
                      : QStringLiteral("Verdict: ") + QString::fromLatin1(VerdictName(content_.Verdict));
  QStringList unkept;
  for (const QString& note : {documentUnkept_, limitsUnkept_})
    if (!note.isEmpty()) unkept << note;
  if (!unkept.isEmpty()) state += QStringLiteral("  \u2014  ") + unkept.join(QStringLiteral("; "));
  lab_state->setText(state);
}

bool TReportFrm::ApplyLimits() {
  std::vector<std::string> rejected;
  const auto limits = ParseLimitLines(e_limits->toPlainText().toStdString(), KnownFieldNames(), rejected);
  if (const std::string contradiction = ContradictoryLimits(limits); !contradiction.empty())
    rejected.push_back(contradiction);
  if (!rejected.empty()) {
    QString text = QStringLiteral("These lines are no limits:\n");
    for (const std::string& line : rejected) text += QString::fromStdString(line) + QLatin1Char('\n');
    Dialogs().Message(this, text, QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Warning);
    return false;
  }
  request_.Limits = limits;
  limitsUnkept_ = Keep(limitsFile_, LimitLines(limits), QStringLiteral("the limits"));
  if (ready_) {
    EvaluateReportLimits(content_, limits);
    ShowState();
    Preview->updatePreview();
  }
  return true;
}

void TReportFrm::ShowDocument(const TReportDocument& d) {
  e_number->setText(QString::fromStdString(d.Number));
  e_revision->setText(QString::fromStdString(d.Revision));
  e_latitude->setText(QString::fromStdString(d.Latitude));
  e_axis->setText(QString::fromStdString(d.Axis));
  e_chamber->setText(QString::fromStdString(d.Chamber));
  e_station->setText(QString::fromStdString(d.Station));
  e_equipment->setText(QString::fromStdString(d.Equipment));
  e_tested->setText(QString::fromStdString(d.TestedBy));
  e_checked->setText(QString::fromStdString(d.CheckedBy));
  e_approved->setText(QString::fromStdString(d.ApprovedBy));
}

bool TReportFrm::ApplyDocument() {
  const auto text = [](const QLineEdit* e) { return e->text().trimmed().toStdString(); };
  TReportDocument d;
  d.Number = text(e_number);
  d.Revision = text(e_revision);
  d.Latitude = text(e_latitude);
  d.Axis = text(e_axis);
  d.Chamber = text(e_chamber);
  d.Station = text(e_station);
  d.Equipment = text(e_equipment);
  d.TestedBy = text(e_tested);
  d.CheckedBy = text(e_checked);
  d.ApprovedBy = text(e_approved);
  double latitude = 0;
  const bool valid =
      d.Latitude.empty() || (ParseDouble(d.Latitude, '.', latitude) && latitude >= -90 && latitude <= 90);
  if (!valid) d.Latitude.clear();  // the rest still goes into the report
  request_.Document = d;
  if (ready_) {
    SetReportDocument(content_, d);
    Preview->updatePreview();
  }
  if (!valid) {
    Dialogs().Message(this, QStringLiteral("The latitude must be degrees from -90 to 90: ") + e_latitude->text(),
                      QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Warning);
    return false;
  }
  documentUnkept_ = Keep(documentFile_, ReportDocumentLines(d), QStringLiteral("the document's fields"));
  return true;
}

void TReportFrm::but_applyClick() {
  if (ApplyDocument()) ApplyLimits();
}

void TReportFrm::BtnSaveClick() {
  if (!ready_ || !ApplyDocument() || !ApplyLimits()) return;
  TFileRequest request;
  request.Caption = QStringLiteral("Save report");
  request.Filter = QStringLiteral("PDF (*.pdf);;All files (*)");
  request.DefaultSuffix = QStringLiteral("pdf");
  request.FileName = QFile::decodeName(DefaultReportPath(request_.Path).c_str());
  QString name;
  if (!Dialogs().SaveFileName(this, request, name)) return;
  QString error;
  if (!WriteReportPdf(content_, chart_, name, error)) {
    Dialogs().Message(this, QStringLiteral("The report was not saved.\n") + error,
                      QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Stop);
    return;
  }
  lab_state->setText(lab_state->text() + QStringLiteral("  \u2014  saved: ") + name);
  StoreResult();
}

void TReportFrm::StoreResult() {
  // The same report saved again is the same result; other limits or
  // document fields make another.
  const std::string fingerprint = LimitLines(request_.Limits) + ReportDocumentLines(request_.Document);
  if (storedKey_.empty() || fingerprint != storedFingerprint_) {
    storedKey_ = NewRunKey();
    storedFingerprint_ = fingerprint;
  }
  lab_store->setText(QStringLiteral("Results store: storing the result\u2026"));
  store_.Start([this, content = content_, key = storedKey_, chosen = StoreTarget](const std::atomic<bool>&,
                                                                                  const auto& post) {
    const std::string message = StoreReportResult(content, key, chosen);
    post([this, message] {
      lab_store->setText(QStringLiteral("Results store: ") + QString::fromStdString(message));
      emit Stored();
    });
  });
}
