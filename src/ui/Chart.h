// The main window's chart: rate (red) and running average (blue) on the
// left axis, temperature (green) on the right axis, time at the bottom.
#pragma once

#include <QMetaObject>
#include <QPoint>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/RecordingSeries.h"

class QCPAxis;
class QCPGraph;
class QCPGraphData;
class QCPTextElement;
class QCustomPlot;

// The chart's series and title, made once on a QCustomPlot, with the axis
// behaviour of the program: each axis either scales automatically to the
// data or keeps a fixed range, and a rubber band zooms (dragged right and
// down) or undoes the zoom (dragged any other way).
class TRateChart {
 public:
  enum TAxisId { Bottom = 0, Left = 1, Right = 2 };

  // Sets up the axes, grid, margins and the three series on `plot`.
  explicit TRateChart(QCustomPlot* plot);
  ~TRateChart();
  TRateChart(const TRateChart&) = delete;
  TRateChart& operator=(const TRateChart&) = delete;

  // The title row exists only while the title is shown, so a hidden title
  // takes no room.
  void SetTitle(const QString& text, bool visible);
  QString TitleText() const { return titleText_; }
  bool TitleVisible() const { return titleVisible_; }

  QCPAxis* Axis(TAxisId id) const;
  // The axis follows the data of its series from the next replot on (and
  // at once for Refresh and the zoom events). The bottom axis ends a zoom;
  // a vertical axis keeps it and keeps this state when the zoom is undone.
  void SetAutomatic(TAxisId id);
  // A fixed range; the bottom axis ends a zoom, a vertical one keeps it (as
  // SetAutomatic). An empty or invalid range leaves the axis as it is (but
  // fixed).
  void SetRange(TAxisId id, double lower, double upper);
  bool Automatic(TAxisId id) const { return axes_[id].automatic; }
  // Sets the automatic axes to the data now.
  void ApplyAutomatic();

  // The data of a series changed: its cached extent is computed again when
  // an automatic axis needs it.
  void SeriesChanged(QCPGraph* series);
  void AllSeriesChanged();
  // The extent of a series, known to whoever filled it (so that a series of
  // millions of points is never scanned at a replot). `found` false: no
  // finite point.
  void SetSeriesExtent(QCPGraph* series, bool found, double keyLow, double keyHigh,
                       double valueLow, double valueHigh);
  // A loaded recording: the three series draw its points (their own data
  // is emptied) until DropRecording, which AllSeriesChanged also does.
  void ShowRecording(std::shared_ptr<TRecordingSeries> recording);
  void DropRecording();
  // The recording gives way to the lines the chart draws of it now (a few
  // points per pixel column): the picture stays while the recording's
  // memory is freed for a new reading, until ShowRecording or
  // AllSeriesChanged.
  void KeepPicture();
  TRecordingSeries* Recording() const { return recording_.get(); }
  // The same, for users that keep the points beyond the next load.
  std::shared_ptr<TRecordingSeries> SharedRecording() const { return recording_; }
  // The recording's rate and average in another unit (display units per
  // deg/s); the extents follow.
  void SetRecordingRateFactor(double rateFactor);

  // Rubber-band zoom with the left mouse button.
  void SetZoomEnabled(bool enabled);
  bool ZoomEnabled() const { return zoomEnabled_; }
  bool Zoomed() const { return zoomed_; }
  // The gesture, also for programs and tests: a rubber band dragged from
  // `from` to `to` (widget pixels). Right and down zooms every axis to the
  // rectangle; any other way undoes the zoom (the axes get back their state
  // from before the first zoom). OnZoom or OnUndoZoom runs afterwards, when
  // the bottom axis holds the new range.
  void RubberBand(QPoint from, QPoint to);
  void UndoZoom();
  std::function<void()> OnZoom;
  std::function<void()> OnUndoZoom;

  QCustomPlot* Chart1;
  QCPGraph* Series1;  // rate, red, left axis
  QCPGraph* Series2;  // running average, blue, left axis
  QCPGraph* Series3;  // temperature, green, right axis

 private:
  struct TAxisState {
    bool automatic = true;
  };
  struct TExtent {
    bool valid = false;  // the values below are up to date
    bool found = false;
    double keyLow = 0, keyHigh = 0, valueLow = 0, valueHigh = 0;
  };
  struct TSavedAxis {
    bool automatic = true;
    double lower = 0, upper = 0;
  };
  int IndexOf(const QCPGraph* series) const;
  const TExtent& Extent(int index);
  void RecordingExtents();
  void KeepThroughZoom(TAxisId id);

  QCPTextElement* title_;
  QString titleText_;
  bool titleVisible_ = false;
  std::array<TAxisState, 3> axes_{};
  std::array<TExtent, 3> extents_{};
  bool zoomEnabled_ = false;
  bool zoomed_ = false;
  std::array<TSavedAxis, 3> beforeZoom_{};
  QPoint pressedAt_;
  QMetaObject::Connection connections_[3];
  std::shared_ptr<TRecordingSeries> recording_;
};

// The number of points of a chart series and point i, whether the series
// draws a recording or its own data.
std::int64_t SeriesSize(const QCPGraph* series);
QCPGraphData SeriesPoint(const QCPGraph* series, std::int64_t i);

// Axis titles of the left axis for the two rate units.
QString RateAxisTitle(bool perSecond);

// A logarithmic axis with a tick at each decade, minor grid lines and
// `label` (the Allan deviation's plots in the window and in the report).
void SetLogAxis(QCPAxis* axis, const QString& label);
