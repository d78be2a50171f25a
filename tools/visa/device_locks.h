// Exclusive instrument locks held by VXI-11 links: while one link holds an
// instrument's lock, every other link and raw socket waits for it (as long as
// it asked to wait) or is refused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace visa {

class DeviceLocks {
 public:
  // The holder id of a client that never holds a lock (a raw socket).
  static constexpr std::int32_t kNoLink = 0;

  // Takes the instrument's lock for `link`, waiting up to `wait` while
  // another link holds it. Holding it already counts as success.
  bool Acquire(int instrument, std::int32_t link, std::chrono::milliseconds wait);
  // False when `link` does not hold the lock.
  bool Release(int instrument, std::int32_t link);
  void ReleaseAll(std::int32_t link);
  // Waits up to `wait` until no link other than `link` holds the lock.
  bool WaitAccessible(int instrument, std::int32_t link, std::chrono::milliseconds wait);
  // Ends every wait with a refusal; used when the gateway stops.
  void Shutdown();

 private:
  bool FreeFor(int instrument, std::int32_t link) const;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, std::int32_t> holders_;
  bool shutdown_ = false;
};

}  // namespace visa
