// The History window on the loaded recording's unit: read beside the window,
// shown newest first with the control chart's verdict; opened a second time;
// a store that cannot be read is a message, a missing one is no store made.
#include <sys/stat.h>

#include "AppTest.h"
#include "store/StoreEngines.h"
#include "ui/HistoryFrm.h"

namespace {

class HistoryWindow : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    ASSERT_TRUE(Open(Ramp(0, 200, 0.1f, [](int) { return 0.001f; })));
    action = w->findChild<QAction*>(QStringLiteral("ac_history"));
    frm = w->findChild<THistoryFrm*>(QStringLiteral("HistoryFrm"));
    frm->OnFinished = [this] { ++finished; };
  }
  void TearDown() override { ::unsetenv("RATELOG_DB"), WindowTest::TearDown(); }
  // Triggers the action and waits for the reading it starts.
  bool OpenHistory() {
    const int before = finished;
    action->trigger();
    // The window is up before the store is read.
    EXPECT_TRUE(frm->isVisible());
    return RunUntil([&] { return finished > before; });
  }
  QString Cell(int row, int column) const {
    const QTableWidgetItem* item = frm->ListTests->item(row, column);
    return item ? item->text() : QString();
  }
  QAction* action = nullptr;
  THistoryFrm* frm = nullptr;
  int finished = 0;
};

TEST_F(HistoryWindow, TheUnitsTestsNewestFirstAndItsControlChartTwice) {
  const std::string ident = w->OpenFile.Info.Ident, path = dir.File("results.sqlite");
  {
    auto store = OpenResultsStore(path);
    for (int i = 0; i < 6; ++i)
      store->Write(TestRun("VRDT40-123.456-0000" + std::to_string(i), "2026-01-0" + std::to_string(i + 1) + "T10:00:00",
                           {{"n", 1.0 + i % 2}}));
    TStoredRun failed = TestRun(ident, "2026-01-07T10:00:00", {{"n", 1.5}}), passed = TestRun(ident, "2026-01-08T10:00:00", {{"n", 5}});
    failed.Verdict = "FAIL";
    failed.Station = "bench 2";
    passed.Verdict = "PASS";
    store->WriteAll({failed, passed});
  }
  ::setenv("RATELOG_DB", path.c_str(), 1);
  ASSERT_TRUE(action->isEnabled());
  for (int opening = 1; opening <= 2; ++opening) {
    ASSERT_TRUE(OpenHistory()) << opening;
    ASSERT_EQ(frm->ListTests->rowCount(), 2);
    EXPECT_EQ(Cell(0, 0), QStringLiteral("2026-01-08T10:00:00"));
    EXPECT_EQ(Cell(0, 1), QStringLiteral("PASS"));
    EXPECT_EQ(Cell(1, 1), QStringLiteral("FAIL"));
    EXPECT_EQ(Cell(1, 3), QStringLiteral("bench 2"));
    EXPECT_EQ(frm->lab_status->text(),
              QStringLiteral("2 tests, 1 failed. Newest test outside the control limits of the unit type: n"));
    ASSERT_EQ(frm->Figures->count(), 1);  // one page per figure, not one more per opening
    const QWidget* page = frm->Figures->widget(0);
    const auto* control = page->findChild<QCustomPlot*>(QStringLiteral("PlotControl"));
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(SeriesSize(control->graph(1)), 1);  // this unit's earlier result, marked
    EXPECT_TRUE(page->findChild<QLabel*>(QStringLiteral("lab_control"))
                    ->text()
                    .contains(QStringLiteral("This test: 5, outside the control limits.")));
  }
  EXPECT_EQ(dialogs.CountOf(TKind::Message), 0);
}

TEST_F(HistoryWindow, AStoreThatCannotBeReadIsAMessageAndAMissingOneIsNotMade) {
  // A server on a socket nobody listens on.
  ::setenv("RATELOG_DB", ("host=" + dir.File("nowhere") + " dbname=ratelog").c_str(), 1);
  for (int opening = 1; opening <= 2; ++opening) {
    ASSERT_TRUE(OpenHistory());
    ASSERT_EQ(dialogs.CountOf(TKind::Message), opening);
    EXPECT_TRUE(Messages().back().startsWith(QStringLiteral("The results store cannot be read:\n")));
    EXPECT_EQ(dialogs.Calls.back().Caption, QStringLiteral("Message"));
    EXPECT_EQ(frm->ListTests->rowCount(), 0);
  }
  const std::string missing = dir.File("none.sqlite");
  ::setenv("RATELOG_DB", missing.c_str(), 1);
  ASSERT_TRUE(OpenHistory());
  EXPECT_EQ(frm->lab_status->text(), QStringLiteral("No results are stored yet (no results store at ") + Q(missing) +
                                         QStringLiteral(")."));
  struct stat st {};
  EXPECT_NE(::stat(missing.c_str(), &st), 0);
  EXPECT_EQ(dialogs.CountOf(TKind::Message), 2);
}

}  // namespace
