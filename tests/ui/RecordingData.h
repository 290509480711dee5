// Recordings for the chart tests: records as a file gives them, run through
// the reader's averaging engine, kept both as the chart's recording store
// and as plain points of every record.
#pragma once

#include <qcustomplot.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "processing/Average.h"
#include "ui/RecordingSeries.h"

struct TRecordingData {
  std::vector<SamplePoint> records;  // as read (rate in deg/s)
  std::vector<double> averages;      // the engine's, deg/s
  std::int32_t window = 1;
  int meanTime = 1;

  // n records at 125 Hz of noisy rate around `bias` (deg/s) with lone
  // spikes, a temperature in steps; `swaps` pairs of neighbours exchanged
  // (times out of order).
  static TRecordingData Make(int n, double bias, double noise, int meanTime, std::uint32_t seed,
                             int swaps = 0) {
    TRecordingData d;
    d.meanTime = meanTime;
    std::mt19937 rng(seed);
    std::normal_distribution<double> dist(bias, noise);
    for (int i = 0; i < n; ++i) {
      const double rate = dist(rng) + (i % 9973 == 17 ? 400 * noise : 0);  // lone spikes
      const float temperature = static_cast<float>(25.0 + 0.5 * (i / 4000) + (i % 7) * 0.01);
      d.records.push_back({static_cast<float>((i + 1) * 0.008), static_cast<float>(rate), temperature});
    }
    for (int k = 0; k < swaps; ++k) {
      const std::size_t i = rng() % (d.records.size() - 1);
      std::swap(d.records[i].Time, d.records[i + 1].Time);
    }
    d.Replay();
    return d;
  }

  // The averages as the reader's engine gives them, in file order.
  void Replay() {
    auto engine = std::make_unique<TFastAverageRms>();
    engine->Sample = 125;
    engine->MeanTime = meanTime;
    engine->Mode = ModeNormal;
    engine->Reset();
    window = AveragingWindow(*engine);
    averages.clear();
    for (const SamplePoint& p : records) {
      engine->AddSample(p.Time, p.Rate, p.Temperature);
      averages.push_back(engine->Average);
    }
  }

  std::shared_ptr<TRecordingSeries> Store(double factor) const {
    auto store = std::make_shared<TRecordingSeries>();
    store->Start(static_cast<std::int64_t>(records.size()), window, factor);
    for (std::size_t i = 0; i < records.size(); ++i)
      store->Append(records[i].Time, records[i].Rate, averages[i], records[i].Temperature);
    store->Finish();
    return store;
  }

  // Every record as a plain point of series 0 (rate), 1 (average) or 2
  // (temperature), in the display unit, in ascending time (stable).
  QVector<QCPGraphData> Points(int series, double factor) const {
    QVector<QCPGraphData> points;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const SamplePoint& p = records[i];
      points.append(QCPGraphData(p.Time, series == 0   ? static_cast<double>(p.Rate) * factor
                                         : series == 1 ? averages[i] * factor
                                                       : static_cast<double>(p.Temperature)));
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const QCPGraphData& a, const QCPGraphData& b) { return a.key < b.key; });
    return points;
  }
};
