// The service's listening socket: handed over by systemd (socket
// activation), or created at the given or default path with the access a
// user or a system service gives it.
#pragma once

#include <optional>
#include <string>

namespace service {

struct Listener {
  int fd = -1;
  std::string path;      // empty when systemd owns the socket
  bool system = false;   // /run/tavrin and group access, not a user's own socket
};

// `path` empty: the default for this kind of service.
std::optional<Listener> OpenListener(const std::string &path, std::string *error);
void CloseListener(const Listener &listener);

}  // namespace service
