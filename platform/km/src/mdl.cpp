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

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

using namespace km::internal;

namespace {

struct ReadOnlyMapping {
  void *mapped;    // what the MDL's system address points to
  void *original;  // the bytes as they were when mapped
};

std::mutex g_readOnlyLock;
std::unordered_map<PMDL, ReadOnlyMapping> g_readOnly;

// Drops the read-only mapping of `mdl`, if it has one, after checking that
// nobody wrote through it.
void ReleaseReadOnlyMapping(PMDL mdl) {
  ReadOnlyMapping mapping;
  {
    std::lock_guard guard(g_readOnlyLock);
    auto it = g_readOnly.find(mdl);
    if (it == g_readOnly.end()) return;
    mapping = it->second;
    g_readOnly.erase(it);
  }
  bool written = std::memcmp(mapping.mapped, mapping.original, mdl->ByteCount) != 0;
  std::free(mapping.mapped);
  std::free(mapping.original);
  if (written) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "data was written into a buffer locked for read access only (a METHOD_IN_DIRECT buffer)");
  }
}

std::atomic<std::size_t> g_mdlsInUse{0};

}  // namespace

std::size_t km::MdlsInUse() { return g_mdlsInUse.load(); }

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  if (Length == 0 || AllocationFails(km::kMdlTag, false)) return nullptr;
  auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  ULONG_PTR pages = ((address & (PAGE_SIZE - 1)) + Length + PAGE_SIZE - 1) >> PAGE_SHIFT;
  std::size_t bytes = sizeof(MDL) + pages * sizeof(ULONG_PTR);
  auto mdl = static_cast<PMDL>(std::calloc(1, bytes));
  if (mdl == nullptr) return nullptr;
  ++g_mdlsInUse;
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
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "IoFreeMdl of a memory descriptor list whose pages are still locked");
  }
  --g_mdlsInUse;
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
    ReadOnlyMapping mapping{std::malloc(bytes), std::malloc(bytes)};
    if (mapping.mapped == nullptr || mapping.original == nullptr) {
      std::free(mapping.mapped);
      std::free(mapping.original);
      return nullptr;
    }
    std::memcpy(mapping.mapped, address, bytes);
    std::memcpy(mapping.original, address, bytes);
    {
      std::lock_guard guard(g_readOnlyLock);
      g_readOnly[MemoryDescriptorList] = mapping;
    }
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
