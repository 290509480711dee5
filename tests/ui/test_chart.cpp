// The chart's own behaviour: automatic and fixed axes from the series'
// extents, a loaded recording (it must draw exactly what its every point
// drawn by the plain graph draws), and the rubber-band gestures.
#include <QImage>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "RecordingData.h"
#include "ui/Chart.h"

namespace {

class Chart : public ::testing::Test {
 protected:
  void SetUp() override {
    plot.resize(640, 400);
    chart = std::make_unique<TRateChart>(&plot);
    chart->Series1->setVisible(true);
    chart->Series2->setVisible(true);
  }
  QImage Render() {
    plot.replot();
    return plot.toPixmap(640, 400).toImage();
  }

  QCustomPlot plot;
  std::unique_ptr<TRateChart> chart;
};

// The same recording twice: as the chart's recording store, and as plain
// points of every record in a second chart; both must give the same pixels
// for the three series at every zoom, in both units, also for records out
// of time order.
TEST_F(Chart, ARecordingDrawsWhatEveryPointDraws) {
  QCustomPlot plainPlot;
  plainPlot.resize(640, 400);
  TRateChart plain(&plainPlot);
  for (TRateChart* c : {chart.get(), &plain}) {
    for (QCPGraph* g : {c->Series1, c->Series2, c->Series3}) g->setVisible(true);
    c->Axis(TRateChart::Right)->setVisible(true);
  }
  struct {
    int n, swaps;
    double factor;
  } const cases[] = {{300000, 0, 3600.0}, {300000, 0, 1.0}, {70000, 40, 3600.0}};
  for (const auto& c : cases) {
    const TRecordingData data = TRecordingData::Make(c.n, 0.0033, 0.002, 5, 7, c.swaps);
    chart->ShowRecording(data.Store(c.factor));
    plain.AllSeriesChanged();
    plain.Series1->data()->set(data.Points(0, c.factor), true);
    plain.Series2->data()->set(data.Points(1, c.factor), true);
    plain.Series3->data()->set(data.Points(2, c.factor), true);
    ASSERT_EQ(SeriesSize(chart->Series2), c.n);
    ASSERT_EQ(SeriesPoint(chart->Series2, c.n / 2).value, SeriesPoint(plain.Series2, c.n / 2).value);
    const double last = c.n * 0.008;
    const QCPRange spans[] = {{0, last},       {last * 0.0623, last * 0.7081}, {last / 5, last / 5 + last / 100},
                              {500.3, 520.01}, {1234.5, 1234.9},               {-3, 0.5}};
    for (bool automatic : {true, false}) {
      for (const QCPRange& span : spans) {
        for (TRateChart* t : {chart.get(), &plain}) {
          if (automatic) {
            t->SetAutomatic(TRateChart::Left);
            t->SetAutomatic(TRateChart::Right);
          } else {
            t->SetRange(TRateChart::Left, -0.01 * c.factor, 0.02 * c.factor);
            t->SetRange(TRateChart::Right, 25.3, 26.1);
          }
          t->SetRange(TRateChart::Bottom, span.lower, span.upper);
        }
        plainPlot.replot();
        EXPECT_TRUE(Render() == plainPlot.toPixmap(640, 400).toImage())
            << c.n << " records, factor " << c.factor << ", " << span.lower << " .. " << span.upper;
      }
    }
  }
  chart->AllSeriesChanged();  // emptied like any chart
  EXPECT_EQ(chart->Recording(), nullptr);
  EXPECT_EQ(SeriesSize(chart->Series1), 0);
}

TEST_F(Chart, AutomaticAxesFollowTheShownSeries) {
  chart->Series1->addData(1, 5);
  chart->Series1->addData(2, 7);
  chart->Series2->addData(1.5, -3);
  chart->Series3->addData(1, 20);
  chart->Series3->addData(3, 30);
  chart->ApplyAutomatic();
  EXPECT_EQ(plot.xAxis->range(), QCPRange(1, 3));
  EXPECT_EQ(plot.yAxis->range(), QCPRange(-3, 7));
  EXPECT_EQ(plot.yAxis2->range(), QCPRange(20, 30));
  chart->Series2->setVisible(false);
  chart->ApplyAutomatic();
  EXPECT_EQ(plot.yAxis->range(), QCPRange(5, 7));
  // Nothing shown: all series count.
  chart->Series1->setVisible(false);
  chart->ApplyAutomatic();
  EXPECT_EQ(plot.yAxis->range(), QCPRange(-3, 7));
  // Cached extents are used until the series is said to have changed.
  chart->Series1->addData(4, 100);
  chart->ApplyAutomatic();
  EXPECT_EQ(plot.yAxis->range(), QCPRange(-3, 7));
  chart->SeriesChanged(chart->Series1);
  chart->ApplyAutomatic();
  EXPECT_EQ(plot.yAxis->range(), QCPRange(-3, 100));
}

TEST_F(Chart, RubberBandZoomsDownRightAndUndoesOtherwise) {
  for (int i = 0; i <= 100; ++i) chart->Series1->addData(i, i % 10);
  chart->SetRange(TRateChart::Right, -40, 60);
  chart->SetZoomEnabled(true);
  plot.replot();
  int zooms = 0, undos = 0;
  double bottomAtEvent = 0;
  chart->OnZoom = [&] {
    ++zooms;
    bottomAtEvent = plot.xAxis->range().lower;
  };
  chart->OnUndoZoom = [&] {
    ++undos;
    bottomAtEvent = plot.xAxis->range().lower;
  };
  const auto px = [&](double x) { return static_cast<int>(plot.xAxis->coordToPixel(x)); };
  const auto py = [&](double y) { return static_cast<int>(plot.yAxis->coordToPixel(y)); };
  chart->RubberBand({px(20), py(8)}, {px(40), py(2)});
  EXPECT_EQ(zooms, 1);
  EXPECT_TRUE(chart->Zoomed());
  EXPECT_NEAR(plot.xAxis->range().lower, 20, 0.3);
  EXPECT_NEAR(plot.xAxis->range().upper, 40, 0.3);
  EXPECT_NEAR(plot.yAxis->range().lower, 2, 0.1);
  EXPECT_NEAR(plot.yAxis->range().upper, 8, 0.1);
  EXPECT_EQ(bottomAtEvent, plot.xAxis->range().lower);
  // A second zoom inside the first; one undo goes back to the start.
  chart->RubberBand({px(25), py(7)}, {px(30), py(3)});
  EXPECT_EQ(zooms, 2);
  chart->RubberBand({px(30), py(3)}, {px(25), py(7)});
  EXPECT_EQ(undos, 1);
  EXPECT_FALSE(chart->Zoomed());
  EXPECT_EQ(plot.xAxis->range(), QCPRange(0, 100));
  EXPECT_EQ(bottomAtEvent, 0);
  EXPECT_EQ(plot.yAxis2->range(), QCPRange(-40, 60)) << "a fixed axis gets its range back";
  EXPECT_FALSE(chart->Automatic(TRateChart::Right));
  // Right but up, or left but down: undo as well.
  chart->RubberBand({px(20), py(2)}, {px(40), py(8)});
  chart->RubberBand({px(40), py(8)}, {px(20), py(2)});
  EXPECT_EQ(zooms, 2);
  EXPECT_EQ(undos, 3);
}

}  // namespace
