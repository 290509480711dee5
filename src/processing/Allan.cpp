#include "processing/Allan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>
#include <numbers>
#include <numeric>
#include <thread>
#include <vector>

#include "files/RecordingReader.h"
#include "processing/NumberFormat.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The rates are kept as stored (deg/s); the deviations are shown in deg/h.
constexpr double kPerHour = 3600.0;
// Local slopes within this distance of a term's slope make its region.
constexpr double kSlopeTolerance = 0.1;
// Gaps: steps longer than this many periods are looked at, with the
// median lag of this many records on either side.
constexpr double kGapCandidate = 1.25;
constexpr std::int64_t kGapWindow = 16;
// With fewer records than this on a side of a long step, a gap must be
// later by more than 1.5 periods (else 0.5).
constexpr std::size_t kGapLeast = 4;

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
  // White phase noise, unmodified variances: the phase values are
  // independent, so the terms are correlated only at lags of whole
  // multiples l of m (a term shares a sample with the one l m on), with
  // the correlation rho(l) of the difference's binomial weights c:
  // edf = M^2 / (M + 2 sum_l max(0, M - l m) rho(l)^2), exact for every
  // record length (the large-record form (a0 - a1 / r) / M is this with
  // M > d m, and turns negative below it).
  double c[4] = {1, 0, 0, 0};  // binomial(d, k) with alternating signs
  for (int k = 1; k <= d; ++k) c[k] = -c[k - 1] * (d - k + 1) / k;
  double c0 = 0;
  for (int k = 0; k <= d; ++k) c0 += c[k] * c[k];
  double den = M;
  for (int l = 1; l <= d; ++l) {
    double rho = 0;
    for (int k = 0; k + l <= d; ++k) rho += c[k] * c[k + l];
    rho /= c0;
    den += 2 * std::max(0.0, M - l * m) * rho * rho;
  }
  return M * M / den;
}

// ---------------------------------------------------------------- the sums

// Prefix sums of the rates (offset removed) in double, for exact
// differences at the start of each block of a running sum.
struct TData {
  // Rate i at y[i * ys]: a vector of its own, or the rate field of records
  // read in place.
  const float* y = nullptr;
  std::size_t ys = 1;
  float At(std::int64_t i) const { return y[static_cast<std::size_t>(i) * ys]; }
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
      if (std::isfinite(At(i))) p += static_cast<double>(At(i)) - offset;
    return p;
  }
  // Runs of samples without holes: [begin, end).
  std::vector<std::pair<std::int64_t, std::int64_t>> runs;
  const std::atomic<bool>* cancel = nullptr;
  bool Cancelled() const { return cancel && cancel->load(std::memory_order_relaxed); }
};

double Y(const TData& d, std::int64_t i) { return static_cast<double>(d.At(i)) - d.offset; }

// Four running sums of squares side by side, in registers: the terms d_k
// of the stretches from s[k], len of each, moved along by the second
// differences of the rates (rate i at y[i * stride]).
template <class TStride>
void FourSums(const float* y, TStride stride, const std::int64_t s[4], std::int64_t len, std::int64_t m,
              const double d[4], double sq[4]) {
  const std::size_t st = stride;
  double d0 = d[0], d1 = d[1], d2 = d[2], d3 = d[3];
  double q0 = 0, q1 = 0, q2 = 0, q3 = 0;
  const float* a0 = y + static_cast<std::size_t>(s[0]) * st;
  const float* a1 = y + static_cast<std::size_t>(s[1]) * st;
  const float* a2 = y + static_cast<std::size_t>(s[2]) * st;
  const float* a3 = y + static_cast<std::size_t>(s[3]) * st;
  const std::size_t m1 = static_cast<std::size_t>(m) * st, m2 = 2 * m1;
  for (std::int64_t i = 0; i + 1 < len; ++i) {
    q0 += d0 * d0;
    q1 += d1 * d1;
    q2 += d2 * d2;
    q3 += d3 * d3;
    d0 += static_cast<double>(a0[m2]) - 2.0 * static_cast<double>(a0[m1]) + static_cast<double>(a0[0]);
    d1 += static_cast<double>(a1[m2]) - 2.0 * static_cast<double>(a1[m1]) + static_cast<double>(a1[0]);
    d2 += static_cast<double>(a2[m2]) - 2.0 * static_cast<double>(a2[m1]) + static_cast<double>(a2[0]);
    d3 += static_cast<double>(a3[m2]) - 2.0 * static_cast<double>(a3[m1]) + static_cast<double>(a3[0]);
    a0 += st;
    a1 += st;
    a2 += st;
    a3 += st;
  }
  sq[0] = q0 + d0 * d0;
  sq[1] = q1 + d1 * d1;
  sq[2] = q2 + d2 * d2;
  sq[3] = q3 + d3 * d3;
}

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
      return static_cast<double>(D.At(q + 2 * m)) - 2.0 * static_cast<double>(D.At(q + m)) + static_cast<double>(D.At(q));
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
        if (D.ys == 1)
          FourSums(y, std::integral_constant<std::size_t, 1>{}, s, len, m, d, sq);
        else
          FourSums(y, D.ys, s, len, m, d, sq);
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

// The cross-check: the longest run (at least two points) of points whose
// local slope is within the tolerance of `slope`, and the level of the
// line of that slope fitted to them in log-log (the mean of log sigma -
// slope * log tau), as sigma at tau = 1 s; NaN without such a run.
double SlopeLevel(const std::vector<TAllanPoint>& p, double slope) {
  const std::size_t n = p.size();
  if (n < 2) return kNaN;
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
  if (bestLen < 2) return kNaN;
  long double sum = 0;
  for (std::size_t i = bestFirst; i < bestFirst + bestLen; ++i)
    sum += std::log10(p[i].Adev) - slope * std::log10(p[i].Tau);
  return std::pow(10.0, static_cast<double>(sum / static_cast<long double>(bestLen)));
}

enum { kQ, kN, kB, kK, kR, kTerms };

// ---------------------------------------------------------------- covariance of the points

// A term of the estimator at factor m on the phase x (the running sum of
// the rates, in sample periods): a difference of x at spacing m (second:
// oadev, mdev; third: hdev), x averaged over a box of L samples (mdev:
// L = m), times `scale`, so that its expected square is the point's
// variance.
struct TTermShape {
  std::int64_t m = 1, L = 1;
  int count = 3;
  long double c[4] = {1, -2, 1, 0};
  long double scale = 1;
  std::int64_t Window() const { return (count - 1) * m + L; }
};

TTermShape Shape(TAllanKind kind, std::int64_t m) {
  TTermShape s;
  s.m = m;
  const auto mm = static_cast<long double>(m);
  if (kind == TAllanKind::Hdev) {
    s.count = 4;
    s.c[0] = 1, s.c[1] = -3, s.c[2] = 3, s.c[3] = -1;
    s.scale = 1 / (mm * std::sqrt(6.0L));
  } else {
    s.scale = 1 / (mm * std::sqrt(2.0L));
  }
  if (kind == TAllanKind::Mdev) s.L = m;
  return s;
}

// The generalized autocovariances of x at lag t (samples) of the four
// random terms, each of size 1 in its unit (x in deg/h times samples): Q
// independent angle errors, N a random walk, B integrated flicker noise, K
// an integrated random walk. The estimators' differences remove the
// polynomial part these leave open. Second(): their second antiderivatives,
// for x averaged over a box.
struct TNoiseKernels {
  long double q, n, b, k;
  explicit TNoiseKernels(double tau0)
      : q(1.0L / (static_cast<long double>(tau0) * tau0)),
        n(kPerHour / static_cast<long double>(tau0)),
        b(1 / (2 * std::numbers::pi_v<long double>)),
        k(static_cast<long double>(tau0) / kPerHour) {}
  // N, B, K at t (Q, nonzero at t = 0 only, is the caller's).
  void At(long double t, long double w, long double out[kTerms]) const {
    const long double a = std::fabs(t);
    out[kN] += w * -n * a / 2;
    out[kB] += w * (a > 0 ? b * t * t * std::log(a) : 0);
    out[kK] += w * k * a * a * a / 12;
  }
  void Second(long double t, long double w, long double out[kTerms]) const {
    const long double a = std::fabs(t), t4 = t * t * t * t;
    out[kQ] += w * q * a / 2;
    out[kN] += w * -n * a * a * a / 12;
    out[kB] += w * (a > 0 ? b * (t4 * std::log(a) / 12 - 7 * t4 / 144) : 0);
    out[kK] += w * k * a * a * a * a * a / 240;
  }
};

// The covariance of term j of factor 1 and term j + s of factor 2 for each
// random term (Q, N, B, K). `discrete`: the boxes summed sample by sample
// (Q at whole lags); else x continuous within the boxes (mdev), or, without
// boxes, Q left to the caller.
void TermCovariance(const TTermShape& s1, const TTermShape& s2, const TNoiseKernels& g, long double s, bool discrete,
                    bool box, long double out[kTerms]) {
  for (int k = 0; k < kTerms; ++k) out[k] = 0;
  for (int a = 0; a < s1.count; ++a)
    for (int b = 0; b < s2.count; ++b) {
      const long double w = s1.c[a] * s2.c[b];
      const long double t = s + static_cast<long double>(b * s2.m - a * s1.m);
      if (discrete) {
        const long double norm = w / static_cast<long double>(s1.L * s2.L);
        for (std::int64_t i = 0; i < s1.L; ++i)
          for (std::int64_t l = 0; l < s2.L; ++l) {
            const long double u = t + static_cast<long double>(l - i);
            g.At(u, norm, out);
            if (u == 0) out[kQ] += norm * g.q;
          }
      } else if (box) {
        const auto L1 = static_cast<long double>(s1.L), L2 = static_cast<long double>(s2.L);
        const long double norm = w / (L1 * L2);
        g.Second(t + L2, norm, out);
        g.Second(t + L2 - L1, -norm, out);
        g.Second(t, -norm, out);
        g.Second(t - L1, norm, out);
      } else {
        g.At(t, w, out);
      }
    }
  for (int k = 0; k < kTerms; ++k) out[k] *= s1.scale * s2.scale;
}

// Factors further apart than this are taken as uncorrelated (below 2 %
// for every term).
constexpr std::int64_t kCorrelatedRatio = 4096;

// Sums over the lags s between the terms of two points (T1, T2 terms) of
// count(s) times the products of the random terms' covariances (S) and
// times the covariances (V). The covariance of the two variances is, for
// terms of any size c (Gaussian noise, mu the ramp's part of each term),
//   (2 sum_tu c_t c_u S_tu + 4 mu1 mu2 sum_t c_t V_t) / (T1 T2).
struct TPairSums {
  double S[kTerms][kTerms] = {};
  double V[kTerms] = {};
};

TPairSums PairSums(TAllanKind kind, std::int64_t m1, std::int64_t T1, std::int64_t m2, std::int64_t T2, double tau0) {
  TPairSums r;
  if (std::max(m1, m2) > kCorrelatedRatio * std::min(m1, m2)) return r;
  const TTermShape s1 = Shape(kind, m1), s2 = Shape(kind, m2);
  const TNoiseKernels g(tau0);
  const bool box = kind == TAllanKind::Mdev;
  const auto W = static_cast<long double>(std::max(s1.Window(), s2.Window()));
  // Outside [lo, hi] only flicker noise leaves covariance (falling as 1/s^2).
  const long double lo = -static_cast<long double>(s2.Window()), hi = static_cast<long double>(s1.Window());
  const auto from = static_cast<long double>(-T1), to = static_cast<long double>(T2);
  auto count = [&](long double s) {
    return std::max(0.0L, std::min(static_cast<long double>(T1), static_cast<long double>(T2) - s) - std::max(0.0L, -s));
  };
  long double S[kTerms][kTerms] = {}, V[kTerms] = {};
  // Boxes (mdev): outside the windows the box averages of the kernels are
  // differences of numbers near s^5 (s^4 log s for flicker noise) that
  // cancel to almost nothing, and what the rounding leaves can outweigh a
  // short point's whole covariance. There the terms that end at the
  // windows' edges are nothing, and farther out flicker noise's boxes are
  // taken as their centres (relative error below (L / s)^2 / 24).
  const long double far = 8 * static_cast<long double>(std::max(s1.L, s2.L));
  const long double centre = (static_cast<long double>(s2.L) - static_cast<long double>(s1.L)) / 2;
  auto add = [&](long double s, long double weight, bool discrete) {
    long double c[kTerms];
    if (box && (s < lo - far || s > hi + far)) {
      TermCovariance(s1, s2, g, s + centre, false, false, c);
      c[kQ] = c[kN] = c[kK] = 0;
    } else {
      TermCovariance(s1, s2, g, s, discrete, box, c);
      if (box && (s < lo || s > hi)) c[kQ] = c[kN] = c[kK] = 0;
    }
    const long double n = count(s) * weight;
    for (int t = 0; t < kR; ++t) {
      V[t] += n * c[t];
      for (int u = 0; u < kR; ++u) S[t][u] += n * c[t] * c[u];
    }
  };
  if (s1.L * s2.L <= 64 && hi - lo + 8 * W <= 3000) {
    // Short terms: every lag.
    const auto a = static_cast<std::int64_t>(std::max(from + 1, lo - 4 * W));
    const auto b = static_cast<std::int64_t>(std::min(to - 1, hi + 4 * W));
    for (std::int64_t s = a; s <= b; ++s) add(static_cast<long double>(s), 1, true);
  } else {
    // Long terms: the lags as a continuum, by 8-point Gauss-Legendre between
    // the kinks (where two points of the differences meet, where the count
    // bends) and on widening pieces into flicker noise's tails.
    const long double left = std::max(from, lo - 256 * W), right = std::min(to, hi + 256 * W);
    std::vector<long double> cuts = {left, right, 0, static_cast<long double>(T2 - T1)};
    for (int a = 0; a < s1.count; ++a)
      for (int b = 0; b < s2.count; ++b) {
        const auto base = static_cast<long double>(a * s1.m - b * s2.m);
        if (box) {
          const auto L1 = static_cast<long double>(s1.L), L2 = static_cast<long double>(s2.L);
          for (long double kink : {-L2, L1 - L2, 0.0L, L1}) cuts.push_back(base + kink);
        } else {
          cuts.push_back(base);
        }
      }
    for (long double w = W; w <= 256 * W; w *= 2) {
      cuts.push_back(hi + w);
      cuts.push_back(lo - w);
    }
    std::erase_if(cuts, [&](long double x) { return x < left || x > right; });
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    static constexpr long double kNode[4] = {0.1834346424956498049L, 0.5255324099163289858L, 0.7966664774136267396L,
                                             0.9602898564975362317L};
    static constexpr long double kWeight[4] = {0.3626837833783619830L, 0.3137066458778872873L,
                                               0.2223810344533744706L, 0.1012285362903762591L};
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      const long double mid = (cuts[i] + cuts[i + 1]) / 2, half = (cuts[i + 1] - cuts[i]) / 2;
      for (int k = 0; k < 4; ++k) {
        add(mid - half * kNode[k], half * kWeight[k], false);
        add(mid + half * kNode[k], half * kWeight[k], false);
      }
    }
    if (!box) {
      // Q: independent angle errors meet only at the whole lags where two
      // points of the differences coincide.
      std::vector<std::pair<std::int64_t, long double>> meet;
      for (int a = 0; a < s1.count; ++a)
        for (int b = 0; b < s2.count; ++b) {
          const std::int64_t s = a * s1.m - b * s2.m;
          auto it = std::find_if(meet.begin(), meet.end(), [s](const auto& e) { return e.first == s; });
          if (it == meet.end()) it = meet.insert(meet.end(), {s, 0.0L});
          it->second += s1.c[a] * s2.c[b] * g.q * s1.scale * s2.scale;
        }
      for (const auto& [s, cq] : meet) {
        const auto ls = static_cast<long double>(s);
        if (!(ls > from && ls < to)) continue;
        long double c[kTerms];
        TermCovariance(s1, s2, g, ls, false, false, c);
        const long double n = count(ls);
        V[kQ] += n * cq;
        S[kQ][kQ] += n * cq * cq;
        for (int u = kN; u < kR; ++u) {
          S[kQ][u] += n * cq * c[u];
          S[u][kQ] += n * cq * c[u];
        }
      }
    }
  }
  for (int t = 0; t < kR; ++t) {
    r.V[t] = static_cast<double>(V[t]);
    for (int u = 0; u < kR; ++u) r.S[t][u] = static_cast<double>(S[t][u]);
  }
  return r;
}

// The covariance of two points' variances for terms of squared size c,
// from their sums; ramps: the product of the two points' variances of a
// ramp of size 1, square-rooted; terms: the product of their term counts.
double Covariance(const TPairSums& q, const std::array<double, kTerms>& c, double ramps, double terms) {
  double random = 0, mean = 0;
  for (int t = 0; t < kR; ++t) {
    mean += c[t] * q.V[t];
    for (int u = 0; u < kR; ++u) random += c[t] * c[u] * q.S[t][u];
  }
  return (2 * random + 4 * c[kR] * ramps * mean) / terms;
}

// Flicker and random walk of the rate: the modified and the Hadamard
// variance over the Allan variance (ratios of the integrals of their
// transfer functions).
double FlickerRatio(TAllanKind kind) {
  return kind == TAllanKind::Mdev ? 0.674624 : kind == TAllanKind::Hdev ? 0.811278 : 1.0;
}
double WalkRatio(TAllanKind kind) {
  return kind == TAllanKind::Mdev ? 33.0 / 40.0 : kind == TAllanKind::Hdev ? 0.5 : 1.0;
}

// The weights of one term of the estimator on the rates, scaled so that
// the expected square of the weighted sum is the variance: oadev the
// difference of two means of m, hdev the second difference of three,
// mdev the mean over m starts of the oadev difference.
std::vector<double> TermWeights(TAllanKind kind, std::int64_t m) {
  std::vector<double> w;
  const double mm = static_cast<double>(m);
  if (kind == TAllanKind::Oadev) {
    for (std::int64_t k = 0; k < 2 * m; ++k) w.push_back((k < m ? -1.0 : 1.0) / (mm * std::sqrt(2.0)));
  } else if (kind == TAllanKind::Hdev) {
    for (std::int64_t k = 0; k < 3 * m; ++k) w.push_back((k < m || k >= 2 * m ? 1.0 : -2.0) / (mm * std::sqrt(6.0)));
  } else {
    for (std::int64_t k = 0; k < 3 * m - 1; ++k) {
      // Starts i in [0, m) whose later block [i + m, i + 2m) holds k, less
      // those whose earlier block [i, i + m) does.
      const std::int64_t plus = std::max<std::int64_t>(0, std::min(m - 1, k - m) - std::max<std::int64_t>(0, k - 2 * m + 1) + 1);
      const std::int64_t minus = std::max<std::int64_t>(0, std::min(m - 1, k) - std::max<std::int64_t>(0, k - m + 1) + 1);
      w.push_back(static_cast<double>(plus - minus) / (mm * mm * std::sqrt(2.0)));
    }
  }
  return w;
}

// The variance (deg/h)^2 a term of size 1 adds at factor m: Q (arcsec:
// independent angle errors), N (deg/sqrt(h): independent rates), R (deg/h^2:
// a ramp) exactly from the weights; B (deg/h) and K (deg/h/sqrt(h)) by the
// flicker and random-walk laws. Above a factor of 512 the weights' sums
// are the large-factor laws to a part in a million.
std::array<double, kTerms> Basis(TAllanKind kind, std::int64_t m, double tau0) {
  const double tau = static_cast<double>(m) * tau0;
  std::array<double, kTerms> b{};
  b[kB] = kFlickerFactor * kFlickerFactor * FlickerRatio(kind);
  b[kK] = WalkRatio(kind) * tau / (3 * kPerHour);
  if (m > 512) {
    b[kQ] = kind == TAllanKind::Mdev ? 3 * tau0 / (tau * tau * tau) : (kind == TAllanKind::Hdev ? 10.0 / 3 : 3.0) / (tau * tau);
    b[kN] = (kind == TAllanKind::Mdev ? kPerHour / 2 : kPerHour) / tau;
    b[kR] = kind == TAllanKind::Hdev ? 0 : tau * tau / (2 * kPerHour * kPerHour);
    return b;
  }
  const std::vector<double> w = TermWeights(kind, m);
  double sw = 0, su = 0, ramp = 0;
  for (std::size_t k = 0; k <= w.size(); ++k) {
    const double wk = k < w.size() ? w[k] : 0, before = k > 0 ? w[k - 1] : 0;
    sw += wk * wk;
    su += (before - wk) * (before - wk);
    ramp += wk * static_cast<double>(k);
  }
  b[kQ] = su / (tau0 * tau0);
  b[kN] = kPerHour * sw / tau0;
  // A ramp of R deg/h^2 moves the rate by R tau0 / 3600 deg/h a sample.
  b[kR] = std::fabs(ramp) < 1e-9 * static_cast<double>(m) ? 0 : ramp * ramp * tau0 * tau0 / (kPerHour * kPerHour);
  return b;
}

// Weighted least squares of v ~ sum_k c_k basis_k over the terms of
// `active`, by the normal equations with the columns scaled to unit norm.
// False when they are singular.
bool SolveSubset(const std::vector<std::array<double, kTerms>>& A, const std::vector<double>& v,
                 const std::vector<double>& weight, unsigned active, std::array<double, kTerms>& c,
                 std::array<double, kTerms>& se, double& ssr) {
  int idx[kTerms], n = 0;
  for (int k = 0; k < kTerms; ++k)
    if (active & (1u << k)) idx[n++] = k;
  double scale[kTerms] = {};
  for (int a = 0; a < n; ++a) {
    long double s = 0;
    for (std::size_t i = 0; i < v.size(); ++i) s += weight[i] * A[i][idx[a]] * A[i][idx[a]];
    if (!(s > 0)) return false;
    scale[a] = static_cast<double>(1 / std::sqrt(s));
  }
  long double M[kTerms][kTerms + 1 + kTerms] = {};
  for (int a = 0; a < n; ++a) {
    for (int b = 0; b < n; ++b) {
      long double s = 0;
      for (std::size_t i = 0; i < v.size(); ++i) s += weight[i] * A[i][idx[a]] * A[i][idx[b]];
      M[a][b] = s * scale[a] * scale[b];
    }
    long double s = 0;
    for (std::size_t i = 0; i < v.size(); ++i) s += weight[i] * A[i][idx[a]] * v[i];
    M[a][n] = s * scale[a];
    for (int b = 0; b < n; ++b) M[a][n + 1 + b] = a == b ? 1 : 0;
  }
  // Gauss-Jordan with partial pivoting: the solution and the inverse.
  for (int col = 0; col < n; ++col) {
    int piv = col;
    for (int r = col + 1; r < n; ++r)
      if (std::fabs(static_cast<double>(M[r][col])) > std::fabs(static_cast<double>(M[piv][col]))) piv = r;
    if (!(std::fabs(static_cast<double>(M[piv][col])) > 1e-12)) return false;
    for (int k = 0; k <= 2 * n; ++k) std::swap(M[col][k], M[piv][k]);
    const long double d = M[col][col];
    for (int k = 0; k <= 2 * n; ++k) M[col][k] /= d;
    for (int r = 0; r < n; ++r) {
      if (r == col) continue;
      const long double f = M[r][col];
      for (int k = 0; k <= 2 * n; ++k) M[r][k] -= f * M[col][k];
    }
  }
  c.fill(0);
  se.fill(kNaN);
  for (int a = 0; a < n; ++a) {
    c[idx[a]] = static_cast<double>(M[a][n]) * scale[a];
    se[idx[a]] = std::sqrt(static_cast<double>(M[a][n + 1 + a])) * scale[a];
  }
  long double s = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    double model = 0;
    for (int k = 0; k < kTerms; ++k) model += c[k] * A[i][k];
    s += weight[i] * (v[i] - model) * (v[i] - model);
  }
  ssr = static_cast<double>(s);
  return true;
}

// The non-negative fit: every subset of the terms, the feasible one of
// least weighted residual (exact for five terms).
bool FitTerms(const std::vector<std::array<double, kTerms>>& A, const std::vector<double>& v,
              const std::vector<double>& weight, unsigned allowed, std::array<double, kTerms>& c,
              std::array<double, kTerms>& se) {
  double best = std::numeric_limits<double>::infinity();
  for (unsigned s = 1; s < (1u << kTerms); ++s) {
    // At least one point more than terms: a curve through every point
    // tells nothing of its terms' uncertainty.
    if ((s & ~allowed) != 0 || static_cast<std::size_t>(std::popcount(s)) >= v.size()) continue;
    std::array<double, kTerms> cs, ss;
    double ssr = 0;
    if (!SolveSubset(A, v, weight, s, cs, ss, ssr)) continue;
    if (std::any_of(cs.begin(), cs.end(), [](double x) { return x < 0; })) continue;
    if (ssr < best) {
      best = ssr;
      c = cs;
      se = ss;
    }
  }
  return std::isfinite(best);
}

// Generalized least squares with the covariance `sigma` (n x n) of the
// points: the points whitened by its Cholesky factor, then the
// non-negative fit. False when the covariance is not positive definite.
bool FitTermsGls(const std::vector<std::array<double, kTerms>>& A, const std::vector<double>& v,
                 const std::vector<double>& sigma, unsigned allowed, std::array<double, kTerms>& c,
                 std::array<double, kTerms>& se) {
  const std::size_t n = v.size();
  std::vector<long double> d(n), L(n * n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!(sigma[i * n + i] > 0)) return false;
    d[i] = std::sqrt(static_cast<long double>(sigma[i * n + i]));
  }
  // Cholesky of the correlation matrix (the variances span many decades).
  for (std::size_t j = 0; j < n; ++j) {
    long double diag = 1 + 1e-9L;
    for (std::size_t k = 0; k < j; ++k) diag -= L[j * n + k] * L[j * n + k];
    if (!(diag > 1e-12L)) return false;
    L[j * n + j] = std::sqrt(diag);
    for (std::size_t i = j + 1; i < n; ++i) {
      long double x = sigma[i * n + j] / (d[i] * d[j]);
      for (std::size_t k = 0; k < j; ++k) x -= L[i * n + k] * L[j * n + k];
      L[i * n + j] = x / L[j * n + j];
    }
  }
  auto whiten = [&](std::vector<long double> x) {
    for (std::size_t i = 0; i < n; ++i) {
      x[i] /= d[i];
      for (std::size_t k = 0; k < i; ++k) x[i] -= L[i * n + k] * x[k];
      x[i] /= L[i * n + i];
    }
    return x;
  };
  std::vector<std::array<double, kTerms>> Aw(n);
  for (int k = 0; k < kTerms; ++k) {
    std::vector<long double> col(n);
    for (std::size_t i = 0; i < n; ++i) col[i] = A[i][k];
    col = whiten(col);
    for (std::size_t i = 0; i < n; ++i) Aw[i][k] = static_cast<double>(col[i]);
  }
  const std::vector<long double> vl = whiten(std::vector<long double>(v.begin(), v.end()));
  const std::vector<double> vw(vl.begin(), vl.end()), ones(n, 1.0);
  // Every allowed term, free of sign; the non-negative fit where there are
  // too few points for that.
  double ssr = 0;
  if (static_cast<std::size_t>(std::popcount(allowed)) < n && SolveSubset(Aw, vw, ones, allowed, c, se, ssr))
    return true;
  return FitTerms(Aw, vw, ones, allowed, c, se);
}

void ReadOff(TAllanResult& r) {
  const TAllanKind kind = r.Kind;
  const auto& p = r.Points;
  TAllanLine* lines[kTerms] = {&r.Q, &r.N, &r.B, &r.K, &r.R};
  // Each term's own line: its slope, and the factor of sigma at 1 s.
  const double slopes[kTerms] = {kind == TAllanKind::Mdev ? -1.5 : -1.0, -0.5, 0.0, 0.5, 1.0};
  const std::array<double, kTerms> unit = {
      std::sqrt(kind == TAllanKind::Mdev ? 3 * r.Tau0 : kind == TAllanKind::Hdev ? 10.0 / 3 : 3.0),
      60.0 / (kind == TAllanKind::Mdev ? std::sqrt(2.0) : 1.0), kFlickerFactor * std::sqrt(FlickerRatio(kind)),
      std::sqrt(WalkRatio(kind) / (3 * kPerHour)), 1 / (std::sqrt(2.0) * kPerHour)};
  for (int k = 0; k < kTerms; ++k) {
    *lines[k] = TAllanLine{};
    lines[k]->Slope = slopes[k];
    const double level = SlopeLevel(p, slopes[k]);
    lines[k]->SlopeValue = level / unit[k];
  }
  r.BTau = r.BUpper = kNaN;
  const unsigned allowed = kind == TAllanKind::Hdev ? 0x0Fu : 0x1Fu;
  if (kind == TAllanKind::Hdev) {
    r.R.SlopeValue = kNaN;
    r.R.Absent = "the Hadamard deviation does not see a rate ramp";
  }
  if (p.empty()) {
    for (int k = 0; k < kTerms; ++k)
      if (lines[k]->Absent.empty()) lines[k]->Absent = "no Allan deviation";
    return;
  }
  // The points of the fit: neighbours at least a factor 2 apart (closer
  // ones add little but a nearly singular covariance).
  std::vector<std::size_t> used;
  for (std::size_t i = 0; i < p.size(); ++i)
    if (p[i].Edf > 0 && p[i].Adev >= 0 && std::isfinite(p[i].Adev) &&
        (used.empty() || p[i].Factor >= 2 * p[used.back()].Factor))
      used.push_back(i);
  std::vector<std::array<double, kTerms>> A;
  std::vector<double> v, weight;
  double largest = 0;
  for (std::size_t i : used) {
    A.push_back(Basis(kind, p[i].Factor, r.Tau0));
    v.push_back(p[i].Adev * p[i].Adev);
    largest = std::max(largest, v.back());
  }
  // A point of deviation zero (a rate that repeats with the period of
  // its factor) would weigh without bound: no curve variance is taken
  // below a part in 10^12 of the largest.
  const double least = 1e-12 * largest;
  // Weights edf / (2 variance^2), the variance of a chi-square estimate,
  // from the fitted curve once there is one (the measured points would
  // favour those that happen to lie low).
  std::array<double, kTerms> c{}, se{};
  bool fitted = false;
  std::vector<double> model = v;
  for (int iteration = 0; iteration < 5; ++iteration) {
    weight.clear();
    for (std::size_t j = 0; j < used.size(); ++j) {
      const double mu = std::max(model[j] > 0 ? model[j] : v[j], least);
      weight.push_back(p[used[j]].Edf / (2 * mu * mu));
    }
    if (!(largest > 0) || !FitTerms(A, v, weight, allowed, c, se)) break;
    fitted = true;
    for (std::size_t j = 0; j < used.size(); ++j) {
      model[j] = 0;
      for (int k = 0; k < kTerms; ++k) model[j] += c[k] * A[j][k];
    }
  }
  // The points are not independent (overlapping terms, neighbouring
  // factors share samples): the fit again by generalized least squares
  // with the covariance of the points the fitted terms give (each at its
  // fitted size, none below zero), until it settles; the terms' standard
  // errors are that fit's. The terms are free of sign there: held at zero
  // or above, a term absent from the data would take a share of its
  // neighbour's variance in about half of all recordings (Q of N's, R of
  // K's) and pull it low. A term the data do not show then leaves the
  // fitted curve, the weakest first, and the rest are fitted again; it
  // keeps its estimate from the last fit it was in. While terms are sought
  // the covariance stays that of the fit with every term: a term the data
  // cannot tell from zero may still be there, and its noise still counts
  // against the others' showing (a random walk of the rate too short to
  // show must not pass for a rate ramp).
  // How many standard errors above zero a term's square must lie. A rate
  // ramp is read off the curve's rise at the longest averaging times,
  // where few independent terms remain; from noise alone (a random walk of
  // the rate over a record too short to tell from a ramp) its fitted square
  // is that of a Gaussian slope: chi-square with one degree of freedom,
  // mean 0 and standard error sqrt 2 about its own mean, with an upper tail
  // far longer than a normal one. Its threshold keeps the same 1 in 200:
  // P(chi2_1 > 1 + z sqrt 2) = 0.005.
  std::array<double, kTerms> detection;
  detection.fill(kTermDetection);
  detection[kR] = (ChiSquareQuantile(1 - 0.005, 1) - 1) / std::sqrt(2.0);
  std::array<double, kTerms> squared, squaredSe;
  squared.fill(kNaN);
  squaredSe.fill(kNaN);
  unsigned kept = allowed;
  if (fitted) {
    const std::size_t n = used.size();
    std::vector<TPairSums> sums(n * n);
    std::vector<double> terms(n), ramp(n);
    for (std::size_t i = 0; i < n; ++i) {
      terms[i] = static_cast<double>(p[used[i]].Terms);
      ramp[i] = std::sqrt(A[i][kR]);  // Basis: the variance of R = 1
      for (std::size_t j = 0; j <= i; ++j)
        sums[i * n + j] = PairSums(kind, p[used[i]].Factor, p[used[i]].Terms, p[used[j]].Factor, p[used[j]].Terms, r.Tau0);
    }
    std::vector<double> sigma(n * n);
    std::array<double, kTerms> noise{};
    // The points' covariance for the terms' squares in `noise`.
    auto covariances = [&] {
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
          sigma[i * n + j] = sigma[j * n + i] =
              Covariance(sums[i * n + j], noise, ramp[i] * ramp[j], terms[i] * terms[j]);
    };
    // The squares and standard errors of the terms kept, as fitted.
    auto record = [&] {
      for (int k = 0; k < kTerms; ++k)
        if (kept & (1u << k)) {
          squared[k] = c[k];
          squaredSe[k] = se[k];
        }
    };
    while (kept != 0) {
      // (Once terms have left, the covariance is fixed: one fit settles it.)
      for (int iteration = 0; iteration < (kept == allowed ? 4 : 1); ++iteration) {
        if (kept == allowed)
          for (int k = 0; k < kTerms; ++k) noise[k] = std::max(c[k], 0.0);
        covariances();
        std::array<double, kTerms> cg{}, sg{};
        if (!FitTermsGls(A, v, sigma, kept, cg, sg)) break;
        c = cg;
        se = sg;
      }
      record();
      int weakest = -1;
      double least = 1;
      for (int k = 0; k < kTerms; ++k) {
        const double strength = c[k] > 0 ? c[k] / se[k] / detection[k] : 0;
        if ((kept & (1u << k)) && !(strength > least)) {
          least = strength;
          weakest = k;
        }
      }
      if (weakest < 0) break;
      kept &= ~(1u << weakest);
      c[weakest] = 0;
      se[weakest] = kNaN;
    }
    // Once found, the terms' values and intervals are those of a fit whose
    // covariance counts a term left out at its last fitted square x less
    // what its standard error e accounts for, x - e^2 / x (nothing within
    // a standard error of zero), when that fit keeps each term found above
    // zero. Its square as fitted, above zero half of the time when the
    // term is not there, would widen the others' intervals (a rate ramp's
    // twice too wide beside white noise alone); nothing at all would let a
    // term too faint to show pull its neighbour. In the search above the
    // same covariance would pass the noise of a faint random walk of the
    // rate for a rate ramp.
    if (kept != allowed && kept != 0) {
      std::array<double, kTerms> cf = c, sf = se;
      bool settled = true;
      for (int iteration = 0; iteration < 4 && settled; ++iteration) {
        for (int k = 0; k < kTerms; ++k) {
          const double x = squared[k], e = squaredSe[k];
          noise[k] = (kept & (1u << k)) ? std::max(cf[k], 0.0) : x > e ? x - e * e / x : 0.0;
        }
        covariances();
        settled = FitTermsGls(A, v, sigma, kept, cf, sf);
        for (int k = 0; k < kTerms && settled; ++k)
          if ((kept & (1u << k)) && !(cf[k] > 0)) settled = false;
      }
      if (settled) {
        c = cf;
        se = sf;
        record();
      }
    }
  }
  const double z = std::sqrt(ChiSquareQuantile(r.Confidence, 1));
  // Each term's share of the fitted variance at every point.
  std::vector<std::array<double, kTerms>> share(p.size());
  for (std::size_t i = 0; i < p.size(); ++i) {
    const auto b = Basis(kind, p[i].Factor, r.Tau0);
    for (int k = 0; k < kTerms; ++k) share[i][k] = fitted ? c[k] * b[k] : 0;
  }
  for (int k = 0; k < kTerms; ++k) {
    TAllanLine& l = *lines[k];
    if (!(allowed & (1u << k))) continue;
    if (!fitted) {
      l.Absent = "too few points for the fit of the terms";
      continue;
    }
    l.Squared = squared[k];
    l.SquaredSe = squaredSe[k];
    if (!(squared[k] > 0)) {
      l.Absent = "not in the data: the fit of the five terms gives it no share";
      continue;
    }
    if (!(kept & (1u << k))) {
      l.Absent = "not shown by the data: its fitted share is within " + FormatFixed(detection[k], 3, 1) +
                 " standard errors of zero";
      continue;
    }
    l.Found = true;
    l.Value = std::sqrt(c[k]);
    l.Lo = std::sqrt(std::max(0.0, c[k] - z * se[k]));
    l.Hi = std::sqrt(c[k] + z * se[k]);
    l.Level = l.Value * unit[k];
    // Drawn where it is the largest term, else at its largest share.
    bool any = false;
    std::size_t best = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
      const double total = std::accumulate(share[i].begin(), share[i].end(), 0.0);
      if (share[i][k] / total > share[best][k] / std::accumulate(share[best].begin(), share[best].end(), 0.0)) best = i;
      if (*std::max_element(share[i].begin(), share[i].end()) == share[i][k]) {
        if (!any) l.First = i;
        l.Last = i;
        any = true;
      }
    }
    if (!any) l.First = l.Last = best;
    l.TauFrom = p[l.First].Tau;
    l.TauTo = p[l.Last].Tau;
  }
  std::size_t lowest = 0;
  for (std::size_t i = 1; i < p.size(); ++i)
    if (p[i].Adev < p[lowest].Adev) lowest = i;
  if (r.B.Found)
    r.BTau = p[lowest].Tau;
  else
    r.BUpper = p[lowest].Adev / (kFlickerFactor * std::sqrt(FlickerRatio(kind)));
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
  if (valid < 3 || !(tau0 > 0) || !std::isfinite(tau0)) {
    r.Empty = valid < 3 ? "fewer than 3 records in the span" : "the records of the span do not advance in time";
    ReadOff(r);
    return r;
  }
  if (o.Grid.Type == TTauGrid::All && D.n > kAllFactorsLimit) {
    r.Refused = "--taus all computes every factor and is limited to " + std::to_string(kAllFactorsLimit) +
                " records; this span has " + std::to_string(D.n) + " (use a number of points per decade)";
    ReadOff(r);
    return r;
  }
  // Prefix sums with the mean removed: the differences keep their digits
  // whatever the offset of the rate.
  long double mean = 0;
  for (const auto& [b, e] : D.runs)
    for (std::int64_t i = b; i < e; ++i) mean += D.At(i);
  D.offset = static_cast<double>(mean / static_cast<long double>(valid));
  D.C.resize(static_cast<std::size_t>(D.n / TData::kStride) + 1);
  long double acc = 0;
  for (std::int64_t i = 0; i < D.n; ++i) {
    if (i % TData::kStride == 0) D.C[static_cast<std::size_t>(i / TData::kStride)] = static_cast<double>(acc);
    if (std::isfinite(D.At(i))) acc += static_cast<long double>(D.At(i)) - D.offset;
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
  auto interval = [&](TAllanPoint& p) {
    const int a = std::max(p.Alpha, o.Kind == TAllanKind::Hdev ? -4 : -2);
    p.Edf = EquivalentDof(o.Kind, a, p.Factor, p.Terms);
    ConfidenceInterval(p.Adev, p.Edf, o.Confidence, p.Lo, p.Hi);
  };
  std::vector<bool> own;
  for (std::size_t k = 0; k < points.size(); ++k) {
    TAllanPoint& p = points[k];
    if (p.Terms < 2) continue;
    interval(p);
    r.Points.push_back(p);
    own.push_back(identified[k]);
  }
  if (r.Points.empty())
    r.Empty = "the span has too few records for the " + std::string(KindName(o.Kind)) + " estimator: " +
              std::to_string(valid) + " (in its longest run without a gap " + std::to_string(longest) +
              "), it needs " + std::to_string(MinimumRecords(o.Kind));
  ReadOff(r);
  // A point without an identification of its own takes, where the fit
  // reports terms, the noise of the one largest at its tau (the nearest
  // shorter tau's, read from a few dozen averages, is often another).
  const TAllanLine* lines[kTerms] = {&r.Q, &r.N, &r.B, &r.K, &r.R};
  constexpr int kAlpha[kTerms] = {2, 0, -1, -2, -2};
  for (std::size_t k = 0; k < r.Points.size(); ++k) {
    if (own[k]) continue;
    int largest = -1;
    for (int t = 0; t < kTerms; ++t)
      if (lines[t]->Found && (largest < 0 || lines[t]->At(r.Points[k].Tau) > lines[largest]->At(r.Points[k].Tau)))
        largest = t;
    if (largest < 0 || r.Points[k].Alpha == kAlpha[largest]) continue;
    r.Points[k].Alpha = kAlpha[largest];
    interval(r.Points[k]);
  }
  return r;
}

}  // namespace

std::int64_t MinimumRecords(TAllanKind kind) { return kind == TAllanKind::Hdev ? 4 : 3; }

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
  // Never more than the terms themselves hold: each is one square.
  const double edf = GreenhallEdf(alpha, d, static_cast<double>(m), static_cast<double>(terms), kind == TAllanKind::Mdev);
  return std::min(edf, static_cast<double>(terms));
}

double PointCovariance(TAllanKind kind, std::int64_t m1, std::int64_t T1, std::int64_t m2, std::int64_t T2,
                       double tau0, const std::array<double, 5>& size) {
  std::array<double, kTerms> c{};
  for (int k = 0; k < kTerms; ++k) c[k] = size[static_cast<std::size_t>(k)] * size[static_cast<std::size_t>(k)];
  const double ramps = std::sqrt(Basis(kind, m1, tau0)[kR] * Basis(kind, m2, tau0)[kR]);
  return Covariance(PairSums(kind, m1, T1, m2, T2, tau0), c, ramps,
                    static_cast<double>(T1) * static_cast<double>(T2));
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
  // The records' rates and times, copied or in place.
  const bool ratesInPlace = span.Rates.empty() && span.RatesAt;
  const float* rates = ratesInPlace ? span.RatesAt : span.Rates.data();
  const std::size_t rateStride = ratesInPlace ? span.RateStride : 1;
  const std::int64_t n = static_cast<std::int64_t>(ratesInPlace ? span.Count : span.Rates.size());
  const bool inPlace = span.Times.empty() && span.TimesAt;
  const float* times = inPlace ? span.TimesAt : span.Times.data();
  const std::size_t timeStride = inPlace ? span.TimeStride : 1;
  auto t = [times, timeStride](std::int64_t i) { return times[static_cast<std::size_t>(i) * timeStride]; };
  double tau0 = 0;
  if (n >= 2 && (inPlace || static_cast<std::int64_t>(span.Times.size()) == n)) {
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
      steps.push_back((static_cast<double>(t(i + k)) - t(i)) / static_cast<double>(k));
    if (!steps.empty()) {
      std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
      tau0 = steps[steps.size() / 2];
    }
    // Gaps and steps back: the runs of records between them; found again
    // with the period they give until the count of missing samples stays
    // (the median step is only as fine as the time stamps, and a long gap
    // would be miscounted by its error).
    TData D;
    D.y = rates;
    D.ys = rateStride;
    D.n = n;
    std::int64_t slots = 0;  // sample periods the runs span, missing samples included
    double covered = 0;
    std::int64_t lastMissing = -1;
    for (int pass = 0; pass < 8 && tau0 > 0; ++pass) {
      std::int64_t allMissing = 0;
      D.runs.clear();
      r.Gaps = r.Backward = slots = 0;
      r.GapSeconds = covered = 0;
      std::int64_t b = 0;
      // How far record i lies behind the grid of its segment (in periods),
      // less the missing samples found so far: about constant within a
      // segment, jumping by the count of missing samples at a gap.
      std::int64_t segment = 0, missing = 0;
      auto lag = [&](std::int64_t i) {
        return (static_cast<double>(t(i)) - t(segment)) / tau0 - static_cast<double>(i - segment) -
               static_cast<double>(missing);
      };
      auto median = [](std::vector<double>& v) {
        const std::size_t h = v.size() / 2;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(h), v.end());
        const double upper = v[h];
        if (v.size() % 2) return upper;
        return 0.5 * (upper + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(h)));
      };
      auto step = [&](std::int64_t i) { return static_cast<double>(t(i)) - t(i - 1); };
      // The lags of the last records as they were when each was placed.
      std::vector<double> recent(static_cast<std::size_t>(kGapWindow)), before, after;
      std::int64_t placed = 0;  // records of the segment placed so far
      auto place = [&](std::int64_t i) { recent[static_cast<std::size_t>(placed++ % kGapWindow)] = lag(i); };
      // How many periods later the records from i on lie than those before
      // it (the medians of their lags), and in `least` the smallest such
      // move that is more than jitter: half a period, or a period and a
      // half where a side has fewer records (next to a run's start or end
      // the median is the jitter of one or two).
      auto moved = [&](std::int64_t i, double& least) {
        before.assign(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(std::min(placed, kGapWindow)));
        after.clear();
        for (std::int64_t k = i; k < std::min(n, i + kGapWindow); ++k) {
          if (k > i && step(k) < -0.5 * tau0) break;
          after.push_back(lag(k));
        }
        least = before.size() >= kGapLeast && after.size() >= kGapLeast ? 0.5 : 1.5;
        return median(after) - median(before);
      };
      auto early = [&](std::int64_t i) {
        double least = 0;
        return -moved(i, least) > least;
      };
      place(0);
      for (std::int64_t i = 1; i < n; ++i) {
        const double s = step(i);
        const double res = std::fabs(static_cast<double>(t(i))) * std::numeric_limits<float>::epsilon();
        // Back in time by more than jitter, and the records after it stay
        // early against those before: the data start afresh. (A stamp
        // early by jitter, or one late stamp before a prompt one, leaves
        // the records after it on the grid.)
        if (s < -0.5 * tau0 - res && early(i)) {
          ++r.Backward;
          covered += static_cast<double>(t(i - 1)) - t(segment);
          slots += i - 1 - segment + missing;
          D.runs.emplace_back(b, i);
          b = segment = i;
          missing = placed = 0;
          place(i);
          continue;
        }
        // A long step that is the longest of its neighbours: do the
        // records after it stay late against those before it?
        if (s > kGapCandidate * tau0 + res && !(i + 1 < n && step(i + 1) > s) && !(i > 1 && step(i - 1) > s)) {
          double least = 0;
          const double late = moved(i, least);
          if (late > least && late * tau0 > res) {
            const auto k = static_cast<std::int64_t>(std::llround(late));
            ++r.Gaps;
            missing += k;
            allMissing += k;
            r.GapSeconds += static_cast<double>(k) * tau0;
            D.runs.emplace_back(b, i);
            b = i;
          }
        }
        place(i);
      }
      covered += static_cast<double>(t(n - 1)) - t(segment);
      slots += n - 1 - segment + missing;
      D.runs.emplace_back(b, n);
      if (slots > 0 && covered > 0) {
        const double refined = covered / static_cast<double>(slots);
        r.GapSeconds *= refined / tau0;
        tau0 = refined;
      }
      if (allMissing == lastMissing) break;
      lastMissing = allMissing;
    }
    if (D.runs.empty()) D.runs.emplace_back(0, n);
    std::vector<float>().swap(span.Times);
    return Compute(D, tau0, options, r);
  }
  // Without the times of the records: the mean step from first to last.
  TData D;
  D.y = rates;
  D.ys = rateStride;
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
  auto term = [&](const char* name, const TAllanLine& l, const char* unit, bool withTau) {
    t += std::string(name) + "\t" + Number(l.Found ? l.Value : kNaN) + "\t" + unit + "\t" +
         Number(l.Found ? l.TauFrom : kNaN) + "\t" + Number(l.Found ? l.TauTo : kNaN);
    if (withTau) t += "\t" + Number(l.Found ? r.BTau : kNaN);
    t += "\t" + Number(l.Found ? l.Lo : kNaN) + "\t" + Number(l.Found ? l.Hi : kNaN);
    if (!l.Found && !l.Absent.empty()) t += "\t" + l.Absent;
    t += "\n";
  };
  term("Q", r.Q, "arcsec", false);
  term("N", r.N, "\u00B0/Vh", false);
  term("B", r.B, "\u00B0/h", true);
  if (std::isfinite(r.BUpper))
    t += "B upper\t" + Number(r.BUpper) + "\t\u00B0/h\tbound: B is at most the lowest point over " +
         FormatGeneral(kFlickerFactor, '.', 6) + "\n";
  term("K", r.K, "\u00B0/h/Vh", false);
  term("R", r.R, "\u00B0/h^2", false);
  return t;
}
