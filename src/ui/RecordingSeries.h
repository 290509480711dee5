// The points of a loaded recording as the chart keeps them: the records as
// read (time, rate in deg/s, charted temperature; 12 bytes each), the
// running average rebuilt on demand from checkpoints of its sums, and per
// block of records the smallest and largest value of each series and the
// sums of the zoom statistics. About 12.5 bytes per record in all, where
// three series of (key, value) pairs of doubles would take 48.
//
// The rate is shown in deg/s or deg/h: the unit is a factor applied when a
// value is read, so a unit switch changes no stored point.
#pragma once

#include <QVector>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "processing/Average.h"

// Memory for the large arrays of a recording: from 4 MB up on transparent
// huge pages where the system offers them, so loading a long recording
// takes one page fault per 2 MB rather than per 4 kB.
void* RecordingAllocate(std::size_t bytes);
void RecordingFree(void* p, std::size_t bytes);
template <class T>
struct TRecordingAllocator {
  using value_type = T;
  TRecordingAllocator() = default;
  template <class U>
  TRecordingAllocator(const TRecordingAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(RecordingAllocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { RecordingFree(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const TRecordingAllocator<U>&) const {
    return true;
  }
};

class QCPAxis;
class QCPGraphData;
class TAverRmsStatic;
struct TChartRecord;

class TRecordingSeries {
 public:
  enum TSeries { Rate = 0, Average = 1, Temperature = 2 };
  static constexpr int Block = 256;

  // Loading, in file order. `records`: the expected number (storage is
  // reserved for it; std::bad_alloc when there is no memory for it).
  // `window`: the averaging window of the running average, in records.
  // `rateFactor`: display units per deg/s (1 or 3600).
  void Start(std::int64_t records, std::int32_t window, double rateFactor);
  // One record as read and charted: `average` is the running average in
  // deg/s that the reader's engine gave after this record.
  void Append(float time, float rate, double average, float temperature);
  // Records as read, whose running average the store computes itself (the
  // same operations as the reader's engine, so the reader need not run
  // one): time and temperature as f32, rate as read.
  void AppendReplayed(const TChartRecord* records, std::size_t n);
  // Loading is over: the last block is indexed, records out of time order
  // are put in order (stable: equal times keep their file order) and the
  // statistics are summed. Setting `cancel` (from another thread) ends the
  // work within a few milliseconds: false, and the store is unusable.
  bool Finish(const std::atomic<bool>* cancel = nullptr);

  std::int64_t Size() const { return static_cast<std::int64_t>(time_.size()); }
  double RateFactor() const { return factor_; }
  // A new display unit for the rate and average (the statistics' sums
  // follow).
  void SetRateFactor(double rateFactor);

  // The value of point i of a series, as charted.
  double Key(std::int64_t i) const { return static_cast<double>(time_[static_cast<std::size_t>(i)]); }
  // The point whose time is nearest to `time` (of equal distances the
  // earlier; of equal times the first); -1 when there is none.
  std::int64_t Nearest(double time) const;
  double Value(TSeries series, std::int64_t i) const;
  // Smallest and largest finite key and value of a series; false when it
  // has none.
  bool Extent(TSeries series, double& keyLow, double& keyHigh, double& valueLow,
              double& valueHigh) const;

  // The line the chart draws for a series on `keyAxis` (the points of the
  // visible key range, reduced by the adaptive sampling of a QCPGraph
  // exactly as if every point were in the graph).
  void LineData(TSeries series, const QCPAxis* keyAxis, bool adaptiveSampling,
                QVector<QCPGraphData>* lineData) const;

  // The zoom statistics of the points whose time lies in [begin, end]:
  // mean and RMS of the rate (in the display unit, each point taken as a
  // single-precision float) and mean temperature, into `out` (Mean, Rms,
  // TempMean); false and zeros for fewer than 3 points. The same numbers
  // as offering the points one by one to `out`, from sums by block.
  bool SpanStatistics(double begin, double end, TAverRmsStatic& out) const;

  // Bytes held, for the benchmarks.
  std::size_t MemoryBytes() const;

  // Where a run of positions [from, next segment's from) maps to: `to` and
  // on.
  struct TSegment {
    std::int64_t from, to;
  };

 private:
  class TAverageCursor;
  struct TSums {
    long double sum = 0, prevSum = 0;
  };
  struct TStats {
    long double rateSum = 0, rateM2 = 0, tempSum = 0;
  };

  struct TRow;

  void AppendSteady(const TChartRecord* records, std::size_t n);
  void CloseSteadyBlock();
  void AddToBlock(bool first, float rate, double average, float temperature);
  void CloseBlock();
  void StoreBlock(std::size_t block);
  // The zoom statistics' sums of positions [from, to).
  TStats BlockStats(std::size_t from, std::size_t to) const;
  void PushStats(const TStats& s);
  bool BuildStatistics(const std::atomic<bool>* cancel);
  void MakeAveragesExplicit();
  bool SortByTime(const std::atomic<bool>* cancel);
  void MergeRuns(std::int64_t from, std::int64_t middle, std::int64_t to, std::vector<std::int64_t>& files);
  TRow Row(std::int64_t i) const;
  void SetRow(std::int64_t i, const TRow& row);
  // The running average's step for record i in file order: `rate` is its
  // rate, `dropped` that of record i - window (when there is one).
  void StepAverage(TSums& s, std::int64_t i, float rate, float dropped, double& average) const;
  // The rate of the record at file position i.
  float FileRate(std::int64_t i, std::size_t& hint) const;

  // The records in time order.
  template <class T>
  using TArray = std::vector<T, TRecordingAllocator<T>>;
  TArray<float> time_, rate_, temperature_;
  // Records read out of time order: the file position of each position
  // (order_) and its inverse, as runs of consecutive positions; empty when
  // the positions are the file's.
  std::vector<TSegment> order_, inverse_;
  std::int32_t window_ = 1;
  double factor_ = 1;
  // The running average: sums before the first record of each block, or,
  // for recordings that cannot be replayed (records out of time order),
  // every value.
  std::vector<TSums> checkpoints_;
  TArray<double> averages_;
  bool explicitAverages_ = false;
  bool averageNaN_ = false;  // the sampling must look at every average point
  // Per block: smallest and largest value of each series (rate and
  // average in deg/s).
  std::vector<float> rateLow_, rateHigh_, temperatureLow_, temperatureHigh_;
  std::vector<double> averageLow_, averageHigh_;
  std::vector<TStats> stats_;
  bool statsFinite_ = true;  // otherwise the statistics take every point
  // Finite extents: keys, and values of each series (rate and average in
  // deg/s).
  struct TRange {
    bool found = false;
    double low = 0, high = 0;
    void Add(double v) {
      if (!(v - v == 0)) return;  // not finite
      if (!found) {
        found = true;
        low = high = v;
      } else if (v < low) {
        low = v;
      } else if (v > high) {
        high = v;
      }
    }
  };
  TRange keys_;
  TRange values_[3];
  // Loading: the replayed sums and the open block's extremes.
  TSums replay_;
  float blockRate_[2] = {0, 0}, blockTemperature_[2] = {0, 0};
  double blockAverage_[2] = {0, 0};
  float blockTime_[2] = {0, 0};
  long double blockNumerator_[2] = {0, 0};
  bool steadyBlock_ = false;  // the open block is filled by AppendSteady
  bool sorted_ = true;
};
