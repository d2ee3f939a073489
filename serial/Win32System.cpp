// The Windows side of the serial component's platform services: system error codes and their
// texts, and process priority classes.
#include <windows.h>

#include "serial/SystemBinding.h"
#include "serial/SystemErrors.h"

const int kErrPortNotFound = ERROR_FILE_NOT_FOUND;
// A communications device opened without sharing refuses a second opener with access denied.
const int kErrPortInUse = ERROR_ACCESS_DENIED;
const int kErrDeviceGone = ERROR_GEN_FAILURE;
const int kErrInvalidArgument = ERROR_INVALID_PARAMETER;
const int kErrBadBuffer = ERROR_NOACCESS;
const int kErrNoDevice = ERROR_INVALID_HANDLE;

// The system's message for the code, in UTF-8, without the line break it ends with.
std::string PlatformErrorText(int errorNumber) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(errorNumber), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result;
  if (length > 0 && text != nullptr) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    result.resize(static_cast<size_t>(bytes > 0 ? bytes : 0));
    if (bytes > 0)
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), bytes,
                          nullptr, nullptr);
  }
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  if (result.empty()) return "Unknown error " + std::to_string(errorNumber);
  return result;
}

// The process priority class while a port is open: pcIdle, pcNormal, pcHigh and pcRealTime are
// the system's classes of those names. Without the right to real-time the system gives high
// instead; a refused change keeps the present class.
void ApplyPriorityClass(TPriorityClass value, TSavedPriority& saved) noexcept {
  DWORD wanted = 0;
  switch (value) {
    case pcDefault: return;
    case pcIdle: wanted = IDLE_PRIORITY_CLASS; break;
    case pcNormal: wanted = NORMAL_PRIORITY_CLASS; break;
    case pcHigh: wanted = HIGH_PRIORITY_CLASS; break;
    case pcRealTime: wanted = REALTIME_PRIORITY_CLASS; break;
  }
  const DWORD current = GetPriorityClass(GetCurrentProcess());
  if (current == 0) return;
  saved.value = static_cast<int>(current);
  saved.saved = true;
  SetPriorityClass(GetCurrentProcess(), wanted);
}

void RestorePriorityClass(TSavedPriority& saved) noexcept {
  if (!saved.saved) return;
  SetPriorityClass(GetCurrentProcess(), static_cast<DWORD>(saved.value));
  saved.saved = false;
}
