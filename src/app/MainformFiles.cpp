// The main window's actions on a loaded recording's file: the text export
// and the copy to the archive folder ("Save to server").
#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLayout>
#include <QProgressBar>
#include <QToolBar>
#include <memory>
#include <qcustomplot.h>

#include "app/Mainform.h"
#include "files/ArchiveCopy.h"
#include "files/Export.h"
#include "ui/Chart.h"

void TMainFrm::ac_exportExecute() {
  if (Busy() || !OpenFile.Loaded || SeriesSize(Series1) == 0 || !ExportFrm) return;
  if (!Series1->visible() && !Series2->visible() && !Series3->visible()) {
    ch_signal->setChecked(true);
    ch_signalClick();
  }
  ExportFrm->Settings.Assign(OpenFile);
  ExportFrm->SourceName = ShownFileName;
  const QCPRange shown = Chart1->xAxis->range();
  ExportFrm->BeginTime = shown.lower;
  ExportFrm->EndTime = shown.upper;
  ExportFrm->Header = OpenFile.Header;
  ExportFrm->FormatVersion = OpenFile.FormatVersion;
  ExportFrm->exec();
}

void TMainFrm::ac_saveserverExecute() {
  if (Busy() || !OpenFile.Loaded || OpenFile.FormatVersion < 6) return;
  const QString caption = QStringLiteral("Message");
  const auto failed = [this, caption](const std::string& path, const std::string& reason) {
    Dialogs().Message(this,
                      QStringLiteral("Not save file server\n") +
                          QFile::decodeName(QByteArray::fromStdString(path)) + QStringLiteral(": ") +
                          QString::fromLocal8Bit(reason.c_str()),
                      caption, TMsgButtons::Ok, TMsgIcon::None);
  };
  TArchiveJob job;
  job.Source = ShownFileName;
  job.ServerFolder = Settings.ServerFolder;
  job.Ident = OpenFile.Info.Ident;
  job.Created = OpenFile.Info.Created;
  if (job.ServerFolder.empty()) {
    Dialogs().Message(this, QStringLiteral("Not save file server\nNo server folder is chosen in the settings"),
                      caption, TMsgButtons::Ok, TMsgIcon::None);
    return;
  }
  const QString offered = QString::fromStdString(DefaultArchiveName(OpenFile.RecordingName));
  QString name = offered;
  if (!Dialogs().InputText(this, QStringLiteral("File name"), QStringLiteral("Filename in server"), name))
    name = offered;
  job.Name = name.toStdString();

  // The copy runs beside the window; the gauge follows it. What would
  // conflict with it (another copy, Open, Start, ...) is off meanwhile.
  CGauge1->setRange(0, 100);
  ShowGauge(0);
  auto result = std::make_shared<TArchiveResult>();
  SetBusy(true);
  work_->Start(
      [this, job, result] {
        *result = SaveToServer(job, [this](int percent) {
          work_->Post([this, percent] {
            if (work_->Running()) ShowGauge(percent);
          });
        });
      },
      [this, result, caption, failed] {
        SetBusy(false);
        ShowGauge(-1);
        if (result->Status == TArchiveStatus::Complied)
          Dialogs().Message(this, QStringLiteral("Save file server complied"), caption, TMsgButtons::Ok,
                            TMsgIcon::None);
        else
          failed(result->Path, result->Reason);
      });
}
