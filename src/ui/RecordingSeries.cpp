#include "ui/RecordingSeries.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <numeric>
#include <qcustomplot.h>
#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "files/Openf.h"
#include "processing/Averrmsstatic.h"

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

}  // namespace

void* RecordingAllocate(std::size_t bytes) {
  if (bytes < kHugeFrom) {
    if (void* p = std::malloc(bytes ? bytes : 1)) return p;
    throw std::bad_alloc();
  }
  // A mapping aligned to a huge page, its size rounded up to whole ones.
  const std::size_t size = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* const start = static_cast<char*>(raw);
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(start);
  char* const p = start + ((kHugePage - at % kHugePage) % kHugePage);
  if (p > start) ::munmap(start, static_cast<std::size_t>(p - start));
  if (char* const end = p + size; end < start + size + kHugePage)
    ::munmap(end, static_cast<std::size_t>(start + size + kHugePage - end));
  ::madvise(p, size, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
  return p;
}

void RecordingFree(void* p, std::size_t bytes) {
  if (bytes < kHugeFrom) {
    std::free(p);
  } else {
    ::munmap(p, (bytes + kHugePage - 1) / kHugePage * kHugePage);
  }
}

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

// Maps x through segments sorted by `from`; `hint` is the segment used last
// (reads mostly move forward).
std::int64_t MapThrough(const std::vector<TRecordingSeries::TSegment>&, std::int64_t, std::size_t&);

// The running average of the chart, replayed record by record from the
// sums at a block's start: the same operations, in the same order, as the
// reader's engine, so the values are the engine's to the last bit. The
// replay runs in file order; where records out of time order interleave,
// a few replays follow the file's runs side by side. Reads move forward,
// so a pass over a range costs about one step per record.
class TRecordingSeries::TAverageCursor {
 public:
  explicit TAverageCursor(const TRecordingSeries& s) : s_(s) {}
  // The average of the record at position i, in deg/s.
  double At(std::int64_t i) {
    if (s_.explicitAverages_) return s_.averages_[static_cast<std::size_t>(i)];
    const std::int64_t f = s_.order_.empty() ? i : MapThrough(s_.order_, i, orderHint_);
    TReplay* best = nullptr;
    for (TReplay& r : replays_) {
      if (r.valid && r.next <= f + 1 && f - r.next < 2 * Block && (!best || r.next > best->next)) best = &r;
    }
    if (!best) {
      best = &replays_[victim_];
      victim_ = (victim_ + 1) % kReplays;
      const std::int64_t b = f / Block;
      best->sums = s_.checkpoints_[static_cast<std::size_t>(b)];
      best->next = b * Block;
      best->valid = true;
    }
    const std::int64_t w = s_.window_;
    for (; best->next <= f; ++best->next) {
      const std::int64_t k = best->next;
      const float dropped = k >= w ? s_.FileRate(k - w, best->droppedHint) : 0.0f;
      s_.StepAverage(best->sums, k, s_.FileRate(k, best->rateHint), dropped, best->last);
    }
    return best->last;
  }

 private:
  static constexpr int kReplays = 4;
  struct TReplay {
    TSums sums;
    std::int64_t next = 0;
    double last = 0;
    bool valid = false;
    std::size_t rateHint = 0, droppedHint = 0;
  };
  const TRecordingSeries& s_;
  TReplay replays_[kReplays];
  int victim_ = 0;
  std::size_t orderHint_ = 0;
};

std::int64_t MapThrough(const std::vector<TRecordingSeries::TSegment>& segments, std::int64_t x,
                        std::size_t& hint) {
  const std::size_t n = segments.size();
  const auto holds = [&](std::size_t k) {
    return segments[k].from <= x && (k + 1 == n || x < segments[k + 1].from);
  };
  if (!holds(hint)) {
    if (hint + 1 < n && holds(hint + 1)) {
      ++hint;
    } else {
      hint = static_cast<std::size_t>(
          std::upper_bound(segments.begin(), segments.end(), x,
                           [](std::int64_t v, const TRecordingSeries::TSegment& s) { return v < s.from; }) -
          segments.begin() - 1);
    }
  }
  return segments[hint].to + (x - segments[hint].from);
}

float TRecordingSeries::FileRate(std::int64_t i, std::size_t& hint) const {
  const std::int64_t k = inverse_.empty() ? i : MapThrough(inverse_, i, hint);
  return rate_[static_cast<std::size_t>(k)];
}

void TRecordingSeries::StepAverage(TSums& s, std::int64_t i, float rate, float dropped,
                                   double& average) const {
  const std::int64_t w = window_;
  if (i < w) {
    s.sum += rate;
    average = static_cast<double>(s.sum / static_cast<long double>(i + 1));
  } else {
    s.prevSum -= dropped;
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
  StepAverage(replay_, i, rate, i >= window_ ? rate_[static_cast<std::size_t>(i - window_)] : 0.0f,
              replayed);
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

void TRecordingSeries::AppendReplayed(const TChartRecord* records, std::size_t n) {
  for (std::size_t k = 0; k < n;) {
    const std::int64_t i = Size();
    if (!explicitAverages_ && i / Block * Block >= window_) {
      // A block past the first window: up to its end at once.
      const std::size_t m = std::min<std::size_t>(n - k, static_cast<std::size_t>(Block - i % Block));
      AppendSteady(records + k, m);
      k += m;
      continue;
    }
    const TChartRecord& r = records[k++];
    const float rate = r.Rate;
    double average = 0;
    TSums sums = replay_;
    StepAverage(sums, i, rate, i >= window_ ? rate_[static_cast<std::size_t>(i - window_)] : 0.0f, average);
    Append(static_cast<float>(r.Time), rate, average, static_cast<float>(r.Temperature));
  }
}

// Records [Size(), Size() + n) of one block, all past the first window:
// the running average's sums are stepped without its division, and the
// block keeps the extremes of the numerator (a division by the window, as
// any correctly rounded one, keeps their order) and of the other series;
// the block's averages and extents follow when it closes.
void TRecordingSeries::AppendSteady(const TChartRecord* records, std::size_t n) {
  std::int64_t i = Size();
  bool first = i % Block == 0;
  if (first) {
    checkpoints_.push_back(replay_);
    steadyBlock_ = true;
  }
  TSums s = replay_;
  std::int64_t untilLap = window_ - i % window_;
  float last = time_.back();
  bool nan = false;
  for (std::size_t k = 0; k < n; ++k, ++i) {
    const TChartRecord& r = records[k];
    const float time = static_cast<float>(r.Time), rate = r.Rate;
    const float temperature = static_cast<float>(r.Temperature);
    const float dropped = rate_[static_cast<std::size_t>(i - window_)];
    time_.push_back(time);
    rate_.push_back(rate);
    temperature_.push_back(temperature);
    if (time < last) sorted_ = false;
    last = time;
    s.prevSum -= dropped;
    s.sum += rate;
    const long double numerator = s.prevSum + s.sum;
    if (--untilLap == 0) {
      s.prevSum = s.sum;
      s.sum = 0;
      untilLap = window_;
    }
    nan |= numerator != numerator;
    if (first) {
      first = false;
      blockTime_[0] = blockTime_[1] = time;
      blockRate_[0] = blockRate_[1] = rate;
      blockTemperature_[0] = blockTemperature_[1] = temperature;
      blockNumerator_[0] = blockNumerator_[1] = numerator;
      continue;
    }
    // The comparisons of AddToBlock (a NaN is passed over).
    if (time < blockTime_[0]) blockTime_[0] = time;
    if (blockTime_[1] < time) blockTime_[1] = time;
    if (rate < blockRate_[0]) blockRate_[0] = rate;
    if (blockRate_[1] < rate) blockRate_[1] = rate;
    if (numerator < blockNumerator_[0]) blockNumerator_[0] = numerator;
    if (numerator > blockNumerator_[1]) blockNumerator_[1] = numerator;
    if (temperature < blockTemperature_[0]) blockTemperature_[0] = temperature;
    if (blockTemperature_[1] < temperature) blockTemperature_[1] = temperature;
  }
  replay_ = s;
  if (nan) averageNaN_ = true;
  if (Size() % Block == 0) CloseSteadyBlock();
}

void TRecordingSeries::CloseSteadyBlock() {
  steadyBlock_ = false;
  const long double window = static_cast<long double>(window_);
  blockAverage_[0] = static_cast<double>(blockNumerator_[0] / window);
  blockAverage_[1] = static_cast<double>(blockNumerator_[1] / window);
  const std::int64_t from = (Size() - 1) / Block * Block, to = Size();
  // Finite extremes are the block's extent; otherwise its finite points'.
  const auto extent = [&](TRange& range, double low, double high, auto&& point) {
    if (std::isfinite(low) && std::isfinite(high)) {
      range.Add(low);
      range.Add(high);
    } else {
      for (std::int64_t i = from; i < to; ++i) range.Add(point(i));
    }
  };
  extent(keys_, blockTime_[0], blockTime_[1], [&](std::int64_t i) { return time_[static_cast<std::size_t>(i)]; });
  extent(values_[Rate], blockRate_[0], blockRate_[1],
         [&](std::int64_t i) { return rate_[static_cast<std::size_t>(i)]; });
  extent(values_[Temperature], blockTemperature_[0], blockTemperature_[1],
         [&](std::int64_t i) { return temperature_[static_cast<std::size_t>(i)]; });
  TAverageCursor cursor(*this);
  extent(values_[Average], blockAverage_[0], blockAverage_[1], [&](std::int64_t i) { return cursor.At(i); });
  CloseBlock();
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

void TRecordingSeries::StoreBlock(std::size_t b) {
  rateLow_[b] = blockRate_[0];
  rateHigh_[b] = blockRate_[1];
  averageLow_[b] = blockAverage_[0];
  averageHigh_[b] = blockAverage_[1];
  temperatureLow_[b] = blockTemperature_[0];
  temperatureHigh_[b] = blockTemperature_[1];
}

void TRecordingSeries::CloseBlock() {
  rateLow_.push_back(blockRate_[0]);
  rateHigh_.push_back(blockRate_[1]);
  averageLow_.push_back(blockAverage_[0]);
  averageHigh_.push_back(blockAverage_[1]);
  temperatureLow_.push_back(blockTemperature_[0]);
  temperatureHigh_.push_back(blockTemperature_[1]);
  // Records in time order so far: the block's statistics while its points
  // are still in the cache (a sort afterwards sums them all again).
  if (sorted_) {
    const std::size_t from = stats_.size() * Block;
    PushStats(BlockStats(from, std::min(time_.size(), from + Block)));
  }
}

bool TRecordingSeries::Finish(const std::atomic<bool>* cancel) {
  if (steadyBlock_) {
    CloseSteadyBlock();
  } else if (Size() % Block != 0) {
    CloseBlock();
  }
  if (sorted_) return true;  // the statistics are summed
  return SortByTime(cancel) && BuildStatistics(cancel);
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

namespace {

constexpr std::int64_t kCancelStride = 1 << 16;  // records between looks at the cancel flag

bool Cancelled(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

// Appends the segment of position `from` mapping to `to`, joined to the
// last one where it continues it.
void AddSegment(std::vector<TRecordingSeries::TSegment>& segments, std::int64_t from, std::int64_t to) {
  if (!segments.empty() && segments.back().to + (from - segments.back().from) == to) return;
  segments.push_back({from, to});
}

}  // namespace

// One record in all its columns, while records move.
struct TRecordingSeries::TRow {
  float time, rate, temperature;
  double average;
  std::int64_t file;
};

TRecordingSeries::TRow TRecordingSeries::Row(std::int64_t i) const {
  const std::size_t k = static_cast<std::size_t>(i);
  return {time_[k], rate_[k], temperature_[k], explicitAverages_ ? averages_[k] : 0.0, 0};
}

void TRecordingSeries::SetRow(std::int64_t i, const TRow& row) {
  const std::size_t k = static_cast<std::size_t>(i);
  time_[k] = row.time;
  rate_[k] = row.rate;
  temperature_[k] = row.temperature;
  if (explicitAverages_) averages_[k] = row.average;
}

// Merges the ordered positions [from, middle) and [middle, to) in place,
// stable, with a buffer the size of the shorter one. `files` holds the
// file positions of [from, to) and is merged alike.
void TRecordingSeries::MergeRuns(std::int64_t from, std::int64_t middle, std::int64_t to,
                                 std::vector<std::int64_t>& files) {
  const auto row = [&](std::int64_t i) {
    TRow r = Row(i);
    r.file = files[static_cast<std::size_t>(i - from)];
    return r;
  };
  const auto put = [&](std::int64_t i, const TRow& r) {
    SetRow(i, r);
    files[static_cast<std::size_t>(i - from)] = r.file;
  };
  std::vector<TRow> buffer;
  if (middle - from <= to - middle) {
    for (std::int64_t i = from; i < middle; ++i) buffer.push_back(row(i));
    std::size_t a = 0;
    std::int64_t b = middle, out = from;
    while (a < buffer.size() && b < to) {
      // Equal times: the earlier run first.
      if (time_[static_cast<std::size_t>(b)] < buffer[a].time) {
        put(out++, row(b++));
      } else {
        put(out++, buffer[a++]);
      }
    }
    while (a < buffer.size()) put(out++, buffer[a++]);
  } else {
    for (std::int64_t i = middle; i < to; ++i) buffer.push_back(row(i));
    std::int64_t a = middle - 1, out = to - 1;
    std::size_t b = buffer.size();
    while (b > 0 && a >= from) {
      if (time_[static_cast<std::size_t>(a)] > buffer[b - 1].time) {
        put(out--, row(a--));
      } else {
        put(out--, buffer[--b]);
      }
    }
    while (b > 0) put(out--, buffer[--b]);
  }
}

// The chart keeps its points in ascending time; a stable order keeps equal
// times in file order. The records come as ascending runs (a clock that
// steps back starts a new one); neighbouring runs are merged, level by
// level, and only where they overlap: the records that move are those a
// step back displaced, and only their blocks are indexed again. The file
// positions are kept as runs of consecutive positions, from which the
// running average is replayed in file order.
bool TRecordingSeries::SortByTime(const std::atomic<bool>* cancel) {
  const std::int64_t n = Size();
  std::vector<std::int64_t> runs{0};
  for (std::int64_t i = 1; i < n; ++i) {
    if (time_[static_cast<std::size_t>(i)] < time_[static_cast<std::size_t>(i - 1)]) runs.push_back(i);
    if (i % (16 * kCancelStride) == 0 && Cancelled(cancel)) return false;
  }
  runs.push_back(n);
  std::vector<bool> dirty(static_cast<std::size_t>((n + Block - 1) / Block), false);
  std::vector<TSegment> order{{0, 0}}, next;
  std::vector<std::int64_t> files, nextRuns;
  std::int64_t work = 0;
  while (runs.size() > 2) {
    next.clear();
    nextRuns.assign(1, 0);
    std::size_t hint = 0;
    // The old segments of [a, b) into the new list.
    const auto copy = [&](std::int64_t a, std::int64_t b) {
      for (std::int64_t i = a; i < b;) {
        const std::int64_t to = MapThrough(order, i, hint);
        AddSegment(next, i, to);
        i = hint + 1 < order.size() ? std::min(b, order[hint + 1].from) : b;
      }
    };
    for (std::size_t k = 0; k + 1 < runs.size(); k += 2) {
      const std::int64_t a = runs[k], b = runs[k + 1];
      if (k + 2 >= runs.size()) {  // an odd run out
        copy(a, b);
        nextRuns.push_back(b);
        break;
      }
      const std::int64_t c = runs[k + 2];
      const float* t = time_.data();
      // Only the end of the first run later than the second's start, and
      // the start of the second earlier than the first's end, move.
      const std::int64_t p = std::upper_bound(t + a, t + b, t[b]) - t;
      const std::int64_t q = std::lower_bound(t + b, t + c, t[b - 1]) - t;
      copy(a, p);
      if (p < b) {
        files.clear();
        for (std::int64_t i = p; i < q; ++i) files.push_back(MapThrough(order, i, hint));
        MergeRuns(p, b, q, files);
        for (std::int64_t i = p; i < q; ++i) AddSegment(next, i, files[static_cast<std::size_t>(i - p)]);
        for (std::int64_t blk = p / Block; blk <= (q - 1) / Block; ++blk) dirty[static_cast<std::size_t>(blk)] = true;
        work += q - p;
        if (work >= kCancelStride) {
          work = 0;
          if (Cancelled(cancel)) return false;
        }
      }
      copy(q, c);
      nextRuns.push_back(c);
    }
    order.swap(next);
    runs.swap(nextRuns);
  }
  sorted_ = true;
  if (explicitAverages_) {
    order.clear();
  } else if (order.size() > 1) {
    order_ = order;
    inverse_.reserve(order.size());
    for (const TSegment& s : order) inverse_.push_back({s.to, s.from});
    std::sort(inverse_.begin(), inverse_.end(), [](const TSegment& x, const TSegment& y) { return x.from < y.from; });
  }
  // The blocks whose records moved.
  TAverageCursor cursor(*this);
  for (std::size_t blk = 0; blk < dirty.size(); ++blk) {
    if (!dirty[blk]) continue;
    const std::int64_t from = static_cast<std::int64_t>(blk) * Block;
    const std::int64_t to = std::min(n, from + Block);
    for (std::int64_t i = from; i < to; ++i) {
      const std::size_t k = static_cast<std::size_t>(i);
      AddToBlock(i == from, rate_[k], cursor.At(i), temperature_[k]);
    }
    StoreBlock(blk);
    work += Block;
    if (work >= kCancelStride) {
      work = 0;
      if (Cancelled(cancel)) return false;
    }
  }
  return true;
}

void TRecordingSeries::SetRateFactor(double rateFactor) {
  factor_ = rateFactor;
  BuildStatistics(nullptr);
}

TRecordingSeries::TStats TRecordingSeries::BlockStats(std::size_t a, std::size_t b) const {
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
  return s;
}

void TRecordingSeries::PushStats(const TStats& s) {
  if (!std::isfinite(s.rateM2) || !std::isfinite(s.tempSum)) statsFinite_ = false;
  stats_.push_back(s);
}

bool TRecordingSeries::BuildStatistics(const std::atomic<bool>* cancel) {
  stats_.clear();
  statsFinite_ = true;
  for (std::int64_t from = 0; from < Size(); from += Block) {
    const std::size_t a = static_cast<std::size_t>(from);
    PushStats(BlockStats(a, static_cast<std::size_t>(std::min(Size(), from + Block))));
    if (from % kCancelStride == 0 && Cancelled(cancel)) return false;
  }
  return true;
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
         checkpoints_.capacity() * sizeof(TSums) + stats_.capacity() * sizeof(TStats) +
         (order_.capacity() + inverse_.capacity()) * sizeof(TSegment);
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

std::int64_t TRecordingSeries::Nearest(double time) const {
  const std::int64_t n = Size();
  if (n == 0 || std::isnan(time)) return -1;
  const float* t = time_.data();
  const std::int64_t after = std::lower_bound(t, t + n, time, [](float a, double b) { return a < b; }) - t;
  if (after == n) return std::lower_bound(t, t + n, t[n - 1]) - t;
  if (after == 0) return 0;
  const std::int64_t before = std::lower_bound(t, t + n, t[after - 1]) - t;
  return time - static_cast<double>(t[after - 1]) <= static_cast<double>(t[after]) - time ? before : after;
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
