// The results store's tests run once on an SQLite file and once on a
// PostgreSQL server: the one scripts/test.sh starts (RATELOG_TEST_PG), each
// test in a schema of its own. Without that server the PostgreSQL cases are
// skipped and say why.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "common/TestFiles.h"
#include "store/ResultDelivery.h"
#include "report/Sha256.h"

enum class TEngine { Sqlite, Postgres };

class StoreEngines : public ::testing::TestWithParam<TEngine> {
 protected:
  void SetUp() override {
    ::setenv("XDG_DATA_HOME", dir_.File("data").c_str(), 1);
    if (GetParam() == TEngine::Sqlite) {
      target_ = dir_.File("results.sqlite");
      return;
    }
    const char* server = std::getenv("RATELOG_TEST_PG");
    if (!server || !*server)
      GTEST_SKIP() << "PostgreSQL case skipped: RATELOG_TEST_PG names no server (scripts/test.sh starts one "
                      "where the postgresql package is installed)";
    server_ = server;
    schema_ = "t" + NewRunKey();
    OpenPostgres(server_)->Query("CREATE SCHEMA " + schema_);
    target_ = server_ + " options='-csearch_path=" + schema_ + "'";
  }
  void TearDown() override {
    if (!schema_.empty()) OpenPostgres(server_)->Query("DROP SCHEMA " + schema_ + " CASCADE");
  }
  std::unique_ptr<TResultsStore> Open() { return OpenResultsStore(target_); }
  bool Server() const { return GetParam() == TEngine::Postgres; }

  TTempDir dir_;
  std::string target_, server_, schema_;
};

#define STORE_ENGINES(suite)                                                                        \
  INSTANTIATE_TEST_SUITE_P(Engines, suite, ::testing::Values(TEngine::Sqlite, TEngine::Postgres),   \
                           [](const auto& info) {                                                   \
                             return std::string(info.param == TEngine::Sqlite ? "Sqlite" : "Postgres"); \
                           })

// A run of `ident` with the figures given as name/value pairs.
inline TStoredRun TestRun(const std::string& ident, const std::string& started,
                          std::vector<std::pair<std::string, double>> figures = {{"n", 0.001}}) {
  TStoredRun r;
  r.Key = NewRunKey();
  r.Ident = ident;
  r.UnitType = UnitTypeOf(ident);
  r.Command = "report";
  r.RecordingPath = "/lab/" + ident + ".rtd";
  r.Sha256 = Sha256Hex(ident);
  r.Started = r.Ended = started;
  r.StoredAt = UtcNow();
  for (const auto& [name, value] : figures) r.Figures.push_back({name, value, std::nan(""), "°/h", "", ""});
  return r;
}

// 1000 records at 100 Hz of a rate of `bias` deg/h (±0.01), created
// 5 December 2026 10:30.
inline std::string TestRecording(const TTempDir& dir, const std::string& name, const char* ident, double bias) {
  Bytes b = RecordingHeader(100, ident);
  for (int i = 0; i < 1000; ++i)
    AddRecord(b, static_cast<float>(i * 0.01), static_cast<float>((bias + (i % 2 ? 0.01 : -0.01)) / 3600), 25.0f);
  WriteBytes(dir.File(name), b);
  return dir.File(name);
}

