// The port's line settings expressed as terminal settings (internal to the POSIX binding).
#pragma once

#include <termios.h>

#include "serial/ComPort.h"

// Composes the settings for config on top of the device's present settings t, in raw mode.
// Returns 0, or the error number (EINVAL) when config asks for something the terminal interface
// cannot express; t is then unspecified. A rate without a B-constant is not put into t but
// returned in arbitraryRate (0 otherwise), for the arbitrary-rate interface.
int ComposeTermios(const TLineConfig& config, termios& t, int& arbitraryRate);
