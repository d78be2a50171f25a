// Waits on every idle connection at once (epoll) and hands a connection that
// has something to read to a bounded pool of reading threads. A connection
// costs a thread only while its client is talking: once nothing came for a
// moment its reader parks it here and returns to the pool.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace service {

class Reactor {
 public:
  // `readers`: the most threads that read connections at once.
  explicit Reactor(std::size_t readers);
  ~Reactor();
  Reactor(const Reactor &) = delete;
  Reactor &operator=(const Reactor &) = delete;

  // Runs `task` on a reading thread.
  void Run(std::function<void()> task);
  // Runs `resume` on a reading thread once `socket` has bytes or its end,
  // or `wake` (an eventfd, or -1) is signalled; once only. `key` names the
  // connection; the reactor holds `owner` alive while it waits.
  void Park(const void *key, std::shared_ptr<void> owner, int socket, int wake, std::function<void()> resume);
  // Stops watching a connection's descriptors (before they are closed).
  void Forget(const void *key, int socket, int wake);

 private:
  struct Parked {
    std::shared_ptr<void> owner;
    std::function<void()> resume;
  };
  void Watch();
  void ReaderLoop();

  const std::size_t maxReaders_;
  int epoll_ = -1;
  int stop_ = -1;  // eventfd that ends Watch
  std::thread watcher_;

  std::mutex lock_;  // guards everything below
  std::map<const void *, Parked> parked_;
  std::deque<std::function<void()>> tasks_;
  std::condition_variable work_;
  std::size_t readers_ = 0;
  std::size_t idleReaders_ = 0;
  bool stopping_ = false;
  std::condition_variable readersGone_;
};

}  // namespace service
