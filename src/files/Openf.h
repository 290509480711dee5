// The recording reader of the chart: reads a recording whole, runs its own
// running-average engine over it (unless the sink computes the average
// itself), and hands the chart its points (rate, average and plausible
// temperature) in batches. No window code here: the
// chart, the identification label and the progress gauge are behind
// TOpenFileSink.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "files/Recording.h"
#include "files/RecordingReader.h"
#include "processing/Average.h"
#include "settings/Optionsprogramm.h"

// One record as charted: time (s); rate as read and running average, both
// in deg/s (the display unit is LoadScale's factor on them); the
// temperature to chart (deg C).
struct TChartRecord {
  double Time;
  float Rate;
  double Average;
  double Temperature;
};

class TOpenFileSink {
 public:
  virtual ~TOpenFileSink() = default;
  // The header is read: the identification to show and the number of
  // records (the gauge's maximum); the gauge is shown at 0.
  virtual void LoadStarted(const std::string& ident, std::int64_t records) = 0;
  // Before LoadStarted: display units of the rate per deg/s (1 or 3600)
  // and the running average's window in records.
  virtual void LoadScale(double /*rateFactor*/, std::int32_t /*averageWindow*/) {}
  // About a hundred times per load: records read so far.
  virtual void LoadProgress(std::int64_t recordsRead) = 0;
  // The next records, in file order (NaN records left out).
  virtual void LoadRecords(const TChartRecord* records, std::size_t n) = 0;
  // Reading is over, successfully or not: hide the gauge. Long work done
  // here looks at Cancel.
  virtual void LoadFinished() = 0;
  // True when the sink computes the running average itself from the
  // records: the reader then runs no engine and LoadRecords's averages are
  // NaN.
  virtual bool ReplaysAverage() const { return false; }

  // The reader's cancel flag during a Load (may be null).
  const std::atomic<bool>* Cancel = nullptr;
};

enum class TLoadResult {
  Loaded,      // read to the end
  Missing,     // no such file: nothing happened
  Unreadable,  // cannot be opened or read, or its sample value is no number
  Cancelled,   // stopped on request before the end (the window is closing)
};

class TOpenFile : public TOptionProgramm {
 public:
  static constexpr std::size_t BatchSize = 65536;

  TOpenFile() = default;

  // Loaded := false, RecordingName := "", FileHandle := -1, FormatVersion := 0.
  void Reset();
  // Reads RecordingName with this object's settings (whose Sample becomes
  // the recording's own), feeding the engine and the sink. Loaded tells the
  // result; on Unreadable, Error() says why, and the records handed to the
  // sink before the failure stay with it.
  TLoadResult Load(TOpenFileSink& sink);
  bool LoadedOk() const { return Loaded; }
  const std::string& Error() const { return error_; }

  TFastAverageRms AverageEngine;
  std::string RecordingName;
  int FileHandle = -1;
  bool Loaded = false;
  bool UnitsPerSecond = false;
  std::array<std::uint8_t, rtd::HeaderSize> Header{};
  std::int32_t FormatVersion = 0;
  // The header fields of the last recording opened (identification, sample
  // value, creation time, names).
  TRecordingInfo Info;
  // Set from another thread, ends a Load within a batch of records, or the
  // sink's work after the reading (Cancelled). May stay null.
  const std::atomic<bool>* Cancel = nullptr;

 private:
  std::string error_;
  std::array<TChartRecord, BatchSize> batch_;  // written before it is read
};
