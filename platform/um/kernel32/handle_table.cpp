#include "handle_table.h"

#include <sched.h>

namespace um {

HandleTable &HandleTable::Process() {
  static HandleTable *table = new HandleTable;  // handles stay valid during exit
  return *table;
}

std::uintptr_t HandleTable::Insert(OpenDevice device) {
  int cpu = sched_getcpu();
  std::size_t shardNumber = cpu >= 0 ? static_cast<std::size_t>(cpu) % kShards : 0;
  Shard &shard = shards_[shardNumber];
  std::lock_guard guard(shard.lock);
  std::size_t index;
  if (!shard.free.empty()) {
    index = shard.free.back();
    shard.free.pop_back();
    shard.slots[index] = device;
  } else {
    index = shard.slots.size();
    shard.slots.push_back(device);
  }
  return (index * kShards + shardNumber + 1) * kStep;
}

std::optional<HandleTable::Place> HandleTable::PlaceOf(std::uintptr_t handle) {
  if (handle == 0 || handle % kStep != 0) return std::nullopt;
  std::uintptr_t number = handle / kStep - 1;
  return Place{&shards_[number % kShards], number / kShards};
}

std::optional<OpenDevice> *HandleTable::EntryLocked(const Place &place) {
  if (place.index >= place.shard->slots.size() || !place.shard->slots[place.index]) return nullptr;
  return &place.shard->slots[place.index];
}

std::optional<OpenDevice> HandleTable::Find(std::uintptr_t handle) {
  auto place = PlaceOf(handle);
  if (!place) return std::nullopt;
  std::lock_guard guard(place->shard->lock);
  std::optional<OpenDevice> *entry = EntryLocked(*place);
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

std::optional<OpenDevice> HandleTable::Remove(std::uintptr_t handle) {
  auto place = PlaceOf(handle);
  if (!place) return std::nullopt;
  std::lock_guard guard(place->shard->lock);
  std::optional<OpenDevice> *entry = EntryLocked(*place);
  if (entry == nullptr) return std::nullopt;
  std::optional<OpenDevice> device = *entry;
  entry->reset();
  place->shard->free.push_back(place->index);
  return device;
}

}  // namespace um
