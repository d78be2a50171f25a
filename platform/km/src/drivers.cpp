// Driver objects: loading a driver and calling its entry, the platform's
// default dispatch routine, add-device and unload, and the attribution of
// kernel work to the driver it is done for. A driver's record lives in the
// same allocation as its object, so that counting its running completion
// routines, which every completed request does, needs no lookup and no lock.
#include "internal.h"

#include <new>
#include <unordered_set>

namespace km::internal {
namespace {

struct DriverRecord {
  std::u16string name;
  std::size_t devices = 0;  // device objects not yet freed; guarded by g_driversLock
  bool unloaded = false;    // guarded by g_driversLock
  // Completion routines running on any thread now, apart by whether they
  // were set with IoSetCompletionRoutineEx (which holds the driver).
  std::atomic<std::size_t> routinesUnheld{0};
  std::atomic<std::size_t> routinesHeld{0};
};

struct DriverAllocation {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  DriverRecord record;
};

std::mutex g_driversLock;
std::condition_variable g_routineLeft;
thread_local int t_completionDepth = 0;
// The drivers whose objects exist (loaded, or unloaded with devices left).
std::unordered_set<PDRIVER_OBJECT> g_drivers;  // guarded by g_driversLock
thread_local PDRIVER_OBJECT t_currentDriver = nullptr;

DriverRecord &RecordOf(PDRIVER_OBJECT driver) { return reinterpret_cast<DriverAllocation *>(driver)->record; }

// The record of a driver whose object exists, or null (the lock held).
DriverRecord *FindLocked(PDRIVER_OBJECT driver) { return g_drivers.count(driver) != 0 ? &RecordOf(driver) : nullptr; }

NTSTATUS NTAPI RefuseRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void FreeDriverObject(PDRIVER_OBJECT driver) {
  delete reinterpret_cast<DriverAllocation *>(driver);
}

}  // namespace

PDRIVER_OBJECT CurrentDriver() { return t_currentDriver; }

// `driver` is null, or the driver of a device or request that still exists,
// so its object (and record) does too.
void CompletionRoutineEntered(PDRIVER_OBJECT driver, bool heldByReference) {
  ++t_completionDepth;
  if (driver == nullptr) return;
  DriverRecord &record = RecordOf(driver);
  (heldByReference ? record.routinesHeld : record.routinesUnheld).fetch_add(1);
}

void CompletionRoutineLeft(PDRIVER_OBJECT driver, bool heldByReference) {
  --t_completionDepth;
  if (driver == nullptr) return;
  DriverRecord &record = RecordOf(driver);
  if (!heldByReference) {
    record.routinesUnheld.fetch_sub(1);
    return;
  }
  {
    // Under the lock, so that an unload that has just found one still
    // running is already waiting when it is told.
    std::lock_guard guard(g_driversLock);
    record.routinesHeld.fetch_sub(1);
  }
  g_routineLeft.notify_all();
}

bool InCompletionRoutine() { return t_completionDepth > 0; }

void CheckNoUnheldCompletionRoutine(PDRIVER_OBJECT driver, const char *when) {
  std::unique_lock guard(g_driversLock);
  DriverRecord *record = FindLocked(driver);
  if (record == nullptr || record->routinesUnheld.load() == 0) return;
  std::size_t unheld = record->routinesUnheld.load();
  guard.unlock();
  BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
           std::string(when) + " while " + std::to_string(unheld) +
               " of its completion routines were still running (set them with "
                               "IoSetCompletionRoutineEx to hold the driver until they return)");
}

bool IsLoadedDriver(PDRIVER_OBJECT driver) {
  std::lock_guard guard(g_driversLock);
  DriverRecord *record = FindLocked(driver);
  return record != nullptr && !record->unloaded;
}

void DriverDeviceCreated(PDRIVER_OBJECT driver) {
  std::lock_guard guard(g_driversLock);
  ++RecordOf(driver).devices;
}

void DriverDeviceFreed(PDRIVER_OBJECT driver) {
  std::unique_lock guard(g_driversLock);
  DriverRecord *record = FindLocked(driver);
  if (record == nullptr) return;
  if (--record->devices == 0 && record->unloaded) {
    g_drivers.erase(driver);
    guard.unlock();
    FreeDriverObject(driver);
  }
}

}  // namespace km::internal

namespace km {

using namespace internal;

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(t_currentDriver) { t_currentDriver = driver; }
DriverScope::~DriverScope() { t_currentDriver = previous_; }

PDRIVER_OBJECT LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, NTSTATUS *status) {
  auto *allocation = new DriverAllocation{};
  PDRIVER_OBJECT driver = &allocation->object;
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &allocation->extension;
  driver->DriverExtension->DriverObject = driver;
  driver->DriverInit = entry;
  for (auto &routine : driver->MajorFunction) routine = RefuseRequest;
  {
    std::lock_guard guard(g_driversLock);
    g_drivers.insert(driver);
    DriverRecord &record = allocation->record;
    record.name = name;
    driver->DriverName.Buffer = record.name.data();
    driver->DriverName.Length = static_cast<USHORT>(record.name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
  }

  std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
  registryPath += name.substr(name.rfind(u'\\') + 1);
  UNICODE_STRING registry{static_cast<USHORT>(registryPath.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(registryPath.size() * sizeof(WCHAR)), registryPath.data()};
  NTSTATUS result;
  {
    DriverScope scope(driver);
    result = entry(driver, &registry);
  }
  if (status != nullptr) *status = result;
  if (NT_SUCCESS(result)) return driver;
  {
    std::lock_guard guard(g_driversLock);
    g_drivers.erase(driver);
  }
  FreeDriverObject(driver);
  return nullptr;
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  if (driver->DriverExtension->AddDevice == nullptr) return STATUS_NOT_SUPPORTED;
  DriverScope scope(driver);
  return driver->DriverExtension->AddDevice(driver, physicalDevice);
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (!IsLoadedDriver(driver)) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "UnloadDriver of a driver that is not loaded");
  }
  {
    // Routines set with IoSetCompletionRoutineEx hold a reference on their
    // device: the unload waits for them. Any other routine still running
    // would go on in code that is about to be unmapped.
    std::unique_lock guard(g_driversLock);
    DriverRecord &record = RecordOf(driver);
    g_routineLeft.wait(guard, [&] { return record.routinesHeld.load() == 0; });
  }
  CheckNoUnheldCompletionRoutine(driver, "driver unloaded");
  if (driver->DriverUnload != nullptr) {
    DriverScope scope(driver);
    driver->DriverUnload(driver);
  }
  PoolUsage pool = PoolInUseBy(driver);
  std::size_t requests = RequestsInUseBy(driver);
  if (pool.allocations != 0 || requests != 0) {
    BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             "driver unloaded with " + std::to_string(pool.allocations) + " pool allocations (" +
                 std::to_string(pool.bytes) + " bytes) and " + std::to_string(requests) +
                 " request packets still allocated");
  }
  std::unique_lock guard(g_driversLock);
  DriverRecord &record = RecordOf(driver);
  record.unloaded = true;
  if (record.devices == 0) {
    g_drivers.erase(driver);
    guard.unlock();
    FreeDriverObject(driver);
  }
}

}  // namespace km
