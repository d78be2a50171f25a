#include <platform/work_queue.h>

#include <km/timer_slack.h>

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
  bool wake;
  {
    std::lock_guard guard(lock_);
    std::int64_t now = km::ClockNanoseconds();
    std::int64_t due = now + std::chrono::duration_cast<std::chrono::nanoseconds>(delay).count();
    const auto added = queue_.emplace(std::make_pair(due, sequence_++), std::move(work));
    // The worker sleeps until the earliest item falls due, and looks at the
    // queue again after each item it runs; only an item that comes before
    // all others changes when it must wake. A timer restarted on every
    // transfer then costs no wake-up. On a virtual clock the worker is told
    // when the clock moves, so an item not yet due needs no wake-up either.
    wake = added == queue_.begin() && (due <= now || !km::VirtualClockInUse());
  }
  if (wake) wake_.notify_one();
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
  // Only an item that has fallen due needs the worker: on a virtual clock
  // the worker sleeps until told, and waking it for nothing costs a thread
  // switch each time the clock moves.
  std::lock_guard guard(lock_);
  if (!queue_.empty() && queue_.begin()->first.first <= km::ClockNanoseconds()) wake_.notify_one();
}

void WorkQueue::Run() {
  km::SetThreadClockClient(this);
  // Items are waited for with a time-out: each should run close to its due
  // time, not up to the default slack later.
  km::TightenTimerSlack();
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
