// The "Scale factor" window: the rate-table test on the open recording. The
// rate against time with the plateaus found (or those of a profile), the
// residuals from the fitted line in ppm against rate, the plateau table
// (untick a plateau to leave it out) and the figures with their standard
// errors and definitions. Reading and plateau detection run off the
// window's thread and can be cancelled.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "processing/ScaleFactor.h"
#include "ui/ThermalFrm.h"

class QAction;
class QCustomPlot;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;

class TScaleFactorFrm : public QDialog {
  Q_OBJECT
 public:
  explicit TScaleFactorFrm(QWidget* parent = nullptr);
  ~TScaleFactorFrm() override;

  // Set before each opening.
  std::string RecordingPath;
  double VerticalEarthRate = 0;  // deg/h, the settings' value

  QLineEdit* e_guard;
  QLineEdit* e_rates;
  QLineEdit* e_profile;
  QLineEdit* e_latitude;
  QPushButton* but_apply;
  QPushButton* but_cancel;
  QLabel* lab_status;
  QCustomPlot* PlotRate;
  QCustomPlot* PlotResidual;
  QTableWidget* ListPlateaus;
  QTableWidget* ListFigures;
  QPushButton* BtnClose;

  TScaleFactorResult Result;

  // Opens the window (window-modal, no event loop of its own) and starts.
  void Execute();
  bool Busy() const { return job_.Busy(); }
  std::function<void()> OnFinished;  // the computation handed back (tests)
  // The plateaus found in the recording (for the chart's markers).
  std::function<void(const std::vector<TPlateau>&)> OnPlateaus;

 private:
  void Start();
  void Finished(std::shared_ptr<std::vector<TPlateau>> plateaus, std::shared_ptr<std::vector<double>> times,
                std::shared_ptr<std::vector<double>> rates, const QString& message);
  void Recompute();
  void ShowResult();
  bool ReadSite(TSite& site);

  TBackgroundJob job_;
  std::vector<TPlateau> plateaus_;
  QString source_;
  bool filling_ = false;
};

// Adds "Scale factor" to `menu` after `after`, enabled with `enabledWith`;
// it opens the window on the recording `recording()` names (nothing when
// it gives an empty path). `earthRate()` gives the settings' vertical Earth
// rate. `plateaus`: told the plateaus each computation finds.
void InstallScaleFactorWindow(QWidget* mainWindow, QMenu* menu, QAction* after, QAction* enabledWith,
                              std::function<std::string()> recording, std::function<double()> earthRate,
                              std::function<void(const std::vector<TPlateau>&)> plateaus = {});
