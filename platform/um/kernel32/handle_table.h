// The process's table of device handles: small positive values, multiples of
// four as on Windows, each naming an open file of one backend. The table is
// split into shards, each with its own lock; a handle is made in the shard
// of the processor its thread runs on, and its value says which shard holds
// it, so that threads opening, using and closing handles at once rarely
// share a lock.
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
  static constexpr std::size_t kShards = 8;

  struct alignas(64) Shard {
    std::mutex lock;
    std::vector<std::optional<OpenDevice>> slots;
    std::vector<std::size_t> free;
  };

  // Where a handle's slot is: its shard and the index in that shard.
  struct Place {
    Shard *shard;
    std::size_t index;
  };
  std::optional<Place> PlaceOf(std::uintptr_t handle);
  // The slot's entry when it holds one (the shard's lock held).
  static std::optional<OpenDevice> *EntryLocked(const Place &place);

  Shard shards_[kShards];
};

}  // namespace um
