// Control interface of the embedded kernel, for the host that boots it, the
// user-mode layer that opens devices through it, and tests. Drivers never
// include this header: they see only the Windows interface of <wdm.h>.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#define KM_API __attribute__((visibility("default")))

namespace km {

// ---- Drivers -------------------------------------------------------------

// Creates a driver object named `name` (for example u"\\Driver\\Tavrin"),
// gives every major function the platform default that refuses the request,
// and calls `entry`. On failure the driver object is gone and *status says
// why; on success the driver is loaded until UnloadDriver.
KM_API PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, NTSTATUS *status);

// Calls the driver's unload routine and frees its driver object once its
// last device object is gone. The verifier stops the process when the driver
// still owns pool or request packets at this point.
KM_API void UnloadDriver(PDRIVER_OBJECT driver);

// Calls the driver's add-device routine for a physical device object, in the
// driver's context, as the Plug and Play manager does.
KM_API NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Runs kernel work on behalf of `driver`: pool and request packets allocated
// inside the scope are charged to it. Dispatch, completion and cancel
// routines are entered in their driver's scope automatically.
class KM_API DriverScope {
 public:
  explicit DriverScope(PDRIVER_OBJECT driver);
  ~DriverScope();
  DriverScope(const DriverScope &) = delete;
  DriverScope &operator=(const DriverScope &) = delete;

 private:
  PDRIVER_OBJECT previous_;
};

// ---- Pool ----------------------------------------------------------------

struct PoolUsage {
  std::size_t allocations = 0;
  std::size_t bytes = 0;
};

// Pool still allocated, for one tag (0: every tag) or for one driver.
KM_API PoolUsage PoolInUse(ULONG tag = 0);
KM_API PoolUsage PoolInUseBy(PDRIVER_OBJECT driver);
// Bytes from `address` to the end of the live pool block that contains it
// (the size the block was allocated with, not its rounding), or 0 when the
// address lies in no live pool block. Code that reads memory whose length a
// device or a caller states uses it to read no further than the block.
KM_API std::size_t PoolBytesFrom(const void *address);
// Request packets still allocated by a driver through IoAllocateIrp.
KM_API std::size_t RequestsInUseBy(PDRIVER_OBJECT driver);

// Failure injection: the n-th pool allocation from now fails (1: the next
// one), or every allocation with `tag` fails until cleared.
KM_API void FailNthAllocation(std::uint64_t n);
KM_API void FailAllocationsWithTag(ULONG tag);
KM_API void ClearAllocationFailures();
// Request packets, MDLs, file objects and the I/O manager's buffers of
// buffered requests come from the same accounted allocator as pool, each
// under its own tag; tag failures and the two calls below reach them too.
inline constexpr ULONG kRequestPacketTag = 0x20707249;  // 'Irp '
inline constexpr ULONG kMdlTag = 0x206C644D;            // 'Mdl '
inline constexpr ULONG kFileObjectTag = 0x656C6946;     // 'File'
inline constexpr ULONG kSystemBufferTag = 0x42536F49;   // 'IoSB'
// The n-th allocation of any kind from now fails: pool, request packet, MDL,
// file object or system buffer.
KM_API void FailNthAnyAllocation(std::uint64_t n);
// Every allocation of any kind fails with `probability` (0 stops it), drawn
// from a generator seeded with `seed` so that a run can be repeated.
KM_API void FailAllocationsRandomly(double probability, std::uint64_t seed);
// Allocations that failure injection has failed since the process started.
KM_API std::uint64_t InjectedAllocationFailures();
// Memory descriptor lists and file objects still allocated.
KM_API std::size_t MdlsInUse();
KM_API std::size_t FileObjectsInUse();

// ---- Clock ---------------------------------------------------------------
// Time-outs, the USB bus's frames and timers all run on the kernel's clock.
// It is the steady clock unless a program (a fuzzer, a test) switches to the
// virtual clock before it boots the system: that clock stands still while
// anything can still run, and jumps to the earliest time-out or timer as soon
// as every thread waiting in the kernel is blocked and no work queue has work
// due, so that nothing ever sleeps. Drivers see no difference.

KM_API void UseVirtualClock(bool on);
KM_API bool VirtualClockInUse();
// Nanoseconds on the kernel's clock, from an arbitrary zero.
KM_API std::int64_t ClockNanoseconds();

// Something besides waiting threads that holds timed work (a work queue).
class ClockClient {
 public:
  virtual ~ClockClient() = default;
  // True while it runs something or has work due now.
  virtual bool Runnable() = 0;
  // When its earliest timed work falls due, if it has any.
  virtual std::optional<std::int64_t> NextDue() = 0;
  // The virtual clock moved: work may have fallen due.
  virtual void ClockMoved() = 0;
};
KM_API void AddClockClient(ClockClient *client);
// Names the client whose work the calling thread runs (a work queue's own
// thread): while that thread waits in the kernel the client can run nothing
// else, so it does not hold the virtual clock back.
KM_API void SetThreadClockClient(ClockClient *client);
KM_API void RemoveClockClient(ClockClient *client);
// A client ran out of work that is due: while a thread waits in the kernel,
// the virtual clock moves on if nothing else can run.
KM_API void ClockClientIdle();
// With the virtual clock: when no client can run, moves the clock to the
// earliest due time of the clients and the waiting threads' time-outs;
// true when it moved.
KM_API bool AdvanceClockIfIdle();
// Called when a thread waits on the virtual clock and nothing can ever move
// it: no work queue has work, due or timed, and no wait has a time-out, so
// that only a thread outside the kernel could end the wait. A fuzzer uses it
// to end reads that no data will ever complete. Runs on the waiting thread,
// outside any lock, once for each time the clock stalls at.
KM_API void SetVirtualClockStallHandler(std::function<void()> handler);
// A time the virtual clock does not move past (nullopt: none). Reaching it
// counts as a stall, and waiting threads call the stall handler: a fuzzer
// uses it to end a call that something else (a running stream) keeps busy
// without end.
KM_API void SetVirtualClockLimit(std::optional<std::int64_t> limit);

// ---- Names ---------------------------------------------------------------

// Resolves an object name (symbolic links followed, case ignored) to a
// device object, without taking a reference. Null when there is none.
KM_API PDEVICE_OBJECT LookupDevice(std::u16string_view name);
// True when `name` is taken by a device or a symbolic link.
KM_API bool NameExists(std::u16string_view name);

// ---- User-mode requests (the system-call layer below kernel32) -----------

// Opens the device that `ntPath` names (for example u"\\??\\TAVRIN-0") by
// sending IRP_MJ_CREATE to the top of its stack.
KM_API NTSTATUS OpenFile(std::u16string_view ntPath, PFILE_OBJECT *file);
// Sends one synchronous device-control request on an open file, with the
// buffers handled as the code's transfer method says; returns the final
// status and stores the request's Information.
KM_API NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void *input, ULONG inputLength, void *output,
                              ULONG outputLength, ULONG_PTR *information);
// Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE and releases the file object.
KM_API void CloseFile(PFILE_OBJECT file);
// Keeps an open file's object from ending while a caller that holds it
// without its handle (a request about to be sent) needs it: false when the
// handle is already closed. The object ends only after the last
// ReleaseFileReference, even when the handle closes meanwhile.
KM_API bool ReferenceFile(PFILE_OBJECT file);
KM_API void ReleaseFileReference(PFILE_OBJECT file);

// Files open on one device (its stack, as named), or on every device.
KM_API std::size_t OpenFileCount(PDEVICE_OBJECT device);
KM_API std::size_t OpenFileCount();

// Called, outside any lock, after the last file open on a device closed.
// The Plug and Play manager uses it to send a pending remove request.
KM_API void SetLastCloseObserver(std::function<void(PDEVICE_OBJECT)> observer);

// ---- Boot ----------------------------------------------------------------

// The routine that brings the embedded system up (loads drivers, attaches
// devices). EnsureBooted runs it once, on the first open; later calls wait
// for that first run to finish.
KM_API void SetBootRoutine(std::function<void()> boot);
KM_API void EnsureBooted();

// ---- Timers --------------------------------------------------------------

// Time-outs are exact by default. With a tick (15625 µs is Windows' default
// clock of 64 Hz) a timed wait ends at the first tick at or after its due
// time, as on Windows: a 1 ms wait then takes up to a whole tick. The
// environment variable TAVRIN_TIMER_RESOLUTION_US sets it at start.
KM_API void SetTimerResolution(std::chrono::microseconds tick);

// ---- Verifier ------------------------------------------------------------

// While set, a completion routine that signals an event is held for `pause`
// inside KeSetEvent before it may go on, so that driver code that
// runs after a signal letting its driver be unloaded is caught: deleting a
// driver's last device object, or unloading it, while one of its completion
// routines still runs stops the process (a routine set with
// IoSetCompletionRoutineEx holds the device object, and so the unload, until
// it returns, as on Windows). Zero turns it off.
KM_API void SetPauseAfterSignalInCompletion(std::chrono::milliseconds pause);

// Runs `hook` on the sending thread in IoCallDriver, just before the target
// device's dispatch routine is called (its stack location is the current
// one then), so that a test can make something happen at exactly that point
// of a request's way down. An empty function turns it off.
KM_API void SetCallDriverHook(std::function<void(PDEVICE_OBJECT, PIRP)> hook);

// Runs `hook` on the creating thread just after IoCreateSymbolicLink made a
// link (named as given), so that a test can look at what the new name leads
// to at the moment it appears. An empty function turns it off.
KM_API void SetSymbolicLinkHook(std::function<void(std::u16string_view)> hook);

// Stops the process with a bug-check message naming the rule that was broken.
[[noreturn]] KM_API void BugCheck(ULONG code, const char *name, const std::string &detail);

}  // namespace km
