// Test helper: a serial device on a pseudo-terminal, for programs that serve serial ports (ser2net
// in the network tests). Makes a pseudo-terminal, prints its slave's name, and carries bytes
// between the master side and a port of ours (a bench port served by tptune-sim, as
// rfc2217://…). Its modem lines live in a lines file that the preloaded FakeModemLines library
// shows to the program using the slave: DTR and RTS set there go to the port, the port's DSR
// comes back there (CTS and CD always on).
//
//   pty_bridge PORT DIR     (DIR: where the lines file "pts-N" is made)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "serial/ComPort.h"

namespace {
volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pty_bridge PORT DIR\n");
    return 2;
  }
  int master = -1, slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  const std::string linesPath = std::string(argv[2]) + "/pts-" + (name + 9);
  const int file = open(linesPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (file < 0 || ftruncate(file, 2 * sizeof(int)) != 0) {
    std::perror(linesPath.c_str());
    return 1;
  }
  int* lines = static_cast<int*>(mmap(nullptr, 2 * sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0));
  if (lines == MAP_FAILED) return 1;

  TComPort port;
  port.SetDeviceName(argv[1]);
  port.Timeouts().SetReadInterval(-1);  // reads take what has come
  port.FlowControl().SetDTR(dcDisable);
  port.FlowControl().SetRTS(rcDisable);
  try {
    port.Open();
  } catch (const EComError& e) {
    std::fprintf(stderr, "pty_bridge: %s\n", e.what());
    return 1;
  }
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  std::printf("%s\n", name);
  std::fflush(stdout);

  int driven = 0;
  bool awaiting = false;  // bytes went to the device: its answer is due
  try {
    while (!gStop) {
      unsigned char buffer[4096];
      // The link is lock-step: after a request, wait on the device for its answer; else on the
      // terminal for the next request (short waits both, so neither side waits long).
      pollfd p{master, POLLIN, 0};
      poll(&p, 1, awaiting ? 0 : 1);
      if (p.revents & POLLIN) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
          port.Write(buffer, static_cast<int32_t>(n), true);
          awaiting = true;
        }
      }
      port.Timeouts().SetReadConstant(awaiting ? 3 : 0);
      port.Timeouts().SetReadInterval(awaiting ? 0 : -1);
      int32_t got = 0;
      try {
        port.Read(buffer, 1, true);
        got = 1;
      } catch (const EComError& e) {
        if (std::strcmp(e.what(), "Timeout") != 0) throw;
      }
      awaiting = false;
      if (got > 0) {
        const int32_t more = std::min<int32_t>(port.InputCount(), sizeof buffer - 1);
        if (more > 0) port.Read(buffer + 1, more, true);
        got += more;
        for (ssize_t done = 0; done < got;) {
          const ssize_t w = write(master, buffer + done, static_cast<size_t>(got - done));
          if (w > 0) done += w;
        }
      }
      const int now = __atomic_load_n(&lines[0], __ATOMIC_SEQ_CST);
      if (now != driven) {
        // Both lines in one order each, in the order a reset pulse needs them.
        port.FlowControl().SetDTR(now & TIOCM_DTR ? dcEnable : dcDisable);
        port.FlowControl().SetRTS(now & TIOCM_RTS ? rcEnable : rcDisable);
        driven = now;
      }
      const int device = TIOCM_CTS | TIOCM_CD | (port.ModemStatus().Contains(msDSR) ? TIOCM_DSR : 0);
      __atomic_store_n(&lines[1], device, __ATOMIC_SEQ_CST);
    }
  } catch (const EComError& e) {
    std::fprintf(stderr, "pty_bridge: %s\n", e.what());
    return 1;
  }
  return 0;
}
