// Line speeds that have no B-constant of the terminal interface (internal to the POSIX binding).
#pragma once

// Sets input and output speed of the open terminal fd to rate bits per second through the
// kernel's arbitrary-rate interface, then reads back what the driver made of it. Returns 0, or
// the error number: the ioctl's own, or EINVAL when the driver cannot run within 3 % of the rate
// (a UART's receiver tolerates about that much) or the platform has no arbitrary rates.
int SetArbitrarySpeed(int fd, int rate);
