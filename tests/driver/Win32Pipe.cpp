#include <fcntl.h>
#include <io.h>

#include <stdexcept>

#include "tests/driver/Pipe.h"

TPipe::TPipe() {
  if (_pipe(fds_, 4096, _O_BINARY) != 0) throw std::runtime_error("pipe failed");
}

TPipe::~TPipe() {
  for (int fd : fds_)
    if (fd >= 0) _close(fd);
}

void TPipe::Write(const std::string& text) {
  if (_write(fds_[1], text.data(), static_cast<unsigned>(text.size())) !=
      static_cast<int>(text.size()))
    throw std::runtime_error("write to the pipe failed");
}

void TPipe::CloseWriter() {
  _close(fds_[1]);
  fds_[1] = -1;
}
