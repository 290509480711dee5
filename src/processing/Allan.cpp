#include "processing/Allan.h"

#include <cmath>
#include <limits>

#include "files/RecordingReader.h"
#include "processing/NumberFormat.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The rates are kept as stored (deg/s); the deviations are shown in deg/h.
constexpr long double kPerHour = 3600.0L;
// Local slopes within this distance of -1/2 (+1/2) make the white-noise
// (rate-random-walk) region.
constexpr double kSlopeTolerance = 0.1;
// The bias instability is the flat minimum of the deviation divided by
// sqrt(2 ln 2 / pi) = 0.664 (flicker noise).
constexpr double kFlickerFactor = 0.664;

// The longest run of consecutive factors whose local slope (central
// difference in log-log, one-sided at the ends) is within the tolerance
// of `slope`; the line of that slope fitted to them by least squares in
// log-log (with the slope fixed, the fit is the mean of
// log sigma - slope * log tau).
TAllanLine FitLine(const std::vector<TAllanPoint>& p, double slope) {
  TAllanLine line;
  line.Slope = slope;
  const std::size_t n = p.size();
  if (n < 2) return line;
  std::vector<double> lt(n), ls(n);
  for (std::size_t i = 0; i < n; ++i) {
    lt[i] = std::log10(p[i].Tau);
    ls[i] = std::log10(p[i].Adev);
  }
  auto localSlope = [&](std::size_t i) {
    const std::size_t a = i == 0 ? 0 : i - 1;
    const std::size_t b = i + 1 == n ? n - 1 : i + 1;
    return (ls[b] - ls[a]) / (lt[b] - lt[a]);
  };
  std::size_t bestFirst = 0, bestLen = 0, runFirst = 0, runLen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = localSlope(i);
    if (std::isfinite(s) && std::fabs(s - slope) <= kSlopeTolerance) {
      if (runLen == 0) runFirst = i;
      ++runLen;
      if (runLen > bestLen) {
        bestLen = runLen;
        bestFirst = runFirst;
      }
    } else {
      runLen = 0;
    }
  }
  if (bestLen == 0) return line;
  long double sum = 0;
  for (std::size_t i = bestFirst; i < bestFirst + bestLen; ++i) sum += ls[i] - slope * lt[i];
  line.Level = std::pow(10.0, static_cast<double>(sum / static_cast<long double>(bestLen)));
  line.First = bestFirst;
  line.Last = bestFirst + bestLen - 1;
  line.Found = std::isfinite(line.Level) && line.Level > 0;
  return line;
}

std::string Number(double v) { return FormatGeneral(v, '.', 10); }

}  // namespace

double TAllanLine::At(double tau) const { return Level * std::pow(tau, Slope); }

bool ReadSpanRates(const std::string& path, double begin, double end, TSpanRates& span,
                   std::string& error,
                   const std::function<void(std::int64_t, std::int64_t)>& progress) {
  span = TSpanRates{};
  TRecordingReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  const std::int64_t total = reader.Info().RecordCount;
  const std::int64_t step = total / 100 > 0 ? total / 100 : 1;
  std::int64_t nextReport = step;
  std::int64_t read = 0;
  if (progress) progress(0, total);
  SamplePoint p;
  bool first = true;
  while (reader.Next(p)) {
    if (++read == nextReport) {
      nextReport += step;
      if (progress) progress(read, total);
    }
    // A record without a time cannot be placed and counts as skipped; one
    // infinite rate would make every deviation infinite.
    if (std::isnan(p.Time)) {
      ++span.Skipped;
      continue;
    }
    if (p.Time > end) break;
    if (!(p.Time >= begin)) continue;
    if (!std::isfinite(p.Time) || !std::isfinite(p.Rate) || !std::isfinite(p.Temperature)) {
      ++span.Skipped;
      continue;
    }
    if (first) {
      span.FirstTime = p.Time;
      first = false;
    }
    span.LastTime = p.Time;
    span.Rates.push_back(p.Rate);
  }
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  if (progress) progress(total, total);
  return true;
}

long double AllanSquares(const float* y, std::size_t n, std::size_t m) {
  // d = S_{j+m} - S_j, moved along by one record at a time:
  // d_{j+1} = d_j + y[j+2m] - 2 y[j+m] + y[j]. The three-term step is exact
  // in double for single-precision data; d and the squares stay extended.
  long double d = 0;
  for (std::size_t i = 0; i < m; ++i) d += static_cast<long double>(y[m + i]) - y[i];
  long double squares = d * d;
  const std::size_t steps = n - 2 * m;
  const float* a = y;
  const float* b = y + m;
  const float* c = y + 2 * m;
  for (std::size_t j = 0; j < steps; ++j) {
    d += static_cast<double>(c[j]) - 2.0 * static_cast<double>(b[j]) + static_cast<double>(a[j]);
    squares += d * d;
  }
  return squares;
}

TAllanResult ComputeAllan(const float* rates, std::size_t n, double tau0) {
  TAllanResult r;
  r.Count = static_cast<std::int64_t>(n);
  r.Tau0 = tau0;
  r.N = r.B = r.BTau = r.K = kNaN;
  if (n < 3 || !(tau0 > 0) || !std::isfinite(tau0)) return r;
  for (std::size_t m = 1; 2 * m < n; m *= 2) {
    const std::size_t terms = n - 2 * m + 1;
    const long double squares = AllanSquares(rates, n, m);
    const long double mm = static_cast<long double>(m);
    const long double variance = squares / (2.0L * mm * mm * static_cast<long double>(terms));
    TAllanPoint p;
    p.Factor = static_cast<std::int64_t>(m);
    p.Tau = static_cast<double>(mm * static_cast<long double>(tau0));
    p.Adev = static_cast<double>(std::sqrt(variance) * kPerHour);
    p.Terms = static_cast<std::int64_t>(terms);
    r.Points.push_back(p);
  }
  for (std::size_t i = 0; i < r.Points.size(); ++i) {
    if (!std::isfinite(r.Points[i].Adev)) continue;
    if (!r.MinimumFound || r.Points[i].Adev < r.Points[r.Minimum].Adev) {
      r.Minimum = i;
      r.MinimumFound = true;
    }
  }
  if (r.MinimumFound) {
    r.B = r.Points[r.Minimum].Adev / kFlickerFactor;
    r.BTau = r.Points[r.Minimum].Tau;
  }
  r.White = FitLine(r.Points, -0.5);
  r.RateWalk = FitLine(r.Points, 0.5);
  // White noise: sigma^2 = N^2 / tau. With sigma in deg/h and tau in s, N
  // = sigma(1 s) is in (deg/h)*sqrt(s) = (deg/h)*sqrt(h)/60 = deg/sqrt(h)/60.
  if (r.White.Found) r.N = r.White.At(1.0) / 60.0;
  // Rate random walk: sigma^2 = K^2 tau / 3, so K = sigma(3 s) in
  // (deg/h)/sqrt(s); 1/sqrt(s) = 60/sqrt(h), so K in deg/h/sqrt(h) is
  // 60 * sigma(3 s).
  if (r.RateWalk.Found) r.K = r.RateWalk.At(3.0) * 60.0;
  return r;
}

TAllanResult ComputeAllan(const TSpanRates& span) {
  const std::size_t n = span.Rates.size();
  const double tau0 = n >= 2 ? (span.LastTime - span.FirstTime) / static_cast<double>(n - 1) : 0;
  return ComputeAllan(span.Rates.data(), n, tau0);
}

std::string AllanTable(const TAllanResult& r) {
  std::string t;
  for (const TAllanPoint& p : r.Points)
    t += Number(p.Tau) + "\t" + Number(p.Adev) + "\t" + std::to_string(p.Terms) + "\n";
  t += "N\t" + Number(r.N) + "\t\u00B0/Vh\n";
  t += "B\t" + Number(r.B) + "\t\u00B0/h\t" + Number(r.BTau) + "\n";
  t += "K\t" + Number(r.K) + "\t\u00B0/h/Vh\n";
  return t;
}
