// Listing the communications ports the system registers.
#include <windows.h>
// After windows.h: the set-up API's headers build on it.
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <memory>

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

// A device property or registry value that is a string, without its terminating null(s).
std::wstring TrimmedString(const wchar_t* text, DWORD bytes) {
  std::wstring s(text, bytes / sizeof(wchar_t));
  while (!s.empty() && s.back() == L'\0') s.pop_back();
  return s;
}

// The port name a device of the port or modem class gave itself (its hardware key's "PortName"),
// "" for a device that is no communications port (a printer port, say).
std::wstring DevicePortName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  const HKEY key =
      SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t data[256];
  DWORD bytes = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  std::wstring name;
  if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes) ==
          ERROR_SUCCESS &&
      type == REG_SZ)
    name = TrimmedString(data, bytes);
  RegCloseKey(key);
  return name;
}

// The name Device Manager shows for a device: its friendly name, else its description.
std::wstring DeviceDisplayName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  for (DWORD property : {SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC}) {
    wchar_t data[512];
    DWORD type = 0;
    DWORD bytes = 0;
    if (SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type,
                                          reinterpret_cast<BYTE*>(data),
                                          sizeof data - sizeof(wchar_t), &bytes) &&
        type == REG_SZ) {
      std::wstring name = TrimmedString(data, bytes);
      if (!name.empty()) return name;
    }
  }
  return {};
}

struct DeviceListCloser {
  void operator()(void* devices) const { SetupDiDestroyDeviceInfoList(devices); }
};

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

// The devices present in the port class ("Ports (COM & LPT)" in Device Manager) and in the modem
// class (a USB modem or phone adapter with a COM port), each named by the port name its driver
// gave it in its hardware key. A device no longer plugged in is not present and not asked.
std::map<std::string, std::string> SystemPortAdapters() {
  std::map<std::string, std::string> adapters;
  for (const GUID& deviceClass : {GUID_DEVCLASS_PORTS, GUID_DEVCLASS_MODEM}) {
    const HDEVINFO list = SetupDiGetClassDevsW(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
    if (list == INVALID_HANDLE_VALUE) continue;
    const std::unique_ptr<void, DeviceListCloser> closer(list);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &device); ++index) {
      const std::string port = Narrow(DevicePortName(list, device));
      if (!IsComPortName(port)) continue;
      const std::string name = Narrow(DeviceDisplayName(list, device));
      if (!name.empty()) adapters.emplace(port, name);
    }
  }
  return adapters;
}
