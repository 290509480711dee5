#include "processing/Allan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "files/RecordingReader.h"
#include "processing/NumberFormat.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The rates are kept as stored (deg/s); the deviations are shown in deg/h.
constexpr double kPerHour = 3600.0;
// Local slopes within this distance of a term's slope make its region.
constexpr double kSlopeTolerance = 0.1;
// A flat minimum of sigma is the bias instability times sqrt(2 ln 2 / pi).
constexpr double kFlickerFactor = 0.664;

std::string Number(double v) { return FormatGeneral(v, '.', 10); }

// ---------------------------------------------------------------- grids

std::int64_t MaxFactor(TAllanKind kind, std::int64_t n) {
  // At least two terms: oadev has n - 2m + 1, mdev n - 3m + 2, hdev n - 3m + 1.
  switch (kind) {
    case TAllanKind::Oadev: return (n - 1) / 2;
    case TAllanKind::Mdev: return n / 3;
    case TAllanKind::Hdev: return (n - 1) / 3;
  }
  return 0;
}

// Window of one term in samples, and the term count of a run of L samples.
std::int64_t Window(TAllanKind kind, std::int64_t m) { return kind == TAllanKind::Oadev ? 2 * m : 3 * m; }
std::int64_t RunTerms(TAllanKind kind, std::int64_t length, std::int64_t m) {
  const std::int64_t t = length - Window(kind, m) + (kind == TAllanKind::Mdev ? 2 : 1);
  return t > 0 ? t : 0;
}

// ---------------------------------------------------------------- chi-square

// Regularized lower incomplete gamma P(a, x): series below a + 1, continued
// fraction above (Lentz).
double GammaP(double a, double x) {
  if (x <= 0) return 0;
  // lgamma_r: std::lgamma sets the global signgam, and analyses run on
  // several threads at once.
  int sign = 0;
  const double lg = ::lgamma_r(a, &sign);
  if (x < a + 1) {
    double term = 1 / a, sum = term;
    for (int k = 1; k < 100000; ++k) {
      term *= x / (a + k);
      sum += term;
      if (std::fabs(term) < std::fabs(sum) * 1e-16) break;
    }
    return sum * std::exp(-x + a * std::log(x) - lg);
  }
  const double tiny = 1e-300;
  double b = x + 1 - a, c = 1 / tiny, d = 1 / b, h = d;
  for (int i = 1; i < 100000; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1) < 1e-16) break;
  }
  return 1 - std::exp(-x + a * std::log(x) - lg) * h;
}

// ---------------------------------------------------------------- EDF

// Greenhall's generalized autocovariance pieces for power-law noise.
double Sw(double t, int alpha) {
  const double a = std::fabs(t);
  switch (alpha) {
    case 2: return -a;
    case 1: return t == 0 ? 0 : t * t * std::log(a);
    case 0: return a * a * a;
    case -1: return t == 0 ? 0 : t * t * t * t * std::log(a);
    case -2: return a * a * a * a * a;
    case -3: return t == 0 ? 0 : std::pow(t, 6) * std::log(a);
    case -4: return std::pow(a, 7);
  }
  return kNaN;
}

constexpr double kInfinite = std::numeric_limits<double>::infinity();

double Sx(double t, double f, int alpha) {
  if (f == kInfinite) return Sw(t, alpha + 2);
  return f * f * (2 * Sw(t, alpha) - Sw(t - 1 / f, alpha) - Sw(t + 1 / f, alpha));
}

double Sz(double t, double f, int alpha, int d) {
  // The 2d-th central difference of sx, signs alternating from the middle.
  static const double kBinomial[4][4] = {{1, 0, 0, 0}, {2, 1, 0, 0}, {6, 4, 1, 0}, {20, 15, 6, 1}};
  double s = kBinomial[d][0] * Sx(t, f, alpha);
  for (int k = 1; k <= d; ++k)
    s += ((k % 2) ? -1 : 1) * kBinomial[d][k] * (Sx(t - k, f, alpha) + Sx(t + k, f, alpha));
  return s;
}

double BasicSum(double J, double M, double S, double F, int alpha, int d) {
  double sum = std::pow(Sz(0, F, alpha, d), 2) + (1 - J / M) * std::pow(Sz(J / S, F, alpha, d), 2);
  for (int j = 1; j < static_cast<int>(J); ++j)
    sum += 2 * (1 - j / M) * std::pow(Sz(j / S, F, alpha, d), 2);
  return sum;
}

// The large-record form 1/edf = (a0 - a1 / r) / r, with a0 and a1 the
// integrals of rho(t)^2 and |t| rho(t)^2 (rho = sz / sz(0)), by the sum at
// a fine step.
void Asymptotic(double F, int alpha, int d, double& a0, double& a1) {
  const double S = 1000;
  const double z0 = Sz(0, F, alpha, d);
  double s0 = 1, s1 = 0;
  for (int j = 1; j < static_cast<int>((d + 1) * S); ++j) {
    const double rho = Sz(j / S, F, alpha, d) / z0;
    s0 += 2 * rho * rho;
    s1 += 2 * (j / S) * rho * rho;
  }
  a0 = s0 / S;
  a1 = s1 / S;
}

double GreenhallEdf(int alpha, int d, double m, double M, bool modified) {
  const double S = m;  // overlapping estimators: stride tau / m
  const double J = std::min(M, (d + 1) * S);
  const double jMax = 100;
  const double r = M / S;
  if (modified || alpha <= 0 || alpha == 1) {
    // F: 1 for the modified variance. For the others the rates are
    // averages over tau0 and their sums (the angle) are exact at the
    // samples: F is infinite for alpha <= 0 (a smoothing of the angle over
    // tau0 would make the terms of m = 1 less correlated than they are:
    // white rate noise has -1/2 between neighbours, edf 2/3 of the terms).
    // Flicker phase noise needs the bandwidth, F = m, capped where the
    // sums lose precision (the dependence on m is logarithmic).
    const double F = modified ? 1.0 : (alpha == 1 ? std::min(m, 1000.0) : kInfinite);
    if (J <= jMax) return std::pow(Sz(0, F, alpha, d), 2) * M / BasicSum(J, M, S, F, alpha, d);
    const double Fa = modified ? 1.0 : (alpha <= 0 ? kInfinite : std::min(m, 64.0));
    if (r > d + 1) {
      double a0, a1;
      Asymptotic(Fa, alpha, d, a0, a1);
      return 1 / ((a0 - a1 / r) / r);
    }
    const double mPrime = jMax / r;
    const double Fb = modified ? 1.0 : (alpha <= 0 ? kInfinite : mPrime);
    return std::pow(Sz(0, Fb, alpha, d), 2) * jMax / BasicSum(jMax, jMax, mPrime, Fb, alpha, d);
  }
  // White phase noise, unmodified variances.
  double c2d = 1, cd = 1;  // binomial(4d, 2d), binomial(2d, d)
  for (int k = 1; k <= 2 * d; ++k) c2d = c2d * (2 * d + k) / k;
  for (int k = 1; k <= d; ++k) cd = cd * (d + k) / k;
  const double a0 = c2d / (cd * cd), a1 = d / 2.0;
  if (std::ceil(r) <= d && M <= jMax) return std::pow(Sz(0, m, alpha, d), 2) * M / BasicSum(M, M, S, m, alpha, d);
  return 1 / ((a0 - a1 / r) / M);
}

// ---------------------------------------------------------------- the sums

// Prefix sums of the rates (offset removed) in double, for exact
// differences at the start of each block of a running sum.
struct TData {
  const float* y = nullptr;
  std::int64_t n = 0;
  double offset = 0;
  // Checkpoints of the prefix sums P[k] = sum of (y[i] - offset), i < k,
  // holes counted as 0: C[c] = P[c * kStride]. Half a byte per record
  // instead of eight, and nothing to fill record by record.
  static constexpr std::int64_t kStride = 16;
  std::vector<double> C;
  double Prefix(std::int64_t k) const {
    const std::int64_t c = k / kStride;
    double p = C[static_cast<std::size_t>(c)];
    for (std::int64_t i = c * kStride; i < k; ++i)
      if (std::isfinite(y[i])) p += static_cast<double>(y[i]) - offset;
    return p;
  }
  // Runs of samples without holes: [begin, end).
  std::vector<std::pair<std::int64_t, std::int64_t>> runs;
  const std::atomic<bool>* cancel = nullptr;
  bool Cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
};

double Y(const TData& d, std::int64_t i) { return static_cast<double>(d.y[i]) - d.offset; }

// Sum of squares of the terms of factor m within one run [b, e). The terms
// follow each other by running differences of the rates (single precision
// in memory, a third of the traffic of the prefix sums), restarted exactly
// from the prefix sums every block; four stretches of the run go side by
// side so that the running sums do not wait for each other.
long double RunSquares(const TData& D, TAllanKind kind, std::int64_t b, std::int64_t e, std::int64_t m) {
  const std::int64_t terms = RunTerms(kind, e - b, m);
  if (terms <= 0) return 0;
  const float* y = D.y;
  constexpr std::int64_t kBlock = 4096;
  auto P = [&D](std::int64_t k) { return D.Prefix(k); };
  long double total = 0;
  if (kind == TAllanKind::Oadev) {
    // d_j = P[j+2m] - 2P[j+m] + P[j]; d_{j+1} = d_j + y[j+2m] - 2y[j+m] + y[j].
    auto first = [&](std::int64_t j) {
      const double p1 = P(j + m);
      return (P(j + 2 * m) - p1) - (p1 - P(j));
    };
    // The offset cancels in the second difference (exact in double for
    // single-precision rates of like size).
    auto next = [&](std::int64_t q) {
      return static_cast<double>(y[q + 2 * m]) - 2.0 * static_cast<double>(y[q + m]) + static_cast<double>(y[q]);
    };
    const std::int64_t quarter = (terms + 3) / 4;
    std::int64_t from[4], to[4];
    for (int k = 0; k < 4; ++k) {
      from[k] = std::min(b + k * quarter, b + terms);
      to[k] = std::min(b + (k + 1) * quarter, b + terms);
    }
    for (std::int64_t at = 0; at < quarter && !D.Cancelled(); at += kBlock) {
      const std::int64_t len = std::min(kBlock, quarter - at);
      std::int64_t s[4], cnt[4];
      double d[4] = {0, 0, 0, 0}, sq[4] = {0, 0, 0, 0};
      bool full = true;
      for (int k = 0; k < 4; ++k) {
        s[k] = from[k] + at;
        cnt[k] = std::clamp<std::int64_t>(to[k] - s[k], 0, len);
        if (cnt[k] > 0) d[k] = first(s[k]);
        full = full && cnt[k] == len;
      }
      if (full) {
        // Four running sums in registers, side by side.
        double d0 = d[0], d1 = d[1], d2 = d[2], d3 = d[3];
        double q0 = 0, q1 = 0, q2 = 0, q3 = 0;
        const float* a0 = y + s[0];
        const float* a1 = y + s[1];
        const float* a2 = y + s[2];
        const float* a3 = y + s[3];
        for (std::int64_t i = 0; i + 1 < len; ++i) {
          q0 += d0 * d0;
          q1 += d1 * d1;
          q2 += d2 * d2;
          q3 += d3 * d3;
          d0 += static_cast<double>(a0[i + 2 * m]) - 2.0 * static_cast<double>(a0[i + m]) + static_cast<double>(a0[i]);
          d1 += static_cast<double>(a1[i + 2 * m]) - 2.0 * static_cast<double>(a1[i + m]) + static_cast<double>(a1[i]);
          d2 += static_cast<double>(a2[i + 2 * m]) - 2.0 * static_cast<double>(a2[i + m]) + static_cast<double>(a2[i]);
          d3 += static_cast<double>(a3[i + 2 * m]) - 2.0 * static_cast<double>(a3[i + m]) + static_cast<double>(a3[i]);
        }
        sq[0] = q0 + d0 * d0;
        sq[1] = q1 + d1 * d1;
        sq[2] = q2 + d2 * d2;
        sq[3] = q3 + d3 * d3;
      } else {
        for (int k = 0; k < 4; ++k) {
          if (cnt[k] == 0) continue;
          for (std::int64_t i = 0; i + 1 < cnt[k]; ++i) {
            sq[k] += d[k] * d[k];
            d[k] += next(s[k] + i);
          }
          sq[k] += d[k] * d[k];
        }
      }
      total += static_cast<long double>(sq[0]) + sq[1] + sq[2] + sq[3];
    }
    return total;
  }
  // Third differences of the prefix sums: D_j = A(j+2m) - 2A(j+m) + A(j)
  // with A(k) the sum of m rates from k. Hadamard: the terms are D_j / m.
  // Modified: the terms are S_j = sum of m second differences, S_{j+1} =
  // S_j + D_j.
  auto third = [&](std::int64_t j) {
    const double p1 = P(j + m), p2 = P(j + 2 * m);
    return (P(j + 3 * m) - p2) - 2 * (p2 - p1) + (p1 - P(j));
  };
  auto step = [&](std::int64_t j) {
    return (Y(D, j + 3 * m) - Y(D, j + 2 * m)) - 2 * (Y(D, j + 2 * m) - Y(D, j + m)) + (Y(D, j + m) - Y(D, j));
  };
  const std::int64_t jEnd = b + terms;
  if (kind == TAllanKind::Hdev) {
    for (std::int64_t j = b; j < jEnd && !D.Cancelled(); j += kBlock) {
      const std::int64_t to = std::min(j + kBlock, jEnd);
      double d = third(j), sq = 0;
      for (std::int64_t q = j; q + 1 < to; ++q) {
        sq += d * d;
        d += step(q);
      }
      total += sq + d * d;
    }
    return total / (static_cast<long double>(m) * m);
  }
  long double S = 0;
  // S_b = sum over i of A(i+m) - A(i), that is the window sums of 2m and m
  // rates: sum of y[b+m .. b+3m) weighted up and down; computed by running
  // the second difference along from i = b.
  {
    double d = (P(b + 2 * m) - P(b + m)) - (P(b + m) - P(b));
    for (std::int64_t i = b; i < b + m; ++i) {
      S += d;
      if (i + 1 < b + m) d += Y(D, i + 2 * m) - 2 * Y(D, i + m) + Y(D, i);
    }
  }
  for (std::int64_t j = b; j < jEnd && !D.Cancelled(); j += kBlock) {
    const std::int64_t to = std::min(j + kBlock, jEnd);
    // D_q is needed up to the last term but one.
    double d = j + 1 < jEnd ? third(j) : 0;
    for (std::int64_t q = j; q < to; ++q) {
      total += S * S;
      if (q + 1 == jEnd) break;
      S += d;
      if (q + 2 < jEnd && q + 1 < to) d += step(q);
    }
  }
  return total;
}

// Lag-1 autocorrelation noise identification (Riley and Greenhall) on the
// rates averaged over m (whole blocks inside runs): the exponent alpha of
// the rate's power spectrum, or false with fewer than 30 averages.
bool IdentifyNoise(const TData& D, std::int64_t m, int dMax, int& alpha) {
  // Runs of consecutive averages, at most about a hundred thousand of them
  // (every k-th stretch of 64 when there are more), so that the small
  // factors need little memory.
  std::int64_t count = 0;
  for (const auto& [b, e] : D.runs) count += (e - b) / m;
  const std::int64_t keep = 64, every = std::max<std::int64_t>(1, count / 100000);
  std::vector<double> z;
  z.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, 2 * 100000 + 64)));
  std::int64_t index = 0;
  for (const auto& [b, e] : D.runs)
    for (std::int64_t k = b; k + m <= e; k += m, ++index)
      if ((index / keep) % every == 0) {
        double sum = 0;
        if (m <= 2 * TData::kStride) {
          for (std::int64_t i = k; i < k + m; ++i) sum += Y(D, i);
        } else {
          sum = D.Prefix(k + m) - D.Prefix(k);
        }
        z.push_back(sum / static_cast<double>(m));
      }
  if (z.size() < 30) return false;
  for (int d = 0;; ++d) {
    double mean = 0;
    for (double v : z) mean += v;
    mean /= static_cast<double>(z.size());
    double num = 0, den = 0;
    for (std::size_t i = 0; i < z.size(); ++i) {
      den += (z[i] - mean) * (z[i] - mean);
      if (i + 1 < z.size()) num += (z[i] - mean) * (z[i + 1] - mean);
    }
    const double r1 = den > 0 ? num / den : 0;
    const double delta = r1 / (1 + r1);
    if (delta < 0.25 || d >= dMax || z.size() < 32) {
      const double p = -2 * (delta + d);
      alpha = static_cast<int>(std::lround(p));
      alpha = std::clamp(alpha, -4, 2);
      return true;
    }
    for (std::size_t i = 0; i + 1 < z.size(); ++i) z[i] = z[i + 1] - z[i];
    z.pop_back();
  }
}

// ---------------------------------------------------------------- terms

double LocalSlope(const std::vector<TAllanPoint>& p, std::size_t i) {
  const std::size_t n = p.size();
  const std::size_t a = i == 0 ? 0 : i - 1;
  const std::size_t b = i + 1 == n ? n - 1 : i + 1;
  return (std::log10(p[b].Adev) - std::log10(p[a].Adev)) / (std::log10(p[b].Tau) - std::log10(p[a].Tau));
}

// The longest run (at least two points) of points whose local slope is
// within the tolerance of `slope`; the line of that slope fitted to them
// by least squares in log-log (with the slope fixed, the mean of log sigma
// - slope * log tau).
TAllanLine FitLine(const std::vector<TAllanPoint>& p, double slope) {
  TAllanLine line;
  line.Slope = slope;
  line.Value = kNaN;
  const std::size_t n = p.size();
  if (n < 2) return line;
  std::size_t bestFirst = 0, bestLen = 0, runFirst = 0, runLen = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double s = LocalSlope(p, i);
    if (std::isfinite(s) && std::fabs(s - slope) <= kSlopeTolerance) {
      if (runLen == 0) runFirst = i;
      if (++runLen > bestLen) {
        bestLen = runLen;
        bestFirst = runFirst;
      }
    } else {
      runLen = 0;
    }
  }
  if (bestLen < 2) return line;
  long double sum = 0;
  for (std::size_t i = bestFirst; i < bestFirst + bestLen; ++i)
    sum += std::log10(p[i].Adev) - slope * std::log10(p[i].Tau);
  line.Level = std::pow(10.0, static_cast<double>(sum / static_cast<long double>(bestLen)));
  line.First = bestFirst;
  line.Last = bestFirst + bestLen - 1;
  line.TauFrom = p[line.First].Tau;
  line.TauTo = p[line.Last].Tau;
  line.Found = std::isfinite(line.Level) && line.Level > 0;
  return line;
}

// The bias instability: only at an interior minimum that the curve falls
// into (local slope below -0.1) and rises out of (above +0.1), both sides
// judged by points whose 95 % lower bound lies above the minimum, so that
// the scatter of the last few points cannot make one.
TAllanLine FindMinimum(const std::vector<TAllanPoint>& p, TAllanKind kind, double& bTau) {
  TAllanLine line;
  line.Value = kNaN;
  bTau = kNaN;
  const std::size_t n = p.size();
  if (n < 3) return line;
  std::size_t i = 0;
  for (std::size_t k = 1; k < n; ++k)
    if (p[k].Adev < p[i].Adev) i = k;
  if (i == 0 || i + 1 == n) return line;
  auto above = [&](std::size_t k) {
    double lo, hi;
    ConfidenceInterval(p[k].Adev, p[k].Edf, 0.95, lo, hi);
    return lo > p[i].Adev;
  };
  auto secant = [&](std::size_t a, std::size_t b) {
    return (std::log10(p[b].Adev) - std::log10(p[a].Adev)) / (std::log10(p[b].Tau) - std::log10(p[a].Tau));
  };
  bool left = false, right = false;
  for (std::size_t k = 0; k < i && !left; ++k) left = above(k) && secant(k, i) < -kSlopeTolerance;
  for (std::size_t k = i + 1; k < n && !right; ++k) right = above(k) && secant(i, k) > kSlopeTolerance;
  if (!left || !right) return line;
  // The flat region: neighbours whose local slope stays within +-0.1.
  std::size_t first = i, last = i;
  while (first > 0 && std::fabs(LocalSlope(p, first - 1)) <= kSlopeTolerance) --first;
  while (last + 1 < n && std::fabs(LocalSlope(p, last + 1)) <= kSlopeTolerance) ++last;
  line.Found = true;
  line.Slope = 0;
  line.Level = p[i].Adev;
  line.First = first;
  line.Last = last;
  line.TauFrom = p[first].Tau;
  line.TauTo = p[last].Tau;
  // Flicker rate noise: mdev and hdev see 0.6746 and 0.8113 of the Allan
  // variance (ratios of the integrals of their transfer functions).
  const double ratio = kind == TAllanKind::Mdev ? 0.674624 : kind == TAllanKind::Hdev ? 0.811278 : 1.0;
  line.Value = p[i].Adev / (kFlickerFactor * std::sqrt(ratio));
  bTau = p[i].Tau;
  return line;
}

void ReadOff(TAllanResult& r) {
  const TAllanKind kind = r.Kind;
  const auto& p = r.Points;
  // Quantization: oadev sigma^2 = 3 Q^2 / tau^2, hdev 10/3 Q^2 / tau^2,
  // mdev 3 Q^2 tau0 / tau^3. sigma in deg/h times s is arc-seconds.
  r.Q = FitLine(p, kind == TAllanKind::Mdev ? -1.5 : -1.0);
  if (r.Q.Found) {
    if (kind == TAllanKind::Mdev)
      r.Q.Value = r.Q.Level / std::sqrt(3 * r.Tau0);
    else
      r.Q.Value = r.Q.Level / std::sqrt(kind == TAllanKind::Hdev ? 10.0 / 3.0 : 3.0);
  }
  // Angle random walk: sigma^2 = N^2 / tau (hdev alike, mdev half); with
  // sigma in deg/h and tau in s, sigma(1 s) / 60 is in deg/sqrt(h).
  r.N = FitLine(p, -0.5);
  if (r.N.Found) r.N.Value = r.N.Level / 60.0 * (kind == TAllanKind::Mdev ? std::sqrt(2.0) : 1.0);
  r.B = FindMinimum(p, kind, r.BTau);
  // Rate random walk: sigma^2 = K^2 tau / 3 (hdev half of it, mdev 33/40);
  // 1/sqrt(s) = 60/sqrt(h).
  r.K = FitLine(p, 0.5);
  if (r.K.Found) {
    const double ratio = kind == TAllanKind::Mdev ? 33.0 / 40.0 : kind == TAllanKind::Hdev ? 0.5 : 1.0;
    r.K.Value = r.K.At(3.0) * 60.0 / std::sqrt(ratio);
  }
  // Rate ramp: sigma = R tau / sqrt(2) (mdev alike); deg/h/s * 3600 is
  // deg/h^2. The Hadamard deviation does not see a ramp.
  if (kind != TAllanKind::Hdev) {
    r.R = FitLine(p, 1.0);
    if (r.R.Found) r.R.Value = r.R.At(std::sqrt(2.0)) * 3600.0;
  } else {
    r.R = TAllanLine{};
    r.R.Slope = 1.0;
    r.R.Value = kNaN;
  }
}

TAllanResult Compute(TData& D, double tau0, const TAllanOptions& o, TAllanResult r) {
  r.Kind = o.Kind;
  r.Confidence = o.Confidence;
  r.Tau0 = tau0;
  r.Q.Value = r.N.Value = r.B.Value = r.K.Value = r.R.Value = r.BTau = kNaN;
  std::int64_t valid = 0;
  for (const auto& [b, e] : D.runs) valid += e - b;
  r.Count = valid;
  D.cancel = o.Cancel;
  if (valid < 3 || !(tau0 > 0) || !std::isfinite(tau0)) return r;
  if (o.Grid.Type == TTauGrid::All && D.n > kAllFactorsLimit) {
    r.Refused = "--taus all computes every factor and is limited to " + std::to_string(kAllFactorsLimit) +
                " records; this span has " + std::to_string(D.n) + " (use a number of points per decade)";
    return r;
  }
  // Prefix sums with the mean removed: the differences keep their digits
  // whatever the offset of the rate.
  long double mean = 0;
  for (const auto& [b, e] : D.runs)
    for (std::int64_t i = b; i < e; ++i) mean += D.y[i];
  D.offset = static_cast<double>(mean / static_cast<long double>(valid));
  D.C.resize(static_cast<std::size_t>(D.n / TData::kStride) + 1);
  long double acc = 0;
  for (std::int64_t i = 0; i < D.n; ++i) {
    if (i % TData::kStride == 0) D.C[static_cast<std::size_t>(i / TData::kStride)] = static_cast<double>(acc);
    if (std::isfinite(D.y[i])) acc += static_cast<long double>(D.y[i]) - D.offset;
  }
  if (D.n % TData::kStride == 0) D.C[static_cast<std::size_t>(D.n / TData::kStride)] = static_cast<double>(acc);
  std::int64_t longest = 0;
  for (const auto& [b, e] : D.runs) longest = std::max(longest, e - b);
  const std::vector<std::int64_t> factors = GridFactors(o.Grid, MaxFactor(o.Kind, longest));
  std::vector<TAllanPoint> points(factors.size());
  // One byte per factor: the cores write their own factors' flags at once
  // (the bits of a vector<bool> share words).
  std::vector<char> identified(factors.size(), 0);
  const int dMax = o.Kind == TAllanKind::Hdev ? 3 : 2;
  // Factors shared out between the cores, largest first.
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t k; !D.Cancelled() && (k = next.fetch_add(1)) < factors.size();) {
      const std::int64_t m = factors[k];
      long double squares = 0;
      std::int64_t terms = 0;
      for (const auto& [b, e] : D.runs) {
        terms += RunTerms(o.Kind, e - b, m);
        squares += RunSquares(D, o.Kind, b, e, m);
      }
      TAllanPoint& p = points[k];
      p.Factor = m;
      p.Tau = static_cast<double>(m) * tau0;
      p.Terms = terms;
      const long double mm = static_cast<long double>(m);
      // oadev: sum d^2 / (2 m^2 T); hdev: sum (D/m)^2 / (6 T); mdev: sum S^2 / (2 m^4 T).
      long double var = 0;
      if (terms > 0) {
        if (o.Kind == TAllanKind::Oadev) var = squares / (2 * mm * mm * terms);
        if (o.Kind == TAllanKind::Hdev) var = squares / (6.0L * terms);
        if (o.Kind == TAllanKind::Mdev) var = squares / (2 * mm * mm * mm * mm * terms);
      }
      p.Adev = static_cast<double>(std::sqrt(var)) * kPerHour;
      identified[k] = IdentifyNoise(D, m, dMax, p.Alpha);
    }
  };
  const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  std::vector<std::thread> threads;
  for (unsigned c = 1; c < cores && factors.size() > 1; ++c) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  std::vector<double>().swap(D.C);
  if (D.Cancelled()) return r;
  // Points without an identification (too few averages) take the noise of
  // the nearest shorter tau that has one; white rate noise when none has.
  int alpha = 0;
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (identified[k])
      alpha = points[k].Alpha;
    else
      points[k].Alpha = alpha;
  }
  for (TAllanPoint& p : points) {
    if (p.Terms < 2) continue;
    const int a = std::max(p.Alpha, o.Kind == TAllanKind::Hdev ? -4 : -2);
    p.Edf = EquivalentDof(o.Kind, a, p.Factor, p.Terms);
    ConfidenceInterval(p.Adev, p.Edf, o.Confidence, p.Lo, p.Hi);
    r.Points.push_back(p);
  }
  ReadOff(r);
  return r;
}

}  // namespace

const char* KindName(TAllanKind kind) {
  switch (kind) {
    case TAllanKind::Oadev: return "oadev";
    case TAllanKind::Mdev: return "mdev";
    case TAllanKind::Hdev: return "hdev";
  }
  return "";
}

bool ParseKind(const std::string& text, TAllanKind& kind) {
  for (TAllanKind k : {TAllanKind::Oadev, TAllanKind::Mdev, TAllanKind::Hdev})
    if (text == KindName(k)) {
      kind = k;
      return true;
    }
  return false;
}

bool ParseTauGrid(const std::string& text, TTauGrid& grid) {
  if (text == "octave" || text == "decade" || text == "all") {
    grid.Type = text == "octave" ? TTauGrid::Octave : text == "decade" ? TTauGrid::Decade : TTauGrid::All;
    grid.PerDecade = 0;
    return true;
  }
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::stoi(text);
  if (n < 1 || n > 1000) return false;
  grid.Type = TTauGrid::Density;
  grid.PerDecade = n;
  return true;
}

std::string TauGridName(const TTauGrid& grid) {
  switch (grid.Type) {
    case TTauGrid::Octave: return "octave";
    case TTauGrid::Decade: return "decade";
    case TTauGrid::All: return "all";
    case TTauGrid::Density: return std::to_string(grid.PerDecade);
  }
  return "";
}

std::vector<std::int64_t> GridFactors(const TTauGrid& grid, std::int64_t maxFactor) {
  std::vector<std::int64_t> f;
  if (maxFactor < 1) return f;
  switch (grid.Type) {
    case TTauGrid::Octave:
      for (std::int64_t m = 1; m <= maxFactor; m *= 2) f.push_back(m);
      break;
    case TTauGrid::Decade:
      for (std::int64_t m = 1; m <= maxFactor; m *= 10) f.push_back(m);
      break;
    case TTauGrid::All:
      for (std::int64_t m = 1; m <= maxFactor; ++m) f.push_back(m);
      break;
    case TTauGrid::Density:
      for (int k = 0;; ++k) {
        const auto m = static_cast<std::int64_t>(std::llround(std::pow(10.0, k / static_cast<double>(grid.PerDecade))));
        if (m > maxFactor) break;
        if (f.empty() || m > f.back()) f.push_back(m);
      }
      break;
  }
  return f;
}

double ChiSquareQuantile(double p, double k) {
  if (!(p > 0 && p < 1) || !(k > 0)) return kNaN;
  // Wilson-Hilferty start, then bisection on the distribution function
  // (monotone), refined to the last bits.
  double lo = 0, hi = std::max(1.0, k);
  while (GammaP(k / 2, hi / 2) < p) hi *= 2;
  for (int i = 0; i < 200 && hi - lo > 1e-15 * hi; ++i) {
    const double mid = 0.5 * (lo + hi);
    (GammaP(k / 2, mid / 2) < p ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

void ConfidenceInterval(double sigma, double edf, double c, double& lo, double& hi) {
  if (!(edf > 0) || !std::isfinite(sigma)) {
    lo = hi = kNaN;
    return;
  }
  lo = sigma * std::sqrt(edf / ChiSquareQuantile((1 + c) / 2, edf));
  hi = sigma * std::sqrt(edf / ChiSquareQuantile((1 - c) / 2, edf));
}

double EquivalentDof(TAllanKind kind, int alpha, std::int64_t m, std::int64_t terms) {
  const int d = kind == TAllanKind::Hdev ? 3 : 2;
  return GreenhallEdf(alpha, d, static_cast<double>(m), static_cast<double>(terms), kind == TAllanKind::Mdev);
}

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
  if (total > 0 && std::isinf(begin) && std::isinf(end)) {
    span.Rates.reserve(static_cast<std::size_t>(total));
    span.Times.reserve(static_cast<std::size_t>(total));
  }
  // The bounds at the precision of the stored times (see AtRecordPrecision).
  const float from = AtRecordPrecision(begin);
  const float to = AtRecordPrecision(end);
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
    if (p.Time > to) break;
    if (!(p.Time >= from)) continue;
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
    span.Times.push_back(static_cast<float>(p.Time));
  }
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  if (progress) progress(total, total);
  return true;
}

TAllanResult ComputeAllan(const float* rates, std::size_t n, double tau0, const TAllanOptions& options) {
  TData D;
  D.y = rates;
  D.n = static_cast<std::int64_t>(n);
  std::int64_t start = -1;
  for (std::int64_t i = 0; i <= D.n; ++i) {
    const bool ok = i < D.n && std::isfinite(rates[i]);
    if (ok && start < 0) start = i;
    if (!ok && start >= 0) {
      D.runs.emplace_back(start, i);
      start = -1;
    }
  }
  return Compute(D, tau0, options, TAllanResult{});
}

TAllanResult ComputeAllan(TSpanRates& span, const TAllanOptions& options) {
  TAllanResult r;
  r.Skipped = span.Skipped;
  const std::int64_t n = static_cast<std::int64_t>(span.Rates.size());
  const float* t = span.Times.data();
  double tau0 = 0;
  if (n >= 2 && static_cast<std::int64_t>(span.Times.size()) == n) {
    // The median of the steps over k records, k large enough that the time
    // stamps' resolution (single precision) is small against the steps;
    // at most a million of them, evenly spread.
    const double rough = (span.LastTime - span.FirstTime) / static_cast<double>(n - 1);
    const double ulp = std::max(std::fabs(span.FirstTime), std::fabs(span.LastTime)) *
                       std::numeric_limits<float>::epsilon();
    std::int64_t k = 1;
    while (rough > 0 && k * rough < 16 * ulp && k < n / 4) k *= 2;
    const std::int64_t count = (n - 1) / k;
    const std::int64_t stride = std::max<std::int64_t>(1, count / 1000000);
    std::vector<double> steps;
    for (std::int64_t i = 0; i + k < n; i += k * stride)
      steps.push_back((static_cast<double>(t[i + k]) - t[i]) / static_cast<double>(k));
    if (!steps.empty()) {
      std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
      tau0 = steps[steps.size() / 2];
    }
    // Gaps and steps back: the runs of records between them. A step may
    // exceed 1.5 tau0 by the time stamps' resolution without being a gap.
    TData D;
    D.y = span.Rates.data();
    D.n = n;
    std::int64_t b = 0;
    if (tau0 > 0) {
      for (std::int64_t i = 1; i < n; ++i) {
        const double s = static_cast<double>(t[i]) - t[i - 1];
        const double res = std::fabs(static_cast<double>(t[i])) * std::numeric_limits<float>::epsilon();
        if (s > 1.5 * tau0 + res) {
          ++r.Gaps;
          r.GapSeconds += s;
        } else if (s < -res) {
          ++r.Backward;
        } else {
          continue;
        }
        D.runs.emplace_back(b, i);
        b = i;
      }
    }
    D.runs.emplace_back(b, n);
    // The median step is only as fine as the time stamps; the mean step
    // within the runs is not.
    double covered = 0;
    std::int64_t inside = 0;
    for (const auto& [from, to] : D.runs) {
      covered += static_cast<double>(t[to - 1]) - t[from];
      inside += to - from - 1;
    }
    if (inside > 0 && covered > 0) tau0 = covered / static_cast<double>(inside);
    r.GapSeconds -= static_cast<double>(r.Gaps) * tau0;  // the time without records
    std::vector<float>().swap(span.Times);
    return Compute(D, tau0, options, r);
  }
  // Without the times of the records: the mean step from first to last.
  TData D;
  D.y = span.Rates.data();
  D.n = n;
  D.runs.emplace_back(0, n);
  if (n >= 2) tau0 = (span.LastTime - span.FirstTime) / static_cast<double>(n - 1);
  return Compute(D, tau0, options, r);
}

std::string AllanTable(const TAllanResult& r) {
  std::string t = "# kind " + std::string(KindName(r.Kind)) + ", confidence " + FormatGeneral(r.Confidence, '.', 6) +
                  ", gaps " + std::to_string(r.Gaps);
  if (r.Gaps > 0) t += " covering " + FormatGeneral(r.GapSeconds, '.', 6) + " s";
  if (r.Backward > 0) t += ", steps back in time " + std::to_string(r.Backward);
  t += "\n";
  for (const TAllanPoint& p : r.Points)
    t += Number(p.Tau) + "\t" + Number(p.Adev) + "\t" + std::to_string(p.Terms) + "\t" + FormatGeneral(p.Edf, '.', 6) +
         "\t" + Number(p.Lo) + "\t" + Number(p.Hi) + "\n";
  auto term = [&](const char* name, const TAllanLine& l, const char* unit) {
    t += std::string(name) + "\t" + Number(l.Found ? l.Value : kNaN) + "\t" + unit + "\t" +
         Number(l.Found ? l.TauFrom : kNaN) + "\t" + Number(l.Found ? l.TauTo : kNaN);
  };
  term("Q", r.Q, "arcsec");
  t += "\n";
  term("N", r.N, "\u00B0/Vh");
  t += "\n";
  term("B", r.B, "\u00B0/h");
  t += "\t" + Number(r.B.Found ? r.BTau : kNaN) + "\n";
  term("K", r.K, "\u00B0/h/Vh");
  t += "\n";
  term("R", r.R, "\u00B0/h^2");
  t += "\n";
  return t;
}
