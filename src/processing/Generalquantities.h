// Basic parameters of a gyroscope over a time span of a recording: average
// rate, bias error, drift error and random walk.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "processing/Average.h"
#include "settings/Optionsprogramm.h"

// The records of a span, kept in fixed-size blocks: growing never copies
// what is stored, and the memory stays close to 12 bytes per record.
class TQuantPoints {
 public:
  static constexpr std::size_t BlockShift = 16;
  static constexpr std::size_t BlockSize = std::size_t{1} << BlockShift;  // records

  std::size_t size() const { return Count; }
  bool empty() const { return Count == 0; }
  const SamplePoint& operator[](std::size_t i) const {
    return Blocks[i >> BlockShift][i & (BlockSize - 1)];
  }
  void push_back(const SamplePoint& p) {
    if ((Count & (BlockSize - 1)) == 0 && (Count >> BlockShift) == Blocks.size()) AddBlock();
    Blocks[Count >> BlockShift][Count & (BlockSize - 1)] = p;
    ++Count;
  }
  // Allocates the blocks for n records in advance.
  void reserve(std::size_t n);
  // Frees every block.
  void clear();
  // Bytes held for the records (blocks and block table).
  std::size_t MemoryBytes() const;

  // Calls f(const SamplePoint*, count) for the runs of records first..last-1
  // in order, one run per block.
  template <typename F>
  void ForRange(std::size_t first, std::size_t last, F&& f) const {
    while (first < last) {
      const std::size_t block = first >> BlockShift;
      const std::size_t offset = first & (BlockSize - 1);
      std::size_t n = BlockSize - offset;
      if (n > last - first) n = last - first;
      f(Blocks[block].get() + offset, n);
      first += n;
    }
  }

 private:
  void AddBlock();

  std::vector<std::unique_ptr<SamplePoint[]>> Blocks;
  std::size_t Count = 0;
};

// Fed by the calculation dialog record by record; reads DriftTime, Passband,
// RandomWalkTime and EarthRate from its own settings copy. All results are
// in deg/h (random walk in deg/sqrt(h)).
class TGeneralQuant : public TOptionProgramm {
 public:
  TGeneralQuant() = default;

  // Copies the settings part, clears Past and both validity flags and frees
  // all points.
  void SetSettings(const TOptionProgramm& settings);
  // Makes room for n records (for callers that know the record count).
  void Reserve(std::size_t n) { Points.reserve(n); }
  // One record; rate in deg/s. Records with a NaN field are skipped.
  void AddPoint(float time, float rate, float temperature);
  void ComputeMean();
  void ComputeDrift();
  void ComputeRandomWalk();
  // Frees all points and clears Past and both validity flags.
  void Clear();

  TQuantPoints Points;
  SamplePoint CurPoint{};
  double MeanRate = 0;
  double BiasError = 0;
  double DriftError = 0;
  double RandomWalk = 0;
  double Begin = 0;
  double End = 1000.0;
  bool Past = false;
  bool DriftValid = false;
  bool WalkValid = false;
};
