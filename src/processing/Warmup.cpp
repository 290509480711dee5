#include "processing/Warmup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "processing/Allan.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

// Block means of the rate (deg/h) at their mean times (s from the first
// record), weighted by their record counts.
struct TBlocks {
  std::vector<double> t, y, w;
};

TBlocks BlockMeans(const std::vector<SamplePoint>& records, double first, double span) {
  TBlocks b;
  const std::size_t count = std::min<std::size_t>(500, records.size() / 4);
  if (count < 8 || !(span > 0)) return b;
  const double length = span / static_cast<double>(count);
  std::vector<long double> st(count, 0), sy(count, 0), sw(count, 0);
  for (const SamplePoint& p : records) {
    const double t = p.Time - first;
    const auto k = std::min(count - 1, static_cast<std::size_t>(std::max(0.0, t / length)));
    st[k] += t;
    sy[k] += p.Rate * 3600.0L;
    sw[k] += 1;
  }
  for (std::size_t k = 0; k < count; ++k)
    if (sw[k] > 0) {
      b.t.push_back(static_cast<double>(st[k] / sw[k]));
      b.y.push_back(static_cast<double>(sy[k] / sw[k]));
      b.w.push_back(static_cast<double>(sw[k]));
    }
  return b;
}

// Weighted least squares of y = s + a e^(-t / tau) at a fixed tau: the
// residual sum of squares, s and a.
double Profile(const TBlocks& b, double tau, double& s, double& a) {
  long double W = 0, X = 0, Y = 0;
  for (std::size_t k = 0; k < b.t.size(); ++k) {
    const double x = std::exp(-b.t[k] / tau);
    W += b.w[k];
    X += b.w[k] * x;
    Y += b.w[k] * b.y[k];
  }
  const long double mx = X / W, my = Y / W;
  long double sxx = 0, sxy = 0;
  for (std::size_t k = 0; k < b.t.size(); ++k) {
    const long double dx = std::exp(-b.t[k] / tau) - mx;
    sxx += b.w[k] * dx * dx;
    sxy += b.w[k] * dx * (b.y[k] - my);
  }
  a = sxx > 0 ? static_cast<double>(sxy / sxx) : 0.0;
  s = static_cast<double>(my - a * mx);
  long double rss = 0;
  for (std::size_t k = 0; k < b.t.size(); ++k) {
    const long double r = b.y[k] - s - a * std::exp(-b.t[k] / tau);
    rss += b.w[k] * r * r;
  }
  return static_cast<double>(rss);
}

bool Invert3(const double m[3][3], double inv[3][3]) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  if (!(std::fabs(det) > 0) || !std::isfinite(det)) return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
      inv[i][j] = (m[i1][j1] * m[i2][j2] - m[i1][j2] * m[i2][j1]) / det;
    }
  return true;
}

TWarmupFit FitTransient(const TBlocks& b, double span, double band) {
  TWarmupFit f;
  const std::size_t nb = b.t.size();
  if (nb < 8) {
    f.Reason = "too few records for a fit";
    return f;
  }
  // The residual over a grid of tau (log-spaced, from a block to 20 spans),
  // then a golden-section search around the grid's best point.
  const double lo = span / static_cast<double>(nb), hi = 20 * span;
  constexpr int kGrid = 120;
  auto tauAt = [&](double u) { return lo * std::pow(hi / lo, u); };
  int best = 0;
  double bestRss = kNaN, s = 0, a = 0;
  for (int i = 0; i <= kGrid; ++i) {
    const double rss = Profile(b, tauAt(static_cast<double>(i) / kGrid), s, a);
    if (!(rss >= bestRss)) {
      bestRss = rss;
      best = i;
    }
  }
  if (best == kGrid) {
    f.Reason = "no exponential transient: the bias changes no faster than the recording's length";
    return f;
  }
  if (best == 0) {
    f.Reason = "the transient is shorter than the fit's blocks";
    return f;
  }
  double u0 = (best - 1.0) / kGrid, u1 = (best + 1.0) / kGrid;
  const double g = (std::sqrt(5.0) - 1) / 2;
  for (int it = 0; it < 60; ++it) {
    const double c = u1 - g * (u1 - u0), d = u0 + g * (u1 - u0);
    if (Profile(b, tauAt(c), s, a) < Profile(b, tauAt(d), s, a)) u1 = d;
    else u0 = c;
  }
  const double tau = tauAt((u0 + u1) / 2);
  const double rss = Profile(b, tau, s, a);
  // Covariance of (s, a, tau) from the linearised model.
  double m[3][3] = {};
  for (std::size_t k = 0; k < nb; ++k) {
    const double x = std::exp(-b.t[k] / tau);
    const double j[3] = {1, x, a * b.t[k] / (tau * tau) * x};
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) m[r][c] += b.w[k] * j[r] * j[c];
  }
  double cov[3][3];
  if (!Invert3(m, cov)) {
    f.Reason = "the transient is not determined by the data";
    return f;
  }
  // Noise correlated from block to block (bias instability) makes the
  // residual scatter understate the errors: the variance of a sum of
  // correlated terms is 1 + 2 sum rho_k times theirs, summed over the lags
  // while the residuals' autocorrelation stays positive.
  std::vector<double> e(nb);
  for (std::size_t k = 0; k < nb; ++k)
    e[k] = std::sqrt(b.w[k]) * (b.y[k] - s - a * std::exp(-b.t[k] / tau));
  long double c0 = 0;
  for (std::size_t k = 0; k < nb; ++k) c0 += static_cast<long double>(e[k]) * e[k];
  double inflation = 1;
  for (std::size_t lag = 1; c0 > 0 && lag < nb / 4; ++lag) {
    long double c = 0;
    for (std::size_t k = lag; k < nb; ++k) c += static_cast<long double>(e[k]) * e[k - lag];
    const double rho = static_cast<double>(c / c0);
    if (!(rho > 0)) break;
    inflation += 2 * rho;
  }
  const double s2 = rss / static_cast<double>(nb - 3) * inflation;
  f.Valid = true;
  f.Settled = s;
  f.Amplitude = a;
  f.Tau = tau;
  f.SettledSe = std::sqrt(s2 * cov[0][0]);
  f.AmplitudeSe = std::sqrt(s2 * cov[1][1]);
  f.TauSe = std::sqrt(s2 * cov[2][2]);
  if (std::fabs(a) <= band) {
    f.Time = 0;
    f.TimeSe = 0;
  } else {
    // t = tau ln(|a| / band): its gradient in (a, tau).
    const double L = std::log(std::fabs(a) / band);
    f.Time = tau * L;
    const double da = tau / a, dt = L;
    f.TimeSe = std::sqrt(s2 * (da * da * cov[1][1] + 2 * da * dt * cov[1][2] + dt * dt * cov[2][2]));
  }
  return f;
}

// The Allan deviation (deg/h) at tau, interpolated log-log between the
// curve's points; NaN outside the curve.
double DeviationAt(const TAllanResult& allan, double tau) {
  const auto& p = allan.Points;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i].Tau == tau) return p[i].Adev;
    if (i == 0 || !(p[i - 1].Tau < tau && tau < p[i].Tau)) continue;
    const double u = std::log(tau / p[i - 1].Tau) / std::log(p[i].Tau / p[i - 1].Tau);
    if (!(p[i - 1].Adev > 0 && p[i].Adev > 0)) return p[i - 1].Adev + u * (p[i].Adev - p[i - 1].Adev);
    return std::exp(std::log(p[i - 1].Adev) + u * std::log(p[i].Adev / p[i - 1].Adev));
  }
  return kNaN;
}

}  // namespace

TWarmupFit::TWarmupFit()
    : Settled(kNaN), SettledSe(kNaN), Amplitude(kNaN), AmplitudeSe(kNaN), Tau(kNaN), TauSe(kNaN), Time(kNaN),
      TimeSe(kNaN) {}

TWarmupResult::TWarmupResult()
    : Time(kNaN), Final(kNaN), Excursion(kNaN), WindowNoise(kNaN), TailChange(kNaN), TailChangeSe(kNaN) {}

TWarmupResult ComputeWarmup(const std::vector<SamplePoint>& records, double window, double band) {
  TWarmupResult r;
  r.Window = window;
  r.Band = band;
  const std::size_t n = records.size();
  if (n < 2 || !(window > 0) || !(band >= 0)) return r;
  const double first = records.front().Time;
  const double last = records.back().Time;
  const double span = last - first;
  // Prefix sums of the rate in deg/h.
  std::vector<long double> sum(n + 1, 0.0L);
  for (std::size_t i = 0; i < n; ++i) sum[i + 1] = sum[i] + records[i].Rate * 3600.0L;
  const double tail = last - 0.1 * span;
  std::size_t t0 = n;
  while (t0 > 0 && records[t0 - 1].Time >= tail) --t0;
  r.Final = static_cast<double>((sum[n] - sum[t0]) / static_cast<long double>(n - t0));

  // Moving averages of the full windows.
  std::vector<double> average;
  std::vector<std::size_t> index;
  std::size_t lo = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = records[i].Time;
    if (t - first < window) continue;
    while (records[lo].Time <= t - window) ++lo;
    average.push_back(static_cast<double>((sum[i + 1] - sum[lo]) / static_cast<long double>(i + 1 - lo)));
    index.push_back(i);
  }
  if (average.empty()) {
    r.Message = "the span is not longer than the " + Text(window) + " s window";
    return r;
  }
  r.Valid = true;

  // The transient, then the noise of the rate without it.
  r.Fit = FitTransient(BlockMeans(records, first, span), span, band);
  TSpanRates residual;
  residual.FirstTime = first;
  residual.LastTime = last;
  residual.Rates.reserve(n);
  residual.Times.reserve(n);
  for (const SamplePoint& p : records) {
    const double model = r.Fit.Valid ? r.Fit.Settled + r.Fit.Amplitude * std::exp(-(p.Time - first) / r.Fit.Tau)
                                     : r.Final;
    residual.Rates.push_back(static_cast<float>((p.Rate * 3600.0 - model) / 3600.0));
    residual.Times.push_back(p.Time);
  }
  const TAllanResult allan = ComputeAllan(residual);
  r.WindowNoise = DeviationAt(allan, window);
  r.NoiseLimited = std::isfinite(r.WindowNoise) && band < kBandNoiseRatio * r.WindowNoise;

  // The tail's trend: a straight line over its records.
  const double from = last - 0.25 * span;
  long double st = 0, sy = 0, m = 0;
  for (const SamplePoint& p : records)
    if (p.Time >= from) {
      st += p.Time - from;
      sy += p.Rate * 3600.0L;
      ++m;
    }
  long double stt = 0, sty = 0;
  for (const SamplePoint& p : records)
    if (p.Time >= from) {
      const long double dt = (p.Time - from) - st / m;
      stt += dt * dt;
      sty += dt * (p.Rate * 3600.0L - sy / m);
    }
  const double slope = stt > 0 ? static_cast<double>(sty / stt) : 0.0;  // deg/h per s
  r.TailChange = slope * 0.25 * span;
  // Eight independent block means of scatter sigma along the line: the
  // change over the tail has 12 * 8 / 63 sigma^2 of variance.
  r.TailChangeSe = DeviationAt(allan, 0.25 * span / 8) * std::sqrt(96.0 / 63.0);

  const bool drifts = std::fabs(r.TailChange) > kTailTrendSigmas * r.TailChangeSe &&
                      std::fabs(slope) * span > band;
  // A bias that wanders (a random walk, a drift): the deviation at the
  // longest averaging time checked lies above the curve's lowest point at a
  // quarter of that or less (the lower end of its 90 % interval above that
  // point), and adjacent means at that time differ by more than the band.
  // Checked on the span's second half as recorded (a fit takes part of the
  // wander) up to a quarter of the half, and on the whole span without the
  // fitted transient up to a quarter of the span.
  const TAllanPoint* longest = nullptr;
  const TAllanPoint* lowest = nullptr;
  const auto wander = [&](const TAllanResult& curve, double upTo) {
    const TAllanPoint* l = nullptr;
    const TAllanPoint* m = nullptr;
    for (const TAllanPoint& p : curve.Points)
      if (p.Tau <= upTo && p.Edf > 0) l = &p;
    for (const TAllanPoint& p : curve.Points)
      if (l && p.Tau <= l->Tau / 4 && p.Edf > 0 && (!m || p.Adev < m->Adev)) m = &p;
    double lo = kNaN, hi = kNaN;
    if (!l || !m) return false;
    ConfidenceInterval(l->Adev, l->Edf, 0.9, lo, hi);
    if (!(lo > m->Adev && std::sqrt(2.0) * l->Adev > band)) return false;
    longest = l;
    lowest = m;
    return true;
  };
  TSpanRates half;
  half.FirstTime = first + 0.5 * span;
  half.LastTime = last;
  for (const SamplePoint& p : records)
    if (p.Time >= half.FirstTime) {
      half.Rates.push_back(p.Rate);
      half.Times.push_back(p.Time);
    }
  const TAllanResult late = ComputeAllan(half);
  const bool wanders = wander(late, 0.125 * span) || wander(allan, 0.25 * span);
  // The quietest averaging time up to an eighth of the span: a band inside
  // the noise even there is never met.
  const TAllanPoint* quietest = nullptr;
  for (const TAllanPoint& p : allan.Points)
    if (p.Tau <= 0.125 * span && (!quietest || p.Adev < quietest->Adev)) quietest = &p;
  const bool fitBeyond = r.Fit.Valid && r.Fit.Time - 2 * r.Fit.TimeSe > span;
  std::size_t settled = average.size();  // first moving average of the settled run
  while (settled > 0 && std::fabs(average[settled - 1] - r.Final) <= band) --settled;
  if (fitBeyond) {
    r.Message = "not settled: the fitted transient reaches the band at " + Text(r.Fit.Time) + " \u00B1 " +
                Text(r.Fit.TimeSe) + " s, after the recording's " + Text(span) + " s";
  } else if (drifts) {
    r.Message = "not settled: the last quarter of the span changes by " + Text(r.TailChange) + " \u00B1 " +
                Text(r.TailChangeSe) + " \u00B0/h";
  } else if (wanders) {
    r.Message = "not settled: the bias wanders: its Allan deviation rises from " + Text(lowest->Adev) + " at " +
                Text(lowest->Tau) + " s to " + Text(longest->Adev) + " \u00B0/h at " + Text(longest->Tau) + " s";
  } else if (r.NoiseLimited && quietest && band < kBandNoiseRatio * quietest->Adev) {
    r.Message = "not settled within the band: \u00B1" + Text(band) + " \u00B0/h is inside the noise at every "
                "averaging time (the least, " + Text(quietest->Adev) + " \u00B0/h at " + Text(quietest->Tau) + " s)";
  } else if (r.NoiseLimited) {
    r.Settled = true;
    r.Message = "the band \u00B1" + Text(band) + " \u00B0/h is inside the noise of the " + Text(window) +
                " s mean (" + Text(r.WindowNoise) + " \u00B0/h, 1 sigma): no moving-average time" +
                (quietest ? " (a window of " + Text(quietest->Tau) + " s averages it down to " +
                                Text(quietest->Adev) + " \u00B0/h)"
                          : std::string());
  } else if (settled == average.size()) {
    r.Message = "not settled: the moving average does not stay within \u00B1" + Text(band) +
                " \u00B0/h of the final value";
  } else {
    r.Settled = true;
    r.Time = records[index[settled]].Time - first;
    r.Excursion = 0;
    for (std::size_t k = 0; k < settled; ++k)
      if (std::fabs(average[k] - r.Final) > std::fabs(r.Excursion)) r.Excursion = average[k] - r.Final;
  }
  return r;
}
