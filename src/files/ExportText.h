// Text export of a recording: a header text and one line per record in
// fixed-width, semicolon-closed columns, optionally split into files of at
// most 32000 lines. Streams the recording through TRecordingReader; memory
// use does not depend on the recording's length. No window code here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Lines per file when the export is split ("Format Excel").
inline constexpr std::int64_t ExportLinesPerFile = 32000;

// Writes `value` as printf's "%-<width>.<decimals>f" in the C locale would
// (exactly rounded, "." as decimal point, "-" for negative values and -0),
// left-justified and padded with spaces to `width`, and returns the end.
// NaN gives "NAN", infinities "INF" and "-INF", in the same field. `out`
// needs room for max(width, 60) characters. decimals 0..9.
char* WriteFixedField(char* out, float value, int width, int decimals);

// The header text (the lines above the records). sourceName: the
// recording's path as the file system's bytes; now and created: OLE dates
// (created is used for format version 6 only).
std::string ExportHeaderText(const std::string& sourceName, double now, std::int32_t sample,
                             int formatVersion, double created, bool rate, bool temperature);

// The output name without its ".txt": a trailing ".txt" of a chosen name
// (any case) is removed; nothing else is.
std::string ExportBaseFromChosen(const std::string& chosen);
// The output name without ".txt" when no name was chosen: the recording's
// path without a trailing ".rtd" (any case).
std::string ExportBaseFromRecording(const std::string& recording);
// The n-th file of an export: base + ".txt", then base + "_1.txt", ...
std::string ExportPartName(const std::string& base, int part);

struct TExportJob {
  std::string SourceName;  // the recording
  std::string BaseName;    // output path without ".txt"
  double BeginTime = 0;    // records with BeginTime <= time <= EndTime
  double EndTime = 0;
  bool Rate = false;
  bool Temperature = false;
  bool Excel = false;      // split every ExportLinesPerFile lines
  std::int32_t Sample = 0; // the recording's sample value, for the header
  int FormatVersion = 0;   // of the loaded recording: 6 with header, 0 headerless
  double Now = 0;          // OLE date of the run
};

enum class TExportStatus {
  Complied,          // every line written
  SourceMissing,     // the recording no longer exists: nothing written
  SourceUnreadable,  // the recording cannot be opened or read
  OutputFailed,      // an output file cannot be created or written
  OutputIsRecording, // an output name resolves to the recording or another .rtd
  BadRecording,      // a record whose time is not a number ended the export
};

struct TExportResult {
  TExportStatus Status = TExportStatus::Complied;
  std::vector<std::string> Files;  // the output files created, in order
  std::int64_t Lines = 0;          // record lines written
  std::string Path;                // the file concerned by a failure
  std::string Reason;              // the OS reason of a failure
};

// progress(recordsRead, recordCount): about a hundred times per export
// (and once at the end when the recording has fewer than 100 records).
using TExportProgress = std::function<void(std::int64_t, std::int64_t)>;

TExportResult RunTextExport(const TExportJob& job, const TExportProgress& progress = {});
