// Communications port names on Windows (internal to the Win32 binding).
#pragma once

#include <string>

// True for the names the port list takes: those beginning with "COM" or with the device path
// prefix "\\.\COM".
bool IsComPortName(const std::string& name);

// The path CreateFile opens for a port name: a bare name such as "COM10" gets the device prefix
// "\\.\" (needed from COM10 on, harmless below); a name that is already a path stays as it is.
std::wstring DevicePath(const std::string& deviceName);
