#include "handle_table.h"

namespace um {

HandleTable &HandleTable::Process() {
  static HandleTable *table = new HandleTable;  // handles stay valid during exit
  return *table;
}

std::uintptr_t HandleTable::Insert(OpenDevice device) {
  std::lock_guard guard(lock_);
  std::size_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
    slots_[index] = device;
  } else {
    index = slots_.size();
    slots_.push_back(device);
  }
  return (index + 1) * kStep;
}

std::optional<std::size_t> HandleTable::IndexOf(std::uintptr_t handle) const {
  if (handle == 0 || handle % kStep != 0) return std::nullopt;
  std::size_t index = handle / kStep - 1;
  if (index >= slots_.size() || !slots_[index]) return std::nullopt;
  return index;
}

std::optional<OpenDevice> HandleTable::Find(std::uintptr_t handle) {
  std::lock_guard guard(lock_);
  auto index = IndexOf(handle);
  if (!index) return std::nullopt;
  return slots_[*index];
}

std::optional<OpenDevice> HandleTable::Remove(std::uintptr_t handle) {
  std::lock_guard guard(lock_);
  auto index = IndexOf(handle);
  if (!index) return std::nullopt;
  std::optional<OpenDevice> device = slots_[*index];
  slots_[*index].reset();
  free_.push_back(*index);
  return device;
}

}  // namespace um
