#include "store/ControlChart.h"

#include <cmath>

TControlChart ComputeControlChart(const std::vector<double>& values) {
  TControlChart chart;
  for (double v : values)
    if (std::isfinite(v)) chart.Points.push_back({v, 0, 0});
  const std::size_t n = chart.Points.size();
  if (n < 2) return chart;
  double sum = 0, ranges = 0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += chart.Points[i].Value;
    if (i > 0) {
      chart.Points[i].MovingRange = std::fabs(chart.Points[i].Value - chart.Points[i - 1].Value);
      ranges += chart.Points[i].MovingRange;
    }
  }
  chart.Valid = true;
  chart.Centre = sum / static_cast<double>(n);
  chart.MrBar = ranges / static_cast<double>(n - 1);
  chart.Lower = chart.Centre - 2.66 * chart.MrBar;
  chart.Upper = chart.Centre + 2.66 * chart.MrBar;
  chart.MrUpper = 3.267 * chart.MrBar;
  const double sigma = chart.MrBar / 1.128;

  // z: the point's distance from the centre in sigmas (signed).
  std::vector<double> z(n);
  for (std::size_t i = 0; i < n; ++i) z[i] = sigma > 0 ? (chart.Points[i].Value - chart.Centre) / sigma : 0;
  // Of the `window` points ending at i, at least `need` lie beyond `k`
  // sigma on one side (the side of point i, which must be one of them).
  const auto beyond = [&](std::size_t i, std::size_t window, std::size_t need, double k) {
    if (i + 1 < window) return false;
    for (int side : {1, -1}) {
      if (side * z[i] <= k) continue;
      std::size_t count = 0;
      for (std::size_t j = i + 1 - window; j <= i; ++j) count += side * z[j] > k ? 1 : 0;
      if (count >= need) return true;
    }
    return false;
  };
  for (std::size_t i = 0; i < n; ++i) {
    TControlPoint& p = chart.Points[i];
    if (p.Value > chart.Upper || p.Value < chart.Lower) p.Rules |= RuleBeyondLimits;
    if (beyond(i, 3, 2, 2)) p.Rules |= RuleTwoOfThree;
    if (beyond(i, 5, 4, 1)) p.Rules |= RuleFourOfFive;
    if (beyond(i, 8, 8, 0)) p.Rules |= RuleEightOneSide;
    if (i > 0 && p.MovingRange > chart.MrUpper) p.Rules |= RuleRangeBeyond;
  }
  return chart;
}

bool OutsideControlLimits(const TControlChart& chart, double value) {
  return chart.Valid && std::isfinite(value) && (value > chart.Upper || value < chart.Lower);
}

const char* RuleName(unsigned bit) {
  switch (bit) {
    case RuleBeyondLimits: return "beyond the control limits";
    case RuleTwoOfThree: return "2 of 3 beyond 2 sigma";
    case RuleFourOfFive: return "4 of 5 beyond 1 sigma";
    case RuleEightOneSide: return "8 in a row on one side";
    case RuleRangeBeyond: return "moving range beyond its limit";
  }
  return "";
}
