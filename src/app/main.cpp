// Ratelog: measurement program for single-axis fibre-optic gyroscopes.
//
//   ratelog              the window
//   ratelog --simulate   the window with a virtual gyroscope on COM1
//   ratelog FILE.rtd     the window with a recording opened ("Open with")
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "RatelogVersion.h"
#include "app/Forms.h"
#include "sim/RateTable.h"
#include "sim/VirtualGyro.h"
#include "ui/Dialogs.h"
#include "ui/ProgramIcon.h"

namespace {

// An error that escapes a handler is shown in the error box and the program
// goes on.
class TApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      Dialogs().ShowError(activeWindow(), QString::fromLocal8Bit(error.what()));
    } catch (...) {
      Dialogs().ShowError(activeWindow(), QStringLiteral("Unknown error"));
    }
    return false;
  }
};

bool Empty(const char* name) {
  const char* value = std::getenv(name);
  return !value || !*value;
}

// Exit code when there is no display to show the window on.
constexpr int NoDisplay = 3;

}  // namespace

int main(int argc, char** argv) {
  // A file-size limit makes a write fail (EFBIG), reported like any other
  // failed write, instead of ending the program in the middle of a file.
  std::signal(SIGXFSZ, SIG_IGN);
  bool simulate = false;
  const char* recording = nullptr;
  const char* tempProfile = nullptr;
  TDeviceConfig chamber;  // the temperature programme of --temp-profile
  std::string rateProfile, sfModel;  // the rate table of --rate-profile, --sf-model
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simulate") == 0) {
      simulate = true;
    } else if (std::strcmp(argv[i], "--temp-profile") == 0) {
      std::string error;
      if (i + 1 >= argc || !ParseTempProfile(tempProfile = argv[++i], chamber, error)) {
        std::fprintf(stderr, "ratelog: --temp-profile: %s\n",
                     error.empty() ? "needs a value" : error.c_str());
        return 2;
      }
    } else if (std::strcmp(argv[i], "--rate-profile") == 0 || std::strcmp(argv[i], "--sf-model") == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "ratelog: %s needs a value\n", argv[i]);
        return 2;
      }
      (argv[i][2] == 'r' ? rateProfile : sfModel) = argv[i + 1];
      ++i;
    } else if (argv[i][0] != '-' && !recording) {
      recording = argv[i];
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "Usage: ratelog [--simulate] [FILE.rtd]\n"
          "  --simulate  attach a virtual gyroscope to COM1 (on a pseudo-terminal),\n"
          "              made for the protocol of the settings at each Start\n"
          "  --temp-profile ramp|cycle:FROM:TO:RATE[:B1:B2:C]\n"
          "              the virtual gyroscope in a climatic chamber (deg C, deg C/min;\n"
          "              thermal bias b1 T + b2 T^2 + c dT/dt in deg/h)\n"
          "  --rate-profile FILE|staircase[:DWELL] [--sf-model K[:ASYM:QUAD:TC:DEAD]]\n"
          "              the virtual gyroscope on a rate table (as ratelog-sim)\n"
          "  FILE.rtd    open this recording once the window is shown\n"
          "  --version   print the version\n");
      return 0;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("ratelog %s\n", RATELOG_VERSION);
      return 0;
    }
  }
  std::string tableError;
  const auto rateTable = MakeRateTable(rateProfile, sfModel, tableError);
  if (!tableError.empty()) {
    std::fprintf(stderr, "ratelog: %s\n", tableError.c_str());
    return 2;
  }
  // Without a display Qt would abort; say what happened instead.
  if (Empty("QT_QPA_PLATFORM") && Empty("DISPLAY") && Empty("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "ratelog: no display available (DISPLAY and WAYLAND_DISPLAY are not set).\n"
                 "ratelog-cli runs measurements without a window, e.g.\n"
                 "  ratelog-cli record --simulate --seconds 10 --out run.rtd\n");
    return NoDisplay;
  }

  TApplication app(argc, argv);
  // Qt hands the desktop's language to the C library as well; the program's
  // own number texts (files, tables, reports, the settings file) are written
  // and read with a point whatever that language writes.
  std::setlocale(LC_NUMERIC, "C");
  // Qt has taken its own options (-platform ...) out of argv: what is left
  // without a dash is the recording to open.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--temp-profile") == 0 || std::strcmp(argv[i], "--rate-profile") == 0 ||
        std::strcmp(argv[i], "--sf-model") == 0)
      ++i;
    else if (argv[i][0] != '-') recording = argv[i];
  }
  // The chamber's programme and the thermal bias go into every configuration
  // of the virtual gyroscope.
  auto inChamber = [tempProfile, chamber, rateTable](TDeviceConfig config) {
    config.RateTable = rateTable;
    if (!tempProfile) return config;
    config.TempProgramme = chamber.TempProgramme;
    config.TempFrom = chamber.TempFrom;
    config.TempTo = chamber.TempTo;
    config.TempSlope = chamber.TempSlope;
    config.TempB1 = chamber.TempB1;
    config.TempB2 = chamber.TempB2;
    config.TempRateCoefficient = chamber.TempRateCoefficient;
    return config;
  };
  QApplication::setApplicationName(QStringLiteral("Ratelog"));
  QApplication::setWindowIcon(ProgramIcon());

  std::unique_ptr<TVirtualGyro> gyro;
  if (simulate) {
    // The device speaks the protocol of the stored settings; each Start
    // fits it to the settings in force then.
    TOptionProgramm stored;
    stored.FileName = DefaultSettingsFilePath();
    std::string ignored;
    stored.Read(ignored);  // a missing file leaves the defaults
    gyro = std::make_unique<TVirtualGyro>(inChamber(TDeviceModel::ConfigFor(stored)));
    std::string error;
    if (!gyro->Start(error)) {
      std::fprintf(stderr, "ratelog: %s\n", error.c_str());
      return 1;
    }
    ::setenv("RATELOG_COM1", gyro->DevicePath().c_str(), 1);
    std::printf("ratelog: virtual gyroscope on %s as COM1\n", gyro->DevicePath().c_str());
    if (const std::string notice = gyro->Notice(); !notice.empty())
      std::fprintf(stderr, "ratelog: %s\n", notice.c_str());
    std::fflush(stdout);
  }

  std::unique_ptr<TForms> forms;
  try {
    forms = CreateForms();
    if (gyro) {
      forms->MainFrm->BeforeRunStarts = [device = gyro.get(), inChamber,
                                         runs = std::uint64_t{0}](const TOptionProgramm& s) mutable {
        TDeviceConfig config = inChamber(TDeviceModel::ConfigFor(s));
        config.Seed = ++runs;  // a new noise sequence for every run
        device->WithModel([&config](TDeviceModel& model) {
          model.Config() = config;
          model.Reset();
        });
        if (const std::string notice = device->Notice(); !notice.empty())
          std::fprintf(stderr, "ratelog: %s\n", notice.c_str());
      };
    }
    if (gyro && tempProfile)
      forms->MainFrm->ChamberProgramme = [chamber](double from, double to) { return ChamberSteps(chamber, from, to); };
    forms->MainFrm->show();
    if (recording) {
      // Once the window is on the screen; a file that is not there cannot
      // be read either.
      const QString name = QFile::decodeName(recording);
      TMainFrm* w = forms->MainFrm.get();
      QTimer::singleShot(0, w, [w, name] {
        if (QFileInfo::exists(name)) {
          w->OpenRecording(name);
        } else {
          Dialogs().Message(w, QStringLiteral("Not open file."), QStringLiteral("Message"),
                            TMsgButtons::Ok, TMsgIcon::Stop);
        }
      });
    }
  } catch (const std::exception& error) {
    Dialogs().ShowError(nullptr, QString::fromLocal8Bit(error.what()));
    return 1;
  }
  const int result = app.exec();
  // Closing waits at most a second for work beside the window (a reading
  // that stops at once when asked, or an archive copy): the program ends
  // without it. Nothing of a run is left to write by then.
  if (!forms->MainFrm->EndWork(std::chrono::seconds(1))) {
    std::fflush(nullptr);
    std::_Exit(result);
  }
  forms.reset();
  return result;
}
