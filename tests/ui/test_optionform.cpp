// The settings dialog: its texts, the immediate handlers, the mode and time
// rules, Apply's checks and messages, Cancel's question, Default.
#include <QTest>
#include <QtWidgets>
#include <gtest/gtest.h>

#include "settings/Optionfrm.h"
#include "ui/ScriptedDialogs.h"
#include "ui/UpDown.h"

namespace {

class OptionForm : public ::testing::Test {
 protected:
  void SetUp() override { Open(); }
  // As the main window opens it: the record assigned, the dialog shown.
  void Open(const TOptionProgramm& record = TOptionProgramm()) {
    form.hide();
    form.Settings.Assign(record);
    form.show();
  }
  void Choose(QComboBox* list, int index) {
    list->setCurrentIndex(index);
    emit list->activated(index);
  }

  TScriptedDialogs dialogs;
  TOptionForm form;
};

TEST_F(OptionForm, ShowsTheRecordsTexts) {
  QStringList pages;
  for (int i = 0; i < form.PageControl1->count(); ++i) pages << form.PageControl1->tabText(i);
  EXPECT_EQ(pages, QStringList({"Connect", "Display", "Address", "Calculation"}));
  EXPECT_EQ(form.change_quality->itemText(2), "Hihg");
  for (const auto& [edit, text] : {std::pair{form.eTimeScale, "8,6805555E-6"}, {form.eTempScale, "0,10"},
                                   {form.e_tsszs, "100,0"}, {form.e_trw, "10,0"},
                                   {form.e_U_Earth, "11,780000"}, {form.e_passband, "50"}})
    EXPECT_EQ(edit->text(), text);
  // A stored value is kept while its rounded text is left as it is.
  TOptionProgramm record;
  record.TempType = TempLong;
  record.TempScale = 0.001;
  record.DriftTime = 100.04f;
  Open(record);
  EXPECT_EQ(form.eTempScale->text(), "0,00");
  form.BtnOk->click();
  EXPECT_TRUE(form.Settings.TempScale == 0.001 && form.Settings.DriftTime == 100.04f);
  Open(record);
  form.eTempScale->setText("");  // refilled with three decimals
  form.BtnApply->click();
  EXPECT_EQ(form.eTempScale->text(), "0,001");
}

TEST_F(OptionForm, ListsAndTheAddressWriteTheRecordAtOnce) {
  Choose(form.change_port, 2);
  Choose(form.change_sam, 12);
  Choose(form.change_quality, 0);
  Choose(form.cbTempType, 1);
  const TOptionProgramm& s = form.Settings;
  EXPECT_TRUE(s.PortIndex == 2 && s.Sample == 125 && s.Resolution == 2000 && s.TempType == TempLong);
  EXPECT_TRUE(form.eTempScale->isEnabled() && form.BtnApply->isEnabled());
  form.UpDown1->StepBy(1);
  EXPECT_EQ(form.e_adr->text(), "101");
  EXPECT_EQ(form.Settings.Address, 101);
}

TEST_F(OptionForm, ModeAndTimeSourceRules) {
  // Trigger enables its mask and frequency, the others the addresses;
  // every choice ends the permission to change the addresses.
  for (int mode : {1, 0, 2}) {
    form.ch_adr->setChecked(true);
    Choose(form.ChWorking, mode);
    EXPECT_EQ(form.Settings.Mode, mode);
    const bool trigger = mode == ModeTrigger;
    EXPECT_TRUE(form.chListTrigerMask->isEnabled() == trigger && form.eFreqImpulse->isEnabled() == trigger);
    EXPECT_TRUE(form.GroupAddress->isEnabled() != trigger && form.ch_adr->isEnabled() != trigger &&
                form.e_Command->isEnabled() != trigger);
    EXPECT_FALSE(form.ch_adr->isChecked() || form.Settings.EnableChange || !form.e_AdSig->isReadOnly());
  }
  form.chTimeSoft->setChecked(true);
  EXPECT_TRUE(form.Settings.TimeSource == TimeSoftware && !form.GroupHardTime->isEnabled());
  form.chTimeHard->setChecked(true);  // restored from the type list (ULONG)
  EXPECT_EQ(form.Settings.TimeSource, TimeHardUlong);
  Choose(form.chTimeTypeHard, 0);
  EXPECT_TRUE(form.Settings.TimeSource == TimeHardFloat && !form.eTimeScale->isEnabled());
  // Filling keeps each stored source and ends the change permission.
  for (std::uint8_t source : {TimeHardUlong, TimeSoftware, TimeHardFloat, TimeHardUlong}) {
    TOptionProgramm record;
    record.TimeSource = source;
    record.Mode = ModeTrigger;
    record.EnableChange = true;
    Open(record);
    EXPECT_EQ(form.Settings.TimeSource, source);
    EXPECT_EQ(form.chTimeSoft->isChecked(), source == TimeSoftware);
    EXPECT_FALSE(form.GroupAddress->isEnabled() || form.Settings.EnableChange);
  }
}

TEST_F(OptionForm, ApplySetsBackWhatIsOutOfRange) {
  form.ch_adr->setChecked(true);
  // Typed, shown after Apply.
  const std::tuple<QLineEdit*, const char*, const char*> cases[] = {
      {form.e_tsszs, "0", "100,0"},          {form.e_tsszs, "1001", "100,0"},
      {form.e_tsszs, "", "100,0"},           {form.e_passband, "301", "50"},
      {form.e_passband, "0", "50"},          {form.e_trw, "50,5", "10,0"},
      {form.e_U_Earth, "15,6", "11,780000"}, {form.e_U_Earth, "-1", "11,780000"},
      {form.e_Command, "8", "10"},           {form.e_trw, "0", "10,0"},
      {form.e_U_Earth, "0", "11,780000"},    {form.e_FaultTime, "0", "100"},
      {form.e_FaultTime, "1", "1"},          {form.e_tsszs, "1000", "1000"},
      {form.e_passband, "300", "300"},       {form.e_trw, "50", "50"},
      {form.e_U_Earth, "15,5", "15,5"},      {form.e_AdTemp, "7", "7"},
      {form.e_Command, "9", "9"},
  };
  for (const auto& [edit, text, shown] : cases) {
    edit->setText(text);
    form.BtnApply->click();
    EXPECT_EQ(edit->text(), shown) << text;
  }
  const TOptionProgramm& s = form.Settings;
  EXPECT_TRUE(s.DriftTime == 1000 && s.Passband == 300 && s.RandomWalkTime == 50 && s.EarthRate == 15.5);
  EXPECT_TRUE(s.AdTemp == 7 && s.Command == 9);
  // Two fields on one address: both set back.
  form.e_AdTime->setText("5");
  form.e_AdSig->setText("5");
  form.BtnApply->click();
  EXPECT_EQ(form.e_AdTime->text() + form.e_AdSig->text(), "240");
  form.e_AdTemp->setText("24");
  form.BtnApply->click();
  EXPECT_EQ(form.e_AdTemp->text() + form.e_AdTime->text(), "724");
  EXPECT_TRUE(dialogs.Calls.empty());
  form.BtnOk->click();  // OK ends the change permission
  EXPECT_FALSE(form.Settings.EnableChange);
}

// The address edits take every byte value as typed; Apply's range check
// (time, rate, temperature below 255; the command 9..255) sets back the rest.
TEST_F(OptionForm, AddressesTakeThreeDigitsAndApplyChecksTheRange) {
  form.ch_adr->setChecked(true);
  const std::tuple<QLineEdit*, const char*, const char*, const char*, int> cases[] = {
      // edit, keys, text after typing, text after Apply, stored value
      {form.e_Command, "255", "255", "255", 255}, {form.e_Command, "256", "256", "255", 255},
      {form.e_AdTemp, "254", "254", "254", 254},  {form.e_AdTemp, "255", "255", "254", 254},
      {form.e_AdSig, "1000", "100", "100", 100},  {form.e_AdTime, "199", "199", "199", 199},
  };
  const TOptionProgramm& s = form.Settings;
  for (const auto& [edit, keys, typed, shown, stored] : cases) {
    edit->selectAll();
    QTest::keyClicks(edit, keys);
    EXPECT_EQ(edit->text(), typed);
    form.BtnApply->click();
    EXPECT_EQ(edit->text(), shown) << keys;
    const int value = edit == form.e_Command ? s.Command : edit == form.e_AdTemp ? s.AdTemp
                      : edit == form.e_AdSig ? s.AdSig : s.AdTime;
    EXPECT_EQ(value, stored) << keys;
  }
  EXPECT_TRUE(dialogs.Calls.empty());
}

TEST_F(OptionForm, TextThatIsNoNumberKeepsTheDialogAndTheRecord) {
  form.e_tsszs->setText("200");
  form.e_U_Earth->setText("abc");
  form.BtnOk->click();
  ASSERT_EQ(dialogs.Calls.size(), 1u);
  EXPECT_EQ(dialogs.Calls[0].Text, "'abc' is not a valid floating point value");
  EXPECT_TRUE(form.isVisible() && form.Settings.DriftTime == 100.0f);  // nothing half-converted
  form.e_passband->setText("5x");
  form.e_U_Earth->setText("12");
  form.BtnApply->click();
  EXPECT_EQ(dialogs.Calls.back().Text, "'5x' is not a valid integer value");
  form.e_passband->setText("60");
  form.BtnOk->click();
  EXPECT_TRUE(!form.isVisible() && form.Settings.DriftTime == 200.0f);
}

TEST_F(OptionForm, CancelAsksOnlyAfterAChange) {
  // The impulse frequency and the trigger mask have no handler: no question.
  form.eFreqImpulse->setText("250");
  form.chListTrigerMask->item(1)->setCheckState(Qt::Checked);
  form.BtnCancel->click();
  EXPECT_TRUE(form.result() == QDialog::Rejected && dialogs.Calls.empty());
  for (TMsgResult answer : {TMsgResult::Cancel, TMsgResult::Ok}) {
    Open();
    Choose(form.change_port, 3);
    form.eFreqImpulse->setText("1,5E3");
    form.chListTrigerMask->item(2)->setCheckState(Qt::Checked);
    dialogs.Answers = {answer};
    form.BtnCancel->click();
    EXPECT_EQ(form.result(), answer == TMsgResult::Ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(dialogs.Calls.back().Text, "Save modification?");
    EXPECT_EQ(dialogs.Calls.back().Caption, "Message!");
    EXPECT_EQ(dialogs.Calls.back().Buttons, TMsgButtons::OkCancel);
  }
  EXPECT_TRUE(form.Settings.PortIndex == 3 && form.Settings.FreqImpulse == 1500.0);
  EXPECT_EQ(form.Settings.TrigMask, (std::array<bool, 3>{false, false, true}));
}

TEST_F(OptionForm, PathChoosersAndDefault) {
  dialogs.Names = {QString("/usr/local/bin/ratelogc"), QString(), QString("/srv/fog")};
  form.BtnPath->click();
  form.BtnPath->click();  // cancelled: unchanged
  form.BtnFolderServer->click();
  EXPECT_EQ(dialogs.Calls.back().Text, "Archive server");
  form.BtnApply->click();
  EXPECT_TRUE(form.Settings.ShellPath == "/usr/local/bin/ratelogc" && form.Settings.ServerFolder == "/srv/fog");
  // Default empties both paths and keeps the settings file's name.
  form.Settings.FileName = "/tmp/somewhere/Ratelog.ini";
  Choose(form.change_port, 4);
  form.BtnDefault->click();
  EXPECT_EQ(form.lab_path->text(), "");
  form.BtnOk->click();
  const TOptionProgramm& s = form.Settings;
  EXPECT_TRUE(s.ShellPath.empty() && s.ServerFolder.empty() && s.PortIndex == 0);
  EXPECT_EQ(s.FileName, "/tmp/somewhere/Ratelog.ini");
}

}  // namespace

namespace {

TEST_F(OptionForm, LatitudeSetsTheVerticalEarthRateAndTheSiteFile) {
  QTemporaryDir dir;
  form.SitePath = (dir.path() + "/ratelog/site.txt").toStdString();
  Open();
  EXPECT_TRUE(form.e_Latitude->text().isEmpty());
  // 7.2921151467e-5 rad/s = 15.0410672 deg/h, x sin 48 deg; south the same vertical component.
  form.e_Latitude->setText("-48");
  EXPECT_EQ(form.e_U_Earth->text(), "11,177691");
  form.e_Latitude->setText("30");
  EXPECT_EQ(form.e_U_Earth->text(), "7,520534");
  form.e_Latitude->setText("-48");
  form.e_AxisElevation->setText("-90");
  // An angle out of range keeps the dialog, the record and the file.
  form.e_AxisHeading->setText("north");
  form.BtnOk->click();
  EXPECT_EQ(dialogs.Calls.back().Text, "The input axis heading must be a number of degrees");
  EXPECT_TRUE(form.isVisible() && form.Settings.EarthRate == 11.78 && !QFile::exists(dir.path() + "/ratelog"));
  form.e_AxisHeading->setText("12,5");
  form.BtnOk->click();
  EXPECT_NEAR(form.Settings.EarthRate, 11.177691, 1e-9);
  QFile file(dir.path() + "/ratelog/site.txt");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().endsWith("latitude=-48\naxis_elevation=-90\naxis_heading=12.5\n"));
  Open();
  EXPECT_EQ(form.e_Latitude->text() + " " + form.e_AxisHeading->text(), "-48 12,5");
}

}  // namespace
