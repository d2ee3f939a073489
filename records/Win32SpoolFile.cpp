// Spool files on Windows. Every handle is opened sharing reading, writing and deleting, so that
// the claimed file may be renamed or removed by its holder while others look at the folder; the
// claim is a byte-range lock far beyond any record's end, so others may still read a claimed
// file (the records program lists what waits) but only one program at a time holds it. The
// system drops the lock when the holder's handle closes, also when the program is killed.
// Narrow names are UTF-8; the system is asked with wide names.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "records/SpoolFile.h"
#include "run/Paths.h"

namespace {

std::string Why(DWORD code) {
  char text[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text,
                           nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
  return n > 0 ? std::string(text, n) : "system error " + std::to_string(code);
}

HANDLE Handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::wstring Wide(const std::string& name) { return FilePath(name).wstring(); }

HANDLE OpenShared(const std::string& path, DWORD disposition) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The claim: one byte at an offset no record reaches.
constexpr DWORD kClaimOffsetHigh = 0x7FFFFFFF;

bool TakeClaim(HANDLE h) {
  OVERLAPPED at{};
  at.OffsetHigh = kClaimOffsetHigh;
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

bool WriteAll(HANDLE h, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, want, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

bool SameFile(HANDLE a, const std::string& path) {
  const HANDLE b = CreateFileW(Wide(path).c_str(), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (b == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  const bool same = GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib) &&
                    ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
                    ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
  CloseHandle(b);
  return same;
}

}  // namespace

std::unique_ptr<TSpoolFile> TSpoolFile::Write(const std::string& tmpPath,
                                              const std::string& finalPath,
                                              std::string_view bytes, bool keepClaim) {
  const HANDLE h = OpenShared(tmpPath, CREATE_NEW);
  if (h == INVALID_HANDLE_VALUE)
    throw std::runtime_error("cannot write " + tmpPath + ": " + Why(GetLastError()));
  TakeClaim(h);
  std::string failed;
  if (!WriteAll(h, bytes) || !FlushFileBuffers(h))
    failed = "cannot write " + tmpPath + ": " + Why(GetLastError());
  else if (!MoveFileExW(Wide(tmpPath).c_str(), Wide(finalPath).c_str(), MOVEFILE_WRITE_THROUGH))
    failed = "cannot write " + finalPath + ": " + Why(GetLastError());
  if (!failed.empty()) {
    DeleteFileW(Wide(tmpPath).c_str());
    CloseHandle(h);
    throw std::runtime_error(failed);
  }
  if (!keepClaim) {
    CloseHandle(h);
    return nullptr;
  }
  return std::unique_ptr<TSpoolFile>(new TSpoolFile(finalPath, reinterpret_cast<intptr_t>(h)));
}

std::unique_ptr<TSpoolFile> TSpoolFile::Claim(const std::string& path) {
  const HANDLE h = OpenShared(path, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  FILE_STANDARD_INFO info{};
  // Held by another program, or removed or moved on by the one that held it meanwhile.
  if (!TakeClaim(h) ||
      !GetFileInformationByHandleEx(h, FileStandardInfo, &info, sizeof info) ||
      info.DeletePending || !SameFile(h, path)) {
    CloseHandle(h);
    return nullptr;
  }
  return std::unique_ptr<TSpoolFile>(new TSpoolFile(path, reinterpret_cast<intptr_t>(h)));
}

TSpoolFile::~TSpoolFile() { CloseHandle(Handle(handle_)); }

std::string TSpoolFile::Read() const {
  std::string bytes;
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(Handle(handle_), start, nullptr, FILE_BEGIN))
    throw std::runtime_error("cannot read " + path_ + ": " + Why(GetLastError()));
  char chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(Handle(handle_), chunk, sizeof chunk, &n, nullptr))
      throw std::runtime_error("cannot read " + path_ + ": " + Why(GetLastError()));
    if (n == 0) return bytes;
    bytes.append(chunk, n);
  }
}

bool TSpoolFile::Remove(std::string* why) {
  // Gone from the folder once the last handle closes (ours, when the object goes).
  if (DeleteFileW(Wide(path_).c_str())) return true;
  if (why) *why = "cannot remove " + path_ + ": " + Why(GetLastError());
  return false;
}

bool TSpoolFile::MoveTo(const std::string& path, std::string* why) {
  if (!MoveFileExW(Wide(path_).c_str(), Wide(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
    if (why) *why = "cannot move " + path_ + " to " + path + ": " + Why(GetLastError());
    return false;
  }
  path_ = path;
  return true;
}

std::string MakeSpoolFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(FilePath(folder), ec);
  if (ec) return ec.message();
  // Whether files can be made in it: a probe that is removed again.
  const std::string probe = folder + "\\.probe-" + std::to_string(GetCurrentProcessId());
  const HANDLE h = CreateFileW(Wide(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Why(GetLastError());
  CloseHandle(h);
  return {};
}

double SpoolFileAge(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(now) - ticks(data.ftLastWriteTime)) / 1e7;
}

long long SpoolProcessId() { return static_cast<long long>(GetCurrentProcessId()); }
