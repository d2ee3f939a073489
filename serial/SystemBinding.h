// What every platform provides to the portable part of the serial component (internal). Each
// platform defines these in its own files beside the portable ones (Posix*.cpp, Win32*.cpp);
// the build picks one set.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PortProvider.h"

// A binding for the operating system's serial devices.
std::unique_ptr<TPortBinding> CreateSystemBinding();

// Appends the operating system's serial devices, in natural order, as Open accepts them.
void EnumSystemPorts(std::vector<std::string>& names);

// The adapters behind the operating system's serial devices as the system names them, by port
// name as EnumSystemPorts lists it; a port the system gives no name is left out.
std::map<std::string, std::string> SystemPortAdapters();

// Applies a priority class for the time a port is open, remembering in saved what it replaced;
// pcDefault changes nothing. A refusal (raising the priority needs a privilege) is not an
// error: the port then works at the priority it already has.
void ApplyPriorityClass(TPriorityClass value, TSavedPriority& saved) noexcept;
// Puts back what ApplyPriorityClass replaced, once.
void RestorePriorityClass(TSavedPriority& saved) noexcept;
