// The chart and its recording store: a recording draws what its every point
// draws, the store's averages and span statistics agree with the engine and
// the point-by-point calculation; the rubber-band gestures.
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>

#include "files/Openf.h"
#include "processing/Averrmsstatic.h"
#include "ui/Chart.h"
#include "ui/RecordingSeries.h"

namespace {

// The running averages (deg/s) the reader's engine gives after each record
// of a file, and its window in records.
std::vector<double> EngineAverages(const std::vector<SamplePoint>& records, int meanTime, std::int32_t& window) {
  auto engine = std::make_unique<TFastAverageRms>();
  engine->Sample = 125;
  engine->MeanTime = meanTime;
  engine->Mode = ModeNormal;
  engine->Reset();
  window = AveragingWindow(*engine);
  std::vector<double> averages;
  for (const SamplePoint& p : records) {
    engine->AddSample(p.Time, p.Rate, p.Temperature);
    averages.push_back(engine->Average);
  }
  return averages;
}

// n records at 125 Hz: noisy rate around `bias` (deg/s) with lone spikes,
// temperature in steps, `swaps` neighbours with exchanged times, an infinite
// rate at `infinityAt` after the largest finite one; the averages as the
// reader's engine gives them.
struct TRecordingData {
  std::vector<SamplePoint> records;
  std::vector<double> averages;  // deg/s
  std::vector<std::size_t> order;  // the record indexes in ascending time (stable)
  std::int32_t window = 1;
  int meanTime;

  TRecordingData(int n, double bias, double noise, int meanTime, int swaps = 0, int infinityAt = -1)
      : meanTime(meanTime) {
    std::mt19937 rng(7);
    std::normal_distribution<double> dist(bias, noise);
    for (int i = 0; i < n; ++i) {
      const double rate = dist(rng) + (i % 9973 == 17 ? 400 * noise : 0);
      const float temperature = static_cast<float>(25.0 + 0.5 * (i / 4000) + (i % 7) * 0.01);
      records.push_back({static_cast<float>((i + 1) * 0.008), static_cast<float>(rate), temperature});
    }
    for (int k = 0; k < swaps; ++k) {
      const std::size_t i = rng() % (records.size() - 1);
      std::swap(records[i].Time, records[i + 1].Time);
    }
    if (infinityAt >= 0) {  // just after the largest finite rate, in one block
      records[infinityAt - 1].Rate = static_cast<float>(bias + 1000 * noise);
      records[infinityAt].Rate = std::numeric_limits<float>::infinity();
    }
    Update();
  }
  // The averages and the time order of the records as they are now.
  void Update() {
    averages = EngineAverages(records, meanTime, window);
    order.resize(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return records[a].Time < records[b].Time; });
  }

  // `replayed`: in batches without averages, as the reader hands them.
  std::shared_ptr<TRecordingSeries> Store(double factor, bool replayed = false) const {
    auto store = std::make_shared<TRecordingSeries>();
    store->Start(static_cast<std::int64_t>(records.size()), window, factor);
    std::vector<TChartRecord> batch;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (!replayed) store->Append(records[i].Time, records[i].Rate, averages[i], records[i].Temperature);
      if (replayed) batch.push_back({records[i].Time, records[i].Rate, NAN, records[i].Temperature});
      if (batch.size() == 1000 || (replayed && i + 1 == records.size()))
        store->AppendReplayed(batch.data(), batch.size()), batch.clear();
    }
    store->Finish();
    return store;
  }
  // The store loaded from the records in time order, each with its average.
  std::unique_ptr<TRecordingSeries> SortedStore(double factor) const {
    auto store = std::make_unique<TRecordingSeries>();
    store->Start(static_cast<std::int64_t>(records.size()), window, factor);
    for (std::size_t i : order)
      store->Append(records[i].Time, records[i].Rate, averages[i], records[i].Temperature);
    store->Finish();
    return store;
  }
};

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// A chart of 640 x 400 pixels with all three series and the right axis shown.
struct TShownChart {
  QCustomPlot plot;
  TRateChart chart{&plot};
  TShownChart() {
    plot.resize(640, 400);
    for (QCPGraph* g : {chart.Series1, chart.Series2, chart.Series3}) g->setVisible(true);
    chart.Axis(TRateChart::Right)->setVisible(true);
  }
  QImage Image() {
    plot.replot();
    return plot.toPixmap(640, 400).toImage();
  }
};

// Both charts must give the same pixels for the three series at every zoom,
// in both units, also for records out of time order.
TEST(Chart, ARecordingDrawsWhatEveryPointDraws) {
  TShownChart shown, plain;
  for (const auto& [n, swaps, factor, replayed] : {std::tuple{300000, 0, 3600.0, false}, {300000, 0, 1.0, true},
                                                   {70000, 40, 3600.0, true}}) {
    const TRecordingData data(n, 0.0033, 0.002, 5, swaps);
    shown.chart.ShowRecording(data.Store(factor, replayed));
    TRateChart& points = plain.chart;
    for (QCPGraph* g : {points.Series1, points.Series2, points.Series3}) g->data()->clear();
    points.AllSeriesChanged();
    for (std::size_t i : data.order) {
      const SamplePoint& p = data.records[i];
      points.Series1->addData(p.Time, static_cast<double>(p.Rate) * factor);
      points.Series2->addData(p.Time, data.averages[i] * factor);
      points.Series3->addData(p.Time, p.Temperature);
    }
    ASSERT_EQ(SeriesSize(shown.chart.Series2), n);
    const double last = n * 0.008;
    const QCPRange spans[] = {{0, last},       {last * 0.0623, last * 0.7081}, {last / 5, last / 5 + last / 100},
                              {500.3, 520.01}, {1234.5, 1234.9},               {-3, 0.5}};
    for (bool automatic : {true, false}) {
      for (const QCPRange& span : spans) {
        for (TRateChart* t : {&shown.chart, &points}) {
          if (automatic) {
            t->SetAutomatic(TRateChart::Left);
            t->SetAutomatic(TRateChart::Right);
          } else {
            t->SetRange(TRateChart::Left, -0.01 * factor, 0.02 * factor);
            t->SetRange(TRateChart::Right, 25.3, 26.1);
          }
          t->SetRange(TRateChart::Bottom, span.lower, span.upper);
        }
        EXPECT_TRUE(shown.Image() == plain.Image())
            << n << " records, factor " << factor << ", " << span.lower << " .. " << span.upper;
      }
    }
  }
  shown.chart.AllSeriesChanged();  // emptied like any chart
  EXPECT_EQ(shown.chart.Recording(), nullptr);
  EXPECT_EQ(SeriesSize(shown.chart.Series1), 0);
}

// Every point of the span, in time order, through TAverRmsStatic.
TAverRmsStatic PointByPoint(const TRecordingData& d, double factor, double begin, double end) {
  TAverRmsStatic s;
  s.Begin = begin;
  s.End = end;
  for (std::size_t i : d.order) {
    const SamplePoint& p = d.records[i];
    s.AddPoint(p.Time, static_cast<float>(static_cast<double>(p.Rate) * factor), p.Temperature);
    if (s.Past) break;
  }
  s.Compute();
  return s;
}

TEST(RecordingSeries, ReplayedAverageAndSpanStatisticsAgreeWithThePointByPointCalculation) {
  // Windows of 375 and 125 records: laps of the engine's ring end inside
  // blocks, one or two per block. A large bias under little noise is where
  // a plain sum of squares would lose every digit of the RMS.
  const TRecordingData cases[] = {{50000, 0.0, 1.0, 3}, {50000, 0.0041780741, 1e-7, 3},
                                  {50000, 0.003, 0.002, 3, 30}, {50000, 0.003, 0.002, 3, 0, 31000},
                                  {50000, 0.003, 0.002, 1}};
  const double last = 50000 * 0.008;
  const std::pair<double, double> spans[] = {
      {-1.0, last + 1.0}, {last / 4, last * 3 / 4}, {100.004, 100.5}, {2.0481, 2.0481 + 256 * 0.008}, {1.0, 1.024}};
  for (const auto& [d, replayed] : {std::pair{&cases[0], false}, {&cases[1], false}, {&cases[2], true},
                                     {&cases[3], false}, {&cases[3], true}, {&cases[4], true}}) {
    const auto store = d->Store(3600.0, replayed);
    int wrong = 0;  // points in time order, the averages the engine's
    for (std::int64_t i = 0; i < store->Size(); ++i) {
      const SamplePoint& p = d->records[d->order[i]];
      wrong += store->Key(i) != p.Time || store->Value(TRecordingSeries::Temperature, i) != p.Temperature ||
               !Same(store->Value(TRecordingSeries::Average, i), d->averages[d->order[i]] * 3600.0) ||
               !Same(store->Value(TRecordingSeries::Rate, i), static_cast<double>(p.Rate) * 3600.0);
    }
    EXPECT_EQ(wrong, 0) << d->records[0].Rate;
    for (auto series : {TRecordingSeries::Rate, TRecordingSeries::Average, TRecordingSeries::Temperature}) {
      double e[4] = {}, a[4] = {1, 1, 1, 1};  // the finite extents of the points appended one by one
      d->Store(3600.0)->Extent(series, e[0], e[1], e[2], e[3]);
      store->Extent(series, a[0], a[1], a[2], a[3]);
      EXPECT_TRUE(std::equal(e, e + 4, a)) << series << ": " << a[2] << " .. " << a[3];
    }
    // The first, finite and in time order, replays its averages: about 12.5
    // bytes per record.
    EXPECT_TRUE(d != cases || store->MemoryBytes() <= 13u * 50000u) << store->MemoryBytes();
    for (double factor : {3600.0, 1.0}) {
      store->SetRateFactor(factor);
      for (const auto& [begin, end] : spans) {
        const TAverRmsStatic expected = PointByPoint(*d, factor, begin, end);
        TAverRmsStatic actual;
        EXPECT_TRUE(store->SpanStatistics(begin, end, actual));
        const std::pair<double, double> figures[] = {
            {expected.Mean, actual.Mean}, {expected.Rms, actual.Rms}, {expected.TempMean, actual.TempMean}};
        for (const auto& [e, a] : figures)
          EXPECT_TRUE(std::isfinite(e) ? std::fabs(a - e) <= 1e-12 * std::fabs(e) : Same(a, e))
              << e << " vs " << a << ", bias " << d->records[0].Rate << ", " << begin << " .. " << end
              << ", factor " << factor;
      }
    }
  }
  // Two points give zeros, three their statistics.
  const auto store = TRecordingData(3000, 0.003, 0.002, 1).Store(1.0);
  TAverRmsStatic s;
  EXPECT_FALSE(store->SpanStatistics(0.0081, 0.0241, s));
  EXPECT_EQ(s.Mean + s.Rms, 0);
  EXPECT_TRUE(store->SpanStatistics(0.0079, 0.0241, s));
}

// A clock that steps back now and then (up to 5 s, sometimes onto a time
// already recorded) and, in the second case, runs of records in shuffled
// order: the store holds what a stable sort of the records gives, with the
// engine's averages, and sums it as a store loaded in order from those
// sorted records does (what it draws: the test below).
TEST(RecordingSeries, RecordsOutOfOrderAreStoredAsAStableSortOfThemGives) {
  for (const bool shuffled : {false, true}) {
    TRecordingData d(60000, 0.003, 0.002, 3);
    std::mt19937 rng(11);
    double t = 0;
    for (std::size_t i = 0; i < d.records.size(); ++i) {
      t += 0.008;
      if (rng() % 9000 == 0) t -= (rng() % 626) * 0.008;  // a step back of up to 5 s
      d.records[i].Time = static_cast<float>(t);
    }
    if (shuffled) {  // runs of 1 to 400 records, in shuffled order
      std::vector<std::vector<SamplePoint>> runs;
      for (std::size_t i = 0; i < d.records.size();) {
        const std::size_t end = std::min(d.records.size(), i + 1 + rng() % 400);
        runs.emplace_back(d.records.begin() + static_cast<std::ptrdiff_t>(i), d.records.begin() + static_cast<std::ptrdiff_t>(end));
        i = end;
      }
      std::shuffle(runs.begin(), runs.end(), rng);
      d.records.clear();
      for (const auto& run : runs) d.records.insert(d.records.end(), run.begin(), run.end());
    }
    d.Update();
    const auto store = d.Store(3600.0);
    const auto sorted = d.SortedStore(3600.0);
    const TRecordingSeries& reference = *sorted;
    ASSERT_EQ(store->Size(), reference.Size());
    int wrong = 0;
    for (std::int64_t i = 0; i < store->Size(); ++i) {
      wrong += store->Key(i) != reference.Key(i);
      for (auto series : {TRecordingSeries::Rate, TRecordingSeries::Average, TRecordingSeries::Temperature})
        wrong += !Same(store->Value(series, i), reference.Value(series, i));
    }
    EXPECT_EQ(wrong, 0) << shuffled;
    // Steps back keep the records' 12 bytes and the file positions of the
    // records they displaced: under 16 bytes per record.
    EXPECT_TRUE(shuffled || store->MemoryBytes() < 16u * d.records.size()) << store->MemoryBytes();

    const double last = reference.Key(reference.Size() - 1);
    const std::pair<double, double> spans[] = {
        {-1, last + 1}, {last / 3, last / 3 + 7.3}, {last * 0.41, last * 0.93}, {100.004, 100.5}};
    for (const auto& [begin, end] : spans) {
      TAverRmsStatic a, b;
      EXPECT_EQ(store->SpanStatistics(begin, end, a), reference.SpanStatistics(begin, end, b));
      EXPECT_TRUE(a.Mean == b.Mean && a.Rms == b.Rms && a.TempMean == b.TempMean) << begin << " .. " << end;
    }
  }
  // A cancelled finish says so.
  const TRecordingData d(5000, 0.003, 0.002, 1, 20);
  TRecordingSeries store;
  store.Start(5000, d.window, 1.0);
  for (std::size_t i = 0; i < d.records.size(); ++i)
    store.Append(d.records[i].Time, d.records[i].Rate, d.averages[i], d.records[i].Temperature);
  const std::atomic<bool> cancel{true};
  EXPECT_FALSE(store.Finish(&cancel));
}

// Blocks of 256 records, each within a range of its own (the sign of the
// rate alternating, its size growing), recorded as runs of 100 to 700
// records of which neighbours are exchanged now and then: every block that
// records moved into is drawn with the smallest and largest value of the
// records a stable sort puts there. On a key axis of 64 pixels, 2 s each,
// with records every 1/128 s, each pixel column is one block: the line holds
// its low and its high.
TEST(RecordingSeries, EveryMovedBlockDrawsTheRangeOfItsOwnRecords) {
  constexpr int kBlocks = 64, kBlock = TRecordingSeries::Block;
  TRecordingData d(0, 0, 0, 3);
  std::vector<SamplePoint> inOrder;
  for (int i = 0; i < kBlocks * kBlock; ++i) {
    const int b = i / kBlock;
    const double level = (b % 2 ? 0.01 : -0.01) * (b + 1) * (1 + (i * 37 % 101) / 1000.0);
    inOrder.push_back({i / 128.0f, static_cast<float>(level), static_cast<float>(20 + b * 0.1 + i % 5 * 0.01)});
  }
  std::mt19937 rng(5);
  const auto at = [&](std::size_t i) { return inOrder.begin() + static_cast<std::ptrdiff_t>(i); };
  for (std::size_t i = 0; i < inOrder.size();) {
    const std::size_t a = std::min(inOrder.size(), i + 100 + rng() % 600);
    const std::size_t c = std::min(inOrder.size(), a + 100 + rng() % 600);
    if (rng() % 2) {  // the later run first
      d.records.insert(d.records.end(), at(a), at(c));
      d.records.insert(d.records.end(), at(i), at(a));
    } else {
      d.records.insert(d.records.end(), at(i), at(c));
    }
    i = c;
  }
  d.Update();
  int moved = 0;
  for (int b = 0; b < kBlocks; ++b)
    for (int i = b * kBlock; i < (b + 1) * kBlock; ++i)
      if (d.order[static_cast<std::size_t>(i)] != static_cast<std::size_t>(i)) {
        ++moved;
        break;
      }
  ASSERT_GE(moved, 20);
  const auto store = d.Store(1.0);

  QCustomPlot plot;
  plot.setViewport(QRect(0, 0, 64, 64));
  plot.axisRect()->setAutoMargins(QCP::msNone);
  plot.axisRect()->setMargins(QMargins());
  plot.replot();
  ASSERT_EQ(plot.axisRect()->width(), 64);
  plot.xAxis->setRange(0, 128);
  for (auto series : {TRecordingSeries::Rate, TRecordingSeries::Average, TRecordingSeries::Temperature}) {
    QVector<QCPGraphData> line;
    store->LineData(series, plot.xAxis, true, &line);
    ASSERT_EQ(line.size(), 2 * kBlocks) << series;
    for (int b = 0; b < kBlocks; ++b) {
      double low = INFINITY, high = -INFINITY;
      for (int i = b * kBlock; i < (b + 1) * kBlock; ++i) {
        const std::size_t k = d.order[static_cast<std::size_t>(i)];
        const double v = series == TRecordingSeries::Rate      ? d.records[k].Rate
                         : series == TRecordingSeries::Average ? d.averages[k]
                                                               : d.records[k].Temperature;
        low = std::min(low, v);
        high = std::max(high, v);
      }
      EXPECT_TRUE(line[2 * b].key == 2 * b + 0.5 && line[2 * b].value == low && line[2 * b + 1].value == high)
          << "series " << series << ", block " << b << ": " << line[2 * b].value << " .. " << line[2 * b + 1].value
          << ", expected " << low << " .. " << high;
    }
  }
}

TEST(Chart, RubberBandZoomsDownRightAndUndoesOtherwise) {
  TShownChart shown;
  TRateChart* chart = &shown.chart;
  QCustomPlot& plot = shown.plot;
  for (int i = 0; i <= 100; ++i) chart->Series1->addData(i, i % 10);
  chart->SetZoomEnabled(true);
  plot.replot();
  // z: zoom, u: undo, each with the start of the bottom axis it sees.
  std::string events;
  auto record = [&](char kind) {
    return [&, kind] { events += kind + std::to_string(std::lround(plot.xAxis->range().lower)) + " "; };
  };
  chart->OnZoom = record('z');
  chart->OnUndoZoom = record('u');
  const auto at = [&](double x, double y) {
    return QPoint(static_cast<int>(plot.xAxis->coordToPixel(x)), static_cast<int>(plot.yAxis->coordToPixel(y)));
  };
  chart->RubberBand(at(20, 8), at(40, 2));
  EXPECT_NEAR(plot.yAxis->range().lower, 2, 0.1);
  EXPECT_NEAR(plot.yAxis->range().upper, 8, 0.1);
  chart->RubberBand(at(25, 7), at(30, 3));  // a zoom inside the zoom
  chart->RubberBand(at(30, 3), at(25, 7));  // one undo goes back to the start
  chart->RubberBand(at(20, 2), at(40, 8));  // right but up: undo
  chart->RubberBand(at(40, 8), at(20, 2));  // left but down: undo
  EXPECT_EQ(events, "z20 z25 u0 u0 u0 ");
  EXPECT_FALSE(chart->Zoomed());
  EXPECT_EQ(plot.xAxis->range(), QCPRange(0, 100));
}

}  // namespace

// A log axis over less than two decades ticks at 1, 2 and 5 times the powers
// of ten, each label reading its tick's value (QCustomPlot's own fallback
// put ticks at 1.5 and 2.5 and labelled them "2" and "3").
TEST(Chart, LogAxisOverFewDecadesLabelsEveryTickWithItsValue) {
  QCustomPlot plot;
  SetLogAxis(plot.yAxis, QStringLiteral("s"));
  const struct {
    double lo, hi;
    std::vector<double> shown;
  } cases[] = {{0.3, 4.0, {0.5, 1, 2}},
               {0.03, 0.9, {0.05, 0.1, 0.2, 0.5}},
               {2.5, 9.5, {3, 4, 5, 6, 7, 8, 9}},
               {1.15, 1.45, {1.2, 1.3, 1.4}},
               {0.01, 100, {0.01, 0.1, 1, 10, 100}}};
  for (const auto& c : cases) {
    plot.yAxis->setRange(c.lo, c.hi);
    plot.replot();
    std::vector<double> shown;
    for (int i = 0; i < plot.yAxis->tickVector().size(); ++i) {
      const double tick = plot.yAxis->tickVector()[i];
      EXPECT_NEAR(QLocale().toDouble(plot.yAxis->tickVectorLabels()[i]), tick, tick * 1e-9) << c.lo;
      if (tick >= c.lo && tick <= c.hi) shown.push_back(tick);
    }
    ASSERT_EQ(shown.size(), c.shown.size()) << c.lo;
    for (std::size_t i = 0; i < shown.size(); ++i) EXPECT_NEAR(shown[i], c.shown[i], c.shown[i] * 1e-9) << c.lo;
  }
}
