// Listing the communications ports the system registers.
#include <windows.h>

#include <algorithm>

#include "serial/NaturalOrder.h"
#include "serial/SystemBinding.h"
#include "serial/Win32Ports.h"

namespace {

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0)
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), s.data(), bytes,
                        nullptr, nullptr);
  return s;
}

}  // namespace

bool IsComPortName(const std::string& name) {
  return name.rfind("COM", 0) == 0 || name.rfind("\\\\.\\COM", 0) == 0;
}

std::wstring DevicePath(const std::string& deviceName) {
  std::string path = deviceName;
  if (path.find_first_of("\\/") == std::string::npos) path = "\\\\.\\" + path;
  const int chars = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()),
                                        nullptr, 0);
  std::wstring wide(static_cast<size_t>(std::max(chars, 0)), L'\0');
  if (chars > 0)
    MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(),
                        chars);
  return wide;
}

// The serial device map names each port the drivers created (value: the device object, data:
// the port's name). The names are listed in natural order, each once.
void EnumSystemPorts(std::vector<std::string>& names) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                    &key) != ERROR_SUCCESS)
    return;
  std::vector<std::string> found;
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256];
    DWORD valueNameLength = 256;
    wchar_t data[256];
    DWORD dataBytes = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LONG r = RegEnumValueW(key, index, valueName, &valueNameLength, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data), &dataBytes);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    std::wstring port(data, dataBytes / sizeof(wchar_t));
    while (!port.empty() && port.back() == L'\0') port.pop_back();
    const std::string name = Narrow(port);
    if (IsComPortName(name) && std::find(found.begin(), found.end(), name) == found.end())
      found.push_back(name);
  }
  RegCloseKey(key);
  std::sort(found.begin(), found.end(), NaturalLess);
  names.insert(names.end(), found.begin(), found.end());
}
