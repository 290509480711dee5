// The "Temperature sensitivity" window: the bias averaged over blocks of a
// few seconds against temperature, heating and cooling in two colours, the
// fitted model, the coefficients table, and the compensated rate on the
// main chart. Also the chart overlays the analysis adds to the main chart
// (compensated rate, warm-up marker) and the threads the work runs on.
#pragma once

#include <limits>

#include <QDialog>
#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "processing/Thermal.h"

class QCheckBox;
class QCPGraph;
class QCPItemStraightLine;
class QCPItemText;
class QCustomPlot;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

// Work off the window's thread: each job runs on a thread of its own and
// hands its result to `done`, which runs on the receiver's thread (and not
// at all once the receiver is gone). Starting a job cancels the previous
// one (its result is dropped). Threads are joined on destruction.
class TBackgroundJob {
 public:
  explicit TBackgroundJob(QObject* receiver) : receiver_(receiver) {}
  ~TBackgroundJob();
  TBackgroundJob(const TBackgroundJob&) = delete;
  TBackgroundJob& operator=(const TBackgroundJob&) = delete;

  // work(cancel, post): `post` hands a function to the receiver's thread.
  void Start(std::function<void(const std::atomic<bool>& cancel,
                                const std::function<void(std::function<void()>)>& post)>
                 work);
  void Cancel();
  bool Busy() const { return running_ && !running_->load(); }

 private:
  struct TThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  void Reap(bool all);
  QObject* receiver_;
  std::vector<TThread> threads_;
  std::shared_ptr<std::atomic<bool>> cancel_;
  std::shared_ptr<std::atomic<bool>> running_;  // the current job's "finished"
  std::uint64_t generation_ = 0;
  std::shared_ptr<std::atomic<std::uint64_t>> current_ = std::make_shared<std::atomic<std::uint64_t>>(0);
};

// What the analysis draws on the main chart: the compensated rate (a
// graph on the rate axis, kept in deg/s and shown in the chart's unit) and
// a vertical marker at the end of warm-up.
class TChartOverlays {
 public:
  explicit TChartOverlays(QCustomPlot* chart);
  // Points in time order, rates in deg/s (at most about 200000: long
  // recordings come as the smallest and largest value of each stretch).
  void SetCompensated(std::vector<double> times, std::vector<double> rates);
  void ClearCompensated();
  bool CompensatedShown() const;
  // Display units per deg/s (3600 for deg/h).
  void SetRateFactor(double factor);
  // A marker at `time` (s on the chart's time axis) labelled `text`; NaN:
  // none. `fitTime`, `fitText`: a second marker, where the fitted transient
  // settles (NaN: none).
  void SetWarmupMarker(double time, const QString& text, double fitTime = std::numeric_limits<double>::quiet_NaN(),
                       const QString& fitText = {});
  void ClearAll();

 private:
  QCustomPlot* chart_;
  QCPGraph* compensated_ = nullptr;
  struct TMarkerItems {
    QCPItemStraightLine* line = nullptr;
    QCPItemText* text = nullptr;
  };
  void PlaceMarker(TMarkerItems& m, const char* name, Qt::PenStyle style, double time, double height,
                   Qt::Alignment side, const QString& text);
  TMarkerItems marker_, fitMarker_;
  std::vector<double> times_, rates_;
  double factor_ = 3600.0;
};

// The compensated rate of records thinned out for the chart: every record
// while there are at most `limit`, else the smallest and the largest rate
// of each of limit/2 stretches, in their order.
void ThinForChart(const std::vector<SamplePoint>& records, const std::vector<float>& rates,
                  std::size_t limit, std::vector<double>& times, std::vector<double>& values);

class TThermalFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TThermalFrm(QWidget* parent = nullptr);
  ~TThermalFrm() override;

  // Set by the main window before each opening.
  std::string RecordingPath;
  double Begin = 0;
  double End = 0;
  // Reading progress: 0..100, -1 when done (the main window's gauge).
  std::function<void(int)> Gauge;
  // The main chart's overlays ("Show compensated rate").
  TChartOverlays* Overlays = nullptr;
  // The plausible temperature readings (the settings' limits), deg C.
  double TempLow = -60, TempHigh = 100;

  TThermalResult Result;

  QLineEdit* e_beg_time;
  QLineEdit* e_end_time;
  QSpinBox* e_order;
  QLineEdit* e_average;
  QLineEdit* e_tref;
  QCheckBox* ch_rate_term;
  QPushButton* but_apply;
  QLabel* lab_status;
  QCustomPlot* PlotThermal;
  QTableWidget* ListCoefficients;
  QCheckBox* ch_compensated;
  QPushButton* BtnClose;

  // Opens the window (window-modal, no event loop of its own) and starts
  // the computation on the span set.
  void Execute();
  bool Busy() const { return job_.Busy(); }
  // Called when the computation has been handed back (for tests).
  std::function<void()> OnFinished;
  // The soaks the computation found (for the chart's markers).
  std::function<void(const std::vector<TThermalPlateau>&)> OnSoaks;

 public slots:
  void but_applyClick();
  void ch_compensatedClick();

 private:
  void Start();
  void Finished(std::shared_ptr<TThermalResult> result, std::shared_ptr<std::vector<double>> times,
                std::shared_ptr<std::vector<double>> rates, const QString& error);
  void ShowResult();

  TBackgroundJob job_;
  std::shared_ptr<std::vector<double>> compTimes_, compRates_;
};
