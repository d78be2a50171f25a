#include "socket_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace visa {

Readiness WaitReadable(int fd, std::chrono::milliseconds timeout) {
  pollfd wait{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return Readiness::Failed;
  return ready == 0 ? Readiness::TimedOut : Readiness::Readable;
}

bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace visa
