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

// The records of `path` whose time lies in [begin, end] (both inclusive),
// records with a field that is not a finite number left out, stopping at the
// first record after `end`. `progress` (may be empty) is called about a
// hundred times with the records read so far and the file's record count.
// False with `error` set when the file cannot be read.
// `cancel` (may be null) stops the reading when it turns true (false is
// returned, with `error` "cancelled").
bool ReadSpanRecords(const std::string& path, double begin, double end,
                     std::vector<SamplePoint>& records, std::string& error,
                     const std::function<void(std::int64_t, std::int64_t)>& progress = {},
                     const std::atomic<bool>* cancel = nullptr);

struct TThermalOptions {
  int Order = 2;          // 1..3
  double Average = 10.0;  // block length, s
  bool RateTerm = true;   // fit c dT/dt
};

// One averaging block: mean time (s), mean rate (deg/h), mean temperature
// (deg C), the temperature's rate of change there (deg C/min: the slope of
// the block's own temperatures, or from the neighbouring blocks) and the
// number of records.
struct TThermalBlock {
  double Time = 0;
  double Bias = 0;
  double Temperature = 0;
  double TempRate = 0;
  std::int64_t Count = 0;
};

struct TThermalResult {
  bool Valid = false;
  std::string Message;  // why there is no fit (when not Valid)
  int Order = 0;
  bool RateTerm = false;
  double Average = 0;
  std::int64_t Records = 0;
  // b0..b3 (NaN above the order) and c, with their standard errors (NaN
  // when the fit has no degree of freedom left).
  double B[4];
  double BSe[4];
  double C, CSe;
  double ResidualRms;     // deg/h, at the recording's own rate
  double ResidualRmsAvg;  // deg/h, of the averaged blocks
  double R2;
  double TMin, TMax;      // of the records, deg C
  double TRef;            // mean temperature of the blocks: the compensated rate's reference
  double Hysteresis;      // deg/h, NaN without both branches at a common temperature
  double NRaw, BRaw, NCompensated, BCompensated;  // Allan read-outs
  std::vector<TThermalBlock> Blocks;

  TThermalResult();
  // The fitted bias (deg/h); NaN when not Valid.
  double Model(double temperature, double tempRate) const;
  // The part of the model that the compensation removes:
  // Model(T, dT/dt) - Model(TRef, 0).
  double Correction(double temperature, double tempRate) const;

  // Fit in the centred, scaled variable x = (T - Centre) / Scale.
  double Centre = 0, Scale = 1;
  double A[4] = {0, 0, 0, 0};
};

// Heating and cooling blocks are told apart by the sign of dT/dt beyond
// this dead band (deg C/min).
inline constexpr double kBranchDeadBand = 0.02;

// The fit on `records` (as stored: rates in deg/s). When `compensated` is
// given it receives, for each record, the rate with the modelled
// temperature dependence removed (deg/s; the rate itself when there is no
// fit).
TThermalResult ComputeThermal(const std::vector<SamplePoint>& records,
                              const TThermalOptions& options,
                              std::vector<float>* compensated = nullptr);

// Least squares by Householder QR: minimises |X a - y| for the m x p matrix
// X (column-major, m >= p). Returns false when X is rank-deficient (a
// column that lies, to 1e-3 of its own length, in the span of the columns
// before it). `covariance` (p x p, column-major) receives (X'X)^-1.
bool LeastSquaresQr(std::vector<double> x, std::size_t m, std::size_t p, std::vector<double> y,
                    std::vector<double>& a, std::vector<double>& covariance);
