// The analysis of the recording on the chart: the basic-parameter
// calculation and the Allan deviation, both over the span the chart shows.
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
  const QCPRange visible = Chart->Axis(TRateChart::Bottom)->range();
  CalculFrm->Begin = visible.lower;
  CalculFrm->End = visible.upper;
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
  const QCPRange visible = Chart->Axis(TRateChart::Bottom)->range();
  AllanFrm->Begin = visible.lower;
  AllanFrm->End = visible.upper;
  AllanFrm->Series1 = Series1;
  AllanFrm->Gauge = [this](int percent) { ShowGauge(percent); };
  AllanFrm->exec();
}
