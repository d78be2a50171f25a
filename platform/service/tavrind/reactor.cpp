#include "reactor.h"

#include "service_log.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace service {
namespace {

// A reading thread with nothing to do for this long ends.
constexpr std::chrono::seconds kReaderIdle{2};

void Arm(int epoll, int fd, std::uint32_t events, const void *key) {
  epoll_event event{};
  event.events = events | EPOLLONESHOT;
  event.data.ptr = const_cast<void *>(key);
  if (epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event) != 0) epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

Reactor::Reactor(std::size_t readers) : maxReaders_(readers) {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  epoll_ctl(epoll_, EPOLL_CTL_ADD, stop_, &event);
  watcher_ = std::thread([this] { Watch(); });
}

Reactor::~Reactor() {
  std::uint64_t one = 1;
  ssize_t ignored = write(stop_, &one, sizeof one);
  (void)ignored;
  watcher_.join();
  {
    std::unique_lock guard(lock_);
    stopping_ = true;
    work_.notify_all();
    readersGone_.wait(guard, [this] { return readers_ == 0; });
    parked_.clear();
  }
  close(epoll_);
  close(stop_);
}

void Reactor::Run(std::function<void()> task) {
  std::lock_guard guard(lock_);
  tasks_.push_back(std::move(task));
  if (idleReaders_ >= tasks_.size() || readers_ >= maxReaders_) {
    work_.notify_one();
    return;
  }
  try {
    std::thread([this] { ReaderLoop(); }).detach();
    ++readers_;
  } catch (const std::system_error &error) {
    // The task waits for a reading thread that is running already.
    if (readers_ == 0) LogLine(std::string("cannot start a reading thread: ") + error.what());
  }
}

void Reactor::Park(const void *key, std::shared_ptr<void> owner, int socket, int wake,
                   std::function<void()> resume) {
  {
    std::lock_guard guard(lock_);
    parked_[key] = Parked{std::move(owner), std::move(resume)};
  }
  Arm(epoll_, socket, EPOLLIN | EPOLLRDHUP, key);
  if (wake >= 0) Arm(epoll_, wake, EPOLLIN, key);
}

void Reactor::Forget(const void *key, int socket, int wake) {
  epoll_ctl(epoll_, EPOLL_CTL_DEL, socket, nullptr);
  if (wake >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, wake, nullptr);
  std::lock_guard guard(lock_);
  parked_.erase(key);
}

void Reactor::Watch() {
  epoll_event events[256];
  for (;;) {
    int ready = epoll_wait(epoll_, events, 256, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      LogLine(std::string("epoll_wait: ") + std::strerror(errno));
      return;
    }
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.ptr == nullptr) return;
      Parked woken;
      {
        std::lock_guard guard(lock_);
        auto it = parked_.find(events[i].data.ptr);
        // Both of a connection's descriptors may fire; it resumes once.
        if (it == parked_.end()) continue;
        woken = std::move(it->second);
        parked_.erase(it);
      }
      Run([woken = std::move(woken)] { woken.resume(); });
    }
  }
}

void Reactor::ReaderLoop() {
  std::unique_lock guard(lock_);
  for (;;) {
    if (tasks_.empty()) {
      ++idleReaders_;
      bool woken = work_.wait_for(guard, kReaderIdle, [this] { return !tasks_.empty() || stopping_; });
      --idleReaders_;
      if (!woken || (stopping_ && tasks_.empty())) break;
      continue;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    guard.unlock();
    task();
    task = nullptr;  // what it held goes before the lock is taken again
    guard.lock();
  }
  --readers_;
  readersGone_.notify_all();
}

}  // namespace service
