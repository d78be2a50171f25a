// Frames over a connected stream socket: a buffered reader that yields one
// decoded message at a time, and a sender that writes whole frames.
#pragma once

#include "wire_protocol.h"

#include <cstdint>
#include <string>
#include <vector>

namespace service::wire {

struct Frame {
  Header header;
  Message message;
};

class FrameReader {
 public:
  explicit FrameReader(int fd) : fd_(fd) {}

  enum class Result { Frame, Closed, Malformed, Failed };
  // Reads until one whole frame is buffered and decodes it. Closed: the peer
  // ended the stream between frames. Malformed: `error` says what was wrong
  // (a frame cut short by the end of the stream counts as truncated).
  Result Next(Frame *frame, std::string *error);

 private:
  bool Fill(std::size_t wanted, bool *closed);

  int fd_;
  // Storage that only grows; bytes [begin_, end_) are received and unread.
  std::vector<std::uint8_t> storage_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Writes every byte or fails (the peer went away). Never raises SIGPIPE.
bool SendAll(int fd, const std::vector<std::uint8_t> &bytes);

}  // namespace service::wire
