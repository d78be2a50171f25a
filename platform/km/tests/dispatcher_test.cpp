// Events, waits with time-outs, IRQL and spin locks, and the deferral of a
// request's last stage while its issuer runs at APC_LEVEL.
#include "test_driver.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

LARGE_INTEGER Relative(LONGLONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -milliseconds * 10000;
  return timeout;
}

TEST(Wait, RelativeTimeOutExpiresWithStatusTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(5);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST(Wait, SignalFromAnotherThreadEndsTheWait) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread signaller([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  signaller.join();
  LARGE_INTEGER timeout = Relative(1000);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS)
      << "a notification event stays signalled";
}

// A record recovered from the address of one of its members (the wait lists
// do this on every wake) is formed without a member access through a null
// pointer, which UndefinedBehaviorSanitizer stops.
TEST(Wait, ContainingRecordRecoversTheRecordFromItsMember) {
  struct Record {
    std::uint64_t before[3];
    LIST_ENTRY link;
  } record{};
  EXPECT_EQ(CONTAINING_RECORD(&record.link, Record, link), &record);
}

// On the virtual clock a time-out that nothing else can end expires at once,
// and the clock moves by the whole time-out; a signal still ends a wait.
TEST(Wait, VirtualClockEndsTimeOutsAtOnceAndMovesByThem) {
  km::UseVirtualClock(true);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER hour = Relative(3600 * 1000);
  std::int64_t start = km::ClockNanoseconds();
  auto realStart = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &hour), STATUS_TIMEOUT);
  EXPECT_GE(km::ClockNanoseconds() - start, 3600LL * 1000 * 1000 * 1000);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::minutes(1)) << "no hour of real time";
  LARGE_INTEGER systemBefore, systemAfter;
  KeQuerySystemTime(&systemBefore);
  LARGE_INTEGER second = Relative(1000);
  KeDelayExecutionThread(KernelMode, FALSE, &second);
  KeQuerySystemTime(&systemAfter);
  EXPECT_EQ(systemAfter.QuadPart - systemBefore.QuadPart, 10000000) << "system time runs on the same clock";
  std::thread signaller([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  signaller.join();
  km::UseVirtualClock(false);
}

TEST(Wait, SynchronizationEventReleasesOneWaiterAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

  std::atomic<int> released{0};
  std::thread first([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), released++; });
  std::thread second([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), released++; });
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  while (released.load() == 0) std::this_thread::yield();
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  first.join();
  second.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Wait, EventStateCanBeReadClearedAndReset) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

// Setting and waiting race on the event's state word alone; a signal given
// while the other thread is just queuing itself must still wake it.
TEST(Wait, SignalsPassedBackAndForthAreNeverLost) {
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, NotificationEvent, FALSE);
  constexpr int kRounds = 5000;
  std::atomic<int> lost{0};
  std::thread answerer([&] {
    LARGE_INTEGER patience = Relative(5000);
    for (int i = 0; i < kRounds; ++i) {
      if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &patience) != STATUS_SUCCESS) ++lost;
      KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
    }
  });
  LARGE_INTEGER patience = Relative(5000);
  for (int i = 0; i < kRounds && lost.load() == 0; ++i) {
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    if (KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &patience) != STATUS_SUCCESS) ++lost;
    KeClearEvent(&pong);
  }
  answerer.join();
  EXPECT_EQ(lost.load(), 0);
  EXPECT_EQ(KeReadStateEvent(&ping), 0) << "each signal released exactly one wait";
}

// A timed wait ends close to its due time: the waiting thread's timer slack
// is made as small as it goes, and no other thread's is changed.
TEST(Wait, TimedWaitTightensOnlyTheWaitingThreadsTimerSlack) {
  constexpr unsigned long kDefaultSlack = 50000;  // Linux's, in nanoseconds
  long waiterSlack = 0;
  long creatorSlack = 0;
  // The waiter inherits its creator's slack; the creator's stays as it was.
  std::thread creator([&] {
    prctl(PR_SET_TIMERSLACK, kDefaultSlack, 0UL, 0UL, 0UL);
    std::thread waiter([&] {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      LARGE_INTEGER timeout = Relative(1);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      waiterSlack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    });
    waiter.join();
    creatorSlack = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
  });
  creator.join();
  EXPECT_EQ(waiterSlack, 1);
  EXPECT_EQ(creatorSlack, static_cast<long>(kDefaultSlack));
}

TEST(Irql, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(Irql, SpinLockExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      long seen = counter;
      counter = seen + 1;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(Irql, InterlockedOperationsReturnTheWindowsValues) {
  LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9);  // no match: unchanged
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 4), 1);
  EXPECT_EQ(value, 5);
}

// A threaded request finished on another thread while its issuer is at
// APC_LEVEL is not signalled (nor freed) until the issuer lowers its IRQL,
// so that the issuer can check its event and cancel without a race.
TEST(Irql, RequestFinishWaitsUntilIssuerLeavesApcLevel) {
  kmtest::TestDriver bus{u"\\Driver\\ApcBus"};
  PDEVICE_OBJECT device = bus.AddDevice();
  std::atomic<PIRP> held{nullptr};
  bus.Handle(IRP_MJ_INTERNAL_DEVICE_CONTROL, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  });
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);

  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  std::thread completer([&] { kmtest::Complete(held.load(), STATUS_SUCCESS, 3); });
  completer.join();
  EXPECT_EQ(KeReadStateEvent(&done), 0);
  EXPECT_FALSE(IoCancelIrp(irp)) << "the request is still valid to cancel";
  KeLowerIrql(old);
  EXPECT_EQ(KeReadStateEvent(&done), 1);
  EXPECT_EQ(iosb.Information, 3u);
}

}  // namespace
