// The table of a batch of recordings: one row per unit with the figures
// that compare units (records and span, the basic parameters with 1 sigma
// drift, the Allan read-outs N, B and K, the temperature coefficients b1,
// b2 and c), each as `calc`, `allan` and `thermal` print it, the unit's
// result against the limits, and the batch's spread of each column. The
// rows come from the report's own analysis (ReportContent.h), so the
// `batch` command and the batch form of the report show the same numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "report/ReportContent.h"

struct TBatchColumn {
  std::string Caption;  // as the figure tables name it: "Random walk", "N", "b1"
  std::string Unit;     // "°/Vh"; empty for a count
};

// The columns in order: captions and units taken from the figure tables.
const std::vector<TBatchColumn>& BatchColumns();
// Index of the first temperature coefficient: its cells are empty where
// the unit's span has too little temperature change for the model.
std::size_t BatchFirstThermalColumn();

struct TBatchRow {
  std::string Path;
  std::string FileName;
  std::string Ident;
  // One per column: Text as printed ("" where there is no temperature
  // model), Value the number of that text (NaN where it is none).
  std::vector<TFigure> Cells;
  // One per BatchScaleFactorColumns(): "" where the unit holds no
  // rate-table test.
  std::vector<TFigure> ScaleFactorCells;
  std::vector<TLimitResult> Limits;
  TVerdict Verdict = TVerdict::None;
};

TBatchRow BatchRowOf(const TReportContent& content);

// The scale-factor columns a batch gains when a unit holds a rate-table
// test (sf, its bias, K+ and K-, asymmetry, nonlinearity, temperature
// coefficient), and whether one does.
const std::vector<TBatchColumn>& BatchScaleFactorColumns();
bool BatchHasScaleFactor(const std::vector<TBatchRow>& rows);

// A column over the units that have the figure: mean, sample standard
// deviation (divide by n - 1, as the run-to-run repeatability; NaN below two
// units), minimum and maximum of the values as the table shows them; NaN
// without any.
struct TBatchSpread {
  std::size_t Count = 0;
  double Mean, StdDev, Min, Max;
};
std::vector<TBatchSpread> BatchSpread(const std::vector<TBatchRow>& rows);
std::vector<TBatchSpread> BatchScaleFactorSpread(const std::vector<TBatchRow>& rows);

// The spread's rows of a table, in order, with the name each row shows and
// its name in JSON.
struct TBatchSpreadRow {
  const char* Name;
  const char* Json;
  double TBatchSpread::*Value;
};
inline constexpr TBatchSpreadRow kBatchSpreadRows[] = {{"Mean", "mean", &TBatchSpread::Mean},
                                                       {"Std dev (n-1)", "sample_std_dev", &TBatchSpread::StdDev},
                                                       {"Minimum", "minimum", &TBatchSpread::Min},
                                                       {"Maximum", "maximum", &TBatchSpread::Max}};

// A spread figure as the table prints it: ten significant digits, "NAN".
std::string BatchSpreadText(double value);
// A spread figure of `column` as the report prints it beside the units'
// printed figures: a minimum or maximum (`extreme`) as that unit's own
// text, a mean or standard deviation to one digit past the finest the
// units' texts show (ten significant digits where they are in exponent
// form), "NAN" for none.
std::string BatchSpreadShown(const std::vector<TBatchRow>& rows, std::size_t column, double value, bool extreme);

// The batch's verdict: none without limits, else the worst of the units'
// (FAIL when one fails, INCOMPLETE when one could not be judged).
TVerdict BatchVerdict(const std::vector<TBatchRow>& rows);

// A column's heading: its caption, with the sigma factor where the figure
// depends on it ("Drift error (3σ)").
std::string BatchColumnCaption(const TBatchColumn& column, int sigma);
