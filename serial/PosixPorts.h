// The serial devices of the system as sysfs shows them (internal to the POSIX binding).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Appends the serial devices found under sysRoot/class/tty whose device nodes live in devRoot:
// each device with a driver behind it (a "device" link), legacy UART slots only when a UART is
// present (their "type" is not 0), each listed once under its stable devRoot/serial/by-id name
// when one leads to it, else as devRoot/<name>, in natural order of the kernel names (ttyS2
// before ttyS10). No device is opened.
void EnumPosixPortsIn(const std::filesystem::path& sysRoot, const std::filesystem::path& devRoot,
                      std::vector<std::string>& names);

// The system's serial devices: EnumPosixPortsIn on /sys and /dev.
void EnumPosixPorts(std::vector<std::string>& names);

// The POSIX terminal binding (PosixBinding.cpp).
class TPortBinding;
std::unique_ptr<TPortBinding> CreatePosixBinding();
