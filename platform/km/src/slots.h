// Fixed-size slots for the objects the kernel hands out on every request:
// request packets, memory descriptor lists, file objects and small pool
// blocks. Each kind has its own reserved address range, cut into chunks of
// one slot size each, so that any address can be told to be a slot of that
// kind (and which one) by arithmetic alone, without a table or a lock. A slot
// is a record of the kernel's own (the verifier's bookkeeping about the
// object) followed by the object's body; its memory is never returned, so a
// freed object's record can still be read to tell a late touch from a
// pointer that never was one.
//
// Slots come from per-thread caches. A freed slot goes first into its
// thread's quarantine (the last 1024 slots that thread freed), poisoned under
// AddressSanitizer, and only then back into the cache; caches that grow past
// a few dozen slots hand a batch to a lock-free depot that other threads
// refill from. No global lock is taken except when a thread starts or exits,
// and when the arena has run out: before an allocation fails, slots waiting
// in any thread's quarantine are taken back, oldest first.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace km::internal {

enum class SlotState : std::uint8_t {
  None,   // not a slot of the arena, or one never handed out
  Live,   // handed out and not yet freed
  Freed,  // freed (in a quarantine, or cached until handed out again)
};

class SlotArena {
 public:
  // Constructs a record in the zeroed memory of a new slot.
  using RecordInit = void (*)(void *record);
  // `recordBytes` of the kernel's record precede every body; `classBodies`
  // lists the body sizes, smallest first; `reserve` bytes of address space
  // are set aside for the kind.
  SlotArena(std::size_t recordBytes, RecordInit initRecord, std::vector<std::size_t> classBodies,
            std::size_t reserve);
  SlotArena(const SlotArena &) = delete;
  SlotArena &operator=(const SlotArena &) = delete;

  // The smallest class whose body holds `bytes`, or -1 when none does.
  int ClassFor(std::size_t bytes) const;
  std::size_t BodyBytes(int sizeClass) const { return classes_[static_cast<std::size_t>(sizeClass)].body; }

  // A live slot of `sizeClass`, its body unpoisoned and its record as the
  // last user of the slot left it; null when the reserved range is full.
  void *Allocate(int sizeClass);
  // Marks a live slot freed and quarantines it; false (and nothing done)
  // when `body` is not a live slot of this arena.
  bool Free(void *body);

  // What `address` is, when it is the start of a slot body.
  SlotState StateOf(const void *address) const;
  // The start of the slot body that contains `address`, or null when it
  // lies in no slot body of the arena.
  void *BodyContaining(const void *address) const;
  bool Contains(const void *address) const {
    auto at = reinterpret_cast<std::uintptr_t>(address);
    return at >= base_ && at < base_ + reserved_;
  }

  // The kernel's record of a slot (valid for any slot body, live or freed).
  void *RecordOf(const void *body) const {
    return reinterpret_cast<unsigned char *>(const_cast<void *>(body)) - recordBytes_;
  }

  // Calls `visit(body, record)` for every live slot. Exact when no slot
  // changes state meanwhile.
  template <typename Visit>
  void ForEachLive(Visit &&visit) const {
    std::uint32_t chunks = std::min(chunksUsed_.load(std::memory_order_acquire), chunkCount_);
    for (std::uint32_t chunk = 0; chunk < chunks; ++chunk) {
      int sizeClass = chunkClass_[chunk].load(std::memory_order_acquire) - 1;
      if (sizeClass < 0) continue;
      const SizeClass &c = classes_[static_cast<std::size_t>(sizeClass)];
      std::uintptr_t start = base_ + std::uintptr_t{chunk} * kChunkBytes;
      for (std::size_t i = 0; i < c.perChunk; ++i) {
        auto *link = reinterpret_cast<Link *>(start + i * c.slot);
        if (link->state.load(std::memory_order_acquire) != SlotState::Live) continue;
        void *body = BodyOf(link);
        visit(body, RecordOf(body));
      }
    }
  }

  // Per-thread state; public only so that the thread-exit hook can flush it.
  struct ThreadCache;
  void Flush(ThreadCache &cache);

  static constexpr std::size_t kChunkBytes = std::size_t{64} << 10;
  static constexpr std::size_t kQuarantine = 1024;
  static constexpr std::uint32_t kBatch = 32;

 private:
  // The arena's own part of every slot, in front of the record.
  struct Link {
    std::atomic<SlotState> state{SlotState::None};
    std::uint8_t sizeClass = 0;
    std::uint32_t nextFree = 0;                // cache or batch chain, by slot id
    std::atomic<std::uint32_t> nextBatch{0};   // depot stack, by slot id
  };
  struct SizeClass {
    std::size_t body;      // bytes for the object
    std::size_t slot;      // link, record, body (and a guard under AddressSanitizer)
    std::size_t perChunk;  // slots in one chunk
    // ceil(2^32 / slot): an offset within a chunk (below 2^16) times this,
    // shifted right by 32, is the offset divided by `slot`, without a division.
    std::uint64_t reciprocal;
  };
  struct FreeList {
    std::uint32_t head = 0;  // slot id; 0: empty
    std::uint32_t count = 0;
  };

  Link *LinkOf(std::uint32_t id) const { return reinterpret_cast<Link *>(base_ + (std::uintptr_t{id} - 1) * 16); }
  std::uint32_t IdOf(const Link *link) const {
    return static_cast<std::uint32_t>((reinterpret_cast<std::uintptr_t>(link) - base_) / 16 + 1);
  }
  void *BodyOf(Link *link) const { return reinterpret_cast<unsigned char *>(link) + headerBytes_; }
  Link *LinkOfBody(const void *body) const {
    return reinterpret_cast<Link *>(reinterpret_cast<std::uintptr_t>(body) - headerBytes_);
  }
  // The link of the slot whose body starts at `address`, or null.
  Link *SlotAt(const void *address) const;

  ThreadCache &CacheOfThisThread(std::unique_lock<std::mutex> &orphanGuard);
  void *AllocateFrom(ThreadCache &cache, int sizeClass);
  void FreeInto(ThreadCache &cache, Link *link);
  void Cache(ThreadCache &cache, Link *link);
  bool Refill(ThreadCache &cache, int sizeClass);
  void PushBatch(int sizeClass, std::uint32_t head);
  std::uint32_t PopBatch(int sizeClass);
  // A quarantined slot of `sizeClass` taken out of some thread's quarantine
  // (the oldest one there), or 0 when none is left.
  std::uint32_t Reclaim(int sizeClass);

  std::size_t recordBytes_;
  RecordInit initRecord_;
  std::size_t headerBytes_;  // link and record, rounded to 16
  std::vector<SizeClass> classes_;
  std::uintptr_t base_ = 0;
  std::size_t reserved_ = 0;
  std::uint32_t chunkCount_ = 0;
  std::atomic<std::uint32_t> chunksUsed_{0};
  std::unique_ptr<std::atomic<std::uint8_t>[]> chunkClass_;  // class + 1; 0 while not carved
  // One lock-free stack of batches per class: slot id and a tag against ABA.
  std::unique_ptr<std::atomic<std::uint64_t>[]> depots_;
  unsigned index_;  // the arena's place in each thread's caches
  // Slots of exited threads, and the cache a thread uses while it exits.
  std::mutex orphanLock_;
  ThreadCache *orphans_;
  // Every thread's cache and the orphans', for Reclaim; a cache leaves it
  // before it is deleted.
  std::mutex registryLock_;
  std::vector<ThreadCache *> registry_;
};

}  // namespace km::internal
