#include "report/Figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "processing/BasicParameters.h"
#include "processing/NumberFormat.h"
#include "report/ScaleFactorReport.h"

std::string FieldName(const std::string& caption) {
  std::string out;
  for (std::size_t i = 0; i < caption.size(); ++i) {
    const char c = caption[i];
    if (c >= 'A' && c <= 'Z') {
      // A capital after a small letter starts a word: "UserName".
      if (i > 0 && caption[i - 1] >= 'a' && caption[i - 1] <= 'z') out += '_';
      out += static_cast<char>(c - 'A' + 'a');
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += c;
    } else if (!out.empty() && out.back() != '_') {
      out += '_';
    }
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

double PrintedNumber(const std::string& text) {
  const char* begin = text.c_str();
  while (*begin == ' ') ++begin;
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin) return std::numeric_limits<double>::quiet_NaN();
  while (*end == ' ') ++end;
  return *end || !std::isfinite(value) ? std::numeric_limits<double>::quiet_NaN() : value;
}

namespace {

// An Allan read-out as the allan table prints it (ten significant digits,
// "NAN" where the region is not in the data); the value is the read-out
// itself, as the JSON output gives it.
TFigure Readout(const char* caption, double value, const char* unit) {
  return {caption, FormatGeneral(value, '.', 10),
          std::isfinite(value) ? value : std::numeric_limits<double>::quiet_NaN(), unit};
}

}  // namespace

std::vector<TFigure> CalcFigures(const TGeneralQuant& quant, int sigmaFactor) {
  std::vector<TFigure> figures;
  for (const TBasicParameterRow& row : BasicParameterRows(quant, sigmaFactor, '.'))
    figures.push_back({row.Name, row.Value, PrintedNumber(row.Value), row.Dimension});
  return figures;
}

std::vector<TFigure> AllanFigures(const TAllanResult& r) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto term = [&](const char* caption, const TAllanLine& l, const char* unit) {
    return Readout(caption, l.Found ? l.Value : nan, unit);
  };
  std::vector<TFigure> figures = {term("Q", r.Q, "arcsec"),
                                  term("N", r.N, "\u00B0/Vh"),
                                  term("B", r.B, "\u00B0/h"),
                                  Readout("B tau", r.B.Found ? r.BTau : nan, "s"),
                                  term("K", r.K, "\u00B0/h/Vh"),
                                  term("R", r.R, "\u00B0/h^2")};
  // Each term's interval, then the bound on B where B is not reported.
  const struct {
    const char* lo;
    const char* hi;
    const TAllanLine& line;
    const char* unit;
  } bounds[] = {{"Q lo", "Q hi", r.Q, "arcsec"},
                {"N lo", "N hi", r.N, "\u00B0/Vh"},
                {"B lo", "B hi", r.B, "\u00B0/h"},
                {"K lo", "K hi", r.K, "\u00B0/h/Vh"},
                {"R lo", "R hi", r.R, "\u00B0/h^2"}};
  for (const auto& b : bounds) {
    figures.push_back(Readout(b.lo, b.line.Found ? b.line.Lo : nan, b.unit));
    figures.push_back(Readout(b.hi, b.line.Found ? b.line.Hi : nan, b.unit));
  }
  figures.push_back(Readout("B upper", r.B.Found ? nan : r.BUpper, "\u00B0/h"));
  return figures;
}

std::vector<TFigure> AllanCounts(const TAllanResult& r) {
  const auto count = [](const char* caption, std::int64_t n) {
    return TFigure{caption, std::to_string(n), static_cast<double>(n), ""};
  };
  return {{"Confidence", FormatGeneral(r.Confidence, '.', 6), r.Confidence, ""},
          count("Gaps", r.Gaps),
          {"Gap s", FormatGeneral(r.GapSeconds, '.', 6), r.GapSeconds, "s"},
          count("Backward", r.Backward),
          count("Skipped", r.Skipped)};
}

std::vector<TFigure> ThermalFigures(const TThermalResult& r) {
  // Each figure as `thermal` prints it, fitted or not: the temperature
  // range and the raw Allan read-outs of a soak are measured all the same.
  const auto figure = [&](const std::string& name, double value, const char* unit) {
    return Readout(name.c_str(), value, unit);
  };
  const char* units[] = {"\u00B0/h", "\u00B0/h/\u00B0C", "\u00B0/h/\u00B0C^2", "\u00B0/h/\u00B0C^3"};
  std::vector<TFigure> figures;
  for (int k = 0; k <= 3; ++k) {
    const std::string name = "b" + std::to_string(k);
    figures.push_back(figure(name, r.B[k], units[k]));
    figures.push_back(figure(name + "_se", r.BSe[k], units[k]));
  }
  figures.push_back(figure("c", r.C, "\u00B0/h/(\u00B0C/min)"));
  figures.push_back(figure("c_se", r.CSe, "\u00B0/h/(\u00B0C/min)"));
  figures.push_back(figure("bias_tref_deg_h", r.BiasRef, "\u00B0/h"));
  figures.push_back(figure("bias_tref_deg_h_se", r.BiasRefSe, "\u00B0/h"));
  figures.push_back(figure("residual_rms_deg_h", r.ResidualRms, "\u00B0/h"));
  figures.push_back(figure("residual_rms_avg_deg_h", r.ResidualRmsAvg, "\u00B0/h"));
  figures.push_back(figure("r2", r.R2, ""));
  figures.push_back(figure("t_min_c", r.TMin, "\u00B0C"));
  figures.push_back(figure("t_max_c", r.TMax, "\u00B0C"));
  figures.push_back(figure("hysteresis_deg_h", r.Hysteresis, "\u00B0/h"));
  figures.push_back(figure("hysteresis_deg_h_se", r.HysteresisSe, "\u00B0/h"));
  figures.push_back(figure("n_raw", r.NRaw, "\u00B0/Vh"));
  figures.push_back(figure("b_raw", r.BRaw, "\u00B0/h"));
  figures.push_back(figure("n_compensated", r.NCompensated, "\u00B0/Vh"));
  figures.push_back(figure("b_compensated", r.BCompensated, "\u00B0/h"));
  return figures;
}

std::vector<std::string> KnownFieldNames() {
  std::vector<std::string> names;
  const TGeneralQuant quant;
  for (const TFigure& f : CalcFigures(quant, 1)) names.push_back(FieldName(f.Caption));
  for (const TFigure& f : AllanCounts(TAllanResult{})) names.push_back(FieldName(f.Caption));
  for (const TFigure& f : AllanFigures(TAllanResult{})) names.push_back(FieldName(f.Caption));
  for (const TFigure& f : ThermalFigures(TThermalResult{})) names.push_back(FieldName(f.Caption));
  for (const TFigure& f : ScaleFactorFigures(TReportScaleFactor{})) names.push_back(FieldName(f.Caption));
  return names;
}

namespace {

// `v` with its last printed digit at 10^last.
std::string AtDigit(double v, int last) {
  char text[64];
  if (last >= -12) {
    const double unit = std::pow(10.0, last);
    const double rounded = last > 0 ? std::round(v / unit) * unit : v;
    std::snprintf(text, sizeof text, "%.*f", std::max(0, -last), rounded);
  } else {
    const int digits = static_cast<int>(std::floor(std::log10(std::fabs(v)))) - last;
    std::snprintf(text, sizeof text, "%.*E", std::max(1, digits), v);
  }
  std::string s = text;
  if (s.find_first_not_of("-0.") == std::string::npos && s[0] == '-') s.erase(0, 1);  // no "-0.00"
  return s;
}

// The exponent of the last of two significant digits of `u` (u > 0).
int LastDigit(double u) {
  int e = static_cast<int>(std::floor(std::log10(u)));
  if (std::round(u / std::pow(10.0, e - 1)) >= 100) ++e;  // 0.000996 is 0.0010
  return e - 1;
}

}  // namespace

bool RoundToUncertainty(double value, double uncertainty, std::string& valueText, std::string& uncertaintyText) {
  if (!std::isfinite(value) || !std::isfinite(uncertainty) || !(uncertainty > 0)) return false;
  const int last = LastDigit(uncertainty);
  valueText = AtDigit(value, last);
  uncertaintyText = AtDigit(uncertainty, last);
  return true;
}

bool RoundToInterval(double value, double lo, double hi, std::string& valueText, std::string& loText,
                     std::string& hiText) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) return false;
  const double u = std::min(value - lo, hi - value);
  if (!std::isfinite(value) || !(u > 0)) return false;
  const int last = LastDigit(u);
  valueText = AtDigit(value, last);
  loText = AtDigit(lo, last);
  hiText = AtDigit(hi, last);
  return true;
}

void RoundFiguresToUncertainty(std::vector<TFigure>& figures) {
  const auto find = [&](const std::string& caption) -> TFigure* {
    for (TFigure& f : figures)
      if (f.Caption == caption) return &f;
    return nullptr;
  };
  for (TFigure& f : figures) {
    std::string value, lo, hi;
    if (TFigure* se = find(f.Caption + "_se")) {
      if (RoundToUncertainty(f.Value, se->Value, value, lo)) {
        f.Text = value;
        se->Text = lo;
      }
    } else if (TFigure *l = find(f.Caption + " lo"), *h = find(f.Caption + " hi"); l && h) {
      if (RoundToInterval(f.Value, l->Value, h->Value, value, lo, hi)) {
        f.Text = value;
        l->Text = lo;
        h->Text = hi;
      }
    }
  }
}
