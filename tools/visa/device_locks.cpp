#include "device_locks.h"

namespace visa {

bool DeviceLocks::FreeFor(int instrument, std::int32_t link) const {
  auto it = holders_.find(instrument);
  return it == holders_.end() || it->second == link;
}

bool DeviceLocks::WaitAccessible(int instrument, std::int32_t link, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, wait, [&] { return shutdown_ || FreeFor(instrument, link); }) && !shutdown_;
}

bool DeviceLocks::Acquire(int instrument, std::int32_t link, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (!changed_.wait_for(lock, wait, [&] { return shutdown_ || FreeFor(instrument, link); }) || shutdown_)
    return false;
  holders_[instrument] = link;
  return true;
}

bool DeviceLocks::Release(int instrument, std::int32_t link) {
  std::lock_guard lock(mutex_);
  auto it = holders_.find(instrument);
  if (it == holders_.end() || it->second != link) return false;
  holders_.erase(it);
  changed_.notify_all();
  return true;
}

void DeviceLocks::ReleaseAll(std::int32_t link) {
  std::lock_guard lock(mutex_);
  std::erase_if(holders_, [&](const auto &entry) { return entry.second == link; });
  changed_.notify_all();
}

void DeviceLocks::Shutdown() {
  std::lock_guard lock(mutex_);
  shutdown_ = true;
  changed_.notify_all();
}

}  // namespace visa
