#include "cli/CliOptions.h"

#include <algorithm>
#include <cmath>

#include "processing/NumberFormat.h"

namespace cli {

std::optional<std::string> Options::Get(const std::string& name) const {
  auto it = values.find(name);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> Options::All(const std::string& name) const {
  auto it = lists.find(name);
  return it == lists.end() ? std::vector<std::string>{} : it->second;
}

std::optional<double> Options::Number(const std::string& name) const {
  auto text = Get(name);
  if (!text) return std::nullopt;
  double v;
  if (!ParseDouble(*text, '.', v) || !std::isfinite(v))
    throw UsageError{"--" + name + ": not a number: '" + *text + "'"};
  return v;
}

Options ParseOptions(const std::vector<std::string>& args, std::size_t first,
                     const std::vector<std::string>& known,
                     const std::vector<std::string>& switches) {
  Options o;
  auto in = [](const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
  };
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a.rfind("--", 0) == 0) {
      std::string name = a.substr(2), value;
      const auto eq = name.find('=');
      const bool inlineValue = eq != std::string::npos;
      if (inlineValue) {
        value = name.substr(eq + 1);
        name.resize(eq);
      }
      if (in(switches, name) && !inlineValue) {
        const bool valueFollows = in(known, name) && i + 1 < args.size() && !args[i + 1].empty() &&
                                  args[i + 1][0] != '-';
        if (!valueFollows) {
          o.flags.insert(name);
          continue;
        }
      }
      if (name != "settings" && !in(known, name)) throw UsageError{"unknown option --" + name};
      if (!inlineValue) {
        if (i + 1 >= args.size()) throw UsageError{"option --" + name + " needs a value"};
        value = args[++i];
      }
      o.values[name] = value;
      o.lists[name].push_back(value);
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

int ApplyCalcOptions(const Options& o, TOptionProgramm& settings) {
  int sigma = 1;
  if (auto v = o.Number("sigma")) {
    if (*v != 1 && *v != 3) throw UsageError{"--sigma must be 1 or 3"};
    sigma = static_cast<int>(*v);
  }
  if (auto v = o.Number("drift-time")) settings.DriftTime = static_cast<float>(*v);
  if (auto v = o.Number("random-walk-time")) settings.RandomWalkTime = static_cast<float>(*v);
  if (auto v = o.Number("passband")) {
    if (*v != std::trunc(*v) || *v < 1 || *v > 1e6)
      throw UsageError{"--passband must be a whole number of Hz"};
    settings.Passband = static_cast<std::int32_t>(*v);
  }
  if (auto v = o.Number("earth-rate")) settings.EarthRate = *v;
  return sigma;
}

bool LoadSettings(const Options& o, TOptionProgramm& s, std::ostream& err) {
  std::string error;
  if (auto path = o.Get("settings")) {
    s.FileName = *path;
    if (!s.Read(error)) {
      err << "ratelog-cli: " << error << "\n";
      return false;
    }
    return true;
  }
  s.FileName = DefaultSettingsFilePath();
  if (!s.Read(error) && error.rfind("settings file not found", 0) != 0) {
    err << "ratelog-cli: " << error << " (using the defaults)\n";
  }
  return true;
}

}  // namespace cli
