// A unit's past in the results store, as the History window and the
// report's trend page show it: its tests newest first, each figure's values
// over those tests, and the figure's control chart of the unit's type with
// this unit's results marked and one result judged against it.
#pragma once

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "store/ControlChart.h"
#include "store/ResultsStore.h"

// Fewer results of a type than this make no control limits; nor do values
// that never varied (a count, a setting).
constexpr std::size_t kControlMinimum = 5;
bool ControlLimitsUsable(const TControlChart& chart);
// Why a chart has no usable control limits ("4 results of the type, at
// least 5 are needed", "the type's 6 results are all the same"); empty
// when it has them.
std::string NoControlLimitsReason(const TControlChart& chart);

struct TFigureHistory {
  std::string Name, Unit;
  std::vector<TTrendPoint> Own;   // this unit's values, oldest first (the judged one last)
  std::vector<TTrendPoint> Type;  // the type's other results the limits come from, oldest first
  std::vector<bool> TypeIsOwn;    // per Type point: one of this unit's earlier results
  TControlChart Chart;            // of Type's finite values
  double Judged = std::nan("");   // the value judged against the chart
  bool Outside = false;           // Judged outside usable control limits
};

struct TUnitHistory {
  std::string Ident, UnitType;
  std::vector<TStoredRun> Runs;  // newest first (`current` first when given)
  std::vector<TFigureHistory> Figures;  // by name
  // Figures whose judged value is outside the type's control limits.
  std::vector<std::string> OutsideNames() const;
};

// The unit's history. `current`: a result not stored yet (the report being
// made), which is the one judged; null: the unit's newest stored run is
// judged. Either way the limits come from the type's other results.
// TStoreError when the store cannot be read.
TUnitHistory ReadUnitHistory(TResultsStore& store, const std::string& ident, const TStoredRun* current = nullptr);

// The figures of `run` outside the control limits of its type's stored
// results (`run` itself left out).
std::vector<std::string> OutsideControlLimits(TResultsStore& store, const TStoredRun& run);
