#include "store/UnitHistory.h"

#include <cmath>
#include <map>

bool ControlLimitsUsable(const TControlChart& chart) {
  return chart.Valid && chart.Points.size() >= kControlMinimum && chart.MrBar > 0;
}

std::string NoControlLimitsReason(const TControlChart& chart) {
  if (ControlLimitsUsable(chart)) return {};
  const std::string n = std::to_string(chart.Points.size());
  if (chart.Points.size() < kControlMinimum)
    return n + (chart.Points.size() == 1 ? " result" : " results") + " of the type, at least " +
           std::to_string(kControlMinimum) + " are needed";
  return "the type's " + n + " results are all the same";
}

std::vector<std::string> TUnitHistory::OutsideNames() const {
  std::vector<std::string> names;
  for (const TFigureHistory& f : Figures)
    if (f.Outside) names.push_back(f.Name);
  return names;
}

namespace {

TTrendPoint PointOf(const TStoredRun& r, const TStoredFigure& f) {
  return {r.Ident, r.Started, r.Key, f.Value, f.Uncertainty, f.Unit, f.Verdict};
}

// The chart of the type's results other than `judged`'s run, and the verdict on
// `judged` against it.
void Judge(TResultsStore& store, const std::string& ident, const std::string& type, const TTrendPoint& judged,
           TFigureHistory& h) {
  h.Type = store.Trend({h.Name, "", type, "", judged.RunKey});
  std::vector<double> values;
  for (const TTrendPoint& p : h.Type) {
    h.TypeIsOwn.push_back(p.Ident == ident);
    values.push_back(p.Value);
  }
  h.Chart = ComputeControlChart(values);
  h.Judged = judged.Value;
  h.Outside = ControlLimitsUsable(h.Chart) && OutsideControlLimits(h.Chart, judged.Value);
}

}  // namespace

TUnitHistory ReadUnitHistory(TResultsStore& store, const std::string& ident, const TStoredRun* current) {
  TUnitHistory h;
  h.Ident = ident;
  h.UnitType = UnitTypeOf(ident);
  if (current) h.Runs.push_back(*current);
  for (TStoredRun& r : store.History(ident))
    if (!current || r.Key != current->Key) h.Runs.push_back(std::move(r));
  std::map<std::string, TFigureHistory> figures;
  // Oldest first: the runs are newest first.
  for (auto r = h.Runs.rbegin(); r != h.Runs.rend(); ++r)
    for (const TStoredFigure& f : r->Figures) {
      TFigureHistory& fh = figures[f.Name];
      fh.Name = f.Name;
      if (!f.Unit.empty()) fh.Unit = f.Unit;
      fh.Own.push_back(PointOf(*r, f));
    }
  for (auto& [name, fh] : figures) {
    // The judged result: the newest run's value of this figure.
    if (!h.Runs.empty() && fh.Own.back().RunKey == h.Runs.front().Key) Judge(store, ident, h.UnitType, fh.Own.back(), fh);
    else {
      TTrendPoint none;  // the newest run has no value of it: nothing judged
      none.RunKey = h.Runs.empty() ? "" : h.Runs.front().Key;
      Judge(store, ident, h.UnitType, none, fh);
    }
    h.Figures.push_back(std::move(fh));
  }
  return h;
}

std::vector<std::string> OutsideControlLimits(TResultsStore& store, const TStoredRun& run) {
  std::vector<std::string> names;
  for (const TStoredFigure& f : run.Figures) {
    if (!std::isfinite(f.Value)) continue;
    TFigureHistory h;
    h.Name = f.Name;
    Judge(store, run.Ident, run.UnitType, PointOf(run, f), h);
    if (h.Outside) names.push_back(f.Name);
  }
  return names;
}
