// The frame of the main window: actions, menu, tool bars, the side panel
// with its four panels, and the chart.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QTabBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include "app/Mainform.h"
#include "ui/Allandev.h"
#include "ui/Chart.h"
#include "ui/NumberText.h"
#include "ui/HistoryFrm.h"
#include "ui/ScaleFactorFrm.h"
#include "ui/ThermalFrm.h"
#include "ui/ToolIcons.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QIcon ActionIcon(const char* themeName, QStyle::StandardPixmap fallback) {
  const QIcon standard = QApplication::style()->standardIcon(fallback);
  return themeName ? QIcon::fromTheme(QString::fromLatin1(themeName), standard) : standard;
}

QString PanelHint(const QString& caption) {
  return QStringLiteral("Hide/Show panel \"%1\"").arg(caption);
}

QLabel* ValueLabel(QWidget* parent, const char* name, const QString& text) {
  auto* label = Named(new QLabel(text, parent), name);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setFrameShape(QFrame::StyledPanel);
  label->setFrameShadow(QFrame::Sunken);
  label->setMinimumWidth(70);
  return label;
}

}  // namespace

void TMainFrm::CreateActions() {
  struct TActionDef {
    QAction** target;
    const char* name;
    const char* category;
    const char* caption;
    const char* hint;  // null: none
    const char* theme;
    QStyle::StandardPixmap icon;  // SP_CustomBase: no image
  };
  const TActionDef actionDefs[] = {
      {&ac_open, "ac_open", "File", "Open", "Open file", "document-open",
       QStyle::SP_DialogOpenButton},
      {&ac_print, "ac_print", "File", "Print", "Print file", "document-print",
       QStyle::SP_CustomBase},
      {&ac_export, "ac_export", "File", "Export", "Export file", "document-save-as",
       QStyle::SP_DialogSaveButton},
      {&ac_exit, "ac_exit", "File", "Exit", "Close program", "application-exit",
       QStyle::SP_DialogCloseButton},
      {&ac_start, "ac_start", "work", "Start", "Start", "media-playback-start",
       QStyle::SP_MediaPlay},
      {&ac_stop, "ac_stop", "work", "Stop", "Stop", "media-playback-stop", QStyle::SP_MediaStop},
      {&ac_option, "ac_option", "Options", "Settings", "Settings program", "preferences-system",
       QStyle::SP_FileDialogDetailedView},
      {&ac_calc, "ac_calc", "work", "Calculation", "Calculation basic parameters",
       "accessories-calculator", QStyle::SP_FileDialogContentsView},
      {&ac_allan, "ac_allan", "work", "Allan deviation", "Allan deviation of the rate",
       "utilities-system-monitor", QStyle::SP_FileDialogDetailedView},
      {&ac_report, "ac_report", "File", "Report...", "Test report of the shown span (PDF)",
       "x-office-document", QStyle::SP_FileIcon},
      {&ac_about, "ac_about", "About", "About!", "About!", nullptr, QStyle::SP_CustomBase},
      {&ac_shell, "ac_shell", "File", "Shell program", "Shell program", "utilities-terminal",
       QStyle::SP_ComputerIcon},
      {&ac_saveserver, "ac_saveserver", "File", "Save to server", "Save file server",
       "network-server", QStyle::SP_DriveNetIcon},
      {&ac_file_info, "ac_file_info", "File", "Info file", nullptr, "dialog-information",
       QStyle::SP_MessageBoxInformation},
      {&ac_basic_info, "ac_basic_info", "View", "Information", nullptr, nullptr,
       QStyle::SP_FileDialogInfoView},
      {&ac_supp_info, "ac_supp_info", "View", "Supplemental information", nullptr, nullptr,
       QStyle::SP_FileDialogListView},
      {&ac_control, "ac_control", "View", "Control", nullptr, nullptr, QStyle::SP_CustomBase},
      {&ac_scale, "ac_scale", "View", "Scale", nullptr, nullptr, QStyle::SP_DesktopIcon},
      {&ac_hide_all, "ac_hide_all", "View", "Hide all panel", "Hide all panel", nullptr,
       QStyle::SP_ArrowRight},
      {&ac_show_all, "ac_show_all", "View", "Show all panel", "Show all panel", nullptr,
       QStyle::SP_ArrowLeft},
      {&ac_thermal, "ac_thermal", "work", "Temperature sensitivity",
       "Temperature sensitivity of the bias", nullptr, QStyle::SP_CustomBase},
      {&ac_warmup, "ac_warmup", "View", "Warm-up time",
       "Mark the end of warm-up on the chart", nullptr, QStyle::SP_CustomBase},
      {&ac_cursor_a, "ac_cursor_a", "View", "Cursor A",
       "Cursor A under the mouse (or click on the chart)", nullptr, QStyle::SP_CustomBase},
      {&ac_cursor_b, "ac_cursor_b", "View", "Cursor B",
       "Cursor B under the mouse (or Shift+click on the chart)", nullptr, QStyle::SP_CustomBase},
      {&ac_cursor_clear, "ac_cursor_clear", "View", "Remove cursors", nullptr, nullptr,
       QStyle::SP_CustomBase},
      {&ac_marker, "ac_marker", "View", "Add marker...",
       "A note at the newest record of a run, or at cursor A", nullptr, QStyle::SP_CustomBase},
      {&ac_markers, "ac_markers", "View", "Markers...", "The markers of the recording with their times",
       nullptr, QStyle::SP_CustomBase},
  };
  for (const TActionDef& def : actionDefs) {
    auto* action = new QAction(QString::fromLatin1(def.caption), this);
    action->setObjectName(QString::fromLatin1(def.name));
    action->setProperty("category", QString::fromLatin1(def.category));
    if (def.hint) {
      action->setToolTip(QString::fromLatin1(def.hint));
      action->setStatusTip(QString::fromLatin1(def.hint));
    }
    if (def.icon != QStyle::SP_CustomBase) action->setIcon(ActionIcon(def.theme, def.icon));
    *def.target = action;
  }
  for (QAction* panel : {ac_basic_info, ac_supp_info, ac_control, ac_scale}) {
    panel->setCheckable(true);
    panel->setChecked(true);
    panel->setToolTip(PanelHint(panel->text()));
    panel->setStatusTip(panel->toolTip());
  }
  ac_allan->setIcon(TAllanFrm::Icon());
  // Drawn here where the style has no picture that fits: the style's
  // blank sheet is no printer, its loudspeaker no control panel.
  ac_print->setIcon(ThemeOr("document-print", PrinterIcon()));
  ac_control->setIcon(ControlPanelIcon());

  // Keyboard: the standard keys where the platform has them. The actions
  // also belong to the window itself, so that Start and Stop work while
  // the menu bar is removed during a run.
  const std::pair<QAction*, QKeySequence> keys[] = {
      {ac_open, QKeySequence(QKeySequence::Open)},
      {ac_print, QKeySequence(QKeySequence::Print)},
      {ac_option, QKeySequence(QKeySequence::Preferences).isEmpty()
                      ? QKeySequence(Qt::CTRL | Qt::Key_Comma)
                      : QKeySequence(QKeySequence::Preferences)},
      {ac_exit, QKeySequence(QKeySequence::Quit).isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q)
                                                           : QKeySequence(QKeySequence::Quit)},
      {ac_report, QKeySequence(Qt::CTRL | Qt::Key_R)},
      {ac_start, QKeySequence(Qt::Key_F5)},
      {ac_cursor_a, QKeySequence(Qt::Key_A)},
      {ac_cursor_b, QKeySequence(Qt::Key_B)},
      {ac_marker, QKeySequence(Qt::Key_M)},
      {ac_stop, QKeySequence(Qt::SHIFT | Qt::Key_F5)},
  };
  for (const auto& [action, key] : keys) {
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setToolTip(QStringLiteral("%1 (%2)").arg(action->toolTip(),
                                                     key.toString(QKeySequence::NativeText)));
    addAction(action);
  }

  for (QAction* off : {ac_stop, ac_print, ac_export, ac_calc, ac_allan, ac_file_info, ac_saveserver})
    off->setEnabled(false);
  // The analyses are there whenever the calculation is.
  for (QAction* analysis : {ac_allan, ac_report, ac_thermal}) FollowCalculation(analysis);
  ac_file_info->setVisible(false);
  ac_saveserver->setVisible(false);

  connect(ac_open, &QAction::triggered, this, &TMainFrm::ac_openExecute);
  connect(ac_print, &QAction::triggered, this, &TMainFrm::ac_printExecute);
  connect(ac_export, &QAction::triggered, this, &TMainFrm::ac_exportExecute);
  connect(ac_exit, &QAction::triggered, this, &TMainFrm::ac_exitExecute);
  connect(ac_start, &QAction::triggered, this, &TMainFrm::ac_startExecute);
  connect(ac_stop, &QAction::triggered, this, &TMainFrm::ac_stopExecute);
  connect(ac_option, &QAction::triggered, this, &TMainFrm::ac_optionExecute);
  connect(ac_calc, &QAction::triggered, this, &TMainFrm::ac_calcExecute);
  connect(ac_allan, &QAction::triggered, this, &TMainFrm::ac_allanExecute);
  connect(ac_report, &QAction::triggered, this, &TMainFrm::ac_reportExecute);
  connect(ac_about, &QAction::triggered, this, &TMainFrm::ac_aboutExecute);
  connect(ac_shell, &QAction::triggered, this, &TMainFrm::ac_shellExecute);
  connect(ac_saveserver, &QAction::triggered, this, &TMainFrm::ac_saveserverExecute);
  connect(ac_file_info, &QAction::triggered, this, &TMainFrm::ac_file_infoExecute);
  connect(ac_hide_all, &QAction::triggered, this, &TMainFrm::ac_hide_allExecute);
  connect(ac_show_all, &QAction::triggered, this, &TMainFrm::ac_show_allExecute);
  // A panel action has changed its checked state when `triggered` arrives.
  connect(ac_basic_info, &QAction::triggered, this,
          [this] { TogglePanel(ac_basic_info, panel_basic_info, 0); });
  connect(ac_supp_info, &QAction::triggered, this,
          [this] { TogglePanel(ac_supp_info, panel_supp_info, 1); });
  connect(ac_control, &QAction::triggered, this,
          [this] { TogglePanel(ac_control, panel_control, 2); });
  connect(ac_scale, &QAction::triggered, this,
          [this] { TogglePanel(ac_scale, panel_scale, 3); });
  // The warm-up marker is a check item.
  ac_warmup->setCheckable(true);
  connect(ac_thermal, &QAction::triggered, this, &TMainFrm::ac_thermalExecute);
  connect(ac_warmup, &QAction::triggered, this, &TMainFrm::ac_warmupExecute);
  connect(ac_cursor_a, &QAction::triggered, this, [this] { PlaceCursor(0, TimeUnderMouse()); });
  connect(ac_cursor_b, &QAction::triggered, this, [this] { PlaceCursor(1, TimeUnderMouse()); });
  connect(ac_cursor_clear, &QAction::triggered, this, &TMainFrm::ClearCursors);
  connect(ac_marker, &QAction::triggered, this, &TMainFrm::ac_markerExecute);
  connect(ac_markers, &QAction::triggered, this, &TMainFrm::ac_markersExecute);
}

void TMainFrm::CreateMenu() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  QMenu* file = MainMenu1->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("MenuFile"));
  file->addAction(ac_open);
  file->addSeparator();
  file->addAction(ac_print);
  file->addSeparator();
  file->addAction(ac_file_info);
  file->addAction(ac_saveserver);
  file->addAction(ac_export);
  file->addAction(ac_report);
  file->addSeparator();
  file->addAction(ac_exit);
  QMenu* view = MainMenu1->addMenu(QStringLiteral("&View"));
  view->setObjectName(QStringLiteral("MenuView"));
  view->addAction(ac_basic_info);
  view->addAction(ac_supp_info);
  view->addAction(ac_control);
  view->addAction(ac_scale);
  view->addSeparator();
  view->addAction(ac_show_all);
  view->addAction(ac_hide_all);
  view->addSeparator();
  view->addAction(ac_warmup);
  view->addSeparator();
  for (QAction* action : {ac_cursor_a, ac_cursor_b, ac_cursor_clear, ac_marker, ac_markers})
    view->addAction(action);
  QMenu* run = MainMenu1->addMenu(QStringLiteral("&Run"));
  run->setObjectName(QStringLiteral("MenuRun"));
  run->addAction(ac_start);
  run->addAction(ac_stop);
  run->addSeparator();
  AnalysisMenu = run;
  for (QAction* analysis : {ac_calc, ac_allan, ac_thermal}) run->addAction(analysis);
  InstallScaleFactorWindow(
      this, run, ac_allan, ac_calc,
      [this] { return OpenFile.Loaded ? OpenFile.RecordingName : std::string(); },
      [this] { return OpenFile.EarthRate; },
      [this](const std::vector<TPlateau>& plateaus) {
        std::vector<TMarker> markers;
        for (const TPlateau& p : plateaus)
          markers.push_back({p.Begin, "plateau " + QString::number(p.Rate, 'g', 6).toStdString() + " \u00B0/s"});
        SetAutoMarkers(PlateauMarkers, std::move(markers));
      });
  InstallHistoryWindow(
      this, [this](QAction* action) { AddAnalysisAction(action); },
      [this] { return OpenFile.Loaded ? OpenFile.Info.Ident : std::string(); });
  QMenu* option = MainMenu1->addMenu(QStringLiteral("&Option"));
  option->setObjectName(QStringLiteral("MenuOption"));
  option->addAction(ac_option);
  QMenu* help = MainMenu1->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("MenuHelp"));
  help->addAction(ac_about);
}

void TMainFrm::FollowCalculation(QAction* action) {
  connect(ac_calc, &QAction::enabledChanged, action, &QAction::setEnabled);
  action->setEnabled(ac_calc->isEnabled());
}

void TMainFrm::AddAnalysisAction(QAction* action) {
  FollowCalculation(action);
  AnalysisMenu->addAction(action);
}

void TMainFrm::CreateToolBars() {
  ToolBar1 = Named(new QToolBar(QStringLiteral("ToolBar1"), this), "ToolBar1");
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(16, 16));
  addToolBar(Qt::TopToolBarArea, ToolBar1);
  ToolBar1->addSeparator();
  ToolBar1->addAction(ac_open);
  ToolBar1->addAction(ac_saveserver);
  for (QAction* action : {ac_start, ac_stop, ac_option, ac_calc, ac_print, ac_shell, ac_exit}) {
    ToolBar1->addSeparator();
    ToolBar1->addAction(action);
    if (action == ac_calc) ToolBar1->addAction(ac_allan);
  }
  ToolBar1->addSeparator();

  auto portLabel = [this](const char* name, const QString& text) {
    auto* label = Named(new QLabel(text, ToolBar1), name);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    // On a tool bar a label would draw in the button text colour.
    label->setForegroundRole(QPalette::WindowText);
    label->setContentsMargins(4, 0, 4, 0);
    return label;
  };
  LabPort = portLabel("LabPort", QStringLiteral("PORT"));
  ToolBar1->addWidget(LabPort);
  change_port = Named(new QComboBox(ToolBar1), "change_port");
  for (int i = 0; i < PortCount; ++i) change_port->addItem(QStringLiteral("COM%1").arg(i + 1));
  change_port->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  ToolBar1->addWidget(change_port);
  ToolBar1->addSeparator();
  LabSample = portLabel("LabSample", QStringLiteral("Sample"));
  ToolBar1->addWidget(LabSample);
  change_sam = Named(new QComboBox(ToolBar1), "change_sam");
  for (int value : SampleValues) change_sam->addItem(QString::number(value));
  change_sam->setCurrentIndex(1);
  change_sam->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  ToolBar1->addWidget(change_sam);
  gaugeSeparator_ = ToolBar1->addSeparator();
  CGauge1 = Named(new QProgressBar(ToolBar1), "CGauge1");
  CGauge1->setRange(0, 100);
  CGauge1->setValue(0);
  CGauge1->setTextVisible(false);
  CGauge1->setMaximumHeight(16);
  gaugeAction_ = ToolBar1->addWidget(CGauge1);
  gaugeAction_->setVisible(false);
  CGauge1->setVisible(false);
  connect(change_port, &QComboBox::activated, this, &TMainFrm::change_portChange);
  connect(change_sam, &QComboBox::activated, this, &TMainFrm::change_samChange);

  ToolBar2 = Named(new QToolBar(QStringLiteral("ToolBar2"), this), "ToolBar2");
  ToolBar2->setMovable(false);
  ToolBar2->setFloatable(false);
  ToolBar2->setOrientation(Qt::Vertical);
  ToolBar2->setIconSize(QSize(16, 16));
  addToolBar(Qt::RightToolBarArea, ToolBar2);
  ToolBar2->addAction(ac_basic_info);
  ToolBar2->addAction(ac_supp_info);
  ToolBar2->addAction(ac_control);
  // Scale is a plain button here, not a toggle.
  auto* scale = Named(new QToolButton(ToolBar2), "ToolButtonScale");
  scale->setIcon(ac_scale->icon());
  scale->setToolTip(ac_scale->toolTip());
  scale->setAutoRaise(true);
  connect(scale, &QToolButton::clicked, ac_scale, &QAction::trigger);
  ToolBar2->addWidget(scale);
  ToolBar2->addAction(ac_show_all);
  ToolBar2->addAction(ac_hide_all);
}

void TMainFrm::CreateChart() {
  central_ = Named(new QWidget(this), "ClientArea");
  setCentralWidget(central_);
  central_->installEventFilter(this);
  Chart1 = Named(new QCustomPlot(central_), "Chart1");
  Chart = std::make_unique<TRateChart>(Chart1);
  overlays_ = std::make_unique<TChartOverlays>(Chart1);
  warmupJob_ = std::make_unique<TBackgroundJob>(this);
  Series1 = Chart->Series1;
  Series2 = Chart->Series2;
  Series3 = Chart->Series3;
  BtnShowSeries = Named(new QPushButton(QStringLiteral("Rate and Average are switched off: show them"),
                                        Chart1),
                        "BtnShowSeries");
  BtnShowSeries->setVisible(false);
  connect(BtnShowSeries, &QPushButton::clicked, this, &TMainFrm::BtnShowSeriesClick);
  CreateCursors();
}

void TMainFrm::CreatePanels() {
  panel_ctrl_info = Named(new QWidget(central_), "panel_ctrl_info");
  panel_ctrl_info->setFixedWidth(200);
  const QString infoZero = FixedText(0, 14, 5);
  const QString suppZero = FixedText(0, 10, 2);

  // "Information".
  panel_basic_info = Named(new QGroupBox(QStringLiteral("Information"), panel_ctrl_info),
                           "panel_basic_info");
  BtnDim = Named(new QPushButton(QStringLiteral("°/sec"), panel_basic_info), "BtnDim");
  BtnDim->setFixedHeight(20);
  ch_signal = Named(new QCheckBox(QStringLiteral("Rate, °/h"), panel_basic_info), "ch_signal");
  lab_sig = ValueLabel(panel_basic_info, "lab_sig", infoZero);
  ch_aver = Named(new QCheckBox(QStringLiteral("Average, °/h"), panel_basic_info), "ch_aver");
  lab_aver = ValueLabel(panel_basic_info, "lab_aver", infoZero);
  lab_rms = Named(new QLabel(QStringLiteral("RMS, °/h"), panel_basic_info), "lab_rms");
  l_rms = ValueLabel(panel_basic_info, "l_rms", infoZero);
  lab_minrms =
      Named(new QLabel(QStringLiteral("Minimum RMS, °/h"), panel_basic_info), "lab_minrms");
  l_minrms = ValueLabel(panel_basic_info, "l_minrms", infoZero);
  {
    auto* grid = new QGridLayout(panel_basic_info);
    grid->setContentsMargins(6, 2, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(ch_signal, 1, 0);
    grid->addWidget(BtnDim, 1, 1, Qt::AlignRight);
    grid->addWidget(lab_sig, 2, 0, 1, 2);
    grid->addWidget(ch_aver, 3, 0, 1, 2);
    grid->addWidget(lab_aver, 4, 0, 1, 2);
    grid->addWidget(lab_rms, 5, 0, 1, 2);
    grid->addWidget(l_rms, 6, 0, 1, 2);
    grid->addWidget(lab_minrms, 7, 0, 1, 2);
    grid->addWidget(l_minrms, 8, 0, 1, 2);
  }
  connect(ch_signal, &QCheckBox::clicked, this, &TMainFrm::ch_signalClick);
  connect(ch_aver, &QCheckBox::clicked, this, &TMainFrm::ch_averClick);
  connect(BtnDim, &QPushButton::clicked, this, &TMainFrm::BtnDimClick);

  // "Supplemental information".
  panel_supp_info = Named(new QGroupBox(QStringLiteral("Supplemental information"),
                                        panel_ctrl_info),
                          "panel_supp_info");
  lab_temp = ValueLabel(panel_supp_info, "lab_temp", suppZero);
  lab_time = ValueLabel(panel_supp_info, "lab_time", suppZero);
  lab_frame = ValueLabel(panel_supp_info, "lab_frame", suppZero);
  LabFreqFrame = ValueLabel(panel_supp_info, "LabFreqFrame", suppZero);
  LabIDN = Named(new QLabel(QString::fromLatin1(proto::DefaultIdent), panel_supp_info), "LabIDN");
  LabIDN->setVisible(false);
  ch_temp = Named(new QCheckBox(QStringLiteral("Temperature"), panel_supp_info), "ch_temp");
  ch_temp->setVisible(false);
  {
    auto* grid = new QGridLayout(panel_supp_info);
    grid->setContentsMargins(6, 2, 6, 4);
    grid->setVerticalSpacing(2);
    const std::pair<const char*, QLabel*> rows[] = {{"Temperature, °C", lab_temp},
                                                    {"Time, sec", lab_time},
                                                    {"Frame", lab_frame},
                                                    {"Frequency frame", LabFreqFrame}};
    int row = 0;
    for (const auto& [caption, value] : rows) {
      grid->addWidget(new QLabel(QString::fromUtf8(caption), panel_supp_info), row, 0);
      grid->addWidget(value, row, 1);
      ++row;
    }
    grid->addWidget(ch_temp, row++, 0, 1, 2);
    grid->addWidget(LabIDN, row, 0, 1, 2);
    grid->setColumnStretch(1, 1);
  }
  connect(ch_temp, &QCheckBox::toggled, this, &TMainFrm::ch_tempClick);

  // "Control".
  panel_control = Named(new QGroupBox(QStringLiteral("Control"), panel_ctrl_info), "panel_control");
  lab_display = Named(new QLabel(QStringLiteral("Display, 10 sec"), panel_control), "lab_display");
  TrDisplay = Named(new QSlider(Qt::Horizontal, panel_control), "TrDisplay");
  TrDisplay->setRange(10, 7200);
  TrDisplay->setTickInterval(150);
  TrDisplay->setTickPosition(QSlider::TicksBelow);
  TrDisplay->setPageStep(150);
  TrDisplay->setValue(10);
  TrDisplay->setToolTip(QStringLiteral("Отображение"));
  LabMean = Named(new QLabel(QStringLiteral("Avegare, sec"), panel_control), "LabMean");
  e_mean = Named(new QLineEdit(QStringLiteral("50"), panel_control), "e_mean");
  BtnApMean = Named(new QPushButton(QStringLiteral(">"), panel_control), "BtnApMean");
  BtnApMean->setFixedWidth(28);
  {
    auto* grid = new QGridLayout(panel_control);
    grid->setContentsMargins(6, 2, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(lab_display, 0, 0, 1, 3);
    grid->addWidget(TrDisplay, 1, 0, 1, 3);
    grid->addWidget(LabMean, 2, 0);
    grid->addWidget(e_mean, 2, 1);
    grid->addWidget(BtnApMean, 2, 2);
  }
  connect(TrDisplay, &QSlider::valueChanged, this, &TMainFrm::TrDisplayChange);
  connect(BtnApMean, &QPushButton::clicked, this, &TMainFrm::BtnApMeanClick);

  // "Scale".
  panel_scale = Named(new QGroupBox(QStringLiteral("Scale"), panel_ctrl_info), "panel_scale");
  TabCtrl = Named(new QTabBar(panel_scale), "TabCtrl");
  TabCtrl->addTab(QStringLiteral("Rate"));
  TabCtrl->addTab(QStringLiteral("Temperature"));
  TabCtrl->setExpanding(true);
  TabCtrl->setDrawBase(false);
  LabMax = Named(new QLabel(QStringLiteral("Max"), panel_scale), "LabMax");
  e_max = Named(new QLineEdit(panel_scale), "e_max");
  LabMin = Named(new QLabel(QStringLiteral("Min"), panel_scale), "LabMin");
  e_min = Named(new QLineEdit(panel_scale), "e_min");
  BtnApply = Named(new QPushButton(QStringLiteral(">"), panel_scale), "BtnApply");
  BtnApply->setToolTip(QStringLiteral("Apply"));
  BtnApply->setFixedWidth(28);
  BtnAuto = Named(new QPushButton(QStringLiteral("Automatic"), panel_scale), "BtnAuto");
  BtnAuto->setToolTip(QStringLiteral("Automatic axis"));
  for (QLabel* label : {LabMax, LabMin}) {
    label->setCursor(Qt::PointingHandCursor);
    label->installEventFilter(this);
  }
  {
    auto* grid = new QGridLayout(panel_scale);
    grid->setContentsMargins(6, 2, 6, 4);
    grid->setVerticalSpacing(2);
    grid->addWidget(TabCtrl, 0, 0, 1, 3);
    grid->addWidget(LabMax, 1, 0);
    grid->addWidget(e_max, 1, 1);
    grid->addWidget(LabMin, 2, 0);
    grid->addWidget(e_min, 2, 1);
    grid->addWidget(BtnApply, 1, 2, 2, 1);
    grid->addWidget(BtnAuto, 3, 0, 1, 3);
  }
  connect(TabCtrl, &QTabBar::currentChanged, this, &TMainFrm::TabCtrlChange);
  connect(BtnApply, &QPushButton::clicked, this, &TMainFrm::BtnApplyClick);
  connect(BtnAuto, &QPushButton::clicked, this, &TMainFrm::BtnAutoClick);

  // The four panels stack from the top in their fixed order; a hidden one
  // leaves no gap.
  auto* stack = new QVBoxLayout(panel_ctrl_info);
  stack->setContentsMargins(0, 2, 0, 2);
  stack->setSpacing(4);
  for (QGroupBox* panel : {panel_basic_info, panel_supp_info, panel_control, panel_scale})
    stack->addWidget(panel);
  stack->addStretch(1);
}

// ---------------------------------------------------------------------------
// Panel toggles.

void TMainFrm::ArrangePanels() {
  const bool any = !panel_basic_info->isHidden() || !panel_supp_info->isHidden() ||
                   !panel_control->isHidden() || !panel_scale->isHidden();
  panel_ctrl_info->setVisible(any);
  if (panel_ctrl_info->layout()) panel_ctrl_info->layout()->activate();
  FormResize();
}

void TMainFrm::TogglePanel(QAction* action, QGroupBox* panel, int flag) {
  const bool shown = action->isChecked();
  panel->setVisible(shown);
  ArrangePanels();
  Settings.PanelVisible[static_cast<std::size_t>(flag)] = shown;
  SaveSettings();
}

// Executing a panel action inverts its checked state, then shows or hides
// the panel.
void TMainFrm::ac_basic_infoExecute() { ac_basic_info->trigger(); }
void TMainFrm::ac_supp_infoExecute() { ac_supp_info->trigger(); }
void TMainFrm::ac_controlExecute() { ac_control->trigger(); }
void TMainFrm::ac_scaleExecute() { ac_scale->trigger(); }

void TMainFrm::ac_hide_allExecute() {
  for (QAction* action : {ac_basic_info, ac_supp_info, ac_control, ac_scale})
    if (action->isChecked()) action->trigger();
}

void TMainFrm::ac_show_allExecute() {
  for (QAction* action : {ac_basic_info, ac_supp_info, ac_control, ac_scale})
    if (!action->isChecked()) action->trigger();
}
