#include "rpc_connection.h"

#include "log.h"
#include "rpc_record.h"
#include "socket_io.h"

#include <sys/socket.h>

#include <cerrno>

namespace visa {

void ServeRpcConnection(int fd, const std::string &peer, const std::vector<RpcProgram *> &programs,
                        Gateway &gateway, bool abortChannel) {
  ConnectionState state;
  state.peer = peer;
  state.abortChannel = abortChannel;
  RecordReader reader(kMaxRecord);
  std::vector<std::uint8_t> record;
  char buffer[16384];
  const char *ending = nullptr;
  auto idleSince = std::chrono::steady_clock::now();
  while (ending == nullptr) {
    const auto ready = WaitReadable(fd, std::chrono::milliseconds(250));
    if (gateway.stopping) break;
    if (ready == Readiness::TimedOut) {
      // A connection that holds no link has no business being silent long;
      // one that holds links is closed for idleness only when asked to.
      const auto silent = std::chrono::steady_clock::now() - idleSince;
      const bool holdsLinks = !state.links.empty() || (state.abortChannel && gateway.links.Holds(peer));
      if (!holdsLinks && silent >= gateway.options.silentTimeout)
        ending = "silent";
      else if (holdsLinks && gateway.options.idleTimeout.count() > 0 &&
               silent >= gateway.options.idleTimeout)
        ending = "idle";
      continue;
    }
    const ssize_t got = ready == Readiness::Readable ? recv(fd, buffer, sizeof buffer, 0) : -1;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (reader.InsideRecord()) Log("%s: connection ended inside a message (truncated)", peer.c_str());
      break;
    }
    idleSince = std::chrono::steady_clock::now();
    std::string_view input(buffer, static_cast<std::size_t>(got));
    while (!input.empty() && ending == nullptr) {
      const auto status = reader.Feed(input, record);
      if (status == RecordReader::Status::TooLarge) {
        Log("%s: message larger than %zu bytes, closing the connection", peer.c_str(), kMaxRecord);
        ending = "oversized message";
      } else if (status == RecordReader::Status::Complete) {
        Dispatched out = DispatchCall(record, programs, state);
        if (!out.reply.empty()) {
          auto framed = FrameRecord(out.reply);
          if (!SendAll(fd, std::string_view(reinterpret_cast<const char *>(framed.data()), framed.size())))
            ending = "client gone";
        }
        if (out.closeAfter) {
          Log("%s: %s, closing the connection", peer.c_str(), out.problem.c_str());
          ending = "malformed message";
        }
        idleSince = std::chrono::steady_clock::now();
      }
    }
  }
  if (ending != nullptr && std::string_view(ending) == "idle")
    Log("%s: idle for %llds, closing the connection and its %zu link(s)", peer.c_str(),
        static_cast<long long>(gateway.options.idleTimeout.count()), state.links.size());
  if (ending != nullptr && std::string_view(ending) == "silent")
    Log("%s: silent for %llds without a link, closing the connection", peer.c_str(),
        static_cast<long long>(gateway.options.silentTimeout.count()));
  for (RpcProgram *program : programs) program->Closed(state);
}

}  // namespace visa
