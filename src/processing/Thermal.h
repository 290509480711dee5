// Temperature sensitivity of the bias: a model
//   bias(T, dT/dt) = b0 + b1 T + ... + bk T^k + c dT/dt
// (T in deg C, dT/dt in deg C/min, bias in deg/h) fitted by least squares to
// the rate averaged over blocks of a few seconds, with the figures a
// temperature test reports: standard errors, residuals, R^2, the
// temperature range, the hysteresis between heating and cooling, and the
// Allan read-outs of the rate before and after compensation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "processing/Average.h"

struct TAllanResult;

// The records of `path` whose time lies in [begin, end] (both inclusive),
// records with a field that is not a finite number left out, stopping at the
// first record after `end`. `progress` (may be empty) is called about a
// hundred times with the records read so far and the file's record count.
// False with `error` set when the file cannot be read.
// `cancel` (may be null) stops the reading when it turns true (false is
// returned, with `error` "cancelled").
// `dropped` (may be null) receives the number of records left out for a
// field that is not a finite number (those after `end` not counted).
bool ReadSpanRecords(const std::string& path, double begin, double end,
                     std::vector<SamplePoint>& records, std::string& error,
                     const std::function<void(std::int64_t, std::int64_t)>& progress = {},
                     const std::atomic<bool>* cancel = nullptr, std::int64_t* dropped = nullptr);

struct TThermalOptions {
  int Order = 2;          // 1..3
  double Average = 10.0;  // block length, s
  bool RateTerm = true;   // fit c dT/dt
  double TRef = 25.0;     // deg C: the temperature the bias is reported at
  // Plausible temperature readings (deg C, both exclusive: the settings'
  // TempLimitMin and TempLimitMax); a reading outside is never used.
  double TLow = -60.0, THigh = 100.0;
};

// One averaging block: mean time (s), mean rate (deg/h), mean of its usable
// temperatures (deg C), the temperature's rate of change there (deg C/min:
// the slope of a straight line through the block means within
// TThermalResult::RateSpan seconds either side) with its standard error,
// and the number of records. `Used`: the block takes part in the fit (not
// on a stretch where the sensor reads a flat extreme).
struct TThermalBlock {
  double Time = 0;
  double Bias = 0;
  double Temperature = 0;
  double TempRate = 0;
  std::int64_t Count = 0;
  double TempRateSe = 0;
  bool Used = true;
};

// A soak: consecutive blocks whose dT/dt lies within the dead band for at
// least kPlateauSeconds, with the mean bias there and its standard error
// (from the blocks' own scatter and autocorrelation).
struct TThermalPlateau {
  double Begin = 0, End = 0;  // s
  double Temperature = 0;     // mean, deg C
  double Bias = 0, BiasSe = 0;  // deg/h
  std::int64_t Blocks = 0;
};

// The noise of the blocks' errors about the model: white ((deg/h)^2 s), a
// flat floor (bias instability, (deg/h)^2) and rate random walk
// ((deg/h)^2 / s), with the covariance of the estimates' natural logarithms
// (in that order; zero for a term the model leaves out).
struct TResidualNoise {
  double White = 0, Flat = 0, Walk = 0;
  double LogCov[3][3] = {};
  // Likelihood evaluations the fit made; Cancelled: stopped by its cancel
  // flag (the figures are then no estimate).
  int Evaluations = 0;
  bool Cancelled = false;
};

struct TThermalResult {
  bool Valid = false;
  std::string Message;  // why there is no fit (when not Valid)
  int Order = 0;
  bool RateTerm = false;
  double Average = 0;
  std::int64_t Records = 0;
  // Temperature readings not used: outside the plausible range, and single
  // spikes (further than SpikeThreshold from the median of the seven
  // neighbouring readings).
  std::int64_t OutOfRange = 0, Spikes = 0;
  double SpikeThreshold;  // deg C
  double RateSpan = 0;    // s, half the span of each block's dT/dt fit
  // b0..b3 (NaN above the order) and c, with their standard errors (NaN
  // when the fit has no degree of freedom left). The standard errors hold
  // for the noise the blocks' errors have (Noise: white, bias instability,
  // rate random walk, by restricted maximum likelihood).
  double B[4];
  double BSe[4];
  double C, CSe;
  TResidualNoise Noise;
  double ResidualRms;     // deg/h, at the recording's own rate
  double ResidualRmsAvg;  // deg/h, of the averaged blocks
  double R2;
  double TMin, TMax;      // of the usable readings, deg C
  double TMean;           // mean temperature of the blocks: the compensated rate's reference
  // The bias at TRef (deg/h, dT/dt = 0) and its standard error; NaN (with
  // BiasRefNote) when TRef is outside the fitted blocks' temperatures.
  double TRef, BiasRef, BiasRefSe;
  std::string BiasRefNote;
  // Heating minus cooling bias at the same temperature beyond the model's
  // b(T) + c dT/dt (deg/h), fitted with it, and its standard error; NaN
  // with HysteresisNote when the branches do not cover common
  // temperatures or their difference is not separable from c dT/dt.
  double Hysteresis, HysteresisSe;
  std::string HysteresisNote;
  double NRaw, BRaw, NCompensated, BCompensated;  // Allan read-outs
  std::vector<TThermalBlock> Blocks;
  std::vector<TThermalPlateau> Plateaus;
  // What the reader of the figures must know (a flat, clipped sensor, ...).
  std::vector<std::string> Warnings;

  TThermalResult();
  // The fitted bias (deg/h) on the branch of `tempRate`; NaN when not Valid.
  double Model(double temperature, double tempRate) const;
  // The part of the model that the compensation removes:
  // Model(T, dT/dt) - Model(TMean, 0).
  double Correction(double temperature, double tempRate) const;

  // Fit in the centred, scaled variable x = (T - Centre) / Scale.
  double Centre = 0, Scale = 1;
  double A[4] = {0, 0, 0, 0};
};

// Heating and cooling blocks are told apart by the sign of dT/dt beyond
// this dead band (deg C/min); a block on it or within it is steady.
inline constexpr double kBranchDeadBand = 0.02;
enum class TBranch { Cooling = -1, Steady = 0, Heating = 1 };
TBranch BranchOf(double tempRate);
// The shortest soak the plateau table lists, s.
inline constexpr double kPlateauSeconds = 600.0;

// The fit on `records` (as stored: rates in deg/s). When `compensated` is
// given it receives, for each record, the rate with the modelled
// temperature dependence removed (deg/s; the rate itself when there is no
// fit). `cancel` (may be null) stops the computation when it turns true
// (checked at least every few thousand blocks of the noise fit): the result
// is then not Valid, with Message "cancelled", and the caller drops it.
TThermalResult ComputeThermal(const std::vector<SamplePoint>& records,
                              const TThermalOptions& options,
                              std::vector<float>* compensated = nullptr,
                              const std::atomic<bool>* cancel = nullptr);
// The same without a copy of the rates: the records' rates are replaced by
// the compensated rates where the model is found (left as they are where it
// is not; partly replaced when cancelled). Where `rawAllan` is given it
// receives the Allan deviation of the raw rates (default options: the
// read-outs NRaw and BRaw are its N and B), computed whether or not a
// model is found.
TThermalResult ComputeThermalInPlace(std::vector<SamplePoint>& records, const TThermalOptions& options,
                                     const std::atomic<bool>* cancel = nullptr,
                                     TAllanResult* rawAllan = nullptr);

// The noise of the errors of a least-squares model (X: m x p, column-major)
// whose residuals are `e` (deg/h, one per block of `delta` seconds at
// `times`), found by restricted maximum likelihood (the model's
// coefficients unknown, so that the noise the fit itself takes up is
// counted): white alone, or with a flat floor (Gauss-Markov processes of
// equal variance whose correlation times span the record), a random walk
// from the record's start, or both, whichever has the least deviance after
// a penalty of ln(m - p) for each variance beyond the white one. `cancel`
// (may be null) ends the search when it turns true (Cancelled set).
TResidualNoise FitResidualNoise(const std::vector<double>& X, std::size_t m, std::size_t p,
                                const std::vector<double>& e, const std::vector<double>& times, double delta,
                                const std::atomic<bool>* cancel = nullptr);
// The covariance (p x p, column-major) of least-squares coefficients (X:
// m x p, column-major; xtxInv = (X'X)^-1) whose errors have that noise at
// the blocks' `times` (s).
std::vector<double> NoiseCovariance(const std::vector<double>& X, std::size_t m, std::size_t p,
                                    const std::vector<double>& times, const std::vector<double>& xtxInv,
                                    const TResidualNoise& noise, double delta);
// The standard error of each of `targets` (p weights of the coefficients
// each) as the half-width of its 68.27 % interval: its standard deviation
// under `noise` times Student's t factor for the degrees of freedom of that
// standard deviation's estimate (Satterthwaite, from noise.LogCov). NaN
// below one degree of freedom.
std::vector<double> CoefficientErrors(const std::vector<double>& X, std::size_t m, std::size_t p,
                                      const std::vector<double>& times, const std::vector<double>& xtxInv,
                                      const TResidualNoise& noise, double delta,
                                      const std::vector<std::vector<double>>& targets);
// x with P(|t| <= x) = 68.27 % for Student's t with nu (>= 1) degrees of
// freedom (1.8373 at one, 1 in the limit); NaN below one.
double StudentFactor(double nu);

// Least squares by Householder QR: minimises |X a - y| for the m x p matrix
// X (column-major, m >= p). Returns false when X is rank-deficient (a
// column that lies, to 1e-3 of its own length, in the span of the columns
// before it). `covariance` (p x p, column-major) receives (X'X)^-1.
bool LeastSquaresQr(std::vector<double> x, std::size_t m, std::size_t p, std::vector<double> y,
                    std::vector<double>& a, std::vector<double>& covariance);
