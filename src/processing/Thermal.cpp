#include "processing/Thermal.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "files/RecordingReader.h"
#include "processing/Allan.h"

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

// dT/dt of each block (deg C/min) that has none from its own records:
// central differences of the block means, one-sided at the ends.
void BlockTempRates(std::vector<TThermalBlock>& blocks, const std::vector<bool>& own) {
  const std::size_t n = blocks.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (own[i]) continue;
    const std::size_t a = i == 0 ? 0 : i - 1;
    const std::size_t b = i + 1 == n ? n - 1 : i + 1;
    const double dt = blocks[b].Time - blocks[a].Time;
    blocks[i].TempRate =
        dt > 0 ? (blocks[b].Temperature - blocks[a].Temperature) / dt * 60.0 : 0.0;
  }
}

// The largest difference between the heating and the cooling branch's mean
// bias within the same 1 deg C bin.
double Hysteresis(const std::vector<TThermalBlock>& blocks) {
  struct Bin {
    long double up = 0, down = 0;
    std::int64_t nUp = 0, nDown = 0;
  };
  std::map<long, Bin> bins;
  for (const TThermalBlock& b : blocks) {
    Bin& bin = bins[static_cast<long>(std::floor(b.Temperature))];
    if (b.TempRate > kBranchDeadBand) {
      bin.up += b.Bias;
      ++bin.nUp;
    } else if (b.TempRate < -kBranchDeadBand) {
      bin.down += b.Bias;
      ++bin.nDown;
    }
  }
  double worst = kNaN;
  for (const auto& [t, bin] : bins) {
    if (bin.nUp == 0 || bin.nDown == 0) continue;
    const double d = static_cast<double>(std::fabs(bin.up / static_cast<long double>(bin.nUp) -
                                                   bin.down / static_cast<long double>(bin.nDown)));
    if (std::isnan(worst) || d > worst) worst = d;
  }
  return worst;
}

}  // namespace

bool ReadSpanRecords(const std::string& path, double begin, double end,
                     std::vector<SamplePoint>& records, std::string& error,
                     const std::function<void(std::int64_t, std::int64_t)>& progress,
                     const std::atomic<bool>* cancel) {
  records.clear();
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
    if (!std::isfinite(p.Time) || !std::isfinite(p.Rate) || !std::isfinite(p.Temperature))
      continue;
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
    : B{kNaN, kNaN, kNaN, kNaN},
      BSe{kNaN, kNaN, kNaN, kNaN},
      C(kNaN),
      CSe(kNaN),
      ResidualRms(kNaN),
      ResidualRmsAvg(kNaN),
      R2(kNaN),
      TMin(kNaN),
      TMax(kNaN),
      TRef(kNaN),
      Hysteresis(kNaN),
      NRaw(kNaN),
      BRaw(kNaN),
      NCompensated(kNaN),
      BCompensated(kNaN) {}

double TThermalResult::Model(double temperature, double tempRate) const {
  if (!Valid) return kNaN;
  const double x = (temperature - Centre) / Scale;
  double poly = 0;
  for (int j = Order; j >= 0; --j) poly = poly * x + A[j];
  return RateTerm ? poly + C * tempRate : poly;
}

double TThermalResult::Correction(double temperature, double tempRate) const {
  return Model(temperature, tempRate) - Model(TRef, 0.0);
}

TThermalResult ComputeThermal(const std::vector<SamplePoint>& records,
                              const TThermalOptions& options, std::vector<float>* compensated) {
  TThermalResult r;
  r.Order = options.Order;
  r.RateTerm = options.RateTerm;
  r.Average = options.Average;
  r.Records = static_cast<std::int64_t>(records.size());
  const std::size_t n = records.size();
  if (compensated) {
    compensated->resize(n);
    for (std::size_t i = 0; i < n; ++i) (*compensated)[i] = records[i].Rate;
  }
  const std::size_t p = static_cast<std::size_t>(options.Order) + 1 + (options.RateTerm ? 1 : 0);
  if (options.Order < 1 || options.Order > 3 || !(options.Average > 0)) {
    r.Message = "the order must be 1 to 3 and the averaging time positive";
    return r;
  }

  // Allan read-outs of the raw rate.
  double tau0 = kNaN;
  if (n >= 2) tau0 = (static_cast<double>(records[n - 1].Time) - records[0].Time) / (n - 1);
  std::vector<float> rates(n);
  for (std::size_t i = 0; i < n; ++i) rates[i] = records[i].Rate;
  {
    const TAllanResult raw = ComputeAllan(rates.data(), n, tau0);
    r.NRaw = raw.N.Value;
    r.BRaw = raw.B.Value;
  }

  // Blocks of `Average` seconds from the first record. A block's dT/dt is
  // the least-squares slope of its own records' temperature against time
  // (the mean of dT/dt over the block when the temperature runs straight,
  // which is what the block's mean bias holds); blocks without a time
  // spread take it from their neighbours.
  std::vector<bool> ownRate;
  if (n > 0) {
    const double t0 = records[0].Time;
    long double st = 0, sr = 0, sT = 0, stt = 0, stT = 0;
    std::int64_t count = 0, current = -1;
    double origin = 0;
    auto close = [&] {
      if (count == 0) return;
      const long double c = static_cast<long double>(count);
      const long double spread = c * stt - st * st;
      const bool own = count >= 2 && spread > 1e-12L * c * c;
      const double slope = own ? static_cast<double>((c * stT - st * sT) / spread) * 60.0 : 0.0;
      r.Blocks.push_back({origin + static_cast<double>(st / c),
                          static_cast<double>(sr / c * kPerHour), static_cast<double>(sT / c),
                          slope, count});
      ownRate.push_back(own);
      st = sr = sT = stt = stT = 0;
      count = 0;
    };
    for (const SamplePoint& s : records) {
      const auto k = static_cast<std::int64_t>(std::floor((s.Time - t0) / options.Average));
      if (k != current) {
        close();
        current = k;
        origin = s.Time;
      }
      const long double t = static_cast<long double>(s.Time) - origin;
      st += t;
      stt += t * t;
      stT += t * s.Temperature;
      sr += s.Rate;
      sT += s.Temperature;
      ++count;
    }
    close();
  }
  BlockTempRates(r.Blocks, ownRate);
  const std::size_t m = r.Blocks.size();
  for (const SamplePoint& s : records) {
    r.TMin = std::isnan(r.TMin) ? s.Temperature : std::min<double>(r.TMin, s.Temperature);
    r.TMax = std::isnan(r.TMax) ? s.Temperature : std::max<double>(r.TMax, s.Temperature);
  }
  double blockMin = kNaN, blockMax = kNaN;
  for (const TThermalBlock& b : r.Blocks) {
    blockMin = std::isnan(blockMin) ? b.Temperature : std::min(blockMin, b.Temperature);
    blockMax = std::isnan(blockMax) ? b.Temperature : std::max(blockMax, b.Temperature);
  }
  r.Hysteresis = Hysteresis(r.Blocks);
  if (m < p) {
    r.Message = "too few averaged points (" + std::to_string(m) + ") for " + std::to_string(p) +
                " coefficients";
    return r;
  }
  if (!(r.TMax - r.TMin >= 1.0)) {
    r.Message = "the temperature changes by less than 1 \u00B0C over the span";
    return r;
  }

  // Centred and scaled temperature; the dT/dt column scaled to its largest value.
  r.Centre = 0.5 * (blockMin + blockMax);
  r.Scale = blockMax > blockMin ? 0.5 * (blockMax - blockMin) : 1.0;
  double rateScale = 0;
  for (const TThermalBlock& b : r.Blocks) rateScale = std::max(rateScale, std::fabs(b.TempRate));
  if (options.RateTerm && !(rateScale > 0)) {
    r.Message = "the temperature's rate of change does not vary: fit without the rate term";
    return r;
  }
  std::vector<double> X(m * p), y(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double x = (r.Blocks[i].Temperature - r.Centre) / r.Scale;
    double pw = 1;
    for (int j = 0; j <= options.Order; ++j, pw *= x) X[static_cast<std::size_t>(j) * m + i] = pw;
    if (options.RateTerm) X[(p - 1) * m + i] = r.Blocks[i].TempRate / rateScale;
    y[i] = r.Blocks[i].Bias;
  }
  std::vector<double> a, cov;
  if (!LeastSquaresQr(X, m, p, y, a, cov)) {
    r.Message = options.RateTerm
                    ? "the temperature and its rate of change do not vary independently enough "
                      "for this model (try --no-rate-term or a lower --order)"
                    : "the temperature does not vary enough for this order";
    return r;
  }
  r.Valid = true;
  for (int j = 0; j <= options.Order; ++j) r.A[j] = a[static_cast<std::size_t>(j)];
  r.C = options.RateTerm ? a[p - 1] / rateScale : kNaN;

  // Residuals of the blocks.
  long double rss = 0, mean = 0, tss = 0;
  for (const TThermalBlock& b : r.Blocks) mean += b.Bias;
  mean /= static_cast<long double>(m);
  for (const TThermalBlock& b : r.Blocks) {
    const long double e = b.Bias - r.Model(b.Temperature, b.TempRate);
    rss += e * e;
    tss += (b.Bias - mean) * (b.Bias - mean);
  }
  r.ResidualRmsAvg = static_cast<double>(std::sqrt(rss / static_cast<long double>(m)));
  r.R2 = tss > 0 ? static_cast<double>(1 - rss / tss) : kNaN;

  // Coefficients in T: b_k = sum_{j>=k} a_j C(j,k) (-Centre)^(j-k) / Scale^j,
  // a linear map M of a; their covariance is s^2 M (X'X)^-1 M'.
  const std::size_t q = static_cast<std::size_t>(options.Order) + 1;
  std::vector<double> M(p * p, 0.0);  // row-major
  for (std::size_t k = 0; k < q; ++k)
    for (std::size_t j = k; j < q; ++j)
      M[k * p + j] = Binomial(static_cast<int>(j), static_cast<int>(k)) *
                     std::pow(-r.Centre, static_cast<double>(j - k)) /
                     std::pow(r.Scale, static_cast<double>(j));
  if (options.RateTerm) M[(p - 1) * p + (p - 1)] = 1.0 / rateScale;
  const double s2 = m > p ? static_cast<double>(rss) / static_cast<double>(m - p) : kNaN;
  for (std::size_t k = 0; k < p; ++k) {
    double value = 0, var = 0;
    for (std::size_t j = 0; j < p; ++j) {
      value += M[k * p + j] * a[j];
      for (std::size_t l = 0; l < p; ++l) var += M[k * p + j] * cov[l * p + j] * M[k * p + l];
    }
    const double se = std::sqrt(std::max(var, 0.0) * s2);
    if (k < q) {
      r.B[k] = value;
      r.BSe[k] = se;
    } else {
      r.CSe = se;
    }
  }

  // The reference temperature of the compensated rate: the blocks' mean.
  long double tsum = 0;
  for (const TThermalBlock& b : r.Blocks) tsum += b.Temperature;
  r.TRef = static_cast<double>(tsum / static_cast<long double>(m));

  // Records: dT/dt interpolated between the block centres; residual at the
  // recording's own rate; compensated rate.
  long double rssRecords = 0;
  std::size_t blk = 0;
  const double base = r.Model(r.TRef, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = records[i].Time;
    while (blk + 1 < m && r.Blocks[blk + 1].Time <= t) ++blk;
    double tempRate = r.Blocks[blk].TempRate;
    if (blk + 1 < m && t > r.Blocks[blk].Time) {
      const TThermalBlock& u = r.Blocks[blk];
      const TThermalBlock& v = r.Blocks[blk + 1];
      tempRate = u.TempRate + (v.TempRate - u.TempRate) * (t - u.Time) / (v.Time - u.Time);
    }
    const double model = r.Model(records[i].Temperature, tempRate);
    const double e = records[i].Rate * kPerHour - model;
    rssRecords += static_cast<long double>(e) * e;
    rates[i] = static_cast<float>(records[i].Rate - (model - base) / kPerHour);
  }
  r.ResidualRms = static_cast<double>(std::sqrt(rssRecords / static_cast<long double>(n)));
  const TAllanResult comp = ComputeAllan(rates.data(), n, tau0);
  r.NCompensated = comp.N.Value;
  r.BCompensated = comp.B.Value;
  if (compensated) *compensated = std::move(rates);
  return r;
}
