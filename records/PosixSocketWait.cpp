#include <poll.h>

#include <cerrno>

#include "records/SocketWait.h"

int WaitSocket(int socket, bool write, int timeoutMs) {
  pollfd p{socket, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  const int n = ::poll(&p, 1, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : -1;
  return n > 0 ? 1 : 0;
}
