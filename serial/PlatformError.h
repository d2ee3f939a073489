// Platform error reporting shared by the port object and the platform bindings (internal).
#pragma once

#include <string>

#include "serial/ComPort.h"
#include "serial/SystemErrors.h"

// Raises EComError with the error number and the platform's text for it.
[[noreturn]] void RaisePlatformError(int errorNumber);

// The component's own failures: error code 0 and a fixed message.
[[noreturn]] void RaiseComError(const char* message);

inline constexpr const char* kClosedPortMessage = "Can't perform this operation on a closed port";
inline constexpr const char* kOpenPortMessage = "Can't perform this operation on an open port";
inline constexpr const char* kTimeoutMessage = "Timeout";
