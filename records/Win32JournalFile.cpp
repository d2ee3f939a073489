// The journal's file on Windows. Windows does not put a new file in place of one that is open,
// so the lock is taken on a file of its own beside the journal (never replaced), and the journal
// is opened only under it: when the compaction puts the new journal in place, nobody else holds
// the old one open. The lock file stays beside the journal. Narrow file names are UTF-8, as the
// standard library's paths give them and SQLite takes them; the system is asked with wide names.
#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "records/JournalFile.h"

namespace {

std::string LastError(const std::string& what, const std::string& path) {
  const DWORD code = GetLastError();
  char text[512] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text,
                           nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
  return what + " " + path + ": " +
         (n > 0 ? std::string(text, n) : "system error " + std::to_string(code));
}

HANDLE Handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::wstring Wide(const std::string& name) {
  const int chars =
      MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
  if (chars > 0)
    MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), wide.data(), chars);
  return wide;
}

HANDLE OpenShared(const std::string& path, DWORD access, DWORD disposition) {
  return CreateFileW(Wide(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool NotThere(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

void WriteAll(HANDLE h, std::string_view bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, want, &n, nullptr) || n == 0)
      throw std::runtime_error(LastError("cannot write", path));
    done += n;
  }
}

}  // namespace

TJournalFile::TJournalFile(const std::string& path, EAccess access) : path_(path) {
  // Only an appender makes a journal: whoever else finds none has nothing to lock.
  if (access != EAccess::Append && GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES &&
      NotThere(GetLastError())) {
    missing_ = true;
    SetLastError(ERROR_FILE_NOT_FOUND);
    error_ = LastError("cannot open", path);
    return;
  }
  const HANDLE lock = OpenShared(path + ".lock", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  if (lock != INVALID_HANDLE_VALUE) {
    OVERLAPPED whole{};
    if (!LockFileEx(lock, access == EAccess::Read ? 0 : LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
      error_ = LastError("cannot lock", path);
      CloseHandle(lock);
      return;
    }
    lock_ = reinterpret_cast<intptr_t>(lock);
  } else if (access != EAccess::Read) {
    error_ = LastError("cannot open", path + ".lock");
    return;
  }
  // (A reader in a folder it may not write reads without the lock: a half-written last entry
  // fails its check and is left out.)
  const HANDLE h =
      OpenShared(path, access == EAccess::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                 access == EAccess::Append ? OPEN_ALWAYS : OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    missing_ = NotThere(code);
    SetLastError(code);
    error_ = LastError("cannot open", path);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
}

TJournalFile::~TJournalFile() {
  if (handle_ != -1) CloseHandle(Handle(handle_));
  if (lock_ != -1) CloseHandle(Handle(lock_));  // closing drops the lock
}

bool TJournalFile::IsOpen() const { return handle_ != -1; }

uint64_t TJournalFile::Size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(Handle(handle_), &size))
    throw std::runtime_error(LastError("cannot read", path_));
  return static_cast<uint64_t>(size.QuadPart);
}

std::string TJournalFile::Read(size_t limit) const {
  std::string bytes;
  char chunk[65536];
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(Handle(handle_), start, nullptr, FILE_BEGIN)) return bytes;
  while (bytes.size() < limit) {
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min(sizeof chunk, limit - bytes.size()));
    if (!ReadFile(Handle(handle_), chunk, want, &n, nullptr) || n == 0) break;
    bytes.append(chunk, n);
  }
  return bytes;
}

void TJournalFile::Append(std::string_view bytes) {
  LARGE_INTEGER none{};
  if (!SetFilePointerEx(Handle(handle_), none, nullptr, FILE_END))
    throw std::runtime_error(LastError("cannot write", path_));
  WriteAll(Handle(handle_), bytes, path_);
}

void TJournalFile::Sync() {
  if (!FlushFileBuffers(Handle(handle_)))
    throw std::runtime_error(LastError("cannot sync", path_));
}

bool TJournalFile::Empty() {
  LARGE_INTEGER start{};
  return SetFilePointerEx(Handle(handle_), start, nullptr, FILE_BEGIN) &&
         SetEndOfFile(Handle(handle_)) && FlushFileBuffers(Handle(handle_));
}

bool TJournalFile::ReplaceWith(const std::string& bytes) {
  const std::string fresh = path_ + ".new";
  const HANDLE h = OpenShared(fresh, GENERIC_WRITE, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  try {
    WriteAll(h, bytes, fresh);
  } catch (const std::exception&) {
    ok = false;
  }
  ok = FlushFileBuffers(h) && ok;
  CloseHandle(h);
  // The old journal is let go (the lock is not): nobody holds it open when it is replaced.
  CloseHandle(Handle(handle_));
  handle_ = -1;
  // Written through: the replacement is on the disk when the call returns.
  if (!ok || !MoveFileExW(Wide(fresh).c_str(), Wide(path_).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(Wide(fresh).c_str());
    return false;
  }
  return true;
}

int64_t ThisProcessId() { return static_cast<int64_t>(GetCurrentProcessId()); }

bool ProcessRunning(int64_t pid) {
  if (pid <= 0 || pid > 0xFFFFFFFF) return false;
  if (pid == ThisProcessId()) return true;
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}
