// Exclusive instrument locks held by VXI-11 links: while one link holds an
// instrument's lock, every other link and raw socket waits for it (as long as
// it asked to wait) or is refused. Waiting takers get the lock in the order
// they asked, each handed it as the one before lets go, so that none of many
// clients that lock around every query waits much longer than the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace visa {

class DeviceLocks {
 public:
  // Holder ids: VXI-11 links are positive; a raw socket takes the lock
  // around each of its commands under a negative id of its own (a "turn",
  // which even takers that asked not to wait wait out).
  static constexpr std::int32_t kNoLink = 0;

  // Takes the instrument's lock for `holder`, waiting in turn up to `wait`
  // while another holds it. Holding it already counts as success.
  bool Acquire(int instrument, std::int32_t holder, std::chrono::milliseconds wait);
  // False when `holder` does not hold the lock.
  bool Release(int instrument, std::int32_t holder);
  void ReleaseAll(std::int32_t holder);
  // Waits up to `wait` until no one other than `holder` holds the lock.
  bool WaitAccessible(int instrument, std::int32_t holder, std::chrono::milliseconds wait);
  // Ends every wait with a refusal; used when the gateway stops.
  void Shutdown();

 private:
  // One taker waiting in turn; woken alone when the lock is handed to it.
  struct Waiter {
    std::int32_t holder;
    std::condition_variable handed;
  };
  struct InstrumentLock {
    std::int32_t holder = kNoLink;
    std::deque<Waiter *> waiting;  // in the order they asked
  };
  // The lock goes to the first taker waiting, or to no one.
  static void HandOver(InstrumentLock &lock);

  std::mutex mutex_;
  std::condition_variable changed_;  // a lock became free, or the gateway stops
  std::map<int, InstrumentLock> locks_;
  bool shutdown_ = false;
};

}  // namespace visa
