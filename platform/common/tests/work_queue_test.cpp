// The work queue runs each item when it falls due, earliest first and in
// order among items due together, and an item scheduled before all waiting
// ones wakes the worker for itself.
#include <platform/work_queue.h>

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(WorkQueue, RunsItemsByDueTimeAndAnEarliestNewItemWithoutWaitingForTheOthers) {
  platform::WorkQueue queue;
  std::mutex lock;
  std::vector<int> order;
  auto note = [&](int n) {
    std::lock_guard guard(lock);
    order.push_back(n);
  };
  // The worker goes to sleep until the hour-long item is due...
  queue.Schedule(1h, [] {});
  std::promise<void> settled;
  queue.Post([&] { settled.set_value(); });
  settled.get_future().wait();
  // ...and items due long before it run at their own times, in order.
  std::promise<void> done;
  queue.Schedule(60ms, [&] {
    note(3);
    done.set_value();
  });
  queue.Schedule(30ms, [&] { note(2); });
  queue.Post([&] { note(0); });
  queue.Post([&] { note(1); });
  EXPECT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  queue.Drain();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_TRUE(queue.Idle());
}

}  // namespace
