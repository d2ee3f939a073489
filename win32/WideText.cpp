#include "win32/WideText.h"

#include <windows.h>

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) {
    std::wstring latin1;
    for (char c : text) latin1.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return latin1;
  }
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      wide.data(), n);
  return wide;
}

std::string Utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), s.data(), n,
                        nullptr, nullptr);
  return s;
}

std::wstring DisplayText(std::string_view text) {
  const std::wstring wide = Wide(text);
  std::wstring out;
  out.reserve(wide.size() + 8);
  for (size_t i = 0; i < wide.size(); ++i) {
    const wchar_t c = wide[i];
    if (c == L'\r' || c == L'\n') {
      out += L"\r\n";
      if (c == L'\r' && i + 1 < wide.size() && wide[i + 1] == L'\n') ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}
