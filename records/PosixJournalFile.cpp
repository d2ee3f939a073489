#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "records/JournalFile.h"

namespace {

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      throw std::runtime_error(Errno("cannot write", path));
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace

TJournalFile::TJournalFile(const std::string& path, EAccess access) : path_(path) {
  const int flags = access == EAccess::Append ? O_RDWR | O_APPEND | O_CREAT
                    : access == EAccess::Read ? O_RDONLY
                                              : O_RDWR;
  const int lock = access == EAccess::Read ? LOCK_SH : LOCK_EX;
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
      missing_ = errno == ENOENT;
      error_ = Errno("cannot open", path);
      return;
    }
    while (::flock(fd, lock) != 0 && errno == EINTR) {
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
        (held.st_ino == named.st_ino && held.st_dev == named.st_dev)) {
      handle_ = fd;
      return;
    }
    ::close(fd);
  }
}

TJournalFile::~TJournalFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing drops the lock
}

bool TJournalFile::IsOpen() const { return handle_ >= 0; }

uint64_t TJournalFile::Size() const {
  struct stat st {};
  if (::fstat(static_cast<int>(handle_), &st) != 0)
    throw std::runtime_error(Errno("cannot read", path_));
  return static_cast<uint64_t>(st.st_size);
}

std::string TJournalFile::Read(size_t limit) const {
  std::string bytes;
  char chunk[65536];
  off_t at = 0;
  while (bytes.size() < limit) {
    const size_t want = std::min(sizeof chunk, limit - bytes.size());
    const ssize_t n = ::pread(static_cast<int>(handle_), chunk, want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
    at += n;
  }
  return bytes;
}

void TJournalFile::Append(std::string_view bytes) {
  WriteAll(static_cast<int>(handle_), bytes, path_);
}

void TJournalFile::Sync() {
  if (::fsync(static_cast<int>(handle_)) != 0) throw std::runtime_error(Errno("cannot sync", path_));
}

bool TJournalFile::Empty() {
  const int fd = static_cast<int>(handle_);
  return ::ftruncate(fd, 0) == 0 && ::fsync(fd) == 0;
}

int64_t ThisProcessId() { return static_cast<int64_t>(::getpid()); }

bool ProcessRunning(int64_t pid) {
  if (pid <= 0) return false;
  if (pid == ::getpid()) return true;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool TJournalFile::ReplaceWith(const std::string& bytes) {
  // Those who wait for the lock on the old file open the new one once they have it.
  const std::string& path = path_;
  const std::string fresh = path + ".new";
  {
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    try {
      WriteAll(fd, bytes, fresh);
    } catch (const std::exception&) {
      ok = false;
    }
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
      ::unlink(fresh.c_str());
      return false;
    }
  }
  if (::rename(fresh.c_str(), path.c_str()) != 0) {
    ::unlink(fresh.c_str());
    return false;
  }
  // The rename itself is on the disk once the folder is.
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}
