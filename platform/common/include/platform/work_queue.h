// A thread that runs work items one at a time, each when it falls due: the
// USB bus uses one for its timers and for work that must not run in the
// caller's thread, the Plug and Play manager another for its requests.
// Due times are on the kernel's clock, so that a virtual clock moves them.
#pragma once

#include <km/standin.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace platform {

class WorkQueue final : private km::ClockClient {
 public:
  using Clock = std::chrono::steady_clock;

  WorkQueue();
  ~WorkQueue() override;
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

  // km::ClockClient
  bool Runnable() override { return !Idle(); }
  std::optional<std::int64_t> NextDue() override;
  void ClockMoved() override;

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  // By due time (nanoseconds on the kernel's clock), then by sequence.
  std::multimap<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> queue_;
  std::uint64_t sequence_ = 0;  // keeps items due at the same time in order
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace platform
