// The port diagnosis on a made-up machine: sysfs and /proc are copies in a
// temporary folder (USB adapters, a ttyS port without UART, ModemManager,
// brltty, a lock holder in /proc/locks), the device files plain files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "LinkSupport.h"
#include "acquisition/PortDiagnostics.h"
#include "common/TestFiles.h"

namespace fs = std::filesystem;

namespace {

void Put(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text << '\n';
}

void Link(const std::string& target, const std::string& link) {
  fs::create_directories(fs::path(link).parent_path());
  fs::create_directory_symlink(target, link);
}

}  // namespace

TEST(PortDiagnosis, AdaptersHoldersAndTraps) {
  TTempDir tmp;
  TPortEnvironment env;
  const std::string sys = env.SysRoot = tmp.File("sys"), proc = env.ProcRoot = tmp.File("proc");
  // An Arduino on cdc_acm (the tty's device is the USB interface); a CH341
  // adapter through usb-serial (one level more), no serial number.
  const std::pair<const char*, const char*> files[] = {
      {"/devices/usb1/1-1/idVendor", "2341"},    {"/devices/usb1/1-1/idProduct", "0043"},
      {"/devices/usb1/1-1/manufacturer", "Arduino"}, {"/devices/usb1/1-1/product", "Uno"},
      {"/devices/usb1/1-1/serial", "ABC123"},    {"/devices/usb1/1-2/idVendor", "1a86"},
      {"/devices/usb1/1-2/idProduct", "7523"},   {"/devices/usb1/1-2/product", "USB Serial"},
      {"/class/tty/ttyS3/type", "0"},  // the serial driver found no UART for ttyS3
  };
  for (const auto& [path, text] : files) Put(sys + path, text);
  fs::create_directories(sys + "/bus/usb/drivers/cdc_acm");
  Link(sys + "/bus/usb/drivers/cdc_acm", sys + "/devices/usb1/1-1/1-1:1.0/driver");
  Link(sys + "/devices/usb1/1-1/1-1:1.0", sys + "/class/tty/ttyACM0/device");
  fs::create_directories(sys + "/bus/usb-serial/drivers/ch341-uart");
  Link(sys + "/bus/usb-serial/drivers/ch341-uart", sys + "/devices/usb1/1-2/1-2:1.0/ttyUSB0/driver");
  Link(sys + "/devices/usb1/1-2/1-2:1.0/ttyUSB0", sys + "/class/tty/ttyUSB0/device");

  const std::string acm = tmp.File("ttyACM0"), usb = tmp.File("ttyUSB0"), ttyS = tmp.File("ttyS3"),
                    gone = tmp.File("ttyUSB5");
  for (const std::string& device : {acm, usb, ttyS}) WriteBytes(device, {});
  Put(proc + "/77/comm", "ModemManager");
  Put(proc + "/78/comm", "brltty");
  Put(proc + "/4242/comm", "gyro-logger");
  // ttyACM0 is held by 4242 (a waiter of 99 listed under it); another file
  // is locked by 99.
  struct stat st {};
  ASSERT_EQ(::stat(acm.c_str(), &st), 0);
  auto lockId = [&](unsigned long long inode) {
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev), inode);
    return std::string(id);
  };
  const std::string id = lockId(st.st_ino), other = lockId(st.st_ino + 1000000);
  Put(proc + "/locks", "1: POSIX  ADVISORY  WRITE 99 " + other + " 0 EOF\n" +
                           "2: FLOCK  ADVISORY  WRITE 4242 " + id + " 0 EOF\n" +
                           "2: -> FLOCK  ADVISORY  WRITE 99 " + id + " 0 EOF\n" +
                           "3: FLOCK  ADVISORY  WRITE 99 " + other + " 0 EOF");

  const char* mm =
      "ModemManager is running and probes ttyACM devices: stop it (systemctl stop "
      "ModemManager) or exclude the device with ID_MM_DEVICE_IGNORE.";
  const char* brltty =
      "brltty (braille display driver) is running and claims CH340/CH341 USB serial adapters: "
      "remove the brltty package unless a braille display is used.";
  // COM1 to COM4 name their device through RATELOG_COMn; any other name is
  // a path of its own.
  const struct {
    std::string name, device, summary;
    std::vector<std::string> hints;
  } cases[] = {
      {"COM1", acm,
       acm + " (RATELOG_COM1): in use by gyro-logger (pid 4242), USB 2341:0043 Arduino Uno "
             "serial ABC123, driver cdc_acm",
       {"The port is in use by gyro-logger (pid 4242); a port serves one program at a time.", mm}},
      {"COM2", usb, usb + " (RATELOG_COM2): ready, USB 1a86:7523 USB Serial, driver ch341-uart", {brltty}},
      {"COM3", ttyS, ttyS + " (RATELOG_COM3): no UART",
       {"No UART behind " + ttyS +
        ": a USB adapter appears as ttyUSB or ttyACM; choose its COM number or set RATELOG_COM3."}},
      {"COM4", gone, gone + " (RATELOG_COM4): missing",
       {"Is the adapter plugged in? RATELOG_COM4 can name the device file.", brltty}},
      {gone, gone, gone + " (path): missing",
       {"Is the adapter plugged in? RATELOG_COMn can name the device file."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool path = c.name == gone;
    const auto variable = path ? nullptr : std::make_unique<PortVariable>(c.name, c.device);
    const TPortDiagnosis d = DiagnosePort(c.name, env);
    EXPECT_EQ(d.Device, c.device);
    EXPECT_EQ(d.ResolvedBy, path ? "path" : "RATELOG_" + c.name);
    EXPECT_EQ(d.Summary(), c.summary);
    EXPECT_EQ(d.Hints, c.hints);
  }
}
