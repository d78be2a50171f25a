// The kernel's clock. By default it is the steady clock. For fuzzing and
// tests it can be a virtual clock instead: time stands still while anything
// can still run, and when every thread that waits in the kernel is blocked
// and no work queue has work due, the clock jumps at once to the earliest
// time-out or timer. A run then never sleeps, and what it does is what the
// same run would do on a machine fast enough to be idle at every wait.
#include "internal.h"

#include <algorithm>
#include <chrono>
#include <set>

namespace km::internal {
namespace {

std::atomic<bool> g_virtual{false};
std::atomic<std::int64_t> g_virtualNow{0};
// System time (100 ns units) at the virtual clock's zero.
std::atomic<LONGLONG> g_virtualSystemBase{0};

std::mutex g_clockLock;
std::vector<ClockClient *> g_clients;       // guarded by g_clockLock
std::multiset<std::int64_t> g_deadlines;    // time-outs of waiting threads, guarded by g_clockLock
std::function<void()> g_stallHandler;       // guarded by g_clockLock
// The virtual clock does not move past this (see SetVirtualClockLimit).
std::atomic<std::int64_t> g_limit{INT64_MAX};
// Clients whose own thread waits in the kernel, guarded by g_clockLock.
std::multiset<ClockClient *> g_blockedClients;
thread_local ClockClient *t_client = nullptr;

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::int64_t AddWaitDeadline(std::int64_t deadline) {
  std::lock_guard guard(g_clockLock);
  g_deadlines.insert(deadline);
  return deadline;
}

void RemoveWaitDeadline(std::int64_t deadline) {
  std::lock_guard guard(g_clockLock);
  auto it = g_deadlines.find(deadline);
  if (it != g_deadlines.end()) g_deadlines.erase(it);
}

void ThreadWaitBegins() {
  if (t_client == nullptr) return;
  std::lock_guard guard(g_clockLock);
  g_blockedClients.insert(t_client);
}

void ThreadWaitEnds() {
  if (t_client == nullptr) return;
  std::lock_guard guard(g_clockLock);
  auto it = g_blockedClients.find(t_client);
  if (it != g_blockedClients.end()) g_blockedClients.erase(it);
}

LONGLONG VirtualSystemTime() { return g_virtualSystemBase.load() + g_virtualNow.load() / 100; }

}  // namespace km::internal

namespace km {

using namespace internal;

void UseVirtualClock(bool on) {
  if (on && !g_virtual.load()) {
    // The virtual clock goes on from the steady clock's present, so that
    // work already scheduled keeps its due time.
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    std::int64_t steady = SteadyNanoseconds();
    g_virtualNow = steady;
    g_virtualSystemBase = now.QuadPart - steady / 100;
  }
  g_virtual = on;
}

bool VirtualClockInUse() { return g_virtual.load(); }

std::int64_t ClockNanoseconds() { return g_virtual.load() ? g_virtualNow.load() : SteadyNanoseconds(); }

void AddClockClient(ClockClient *client) {
  std::lock_guard guard(g_clockLock);
  g_clients.push_back(client);
}

void SetThreadClockClient(ClockClient *client) { t_client = client; }

void RemoveClockClient(ClockClient *client) {
  std::lock_guard guard(g_clockLock);
  g_clients.erase(std::remove(g_clients.begin(), g_clients.end(), client), g_clients.end());
}

void ClockClientIdle() {
  // The client that leaves the system idle moves the clock itself, rather
  // than waking every waiting thread to look. Only while a thread waits in
  // the kernel: otherwise a thread outside it may still make work due now.
  if (!g_virtual.load() || !AnyVirtualWaiter()) return;
  // With nothing to move to, the waiting threads are told, so that they
  // report the stall.
  if (TryAdvanceClock() == ClockAdvance::Nothing) WakeVirtualWaiters();
}

bool AdvanceClockIfIdle() { return TryAdvanceClock() == ClockAdvance::Moved; }

void SetVirtualClockLimit(std::optional<std::int64_t> limit) { g_limit = limit.value_or(INT64_MAX); }

void SetVirtualClockStallHandler(std::function<void()> handler) {
  std::lock_guard guard(g_clockLock);
  g_stallHandler = std::move(handler);
}

}  // namespace km

namespace km::internal {

void ReportClockStall() {
  std::function<void()> handler;
  {
    std::lock_guard guard(g_clockLock);
    handler = g_stallHandler;
  }
  if (handler) handler();
}

ClockAdvance TryAdvanceClock() {
  if (!g_virtual.load()) return ClockAdvance::Busy;
  std::int64_t movedTo;
  {
    std::lock_guard guard(g_clockLock);
    std::int64_t now = g_virtualNow.load();
    std::optional<std::int64_t> next;
    for (ClockClient *client : g_clients) {
      // A client whose thread waits here runs nothing meanwhile.
      if (g_blockedClients.count(client) == 0 && client->Runnable()) return ClockAdvance::Busy;
      std::optional<std::int64_t> due = client->NextDue();
      if (due && (!next || *due < *next)) next = due;
    }
    if (!g_deadlines.empty() && (!next || *g_deadlines.begin() < *next)) next = *g_deadlines.begin();
    if (!next || *next > g_limit.load()) return ClockAdvance::Nothing;
    if (*next <= now) return ClockAdvance::Busy;
    movedTo = *next;
    g_virtualNow = movedTo;
    // Under the clock lock, so that a client that removes itself is never
    // called afterwards. Only clients with work now due wake up.
    for (ClockClient *client : g_clients) client->ClockMoved();
  }
  WakeVirtualWaitersDueBy(movedTo);
  return ClockAdvance::Moved;
}

}  // namespace km::internal
