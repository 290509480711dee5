#include "sim/RateTable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

double TRateTable::RateAt(double t) const {
  if (Knots.empty()) return 0;
  if (t <= Knots.front().first) return Knots.front().second;
  if (t >= Knots.back().first) return Knots.back().second;
  const auto it = std::upper_bound(Knots.begin(), Knots.end(), t,
                                   [](double v, const std::pair<double, double>& k) { return v < k.first; });
  const auto& [t1, w1] = *it;
  const auto& [t0, w0] = *(it - 1);
  return t1 > t0 ? w0 + (w1 - w0) * (t - t0) / (t1 - t0) : w1;
}

double TRateTable::Output(double w, double temperature) const {
  if (std::fabs(w) < DeadZone) w = 0;
  return K * (1 + 1e-6 * TcPpmPerC * (temperature - TRef)) *
         (w + 0.5e-6 * AsymmetryPpm * std::fabs(w) + 1e-6 * QuadraticPpm * w * w);
}

void TRateTable::SetSteps(std::vector<TProfileStep> steps) {
  Steps = std::move(steps);
  Knots = {{0.0, 0.0}};
  double t = 0, rate = 0;
  for (const TProfileStep& s : Steps) {
    t += TransitionTime(rate, s);
    Knots.push_back({t, s.Rate});
    t += s.Dwell;
    Knots.push_back({t, s.Rate});
    rate = s.Rate;
  }
}

std::vector<TProfileStep> BuiltInStaircase(double dwell) {
  std::vector<TProfileStep> out = {{0, dwell, 0}};
  for (double w : {1., 2., 5., 10., 20., 50., 100., 200.}) {
    out.push_back({w, dwell, 0});
    out.push_back({-w, dwell, 0});
  }
  out.push_back({0, dwell, 0});
  return out;
}

bool ParseRateTableSpec(const std::string& spec, TRateTable& table, std::string& error) {
  if (spec.rfind("staircase", 0) == 0 && (spec.size() == 9 || spec[9] == ':')) {
    double dwell = 10;
    if (spec.size() > 9) {
      char* end = nullptr;
      dwell = std::strtod(spec.c_str() + 10, &end);
      if (spec.size() == 10 || *end != 0 || !(dwell > 0) || !std::isfinite(dwell)) {
        error = "staircase:DWELL takes a positive number of seconds";
        return false;
      }
    }
    table.SetSteps(BuiltInStaircase(dwell));
    return true;
  }
  std::ifstream in(spec);
  if (!in) {
    error = "cannot read the rate profile " + spec + " (or give staircase[:DWELL])";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<TProfileStep> steps;
  if (!ParseRateProfile(text.str(), steps, error)) {
    error = spec + ": " + error;
    return false;
  }
  table.SetSteps(std::move(steps));
  return true;
}

bool ParseScaleFactorModel(const std::string& text, TRateTable& table, std::string& error) {
  std::vector<double> v;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ':')) {
    char* end = nullptr;
    const double d = std::strtod(item.c_str(), &end);
    if (item.empty() || *end != 0 || !std::isfinite(d)) v.clear(), v.resize(6);
    v.push_back(d);
  }
  if (v.empty() || v.size() > 5 || !(v[0] > 0) || (v.size() == 5 && v[4] < 0)) {
    error = "a scale-factor model is K[:ASYMMETRY_PPM[:QUADRATIC_PPM_PER_DEG_S[:TC_PPM_PER_C[:DEAD_ZONE_DEG_S]]]] "
            "(K > 0, dead zone >= 0)";
    return false;
  }
  v.resize(5, 0.0);
  table.K = v[0];
  table.AsymmetryPpm = v[1];
  table.QuadraticPpm = v[2];
  table.TcPpmPerC = v[3];
  table.DeadZone = v[4];
  return true;
}

std::shared_ptr<const TRateTable> MakeRateTable(const std::string& spec, const std::string& model,
                                                std::string& error) {
  error.clear();
  if (spec.empty() && model.empty()) return nullptr;
  if (spec.empty()) {
    error = "--sf-model needs --rate-profile";
    return nullptr;
  }
  auto table = std::make_shared<TRateTable>();
  if (!ParseRateTableSpec(spec, *table, error)) return nullptr;
  if (!model.empty() && !ParseScaleFactorModel(model, *table, error)) return nullptr;
  return table;
}
