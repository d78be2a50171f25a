#include "file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

BoundedBytes ReadAtMost(const std::string &path, std::size_t limit) {
  auto unreadable = [](int number) { return BoundedBytes{BoundedBytes::Outcome::Unreadable, {}, -1, std::strerror(number)}; };
  bool standardInput = path == "-";
  Descriptor opened(standardInput ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int fd = standardInput ? STDIN_FILENO : opened.get();
  if (fd < 0) return unreadable(errno);
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return unreadable(errno);
    if (S_ISDIR(status.st_mode)) return unreadable(EISDIR);
    bool regular = S_ISREG(status.st_mode);
    if (regular && !standardInput && static_cast<std::uint64_t>(status.st_size) > limit) {
      return {BoundedBytes::Outcome::TooLarge, {}, static_cast<std::int64_t>(status.st_size), {}};
    }
    // One byte more than the limit, to see that the input ends within it.
    std::string bytes(limit + 1, '\0');
    if (regular && !standardInput && lseek(fd, 0, SEEK_SET) != 0) return unreadable(errno);
    ssize_t got = ReadFully(fd, bytes.data(), bytes.size());
    if (got < 0) return unreadable(errno);
    if (static_cast<std::size_t>(got) > limit) return {BoundedBytes::Outcome::TooLarge, {}, -1, {}};
    bytes.resize(static_cast<std::size_t>(got));
    // A regular file that changed size meanwhile is read once more; standard
    // input is read once, as it comes.
    if (!regular || standardInput || (fstat(fd, &status) == 0 && status.st_size == got)) {
      return {BoundedBytes::Outcome::Read, std::move(bytes), -1, {}};
    }
  }
  return {BoundedBytes::Outcome::Unreadable, {}, -1, "it keeps changing while it is read"};
}

}  // namespace tavrin_cli
