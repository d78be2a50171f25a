// Small helpers over one connected socket.
#pragma once

#include <chrono>
#include <string_view>

namespace visa {

enum class Readiness { Readable, TimedOut, Failed };
Readiness WaitReadable(int fd, std::chrono::milliseconds timeout);
// Sends every byte (never raising SIGPIPE); false when the peer is gone.
bool SendAll(int fd, std::string_view bytes);

}  // namespace visa
