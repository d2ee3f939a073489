// Test code, preloaded into a program that drives a pseudo-terminal as a serial port (ser2net in
// the network tests): gives the pseudo-terminal the modem lines it lacks. A terminal "/dev/pts/N"
// has lines when the directory named by $FAKE_MODEM_LINES_DIR holds a file "pts-N" of two ints:
// the first holds the lines the program drives (DTR, RTS), the second the lines the device on
// the other side drives (DSR, CTS, CD, RI), written by the program that made the terminal.
// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on such a terminal read and write that file instead
// of failing with ENOTTY; every other call goes to the C library.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);

IoctlFn RealIoctl() {
  static IoctlFn real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

// The lines file of the terminal open on fd, mapped; null when it has none.
int* LinesOf(int fd) {
  const char* dir = std::getenv("FAKE_MODEM_LINES_DIR");
  if (!dir) return nullptr;
  char link[64];
  char target[256] = {};
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0 || std::strncmp(target, "/dev/pts/", 9) != 0) return nullptr;
  char path[512];
  std::snprintf(path, sizeof path, "%s/pts-%s", dir, target + 9);
  const int file = open(path, O_RDWR | O_CLOEXEC);
  if (file < 0) return nullptr;
  void* map = mmap(nullptr, 2 * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
  close(file);
  return map == MAP_FAILED ? nullptr : static_cast<int*>(map);
}

constexpr int kDriven = TIOCM_DTR | TIOCM_RTS;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
    if (int* lines = LinesOf(fd)) {
      int* value = static_cast<int*>(arg);
      int out = __atomic_load_n(&lines[0], __ATOMIC_SEQ_CST);
      if (request == TIOCMGET) {
        *value = out | __atomic_load_n(&lines[1], __ATOMIC_SEQ_CST);
      } else {
        if (request == TIOCMSET) out = *value & kDriven;
        if (request == TIOCMBIS) out |= *value & kDriven;
        if (request == TIOCMBIC) out &= ~(*value & kDriven);
        __atomic_store_n(&lines[0], out, __ATOMIC_SEQ_CST);
      }
      munmap(lines, 2 * sizeof(int));
      return 0;
    }
  }
  return RealIoctl()(fd, request, arg);
}
