// A peer for link_roundtrip: opens a pseudo-terminal, prints the name of its slave side on
// standard output, and echoes every byte that arrives on the master side until it is stopped
// (SIGINT or SIGTERM).
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

int main() {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "openpty: %s\n", std::strerror(errno));
    return 1;
  }
  // Raw from the start, so that nothing the tool sends before it configures the port is
  // echoed or translated by the line discipline. The slave stays open here: without any
  // opener the master would read end-of-file between two runs of the benchmark.
  termios raw{};
  if (tcgetattr(slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
  }
  std::printf("%s\n", name);
  std::fflush(stdout);

  unsigned char buffer[256];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "read: %s\n", std::strerror(errno));
      return 1;
    }
    ssize_t done = 0;
    while (done < n) {
      const ssize_t w = write(master, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "write: %s\n", std::strerror(errno));
        return 1;
      }
      done += w;
    }
  }
}
