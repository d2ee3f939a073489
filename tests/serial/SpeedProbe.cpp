// Kept apart from everything that includes <termios.h>: the kernel's terminal definitions
// clash with it.
#include "SpeedProbe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

long OutputSpeedOf(int fd) {
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return -1;
  return static_cast<long>(tio.c_ospeed);
}
