#include <winsock2.h>

#include "records/SocketWait.h"

int WaitSocket(int socket, bool write, int timeoutMs) {
  // libpq hands out the SOCKET as an int.
  WSAPOLLFD p{};
  p.fd = static_cast<SOCKET>(socket);
  p.events = write ? POLLWRNORM : POLLRDNORM;
  const int n = WSAPoll(&p, 1, timeoutMs);
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
}
