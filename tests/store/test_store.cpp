// The results store on both engines: exact round trips of hostile texts,
// one row per result, the schema's version, stations and writers at once;
// control charts against hand-computed values; SHA-256 against FIPS 180-2.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "StoreEngines.h"
#include "store/ControlChart.h"
#include "store/UnitHistory.h"

using ::testing::HasSubstr;

class Store : public StoreEngines {};
STORE_ENGINES(Store);

TEST_P(Store, HostileIdentificationsAndTextsRoundTripExactly) {
  const std::vector<std::string> idents = {
      "VRDT40-123.456-0'1\"; DROP TABLE unit; --", "VRDT40/../..\\x\\00042", std::string("VRDT40-1\x01\x1b[2J\n\t\x7f", 13),
      "VRDT40-%_%-00042", "\xc3\xa4\xe2\x84\xa2 \xef\xbf\xbd", ""};
  auto store = Open();
  for (const std::string& ident : idents) {
    TStoredRun run = TestRun(ident, "2026-12-05T10:30:00", {{"n", 0.00012345678901234567}, {"b", std::nan("")}});
    run.Settings = "Averaging time=10 s; it's \"quoted\"";
    run.Figures[0].Uncertainty = 1e-300;
    run.Figures[0].Limit = "n<=0.005";
    run.Figures[0].Verdict = "PASS";
    ASSERT_TRUE(store->Write(run)) << ident;
    const std::vector<TStoredRun> back = store->History(ident);
    ASSERT_EQ(back.size(), 1u) << ident;
    EXPECT_EQ(back[0].Ident, ident);
    EXPECT_EQ(back[0].Settings, run.Settings);
    ASSERT_EQ(back[0].Figures.size(), 2u);
    EXPECT_EQ(back[0].Figures[1].Name, "n");  // by name
    EXPECT_EQ(back[0].Figures[1].Value, run.Figures[0].Value);
    EXPECT_EQ(back[0].Figures[1].Uncertainty, 1e-300);
    EXPECT_EQ(back[0].Figures[1].Limit, "n<=0.005");
    EXPECT_TRUE(std::isnan(back[0].Figures[0].Value));
  }
  // A type prefix is text, not a pattern: "%" and "_" match only themselves.
  EXPECT_EQ(store->Trend({"n", "", "VRDT40-%_", "", ""}).size(), 1u);
  EXPECT_EQ(store->Trend({"n", "", "VRDT40", "", ""}).size(), 4u);
  EXPECT_EQ(store->All().size(), idents.size());
}

TEST_P(Store, AResultSentTwiceIsStoredOnceAndHistoryIsNewestFirst) {
  auto store = Open();
  const TStoredRun old = TestRun("U-1", "2026-01-02T08:00:00"), later = TestRun("U-1", "2026-03-04T09:00:00");
  EXPECT_EQ(store->WriteAll({later, old, TestRun("U-2", "2026-02-01T00:00:00")}), 3u);
  EXPECT_FALSE(store->Write(old));
  EXPECT_EQ(store->WriteAll({old, later}), 0u);
  const auto history = store->History("U-1");
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].Key, later.Key);
  EXPECT_EQ(store->Trend({"n", "", "", "2026-02", ""}).size(), 2u);  // --since
  EXPECT_EQ(store->Trend({"n", "U-1", "", "", later.Key}).size(), 1u);
}

TEST_P(Store, AStoreOfANewerSchemaIsRefusedAndLeftAsItIs) {
  Open();  // made at the current schema
  {
    auto raw = Server() ? OpenPostgres(target_) : OpenSqlite(target_);
    raw->Query("UPDATE ratelog_schema SET version = 99");
  }
  const Bytes before = Server() ? Bytes{} : ReadBytes(target_);
  try {
    Open();
    FAIL() << "opened";
  } catch (const TStoreError& e) {
    EXPECT_THAT(e.what(), HasSubstr("written by a newer version of Ratelog (schema 99; this program knows schema 2)"));
  }
  if (!Server()) {
    EXPECT_EQ(ReadBytes(target_), before);
  }
  auto raw = Server() ? OpenPostgres(target_) : OpenSqlite(target_);
  EXPECT_EQ(raw->Query("SELECT version FROM ratelog_schema").at(0).at(0), "99");
}

// A store of the first schema gets the trend table, filled from what it holds.
TEST_P(Store, AStoreOfTheFirstSchemaIsBroughtUpToDateWithItsResults) {
  Open()->WriteAll({TestRun("U-1", "2026-01-02T00:00:00", {{"n", 2}}), TestRun("U-2", "2026-01-01T00:00:00", {{"n", 1}})});
  {
    auto raw = Server() ? OpenPostgres(target_) : OpenSqlite(target_);
    raw->Query("DROP TABLE trend_point");
    raw->Query("UPDATE ratelog_schema SET version = 1");
  }
  auto store = Open();
  EXPECT_EQ(store->Version(), 2);
  const std::vector<TTrendPoint> points = store->Trend({"n", "", "", "", ""});
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0].Ident, "U-2");
  EXPECT_EQ(points[1].Value, 2);
}

// Two stations open a new store at once (both migrate it) while 16 writers
// (a batch's units) store their results: every result once, none lost.
TEST_P(Store, TwoStationsMigrateAndSixteenWritersStoreEveryResultOnce) {
  constexpr int kWriters = 16, kEach = 8;
  std::vector<std::thread> threads;
  std::vector<std::string> errors(kWriters + 2);
  for (int s = 0; s < 2; ++s)
    threads.emplace_back([&, s] {
      try {
        Open()->Write(TestRun("STATION-" + std::to_string(s), "2026-12-01T00:00:00"));
      } catch (const std::exception& e) {
        errors[static_cast<std::size_t>(kWriters + s)] = e.what();
      }
    });
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      try {
        auto store = Open();
        for (int i = 0; i < kEach; ++i) store->Write(TestRun("UNIT-" + std::to_string(w % 4), "2026-12-01T00:00:00"));
      } catch (const std::exception& e) {
        errors[static_cast<std::size_t>(w)] = e.what();
      }
    });
  for (std::thread& t : threads) t.join();
  for (const std::string& e : errors) EXPECT_EQ(e, "");
  auto store = Open();
  EXPECT_EQ(store->Version(), TResultsStore::kSchemaVersion);
  EXPECT_EQ(store->All().size(), std::size_t{kWriters * kEach + 2});
  EXPECT_EQ(store->History("UNIT-3").size(), std::size_t{4 * kEach});
}

// Turning a file to WAL needs it alone, and SQLite does not wait for a
// writer that holds it: a station opening a store while another program
// writes to the file waits for it instead of failing "database is locked".
TEST(SqliteStore, OpeningWaitsForAWriterOfTheFileBeforeTurningItToWal) {
  TTempDir dir;
  const std::string file = dir.File("results.sqlite");
  auto writer = OpenSqlite(file);
  writer->Query("CREATE TABLE other (x INTEGER)");
  writer->Query("BEGIN IMMEDIATE");
  writer->Query("INSERT INTO other VALUES (1)");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writer->Query("COMMIT");
  });
  std::string error;
  try {
    OpenResultsStore(file)->Write(TestRun("UNIT-1", "2026-12-01T00:00:00"));
  } catch (const std::exception& e) {
    error = e.what();
  }
  release.join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(OpenSqlite(file)->Query("PRAGMA journal_mode").at(0).at(0), "wal");
  EXPECT_EQ(OpenResultsStore(file)->History("UNIT-1").size(), 1u);
}

TEST(ControlChart, IndividualsAndMovingRangeAsComputedByHand) {
  // x̄ = 25/11, MR̄ = (9·1 + 8)/10 = 1.7; limits x̄ ± 4.522, MR UCL 5.5539.
  const TControlChart c = ComputeControlChart({1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 10});
  ASSERT_TRUE(c.Valid);
  EXPECT_NEAR(c.Centre, 2.2727272727, 1e-9);
  EXPECT_NEAR(c.MrBar, 1.7, 1e-12);
  EXPECT_NEAR(c.Upper, 6.7947272727, 1e-9);
  EXPECT_NEAR(c.Lower, -2.2492727273, 1e-9);
  EXPECT_NEAR(c.MrUpper, 5.5539, 1e-12);
  EXPECT_EQ(c.Points[10].Rules, unsigned{RuleBeyondLimits | RuleRangeBeyond});
  // All ten before it lie below x̄: from the eighth on, eight in a row.
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(c.Points[i].Rules, i < 7 ? 0u : unsigned{RuleEightOneSide}) << i;
  EXPECT_FALSE(ComputeControlChart({3}).Valid);
  EXPECT_TRUE(OutsideControlLimits(c, 6.8));
  EXPECT_FALSE(OutsideControlLimits(c, 6.79));
  // Too few results, or results that never varied, make no limits, and
  // the reason says which.
  EXPECT_EQ(NoControlLimitsReason(c), "");
  EXPECT_EQ(NoControlLimitsReason(ComputeControlChart({1, 2, 1, 2})), "4 results of the type, at least 5 are needed");
  EXPECT_EQ(NoControlLimitsReason(ComputeControlChart({3})), "1 result of the type, at least 5 are needed");
  EXPECT_EQ(NoControlLimitsReason(ComputeControlChart({7, 7, 7, 7, 7, 7})), "the type's 6 results are all the same");
}

TEST(ControlChart, WesternElectricRulesWhereEachFirstCompletes) {
  // Eight at 0, eight at 5: x̄ = 2.5, MR̄ = 5/15, sigma = MR̄/1.128 (each
  // point 8.5 sigma from the centre).
  std::vector<double> x(8, 0.0);
  x.insert(x.end(), 8, 5.0);
  const TControlChart c = ComputeControlChart(x);
  const struct {
    std::size_t at;
    unsigned rules;
  } cases[] = {{0, RuleBeyondLimits},
               {1, RuleBeyondLimits},
               {2, RuleBeyondLimits | RuleTwoOfThree},
               {4, RuleBeyondLimits | RuleTwoOfThree | RuleFourOfFive},
               {7, RuleBeyondLimits | RuleTwoOfThree | RuleFourOfFive | RuleEightOneSide},
               {8, RuleBeyondLimits | RuleRangeBeyond},
               {9, RuleBeyondLimits | RuleTwoOfThree},
               {15, RuleBeyondLimits | RuleTwoOfThree | RuleFourOfFive | RuleEightOneSide}};
  for (const auto& k : cases) EXPECT_EQ(c.Points[k.at].Rules, k.rules) << k.at;
  // Eight on one side, within 1 sigma: rule 4 alone.
  const TControlChart drift = ComputeControlChart({1, -1, 1, -1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1});
  EXPECT_EQ(drift.Points[11].Rules, unsigned{RuleEightOneSide});
  EXPECT_EQ(drift.Points[10].Rules, 0u);
}


// A unit's history: its tests newest first, the newest judged against the
// control limits of its type's other results (this unit's earlier ones
// marked among them), or a result not stored yet judged instead.
TEST_P(Store, UnitHistoryJudgesTheNewestTestAgainstItsTypesControlLimits) {
  const std::string unit = "VRDT40-123.456-0'1\"\n";
  auto store = Open();
  for (int i = 0; i < 6; ++i)
    store->Write(TestRun("VRDT40-123.456-0000" + std::to_string(i), "2026-01-0" + std::to_string(i + 1), {{"n", 1.0 + i % 2}}));
  store->Write(TestRun("VRDT41-123.456-00001", "2026-01-01", {{"n", 1000}}));  // another type
  store->Write(TestRun(unit, "2026-01-07", {{"n", 1.5}}));
  const TStoredRun newest = TestRun(unit, "2026-01-08", {{"n", 5}, {"b", 7}});
  store->Write(newest);
  // x̄ = 10.5/7 = 1.5, MR̄ = 5.5/6.
  const TUnitHistory h = ReadUnitHistory(*store, unit);
  ASSERT_EQ(h.Runs.size(), 2u);
  EXPECT_EQ(h.Runs[0].Started, "2026-01-08");
  ASSERT_EQ(h.Figures.size(), 2u);
  const TFigureHistory& n = h.Figures[1];
  EXPECT_EQ(n.Own.size(), 2u);
  EXPECT_EQ(n.Judged, 5);
  EXPECT_EQ(n.TypeIsOwn, std::vector<bool>({false, false, false, false, false, false, true}));
  EXPECT_NEAR(n.Chart.Upper, 1.5 + 2.66 * 5.5 / 6, 1e-12);
  EXPECT_NEAR(n.Chart.Lower, 1.5 - 2.66 * 5.5 / 6, 1e-12);
  EXPECT_EQ(h.OutsideNames(), std::vector<std::string>({"n"}));  // b: no other result of its type
  // A report's result, not stored: judged against all stored (upper 15.5/8 + 2.66·9/7 = 5.3575).
  const TStoredRun current = TestRun(unit, "2026-01-09", {{"n", 5.3}});
  const TUnitHistory now = ReadUnitHistory(*store, unit, &current);
  EXPECT_EQ(now.Runs.size(), 3u);
  EXPECT_EQ(now.Runs[0].Key, current.Key);
  EXPECT_FALSE(now.Figures[1].Outside);
  EXPECT_EQ(OutsideControlLimits(*store, TestRun(unit, "2026-01-09", {{"n", 5.4}})), std::vector<std::string>({"n"}));
  // Fewer than five results of a type make no limits.
  for (int i = 0; i < 5; ++i) store->Write(TestRun("VRDT49-000.000-00001", "2026-02-0" + std::to_string(i + 1), {{"n", i < 4 ? 1.0 + i % 2 : 100}}));
  EXPECT_FALSE(ReadUnitHistory(*store, "VRDT49-000.000-00001").Figures[0].Outside);
}
