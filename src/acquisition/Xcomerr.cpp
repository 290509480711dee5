#include "acquisition/Xcomerr.h"

#include <cstdio>
#include <cstring>

EDeviceError::EDeviceError(int code, const std::string& message, int osError)
    : std::runtime_error(message), ErrorCode(code), OsError(osError) {}

std::string EDeviceError::MessageOf(int code, const std::string& deviceName, int osError) {
  const char* base = "";
  switch (code) {
    case DEVICE_CANNOTOPEN: return "Cannot open device " + deviceName;
    case DEVICE_NOTOPENED: base = "Device not opened."; break;
    case DEVICE_ALREADYOPENED: base = "Device is allready opened."; break;
    case DEVICE_UPDATEDCB: base = "Unable to update device control block."; break;
    case DEVICE_SENDLOCKED: base = "Device locked. Cannot perform send operations."; break;
    case DEVICE_READLOCKED: base = "Device locked. Cannot perform read operations."; break;
    case DEVICE_UPDATEBUFFERS: base = "Unable to update IO buffers."; break;
    case DEVICE_UPDATETIMEOUTS: base = "Unable to update Timeouts."; break;
    case DEVICE_READERROR: base = "Unable to read from port."; break;
    case DEVICE_WRITEERROR: base = "Unable to write to port."; break;
    default: base = "Device error."; break;
  }
  if (code == DEVICE_READERROR || code == DEVICE_WRITEERROR) {
    char text[512];
    std::snprintf(text, sizeof text, "%s (Win32 error %d: %s)", base, osError,
                  std::strerror(osError));
    return text;
  }
  return base;
}

EDeviceError EDeviceError::Make(int code, const std::string& deviceName, int osError) {
  return EDeviceError(code, MessageOf(code, deviceName, osError), osError);
}
