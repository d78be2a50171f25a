// Memory descriptor lists. The embedded kernel shares one address space with
// its callers, so a caller's buffer is "locked" by recording it and "mapped"
// at its own address; the descriptor keeps the Windows page arithmetic so
// that drivers compute addresses and counts as they would on Windows.
//
// Pages locked for read access only (the buffer of a METHOD_IN_DIRECT
// request, which Windows probes for reading) are mapped at a private copy
// instead, and a copy of that copy is kept: when the pages are unlocked or
// unmapped, a mapping that no longer matches its copy means a driver or the
// bus wrote into pages the caller may only read, and the verifier stops.
#include "internal.h"
#include "slots.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

using namespace km::internal;

namespace {

struct ReadOnlyMapping {
  void *mapped = nullptr;    // what the MDL's system address points to
  void *original = nullptr;  // the bytes as they were when mapped
};

// What the kernel keeps in front of a list it allocated: its read-only
// mapping, if it has one.
struct MdlRecord {
  ReadOnlyMapping readOnly;
};

// Lists describing up to 1, 2, 4, ... 64 pages; longer ones come from the heap.
SlotArena &Mdls() {
  static SlotArena *arena = [] {
    std::vector<std::size_t> classes;
    for (std::size_t pages = 1; pages <= 64; pages *= 2) classes.push_back(sizeof(MDL) + pages * sizeof(ULONG_PTR));
    return new SlotArena(
        sizeof(MdlRecord), [](void *record) { new (record) MdlRecord{}; }, std::move(classes), std::size_t{64} << 20);
  }();
  return *arena;
}

std::atomic<std::size_t> g_heapMdls{0};

// Read-only mappings of lists the kernel did not allocate (a driver's own,
// built with MmInitializeMdl); the count lets the common case skip the lock.
std::mutex g_readOnlyLock;
std::unordered_map<PMDL, ReadOnlyMapping> g_readOnly;
std::atomic<std::size_t> g_readOnlyCount{0};

// One spare buffer per thread for the two copies of a read-only mapping, so
// that a mapping made and dropped on the same thread costs no allocation.
struct SpareBuffer {
  void *bytes = nullptr;
  std::size_t capacity = 0;
  ~SpareBuffer() { std::free(bytes); }
};
thread_local SpareBuffer t_spare;

void *TakeBuffer(std::size_t bytes) {
  if (t_spare.bytes != nullptr && t_spare.capacity >= bytes) {
    void *buffer = t_spare.bytes;
    t_spare.bytes = nullptr;
    t_spare.capacity = 0;
    return buffer;
  }
  return std::malloc(bytes);
}

void GiveBackBuffer(void *buffer, std::size_t bytes) {
  if (t_spare.capacity >= bytes) {
    std::free(buffer);
    return;
  }
  std::free(t_spare.bytes);
  t_spare.bytes = buffer;
  t_spare.capacity = bytes;
}

// Takes the read-only mapping of `mdl` away from it (empty if it has none).
ReadOnlyMapping TakeReadOnlyMapping(PMDL mdl) {
  ReadOnlyMapping mapping;
  if (Mdls().Contains(mdl)) {
    std::swap(mapping, static_cast<MdlRecord *>(Mdls().RecordOf(mdl))->readOnly);
    return mapping;
  }
  if (g_readOnlyCount.load(std::memory_order_acquire) == 0) return mapping;
  std::lock_guard guard(g_readOnlyLock);
  auto it = g_readOnly.find(mdl);
  if (it == g_readOnly.end()) return mapping;
  mapping = it->second;
  g_readOnly.erase(it);
  g_readOnlyCount.fetch_sub(1, std::memory_order_release);
  return mapping;
}

void KeepReadOnlyMapping(PMDL mdl, ReadOnlyMapping mapping) {
  if (Mdls().Contains(mdl)) {
    static_cast<MdlRecord *>(Mdls().RecordOf(mdl))->readOnly = mapping;
    return;
  }
  std::lock_guard guard(g_readOnlyLock);
  g_readOnly[mdl] = mapping;
  g_readOnlyCount.fetch_add(1, std::memory_order_release);
}

// Drops the read-only mapping of `mdl`, if it has one, after checking that
// nobody wrote through it.
void ReleaseReadOnlyMapping(PMDL mdl) {
  ReadOnlyMapping mapping = TakeReadOnlyMapping(mdl);
  if (mapping.mapped == nullptr) return;
  bool written = std::memcmp(mapping.mapped, mapping.original, mdl->ByteCount) != 0;
  GiveBackBuffer(mapping.mapped, 2 * std::size_t{mdl->ByteCount});
  if (written) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "data was written into a buffer locked for read access only (a METHOD_IN_DIRECT buffer)");
  }
}

}  // namespace

std::size_t km::MdlsInUse() {
  std::size_t count = g_heapMdls.load();
  Mdls().ForEachLive([&](void *, void *) { ++count; });
  return count;
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  if (Length == 0 || AllocationFails(km::kMdlTag, false)) return nullptr;
  auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  ULONG_PTR pages = ((address & (PAGE_SIZE - 1)) + Length + PAGE_SIZE - 1) >> PAGE_SHIFT;
  std::size_t bytes = sizeof(MDL) + pages * sizeof(ULONG_PTR);
  int sizeClass = Mdls().ClassFor(bytes);
  PMDL mdl = sizeClass >= 0 ? static_cast<PMDL>(Mdls().Allocate(sizeClass)) : nullptr;
  if (mdl != nullptr) {
    std::memset(mdl, 0, bytes);
  } else {
    mdl = static_cast<PMDL>(std::calloc(1, bytes));
    if (mdl == nullptr) return nullptr;
    ++g_heapMdls;
  }
  mdl->Size = static_cast<CSHORT>(bytes > 0x7FFF ? 0x7FFF : bytes);
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
  mdl->ByteOffset = static_cast<ULONG>(address & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Mdls().Contains(Mdl) && Mdls().StateOf(Mdl) != SlotState::Live) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "IoFreeMdl of a memory descriptor list that is not allocated");
  }
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "IoFreeMdl of a memory descriptor list whose pages are still locked");
  }
  if (Mdls().Contains(Mdl)) {
    ReleaseReadOnlyMapping(Mdl);  // none is left by now; the slot carries none into its next use
    Mdls().Free(Mdl);
    return;
  }
  --g_heapMdls;
  std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  UNREFERENCED_PARAMETER(AccessMode);
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "MmUnlockPages of a memory descriptor list that is not locked");
  }
  ReleaseReadOnlyMapping(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  UNREFERENCED_PARAMETER(AccessMode);
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(RequestedAddress);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  UNREFERENCED_PARAMETER(Priority);
  if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "mapping a memory descriptor list whose pages are not locked");
  }
  PVOID address = MmGetMdlVirtualAddress(MemoryDescriptorList);
  if ((MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION)) == MDL_PAGES_LOCKED &&
      (MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0) {
    ULONG bytes = MemoryDescriptorList->ByteCount;
    auto *copies = static_cast<unsigned char *>(TakeBuffer(2 * std::size_t{bytes}));
    if (copies == nullptr) return nullptr;
    ReadOnlyMapping mapping{copies, copies + bytes};
    std::memcpy(mapping.mapped, address, bytes);
    std::memcpy(mapping.original, address, bytes);
    KeepReadOnlyMapping(MemoryDescriptorList, mapping);
    address = mapping.mapped;
  }
  if (MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return MemoryDescriptorList->MappedSystemVa;
  MemoryDescriptorList->MappedSystemVa = address;
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return MemoryDescriptorList->MappedSystemVa;
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                      NormalPagePriority);
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  UNREFERENCED_PARAMETER(BaseAddress);
  ReleaseReadOnlyMapping(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  MemoryDescriptorList->MappedSystemVa = nullptr;
}
