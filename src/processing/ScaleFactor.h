// The rate-table test of a gyroscope's scale factor: plateaus of commanded
// rate (from a profile aligned to the recording, or found in the recording
// itself), the least-squares line output = K*W + F0 through them, the model
// with the asymmetry term output = K*W + K*(a/2)*|W| + F0, each direction's
// own slope, the nonlinearity, the bias at zero input with the Earth rate's
// component removed, and across runs the repeatability and the temperature
// coefficient of K. Rates W and outputs in deg/s (as recorded), biases in
// deg/h, every figure with its standard error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "processing/Average.h"

// ------------------------------------------------------------- the fit ---

// y = B0 + B1 x + ... + Bd x^d by least squares (Householder QR on the
// centred, scaled variable). Coef/Se hold B0..Bd and their standard errors
// (NaN without a degree of freedom left); ResidualSd is the residual
// standard deviation, sqrt(RSS / (n - d - 1)).
struct TPolyFit {
  bool Valid = false;
  std::vector<double> Coef, Se;
  double ResidualSd = 0;
  std::size_t Dof = 0;
};
TPolyFit FitPolynomial(const std::vector<double>& x, const std::vector<double>& y, int degree);

// ----------------------------------------------------------- plateaus ---

// One plateau of a rate-table profile: commanded rate (deg/s), dwell at
// that rate (s) and the table's acceleration to reach it (deg/s^2; 0: the
// change takes 1 s).
struct TProfileStep {
  double Rate = 0;
  double Dwell = 0;
  double Accel = 0;
};
// The profile text: one plateau a line, "RATE DWELL [ACCEL]" (deg/s, s,
// deg/s^2), blank lines and text after '#' ignored. The table starts at
// rest (0 deg/s) at the profile's time 0. False with `error` naming the
// line when the text is not one.
bool ParseRateProfile(const std::string& text, std::vector<TProfileStep>& steps,
                      std::string& error);
// Seconds the table takes from `from` to `step.Rate`.
double TransitionTime(double from, const TProfileStep& step);

// A plateau as measured: its commanded rate, mean output, the standard
// error of that mean (from the scatter of ten sub-block means: correlated
// noise included), mean temperature, first and last time used, records.
struct TPlateau {
  double Rate = 0;
  double Output = 0;
  double OutputSe = 0;
  double Temperature = 0;
  double Begin = 0, End = 0;
  std::int64_t Records = 0;
  bool Used = true;  // false: dropped by the user
};

struct TPlateauOptions {
  double Guard = 1.0;       // s left out after each change of rate
  double MinDwell = 1.0;    // s a plateau must last after its guard
  std::vector<double> Rates;  // commanded rates (deg/s) to snap to; empty: own mean
};

// Default guard time after each transition, s.
inline constexpr double kDefaultGuard = 1.0;

// Steady stretches of the rate found by change-point detection on block
// means (0.1 s blocks, noise from the blocks' own differences), each made a
// plateau from its start + guard to its end. Snapped to the nearest of
// options.Rates (within 5 % of it, or 0.1 deg/s at 0; others are left out
// and counted in `unmatched`), else to its own mean rounded to two
// significant digits (|mean| < 0.05 deg/s: 0).
std::vector<TPlateau> DetectPlateaus(const std::vector<SamplePoint>& records,
                                     const TPlateauOptions& options, int* unmatched = nullptr);
// The profile's plateaus in the recording: the profile's time origin found
// from the recording's rate-change edges (the median offset of the starts
// and ends of the steady stretches matched in order to the profile's
// plateaus), each plateau from its start + guard to 0.1 s before its end.
// Empty with `error` set when the profile does not match the recording.
std::vector<TPlateau> ProfilePlateaus(const std::vector<SamplePoint>& records,
                                      const std::vector<TProfileStep>& steps, double guard,
                                      std::string& error);

// --------------------------------------------------------- the figures ---

// Where the input axis points and where the gyroscope stands: the Earth
// rate's component along the axis. Without a latitude the vertical Earth
// rate of the settings is taken as that component (an axis pointing up).
struct TSite {
  bool HasLatitude = false;
  double Latitude = 0;   // deg, north positive
  double Elevation = 90; // deg of the input axis above the horizontal
  double Heading = 0;    // deg of its horizontal part, clockwise from north
  double VerticalEarthRate = 0;  // deg/h, used without a latitude
};
// WGS-84 Earth rate.
inline constexpr double kEarthRateRadS = 7.2921151467e-5;
inline constexpr double kEarthRateDegH = kEarthRateRadS * 180.0 / 3.14159265358979323846 * 3600.0;
// Earth rate along the input axis, deg/h.
double EarthRateAlongAxis(const TSite& site);
// "latitude=DEG", "axis_elevation=DEG", "axis_heading=DEG" lines ('#'
// comments); unknown keys and bad numbers are errors.
bool ParseSite(const std::string& text, TSite& site, std::string& error);
// The site file's text for `site`: the three keys (latitude only where
// known), numbers with a point.
std::string SiteFileText(const TSite& site);
// The per-user site file: "site.txt" in $XDG_CONFIG_HOME/ratelog/ (default
// ~/.config/ratelog/); empty when neither variable is set.
std::string SiteFilePath(const char* xdgConfigHome, const char* home);

struct TScaleFactorResult {
  bool Valid = false;
  std::string Message;  // why there are no figures
  std::vector<TPlateau> Plateaus;
  // Single line output = K W + F0 over every plateau.
  double K = 0, KSe = 0;
  double InterceptDegH = 0, InterceptSe = 0;  // F0 / K, deg/h: holds the asymmetry
  // Two-slope model output = K W + K (a/2) |W| + F0.
  double BiasDegH = 0, BiasSe = 0;        // bias at zero input, deg/h
  double BiasCorrectedDegH = 0;           // minus the Earth rate along the axis
  double EarthRateDegH = 0;
  // Each direction alone (W >= 0, W <= 0).
  double KPlus = 0, KPlusSe = 0, KMinus = 0, KMinusSe = 0;
  double AsymmetryPpm = 0, AsymmetrySe = 0;  // |K+ - K-| / ((K+ + K-)/2)
  // Largest |residual| from the single line, ppm of full-scale output
  // (K x the largest |W|); and from the two-slope model (what is left
  // beyond the asymmetry).
  double NonlinearityPpmFs = 0, NonlinearitySe = 0;
  double NonlinearityAsymPpmFs = 0;
  double FullScale = 0;               // deg/s
  std::vector<double> ResidualPpm;    // per plateau: single line, ppm of reading (NaN at 0)
  std::vector<double> ResidualFsPpm;  // per plateau: ppm of full-scale output
  // Temperature coefficient of K within the recording, ppm/deg C (NaN when
  // the plateaus span less than 1 deg C).
  double TcPpmPerC = 0, TcSe = 0;
  double TMin = 0, TMax = 0;
};

TScaleFactorResult ComputeScaleFactor(std::vector<TPlateau> plateaus, const TSite& site);

// Across runs: 1 sigma of K (ppm of the mean K) with its two-sided 68.3 %
// chi-square interval, and the slope of K against the runs' mean
// temperature (ppm/deg C, NaN when they span less than 1 deg C).
struct TScaleFactorRuns {
  std::size_t Runs = 0;
  double MeanK = 0;
  double RepeatabilityPpm = 0, RepeatabilityLo = 0, RepeatabilityHi = 0;
  double TcPpmPerC = 0, TcSe = 0;
};
TScaleFactorRuns CompareRuns(const std::vector<double>& k, const std::vector<double>& temperature);
