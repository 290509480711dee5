// The main window's chart: rate (red) and running average (blue) on the
// left axis, temperature (green) on the right axis, time at the bottom.
#pragma once

#include <QString>

class QCPGraph;
class QCPTextElement;
class QCustomPlot;

// The chart's series and title, made once on a QCustomPlot.
class TRateChart {
 public:
  // Sets up the axes, grid, margins and the three series on `plot`.
  explicit TRateChart(QCustomPlot* plot);

  // The title row exists only while the title is shown, so a hidden title
  // takes no room.
  void SetTitle(const QString& text, bool visible);
  QString TitleText() const { return titleText_; }
  bool TitleVisible() const { return titleVisible_; }

  QCustomPlot* Chart1;
  QCPGraph* Series1;  // rate, red, left axis
  QCPGraph* Series2;  // running average, blue, left axis
  QCPGraph* Series3;  // temperature, green, right axis

 private:
  QCPTextElement* title_;
  QString titleText_;
  bool titleVisible_ = false;
};

// Axis titles of the left axis for the two rate units.
QString RateAxisTitle(bool perSecond);
