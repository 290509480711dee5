#include "ui/RecordingSeries.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <numeric>
#include <qcustomplot.h>

#include "processing/Averrmsstatic.h"

namespace {

// A double as f32, as the zoom statistics take their points; values beyond
// the f32 range become infinities.
float ToFloat(double value) {
  if (value > FLT_MAX) return std::numeric_limits<float>::infinity();
  if (value < -FLT_MAX) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

bool SameValue(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Count, sum, sum of squared deviations from the mean, and temperature sum
// of a run of points; runs are joined by the pairwise update of the
// deviations, which stays exact where a sum of squares would cancel.
struct TMoments {
  long double n = 0, sum = 0, m2 = 0, temp = 0;
  void Join(long double nb, long double sumb, long double m2b, long double tempb) {
    if (nb == 0) return;
    if (n == 0) {
      *this = {nb, sumb, m2b, tempb};
      return;
    }
    const long double delta = sumb / nb - sum / n;
    m2 += m2b + delta * delta * n * nb / (n + nb);
    sum += sumb;
    n += nb;
    temp += tempb;
  }
};

}  // namespace

// The running average of the chart, replayed record by record from the
// sums at a block's start: the same operations, in the same order, as the
// reader's engine, so the values are the engine's to the last bit. Reads
// move forward, so a pass over a range costs one step per record.
class TRecordingSeries::TAverageCursor {
 public:
  explicit TAverageCursor(const TRecordingSeries& s) : s_(s) {}
  // The average of record i in deg/s.
  double At(std::int64_t i) {
    if (s_.explicitAverages_) return s_.averages_[static_cast<std::size_t>(i)];
    if (valid_ && i + 1 == next_) return last_;
    if (!valid_ || i < next_ || i - next_ >= 2 * Block) {
      const std::int64_t b = i / Block;
      sums_ = s_.checkpoints_[static_cast<std::size_t>(b)];
      next_ = b * Block;
    }
    for (; next_ <= i; ++next_) s_.StepAverage(sums_, next_, last_);
    valid_ = true;
    return last_;
  }

 private:
  const TRecordingSeries& s_;
  TSums sums_;
  std::int64_t next_ = 0;
  double last_ = 0;
  bool valid_ = false;
};

void TRecordingSeries::StepAverage(TSums& s, std::int64_t i, double& average) const {
  const float rate = rate_[static_cast<std::size_t>(i)];
  const std::int64_t w = window_;
  if (i < w) {
    s.sum += rate;
    average = static_cast<double>(s.sum / static_cast<long double>(i + 1));
  } else {
    s.prevSum -= rate_[static_cast<std::size_t>(i - w)];
    s.sum += rate;
    average = static_cast<double>((s.prevSum + s.sum) / static_cast<long double>(window_));
  }
  if ((i + 1) % w == 0) {
    s.prevSum = s.sum;
    s.sum = 0;
  }
}

// ---------------------------------------------------------------------------
// Loading.

void TRecordingSeries::Start(std::int64_t records, std::int32_t window, double rateFactor) {
  *this = TRecordingSeries();
  window_ = std::max<std::int32_t>(window, 1);
  factor_ = rateFactor;
  const std::size_t n = static_cast<std::size_t>(std::max<std::int64_t>(records, 0));
  const std::size_t blocks = (n + Block - 1) / Block;
  time_.reserve(n);
  rate_.reserve(n);
  temperature_.reserve(n);
  checkpoints_.reserve(blocks);
  for (auto* v : {&rateLow_, &rateHigh_, &temperatureLow_, &temperatureHigh_}) v->reserve(blocks);
  averageLow_.reserve(blocks);
  averageHigh_.reserve(blocks);
  stats_.reserve(blocks);
}

void TRecordingSeries::Append(float time, float rate, double average, float temperature) {
  const std::int64_t i = Size();
  if (i % Block == 0 && !explicitAverages_) checkpoints_.push_back(replay_);
  if (i > 0 && time < time_.back()) sorted_ = false;
  time_.push_back(time);
  rate_.push_back(rate);
  temperature_.push_back(temperature);
  double replayed = 0;
  StepAverage(replay_, i, replayed);
  if (!explicitAverages_ && !SameValue(replayed, average)) {
    // The engine computed something the replay does not: keep its values.
    MakeAveragesExplicit();
    averages_.pop_back();
  }
  if (explicitAverages_) averages_.push_back(average);
  if (std::isnan(average)) averageNaN_ = true;

  keys_.Add(time);
  values_[Rate].Add(rate);
  values_[Average].Add(average);
  values_[Temperature].Add(temperature);
  AddToBlock(i % Block == 0, rate, average, temperature);
  if ((i + 1) % Block == 0) CloseBlock();
}

// The smallest and largest values of the block being filled; `first` starts
// a new block.
void TRecordingSeries::AddToBlock(bool first, float rate, double average, float temperature) {
  if (first) {
    blockRate_[0] = blockRate_[1] = rate;
    blockAverage_[0] = blockAverage_[1] = average;
    blockTemperature_[0] = blockTemperature_[1] = temperature;
    return;
  }
  blockRate_[0] = std::min(blockRate_[0], rate);
  blockRate_[1] = std::max(blockRate_[1], rate);
  if (average < blockAverage_[0]) blockAverage_[0] = average;
  if (average > blockAverage_[1]) blockAverage_[1] = average;
  blockTemperature_[0] = std::min(blockTemperature_[0], temperature);
  blockTemperature_[1] = std::max(blockTemperature_[1], temperature);
}

void TRecordingSeries::CloseBlock() {
  rateLow_.push_back(blockRate_[0]);
  rateHigh_.push_back(blockRate_[1]);
  averageLow_.push_back(blockAverage_[0]);
  averageHigh_.push_back(blockAverage_[1]);
  temperatureLow_.push_back(blockTemperature_[0]);
  temperatureHigh_.push_back(blockTemperature_[1]);
}

void TRecordingSeries::Finish() {
  if (Size() % Block != 0) CloseBlock();
  if (!sorted_) SortByTime();
  BuildStatistics();
}

void TRecordingSeries::MakeAveragesExplicit() {
  if (explicitAverages_) return;
  averages_.reserve(time_.capacity());
  TAverageCursor cursor(*this);
  for (std::int64_t i = 0; i < Size(); ++i) averages_.push_back(cursor.At(i));
  explicitAverages_ = true;
  checkpoints_.clear();
  checkpoints_.shrink_to_fit();
}

// The chart keeps its points in ascending time; a stable order keeps equal
// times in file order. The average cannot be replayed out of file order:
// its values are kept.
void TRecordingSeries::SortByTime() {
  MakeAveragesExplicit();
  std::vector<std::uint32_t> order(time_.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [this](std::uint32_t a, std::uint32_t b) { return time_[a] < time_[b]; });
  const auto permute = [&order](auto& v) {
    std::remove_reference_t<decltype(v)> sorted;
    sorted.reserve(v.capacity());
    for (std::uint32_t i : order) sorted.push_back(v[i]);
    v.swap(sorted);
  };
  permute(time_);
  permute(rate_);
  permute(temperature_);
  permute(averages_);
  sorted_ = true;
  BuildIndex();
}

void TRecordingSeries::BuildIndex() {
  for (auto* v : {&rateLow_, &rateHigh_, &temperatureLow_, &temperatureHigh_}) v->clear();
  averageLow_.clear();
  averageHigh_.clear();
  TAverageCursor cursor(*this);
  for (std::int64_t from = 0; from < Size(); from += Block) {
    const std::int64_t to = std::min(Size(), from + Block);
    for (std::int64_t i = from; i < to; ++i) {
      const std::size_t k = static_cast<std::size_t>(i);
      AddToBlock(i == from, rate_[k], cursor.At(i), temperature_[k]);
    }
    CloseBlock();
  }
}

void TRecordingSeries::SetRateFactor(double rateFactor) {
  factor_ = rateFactor;
  BuildStatistics();
}

void TRecordingSeries::BuildStatistics() {
  stats_.clear();
  statsFinite_ = true;
  for (std::int64_t from = 0; from < Size(); from += Block) {
    const std::size_t a = static_cast<std::size_t>(from);
    const std::size_t b = static_cast<std::size_t>(std::min(Size(), from + Block));
    TStats s;
    float v[Block];
    for (std::size_t i = a; i < b; ++i) {
      v[i - a] = ToFloat(static_cast<double>(rate_[i]) * factor_);
      s.rateSum += v[i - a];
      s.tempSum += temperature_[i];
    }
    const long double mean = s.rateSum / static_cast<long double>(b - a);
    for (std::size_t i = 0; i < b - a; ++i) {
      const long double d = v[i] - mean;
      s.rateM2 += d * d;
    }
    if (!std::isfinite(s.rateM2) || !std::isfinite(s.tempSum)) statsFinite_ = false;
    stats_.push_back(s);
  }
}

// ---------------------------------------------------------------------------
// Reading.

double TRecordingSeries::Value(TSeries series, std::int64_t i) const {
  const std::size_t k = static_cast<std::size_t>(i);
  switch (series) {
    case Rate: return static_cast<double>(rate_[k]) * factor_;
    case Temperature: return static_cast<double>(temperature_[k]);
    case Average: break;
  }
  return TAverageCursor(*this).At(i) * factor_;
}

bool TRecordingSeries::Extent(TSeries series, double& keyLow, double& keyHigh, double& valueLow,
                              double& valueHigh) const {
  const TRange& v = values_[series];
  if (!keys_.found || !v.found) return false;
  keyLow = keys_.low;
  keyHigh = keys_.high;
  const double factor = series == Temperature ? 1.0 : factor_;
  valueLow = v.low * factor;
  valueHigh = v.high * factor;
  return true;
}

std::size_t TRecordingSeries::MemoryBytes() const {
  return (time_.capacity() + rate_.capacity() + temperature_.capacity() + rateLow_.capacity() +
          rateHigh_.capacity() + temperatureLow_.capacity() + temperatureHigh_.capacity()) *
             sizeof(float) +
         (averages_.capacity() + averageLow_.capacity() + averageHigh_.capacity()) * sizeof(double) +
         checkpoints_.capacity() * sizeof(TSums) + stats_.capacity() * sizeof(TStats);
}

namespace {

// The values of one series as the sampling reads them: single points, and
// the smallest and largest value of a run of points (by whole blocks where
// the run covers them).
template <class Point, class BlockLow, class BlockHigh>
void RunExtent(std::int64_t from, std::int64_t to, bool useBlocks, Point&& point,
               BlockLow&& blockLow, BlockHigh&& blockHigh, double& lo, double& hi) {
  constexpr std::int64_t B = TRecordingSeries::Block;
  lo = hi = point(from);
  // The comparisons of the graph's own sampling: a NaN first value stays.
  const auto add = [&](std::int64_t i) {
    const double v = point(i);
    if (v < lo) lo = v;
    else if (v > hi) hi = v;
  };
  if (!useBlocks) {
    for (std::int64_t i = from + 1; i < to; ++i) add(i);
    return;
  }
  const std::int64_t headEnd = std::min(to, (from + B - 1) / B * B);
  for (std::int64_t i = from + 1; i < headEnd; ++i) add(i);
  if (headEnd >= to) return;
  const std::int64_t tailStart = std::max(headEnd, to / B * B);
  for (std::int64_t b = headEnd / B; b < tailStart / B; ++b) {
    lo = std::min(lo, blockLow(b));
    hi = std::max(hi, blockHigh(b));
  }
  for (std::int64_t i = tailStart; i < to; ++i) add(i);
}

}  // namespace

void TRecordingSeries::LineData(TSeries series, const QCPAxis* keyAxis, bool adaptiveSampling,
                                QVector<QCPGraphData>* lineData) const {
  lineData->clear();
  const std::int64_t n = Size();
  if (n == 0 || !keyAxis) return;
  // The visible points and one beyond each end, as the graph finds them.
  const QCPRange range = keyAxis->range();
  const float* t = time_.data();
  std::int64_t begin =
      std::lower_bound(t, t + n, range.lower, [](float a, double b) { return a < b; }) - t;
  if (begin > 0) --begin;
  std::int64_t end =
      std::upper_bound(t, t + n, range.upper, [](double a, float b) { return a < b; }) - t;
  if (end < n) ++end;
  if (begin >= end) return;

  TAverageCursor cursor(*this);
  const double factor = series == Temperature ? 1.0 : factor_;
  const auto value = [&](std::int64_t i) -> double {
    const std::size_t k = static_cast<std::size_t>(i);
    switch (series) {
      case Rate: return static_cast<double>(rate_[k]) * factor;
      case Temperature: return static_cast<double>(temperature_[k]);
      case Average: break;
    }
    return cursor.At(i) * factor;
  };
  const auto blockLow = [&](std::int64_t b) -> double {
    const std::size_t k = static_cast<std::size_t>(b);
    switch (series) {
      case Rate: return static_cast<double>(rateLow_[k]) * factor;
      case Temperature: return static_cast<double>(temperatureLow_[k]);
      case Average: break;
    }
    return averageLow_[k] * factor;
  };
  const auto blockHigh = [&](std::int64_t b) -> double {
    const std::size_t k = static_cast<std::size_t>(b);
    switch (series) {
      case Rate: return static_cast<double>(rateHigh_[k]) * factor;
      case Temperature: return static_cast<double>(temperatureHigh_[k]);
      case Average: break;
    }
    return averageHigh_[k] * factor;
  };
  const bool useBlocks = !(series == Average && averageNaN_);

  const std::int64_t count = end - begin;
  std::int64_t maxCount = INT_MAX;
  if (adaptiveSampling) {
    const double keyPixelSpan =
        qAbs(keyAxis->coordToPixel(Key(begin)) - keyAxis->coordToPixel(Key(end - 1)));
    if (2 * keyPixelSpan + 2 < static_cast<double>(INT_MAX)) maxCount = int(2 * keyPixelSpan + 2);
  }
  if (!(adaptiveSampling && count >= maxCount)) {
    lineData->reserve(static_cast<qsizetype>(count));
    for (std::int64_t i = begin; i < end; ++i) lineData->append(QCPGraphData(Key(i), value(i)));
    return;
  }
  // Clusters of one pixel column: the first, smallest, largest and last
  // value, placed as QCPGraph places them.
  const int reversedFactor = keyAxis->pixelOrientation();
  const int reversedRound = reversedFactor == -1 ? 1 : 0;
  const bool epsilonVariable = keyAxis->scaleType() == QCPAxis::stLogarithmic;
  double start = keyAxis->pixelToCoord(int(keyAxis->coordToPixel(Key(begin)) + reversedRound));
  double lastIntervalEnd = start;
  double epsilon =
      qAbs(start - keyAxis->pixelToCoord(keyAxis->coordToPixel(start) + 1.0 * reversedFactor));
  for (std::int64_t i = begin;;) {
    const double limit = start + epsilon;
    const std::int64_t next =
        std::lower_bound(t + i + 1, t + end, limit, [](float a, double b) { return a < b; }) - t;
    if (next - i >= 2) {
      const double first = value(i);
      double lo, hi;
      RunExtent(i, next, useBlocks, value, blockLow, blockHigh, lo, hi);
      if (lastIntervalEnd < start - epsilon)
        lineData->append(QCPGraphData(start + epsilon * 0.2, first));
      lineData->append(QCPGraphData(start + epsilon * 0.25, lo));
      lineData->append(QCPGraphData(start + epsilon * 0.75, hi));
      if (next < end && Key(next) > start + epsilon * 2)
        lineData->append(QCPGraphData(start + epsilon * 0.8, value(next - 1)));
    } else {
      lineData->append(QCPGraphData(Key(i), value(i)));
    }
    lastIntervalEnd = Key(next - 1);
    if (next >= end) break;
    i = next;
    start = keyAxis->pixelToCoord(int(keyAxis->coordToPixel(Key(i)) + reversedRound));
    if (epsilonVariable)
      epsilon =
          qAbs(start - keyAxis->pixelToCoord(keyAxis->coordToPixel(start) + 1.0 * reversedFactor));
  }
}

bool TRecordingSeries::SpanStatistics(double begin, double end, TAverRmsStatic& out) const {
  out.Begin = begin;
  out.End = end;
  const std::int64_t n = Size();
  const float* t = time_.data();
  const std::int64_t from =
      std::lower_bound(t, t + n, begin, [](float a, double b) { return a < b; }) - t;
  const std::int64_t to =
      std::max(from, std::upper_bound(t, t + n, end, [](double a, float b) { return a < b; }) - t);
  const auto rate = [this](std::int64_t i) {
    return ToFloat(static_cast<double>(rate_[static_cast<std::size_t>(i)]) * factor_);
  };
  if (to - from < 3 || !statsFinite_) {
    // Too few points, or infinities the sums cannot join: point by point.
    for (std::int64_t i = from; i < to && !out.Past; ++i)
      out.AddPoint(t[i], rate(i), temperature_[static_cast<std::size_t>(i)]);
    return out.Compute();
  }
  out.Points.clear();
  out.Past = false;
  TMoments total;
  const auto part = [&](std::int64_t a, std::int64_t b) {
    if (a >= b) return;
    long double sum = 0, temp = 0, m2 = 0;
    for (std::int64_t i = a; i < b; ++i) {
      sum += rate(i);
      temp += temperature_[static_cast<std::size_t>(i)];
    }
    const long double mean = sum / static_cast<long double>(b - a);
    for (std::int64_t i = a; i < b; ++i) {
      const long double d = rate(i) - mean;
      m2 += d * d;
    }
    total.Join(static_cast<long double>(b - a), sum, m2, temp);
  };
  const std::int64_t headEnd = std::min(to, (from + Block - 1) / Block * Block);
  part(from, headEnd);
  const std::int64_t tailStart = std::max(headEnd, to / Block * Block);
  for (std::int64_t b = headEnd / Block; b < tailStart / Block; ++b) {
    const TStats& s = stats_[static_cast<std::size_t>(b)];
    total.Join(Block, s.rateSum, s.rateM2, s.tempSum);
  }
  part(tailStart, to);

  // The mean as the point-by-point form rounds it; the squares about that
  // rounded mean differ from those about the exact one by n (mu - mean)^2.
  const long double factor = 1.0L / total.n;
  out.Mean = static_cast<double>(total.sum * factor);
  out.TempMean = static_cast<double>(total.temp * factor);
  const long double shift = total.sum / total.n - static_cast<long double>(out.Mean);
  out.Rms = static_cast<double>(std::sqrt((total.m2 + total.n * shift * shift) * factor));
  return true;
}
