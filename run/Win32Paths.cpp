#include "run/Paths.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

namespace {

std::string Utf8(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), n, nullptr,
                        nullptr);
  return utf8;
}

}  // namespace

const char kPathSeparators[] = "\\/:";

// The wide name: the narrow one is in the ANSI code page, which may not spell it.
std::string StationName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(name, &size) || size == 0) return "unknown";
  return Utf8(name, size);
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i], std::wcslen(wide[i])));
  LocalFree(wide);
  return args;
}
