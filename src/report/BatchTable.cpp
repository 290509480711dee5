#include "report/BatchTable.h"

#include <algorithm>
#include <cmath>
#include <charconv>
#include <cstdlib>
#include <limits>

#include "processing/NumberFormat.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The figures the batch compares, by field name, after records and span.
const char* const kFigureFields[] = {"average_value_signal", "drift_error", "random_walk", "bias_error",
                                     "n", "b", "k", "b1", "b2", "c"};
constexpr std::size_t kFirstThermal = 2 + 7;
const char* const kScaleFactorFields[] = {"sf", "sf_bias_deg_h", "sf_k_plus", "sf_k_minus", "sf_asymmetry_ppm",
                                          "sf_nonlinearity_ppm", "sf_tc_ppm_per_c"};

const TFigure* Find(const std::vector<TFigure>& figures, const std::string& field) {
  for (const TFigure& f : figures)
    if (FieldName(f.Caption) == field) return &f;
  return nullptr;
}

const TFigure* Find(const TReportContent& c, const std::string& field) {
  for (const std::vector<TFigure>* table : {&c.Calc.Figures, &c.AllanFigures.Figures, &c.ThermalFigures.Figures})
    if (const TFigure* f = Find(*table, field)) return f;
  return nullptr;
}

// The number a printed figure shows; NaN for "NAN", "" and the like.
double Shown(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  return end == text.c_str() || !std::isfinite(v) ? kNaN : v;
}

}  // namespace

const std::vector<TBatchColumn>& BatchColumns() {
  static const std::vector<TBatchColumn> columns = [] {
    std::vector<TBatchColumn> list = {{"Records", ""}, {"Span", "s"}};
    TReportContent empty;
    empty.Calc = {"calc", CalcFigures(TGeneralQuant{}, 1)};
    empty.AllanFigures = {"allan", AllanFigures(TAllanResult{})};
    empty.ThermalFigures = {"thermal", ThermalFigures(TThermalResult{})};
    for (const char* field : kFigureFields) {
      const TFigure* f = Find(empty, field);
      list.push_back({f ? f->Caption : field, f ? f->Unit : ""});
    }
    return list;
  }();
  return columns;
}

std::size_t BatchFirstThermalColumn() { return kFirstThermal; }

TBatchRow BatchRowOf(const TReportContent& c) {
  TBatchRow row;
  row.Path = c.Path;
  row.FileName = c.FileName;
  row.Ident = c.Identification.Rows.empty() ? std::string() : c.Identification.Rows[0].Text;
  const auto cell = [](const std::string& caption, const std::string& text, const std::string& unit) {
    return TFigure{caption, text, Shown(text), unit};
  };
  row.Cells.push_back(cell("Records", std::to_string(c.SpanRecords), ""));
  row.Cells.push_back(cell("Span", FormatFixed(c.LastRecordTime - c.FirstRecordTime, 15, 6, '.'), "s"));
  for (std::size_t i = 0; i < std::size(kFigureFields); ++i) {
    const TFigure* f = Find(c, kFigureFields[i]);
    const bool none = !f || (row.Cells.size() >= kFirstThermal && !c.Thermal.Valid);
    const TBatchColumn& column = BatchColumns()[row.Cells.size()];
    row.Cells.push_back(cell(column.Caption, none ? std::string() : f->Text, column.Unit));
  }
  for (const TBatchColumn& column : BatchScaleFactorColumns()) {
    const TFigure* f = c.ScaleFactor.Present ? Find(c.ScaleFactorFigures.Figures, column.Caption) : nullptr;
    row.ScaleFactorCells.push_back(cell(column.Caption, f ? f->Text : std::string(), column.Unit));
  }
  row.Limits = c.Limits;
  row.Verdict = c.Verdict;
  return row;
}

const std::vector<TBatchColumn>& BatchScaleFactorColumns() {
  static const std::vector<TBatchColumn> columns = [] {
    std::vector<TBatchColumn> list;
    const std::vector<TFigure> figures = ScaleFactorFigures(TReportScaleFactor{});
    for (const char* field : kScaleFactorFields) {
      const TFigure* f = Find(figures, field);
      list.push_back({field, f ? f->Unit : ""});
    }
    return list;
  }();
  return columns;
}

bool BatchHasScaleFactor(const std::vector<TBatchRow>& rows) {
  for (const TBatchRow& r : rows)
    for (const TFigure& f : r.ScaleFactorCells)
      if (!f.Text.empty()) return true;
  return false;
}

namespace {

std::vector<TBatchSpread> Spread(const std::vector<TBatchRow>& rows, std::vector<TFigure> TBatchRow::*cells,
                                 std::size_t columns) {
  std::vector<TBatchSpread> spread;
  for (std::size_t column = 0; column < columns; ++column) {
    TBatchSpread s{0, kNaN, kNaN, kNaN, kNaN};
    long double sum = 0;
    for (const TBatchRow& r : rows) {
      const double v = (r.*cells)[column].Value;
      if (std::isnan(v)) continue;
      if (s.Count == 0 || v < s.Min) s.Min = v;
      if (s.Count == 0 || v > s.Max) s.Max = v;
      sum += v;
      ++s.Count;
    }
    if (s.Count > 0) {
      s.Mean = static_cast<double>(sum / s.Count);
      long double sq = 0;
      for (const TBatchRow& r : rows) {
        const double v = (r.*cells)[column].Value;
        if (!std::isnan(v)) sq += (v - s.Mean) * static_cast<long double>(v - s.Mean);
      }
      if (s.Count >= 2) s.StdDev = static_cast<double>(std::sqrt(sq / static_cast<long double>(s.Count - 1)));
    }
    spread.push_back(s);
  }
  return spread;
}

}  // namespace

std::vector<TBatchSpread> BatchSpread(const std::vector<TBatchRow>& rows) {
  return Spread(rows, &TBatchRow::Cells, BatchColumns().size());
}

std::vector<TBatchSpread> BatchScaleFactorSpread(const std::vector<TBatchRow>& rows) {
  return Spread(rows, &TBatchRow::ScaleFactorCells, BatchScaleFactorColumns().size());
}

std::string BatchSpreadText(double value) { return std::isnan(value) ? "NAN" : FormatGeneral(value, '.', 10); }

std::string BatchSpreadShown(const std::vector<TBatchRow>& rows, std::size_t column, double value, bool extreme) {
  if (std::isnan(value)) return "NAN";
  int decimals = -1;
  for (const TBatchRow& r : rows) {
    if (column >= r.Cells.size() || std::isnan(r.Cells[column].Value)) continue;
    std::string text = r.Cells[column].Text;
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    if (extreme && r.Cells[column].Value == value) return text;
    if (text.find_first_of("eE") != std::string::npos) return BatchSpreadText(value);
    const std::size_t dot = text.find('.');
    decimals = std::max(decimals, dot == std::string::npos ? 0 : static_cast<int>(text.size() - dot - 1));
  }
  if (decimals < 0) return BatchSpreadText(value);
  char text[512];  // whatever the locale, a decimal point
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals + 1);
  return end.ec == std::errc() ? std::string(text, end.ptr) : BatchSpreadText(value);
}

TVerdict BatchVerdict(const std::vector<TBatchRow>& rows) {
  TVerdict verdict = TVerdict::None;
  for (const TBatchRow& r : rows) verdict = Worse(verdict, r.Verdict);
  return verdict;
}

std::string BatchColumnCaption(const TBatchColumn& column, int sigma) {
  if (FieldName(column.Caption) != "drift_error") return column.Caption;
  return column.Caption + " (" + std::to_string(sigma) + "\u03C3)";
}
