#include "shared_ring.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace service::ring {

// One direction's positions, each on its own cache line so that the side
// polling one does not slow the side writing another.
struct Channel::Ring {
  alignas(64) std::uint32_t head;  // bytes written, published by the producer
  std::uint64_t publishedNs;       // when the producer last moved head (steady clock)
  alignas(64) std::uint32_t tail;  // bytes read, published by the consumer
  alignas(64) std::uint32_t consumerSleeping;
  std::uint32_t producerWaiting;
};

namespace {

static_assert((kRingBytes & (kRingBytes - 1)) == 0, "the ring's size must be a power of two");
constexpr std::size_t kRingStride = kControlBytes / 2;

// How long a side polls at most: a little more than a request that ends at
// once takes in the driver plus the other side's copy, so that the answer of
// a quick request is caught while polling; a slower one is slept on.
constexpr std::uint32_t kMinSpinNs = 2'000;
constexpr std::uint32_t kMaxSpinNs = 40'000;
// A writer that waits for room looks for the peer's end this often.
constexpr long kRoomWaitNs = 2'000'000;

std::uint32_t Load(const std::uint32_t &word) {
  return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t &>(word)).load(std::memory_order_acquire);
}
void Store(std::uint32_t &word, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_release);
}
// Stores `value` in `word`, then reads `other`, both in the one order all
// sequentially consistent operations share: when two sides each announce
// something and then look at the other's word, at least one of them sees the
// other's announcement, so that a sleeper is never left unwoken. (A
// standalone fence between a release store and an acquire load would do the
// same, but ThreadSanitizer cannot check fences.)
std::uint32_t StoreThenLoad(std::uint32_t &word, std::uint32_t value, const std::uint32_t &other) {
  std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_seq_cst);
  return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t &>(other)).load(std::memory_order_seq_cst);
}

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Futexes on the shared region: not process-private.
void FutexWait(std::uint32_t *word, std::uint32_t expected, long timeoutNs) {
  timespec timeout{0, timeoutNs};
  syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0);
}
void FutexWakeAll(std::uint32_t *word) { syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

void Signal(int eventFd) {
  std::uint64_t one = 1;
  ssize_t ignored = write(eventFd, &one, sizeof one);  // a full counter wakes the sleeper all the same
  (void)ignored;
}

void Drain(int eventFd) {
  std::uint64_t count;
  ssize_t ignored = read(eventFd, &count, sizeof count);
  (void)ignored;
}

std::uint64_t NowNs() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// Whether more threads are ready to run than there are processors, looked at
// every 50 ms at most (a read of /proc/loadavg) and twice in a row. Then a
// thread that polls keeps a processor from one that has work, perhaps the
// very peer it waits for, and loses the priority the scheduler gives a
// thread that wakes up: polling would slow both sides.
bool MachineBusy(std::uint64_t now) {
  constexpr std::uint64_t kSampleNs = 50'000'000;
  static std::atomic<std::uint64_t> sampledAt{0};
  static std::atomic<bool> busy{false};
  static const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  std::uint64_t last = sampledAt.load(std::memory_order_relaxed);
  if (now - last < kSampleNs || !sampledAt.compare_exchange_strong(last, now)) {
    return busy.load(std::memory_order_relaxed);
  }
  // The fourth field of /proc/loadavg is "runnable/total" at this instant,
  // the reading thread included.
  char text[128] = {};
  int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
  if (fd >= 0) close(fd);
  long runnable = 0;
  if (n > 0) {
    double ignored[3];
    if (std::sscanf(text, "%lf %lf %lf %ld/", &ignored[0], &ignored[1], &ignored[2], &runnable) != 4) runnable = 0;
  }
  // A thread of a realtime policy runs ahead of the others whatever their number.
  int policy = sched_getscheduler(0);
  bool realtime = policy == SCHED_FIFO || policy == SCHED_RR;
  // Two samples in a row, so that a thread that happened to wake at the
  // instant of one does not stop the polling.
  static std::atomic<int> overInARow{0};
  int over = runnable > processors && !realtime ? overInARow.fetch_add(1, std::memory_order_relaxed) + 1 : 0;
  if (over == 0) overInARow.store(0, std::memory_order_relaxed);
  busy.store(over >= 2, std::memory_order_relaxed);
  return busy.load(std::memory_order_relaxed);
}

}  // namespace

bool CreateChannelFds(ChannelFds *fds) {
  *fds = ChannelFds{};
  fds->region = memfd_create("tavrind-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  // Sealed at its size: a client cannot shrink the region under the service.
  bool made = fds->region >= 0 && ftruncate(fds->region, static_cast<off_t>(kRegionBytes)) == 0 &&
              fcntl(fds->region, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0;
  if (made) {
    fds->serviceWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    fds->clientWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    made = fds->serviceWake >= 0 && fds->clientWake >= 0;
  }
  if (!made) {
    int saved = errno;
    CloseChannelFds(fds);
    errno = saved;
  }
  return made;
}

void CloseChannelFds(ChannelFds *fds) {
  for (int *fd : {&fds->region, &fds->serviceWake, &fds->clientWake}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

Channel::Channel(Side side, ChannelFds fds, int socket)
    : side_(side), fds_(fds), socket_(socket), spin_(kMinSpinNs, kMaxSpinNs) {
  static_assert(sizeof(Ring) <= kRingStride, "both rings' positions fit the control page");
  void *mapped = mmap(nullptr, kRegionBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fds_.region, 0);
  if (mapped != MAP_FAILED) base_ = static_cast<std::uint8_t *>(mapped);
}

Channel::~Channel() {
  if (base_ != nullptr) munmap(base_, kRegionBytes);
  CloseChannelFds(&fds_);
}

// Ring 0 carries requests to the service, ring 1 replies to the client.
Channel::Ring *Channel::Outgoing() const {
  return reinterpret_cast<Ring *>(base_ + (side_ == Side::Client ? 0 : kRingStride));
}
Channel::Ring *Channel::Incoming() const {
  return reinterpret_cast<Ring *>(base_ + (side_ == Side::Client ? kRingStride : 0));
}
std::uint8_t *Channel::OutgoingData() const {
  return base_ + kControlBytes + (side_ == Side::Client ? 0 : kRingBytes);
}
std::uint8_t *Channel::IncomingData() const {
  return base_ + kControlBytes + (side_ == Side::Client ? kRingBytes : 0);
}

ssize_t Channel::Fail(const char *what) {
  error_ = what;
  return -1;
}

void Channel::PublishHead() {
  // Pairs with AwaitIncoming: either the sleeper sees the new head, or this
  // side sees it announced its sleep.
  Ring *out = Outgoing();
  if (StoreThenLoad(out->head, head_, out->consumerSleeping) != 0) {
    Signal(side_ == Side::Client ? fds_.serviceWake : fds_.clientWake);
  }
}

bool Channel::PeerGone() {
  pollfd socket{socket_, POLLIN | POLLRDHUP, 0};
  if (poll(&socket, 1, 0) <= 0) return false;
  // Anything on the socket besides the ring (bytes or its end) ends the channel.
  return true;
}

bool Channel::Write(const void *bytes, std::size_t length) {
  if (base_ == nullptr) return false;
  Ring *out = Outgoing();
  std::uint8_t *data = OutgoingData();
  auto *from = static_cast<const std::uint8_t *>(bytes);
  while (length > 0) {
    if (closed_) return false;
    std::uint32_t tail = Load(out->tail);
    std::uint32_t used = head_ - tail;
    if (used > kRingBytes) return false;  // the peer broke the ring
    std::uint32_t room = kRingBytes - used;
    if (room == 0) {
      if (!AwaitRoom(tail)) return false;
      continue;
    }
    std::size_t n = std::min<std::size_t>(room, length);
    std::size_t at = head_ & (kRingBytes - 1);
    std::size_t first = std::min(n, kRingBytes - at);
    std::memcpy(data + at, from, first);
    std::memcpy(data, from + first, n - first);
    head_ += static_cast<std::uint32_t>(n);
    std::atomic_ref<std::uint64_t>(out->publishedNs).store(NowNs(), std::memory_order_relaxed);
    PublishHead();
    from += n;
    length -= n;
  }
  return true;
}

bool Channel::AwaitRoom(std::uint32_t seenTail) {
  Ring *out = Outgoing();
  const int limitMs = roomWaitLimitMs_;
  const std::uint64_t deadline = NowNs() + static_cast<std::uint64_t>(limitMs) * 1'000'000;
  for (;;) {
    if (limitMs >= 0 && NowNs() >= deadline) return false;
    if (StoreThenLoad(out->producerWaiting, 1, out->tail) == seenTail) FutexWait(&out->tail, seenTail, kRoomWaitNs);
    Store(out->producerWaiting, 0);
    if (Load(out->tail) != seenTail) return true;
    if (closed_) return false;
    if (PeerGone()) return false;
  }
}

int Channel::AwaitIncoming() {
  Ring *in = Incoming();
  if (Load(in->head) != tail_) return 1;
  const std::uint64_t start = NowNs();
  int result = Wait(start);
  if (result == 1) {
    std::uint64_t published = std::atomic_ref<std::uint64_t>(in->publishedNs).load(std::memory_order_relaxed);
    spin_.Observe(published > start ? published - start : 0);
  }
  return result;
}

int Channel::Wait(std::uint64_t start) {
  Ring *in = Incoming();
  // Poll for a bounded time: the peer is usually a few microseconds away.
  const std::uint64_t deadline = start + (MachineBusy(start) ? 0 : spin_.limitNs());
  do {
    for (int i = 0; i < 16; ++i) {
      if (Load(in->head) != tail_) return 1;
      CpuRelax();
    }
  } while (NowNs() < deadline);
  const int ownWake = side_ == Side::Client ? fds_.clientWake : fds_.serviceWake;
  const int limitMs = waitLimitMs_;
  const std::uint64_t sleepDeadline = NowNs() + static_cast<std::uint64_t>(limitMs) * 1'000'000;
  int result = 1;
  for (;;) {
    if (StoreThenLoad(in->consumerSleeping, 1, in->head) != tail_ || closed_) break;
    pollfd waits[2] = {{socket_, POLLIN | POLLRDHUP, 0}, {ownWake, POLLIN, 0}};
    int timeoutMs = -1;
    if (limitMs >= 0) {
      std::uint64_t now = NowNs();
      if (now >= sleepDeadline) {
        result = static_cast<int>(kTimedOut);
        break;
      }
      timeoutMs = static_cast<int>((sleepDeadline - now + 999'999) / 1'000'000);
    }
    int ready = poll(waits, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      result = static_cast<int>(Fail("waiting for the peer failed"));
      break;
    }
    if (ready > 0 && (waits[1].revents & POLLIN)) Drain(ownWake);
    if (ready > 0 && waits[0].revents != 0) {
      std::uint8_t byte;
      ssize_t n = recv(socket_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
      if (n > 0) {
        result = static_cast<int>(Fail("a message on the socket beside the shared ring"));
        break;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        result = 0;
        break;
      }
    }
  }
  Store(in->consumerSleeping, 0);
  return closed_ ? 0 : result;
}

ssize_t Channel::Read(void *into, std::size_t capacity) {
  if (base_ == nullptr) return Fail("the shared region is not mapped");
  if (closed_) return 0;
  int waited = AwaitIncoming();
  if (waited <= 0) return waited;
  Ring *in = Incoming();
  std::uint32_t available = Load(in->head) - tail_;
  if (available > kRingBytes) return Fail("the peer's write position is outside the ring");
  std::size_t n = std::min<std::size_t>(available, capacity);
  std::size_t at = tail_ & (kRingBytes - 1);
  std::size_t first = std::min(n, kRingBytes - at);
  const std::uint8_t *data = IncomingData();
  auto *to = static_cast<std::uint8_t *>(into);
  std::memcpy(to, data + at, first);
  std::memcpy(to + first, data, n - first);
  tail_ += static_cast<std::uint32_t>(n);
  if (StoreThenLoad(in->tail, tail_, in->producerWaiting) != 0) FutexWakeAll(&in->tail);
  return static_cast<ssize_t>(n);
}

bool Channel::ArmWake() {
  if (base_ == nullptr) return false;
  Drain(wakeFd());
  Ring *in = Incoming();
  if (StoreThenLoad(in->consumerSleeping, 1, in->head) == tail_) return false;
  Store(in->consumerSleeping, 0);
  return true;
}

void Channel::DisarmWake() {
  if (base_ != nullptr) Store(Incoming()->consumerSleeping, 0);
}

void Channel::Close() {
  closed_ = true;
  if (base_ == nullptr) return;
  Signal(side_ == Side::Client ? fds_.clientWake : fds_.serviceWake);
  FutexWakeAll(&Outgoing()->tail);
}

void Channel::Abandon() {
  if (base_ != nullptr) munmap(base_, kRegionBytes);
  base_ = nullptr;
  CloseChannelFds(&fds_);
}

}  // namespace service::ring
