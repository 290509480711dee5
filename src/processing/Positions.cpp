#include "processing/Positions.h"

#include "processing/ScaleFactor.h"

#include <cmath>
#include <limits>

#include "processing/ScaleFactor.h"

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDeg = 3.14159265358979323846 / 180.0;
}  // namespace

TPosition MeasurePosition(const std::vector<SamplePoint>& records) {
  TPosition p;
  const auto n = static_cast<std::int64_t>(records.size());
  p.Records = n;
  if (n == 0) {
    p.Mean = p.Se = kNaN;
    return p;
  }
  long double sum = 0;
  for (const SamplePoint& s : records) sum += s.Rate;
  const long double mean = sum / n;
  p.Mean = static_cast<double>(mean) * 3600.0;
  const std::int64_t parts = std::min<std::int64_t>(16, n);
  if (parts < 2) {
    p.Se = kNaN;
    return p;
  }
  long double ss = 0;
  for (std::int64_t k = 0; k < parts; ++k) {
    const std::int64_t a = n * k / parts, b = n * (k + 1) / parts;
    long double s = 0;
    for (std::int64_t i = a; i < b; ++i) s += records[static_cast<std::size_t>(i)].Rate;
    const long double d = s / (b - a) - mean;
    ss += d * d;
  }
  p.Se = std::sqrt(static_cast<double>(ss) / static_cast<double>(parts * (parts - 1))) * 3600.0;
  return p;
}

TPositionsResult ComputePositions(TPositionTest test, const std::vector<TPosition>& f,
                                  double latitude) {
  TPositionsResult r;
  r.K = r.KSe = r.BiasDegH = r.BiasSe = r.MisalignmentDeg = r.MisalignmentSe = r.LatitudeDeg =
      r.LatitudeSe = kNaN;
  const double we = kEarthRateDegH, phi = latitude * kDeg;
  auto need = [&](std::size_t n, const char* what) {
    if (f.size() != n) {
      r.Message = std::string(what) + " takes " + std::to_string(n) + " recordings, one per position (got " +
                  std::to_string(f.size()) + ")";
      return false;
    }
    return true;
  };
  if (test == TPositionTest::Four) {
    if (!need(4, "the four-position test")) return r;
    if (!(std::fabs(std::cos(phi)) > 0.05)) {
      r.Message = "the four-position test needs a known latitude away from the poles";
      return r;
    }
    const double h = 2 * we * std::cos(phi);
    r.K = (f[0].Mean - f[2].Mean) / h;
    r.KSe = std::hypot(f[0].Se, f[2].Se) / h;
    r.BiasDegH = (f[0].Mean + f[1].Mean + f[2].Mean + f[3].Mean) / 4 / r.K;
    r.BiasSe = std::sqrt(f[0].Se * f[0].Se + f[1].Se * f[1].Se + f[2].Se * f[2].Se + f[3].Se * f[3].Se) /
               4 / std::fabs(r.K);
    r.MisalignmentDeg = std::atan2(f[3].Mean - f[1].Mean, f[0].Mean - f[2].Mean) / kDeg;
    r.MisalignmentSe = std::hypot(f[1].Se, f[3].Se) / std::fabs(r.K * h) / kDeg;
  } else if (test == TPositionTest::UpDown) {
    if (!need(2, "the up/down test")) return r;
    if (!(std::fabs(std::sin(phi)) > 0.05)) {
      r.Message = "the up/down test needs a known latitude away from the equator";
      return r;
    }
    const double v = 2 * we * std::sin(phi);
    r.K = (f[0].Mean - f[1].Mean) / v;
    r.KSe = std::hypot(f[0].Se, f[1].Se) / std::fabs(v);
    r.BiasDegH = (f[0].Mean + f[1].Mean) / (2 * r.K);
    r.BiasSe = std::hypot(f[0].Se, f[1].Se) / std::fabs(2 * r.K);
  } else {
    const std::size_t n = f.size();
    if (n < 3) {
      r.Message = "the tumble test takes three or more recordings, one per position";
      return r;
    }
    double a = 0, b = 0, sa = 0, sb = 0, mean = 0, sm = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const double th = 2 * 3.14159265358979323846 * static_cast<double>(k) / static_cast<double>(n);
      const double c = 2 * std::cos(th) / static_cast<double>(n), s = 2 * std::sin(th) / static_cast<double>(n);
      a += c * f[k].Mean;
      b += s * f[k].Mean;
      sa += c * c * f[k].Se * f[k].Se;
      sb += s * s * f[k].Se * f[k].Se;
      mean += f[k].Mean / static_cast<double>(n);
      sm += f[k].Se * f[k].Se / static_cast<double>(n * n);
    }
    const double amp = std::hypot(a, b);
    r.K = amp / we;
    r.KSe = std::sqrt(a * a * sa + b * b * sb) / amp / we;
    r.BiasDegH = mean / r.K;
    r.BiasSe = std::sqrt(sm) / r.K;
    r.LatitudeDeg = std::atan2(b, a) / kDeg;
    r.LatitudeSe = std::sqrt(b * b * sa + a * a * sb) / (amp * amp) / kDeg;
  }
  if (!std::isfinite(r.K) || r.K == 0) {
    r.Message = "the positions give no scale factor";
    return r;
  }
  r.Valid = true;
  return r;
}

std::vector<TPosition> PositionsFromPlateaus(const std::vector<SamplePoint>& records, double guard,
                                             std::vector<std::pair<double, double>>* spans) {
  TPlateauOptions options;
  options.Guard = guard;
  options.Rates = {0.0};
  std::vector<TPosition> out;
  for (const TPlateau& p : DetectPlateaus(records, options)) {
    std::vector<SamplePoint> part;
    for (const SamplePoint& r : records)
      if (r.Time >= p.Begin && r.Time <= p.End) part.push_back(r);
    out.push_back(MeasurePosition(part));
    if (spans) spans->emplace_back(p.Begin, p.End);
  }
  return out;
}
