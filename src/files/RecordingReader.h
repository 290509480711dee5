// The one reader of recording files, used by everything that reads them
// (chart, calculation, export, archive copy). Both layouts; records are
// streamed one at a time through a fixed buffer.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "files/Recording.h"
#include "processing/Average.h"

struct TRecordingInfo {
  int FormatVersion = rtd::FormatHeaderless;  // 6 with header, 0 headerless
  float SampleValue = 0;   // as stored
  std::int32_t Sample = 0; // SampleValue truncated toward zero
  std::string Ident;       // identification string (the default for headerless files)
  double Created = 0;      // OLE Automation date, local time (header only)
  std::string CompName;
  std::string UserName;
  std::int64_t FileSize = 0;
  std::int64_t HeaderLength = 0;  // 760 or 4
  std::int64_t DataLength = 0;    // file size minus header; may be negative
  std::int64_t RecordCount = 0;   // whole records in the data (0 when negative)
  std::array<std::uint8_t, rtd::HeaderSize> Header{};  // first 760 bytes, zero-filled
};

class TRecordingReader {
 public:
  TRecordingReader() = default;
  ~TRecordingReader();
  TRecordingReader(const TRecordingReader&) = delete;
  TRecordingReader& operator=(const TRecordingReader&) = delete;

  // Opens the file and reads its header. On failure returns false and
  // Error() tells why (missing, unreadable, or a sample value that is not
  // a number or does not fit an integer).
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  const TRecordingInfo& Info() const { return info_; }
  const std::string& Error() const { return error_; }
  bool Exists() const { return exists_; }

  // Next record in file order; false at the end of the data (a trailing
  // fragment of fewer than 12 bytes is dropped), when the file shrank, or on
  // a read error (then Error() is set).
  bool Next(SamplePoint& record) {
    if (pos_ == end_ && !Fill()) return false;
    std::memcpy(&record, buffer_ + pos_, sizeof record);
    pos_ += sizeof record;
    return true;
  }
  std::int64_t RecordsRead() const { return recordsRead_ - static_cast<std::int64_t>((end_ - pos_) / rtd::RecordSize); }

  // Record number `index` (0-based) read directly, without disturbing Next.
  bool ReadRecordAt(std::int64_t index, SamplePoint& record) const;

  // Reads the header of a file and closes it again.
  static bool ReadInfo(const std::string& path, TRecordingInfo& info, std::string& error);

 private:
  bool Fill();

  static constexpr std::size_t BufferRecords = 8192;
  int fd_ = -1;
  bool exists_ = false;
  TRecordingInfo info_;
  std::string error_;
  std::int64_t remaining_ = 0;   // whole-record bytes still to read
  std::int64_t recordsRead_ = 0; // records brought into the buffer so far
  std::size_t pos_ = 0, end_ = 0;
  alignas(8) std::uint8_t buffer_[BufferRecords * rtd::RecordSize];
};

// The default span of an analysis: the smallest and the largest time of the
// recording's records (records without a time left out; 0 and 0 when there
// is none). A device clock may step back, so the first and the last record
// need not be the ends. False with `error` when the file cannot be read.
bool RecordTimeRange(const std::string& path, double& smallest, double& largest, std::string& error);
