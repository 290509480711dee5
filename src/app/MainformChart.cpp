// The chart and panels of the main window: the live display fed by
// AppIdle, the information labels, recordings on the chart, zoom
// statistics, the scale panel, the unit switch and the averaging time.
#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QToolBar>
#include <cfloat>
#include <exception>
#include <memory>
#include <cmath>
#include <limits>
#include <qcustomplot.h>

#include "app/Mainform.h"
#include "ui/ThermalFrm.h"
#include "files/Infofileform.h"
#include "files/OpenfChart.h"
#include "ui/Chart.h"
#include "ui/NumberText.h"

namespace {

// A double as f32; values beyond the f32 range become infinities.
float ToFloat(double value) {
  if (value > FLT_MAX) return std::numeric_limits<float>::infinity();
  if (value < -FLT_MAX) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

// Removes the first point of a series (all points at its time, should
// several share it). Always makes progress on a non-empty series.
void RemoveFirst(QCPGraph* series) {
  QSharedPointer<QCPGraphDataContainer> data = series->data();
  if (data->isEmpty()) return;
  const int before = data->size();
  const double first = data->constBegin()->key;
  data->removeBefore(std::nextafter(first, std::numeric_limits<double>::infinity()));
  if (data->size() == before) {
    // A first key that nothing compares below (an infinity): rebuild.
    QVector<QCPGraphData> rest(data->constBegin() + 1, data->constEnd());
    data->set(rest, true);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The live display.

void TMainFrm::PrepareLiveChart() {
  ClearSeries();
  Chart->SetTitle(QString(), false);
  Chart->SetZoomEnabled(false);
  Chart->SetAutomatic(TRateChart::Bottom);
  Chart->SetAutomatic(TRateChart::Left);
  Chart1->yAxis2->setVisible(false);
  ch_temp->setChecked(false);
  Series3->setVisible(false);
  ch_temp->setVisible(false);
  PointCount = 0;
  FirstShown = 0.0;
  FirstShownValid = false;
  PointCounter = 0;
  LabelCounter = 0;
  Chart1->replot();
}

void TMainFrm::AppIdle() {
  if (!Packet.DisplayReady) return;
  Display = Packet.TakeSnapshot();
  if (!RateUnitPerSec) {
    Display.rate = ToFloat(Display.rate * HourFactor);
    Display.average *= HourFactor;
    Display.rms *= HourFactor;
    Display.minRms *= HourFactor;
  }
  if (Display.time == 0) return;
  const double time = Display.time;
  if (!FirstShownValid) {
    FirstShownValid = true;
    FirstShown = time;
  }
  if (PointCounter >= PointStep) {
    // A series that is switched off still receives its points.
    Series1->addData(time, Display.rate);
    Series2->addData(time, Display.average);
    if (SeriesSize(Series1) == 1) RefreshSeriesHint();
    Chart->SetRange(TRateChart::Bottom, time - Settings.DisplayTime, time);
    TrimLiveSeries(time);
    Chart->SeriesChanged(Series1);
    Chart->SeriesChanged(Series2);
    Chart1->replot(QCustomPlot::rpQueuedReplot);
    PointCounter = 0;
  }
  ++PointCounter;
  if (LabelCounter >= LabelStep) {
    RefreshLabels();
    LabelCounter = 0;
  }
  ++LabelCounter;
}

// The live window keeps the last DisplayTime seconds and at most
// Resolution points.
void TMainFrm::TrimLiveSeries(double time) {
  const auto firstKey = [this, time] {
    return Series1->data()->isEmpty() ? time : Series1->data()->constBegin()->key;
  };
  while (time - FirstShown > Settings.DisplayTime) {
    if (Series1->data()->isEmpty() && Series2->data()->isEmpty()) {
      FirstShown = time;
      break;
    }
    RemoveFirst(Series1);
    RemoveFirst(Series2);
    FirstShown = firstKey();
  }
  PointCount = Series1->data()->size();
  while (PointCount > Settings.Resolution && !Series1->data()->isEmpty()) {
    RemoveFirst(Series1);
    RemoveFirst(Series2);
    FirstShown = firstKey();
    PointCount = Series1->data()->size();
  }
}

void TMainFrm::RefreshLabels() {
  if (!panel_basic_info->isHidden()) {
    const int decimals = RateUnitPerSec ? 7 : 5;
    lab_sig->setText(FixedText(Display.rate, 14, decimals));
    lab_aver->setText(FixedText(Display.average, 14, decimals));
    l_rms->setText(FixedText(Display.rms, 14, decimals));
    l_minrms->setText(FixedText(Display.minRms, 14, decimals));
  }
  if (!panel_supp_info->isHidden()) {
    lab_temp->setText(FixedText(Display.temperature, 10, 1));
    lab_time->setText(FixedText(Display.time, 10, 3));
    lab_frame->setText(QString::number(Display.frame));
    LabFreqFrame->setText(FixedText(Display.frameFrequency, 10, 3));
  }
}

// ---------------------------------------------------------------------------
// Recordings on the chart.

void TMainFrm::AssignOpenFileSettings() {
  OpenFile.Assign(Settings);
  OpenFile.DriftTime = CalcParameters.DriftTime;
  OpenFile.Passband = CalcParameters.Passband;
  OpenFile.RandomWalkTime = CalcParameters.RandomWalkTime;
  OpenFile.EarthRate = CalcParameters.EarthRate;
}

void TMainFrm::StartLoad(std::function<void(bool loaded)> then) {
  if (Busy()) {  // no way here while other work runs; nothing is read then
    then(false);
    return;
  }
  auto sink = std::make_shared<TOpenFileChart>(*Chart, CGauge1, LabIDN, [this](bool shown) {
    gaugeAction_->setVisible(shown);
    CGauge1->setVisible(shown);
    if (shown) {
      // Lay the bar out at once: the first steps may come before the next
      // layout pass.
      ToolBar1->layout()->activate();
      FormResize();
    }
  });
  sink->PostWith([this](std::function<void()> action) { work_->Post(std::move(action)); });
  sink->Cancel = &work_->CancelFlag();
  OpenFile.Cancel = &work_->CancelFlag();
  auto result = std::make_shared<TLoadResult>(TLoadResult::Unreadable);
  auto failed = std::make_shared<bool>(false);
  RecordingChanged();
  SetBusy(true);
  work_->Start(
      [this, sink, result, failed] {
        try {
          *result = OpenFile.Load(*sink);
        } catch (const std::exception&) {
          *failed = true;  // no memory for the points of a huge file
        }
      },
      [this, sink, result, failed, then = std::move(then)] {
        OpenFile.Cancel = nullptr;
        SetBusy(false);
        if (*failed) {
          // What was read stays out.
          OpenFile.Loaded = false;
          ClearSeries();
          gaugeAction_->setVisible(false);
          CGauge1->setVisible(false);
        }
        // The calculation parameters may have changed in the settings
        // dialog meanwhile.
        OpenFile.DriftTime = CalcParameters.DriftTime;
        OpenFile.Passband = CalcParameters.Passband;
        OpenFile.RandomWalkTime = CalcParameters.RandomWalkTime;
        OpenFile.EarthRate = CalcParameters.EarthRate;
        Chart1->replot();
        const bool loaded = *result == TLoadResult::Loaded && !*failed;
        then(loaded);
        if (*result == TLoadResult::Unreadable || *failed)
          Dialogs().Message(this, QStringLiteral("Not open file."), QStringLiteral("Message"),
                            TMsgButtons::Ok, TMsgIcon::Stop);
      });
}

void TMainFrm::SetBusy(bool busy) {
  if (busy == (busyStates_.size() > 0)) return;
  // The analysis actions follow Calculation on their own (AddAnalysisAction):
  // they are not saved here, or a state already turned off by Calculation
  // would be saved and put back.
  QObject* const conflicting[] = {ac_open, ac_start,      BtnDim,   e_mean,      BtnApMean, ac_calc,
                                  ac_export, ac_saveserver, ac_print, ac_file_info};
  const auto enable = [](QObject* o, bool enabled) {
    if (auto* action = qobject_cast<QAction*>(o))
      action->setEnabled(enabled);
    else
      static_cast<QWidget*>(o)->setEnabled(enabled);
  };
  if (busy) {
    // Every state saved before any is changed.
    for (QObject* o : conflicting) {
      auto* action = qobject_cast<QAction*>(o);
      busyStates_.push_back(action ? action->isEnabled() : static_cast<QWidget*>(o)->isEnabled());
    }
    for (QObject* o : conflicting) enable(o, false);
    return;
  }
  std::size_t i = 0;
  for (QObject* o : conflicting) enable(o, busyStates_[i++]);
  busyStates_.clear();
}

void TMainFrm::DisableRecordingActions() {
  for (QAction* action : {ac_calc, ac_export, ac_print, ac_saveserver, ac_file_info})
    action->setEnabled(false);
  ch_temp->setVisible(false);
}

void TMainFrm::ShowNoRecording() {
  if (OpenFile.Loaded) OpenFile.Reset();
  ShownFileName.clear();
  ClearSeries();
  setWindowTitle(QString::fromLatin1(CaptionPrefix) + QStringLiteral("Untitled"));
  Chart->SetTitle(QString(), false);
  Chart->SetZoomEnabled(false);
  Chart->SetAutomatic(TRateChart::Bottom);
  Chart->SetAutomatic(TRateChart::Left);
  ch_temp->setChecked(false);
  Display = DisplayRecord{};
  RefreshLabels();
  DisableRecordingActions();
  LoadMarkersOf(std::string());
  RefreshCursors();
  Chart1->replot();
}

void TMainFrm::RememberRecordingFolder(const QString& fileName) {
  const QString folder = QFileInfo(fileName).absolutePath();
  if (folder == OpenDialog1.Folder) return;
  OpenDialog1.Folder = folder;
  SaveDialog1.Folder = folder;
  // Kept for the next start, beside the settings file (whose format stays
  // as it is); a folder that cannot be kept is only not offered next time.
  QSaveFile file(LastFolderPath());
  if (file.open(QIODevice::WriteOnly)) {
    file.write(folder.toUtf8() + '\n');
    file.commit();
  }
}

QString TMainFrm::LastFolderPath() const {
  return QFileInfo(QFile::decodeName(SettingsPath.c_str())).absolutePath() +
         QStringLiteral("/last-folder.txt");
}

void TMainFrm::RestoreRecordingFolder() {
  QFile file(LastFolderPath());
  if (!file.open(QIODevice::ReadOnly)) return;
  const QString folder = QString::fromUtf8(file.readLine()).trimmed();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) return;
  OpenDialog1.Folder = folder;
  SaveDialog1.Folder = folder;
}

void TMainFrm::ShowLoadedRecording(TShowPath path) {
  const bool named = path != TShowPath::AveragingTime;
  if (named) {
    const QString name = QString::fromStdString(ShownFileName);
    setWindowTitle(QString::fromLatin1(CaptionPrefix) + name);
    Chart->SetTitle(name, true);
    Chart->SetZoomEnabled(true);
  }
  if (path != TShowPath::Stop) {
    Chart->SetAutomatic(TRateChart::Bottom);
    Chart->SetAutomatic(TRateChart::Left);
  }
  if (path == TShowPath::Open) {
    for (QAction* action : {ac_calc, ac_print, ac_export}) action->setEnabled(true);
    if (OpenFile.FormatVersion == 6) {
      ac_saveserver->setEnabled(true);
      ac_file_info->setEnabled(true);
    }
  } else if (path == TShowPath::UnitSwitch) {
    ac_calc->setEnabled(true);
    ac_export->setEnabled(true);
  }
  if (path == TShowPath::Stop || path == TShowPath::Open) ch_temp->setVisible(true);
  // The panels describe this recording: with fewer than three points the
  // statistics below leave them alone, so they start from zeros.
  Display = DisplayRecord{};
  RefreshLabels();
  Chart1UndoZoom();
  if (path != TShowPath::Stop) Chart->SetRange(TRateChart::Right, Settings.TempMin, Settings.TempMax);
  if (path == TShowPath::Stop) {
    Chart->SetAutomatic(TRateChart::Bottom);
    Chart->SetAutomatic(TRateChart::Left);
  }
  overlays_->SetRateFactor(RateUnitPerSec ? 1.0 : 3600.0);
  if (path == TShowPath::Open || path == TShowPath::Stop) {
    RefreshWarmupMarker();
    LoadMarkersOf(ShownFileName);
  }
  if (const TRecordingSeries* r = Chart->Recording(); path == TShowPath::Stop && ChamberProgramme && r && r->Size() > 0)
    SetAutoMarkers(ChamberMarkers, ChamberProgramme(r->Key(0), r->Key(r->Size() - 1)));
  RefreshCursors();
  RefreshSeriesHint();
  Chart1->replot();
}

void TMainFrm::ac_openExecute() {
  if (Busy()) return;
  QString name;
  if (!Dialogs().OpenFileName(this, OpenDialog1, name)) return;
  OpenRecording(name);
}

void TMainFrm::OpenRecording(const QString& name) {
  if (Busy()) return;
  RememberRecordingFolder(name);
  ClearSeries();
  if (OpenFile.Loaded) OpenFile.Reset();
  AssignOpenFileSettings();
  ShownFileName = name.toStdString();
  OpenFile.RecordingName = ShownFileName;
  OpenFile.UnitsPerSecond = RateUnitPerSec;
  StartLoad([this](bool loaded) {
    if (loaded)
      ShowLoadedRecording(TShowPath::Open);
    else
      ShowNoRecording();
  });
}

void TMainFrm::ac_file_infoExecute() {
  if (Busy() || !OpenFile.Loaded || OpenFile.FormatVersion < 6 || !InfoFileFrm) return;
  InfoFileFrm->ShowInfo(OpenFile.Info);
  InfoFileFrm->exec();
}

// ---------------------------------------------------------------------------
// Zoom statistics.

void TMainFrm::Chart1Zoom() {
  if (SeriesSize(Series1) < 3) return;
  const QCPRange span = Chart1->xAxis->range();
  SpanStatistics(span.lower, span.upper);
}

void TMainFrm::Chart1UndoZoom() {
  const std::int64_t n = SeriesSize(Series1);
  if (n < 3) return;
  SpanStatistics(SeriesPoint(Series1, 0).key - 1.0, SeriesPoint(Series1, n - 1).key + 1.0);
}

// Mean, RMS and mean temperature of the rate points within [begin, end].
// The points are in ascending time: only those of the span are visited. A
// recording's points (none in the series' own data) give theirs from sums
// by block.
void TMainFrm::SpanStatistics(double begin, double end) {
  AverRmsStatic.Begin = begin;
  AverRmsStatic.End = end;
  QSharedPointer<QCPGraphDataContainer> rates = Series1->data();
  QSharedPointer<QCPGraphDataContainer> temperatures = Series3->data();
  const int count = rates->size();
  const int temperatureCount = temperatures->size();
  int i = static_cast<int>(rates->findBegin(begin, false) - rates->constBegin());
  auto rate = rates->constBegin() + i;
  auto temperature = temperatures->constBegin() + std::min(i, temperatureCount);
  for (; i < count && !AverRmsStatic.Past; ++i, ++rate) {
    float t = 0;
    if (i < temperatureCount) {
      t = ToFloat(temperature->value);
      ++temperature;
    }
    AverRmsStatic.AddPoint(ToFloat(rate->key), ToFloat(rate->value), t);
  }
  const TRecordingSeries* recording = Chart->Recording();
  const bool computed = recording ? recording->SpanStatistics(begin, end, AverRmsStatic)
                                  : AverRmsStatic.Compute();
  Display = DisplayRecord{};
  if (computed) {
    Display.average = AverRmsStatic.Mean;
    Display.rms = AverRmsStatic.Rms;
    Display.temperature = ToFloat(AverRmsStatic.TempMean);
  }
  RefreshLabels();
}

// ---------------------------------------------------------------------------
// "Scale" panel.

void TMainFrm::TabCtrlChange(int index) {
  const bool rate = index == 0;
  e_max->setText(FixedText(rate ? Settings.RateMax : Settings.TempMax, 10, 6));
  e_min->setText(FixedText(rate ? Settings.RateMin : Settings.TempMin, 10, 6));
}

void TMainFrm::BtnApplyClick() {
  if (e_max->text().isEmpty()) e_max->setText(QStringLiteral("30"));
  if (e_min->text().isEmpty()) e_min->setText(QStringLiteral("-30"));
  double high = 0, low = 0;
  for (const auto& [edit, value] : {std::pair<QLineEdit*, double*>{e_max, &high}, {e_min, &low}}) {
    if (!ReadDouble(edit->text(), *value) || std::fabs(*value) > FLT_MAX) {
      Dialogs().ShowError(this, NotFloatMessage(edit->text()));
      return;
    }
  }
  float max = static_cast<float>(high), min = static_cast<float>(low);
  if (min > max) std::swap(min, max);
  const bool rate = TabCtrl->currentIndex() == 0;
  if (rate) {
    Settings.RateMin = min;
    Settings.RateMax = max;
  } else {
    Settings.TempMin = min;
    Settings.TempMax = max;
  }
  SaveSettings();
  TabCtrlChange(TabCtrl->currentIndex());
  if (rate) {
    Chart->SetRange(TRateChart::Left, min, max);
  } else if (!Busy() && OpenFile.Loaded) {
    Chart->SetRange(TRateChart::Right, min, max);
  }
  Chart1->replot();
}

void TMainFrm::BtnAutoClick() {
  if (TabCtrl->currentIndex() == 0) {
    Chart->SetAutomatic(TRateChart::Left);
  } else if (!Busy() && OpenFile.Loaded) {
    Chart->SetAutomatic(TRateChart::Right);
  }
  Chart1->replot();
}

void TMainFrm::LabMaxClick() {
  if (TabCtrl->currentIndex() == 0) e_max->setText(FixedText(Chart1->yAxis->range().upper, 10, 6));
}

void TMainFrm::LabMinClick() {
  if (TabCtrl->currentIndex() == 0) e_min->setText(FixedText(Chart1->yAxis->range().lower, 10, 6));
}

// ---------------------------------------------------------------------------
// Unit switch and averaging time.

void TMainFrm::BtnDimClick() {
  if (Busy()) return;
  RateUnitPerSec = !RateUnitPerSec;
  const bool perSec = RateUnitPerSec;
  BtnDim->setText(perSec ? QStringLiteral("°/h") : QStringLiteral("°/sec"));
  ch_signal->setText(perSec ? QStringLiteral("Rate, °/sec") : QStringLiteral("Rate, °/h"));
  ch_aver->setText(perSec ? QStringLiteral("Average, °/sec") : QStringLiteral("Average, °/h"));
  lab_rms->setText(perSec ? QStringLiteral("RMS, °/sec") : QStringLiteral("RMS, °/h"));
  lab_minrms->setText(perSec ? QStringLiteral("Minimum RMS, °/sec")
                             : QStringLiteral("Minimum RMS, °/h"));
  Chart1->yAxis->setLabel(RateAxisTitle(perSec));
  if (OpenFile.Loaded && Chart->Recording()) {
    // The recording's points are kept as read: the new unit is a new factor
    // on the same points, the file is not read again.
    OpenFile.UnitsPerSecond = perSec;
    Chart->SetRecordingRateFactor(perSec ? 1.0 : static_cast<double>(3600.0f));
    ShowLoadedRecording(TShowPath::UnitSwitch);
    return;
  }
  ClearSeries();
  if (!OpenFile.Loaded) {
    // A live chart goes on in the new unit from its next point; that point
    // starts the window afresh (measured from the old first point it would be
    // trimmed away as soon as it is drawn).
    FirstShownValid = false;
    PointCount = 0;
    return;
  }
  OpenFile.Reset();
  AssignOpenFileSettings();
  OpenFile.RecordingName = ShownFileName;
  OpenFile.UnitsPerSecond = RateUnitPerSec;
  StartLoad([this](bool loaded) {
    if (loaded)
      ShowLoadedRecording(TShowPath::UnitSwitch);
    else
      ShowNoRecording();
  });
}

void TMainFrm::BtnApMeanClick() {
  if (Busy()) return;
  if (e_mean->text().isEmpty()) e_mean->setText(QStringLiteral("50"));
  int value = 0;
  if (!ReadInt(e_mean->text(), value)) {
    Dialogs().ShowError(this, NotIntegerMessage(e_mean->text()));
    return;
  }
  if (value < 1 || value > 500) value = 50;
  e_mean->setText(QString::number(value));
  if (value == Settings.MeanTime) return;
  Settings.MeanTime = value;
  SaveSettings();
  if (!OpenFile.Loaded) return;
  // The chart as it is stays until the recording is read again with the
  // new averaging time.
  Chart->KeepPicture();
  Chart1->replot();
  OpenFile.Reset();
  AssignOpenFileSettings();
  OpenFile.RecordingName = ShownFileName;
  StartLoad([this](bool loaded) {
    if (loaded)
      ShowLoadedRecording(TShowPath::AveragingTime);
    else
      ShowNoRecording();
  });
}
