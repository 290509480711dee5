// The "History" window (Analysis menu): the results store's record of the
// loaded recording's unit. Its tests newest first with their verdicts, and
// for each figure a page with the unit's values over its tests and the
// control chart of its unit type (individuals, x̄ ± 2.66·MR̄) with this
// unit's results marked. The store is read beside the window; a store that
// cannot be read is a message, never a wait.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "store/UnitHistory.h"
#include "ui/BackgroundWork.h"

class QLabel;
class QMenu;
class QTabWidget;
class QTableWidget;

class THistoryFrm : public QDialog {
  Q_OBJECT
 public:
  explicit THistoryFrm(QWidget* parent = nullptr);

  // Set before each opening: the unit's identification as the recording
  // holds it, and the store (an SQLite file or a PostgreSQL connection
  // string; empty: RATELOG_DB, the store settings, else the default file).
  std::string Ident;
  std::string Target;

  // Shows the window and reads the unit's history beside it.
  void Execute();
  bool Busy() const { return work_.Running(); }

  TUnitHistory History;  // as last read
  QLabel* lab_unit;
  QLabel* lab_status;
  QTableWidget* ListTests;
  QTabWidget* Figures;  // one page per figure: trend plot and control chart
  // Called on the window's thread when a reading has ended (shown or failed).
  std::function<void()> OnFinished;

 private:
  void Read();
  void Show(const std::string& error);
  QWidget* FigurePage(const TFigureHistory& figure);

  TBackgroundWork work_;
  bool again_ = false;  // read again once the reading under way has ended
  TUnitHistory read_;   // filled by the work
  std::string error_;
};

// The "History" action (the main window adds it with `add`) and its
// window. `ident`: the loaded recording's identification (empty: none).
void InstallHistoryWindow(QWidget* mainWindow, const std::function<void(QAction*)>& add,
                          std::function<std::string()> ident);
