#include "processing/Thermal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <thread>
#include <unordered_map>

#include "files/RecordingReader.h"
#include "processing/Allan.h"
#include "processing/NumberFormat.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPerHour = 3600.0;
// A column whose part outside the span of the columns before it is below
// this fraction of its length makes the problem rank-deficient.
constexpr double kRankTolerance = 1e-3;

double Binomial(int n, int k) {
  double r = 1;
  for (int i = 1; i <= k; ++i) r = r * (n - k + i) / i;
  return r;
}

// dT/dt of every block (deg C/min): the least-squares slope of the block
// mean temperatures against time within `span` seconds either side (at
// least one neighbour each side where there is one), with its standard
// error from the scatter about that line (0 with fewer than three blocks).
void BlockTempRates(std::vector<TThermalBlock>& blocks, double span) {
  const std::size_t n = blocks.size();
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t lo = i, hi = i;
    while (lo > 0 && (lo == i || blocks[i].Time - blocks[lo - 1].Time <= span) &&
           blocks[lo - 1].Time < blocks[i].Time)
      --lo;
    while (hi + 1 < n && (hi == i || blocks[hi + 1].Time - blocks[i].Time <= span) &&
           blocks[hi + 1].Time > blocks[i].Time)
      ++hi;
    const double k = static_cast<double>(hi - lo + 1);
    double st = 0, sT = 0;
    for (std::size_t j = lo; j <= hi; ++j) st += blocks[j].Time, sT += blocks[j].Temperature;
    const double tm = st / k, Tm = sT / k;
    double stt = 0, stT = 0;
    for (std::size_t j = lo; j <= hi; ++j) {
      stt += (blocks[j].Time - tm) * (blocks[j].Time - tm);
      stT += (blocks[j].Time - tm) * (blocks[j].Temperature - Tm);
    }
    const double slope = stt > 0 ? stT / stt : 0.0;
    double rss = 0;
    for (std::size_t j = lo; j <= hi; ++j) {
      const double e = blocks[j].Temperature - Tm - slope * (blocks[j].Time - tm);
      rss += e * e;
    }
    blocks[i].TempRate = slope * 60.0;
    blocks[i].TempRateSe = k > 2 && stt > 0 ? std::sqrt(rss / (k - 2) / stt) * 60.0 : 0.0;
  }
}

double Median(std::vector<double> v) {
  if (v.empty()) return kNaN;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

// The part of column `k` of X (m rows) outside the span of the columns in
// `others`, as the RMS of its least-squares residual.
double OutsideRms(const std::vector<double>& X, std::size_t m, const std::vector<std::size_t>& others,
                  std::size_t k) {
  std::vector<double> Z;
  for (std::size_t j : others) Z.insert(Z.end(), X.begin() + static_cast<std::ptrdiff_t>(j * m),
                                        X.begin() + static_cast<std::ptrdiff_t>((j + 1) * m));
  const std::vector<double> y(X.begin() + static_cast<std::ptrdiff_t>(k * m),
                              X.begin() + static_cast<std::ptrdiff_t>((k + 1) * m));
  std::vector<double> a, cov;
  if (!LeastSquaresQr(Z, m, others.size(), y, a, cov)) return 0.0;
  long double rss = 0;
  for (std::size_t i = 0; i < m; ++i) {
    double f = y[i];
    for (std::size_t j = 0; j < others.size(); ++j) f -= Z[j * m + i] * a[j];
    rss += static_cast<long double>(f) * f;
  }
  return static_cast<double>(std::sqrt(rss / static_cast<long double>(m)));
}

}  // namespace

TBranch BranchOf(double tempRate) {
  return tempRate > kBranchDeadBand    ? TBranch::Heating
         : tempRate < -kBranchDeadBand ? TBranch::Cooling
                                       : TBranch::Steady;
}

namespace {

// The Allan variance of a Gauss-Markov process of variance 1 and
// correlation time T at tau.
double MarkovAvar(double tau, double T) {
  const double r = tau / T;
  return 2 / r * (1 - (3 - 4 * std::exp(-r) + std::exp(-2 * r)) / (2 * r));
}

// The flat floor's model: Gauss-Markov processes of equal variance with
// correlation times a factor 4 apart, from the block length to the record's
// length (slower wander than the record shows is the random walk's part);
// `unit` is the average Allan variance of their sum (each of variance 1)
// over tau from the block length to the record, so that the flat level F is
// reached with each process's variance F / unit.
struct TFlatFamily {
  std::vector<double> T;
  double unit = 1;
};

TFlatFamily FlatFamily(const std::vector<double>& times, double delta) {
  TFlatFamily f;
  const double span = std::max(times.back() - times.front(), delta) + delta;
  for (double t = delta; t <= span; t *= 4) f.T.push_back(t);
  long double level = 0;
  int points = 0;
  for (double tau = delta; tau <= span; tau *= 2, ++points)
    for (double t : f.T) level += MarkovAvar(tau, t);
  f.unit = static_cast<double>(level / std::max(points, 1));
  return f;
}

// The step of the random walk before each block (s): from half a block
// before the first.
double WalkStep(const std::vector<double>& times, std::size_t i, double delta) {
  return i ? std::max(0.0, times[i] - times[i - 1]) : 0.5 * delta;
}

// The errors of the blocks as a state-space model: white noise of variance
// 1 per block, the flat family's processes of variance `a` each and a
// random walk of `w` per second, all times a common scale. A Kalman filter
// turns the columns of X and the series e into their innovations; the
// restricted likelihood of the variances (X's coefficients unknown)
// follows from those.
struct TRemlData {
  const std::vector<double>& X;
  std::size_t m, p;
  const std::vector<double>& e;
  std::size_t K;
  std::vector<double> phi;   // m x K: each process's correlation to the block before
  std::vector<double> step;  // the walk's step before each block, s
  const std::atomic<bool>* cancel = nullptr;
};

bool Stopped(const std::atomic<bool>* cancel) { return cancel && cancel->load(std::memory_order_relaxed); }

// The restricted likelihood's parts at a and w: the whitened residual sum
// of squares `rss` and `logs`, the sum of the logarithms of the innovation
// variances and of det(X' S^-1 X). -2 x the log-likelihood at the scale
// s2 is then (m - p) ln s2 + rss / s2 + logs. False when the model leaves
// no residual, or when cancelled.
bool RemlTerms(const TRemlData& d, double a, double w, long double& rss, long double& logs) {
  const std::size_t K = d.K, s = K + 1, p = d.p, c = p + 1;
  // The state's predicted covariance P (s x s, symmetric) and its row sums
  // h, the columns' and the series' predicted states x (c x s), the
  // innovations' products summed in double over a run of blocks and then
  // carried into S. Each block's update and the prediction of the next
  // take one pass over P.
  std::vector<double> store(s * s + s * c + 4 * s + c + c * c, 0.0);
  double* __restrict P = store.data();
  double* __restrict x = P + s * s;
  double* h = x + s * c;
  double* sums = h + s;
  double* __restrict gain = sums + s;
  double* __restrict decay = gain + s;
  double* __restrict v = decay + s;
  double* __restrict run = v + c;
  std::vector<long double> S(c * c, 0.0L);
  logs = 0;
  double product = 1;
  for (std::size_t k = 0; k < K; ++k) P[k * s + k] = h[k] = a;
  P[K * s + K] = h[K] = w * d.step[0];
  decay[K] = 1;  // the walk's
  for (std::size_t i = 0; i < d.m; ++i) {
    if (i % 4096 == 4095 && Stopped(d.cancel)) return false;
    double F = 1;
    for (std::size_t k = 0; k < s; ++k) F += h[k];
    const double invF = 1 / F;
    for (std::size_t k = 0; k < s; ++k) gain[k] = h[k] * invF;
    // Each process's decay to the next block (none after the last).
    const bool next = i + 1 < d.m;
    for (std::size_t k = 0; k < K; ++k) decay[k] = next ? d.phi[(i + 1) * K + k] : 1.0;
    for (std::size_t j = 0; j < c; ++j) {
      double pred = 0;
      for (std::size_t k = 0; k < s; ++k) pred += x[j * s + k];
      v[j] = (j < p ? d.X[j * d.m + i] : d.e[i]) - pred;
      const double vj = v[j];
      for (std::size_t k = 0; k < s; ++k) x[j * s + k] = (x[j * s + k] + gain[k] * vj) * decay[k];
    }
    for (std::size_t j = 0; j < c; ++j) {
      const double vj = v[j] * invF;
      for (std::size_t l = j; l < c; ++l) run[j * c + l] += vj * v[l];
    }
    if (i % 64 == 63 || !next) {
      for (std::size_t j = 0; j < c * c; ++j) S[j] += run[j], run[j] = 0;
    }
    // The logarithms of the innovation variances (each at least 1) summed
    // as a product, taken before it could overflow.
    product *= F;
    if (product > 1e250) logs += std::log(product), product = 1;
    if (!next) break;
    // Updated and decayed to the next block, kept exactly symmetric, with
    // the next block's own noise; the row sums along.
    for (std::size_t k = 0; k < s; ++k) sums[k] = 0;
    for (std::size_t k = 0; k < s; ++k) {
      const double gk = gain[k], dk = decay[k];
      for (std::size_t l = k; l < s; ++l) {
        const double val = (P[k * s + l] - gk * h[l]) * dk * decay[l];
        P[k * s + l] = P[l * s + k] = val;
        sums[k] += val;
        if (l != k) sums[l] += val;
      }
    }
    for (std::size_t k = 0; k < K; ++k) {
      const double q = a * (1 - decay[k] * decay[k]);
      P[k * s + k] += q;
      sums[k] += q;
    }
    const double q = w * d.step[i + 1];
    P[K * s + K] += q;
    sums[K] += q;
    std::swap(h, sums);
  }
  logs += std::log(product);
  // Cholesky of the whitened X'X; the whitened residual sum of squares.
  std::vector<long double> L(p * p, 0.0L), z(p);
  rss = S[p * c + p];
  for (std::size_t j = 0; j < p; ++j) {
    long double dj = S[j * c + j];
    for (std::size_t k = 0; k < j; ++k) dj -= L[j * p + k] * L[j * p + k];
    if (!(dj > 0)) return false;
    L[j * p + j] = std::sqrt(dj);
    logs += 2 * std::log(L[j * p + j]);
    for (std::size_t l = j + 1; l < p; ++l) {
      long double t = S[j * c + l];
      for (std::size_t k = 0; k < j; ++k) t -= L[l * p + k] * L[j * p + k];
      L[l * p + j] = t / L[j * p + j];
    }
    long double t = S[j * c + p];
    for (std::size_t k = 0; k < j; ++k) t -= L[j * p + k] * z[k];
    z[j] = t / L[j * p + j];
    rss -= z[j] * z[j];
  }
  return rss > 0;
}

// Inverts the symmetric n x n matrix A (row-major) by Cholesky; false when
// it is not positive definite.
bool InvertSpd(std::vector<double>& A, std::size_t n) {
  std::vector<double> L(n * n, 0.0), inv(n * n, 0.0);
  for (std::size_t j = 0; j < n; ++j) {
    double d = A[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= L[j * n + k] * L[j * n + k];
    if (!(d > 0)) return false;
    L[j * n + j] = std::sqrt(d);
    for (std::size_t i = j + 1; i < n; ++i) {
      double t = A[i * n + j];
      for (std::size_t k = 0; k < j; ++k) t -= L[i * n + k] * L[j * n + k];
      L[i * n + j] = t / L[j * n + j];
    }
  }
  for (std::size_t c = 0; c < n; ++c) {  // L L' x = e_c
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) {
      double t = i == c ? 1.0 : 0.0;
      for (std::size_t k = 0; k < i; ++k) t -= L[i * n + k] * y[k];
      y[i] = t / L[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
      double t = y[i];
      for (std::size_t k = i + 1; k < n; ++k) t -= L[k * n + i] * inv[k * n + c];
      inv[i * n + c] = t / L[i * n + i];
    }
  }
  A = inv;
  return true;
}

}  // namespace

double StudentFactor(double nu) {
  if (!(nu >= 1)) return std::numeric_limits<double>::quiet_NaN();
  if (nu > 1e7) return 1.0;
  const double target = std::erf(1 / std::sqrt(2.0));
  const double norm = std::exp(std::lgamma((nu + 1) / 2) - std::lgamma(nu / 2)) / std::sqrt(nu * M_PI);
  auto inside = [&](double x) {  // P(|t| <= x), Simpson's rule
    constexpr int kSteps = 200;
    const double h = x / kSteps;
    double sum = 0;
    for (int i = 0; i <= kSteps; ++i) {
      const double f = std::pow(1 + (i * h) * (i * h) / nu, -(nu + 1) / 2);
      sum += f * (i == 0 || i == kSteps ? 1 : i % 2 ? 4 : 2);
    }
    return 2 * norm * sum * h / 3;
  };
  double lo = 1, hi = 2;  // the factor for one degree of freedom is 1.84
  for (int it = 0; it < 50; ++it) {
    const double mid = 0.5 * (lo + hi);
    (inside(mid) < target ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

TResidualNoise FitResidualNoise(const std::vector<double>& X, std::size_t m, std::size_t p,
                                const std::vector<double>& e, const std::vector<double>& times, double delta,
                                const std::atomic<bool>* cancel) {
  TResidualNoise noise;
  if (m <= p) return noise;
  const long double dof = static_cast<long double>(m - p);
  if (m <= p + 2 || times.size() != m) {  // too few blocks for more than white noise
    long double ss = 0;
    for (double v : e) ss += static_cast<long double>(v) * v;
    noise.White = static_cast<double>(ss / dof) * delta;
    noise.LogCov[0][0] = static_cast<double>(2 / dof);
    return noise;
  }
  const TFlatFamily family = FlatFamily(times, delta);
  TRemlData d{X, m, p, e, family.T.size(), {}, {}, cancel};
  d.phi.resize(m * d.K);
  d.step.resize(m);
  for (std::size_t i = 0; i < m; ++i) {
    d.step[i] = WalkStep(times, i, delta);
    for (std::size_t k = 0; k < d.K; ++k)
      d.phi[i * d.K + k] = i ? std::exp(-std::fabs(times[i] - times[i - 1]) / family.T[k]) : 0.0;
  }
  // Each of the four models (white alone, with the flat floor, with the
  // walk, with both): the variances relative to the white one (natural
  // logarithms; a process of the flat family 1e-6..1e6, the walk over the
  // record the same) from the best point of a coarse grid by a pattern
  // search. The model kept: the least deviance with the Bayesian
  // information criterion's penalty of ln(m - p) per variance, so that
  // noise the residuals do not show is not taken for there.
  const double span = std::max(times.back() - times.front(), delta) + delta;
  const double low = -6 * std::log(10.0), high = 6 * std::log(10.0);
  auto relative = [&](bool on, double u, double scale) { return on ? std::exp(u) / scale : 0.0; };
  auto deviance = [&](bool flat, bool walk, double u, double t) {
    long double rss, logs;
    if (!noise.Cancelled) noise.Cancelled = Stopped(cancel);
    if (noise.Cancelled) return std::numeric_limits<double>::infinity();
    ++noise.Evaluations;
    if (!RemlTerms(d, relative(flat, u, 1), relative(walk, t, span), rss, logs))
      return std::numeric_limits<double>::infinity();
    return static_cast<double>(dof * std::log(rss / dof) + logs);
  };
  double chosen = std::numeric_limits<double>::infinity(), chosenU = 0, chosenT = 0;
  bool withFlat = false, withWalk = false;
  double soloU = low, soloT = low;  // the flat floor's and the walk's optima alone
  for (int model = 0; model < 4; ++model) {
    const bool flat = model & 1, walk = model & 2;
    double bestU = 0, bestT = 0, best = std::numeric_limits<double>::infinity();
    const double grid = (high - low) / 4;
    if (flat && walk) {
      // Both: from the best of the two terms' own optima, together and
      // each alone, rather than from a grid of 25 points.
      for (const auto& [u, t] : {std::pair{soloU, soloT}, {soloU, low}, {low, soloT}}) {
        const double dev = deviance(flat, walk, u, t);
        if (dev < best) best = dev, bestU = u, bestT = t;
      }
    } else {
      for (double u = low; u <= high + 1e-9; u += grid) {
        for (double t = low; t <= high + 1e-9; t += grid) {
          const double dev = deviance(flat, walk, u, t);
          if (dev < best) best = dev, bestU = u, bestT = t;
          if (!walk) break;
        }
        if (!flat) break;
      }
    }
    if (std::isinf(best)) continue;
    // Each logarithm's step halves down to 0.02, or ends sooner where the
    // deviance is nearly flat at that step (both probes within kClose of
    // the best: the step is then below the estimate's own uncertainty),
    // with a last step to the vertex of the parabola through the probes
    // and the best, taken when it lowers the deviance.
    constexpr double kFinest = 0.02, kClose = 1.0;
    double steps[2] = {flat ? grid / 2 : 0.0, walk ? grid / 2 : 0.0};
    while (steps[0] > kFinest || steps[1] > kFinest) {
      double rise[2][2];  // of the probe up and down
      bool moved = true;
      while (moved) {
        moved = false;
        for (int c = 0; c < 2; ++c) {
          rise[c][0] = rise[c][1] = std::numeric_limits<double>::quiet_NaN();
          if (!(steps[c] > kFinest)) continue;
          for (int side = 0; side < 2; ++side) {
            const double sign = side ? -1.0 : 1.0;
            const double u = c == 0 ? std::clamp(bestU + sign * steps[0], low, high) : bestU;
            const double t = c == 1 ? std::clamp(bestT + sign * steps[1], low, high) : bestT;
            if (u == bestU && t == bestT) continue;
            const double dev = deviance(flat, walk, u, t);
            if (dev < best) {
              best = dev, bestU = u, bestT = t;
              moved = true;
              break;
            }
            rise[c][side] = dev - best;
          }
        }
      }
      for (int c = 0; c < 2; ++c) {
        if (!(steps[c] > kFinest)) continue;
        const double up = rise[c][0], down = rise[c][1];
        // At a bound one probe is missing: flat there means done.
        const double most = std::isnan(up) ? down : std::isnan(down) ? up : std::max(up, down);
        if (!(most < kClose)) {
          steps[c] /= 2;
          continue;
        }
        if (!std::isnan(up) && !std::isnan(down) && up + down > 0) {
          const double shift = steps[c] * (down - up) / (2 * (up + down));
          const double u = c == 0 ? std::clamp(bestU + shift, low, high) : bestU;
          const double t = c == 1 ? std::clamp(bestT + shift, low, high) : bestT;
          const double dev = deviance(flat, walk, u, t);
          if (dev < best) best = dev, bestU = u, bestT = t;
        }
        steps[c] = 0;
      }
    }
    if (flat && !walk) soloU = bestU;
    if (walk && !flat) soloT = bestT;
    best += static_cast<double>(std::log(dof)) * ((flat ? 1 : 0) + (walk ? 1 : 0));
    if (!(best < chosen)) continue;
    chosen = best, chosenU = bestU, chosenT = bestT, withFlat = flat, withWalk = walk;
  }
  if (noise.Cancelled || (noise.Cancelled = Stopped(cancel))) {
    const int evaluations = noise.Evaluations;
    noise = TResidualNoise{};
    noise.Evaluations = evaluations;
    noise.Cancelled = true;
    return noise;
  }
  if (std::isinf(chosen)) return noise;  // an exact fit: no noise
  long double rss, logs;
  RemlTerms(d, relative(withFlat, chosenU, 1), relative(withWalk, chosenT, span), rss, logs);
  const long double s2 = rss / dof;
  noise.White = static_cast<double>(s2) * delta;
  if (withFlat) noise.Flat = static_cast<double>(s2) * std::exp(chosenU) * family.unit;
  if (withWalk) noise.Walk = static_cast<double>(s2) * std::exp(chosenT) / span;

  // The covariance of the estimates: twice the inverse of the deviance's
  // second derivatives in (ln s2, ln a, ln w), by differences of h in the
  // relative variances' logarithms, carried over to ln White, ln Flat and
  // ln Walk (each the scale's logarithm plus its own).
  std::vector<int> on = {0};
  if (withFlat) on.push_back(1);
  if (withWalk) on.push_back(2);
  const std::size_t n = on.size();
  constexpr double h = 0.05;
  auto full = [&](double du, double dt, long double& r) {  // rss / s2 + logs
    long double l;
    RemlTerms(d, relative(withFlat, chosenU + du, 1), relative(withWalk, chosenT + dt, span), r, l);
    return r / s2 + l;
  };
  std::vector<double> H(n * n, 0.0);
  H[0] = static_cast<double>(dof);
  long double rc;
  const long double dc = full(0, 0, rc);
  for (std::size_t j = 1; j < n; ++j) {
    const bool u = on[j] == 1;
    long double rp, rm;
    const long double dp = full(u ? h : 0, u ? 0 : h, rp), dm = full(u ? -h : 0, u ? 0 : -h, rm);
    H[j] = H[j * n] = static_cast<double>(-(rp - rm) / (2 * h) / s2);
    H[j * n + j] = static_cast<double>((dp - 2 * dc + dm) / (h * h));
  }
  if (n == 3) {
    long double r;
    const long double pp = full(h, h, r), pm = full(h, -h, r), mp = full(-h, h, r), mm = full(-h, -h, r);
    H[1 * n + 2] = H[2 * n + 1] = static_cast<double>((pp - pm - mp + mm) / (4 * h * h));
  }
  for (double& v : H) v /= 2;  // the information
  if (!InvertSpd(H, n)) {
    // Flat in some direction: only the scale's own uncertainty.
    H.assign(n * n, 0.0);
    H[0] = static_cast<double>(2 / dof);
  }
  for (std::size_t a = 0; a < 3; ++a)
    for (std::size_t b = 0; b < 3; ++b) {
      // ln(component a) = l0 + l_a (a > 0, when on).
      double v = 0;
      for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
          const bool ia = on[i] == 0 || on[i] == static_cast<int>(a);
          const bool jb = on[j] == 0 || on[j] == static_cast<int>(b);
          if (ia && jb) v += H[i * n + j];
        }
      const bool present = a == 0 || (a == 1 ? withFlat : withWalk);
      const bool presentB = b == 0 || (b == 1 ? withFlat : withWalk);
      noise.LogCov[a][b] = present && presentB ? v : 0.0;
    }
  if (Stopped(cancel)) {  // during the second derivatives
    noise = TResidualNoise{};
    noise.Cancelled = true;
  }
  return noise;
}

std::vector<double> NoiseCovariance(const std::vector<double>& X, std::size_t m, std::size_t p,
                                    const std::vector<double>& times, const std::vector<double>& xtxInv,
                                    const TResidualNoise& noise, double delta) {
  std::vector<double> cov(p * p, 0.0);
  if (m <= p) return std::vector<double>(p * p, std::numeric_limits<double>::quiet_NaN());
  // g_i = (X'X)^-1 x_i: the coefficients are sum_i g_i y_i.
  std::vector<double> g(m * p, 0.0);  // row-major
  for (std::size_t i = 0; i < m; ++i)
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t l = 0; l < p; ++l) g[i * p + j] += xtxInv[l * p + j] * X[l * m + i];
  auto add = [&](std::size_t i, const std::vector<long double>& v, long double f) {
    for (std::size_t j = 0; j < p; ++j)
      for (std::size_t l = 0; l < p; ++l) cov[l * p + j] += static_cast<double>(f * g[i * p + j] * v[l]);
  };
  // White: the blocks' variance W / delta.
  for (std::size_t j = 0; j < p * p; ++j) cov[j] = noise.White / delta * xtxInv[j];
  // The flat floor: the family's processes, each of variance Flat / unit.
  if (noise.Flat > 0) {
    const TFlatFamily family = FlatFamily(times, delta);
    const long double s2 = noise.Flat / family.unit;
    std::vector<long double> F(p);
    for (double t : family.T) {
      std::fill(F.begin(), F.end(), 0.0L);
      for (std::size_t i = 0; i < m; ++i) {
        const long double phi = i ? std::exp(-std::fabs(times[i] - times[i - 1]) / t) : 0.0;
        for (std::size_t j = 0; j < p; ++j) F[j] = g[i * p + j] + phi * F[j];
        // sum over pairs j <= i of g_i g_j' phi^(i-j), both ways, less the diagonal.
        add(i, F, s2);
        for (std::size_t j = 0; j < p; ++j)
          for (std::size_t l = 0; l < p; ++l)
            cov[l * p + j] += static_cast<double>(s2 * (F[j] * g[i * p + l] - g[i * p + j] * g[i * p + l]));
      }
    }
  }
  // Rate random walk from half a block before the first: covariance Walk
  // min(t_i, t_j), summed as the steps times the outer products of the sums
  // of g from there on.
  if (noise.Walk > 0) {
    std::vector<long double> S(p, 0.0L);
    for (std::size_t i = m; i-- > 0;) {
      for (std::size_t j = 0; j < p; ++j) S[j] += g[i * p + j];
      const double step = WalkStep(times, i, delta);
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t l = 0; l < p; ++l) cov[l * p + j] += static_cast<double>(noise.Walk * step * S[j] * S[l]);
    }
  }
  return cov;
}

std::vector<double> CoefficientErrors(const std::vector<double>& X, std::size_t m, std::size_t p,
                                      const std::vector<double>& times, const std::vector<double>& xtxInv,
                                      const TResidualNoise& noise, double delta,
                                      const std::vector<std::vector<double>>& targets) {
  // The covariance of each noise component at unit level.
  std::vector<double> parts[3];
  const double level[3] = {noise.White, noise.Flat, noise.Walk};
  for (int c = 0; c < 3; ++c) {
    if (!(level[c] > 0)) continue;
    TResidualNoise unit;
    (c == 0 ? unit.White : c == 1 ? unit.Flat : unit.Walk) = 1.0;
    parts[c] = NoiseCovariance(X, m, p, times, xtxInv, unit, delta);
  }
  std::vector<double> errors;
  for (const std::vector<double>& g : targets) {
    double grad[3] = {0, 0, 0}, v = 0;  // d v / d ln(component)
    for (int c = 0; c < 3; ++c) {
      if (parts[c].empty()) continue;
      double q = 0;
      for (std::size_t j = 0; j < p; ++j)
        for (std::size_t l = 0; l < p; ++l) q += g[j] * parts[c][l * p + j] * g[l];
      grad[c] = level[c] * q;
      v += grad[c];
    }
    double var = 0;
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b) var += grad[a] * noise.LogCov[a][b] * grad[b];
    const double nu = var > 0 ? 2 * v * v / var : std::numeric_limits<double>::infinity();
    errors.push_back(v > 0 ? std::sqrt(v) * StudentFactor(nu) : v == 0 ? 0.0 : std::numeric_limits<double>::quiet_NaN());
  }
  return errors;
}

bool ReadSpanRecords(const std::string& path, double begin, double end,
                     std::vector<SamplePoint>& records, std::string& error,
                     const std::function<void(std::int64_t, std::int64_t)>& progress,
                     const std::atomic<bool>* cancel, std::int64_t* dropped) {
  records.clear();
  if (dropped) *dropped = 0;
  TRecordingReader reader;
  if (!reader.Open(path)) {
    error = reader.Error();
    return false;
  }
  const std::int64_t total = reader.Info().RecordCount;
  records.reserve(static_cast<std::size_t>(std::max<std::int64_t>(total, 0)));
  const std::int64_t step = std::max<std::int64_t>(total / 100, 1);
  std::int64_t nextReport = step, read = 0;
  if (progress) progress(0, total);
  SamplePoint p;
  while (reader.Next(p)) {
    if (++read == nextReport) {
      nextReport += step;
      if (cancel && cancel->load()) {
        error = "cancelled";
        records.clear();
        return false;
      }
      if (progress) progress(read, total);
    }
    if (!std::isfinite(p.Time) || !std::isfinite(p.Rate) || !std::isfinite(p.Temperature)) {
      if (dropped) ++*dropped;
      continue;
    }
    if (p.Time > end) break;
    if (!(p.Time >= begin)) continue;
    records.push_back(p);
  }
  if (!reader.Error().empty()) {
    error = reader.Error();
    return false;
  }
  if (progress) progress(total, total);
  return true;
}

bool LeastSquaresQr(std::vector<double> x, std::size_t m, std::size_t p, std::vector<double> y,
                    std::vector<double>& a, std::vector<double>& covariance) {
  if (m < p || p == 0) return false;
  auto X = [&](std::size_t i, std::size_t j) -> double& { return x[j * m + i]; };
  std::vector<double> norms(p);
  for (std::size_t j = 0; j < p; ++j) {
    long double s = 0;
    for (std::size_t i = 0; i < m; ++i) s += static_cast<long double>(X(i, j)) * X(i, j);
    norms[j] = std::sqrt(static_cast<double>(s));
    if (!(norms[j] > 0)) return false;
  }
  std::vector<double> v(m);
  for (std::size_t k = 0; k < p; ++k) {
    // Householder reflection that zeroes column k below the diagonal.
    long double s = 0;
    for (std::size_t i = k; i < m; ++i) s += static_cast<long double>(X(i, k)) * X(i, k);
    const double alpha = (X(k, k) > 0 ? -1.0 : 1.0) * std::sqrt(static_cast<double>(s));
    if (!(std::fabs(alpha) > kRankTolerance * norms[k])) return false;
    for (std::size_t i = k; i < m; ++i) v[i] = X(i, k);
    v[k] -= alpha;
    long double vv = 0;
    for (std::size_t i = k; i < m; ++i) vv += static_cast<long double>(v[i]) * v[i];
    auto reflect = [&](auto&& at) {
      long double d = 0;
      for (std::size_t i = k; i < m; ++i) d += static_cast<long double>(v[i]) * at(i);
      const double f = static_cast<double>(2 * d / vv);
      for (std::size_t i = k; i < m; ++i) at(i) -= f * v[i];
    };
    if (vv > 0) {
      for (std::size_t j = k; j < p; ++j) reflect([&](std::size_t i) -> double& { return X(i, j); });
      reflect([&](std::size_t i) -> double& { return y[i]; });
    }
    X(k, k) = alpha;
  }
  // R a = (Q'y)[0..p)
  a.assign(p, 0);
  for (std::size_t k = p; k-- > 0;) {
    double s = y[k];
    for (std::size_t j = k + 1; j < p; ++j) s -= X(k, j) * a[j];
    a[k] = s / X(k, k);
  }
  // (X'X)^-1 = R^-1 R^-T
  std::vector<double> inv(p * p, 0.0);  // R^-1, column-major, upper
  for (std::size_t j = 0; j < p; ++j) {
    inv[j * p + j] = 1.0 / X(j, j);
    for (std::size_t i = j; i-- > 0;) {
      double s = 0;
      for (std::size_t k = i + 1; k <= j; ++k) s += X(i, k) * inv[j * p + k];
      inv[j * p + i] = -s / X(i, i);
    }
  }
  covariance.assign(p * p, 0.0);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < p; ++j) {
      double s = 0;
      for (std::size_t k = std::max(i, j); k < p; ++k) s += inv[k * p + i] * inv[k * p + j];
      covariance[j * p + i] = s;
    }
  return true;
}

TThermalResult::TThermalResult()
    : SpikeThreshold(kNaN),
      B{kNaN, kNaN, kNaN, kNaN},
      BSe{kNaN, kNaN, kNaN, kNaN},
      C(kNaN),
      CSe(kNaN),
      ResidualRms(kNaN),
      ResidualRmsAvg(kNaN),
      R2(kNaN),
      TMin(kNaN),
      TMax(kNaN),
      TMean(kNaN),
      TRef(kNaN),
      BiasRef(kNaN),
      BiasRefSe(kNaN),
      Hysteresis(kNaN),
      HysteresisSe(kNaN),
      NRaw(kNaN),
      BRaw(kNaN),
      NCompensated(kNaN),
      BCompensated(kNaN) {}

double TThermalResult::Model(double temperature, double tempRate) const {
  if (!Valid) return kNaN;
  const double x = (temperature - Centre) / Scale;
  double poly = 0;
  for (int j = Order; j >= 0; --j) poly = poly * x + A[j];
  if (RateTerm) poly += C * tempRate;
  if (std::isfinite(Hysteresis)) poly += 0.5 * Hysteresis * static_cast<int>(BranchOf(tempRate));
  return poly;
}

double TThermalResult::Correction(double temperature, double tempRate) const {
  return Model(temperature, tempRate) - Model(TMean, 0.0);
}

namespace {

// The Allan deviation (default options) of rates at the records' times,
// gaps and steps back handled as the noise analysis handles them. The rate
// of record i is rates[i * stride]: the records' own field or a vector
// beside them, read where it lies (a long recording's rates are not copied).
TAllanResult RatesAllan(const std::vector<SamplePoint>& records, const float* rates, std::size_t stride,
                        const std::atomic<bool>* cancel) {
  TSpanRates span;
  static_assert(sizeof(SamplePoint) == 3 * sizeof(float) && offsetof(SamplePoint, Time) == 0 &&
                offsetof(SamplePoint, Rate) == sizeof(float));
  if (!records.empty()) {
    span.RatesAt = rates;
    span.RateStride = stride;
    span.Count = records.size();
    span.TimesAt = &records.front().Time;
    span.TimeStride = 3;
    span.FirstTime = records.front().Time;
    span.LastTime = records.back().Time;
  }
  TAllanOptions options;
  options.Cancel = cancel;
  return ComputeAllan(span, options);
}

// A temperature reading inside the plausible range (low, high), both
// exclusive; NaN is not.
bool Plausible(double T, double low, double high) { return low < T && T < high; }

// The median of the seven readings from t[0] on: sorted in registers by a
// network of sixteen exchanges without branches (noisy readings would make
// a sort's branches guess wrong).
inline float MedianOfSeven(const float* t) {
  float w0 = t[0], w1 = t[1], w2 = t[2], w3 = t[3], w4 = t[4], w5 = t[5], w6 = t[6];
  auto exchange = [](float& a, float& b) {
    const float low = std::min(a, b);
    b = std::max(a, b);
    a = low;
  };
  exchange(w0, w6), exchange(w2, w3), exchange(w4, w5), exchange(w0, w2), exchange(w1, w4), exchange(w3, w6);
  exchange(w0, w1), exchange(w2, w5), exchange(w3, w4), exchange(w1, w2), exchange(w4, w6), exchange(w2, w3);
  exchange(w4, w5), exchange(w1, w2), exchange(w3, w4), exchange(w5, w6);
  return w3;
}

// Calls f(i, departure) for each record i whose temperature lies inside
// (low, high), in order: its departure from the median of its seven
// neighbours among those (itself, three before, three after; fewer at the
// ends). The last seven such readings are all it keeps.
template <class F>
void TemperatureDepartures(const std::vector<SamplePoint>& records, double low, double high, F&& f) {
  // Reading j at T[j % 7] and again at T[j % 7 + 7]: any seven in a row
  // lie side by side.
  std::size_t at[7];
  float T[14];
  std::size_t seen = 0;  // readings inside so far
  // Reading j's departure near an end, once the readings up to `upTo`
  // (exclusive) are in: fewer than seven around it.
  auto nearEnd = [&](std::size_t j, std::size_t upTo) {
    const std::size_t from = j >= 3 ? j - 3 : 0, to = std::min(upTo, j + 4);
    const std::size_t w = to - from;
    float window[7];
    std::copy_n(T + from % 7, w, window);
    for (std::size_t q = 1; q < w; ++q)
      for (std::size_t p = q; p > 0 && window[p] < window[p - 1]; --p) std::swap(window[p], window[p - 1]);
    f(at[j % 7], std::fabs(T[j % 7] - window[w / 2]));
  };
  for (std::size_t i = 0; i < records.size(); ++i) {
    const float temperature = records[i].Temperature;
    if (!Plausible(temperature, low, high)) continue;
    const std::size_t slot = seen % 7;
    at[slot] = i;
    T[slot] = T[slot + 7] = temperature;
    ++seen;
    if (seen >= 7) {
      // Reading seen - 4, the middle of the last seven.
      const std::size_t j = (slot + 4) % 7;
      f(at[j], std::fabs(T[j] - MedianOfSeven(T + (slot + 1) % 7)));
    } else if (seen >= 4) {
      nearEnd(seen - 4, seen);
    }
  }
  for (std::size_t j = seen >= 3 ? seen - 3 : 0; j < seen; ++j) nearEnd(j, seen);
}

// The readings used: inside (low, high) and within `threshold` of the
// median of their seven neighbours among those (a single spike or a short
// burst of them is left out). Returns the flags; counts what is left out;
// `step` receives the sensor's reading step (0: none): the most frequent
// positive difference between successive readings (to 0.001 deg C) when it
// makes up most of them.
// The departures are found again for each use rather than kept.
std::vector<bool> UsableTemperatures(const std::vector<SamplePoint>& records, double low,
                                     double high, TThermalResult& r, double& step) {
  const std::size_t n = records.size();
  std::vector<bool> ok(n, false);
  // The threshold: eight robust standard deviations of the departures, at
  // least 1 deg C and three steps of the sensor. Their median (the one of
  // rank k / 2) is found without keeping them: a departure is a float of
  // no sign, whose bits rise with its value, so two counts by sixteen bits
  // each (the upper half, then the lower half among those of the right
  // upper half) give it exactly. The first count goes with the search for
  // the step.
  std::vector<std::int64_t> counts(std::size_t{1} << 16);
  auto bits = [](float d) { return std::bit_cast<std::uint32_t>(d); };
  std::unordered_map<long, std::int64_t> steps;
  long lastStep = -1;
  std::int64_t* lastCount = nullptr;  // a run of equal steps counted without a lookup each
  std::int64_t differences = 0;
  std::size_t k = 0, previous = 0;
  TemperatureDepartures(records, low, high, [&](std::size_t i, float d) {
    ++counts[bits(d) >> 16];
    if (k > 0) {
      const double difference = std::fabs(records[i].Temperature - records[previous].Temperature);
      if (difference > 0) {
        const long key = std::lround(difference * 1000);
        if (key != lastStep) lastStep = key, lastCount = &steps[key];
        ++*lastCount;
        ++differences;
      }
    }
    previous = i;
    ++k;
  });
  r.OutOfRange += static_cast<std::int64_t>(n - k);
  long best = 0;
  std::int64_t most = 0;
  for (const auto& [key, count] : steps)
    if (count > most || (count == most && key < best)) best = key, most = count;
  step = differences > 0 && most * 2 > differences ? static_cast<double>(best) / 1000.0 : 0.0;
  const double least = std::max(1.0, 3 * step);
  double mad = 0;
  if (k) {
    // The bin of rank `rank` among the counts; `rank` becomes its rank in it.
    auto find = [&counts](std::int64_t& rank) {
      std::size_t bin = 0;
      while (rank >= counts[bin]) rank -= counts[bin++];
      return static_cast<std::uint32_t>(bin);
    };
    std::int64_t rank = static_cast<std::int64_t>(k / 2);
    const std::uint32_t upper = find(rank);
    // The median lies below the next bin's first value: where even that
    // makes a threshold under the least one, the exact value does not matter.
    const float above = std::bit_cast<float>((upper + 1) << 16);
    if (!(8 * (1.4826 * above) <= least)) {
      std::fill(counts.begin(), counts.end(), 0);
      TemperatureDepartures(records, low, high, [&](std::size_t, float d) {
        if (bits(d) >> 16 == upper) ++counts[bits(d) & 0xFFFFu];
      });
      mad = 1.4826 * std::bit_cast<float>(upper << 16 | find(rank));
    }
  }
  r.SpikeThreshold = std::max(8 * mad, least);
  TemperatureDepartures(records, low, high, [&](std::size_t i, float d) {
    if (d > r.SpikeThreshold)
      ++r.Spikes;
    else
      ok[i] = true;
  });
  return ok;
}

// Marks the blocks of a stretch where the usable temperature stays exactly
// at its smallest or largest value for at least kFlatSeconds: a clipped or
// stuck sensor, whose temperature there is unknown.
constexpr double kFlatSeconds = 300.0;

// The records of each block, [first, end), in record order: a block's
// number found by its records rather than kept for every record.
struct TBlockRecords {
  std::vector<std::pair<std::size_t, std::size_t>> Ranges;
  // The block of record i; -1 for a record of a block left out.
  std::int64_t Of(std::size_t i) const {
    auto it = std::upper_bound(Ranges.begin(), Ranges.end(), i,
                               [](std::size_t v, const auto& range) { return v < range.first; });
    if (it == Ranges.begin()) return -1;
    --it;
    return i < it->second ? static_cast<std::int64_t>(it - Ranges.begin()) : -1;
  }
};

void FlatExtremes(const std::vector<SamplePoint>& records, const std::vector<bool>& ok,
                  const TBlockRecords& blocks, TThermalResult& r) {
  std::size_t first = 0;
  bool open = false;
  auto close = [&](std::size_t last) {
    const float T = records[first].Temperature;
    const double length = static_cast<double>(records[last].Time) - records[first].Time;
    if (length < kFlatSeconds || (T != r.TMin && T != r.TMax)) return;
    // (A usable reading lies in a block: its block has a usable temperature.)
    for (std::int64_t b = blocks.Of(first); b <= blocks.Of(last); ++b)
      if (b >= 0) r.Blocks[static_cast<std::size_t>(b)].Used = false;
    r.Warnings.push_back("the temperature stays at exactly " + FormatGeneral(T, '.', 6) +
                         " \u00B0C, its " + (T == r.TMax ? "maximum" : "minimum") + ", for " +
                         FormatGeneral(length, '.', 6) + " s from " +
                         FormatGeneral(records[first].Time, '.', 8) +
                         " s: a clipped or stuck sensor (or a soak read at a coarse step); "
                         "that stretch is left out of the fit");
  };
  std::size_t last = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (!ok[i]) continue;
    if (open && records[i].Temperature == records[first].Temperature) {
      last = i;
      continue;
    }
    if (open) close(last);
    first = last = i;
    open = true;
  }
  if (open) close(last);
}

// The soaks: runs of steady blocks covering at least kPlateauSeconds.
void Plateaus(TThermalResult& r, const std::atomic<bool>* cancel) {
  const std::vector<TThermalBlock>& blocks = r.Blocks;
  std::size_t i = 0;
  while (i < blocks.size()) {
    if (BranchOf(blocks[i].TempRate) != TBranch::Steady) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j + 1 < blocks.size() && BranchOf(blocks[j + 1].TempRate) == TBranch::Steady &&
           blocks[j + 1].Time > blocks[j].Time)
      ++j;
    if (blocks[j].Time - blocks[i].Time + r.Average >= kPlateauSeconds) {
      const std::size_t k = j - i + 1;
      TThermalPlateau p;
      p.Begin = blocks[i].Time - 0.5 * r.Average;
      p.End = blocks[j].Time + 0.5 * r.Average;
      p.Blocks = static_cast<std::int64_t>(k);
      for (std::size_t q = i; q <= j; ++q) p.Temperature += blocks[q].Temperature, p.Bias += blocks[q].Bias;
      p.Temperature /= static_cast<double>(k);
      p.Bias /= static_cast<double>(k);
      std::vector<double> ones(k, 1.0), e(k), times(k), inv{1.0 / static_cast<double>(k)};
      for (std::size_t q = i; q <= j; ++q) e[q - i] = blocks[q].Bias - p.Bias, times[q - i] = blocks[q].Time;
      const TResidualNoise noise = FitResidualNoise(ones, k, 1, e, times, r.Average, cancel);
      if (noise.Cancelled) return;
      p.BiasSe = CoefficientErrors(ones, k, 1, times, inv, noise, r.Average, {{1.0}})[0];
      r.Plateaus.push_back(p);
    }
    i = j + 1;
  }
}

// What is left of a cancelled computation: the count of its records.
TThermalResult Dropped(std::int64_t records) {
  TThermalResult r;
  r.Records = records;
  r.Message = "cancelled";
  return r;
}

bool Usable(const TThermalOptions& options) {
  return options.Order >= 1 && options.Order <= 3 && options.Average > 0;
}

// The temperature model of the records, but for the raw rates' Allan
// read-outs; the compensated rates written to `compensated` (sized and
// holding the raw rates until then) or, where `inPlace` is set (the
// records' own array), over the records' rates, once `beforeWriting` has
// returned.
TThermalResult Fit(const std::vector<SamplePoint>& records, const TThermalOptions& options,
                   std::vector<float>* compensated, SamplePoint* inPlace, const std::atomic<bool>* cancel,
                   const std::function<void()>& beforeWriting) {
  TThermalResult r;
  r.Order = options.Order;
  r.RateTerm = options.RateTerm;
  r.Average = options.Average;
  r.TRef = options.TRef;
  r.Records = static_cast<std::int64_t>(records.size());
  const std::size_t n = records.size();
  if (compensated) {
    compensated->resize(n);
    for (std::size_t i = 0; i < n; ++i) (*compensated)[i] = records[i].Rate;
  }
  if (!Usable(options)) {
    r.Message = "the order must be 1 to 3 and the averaging time positive";
    return r;
  }

  // Whatever was found so far is dropped when the computation is cancelled.
  auto cancelled = [&] {
    if (!Stopped(cancel)) return false;
    r = Dropped(r.Records);
    return true;
  };
  double step = 0;
  const std::vector<bool> ok = UsableTemperatures(records, options.TLow, options.THigh, r, step);
  for (std::size_t i = 0; i < n; ++i) {
    if (!ok[i]) continue;
    r.TMin = std::isnan(r.TMin) ? records[i].Temperature : std::min<double>(r.TMin, records[i].Temperature);
    r.TMax = std::isnan(r.TMax) ? records[i].Temperature : std::max<double>(r.TMax, records[i].Temperature);
  }

  // Blocks of `Average` seconds from the first record: the mean of every
  // rate, the mean of the usable temperatures (a block without one is left
  // out).
  TBlockRecords blockRecords;
  if (n > 0) {
    const double t0 = records[0].Time;
    long double st = 0, sr = 0, sT = 0;
    std::int64_t count = 0, countT = 0, current = -1;
    double origin = 0;
    std::size_t firstRecord = 0;
    auto close = [&](std::size_t end) {
      if (count > 0 && countT > 0) {
        const long double c = static_cast<long double>(count);
        blockRecords.Ranges.emplace_back(firstRecord, end);
        TThermalBlock b;
        b.Time = origin + static_cast<double>(st / c);
        b.Bias = static_cast<double>(sr / c * kPerHour);
        b.Temperature = static_cast<double>(sT / static_cast<long double>(countT));
        b.Count = count;
        r.Blocks.push_back(b);
      }
      st = sr = sT = 0;
      count = countT = 0;
    };
    for (std::size_t i = 0; i < n; ++i) {
      const SamplePoint& s = records[i];
      const auto k = static_cast<std::int64_t>(std::floor((s.Time - t0) / options.Average));
      if (k != current) {
        close(i);
        current = k;
        origin = s.Time;
        firstRecord = i;
      }
      st += static_cast<long double>(s.Time) - origin;
      sr += s.Rate;
      if (ok[i]) sT += s.Temperature, ++countT;
      ++count;
    }
    close(n);
  }
  // dT/dt over two blocks either side, longer when the sensor reads in
  // steps: the span holds three steps at the temperature's typical pace.
  r.RateSpan = 2 * options.Average;
  BlockTempRates(r.Blocks, r.RateSpan);
  if (step > 0) {
    std::vector<double> paces;
    for (const TThermalBlock& b : r.Blocks)
      if (BranchOf(b.TempRate) != TBranch::Steady) paces.push_back(std::fabs(b.TempRate));
    const double pace = Median(paces);
    if (pace > 0 && 3 * step / pace * 60 > r.RateSpan) {
      r.RateSpan = std::min(3 * step / pace * 60, 900.0);
      BlockTempRates(r.Blocks, r.RateSpan);
    }
  }
  FlatExtremes(records, ok, blockRecords, r);
  Plateaus(r, cancel);
  if (cancelled()) return r;

  std::vector<std::size_t> used;
  double blockMin = kNaN, blockMax = kNaN;
  for (std::size_t i = 0; i < r.Blocks.size(); ++i) {
    const TThermalBlock& b = r.Blocks[i];
    if (!b.Used) continue;
    used.push_back(i);
    blockMin = std::isnan(blockMin) ? b.Temperature : std::min(blockMin, b.Temperature);
    blockMax = std::isnan(blockMax) ? b.Temperature : std::max(blockMax, b.Temperature);
  }
  const std::size_t m = used.size();
  const std::size_t q = static_cast<std::size_t>(options.Order) + 1;
  std::size_t p = q + (options.RateTerm ? 1 : 0);
  if (n > 0 && r.Blocks.empty()) {
    r.Message = "no usable temperature reading (plausible: " + FormatGeneral(options.TLow, '.', 6) +
                " to " + FormatGeneral(options.THigh, '.', 6) + " \u00B0C)";
    return r;
  }
  if (m < p) {
    r.Message = "too few averaged points (" + std::to_string(m) + ") for " + std::to_string(p) +
                " coefficients";
    return r;
  }
  if (!(blockMax - blockMin >= 1.0)) {
    r.Message = "the temperature changes by less than 1 \u00B0C over the span";
    return r;
  }

  // Centred and scaled temperature; the dT/dt column scaled to its largest value.
  r.Centre = 0.5 * (blockMin + blockMax);
  r.Scale = 0.5 * (blockMax - blockMin);
  double rateScale = 0;
  for (std::size_t i : used) rateScale = std::max(rateScale, std::fabs(r.Blocks[i].TempRate));
  if (options.RateTerm && !(rateScale > 0)) {
    r.Message = "the temperature's rate of change does not vary: fit without the rate term";
    return r;
  }
  // A hysteresis column (+1/2 heating, -1/2 cooling) where both branches
  // cover common temperatures.
  double hLo[2] = {kNaN, kNaN}, hHi[2] = {kNaN, kNaN};
  for (std::size_t i : used) {
    const TBranch br = BranchOf(r.Blocks[i].TempRate);
    if (br == TBranch::Steady) continue;
    const int s = br == TBranch::Heating ? 0 : 1;
    const double T = r.Blocks[i].Temperature;
    hLo[s] = std::isnan(hLo[s]) ? T : std::min(hLo[s], T);
    hHi[s] = std::isnan(hHi[s]) ? T : std::max(hHi[s], T);
  }
  const double common = std::isnan(hLo[0]) || std::isnan(hLo[1])
                            ? kNaN
                            : std::min(hHi[0], hHi[1]) - std::max(hLo[0], hLo[1]);
  bool hysteresis = common >= std::max(1.0, 0.2 * (blockMax - blockMin));
  if (!hysteresis)
    r.HysteresisNote = std::isnan(common) ? "the span does not have both a heating and a cooling branch"
                                          : "the heating and cooling branches do not cover common temperatures";
  auto design = [&](std::size_t cols) {
    std::vector<double> X(m * cols);
    for (std::size_t ii = 0; ii < m; ++ii) {
      const TThermalBlock& b = r.Blocks[used[ii]];
      const double x = (b.Temperature - r.Centre) / r.Scale;
      double pw = 1;
      for (std::size_t j = 0; j < q; ++j, pw *= x) X[j * m + ii] = pw;
      if (options.RateTerm) X[q * m + ii] = b.TempRate / rateScale;
      if (cols > p) X[p * m + ii] = 0.5 * static_cast<int>(BranchOf(b.TempRate));
    }
    return X;
  };
  std::vector<double> X = design(p + 1);
  std::vector<std::size_t> poly(q);
  for (std::size_t j = 0; j < q; ++j) poly[j] = j;
  if (options.RateTerm) {
    // The rate of change must vary apart from the temperature by well more
    // than the noise of its own estimate, or c reads that noise.
    long double noise = 0;
    for (std::size_t i : used) noise += static_cast<long double>(r.Blocks[i].TempRateSe) * r.Blocks[i].TempRateSe;
    const double sd = static_cast<double>(std::sqrt(noise / static_cast<long double>(m)));
    const double outside = OutsideRms(X, m, poly, q) * rateScale;
    if (!(outside > std::max(10 * sd, 0.5 * kBranchDeadBand))) {
      r.Message = "the temperature and its rate of change do not vary independently enough for "
                  "this model (dT/dt varies by " + FormatGeneral(outside, '.', 3) +
                  " \u00B0C/min apart from the temperature, its estimate's noise is " +
                  FormatGeneral(sd, '.', 3) + " \u00B0C/min; a single ramp needs --no-rate-term)";
      return r;
    }
  }
  if (hysteresis) {
    std::vector<std::size_t> others = poly;
    if (options.RateTerm) others.push_back(q);
    long double norm = 0;
    for (std::size_t ii = 0; ii < m; ++ii) norm += static_cast<long double>(X[p * m + ii]) * X[p * m + ii];
    const double rms = static_cast<double>(std::sqrt(norm / static_cast<long double>(m)));
    if (!(OutsideRms(X, m, others, p) > 0.3 * rms)) {
      hysteresis = false;
      r.HysteresisNote = "heating and cooling differ here as c\u00B7dT/dt does: not separable from c";
    }
  }
  if (hysteresis)
    ++p;
  else
    X.resize(m * p);
  std::vector<double> y(m);
  for (std::size_t ii = 0; ii < m; ++ii) y[ii] = r.Blocks[used[ii]].Bias;
  std::vector<double> a, xtxInv;
  if (!LeastSquaresQr(X, m, p, y, a, xtxInv)) {
    r.Message = "the temperature does not vary enough for this order";
    return r;
  }
  r.Valid = true;
  for (std::size_t j = 0; j < q; ++j) r.A[j] = a[j];
  r.C = options.RateTerm ? a[q] / rateScale : kNaN;
  if (hysteresis) r.Hysteresis = a[p - 1];

  // Residuals of the blocks.
  std::vector<double> e(m);
  long double rss = 0, mean = 0, tss = 0;
  for (double v : y) mean += v;
  mean /= static_cast<long double>(m);
  for (std::size_t ii = 0; ii < m; ++ii) {
    double f = 0;
    for (std::size_t j = 0; j < p; ++j) f += X[j * m + ii] * a[j];
    e[ii] = y[ii] - f;
    rss += static_cast<long double>(e[ii]) * e[ii];
    tss += (y[ii] - mean) * (y[ii] - mean);
  }
  r.ResidualRmsAvg = static_cast<double>(std::sqrt(rss / static_cast<long double>(m)));
  r.R2 = tss > 0 ? static_cast<double>(1 - rss / tss) : kNaN;
  std::vector<double> times(m);
  for (std::size_t ii = 0; ii < m; ++ii) times[ii] = r.Blocks[used[ii]].Time;
  r.Noise = FitResidualNoise(X, m, p, e, times, options.Average, cancel);
  if (cancelled()) return r;

  // Coefficients in T: b_k = sum_{j>=k} a_j C(j,k) (-Centre)^(j-k) / Scale^j,
  // a linear map M of a; each figure is a row g of M (or the polynomial's
  // powers at TRef) times a, its standard error from g.
  std::vector<std::vector<double>> targets(p, std::vector<double>(p, 0.0));
  for (std::size_t k = 0; k < q; ++k)
    for (std::size_t j = k; j < q; ++j)
      targets[k][j] = Binomial(static_cast<int>(j), static_cast<int>(k)) *
                      std::pow(-r.Centre, static_cast<double>(j - k)) /
                      std::pow(r.Scale, static_cast<double>(j));
  for (std::size_t k = q; k < p; ++k) targets[k][k] = 1.0;
  if (options.RateTerm) targets[q][q] = 1.0 / rateScale;
  // The bias at the reference temperature, inside the fitted range only.
  const bool atRef = options.TRef >= blockMin && options.TRef <= blockMax;
  if (atRef) {
    std::vector<double> g(p, 0.0);
    const double x = (options.TRef - r.Centre) / r.Scale;
    double pw = 1;
    for (std::size_t j = 0; j < q; ++j, pw *= x) g[j] = pw;
    targets.push_back(g);
  } else {
    r.BiasRefNote = FormatGeneral(options.TRef, '.', 6) +
                    " \u00B0C lies outside the fitted temperatures (" + FormatGeneral(blockMin, '.', 6) +
                    " to " + FormatGeneral(blockMax, '.', 6) + " \u00B0C)";
  }
  const std::vector<double> errors =
      CoefficientErrors(X, m, p, times, xtxInv, r.Noise, options.Average, targets);
  std::string unsupported;
  for (std::size_t k = 0; k < targets.size(); ++k) {
    double value = 0;
    for (std::size_t j = 0; j < p; ++j) value += targets[k][j] * a[j];
    std::string name;
    if (k < q) {
      r.B[k] = value;
      r.BSe[k] = errors[k];
      name = "b" + std::to_string(k);
    } else if (k == p) {
      r.BiasRef = value;
      r.BiasRefSe = errors[k];
      name = "bias_tref";
    } else if (options.RateTerm && k == q) {
      r.CSe = errors[k];
      name = "c";
    } else {
      r.HysteresisSe = errors[k];
      name = "hysteresis";
    }
    if (std::isnan(errors[k])) unsupported += (unsupported.empty() ? "" : ", ") + name;
  }
  if (!unsupported.empty())
    r.Warnings.push_back("the residuals' slow noise is too poorly determined for a standard error of " +
                         unsupported + " (under one degree of freedom): absent");

  // The reference temperature of the compensated rate: the blocks' mean.
  long double tsum = 0;
  for (std::size_t i : used) tsum += r.Blocks[i].Temperature;
  r.TMean = static_cast<double>(tsum / static_cast<long double>(m));

  // Records: dT/dt interpolated between the block centres, the temperature
  // of an unusable reading the last usable one (or its block's mean);
  // residual at the recording's own rate; compensated rate.
  long double rssRecords = 0;
  const double base = r.Model(r.TMean, 0.0);
  // Where the compensated rates go: the records' own field (each read
  // before it is written), the caller's vector, or one of this function's.
  std::vector<float> own;
  if (!inPlace && !compensated) own.resize(n);
  beforeWriting();
  float* out = inPlace ? &inPlace->Rate : compensated ? compensated->data() : own.data();
  const std::size_t outStride = inPlace ? 3 : 1;
  double lastT = kNaN;
  std::size_t nextBlock = 0;  // the first block not yet reached
  for (std::size_t i = 0; i < n; ++i) {
    if (ok[i]) lastT = records[i].Temperature;
    while (nextBlock < blockRecords.Ranges.size() && blockRecords.Ranges[nextBlock].first <= i) ++nextBlock;
    const std::int64_t bi =
        nextBlock > 0 && i < blockRecords.Ranges[nextBlock - 1].second ? static_cast<std::int64_t>(nextBlock) - 1 : -1;
    const double temperature =
        ok[i] ? records[i].Temperature : !std::isnan(lastT) ? lastT : bi >= 0 ? r.Blocks[static_cast<std::size_t>(bi)].Temperature : r.TMean;
    double tempRate = 0;
    if (bi >= 0) {
      const std::size_t blk = static_cast<std::size_t>(bi);
      const double t = records[i].Time;
      const TThermalBlock& u = r.Blocks[blk];
      tempRate = u.TempRate;
      const std::size_t other = t >= u.Time ? blk + 1 : blk - 1;
      if ((t >= u.Time ? blk + 1 < r.Blocks.size() : blk > 0)) {
        const TThermalBlock& v = r.Blocks[other];
        if (v.Time != u.Time)
          tempRate = u.TempRate + (v.TempRate - u.TempRate) * (t - u.Time) / (v.Time - u.Time);
      }
    }
    const double model = r.Model(temperature, tempRate);
    const double dev = records[i].Rate * kPerHour - model;
    rssRecords += static_cast<long double>(dev) * dev;
    out[i * outStride] = static_cast<float>(records[i].Rate - (model - base) / kPerHour);
  }
  r.ResidualRms = n ? static_cast<double>(std::sqrt(rssRecords / static_cast<long double>(n))) : kNaN;
  if (n) {
    const TAllanResult a = RatesAllan(records, out, outStride, cancel);
    r.NCompensated = a.N.Value;
    r.BCompensated = a.B.Value;
  }
  return r;
}

// The model, with the raw rates' Allan read-outs on a thread of their own
// meanwhile (they only read the records, as the fit does until it writes
// the compensated rates). `rawAllan` (may be null) receives the whole
// curve, wanted or not by the model.
TThermalResult Thermal(const std::vector<SamplePoint>& records, const TThermalOptions& options,
                       std::vector<float>* compensated, SamplePoint* inPlace, const std::atomic<bool>* cancel,
                       TAllanResult* rawAllan = nullptr) {
  const bool usable = Usable(options);
  TAllanResult allan;
  struct TRaw {
    std::thread thread;
    void Join() {
      if (thread.joinable()) thread.join();
    }
    ~TRaw() { Join(); }
  } raw;
  if ((usable && !records.empty()) || rawAllan)
    raw.thread = std::thread(
        [&] { allan = RatesAllan(records, records.empty() ? nullptr : &records.front().Rate, 3, cancel); });
  TThermalResult r = Fit(records, options, compensated, inPlace, cancel, [&raw] { raw.Join(); });
  raw.Join();
  if (Stopped(cancel)) return Dropped(r.Records);
  if (usable && !records.empty()) {
    r.NRaw = allan.N.Value;
    r.BRaw = allan.B.Value;
  }
  if (rawAllan) *rawAllan = std::move(allan);
  return r;
}

}  // namespace

TThermalResult ComputeThermal(const std::vector<SamplePoint>& records,
                              const TThermalOptions& options, std::vector<float>* compensated,
                              const std::atomic<bool>* cancel) {
  return Thermal(records, options, compensated, nullptr, cancel);
}

TThermalResult ComputeThermalInPlace(std::vector<SamplePoint>& records, const TThermalOptions& options,
                                     const std::atomic<bool>* cancel, TAllanResult* rawAllan) {
  return Thermal(records, options, nullptr, records.empty() ? nullptr : records.data(), cancel, rawAllan);
}
