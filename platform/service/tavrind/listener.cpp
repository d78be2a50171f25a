#include "listener.h"

#include "service_log.h"

#include <service_paths.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace service {
namespace {

constexpr int kFirstActivatedFd = 3;  // systemd's SD_LISTEN_FDS_START

std::string Errno(const std::string &what) { return what + ": " + std::strerror(errno); }

// The socket systemd passed, when this process was socket-activated.
std::optional<int> ActivatedSocket() {
  const char *pid = std::getenv("LISTEN_PID");
  const char *fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr) return std::nullopt;
  if (std::strtol(pid, nullptr, 10) != getpid() || std::strtol(fds, nullptr, 10) < 1) return std::nullopt;
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  return kFirstActivatedFd;
}

bool FillAddress(const std::string &path, sockaddr_un *address) {
  if (path.empty() || path.size() >= sizeof address->sun_path) return false;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when a service already answers on `path`.
bool Answers(const sockaddr_un &address) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool answers = connect(probe, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
  close(probe);
  return answers;
}

}  // namespace

std::optional<Listener> OpenListener(const std::string &requested, std::string *error) {
  Listener listener;
  listener.system = geteuid() == 0;
  if (std::optional<int> fd = ActivatedSocket()) {
    listener.fd = *fd;
    fcntl(listener.fd, F_SETFD, FD_CLOEXEC);
    return listener;
  }
  listener.path = requested;
  if (listener.path.empty()) listener.path = listener.system ? kSystemSocketPath : UserSocketPath();
  if (listener.path.empty()) {
    *error = "XDG_RUNTIME_DIR is not set; name the socket with --socket PATH";
    return std::nullopt;
  }
  sockaddr_un address;
  if (!FillAddress(listener.path, &address)) {
    *error = "socket path too long: " + listener.path;
    return std::nullopt;
  }
  // The socket's own directory: private to a user service, searchable by
  // all for the system service (the socket's mode decides who connects).
  std::string directory = listener.path.substr(0, listener.path.rfind('/'));
  if (!directory.empty() && mkdir(directory.c_str(), listener.system ? 0755 : 0700) != 0 && errno != EEXIST) {
    *error = Errno("cannot create " + directory);
    return std::nullopt;
  }
  if (Answers(address)) {
    *error = "another service already answers on " + listener.path;
    return std::nullopt;
  }
  unlink(listener.path.c_str());  // a socket left by a service that died
  listener.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener.fd < 0) {
    *error = Errno("socket");
    return std::nullopt;
  }
  // Created without access for anyone else, then opened to the group.
  mode_t previous = umask(0177);
  int bound = bind(listener.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
  umask(previous);
  if (bound != 0 || listen(listener.fd, SOMAXCONN) != 0) {
    *error = Errno("cannot listen on " + listener.path);
    close(listener.fd);
    return std::nullopt;
  }
  if (listener.system) {
    if (const group *tavrin = getgrnam("tavrin")) {
      if (chown(listener.path.c_str(), static_cast<uid_t>(-1), tavrin->gr_gid) != 0) {
        *error = Errno("cannot give " + listener.path + " to group tavrin");
        CloseListener(listener);
        return std::nullopt;
      }
    } else {
      LogLine("group tavrin does not exist: only root can use " + listener.path +
              " (create it with systemd-sysusers or groupadd --system tavrin)");
    }
    chmod(listener.path.c_str(), 0660);
  }
  return listener;
}

void CloseListener(const Listener &listener) {
  if (listener.fd >= 0) close(listener.fd);
  if (!listener.path.empty()) unlink(listener.path.c_str());
}

}  // namespace service
