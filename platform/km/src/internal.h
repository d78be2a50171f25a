// Private interfaces between the parts of the embedded kernel.
#pragma once

#include <km/standin.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace km::internal {

// A test hook that may be replaced while other threads call it: replaced
// functions are kept, since a call on another thread may still be in one.
template <typename... Args>
class Hook {
 public:
  void Set(std::function<void(Args...)> function) {
    std::lock_guard guard(lock_);
    if (!function) {
      current_.store(nullptr, std::memory_order_release);
      return;
    }
    kept_.push_back(std::make_unique<std::function<void(Args...)>>(std::move(function)));
    current_.store(kept_.back().get(), std::memory_order_release);
  }
  void operator()(Args... args) const {
    if (auto *function = current_.load(std::memory_order_acquire)) (*function)(args...);
  }

 private:
  std::atomic<std::function<void(Args...)> *> current_{nullptr};
  std::mutex lock_;
  std::vector<std::unique_ptr<std::function<void(Args...)>>> kept_;
};

// Bug-check codes, as Windows numbers them.
constexpr ULONG kIrqlNotLessOrEqual = 0x0A;
constexpr ULONG kSpinLockNotOwned = 0x10;
constexpr ULONG kNoMoreIrpStackLocations = 0x35;
constexpr ULONG kMultipleIrpCompleteRequests = 0x44;
constexpr ULONG kCancelStateInCompletedIrp = 0x48;
constexpr ULONG kIrqlNotGreaterOrEqual = 0x09;
constexpr ULONG kBadPoolCaller = 0xC2;
constexpr ULONG kDriverVerifierDetectedViolation = 0xC4;
constexpr ULONG kDriverVerifierIoManagerViolation = 0xC9;

// ---- Threads ---------------------------------------------------------------

// What the kernel keeps per thread: its IRQL, and the completions of its own
// requests that had to wait because the thread was at APC_LEVEL or above
// (Windows runs them as kernel APCs when the thread lowers its IRQL).
struct ThreadState {
  std::mutex lock;  // held while another thread runs a completion on this one's behalf
  std::atomic<KIRQL> irql{PASSIVE_LEVEL};
  // Written under `lock`: another thread runs a completion for this one now,
  // or has deferred one. Only then does changing the IRQL take `lock`.
  std::atomic<bool> attention{false};
  std::vector<std::pair<PIRP, void (*)(PIRP)>> deferredCompletions;  // guarded by `lock`
  std::condition_variable wake;           // used with the dispatcher lock
  bool waitSatisfied = false;             // guarded by the dispatcher lock
  // While the thread waits on the virtual clock (guarded by the dispatcher
  // lock): its time-out on that clock, and a count raised each time it is
  // told to look at the clock again.
  std::int64_t virtualDeadline = 0;
  std::uint64_t virtualPokes = 0;
};

ThreadState &CurrentThreadState();
std::shared_ptr<ThreadState> CurrentThreadHandle();

// Runs `finish` for a request on behalf of the thread that issued it: at once
// when that thread is below APC_LEVEL, else when it lowers its IRQL.
void RunOnOriginator(const std::shared_ptr<ThreadState> &originator, PIRP irp, void (*finish)(PIRP));

bool SpinLockHeldByCurrentThread(PKSPIN_LOCK lock);

// ---- Driver attribution ----------------------------------------------------

PDRIVER_OBJECT CurrentDriver();
// A completion routine of `driver` starts and ends; `heldByReference` for one
// set with IoSetCompletionRoutineEx, which keeps the driver from unloading.
void CompletionRoutineEntered(PDRIVER_OBJECT driver, bool heldByReference);
void CompletionRoutineLeft(PDRIVER_OBJECT driver, bool heldByReference);
// Stops the process when a completion routine of `driver` that no device
// reference holds is running: the driver may be unloaded under it now.
void CheckNoUnheldCompletionRoutine(PDRIVER_OBJECT driver, const char *when);
// Whether the calling thread runs a completion routine now.
bool InCompletionRoutine();
bool IsLoadedDriver(PDRIVER_OBJECT driver);
void DriverDeviceCreated(PDRIVER_OBJECT driver);
void DriverDeviceFreed(PDRIVER_OBJECT driver);

// ---- Requests --------------------------------------------------------------

enum class RequestOrigin : std::uint8_t {
  Driver,    // IoAllocateIrp: the driver frees it
  Threaded,  // IoBuildDeviceIoControlRequest: freed by the I/O manager
  User,      // a user-mode request: freed by the I/O manager
};

// Allocates a request packet with `stackSize` locations for `origin`.
PIRP AllocateRequest(CCHAR stackSize, RequestOrigin origin);
// Stops the process unless `irp` is a live request packet.
void CheckLiveRequest(PIRP irp, const char *operation);
// Makes a request the I/O manager built one that it finishes for the calling
// user-mode thread.
void AdoptRequest(PIRP irp);
// Frees a request packet without the checks of IoFreeIrp (the I/O manager's own).
void FreeRequest(PIRP irp);

// ---- Clock -----------------------------------------------------------------

// Time-outs of threads waiting on the virtual clock, so that it can jump to
// the earliest one.
std::int64_t AddWaitDeadline(std::int64_t deadline);
void RemoveWaitDeadline(std::int64_t deadline);
// Wakes every thread waiting on the virtual clock to look at it again.
void WakeVirtualWaiters();
// Wakes the threads waiting on the virtual clock whose time-out it has reached.
void WakeVirtualWaitersDueBy(std::int64_t now);
// Whether any thread waits on the virtual clock.
bool AnyVirtualWaiter();
// System time (100 ns units) on the virtual clock.
LONGLONG VirtualSystemTime();
// What an attempt to move the virtual clock found: it moved; something can
// still run; or nothing is timed anywhere, so only a thread outside the
// kernel can end the waits.
enum class ClockAdvance { Moved, Busy, Nothing };
ClockAdvance TryAdvanceClock();
// The calling thread starts or ends a wait on the virtual clock.
void ThreadWaitBegins();
void ThreadWaitEnds();
// Calls the stall handler, if one is set.
void ReportClockStall();

// ---- Allocation ------------------------------------------------------------

// Counts one allocation and says whether failure injection makes it fail.
// Pool allocations pass `fromPool`; request packets, MDLs, file objects and
// system buffers are counted among allocations of any kind only.
bool AllocationFails(ULONG tag, bool fromPool);

// ---- Devices ---------------------------------------------------------------

// The kernel's private part of a device object.
struct DeviceState {
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one sits on
  std::u16string name;                  // empty for an unnamed device
  std::atomic<bool> deletePending{false};
  // The references, plus one that IoDeleteDevice gives up: the device is
  // freed when this reaches zero.
  std::atomic<LONG> holds{1};
  std::atomic<std::size_t> openFiles{0};
};

DeviceState &StateOf(PDEVICE_OBJECT device);

void ReferenceDevice(PDEVICE_OBJECT device);
LONG DereferenceDevice(PDEVICE_OBJECT device);  // returns the new reference count
bool DeviceGone(PDEVICE_OBJECT device);  // deleted, or still initializing
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// Device names in the namespace; InsertDeviceName returns the name it read.
NTSTATUS InsertDeviceName(PCUNICODE_STRING text, PDEVICE_OBJECT device, std::u16string *name);
void RemoveDeviceName(const std::u16string &name);
// Resolves a name to a device and references it, both under the names lock,
// so that the device cannot be freed in between. Null when there is none.
PDEVICE_OBJECT LookupAndReferenceDevice(std::u16string_view name);

// Upper-cases a name the way the object manager compares names.
std::u16string FoldName(std::u16string_view name);

}  // namespace km::internal
