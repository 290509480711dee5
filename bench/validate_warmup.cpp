// Validation of the warm-up and repeatability figures against known truth:
// simulated turn-on recordings (an exponential transient under white noise,
// with and without bias instability; biases that never settle: linear
// drift, rate random walk, a slow exponential) and repeated runs of known
// spread, each over many seeds. Prints per figure the bias, the coverage of
// its interval with the binomial band it should fall in, and the rate of
// false "settled" verdicts, beside the goal. Runs for minutes; not a test.
//
//   bench_validate_warmup [SEEDS]   (default 200)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "processing/Allan.h"
#include "processing/Repeatability.h"
#include "processing/Warmup.h"

namespace {

struct TModel {
  double Settled = 2, Amplitude = 5, Tau = 300;  // deg/h, s
  double Slope = 0;                               // deg/h per hour (linear drift)
  double N = 0.01;                                // deg/sqrt(h)
  double B = 0;                                   // deg/h: Gauss-Markov bias instability (Allan floor)
  double Correlation = 100;                       // s
  double K = 0;                                   // deg/h/sqrt(h)
  double Length = 10800, Hz = 1;                  // s, Hz
};

std::vector<SamplePoint> Simulate(const TModel& m, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  const double dt = 1 / m.Hz;
  const double white = m.N * std::sqrt(3600 * m.Hz);  // deg/h per sample
  // Gauss-Markov of std dev B / 0.6174, correlation time Tc.
  const double a = std::exp(-dt / m.Correlation), gm = m.B / 0.6174;
  double markov = gm * g(rng), walk = 0;
  std::vector<SamplePoint> v;
  for (long i = 1; i <= static_cast<long>(m.Length * m.Hz); ++i) {
    const double t = i * dt;
    markov = a * markov + gm * std::sqrt(1 - a * a) * g(rng);
    walk += m.K * std::sqrt(dt / 3600) * g(rng);
    const double bias = m.Settled + m.Amplitude * std::exp(-t / m.Tau) + m.Slope * t / 3600 + walk +
                        (m.B > 0 ? markov : 0) + white * g(rng);
    v.push_back({static_cast<float>(t), static_cast<float>(bias / 3600), 25});
  }
  return v;
}

// A figure's estimates against its truth: mean error and the share of
// intervals (value +- se) that cover the truth.
struct TTally {
  double sumError = 0;
  int count = 0, covered = 0;
  void Add(double value, double se, double truth) {
    if (!std::isfinite(value)) return;
    sumError += value - truth;
    ++count;
    covered += std::fabs(value - truth) <= se;
  }
};

// The binomial band (2 sigma) of a share p over n trials.
void PrintCoverage(const char* name, const TTally& t, double truth, double goal) {
  const double n = t.count, band = n > 0 ? 2 * std::sqrt(goal * (1 - goal) / n) : NAN;
  const double cov = n > 0 ? t.covered / n : NAN;
  std::printf("| %-34s | %5d | %+10.4g (%+6.2f %%) | %6.3f | %.3f \u00B1 %.3f | %s |\n", name, t.count,
              n > 0 ? t.sumError / n : NAN, n > 0 ? 100 * t.sumError / n / truth : NAN, cov, goal, band,
              std::fabs(cov - goal) <= band ? "yes" : "NO");
}

void PrintRate(const char* name, int hits, int n, double goal) {
  const double rate = static_cast<double>(hits) / n;
  std::printf("| %-34s | %5d | %-21s | %6.3f | <= %.3f        | %s |\n", name, n, "", rate, goal,
              rate <= goal ? "yes" : "NO");
}

void TurnOn(const char* title, const TModel& m, int seeds, unsigned base) {
  const double band = 0.1, window = 100;
  const double truth = m.Tau * std::log(m.Amplitude / band);
  TTally time, tau, amplitude, settled;
  int notSettled = 0, noiseLimited = 0, fitted = 0;
  for (int s = 0; s < seeds; ++s) {
    const TWarmupResult r = ComputeWarmup(Simulate(m, base + static_cast<unsigned>(s)), window, band);
    notSettled += !r.Settled;
    noiseLimited += r.NoiseLimited;
    if (!r.Fit.Valid) continue;
    ++fitted;
    time.Add(r.Fit.Time, r.Fit.TimeSe, truth);
    tau.Add(r.Fit.Tau, r.Fit.TauSe, m.Tau);
    amplitude.Add(r.Fit.Amplitude, r.Fit.AmplitudeSe, m.Amplitude);
    settled.Add(r.Fit.Settled, r.Fit.SettledSe, m.Settled);
  }
  std::printf("\n%s (truth: settling %.1f s, tau %.0f s, amplitude %.2f, settled %.2f deg/h; fitted %d of %d, "
              "band inside the noise in %d)\n",
              title, truth, m.Tau, m.Amplitude, m.Settled, fitted, seeds, noiseLimited);
  std::printf("| figure                             | runs  | bias                  | share  | goal            | met |\n");
  PrintCoverage("fitted settling time (1 se)", time, truth, 0.683);
  PrintCoverage("time constant tau (1 se)", tau, m.Tau, 0.683);
  PrintCoverage("amplitude (1 se)", amplitude, m.Amplitude, 0.683);
  PrintCoverage("settled bias (1 se)", settled, m.Settled, 0.683);
  PrintRate("false \"not settled\"", notSettled, seeds, 0.05);
}

void NeverSettles(const char* title, const TModel& m, int seeds, unsigned base) {
  int settled = 0;
  for (int s = 0; s < seeds; ++s)
    settled += ComputeWarmup(Simulate(m, base + static_cast<unsigned>(s)), 100, 0.1).Settled;
  std::printf("\n%s\n", title);
  PrintRate("false \"settled\"", settled, seeds, 0.05);
}

void Repeatability(int runs, int seeds, unsigned base) {
  const double sigma = 1.0;
  std::mt19937_64 rng(base);
  std::normal_distribution<double> g(0.0, sigma);
  TTally sd;
  int covered = 0;
  double sumVar = 0;
  for (int s = 0; s < seeds; ++s) {
    std::vector<TRunBias> list(static_cast<std::size_t>(runs));
    for (TRunBias& r : list) {
      r.Read = true;
      r.Ident = "unit";
      r.Mean = 10 + g(rng);
      r.Temperature = 25;
    }
    const TRepeatGroup group = GroupRuns(list).front();
    sd.Add(group.Repeatability, 0, sigma);
    sumVar += group.Repeatability * group.Repeatability;
    covered += group.Lo <= sigma && sigma <= group.Hi;
  }
  const double band = 2 * std::sqrt(0.683 * 0.317 / seeds), cov = static_cast<double>(covered) / seeds;
  std::printf("\nrepeatability of %d runs, sigma %.1f deg/h: mean s %.4f (c4 sigma %.4f), mean s^2 %.4f (sigma^2 "
              "%.1f)\n",
              runs, sigma, sigma + sd.sumError / sd.count,
              sigma * std::sqrt(2.0 / (runs - 1)) * std::tgamma(runs / 2.0) / std::tgamma((runs - 1) / 2.0),
              sumVar / seeds, sigma * sigma);
  std::printf("| %-34s | %5d | %-21s | %6.3f | %.3f \u00B1 %.3f | %s |\n", "chi-square interval (0.683)", seeds,
              "", cov, 0.683, band, std::fabs(cov - 0.683) <= band ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 200;
  if (seeds < 1) {
    std::fprintf(stderr, "usage: bench_validate_warmup [SEEDS]\n");
    return 2;
  }
  std::printf("warm-up and repeatability against known truth, %d seeds per case; 3 h at 1 Hz, window 100 s, "
              "band 0.1 deg/h\n",
              seeds);
  TModel exp;
  TurnOn("exponential turn-on, white noise N 0.01 deg/sqrt(h)", exp, seeds, 1000);
  TModel bi = exp;
  bi.B = 0.01;
  TurnOn("exponential turn-on, N 0.01 and bias instability 0.01 deg/h (Gauss-Markov, 100 s)", bi, seeds, 2000);
  TModel drift = exp;
  drift.Amplitude = 0;
  drift.Slope = 0.5;
  NeverSettles("never settles: linear drift 0.5 deg/h per hour, N 0.01", drift, seeds, 3000);
  TModel walk = exp;
  walk.Amplitude = 0;
  walk.K = 0.5;
  NeverSettles("never settles: rate random walk K 0.5 deg/h/sqrt(h), N 0.01", walk, seeds, 4000);
  walk.N = 0.001;
  NeverSettles("never settles: rate random walk K 0.5 deg/h/sqrt(h), N 0.001", walk, seeds, 4500);
  TModel slow = exp;
  slow.Tau = 7200;
  NeverSettles("never settles: exponential tau 7200 s, amplitude 5 deg/h (settles at 28,167 s), N 0.01", slow,
               seeds, 5000);
  for (int runs : {3, 5, 10}) Repeatability(runs, seeds * 5, 6000 + static_cast<unsigned>(runs));
  return 0;
}
