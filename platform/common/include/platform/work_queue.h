// A thread that runs work items one at a time, each when it falls due: the
// USB bus uses one for its timers and for work that must not run in the
// caller's thread, the Plug and Play manager another for its requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace platform {

class WorkQueue {
 public:
  using Clock = std::chrono::steady_clock;

  WorkQueue();
  ~WorkQueue();
  WorkQueue(const WorkQueue &) = delete;
  WorkQueue &operator=(const WorkQueue &) = delete;

  void Post(std::function<void()> work) { Schedule(Clock::duration::zero(), std::move(work)); }
  void Schedule(Clock::duration delay, std::function<void()> work);
  // Waits until nothing is due now (timers in the future may remain).
  void Drain();
  // True when nothing is running or due now.
  bool Idle();

 private:
  void Run();
  bool IdleLocked() const;

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::multimap<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> queue_;
  std::uint64_t sequence_ = 0;  // keeps items due at the same time in order
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace platform
