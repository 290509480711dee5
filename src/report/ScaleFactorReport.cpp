#include "report/ScaleFactorReport.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "processing/NumberFormat.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Num(double v) { return FormatGeneral(v, '.', 10); }

TFigure Figure(const char* name, double value, const char* unit) {
  return {name, FormatGeneral(value, '.', 10), std::isfinite(value) ? value : kNaN, unit};
}

std::string SiteText(const TSite& s) {
  if (!s.HasLatitude) return "the settings' vertical Earth rate (input axis taken as vertical)";
  return "latitude " + Num(s.Latitude) + " deg, input axis " + Num(s.Elevation) +
         " deg above the horizontal at heading " + Num(s.Heading) + " deg";
}

double MeanTemperature(const TScaleFactorResult& r) {
  double t = 0;
  int n = 0;
  for (const TPlateau& p : r.Plateaus)
    if (p.Used && std::isfinite(p.Temperature)) t += p.Temperature, ++n;
  return n ? t / n : kNaN;
}

}  // namespace

const TScaleFactorDefinition kScaleFactorDefinitions[] = {
    {"sf", "Scale factor K: slope of the least-squares line output = K \u00B7 rate + F0 through every plateau, "
           "both directions; sf_se its standard error."},
    {"sf_intercept_deg_h", "F0 / K of that line, \u00B0/h: it holds K \u00B7 (a/2) \u00B7 mean |rate| of an "
                           "asymmetric scale factor, so it is not the bias."},
    {"sf_bias_deg_h", "Bias at zero input, \u00B0/h: F0 / K of the model output = K \u00B7 rate + K \u00B7 (a/2) "
                      "\u00B7 |rate| + F0 with the asymmetry term."},
    {"sf_bias_earth_corrected_deg_h", "sf_bias_deg_h less the Earth rate along the input axis (sf_earth_rate_deg_h, "
                                      "from the latitude and axis of the site, else the settings' Earth rate)."},
    {"sf_k_plus, sf_k_minus", "Slopes of the lines through the plateaus at rate \u2265 0 and at rate \u2264 0 alone."},
    {"sf_asymmetry_ppm", "|K+ \u2212 K\u2212| / ((K+ + K\u2212) / 2), ppm."},
    {"sf_nonlinearity_ppm", "Largest |residual| of a plateau from the single line, ppm of full-scale output "
                            "(K \u00B7 largest |rate|). It includes the asymmetry: "
                            "sf_nonlinearity_two_slope_ppm is the same from the model with the asymmetry term."},
    {"Residual, ppm of reading", "Per plateau: its residual from the single line divided by K \u00B7 rate (none at "
                                 "rate 0); the residual plot shows these against the rate."},
    {"sf_tc_ppm_per_c", "Temperature coefficient of K: over the plateaus' temperatures where they span 1 \u00B0C or "
                        "more, else in a batch over the units' mean temperatures, ppm/\u00B0C."},
    {"sf_repeatability_ppm", "1\u03C3 of K over the units of a batch, ppm of their mean K; _lo, _hi: its 68.3 % "
                             "chi-square interval."},
    {"\u00B1", "One standard error, from the scatter of ten sub-block means of each plateau."},
};
const std::size_t kScaleFactorDefinitionCount = std::size(kScaleFactorDefinitions);

TReportScaleFactor ComputeReportScaleFactor(const std::vector<SamplePoint>& records,
                                            const TReportScaleFactorRequest& request) {
  TReportScaleFactor sf;
  sf.EarthRateSource = SiteText(request.Site);
  std::vector<TPlateau> plateaus;
  const std::string guard = ", guard " + Num(request.Guard) + " s";
  if (!request.Profile.empty()) {
    sf.Present = true;
    sf.Source = "from the profile " + request.ProfileName + guard;
    std::string error;
    plateaus = ProfilePlateaus(records, request.Profile, request.Guard, error);
    if (plateaus.empty()) sf.Note = error;
  } else {
    TPlateauOptions options;
    options.Guard = request.Guard;
    options.Rates = request.Rates;
    int unmatched = 0;
    plateaus = DetectPlateaus(records, options, &unmatched);
    double lo = 0, hi = 0;
    for (const TPlateau& p : plateaus) lo = std::min(lo, p.Rate), hi = std::max(hi, p.Rate);
    sf.Present = !request.Rates.empty() || hi - lo >= kRateTableMinSpan;
    sf.Source = "found in the recording" + guard +
                (request.Rates.empty()
                     ? std::string(", commanded rates taken as each plateau's mean rounded to two significant "
                                   "digits (K is only as good as that rounding: give the profile or the "
                                   "commanded rates for a measured scale factor)")
                     : ", snapped to the commanded rates given" +
                           (unmatched ? " (" + std::to_string(unmatched) + " steady stretches at no such rate left out)"
                                      : std::string()));
  }
  TSite site = request.Site;
  sf.Result = ComputeScaleFactor(std::move(plateaus), site);
  if (sf.Note.empty() && !sf.Result.Valid) sf.Note = sf.Result.Message;
  sf.Runs.MeanK = sf.Runs.RepeatabilityPpm = sf.Runs.RepeatabilityLo = sf.Runs.RepeatabilityHi = kNaN;
  sf.Runs.TcPpmPerC = sf.Runs.TcSe = kNaN;
  return sf;
}

std::vector<TFigure> ScaleFactorFigures(const TReportScaleFactor& sf) {
  TScaleFactorResult r = sf.Result;
  if (!r.Valid) {
    // A result without figures may still hold its Earth rate and full scale:
    // nothing of it is a measured figure.
    r = TScaleFactorResult{};
    for (double* v : {&r.K, &r.KSe, &r.InterceptDegH, &r.InterceptSe, &r.BiasDegH, &r.BiasSe, &r.EarthRateDegH,
                      &r.BiasCorrectedDegH, &r.KPlus, &r.KPlusSe, &r.KMinus, &r.KMinusSe, &r.AsymmetryPpm,
                      &r.AsymmetrySe, &r.NonlinearityPpmFs, &r.NonlinearitySe, &r.NonlinearityAsymPpmFs,
                      &r.FullScale, &r.TcPpmPerC, &r.TcSe})
      *v = kNaN;
  }
  const bool runsTc = sf.TcFromRuns && r.Valid;
  const double tc = runsTc ? sf.Runs.TcPpmPerC : r.TcPpmPerC, tcSe = runsTc ? sf.Runs.TcSe : r.TcSe;
  // The runs' figures belong to the units that are among the runs.
  const bool runs = sf.Runs.Runs >= 2 && r.Valid;
  return {Figure("sf", r.K, ""),
          Figure("sf_se", r.KSe, ""),
          Figure("sf_intercept_deg_h", r.InterceptDegH, "\u00B0/h"),
          Figure("sf_intercept_deg_h_se", r.InterceptSe, "\u00B0/h"),
          Figure("sf_bias_deg_h", r.BiasDegH, "\u00B0/h"),
          Figure("sf_bias_deg_h_se", r.BiasSe, "\u00B0/h"),
          Figure("sf_earth_rate_deg_h", r.EarthRateDegH, "\u00B0/h"),
          Figure("sf_bias_earth_corrected_deg_h", r.BiasCorrectedDegH, "\u00B0/h"),
          Figure("sf_bias_earth_corrected_deg_h_se", r.Valid ? r.BiasSe : kNaN, "\u00B0/h"),
          Figure("sf_k_plus", r.KPlus, ""),
          Figure("sf_k_plus_se", r.KPlusSe, ""),
          Figure("sf_k_minus", r.KMinus, ""),
          Figure("sf_k_minus_se", r.KMinusSe, ""),
          Figure("sf_asymmetry_ppm", r.AsymmetryPpm, "ppm"),
          Figure("sf_asymmetry_ppm_se", r.AsymmetrySe, "ppm"),
          Figure("sf_nonlinearity_ppm", r.NonlinearityPpmFs, "ppm FS"),
          Figure("sf_nonlinearity_ppm_se", r.NonlinearitySe, "ppm FS"),
          Figure("sf_nonlinearity_two_slope_ppm", r.NonlinearityAsymPpmFs, "ppm FS"),
          Figure("sf_full_scale_deg_s", r.FullScale, "\u00B0/s"),
          Figure("sf_tc_ppm_per_c", tc, "ppm/\u00B0C"),
          Figure("sf_tc_ppm_per_c_se", tcSe, "ppm/\u00B0C"),
          Figure("sf_repeatability_ppm", runs ? sf.Runs.RepeatabilityPpm : kNaN, "ppm"),
          Figure("sf_repeatability_ppm_lo", runs ? sf.Runs.RepeatabilityLo : kNaN, "ppm"),
          Figure("sf_repeatability_ppm_hi", runs ? sf.Runs.RepeatabilityHi : kNaN, "ppm")};
}

TScaleFactorRuns ApplyRunsToUnits(std::vector<TReportScaleFactor*> units) {
  std::vector<double> k, t;
  for (const TReportScaleFactor* u : units)
    if (u->Present && u->Result.Valid) {
      k.push_back(u->Result.K);
      t.push_back(MeanTemperature(u->Result));
    }
  // A temperature missing from one run: no coefficient over the runs.
  if (std::any_of(t.begin(), t.end(), [](double v) { return !std::isfinite(v); })) t.clear();
  const TScaleFactorRuns runs = CompareRuns(k, t);
  for (TReportScaleFactor* u : units) {
    u->Runs = runs;
    u->TcFromRuns = u->Result.Valid && !std::isfinite(u->Result.TcPpmPerC) && std::isfinite(runs.TcPpmPerC);
  }
  return runs;
}
