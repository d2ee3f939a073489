// Waiting on a database connection's socket, as this platform does it (PosixSocketWait.cpp,
// Win32SocketWait.cpp), so that the PostgreSQL back end can wait in short slices and give up
// when its program ends or its server stops answering.
#pragma once

// Waits up to timeoutMs for the socket to be readable (or writable, with write); 1 when it is,
// 0 when the time ran out, -1 on an error.
int WaitSocket(int socket, bool write, int timeoutMs);
