#include "frame_stream.h"

#include <sys/socket.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace service::wire {
namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
}

bool FrameReader::Fill(std::size_t wanted, bool *closed) {
  *closed = false;
  while (end_ - begin_ < wanted) {
    // Move the unread bytes to the front, and grow only for a large frame.
    if (begin_ > 0) {
      std::memmove(storage_.data(), storage_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (storage_.size() < std::max(wanted, kReadChunk)) storage_.resize(std::max(wanted, kReadChunk));
    ssize_t n;
    do {
      n = recv(fd_, storage_.data() + end_, storage_.size() - end_, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
      *closed = true;
      return false;
    }
    if (n < 0) return false;
    end_ += static_cast<std::size_t>(n);
  }
  return true;
}

FrameReader::Result FrameReader::Next(Frame *frame, std::string *error) {
  bool closed = false;
  if (!Fill(kHeaderBytes, &closed)) {
    if (closed && end_ == begin_) return Result::Closed;
    if (closed) {
      *error = "truncated header";
      return Result::Malformed;
    }
    *error = std::strerror(errno);
    return Result::Failed;
  }
  std::optional<Header> header =
      DecodeHeader(std::span<const std::uint8_t>(storage_.data() + begin_, kHeaderBytes), error);
  if (!header) return Result::Malformed;
  if (!Fill(kHeaderBytes + header->bodyLength, &closed)) {
    if (closed) {
      *error = "truncated message";
      return Result::Malformed;
    }
    *error = std::strerror(errno);
    return Result::Failed;
  }
  std::span<const std::uint8_t> body(storage_.data() + begin_ + kHeaderBytes, header->bodyLength);
  std::optional<Message> message = DecodeBody(header->type, body, error);
  if (!message) return Result::Malformed;
  begin_ += kHeaderBytes + header->bodyLength;
  frame->header = *header;
  frame->message = std::move(*message);
  return Result::Frame;
}

bool SendAll(int fd, const std::vector<std::uint8_t> &bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace service::wire
