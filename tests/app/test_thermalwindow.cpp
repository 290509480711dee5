// Temperature sensitivity window and warm-up marker on recordings with
// known coefficients: the span the chart shows, the work off the window's
// thread, the branches, the compensated rate on the main chart.
#include <cmath>
#include <filesystem>
#include <random>

#include "AppTest.h"
#include "ui/ThermalFrm.h"

namespace {

class ThermalWindow : public WindowTest {
 protected:
  // -10 -> +50 -> -10 deg C at 6 deg C/min (20 min), 10 Hz; bias
  // 3 + 0.05 T + 0.002 T^2 + 0.5 dT/dt deg/h, white noise 1 deg/h.
  Records Chamber() {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> g(0, 1);
    Records r;
    for (int i = 1; i <= 12000; ++i) {
      const double t = i / 10.0, T = t < 600 ? -10 + t / 10 : 50 - (t - 600) / 10;
      const double bias = 3 + 0.05 * T + 0.002 * T * T + 0.5 * (t < 600 ? 6 : -6) + g(rng);
      r.push_back({static_cast<float>(t), static_cast<float>(bias / 3600), static_cast<float>(T)});
    }
    return r;
  }
  QString Cell(int row, int column) const {
    const QTableWidgetItem* item = frm()->ListCoefficients->item(row, column);
    return item ? item->text() : QString();
  }
  double Value(const QString& name) const {
    for (int row = 0; row < frm()->ListCoefficients->rowCount(); ++row)
      if (Cell(row, 0) == name) return QLocale().toDouble(Cell(row, 1));
    return NAN;
  }
  TThermalFrm* frm() const { return forms->ThermalFrm.get(); }
  QCPGraph* Compensated() const {
    for (int i = 0; i < w->Chart1->graphCount(); ++i)
      if (w->Chart1->graph(i)->objectName() == QStringLiteral("SeriesCompensated")) return w->Chart1->graph(i);
    return nullptr;
  }
};

TEST_F(ThermalWindow, ChamberCycleBranchesModelAndCompensatedRate) {
  ASSERT_TRUE(Open(Chamber()));
  EXPECT_TRUE(w->ac_thermal->isEnabled());
  // The span is the chart's visible range.
  w->Chart->SetRange(TRateChart::Bottom, 100, 1100);
  int finished = 0;
  frm()->OnFinished = [&] { ++finished; };
  w->ac_thermalExecute();
  EXPECT_TRUE(frm()->isVisible());
  EXPECT_EQ(frm()->Begin, 100);
  EXPECT_EQ(frm()->End, 1100);
  // The window's thread stays free while the work runs: its events flow.
  ASSERT_TRUE(RunUntil([&] { return finished == 1; }));
  EXPECT_NEAR(Value("b1"), 0.05, 0.005);
  EXPECT_NEAR(Value("b2"), 0.002, 0.0001);
  EXPECT_NEAR(Value("c"), 0.5, 0.02);
  EXPECT_NEAR(Value("T min"), 0, 0.02);
  EXPECT_NEAR(Value("T max"), 50, 0.02);
  EXPECT_GT(frm()->PlotThermal->graph(0)->data()->size(), 40);  // heating
  EXPECT_GT(frm()->PlotThermal->graph(1)->data()->size(), 40);  // cooling
  EXPECT_GT(frm()->PlotThermal->graph(3)->data()->size(), 100); // model curve

  // The compensated rate on the main chart (deg/h): the temperature
  // dependence gone, the noise left.
  ASSERT_TRUE(frm()->ch_compensated->isEnabled());
  frm()->ch_compensated->click();
  QCPGraph* comp = Compensated();
  ASSERT_NE(comp, nullptr);
  ASSERT_EQ(comp->data()->size(), 10001);
  ASSERT_TRUE(w->Chart1->legend->visible());
  EXPECT_TRUE(w->Chart1->legend->hasItemWithPlottable(comp));
  // (Away from the instant reversal at 600 s, where dT/dt is smeared over
  // the span of its fit.)
  long double sum = 0, squares = 0;
  int n = 0;
  for (auto it = comp->data()->constBegin(); it != comp->data()->constEnd(); ++it) {
    if (std::fabs(it->key - 600) < 30) continue;
    sum += it->value;
    squares += it->value * it->value;
    ++n;
  }
  const double mean = static_cast<double>(sum / n);
  EXPECT_NEAR(std::sqrt(static_cast<double>(squares / n) - mean * mean), 1.0, 0.05);
  // Order 1 without the rate term on a narrower span: a new fit.
  frm()->e_order->setValue(1);
  frm()->ch_rate_term->setChecked(false);
  frm()->e_beg_time->setText(QStringLiteral("200"));
  frm()->but_applyClick();
  ASSERT_TRUE(RunUntil([&] { return finished == 2; }));
  EXPECT_TRUE(std::isnan(frm()->Result.C) && frm()->Result.Order == 1 && frm()->Result.Valid);
  EXPECT_EQ(frm()->Begin, 200);
  frm()->accept();
  // Another recording clears what the analysis drew.
  ASSERT_TRUE(Open(Chamber(), "other.rtd"));
  EXPECT_EQ(Compensated(), nullptr);
  EXPECT_FALSE(w->Chart1->legend->visible());
}

TEST_F(ThermalWindow, TooLittleTemperatureChangeSaysWhy) {
  ASSERT_TRUE(Open(Ramp(1, 3000, 0.1f, [](int) { return 0.001f; })));  // 25 deg C throughout
  bool done = false;
  frm()->OnFinished = [&] { done = true; };
  w->ac_thermalExecute();
  ASSERT_TRUE(RunUntil([&] { return done; }));
  EXPECT_TRUE(frm()->lab_status->text().contains(QStringLiteral("less than 1"))) << frm()->lab_status->text().toStdString();
  EXPECT_TRUE(std::isnan(Value("b1")));
  EXPECT_FALSE(frm()->ch_compensated->isEnabled());
  frm()->reject();
}

TEST_F(ThermalWindow, WarmupMarkerFromTheViewMenu) {
  // 7 + 3 e^(-t/300) deg/h: within 0.1 of 7 from 300 ln 30 = 1020 s.
  Records r;
  for (int i = 1; i <= 36000; ++i) {
    const double t = i / 10.0;
    r.push_back({static_cast<float>(t), static_cast<float>((7 + 3 * std::exp(-t / 300)) / 3600), 25});
  }
  ASSERT_TRUE(Open(r));
  w->ac_warmup->trigger();
  EXPECT_TRUE(w->ac_warmup->isChecked());
  QCPAbstractItem *marker = nullptr, *fitted = nullptr;
  const auto find = [&] {
    marker = fitted = nullptr;
    for (int i = 0; i < w->Chart1->itemCount(); ++i) {
      if (w->Chart1->item(i)->objectName() == QStringLiteral("WarmupMarker")) marker = w->Chart1->item(i);
      if (w->Chart1->item(i)->objectName() == QStringLiteral("WarmupFitMarker")) fitted = w->Chart1->item(i);
    }
    return marker != nullptr;
  };
  ASSERT_TRUE(RunUntil(find));
  // The moving average lags by up to its window (100 s); the fit does not.
  const double at = static_cast<QCPItemStraightLine*>(marker)->point1->coords().x();
  EXPECT_GE(at, 300 * std::log(30.0));
  EXPECT_LE(at, 300 * std::log(30.0) + 100);
  EXPECT_NEAR(fitted ? static_cast<QCPItemStraightLine*>(fitted)->point1->coords().x() : 0, 300 * std::log(30.0), 5);
  w->ac_warmup->trigger();  // unchecked: gone
  EXPECT_FALSE(find());
  EXPECT_EQ(fitted, nullptr);
}

// Soaks: automatic markers, listed, never removed or saved, gone with the recording.
TEST_F(ThermalWindow, SoaksBecomeAutomaticMarkers) {
  Records r;  // 0 deg C for 1000 s, up at 4 deg C/min, 40 deg C from 1600 s to 2600 s
  for (float t = 0.1f, T = 0; t <= 2600; t += 0.1f, T = t < 1000 ? 0 : t < 1600 ? (t - 1000) / 15 : 40)
    r.push_back({t, (3 + 0.05f * T) / 3600, T});
  ASSERT_TRUE(Open(r));
  bool done = false;
  frm()->OnFinished = [&] { done = true; };
  w->ac_thermalExecute();
  ASSERT_TRUE(RunUntil([&] { return done; }));
  frm()->accept();
  w->ac_markersExecute();
  auto* table = w->MarkersList->findChild<QTableWidget*>(QStringLiteral("MarkersTable"));
  table->setCurrentCell(1, 0);
  w->MarkersList->findChild<QPushButton*>(QStringLiteral("BtnRemoveMarker"))->click();
  ASSERT_EQ(table->rowCount(), 2);
  EXPECT_LT(std::fabs(table->item(1, 0)->data(Qt::UserRole).toDouble() - 1600), 100);
  EXPECT_EQ(table->item(1, 1)->text() + table->item(1, 2)->text(), QStringLiteral("soak 40.0 \u00B0Cautomatic"));
  EXPECT_FALSE(std::filesystem::exists(MarkersPath(dir.File("rec.rtd"))));
  ASSERT_TRUE(Open(r, "other.rtd"));
  EXPECT_EQ(table->rowCount(), 0);
}

}  // namespace
