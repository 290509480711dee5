#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdint>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <cmath>

#include "store/SqlConnection.h"

namespace {

class TSqlite final : public TSqlConnection {
 public:
  TSqlite(const std::string& path, int busyMs) : path_(path), busyMs_(busyMs) {
    const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      db_ = nullptr;
      throw TStoreError("cannot open the results store " + path + ": " + why);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busyMs);
    Query("PRAGMA foreign_keys = ON", {});
  }
  ~TSqlite() override { sqlite3_close_v2(db_); }

  std::vector<TSqlRow> Query(const std::string& sql, const std::vector<TSqlValue>& params) override {
    std::vector<TSqlRow> rows;
    Each(sql, params, [&](TSqlRow& row) { rows.push_back(row); });
    return rows;
  }

  void Each(const std::string& sql, const std::vector<TSqlValue>& params,
            const std::function<void(TSqlRow&)>& take) override {
    // $n -> ?n: SQLite's numbered parameters.
    std::string text = sql;
    for (char& c : text)
      if (c == '$') c = '?';
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, text.c_str(), -1, &stmt, nullptr) != SQLITE_OK) Fail("prepare");
    struct TFinal {
      sqlite3_stmt* s;
      ~TFinal() { sqlite3_finalize(s); }
    } final{stmt};
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      int rc = SQLITE_OK;
      if (const auto* n = std::get_if<std::int64_t>(&params[i])) rc = sqlite3_bind_int64(stmt, at, *n);
      else if (const auto* d = std::get_if<double>(&params[i]))
        rc = std::isfinite(*d) ? sqlite3_bind_double(stmt, at, *d) : sqlite3_bind_null(stmt, at);
      else if (const auto* s = std::get_if<std::string>(&params[i]))
        rc = sqlite3_bind_text64(stmt, at, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      else rc = sqlite3_bind_null(stmt, at);
      if (rc != SQLITE_OK) Fail("bind");
    }
    TSqlRow row;
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail("write");
      const int n = sqlite3_column_count(stmt);
      row.resize(static_cast<std::size_t>(n));
      for (int c = 0; c < n; ++c) {
        std::optional<std::string>& cell = row[static_cast<std::size_t>(c)];
        switch (sqlite3_column_type(stmt, c)) {
          case SQLITE_NULL: cell.reset(); break;
          case SQLITE_FLOAT: {
            char buffer[64];
            const auto r = std::to_chars(buffer, buffer + sizeof buffer, sqlite3_column_double(stmt, c));
            if (!cell) cell.emplace();
            cell->assign(buffer, r.ptr);
            break;
          }
          default: {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
            if (!cell) cell.emplace();
            cell->assign(p ? p : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
          }
        }
      }
      take(row);
    }
  }

  void BeginWrite() override { Query("BEGIN IMMEDIATE", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() noexcept override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void LockSchema() override {}
  // Turning a file to WAL needs it alone, and SQLite does not wait for that
  // (no busy handler): try again until the others let go, within the time a
  // write would wait. Once a file is WAL it stays so and this reads only.
  void ShareWithWriters() override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyMs_);
    for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
      if (JournalMode("PRAGMA journal_mode") == "wal") return;
      if (JournalMode("PRAGMA journal_mode = WAL") == "wal") return;
      if (std::chrono::steady_clock::now() >= until)
        throw TStoreError("results store " + path_ + ": cannot write: database is locked");
      std::this_thread::sleep_for(pause);
    }
  }
  bool TableExists(const std::string& name) override {
    return !Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1", {name}).empty();
  }
  bool IsServer() const override { return false; }
  std::string Describe() const override { return path_; }

 private:
  [[noreturn]] void Fail(const char* what) {
    const int code = sqlite3_extended_errcode(db_);
    std::string why = sqlite3_errmsg(db_);
    if ((code & 0xff) == SQLITE_FULL || (code & 0xff) == SQLITE_IOERR) why = WriteProblem(why);
    throw TStoreError("results store " + path_ + ": cannot " + what + ": " + why);
  }

  // SQLite does not always keep the system's reason for a failed write:
  // the two usual ones are told by the file-size limit and the free space.
  std::string WriteProblem(const std::string& why) {
    const int system = sqlite3_system_errno(db_);
    rlimit limit{};
    struct stat st {};
    std::int64_t largest = 0;
    for (const std::string& file : {path_, path_ + "-wal", path_ + "-journal"})
      if (::stat(file.c_str(), &st) == 0) largest = std::max<std::int64_t>(largest, st.st_size);
    if (system == EFBIG || (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                            largest + 65536 >= static_cast<std::int64_t>(limit.rlim_cur)))
      return "the file reached its size limit";
    const std::string folder = path_.find('/') == std::string::npos ? "." : path_.substr(0, path_.rfind('/') + 1);
    struct statvfs fs {};
    if (system == ENOSPC || (::statvfs(folder.c_str(), &fs) == 0 && fs.f_bavail * fs.f_frsize < (1u << 20)))
      return "the disk is full";
    return system ? why + " (" + std::strerror(system) + ")" : why;
  }

  // The journal mode a pragma answers; "" when the file was busy.
  std::string JournalMode(const char* pragma) {
    try {
      const std::vector<TSqlRow> rows = Query(pragma, {});
      return rows.empty() || rows[0].empty() ? std::string() : rows[0][0].value_or("");
    } catch (const TStoreError&) {
      const int code = sqlite3_errcode(db_);
      if (code == SQLITE_BUSY || code == SQLITE_LOCKED) return {};
      throw;
    }
  }

  std::string path_;
  int busyMs_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<TSqlConnection> OpenSqlite(const std::string& path, int busyMs) {
  return std::make_unique<TSqlite>(path, busyMs);
}
