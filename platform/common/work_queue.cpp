#include <platform/work_queue.h>

namespace platform {

WorkQueue::WorkQueue() : thread_([this] { Run(); }) {}

WorkQueue::~WorkQueue() {
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
    queue_.emplace(std::make_pair(Clock::now() + delay, sequence_++), std::move(work));
  }
  wake_.notify_all();
}

bool WorkQueue::IdleLocked() const {
  return !running_ && (queue_.empty() || queue_.begin()->first.first > Clock::now());
}

void WorkQueue::Drain() {
  std::unique_lock guard(lock_);
  idle_.wait(guard, [this] { return IdleLocked(); });
}

bool WorkQueue::Idle() {
  std::lock_guard guard(lock_);
  return IdleLocked();
}

void WorkQueue::Run() {
  std::unique_lock guard(lock_);
  while (!stopping_) {
    if (queue_.empty()) {
      idle_.notify_all();
      wake_.wait(guard);
      continue;
    }
    auto due = queue_.begin()->first.first;
    if (due > Clock::now()) {
      idle_.notify_all();
      wake_.wait_until(guard, due);
      continue;
    }
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
