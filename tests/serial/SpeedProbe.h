// Reads the output speed in bits per second that the kernel holds for a terminal, including
// rates set through the arbitrary-rate interface.
#pragma once

// Returns -1 when the terminal cannot be asked.
long OutputSpeedOf(int fd);
