#include "acquisition/PortDiagnostics.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "acquisition/Xcomdrv.h"

namespace {

// The first line of a small file, without its line end; empty when absent.
std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

bool IsPid(const char* name) {
  if (!*name) return false;
  for (const char* c = name; *c; ++c)
    if (*c < '0' || *c > '9') return false;
  return true;
}

std::string ProgramOf(const TPortEnvironment& env, int pid) {
  return FirstLine(env.ProcRoot + "/" + std::to_string(pid) + "/comm");
}

// Whether a process of that program name runs (as far as /proc shows).
bool Running(const TPortEnvironment& env, const std::string& program) {
  DIR* dir = ::opendir(env.ProcRoot.c_str());
  if (!dir) return false;
  bool found = false;
  while (dirent* entry = ::readdir(dir)) {
    if (!IsPid(entry->d_name)) continue;
    if (FirstLine(env.ProcRoot + "/" + entry->d_name + "/comm") == program) {
      found = true;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

// The holder of a whole-file lock (flock, as the link takes) on the file
// with that device and inode, from /proc/locks: "1: FLOCK ADVISORY WRITE
// <pid> <major>:<minor>:<inode> 0 EOF" (major and minor in hex). 0 when
// nobody holds one; -1 when the table cannot be read.
int FlockHolder(const TPortEnvironment& env, const struct stat& st) {
  std::ifstream in(env.ProcRoot + "/locks");
  if (!in) return -1;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, id;
    long pid = 0;
    if (!(fields >> number >> kind)) continue;
    if (kind == "->") fields >> kind;  // a waiter, listed under the holder
    if (kind != "FLOCK" || !(fields >> mode >> access >> pid >> id)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(id.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major == ::major(st.st_dev) && minor == ::minor(st.st_dev) && inode == st.st_ino &&
        number.find("->") == std::string::npos)
      return static_cast<int>(pid);
  }
  return 0;
}

// Another process with the device open (one whose descriptors we may read):
// its pid, or 0.
int OpenBy(const TPortEnvironment& env, const std::string& real) {
  DIR* dir = ::opendir(env.ProcRoot.c_str());
  if (!dir) return 0;
  const int self = static_cast<int>(::getpid());
  int holder = 0;
  while (holder == 0) {
    dirent* entry = ::readdir(dir);
    if (!entry) break;
    if (!IsPid(entry->d_name) || std::atoi(entry->d_name) == self) continue;
    const std::string fds = env.ProcRoot + "/" + entry->d_name + "/fd";
    DIR* fdDir = ::opendir(fds.c_str());
    if (!fdDir) continue;
    while (dirent* fd = ::readdir(fdDir)) {
      if (fd->d_name[0] == '.') continue;
      char target[PATH_MAX];
      const ssize_t n = ::readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == real) {
        holder = std::atoi(entry->d_name);
        break;
      }
    }
    ::closedir(fdDir);
  }
  ::closedir(dir);
  return holder;
}

// The USB device above the tty in sysfs: the first parent with an idVendor.
void ReadUsb(const TPortEnvironment& env, const std::string& tty, TPortDiagnosis& d) {
  const std::string device = env.SysRoot + "/class/tty/" + tty + "/device";
  std::string dir = RealPath(device);
  if (dir.empty()) return;
  const std::string driver = BaseName(RealPath(device + "/driver"));
  const std::string root = RealPath(env.SysRoot);
  for (int up = 0; up < 8 && dir.size() > root.size(); ++up) {
    const std::string vendor = FirstLine(dir + "/idVendor");
    if (!vendor.empty()) {
      d.Usb = true;
      d.Driver = driver;
      d.VendorId = vendor;
      d.ProductId = FirstLine(dir + "/idProduct");
      d.Vendor = FirstLine(dir + "/manufacturer");
      d.Product = FirstLine(dir + "/product");
      d.Serial = FirstLine(dir + "/serial");
      return;
    }
    dir.erase(dir.find_last_of('/'));
  }
}

}  // namespace

TPortDiagnosis DiagnosePort(const std::string& name, const TPortEnvironment& env) {
  TPortDiagnosis d;
  d.Name = name;
  d.Device = ResolvePortDevice(name, d.ResolvedBy);
  struct stat st {};
  d.Exists = ::stat(d.Device.c_str(), &st) == 0;
  const std::string real = d.Exists ? RealPath(d.Device) : std::string();
  const std::string tty = BaseName(real.empty() ? d.Device : real);

  if (d.Exists) {
    d.Accessible = ::access(d.Device.c_str(), R_OK | W_OK) == 0;
    if (const group* g = ::getgrgid(st.st_gid)) d.Group = g->gr_name;
    else d.Group = std::to_string(st.st_gid);
    int holder = FlockHolder(env, st);
    if (holder != 0) {
      d.Locked = true;
      d.HolderPid = holder > 0 ? holder : 0;
    } else if (S_ISCHR(st.st_mode)) {
      holder = OpenBy(env, real);
      if (holder > 0) {
        d.Locked = true;
        d.HolderPid = holder;
      }
    }
    if (d.HolderPid > 0) d.HolderProgram = ProgramOf(env, d.HolderPid);
    ReadUsb(env, tty, d);
    if (StartsWith(tty, "ttyS"))
      d.NoUart = FirstLine(env.SysRoot + "/class/tty/" + tty + "/type") == "0";
  }

  // Hints, the likeliest first.
  if (!d.Exists) {
    d.Hints.push_back("Is the adapter plugged in? RATELOG_" +
                      (d.ResolvedBy == "path" ? std::string("COMn") : d.Name) +
                      " can name the device file.");
  } else if (!d.Accessible) {
    // Serial devices belong to the dialout group; one of root's needs a
    // udev rule first.
    d.Hints.push_back("No permission for " + d.Device + " (group " + d.Group + "). " +
                      (d.Group == "root"
                           ? std::string("A udev rule (GROUP=\"dialout\") gives it to the "
                                         "dialout group; add yourself to that group, then log "
                                         "in again.")
                           : "Add yourself to the " + d.Group + " group, then log in again."));
  }
  if (d.Locked) {
    std::string who = d.HolderProgram.empty() ? std::string("another program")
                                              : d.HolderProgram;
    if (d.HolderPid > 0) who += " (pid " + std::to_string(d.HolderPid) + ")";
    d.Hints.push_back("The port is in use by " + who + "; a port serves one program at a time.");
  }
  if (d.NoUart)
    d.Hints.push_back("No UART behind " + d.Device +
                      ": a USB adapter appears as ttyUSB or ttyACM; choose its COM number or set "
                      "RATELOG_" + d.Name + ".");
  const bool acm = StartsWith(tty, "ttyACM");
  if (acm && Running(env, "ModemManager"))
    d.Hints.push_back("ModemManager is running and probes ttyACM devices: stop it (systemctl "
                      "stop ModemManager) or exclude the device with ID_MM_DEVICE_IGNORE.");
  const bool ch341 = d.VendorId == "1a86" || d.Driver == "ch341" || d.Driver == "ch341-uart";
  if ((ch341 || (!d.Exists && d.ResolvedBy != "path")) && Running(env, "brltty"))
    d.Hints.push_back("brltty (braille display driver) is running and claims CH340/CH341 USB "
                      "serial adapters: remove the brltty package unless a braille display "
                      "is used.");
  return d;
}

std::string TPortDiagnosis::Summary() const {
  std::string s = Device + " (" + ResolvedBy + "): ";
  if (!Exists) s += "missing";
  else if (NoUart) s += "no UART";
  else if (!Accessible) s += "no permission (group " + Group + ")";
  else if (Locked)
    s += "in use" + (HolderProgram.empty() ? std::string()
                                           : " by " + HolderProgram) +
         (HolderPid > 0 ? " (pid " + std::to_string(HolderPid) + ")" : std::string());
  else s += "ready";
  if (Usb) {
    s += ", USB " + VendorId + ":" + ProductId;
    if (!Vendor.empty() || !Product.empty()) s += " " + Vendor + (Vendor.empty() ? "" : " ") + Product;
    if (!Serial.empty()) s += " serial " + Serial;
  }
  if (!Driver.empty()) s += ", driver " + Driver;
  return s;
}
