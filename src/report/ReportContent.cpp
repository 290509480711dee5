#include "report/ReportContent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <thread>
#include <utility>

#include "RatelogVersion.h"
#include "files/OleDate.h"
#include "files/RecordingReader.h"
#include "processing/Generalquantities.h"
#include "processing/NumberFormat.h"
#include "report/Sha256.h"

namespace {

TFigure Row(const std::string& caption, const std::string& text, const std::string& unit = {}) {
  return {caption, text, std::nan(""), unit};
}

std::string Fixed(double v, int decimals) { return FormatFixed(v, 15, decimals, '.'); }

// "dd.mm.yyyy hh:mm:ss UTC+hh:mm": the program's local time with the
// offset this computer's time zone has at that date.
std::string DateTimeText(double oleDate) {
  const LocalDateTime t = LocalFromOleDate(oleDate);
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  const long offset = std::mktime(&tm) == -1 ? 0 : tm.tm_gmtoff / 60;
  char text[64];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d UTC%c%02ld:%02ld", t.day, t.month, t.year,
                t.hour, t.minute, t.second, offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
  return text;
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool ComputeReport(const TReportRequest& request, TReportContent& content, std::string& error,
                   const std::function<void(int)>& progress, const std::atomic<bool>* cancel) {
  content = TReportContent{};
  content.Path = request.Path;
  content.FileName = BaseName(request.Path);
  const auto cancelled = [&] { return cancel && cancel->load(std::memory_order_relaxed); };

  TRecordingReader reader;
  if (!reader.Open(request.Path)) {
    error = reader.Error();
    return false;
  }
  const TRecordingInfo info = reader.Info();
  SamplePoint first{}, last{};
  if (info.RecordCount > 0) {
    reader.ReadRecordAt(0, first);
    reader.ReadRecordAt(info.RecordCount - 1, last);
  }
  // The span as `calc` takes it: the smallest to the largest record time
  // by default (a device clock may step back), an inverted span swapped.
  // Over the whole recording (the default) every record with finite fields
  // is in the span, whatever its time, and one read of the records serves
  // both the Allan deviation and the temperature model (whose raw rates'
  // curve it is). It starts at once, before the span's ends are known.
  const double inf = std::numeric_limits<double>::infinity();
  const bool whole = request.Begin == -inf && request.End == inf;
  double smallest = first.Time, largest = last.Time;

  TAllanResult allan;
  std::string allanError;
  bool allanOk = false;
  std::atomic<int> allanPercent{0};
  TThermalResult thermal;
  TReportScaleFactor scaleFactor;
  std::string thermalError;
  bool thermalOk = false;
  // The scale factor and the temperature model of the span's records, the
  // temperature model last as it writes the compensated rates over the
  // records' own; `raw` (may be null) receives the raw rates' Allan
  // deviation.
  const auto model = [&](double from, double to, TAllanResult* raw) {
    std::vector<SamplePoint> records;
    std::int64_t dropped = 0;
    thermalOk = ReadSpanRecords(
        request.Path, from, to, records, thermalError,
        [&](std::int64_t done, std::int64_t all) {
          if (raw && all > 0) allanPercent = static_cast<int>(done * 100 / all);
        },
        cancel, &dropped);
    TThermalOptions options;
    options.TLow = request.Settings.TempLimitMin;
    options.THigh = request.Settings.TempLimitMax;
    if (thermalOk && !cancelled()) {
      TReportScaleFactorRequest sf = request.ScaleFactor;
      sf.Site.VerticalEarthRate = request.Settings.EarthRate;
      scaleFactor = ComputeReportScaleFactor(records, sf);
    }
    if (thermalOk && !cancelled()) thermal = ComputeThermalInPlace(records, options, cancel, raw);
    if (raw) {
      raw->Skipped = dropped;
      allanOk = thermalOk;
      allanError = thermalError;
    }
  };
  // Otherwise the Allan deviation over the span as `allan` reads it, on a
  // thread of its own while the basic parameters are computed here, and the
  // temperature model on a third once the Allan deviation has let go of its
  // rates (the basic parameters keep no records): the span is held once at
  // a time.
  std::thread allanThread([&] {
    if (whole) return model(-inf, inf, &allan);
    struct TStopped {};
    TSpanRates span;
    try {
      allanOk = ReadSpanRates(request.Path, request.Begin, request.End, span, allanError,
                              [&](std::int64_t done, std::int64_t all) {
                                if (cancelled()) throw TStopped{};
                                if (all > 0) allanPercent = static_cast<int>(done * 100 / all);
                              });
    } catch (const TStopped&) {
      allanOk = false;
      allanError = "cancelled";
    }
    TAllanOptions options;
    options.Cancel = cancel;
    if (allanOk) allan = ComputeAllan(span, options);
  });
  std::thread thermalThread;
  // The recording's digest, on a fourth, started once the basic
  // parameters are in and their core is free.
  std::string sha, shaError;
  std::thread shaThread;
  struct TJoin {
    std::thread& t;
    ~TJoin() {
      if (t.joinable()) t.join();
    }
  } join{allanThread}, joinThermal{thermalThread}, joinSha{shaThread};

  if ((!std::isfinite(request.Begin) || !std::isfinite(request.End)) &&
      !RecordTimeRange(request.Path, smallest, largest, error))
    return false;
  double begin = std::isfinite(request.Begin) ? request.Begin : smallest;
  double end = std::isfinite(request.End) ? request.End : largest;
  if (begin > end) std::swap(begin, end);

  // Basic parameters: the records of the span, in file order, until the
  // first record after it (as ComputeBasicParameters reads them).
  TGeneralQuant quant;
  quant.SetSettings(request.Settings);
  quant.Begin = begin;
  quant.End = end;
  const std::int64_t total = std::max<std::int64_t>(info.RecordCount, 1);
  const std::int64_t step = std::max<std::int64_t>(total / 50, 1);
  std::int64_t read = 0;
  SamplePoint p;
  while (!quant.Past && reader.Next(p)) {
    quant.AddPoint(p.Time, p.Rate, p.Temperature);
    if (++read % step == 0) {
      if (cancelled()) {
        error = "cancelled";
        return false;
      }
      if (progress) progress(static_cast<int>(read * 45 / total) + allanPercent * 45 / 100);
    }
  }
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  reader.Close();
  if (quant.Empty()) {
    error = "no record between " + Fixed(begin, 6) + " and " + Fixed(end, 6) + " s in " +
            request.Path;
    return false;
  }
  quant.ComputeMean();
  quant.ComputeDrift();
  quant.ComputeRandomWalk();
  content.Calc = {"calc", CalcFigures(quant, request.Sigma)};
  content.SpanRecords = quant.Records();
  content.FirstRecordTime = quant.EarliestTime();
  content.LastRecordTime = quant.LatestTime();
  quant.Clear();
  shaThread = std::thread([&] { sha = FileSha256(request.Path, shaError, cancel); });
  allanThread.join();
  if (!whole) thermalThread = std::thread([&] { model(begin, end, nullptr); });

  if (!allanOk) {
    error = allanError;
    return false;
  }
  if (cancelled()) {
    error = "cancelled";
    return false;
  }
  if (thermalThread.joinable()) thermalThread.join();
  if (!thermalOk) {
    error = thermalError;
    return false;
  }
  if (cancelled()) {  // the temperature model stopped part way
    error = "cancelled";
    return false;
  }
  shaThread.join();
  if (sha.empty()) {
    error = shaError;
    return false;
  }
  content.Sha256 = sha;
  content.Thermal = std::move(thermal);
  content.ThermalFigures = {"thermal", ThermalFigures(content.Thermal)};
  // The report prints each figure that has an uncertainty to the
  // uncertainty's digits, and its limits compare what it prints.
  RoundFiguresToUncertainty(content.ThermalFigures.Figures);
  if (!content.Thermal.Valid) content.ThermalNote = content.Thermal.Message;
  content.ScaleFactor = std::move(scaleFactor);
  content.ScaleFactorFigures = {"scalefactor", ScaleFactorFigures(content.ScaleFactor)};
  RoundFiguresToUncertainty(content.ScaleFactorFigures.Figures);
  content.Allan = std::move(allan);
  content.AllanFigures = {"allan", AllanFigures(content.Allan)};
  RoundFiguresToUncertainty(content.AllanFigures.Figures);
  content.AllanCounts = {"allan", AllanCounts(content.Allan)};

  content.Begin = begin;
  content.End = end;
  const bool header = info.FormatVersion == rtd::FormatCurrent;
  content.Identification = {
      "Recording",
      {Row("Identification", DecodeHeaderText(info.Ident, request.CodePage)),
       Row("Created", header ? DateTimeText(info.Created) : "unknown (recording without header)"),
       Row("File", content.FileName),
       Row("Records", std::to_string(info.RecordCount)),
       Row("Records in the span", std::to_string(content.SpanRecords)),
       Row("Span", Fixed(begin, 3) + " .. " + Fixed(end, 3), "s")}};
  std::vector<TFigure>& rows = content.Identification.Rows;
  if (header) {
    rows.push_back(Row("Span start", DateTimeText(info.Created + content.FirstRecordTime / 86400.0)));
    rows.push_back(Row("Span end", DateTimeText(info.Created + content.LastRecordTime / 86400.0)));
  }
  // The rate the records show, not the settings': records per second of
  // the span's time.
  const double seconds = content.LastRecordTime - content.FirstRecordTime;
  rows.push_back(Row("Data rate (measured)",
                     content.SpanRecords > 1 && seconds > 0
                         ? FormatGeneral(static_cast<double>(content.SpanRecords - 1) / seconds, '.', 6)
                         : "not measurable (one time)",
                     content.SpanRecords > 1 && seconds > 0 ? "Hz" : ""));
  rows.push_back(Row("Sample setting (header)", std::to_string(info.Sample), "Hz"));
  rows.push_back(Row("Mode", "not stored in the recording"));
  for (std::size_t at = 0; at < content.Sha256.size(); at += 16)
    rows.push_back(Row(at ? "" : "SHA-256 of the file", content.Sha256.substr(at, 16)));
  if (header && !info.UserName.empty())
    content.Identification.Rows.push_back(Row("User", DecodeHeaderText(info.UserName, request.CodePage)));
  if (header && !info.CompName.empty())
    content.Identification.Rows.push_back(Row("Computer", DecodeHeaderText(info.CompName, request.CodePage)));
  const TOptionProgramm& s = request.Settings;
  const bool measured = std::isfinite(content.Thermal.TMin) && std::isfinite(content.Thermal.TMax);
  content.Conditions = {
      "Test conditions",
      {Row("Latitude", ""),
       Row("Input axis", ""),
       Row("Earth rate used", FormatGeneral(request.Settings.EarthRate, '.', 10), "\u00B0/h"),
       Row("Ambient or chamber", ""),
       Row("Temperature (measured)",
           measured ? FormatGeneral(content.Thermal.TMin, '.', 4) + " .. " + FormatGeneral(content.Thermal.TMax, '.', 4)
                    : "not measured",
           measured ? "\u00B0C" : ""),
       Row("Station", "")}};
  content.Equipment = {
      "Equipment",
      {Row("Recording computer", header && !info.CompName.empty() ? DecodeHeaderText(info.CompName, request.CodePage)
                                                                   : "not in the recording"),
       Row("Serial port", "not in the recording"),
       Row("Device firmware", "not in the recording"),
       Row("Evaluation", "Ratelog " RATELOG_VERSION),
       Row("Test equipment", "")}};
  content.Settings = {
      "Settings",
      {Row("Averaging time", std::to_string(s.SafeMeanTime()), "s"),
       Row("Drift time", FormatGeneral(s.DriftTime, '.', 7), "s"),
       Row("Random walk time", FormatGeneral(s.RandomWalkTime, '.', 7), "s"),
       Row("Passband", std::to_string(s.Passband), "Hz"),
       Row("Earth rate", FormatGeneral(s.EarthRate, '.', 10), "\u00B0/h"),
       Row("Sigma", std::to_string(request.Sigma), "")}};

  content.Sigma = request.Sigma;
  content.Spec = request.Spec;
  SetReportDocument(content, request.Document);
  content.Spec.Limits.clear();
  EvaluateReportLimits(content, request.Limits);
  content.CreatedAt = OleDateNow();
  if (progress) progress(100);
  return true;
}

void SetReportDocument(TReportContent& content, const TReportDocument& d) {
  content.Document = d;
  const auto set = [](TReportSection& section, const char* caption, const std::string& text, const char* unit) {
    for (TFigure& row : section.Rows)
      if (row.Caption == caption) {
        row.Text = text.empty() ? "not stated" : text;
        row.Unit = text.empty() ? "" : unit;
      }
  };
  set(content.Conditions, "Latitude", d.Latitude, "\u00B0");
  set(content.Conditions, "Input axis", d.Axis, "");
  set(content.Conditions, "Ambient or chamber", d.Chamber, "");
  set(content.Conditions, "Station", d.Station, "");
  set(content.Equipment, "Test equipment", d.Equipment, "");
}

namespace {

struct TDocumentKey {
  const char* key;
  std::string TReportDocument::*field;
};
const TDocumentKey kDocumentKeys[] = {
    {"number", &TReportDocument::Number},       {"revision", &TReportDocument::Revision},
    {"latitude", &TReportDocument::Latitude},   {"axis", &TReportDocument::Axis},
    {"chamber", &TReportDocument::Chamber},     {"station", &TReportDocument::Station},
    {"equipment", &TReportDocument::Equipment}, {"tested by", &TReportDocument::TestedBy},
    {"checked by", &TReportDocument::CheckedBy}, {"approved by", &TReportDocument::ApprovedBy}};

}  // namespace

std::string ReportDocumentLines(const TReportDocument& d) {
  std::string text;
  for (const TDocumentKey& k : kDocumentKeys) {
    std::string value = d.*k.field;
    for (char& c : value)
      if (c == '\n' || c == '\r') c = ' ';
    text += std::string(k.key) + ": " + value + "\n";
  }
  return text;
}

TReportDocument ParseReportDocumentLines(const std::string& text) {
  TReportDocument d;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(": ");
    if (colon == std::string::npos) continue;
    for (const TDocumentKey& k : kDocumentKeys)
      if (line.compare(0, colon, k.key) == 0 && std::string(k.key).size() == colon) d.*k.field = line.substr(colon + 2);
  }
  return d;
}

void EvaluateReportLimits(TReportContent& content, const std::vector<TLimit>& limits) {
  content.Limits = EvaluateLimits(
      limits, {content.Calc, content.AllanFigures, content.AllanCounts, content.ThermalFigures,
               content.ScaleFactorFigures});
  content.Verdict = Verdict(content.Limits);
}

TScaleFactorRuns ApplyBatchScaleFactor(std::vector<TReportContent>& units, const std::vector<TLimit>& limits) {
  std::vector<TReportScaleFactor*> sf;
  for (TReportContent& c : units) sf.push_back(&c.ScaleFactor);
  const TScaleFactorRuns runs = ApplyRunsToUnits(sf);
  for (TReportContent& c : units) {
    c.ScaleFactorFigures = {"scalefactor", ScaleFactorFigures(c.ScaleFactor)};
    RoundFiguresToUncertainty(c.ScaleFactorFigures.Figures);
    EvaluateReportLimits(c, limits);
  }
  return runs;
}

std::string DefaultReportPath(const std::string& recording) {
  const auto slash = recording.find_last_of('/');
  const auto dot = recording.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? recording.substr(0, dot) : recording) + ".pdf";
}

bool IsRecordingPath(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext == ".rtd";
}

std::string ReportLimitsPath(const char* xdgConfigHome, const char* home) {
  std::string folder;
  if (xdgConfigHome && *xdgConfigHome) folder = xdgConfigHome;
  else if (home && *home) folder = std::string(home) + "/.config";
  else return {};
  return folder + "/ratelog/report-limits.txt";
}

std::string ReportDocumentPath(const char* xdgConfigHome, const char* home) {
  const std::string limits = ReportLimitsPath(xdgConfigHome, home);
  return limits.empty() ? limits : limits.substr(0, limits.rfind('/') + 1) + "report-document.txt";
}
