// The chart's own behaviour: automatic and fixed axes from the series'
// extents, the block index of bulk-filled series (it must draw exactly what
// the plain adaptive sampling draws), and the rubber-band gestures.
#include <QImage>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <cmath>
#include <random>

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
  void Fill(QCPGraph* series, int n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 1);
    QVector<QCPGraphData> points;
    points.reserve(n);
    for (int i = 0; i < n; ++i) {
      double v = noise(rng);
      if (i % 9973 == 0) v += 40;  // lone spikes must survive the sampling
      points.append(QCPGraphData(i * 0.008, v));
    }
    series->data()->set(points, true);
  }

  QCustomPlot plot;
  std::unique_ptr<TRateChart> chart;
};

TEST_F(Chart, TheBlockIndexDrawsWhatThePlainSamplingDraws) {
  Fill(chart->Series1, 300000, 1);
  Fill(chart->Series2, 5000, 2);  // too few points for an index
  chart->ApplyAutomatic();
  const QCPRange spans[] = {{0, 2400}, {100.3, 1700.9}, {500, 520}, {1234.5, 1240}};
  for (const QCPRange& span : spans) {
    chart->SetRange(TRateChart::Bottom, span.lower, span.upper);
    chart->SeriesChanged(chart->Series1);
    const QImage plain = Render();
    chart->IndexSeries(chart->Series1);
    const QImage indexed = Render();
    EXPECT_TRUE(plain == indexed) << span.lower << " .. " << span.upper;
  }
  // Data changed behind the index's back: the index is not used.
  chart->IndexSeries(chart->Series1);
  chart->Series1->data()->removeBefore(1000);
  const QImage changed = Render();
  chart->SeriesChanged(chart->Series1);
  EXPECT_TRUE(changed == Render());
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
