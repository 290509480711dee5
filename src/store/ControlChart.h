// Individuals and moving-range control charts (Shewhart, for one
// measurement per unit): centre x̄, limits x̄ ± 2.66·MR̄ (2.66 = 3/d2, d2 =
// 1.128 for ranges of two), moving-range chart centre MR̄ and upper limit
// 3.267·MR̄ (D4 for ranges of two); and the Western Electric rules on the
// individuals, with sigma estimated as MR̄/1.128.
#pragma once

#include <cstddef>
#include <vector>

// Bits of TControlPoint::Rules.
enum : unsigned {
  RuleBeyondLimits = 1,   // 1: one point beyond 3 sigma
  RuleTwoOfThree = 2,     // 2: two of three in a row beyond 2 sigma, same side
  RuleFourOfFive = 4,     // 3: four of five in a row beyond 1 sigma, same side
  RuleEightOneSide = 8,   // 4: eight in a row on one side of the centre
  RuleRangeBeyond = 16,   // the moving range ending here above its upper limit
};

struct TControlPoint {
  double Value = 0;
  double MovingRange = 0;  // |x_i - x_{i-1}|; 0 for the first point
  unsigned Rules = 0;      // the rules this point completes
};

struct TControlChart {
  bool Valid = false;  // at least two values
  double Centre = 0, MrBar = 0, Lower = 0, Upper = 0, MrUpper = 0;
  std::vector<TControlPoint> Points;
};

// The chart of `values` in time order (non-finite values left out).
TControlChart ComputeControlChart(const std::vector<double>& values);

// Whether `value` lies outside the chart's limits (false without a chart).
bool OutsideControlLimits(const TControlChart& chart, double value);

// "beyond limits, 2 of 3 beyond 2 sigma, ..." for a point's rule bits.
const char* RuleName(unsigned bit);
