// The dispatcher: per-thread IRQL, spin locks, events and waits with
// time-outs. An event's state is one atomic word: setting, clearing, reading
// and a wait that finds the event signalled touch only that word. One
// dispatcher lock guards every wait list, as the Windows dispatcher database
// lock does, and is taken only to queue a waiter or release queued ones, so
// that an event on a caller's stack can be signalled and left at once
// without a dangling lock.
#include "internal.h"

#include <km/timer_slack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include <optional>
#include <set>
#include <string>
#include <thread>

namespace km::internal {
namespace {

std::mutex g_dispatcherLock;
std::atomic<long long> g_pauseAfterSignalMs{0};

// One waiter, queued on an event's wait list while its thread sleeps.
struct WaitBlock {
  LIST_ENTRY link;
  ThreadState *thread;
};

// The calling thread's state, made on first use. The owner keeps it alive
// for the thread and hands it to requests that may finish after the thread
// ends; the plain pointer is what the hot paths read, with no
// initialisation check on each access.
thread_local ThreadState *t_state = nullptr;
struct ThreadStateOwner {
  std::shared_ptr<ThreadState> state;
  ~ThreadStateOwner() { t_state = nullptr; }
};
thread_local ThreadStateOwner t_owner;

ThreadState &MakeThreadState() {
  t_owner.state = std::make_shared<ThreadState>();
  t_state = t_owner.state.get();
  return *t_state;
}

void RunDeferredCompletions(ThreadState &thread) {
  while (thread.attention.load()) {
    std::vector<std::pair<PIRP, void (*)(PIRP)>> pending;
    {
      std::lock_guard guard(thread.lock);
      pending.swap(thread.deferredCompletions);
      thread.attention.store(false);  // no other thread runs one: it would hold the lock
    }
    for (auto [irp, finish] : pending) finish(irp);
  }
}

// The IRQL is stored first and the attention flag read after it, while a
// thread that completes for this one sets the flag first and reads the IRQL
// after it (all sequentially consistent): either that thread sees the new
// IRQL, or this one sees the flag and takes the lock, which waits for a
// completion running on its behalf and finds the ones it deferred.
void SetIrql(ThreadState &thread, KIRQL newIrql) {
  thread.irql.store(newIrql);
  if (newIrql < APC_LEVEL) {
    RunDeferredCompletions(thread);
  } else if (thread.attention.load()) {
    std::lock_guard guard(thread.lock);
  }
}

// The timer resolution: 0 for exact time-outs, else the clock tick at which
// Windows' timers expire (about 15.6 ms by default). TAVRIN_TIMER_RESOLUTION_US
// sets it at start; km::SetTimerResolution while running.
std::atomic<long long> g_timerResolutionNs{[] {
  const char *text = std::getenv("TAVRIN_TIMER_RESOLUTION_US");
  return text != nullptr ? std::atoll(text) * 1000 : 0LL;
}()};

// A sleeping thread wakes some tens of microseconds after its deadline on
// Linux, even with the tightest timer slack (about 55 us on a virtual
// machine). A timed wait therefore sleeps until kCheckingMargin before its
// deadline and spends the rest checking, so that a 1 ms wait ends close to
// 1 ms; that costs at most kCheckingMargin of processor time per wait. Only
// one thread fewer than there are processors checks at a time, so that
// checking never takes the processor the waited-for work needs; the others
// sleep to their deadline.
constexpr auto kCheckingMargin = std::chrono::microseconds(75);
std::atomic<unsigned> g_checkingThreads{0};

bool MayCheck() {
  static const unsigned limit = std::max(1u, std::thread::hardware_concurrency()) - 1;
  if (g_checkingThreads.fetch_add(1) < limit) return true;
  g_checkingThreads.fetch_sub(1);
  return false;
}

// Waits under `guard` until the thread's wait is satisfied or `deadline`
// passes; true when satisfied.
bool WaitUntil(ThreadState &thread, std::unique_lock<std::mutex> &guard,
               std::chrono::steady_clock::time_point deadline) {
  auto satisfied = [&] { return thread.waitSatisfied; };
  if (thread.wake.wait_until(guard, deadline - kCheckingMargin, satisfied)) return true;
  if (!MayCheck()) return thread.wake.wait_until(guard, deadline, satisfied);
  while (!thread.waitSatisfied && std::chrono::steady_clock::now() < deadline) {
    guard.unlock();
    std::this_thread::yield();
    guard.lock();
  }
  g_checkingThreads.fetch_sub(1);
  return thread.waitSatisfied;
}

std::chrono::steady_clock::time_point DeadlineFor(const LARGE_INTEGER &timeout) {
  auto now = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point deadline;
  if (timeout.QuadPart <= 0) {
    deadline = now + std::chrono::nanoseconds(-timeout.QuadPart * 100);
  } else {
    // An absolute system time: turn it into a distance from now.
    LARGE_INTEGER systemNow;
    KeQuerySystemTime(&systemNow);
    LONGLONG delta = timeout.QuadPart - systemNow.QuadPart;
    deadline = now + std::chrono::nanoseconds(delta > 0 ? delta * 100 : 0);
  }
  // A timer expires at the first clock tick at or after its due time.
  long long tick = g_timerResolutionNs.load();
  if (tick > 0) {
    long long at = deadline.time_since_epoch() / std::chrono::nanoseconds(1);
    deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds((at + tick - 1) / tick * tick));
  }
  return deadline;
}

// Threads waiting on the virtual clock, guarded by the dispatcher lock; the
// count is read without it.
std::set<ThreadState *> g_virtualWaiters;
std::atomic<std::size_t> g_virtualWaiterCount{0};
constexpr std::int64_t kNoDeadline = INT64_MAX;

// Tells a waiting thread to look at the virtual clock again (the dispatcher
// lock held).
void Poke(ThreadState &thread) {
  ++thread.virtualPokes;
  thread.wake.notify_one();
}

// The relative time-out in nanoseconds (an absolute one measured from now).
std::int64_t TimeoutNanoseconds(const LARGE_INTEGER &timeout) {
  if (timeout.QuadPart <= 0) return -timeout.QuadPart * 100;
  LARGE_INTEGER systemNow;
  KeQuerySystemTime(&systemNow);
  LONGLONG delta = timeout.QuadPart - systemNow.QuadPart;
  return delta > 0 ? delta * 100 : 0;
}

// An event's SignalState word: kSignalled is the state; kHasWaiters is set
// while its wait list is not empty, so that a set that finds it clear has
// nobody to release and needs no lock.
constexpr LONG kSignalled = 1;
constexpr LONG kHasWaiters = 0x40000000;

std::atomic_ref<LONG> StateWord(PRKEVENT event) { return std::atomic_ref<LONG>(event->Header.SignalState); }

// Takes the event's signal for one waiter when it is signalled: a
// synchronization event resets itself, a notification event stays set.
bool ConsumeSignal(PRKEVENT event) {
  std::atomic_ref<LONG> word = StateWord(event);
  LONG state = word.load();
  if (event->Header.Type != SynchronizationEvent) return (state & kSignalled) != 0;
  while ((state & kSignalled) != 0) {
    if (word.compare_exchange_weak(state, state & ~kSignalled)) return true;
  }
  return false;
}

// Takes the signal, or else marks the event as having a waiter, in one
// atomic step (the dispatcher lock held): a set after it sees the mark and
// takes the lock to release the waiter. False when the signal was taken.
bool ConsumeSignalOrMarkWaiter(PRKEVENT event) {
  std::atomic_ref<LONG> word = StateWord(event);
  LONG state = word.load();
  for (;;) {
    if ((state & kSignalled) != 0) {
      if (event->Header.Type != SynchronizationEvent) return false;
      if (word.compare_exchange_weak(state, state & ~kSignalled)) return false;
    } else if (word.compare_exchange_weak(state, state | kHasWaiters)) {
      return true;
    }
  }
}

// Takes a waiter that timed out off the event's wait list (the dispatcher
// lock held).
void Unqueue(PRKEVENT event, LIST_ENTRY *link) {
  RemoveEntryList(link);
  if (IsListEmpty(&event->Header.WaitListHead)) StateWord(event).fetch_and(~kHasWaiters);
}

// Signals an event that has queued waiters (the dispatcher lock held):
// releases all of them for a notification event, which stays signalled;
// hands the signal to the first one for a synchronization event, which stays
// clear then. The state word is written last: a waiter that took a time-out
// and looks again without the lock may leave with the event as soon as it
// sees the signal, so nothing touches the event after that. Returns the
// previous state.
LONG SignalWithWaiters(PRKEVENT event) {
  PLIST_ENTRY head = &event->Header.WaitListHead;
  bool synchronization = event->Header.Type == SynchronizationEvent;
  std::atomic_ref<LONG> word = StateWord(event);
  bool signal = true;
  while (!IsListEmpty(head)) {
    auto *block = CONTAINING_RECORD(RemoveHeadList(head), WaitBlock, link);
    block->thread->waitSatisfied = true;
    block->thread->wake.notify_one();
    if (synchronization) {
      signal = false;
      break;
    }
  }
  bool empty = IsListEmpty(head);
  LONG state = word.load();
  LONG next;
  do {
    next = state;
    if (empty) next &= ~kHasWaiters;
    if (signal) next |= kSignalled;
  } while (!word.compare_exchange_weak(state, next));
  return state & kSignalled;
}

// A wait on the virtual clock (the dispatcher lock held by `guard`, the wait
// block queued): the waiting thread itself moves the clock when nothing else
// can run, and times out once the clock has reached its deadline. It sleeps
// until its wait is satisfied or it is told to look again: when the clock
// reaches its deadline, or when nothing is left that could move the clock.
// A work queue that runs out of due work moves the clock itself, so waiters
// are not woken only to find that it moved.
NTSTATUS WaitOnVirtualClock(ThreadState &thread, PRKEVENT event, LIST_ENTRY *link,
                            std::unique_lock<std::mutex> &guard, PLARGE_INTEGER Timeout) {
  std::optional<std::int64_t> deadline;
  if (Timeout != nullptr) deadline = km::ClockNanoseconds() + TimeoutNanoseconds(*Timeout);
  if (deadline) AddWaitDeadline(*deadline);
  ThreadWaitBegins();
  thread.virtualDeadline = deadline.value_or(kNoDeadline);
  g_virtualWaiters.insert(&thread);
  g_virtualWaiterCount.fetch_add(1);
  NTSTATUS status = STATUS_SUCCESS;
  // A stall is reported once for each time the clock stands at: again only
  // when something moved it on and it stalled anew.
  std::optional<std::int64_t> stallReportedAt;
  for (;;) {
    if (thread.waitSatisfied) break;
    if (deadline && km::ClockNanoseconds() >= *deadline) {
      Unqueue(event, link);
      status = STATUS_TIMEOUT;
      break;
    }
    std::uint64_t pokes = thread.virtualPokes;
    guard.unlock();
    ClockAdvance advance = TryAdvanceClock();
    if (advance == ClockAdvance::Nothing && stallReportedAt != km::ClockNanoseconds()) {
      stallReportedAt = km::ClockNanoseconds();
      ReportClockStall();
    }
    guard.lock();
    if (advance == ClockAdvance::Moved) continue;
    // The real-time bound only covers threads outside the kernel that make
    // work due.
    thread.wake.wait_for(guard, std::chrono::milliseconds(1),
                         [&] { return thread.waitSatisfied || thread.virtualPokes != pokes; });
  }
  g_virtualWaiters.erase(&thread);
  g_virtualWaiterCount.fetch_sub(1);
  ThreadWaitEnds();
  if (deadline) RemoveWaitDeadline(*deadline);
  return status;
}

void CheckEvent(PRKEVENT event, const char *operation) {
  if (event == nullptr || event->Header.Type > SynchronizationEvent) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             std::string(operation) + " was given something that is not an initialised event");
  }
}

}  // namespace

void WakeVirtualWaiters() {
  std::lock_guard guard(g_dispatcherLock);
  for (ThreadState *thread : g_virtualWaiters) Poke(*thread);
}

void WakeVirtualWaitersDueBy(std::int64_t now) {
  std::lock_guard guard(g_dispatcherLock);
  for (ThreadState *thread : g_virtualWaiters) {
    if (thread->virtualDeadline <= now) Poke(*thread);
  }
}

bool AnyVirtualWaiter() { return g_virtualWaiterCount.load() != 0; }

ThreadState &CurrentThreadState() {
  ThreadState *state = t_state;
  return state != nullptr ? *state : MakeThreadState();
}

std::shared_ptr<ThreadState> CurrentThreadHandle() {
  CurrentThreadState();
  return t_owner.state;
}

void RunOnOriginator(const std::shared_ptr<ThreadState> &originator, PIRP irp, void (*finish)(PIRP)) {
  ThreadState &thread = *originator;
  if (&thread == t_state) {
    // On the originator itself: its IRQL cannot change meanwhile.
    if (thread.irql.load(std::memory_order_relaxed) < APC_LEVEL) {
      finish(irp);
      return;
    }
    std::lock_guard guard(thread.lock);
    thread.deferredCompletions.emplace_back(irp, finish);
    thread.attention.store(true);
    return;
  }
  // Holding the originator's lock, with its attention flag set before its
  // IRQL is read (see SetIrql), keeps it from raising its IRQL until the
  // completion has run, as an APC that interrupted it would.
  std::lock_guard guard(thread.lock);
  thread.attention.store(true);
  if (thread.irql.load() >= APC_LEVEL) {
    thread.deferredCompletions.emplace_back(irp, finish);
    return;
  }
  finish(irp);
  thread.attention.store(!thread.deferredCompletions.empty());
}

}  // namespace km::internal

using namespace km::internal;

// ---- IRQL ------------------------------------------------------------------

// Only the thread itself changes its IRQL: reading it needs no ordering.
KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentThreadState().irql.load(std::memory_order_relaxed); }

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  ThreadState &thread = CurrentThreadState();
  KIRQL current = thread.irql.load(std::memory_order_relaxed);
  if (NewIrql < current) {
    km::BugCheck(kIrqlNotGreaterOrEqual, "IRQL_NOT_GREATER_OR_EQUAL",
                 "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher " + std::to_string(current));
  }
  if (NewIrql != current) SetIrql(thread, NewIrql);
  return current;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  ThreadState &thread = CurrentThreadState();
  KIRQL current = thread.irql.load(std::memory_order_relaxed);
  if (NewIrql > current) {
    km::BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
                 "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower " + std::to_string(current));
  }
  if (NewIrql != current) SetIrql(thread, NewIrql);
}

// ---- Spin locks ------------------------------------------------------------
// The lock word holds 0 when free, else a value naming the owning thread.

namespace {
ULONG_PTR OwnerTag() { return reinterpret_cast<ULONG_PTR>(&CurrentThreadState()) | 1; }

void AcquireAtDpc(PKSPIN_LOCK SpinLock) {
  ULONG_PTR self = OwnerTag();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "a spin lock was acquired again by the thread that holds it");
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    std::this_thread::yield();
  }
}

void ReleaseFromDpc(PKSPIN_LOCK SpinLock) {
  ULONG_PTR self = OwnerTag();
  ULONG_PTR expected = self;
  if (!__atomic_compare_exchange_n(SpinLock, &expected, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED)) {
    km::BugCheck(kSpinLockNotOwned, "SPIN_LOCK_NOT_OWNED",
                 expected == 0 ? "a spin lock that is not held was released"
                               : "a spin lock held by another thread was released");
  }
}
}  // namespace

bool km::internal::SpinLockHeldByCurrentThread(PKSPIN_LOCK lock) {
  return __atomic_load_n(lock, __ATOMIC_RELAXED) == OwnerTag();
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  AcquireAtDpc(SpinLock);
  return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseFromDpc(SpinLock);
  KeLowerIrql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    km::BugCheck(kIrqlNotGreaterOrEqual, "IRQL_NOT_GREATER_OR_EQUAL",
                 "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  }
  AcquireAtDpc(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { ReleaseFromDpc(SpinLock); }

// ---- Events ----------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Reserved1 = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  CheckEvent(Event, "KeSetEvent");
  // Without waiters the event is not touched after this: its owner may
  // leave with it as soon as it sees the signal.
  std::atomic_ref<LONG> word = StateWord(Event);
  LONG state = word.load();
  LONG previous = 0;
  bool set = false;
  while ((state & kHasWaiters) == 0) {
    if (word.compare_exchange_weak(state, state | kSignalled)) {
      previous = state & kSignalled;
      set = true;
      break;
    }
  }
  if (!set) {
    // Waiters are queued and leave only under the dispatcher lock (also
    // one that times out), so the event stays until the signal is written.
    std::lock_guard guard(g_dispatcherLock);
    previous = SignalWithWaiters(Event);
  }
  long long pause = g_pauseAfterSignalMs.load();
  if (pause > 0 && InCompletionRoutine()) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  CheckEvent(Event, "KeClearEvent");
  StateWord(Event).fetch_and(~kSignalled);
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  CheckEvent(Event, "KeResetEvent");
  return StateWord(Event).fetch_and(~kSignalled) & kSignalled;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  CheckEvent(Event, "KeReadStateEvent");
  return StateWord(Event).load() & kSignalled;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  auto *event = static_cast<PRKEVENT>(Object);
  CheckEvent(event, "KeWaitForSingleObject");
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL && !zeroTimeout) {
    km::BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
                 "KeWaitForSingleObject with a non-zero time-out at DISPATCH_LEVEL or above");
  }
  if (ConsumeSignal(event)) return STATUS_SUCCESS;
  if (zeroTimeout) return STATUS_TIMEOUT;

  ThreadState &thread = CurrentThreadState();
  if (Timeout != nullptr) km::TightenTimerSlack();
  std::unique_lock guard(g_dispatcherLock);
  if (!ConsumeSignalOrMarkWaiter(event)) return STATUS_SUCCESS;
  WaitBlock block{{nullptr, nullptr}, &thread};
  thread.waitSatisfied = false;
  InsertTailList(&event->Header.WaitListHead, &block.link);
  if (km::VirtualClockInUse()) return WaitOnVirtualClock(thread, event, &block.link, guard, Timeout);
  if (Timeout == nullptr) {
    thread.wake.wait(guard, [&] { return thread.waitSatisfied; });
    return STATUS_SUCCESS;
  }
  auto deadline = DeadlineFor(*Timeout);
  if (WaitUntil(thread, guard, deadline)) return STATUS_SUCCESS;
  Unqueue(event, &block.link);
  return STATUS_TIMEOUT;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  if (KeGetCurrentIrql() > APC_LEVEL) {
    km::BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", "KeDelayExecutionThread above APC_LEVEL");
  }
  if (km::VirtualClockInUse()) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, WaitMode, Alertable, Interval);
    return STATUS_SUCCESS;
  }
  km::TightenTimerSlack();
  std::this_thread::sleep_until(DeadlineFor(*Interval));
  return STATUS_SUCCESS;
}

void km::SetTimerResolution(std::chrono::microseconds tick) {
  g_timerResolutionNs = std::chrono::duration_cast<std::chrono::nanoseconds>(tick).count();
}

void km::SetPauseAfterSignalInCompletion(std::chrono::milliseconds pause) { g_pauseAfterSignalMs = pause.count(); }

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  // 100 ns units since 1 January 1601, as Windows counts system time.
  if (km::VirtualClockInUse()) {
    CurrentTime->QuadPart = VirtualSystemTime();
    return;
  }
  constexpr LONGLONG kUnixEpochIn1601Units = 116444736000000000LL;
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  CurrentTime->QuadPart =
      kUnixEpochIn1601Units + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}
