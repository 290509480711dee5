// What a test report holds, computed from one recording and a time span
// without any drawing: each section of the report is one small structure
// filled from the results of the analysis functions. The PDF writer
// (ReportPdf.h) lays these out; the command-line tool and the window both
// compute them here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "processing/Allan.h"
#include "files/HeaderText.h"
#include "processing/Thermal.h"
#include "report/Figures.h"
#include "report/Limits.h"
#include "report/ScaleFactorReport.h"
#include "settings/Optionsprogramm.h"

struct TUnitHistory;  // store/UnitHistory.h

// What the report states about the test beyond the recording: its number
// and revision, the conditions and the people who sign it. Empty: the
// report says "not stated".
struct TReportDocument {
  std::string Number, Revision;
  std::string Latitude;  // degrees, behind the Earth rate of the settings
  std::string Axis;      // the input axis' orientation
  std::string Station;   // the test station
  std::string Chamber;   // ambient or chamber temperature as set
  std::string Equipment; // test equipment beyond the recording (rate table, chamber, supply)
  std::string TestedBy, CheckedBy, ApprovedBy;
};

// The document's facts into a computed report: its Document and the rows
// of the conditions and the equipment that show them ("not stated" where
// empty). The window sets them again when the user changes them.
struct TReportContent;
void SetReportDocument(TReportContent& content, const TReportDocument& document);

// The document's fields as the window keeps them between reports: one
// "key: value" line each (number, revision, latitude, axis, chamber,
// station, equipment, tested by, checked by, approved by), and read back
// (unknown keys and other lines skipped; line breaks in a value become
// spaces).
std::string ReportDocumentLines(const TReportDocument& document);
TReportDocument ParseReportDocumentLines(const std::string& text);

struct TReportRequest {
  std::string Path;  // the recording
  // The span; an infinite end means the smallest or largest record time.
  double Begin = -1.0 / 0.0;
  double End = 1.0 / 0.0;
  TOptionProgramm Settings;  // averaging time, drift and random-walk times, passband, Earth rate
  int Sigma = 1;             // 1 or 3
  std::vector<TLimit> Limits;
  std::string CodePage = kDefaultHeaderCodePage;  // of the header's texts, where they are no UTF-8
  TTestSpec Spec;  // the specification the limits come from (its name empty: none)
  TReportDocument Document;
  TReportScaleFactorRequest ScaleFactor;  // the rate-table test (Site.VerticalEarthRate: set here)
};

// A captioned list of values, as the report's tables show them.
struct TReportSection {
  std::string Title;
  std::vector<TFigure> Rows;
};

struct TReportContent {
  std::string Path;
  std::string FileName;  // without folders
  std::string Sha256;    // of the recording file, 64 hexadecimal digits
  // Identification, creation time, file, records, span with its start and
  // end, the data rate measured from the records, the SHA-256 of the file.
  TReportSection Identification;
  TReportSection Settings;        // what shaped the figures
  TReportSection Conditions;      // latitude, input axis, temperatures, station
  TReportSection Equipment;       // station computer, port, firmware where known
  TReportDocument Document;
  TFigureTable Calc;              // basic parameters
  TAllanResult Allan;             // the Allan deviation and its noise terms
  TFigureTable AllanFigures;      // the terms
  TFigureTable AllanCounts;       // confidence, gaps, skipped records
  // The temperature model of the bias (the figures are NaN when the span
  // has too little temperature change; ThermalNote then says why).
  TThermalResult Thermal;
  TFigureTable ThermalFigures;
  std::string ThermalNote;
  // The rate-table test: a page of its own where Present.
  TReportScaleFactor ScaleFactor;
  TFigureTable ScaleFactorFigures;
  double Begin = 0, End = 0;      // the span as used (first and last record time when open)
  std::int64_t SpanRecords = 0;
  double FirstRecordTime = 0, LastRecordTime = 0;  // smallest and largest record time in the span
  int Sigma = 1;                  // the factor of the drift error
  TTestSpec Spec;                 // name, revision and unit type of the limits' specification
  std::vector<TLimitResult> Limits;
  TVerdict Verdict = TVerdict::None;
  double CreatedAt = 0;           // the report's creation time (OLE date, local)
  // From the results store, where asked for: the unit's past tests (its
  // trend pages), and the figures outside its type's control limits (marked
  // in a batch's summary).
  std::shared_ptr<const TUnitHistory> History;
  std::vector<std::string> OutsideControl;
};

// Reads the recording (for the span's ends, the basic parameters, the rates
// of the Allan deviation and the records of the temperature model; the last
// two beside the first on threads of their own) and fills `content`. `progress` (may be empty) gets
// 0..100 about a hundred times; `cancel` (may be null) ends the work early
// (false, error "cancelled"). False with `error` when the file cannot be
// read or the span holds no record.
bool ComputeReport(const TReportRequest& request, TReportContent& content, std::string& error,
                   const std::function<void(int)>& progress = {},
                   const std::atomic<bool>* cancel = nullptr);

// The limits against every figure of the report (basic parameters, noise
// terms, counts, temperature model, scale factor): Limits and Verdict of `content`. The
// command-line tool and the window both evaluate limits here only.
void EvaluateReportLimits(TReportContent& content, const std::vector<TLimit>& limits);
// The units of a batch: the repeatability of K over the units with a
// rate-table test and its temperature coefficient over their temperatures
// go into every unit's scale-factor figures, and each unit's limits are
// evaluated again against them.
TScaleFactorRuns ApplyBatchScaleFactor(std::vector<TReportContent>& units, const std::vector<TLimit>& limits);

// The default report file of a recording: beside it, same name, ".pdf".
std::string DefaultReportPath(const std::string& recording);
// True when `path` names a recording (".rtd", any case), which a report
// must never overwrite.
bool IsRecordingPath(const std::string& path);

// The per-user file of the report limits: "report-limits.txt" in the
// per-user settings folder ($XDG_CONFIG_HOME/ratelog/, default
// ~/.config/ratelog/). Empty when neither variable is set.
std::string ReportLimitsPath(const char* xdgConfigHome, const char* home);
// Beside it, "report-document.txt": the document's fields of the last report.
std::string ReportDocumentPath(const char* xdgConfigHome, const char* home);
