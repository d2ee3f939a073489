// The port's line settings expressed as a Win32 device control block (internal to the Win32
// binding), the twin of the termios composer of the POSIX binding.
#pragma once

#include <windows.h>

#include "serial/ComPort.h"

// Writes config into the device's present control block dcb: the rate, the framing, DTR and
// RTS control, software flow control, the options' flag bits, both limits and the five
// characters. Members ending in Default leave their fields as the device has them; every other
// field keeps the device's value. Returns 0, or kErrInvalidArgument when config asks for
// something the control block cannot hold (brCustom without a positive CustomBaudRate); dcb is
// then unspecified.
int ComposeDcb(const TLineConfig& config, DCB& dcb);
