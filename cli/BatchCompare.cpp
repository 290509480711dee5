#include "cli/BatchCompare.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliCommands.h"
#include "cli/Fields.h"
#include "files/RecordingReader.h"
#include "processing/Allan.h"
#include "processing/BasicParameters.h"
#include "processing/NumberFormat.h"

namespace cli {

namespace {

// The figures of one recording, each as calc or allan shows it (Text) and
// as the number behind it (NaN where there is none).
struct Cell {
  std::string Text;
  std::string Json;
  double Value = std::numeric_limits<double>::quiet_NaN();
};

struct Column {
  const char* Caption;
  const char* Dimension;
};

// Records and span, then the four basic parameters (1 sigma), then the
// Allan read-outs.
const Column kColumns[] = {
    {"Records", ""},
    {"Span", "s"},
    {"Average value signal", "\u00B0/h"},
    {"Drift error", "\u00B0/h"},
    {"Random walk", "\u00B0/Vh"},
    {"Bias error", "\u00B0/h"},
    {"N", "\u00B0/Vh"},
    {"B", "\u00B0/h"},
    {"K", "\u00B0/h/Vh"},
};
constexpr std::size_t kColumnCount = sizeof kColumns / sizeof kColumns[0];

struct Unit {
  std::string Path;
  std::string Ident;
  std::vector<Cell> Cells;
};

Cell Count(std::int64_t n) {
  return {std::to_string(n), std::to_string(n), static_cast<double>(n)};
}
// The spread is taken over the figures as the table shows them.
Cell Shown(const std::string& text) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !std::isfinite(v)) v = std::numeric_limits<double>::quiet_NaN();
  return {text, JsonNumberText(text), v};
}
Cell Allan(const TAllanLine& term) {
  return Shown(FormatGeneral(term.Found ? term.Value : std::numeric_limits<double>::quiet_NaN(), '.', 10));
}

// Identifications come from devices: control characters are shown escaped
// so that they cannot break the table.
std::string Printable(const std::string& text) {
  std::string out;
  char hex[8];
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '\\') {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

// One recording through the same steps as calc and allan: the span runs
// from its first to its last record unless begin or end is given.
bool Measure(const std::string& path, const TOptionProgramm& settings, std::optional<double> begin,
             std::optional<double> end, Unit& unit, std::string& error) {
  TRecordingReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  unit.Path = path;
  unit.Ident = reader.Info().Ident;
  SamplePoint first{}, last{};
  const std::int64_t n = reader.Info().RecordCount;
  if (n > 0) {
    reader.ReadRecordAt(0, first);
    reader.ReadRecordAt(n - 1, last);
  }
  reader.Close();
  double calcBegin = begin.value_or(first.Time), calcEnd = end.value_or(last.Time);
  if (calcBegin > calcEnd) std::swap(calcBegin, calcEnd);
  TGeneralQuant quant;
  if (!ComputeBasicParameters(path, settings, calcBegin, calcEnd, quant, error)) return false;
  TSpanRates span;
  if (!ReadSpanRates(path, begin.value_or(-std::numeric_limits<double>::infinity()),
                     end.value_or(std::numeric_limits<double>::infinity()), span, error))
    return false;
  const TAllanResult allan = ComputeAllan(span);
  const auto rows = BasicParameterRows(quant, 1, '.');
  const double spanSeconds = span.Rates.empty() ? 0.0 : span.LastTime - span.FirstTime;
  unit.Cells = {Count(static_cast<std::int64_t>(span.Rates.size())),
                Shown(FormatFixed(spanSeconds, 15, 6, '.')),
                Shown(rows[0].Value),
                Shown(rows[1].Value),
                Shown(rows[2].Value),
                Shown(rows[3].Value),
                Allan(allan.N),
                Allan(allan.B),
                Allan(allan.K)};
  return true;
}

// Mean, standard deviation (divide by n, as the program's other statistics),
// minimum and maximum of a column over the units that have the figure.
struct Spread {
  std::size_t Count = 0;
  double Mean = NAN, StdDev = NAN, Min = NAN, Max = NAN;
};

Spread SpreadOf(const std::vector<Unit>& units, std::size_t column) {
  Spread s;
  long double sum = 0;
  for (const Unit& u : units) {
    const double v = u.Cells[column].Value;
    if (std::isnan(v)) continue;
    if (s.Count == 0 || v < s.Min) s.Min = v;
    if (s.Count == 0 || v > s.Max) s.Max = v;
    sum += v;
    ++s.Count;
  }
  if (s.Count == 0) return s;
  s.Mean = static_cast<double>(sum / s.Count);
  long double sq = 0;
  for (const Unit& u : units) {
    const double v = u.Cells[column].Value;
    if (!std::isnan(v)) sq += (v - s.Mean) * static_cast<long double>(v - s.Mean);
  }
  s.StdDev = static_cast<double>(std::sqrt(sq / s.Count));
  return s;
}

std::string StatText(double v) { return std::isnan(v) ? "NAN" : FormatGeneral(v, '.', 10); }

}  // namespace

int Batch(const Options& o, std::ostream& out, std::ostream& err) {
  if (o.positional.empty()) throw UsageError{"batch needs the recordings of the batch"};
  TOptionProgramm settings;
  if (!LoadSettings(o, settings, err)) return ExitFailure;
  const std::optional<double> begin = o.Number("begin"), end = o.Number("end");

  std::vector<Unit> units;
  int code = ExitOk;
  for (const std::string& path : o.positional) {
    Unit unit;
    std::string error;
    if (!Measure(path, settings, begin, end, unit, error)) {
      err << "ratelog-cli: cannot read recording " << error << " (left out)\n";
      code = ExitFailure;
      continue;
    }
    if (unit.Cells[0].Value == 0) {
      err << "ratelog-cli: no record in the span in " << path << " (its figures are NAN)\n";
      code = ExitFailure;
    }
    units.push_back(std::move(unit));
  }
  std::vector<Spread> spread;
  for (std::size_t c = 0; c < kColumnCount; ++c) spread.push_back(SpreadOf(units, c));

  if (o.Flag("json")) {
    // {"recordings": [{"file": .., "identification": .., "records": .., ...}],
    //  "mean": {...}, "std_dev": {...}, "minimum": {...}, "maximum": {...},
    //  "count": {...}, "units": {...}}
    std::string rows = "\"recordings\": [";
    for (std::size_t i = 0; i < units.size(); ++i) {
      std::vector<Field> fields = {TextField("File", units[i].Path), TextField("Identification", units[i].Ident)};
      for (std::size_t c = 0; c < kColumnCount; ++c)
        fields.push_back({kColumns[c].Caption, units[i].Cells[c].Text, units[i].Cells[c].Json});
      rows += (i ? ", " : "") + JsonObject(fields);
    }
    rows += "]";
    auto statObject = [&](double Spread::*member) {
      std::vector<Field> fields;
      for (std::size_t c = 0; c < kColumnCount; ++c)
        fields.push_back({kColumns[c].Caption, "", JsonNumber(spread[c].*member)});
      return JsonObject(fields);
    };
    std::vector<Field> counts, dims;
    for (std::size_t c = 0; c < kColumnCount; ++c) {
      counts.push_back(IntegerField(kColumns[c].Caption, static_cast<std::int64_t>(spread[c].Count)));
      dims.push_back(TextField(kColumns[c].Caption, kColumns[c].Dimension));
    }
    out << "{" << rows << ", \"mean\": " << statObject(&Spread::Mean) << ", \"std_dev\": "
        << statObject(&Spread::StdDev) << ", \"minimum\": " << statObject(&Spread::Min)
        << ", \"maximum\": " << statObject(&Spread::Max) << ", \"count\": " << JsonObject(counts)
        << ", \"units\": " << JsonObject(dims) << "}\n";
    return code;
  }

  // Tab-separated: a heading, one row per recording, then the spread.
  out << "File\tIdentification";
  for (const Column& c : kColumns) out << "\t" << c.Caption << (*c.Dimension ? " " : "") << c.Dimension;
  out << "\n";
  for (const Unit& u : units) {
    out << Printable(u.Path) << "\t" << Printable(u.Ident);
    for (const Cell& cell : u.Cells) out << "\t" << cell.Text;
    out << "\n";
  }
  const struct {
    const char* name;
    double Spread::*member;
  } stats[] = {{"Mean", &Spread::Mean}, {"Std dev", &Spread::StdDev}, {"Minimum", &Spread::Min},
               {"Maximum", &Spread::Max}};
  for (const auto& s : stats) {
    out << s.name << "\t";
    for (const Spread& sp : spread) out << "\t" << StatText(sp.*(s.member));
    out << "\n";
  }
  return code;
}

}  // namespace cli
