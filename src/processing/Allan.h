// Allan deviation of the rate over a span of a recording (overlapping
// estimator), with the reading-off of the noise terms the way gyroscope
// engineers do it on the log-log plot: angle random walk N from the line of
// slope -1/2, bias instability B from the flat minimum, rate random walk K
// from the line of slope +1/2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The rates of the records of a span, as stored (deg/s), with the times of
// the first and last of them. Records with a value that is not a finite
// number (NaN or infinite) are left out and counted.
struct TSpanRates {
  std::vector<float> Rates;
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

// One averaging factor m: tau = m * tau0 (s), the Allan deviation (deg/h)
// and the number of terms of its sum, n - 2m + 1.
struct TAllanPoint {
  std::int64_t Factor = 0;
  double Tau = 0;
  double Adev = 0;
  std::int64_t Terms = 0;
};

// A reading-off line sigma = Level * (tau / 1 s)^Slope, fitted over the
// factors First..Last (indexes into Points).
struct TAllanLine {
  bool Found = false;
  double Slope = 0;
  double Level = 0;  // sigma of the line at tau = 1 s, deg/h
  std::size_t First = 0, Last = 0;
  double At(double tau) const;
};

struct TAllanResult {
  std::int64_t Count = 0;  // records used
  double Tau0 = 0;         // sample period, s
  std::vector<TAllanPoint> Points;
  TAllanLine White;        // slope -1/2
  TAllanLine RateWalk;     // slope +1/2
  bool MinimumFound = false;
  std::size_t Minimum = 0;  // index of the smallest deviation
  // The read-outs; NaN where the region is not in the data.
  double N = 0;     // angle random walk, deg/sqrt(h)
  double B = 0;     // bias instability, deg/h
  double BTau = 0;  // tau of the minimum, s
  double K = 0;     // rate random walk, deg/h/sqrt(h)
};

// Overlapping Allan deviation of `rates` (deg/s, as stored; the result is
// in deg/h) for the factors m = 1, 2, 4, ... while 2m < n, with sample
// period tau0 (s), and the three read-outs. Fewer than three rates, or a
// tau0 that is not a positive number, give no points and NaN read-outs.
TAllanResult ComputeAllan(const float* rates, std::size_t n, double tau0);

// The whole computation on a span: tau0 = (last time - first time) / (n - 1).
TAllanResult ComputeAllan(const TSpanRates& span);

// The Allan variance sum of one factor m (1 <= m, 2m < n): the sum over
// j = 0 .. n-2m of (S_{j+m} - S_j)^2, where S_j is the sum of rates
// j .. j+m-1. Kept in extended precision, linear in n.
long double AllanSquares(const float* rates, std::size_t n, std::size_t m);

// The result as a text table, "." as decimal point: one line per factor
// "tau_s<TAB>adev_deg_h<TAB>terms", then "N<TAB>value<TAB>°/Vh",
// "B<TAB>value<TAB>°/h<TAB>tau_s", "K<TAB>value<TAB>°/h/Vh" ("NAN" where a
// region is not in the data). UTF-8.
std::string AllanTable(const TAllanResult& result);
