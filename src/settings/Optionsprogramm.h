// The settings record and its binary settings file "Ratelog.ini".
#pragma once

#include <array>
#include <cstdint>
#include <string>

inline constexpr std::uint32_t SettingsRecordVersion = 0x6023;  // 24611
inline constexpr char SettingsFileName[] = "Ratelog.ini";

// Working modes (`Mode`).
inline constexpr std::uint8_t ModeNormal = 0;
inline constexpr std::uint8_t ModeTrigger = 1;
inline constexpr std::uint8_t ModeOneCommand = 2;

// Time sources (`TimeSource`).
inline constexpr std::uint8_t TimeHardFloat = 0;
inline constexpr std::uint8_t TimeHardUlong = 1;
inline constexpr std::uint8_t TimeSoftware = 2;

// Temperature field types (`TempType`).
inline constexpr std::uint8_t TempFloat = 0;
inline constexpr std::uint8_t TempLong = 1;

// Items of `TrigMask`.
inline constexpr int TrigTemperature = 0;
inline constexpr int TrigCountFrame = 1;
inline constexpr int TrigTime = 2;

// The Sample list, the line-rate list and the port names, index for index.
inline constexpr std::array<int, 13> SampleValues = {1,  5,  10, 20, 30,  40, 50,
                                                     60, 70, 80, 90, 100, 125};
inline constexpr std::array<std::uint32_t, 9> BaudValues = {
    9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
inline constexpr int PortCount = 9;  // "COM1" .. "COM9"

class TOptionProgramm {
 public:
  TOptionProgramm();
  explicit TOptionProgramm(const std::string& fileName);
  TOptionProgramm(const TOptionProgramm&) = default;
  TOptionProgramm& operator=(const TOptionProgramm&) = default;
  virtual ~TOptionProgramm() = default;

  // Copies every settings field (strings and FileName included) into this
  // record; for the classes built on the record this assigns their settings
  // part only.
  void Assign(const TOptionProgramm& other) { TOptionProgramm::operator=(other); }

  void SetDefault();
  // Reads FileName into the record. A missing file is created from the
  // record; a file of another version is rewritten with the defaults.
  // False when there is no file name, the file cannot be read, or a needed
  // write fails.
  bool Load();
  // Writes the record to FileName. False when there is no file name or the
  // file cannot be created or written completely.
  bool Save() const;
  // Reads FileName without ever writing: a missing, unreadable or foreign
  // file is an error (error says which) and leaves the defaults for a
  // foreign one. For tools that only consult the settings.
  bool Read(std::string& error);

  // Values used as list indices, loop bounds or divisors, made safe against
  // whatever a settings file held. The raw fields keep what was stored.
  int SafeSampleIndex() const;    // 0..12, else 2
  int SafePortIndex() const;      // 0..8, else 0
  int SafeBaudIndex() const;      // 0..8, else 5
  int SafeResolution() const;     // 2000, 4000 or 6000, else 4000
  int SafeDisplayTime() const;    // 10..7200 s, else 10
  int SafeMeanTime() const;       // 1..500 s, else 50
  int SafeSample() const;         // >= 1, else 10
  double SafeFreqImpulse() const; // finite and > 0, else 100
  std::string PortName() const;   // "COM1".."COM9" of SafePortIndex()

  std::uint32_t Version;
  bool ShowSignal;
  bool ShowAver;
  float RateMin;
  float RateMax;
  std::int32_t DisplayTime;
  std::int32_t MeanTime;
  std::int32_t Sample;
  float TempMax;
  float TempMin;
  std::uint8_t Mode;
  std::int32_t PortIndex;
  std::int32_t SampleIndex;
  std::uint8_t Address;
  std::uint8_t BaudIndex;
  std::int16_t Resolution;
  std::int32_t FaultTime;
  std::uint8_t TimeSource;
  double TimeScale;
  double FreqImpulse;
  std::uint8_t TempType;
  double TempScale;
  bool EnableChange;
  std::uint8_t AdTime;
  std::uint8_t AdSig;
  std::uint8_t AdTemp;
  std::uint8_t Command;
  float DriftTime;
  std::int32_t Passband;
  float RandomWalkTime;
  double EarthRate;
  std::array<bool, 3> TrigMask;
  std::array<bool, 4> PanelVisible;
  float TempLimitMax;
  float TempLimitMin;
  std::string FileName;
  std::uint8_t SenderCode;
  std::string ShellPath;
  std::string ServerFolder;

 private:
  enum class ReadResult { Ok, Unreadable, WrongVersion };
  ReadResult ReadFile();
};

// Folder of the running executable, with a trailing '/'.
std::string ProgramFolder();

// Where the settings file lives. Beside the program while its folder is
// writable and not under /usr (an installed package), or when no per-user
// folder is known. Otherwise in the per-user
// folder $XDG_CONFIG_HOME/ratelog/ (default ~/.config/ratelog/): a user file
// that exists wins; when there is none but the program's folder holds a
// "Ratelog.ini" (an installed program, a shared folder), that file's values
// are taken into a new user file, which the program then reads and saves.
enum class TSettingsPlace { Beside, User, UserFromBeside };
TSettingsPlace DecideSettingsPlace(bool folderWritable, bool besideExists, bool userFolderKnown,
                                   bool userExists);
// The path by that rule: programFolder + "Ratelog.ini" or the per-user
// file, whose folder is created (and, for UserFromBeside, the file copied
// from the program's folder; if that copy fails the program's file is
// used). xdgConfigHome and home are the environment's values (null when
// unset).
std::string SettingsFilePath(const std::string& programFolder, const char* xdgConfigHome,
                             const char* home);
// The same for this process: the executable's folder and the environment.
std::string DefaultSettingsFilePath();
