// The main window: chart, side panels, tool bars and menu; owner of the
// live settings, the packet processor, the statistics object, the serial
// link and the polling timer.
#pragma once

#include <QMainWindow>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/MeasurementRun.h"
#include "acquisition/Mmtimer.h"
#include "acquisition/Paket.h"
#include "acquisition/Xcomdrv.h"
#include "files/Markers.h"
#include "files/Openf.h"
#include "processing/Averrmsstatic.h"
#include "settings/Optionsprogramm.h"
#include "ui/BackgroundWork.h"
#include "ui/Cursors.h"
#include "ui/Dialogs.h"
#include "ui/UiDispatcher.h"

class QAction;
class QCheckBox;
class QCPAbstractItem;
class QCPItemStraightLine;
class QDialog;
class QKeyEvent;
class QTableWidget;
class QComboBox;
class QCPGraph;
class QCustomPlot;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPrinter;
class QProgressBar;
class QPushButton;
class QSlider;
class QTabBar;
class QTimer;
class QToolBar;
class TAboutFrm;
class TAllanFrm;
class TReportFrm;
class TCalculFrm;
class TExportFrm;
class TInfoFileFrm;
class TOptionForm;
class TRateChart;
class TBackgroundJob;
class TChartOverlays;
class TThermalFrm;

inline constexpr char CaptionPrefix[] = "Ratelog - ";

// The values of the settings dialog that the basic-parameter calculation
// uses. Taken after the settings dialog closes with OK; the recording
// reader's settings get them from here.
struct TCalcParameters {
  float DriftTime = 100.0f;
  std::int32_t Passband = 50;
  float RandomWalkTime = 10.0f;
  double EarthRate = 11.78;
};

// The four ways a recording comes onto the chart.
enum class TShowPath { Stop, Open, UnitSwitch, AveragingTime };

class TMainFrm : public QMainWindow, private TRunOwner {
  Q_OBJECT
 public:
  // settingsPath: the settings file "Ratelog.ini" to load when first shown.
  explicit TMainFrm(const std::string& settingsPath = DefaultSettingsFilePath(),
                    QWidget* parent = nullptr);
  ~TMainFrm() override;

  // The windows the main window opens; set once after they are created.
  void SetForms(TOptionForm* optionForm, TAboutFrm* aboutFrm);

  std::string SettingsPath;

  // --- Owned objects, in this order.
  TOptionProgramm Settings;
  TPaket Packet;
  TOpenFile OpenFile;
  TAverRmsStatic AverRmsStatic;
  std::int32_t PointCount = 0;
  double FirstShown = 0;
  bool FirstShownValid = false;
  std::int32_t PointStep = 1;
  std::int32_t PointCounter = 0;
  std::int32_t LabelStep = 0;
  std::int32_t LabelCounter = 0;
  bool Recording = false;
  std::string ShownFileName;
  std::string RecordFileName;
  DisplayRecord Display{};
  bool RateUnitPerSec = false;
  double HourFactor = 3600.0;
  TCalcParameters CalcParameters;

  // --- Components.
  TQtUiDispatcher UiDispatcher;
  TXComm XComm1;
  TMMTimer MMTimer1;
  // The acquisition steps of a run on Packet, XComm1 and MMTimer1.
  TMeasurementRun Run;
  TFileRequest SaveDialog1;
  TFileRequest OpenDialog1;
  std::unique_ptr<QPrinter> Printer;  // the printer set-up dialog's printer, kept
  TOptionForm* OptionForm = nullptr;
  TAboutFrm* AboutFrm = nullptr;
  TInfoFileFrm* InfoFileFrm = nullptr;
  TCalculFrm* CalculFrm = nullptr;
  TAllanFrm* AllanFrm = nullptr;
  TExportFrm* ExportFrm = nullptr;
  TReportFrm* ReportFrm = nullptr;  // made at the first report
  // Called at Start with the live settings just before the port opens
  // (ratelog --simulate fits its virtual gyroscope to them here).
  std::function<void(const TOptionProgramm&)> BeforeRunStarts;

  // Chart.
  std::unique_ptr<TRateChart> Chart;
  QCustomPlot* Chart1;
  QCPGraph* Series1;
  QCPGraph* Series2;
  QCPGraph* Series3;

  // Actions.
  QAction* ac_open;
  QAction* ac_print;
  QAction* ac_export;
  QAction* ac_exit;
  QAction* ac_start;
  QAction* ac_stop;
  QAction* ac_option;
  QAction* ac_calc;
  QAction* ac_allan;
  QAction* ac_report;
  QAction* ac_about;
  QAction* ac_shell;
  QAction* ac_saveserver;
  QAction* ac_file_info;
  QAction* ac_basic_info;
  QAction* ac_supp_info;
  QAction* ac_control;
  QAction* ac_scale;
  QAction* ac_hide_all;
  QAction* ac_show_all;

  // Menu and tool bars.
  QMenuBar* MainMenu1;
  QToolBar* ToolBar1;
  QToolBar* ToolBar2;
  QLabel* LabPort;
  QComboBox* change_port;
  QLabel* LabSample;
  QComboBox* change_sam;
  QProgressBar* CGauge1;

  // Side panel.
  QWidget* panel_ctrl_info;
  QGroupBox* panel_basic_info;
  QGroupBox* panel_supp_info;
  QGroupBox* panel_control;
  QGroupBox* panel_scale;
  // "Information".
  QPushButton* BtnDim;
  QCheckBox* ch_signal;
  QLabel* lab_sig;
  QCheckBox* ch_aver;
  QLabel* lab_aver;
  QLabel* lab_rms;
  QLabel* l_rms;
  QLabel* lab_minrms;
  QLabel* l_minrms;
  // "Supplemental information".
  QLabel* lab_temp;
  QLabel* lab_time;
  QLabel* lab_frame;
  QLabel* LabFreqFrame;
  QLabel* LabIDN;
  QCheckBox* ch_temp;
  // "Control".
  QLabel* lab_display;
  QSlider* TrDisplay;
  QLabel* LabMean;
  QLineEdit* e_mean;
  QPushButton* BtnApMean;
  // "Scale".
  QTabBar* TabCtrl;
  QLabel* LabMax;
  QLineEdit* e_max;
  QLabel* LabMin;
  QLineEdit* e_min;
  QPushButton* BtnApply;
  QPushButton* BtnAuto;
  // On the chart while it has points but every series is switched off (as
  // in a new settings file): one click shows the rate and the average.
  QPushButton* BtnShowSeries;

 public slots:
  void FormShow();
  void ApplyDisplaySettings();
  void FormResize();
  void change_portChange(int index);
  void change_samChange(int index);
  void ac_exitExecute();
  void SetIdleControls(bool idle);
  void ArrangePanels();
  void ClearSeries();

  // Display window and series switches.
  void TrDisplayChange(int position);
  void ch_signalClick();
  void ch_averClick();
  void ch_tempClick();
  void BtnShowSeriesClick();

  // Panels.
  void ac_basic_infoExecute();
  void ac_supp_infoExecute();
  void ac_controlExecute();
  void ac_scaleExecute();
  void ac_hide_allExecute();
  void ac_show_allExecute();

  // Auxiliary actions.
  void ac_printExecute();
  void ac_shellExecute();
  void ac_aboutExecute();
  void ac_optionExecute();

  // Actions of the measurement run and of recordings.
  void ac_openExecute();
  // Opens the recording `name` as "Open" does after its dialog (also for
  // a file named on the command line).
  void OpenRecording(const QString& name);
  void ac_startExecute();
  void ac_stopExecute();
  void ac_exportExecute();
  void ac_calcExecute();
  void ac_allanExecute();
  void ac_reportExecute();
  void ac_saveserverExecute();
  void ac_file_infoExecute();

  // Scale panel, unit switch and averaging time.
  void TabCtrlChange(int index);
  void BtnApplyClick();
  void BtnAutoClick();
  void LabMaxClick();
  void LabMinClick();
  void BtnDimClick();
  void BtnApMeanClick();

  // The measurement run.
  void XComm1Data(std::uint32_t count);
  void MMTimer1Timer();
  void DeviceIdentified();
  void SetLinkSpeed(int index);
  void AppIdle();

  // Live chart, labels and zoom statistics.
  void PrepareLiveChart();
  void RefreshLabels();
  void Chart1Zoom();
  void Chart1UndoZoom();

 public:
  // A measurement is going on: the timer is enabled or the port is open.
  bool RunActive() const;
  // The chart steps after a recording was read (caption, title, zoom,
  // axes, actions, statistics of the whole recording).
  void ShowLoadedRecording(TShowPath path);
  // AppIdle is installed as the idle handler (between Start and Stop).
  bool IdleInstalled() const { return static_cast<bool>(idleConnection_); }
  // Saves the live settings to the settings file; a failure is reported
  // (once).
  void SaveSettings();
  // The tool bar's gauge for a long reading: 0..100 shows it at that
  // value and lets the windows repaint, -1 hides it.
  void ShowGauge(int percent);
  // Long work runs beside the window (a recording being read, the archive
  // copy): the actions that would conflict with it are off meanwhile.
  bool Busy() const { return work_ && work_->Running(); }
  // Asks that work to stop; true when its thread ended within `limit`.
  bool EndWork(std::chrono::milliseconds limit);
  // While a run waits for the device's identification: seconds since Start
  // (the waiting title counts them); -1 when not waiting.
  int WaitingSeconds() const;
  // For tests: the waiting began `seconds` earlier than it did.
  void BackdateWaiting(int seconds);
  // The companion program started last (0 when none): its process id and
  // start time, so that a later process with a reused id is never touched.
  std::int64_t ShellPid = 0;
  std::uint64_t ShellStartTime = 0;

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateActions();
  void CreateMenu();
  void CreateToolBars();
  void CreatePanels();
  void CreateChart();
  void TogglePanel(QAction* action, QGroupBox* panel, int flag);
  void FollowCalculation(QAction* action);
  // BtnShowSeries shown when the chart has points and no series on.
  void RefreshSeriesHint();
  void LaunchShell();
  void KeepMinimumFrame();

  // TRunOwner.
  void StopRequested() override;
  void RunIdentified() override;
  void IdentificationText(const std::string& text) override;
  void RecordingFailed(const std::string& file, const std::string& reason) override;
  void LinkLost(int osError, const std::string& reason) override;
  void TickFailed(const std::string& message) override;

  void InstallIdle();
  void RemoveIdle();
  // A message box shown from the event loop a moment later, so that the
  // data path that noticed the problem never waits for the user.
  void QueueMessage(const QString& text, TMsgIcon icon);
  // The live settings into the recording reader, with the calculation
  // parameters of the settings dialog.
  void AssignOpenFileSettings();
  // Starts reading OpenFile.RecordingName onto the emptied chart and
  // returns; `then(loaded)` runs once the reading has ended ("Not open
  // file." follows it when the file cannot be read).
  void StartLoad(std::function<void(bool loaded)> then);
  // The conflicting actions off while work runs, back as they were after.
  void SetBusy(bool busy);
  std::vector<bool> busyStates_;
  // The recording behind the chart changed (another one, a new run, or
  // none): the analysis windows drop what they show of the last one.
  void RecordingChanged();
  std::unique_ptr<TBackgroundWork> work_ = std::make_unique<TBackgroundWork>();
  bool stopping_ = false;  // Stop closes the recording
  // Nothing is loaded any more: the actions that work on a recording off.
  void DisableRecordingActions();
  void TrimLiveSeries(double time);
  void SpanStatistics(double begin, double end);

  // The settings file could not be written: said once per program run.
  void ReportSettingsNotSaved(int error);
  bool settingsFailureShown_ = false;
  // Nothing is on the chart: no caption name, title, zoom or statistics
  // of an earlier recording, the recording actions off.
  void ShowNoRecording();
  // The folder of the recording chosen last: where Open and Start's save
  // dialog begin.
  void RememberRecordingFolder(const QString& fileName);
  void RestoreRecordingFolder();
  QString LastFolderPath() const;
  // The chart's title while the device has not identified itself.
  void StartWaiting();
  void ShowWaitingTitle();
  void StopWaiting();
  QTimer* waitTimer_ = nullptr;
  std::int64_t waitStartedMs_ = 0;

  QMetaObject::Connection idleConnection_;
  bool runMessageShown_ = false;  // one failure message per run
  std::string lostReason_;

  bool shown_ = false;
  bool built_ = false;  // every control exists
  QWidget* central_ = nullptr;
  QAction* gaugeAction_ = nullptr;
  // What the analysis adds to the chart, and the warm-up computation.
  std::unique_ptr<TChartOverlays> overlays_;
  std::unique_ptr<TBackgroundJob> warmupJob_;

 public:
  // The temperature sensitivity window (Run menu) and the warm-up marker (View).
  TThermalFrm* ThermalFrm = nullptr;
  QAction* ac_thermal = nullptr;
  QAction* ac_warmup = nullptr;
  void ac_thermalExecute();
  void ac_warmupExecute();
  // The menu of the analyses of the recording on the chart. An analysis
  // added with AddAnalysisAction is there whenever Calculation is (a
  // recording on the chart, no run, no work beside the window).
  QMenu* AnalysisMenu = nullptr;
  void AddAnalysisAction(QAction* action);
  TChartOverlays* Overlays() const { return overlays_.get(); }
  // The warm-up marker for the loaded recording, when the View item is checked.
  void RefreshWarmupMarker();

 public:
  // Cursors A and B on a loaded recording (times of records; NaN: not
  // placed) and their read-out on the chart.
  double CursorA = NAN;
  double CursorB = NAN;
  QLabel* CursorInfo = nullptr;
  TCursorReadOut LastReadOut;
  QAction* ac_cursor_a = nullptr;
  QAction* ac_cursor_b = nullptr;
  QAction* ac_cursor_clear = nullptr;
  // 0: A, 1: B, at the record nearest to `time`.
  void PlaceCursor(int which, double time);
  // The cursor placed last, by `pixels` (at least to the next record).
  void MoveCursor(int pixels);
  void ClearCursors();
  // The span the analyses take: between the cursors when both are placed,
  // else what the chart shows.
  void AnalysisSpan(double& begin, double& end) const;
  // Markers of the recording on the chart (or being recorded).
  std::vector<TMarker> Markers;
  QAction* ac_marker = nullptr;
  QAction* ac_markers = nullptr;
  QDialog* MarkersList = nullptr;
  void ac_markerExecute();
  void ac_markersExecute();
  // Markers the program knows of the recording on the chart: the scale
  // factor's rate-table plateaus, the soaks of the temperature model and
  // the steps of a known chamber programme. Shown and listed as automatic,
  // apart from the user's own, and never written to the markers file; gone
  // with the recording.
  enum TAutoMarkers { PlateauMarkers = 0, SoakMarkers = 1, ChamberMarkers = 2 };
  std::vector<TMarker> AutoMarkers[3];
  // Where the programme of the chamber the device sits in is known (the
  // virtual gyroscope's): its steps between two times of the device's
  // clock, marked on each recording a run made once it is stopped.
  std::function<std::vector<TMarker>(double from, double to)> ChamberProgramme;
  void SetAutoMarkers(TAutoMarkers source, std::vector<TMarker> markers);

 private:
  void CreateCursors();
  bool CursorsAllowed() const;
  double TimeUnderMouse() const;
  void RefreshCursors();
  bool ChartKey(QKeyEvent* event);
  void SaveMarkersNow();
  void LoadMarkersOf(const std::string& recording);
  void ShowMarkers();
  void FillMarkersList();
  QCPItemStraightLine* cursorLine_[2] = {nullptr, nullptr};
  QPoint cursorPressedAt_;
  int lastCursor_ = 0;
  std::string markersRecording_;
  std::vector<QCPAbstractItem*> markerItems_;
  QTableWidget* markersTable_ = nullptr;
  // The list's rows in time order: the user's marker (index), or -1 for an
  // automatic one.
  std::vector<std::ptrdiff_t> markerRows_;

  QAction* gaugeSeparator_ = nullptr;
  QTimer* shellWait_ = nullptr;
  int shellWaitTicks_ = 0;
};
