// Listing the serial devices through sysfs.
#include "serial/PosixPorts.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "serial/NaturalOrder.h"
#include "serial/PortProvider.h"

namespace fs = std::filesystem;

namespace {

// A legacy UART slot (ttyS*) reports type 0 when no UART answers there.
bool UartAbsent(const fs::path& ttyDir) {
  std::ifstream in(ttyDir / "type");
  long type = -1;
  if (!(in >> type)) return false;  // no readable type: keep the device
  return type == 0;
}

}  // namespace

void EnumPosixPortsIn(const fs::path& sysRoot, const fs::path& devRoot,
                      std::vector<std::string>& names) {
  std::error_code ec;
  const fs::path classDir = sysRoot / "class" / "tty";

  std::vector<fs::path> kernelNames;
  for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path name = it->path().filename();
    std::error_code e;
    // Virtual terminals, pseudo-terminals and the console have no device link.
    if (!fs::exists(fs::symlink_status(it->path() / "device", e))) continue;
    if (name.native().rfind("ttyS", 0) == 0 && UartAbsent(it->path())) continue;
    if (!fs::exists(devRoot / name, e)) continue;
    kernelNames.push_back(name);
  }
  std::sort(kernelNames.begin(), kernelNames.end(), [](const fs::path& a, const fs::path& b) {
    return NaturalLess(a.native(), b.native());
  });

  // Stable names: devRoot/serial/by-id/<id> -> ../../<name>. The first in natural order wins
  // when several lead to one device.
  std::map<fs::path, std::string> stableName;
  std::vector<fs::path> byId;
  for (fs::directory_iterator it(devRoot / "serial" / "by-id", ec), end; !ec && it != end;
       it.increment(ec))
    byId.push_back(it->path());
  std::sort(byId.begin(), byId.end(),
            [](const fs::path& a, const fs::path& b) { return NaturalLess(a.native(), b.native()); });
  for (const fs::path& link : byId) {
    std::error_code e;
    const fs::path target = fs::canonical(link, e);
    if (!e) stableName.emplace(target, link.native());
  }

  for (const fs::path& name : kernelNames) {
    const fs::path node = devRoot / name;
    std::error_code e;
    const fs::path canonical = fs::canonical(node, e);
    auto found = e ? stableName.end() : stableName.find(canonical);
    names.push_back(found != stableName.end() ? found->second : node.native());
  }
}

void EnumPosixPorts(std::vector<std::string>& names) { EnumPosixPortsIn("/sys", "/dev", names); }
