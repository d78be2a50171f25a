#include "device_locks.h"

#include <algorithm>

namespace visa {
namespace {

// A raw socket holds the lock only for one command and its answer: a client
// that asked not to wait for a lock still waits this long for such a turn.
constexpr std::chrono::milliseconds kTurnWait{1000};

bool IsTurn(std::int32_t holder) { return holder < 0; }

}  // namespace

void DeviceLocks::HandOver(InstrumentLock &lock) {
  if (lock.waiting.empty()) {
    lock.holder = kNoLink;
    return;
  }
  Waiter *next = lock.waiting.front();
  lock.waiting.pop_front();
  lock.holder = next->holder;
  next->handed.notify_one();
}

bool DeviceLocks::WaitAccessible(int instrument, std::int32_t holder, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (IsTurn(locks_[instrument].holder)) wait = std::max(wait, kTurnWait);
  return changed_.wait_for(lock, wait,
                           [&] {
                             const std::int32_t current = locks_[instrument].holder;
                             return shutdown_ || current == kNoLink || current == holder;
                           }) &&
         !shutdown_;
}

bool DeviceLocks::Acquire(int instrument, std::int32_t holder, std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (shutdown_) return false;
  InstrumentLock &entry = locks_[instrument];
  if (entry.holder == holder) return true;
  if (entry.holder == kNoLink) {
    entry.holder = holder;
    return true;
  }
  if (IsTurn(entry.holder) && entry.waiting.empty()) wait = std::max(wait, kTurnWait);
  if (wait.count() <= 0) return false;
  Waiter self{holder, {}};
  entry.waiting.push_back(&self);
  // std::map keeps `entry` where it is while others are added.
  self.handed.wait_for(lock, wait, [&] { return shutdown_ || entry.holder == holder; });
  if (entry.holder == holder && !shutdown_) return true;
  std::erase(entry.waiting, &self);
  if (entry.holder == holder) HandOver(entry);  // handed over as the gateway stops
  if (entry.holder == kNoLink) changed_.notify_all();
  return false;
}

bool DeviceLocks::Release(int instrument, std::int32_t holder) {
  std::lock_guard lock(mutex_);
  InstrumentLock &entry = locks_[instrument];
  if (entry.holder != holder || holder == kNoLink) return false;
  HandOver(entry);
  if (entry.holder == kNoLink) changed_.notify_all();
  return true;
}

void DeviceLocks::ReleaseAll(std::int32_t holder) {
  std::lock_guard lock(mutex_);
  for (auto &[instrument, entry] : locks_) {
    // A holder waits in one queue at a time, on its own thread: only
    // a holder that is not waiting is released here.
    if (entry.holder == holder) HandOver(entry);
  }
  changed_.notify_all();
}

void DeviceLocks::Shutdown() {
  std::lock_guard lock(mutex_);
  shutdown_ = true;
  changed_.notify_all();
  for (auto &[instrument, entry] : locks_)
    for (Waiter *waiter : entry.waiting) waiter->handed.notify_one();
}

}  // namespace visa
