// The two database engines behind one small interface: statements with
// numbered parameters ($1, $2, ...; always bound, never pasted into the
// text), rows of texts back, and transactions. The results store
// (ResultsStore.h) is written once against it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

// Any failure of the store: the message says what and where, never a
// password.
struct TStoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A bound parameter: NULL, an integer, a number or a text.
using TSqlValue = std::variant<std::monostate, std::int64_t, double, std::string>;
// A column of a result row; nullopt for NULL.
using TSqlRow = std::vector<std::optional<std::string>>;

class TSqlConnection {
 public:
  virtual ~TSqlConnection() = default;
  // Runs one statement (numbered parameters $1..$n) and returns its rows
  // (numbers as texts that read back as the same value).
  virtual std::vector<TSqlRow> Query(const std::string& sql, const std::vector<TSqlValue>& params = {}) = 0;
  // The same, each row handed to `take` as it is read (the row's storage
  // is reused for the next one): a long result is never held whole.
  virtual void Each(const std::string& sql, const std::vector<TSqlValue>& params,
                    const std::function<void(TSqlRow&)>& take) {
    for (TSqlRow& row : Query(sql, params)) take(row);
  }
  // Starts a transaction that writes: SQLite takes the write lock at once
  // (waiting for other writers), PostgreSQL a plain BEGIN.
  virtual void BeginWrite() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() noexcept = 0;
  // Serialises the schema check and migration between stations: a no-op
  // for SQLite (BeginWrite already holds the only write lock), a
  // transaction-scoped advisory lock for PostgreSQL.
  virtual void LockSchema() = 0;
  // Lets readers go on beside a writer (SQLite's write-ahead log; nothing
  // for a server). Waits for other connections as a write does.
  virtual void ShareWithWriters() {}
  virtual bool TableExists(const std::string& name) = 0;
  virtual bool IsServer() const = 0;
  // What the user may read in a message: the file, or the server's host
  // and database (never a password).
  virtual std::string Describe() const = 0;
};

// An SQLite file, created when missing (its folder must exist): WAL mode,
// waiting up to `busyMs` for other writers.
std::unique_ptr<TSqlConnection> OpenSqlite(const std::string& path, int busyMs = 30000);
// A PostgreSQL server by a libpq connection string (keyword=value or a
// postgresql:// URI; service file, PGPASSFILE and the PG* variables apply).
// A connection string that holds a password is refused.
std::unique_ptr<TSqlConnection> OpenPostgres(const std::string& conninfo);

// True when a connection string names a password (keyword or URI part).
bool ConninfoHasPassword(const std::string& conninfo);
