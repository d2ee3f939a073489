#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>

#include "app/StandardOutput.h"

// The C runtime's text mode would write every "\n" as "\r\n": a CSV line end would become
// "\r\r\n", and a trace's bytes would change.
void UseBinaryStandardOutput() {
  std::cout.flush();
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}
