// The virtual gyroscope's rate table: a profile of plateaus the gyroscope
// is turned through, and the scale-factor model it reads them with:
//   output = K (1 + tc (T - 25 deg C)) (W + (a/2)|W| + q W^2)  deg/s,
// W the table's rate (0 inside the dead zone |W| < DeadZone), a the
// asymmetry, q the quadratic nonlinearity, tc the temperature coefficient.
// The table starts at rest at the device's time 0.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "processing/ScaleFactor.h"

struct TRateTable {
  std::vector<TProfileStep> Steps;
  double K = 1.0;
  double AsymmetryPpm = 0;
  double QuadraticPpm = 0;  // ppm per deg/s: q W^2 = 1e-6 QuadraticPpm W^2
  double TcPpmPerC = 0;
  double DeadZone = 0;      // deg/s
  static constexpr double TRef = 25.0;

  // Rate of the table at time t (s): the profile's plateaus, its changes
  // linear (at the step's acceleration, else in 1 s), the last rate held.
  double RateAt(double t) const;
  // The gyroscope's reading of table rate w at temperature T (deg/s).
  double Output(double w, double temperature) const;
  // (time, rate) corners of the profile; made by SetSteps.
  void SetSteps(std::vector<TProfileStep> steps);
  std::vector<std::pair<double, double>> Knots;
};

// The built-in staircase 0, +-1, +-2, +-5, +-10, +-20, +-50, +-100, +-200, 0
// deg/s, `dwell` s each.
std::vector<TProfileStep> BuiltInStaircase(double dwell);
// "staircase[:DWELL]" or the path of a profile file (ParseRateProfile's
// format). False with `error` set when it is neither.
bool ParseRateTableSpec(const std::string& spec, TRateTable& table, std::string& error);
// "K:ASYMMETRY_PPM:QUADRATIC_PPM_PER_DEG_S:TC_PPM_PER_C:DEAD_ZONE_DEG_S"
// (trailing fields may be left out).
bool ParseScaleFactorModel(const std::string& text, TRateTable& table, std::string& error);

// The table of --rate-profile SPEC with the model of --sf-model TEXT
// (either may be empty; a model without a profile is an error). Null with
// `error` empty when neither is given, null with `error` set when one is
// wrong.
std::shared_ptr<const TRateTable> MakeRateTable(const std::string& spec, const std::string& model,
                                                std::string& error);
