// Errors of the serial link.
#pragma once

#include <stdexcept>
#include <string>

// Error codes carried by EDeviceError.
inline constexpr int DEVICE_CANNOTOPEN = 65535;  // "Cannot open device %s"
inline constexpr int DEVICE_NOTOPENED = 1;
inline constexpr int DEVICE_ALREADYOPENED = 2;
inline constexpr int DEVICE_UPDATEDCB = 3;
inline constexpr int DEVICE_SENDLOCKED = 4;
inline constexpr int DEVICE_READLOCKED = 5;
inline constexpr int DEVICE_UPDATEBUFFERS = 6;
inline constexpr int DEVICE_UPDATETIMEOUTS = 7;
inline constexpr int DEVICE_READERROR = 10;
inline constexpr int DEVICE_WRITEERROR = 11;

// Raised by the serial link. what() is the fixed message of the code; the
// operating system's error number, when one caused the failure, is kept in
// OsError (0 otherwise) so that a window can add the reason and a hint.
class EDeviceError : public std::runtime_error {
 public:
  EDeviceError(int code, const std::string& message, int osError = 0);

  // The message of a code. deviceName fills "Cannot open device %s"; for
  // the transfer errors (10, 11) osError and its text are appended as
  // " (Win32 error %d: %s)".
  static std::string MessageOf(int code, const std::string& deviceName = std::string(),
                               int osError = 0);
  static EDeviceError Make(int code, const std::string& deviceName = std::string(),
                           int osError = 0);

  int ErrorCode;
  int OsError;
};
