// The main window: first start, settings applied and saved, panels, closing
// during a run, the settings dialog's hand-over.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSlider>
#include <QStyle>
#include <QTabBar>
#include <QLineEdit>
#include <QPushButton>
#include <sys/stat.h>
#include <QTimer>
#include <QToolBar>
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include "TestFiles.h"
#include "acquisition/Protocol.h"
#include "app/Forms.h"
#include "files/Recording.h"
#include "sim/DeviceModel.h"
#include "ui/ScriptedDialogs.h"

namespace {

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  void TearDown() override { forms.reset(); }

  void Open() {
    forms = CreateForms(SettingsPath());
    w = forms->MainFrm.get();
    w->show();
  }
  void Reopen() {
    forms.reset();
    Open();
  }
  std::string SettingsPath() const { return dir.File("Ratelog.ini"); }
  TOptionProgramm Stored() const { return TOptionProgramm(SettingsPath()); }

  TTempDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForms> forms;
  TMainFrm* w = nullptr;
};

TEST_F(MainWindow, FirstStartShowsTheDefaultsAndWritesTheFile) {
  EXPECT_EQ(ReadBytes(SettingsPath()).size(), 149u);
  EXPECT_EQ(w->windowTitle(), "Ratelog");
  EXPECT_EQ(w->change_port->currentText(), "COM1");
  EXPECT_EQ(w->XComm1.GetDeviceName(), "COM1");
  EXPECT_EQ(w->change_sam->currentIndex(), 2);  // the form's item 1 replaced
  EXPECT_EQ(w->Settings.Sample, 10);
  EXPECT_EQ(w->e_max->text(), "30,000000");
  EXPECT_EQ(w->e_min->text(), "-30,000000");
  EXPECT_EQ(w->e_mean->text(), "50");
  EXPECT_EQ(w->TrDisplay->value(), 10);
  EXPECT_EQ(w->lab_display->text(), "Display, 10 sec");
  EXPECT_EQ(w->MMTimer1.GetDelay(), 100u);
  EXPECT_FALSE(w->MMTimer1.GetEnabled());
  EXPECT_EQ(w->PointStep, 1);
  EXPECT_EQ(w->LabelStep, 0);
  for (QGroupBox* panel : {w->panel_basic_info, w->panel_supp_info, w->panel_control,
                           w->panel_scale})
    EXPECT_TRUE(panel->isVisible()) << panel->objectName().toStdString();
  EXPECT_TRUE(w->panel_ctrl_info->isVisible());
  EXPECT_FALSE(w->ch_signal->isChecked());
  EXPECT_FALSE(w->Series1->visible());
  EXPECT_FALSE(w->Series2->visible());
  EXPECT_EQ(w->lab_sig->text(), "0,00000");
  EXPECT_EQ(w->l_minrms->text(), "0,00000");
  EXPECT_EQ(w->lab_temp->text(), "0,00");
  EXPECT_EQ(w->LabFreqFrame->text(), "0,00");
  EXPECT_EQ(w->LabIDN->text(), "VRDT40-000.000-00000");
  EXPECT_FALSE(w->LabIDN->isVisible());
  EXPECT_FALSE(w->ch_temp->isVisible());
  EXPECT_FALSE(w->CGauge1->isVisible());
}

TEST_F(MainWindow, SizesAndNames) {
  EXPECT_EQ(w->width(), 850);
  // The smallest outer size, frame included, is 800 x 640.
  EXPECT_EQ(w->minimumSize() + (w->frameGeometry().size() - w->size()), QSize(800, 640));
  EXPECT_EQ(w->centralWidget()->height() + w->ToolBar1->height() >= 597, true);
  // Every named control can be found by its name.
  for (const char* name : {"Chart1", "panel_ctrl_info", "panel_basic_info", "BtnDim", "lab_sig",
                           "l_rms", "lab_minrms", "lab_frame", "LabIDN", "ch_temp", "TrDisplay",
                           "e_mean", "BtnApMean", "TabCtrl", "e_max", "e_min", "BtnApply",
                           "BtnAuto", "LabMax", "LabMin", "change_port", "change_sam", "CGauge1",
                           "ToolBar1", "ToolBar2"})
    EXPECT_NE(w->findChild<QWidget*>(name), nullptr) << name;
  EXPECT_EQ(w->Chart1->xAxis->label(), "Time, second");
  EXPECT_EQ(w->Chart1->yAxis->label(), "Rate, °/h");
  EXPECT_EQ(w->Chart1->yAxis2->label(), "Temperature, °C");
  EXPECT_FALSE(w->Chart1->yAxis2->visible());
  EXPECT_EQ(w->Series1->pen().color(), QColor(Qt::red));
  EXPECT_EQ(w->Series2->pen().color(), QColor(Qt::blue));
  EXPECT_EQ(w->Series3->valueAxis(), w->Chart1->yAxis2);
}

TEST_F(MainWindow, ActionsMenuAndToolBars) {
  struct {
    QAction* action;
    const char* caption;
    const char* hint;
    const char* category;
    bool enabled;
  } const expected[] = {
      {w->ac_open, "Open", "Open file", "File", true},
      {w->ac_print, "Print", "Print file", "File", false},
      {w->ac_export, "Export", "Export file", "File", false},
      {w->ac_exit, "Exit", "Close program", "File", true},
      {w->ac_start, "Start", "Start", "work", true},
      {w->ac_stop, "Stop", "Stop", "work", false},
      {w->ac_option, "Settings", "Settings program", "Options", true},
      {w->ac_calc, "Calculation", "Calculation basic parameters", "work", false},
      {w->ac_about, "About!", "About!", "About", true},
      {w->ac_shell, "Shell program", "Shell program", "File", true},
      {w->ac_saveserver, "Save to server", "Save file server", "File", false},
      {w->ac_basic_info, "Information", "Hide/Show panel \"Information\"", "View", true},
      {w->ac_scale, "Scale", "Hide/Show panel \"Scale\"", "View", true},
      {w->ac_hide_all, "Hide all panel", "Hide all panel", "View", true},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.caption);
    EXPECT_EQ(e.action->text(), e.caption);
    // The tooltip is the hint, with the shortcut where the action has one.
    const QString key = e.action->shortcut().toString(QKeySequence::NativeText);
    EXPECT_EQ(e.action->toolTip(),
              key.isEmpty() ? QString(e.hint) : QStringLiteral("%1 (%2)").arg(e.hint, key));
    EXPECT_EQ(e.action->property("category").toString(), e.category);
    EXPECT_EQ(e.action->isEnabled(), e.enabled);
  }
  // Info file and Save to server are there, hidden and disabled.
  EXPECT_FALSE(w->ac_file_info->isVisible());
  EXPECT_FALSE(w->ac_saveserver->isVisible());
  EXPECT_FALSE(w->ac_file_info->isEnabled());
  EXPECT_EQ(w->findChild<QAction*>("ac_file_info"), w->ac_file_info);

  QStringList menus;
  for (QAction* menu : w->MainMenu1->actions()) menus << QString(menu->text()).remove('&');
  EXPECT_EQ(menus, QStringList({"File", "View", "Run", "Option", "Help"}));
  QStringList file;
  for (QAction* item : w->MainMenu1->actions().front()->menu()->actions())
    file << (item->isSeparator() ? "-" : item->text());
  EXPECT_EQ(file, QStringList({"Open", "-", "Print", "-", "Info file", "Save to server", "Export",
                               "-", "Exit"}));
  QStringList top;
  for (QAction* item : w->ToolBar1->actions())
    if (!item->isSeparator() && item->text().size() > 0) top << item->text();
  EXPECT_EQ(top.mid(0, 10), QStringList({"Open", "Save to server", "Start", "Stop", "Settings",
                                         "Calculation", "Allan deviation", "Print",
                                         "Shell program", "Exit"}));
}

TEST_F(MainWindow, StepsFollowResolutionAndSample) {
  w->Settings.Resolution = 2000;
  w->Settings.DisplayTime = 7200;
  w->ApplyDisplaySettings();
  EXPECT_EQ(w->PointStep, 36);
  EXPECT_EQ(w->LabelStep, 0);  // Sample 10
  w->Settings.Resolution = 6000;
  w->Settings.SampleIndex = 3;  // 20
  w->ApplyDisplaySettings();
  EXPECT_EQ(w->Settings.Sample, 20);
  EXPECT_EQ(w->LabelStep, 10);
  EXPECT_EQ(w->PointStep, 60);
  EXPECT_EQ(w->MMTimer1.GetDelay(), 50u);
  w->Settings.Resolution = 3000;  // unknown: both steps stay
  w->ApplyDisplaySettings();
  EXPECT_EQ(w->PointStep, 60);
  EXPECT_EQ(w->LabelStep, 10);
}

TEST_F(MainWindow, PortAndSampleChoicesAreSavedAtOnce) {
  ::setenv("RATELOG_COM3", "/dev/pts/test-port", 1);
  w->ApplyDisplaySettings();  // refreshes the port tips
  w->change_port->setCurrentIndex(2);
  emit w->change_port->activated(2);
  EXPECT_EQ(Stored().PortIndex, 2);
  EXPECT_EQ(w->XComm1.GetDeviceName(), "COM3");
  // The port diagnosis in one line, starting with the device file.
  EXPECT_EQ(w->change_port->itemData(2, Qt::ToolTipRole).toString(),
            "/dev/pts/test-port (RATELOG_COM3): missing");
  ::unsetenv("RATELOG_COM3");

  w->change_sam->setCurrentIndex(12);
  emit w->change_sam->activated(12);
  EXPECT_EQ(Stored().SampleIndex, 12);
  EXPECT_EQ(Stored().Sample, 125);
  EXPECT_EQ(w->MMTimer1.GetDelay(), 8u);

  w->TrDisplay->setValue(300);
  EXPECT_EQ(Stored().DisplayTime, 300);
  EXPECT_EQ(w->lab_display->text(), "Display, 300 sec");
  EXPECT_EQ(w->PointStep, 2);  // Ceil(300 * 25 / 4000)
}

TEST_F(MainWindow, PanelsHideShowAndPersist) {
  const int full = w->Chart1->width();
  EXPECT_EQ(full, w->width() - 200 - w->ToolBar2->width() - 10);
  w->ac_hide_allExecute();
  EXPECT_FALSE(w->panel_ctrl_info->isVisible());
  EXPECT_EQ(w->Chart1->width(), w->width() - w->ToolBar2->width() - 10);
  EXPECT_GT(w->Chart1->width(), full);
  EXPECT_EQ(Stored().PanelVisible, (std::array<bool, 4>{false, false, false, false}));

  Reopen();
  EXPECT_FALSE(w->panel_ctrl_info->isVisible());
  EXPECT_FALSE(w->ac_scale->isChecked());
  // One panel back: the side panel returns with that panel at the top.
  w->ac_scaleExecute();
  EXPECT_TRUE(w->panel_ctrl_info->isVisible());
  EXPECT_TRUE(w->panel_scale->isVisible());
  EXPECT_FALSE(w->panel_basic_info->isVisible());
  EXPECT_LE(w->panel_scale->y(), 4);
  EXPECT_EQ(Stored().PanelVisible, (std::array<bool, 4>{false, false, false, true}));

  w->ac_show_allExecute();
  EXPECT_LT(w->panel_basic_info->y(), w->panel_supp_info->y());
  EXPECT_LT(w->panel_supp_info->y(), w->panel_control->y());
  EXPECT_LT(w->panel_control->y(), w->panel_scale->y());
  EXPECT_EQ(Stored().PanelVisible, (std::array<bool, 4>{true, true, true, true}));
  EXPECT_EQ(w->Chart1->width(), full);
}

TEST_F(MainWindow, ClosingWithoutARunAsksNothing) {
  EXPECT_TRUE(w->close());
  EXPECT_TRUE(dialogs.Calls.empty());
}

TEST_F(MainWindow, ClosingDuringARunAsks) {
  w->MMTimer1.SetOnTimer([](TMMTimer*) {});
  w->MMTimer1.SetEnabled(true);
  dialogs.Answers = {TMsgResult::Cancel, TMsgResult::Ok};
  EXPECT_FALSE(w->close());
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_EQ(dialogs.Calls[0].Text, "Close program?");
  EXPECT_EQ(dialogs.Calls[0].Caption, "Message");
  EXPECT_EQ(dialogs.Calls[0].Buttons, TMsgButtons::OkCancel);
  EXPECT_EQ(dialogs.Calls[0].Icon, TMsgIcon::Stop);
  EXPECT_TRUE(w->MMTimer1.GetEnabled());
  EXPECT_TRUE(w->isVisible());

  EXPECT_TRUE(w->close());
  EXPECT_FALSE(w->MMTimer1.GetEnabled());
}

// Closing during a recorded run keeps the records that had not yet filled a
// block of ten.
TEST_F(MainWindow, ClosingDuringARunCompletesTheRecording) {
  const std::string file = dir.File("run.rtd");
  TPaket& p = w->Packet;
  p.Assign(w->Settings);
  p.Reset();
  p.RecordName = file;
  p.RecordEnabled = true;
  TDeviceModel device;
  std::vector<std::uint8_t> bytes;
  double now = 0;
  auto exchange = [&] {
    device.Feed(p.SendBuffer.data(), static_cast<std::size_t>(p.RequestLength), now);
    device.Take(bytes);
    p.Receive(bytes.data(), bytes.size());
    bytes.clear();
    now += 0.1;
  };
  p.BuildIdentRequest();
  exchange();
  ASSERT_TRUE(p.Identified);
  p.BuildDataRequest();
  for (int i = 0; i < 15; ++i) exchange();
  ASSERT_GT(p.BlockCount, 0);  // records waiting for a full block
  const std::size_t expected =
      static_cast<std::size_t>(p.FileOffset) + static_cast<std::size_t>(p.BlockCount) * 12u;
  ASSERT_GT(expected, rtd::HeaderSize);

  w->MMTimer1.SetOnTimer([](TMMTimer*) {});
  w->MMTimer1.SetEnabled(true);
  dialogs.Answers = {TMsgResult::Ok};
  EXPECT_TRUE(w->close());
  EXPECT_EQ(ReadBytes(file).size(), expected);
  EXPECT_EQ(p.FileHandle, -1);
}

TEST_F(MainWindow, SettingsDialogOkIsSavedAppliedAndHandedOn) {
  QTimer::singleShot(0, [this] {
    TOptionForm* f = forms->OptionForm.get();
    f->e_tsszs->setText("250,0");
    f->change_sam->setCurrentIndex(0);
    emit f->change_sam->activated(0);
    f->BtnOk->click();
  });
  w->ac_optionExecute();
  EXPECT_EQ(w->Settings.DriftTime, 250.0f);
  EXPECT_EQ(w->CalcParameters.DriftTime, 250.0f);
  EXPECT_EQ(w->CalcParameters.Passband, 50);
  EXPECT_EQ(w->CalcParameters.EarthRate, w->Settings.EarthRate);
  EXPECT_EQ(Stored().DriftTime, 250.0f);
  EXPECT_EQ(w->change_sam->currentText(), "1");
  EXPECT_EQ(w->MMTimer1.GetDelay(), 1000u);

  QTimer::singleShot(0, [this] {
    forms->OptionForm->e_tsszs->setText("500,0");
    forms->OptionForm->reject();
  });
  w->ac_optionExecute();
  EXPECT_EQ(w->Settings.DriftTime, 250.0f);
}

// With the Temperature tab selected, re-applying the settings (a new Sample
// value) leaves the temperature limits in the edits, and ">" keeps them.
TEST_F(MainWindow, ScaleEditsShowTheSelectedTabsLimits) {
  w->TabCtrl->setCurrentIndex(1);
  EXPECT_EQ(w->e_max->text(), "60,000000");
  w->change_samChange(3);
  EXPECT_EQ(w->e_max->text(), "60,000000");
  EXPECT_EQ(w->e_min->text(), "-40,000000");
  w->BtnApply->click();
  EXPECT_EQ(Stored().TempMax, 60.0f);
  EXPECT_EQ(Stored().TempMin, -40.0f);
  w->TabCtrl->setCurrentIndex(0);
  EXPECT_EQ(w->e_max->text(), "30,000000");
}

TEST_F(MainWindow, KeyboardReachesMenusAndActions) {
  QStringList menus;
  for (QAction* menu : w->MainMenu1->actions()) menus << menu->text();
  EXPECT_EQ(menus, QStringList({"&File", "&View", "&Run", "&Option", "&Help"}));
  struct {
    QAction* action;
    QKeySequence key;
  } const keys[] = {
      {w->ac_open, QKeySequence(Qt::CTRL | Qt::Key_O)},
      {w->ac_print, QKeySequence(Qt::CTRL | Qt::Key_P)},
      {w->ac_option, QKeySequence(Qt::CTRL | Qt::Key_Comma)},
      {w->ac_exit, QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {w->ac_start, QKeySequence(Qt::Key_F5)},
      {w->ac_stop, QKeySequence(Qt::SHIFT | Qt::Key_F5)},
  };
  for (const auto& k : keys) {
    SCOPED_TRACE(k.action->text().toStdString());
    EXPECT_EQ(k.action->shortcut(), k.key);
    EXPECT_TRUE(k.action->toolTip().endsWith(
        QStringLiteral("(%1)").arg(k.key.toString(QKeySequence::NativeText))));
    // Part of the window itself: the keys work without the menu bar.
    EXPECT_TRUE(w->actions().contains(k.action));
  }
}

TEST_F(MainWindow, ToolBarLabelsAndIcons) {
  for (QLabel* label : {w->LabPort, w->LabSample}) {
    EXPECT_TRUE(label->font().bold());
    EXPECT_EQ(label->palette().color(label->foregroundRole()), QColor(Qt::blue));
  }
  const auto image = [](const QIcon& icon, QIcon::Mode mode) {
    return icon.pixmap(QSize(16, 16), mode).toImage();
  };
  QStyle* style = w->style();
  EXPECT_NE(image(w->ac_print->icon(), QIcon::Normal),
            image(style->standardIcon(QStyle::SP_FileIcon), QIcon::Normal))
      << "a printer, not a blank sheet";
  EXPECT_NE(image(w->ac_control->icon(), QIcon::Normal),
            image(style->standardIcon(QStyle::SP_MediaVolume), QIcon::Normal))
      << "no loudspeaker";
  for (QAction* action : w->actions()) {
    if (action->icon().isNull()) continue;
    SCOPED_TRACE(action->text().toStdString());
    EXPECT_NE(image(action->icon(), QIcon::Normal), image(action->icon(), QIcon::Disabled));
  }
  for (QAction* action : {w->ac_print, w->ac_control, w->ac_open})
    EXPECT_NE(image(action->icon(), QIcon::Normal), image(action->icon(), QIcon::Disabled));
}

// The open and save dialogs begin in the folder of the last recording.
TEST_F(MainWindow, DialogsBeginInTheLastRecordingsFolder) {
  const std::string sub = dir.File("runs");
  ::mkdir(sub.c_str(), 0755);
  dialogs.Names.push_back(QString::fromStdString(sub + "/missing.rtd"));
  w->ac_openExecute();
  dialogs.Names.push_back(QString());
  w->ac_openExecute();
  ASSERT_EQ(dialogs.Calls.back().Kind, TScriptedDialogs::TKind::OpenFile);
  EXPECT_EQ(dialogs.Calls.back().Request.Folder, QString::fromStdString(sub));
  EXPECT_EQ(w->SaveDialog1.Folder, QString::fromStdString(sub));
}

// A settings file that cannot be written is reported once, with its path
// and the reason.
TEST_F(MainWindow, UnwritableSettingsFileIsReportedOnce) {
  forms.reset();
  const std::string path = dir.File("missing/Ratelog.ini");
  forms = CreateForms(path);
  w = forms->MainFrm.get();
  w->show();
  QCoreApplication::processEvents();
  w->TrDisplay->setValue(300);
  w->ch_signal->click();
  QCoreApplication::processEvents();
  int shown = 0;
  for (const auto& call : dialogs.Calls) {
    if (call.Kind != TScriptedDialogs::TKind::Message) continue;
    ++shown;
    EXPECT_TRUE(call.Text.contains(QString::fromStdString(path))) << call.Text.toStdString();
    EXPECT_TRUE(call.Text.contains("No such file or directory")) << call.Text.toStdString();
  }
  EXPECT_EQ(shown, 1);
}

}  // namespace
