// Where the service's socket lives when no path is given: a user service
// under $XDG_RUNTIME_DIR, the system service under /run.
#pragma once

#include <string>

namespace service {

inline constexpr const char *kSystemSocketPath = "/run/tavrin/kernel.sock";

// $XDG_RUNTIME_DIR/tavrin/kernel.sock, or empty when the variable is unset.
std::string UserSocketPath();
// The socket a program should use when none is named: the user service's if
// its socket exists, else the system service's if that exists, else empty.
std::string ExistingDefaultSocket();

}  // namespace service
