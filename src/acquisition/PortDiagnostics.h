// Why a serial port can or cannot be opened: the device file behind a port
// name and how it was found, whether it exists, whether this user may open
// it, whether another program holds it (the lock the link takes), what USB
// adapter it is, and hints for the usual traps. Looks only: the device is
// never opened, so a diagnosis disturbs neither the device nor its holder.
#pragma once

#include <string>
#include <vector>

// Where the system's tables are read from; tests point them at a copy.
struct TPortEnvironment {
  std::string SysRoot = "/sys";
  std::string ProcRoot = "/proc";
};

struct TPortDiagnosis {
  std::string Name;        // "COM1"
  std::string Device;      // the device file
  std::string ResolvedBy;  // "RATELOG_COM1", "ttyUSB", "ttyACM", "ttyS" or "path"
  bool Exists = false;
  bool Accessible = false;  // this user may open it for reading and writing
  std::string Group;        // the device file's owner group
  bool Locked = false;      // another process holds the port's lock or has it open
  int HolderPid = 0;        // 0 when not known
  std::string HolderProgram;
  bool Usb = false;         // the fields below come from sysfs
  std::string VendorId, Vendor, ProductId, Product, Serial;
  std::string Driver;       // the adapter's kernel driver (ftdi_sio, ch341, cdc_acm, ...)
  bool NoUart = false;      // a ttyS port with no UART behind it
  std::vector<std::string> Hints;

  // One line: device, how it was found, and its state.
  std::string Summary() const;
};

TPortDiagnosis DiagnosePort(const std::string& name, const TPortEnvironment& env = {});
