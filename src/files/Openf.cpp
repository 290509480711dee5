#include "files/Openf.h"

#include <cmath>
#include <limits>

#include "files/RecordingReader.h"

void TOpenFile::Reset() {
  Loaded = false;
  RecordingName.clear();
  FileHandle = -1;
  FormatVersion = 0;
}

TLoadResult TOpenFile::Load(TOpenFileSink& sink) {
  Loaded = false;
  error_.clear();
  TRecordingReader reader;
  if (!reader.Open(RecordingName)) {
    error_ = reader.Error();
    return reader.Exists() ? TLoadResult::Unreadable : TLoadResult::Missing;
  }
  const TRecordingInfo& info = reader.Info();
  Info = info;
  Header = info.Header;
  FormatVersion = info.FormatVersion;
  Sample = info.Sample;  // the averaging window follows the recording's own rate

  AverageEngine.Assign(*this);
  AverageEngine.Reset();

  const std::int64_t records = info.RecordCount;
  const double factor = UnitsPerSecond ? 1.0 : static_cast<double>(3600.0f);
  sink.Cancel = Cancel;
  sink.LoadScale(factor, AveragingWindow(AverageEngine));
  sink.LoadStarted(info.Ident, records);
  const std::int64_t step = records / 100;  // a hundredth of the records

  const bool engine = !sink.ReplaysAverage();
  const double noAverage = std::numeric_limits<double>::quiet_NaN();
  const float low = TempLimitMin, high = TempLimitMax;
  bool first = true;
  float lastPlausible = 0;
  std::size_t n = 0;
  std::int64_t read = 0;
  SamplePoint p;
  while (reader.Next(p)) {
    ++read;
    if (read % static_cast<std::int64_t>(BatchSize) == 0 && Cancel && Cancel->load(std::memory_order_relaxed)) {
      sink.LoadFinished();
      error_ = "Reading was stopped before the end.";
      return TLoadResult::Cancelled;
    }
    if (step != 0 && read % step == 0) sink.LoadProgress(read);
    if (std::isnan(p.Time) || std::isnan(p.Rate) || std::isnan(p.Temperature)) continue;
    if (engine) AverageEngine.AddSample(p.Time, p.Rate, p.Temperature);

    float temperature = p.Temperature;
    const bool plausible = low < temperature && temperature < high;
    if (first) {
      if (!plausible) temperature = 0;
      lastPlausible = temperature;
      first = false;
    }
    if (low < temperature && temperature < high) {
      lastPlausible = temperature;
    } else {
      temperature = lastPlausible;
    }
    batch_[n++] = {p.Time, p.Rate, engine ? AverageEngine.Average : noAverage, static_cast<double>(temperature)};
    if (n == batch_.size()) {
      sink.LoadRecords(batch_.data(), n);
      n = 0;
    }
  }
  if (n) sink.LoadRecords(batch_.data(), n);
  sink.LoadFinished();
  if (Cancel && Cancel->load()) {
    error_ = "Reading was stopped before the end.";
    return TLoadResult::Cancelled;
  }
  if (!reader.Error().empty()) {
    error_ = reader.Error();
    return TLoadResult::Unreadable;
  }
  Loaded = true;
  return TLoadResult::Loaded;
}
