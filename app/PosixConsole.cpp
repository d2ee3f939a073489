// The console front end's platform services on POSIX systems: poll, read, SIGINT and SIGTERM.
// A terminal outlives the programs started in it, so a program never has a console of its own.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/ConsolePlatform.h"

TInputResult ReadAvailableInput(int fd, std::string& buffer, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  const int ready = poll(&p, 1, timeoutMs);
  if (ready < 0 && errno != EINTR) return TInputResult::kEnd;
  if (ready <= 0) return TInputResult::kNothingYet;
  char chunk[256];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return TInputResult::kNothingYet;
  if (n <= 0) return TInputResult::kEnd;
  buffer.append(chunk, static_cast<size_t>(n));
  return TInputResult::kData;
}

namespace {

std::atomic<bool>* interruptFlag = nullptr;

// The first signal cancels; the second one of either kind ends the program at once.
void OnInterrupt(int) {
  interruptFlag->store(true);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

}  // namespace

void InstallInterruptHandler(std::atomic<bool>& interrupted) {
  interruptFlag = &interrupted;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool IsTerminal(int fd) { return isatty(fd) != 0; }

bool HasOwnConsole() { return false; }

void WaitForKeyPress() {
  // Not reached while HasOwnConsole() says no; a terminal sends a key with its line.
  std::fputs("Press Enter to close.\n", stderr);
  std::getchar();
}
