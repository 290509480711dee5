// The analysis of the recording on the chart: the basic-parameter
// calculation, the Allan deviation and the temperature sensitivity, over the
// span the chart shows; the warm-up marker.
#include <QAction>
#include <QCheckBox>
#include <QLayout>
#include <QProgressBar>
#include <QToolBar>
#include <qcustomplot.h>

#include "app/Mainform.h"
#include "processing/Calculate.h"
#include "ui/Allandev.h"
#include "ui/Chart.h"
#include "ui/ThermalFrm.h"
#include "processing/Warmup.h"

#include <cmath>

void TMainFrm::ShowGauge(int percent) {
  if (percent < 0) {
    gaugeAction_->setVisible(false);
    CGauge1->setVisible(false);
    return;
  }
  if (!CGauge1->isVisible()) {
    gaugeAction_->setVisible(true);
    CGauge1->setVisible(true);
    ToolBar1->layout()->activate();
    FormResize();
  }
  CGauge1->setValue(percent);
}

void TMainFrm::RecordingChanged() {
  ClearCursors();
  if (CalculFrm) CalculFrm->RecordingGone();
  if (AllanFrm) AllanFrm->RecordingGone();
}

void TMainFrm::ac_calcExecute() {
  if (Busy() || !CalculFrm || !OpenFile.Loaded || SeriesSize(Series1) == 0) return;
  // The span is what the chart shows: with no series switched on, the rate
  // is switched on first.
  if (!Series1->visible() && !Series2->visible() && !Series3->visible()) {
    ch_signal->setChecked(true);
    ch_signalClick();
  }
  CalculFrm->Settings.Assign(OpenFile);
  CalculFrm->RecordingPath = OpenFile.RecordingName;
  AnalysisSpan(CalculFrm->Begin, CalculFrm->End);
  CalculFrm->FormatVersion = OpenFile.FormatVersion;
  CalculFrm->Series1 = Series1;
  CalculFrm->Gauge = [this](int percent) { ShowGauge(percent); };
  CalculFrm->exec();
}

void TMainFrm::ac_allanExecute() {
  if (Busy() || !AllanFrm || !OpenFile.Loaded || SeriesSize(Series1) == 0) return;
  if (!Series1->visible() && !Series2->visible() && !Series3->visible()) {
    ch_signal->setChecked(true);
    ch_signalClick();
  }
  AllanFrm->RecordingPath = OpenFile.RecordingName;
  AnalysisSpan(AllanFrm->Begin, AllanFrm->End);
  AllanFrm->Series1 = Series1;
  AllanFrm->Gauge = [this](int percent) { ShowGauge(percent); };
  AllanFrm->exec();
}

void TMainFrm::ac_thermalExecute() {
  if (!ThermalFrm || !OpenFile.Loaded || SeriesSize(Series1) == 0) return;
  if (!Series1->visible() && !Series2->visible() && !Series3->visible()) {
    ch_signal->setChecked(true);
    ch_signalClick();
  }
  ThermalFrm->RecordingPath = OpenFile.RecordingName;
  AnalysisSpan(ThermalFrm->Begin, ThermalFrm->End);
  ThermalFrm->Overlays = overlays_.get();
  ThermalFrm->OnSoaks = [this](const std::vector<TThermalPlateau>& soaks) {
    std::vector<TMarker> markers;
    for (const TThermalPlateau& p : soaks) markers.push_back(
        {p.Begin, "soak " + QString::number(p.Temperature, 'f', 1).toStdString() + " \u00B0C"});
    SetAutoMarkers(SoakMarkers, std::move(markers));
  };
  ThermalFrm->TempLow = Settings.TempLimitMin;
  ThermalFrm->TempHigh = Settings.TempLimitMax;
  ThermalFrm->Gauge = [this](int percent) { ShowGauge(percent); };
  ThermalFrm->Execute();
}

void TMainFrm::ac_warmupExecute() { RefreshWarmupMarker(); }

void TMainFrm::RefreshWarmupMarker() {
  warmupJob_->Cancel();
  overlays_->SetWarmupMarker(NAN, {});
  if (!ac_warmup->isChecked() || !OpenFile.Loaded) return;
  // The whole recording, with the command's defaults: a 100 s window and a
  // band of 0.1 deg/h.
  const std::string path = OpenFile.RecordingName;
  warmupJob_->Start([this, path](const std::atomic<bool>& cancel, const auto& post) {
    std::vector<SamplePoint> records;
    std::string error;
    const double inf = std::numeric_limits<double>::infinity();
    if (!ReadSpanRecords(path, -inf, inf, records, error, {}, &cancel) || cancel) return;
    const TWarmupResult r = ComputeWarmup(records, 100.0, 0.1);
    const double first = records.empty() ? NAN : records.front().Time;
    post([this, r, first] {
      if (std::isnan(r.Time)) {
        ac_warmup->setChecked(false);
        // Why there is no time (not settled, the band inside the noise, too
        // short), and the fitted transient's time where there is one.
        QString text = QStringLiteral("No warm-up time: %1.").arg(QString::fromStdString(r.Message));
        if (r.Fit.Valid)
          text += QStringLiteral("\nThe fitted transient reaches the band at %1 \u00B1 %2 s.")
                      .arg(QString::number(r.Fit.Time, 'f', 0), QString::number(r.Fit.TimeSe, 'f', 0));
        Dialogs().Message(this, text, QStringLiteral("Message"), TMsgButtons::Ok, TMsgIcon::Information);
        return;
      }
      // The fitted transient's settling beside the moving average's, where
      // the fit holds.
      overlays_->SetWarmupMarker(
          first + r.Time, QStringLiteral("warm-up %1 s").arg(QString::number(r.Time, 'f', 1)),
          r.Fit.Valid ? first + r.Fit.Time : NAN,
          QStringLiteral("fitted %1 \u00B1 %2 s").arg(QString::number(r.Fit.Time, 'f', 0), QString::number(r.Fit.TimeSe, 'f', 0)));
    });
  });
}
