#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "records/SpoolFile.h"
#include "run/Paths.h"

namespace {

std::string Why(int error) { return std::strerror(error); }

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// The rename or creation of an entry is on the disk once its folder is.
bool SyncFolder(const std::string& path) {
  const int fd = ::open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::unique_ptr<TSpoolFile> TSpoolFile::Write(const std::string& tmpPath,
                                              const std::string& finalPath,
                                              std::string_view bytes, bool keepClaim) {
  const int fd = ::open(tmpPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + tmpPath + ": " + Why(errno));
  // Nobody else can have it yet: the lock is taken at once, before the name goes public.
  ::flock(fd, LOCK_EX | LOCK_NB);
  std::string failed;
  if (!WriteAll(fd, bytes))
    failed = "cannot write " + tmpPath + ": " + Why(errno);
  else if (::fsync(fd) != 0)
    failed = "cannot write " + tmpPath + ": " + Why(errno);
  else if (::rename(tmpPath.c_str(), finalPath.c_str()) != 0)
    failed = "cannot write " + finalPath + ": " + Why(errno);
  else if (!SyncFolder(finalPath))
    failed = "cannot write " + finalPath + ": " + Why(errno);
  if (!failed.empty()) {
    const int error = errno;
    ::unlink(tmpPath.c_str());
    ::close(fd);
    errno = error;
    throw std::runtime_error(failed);
  }
  if (!keepClaim) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<TSpoolFile>(new TSpoolFile(finalPath, fd));
}

std::unique_ptr<TSpoolFile> TSpoolFile::Claim(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return nullptr;
  int locked;
  while ((locked = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
  }
  // Held by another program; or it was removed or moved on by the one that held it between
  // the open and the lock.
  struct stat held {}, named {};
  if (locked != 0 || ::fstat(fd, &held) != 0 || held.st_nlink == 0 ||
      ::stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
      held.st_dev != named.st_dev) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<TSpoolFile>(new TSpoolFile(path, fd));
}

TSpoolFile::~TSpoolFile() { ::close(static_cast<int>(handle_)); }

std::string TSpoolFile::Read() const {
  std::string bytes;
  char chunk[65536];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(handle_), chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("cannot read " + path_ + ": " + Why(errno));
    if (n == 0) return bytes;
    bytes.append(chunk, static_cast<size_t>(n));
    at += n;
  }
}

bool TSpoolFile::Remove(std::string* why) {
  if (::unlink(path_.c_str()) == 0) return true;
  if (why) *why = "cannot remove " + path_ + ": " + Why(errno);
  return false;
}

bool TSpoolFile::MoveTo(const std::string& path, std::string* why) {
  if (::rename(path_.c_str(), path.c_str()) != 0) {
    if (why) *why = "cannot move " + path_ + " to " + path + ": " + Why(errno);
    return false;
  }
  path_ = path;
  SyncFolder(path);
  return true;
}

std::string MakeSpoolFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(FilePath(folder), ec);
  if (ec) return ec.message();
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return Why(errno);
  return {};
}

double SpoolFileAge(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<double>(::time(nullptr) - st.st_mtime);
}

long long SpoolProcessId() { return static_cast<long long>(::getpid()); }
