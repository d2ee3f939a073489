#include "tools/FileBytes.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "run/Paths.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& name, const std::string& why) {
  throw std::runtime_error(what + " " + name + ": " + why);
}

[[noreturn]] void Fail(const std::string& what, const std::string& name, int error) {
  Fail(what, name, std::strerror(error != 0 ? error : EIO));
}

}  // namespace

// Files are opened in binary mode: on Windows the text mode would change the bytes.
TBytes ReadFileBytes(const std::string& name) {
  errno = 0;
  std::ifstream in(FilePath(name), std::ios::binary);
  if (!in) Fail("cannot open", name, errno);
  TBytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) Fail("cannot read", name, errno);
  return bytes;
}

void WriteFileBytes(const std::string& name, const TBytes& bytes, unsigned mode) {
  errno = 0;
  std::ofstream out(FilePath(name), std::ios::binary | std::ios::trunc);
  if (!out) Fail("cannot create", name, errno);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) Fail("cannot write", name, errno);
  // The creation mode was narrowed by the umask; an executable must stay executable. (Windows
  // keeps only the read-only bit of these.)
  std::error_code error;
  fs::permissions(FilePath(name), static_cast<fs::perms>(mode & 07777), fs::perm_options::replace, error);
  if (error) Fail("cannot finish", name, error.message());
}

unsigned FileMode(const std::string& name) {
  std::error_code error;
  const fs::file_status status = fs::status(FilePath(name), error);
  if (error) Fail("cannot examine", name, error.message());
  if (!fs::exists(status)) Fail("cannot examine", name, ENOENT);
  return static_cast<unsigned>(status.permissions()) & 07777;
}
