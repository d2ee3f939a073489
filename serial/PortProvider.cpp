// The registry of port providers and the choice of binding for a device name.
#include "serial/PortProvider.h"

#include <algorithm>
#include <mutex>

#include "serial/NetBinding.h"
#include "serial/SystemBinding.h"

namespace {

// Providers, most recently registered first. The lock is held while a provider is asked, so a
// provider is never used after its Unregister returned; providers must therefore not call the
// registry from Claims, CreateBinding or EnumPorts.
struct Registry {
  std::mutex mutex;
  std::vector<TPortProvider*> providers;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterPortProvider(TPortProvider* provider) {
  if (provider == nullptr) return;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  // Registering again moves the provider to the front instead of listing it twice.
  std::erase(r.providers, provider);
  r.providers.insert(r.providers.begin(), provider);
}

void UnregisterPortProvider(TPortProvider* provider) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::erase(r.providers, provider);
}

std::unique_ptr<TPortBinding> CreatePortBinding(const std::string& deviceName) {
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    for (TPortProvider* p : r.providers)
      if (p->Claims(deviceName)) return p->CreateBinding(deviceName);
  }
  // Network ports are typed names, opened on every platform by the same portable binding.
  if (IsNetworkPortName(deviceName)) return CreateNetworkBinding(deviceName);
  return CreateSystemBinding();
}

void EnumAllPorts(std::vector<std::string>& names) {
  {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    for (TPortProvider* p : r.providers) p->EnumPorts(names);
  }
  EnumSystemPorts(names);
}

std::map<std::string, std::string> PortAdapterNames() { return SystemPortAdapters(); }
