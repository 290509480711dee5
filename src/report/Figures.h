// The figures of merit of an analysis as one table: the caption, the value
// as the command-line tool prints it, the number itself and its unit. The
// JSON output of `calc` and `allan` is written from these tables (and
// `thermal` names its fields as ThermalFigures does), and a
// limit may name any of their fields (the caption in lower snake case), so
// a figure added to a table is at once printed, reported and limitable.
#pragma once

#include <string>
#include <vector>

#include "processing/Allan.h"
#include "processing/Generalquantities.h"
#include "processing/Thermal.h"

struct TFigure {
  std::string Caption;  // "Average value signal", "N", "B tau"
  std::string Text;     // as printed: "  12.34567", "NAN"
  double Value = 0;     // the number of Text; NaN when it is none
  std::string Unit;     // "°/h"
};

// The number a printed figure shows ("  12.34567" -> 12.34567); NaN for
// "NAN", "" and anything else that is no finite number.
double PrintedNumber(const std::string& text);

// "Time create" -> "time_create", "UserName" -> "user_name", "B tau" -> "b_tau".
std::string FieldName(const std::string& caption);

// The basic parameters (drift error times sigmaFactor), as `calc` prints them.
std::vector<TFigure> CalcFigures(const TGeneralQuant& quant, int sigmaFactor);
// The noise terms of an Allan analysis (Q, N, B, B tau, K, R), as `allan`
// prints them (NaN where a term is not reported), then each term's
// interval ("Q lo", "Q hi", ...) and "B upper": where B is not reported,
// the bound the curve puts on it (a limit b<=X can pass on it).
std::vector<TFigure> AllanFigures(const TAllanResult& result);
// Its confidence and the counts of the data (gaps, the time they cover,
// steps back in time, records skipped).
std::vector<TFigure> AllanCounts(const TAllanResult& result);

// The temperature model of the bias (coefficients with their standard
// errors, residuals, temperature range, hysteresis, the Allan read-outs
// before and after compensation), named as `thermal --json` names them and
// as it prints them: the fitted figures NaN where the model could not be
// fitted, the measured ones (temperature range, raw read-outs) all the same.
std::vector<TFigure> ThermalFigures(const TThermalResult& result);

// A value and its uncertainty as printed together: the uncertainty to two
// significant digits and the value to the same last digit ("0.02007" and
// "0.00034" for 0.0200712 and 0.000341). False (texts untouched) when
// the uncertainty is no positive finite number or the value not finite.
bool RoundToUncertainty(double value, double uncertainty, std::string& valueText,
                        std::string& uncertaintyText);
// The same for a value with an interval [lo, hi] around it: the smaller
// distance to an end is the uncertainty; both ends printed to the value's
// last digit.
bool RoundToInterval(double value, double lo, double hi, std::string& valueText, std::string& loText,
                     std::string& hiText);
// Every figure of `figures` that has an uncertainty in the same table
// (NAME_se, or the interval "NAME lo" .. "NAME hi") printed to the
// uncertainty's digits, the uncertainty (or interval) with it. Limits
// compare the texts, so they compare what the page shows.
void RoundFiguresToUncertainty(std::vector<TFigure>& figures);

// One analysis whose figures limits may name.
struct TFigureTable {
  std::string Command;  // "calc", "allan"
  std::vector<TFigure> Figures;
};

// The field names a limit may use, in the order of the tables: those of
// the tables of an empty analysis (the tables have the same rows whatever
// the data).
std::vector<std::string> KnownFieldNames();
