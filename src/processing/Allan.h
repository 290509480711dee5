// Noise analysis of the rate over a span of a recording: the overlapping
// Allan, modified Allan and overlapping Hadamard deviations on a choice of
// averaging times, each point with its equivalent degrees of freedom and
// chi-square confidence interval, gaps in the recording left as holes, and
// the five noise terms of the gyroscope engineer's log-log plot
// (quantization Q, angle random walk N, bias instability B, rate random
// walk K, rate ramp R), fitted together to the curve and each reported only
// where the data show it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

// The rates of the records of a span, as stored (deg/s), with their times
// (s). Records with a value that is not a finite number (NaN or infinite)
// are left out and counted.
struct TSpanRates {
  std::vector<float> Rates;
  // Or, where Rates is empty, Count rates read in place: the rate of
  // record i at RatesAt[i * RateStride].
  const float* RatesAt = nullptr;
  std::size_t RateStride = 1;
  std::size_t Count = 0;
  std::vector<float> Times;
  // Or, where Times is empty, the times read in place: the time of record
  // i at TimesAt[i * TimeStride] (the records' own field, not copied).
  const float* TimesAt = nullptr;
  std::size_t TimeStride = 1;
  double FirstTime = 0;
  double LastTime = 0;
  std::int64_t Skipped = 0;
};

// Reads the records of `path` whose time lies in [begin, end] (both
// inclusive) through the recording reader, stopping at the first record
// after `end`. Only the span's records are kept. `progress` (may be empty)
// is called about a hundred times with the records read so far and the
// file's record count. False with `error` set when the file cannot be read.
bool ReadSpanRates(const std::string& path, double begin, double end, TSpanRates& span,
                   std::string& error,
                   const std::function<void(std::int64_t, std::int64_t)>& progress = {});

enum class TAllanKind { Oadev, Mdev, Hdev };
// "oadev", "mdev", "hdev".
const char* KindName(TAllanKind kind);
bool ParseKind(const std::string& text, TAllanKind& kind);

// The averaging factors m (tau = m tau0) to compute.
struct TTauGrid {
  enum TType { Octave, Decade, All, Density } Type = Octave;
  int PerDecade = 0;  // points per decade for Density
};
// "octave", "decade", "all" or a whole number of points per decade (1..1000).
bool ParseTauGrid(const std::string& text, TTauGrid& grid);
std::string TauGridName(const TTauGrid& grid);
// "all" computes every factor and is refused above this many records.
constexpr std::int64_t kAllFactorsLimit = 100000;
// The factors 1 <= m <= maxFactor of the grid, rising, distinct.
std::vector<std::int64_t> GridFactors(const TTauGrid& grid, std::int64_t maxFactor);

struct TAllanOptions {
  TAllanKind Kind = TAllanKind::Oadev;
  TTauGrid Grid;
  double Confidence = 0.683;  // of the intervals, 0 < c < 1
  // When set and turned true, the computation ends early (within a few
  // milliseconds) with what it has; the caller drops that result.
  const std::atomic<bool>* Cancel = nullptr;
};

// One averaging factor m: tau = m * tau0 (s), the deviation (deg/h), the
// number of terms of its sum (terms touching a gap left out), the
// equivalent degrees of freedom for the noise type found at this tau (by
// the lag-1 autocorrelation of the averages; where they are too few, the
// largest reported term's there) (Alpha: the exponent of the rate's power spectrum, 2 white phase ..
// -2 random walk of the rate), and the confidence interval Lo..Hi (deg/h).
struct TAllanPoint {
  std::int64_t Factor = 0;
  double Tau = 0;
  double Adev = 0;
  std::int64_t Terms = 0;
  double Edf = 0;
  double Lo = 0;
  double Hi = 0;
  int Alpha = 0;
};

// One noise term. The five terms are fitted together to the variance by
// generalized least squares with the covariance of the points the fitted
// terms give, their squares free of sign; a term whose fitted square does
// not lie above zero by kTermDetection of its standard errors leaves the
// fit (the weakest first) and the rest are fitted again. A term is
// reported (Found) only when it stays. Its line sigma = Level * (tau / 1 s)^Slope is what the
// term alone contributes, drawn over the points First..Last where it is
// the largest of the five.
struct TAllanLine {
  bool Found = false;
  double Slope = 0;
  double Level = 0;  // sigma of the line at tau = 1 s, deg/h
  std::size_t First = 0, Last = 0;
  double TauFrom = 0, TauTo = 0;  // s
  // The term, in its unit, and its interval at the result's confidence;
  // NaN when not reported.
  double Value = std::numeric_limits<double>::quiet_NaN();
  double Lo = std::numeric_limits<double>::quiet_NaN();
  double Hi = std::numeric_limits<double>::quiet_NaN();
  // The fit's estimate and standard error of the term squared (its unit
  // squared; the estimate may lie below zero), also when not reported:
  // from the last fit it was in. NaN without a fit.
  double Squared = std::numeric_limits<double>::quiet_NaN();
  double SquaredSe = std::numeric_limits<double>::quiet_NaN();
  // Why the term is not reported (empty when it is).
  std::string Absent;
  // Cross-check: the term read off the longest run of points whose local
  // slope is the term's own (NaN where the curve has none).
  double SlopeValue = std::numeric_limits<double>::quiet_NaN();
  double At(double tau) const;
};

// A term is reported when its fitted square exceeds this many standard
// errors: fewer than 1 in 200 recordings without the term show it. The
// rate ramp, whose square from noise alone has the long tail of a
// chi-square with one degree of freedom, needs 4.9 for the same.
constexpr double kTermDetection = 3.5;
// sqrt(2 ln 2 / pi): the Allan deviation of flicker rate noise over its
// bias instability B.
constexpr double kFlickerFactor = 0.664282;

struct TAllanResult {
  TAllanKind Kind = TAllanKind::Oadev;
  double Confidence = 0.683;
  std::int64_t Count = 0;    // records used
  std::int64_t Skipped = 0;  // records left out: not finite
  double Tau0 = 0;           // sample period, s: the median step
  std::int64_t Gaps = 0;     // steps longer than 1.5 tau0
  double GapSeconds = 0;     // the time they leave without records, s
  std::int64_t Backward = 0;  // steps back in time
  std::string Refused;       // why nothing was computed, when so
  std::string Empty;         // why there are no points, when so
  std::vector<TAllanPoint> Points;
  // The terms: Q (arc-seconds, slope -1; -3/2 for mdev), N (deg/sqrt(h)),
  // B (deg/h), K (deg/h/sqrt(h)), R (deg/h^2; not with hdev, which does
  // not see a rate ramp).
  TAllanLine Q, N, B, K, R;
  double BTau = std::numeric_limits<double>::quiet_NaN();  // tau of the minimum, s; NaN without B
  // Where B is not reported: the bound the curve puts on it, its lowest
  // point over the deviation of flicker noise of B = 1 (deg/h); NaN
  // where B is reported or there are no points.
  double BUpper = std::numeric_limits<double>::quiet_NaN();
};

// The fewest records the estimator of `kind` needs for one point (two terms).
std::int64_t MinimumRecords(TAllanKind kind);

// The deviation of `rates` (deg/s, as stored; the result is in deg/h) on
// the uniform grid of period tau0 (s). A NaN rate is a hole: every term
// that touches it is left out. Fewer than three rates, or a tau0 that is
// not a positive number, give no points and NaN terms.
TAllanResult ComputeAllan(const float* rates, std::size_t n, double tau0,
                          const TAllanOptions& options = {});

// The computation on a span. tau0 is the span's time over its samples,
// missing ones included. A gap is where samples are missing: the times
// after a long step stay, by the median of the following records, at
// least half a step later than those before it (a step and a half with
// fewer than 4 records on a side; a late record followed by a prompt one
// is time-stamp jitter, no gap); its missing samples are
// holes. A step back in time by more than half a step starts the data
// afresh. The span's rates are given back as read (its times are
// released).
TAllanResult ComputeAllan(TSpanRates& span, const TAllanOptions& options = {});

// Lower and upper bound of a deviation `sigma` with `edf` degrees of
// freedom at confidence c (two-sided, chi-square).
void ConfidenceInterval(double sigma, double edf, double c, double& lo, double& hi);
// The p-quantile of the chi-square distribution with k (> 0, not
// necessarily whole) degrees of freedom.
double ChiSquareQuantile(double p, double k);
// Equivalent degrees of freedom of the estimator of `kind` at factor m with
// `terms` terms, for power-law noise of rate exponent alpha (Greenhall and
// Riley's general method).
double EquivalentDof(TAllanKind kind, int alpha, std::int64_t m, std::int64_t terms);

// The covariance, (deg/h)^4, of the variances of two points of `kind`
// (factors m1 and m2 with T1 and T2 terms) on Gaussian noise of the terms
// `size` (Q, N, B, K, R in the units of TAllanResult) at the period tau0
// (s): what the fit of the terms weighs the points by. Factors more than
// 4096 apart count as uncorrelated.
double PointCovariance(TAllanKind kind, std::int64_t m1, std::int64_t T1, std::int64_t m2, std::int64_t T2,
                       double tau0, const std::array<double, 5>& size);

// The result as text, "." as decimal point: a comment line "# kind oadev,
// confidence 0.683, gaps 0", one line per factor
// "tau_s<TAB>adev_deg_h<TAB>terms<TAB>edf<TAB>lo_deg_h<TAB>hi_deg_h", then
// "Q<TAB>value<TAB>unit<TAB>tau_from<TAB>tau_to" and likewise N, B (its
// value followed by the tau of the minimum), K, R, each followed by
// "lo<TAB>hi" of its interval and, where it is not reported, why; "NAN"
// where a term is not reported. Where B is not, a line "B upper<TAB>bound
// <TAB>deg/h". UTF-8.
std::string AllanTable(const TAllanResult& result);
