#include <platform/work_queue.h>

namespace platform {

WorkQueue::WorkQueue() : thread_([this] { Run(); }) { km::AddClockClient(this); }

WorkQueue::~WorkQueue() {
  km::RemoveClockClient(this);
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void WorkQueue::Schedule(Clock::duration delay, std::function<void()> work) {
  {
    std::lock_guard guard(lock_);
    std::int64_t due = km::ClockNanoseconds() + std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
    queue_.emplace(std::make_pair(due, sequence_++), std::move(work));
  }
  wake_.notify_all();
}

bool WorkQueue::IdleLocked() const {
  return !running_ && (queue_.empty() || queue_.begin()->first.first > km::ClockNanoseconds());
}

void WorkQueue::Drain() {
  std::unique_lock guard(lock_);
  idle_.wait(guard, [this] { return IdleLocked(); });
}

bool WorkQueue::Idle() {
  std::lock_guard guard(lock_);
  return IdleLocked();
}

std::optional<std::int64_t> WorkQueue::NextDue() {
  std::lock_guard guard(lock_);
  if (queue_.empty()) return std::nullopt;
  return queue_.begin()->first.first;
}

void WorkQueue::ClockMoved() {
  std::lock_guard guard(lock_);
  wake_.notify_all();
}

void WorkQueue::Run() {
  km::SetThreadClockClient(this);
  std::unique_lock guard(lock_);
  bool toldIdle = false;  // the clock knows this queue has nothing due
  while (!stopping_) {
    if (queue_.empty() || queue_.begin()->first.first > km::ClockNanoseconds()) {
      idle_.notify_all();
      if (!toldIdle) {
        // Threads waiting on a virtual clock may move it now; told outside
        // the lock, which the clock takes when it asks this queue.
        toldIdle = true;
        guard.unlock();
        km::ClockClientIdle();
        guard.lock();
        continue;
      }
      if (queue_.empty() || km::VirtualClockInUse()) {
        wake_.wait(guard);
      } else {
        wake_.wait_until(guard, Clock::time_point(std::chrono::nanoseconds(queue_.begin()->first.first)));
      }
      continue;
    }
    toldIdle = false;
    auto work = std::move(queue_.begin()->second);
    queue_.erase(queue_.begin());
    running_ = true;
    guard.unlock();
    work();
    guard.lock();
    running_ = false;
  }
}

}  // namespace platform
