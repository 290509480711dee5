// The port diagnosis on a made-up machine: sysfs and /proc are copies in a
// temporary folder (USB adapters, a ttyS port without UART, ModemManager,
// brltty, a lock holder in /proc/locks), the device files plain files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "acquisition/PortDiagnostics.h"
#include "common/TestFiles.h"

namespace fs = std::filesystem;

namespace {

void Put(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

void Link(const std::string& target, const std::string& link) {
  fs::create_directories(fs::path(link).parent_path());
  fs::create_directory_symlink(target, link);
}

class PortDiagnosis : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string sys = env_.SysRoot = tmp_.File("sys");
    env_.ProcRoot = tmp_.File("proc");
    // An Arduino on cdc_acm (the tty's device is the USB interface).
    Put(sys + "/devices/usb1/1-1/idVendor", "2341\n");
    Put(sys + "/devices/usb1/1-1/idProduct", "0043\n");
    Put(sys + "/devices/usb1/1-1/manufacturer", "Arduino\n");
    Put(sys + "/devices/usb1/1-1/product", "Uno\n");
    Put(sys + "/devices/usb1/1-1/serial", "ABC123\n");
    fs::create_directories(sys + "/bus/usb/drivers/cdc_acm");
    Link(sys + "/bus/usb/drivers/cdc_acm", sys + "/devices/usb1/1-1/1-1:1.0/driver");
    Link(sys + "/devices/usb1/1-1/1-1:1.0", sys + "/class/tty/ttyACM0/device");
    // A CH341 adapter through usb-serial (one level more), no serial number.
    Put(sys + "/devices/usb1/1-2/idVendor", "1a86\n");
    Put(sys + "/devices/usb1/1-2/idProduct", "7523\n");
    Put(sys + "/devices/usb1/1-2/product", "USB Serial\n");
    fs::create_directories(sys + "/bus/usb-serial/drivers/ch341-uart");
    Link(sys + "/bus/usb-serial/drivers/ch341-uart",
         sys + "/devices/usb1/1-2/1-2:1.0/ttyUSB0/driver");
    Link(sys + "/devices/usb1/1-2/1-2:1.0/ttyUSB0", sys + "/class/tty/ttyUSB0/device");
    // The serial driver found no UART for ttyS3 (type 0: unknown).
    Put(sys + "/class/tty/ttyS3/type", "0\n");

    for (const char* name : {"ttyACM0", "ttyUSB0", "ttyS3"}) WriteBytes(tmp_.File(name), {});
    Put(env_.ProcRoot + "/77/comm", "ModemManager\n");
    Put(env_.ProcRoot + "/78/comm", "brltty\n");
    Put(env_.ProcRoot + "/4242/comm", "gyro-logger\n");
    // ttyACM0 is held by 4242 (a waiter of 99 listed under it); another
    // file is locked by 99.
    struct stat st {};
    ASSERT_EQ(::stat(tmp_.File("ttyACM0").c_str(), &st), 0);
    char id[64], other[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::snprintf(other, sizeof other, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino) + 1000000);
    Put(env_.ProcRoot + "/locks",
        std::string("1: POSIX  ADVISORY  WRITE 99 ") + other + " 0 EOF\n" +
            "2: FLOCK  ADVISORY  WRITE 4242 " + id + " 0 EOF\n" +
            "2: -> FLOCK  ADVISORY  WRITE 99 " + id + " 0 EOF\n" +
            "3: FLOCK  ADVISORY  WRITE 99 " + other + " 0 EOF\n");
  }
  void TearDown() override {
    for (int n = 1; n <= 4; ++n) ::unsetenv(("RATELOG_COM" + std::to_string(n)).c_str());
  }
  TTempDir tmp_;
  TPortEnvironment env_;
};

TEST_F(PortDiagnosis, AdaptersHoldersAndTraps) {
  const std::string acm = tmp_.File("ttyACM0"), usb = tmp_.File("ttyUSB0"),
                    ttyS = tmp_.File("ttyS3"), gone = tmp_.File("ttyUSB5");
  const char* mm =
      "ModemManager is running and probes ttyACM devices: stop it (systemctl stop "
      "ModemManager) or exclude the device with ID_MM_DEVICE_IGNORE.";
  const char* brltty =
      "brltty (braille display driver) is running and claims CH340/CH341 USB serial adapters: "
      "remove the brltty package unless a braille display is used.";
  struct Case {
    std::string device, summary;
    std::vector<std::string> hints;
  };
  const std::vector<Case> cases = {
      {acm,
       acm + " (RATELOG_COM1): in use by gyro-logger (pid 4242), USB 2341:0043 Arduino Uno "
             "serial ABC123, driver cdc_acm",
       {"The port is in use by gyro-logger (pid 4242); a port serves one program at a time.",
        mm}},
      {usb, usb + " (RATELOG_COM2): ready, USB 1a86:7523 USB Serial, driver ch341-uart",
       {brltty}},
      {ttyS, ttyS + " (RATELOG_COM3): no UART",
       {"No UART behind " + ttyS +
        ": a USB adapter appears as ttyUSB or ttyACM; choose its COM number or set "
        "RATELOG_COM3."}},
      {gone, gone + " (RATELOG_COM4): missing",
       {"Is the adapter plugged in? RATELOG_COM4 can name the device file.", brltty}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string name = "COM" + std::to_string(i + 1);
    SCOPED_TRACE(name);
    ::setenv(("RATELOG_" + name).c_str(), cases[i].device.c_str(), 1);
    const TPortDiagnosis d = DiagnosePort(name, env_);
    EXPECT_EQ(d.Device, cases[i].device);
    EXPECT_EQ(d.ResolvedBy, "RATELOG_" + name);
    EXPECT_EQ(d.Summary(), cases[i].summary);
    EXPECT_EQ(d.Hints, cases[i].hints);
  }
}

TEST_F(PortDiagnosis, ResolutionAsTheLinkResolves) {
  // Unset or empty: the first of ttyUSB, ttyACM, ttyS that exists (ttyS
  // when none does); any other name is a path of its own.
  ::setenv("RATELOG_COM9", "", 1);
  const TPortDiagnosis com9 = DiagnosePort("COM9", env_);
  const char* expected = ::access("/dev/ttyUSB8", F_OK) == 0   ? "ttyUSB"
                         : ::access("/dev/ttyACM8", F_OK) == 0 ? "ttyACM"
                                                               : "ttyS";
  EXPECT_EQ(com9.ResolvedBy, expected);
  EXPECT_EQ(com9.Device, std::string("/dev/") + expected + "8");
  ::unsetenv("RATELOG_COM9");
  const TPortDiagnosis path = DiagnosePort(tmp_.File("ttyUSB5"), env_);
  EXPECT_EQ(path.ResolvedBy, "path");
  EXPECT_EQ(path.Hints.front(), "Is the adapter plugged in? RATELOG_COMn can name the device file.");
}

}  // namespace
