#include "function_driver.h"

#include <km/standin.h>

#include <dlfcn.h>

#include <mutex>
#include <string>

namespace host {
namespace {

struct FunctionDriver {
  std::u16string name;
  PDRIVER_INITIALIZE entry = nullptr;
  bool searched = false;  // looked for Tavrin.sys beside the host already
  PDRIVER_OBJECT loaded = nullptr;
  std::size_t devices = 0;
};

std::mutex g_lock;
FunctionDriver g_driver;

// Tavrin.sys built for this platform is a shared object exporting DriverEntry,
// installed beside the host library.
PDRIVER_INITIALIZE FindInstalledDriver() {
  Dl_info self{};
  if (dladdr(reinterpret_cast<void *>(&FindInstalledDriver), &self) == 0 || self.dli_fname == nullptr) return nullptr;
  std::string path = self.dli_fname;
  path = path.substr(0, path.rfind('/') + 1) + "Tavrin.sys";
  void *image = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (image == nullptr) return nullptr;
  return reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
}

}  // namespace

void SetFunctionDriverEntry(std::u16string name, PDRIVER_INITIALIZE entry) {
  std::lock_guard guard(g_lock);
  g_driver.name = std::move(name);
  g_driver.entry = entry;
  g_driver.searched = true;
}

PDRIVER_OBJECT AcquireFunctionDriver() {
  std::lock_guard guard(g_lock);
  if (!g_driver.searched) {
    g_driver.searched = true;
    g_driver.entry = FindInstalledDriver();
    g_driver.name = u"\\Driver\\Tavrin";
  }
  if (g_driver.entry == nullptr) return nullptr;
  if (g_driver.loaded == nullptr) {
    NTSTATUS status;
    g_driver.loaded = km::LoadDriver(g_driver.name, g_driver.entry, &status);
    if (g_driver.loaded == nullptr) return nullptr;
  }
  ++g_driver.devices;
  return g_driver.loaded;
}

void ReleaseFunctionDriver() {
  std::lock_guard guard(g_lock);
  if (g_driver.devices == 0 || --g_driver.devices != 0) return;
  km::UnloadDriver(g_driver.loaded);
  g_driver.loaded = nullptr;
}

}  // namespace host
