// Arbitrary line speeds through termios2 (TCGETS2/TCSETS2 with BOTHER).
//
// This translation unit includes the kernel's own terminal definitions, whose struct termios
// clashes with the C library's <termios.h>; nothing else may be included alongside it that
// pulls in <termios.h>.
#include "serial/PosixSpeed.h"

#include <cerrno>
#include <cstdlib>

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

int SetArbitrarySpeed(int fd, int rate) {
  if (rate <= 0) return EINVAL;
  struct termios2 tio {};
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  // Both directions at the given rate: BOTHER in the output and the input speed fields.
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(rate);
  tio.c_ospeed = static_cast<speed_t>(rate);
  if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
  if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
  // The driver reports the rate its divisor actually gives.
  const long long actual = tio.c_ospeed;
  if (std::llabs(actual - rate) * 100 > 3LL * rate) return EINVAL;
  return 0;
}
#else
int SetArbitrarySpeed(int, int) { return EINVAL; }
#endif
