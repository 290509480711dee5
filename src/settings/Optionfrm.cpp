#include "settings/Optionfrm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "processing/NumberFormat.h"
#include "ui/Dialogs.h"
#include "ui/NumberText.h"
#include "ui/UpDown.h"

namespace {

template <typename W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QComboBox* MakeList(QWidget* parent, const char* name, const QStringList& items) {
  auto* box = Named(new QComboBox(parent), name);
  box->addItems(items);
  return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QString& text) {
  auto* edit = Named(new QLineEdit(text, parent), name);
  return edit;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const QString& caption) {
  return Named(new QGroupBox(caption, parent), name);
}

QFormLayout* Form(QWidget* owner) {
  auto* form = new QFormLayout(owner);
  form->setContentsMargins(6, 4, 6, 4);
  form->setVerticalSpacing(3);
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  return form;
}

QString PortName(int i) { return QStringLiteral("COM%1").arg(i + 1); }

}  // namespace

TOptionForm::TOptionForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("OptionForm"));
  setWindowTitle(QStringLiteral("Settings"));
  setFixedSize(393, 319);

  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  auto* pageConnect = Named(new QWidget, "TabConnect");
  auto* pageDisplay = Named(new QWidget, "TabDisplay");
  auto* pageAddress = Named(new QWidget, "TabAddress");
  auto* pageCalc = Named(new QWidget, "TabCalculation");
  PageControl1->addTab(pageConnect, QStringLiteral("Connect"));
  PageControl1->addTab(pageDisplay, QStringLiteral("Display"));
  PageControl1->addTab(pageAddress, QStringLiteral("Address"));
  PageControl1->addTab(pageCalc, QStringLiteral("Calculation"));

  // --- "Connect" page.
  GroupConnect = MakeGroup(pageConnect, "GroupConnect", QStringLiteral("Connect"));
  QStringList ports;
  for (int i = 0; i < PortCount; ++i) ports << PortName(i);
  change_port = MakeList(GroupConnect, "change_port", ports);
  QStringList bauds;
  for (std::uint32_t rate : BaudValues) bauds << QString::number(rate);
  ch_baud = MakeList(GroupConnect, "ch_baud", bauds);
  e_adr = MakeEdit(GroupConnect, "e_adr", QStringLiteral("100"));
  e_adr->setReadOnly(true);
  UpDown1 = Named(new TUpDown(GroupConnect), "UpDown1");
  UpDown1->SetRange(0, 255);
  UpDown1->SetPosition(100);
  QStringList samples;
  for (int s : SampleValues) samples << QString::number(s);
  change_sam = MakeList(GroupConnect, "change_sam", samples);
  {
    auto* form = Form(GroupConnect);
    form->addRow(QStringLiteral("PORT"), change_port);
    form->addRow(QStringLiteral("BaudRate"), ch_baud);
    auto* address = new QHBoxLayout;
    address->setSpacing(0);
    address->addWidget(e_adr);
    address->addWidget(UpDown1);
    form->addRow(QStringLiteral("Address"), address);
    form->addRow(QStringLiteral("Sample"), change_sam);
  }

  GroupMode = MakeGroup(pageConnect, "GroupMode", QStringLiteral("Mode"));
  ChWorking = MakeList(GroupMode, "ChWorking",
                       {QStringLiteral("Normal"), QStringLiteral("Trigger"),
                        QStringLiteral("OneCommand")});
  chListTrigerMask = Named(new QListWidget(GroupMode), "chListTrigerMask");
  for (const char* item : {"Temperature", "Count frame", "Time"}) {
    auto* entry = new QListWidgetItem(QString::fromLatin1(item), chListTrigerMask);
    entry->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    entry->setCheckState(Qt::Unchecked);
  }
  chListTrigerMask->setFixedHeight(3 * chListTrigerMask->fontMetrics().height() + 10);
  eFreqImpulse = MakeEdit(GroupMode, "eFreqImpulse", QStringLiteral("100"));
  {
    auto* layout = new QVBoxLayout(GroupMode);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);
    layout->addWidget(new QLabel(QStringLiteral("Mode"), GroupMode));
    layout->addWidget(ChWorking);
    layout->addWidget(new QLabel(QStringLiteral("Structur packet"), GroupMode));
    layout->addWidget(chListTrigerMask);
    layout->addWidget(new QLabel(QStringLiteral("Frequency Impulse, Hz"), GroupMode));
    layout->addWidget(eFreqImpulse);
    layout->addStretch(1);
  }

  lab_path = Named(new QLabel(pageConnect), "lab_path");
  lab_path->setFrameShape(QFrame::StyledPanel);
  lab_path->setMinimumWidth(10);
  lab_path->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  BtnPath = Named(new QPushButton(QStringLiteral("..."), pageConnect), "BtnPath");
  BtnPath->setFixedWidth(28);

  PanelServer = Named(new QWidget(pageConnect), "PanelServer");
  LabFolderServer = Named(new QLabel(PanelServer), "LabFolderServer");
  LabFolderServer->setFrameShape(QFrame::StyledPanel);
  LabFolderServer->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  BtnFolderServer = Named(new QPushButton(QStringLiteral("..."), PanelServer), "BtnFolderServer");
  BtnFolderServer->setFixedWidth(28);
  {
    auto* layout = new QGridLayout(PanelServer);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(QStringLiteral("Path server folder"), PanelServer), 0, 0, 1, 2);
    layout->addWidget(LabFolderServer, 1, 0);
    layout->addWidget(BtnFolderServer, 1, 1);
  }
  PanelServer->setVisible(false);
  {
    auto* grid = new QGridLayout(pageConnect);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setSpacing(4);
    grid->addWidget(GroupConnect, 0, 0);
    grid->addWidget(GroupMode, 0, 1, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Path shell program"), pageConnect), 1, 0);
    auto* path = new QHBoxLayout;
    path->setSpacing(2);
    path->addWidget(lab_path, 1);
    path->addWidget(BtnPath);
    grid->addLayout(path, 2, 0);
    grid->addWidget(PanelServer, 3, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);
  }

  // --- "Display" page.
  GroupDisplay = MakeGroup(pageDisplay, "GroupDisplay", QStringLiteral("Display"));
  change_quality = MakeList(GroupDisplay, "change_quality",
                            {QStringLiteral("Low"), QStringLiteral("Middle"),
                             QStringLiteral("Hihg")});
  Form(GroupDisplay)->addRow(QStringLiteral("Resolution"), change_quality);

  GroupTimeOption = MakeGroup(pageDisplay, "GroupTimeOption", QStringLiteral("Time option"));
  chTimeHard = Named(new QRadioButton(QStringLiteral("Hardware"), GroupTimeOption), "chTimeHard");
  chTimeSoft = Named(new QRadioButton(QStringLiteral("Software"), GroupTimeOption), "chTimeSoft");
  chTimeHard->setChecked(true);
  {
    auto* layout = new QVBoxLayout(GroupTimeOption);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(chTimeHard);
    layout->addWidget(chTimeSoft);
    layout->addStretch(1);
  }

  GroupHardTime = MakeGroup(pageDisplay, "GroupHardTime", QStringLiteral("Option hardware time"));
  chTimeTypeHard = MakeList(GroupHardTime, "chTimeTypeHard",
                            {QStringLiteral("FLOAT"), QStringLiteral("ULONG")});
  eTimeScale = MakeEdit(GroupHardTime, "eTimeScale", QString());
  eTimeScale->setEnabled(false);
  e_FaultTime = MakeEdit(GroupHardTime, "e_FaultTime", QStringLiteral("100"));
  {
    auto* form = Form(GroupHardTime);
    form->addRow(QStringLiteral("Type"), chTimeTypeHard);
    form->addRow(QStringLiteral("Scale"), eTimeScale);
    auto* faultLabel = new QLabel(QStringLiteral("Fault"), GroupHardTime);
    form->addRow(faultLabel, e_FaultTime);
    faultLabel->setVisible(false);
    e_FaultTime->setVisible(false);
  }

  GroupTempOption = MakeGroup(pageDisplay, "GroupTempOption", QStringLiteral("Temperature option"));
  cbTempType = MakeList(GroupTempOption, "cbTempType",
                        {QStringLiteral("FLOAT"), QStringLiteral("LONG")});
  eTempScale = MakeEdit(GroupTempOption, "eTempScale", QString());
  eTempScale->setEnabled(false);
  {
    auto* form = Form(GroupTempOption);
    form->addRow(QStringLiteral("Type"), cbTempType);
    form->addRow(QStringLiteral("Scale"), eTempScale);
  }
  {
    auto* grid = new QGridLayout(pageDisplay);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setSpacing(4);
    grid->addWidget(GroupDisplay, 0, 0);
    grid->addWidget(GroupTimeOption, 1, 0);
    grid->addWidget(GroupHardTime, 0, 1);
    grid->addWidget(GroupTempOption, 1, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(2, 1);
  }

  // --- "Address" page.
  GroupAddress = MakeGroup(pageAddress, "GroupAddress", QStringLiteral("Address parameter"));
  ch_adr = Named(new QCheckBox(QStringLiteral("Enable change"), GroupAddress), "ch_adr");
  ch_adr->setVisible(false);
  e_AdTime = MakeEdit(GroupAddress, "e_AdTime", QStringLiteral("24"));
  e_AdSig = MakeEdit(GroupAddress, "e_AdSig", QStringLiteral("0"));
  e_AdTemp = MakeEdit(GroupAddress, "e_AdTemp", QStringLiteral("3"));
  {
    auto* form = Form(GroupAddress);
    form->addRow(ch_adr);
    form->addRow(QStringLiteral("Time"), e_AdTime);
    form->addRow(QStringLiteral("Rate"), e_AdSig);
    form->addRow(QStringLiteral("Temperature"), e_AdTemp);
  }
  GroupCommand = MakeGroup(pageAddress, "GroupCommand", QStringLiteral("OneCommand mode address"));
  e_Command = MakeEdit(GroupCommand, "e_Command", QStringLiteral("10"));
  Form(GroupCommand)->addRow(QStringLiteral("Command"), e_Command);
  // Field addresses are bytes: three digits hold every one of them, and
  // Apply's range check (not the edit) refuses what lies beyond.
  for (QLineEdit* edit : {e_AdTime, e_AdSig, e_AdTemp, e_Command}) {
    edit->setReadOnly(true);
    edit->setMaxLength(3);
  }
  {
    auto* grid = new QGridLayout(pageAddress);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->setSpacing(4);
    grid->addWidget(GroupAddress, 0, 0);
    grid->addWidget(GroupCommand, 0, 1, Qt::AlignTop);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(1, 1);
  }

  // --- "Calculation" page.
  GroupCalculation =
      MakeGroup(pageCalc, "GroupCalculation", QStringLiteral("Calculation basic parameter"));
  e_tsszs = MakeEdit(GroupCalculation, "e_tsszs", QStringLiteral("100"));
  e_passband = MakeEdit(GroupCalculation, "e_passband", QStringLiteral("50"));
  e_trw = MakeEdit(GroupCalculation, "e_trw", QStringLiteral("10"));
  e_U_Earth = MakeEdit(GroupCalculation, "e_U_Earth", QStringLiteral("11") + DecimalSeparator() +
                                                          QStringLiteral("7835"));
  e_Latitude = MakeEdit(GroupCalculation, "e_Latitude", QString());
  e_AxisElevation = MakeEdit(GroupCalculation, "e_AxisElevation", QStringLiteral("90"));
  e_AxisHeading = MakeEdit(GroupCalculation, "e_AxisHeading", QStringLiteral("0"));
  SitePath = SiteFilePath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
  {
    auto* layout = new QVBoxLayout(GroupCalculation);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);
    const std::pair<const char*, QLineEdit*> rows[] = {
        {"Time calculation drift error, second", e_tsszs},
        {"Bandwidth, Hz", e_passband},
        {"Time calculation random walk, second", e_trw},
        {"Vertical earth rate on work place, °/h", e_U_Earth},
        {"Latitude, ° (north positive; empty: unknown)", e_Latitude},
        {"Input axis elevation above the horizontal, °", e_AxisElevation},
        {"Input axis heading from north, °", e_AxisHeading}};
    for (const auto& [caption, edit] : rows) {
      layout->addWidget(new QLabel(QString::fromUtf8(caption), GroupCalculation));
      layout->addWidget(edit);
    }
    layout->addStretch(1);
    auto* page = new QVBoxLayout(pageCalc);
    page->setContentsMargins(6, 6, 6, 6);
    page->addWidget(GroupCalculation);
  }

  // --- Buttons.
  BtnOk = Named(new QPushButton(QStringLiteral("Ok"), this), "BtnOk");
  BtnApply = Named(new QPushButton(QStringLiteral("Apply"), this), "BtnApply");
  BtnCancel = Named(new QPushButton(QStringLiteral("Cancel"), this), "BtnCancel");
  BtnDefault = Named(new QPushButton(QStringLiteral("Default"), this), "BtnDefault");
  BtnApply->setEnabled(false);
  BtnOk->setDefault(true);
  {
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(BtnOk);
    buttons->addWidget(BtnApply);
    buttons->addWidget(BtnCancel);
    buttons->addWidget(BtnDefault);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 6);
    layout->setSpacing(6);
    layout->addWidget(PageControl1, 1);
    layout->addLayout(buttons);
  }

  // --- Handlers. Lists react to the user's choice only, radio buttons and
  // the check box also to being set, text edits to every change.
  connect(change_port, &QComboBox::activated, this, &TOptionForm::change_portChange);
  connect(ch_baud, &QComboBox::activated, this, &TOptionForm::ch_baudChange);
  connect(change_sam, &QComboBox::activated, this, &TOptionForm::change_samChange);
  connect(UpDown1, &TUpDown::Click, this, &TOptionForm::UpDown1Click);
  connect(change_quality, &QComboBox::activated, this, &TOptionForm::change_qualityChange);
  connect(ChWorking, &QComboBox::activated, this, &TOptionForm::ChWorkingChange);
  connect(chTimeHard, &QRadioButton::toggled, this, [this](bool on) {
    if (on) chTimeHardClick();
  });
  connect(chTimeSoft, &QRadioButton::toggled, this, [this](bool on) {
    if (on) chTimeSoftClick();
  });
  connect(chTimeTypeHard, &QComboBox::activated, this, &TOptionForm::chTimeTypeHardChange);
  connect(cbTempType, &QComboBox::activated, this, &TOptionForm::cbTempTypeChange);
  connect(ch_adr, &QCheckBox::toggled, this, &TOptionForm::ch_adrClick);
  connect(BtnPath, &QPushButton::clicked, this, &TOptionForm::BtnPathClick);
  connect(BtnFolderServer, &QPushButton::clicked, this, &TOptionForm::BtnFolderServerClick);
  for (QLineEdit* edit : {e_FaultTime, eTimeScale, eTempScale, e_AdTime, e_AdSig, e_AdTemp,
                          e_Command, e_tsszs, e_passband, e_trw, e_U_Earth})
    connect(edit, &QLineEdit::textChanged, this, &TOptionForm::EditChange);
  for (QLineEdit* edit : {e_AxisElevation, e_AxisHeading})
    connect(edit, &QLineEdit::textChanged, this, &TOptionForm::EditChange);
  connect(e_Latitude, &QLineEdit::textChanged, this, &TOptionForm::LatitudeChange);
  connect(BtnApply, &QPushButton::clicked, this, &TOptionForm::BtnApplyClick);
  connect(BtnOk, &QPushButton::clicked, this, &TOptionForm::BtnOkClick);
  connect(BtnCancel, &QPushButton::clicked, this, &TOptionForm::BtnCancelClick);
  connect(BtnDefault, &QPushButton::clicked, this, &TOptionForm::BtnDefaultClick);
}

void TOptionForm::showEvent(QShowEvent* event) {
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  FillControls();
  QDialog::showEvent(event);
}

void TOptionForm::SetModified(bool modified) {
  Modified = modified;
  BtnApply->setEnabled(modified);
}

// ---------------------------------------------------------------------------
// Filling.

void TOptionForm::FillControls() {
  filling_ = true;
  const TOptionProgramm& s = Settings;
  const char sep = DecimalSeparator();
  const TOptionTexts texts = OptionTextsOf(s, sep);

  // 1.-2.
  change_port->setCurrentIndex(s.SafePortIndex());
  change_sam->setCurrentIndex(s.SafeSampleIndex());
  e_adr->setText(QString::number(s.Address));
  UpDown1->SetPosition(s.Address);
  ch_baud->setCurrentIndex(s.SafeBaudIndex());
  e_FaultTime->setText(QString::fromStdString(texts.FaultTime));

  // 3.-4. Temperature type and scale, time scale, impulse frequency.
  if (s.TempType <= TempLong) cbTempType->setCurrentIndex(s.TempType);
  eTempScale->setEnabled(s.TempType == TempLong);
  eTempScale->setText(QString::fromStdString(texts.TempScale));
  eTimeScale->setText(QString::fromStdString(texts.TimeScale));
  eFreqImpulse->setText(QString::fromStdString(texts.FreqImpulse));

  // 5. Resolution.
  if (const int item = ResolutionItem(s.Resolution); item >= 0)
    change_quality->setCurrentIndex(item);

  // 6. Field addresses.
  ch_adr->setChecked(s.EnableChange);
  for (QLineEdit* edit : {e_AdTime, e_AdSig, e_AdTemp, e_Command})
    edit->setReadOnly(!s.EnableChange);
  e_AdTime->setText(QString::fromStdString(texts.AdTime));
  e_AdSig->setText(QString::fromStdString(texts.AdSig));
  e_AdTemp->setText(QString::fromStdString(texts.AdTemp));
  e_Command->setText(QString::fromStdString(texts.Command));

  // 7. Calculation parameters.
  e_tsszs->setText(QString::fromStdString(texts.DriftTime));
  e_passband->setText(QString::fromStdString(texts.Passband));
  e_trw->setText(QString::fromStdString(texts.RandomWalkTime));
  e_U_Earth->setText(QString::fromStdString(texts.EarthRate));
  {
    // The site as its file holds it; a missing or malformed file: unknown.
    TSite site;
    std::ifstream in(SitePath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string error;
    siteText_ = in ? text.str() : std::string();
    if (!ParseSite(siteText_, site, error)) site = TSite{};
    const auto shown = [sep](double v) {
      std::string t = FormatGeneral(v, '.', 10);
      for (char& c : t)
        if (c == '.') c = sep;
      return QString::fromStdString(t);
    };
    e_Latitude->setText(site.HasLatitude ? shown(site.Latitude) : QString());
    e_AxisElevation->setText(shown(site.Elevation));
    e_AxisHeading->setText(shown(site.Heading));
  }

  // 8.-9.
  for (int i = 0; i < 3; ++i)
    chListTrigerMask->item(i)->setCheckState(s.TrigMask[static_cast<std::size_t>(i)]
                                                 ? Qt::Checked
                                                 : Qt::Unchecked);
  lab_path->setText(QString::fromStdString(s.ShellPath));
  LabFolderServer->setText(QString::fromStdString(s.ServerFolder));

  // 10. Time source. The type list is set before the radio button, whose
  // handler reads it.
  const std::uint8_t source = s.TimeSource;
  if (source == TimeHardFloat || source == TimeHardUlong) {
    chTimeTypeHard->setCurrentIndex(source == TimeHardUlong ? 1 : 0);
    chTimeHard->setChecked(true);
    GroupHardTime->setEnabled(true);
    e_AdTime->setEnabled(true);
    eTimeScale->setEnabled(source == TimeHardUlong);
  } else if (source == TimeSoftware) {
    chTimeSoft->setChecked(true);
    GroupHardTime->setEnabled(false);
    e_AdTime->setEnabled(false);
  }
  Settings.TimeSource = source;

  // 11. Mode.
  if (s.Mode <= ModeOneCommand) ChWorking->setCurrentIndex(s.Mode);
  ApplyModeRule(s.Mode);

  // 12.
  Shown = ReadTexts();
  filling_ = false;
  SetModified(false);
}

void TOptionForm::ApplyModeRule(int mode) {
  bool trigger = false;
  if (mode == ModeNormal || mode == ModeOneCommand)
    trigger = false;
  else if (mode == ModeTrigger)
    trigger = true;
  else
    return;
  GroupAddress->setEnabled(!trigger);
  ch_adr->setChecked(false);
  ch_adr->setEnabled(!trigger);
  e_AdSig->setEnabled(!trigger);
  e_AdTemp->setEnabled(!trigger);
  e_Command->setEnabled(!trigger);
  chListTrigerMask->setEnabled(trigger);
  eFreqImpulse->setEnabled(trigger);
  // Unchecking the box runs its handler only when it was checked; the
  // record and the edits end the same either way.
  Settings.EnableChange = false;
  for (QLineEdit* edit : {e_AdTime, e_AdSig, e_AdTemp, e_Command}) edit->setReadOnly(true);
}

// ---------------------------------------------------------------------------
// Immediate handlers.

void TOptionForm::change_portChange(int index) {
  Settings.PortIndex = index;
  SetModified(true);
}

void TOptionForm::ch_baudChange(int index) {
  Settings.BaudIndex = static_cast<std::uint8_t>(index);
  SetModified(true);
}

void TOptionForm::change_samChange(int index) {
  Settings.SampleIndex = index;
  Settings.Sample = change_sam->itemText(index).toInt();
  SetModified(true);
}

void TOptionForm::UpDown1Click(int position) {
  Settings.Address = static_cast<std::uint8_t>(position);
  e_adr->setText(QString::number(position));
  SetModified(true);
}

void TOptionForm::change_qualityChange(int index) {
  if (const int resolution = ResolutionOfItem(index))
    Settings.Resolution = static_cast<std::int16_t>(resolution);
  SetModified(true);
}

void TOptionForm::ChWorkingChange(int index) {
  Settings.Mode = static_cast<std::uint8_t>(index);
  ApplyModeRule(index);
  SetModified(true);
}

void TOptionForm::chTimeHardClick() {
  const bool hard = chTimeHard->isChecked();
  e_AdTime->setEnabled(hard);
  GroupHardTime->setEnabled(hard);
  const bool ulong = chTimeTypeHard->currentIndex() == 1;
  Settings.TimeSource = ulong ? TimeHardUlong : TimeHardFloat;
  eTimeScale->setEnabled(ulong);
  SetModified(true);
}

void TOptionForm::chTimeSoftClick() {
  const bool soft = chTimeSoft->isChecked();
  e_AdTime->setEnabled(!soft);
  GroupHardTime->setEnabled(!soft);
  Settings.TimeSource = TimeSoftware;
  SetModified(true);
}

void TOptionForm::chTimeTypeHardChange(int index) {
  Settings.TimeSource = index == 1 ? TimeHardUlong : TimeHardFloat;
  eTimeScale->setEnabled(index == 1);
  SetModified(true);
}

void TOptionForm::cbTempTypeChange(int index) {
  Settings.TempType = index == 1 ? TempLong : TempFloat;
  eTempScale->setEnabled(index == 1);
  SetModified(true);
}

void TOptionForm::ch_adrClick() {
  Settings.EnableChange = ch_adr->isChecked();
  for (QLineEdit* edit : {e_AdTime, e_AdSig, e_AdTemp, e_Command})
    edit->setReadOnly(!Settings.EnableChange);
  SetModified(true);
}

void TOptionForm::BtnPathClick() {
  TFileRequest request;
  request.Caption = QStringLiteral("Path shell program");
  request.Filter = QStringLiteral("Programs (*.exe);;All files (*)");
  request.FileName = lab_path->text();
  QString chosen;
  if (Dialogs().OpenFileName(this, request, chosen)) {
    lab_path->setText(chosen);
    Settings.ShellPath = chosen.toStdString();
  }
  SetModified(true);
}

void TOptionForm::BtnFolderServerClick() {
  QString folder = LabFolderServer->text();
  if (Dialogs().FolderName(QStringLiteral("Archive server"), folder))
    LabFolderServer->setText(folder);
  SetModified(true);
}

void TOptionForm::EditChange() {
  if (!filling_) SetModified(true);
}

namespace {

// An angle typed with either separator; false for anything else.
bool Angle(const QString& text, double& value) {
  std::string t = text.trimmed().toStdString();
  for (char& c : t)
    if (c == ',') c = '.';
  char* end = nullptr;
  value = std::strtod(t.c_str(), &end);
  return !t.empty() && *end == 0 && std::isfinite(value);
}

}  // namespace

void TOptionForm::LatitudeChange() {
  if (filling_) return;
  SetModified(true);
  // The vertical component of the Earth's rate at that latitude, in both
  // hemispheres (the bias error takes the sign of the mean).
  double latitude = 0;
  if (!Angle(e_Latitude->text(), latitude) || std::fabs(latitude) > 90) return;
  const double vertical = kEarthRateDegH * std::sin(std::fabs(latitude) * M_PI / 180.0);
  if (vertical > 0) e_U_Earth->setText(QString::fromStdString(FormatFixed(vertical, 15, 6, DecimalSeparator())));
}

bool TOptionForm::CheckSite(TSite& site) {
  const auto refuse = [&](const char* text) {
    SetModified(true);
    Dialogs().ShowError(this, QString::fromUtf8(text));
    return false;
  };
  double v = 0;
  if (!e_Latitude->text().trimmed().isEmpty()) {
    if (!Angle(e_Latitude->text(), v) || std::fabs(v) > 90)
      return refuse("The latitude must be empty or degrees from -90 to 90");
    site.HasLatitude = true;
    site.Latitude = v;
  }
  if (!Angle(e_AxisElevation->text(), v) || std::fabs(v) > 90)
    return refuse("The input axis elevation must be degrees from -90 to 90");
  site.Elevation = v;
  if (!Angle(e_AxisHeading->text(), v)) return refuse("The input axis heading must be a number of degrees");
  site.Heading = v;
  return true;
}

bool TOptionForm::SaveSite(const TSite& site) {
  // Written only when it changes: the file's own comments stay otherwise.
  TSite before;
  std::string error;
  if (!ParseSite(siteText_, before, error)) before = TSite{};
  if (SiteFileText(before) == SiteFileText(site) || SitePath.empty()) return true;
  const std::string text = SiteFileText(site);
  const std::string folder = SitePath.substr(0, SitePath.find_last_of('/'));
  std::string made;
  for (std::size_t at = 1; at != std::string::npos; at = folder.find('/', at + 1)) {
    made = folder.substr(0, at == std::string::npos ? folder.size() : at);
    ::mkdir(made.c_str(), 0755);
  }
  ::mkdir(folder.c_str(), 0755);
  const std::string temporary = SitePath + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      SetModified(true);
      Dialogs().ShowError(this, QStringLiteral("Cannot write the site file ") + QString::fromStdString(SitePath));
      return false;
    }
  }
  if (std::rename(temporary.c_str(), SitePath.c_str()) != 0) {
    std::remove(temporary.c_str());
    SetModified(true);
    Dialogs().ShowError(this, QStringLiteral("Cannot write the site file ") + QString::fromStdString(SitePath));
    return false;
  }
  siteText_ = text;
  return true;
}

// ---------------------------------------------------------------------------
// Apply, OK, Cancel, Default.

TOptionTexts TOptionForm::ReadTexts() const {
  TOptionTexts t;
  t.FaultTime = e_FaultTime->text().toStdString();
  t.AdTime = e_AdTime->text().toStdString();
  t.AdSig = e_AdSig->text().toStdString();
  t.AdTemp = e_AdTemp->text().toStdString();
  t.Command = e_Command->text().toStdString();
  t.DriftTime = e_tsszs->text().toStdString();
  t.Passband = e_passband->text().toStdString();
  t.RandomWalkTime = e_trw->text().toStdString();
  t.EarthRate = e_U_Earth->text().toStdString();
  t.TimeScale = eTimeScale->text().toStdString();
  t.TempScale = eTempScale->text().toStdString();
  t.FreqImpulse = eFreqImpulse->text().toStdString();
  return t;
}

void TOptionForm::WriteTexts(const TOptionTexts& t) {
  auto put = [](QLineEdit* edit, const std::string& text) {
    const QString value = QString::fromStdString(text);
    if (edit->text() != value) edit->setText(value);
  };
  put(e_FaultTime, t.FaultTime);
  put(e_AdTime, t.AdTime);
  put(e_AdSig, t.AdSig);
  put(e_AdTemp, t.AdTemp);
  put(e_Command, t.Command);
  put(e_tsszs, t.DriftTime);
  put(e_passband, t.Passband);
  put(e_trw, t.RandomWalkTime);
  put(e_U_Earth, t.EarthRate);
  put(eTimeScale, t.TimeScale);
  put(eTempScale, t.TempScale);
  put(eFreqImpulse, t.FreqImpulse);
}

bool TOptionForm::Apply() {
  TSite site;
  if (!CheckSite(site)) return false;
  TOptionTexts texts = ReadTexts();
  const TApplyResult result = ApplyOptionTexts(texts, Shown, Settings, DecimalSeparator());
  WriteTexts(texts);
  if (!result.Ok) {
    SetModified(true);
    Dialogs().ShowError(this, QString::fromStdString(result.Message));
    return false;
  }
  for (int i = 0; i < 3; ++i)
    Settings.TrigMask[static_cast<std::size_t>(i)] =
        chListTrigerMask->item(i)->checkState() == Qt::Checked;
  Settings.ServerFolder = LabFolderServer->text().toStdString();
  if (!SaveSite(site)) return false;
  SetModified(false);
  return true;
}

void TOptionForm::BtnApplyClick() { Apply(); }

void TOptionForm::ConfirmAndClose() {
  SetModified(false);
  if (!Apply()) return;  // the dialog stays open on a text that is no number
  Settings.EnableChange = false;
  accept();
}

void TOptionForm::BtnOkClick() { ConfirmAndClose(); }

void TOptionForm::BtnCancelClick() {
  if (Modified &&
      Dialogs().Message(this, QStringLiteral("Save modification?"), QStringLiteral("Message!"),
                        TMsgButtons::OkCancel, TMsgIcon::Question) == TMsgResult::Ok) {
    ConfirmAndClose();
    return;
  }
  SetModified(false);
  reject();
}

void TOptionForm::BtnDefaultClick() {
  const std::string fileName = Settings.FileName;
  Settings.SetDefault();
  Settings.FileName = fileName;
  FillControls();
}
