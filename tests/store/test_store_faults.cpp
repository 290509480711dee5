// The embedded store under faults, with the real program: killed in the
// middle of an import, at a file-size limit, and on a full file system. Each time the store opens
// consistent, every run whole, and the import completes when run again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sys/stat.h>

#include "StoreEngines.h"
#include "common/FileSizeLimit.h"

using ::testing::HasSubstr;

namespace {

struct TStoreState {
  std::string Integrity;
  long Runs = 0, Partial = 0;  // runs, and runs with fewer figures than the most
};

TStoreState StateOf(const std::string& path) {
  auto db = OpenSqlite(path);
  return {db->Query("PRAGMA integrity_check").at(0).at(0).value_or(""),
          std::stol(*db->Query("SELECT count(*) FROM run").at(0).at(0)),
          std::stol(*db->Query("SELECT count(*) FROM (SELECT run_id, count(*) AS n FROM figure GROUP BY run_id) c"
                               " WHERE c.n < (SELECT max(n) FROM (SELECT count(*) AS n FROM figure GROUP BY run_id) m)")
                         .at(0).at(0))};
}

class StoreFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ::mkdir(dir_.File("rec").c_str(), 0700);
    for (int i = 0; i < kUnits; ++i)
      TestRecording(dir_, "rec/u" + std::to_string(100 + i) + ".rtd",
                    ("VRDT40-123.456-" + std::to_string(10000 + i)).c_str(), 5.0 + 0.01 * i);
  }
  TProgramRun Import(rlim_t limit, const std::function<void(pid_t)>& watch = {}) {
    return RunWithFileSizeLimit(limit, BuiltProgram("ratelog-cli"), {"db", "import", dir_.File("rec"), "--db", store_},
                                {"XDG_DATA_HOME=" + dir_.File("data")}, watch);
  }
  static constexpr int kUnits = 60;
  TTempDir dir_;
  std::string store_ = dir_.File("results.sqlite");
};

}  // namespace

TEST_F(StoreFaults, KilledDuringAnImportTheStoreOpensConsistentAndTheImportCompletes) {
  bool killed = false;
  const TProgramRun run = Import(RLIM_INFINITY, [&](pid_t pid) {
    struct stat st {};
    if (killed || ::stat(store_.c_str(), &st) != 0) return;
    try {
      if (std::stol(*OpenSqlite(store_)->Query("SELECT count(*) FROM run").at(0).at(0)) >= 3) {
        ::kill(pid, SIGKILL);
        killed = true;
      }
    } catch (const TStoreError&) {  // the schema not made yet
    }
  });
  ASSERT_EQ(run.Signal, SIGKILL) << run.Out;
  const TStoreState after = StateOf(store_);
  EXPECT_EQ(after.Integrity, "ok");
  EXPECT_EQ(after.Partial, 0);
  EXPECT_LT(after.Runs, kUnits);

  const TProgramRun again = Import(RLIM_INFINITY);
  EXPECT_EQ(again.Code, 0) << again.Err;
  EXPECT_THAT(again.Out, HasSubstr("Stored\t" + std::to_string(kUnits - after.Runs) + "\nAlready stored\t" +
                                   std::to_string(after.Runs) + "\n"));
  EXPECT_EQ(StateOf(store_).Runs, kUnits);
}

TEST_F(StoreFaults, AtAFileSizeLimitAClearErrorAndTheStoreIntact) {
  ASSERT_EQ(RunWithFileSizeLimit(RLIM_INFINITY, BuiltProgram("ratelog-cli"), {"db", "init", "--db", store_}).Code, 0);
  struct stat st {};
  ::stat(store_.c_str(), &st);
  const TProgramRun full = Import(static_cast<rlim_t>(st.st_size) + 8192);
  EXPECT_TRUE(full.Exited);
  EXPECT_EQ(full.Code, 1);
  EXPECT_THAT(full.Err, HasSubstr("ratelog-cli: cannot store the results: results store " + store_ +
                                  ": cannot write: the file reached its size limit\n"));
  const TStoreState after = StateOf(store_);
  EXPECT_EQ(after.Integrity, "ok");
  EXPECT_EQ(after.Partial, 0);
  EXPECT_GT(after.Runs, 0);
  EXPECT_LT(after.Runs, kUnits);
  EXPECT_EQ(Import(RLIM_INFINITY).Code, 0);
  EXPECT_EQ(StateOf(store_).Runs, kUnits);
}

// A real full file system: a small tmpfs, all but 48 KiB of it taken by a
// filler. Needs the right to mount (root, as in CI); skipped elsewhere.
TEST_F(StoreFaults, OnAFullDiskAClearErrorTheStoreIntactAndTheReportMade) {
  const std::string disk = dir_.File("disk"), store = disk + "/results.sqlite", filler = disk + "/filler";
  ::mkdir(disk.c_str(), 0700);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=2m,mode=0700") != 0)
    GTEST_SKIP() << "no small file system can be made here (mount tmpfs: " << std::strerror(errno) << ")";
  const std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount2(disk.c_str(), MNT_DETACH); });
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--db", store});
    return RunWithFileSizeLimit(RLIM_INFINITY, BuiltProgram("ratelog-cli"), args, {"XDG_DATA_HOME=" + dir_.File("data")});
  };
  ASSERT_EQ(run({"db", "init"}).Code, 0);
  struct statvfs fs {};
  ASSERT_EQ(::statvfs(disk.c_str(), &fs), 0);
  std::ofstream(filler, std::ios::binary) << std::string(fs.f_bavail * fs.f_frsize - 48 * 1024, '\0');
  const TProgramRun full = run({"db", "import", dir_.File("rec")});
  EXPECT_EQ(full.Code, 1) << full.Out;
  EXPECT_THAT(full.Err, HasSubstr("ratelog-cli: cannot store the results: results store " + store +
                                  ": cannot write: the disk is full\n"));
  const TStoreState after = StateOf(store);
  EXPECT_EQ(after.Integrity, "ok");
  EXPECT_EQ(after.Partial, 0);
  EXPECT_LT(after.Runs, kUnits);
#ifdef RATELOG_REPORT  // the PDF report is built with the window's libraries
  // A report on it is made, with its own verdict; the store's problem said.
  const TProgramRun report = run({"report", dir_.File("rec/u100.rtd"), "--limit", "average_value_signal<=10", "--out", dir_.File("u.pdf")});
  EXPECT_EQ(report.Code, 0) << report.Err;
  EXPECT_THAT(report.Out, HasSubstr("Verdict\tPASS\n"));
  EXPECT_THAT(report.Err, HasSubstr("the disk is full"));
#endif
  ::unlink(filler.c_str());
  EXPECT_EQ(run({"db", "import", dir_.File("rec")}).Code, 0);
  EXPECT_EQ(StateOf(store).Runs, kUnits);
}
