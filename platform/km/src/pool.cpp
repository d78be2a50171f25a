// Non-paged pool: every allocation is recorded with its tag, size and the
// driver it is charged to, so that leaks can be counted per tag and per
// driver, foreign and double frees stop the process, and tests can make
// chosen allocations fail.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <unordered_map>
#include <unordered_set>

namespace km::internal {
namespace {

struct Allocation {
  ULONG tag;
  SIZE_T size;
  PDRIVER_OBJECT owner;
};

struct Pool {
  std::mutex lock;
  std::unordered_map<void *, Allocation> live;
  // Recently freed blocks, so that a second free is told apart from a
  // pointer that never came from the pool.
  std::unordered_set<void *> recentlyFreed;
  std::deque<void *> freedOrder;
  std::uint64_t allocationCount = 0;
  std::uint64_t failAt = 0;  // allocation number that fails; 0: none
  std::unordered_set<ULONG> failingTags;
};

Pool &ThePool() {
  static Pool *pool = new Pool;  // lives until exit, past static destructors
  return *pool;
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

}  // namespace

}  // namespace km::internal

using namespace km::internal;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  UNREFERENCED_PARAMETER(PoolType);
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    km::BugCheck(kBadPoolCaller, "BAD_POOL_CALLER", "pool allocated above DISPATCH_LEVEL");
  }
  Pool &pool = ThePool();
  {
    std::lock_guard guard(pool.lock);
    ++pool.allocationCount;
    if (pool.allocationCount == pool.failAt || pool.failingTags.count(Tag) != 0) return nullptr;
  }
  // Pool blocks are 16-byte aligned, as on 64-bit Windows.
  SIZE_T rounded = (NumberOfBytes + 15) & ~SIZE_T{15};
  if (rounded < NumberOfBytes) return nullptr;
  void *block = std::aligned_alloc(16, rounded == 0 ? 16 : rounded);
  if (block == nullptr) return nullptr;
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
  Pool &pool = ThePool();
  std::unique_lock guard(pool.lock);
  auto it = pool.live.find(P);
  if (it == pool.live.end()) {
    bool twice = pool.recentlyFreed.count(P) != 0;
    guard.unlock();
    char address[32];
    std::snprintf(address, sizeof address, "%p", P);
    km::BugCheck(kBadPoolCaller, "BAD_POOL_CALLER",
                 twice ? std::string("pool block ") + address + " freed twice"
                       : std::string("ExFreePool of ") + address + ", which is not an allocated pool block");
  }
  if (Tag != 0 && it->second.tag != Tag) {
    std::string detail = "pool block tagged '" + TagText(it->second.tag) + "' freed with tag '" + TagText(Tag) + "'";
    guard.unlock();
    km::BugCheck(kBadPoolCaller, "BAD_POOL_CALLER", detail);
  }
  pool.live.erase(it);
  pool.recentlyFreed.insert(P);
  pool.freedOrder.push_back(P);
  if (pool.freedOrder.size() > kFreedMemory) {
    pool.recentlyFreed.erase(pool.freedOrder.front());
    pool.freedOrder.pop_front();
  }
  guard.unlock();
  std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

namespace km {

namespace {
PoolUsage Usage(const std::function<bool(const internal::Allocation &)> &match) {
  internal::Pool &pool = internal::ThePool();
  std::lock_guard guard(pool.lock);
  PoolUsage usage;
  for (const auto &[block, allocation] : pool.live) {
    if (!match(allocation)) continue;
    ++usage.allocations;
    usage.bytes += allocation.size;
  }
  return usage;
}
}  // namespace

PoolUsage PoolInUse(ULONG tag) {
  return Usage([tag](const internal::Allocation &a) { return tag == 0 || a.tag == tag; });
}

PoolUsage PoolInUseBy(PDRIVER_OBJECT driver) {
  return Usage([driver](const internal::Allocation &a) { return a.owner == driver; });
}

void FailNthAllocation(std::uint64_t n) {
  internal::Pool &pool = internal::ThePool();
  std::lock_guard guard(pool.lock);
  pool.failAt = n == 0 ? 0 : pool.allocationCount + n;
}

void FailAllocationsWithTag(ULONG tag) {
  internal::Pool &pool = internal::ThePool();
  std::lock_guard guard(pool.lock);
  pool.failingTags.insert(tag);
}

void ClearAllocationFailures() {
  internal::Pool &pool = internal::ThePool();
  std::lock_guard guard(pool.lock);
  pool.failAt = 0;
  pool.failingTags.clear();
}

}  // namespace km
