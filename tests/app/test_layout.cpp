// The window's layout at its opening size and at its smallest size: nothing
// cut off or overlapping. With RATELOG_SCREENSHOTS=<folder> the window is
// also saved there as PNG files.
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QToolBar>
#include <QTabWidget>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "TestFiles.h"
#include "app/Forms.h"
#include "ui/ScriptedDialogs.h"

namespace {

void Save(QWidget* widget, const char* name) {
  const QByteArray folder = qgetenv("RATELOG_SCREENSHOTS");
  if (folder.isEmpty()) return;
  widget->grab().save(QString::fromLocal8Bit(folder) + "/" + name + ".png");
}

// Every visible child of `w` lies inside w's rectangle.
void ExpectInside(QWidget* w) {
  for (QWidget* child : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!child->isVisible()) continue;
    EXPECT_TRUE(w->rect().contains(child->geometry()))
        << child->objectName().toStdString() << " outside " << w->objectName().toStdString();
  }
}

class Layout : public ::testing::TestWithParam<QSize> {};

TEST_P(Layout, NothingCutOffOrOverlapping) {
  TTempDir dir;
  TScriptedDialogs dialogs;
  auto forms = CreateForms(dir.File("Ratelog.ini"));
  TMainFrm* w = forms->MainFrm.get();
  w->show();
  w->resize(GetParam());
  WaitFor([] { return false; }, 100);

  const QRect chart = w->Chart1->geometry();
  const QRect side = w->panel_ctrl_info->geometry();
  EXPECT_FALSE(chart.intersects(side));
  EXPECT_GT(chart.height(), 400);
  EXPECT_GE(side.left() - chart.right(), 5);
  EXPECT_TRUE(w->centralWidget()->rect().contains(side));
  ExpectInside(w->panel_ctrl_info);
  for (QGroupBox* panel : {w->panel_basic_info, w->panel_supp_info, w->panel_control,
                           w->panel_scale}) {
    EXPECT_GE(panel->height(), panel->minimumSizeHint().height())
        << panel->objectName().toStdString();
    ExpectInside(panel);
  }
  // Every tool button of the top bar is on the bar, none in an overflow menu.
  for (QAction* action : w->ToolBar1->actions()) {
    QWidget* button = w->ToolBar1->widgetForAction(action);
    if (!button || !action->isVisible()) continue;
    EXPECT_TRUE(button->isVisible()) << action->text().toStdString();
  }
  const QString name = QString("mainform-%1x%2").arg(GetParam().width()).arg(GetParam().height());
  Save(w, name.toLatin1().constData());

  forms->OptionForm->show();
  for (int page = 0; page < forms->OptionForm->PageControl1->count(); ++page) {
    forms->OptionForm->PageControl1->setCurrentIndex(page);
    WaitFor([] { return false; }, 30);
    QWidget* shown = forms->OptionForm->PageControl1->currentWidget();
    for (QWidget* child : shown->findChildren<QWidget*>()) {
      if (!child->isVisible() || child->parentWidget() != shown) continue;
      EXPECT_TRUE(shown->rect().contains(child->geometry()))
          << child->objectName().toStdString();
      EXPECT_GE(child->height(), child->minimumSizeHint().height())
          << child->objectName().toStdString();
    }
    Save(forms->OptionForm.get(), QString("settings-%1").arg(page).toLatin1().constData());
  }
  forms->AboutFrm->show();
  Save(forms->AboutFrm.get(), "about");
}

INSTANTIATE_TEST_SUITE_P(Sizes, Layout, ::testing::Values(QSize(850, 621), QSize(800, 640)));

}  // namespace
