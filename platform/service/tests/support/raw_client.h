// A client of tavrind that speaks the wire protocol itself, for the
// service's tests and benchmarks: connections the library would not make
// (thousands at once, requests it would never send, a process killed with
// requests in flight).
#pragma once

#include <frame_stream.h>
#include <wire_protocol.h>

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace raw_client {

// Connects to the service's socket; -1 when it cannot.
int Connect(const std::string &path);

// Sends `request` with `id` and reads frames until the one answering it.
bool Ask(int fd, service::wire::FrameReader &reader, const service::wire::Message &request, std::uint32_t id,
         service::wire::Message *reply);

// Starts a process that opens TAVRIN-0, sends `count` untimed reads of its
// interrogative pipe at once and then waits to be killed. Returns its pid
// once the reads are sent, or -1 when it could not open the instrument.
pid_t StartReadFlood(const std::string &socket, int count);

}  // namespace raw_client
