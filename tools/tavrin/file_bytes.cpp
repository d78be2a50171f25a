#include "file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tavrin_cli {
namespace {

// Closes the descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to `length` bytes at `data`, going on after short reads and
// signals; the count read (less at the end of the file), or -1.
ssize_t ReadFully(int fd, char *data, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

FileReader::FileReader(const std::string &path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  struct stat status {};
  if (fd_ >= 0 && (fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))) {
    close(fd_);
    fd_ = -1;
  }
  if (fd_ >= 0) size_ = status.st_size;
}

FileReader::~FileReader() {
  if (fd_ >= 0) close(fd_);
}

bool FileReader::Read(char *data, std::size_t length) {
  return fd_ >= 0 && ReadFully(fd_, data, length) == static_cast<ssize_t>(length);
}

std::optional<std::string> ReadFileBytes(const std::string &path) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  // A file whose size changes under the read is read again (and given up
  // if it keeps changing): what is sent is always one whole state of it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    // One byte more than the size, to see that the file ends where it said.
    char beyond = 0;
    if (lseek(file.get(), 0, SEEK_SET) != 0) return std::nullopt;
    ssize_t got = ReadFully(file.get(), bytes.data(), bytes.size());
    if (got < 0) return std::nullopt;
    if (static_cast<std::size_t>(got) == bytes.size()) {
      ssize_t more = ReadFully(file.get(), &beyond, 1);
      if (more < 0) return std::nullopt;
      if (more == 0) return bytes;
    }
  }
  return std::nullopt;
}

}  // namespace tavrin_cli
