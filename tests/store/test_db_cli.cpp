// ratelog-cli's store: what batch stores and db history, trend and export
// show of it, on both engines; a server that goes away; the store after a
// SIGKILL and at a file-size limit (the real program).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "StoreEngines.h"
#include "common/CliRun.h"
#include "common/FileSizeLimit.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

std::string Sha256Sum(const std::string& path) {
  std::string out(64, ' ');
  FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r");
  const std::size_t n = std::fread(out.data(), 1, 64, p);
  ::pclose(p);
  return out.substr(0, n);
}

}  // namespace

class DbCli : public StoreEngines {};
STORE_ENGINES(DbCli);

TEST_P(DbCli, BatchStoresEachUnitAndHistoryTellsWhatBecameOfTheRecording) {
  const std::string a = TestRecording(dir_, "a.rtd", "VRDT40-123.456-00042", 5.0), b = TestRecording(dir_, "b.rtd", "VRDT40-123.456-00043", 6.0);
  Result r = Cli({"batch", a, b, "--limit", "average_value_signal<=10", "--db", target_});
  EXPECT_EQ(r.code, ExitOk) << r.err;
  EXPECT_THAT(r.err, HasSubstr("2 results stored in "));
  r = Cli({"batch", a, "--limit", "average_value_signal<=4", "--db", target_});  // the second test: FAIL
  EXPECT_EQ(r.code, ExitLimitsFailed);

  r = Cli({"db", "history", "VRDT40-123.456-00042", "--db", target_});
  EXPECT_EQ(r.code, ExitOk) << r.err;
  const std::string expected[] = {
      "Identification\tVRDT40-123.456-00042\nUnit type\tVRDT40-123.456\nTests\t2\nFailed\t1\n\n"
      "Test\t2026-12-05T10:30:00\tFAIL\trecording unchanged\n",
      "\nRecording\t" + a + "\nSHA-256\t" + Sha256Sum(a) + "\nSize\t12760\nRecords\t1000\nSpan begin\t0\nSpan end\t9.989999771\n",
      "Ended\t2026-12-05T10:30:09\n", "Data rate\t100\n", "Figure\taverage_value_signal\t5\tNAN\t°/h\taverage_value_signal<=4\tFAIL\n",
      "Test\t2026-12-05T10:30:00\tPASS\trecording unchanged\n", "Command\tbatch\n"};
  for (const std::string& e : expected) EXPECT_THAT(r.out, HasSubstr(e));

  std::ofstream(a, std::ios::app) << "x";
  EXPECT_THAT(Cli({"db", "history", "VRDT40-123.456-00042", "--db", target_}).out, HasSubstr("recording changed"));
  std::remove(a.c_str());
  r = Cli({"db", "history", "VRDT40-123.456-00042", "--db", target_, "--json"});
  EXPECT_THAT(r.out, HasSubstr("\"recording_state\": \"missing\""));
  EXPECT_THAT(r.out, HasSubstr("{\"name\": \"average_value_signal\", \"value\": 5, \"uncertainty\": null, \"unit\": \"°/h\", "
                               "\"limit\": \"average_value_signal<=4\", \"verdict\": \"FAIL\"}"));
  EXPECT_EQ(Cli({"db", "history", "VRDT40-123.456-00044", "--db", target_}).code, ExitFailure);
}

// Earlier units of the type lie near 5 deg/h: a unit at 9 passes its limit
// of 10 but is outside the type's control limits, and is marked.
TEST_P(DbCli, AUnitOutsideItsTypesControlLimitsIsMarkedThoughItPasses) {
  {
    auto store = Open();
    const double earlier[] = {5.00, 5.02, 4.99, 5.01, 5.03, 4.98};
    for (std::size_t i = 0; i < 6; ++i)
      store->Write(TestRun("VRDT40-123.456-0000" + std::to_string(i), "2026-11-0" + std::to_string(i + 1) + "T08:00:00",
                           {{"average_value_signal", earlier[i]}}));
  }
  const std::string unit = TestRecording(dir_, "u.rtd", "VRDT40-123.456-00042", 9.0);
  const Result r = Cli({"batch", unit, "--limit", "average_value_signal<=10", "--db", target_});
  EXPECT_EQ(r.code, ExitOk);
  // x̄ = 30.03/6 = 5.005, MR̄ = 0.14/5 = 0.028: limits 4.93052 .. 5.07948.
  EXPECT_THAT(r.err, HasSubstr("control: VRDT40-123.456-00042 average_value_signal 9 outside the control limits "
                               "4.93052 .. 5.07948 of type VRDT40-123.456 (6 results), within its limit\n"));
  const Result trend = Cli({"db", "trend", "average_value_signal", "--type", "VRDT40-123", "--db", target_});
  EXPECT_EQ(trend.code, ExitOk);
  const auto lines = Split(trend.out, '\n');
  ASSERT_EQ(lines.size(), 1 + 7 + 5 + 1u) << trend.out;
  EXPECT_EQ(lines[7], "2026-12-05T10:30:00\tVRDT40-123.456-00042\t9\tNAN\t°/h\tPASS\tbeyond the control limits, "
                      "moving range beyond its limit");
  EXPECT_THAT(Cli({"db", "trend", "average_value_signal", "--since", "2026-11-04", "--db", target_, "--json"}).out,
              ::testing::StartsWith("{\"figure\": \"average_value_signal\", \"points\": [{\"started\": \"2026-11-04T08:00:00\", "));
}

TEST_P(DbCli, ExportQuotesWhatCsvMustQuote) {
  auto store = Open();
  TStoredRun run = TestRun("VRDT40,\"x\"\n1", "2026-12-01T00:00:00", {{"n", 0.5}});
  store->Write(run);
  const Result r = Cli({"db", "export", "--db", target_});
  EXPECT_THAT(r.out, HasSubstr("\r\n\"VRDT40,\"\"x\"\"\n1\",\"VRDT40,\"\"x\"\"\n1\"," + run.Key + ",2026-12-01T00:00:00,"));
  EXPECT_THAT(r.out, HasSubstr(",n,0.5,,°/h,,\r\n"));
  EXPECT_EQ(Cli({"db", "export", "--csv", "--json", "--db", target_}).code, ExitUsage);
}

// A server that cannot be reached, then one that goes away in the middle
// of a batch: the results wait in the embedded file and reach the server,
// each once, with the next results stored there.
class DbServer : public StoreEngines {};
INSTANTIATE_TEST_SUITE_P(Engines, DbServer, ::testing::Values(TEngine::Postgres),
                         [](const auto&) { return std::string("Postgres"); });

TEST_P(DbServer, ResultsForAServerAwayAreQueuedAndSentOnce) {
  const std::string services = dir_.File("services");
  const auto service = [&](const std::string& host) {
    std::ofstream(services) << "[lab]\nhost=" << host << "\nuser=ratelog\ndbname=ratelog_test\noptions=-csearch_path="
                            << schema_ << "\n";
  };
  ::setenv("PGSERVICEFILE", services.c_str(), 1);
  service(dir_.File("nowhere"));
  std::vector<std::string> units;
  for (const char* name : {"u1.rtd", "u2.rtd", "kill.rtd", "u4.rtd", "u5.rtd", "u6.rtd"})
    units.push_back(TestRecording(dir_, name, "VRDT40-123.456-00042", 5.0));
  Result r = Cli({"batch", units[0], units[1], "--db", "service=lab"});
  EXPECT_EQ(r.code, ExitOk);
  EXPECT_THAT(r.err, HasSubstr("cannot reach the results server: "));
  EXPECT_THAT(r.err, HasSubstr("2 results queued in " + dir_.File("data/ratelog/results.sqlite")));

  service(server_.substr(5, server_.find(' ') - 5));
  Open();  // the schema, for the trigger
  auto admin = OpenPostgres(target_);
  admin->Query(
      "CREATE FUNCTION away() RETURNS trigger AS $$ BEGIN IF NEW.recording_path LIKE '%kill%' THEN"
      " PERFORM pg_terminate_backend(pg_backend_pid()); END IF; RETURN NEW; END $$ LANGUAGE plpgsql");
  admin->Query("CREATE TRIGGER away BEFORE INSERT ON run FOR EACH ROW EXECUTE FUNCTION away()");
  r = Cli({"batch", units[1], units[2], units[3], "--db", "service=lab"});
  EXPECT_THAT(r.err, HasSubstr("2 queued results sent to PostgreSQL database ratelog_test"));
  EXPECT_THAT(r.err, HasSubstr("1 result stored in"));
  EXPECT_THAT(r.err, HasSubstr("the connection to the server was lost"));
  EXPECT_THAT(r.err, HasSubstr("2 results queued in "));

  admin->Query("DROP TRIGGER away ON run");
  r = Cli({"db", "init", "--db", "service=lab"});
  EXPECT_THAT(r.err, HasSubstr("2 queued results sent to"));
  r = Cli({"batch", units[4], "--db", "service=lab"});
  r = Cli({"batch", units[5], "--db", "service=lab"});
  EXPECT_THAT(r.err, Not(HasSubstr("sent")));
  const auto runs = Open()->All();
  EXPECT_EQ(runs.size(), 7u);
  std::set<std::string> keys;
  for (const TStoredRun& run : runs) keys.insert(run.Key);
  EXPECT_EQ(keys.size(), 7u);
  ::unsetenv("PGSERVICEFILE");
}

TEST_P(DbCli, CalcAllanAndThermalStoreOnRequestWhatTheyPrinted) {
  const std::string a = TestRecording(dir_, "a.rtd", "VRDT40-123.456-00042", 5.0);
  EXPECT_EQ(Cli({"calc", a, "--db", target_}).err, "");  // not without --store
  EXPECT_THAT(Cli({"calc", a, "--store", "--sigma", "3", "--db", target_}).err, HasSubstr("1 result stored in"));
  for (const char* command : {"allan", "thermal"})
    EXPECT_THAT(Cli({command, a, "--store", "--db", target_}).err, HasSubstr("1 result stored in"));
  const std::string history = Cli({"db", "history", "VRDT40-123.456-00042", "--db", target_}).out;
  EXPECT_THAT(history, HasSubstr("Tests\t3\n"));
  EXPECT_THAT(history, HasSubstr("Command\tthermal\n"));
  EXPECT_THAT(history, HasSubstr("; Sigma=3; --sigma=3\n"));
  EXPECT_THAT(history, HasSubstr("Figure\tdrift_error\tNAN\tNAN\t°/h\n"));
}

#ifdef RATELOG_REPORT  // the PDF report is built with the window's libraries
// report --history: a trend page with this test judged against the type's
// stored results; a batch's summary marks the unit outside them.
TEST_P(DbCli, ReportHistoryPageAndTheBatchSummaryMarkAUnitOutsideTheControlLimits) {
  std::vector<std::string> batch = {"batch"};
  for (int i = 0; i < 6; ++i)
    batch.push_back(TestRecording(dir_, "t" + std::to_string(i) + ".rtd", ("VRDT40-123.456-0001" + std::to_string(i)).c_str(), 5 + 0.01 * (i % 2)));
  batch.insert(batch.end(), {"--db", target_});
  ASSERT_EQ(Cli(batch).code, ExitOk);
  const std::string odd = TestRecording(dir_, "odd.rtd", "VRDT40-123.456-00099", 9.0);
  const auto pdf = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--no-store", "--db", target_, "--out", dir_.File("r.pdf")});
    EXPECT_EQ(Cli(args).code, ExitOk);
    std::string text(1 << 20, '\0');
    FILE* p = ::popen(("pdftotext '" + dir_.File("r.pdf") + "' - 2>/dev/null").c_str(), "r");
    text.resize(std::fread(text.data(), 1, text.size(), p));
    ::pclose(p);
    return text;
  };
  const std::string page = pdf({"report", odd, "--history"});
  EXPECT_THAT(page, HasSubstr("Outside its type's control limits: average_value_signal"));
  EXPECT_THAT(page, HasSubstr("OUTSIDE the control limits"));
  EXPECT_EQ(Open()->All().size(), 6u);  // read, never written, with --no-store
  const std::string summary = pdf({"report", batch[1], odd});
  EXPECT_THAT(summary, HasSubstr("* Outside the control limits of the unit type (results store): 2: average_value_signal"));
  EXPECT_THAT(summary, Not(HasSubstr("Test history")));
}
#endif
