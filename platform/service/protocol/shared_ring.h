// The shared-memory path between a client and tavrind: one memory region
// holding two byte rings, one per direction, that carry the same frames as
// the socket. A call then costs two memory copies instead of two socket
// round trips, and neither side has to be woken when the other is still
// looking: a side that waits for the next bytes first polls the ring for a
// short, bounded and adaptive time, and only then sleeps on its eventfd. The
// socket stays open beside the rings: its end tells either side that the
// other is gone.
//
// Each ring has one producer at a time (the caller serialises its writers)
// and one consumer at a time. Positions are 32-bit byte counts that wrap;
// each side keeps its own position privately and only publishes it, and
// checks the one the other side publishes, so a peer that scribbles over the
// region can break only its own connection.
#pragma once

#include "frame_stream.h"

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace service::ring {

// Bytes in each direction's ring: a power of two that holds the largest
// transfer (65535 bytes and its header) whole, so that only isochronous
// buffers are streamed through it in pieces.
constexpr std::uint32_t kRingBytes = 256 * 1024;
// The region: a page of ring positions, then the two rings.
constexpr std::size_t kControlBytes = 4096;
constexpr std::size_t kRegionBytes = kControlBytes + 2 * std::size_t{kRingBytes};

// The file descriptors that make a channel, as the service passes them.
struct ChannelFds {
  int region = -1;       // the sealed memfd of kRegionBytes
  int serviceWake = -1;  // eventfd the service sleeps on
  int clientWake = -1;   // eventfd the client sleeps on
};

// Creates a region and its two eventfds (close-on-exec); false with errno.
bool CreateChannelFds(ChannelFds *fds);
void CloseChannelFds(ChannelFds *fds);

// How long a side polls for the other's next bytes before it sleeps, from
// how long the other side has lately taken to answer (measured from the
// moment it published its bytes, so a sleep does not blur it). A side that
// answers within the longest poll is polled for; one that takes longer (it
// waits on an instrument, calls only now and then, or does not get a CPU on
// a loaded machine) is slept on at once, so polling costs CPU only where it
// saves a wake-up.
class SpinBudget {
 public:
  SpinBudget(std::uint32_t minNs, std::uint32_t maxNs) : min_(minNs), max_(maxNs) {}
  std::uint32_t limitNs() const { return typicalNs_ <= max_ ? max_ : min_; }
  // The time from the start of a wait to the peer's publishing its bytes.
  void Observe(std::uint64_t responseNs) {
    // One long wait counts as a few polls' worth, so the estimate comes back
    // within a few messages once the peer answers quickly again.
    std::uint64_t sample = responseNs < 4 * std::uint64_t{max_} ? responseNs : 4 * std::uint64_t{max_};
    typicalNs_ = (3 * typicalNs_ + sample) / 4;
  }

 private:
  std::uint32_t min_, max_;
  std::uint64_t typicalNs_ = 0;
};

class Channel {
 public:
  enum class Side { Client, Service };
  // Maps the region; takes ownership of the descriptors (not of `socket`,
  // which only tells whether the peer is still there).
  Channel(Side side, ChannelFds fds, int socket);
  ~Channel();
  Channel(const Channel &) = delete;
  Channel &operator=(const Channel &) = delete;

  bool mapped() const { return base_ != nullptr; }

  // Writes all of `bytes` into the outgoing ring, waiting for room as the
  // peer reads. One writer at a time. False when the peer is gone, broke the
  // ring, or Close() was called; the caller then ends the connection.
  bool Write(const void *bytes, std::size_t length);
  // Reads up to `capacity` bytes from the incoming ring, waiting for at
  // least one. One reader at a time. >0 bytes read; 0 when the peer closed
  // the socket; -1 on a violation or failure (see error()); kTimedOut when
  // nothing came within the wait limit.
  ssize_t Read(void *into, std::size_t capacity);
  static constexpr ssize_t kTimedOut = -2;
  // How long a Read waits for the first byte (negative: for ever, the
  // default).
  void SetWaitLimit(int milliseconds) { waitLimitMs_ = milliseconds; }
  // How long a Write waits for room in the ring before it fails.
  void SetRoomWaitLimit(int milliseconds) { roomWaitLimitMs_ = milliseconds; }
  // For a reader that stops waiting itself and leaves it to another (epoll):
  // asks the peer to signal this side's eventfd (wakeFd) when it writes
  // next; true (and nothing asked) when bytes came meanwhile.
  bool ArmWake();
  // The reader waits itself again: the peer need not signal.
  void DisarmWake();
  int wakeFd() const { return side_ == Side::Client ? fds_.clientWake : fds_.serviceWake; }
  // Ends every wait of this side; later calls fail.
  void Close();
  // For a child process after fork: unmaps and closes without waking anyone.
  void Abandon();

  // Why Read failed (written by the reading side only).
  const std::string &error() const { return error_; }

 private:
  struct Ring;
  Ring *Outgoing() const;
  Ring *Incoming() const;
  std::uint8_t *OutgoingData() const;
  std::uint8_t *IncomingData() const;
  // Waits until the incoming ring has bytes: polls, then sleeps on the eventfd
  // while watching the socket. 0 when the peer is gone, -1 on failure.
  int AwaitIncoming();
  // Polls from `start` for the budget's time, then sleeps.
  int Wait(std::uint64_t start);
  // Waits (in short sleeps) for the peer to make room in the outgoing ring.
  bool AwaitRoom(std::uint32_t seenTail);
  // Makes what was written up to head_ visible and wakes the peer if it sleeps.
  void PublishHead();
  bool PeerGone();
  ssize_t Fail(const char *what);

  const Side side_;
  ChannelFds fds_;
  const int socket_;
  std::uint8_t *base_ = nullptr;
  // This side's positions: the head it writes, the tail it reads.
  std::uint32_t head_ = 0;
  std::uint32_t tail_ = 0;
  SpinBudget spin_;
  std::atomic<bool> closed_{false};
  std::atomic<int> waitLimitMs_{-1};
  std::atomic<int> roomWaitLimitMs_{-1};
  std::string error_;
};

// A channel's incoming ring as the source of a FrameReader.
class ChannelSource final : public wire::ByteSource {
 public:
  explicit ChannelSource(Channel *channel) : channel_(channel) {}
  ssize_t Receive(std::uint8_t *into, std::size_t capacity, std::string *error) override {
    ssize_t n = channel_->Read(into, capacity);
    if (n >= 0) return n;
    if (n == Channel::kTimedOut) return kTimedOut;
    *error = channel_->error();
    return kViolation;
  }
  void SetWaitLimit(int milliseconds) override { channel_->SetWaitLimit(milliseconds); }

 private:
  Channel *channel_;
};

}  // namespace service::ring
