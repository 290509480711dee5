#include "settings/Optionsprogramm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

namespace {

constexpr int FixedSize = 141;  // nine blocks, offsets 0 .. 140
constexpr int MaxString = 255;

// Every stored field with its file offset. One list serves reading and
// writing, so the two can never disagree about the layout.
template <typename Rec, typename F>
void ForEachStoredField(Rec& r, F&& f) {
  f(0, r.Version);
  f(4, r.ShowSignal);
  f(5, r.ShowAver);
  f(8, r.RateMin);
  f(12, r.RateMax);
  f(16, r.DisplayTime);
  f(20, r.MeanTime);
  f(24, r.Sample);
  f(28, r.TempMax);
  f(32, r.TempMin);
  f(36, r.Mode);
  f(37, r.PortIndex);
  f(41, r.SampleIndex);
  f(45, r.Address);
  f(46, r.BaudIndex);
  f(49, r.Resolution);
  f(53, r.FaultTime);
  f(57, r.TimeSource);
  f(65, r.TimeScale);
  f(73, r.FreqImpulse);
  f(81, r.TempType);
  f(89, r.TempScale);
  f(97, r.EnableChange);
  f(98, r.AdTime);
  f(99, r.AdSig);
  f(100, r.AdTemp);
  f(101, r.Command);
  f(102, r.DriftTime);
  f(106, r.Passband);
  f(110, r.RandomWalkTime);
  f(118, r.EarthRate);
  for (int i = 0; i < 3; ++i) f(126 + i, r.TrigMask[i]);
  for (int i = 0; i < 4; ++i) f(129 + i, r.PanelVisible[i]);
  f(133, r.TempLimitMax);
  f(137, r.TempLimitMin);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool FileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0;
}

// Reads one length-prefixed string. Returns false when reading must end
// (no length, or a negative one). The string is taken only when its length
// lies in minLen..255; longer strings are skipped so the next length is found.
bool ReadString(std::FILE* f, int minLen, std::string& out) {
  std::int32_t len = 0;
  if (std::fread(&len, 1, sizeof len, f) != sizeof len) return false;
  if (len < 0) return false;
  if (len > MaxString) {
    return std::fseek(f, len, SEEK_CUR) == 0;
  }
  char buf[MaxString + 1] = {};
  const std::size_t got = std::fread(buf, 1, static_cast<std::size_t>(len), f);
  if (len >= minLen) out.assign(buf, strnlen(buf, got));
  return got == static_cast<std::size_t>(len);
}

}  // namespace

TOptionProgramm::TOptionProgramm() { SetDefault(); }

TOptionProgramm::TOptionProgramm(const std::string& fileName) {
  SetDefault();
  FileName = fileName;
  Load();
}

void TOptionProgramm::SetDefault() {
  Version = SettingsRecordVersion;
  ShowSignal = false;
  ShowAver = false;
  RateMin = -30.0f;
  RateMax = 30.0f;
  DisplayTime = 10;
  MeanTime = 50;
  Sample = 10;
  TempMax = 60.0f;
  TempMin = -40.0f;
  Mode = ModeNormal;
  PortIndex = 0;
  SampleIndex = 2;
  Address = 100;
  BaudIndex = 5;
  Resolution = 4000;
  FaultTime = 100;
  TimeSource = TimeHardUlong;
  TimeScale = 8.6805555e-06;
  FreqImpulse = 100.0;
  TempType = TempFloat;
  TempScale = static_cast<double>(0.1f);
  EnableChange = false;
  AdTime = 24;
  AdSig = 0;
  AdTemp = 3;
  Command = 10;
  DriftTime = 100.0f;
  Passband = 50;
  RandomWalkTime = 10.0f;
  EarthRate = 11.78;
  TrigMask = {false, false, false};
  PanelVisible = {true, true, true, true};
  TempLimitMax = 100.0f;
  TempLimitMin = -60.0f;
  SenderCode = 99;
  ShellPath.clear();
  ServerFolder.clear();
}

TOptionProgramm::ReadResult TOptionProgramm::ReadFile() {
  File f(std::fopen(FileName.c_str(), "rb"));
  if (!f) return ReadResult::Unreadable;

  unsigned char fixed[FixedSize] = {};
  const std::size_t got = std::fread(fixed, 1, sizeof fixed, f.get());
  if (std::ferror(f.get())) return ReadResult::Unreadable;
  // A short file leaves the fields beyond its end unchanged.
  ForEachStoredField(*this, [&](int offset, auto& field) {
    if (static_cast<std::size_t>(offset) + sizeof field > got) return;
    if constexpr (std::is_same_v<std::remove_reference_t<decltype(field)>, bool>) {
      field = fixed[offset] != 0;
    } else {
      std::memcpy(&field, fixed + offset, sizeof field);
    }
  });
  if (got == sizeof fixed && ReadString(f.get(), 2, ShellPath)) {
    ReadString(f.get(), 4, ServerFolder);
  }
  return Version == SettingsRecordVersion ? ReadResult::Ok : ReadResult::WrongVersion;
}

bool TOptionProgramm::Load() {
  if (FileName.empty()) return false;
  if (!FileExists(FileName)) return Save();
  switch (ReadFile()) {
    case ReadResult::Ok:
      return true;
    case ReadResult::Unreadable:
      return false;
    case ReadResult::WrongVersion:
      break;
  }
  const std::string name = FileName;
  SetDefault();
  FileName = name;
  return Save();
}

bool TOptionProgramm::Read(std::string& error) {
  const std::string name = FileName;
  if (name.empty() || !FileExists(name)) {
    error = "settings file not found: " + name;
    return false;
  }
  switch (ReadFile()) {
    case ReadResult::Ok:
      return true;
    case ReadResult::Unreadable:
      error = "cannot read settings file " + name + ": " + std::strerror(errno);
      return false;
    case ReadResult::WrongVersion:
      break;
  }
  SetDefault();
  FileName = name;
  error = "not a Ratelog settings file: " + name;
  return false;
}

bool TOptionProgramm::Save() const {
  if (FileName.empty()) return false;
  File f(std::fopen(FileName.c_str(), "wb"));
  if (!f) return false;

  unsigned char fixed[FixedSize] = {};
  ForEachStoredField(*this, [&](int offset, const auto& field) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, bool>) {
      fixed[offset] = field ? 1 : 0;
    } else {
      std::memcpy(fixed + offset, &field, sizeof field);
    }
  });
  bool ok = std::fwrite(fixed, 1, sizeof fixed, f.get()) == sizeof fixed;
  for (const std::string* s : {&ShellPath, &ServerFolder}) {
    const std::int32_t len = static_cast<std::int32_t>(s->size());
    ok = ok && std::fwrite(&len, 1, sizeof len, f.get()) == sizeof len;
    ok = ok && std::fwrite(s->data(), 1, s->size(), f.get()) == s->size();
  }
  return std::fclose(f.release()) == 0 && ok;
}

int TOptionProgramm::SafeSampleIndex() const {
  return SampleIndex >= 0 && SampleIndex < static_cast<int>(SampleValues.size()) ? SampleIndex : 2;
}

int TOptionProgramm::SafePortIndex() const {
  return PortIndex >= 0 && PortIndex < PortCount ? PortIndex : 0;
}

int TOptionProgramm::SafeBaudIndex() const {
  return BaudIndex < BaudValues.size() ? BaudIndex : 5;
}

int TOptionProgramm::SafeResolution() const {
  return Resolution == 2000 || Resolution == 4000 || Resolution == 6000 ? Resolution : 4000;
}

int TOptionProgramm::SafeDisplayTime() const {
  return DisplayTime >= 10 && DisplayTime <= 7200 ? DisplayTime : 10;
}

int TOptionProgramm::SafeMeanTime() const {
  return MeanTime >= 1 && MeanTime <= 500 ? MeanTime : 50;
}

int TOptionProgramm::SafeSample() const { return Sample >= 1 ? Sample : 10; }

double TOptionProgramm::SafeFreqImpulse() const {
  return std::isfinite(FreqImpulse) && FreqImpulse > 0 ? FreqImpulse : 100.0;
}

std::string TOptionProgramm::PortName() const {
  return "COM" + std::to_string(SafePortIndex() + 1);
}

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

// Tries to create a file there: unlike access(), this also tells the truth
// for root and on read-only file systems.
static bool FolderWritable(const std::string& folder) {
  std::string probe = folder + ".ratelog-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

static void MakeDirs(const std::string& dir) {
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      const std::string part = dir.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
  }
}

TSettingsPlace DecideSettingsPlace(bool folderWritable, bool besideExists, bool userFolderKnown,
                                   bool userExists) {
  if (folderWritable || !userFolderKnown) return TSettingsPlace::Beside;
  if (userExists || !besideExists) return TSettingsPlace::User;
  return TSettingsPlace::UserFromBeside;
}

// A byte-for-byte copy; false (and no half-written file) when it fails.
static bool CopyWholeFile(const std::string& from, const std::string& to) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) return false;
  const std::string part = to + ".part";
  std::FILE* out = std::fopen(part.c_str(), "wb");
  bool ok = out != nullptr;
  char buf[4096];
  while (ok) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, in);
    if (n == 0) {
      ok = !std::ferror(in);
      break;
    }
    ok = std::fwrite(buf, 1, n, out) == n;
  }
  std::fclose(in);
  if (out && std::fclose(out) != 0) ok = false;
  ok = ok && std::rename(part.c_str(), to.c_str()) == 0;
  if (!ok) std::remove(part.c_str());
  return ok;
}

std::string SettingsFilePath(const std::string& programFolder, const char* xdgConfigHome,
                             const char* home) {
  std::string folder = programFolder.empty() ? "./" : programFolder;
  if (folder.back() != '/') folder += '/';
  const std::string beside = folder + SettingsFileName;
  // A program installed by the package manager (under /usr) never writes
  // beside itself, not even when root runs it.
  const bool system = folder.rfind("/usr/", 0) == 0;

  std::string config;
  if (xdgConfigHome && xdgConfigHome[0] == '/') {
    config = xdgConfigHome;
  } else if (home && home[0]) {
    config = std::string(home) + "/.config";
  }
  const std::string dir = config + "/ratelog";
  const std::string user = dir + "/" + SettingsFileName;
  switch (DecideSettingsPlace(!system && FolderWritable(folder), FileExists(beside), !config.empty(),
                              !config.empty() && FileExists(user))) {
    case TSettingsPlace::Beside:
      return beside;  // with no user folder either, saving reports the failure
    case TSettingsPlace::User:
      MakeDirs(dir);
      return user;
    case TSettingsPlace::UserFromBeside:
      // The shared file's values are where the user starts; the changes
      // go to the user's own copy from now on.
      MakeDirs(dir);
      return CopyWholeFile(beside, user) ? user : beside;
  }
  return beside;
}

std::string DefaultSettingsFilePath() {
  return SettingsFilePath(ProgramFolder(), std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}
