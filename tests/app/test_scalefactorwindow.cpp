// The "Scale factor" window on a rate-table recording of the virtual
// gyroscope's model: the Run menu entry, the work off the window's thread,
// a plateau left out and put back, a second computation.
#include <cstdlib>
#include <random>

#include <QAction>

#include "AppTest.h"
#include "sim/RateTable.h"
#include "ui/ScaleFactorFrm.h"

namespace {

class ScaleFactorWindow : public WindowTest {};

TEST_F(ScaleFactorWindow, PlateausFiguresAndALeftOutPlateau) {
  // The built-in staircase (6 s plateaus) at 10 Hz read with K 1.0004 and
  // 60 ppm asymmetry, white noise 0.001 deg/s.
  TRateTable table;
  table.K = 1.0004;
  table.AsymmetryPpm = 60;
  table.SetSteps(BuiltInStaircase(6));
  std::mt19937 rng(3);
  std::normal_distribution<double> g(0, 0.001);
  Records r;
  for (int i = 1; i / 10.0 < table.Knots.back().first; ++i)
    r.push_back({i / 10.0f, static_cast<float>(table.Output(table.RateAt(i / 10.0), 25) + g(rng)), 25});
  ASSERT_TRUE(Open(r));
  auto* action = w->findChild<QAction*>(QStringLiteral("ac_scalefactor"));
  auto* frm = w->findChild<TScaleFactorFrm*>();
  ASSERT_TRUE(action && frm);
  ASSERT_TRUE(action->isEnabled());
  int finished = 0;
  frm->OnFinished = [&] { ++finished; };
  action->trigger();
  ASSERT_TRUE(RunUntil([&] { return finished == 1; }));
  ASSERT_TRUE(frm->Result.Valid) << frm->Result.Message;
  ASSERT_EQ(frm->ListPlateaus->rowCount(), 18);
  EXPECT_NEAR(frm->Result.K, 1.0004, 4 * frm->Result.KSe);
  EXPECT_NEAR(frm->Result.AsymmetryPpm, 60, 4 * frm->Result.AsymmetrySe);
  EXPECT_EQ(frm->PlotResidual->graph(0)->data()->size(), 18);
  // Each plateau a marker at a time the table turns at the rate of its note.
  ASSERT_EQ(w->AutoMarkers[TMainFrm::PlateauMarkers].size(), 18u);
  for (const TMarker& m : w->AutoMarkers[TMainFrm::PlateauMarkers])
    EXPECT_EQ(m.Note, "plateau " + QString::number(table.RateAt(m.Time), 'g', 6).toStdString() + " \u00B0/s")
        << m.Time;
  if (const char* dir = std::getenv("RATELOG_SCREENSHOT_DIR"))
    frm->grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/scalefactor.png"));

  // +200 deg/s left out: 17 plateaus in the figures, 17 residuals drawn.
  frm->ListPlateaus->item(15, 0)->setCheckState(Qt::Unchecked);
  EXPECT_FALSE(frm->Result.Plateaus[15].Used);
  EXPECT_EQ(frm->PlotResidual->graph(0)->data()->size(), 17);
  EXPECT_EQ(frm->PlotRate->graph(2)->data()->size(), 3);  // one segment and its gap
  if (const char* dir = std::getenv("RATELOG_SCREENSHOT_DIR"))
    frm->grab().save(QString::fromLocal8Bit(dir) + QStringLiteral("/scalefactor-dropped.png"));
  // With the rates given, a second computation snaps to them; the plateau
  // is back.
  frm->e_rates->setText(QStringLiteral("0 1 -1 2 -2 5 -5 10 -10 20 -20 50 -50 100 -100 200 -200"));
  frm->but_apply->click();
  ASSERT_TRUE(RunUntil([&] { return finished == 2; }));
  EXPECT_TRUE(frm->Result.Plateaus[15].Used);
  EXPECT_EQ(frm->ListPlateaus->rowCount(), 18);
  EXPECT_EQ(w->AutoMarkers[TMainFrm::PlateauMarkers].size(), 18u);  // in place of the first
  frm->close();
}

}  // namespace
