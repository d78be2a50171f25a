// Frames over a byte stream (the connected socket, or the shared-memory
// channel once a client has set one up): a buffered reader that yields one
// decoded message at a time, and a sender that writes whole frames.
#pragma once

#include "wire_protocol.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace service::wire {

struct Frame {
  Header header;
  Message message;
};

// Where a FrameReader's bytes come from.
class ByteSource {
 public:
  static constexpr ssize_t kClosed = 0;      // the peer ended the stream
  static constexpr ssize_t kFailed = -1;     // the stream failed; `error` says how
  static constexpr ssize_t kViolation = -2;  // the peer broke the stream's rules
  static constexpr ssize_t kTimedOut = -3;   // nothing came within the wait limit
  virtual ~ByteSource() = default;
  // Waits for at least one byte; the count read, or one of the above.
  virtual ssize_t Receive(std::uint8_t *into, std::size_t capacity, std::string *error) = 0;
  // How long one Receive waits for the first byte (negative: for ever).
  virtual void SetWaitLimit(int milliseconds) = 0;
};

class FrameReader {
 public:
  // Reads from a connected socket. With `keepDescriptors`, descriptors the
  // peer passes along (SCM_RIGHTS) are kept for TakeDescriptors; otherwise
  // they are closed as they arrive.
  explicit FrameReader(int fd, bool keepDescriptors = false);
  // Reads from another source, which must outlive the reader.
  explicit FrameReader(ByteSource *source) : source_(source) {}
  ~FrameReader();

  enum class Result { Frame, Closed, Malformed, Failed, TimedOut };
  // Reads until one whole frame is buffered and decodes it. Closed: the peer
  // ended the stream between frames. Malformed: `error` says what was wrong
  // (a frame cut short by the end of the stream counts as truncated).
  // TimedOut: no byte came within the wait limit; the bytes of a frame begun
  // stay buffered for the next call.
  Result Next(Frame *frame, std::string *error);
  // How long Next waits for each next byte (negative: for ever, the default).
  void SetWaitLimit(int milliseconds) { source_->SetWaitLimit(milliseconds); }
  // Asks `account` before the reader's storage grows by n bytes (n > 0; a
  // refusal makes the frame malformed, `limit` saying why) and tells it when
  // storage goes back (n < 0).
  using MemoryAccount = std::function<bool(std::ptrdiff_t bytes)>;
  void SetMemoryAccount(MemoryAccount account, std::string limit) {
    account_ = std::move(account);
    limit_ = std::move(limit);
  }

  // Bytes received after the last frame returned.
  std::size_t Buffered() const { return end_ - begin_; }
  // The descriptors received so far (kept only when asked for).
  std::vector<int> TakeDescriptors();

 private:
  // 1 when `wanted` bytes are buffered, else what the source returned.
  ssize_t Fill(std::size_t wanted, std::string *error);

  std::unique_ptr<ByteSource> ownedSource_;
  ByteSource *source_;
  // Storage that only grows; bytes [begin_, end_) are received and unread.
  std::vector<std::uint8_t> storage_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  MemoryAccount account_;
  std::string limit_;
  std::size_t accounted_ = 0;  // storage bytes `account_` was asked for
};

// Writes every byte or fails (the peer went away). Never raises SIGPIPE.
// `descriptors` travel with the first byte (SCM_RIGHTS).
bool SendAll(int fd, const std::vector<std::uint8_t> &bytes, std::span<const int> descriptors = {});

}  // namespace service::wire
