// Non-paged pool: every allocation is recorded with its tag, size and the
// driver it is charged to, so that leaks can be counted per tag and per
// driver, foreign and double frees stop the process, and tests can make
// chosen allocations fail. Under AddressSanitizer the bytes between the
// size asked for and the end of the block are poisoned, so that a read or
// write one byte past a block stops the test that made it.
//
// Blocks of up to 4 KiB are slots with their record in front (per-thread
// caches, no lock); larger ones come from the heap and are recorded in an
// address-ordered table under a lock.
#include "internal.h"
#include "slots.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <map>
#include <random>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KM_POISON(address, size) __asan_poison_memory_region((address), (size))
#define KM_UNPOISON(address, size) __asan_unpoison_memory_region((address), (size))
#else
#define KM_POISON(address, size) ((void)(address), (void)(size))
#define KM_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace km::internal {
namespace {

struct Allocation {
  ULONG tag;
  SIZE_T size;
  PDRIVER_OBJECT owner;
};

struct Pool {
  std::mutex lock;
  // Ordered by address, so that the block containing an address is found
  // by searching for the last block that starts at or before it.
  std::map<void *, Allocation> live;
  // Recently freed blocks, so that a second free is told apart from a
  // pointer that never came from the pool.
  std::unordered_set<void *> recentlyFreed;
  std::deque<void *> freedOrder;
};

Pool &ThePool() {
  static Pool *pool = new Pool;  // lives until exit, past static destructors
  return *pool;
}

// Failure injection. Allocations pass one relaxed load while nothing is
// armed; the counts run only while something is.
struct Injection {
  std::mutex lock;  // the settings below that are not atomic
  std::atomic<bool> armed{false};
  // The allocation that brings a count to zero fails: pool allocations, and
  // allocations of every kind (pool, request packets, MDLs, file objects).
  std::atomic<std::int64_t> poolCountdown{0};
  std::atomic<std::int64_t> anyCountdown{0};
  std::unordered_set<ULONG> failingTags;
  // Random mode: each allocation of any kind fails with this probability,
  // drawn from a generator seeded by the caller, so that a run repeats.
  double failProbability = 0;
  std::mt19937_64 random;
  std::atomic<std::uint64_t> injectedFailures{0};

  // With `lock` held, after a setting changed.
  void Rearm() {
    armed.store(poolCountdown.load() > 0 || anyCountdown.load() > 0 || !failingTags.empty() || failProbability > 0,
                std::memory_order_release);
  }
};

Injection &TheInjection() {
  static Injection *injection = new Injection;
  return *injection;
}

// Counts one allocation down; true for the one that reaches zero.
bool CountsDownToZero(std::atomic<std::int64_t> &countdown) {
  return countdown.load(std::memory_order_relaxed) > 0 && countdown.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

constexpr std::size_t kFreedMemory = 4096;

std::string TagText(ULONG tag) {
  char text[5];
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  text[4] = 0;
  return text;
}

// What the kernel keeps in front of a pool slot. Counting reads it while
// other threads allocate, hence the atomics.
struct SlotAllocation {
  std::atomic<ULONG> tag;
  std::atomic<SIZE_T> size;
  std::atomic<PDRIVER_OBJECT> owner;
};

// Blocks of 16, 32, 64, ... 4096 bytes.
SlotArena &PoolSlots() {
  static SlotArena *arena = [] {
    std::vector<std::size_t> classes;
    for (std::size_t bytes = 16; bytes <= 4096; bytes *= 2) classes.push_back(bytes);
    return new SlotArena(
        sizeof(SlotAllocation), [](void *record) { new (record) SlotAllocation{}; }, std::move(classes),
        std::size_t{1} << 30);
  }();
  return *arena;
}

SlotAllocation &SlotRecordOf(const void *block) {
  return *static_cast<SlotAllocation *>(PoolSlots().RecordOf(block));
}

void *AllocateSlot(SIZE_T bytes, ULONG tag) {
  SlotArena &slots = PoolSlots();
  int sizeClass = slots.ClassFor(bytes == 0 ? 1 : bytes);
  if (sizeClass < 0) return nullptr;
  void *block = slots.Allocate(sizeClass);
  if (block == nullptr) return nullptr;
  SlotAllocation &record = SlotRecordOf(block);
  record.tag.store(tag, std::memory_order_relaxed);
  record.size.store(bytes, std::memory_order_relaxed);
  record.owner.store(CurrentDriver(), std::memory_order_relaxed);
  KM_POISON(static_cast<char *>(block) + bytes, slots.BodyBytes(sizeClass) - bytes);
  return block;
}

[[noreturn]] void StopForBadFree(PVOID P, bool twice) {
  char address[32];
  std::snprintf(address, sizeof address, "%p", P);
  km::BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
               twice ? std::string("pool block ") + address + " freed twice"
                     : std::string("ExFreePool of ") + address + ", which is not an allocated pool block");
}

[[noreturn]] void StopForWrongTag(ULONG tag, ULONG freedWith) {
  km::BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
               "pool block tagged '" + TagText(tag) + "' freed with tag '" + TagText(freedWith) + "'");
}

void FreeSlot(PVOID P, ULONG Tag) {
  SlotArena &slots = PoolSlots();
  SlotState state = slots.StateOf(P);
  if (state != SlotState::Live) StopForBadFree(P, state == SlotState::Freed);
  SlotAllocation &record = SlotRecordOf(P);
  ULONG tag = record.tag.load(std::memory_order_relaxed);
  if (Tag != 0 && tag != Tag) StopForWrongTag(tag, Tag);
  record.owner.store(nullptr, std::memory_order_relaxed);
  record.size.store(0, std::memory_order_relaxed);
  record.tag.store(0, std::memory_order_relaxed);
  if (!slots.Free(P)) StopForBadFree(P, true);  // another thread freed it meanwhile
}

// Bytes the allocator hands out for a request that does not overflow:
// rounded up to 16, and 16 for an empty request.
SIZE_T BlockBytes(SIZE_T requested) {
  SIZE_T rounded = (requested + 15) & ~SIZE_T{15};
  return rounded == 0 ? 16 : rounded;
}


}  // namespace

bool AllocationFails(ULONG tag, bool fromPool) {
  Injection &injection = TheInjection();
  if (!injection.armed.load(std::memory_order_acquire)) return false;
  bool fails = CountsDownToZero(injection.anyCountdown);
  if (fromPool) fails = CountsDownToZero(injection.poolCountdown) || fails;
  {
    std::lock_guard guard(injection.lock);
    fails = fails || injection.failingTags.count(tag) != 0;
    if (!fails && injection.failProbability > 0) {
      fails = std::uniform_real_distribution<double>(0, 1)(injection.random) < injection.failProbability;
    }
  }
  if (fails) injection.injectedFailures.fetch_add(1, std::memory_order_relaxed);
  return fails;
}

}  // namespace km::internal

using namespace km::internal;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  UNREFERENCED_PARAMETER(PoolType);
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    km::BugCheck(kBadPoolCaller, "BAD_POOL_CALLER", "pool allocated above DISPATCH_LEVEL");
  }
  if (AllocationFails(Tag, true)) return nullptr;
  // Pool blocks are 16-byte aligned, as on 64-bit Windows.
  if (void *slot = AllocateSlot(NumberOfBytes, Tag)) return slot;
  Pool &pool = ThePool();
  if (NumberOfBytes > SIZE_T{0} - 16) return nullptr;  // the rounding would overflow
  SIZE_T blockBytes = BlockBytes(NumberOfBytes);
  void *block = std::aligned_alloc(16, blockBytes);
  if (block == nullptr) return nullptr;
  KM_POISON(static_cast<char *>(block) + NumberOfBytes, blockBytes - NumberOfBytes);
  std::lock_guard guard(pool.lock);
  pool.live[block] = Allocation{Tag, NumberOfBytes, CurrentDriver()};
  if (pool.recentlyFreed.erase(block) != 0) {
    // The address is in use again; it is no longer a freed block.
    for (auto it = pool.freedOrder.begin(); it != pool.freedOrder.end(); ++it) {
      if (*it == block) {
        pool.freedOrder.erase(it);
        break;
      }
    }
  }
  return block;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  if (PoolSlots().Contains(P)) {
    FreeSlot(P, Tag);
    return;
  }
  Pool &pool = ThePool();
  std::unique_lock guard(pool.lock);
  auto it = pool.live.find(P);
  if (it == pool.live.end()) {
    bool twice = pool.recentlyFreed.count(P) != 0;
    guard.unlock();
    StopForBadFree(P, twice);
  }
  if (Tag != 0 && it->second.tag != Tag) {
    ULONG tag = it->second.tag;
    guard.unlock();
    StopForWrongTag(tag, Tag);
  }
  SIZE_T size = it->second.size;
  pool.live.erase(it);
  pool.recentlyFreed.insert(P);
  pool.freedOrder.push_back(P);
  if (pool.freedOrder.size() > kFreedMemory) {
    pool.recentlyFreed.erase(pool.freedOrder.front());
    pool.freedOrder.pop_front();
  }
  guard.unlock();
  KM_UNPOISON(static_cast<char *>(P) + size, BlockBytes(size) - size);
  std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

namespace km {

namespace {
PoolUsage Usage(const std::function<bool(const internal::Allocation &)> &match) {
  PoolUsage usage;
  auto count = [&](const internal::Allocation &allocation) {
    if (!match(allocation)) return;
    ++usage.allocations;
    usage.bytes += allocation.size;
  };
  internal::PoolSlots().ForEachLive([&](void *, void *record) {
    auto *slot = static_cast<internal::SlotAllocation *>(record);
    count(internal::Allocation{slot->tag.load(std::memory_order_relaxed), slot->size.load(std::memory_order_relaxed),
                               slot->owner.load(std::memory_order_relaxed)});
  });
  internal::Pool &pool = internal::ThePool();
  std::lock_guard guard(pool.lock);
  for (const auto &[block, allocation] : pool.live) count(allocation);
  return usage;
}
}  // namespace

PoolUsage PoolInUse(ULONG tag) {
  return Usage([tag](const internal::Allocation &a) { return tag == 0 || a.tag == tag; });
}

PoolUsage PoolInUseBy(PDRIVER_OBJECT driver) {
  return Usage([driver](const internal::Allocation &a) { return a.owner == driver; });
}

std::size_t PoolBytesFrom(const void *address) {
  internal::SlotArena &slots = internal::PoolSlots();
  if (slots.Contains(address)) {
    void *block = slots.BodyContaining(address);
    if (block == nullptr || slots.StateOf(block) != internal::SlotState::Live) return 0;
    std::size_t size = internal::SlotRecordOf(block).size.load(std::memory_order_relaxed);
    std::size_t at = static_cast<std::size_t>(static_cast<const char *>(address) - static_cast<const char *>(block));
    return at < size ? size - at : 0;
  }
  internal::Pool &pool = internal::ThePool();
  std::lock_guard guard(pool.lock);
  // The candidate is the last block starting at or before the address.
  auto next = pool.live.upper_bound(const_cast<void *>(address));
  if (next == pool.live.begin()) return 0;
  auto candidate = std::prev(next);
  auto start = reinterpret_cast<std::uintptr_t>(candidate->first);
  auto at = reinterpret_cast<std::uintptr_t>(address);
  std::size_t size = candidate->second.size;
  return at - start < size ? size - (at - start) : 0;
}

void FailNthAllocation(std::uint64_t n) {
  internal::Injection &injection = internal::TheInjection();
  std::lock_guard guard(injection.lock);
  injection.poolCountdown.store(static_cast<std::int64_t>(n));
  injection.Rearm();
}

void FailNthAnyAllocation(std::uint64_t n) {
  internal::Injection &injection = internal::TheInjection();
  std::lock_guard guard(injection.lock);
  injection.anyCountdown.store(static_cast<std::int64_t>(n));
  injection.Rearm();
}

void FailAllocationsRandomly(double probability, std::uint64_t seed) {
  internal::Injection &injection = internal::TheInjection();
  std::lock_guard guard(injection.lock);
  injection.failProbability = probability;
  injection.random.seed(seed);
  injection.Rearm();
}

std::uint64_t InjectedAllocationFailures() { return internal::TheInjection().injectedFailures.load(); }

void FailAllocationsWithTag(ULONG tag) {
  internal::Injection &injection = internal::TheInjection();
  std::lock_guard guard(injection.lock);
  injection.failingTags.insert(tag);
  injection.Rearm();
}

void ClearAllocationFailures() {
  internal::Injection &injection = internal::TheInjection();
  std::lock_guard guard(injection.lock);
  injection.poolCountdown.store(0);
  injection.anyCountdown.store(0);
  injection.failProbability = 0;
  injection.failingTags.clear();
  injection.Rearm();
}

}  // namespace km
