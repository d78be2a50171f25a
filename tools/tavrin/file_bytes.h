// A file's bytes for the commands that send them: read whole at its own
// size, or front to back in pieces.
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

// The file's bytes, read with one read of the size the file has (a file that
// changes size meanwhile is read again); nullopt when it cannot be read.
std::optional<std::string> ReadFileBytes(const std::string &path);

}  // namespace tavrin_cli
