// Fixed-size slots with per-thread caches, per-thread quarantines and a
// lock-free depot; see slots.h.
#include "slots.h"

#include <sys/mman.h>

#include <cstdlib>

static_assert(km::internal::SlotArena::kChunkBytes <= (std::size_t{1} << 16),
              "offsets within a chunk are divided by multiplying with a 32-bit reciprocal");

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KM_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KM_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
// A poisoned gap after every body, so that running past a block stops the
// program as AddressSanitizer's own redzones would.
constexpr std::size_t kGuardBytes = 32;
#else
#define KM_POISON(p, n) ((void)(p), (void)(n))
#define KM_UNPOISON(p, n) ((void)(p), (void)(n))
constexpr std::size_t kGuardBytes = 0;
#endif

namespace km::internal {

struct SlotArena::ThreadCache {
  explicit ThreadCache(std::size_t classCount)
      : lists(classCount), quarantine(std::make_unique<std::atomic<std::uint32_t>[]>(kQuarantine)) {}
  std::vector<FreeList> lists;
  // The slots this thread freed last, oldest at `oldest`. Another thread may
  // take an entry back (leaving 0) when the arena has run out.
  std::unique_ptr<std::atomic<std::uint32_t>[]> quarantine;
  std::atomic<std::size_t> oldest{0};
  std::size_t quarantined = 0;
};

namespace {

std::size_t Round16(std::size_t bytes) { return (bytes + 15) & ~std::size_t{15}; }

constexpr unsigned kMaxArenas = 8;
std::atomic<unsigned> g_arenaCount{0};
SlotArena *g_arenas[kMaxArenas];

// Each thread's caches. Plain data, so that reaching it costs no more than
// a read relative to the thread pointer (the library is loaded with the
// program, so its thread-local block is in the static one).
struct ThreadCaches {
  SlotArena::ThreadCache *caches[kMaxArenas];
  bool exitHooked;
  bool exited;  // the caches went to the arenas' orphans
};
__attribute__((tls_model("initial-exec"))) thread_local ThreadCaches t_caches{};

// Hands a thread's caches to the arenas' orphans when the thread exits.
struct ExitHook {
  bool armed = false;
  ~ExitHook() {
    t_caches.exited = true;
    unsigned count = g_arenaCount.load(std::memory_order_acquire);
    for (unsigned i = 0; i < count; ++i) {
      if (t_caches.caches[i] != nullptr) g_arenas[i]->Flush(*t_caches.caches[i]);
      t_caches.caches[i] = nullptr;
    }
  }
};
thread_local ExitHook t_exitHook;

}  // namespace

SlotArena::SlotArena(std::size_t recordBytes, RecordInit initRecord, std::vector<std::size_t> classBodies,
                     std::size_t reserve)
    : recordBytes_(Round16(recordBytes)), initRecord_(initRecord), headerBytes_(Round16(sizeof(Link)) + recordBytes_) {
  for (std::size_t body : classBodies) {
    std::size_t slot = headerBytes_ + Round16(body) + kGuardBytes;
    classes_.push_back(SizeClass{Round16(body), slot, kChunkBytes / slot, ((std::uint64_t{1} << 32) + slot - 1) / slot});
  }
  void *region = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region != MAP_FAILED) {
    base_ = reinterpret_cast<std::uintptr_t>(region);
    reserved_ = reserve;
  }
  chunkCount_ = static_cast<std::uint32_t>(reserved_ / kChunkBytes);
  chunkClass_ = std::make_unique<std::atomic<std::uint8_t>[]>(chunkCount_);
  depots_ = std::make_unique<std::atomic<std::uint64_t>[]>(classes_.size());
  orphans_ = new ThreadCache(classes_.size());
  registry_.push_back(orphans_);
  index_ = g_arenaCount.load();
  if (index_ >= kMaxArenas) std::abort();
  g_arenas[index_] = this;
  g_arenaCount.store(index_ + 1, std::memory_order_release);
}

int SlotArena::ClassFor(std::size_t bytes) const {
  for (std::size_t i = 0; i < classes_.size(); ++i) {
    if (classes_[i].body >= bytes && classes_[i].perChunk != 0) return static_cast<int>(i);
  }
  return -1;
}

SlotArena::ThreadCache &SlotArena::CacheOfThisThread(std::unique_lock<std::mutex> &orphanGuard) {
  ThreadCache *cache = t_caches.caches[index_];
  if (cache != nullptr) return *cache;
  if (t_caches.exited) {
    orphanGuard = std::unique_lock(orphanLock_);
    return *orphans_;
  }
  if (!t_caches.exitHooked) {
    t_caches.exitHooked = true;
    t_exitHook.armed = true;  // constructs it, so that its destructor runs at the thread's exit
  }
  cache = t_caches.caches[index_] = new ThreadCache(classes_.size());
  std::lock_guard guard(registryLock_);
  registry_.push_back(cache);
  return *cache;
}

void *SlotArena::Allocate(int sizeClass) {
  std::unique_lock<std::mutex> orphanGuard;
  return AllocateFrom(CacheOfThisThread(orphanGuard), sizeClass);
}

void *SlotArena::AllocateFrom(ThreadCache &cache, int sizeClass) {
  FreeList &list = cache.lists[static_cast<std::size_t>(sizeClass)];
  if (list.head == 0 && !Refill(cache, sizeClass)) {
    std::uint32_t reclaimed = Reclaim(sizeClass);
    if (reclaimed == 0) return nullptr;
    LinkOf(reclaimed)->nextFree = 0;
    list.head = reclaimed;
    list.count = 1;
  }
  Link *link = LinkOf(list.head);
  list.head = link->nextFree;
  --list.count;
  void *body = BodyOf(link);
  KM_UNPOISON(body, classes_[static_cast<std::size_t>(sizeClass)].body);
  link->state.store(SlotState::Live, std::memory_order_release);
  return body;
}

bool SlotArena::Refill(ThreadCache &cache, int sizeClass) {
  FreeList &list = cache.lists[static_cast<std::size_t>(sizeClass)];
  if (std::uint32_t head = PopBatch(sizeClass); head != 0) {
    std::uint32_t count = 1;
    for (Link *link = LinkOf(head); link->nextFree != 0; link = LinkOf(link->nextFree)) ++count;
    list.head = head;
    list.count = count;
    return true;
  }
  // A new chunk: every slot in it goes to this thread's cache.
  std::uint32_t chunk = chunksUsed_.fetch_add(1, std::memory_order_acq_rel);
  if (chunk >= chunkCount_) return false;
  const SizeClass &c = classes_[static_cast<std::size_t>(sizeClass)];
  std::uintptr_t start = base_ + std::uintptr_t{chunk} * kChunkBytes;
  for (std::size_t i = c.perChunk; i-- > 0;) {
    auto *link = new (reinterpret_cast<void *>(start + i * c.slot)) Link;
    link->sizeClass = static_cast<std::uint8_t>(sizeClass);
    if (initRecord_ != nullptr) initRecord_(RecordOf(BodyOf(link)));
    KM_POISON(BodyOf(link), c.body + kGuardBytes);
    link->nextFree = list.head;
    list.head = IdOf(link);
    ++list.count;
  }
  chunkClass_[chunk].store(static_cast<std::uint8_t>(sizeClass + 1), std::memory_order_release);
  return true;
}

bool SlotArena::Free(void *body) {
  Link *link = SlotAt(body);
  if (link == nullptr) return false;
  SlotState expected = SlotState::Live;
  if (!link->state.compare_exchange_strong(expected, SlotState::Freed, std::memory_order_acq_rel)) return false;
  KM_POISON(body, classes_[link->sizeClass].body);
  std::unique_lock<std::mutex> orphanGuard;
  FreeInto(CacheOfThisThread(orphanGuard), link);
  return true;
}

void SlotArena::FreeInto(ThreadCache &cache, Link *link) {
  std::uint32_t id = IdOf(link);
  std::size_t oldest = cache.oldest.load(std::memory_order_relaxed);
  if (cache.quarantined < kQuarantine) {
    cache.quarantine[(oldest + cache.quarantined++) % kQuarantine].store(id, std::memory_order_release);
    return;
  }
  // The oldest slot leaves the quarantine for the cache (unless Reclaim took
  // it already); it stays freed.
  std::uint32_t released = cache.quarantine[oldest].exchange(id, std::memory_order_acq_rel);
  cache.oldest.store((oldest + 1) % kQuarantine, std::memory_order_relaxed);
  if (released != 0) Cache(cache, LinkOf(released));
}

std::uint32_t SlotArena::Reclaim(int sizeClass) {
  std::lock_guard guard(registryLock_);
  for (ThreadCache *cache : registry_) {
    std::size_t oldest = cache->oldest.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < kQuarantine; ++i) {
      std::atomic<std::uint32_t> &entry = cache->quarantine[(oldest + i) % kQuarantine];
      std::uint32_t id = entry.load(std::memory_order_acquire);
      if (id == 0 || LinkOf(id)->sizeClass != sizeClass) continue;
      if (entry.compare_exchange_strong(id, 0, std::memory_order_acq_rel)) return id;
    }
  }
  return 0;
}

void SlotArena::Cache(ThreadCache &cache, Link *link) {
  FreeList &list = cache.lists[link->sizeClass];
  link->nextFree = list.head;
  list.head = IdOf(link);
  if (++list.count < 2 * kBatch) return;
  // Too many for one thread: a batch goes to the depot for the others.
  std::uint32_t head = list.head;
  Link *last = LinkOf(head);
  for (std::uint32_t i = 1; i < kBatch; ++i) last = LinkOf(last->nextFree);
  list.head = last->nextFree;
  list.count -= kBatch;
  last->nextFree = 0;
  PushBatch(link->sizeClass, head);
}

void SlotArena::PushBatch(int sizeClass, std::uint32_t head) {
  std::atomic<std::uint64_t> &top = depots_[static_cast<std::size_t>(sizeClass)];
  std::uint64_t old = top.load(std::memory_order_relaxed);
  std::uint64_t next;
  do {
    LinkOf(head)->nextBatch.store(static_cast<std::uint32_t>(old), std::memory_order_relaxed);
    next = (((old >> 32) + 1) << 32) | head;
  } while (!top.compare_exchange_weak(old, next, std::memory_order_release, std::memory_order_relaxed));
}

std::uint32_t SlotArena::PopBatch(int sizeClass) {
  std::atomic<std::uint64_t> &top = depots_[static_cast<std::size_t>(sizeClass)];
  std::uint64_t old = top.load(std::memory_order_acquire);
  for (;;) {
    auto head = static_cast<std::uint32_t>(old);
    if (head == 0) return 0;
    // The tag in the upper half makes the exchange fail if the batch was
    // taken and given back meanwhile.
    std::uint64_t next = (((old >> 32) + 1) << 32) | LinkOf(head)->nextBatch.load(std::memory_order_relaxed);
    if (top.compare_exchange_weak(old, next, std::memory_order_acquire, std::memory_order_acquire)) return head;
  }
}

void SlotArena::Flush(ThreadCache &cache) {
  {
    std::lock_guard registryGuard(registryLock_);
    registry_.erase(std::find(registry_.begin(), registry_.end(), &cache));
  }
  std::lock_guard guard(orphanLock_);
  // The quarantine carries on, oldest first, in the orphans' quarantine.
  std::size_t oldest = cache.oldest.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < cache.quarantined; ++i) {
    std::uint32_t id = cache.quarantine[(oldest + i) % kQuarantine].load(std::memory_order_acquire);
    if (id != 0) FreeInto(*orphans_, LinkOf(id));
  }
  for (FreeList &list : cache.lists) {
    while (list.head != 0) {
      Link *link = LinkOf(list.head);
      list.head = link->nextFree;
      Cache(*orphans_, link);
    }
  }
  delete &cache;
}

SlotArena::Link *SlotArena::SlotAt(const void *address) const {
  void *body = BodyContaining(address);
  return body == address && body != nullptr ? LinkOfBody(body) : nullptr;
}

void *SlotArena::BodyContaining(const void *address) const {
  if (!Contains(address)) return nullptr;
  std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(address) - base_;
  std::uintptr_t chunk = offset / kChunkBytes;
  int sizeClass = chunkClass_[chunk].load(std::memory_order_acquire) - 1;
  if (sizeClass < 0) return nullptr;
  const SizeClass &c = classes_[static_cast<std::size_t>(sizeClass)];
  std::uintptr_t inChunk = offset % kChunkBytes;
  std::uintptr_t index = (inChunk * c.reciprocal) >> 32;
  std::uintptr_t inSlot = inChunk - index * c.slot;
  if (index >= c.perChunk || inSlot < headerBytes_ || inSlot >= headerBytes_ + c.body) return nullptr;
  return reinterpret_cast<void *>(base_ + chunk * kChunkBytes + index * c.slot + headerBytes_);
}

SlotState SlotArena::StateOf(const void *address) const {
  Link *link = SlotAt(address);
  return link == nullptr ? SlotState::None : link->state.load(std::memory_order_acquire);
}

}  // namespace km::internal
