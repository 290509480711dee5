#include "processing/ScaleFactor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <locale>
#include <sstream>

#include "processing/Allan.h"
#include "processing/Thermal.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;
constexpr double kBlockSeconds = 0.1;  // block length of the change-point detection

// Least squares y = sum_j c_j col_j with each column scaled to unit largest
// magnitude first. Coef, Se (NaN without a degree of freedom) and the
// residual standard deviation; false when the columns are dependent.
struct TFit {
  std::vector<double> Coef, Se, Cov;  // Cov: covariance of the coefficients, p x p
  double ResidualSd = kNaN;
  std::size_t Dof = 0;
};
bool FitColumns(const std::vector<std::vector<double>>& cols, const std::vector<double>& y,
                TFit& fit) {
  const std::size_t p = cols.size(), m = y.size();
  if (m < p || p == 0) return false;
  std::vector<double> x(m * p), scale(p, 1.0);
  for (std::size_t j = 0; j < p; ++j) {
    double big = 0;
    for (double v : cols[j]) big = std::max(big, std::fabs(v));
    if (!(big > 0)) return false;
    scale[j] = big;
    for (std::size_t i = 0; i < m; ++i) x[j * m + i] = cols[j][i] / big;
  }
  std::vector<double> a, cov;
  if (!LeastSquaresQr(x, m, p, y, a, cov)) return false;
  long double rss = 0;
  for (std::size_t i = 0; i < m; ++i) {
    long double e = y[i];
    for (std::size_t j = 0; j < p; ++j) e -= static_cast<long double>(x[j * m + i]) * a[j];
    rss += e * e;
  }
  fit.Dof = m - p;
  fit.ResidualSd = fit.Dof > 0 ? std::sqrt(static_cast<double>(rss) / static_cast<double>(fit.Dof)) : kNaN;
  const double s2 = fit.ResidualSd * fit.ResidualSd;
  fit.Coef.resize(p);
  fit.Se.resize(p);
  fit.Cov.assign(p * p, 0);
  for (std::size_t j = 0; j < p; ++j) {
    fit.Coef[j] = a[j] / scale[j];
    for (std::size_t k = 0; k < p; ++k) fit.Cov[j * p + k] = s2 * cov[j * p + k] / (scale[j] * scale[k]);
    fit.Se[j] = std::sqrt(fit.Cov[j * p + j]);
  }
  return true;
}

double Median(std::vector<double> v) {
  if (v.empty()) return kNaN;
  const std::size_t h = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(h), v.end());
  double m = v[h];
  if (v.size() % 2 == 0) m = (m + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(h))) / 2;
  return m;
}

// Records with their times in order (a clock that stepped back is sorted).
const std::vector<SamplePoint>& Sorted(const std::vector<SamplePoint>& records,
                                       std::vector<SamplePoint>& copy) {
  auto later = [](const SamplePoint& a, const SamplePoint& b) { return a.Time < b.Time; };
  if (std::is_sorted(records.begin(), records.end(), later)) return records;
  copy = records;
  std::stable_sort(copy.begin(), copy.end(), later);
  return copy;
}

// Mean output, its standard error from ten sub-block means, and mean
// temperature of the records with time in [begin, end].
TPlateau Measure(const std::vector<SamplePoint>& r, double begin, double end, double rate) {
  TPlateau p;
  p.Rate = rate;
  auto lo = std::lower_bound(r.begin(), r.end(), begin,
                             [](const SamplePoint& s, double t) { return s.Time < t; });
  auto hi = std::upper_bound(lo, r.end(), end,
                             [](double t, const SamplePoint& s) { return t < s.Time; });
  const std::int64_t n = hi - lo;
  p.Records = n;
  if (n == 0) return p;
  p.Begin = lo->Time;
  p.End = (hi - 1)->Time;
  long double sum = 0, temp = 0;
  for (auto it = lo; it != hi; ++it) {
    sum += it->Rate;
    temp += it->Temperature;
  }
  p.Output = static_cast<double>(sum / n);
  p.Temperature = static_cast<double>(temp / n);
  const std::int64_t parts = std::min<std::int64_t>(10, n);
  if (parts < 2) {
    p.OutputSe = kNaN;
    return p;
  }
  long double ss = 0;
  for (std::int64_t k = 0; k < parts; ++k) {
    const std::int64_t a = n * k / parts, b = n * (k + 1) / parts;
    long double s = 0;
    for (auto it = lo + a; it != lo + b; ++it) s += it->Rate;
    const long double d = s / (b - a) - sum / n;
    ss += d * d;
  }
  p.OutputSe = std::sqrt(static_cast<double>(ss) / static_cast<double>(parts * (parts - 1)));
  return p;
}

// A steady stretch of the rate: first and last record index, mean.
struct TSegment {
  std::size_t First = 0, Last = 0;
  double Mean = 0;
  std::size_t Blocks = 0;
};

std::vector<TSegment> Segments(const std::vector<SamplePoint>& r, std::size_t minBlocks,
                               std::size_t& blockLength) {
  std::vector<TSegment> out;
  if (r.size() < 4) return out;
  std::vector<double> steps;
  for (std::size_t i = 1; i < std::min<std::size_t>(r.size(), 20001); ++i)
    steps.push_back(static_cast<double>(r[i].Time) - r[i - 1].Time);
  const double dt = Median(steps);
  blockLength = dt > 0 ? std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(kBlockSeconds / dt))) : 1;
  const std::size_t nb = r.size() / blockLength;
  std::vector<double> m(nb);
  for (std::size_t j = 0; j < nb; ++j) {
    double s = 0;
    for (std::size_t i = j * blockLength; i < (j + 1) * blockLength; ++i) s += r[i].Rate;
    m[j] = s / static_cast<double>(blockLength);
  }
  if (nb < 2) return out;
  std::vector<double> d(nb - 1);
  for (std::size_t j = 1; j < nb; ++j) d[j - 1] = std::fabs(m[j] - m[j - 1]);
  const double sigma = std::max(Median(d) / (0.6745 * std::sqrt(2.0)), 1e-9);
  auto threshold = [&](double ref) { return 6.0 * sigma + 1e-5 * std::fabs(ref); };

  // Blocks join the stretch while they stay near the mean of its last ten.
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // first, last block
  std::size_t start = 0;
  for (std::size_t j = 1; j <= nb; ++j) {
    bool joins = false;
    if (j < nb) {
      const std::size_t from = std::max(start, j >= 10 ? j - 10 : 0);
      double ref = 0;
      for (std::size_t k = from; k < j; ++k) ref += m[k];
      ref /= static_cast<double>(j - from);
      joins = std::fabs(m[j] - ref) <= threshold(ref);
    }
    if (!joins) {
      runs.push_back({start, j - 1});
      start = j;
    }
  }
  // Long stretches; one split by a single stray block is joined again.
  for (const auto& [a, b] : runs) {
    if (b - a + 1 < minBlocks) continue;
    double s = 0;
    for (std::size_t k = a; k <= b; ++k) s += m[k];
    const double mean = s / static_cast<double>(b - a + 1);
    if (!out.empty()) {
      TSegment& prev = out.back();
      const std::size_t prevLastBlock = prev.Last / blockLength;
      if (a <= prevLastBlock + 3 && std::fabs(mean - prev.Mean) <= threshold(mean)) {
        const std::size_t total = prev.Blocks + (b - a + 1);
        prev.Mean = (prev.Mean * static_cast<double>(prev.Blocks) + mean * static_cast<double>(b - a + 1)) /
                    static_cast<double>(total);
        prev.Blocks = total;
        prev.Last = (b + 1) * blockLength - 1;
        continue;
      }
    }
    out.push_back({a * blockLength, (b + 1) * blockLength - 1, mean, b - a + 1});
  }
  return out;
}

double RoundTwoDigits(double v) {
  if (std::fabs(v) < 0.05) return 0.0;
  const double e = std::pow(10.0, std::floor(std::log10(std::fabs(v))) - 1);
  return std::round(v / e) * e;
}

double SnapTolerance(double rate) { return std::max(0.05 * std::fabs(rate), 0.1); }

}  // namespace

// ------------------------------------------------------------- the fit ---

TPolyFit FitPolynomial(const std::vector<double>& x, const std::vector<double>& y, int degree) {
  TPolyFit r;
  const std::size_t p = static_cast<std::size_t>(degree) + 1;
  if (degree < 0 || x.size() != y.size() || x.size() < p) return r;
  double lo = *std::min_element(x.begin(), x.end()), hi = *std::max_element(x.begin(), x.end());
  const double c = (lo + hi) / 2, s = (hi - lo) / 2 > 0 ? (hi - lo) / 2 : 1.0;
  std::vector<std::vector<double>> cols(p, std::vector<double>(x.size()));
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double t = (x[i] - c) / s;
    double v = 1;
    for (std::size_t j = 0; j < p; ++j, v *= t) cols[j][i] = v;
  }
  TFit fit;
  if (!FitColumns(cols, y, fit)) return r;
  // sum_j a_j ((x - c)/s)^j = sum_k B_k x^k: B = J a with
  // J[k][j] = C(j, k) (-c)^(j-k) / s^j.
  std::vector<double> J(p * p, 0.0);
  for (std::size_t j = 0; j < p; ++j) {
    double binom = 1;
    for (std::size_t k = 0; k <= j; ++k) {
      if (k > 0) binom = binom * static_cast<double>(j - k + 1) / static_cast<double>(k);
      J[k * p + j] = binom * std::pow(-c, static_cast<double>(j - k)) / std::pow(s, static_cast<double>(j));
    }
  }
  r.Coef.assign(p, 0);
  r.Se.assign(p, 0);
  for (std::size_t k = 0; k < p; ++k) {
    long double b = 0, var = 0;
    for (std::size_t j = 0; j < p; ++j) {
      b += static_cast<long double>(J[k * p + j]) * fit.Coef[j];
      for (std::size_t l = 0; l < p; ++l)
        var += static_cast<long double>(J[k * p + j]) * fit.Cov[j * p + l] * J[k * p + l];
    }
    r.Coef[k] = static_cast<double>(b);
    r.Se[k] = fit.Dof > 0 ? std::sqrt(static_cast<double>(var)) : kNaN;
  }
  r.ResidualSd = fit.ResidualSd;
  r.Dof = fit.Dof;
  r.Valid = true;
  return r;
}

// ----------------------------------------------------------- plateaus ---

bool ParseRateProfile(const std::string& text, std::vector<TProfileStep>& steps,
                      std::string& error) {
  steps.clear();
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::vector<double> v;
    std::string word;
    bool bad = false;
    while (fields >> word) {
      char* end = nullptr;
      const double d = std::strtod(word.c_str(), &end);
      if (*end != 0 || !std::isfinite(d)) bad = true;
      v.push_back(d);
    }
    if (v.empty() && !bad) continue;
    if (bad || v.size() < 2 || v.size() > 3 || !(v[1] > 0) || (v.size() == 3 && !(v[2] > 0))) {
      error = "line " + std::to_string(number) +
              ": a plateau is RATE DWELL [ACCEL] (deg/s, s > 0, deg/s^2 > 0)";
      return false;
    }
    steps.push_back({v[0], v[1], v.size() == 3 ? v[2] : 0.0});
  }
  if (steps.empty()) {
    error = "the profile has no plateau";
    return false;
  }
  error.clear();
  return true;
}

double TransitionTime(double from, const TProfileStep& step) {
  if (from == step.Rate) return 0;
  return step.Accel > 0 ? std::fabs(step.Rate - from) / step.Accel : 1.0;
}

std::vector<TPlateau> DetectPlateaus(const std::vector<SamplePoint>& records,
                                     const TPlateauOptions& options, int* unmatched) {
  std::vector<SamplePoint> copy;
  const std::vector<SamplePoint>& r = Sorted(records, copy);
  std::size_t blockLength = 1;
  const auto minBlocks = static_cast<std::size_t>(
      std::ceil((options.Guard + options.MinDwell) / kBlockSeconds));
  std::vector<TPlateau> out;
  int missed = 0;
  for (const TSegment& s : Segments(r, std::max<std::size_t>(minBlocks, 2), blockLength)) {
    double rate = RoundTwoDigits(s.Mean);
    if (!options.Rates.empty()) {
      double best = kNaN;
      for (double c : options.Rates)
        if (std::fabs(s.Mean - c) <= SnapTolerance(c) &&
            !(std::fabs(s.Mean - best) <= std::fabs(s.Mean - c)))
          best = c;
      if (std::isnan(best)) {
        ++missed;
        continue;
      }
      rate = best;
    }
    // The last block may hold the start of the next change.
    const std::size_t last = s.Last >= blockLength ? s.Last - blockLength : s.Last;
    TPlateau p = Measure(r, r[s.First].Time + options.Guard, r[last].Time, rate);
    if (p.Records > 0) out.push_back(p);
  }
  if (unmatched) *unmatched = missed;
  return out;
}

std::vector<TPlateau> ProfilePlateaus(const std::vector<SamplePoint>& records,
                                      const std::vector<TProfileStep>& profile, double guard,
                                      std::string& error) {
  std::vector<SamplePoint> copy;
  const std::vector<SamplePoint>& r = Sorted(records, copy);
  // The profile's plateaus in its own time.
  struct TWindow {
    double Rate, Begin, End;
  };
  std::vector<TWindow> windows;
  double t = 0, rate = 0;
  for (const TProfileStep& s : profile) {
    t += TransitionTime(rate, s);
    if (!windows.empty() && s.Rate == rate) {
      windows.back().End = t += s.Dwell;
      continue;
    }
    windows.push_back({s.Rate, t, t + s.Dwell});
    t += s.Dwell;
    rate = s.Rate;
  }
  // Matched in order to the stretches found in the recording: the offset of
  // their starts gives the profile's time origin.
  std::size_t blockLength = 1;
  const std::vector<TSegment> found = Segments(r, 10, blockLength);
  std::vector<double> offsets;
  std::size_t j = 0;
  for (const TWindow& w : windows) {
    for (std::size_t k = j; k < found.size(); ++k) {
      if (std::fabs(found[k].Mean - w.Rate) <= SnapTolerance(w.Rate)) {
        // A stretch starts up to a block after its change ends and ends up
        // to a block before the next begins: both edges, the median.
        offsets.push_back(static_cast<double>(r[found[k].First].Time) - w.Begin);
        offsets.push_back(static_cast<double>(r[found[k].Last].Time) - w.End);
        j = k + 1;
        break;
      }
    }
  }
  if (offsets.size() < 4 || offsets.size() < windows.size()) {
    error = "the profile does not match the recording: " + std::to_string(offsets.size() / 2) + " of " +
            std::to_string(windows.size()) + " plateaus found at their rates";
    return {};
  }
  const double origin = Median(offsets);
  std::vector<TPlateau> out;
  for (const TWindow& w : windows) {
    TPlateau p = Measure(r, origin + w.Begin + guard, origin + w.End - kBlockSeconds, w.Rate);
    if (p.Records > 0) out.push_back(p);
  }
  error.clear();
  return out;
}

// --------------------------------------------------------- the figures ---

double EarthRateAlongAxis(const TSite& site) {
  if (!site.HasLatitude) return site.VerticalEarthRate;
  const double d = kPi / 180.0, phi = site.Latitude * d, el = site.Elevation * d,
               hd = site.Heading * d;
  return kEarthRateDegH * (std::cos(phi) * std::cos(el) * std::cos(hd) + std::sin(phi) * std::sin(el));
}

bool ParseSite(const std::string& text, TSite& site, std::string& error) {
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::size_t eq = line.find('=');
    auto trim = [](std::string s) {
      s.erase(0, s.find_first_not_of(" \t\r"));
      s.erase(s.find_last_not_of(" \t\r") + 1);
      return s;
    };
    const std::string key = trim(line.substr(0, eq)),
                      value = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
    char* end = nullptr;
    const double v = std::strtod(value.c_str(), &end);
    const bool number_ok = !value.empty() && *end == 0 && std::isfinite(v);
    if (key == "latitude" && number_ok && std::fabs(v) <= 90) {
      site.HasLatitude = true;
      site.Latitude = v;
    } else if (key == "axis_elevation" && number_ok && std::fabs(v) <= 90) {
      site.Elevation = v;
    } else if (key == "axis_heading" && number_ok) {
      site.Heading = v;
    } else {
      error = "line " + std::to_string(number) +
              ": expected latitude=DEG (-90..90), axis_elevation=DEG (-90..90) or axis_heading=DEG";
      return false;
    }
  }
  error.clear();
  return true;
}

std::string SiteFileText(const TSite& site) {
  const auto number = [](double v) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(10);
    out << v;
    return out.str();
  };
  std::string text = "# Ratelog site: latitude (deg, north positive) and the input axis' orientation\n";
  if (site.HasLatitude) text += "latitude=" + number(site.Latitude) + "\n";
  text += "axis_elevation=" + number(site.Elevation) + "\naxis_heading=" + number(site.Heading) + "\n";
  return text;
}

std::string SiteFilePath(const char* xdgConfigHome, const char* home) {
  std::string folder;
  if (xdgConfigHome && *xdgConfigHome) folder = xdgConfigHome;
  else if (home && *home) folder = std::string(home) + "/.config";
  else return {};
  return folder + "/ratelog/site.txt";
}

TScaleFactorResult ComputeScaleFactor(std::vector<TPlateau> plateaus, const TSite& site) {
  TScaleFactorResult r;
  r.Plateaus = std::move(plateaus);
  std::vector<double> w, y, t;
  double fs = 0;
  for (const TPlateau& p : r.Plateaus) {
    if (!p.Used) continue;
    w.push_back(p.Rate);
    y.push_back(p.Output);
    t.push_back(p.Temperature);
    fs = std::max(fs, std::fabs(p.Rate));
  }
  auto nan = [](std::initializer_list<double*> figures) {
    for (double* f : figures) *f = kNaN;
  };
  nan({&r.K, &r.KSe, &r.InterceptDegH, &r.InterceptSe, &r.BiasDegH, &r.BiasSe, &r.BiasCorrectedDegH,
       &r.KPlus, &r.KPlusSe, &r.KMinus, &r.KMinusSe, &r.AsymmetryPpm, &r.AsymmetrySe,
       &r.NonlinearityPpmFs, &r.NonlinearitySe, &r.NonlinearityAsymPpmFs, &r.TcPpmPerC, &r.TcSe,
       &r.TMin, &r.TMax});
  r.EarthRateDegH = EarthRateAlongAxis(site);
  r.FullScale = fs;
  r.ResidualPpm.assign(r.Plateaus.size(), kNaN);
  r.ResidualFsPpm.assign(r.Plateaus.size(), kNaN);
  std::vector<double> distinct = w;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  if (w.size() < 3 || distinct.size() < 2) {
    r.Message = "a scale factor needs at least three plateaus at two or more rates (found " +
                std::to_string(w.size()) + " at " + std::to_string(distinct.size()) + ")";
    return r;
  }
  const std::vector<double> ones(w.size(), 1.0);
  TFit line;
  if (!FitColumns({w, ones}, y, line)) {
    r.Message = "the plateaus' rates do not determine a line";
    return r;
  }
  r.Valid = true;
  r.K = line.Coef[0];
  r.KSe = line.Se[0];
  r.InterceptDegH = line.Coef[1] / r.K * 3600.0;
  r.InterceptSe = line.Se[1] / std::fabs(r.K) * 3600.0;
  r.BiasDegH = r.InterceptDegH;
  r.BiasSe = r.InterceptSe;
  r.TMin = *std::min_element(t.begin(), t.end());
  r.TMax = *std::max_element(t.begin(), t.end());

  // Nonlinearity: residuals from the line.
  double worst = -1;
  for (std::size_t i = 0; i < r.Plateaus.size(); ++i) {
    const TPlateau& p = r.Plateaus[i];
    if (!p.Used) continue;
    const double e = p.Output - (r.K * p.Rate + line.Coef[1]);
    r.ResidualFsPpm[i] = e / (r.K * fs) * 1e6;
    if (p.Rate != 0) r.ResidualPpm[i] = e / (r.K * p.Rate) * 1e6;
    if (std::fabs(r.ResidualFsPpm[i]) > worst) {
      worst = std::fabs(r.ResidualFsPpm[i]);
      r.NonlinearitySe = p.OutputSe / std::fabs(r.K * fs) * 1e6;
    }
  }
  r.NonlinearityPpmFs = worst;

  // Each direction alone, and the two-slope model.
  auto slope = [&](int sign, double& k, double& se) {
    std::vector<double> ws, ys;
    for (std::size_t i = 0; i < w.size(); ++i)
      if (w[i] * sign >= 0) {
        ws.push_back(w[i]);
        ys.push_back(y[i]);
      }
    TFit f;
    if (ws.size() >= 2 && FitColumns({ws, std::vector<double>(ws.size(), 1.0)}, ys, f)) {
      k = f.Coef[0];
      se = f.Se[0];
    }
  };
  slope(+1, r.KPlus, r.KPlusSe);
  slope(-1, r.KMinus, r.KMinusSe);
  if (std::isfinite(r.KPlus) && std::isfinite(r.KMinus)) {
    const double mean = (r.KPlus + r.KMinus) / 2;
    r.AsymmetryPpm = std::fabs(r.KPlus - r.KMinus) / mean * 1e6;
    r.AsymmetrySe = std::hypot(r.KPlusSe, r.KMinusSe) / std::fabs(mean) * 1e6;
    std::vector<double> absw(w.size());
    for (std::size_t i = 0; i < w.size(); ++i) absw[i] = std::fabs(w[i]);
    TFit two;
    if (FitColumns({w, absw, ones}, y, two)) {
      r.BiasDegH = two.Coef[2] / two.Coef[0] * 3600.0;
      r.BiasSe = two.Se[2] / std::fabs(two.Coef[0]) * 3600.0;
      double worstAsym = 0;
      for (std::size_t i = 0; i < w.size(); ++i)
        worstAsym = std::max(worstAsym, std::fabs(y[i] - two.Coef[0] * w[i] - two.Coef[1] * absw[i] -
                                                  two.Coef[2]) / std::fabs(two.Coef[0] * fs) * 1e6);
      r.NonlinearityAsymPpmFs = worstAsym;
    }
  }
  r.BiasCorrectedDegH = r.BiasDegH - r.EarthRateDegH;

  // Temperature coefficient where the plateaus span temperatures: output =
  // K W (1 + tc (T - Tm)) + F0 + b (T - Tm).
  if (r.TMax - r.TMin >= 1.0 && w.size() >= 5) {
    const double tm = std::accumulate(t.begin(), t.end(), 0.0) / static_cast<double>(t.size());
    std::vector<double> wt(w.size()), dt(w.size());
    for (std::size_t i = 0; i < w.size(); ++i) {
      dt[i] = t[i] - tm;
      wt[i] = w[i] * dt[i];
    }
    TFit f;
    if (FitColumns({w, wt, ones, dt}, y, f)) {
      r.TcPpmPerC = f.Coef[1] / f.Coef[0] * 1e6;
      r.TcSe = f.Se[1] / std::fabs(f.Coef[0]) * 1e6;
    }
  }
  return r;
}

TScaleFactorRuns CompareRuns(const std::vector<double>& k, const std::vector<double>& temperature) {
  TScaleFactorRuns r;
  r.Runs = k.size();
  r.MeanK = r.RepeatabilityPpm = r.RepeatabilityLo = r.RepeatabilityHi = r.TcPpmPerC = r.TcSe = kNaN;
  if (k.empty()) return r;
  const double n = static_cast<double>(k.size());
  r.MeanK = std::accumulate(k.begin(), k.end(), 0.0) / n;
  if (k.size() < 2) return r;
  double ss = 0;
  for (double v : k) ss += (v - r.MeanK) * (v - r.MeanK);
  const double sd = std::sqrt(ss / (n - 1));
  r.RepeatabilityPpm = sd / std::fabs(r.MeanK) * 1e6;
  // 68.3 % two-sided: (n-1) s^2 / sigma^2 is chi-square with n-1 degrees.
  r.RepeatabilityLo = r.RepeatabilityPpm * std::sqrt((n - 1) / ChiSquareQuantile(0.8415, n - 1));
  r.RepeatabilityHi = r.RepeatabilityPpm * std::sqrt((n - 1) / ChiSquareQuantile(0.1585, n - 1));
  if (temperature.size() == k.size() && k.size() >= 3) {
    const auto [lo, hi] = std::minmax_element(temperature.begin(), temperature.end());
    if (*hi - *lo >= 1.0) {
      const TPolyFit f = FitPolynomial(temperature, k, 1);
      if (f.Valid) {
        r.TcPpmPerC = f.Coef[1] / r.MeanK * 1e6;
        r.TcSe = f.Se[1] / std::fabs(r.MeanK) * 1e6;
      }
    }
  }
  return r;
}
