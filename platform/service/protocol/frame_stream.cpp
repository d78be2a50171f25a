#include "frame_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace service::wire {
namespace {

// A reader starts small (an idle connection holds little) and grows by at
// most a chunk beyond what arrived.
constexpr std::size_t kFirstStorage = 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// The most descriptors one message passes: the shared channel's three.
constexpr std::size_t kMaxDescriptors = 3;

class SocketSource final : public ByteSource {
 public:
  SocketSource(int fd, bool keepDescriptors) : fd_(fd), keep_(keepDescriptors) {}
  ~SocketSource() override {
    for (int fd : descriptors_) close(fd);
  }

  void SetWaitLimit(int milliseconds) override { waitLimitMs_ = milliseconds; }

  ssize_t Receive(std::uint8_t *into, std::size_t capacity, std::string *error) override {
    if (waitLimitMs_ >= 0) {
      pollfd socket{fd_, POLLIN, 0};
      int ready;
      do {
        ready = poll(&socket, 1, waitLimitMs_);
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) return kTimedOut;
    }
    iovec vector{into, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
      n = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      *error = std::strerror(errno);
      return kFailed;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        if (keep_) {
          descriptors_.push_back(fd);
        } else {
          close(fd);
        }
      }
    }
    return n;
  }

  std::vector<int> Take() { return std::exchange(descriptors_, {}); }

 private:
  const int fd_;
  const bool keep_;
  int waitLimitMs_ = -1;
  std::vector<int> descriptors_;
};

}  // namespace

FrameReader::FrameReader(int fd, bool keepDescriptors)
    : ownedSource_(std::make_unique<SocketSource>(fd, keepDescriptors)), source_(ownedSource_.get()) {}

FrameReader::~FrameReader() {
  if (account_ && accounted_ != 0) account_(-static_cast<std::ptrdiff_t>(accounted_));
}

std::vector<int> FrameReader::TakeDescriptors() {
  auto *socket = dynamic_cast<SocketSource *>(ownedSource_.get());
  return socket != nullptr ? socket->Take() : std::vector<int>{};
}

ssize_t FrameReader::Fill(std::size_t wanted, std::string *error) {
  while (end_ - begin_ < wanted) {
    // Move the unread bytes to the front, and grow only as the bytes of a
    // large frame arrive: a header alone that announces a large body costs
    // nothing until its body comes.
    if (begin_ > 0) {
      std::memmove(storage_.data(), storage_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (storage_.size() == end_ || storage_.size() < kFirstStorage) {
      std::size_t grown = std::max(kFirstStorage, std::min(std::max(wanted, kFirstStorage), end_ + kReadChunk));
      if (grown > storage_.size()) {
        if (account_ && grown > accounted_) {
          if (!account_(static_cast<std::ptrdiff_t>(grown - accounted_))) {
            *error = limit_;
            return ByteSource::kViolation;
          }
          accounted_ = grown;
        }
        storage_.resize(grown);
      }
    }
    ssize_t n = source_->Receive(storage_.data() + end_, storage_.size() - end_, error);
    if (n <= 0) return n;
    end_ += static_cast<std::size_t>(n);
  }
  return 1;
}

FrameReader::Result FrameReader::Next(Frame *frame, std::string *error) {
  ssize_t filled = Fill(kHeaderBytes, error);
  if (filled == ByteSource::kTimedOut) return Result::TimedOut;
  if (filled <= 0) {
    if (filled == ByteSource::kClosed && end_ == begin_) return Result::Closed;
    if (filled == ByteSource::kClosed) *error = "truncated header";
    return filled == ByteSource::kFailed ? Result::Failed : Result::Malformed;
  }
  std::optional<Header> header =
      DecodeHeader(std::span<const std::uint8_t>(storage_.data() + begin_, kHeaderBytes), error);
  if (!header) return Result::Malformed;
  filled = Fill(kHeaderBytes + header->bodyLength, error);
  if (filled == ByteSource::kTimedOut) return Result::TimedOut;
  if (filled <= 0) {
    if (filled == ByteSource::kClosed) *error = "truncated message";
    return filled == ByteSource::kFailed ? Result::Failed : Result::Malformed;
  }
  std::span<const std::uint8_t> body(storage_.data() + begin_ + kHeaderBytes, header->bodyLength);
  std::optional<Message> message = DecodeBody(header->type, body, error);
  if (!message) return Result::Malformed;
  begin_ += kHeaderBytes + header->bodyLength;
  frame->header = *header;
  frame->message = std::move(*message);
  // A large frame's room goes back once nothing more is buffered.
  if (begin_ == end_ && storage_.capacity() > kReadChunk) {
    storage_ = {};
    begin_ = end_ = 0;
    if (account_ && accounted_ != 0) account_(-static_cast<std::ptrdiff_t>(std::exchange(accounted_, 0)));
  }
  return Result::Frame;
}

bool SendAll(int fd, const std::vector<std::uint8_t> &bytes, std::span<const int> descriptors) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    iovec vector{const_cast<std::uint8_t *>(bytes.data() + sent), bytes.size() - sent};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
    if (sent == 0 && !descriptors.empty()) {
      if (descriptors.size() > kMaxDescriptors) return false;
      message.msg_control = control;
      message.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
      cmsghdr *c = CMSG_FIRSTHDR(&message);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
      std::memcpy(CMSG_DATA(c), descriptors.data(), sizeof(int) * descriptors.size());
    }
    ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace service::wire
