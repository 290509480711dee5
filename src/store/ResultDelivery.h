// From an analysis to the results store: which store (the --db option,
// RATELOG_DB, the per-user store settings, else the embedded file in the
// user's data folder), the run record of a report's content, and the
// delivery itself, which never loses a result: a server that cannot be
// reached gets the results later, kept meanwhile in the embedded file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "report/ReportContent.h"
#include "store/ResultsStore.h"

// $XDG_DATA_HOME/ratelog/results.sqlite (default ~/.local/share/...);
// empty when neither variable is set.
std::string DefaultStorePath(const char* xdgDataHome, const char* home);
// $XDG_CONFIG_HOME/ratelog/results-store.conf (default ~/.config/...): a
// line "db = PATH|CONNINFO" ('#' starts a comment line).
std::string StoreSettingsPath(const char* xdgConfigHome, const char* home);

struct TStoreTarget {
  std::string Target;  // an SQLite path or a PostgreSQL connection string
  std::string Source;  // "--db", "RATELOG_DB", the settings file's path, "default"
};
// The first of: `option`, `env`, the "db" line of the settings file (when
// it exists), `defaultPath`. TStoreError for a settings file that cannot be
// read and for a connection string that holds a password (never taken from
// any of these places).
TStoreTarget ResolveStoreTarget(const std::optional<std::string>& option, const char* env,
                                const std::string& settingsPath, const std::string& defaultPath);

// DefaultStorePath of this process's environment: the embedded file, also
// where results for a server that cannot be reached wait.
std::string EnvironmentStorePath();
// ResolveStoreTarget of `option` (--db) and this process's environment:
// RATELOG_DB, the store settings file, EnvironmentStorePath.
TStoreTarget EnvironmentStoreTarget(const std::optional<std::string>& option);

struct TRunContext {
  std::string Command;  // "report", "batch", "import"
  std::string Station, Operator, ProgramVersion;
  std::string Key;  // empty: a new random key
};
// The run of a report's content: the recording's header, size, record
// count and SHA-256 (the content's own, read now only where it has none),
// the span, the settings, the limits' test specification, each figure with
// its limit and verdict. False with `error` when the recording cannot be
// read.
bool StoredRunOf(const TReportContent& content, const TRunContext& context, TStoredRun& run, std::string& error);
// A new random key (128 bits, hex).
std::string NewRunKey();
// "2026-12-07T04:00:00Z", now.
std::string UtcNow();

struct TDelivery {
  std::size_t Stored = 0;   // new in the target
  std::size_t Already = 0;  // the target had them already
  std::size_t Queued = 0;   // kept in the embedded file for later
  std::size_t Sent = 0;     // queued earlier, delivered now
  std::string Where;        // the target as a message may name it
  std::string Problem;      // why the target could not take them (empty when it did)
};
// Stores `runs` in `target` (each in a transaction of its own), after the
// results queued earlier for it. A server that cannot be reached or fails
// midway: the runs not yet stored are queued in the SQLite file
// `queuePath`. An SQLite target that cannot take them: Problem says why
// (nothing is half-written).
TDelivery DeliverResults(const std::vector<TStoredRun>& runs, const std::string& target, const std::string& queuePath);
