// The process's table of device handles: small positive values, multiples of
// four as on Windows, each naming an open file of one backend.
#pragma once

#include "device_backend.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace um {

struct OpenDevice {
  DeviceBackend *backend;
  void *file;
};

class HandleTable {
 public:
  std::uintptr_t Insert(OpenDevice device);
  std::optional<OpenDevice> Find(std::uintptr_t handle);
  // Removes the handle and returns what it named.
  std::optional<OpenDevice> Remove(std::uintptr_t handle);

  static HandleTable &Process();

 private:
  static constexpr std::uintptr_t kStep = 4;
  std::optional<std::size_t> IndexOf(std::uintptr_t handle) const;

  std::mutex lock_;
  std::vector<std::optional<OpenDevice>> slots_;
  std::vector<std::size_t> free_;
};

}  // namespace um
