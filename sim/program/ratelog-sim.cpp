// ratelog-sim: a virtual gyroscope on a pseudo-terminal, for trying Ratelog
// without a device. Prints the terminal's path; point a port at it with
// RATELOG_COM1=PATH (or --link to a fixed name).
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "RatelogVersion.h"
#include "processing/NumberFormat.h"
#include "settings/Optionsprogramm.h"
#include "sim/RateTable.h"
#include "sim/VirtualGyro.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char kUsage[] =
    "usage: ratelog-sim [OPTIONS]\n"
    "A virtual fibre-optic gyroscope on a pseudo-terminal. Runs until killed.\n"
    "\n"
    "  --version                print the version\n"
    "  --link PATH              also make PATH a symbolic link to the terminal\n"
    "  --settings PATH          speak the protocol these Ratelog settings expect\n"
    "  --mode normal|trigger|onecommand\n"
    "  --address N              device address (100)\n"
    "  --ad-time N --ad-sig N --ad-temp N   field addresses (24, 0, 3)\n"
    "  --command N              OneCommand opcode (10)\n"
    "  --time float|ulong       time field type (ulong)\n"
    "  --time-scale S           seconds per ULONG count (8.6805555e-06)\n"
    "  --temp float|long        temperature field type (float)\n"
    "  --temp-scale C           deg C per LONG count (0.1)\n"
    "  --trig-mask LIST         trigger frame fields: any of temperature,count,time\n"
    "  --freq HZ                trigger impulse frequency (100)\n"
    "  --ident TEXT             identification text (at most 25 characters)\n"
    "  --bias DEG_H --arw DEG_SQRTH --instability DEG_H --earth-rate DEG_H\n"
    "  --rate-walk DEG_H_SQRTH --rate-ramp DEG_H2 --angle-quantum ARCSEC\n"
    "  --temp-start C --temp-drift C_PER_H --sample-rate HZ --seed N\n"
    "  --temp-profile ramp|cycle:FROM:TO:RATE[:B1:B2:C]\n"
    "                           climatic chamber: a ramp FROM -> TO deg C (then\n"
    "                           holding TO) or a cycle FROM -> TO -> FROM repeated,\n"
    "                           at RATE deg C/min, in place of --temp-start/--temp-drift\n"
    "  --temp-b1 DEG_H_PER_C --temp-b2 DEG_H_PER_C2 --temp-c DEG_H_PER_C_PER_MIN\n"
    "                           thermal bias b1 T + b2 T^2 + c dT/dt (0, 0, 0)\n"
    "  --rate-profile FILE|staircase[:DWELL]\n"
    "                           a rate table: the plateaus of a profile file (RATE\n"
    "                           DWELL [ACCEL] a line, deg/s, s, deg/s^2) or the built-in\n"
    "                           staircase 0, +-1, +-2, +-5 .. +-200, 0 deg/s (DWELL 10 s)\n"
    "  --sf-model K[:ASYM_PPM[:QUAD_PPM_PER_DEG_S[:TC_PPM_PER_C[:DEAD_ZONE_DEG_S]]]]\n"
    "                           the table's rate W reads K (1 + tc (T - 25)) (W +\n"
    "                           (a/2)|W| + q W^2) deg/s, 0 inside the dead zone (1)\n"
    "  --bad-crc-every K --garbage-every K --overlong-every K\n"
    "  --error-replies N        answer the first N requests with status 3\n"
    "  --error-always           answer every request with status 3\n"
    "  --clock-wrap S           the device clock wraps to 0 every S seconds\n"
    "  --silent                 answer nothing\n"
    "  --hang-up-after S        close the terminal after S seconds\n";

int Fail(const std::string& message) {
  std::fprintf(stderr, "ratelog-sim: %s\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TDeviceConfig config;
  std::string link;
  double hangUp = 0;

  auto number = [](const std::string& name, const std::string& text) {
    double v;
    if (!ParseDouble(text, '.', v) || !std::isfinite(v)) throw name + ": not a number: '" + text + "'";
    return v;
  };
  auto byte = [&](const std::string& name, const std::string& text) {
    const double v = number(name, text);
    if (v < 0 || v > 255 || v != std::trunc(v)) throw name + ": must be 0..255";
    return static_cast<std::uint8_t>(v);
  };
  auto count = [&](const std::string& name, const std::string& text) {
    const double v = number(name, text);
    if (v < 0 || v > 1e9 || v != std::trunc(v)) throw name + ": must be a whole number";
    return static_cast<std::int32_t>(v);
  };

  using Handler = std::function<void(const std::string&, const std::string&)>;
  std::string rateProfile, sfModel;
  const std::map<std::string, Handler> withValue = {
      {"--link", [&](auto&, auto& v) { link = v; }},
      {"--settings",
       [&](auto& n, auto& v) {
         TOptionProgramm s;
         s.FileName = v;
         std::string error;
         if (!s.Read(error)) throw n + ": " + error;
         config = TDeviceModel::ConfigFor(s);
       }},
      {"--mode",
       [&](auto& n, auto& v) {
         if (v != "normal" && v != "trigger" && v != "onecommand") throw n + ": normal, trigger or onecommand";
         config.TriggerMode = v == "trigger";
       }},
      {"--address", [&](auto& n, auto& v) { config.Address = byte(n, v); }},
      {"--ad-time", [&](auto& n, auto& v) { config.AdTime = byte(n, v); }},
      {"--ad-sig", [&](auto& n, auto& v) { config.AdSig = byte(n, v); }},
      {"--ad-temp", [&](auto& n, auto& v) { config.AdTemp = byte(n, v); }},
      {"--command", [&](auto& n, auto& v) { config.Command = byte(n, v); }},
      {"--time",
       [&](auto& n, auto& v) {
         if (v != "float" && v != "ulong") throw n + ": float or ulong";
         config.TimeType = v == "float" ? TDeviceTimeType::Float : TDeviceTimeType::Ulong;
       }},
      {"--time-scale", [&](auto& n, auto& v) { config.TimeScale = number(n, v); }},
      {"--temp",
       [&](auto& n, auto& v) {
         if (v != "float" && v != "long") throw n + ": float or long";
         config.TempType = v == "float" ? TDeviceTempType::Float : TDeviceTempType::Long;
       }},
      {"--temp-scale", [&](auto& n, auto& v) { config.TempScale = number(n, v); }},
      {"--trig-mask",
       [&](auto& n, auto& v) {
         config.TrigMask = {v.find("temperature") != std::string::npos,
                            v.find("count") != std::string::npos, v.find("time") != std::string::npos};
         if (v.find_first_not_of("temperaturecounttime, ") != std::string::npos)
           throw n + ": a list of temperature, count, time";
       }},
      {"--freq",
       [&](auto& n, auto& v) {
         config.FreqImpulse = number(n, v);
         if (config.FreqImpulse <= 0 || config.FreqImpulse > 100000) throw n + ": must be 0..100000";
       }},
      {"--ident",
       [&](auto& n, auto& v) {
         if (v.size() > 25) throw n + ": at most 25 characters";
         config.SetIdent(v);
       }},
      {"--bias", [&](auto& n, auto& v) { config.Bias = number(n, v); }},
      {"--arw", [&](auto& n, auto& v) { config.Arw = number(n, v); }},
      {"--instability", [&](auto& n, auto& v) { config.BiasInstability = number(n, v); }},
      {"--rate-walk", [&](auto& n, auto& v) { config.RateRandomWalk = number(n, v); }},
      {"--rate-ramp", [&](auto& n, auto& v) { config.RateRamp = number(n, v); }},
      {"--angle-quantum", [&](auto& n, auto& v) { config.AngleQuantum = number(n, v); }},
      {"--earth-rate", [&](auto& n, auto& v) { config.EarthRate = number(n, v); }},
      {"--temp-start", [&](auto& n, auto& v) { config.TempStart = number(n, v); }},
      {"--temp-drift", [&](auto& n, auto& v) { config.TempDrift = number(n, v); }},
      {"--sample-rate", [&](auto& n, auto& v) { config.SampleRate = number(n, v); }},
      {"--temp-profile",
       [&](auto& n, auto& v) {
         std::string error;
         if (!ParseTempProfile(v, config, error)) throw n + ": " + error;
       }},
      {"--rate-profile", [&](auto&, auto& v) { rateProfile = v; }},
      {"--sf-model", [&](auto&, auto& v) { sfModel = v; }},
      {"--temp-b1", [&](auto& n, auto& v) { config.TempB1 = number(n, v); }},
      {"--temp-b2", [&](auto& n, auto& v) { config.TempB2 = number(n, v); }},
      {"--temp-c", [&](auto& n, auto& v) { config.TempRateCoefficient = number(n, v); }},
      {"--seed", [&](auto& n, auto& v) { config.Seed = static_cast<std::uint64_t>(count(n, v)); }},
      {"--bad-crc-every", [&](auto& n, auto& v) { config.BadCrcEvery = count(n, v); }},
      {"--garbage-every", [&](auto& n, auto& v) { config.GarbageEvery = count(n, v); }},
      {"--overlong-every", [&](auto& n, auto& v) { config.OverlongEvery = count(n, v); }},
      {"--error-replies", [&](auto& n, auto& v) { config.ErrorReplies = count(n, v); }},
      {"--clock-wrap", [&](auto& n, auto& v) { config.ClockWrapSeconds = number(n, v); }},
      {"--hang-up-after", [&](auto& n, auto& v) { hangUp = number(n, v); }},
  };

  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--help" || a == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
      } else if (a == "--version") {
        std::printf("ratelog-sim %s\n", RATELOG_VERSION);
        return 0;
      } else if (a == "--silent") {
        config.Silent = true;
      } else if (a == "--error-always") {
        config.ErrorAlways = true;
      } else if (auto it = withValue.find(a); it != withValue.end()) {
        if (i + 1 >= argc) throw a + " needs a value";
        it->second(a, argv[++i]);
      } else {
        throw "unknown option " + a + " (ratelog-sim --help lists them)";
      }
    }
    std::string error;
    config.RateTable = MakeRateTable(rateProfile, sfModel, error);
    if (!error.empty()) throw error;
  } catch (const std::string& message) {
    return Fail(message);
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);

  TVirtualGyro gyro(config);
  gyro.SetHangUpAfter(hangUp);
  std::string error;
  if (!gyro.Start(error)) {
    std::fprintf(stderr, "ratelog-sim: %s\n", error.c_str());
    return 1;
  }
  if (!link.empty()) {
    ::unlink(link.c_str());
    if (::symlink(gyro.DevicePath().c_str(), link.c_str()) != 0) {
      std::fprintf(stderr, "ratelog-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::printf("%s\n", gyro.DevicePath().c_str());
  std::fflush(stdout);
  if (const std::string notice = gyro.Notice(); !notice.empty())
    std::fprintf(stderr, "ratelog-sim: %s\n", notice.c_str());

  while (!g_stop && !gyro.HungUp()) ::usleep(50000);
  gyro.Stop();
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}
