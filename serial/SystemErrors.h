// The operating system's error numbers as the serial component reports them, and their texts.
//
// EComError carries the platform's own numbers: errno values on POSIX systems, system error
// codes (GetLastError) on Windows. The conditions the component and the emulated bench raise
// by themselves are named here once per platform, so that a check of an error code holds on
// every build.
#pragma once

#include <string>

extern const int kErrPortNotFound;     // no device of that name
extern const int kErrPortInUse;        // another opener holds the device
extern const int kErrDeviceGone;       // the device stopped answering (unplugged, hung up)
extern const int kErrInvalidArgument;  // a value the device or the call cannot take
extern const int kErrBadBuffer;        // no buffer for a transfer of some bytes
extern const int kErrNoDevice;         // a device operation on a port without a device

// The platform's text for an error number (thread-safe); never empty.
std::string PlatformErrorText(int errorNumber);
