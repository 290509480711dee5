#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "store/SqlConnection.h"

namespace {

// The server's host and database for messages, from the connection as
// made (never the password).
std::string Where(PGconn* c) {
  const char* host = PQhost(c);
  const char* db = PQdb(c);
  return std::string("PostgreSQL database ") + (db ? db : "?") + " on " + (host && *host ? host : "the local socket");
}

class TPostgres final : public TSqlConnection {
 public:
  explicit TPostgres(const std::string& conninfo) {
    if (ConninfoHasPassword(conninfo))
      throw TStoreError(
          "the connection string holds a password: give it in the password file (~/.pgpass or PGPASSFILE) "
          "or a service file instead");
    // A server that does not answer is given up after 10 s (unless the
    // connection string or PGCONNECT_TIMEOUT says otherwise).
    const char* timeout = std::getenv("PGCONNECT_TIMEOUT");
    const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
    const char* values[] = {timeout && *timeout ? timeout : "10", "ratelog", conninfo.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
      std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
      PQfinish(conn_);
      conn_ = nullptr;
      throw TStoreError("cannot reach the results server: " + why);
    }
    where_ = Where(conn_);
    Query("SET client_min_messages = warning", {});
    Query("SET client_encoding = 'UTF8'", {});
  }
  ~TPostgres() override { PQfinish(conn_); }

  std::vector<TSqlRow> Query(const std::string& sql, const std::vector<TSqlValue>& params) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size(), nullptr);
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (const auto* n = std::get_if<std::int64_t>(&params[i])) texts[i] = std::to_string(*n);
      else if (const auto* d = std::get_if<double>(&params[i])) {
        if (!std::isfinite(*d)) continue;
        char buffer[64];
        texts[i].assign(buffer, std::to_chars(buffer, buffer + sizeof buffer, *d).ptr);
      } else if (const auto* s = std::get_if<std::string>(&params[i])) texts[i] = *s;
      else continue;
      values[i] = texts[i].c_str();
    }
    PGresult* r = PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr, values.data(),
                               nullptr, nullptr, 0);
    struct TClear {
      PGresult* r;
      ~TClear() { PQclear(r); }
    } clear{r};
    const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      std::string why = PQerrorMessage(conn_);
      while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
      if (PQstatus(conn_) != CONNECTION_OK) why = "the connection to the server was lost: " + why;
      throw TStoreError(where_ + ": " + why);
    }
    std::vector<TSqlRow> rows;
    const int n = PQntuples(r), columns = PQnfields(r);
    rows.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      TSqlRow row;
      for (int c = 0; c < columns; ++c) {
        if (PQgetisnull(r, i, c)) row.emplace_back();
        else row.emplace_back(std::string(PQgetvalue(r, i, c), static_cast<std::size_t>(PQgetlength(r, i, c))));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  void BeginWrite() override { Query("BEGIN", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() noexcept override {
    if (PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE) PQclear(PQexec(conn_, "ROLLBACK"));
  }
  // One number for Ratelog's schema lock, held to the end of the transaction.
  void LockSchema() override { Query("SELECT pg_advisory_xact_lock(7236417356)", {}); }
  bool TableExists(const std::string& name) override {
    return Query("SELECT to_regclass($1) IS NOT NULL", {name}).at(0).at(0) == "t";
  }
  bool IsServer() const override { return true; }
  std::string Describe() const override { return where_; }

 private:
  PGconn* conn_ = nullptr;
  std::string where_;
};

}  // namespace

bool ConninfoHasPassword(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  PQfreemem(error);
  if (!options) return false;  // not a connection string: libpq says so on connecting
  bool password = false;
  for (PQconninfoOption* o = options; o->keyword; ++o)
    if (std::string(o->keyword) == "password" && o->val && *o->val) password = true;
  PQconninfoFree(options);
  return password;
}

std::unique_ptr<TSqlConnection> OpenPostgres(const std::string& conninfo) {
  return std::make_unique<TPostgres>(conninfo);
}
