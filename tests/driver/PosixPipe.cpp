#include <unistd.h>

#include <stdexcept>

#include "tests/driver/Pipe.h"

TPipe::TPipe() {
  if (pipe(fds_) != 0) throw std::runtime_error("pipe failed");
}

TPipe::~TPipe() {
  for (int fd : fds_)
    if (fd >= 0) close(fd);
}

void TPipe::Write(const std::string& text) {
  if (write(fds_[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("write to the pipe failed");
}

void TPipe::CloseWriter() {
  close(fds_[1]);
  fds_[1] = -1;
}
