// A file's bytes for the commands that send them: read whole up to a
// limit, or front to back in pieces.
#pragma once

#include <download.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tavrin_cli {

// A regular file read front to back, each read of the size asked: the image
// source of a download.
class FileReader final : public Client::Image_Source {
 public:
  explicit FileReader(const std::string &path);
  ~FileReader() override;
  FileReader(const FileReader &) = delete;
  FileReader &operator=(const FileReader &) = delete;

  // False when the file could not be opened or is not a regular file.
  bool Open() const { return fd_ >= 0; }
  // Its size when it was opened.
  std::int64_t Size() const override { return size_; }
  // The next `length` bytes into `data`; false when they cannot be read
  // (a file that shrank included).
  bool Read(char *data, std::size_t length) override;

 private:
  int fd_ = -1;
  std::int64_t size_ = 0;
};

// What reading the bytes of one write brought.
struct BoundedBytes {
  enum class Outcome { Read, TooLarge, Unreadable } outcome;
  std::string bytes;        // Read: all of them
  std::int64_t size = -1;   // TooLarge: the file's size, -1 when only "more" is known
  std::string error;        // Unreadable: why
};

// The bytes of a file, or of standard input for "-", when there are at most
// `limit` of them. A regular file larger than that is refused by its size,
// before anything is read; anything else (a pipe, a terminal) is read no
// further than one byte beyond the limit. A regular file whose size changes
// under the read is read again (and given up if it keeps changing), so that
// what is sent is always one whole state of it.
BoundedBytes ReadAtMost(const std::string &path, std::size_t limit);

}  // namespace tavrin_cli
