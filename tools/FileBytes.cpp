#include "tools/FileBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& name) {
  throw std::runtime_error(what + " " + name + ": " + std::strerror(errno));
}

}  // namespace

TBytes ReadFileBytes(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open", name);
  TBytes bytes;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      Fail("cannot read", name);
    }
    if (got == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  ::close(fd);
  return bytes;
}

void WriteFileBytes(const std::string& name, const TBytes& bytes, unsigned mode) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 07777);
  if (fd < 0) Fail("cannot create", name);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int error = errno;
      ::close(fd);
      errno = error;
      Fail("cannot write", name);
    }
    done += static_cast<size_t>(put);
  }
  // The creation mode was narrowed by the umask; an executable must stay executable.
  if (::fchmod(fd, mode & 07777) != 0 || ::close(fd) != 0) Fail("cannot finish", name);
}

unsigned FileMode(const std::string& name) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) Fail("cannot examine", name);
  return info.st_mode & 07777;
}
