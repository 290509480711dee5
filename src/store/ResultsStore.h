// The results store: every unit's tests, one row per run with what the
// figures came from, and the figures themselves with their limits and
// verdicts. The same schema and statements on an SQLite file (a bench) and
// on a PostgreSQL server (a lab); each write is one transaction.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store/SqlConnection.h"

struct TStoredFigure {
  std::string Name;  // as a limit names it: "random_walk", "n", "b1"
  double Value = std::nan("");        // NaN: not measurable
  double Uncertainty = std::nan("");  // standard error where the analysis gives one
  std::string Unit;
  std::string Limit;    // "n<=0.005"; empty without a limit
  std::string Verdict;  // "PASS", "FAIL"; empty without a limit
};

struct TStoredRun {
  std::string Key;      // unique per result: a result sent twice is stored once
  std::string Ident;    // the unit's identification, as the recording holds it
  std::string UnitType; // what the identification says about the type (UnitTypeOf)
  std::string Command;  // "report", "batch", "import"
  std::string RecordingPath, Sha256;
  std::int64_t Size = 0, Records = 0;
  std::string Started, Ended;  // local time of the span's first and last record, "2026-12-05T10:30:00"
  double SpanBegin = std::nan(""), SpanEnd = std::nan("");  // record times, s
  std::string Mode;
  double DataRate = std::nan("");  // Hz
  std::string Station, Operator, ProgramVersion;
  std::string Settings;  // what shaped the figures: "Averaging time=10 s; ..."
  std::string SpecName, SpecRevision;
  std::string Verdict;   // "PASS", "FAIL", empty without limits
  std::string StoredAt;  // UTC, "2026-12-07T04:00:00Z"
  std::vector<TStoredFigure> Figures;
};

// One figure of one run, for trends and control charts.
struct TTrendPoint {
  std::string Ident, Started, RunKey;
  double Value = std::nan(""), Uncertainty = std::nan("");
  std::string Unit, Verdict;
};

struct TTrendQuery {
  std::string Figure;
  std::string Unit;        // one unit's identification (empty: any)
  std::string TypePrefix;  // units whose type starts so (empty: any)
  std::string Since;       // runs started at or after this date/time text (empty: all)
  std::string ExcludeKey;  // leave this run out
};

// The unit type an identification implies: its first 14 characters (the
// archive's first folder), or the whole identification when shorter.
std::string UnitTypeOf(const std::string& ident);

class TResultsStore {
 public:
  static constexpr int kSchemaVersion = 2;

  // Checks the schema and brings an older one up to date (safe when
  // several stations open the store at once). A store of a newer schema is
  // refused (TStoreError) and left as it is.
  explicit TResultsStore(std::unique_ptr<TSqlConnection> connection);

  // Stores one run with its figures in one transaction; false when a run
  // of the same key is already stored (nothing written).
  bool Write(const TStoredRun& run);
  // Several runs in one transaction; returns how many were new.
  std::size_t WriteAll(const std::vector<TStoredRun>& runs);

  // A unit's runs, newest first, with their figures.
  std::vector<TStoredRun> History(const std::string& ident);
  // One run by its key, if stored.
  std::vector<TStoredRun> RunByKey(const std::string& key);
  // One figure over time (oldest first).
  std::vector<TTrendPoint> Trend(const TTrendQuery& query);
  // Every run, oldest first.
  std::vector<TStoredRun> All();

  // Results meant for another store that could not be reached: kept here
  // (the run itself stored as any other) until Unqueue.
  void Queue(const TStoredRun& run, const std::string& target);
  std::vector<std::string> QueuedKeys(const std::string& target);
  void Unqueue(const std::string& key, const std::string& target);

  int Version();
  std::string Describe() const { return db_->Describe(); }
  TSqlConnection& Connection() { return *db_; }

 private:
  bool WriteOne(const TStoredRun& run);
  std::vector<TStoredRun> Runs(const std::string& where, const std::vector<TSqlValue>& params,
                               const std::string& order);
  std::unique_ptr<TSqlConnection> db_;
};

// True when `target` is a PostgreSQL connection string (a postgresql:// or
// postgres:// URI, or keyword=value pairs) rather than the path of an
// SQLite file.
bool IsConnectionString(const std::string& target);
// Opens the store a --db value (or RATELOG_DB, or the settings) names.
std::unique_ptr<TResultsStore> OpenResultsStore(const std::string& target);
