// The work queue runs each item when it falls due, earliest first and in
// order among items due together, and an item scheduled before all waiting
// ones wakes the worker for itself. On the virtual clock, a queue that keeps
// time moving neither ends a wait early nor keeps it from its time-out, and
// the clock stops at a set limit.
#include <platform/work_queue.h>

#include <ntddk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
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

// A 1 ms timer that schedules itself again, as a running stream does.
class Ticker {
 public:
  explicit Ticker(platform::WorkQueue &queue) : queue_(queue) { Next(); }
  ~Ticker() {
    stopped_ = true;
    queue_.Drain();
  }
  int ticks() const { return ticks_; }

 private:
  void Next() {
    queue_.Schedule(1ms, [this] {
      if (stopped_) return;
      ++ticks_;
      Next();
    });
  }
  platform::WorkQueue &queue_;
  std::atomic<bool> stopped_{false};
  std::atomic<int> ticks_{0};
};

TEST(WorkQueue, OnTheVirtualClockAWaitEndsAtItsTimeOutWhileATimerTicksAndTheClockStopsAtItsLimit) {
  km::UseVirtualClock(true);
  {
    platform::WorkQueue queue;
    Ticker ticker(queue);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100 * 10000;  // 100 ms
    std::int64_t start = km::ClockNanoseconds();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    std::int64_t waited = km::ClockNanoseconds() - start;
    EXPECT_GE(waited, 100'000'000);
    EXPECT_LT(waited, 102'000'000);
    EXPECT_GE(ticker.ticks(), 99) << "the timer ran all the while";

    // A wait without time-out while the timer ticks: the clock stops at the
    // limit, and the waiting thread reports the stall, here once.
    std::int64_t limit = km::ClockNanoseconds() + 20'000'000;
    int ticksBefore = ticker.ticks();
    std::vector<std::int64_t> stalls;
    km::SetVirtualClockStallHandler([&] {
      stalls.push_back(km::ClockNanoseconds());
      KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    km::SetVirtualClockLimit(limit);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    km::SetVirtualClockLimit(std::nullopt);
    km::SetVirtualClockStallHandler(nullptr);
    ASSERT_EQ(stalls.size(), 1u);
    EXPECT_LE(stalls[0], limit);
    EXPECT_GT(stalls[0], limit - 1'000'000) << "stopped only by the limit";
    EXPECT_NEAR(ticker.ticks() - ticksBefore, 20, 1);
  }
  km::UseVirtualClock(false);
}

}  // namespace
