#include "store/ResultDelivery.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

#include "files/OleDate.h"
#include "files/RecordingReader.h"
#include "report/Figures.h"
#include "report/Sha256.h"

namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string Folder(const char* xdg, const char* home, const char* fallback) {
  if (xdg && *xdg) return xdg;
  if (home && *home) return std::string(home) + fallback;
  return {};
}

std::string IsoOf(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

// Creates the folders of `path` (as mkdir -p) for the embedded file.
void MakeFolders(const std::string& path) {
  for (std::size_t at = 1; (at = path.find('/', at)) != std::string::npos; ++at)
    ::mkdir(path.substr(0, at).c_str(), 0700);
}

}  // namespace

std::string DefaultStorePath(const char* xdgDataHome, const char* home) {
  const std::string folder = Folder(xdgDataHome, home, "/.local/share");
  return folder.empty() ? folder : folder + "/ratelog/results.sqlite";
}

std::string StoreSettingsPath(const char* xdgConfigHome, const char* home) {
  const std::string folder = Folder(xdgConfigHome, home, "/.config");
  return folder.empty() ? folder : folder + "/ratelog/results-store.conf";
}

TStoreTarget ResolveStoreTarget(const std::optional<std::string>& option, const char* env,
                                const std::string& settingsPath, const std::string& defaultPath) {
  TStoreTarget t;
  if (option) t = {*option, "--db"};
  else if (env && *env) t = {env, "RATELOG_DB"};
  else if (!settingsPath.empty()) {
    std::ifstream in(settingsPath);
    if (!in && errno != ENOENT) throw TStoreError("cannot read the store settings " + settingsPath + ": " + std::strerror(errno));
    std::string line;
    while (std::getline(in, line)) {
      line = Trim(line);
      if (line.empty() || line[0] == '#') continue;
      const auto eq = line.find('=');
      if (eq == std::string::npos || Trim(line.substr(0, eq)) != "db")
        throw TStoreError("store settings " + settingsPath + ": expected a line \"db = PATH|CONNINFO\", not \"" +
                          line + "\"");
      t = {Trim(line.substr(eq + 1)), settingsPath};
    }
  }
  if (t.Target.empty()) t = {defaultPath, "default"};
  if (t.Target.empty()) throw TStoreError("no results store: neither --db, RATELOG_DB nor a home folder names one");
  if (IsConnectionString(t.Target) && ConninfoHasPassword(t.Target))
    throw TStoreError("the results store's connection string (" + t.Source +
                      ") holds a password: give it in the password file (~/.pgpass or PGPASSFILE) or a service "
                      "file instead");
  return t;
}

std::string EnvironmentStorePath() { return DefaultStorePath(std::getenv("XDG_DATA_HOME"), std::getenv("HOME")); }

TStoreTarget EnvironmentStoreTarget(const std::optional<std::string>& option) {
  return ResolveStoreTarget(option, std::getenv("RATELOG_DB"),
                            StoreSettingsPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")),
                            EnvironmentStorePath());
}

std::string NewRunKey() {
  std::random_device random;
  char text[40];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
  return text;
}

std::string UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  gmtime_r(&now, &t);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &t);
  return text;
}

bool StoredRunOf(const TReportContent& c, const TRunContext& context, TStoredRun& run, std::string& error) {
  TRecordingInfo info;
  if (!TRecordingReader::ReadInfo(c.Path, info, error)) return false;
  run = TStoredRun{};
  if (c.Sha256.empty()) {
    if (!Sha256File(c.Path, run.Sha256, run.Size, error)) return false;
  } else {
    // The report read the file for its digest already: not a second time.
    struct stat st {};
    if (::stat(c.Path.c_str(), &st) != 0) {
      error = c.Path + ": " + std::strerror(errno);
      return false;
    }
    run.Sha256 = c.Sha256;
    run.Size = st.st_size;
  }
  run.Key = context.Key.empty() ? NewRunKey() : context.Key;
  run.Ident = info.Ident;
  run.UnitType = UnitTypeOf(info.Ident);
  run.Command = context.Command;
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(c.Path, ec);
  run.RecordingPath = ec ? c.Path : absolute.lexically_normal().string();
  run.Records = info.RecordCount;
  // The time of day of the span's ends: the creation time plus the record
  // times; a recording without header counts from its modification time.
  double created = info.Created;
  if (info.FormatVersion != rtd::FormatCurrent) {
    struct stat st {};
    if (::stat(c.Path.c_str(), &st) == 0) {
      std::tm t{};
      const std::time_t m = st.st_mtime;
      localtime_r(&m, &t);
      created = OleDateFromLocal(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    }
  }
  run.Started = IsoOf(LocalFromOleDate(created + c.FirstRecordTime / 86400.0));
  run.Ended = IsoOf(LocalFromOleDate(created + c.LastRecordTime / 86400.0));
  run.SpanBegin = c.Begin;
  run.SpanEnd = c.End;
  for (const TFigure& row : c.Identification.Rows)
    if (row.Caption == "Mode") run.Mode = row.Text;
  run.DataRate = info.Sample;
  run.Station = context.Station;
  run.Operator = context.Operator;
  run.ProgramVersion = context.ProgramVersion;
  run.SpecName = c.Spec.Name;
  run.SpecRevision = c.Spec.Revision;
  for (const TFigure& row : c.Settings.Rows)
    run.Settings += (run.Settings.empty() ? "" : "; ") + row.Caption + "=" + Trim(row.Text) +
                    (row.Unit.empty() ? "" : " " + row.Unit);
  run.Verdict = c.Verdict == TVerdict::None ? "" : VerdictName(c.Verdict);
  run.StoredAt = UtcNow();
  // Each figure once, by its limit name; a "_se" figure is the standard
  // error of the one it follows.
  const auto add = [&](const std::vector<TFigure>& figures) {
    for (const TFigure& f : figures) {
      const std::string name = FieldName(f.Caption);
      if (name.size() > 3 && name.compare(name.size() - 3, 3, "_se") == 0 && !run.Figures.empty() &&
          run.Figures.back().Name == name.substr(0, name.size() - 3)) {
        run.Figures.back().Uncertainty = f.Value;
        continue;
      }
      TStoredFigure s{name, f.Value, std::nan(""), f.Unit, "", ""};
      for (const TLimitResult& l : c.Limits)
        if (l.Limit.Name == name) {
          s.Limit += (s.Limit.empty() ? "" : ", ") + l.Limit.Text();
          s.Verdict = VerdictName(Worse(s.Verdict.empty() ? TVerdict::None
                                                     : s.Verdict == "FAIL" ? TVerdict::Fail
                                                     : s.Verdict == "INCOMPLETE" ? TVerdict::Incomplete
                                                                                 : TVerdict::Pass,
                                             l.Result));
        }
      run.Figures.push_back(s);
    }
  };
  add(c.Calc.Figures);
  add(c.AllanFigures.Figures);
  add(c.AllanCounts.Figures);
  add(c.ThermalFigures.Figures);
  if (c.ScaleFactor.Present) add(c.ScaleFactorFigures.Figures);
  return true;
}

TDelivery DeliverResults(const std::vector<TStoredRun>& runs, const std::string& target, const std::string& queuePath) {
  TDelivery d;
  const bool server = IsConnectionString(target);
  std::unique_ptr<TResultsStore> store;
  try {
    if (!server) MakeFolders(target);
    store = OpenResultsStore(target);
    d.Where = store->Describe();
  } catch (const TStoreError& e) {
    d.Problem = e.what();
    d.Where = server ? "the results server" : target;
  }
  std::size_t next = 0;
  std::unique_ptr<TResultsStore> queue;
  if (store && server && !queuePath.empty()) {
    // What was queued for this server before goes first.
    try {
      MakeFolders(queuePath);
      queue = OpenResultsStore(queuePath);
      for (const std::string& key : queue->QueuedKeys(target)) {
        for (const TStoredRun& r : queue->RunByKey(key)) store->Write(r);
        queue->Unqueue(key, target);
        ++d.Sent;
      }
    } catch (const TStoreError& e) {
      d.Problem = e.what();
    }
  }
  if (store && d.Problem.empty()) {
    try {
      for (; next < runs.size(); ++next) (store->Write(runs[next]) ? d.Stored : d.Already)++;
    } catch (const TStoreError& e) {
      d.Problem = e.what();
    }
  }
  if (next < runs.size() && server && !queuePath.empty()) {
    try {
      if (!queue) {
        MakeFolders(queuePath);
        queue = OpenResultsStore(queuePath);
      }
      for (; next < runs.size(); ++next, ++d.Queued) queue->Queue(runs[next], target);
    } catch (const TStoreError& e) {
      d.Problem += "; cannot queue the results either: " + std::string(e.what());
    }
  }
  return d;
}
