#include "gateway_server.h"

#include "instrument_io.h"
#include "log.h"
#include "raw_socket.h"
#include "rpc_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace visa {
namespace {

// The largest port mapper datagram taken; its calls are a few dozen bytes.
constexpr std::size_t kMaxDatagram = 8800;

std::string AddressText(const sockaddr_in &address) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return text;
}

}  // namespace

GatewayServer::GatewayServer(Gateway &gateway, AllowList allow)
    : gateway_(gateway), allow_(std::move(allow)), core_(gateway), portMapper_(gateway) {}

GatewayServer::~GatewayServer() {
  Reap(true);
  for (const Listener &listener : listeners_) close(listener.fd);
  if (registered_) WithdrawCorePort();
}

int GatewayServer::Bind(int type, int port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, gateway_.options.listen.c_str(), &address.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      (type == SOCK_STREAM && listen(fd, 16) != 0)) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool GatewayServer::Start() {
  const char *where = gateway_.options.listen.c_str();
  in_addr probe{};
  if (inet_pton(AF_INET, where, &probe) != 1) {
    Log("cannot listen on \"%s\": not an IPv4 address", where);
    return false;
  }
  const int core = Bind(SOCK_STREAM, gateway_.options.rpcPort);
  if (core < 0) {
    Log("cannot offer VXI-11 on %s port %d: %s", where, gateway_.options.rpcPort, std::strerror(errno));
    return false;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(core, reinterpret_cast<sockaddr *>(&bound), &length);
  gateway_.corePort = ntohs(bound.sin_port);
  listeners_.push_back({core, Kind::Core, -1});
  Log("VXI-11 core channel on %s port %d (devices inst<n> and fmt<n>)", where, gateway_.corePort.load());

  if (SystemPortMapperRuns()) {
    registered_ = RegisterCorePort(gateway_.corePort);
    if (registered_)
      Log("port mapper: registered with the system's rpcbind");
    else
      Log("port mapper: the system's rpcbind refused the registration; clients must be given port %d",
          gateway_.corePort.load());
  } else {
    const int stream = Bind(SOCK_STREAM, kPortMapperPort);
    const int datagram = stream < 0 ? -1 : Bind(SOCK_DGRAM, kPortMapperPort);
    if (datagram >= 0) {
      listeners_.push_back({stream, Kind::PortMapperStream, -1});
      listeners_.push_back({datagram, Kind::PortMapperDatagram, -1});
      ownPortMapper_ = true;
      Log("port mapper: no rpcbind runs; answering GETPORT on %s TCP and UDP port %d", where, kPortMapperPort);
    } else {
      Log("port mapper: no rpcbind runs and port %d cannot be bound (%s); clients must be given port %d",
          kPortMapperPort, std::strerror(errno), gateway_.corePort.load());
      if (stream >= 0) close(stream);
    }
  }

  for (int n = 0; n < kSocketInstruments; ++n) {
    const int port = gateway_.options.portBase + n;
    const int fd = port <= 65535 ? Bind(SOCK_STREAM, port) : -1;
    if (fd < 0) {
      Log("raw socket for %s on port %d not offered: %s", InstrumentName(n).c_str(), port,
          port <= 65535 ? std::strerror(errno) : "beyond the last port");
      continue;
    }
    listeners_.push_back({fd, Kind::RawSocket, n});
  }
  Log("raw SCPI sockets on %s ports %d and up (port %d + instrument number)", where, gateway_.options.portBase,
      gateway_.options.portBase);
  return true;
}

std::vector<int> GatewayServer::SocketPorts() const {
  std::vector<int> ports;
  for (const Listener &listener : listeners_)
    if (listener.kind == Kind::RawSocket) ports.push_back(gateway_.options.portBase + listener.instrument);
  return ports;
}

void GatewayServer::Accept(const Listener &listener) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  const std::string peer = AddressText(address);
  if (!allow_.Admits(address.sin_addr.s_addr)) {
    Log("%s: refused, not in the allowed networks", peer.c_str());
    close(fd);
    return;
  }
  if (listener.kind == Kind::RawSocket && !InstrumentPresent(listener.instrument)) {
    Log("%s: refused, %s is not present", peer.c_str(), InstrumentName(listener.instrument).c_str());
    close(fd);
    return;
  }
  if (!gateway_.connections.Take(peer)) {
    Log("%s: refused, too many connections from this client or in total", peer.c_str());
    close(fd);
    return;
  }
  Reap(false);
  auto worker = std::make_unique<Worker>();
  Worker *self = worker.get();
  worker->fd = fd;
  const Listener what = listener;
  worker->thread = std::thread([this, self, what, peer] {
    if (what.kind == Kind::RawSocket)
      ServeRawSocket(self->fd, peer, what.instrument, gateway_);
    else if (what.kind == Kind::Core)
      ServeRpcConnection(self->fd, peer, {&core_}, gateway_);
    else
      ServeRpcConnection(self->fd, peer, {&portMapper_}, gateway_);
    // The client sees the end at once; the descriptor is closed when the
    // thread is joined.
    shutdown(self->fd, SHUT_RDWR);
    gateway_.connections.Give(peer);
    self->done = true;
  });
  std::lock_guard lock(workersMutex_);
  workers_.push_back(std::move(worker));
}

void GatewayServer::AnswerDatagram(int fd) {
  std::vector<std::uint8_t> record(kMaxDatagram);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const ssize_t got = recvfrom(fd, record.data(), record.size(), MSG_TRUNC, reinterpret_cast<sockaddr *>(&address),
                               &length);
  if (got < 0) return;
  const std::string peer = AddressText(address);
  if (!allow_.Admits(address.sin_addr.s_addr)) {
    Log("%s: port mapper datagram refused, not in the allowed networks", peer.c_str());
    return;
  }
  if (static_cast<std::size_t>(got) > record.size()) {
    Log("%s: port mapper datagram larger than %zu bytes, dropped", peer.c_str(), kMaxDatagram);
    return;
  }
  record.resize(static_cast<std::size_t>(got));
  ConnectionState state;
  state.peer = peer;
  Dispatched out = DispatchCall(record, {&portMapper_}, state);
  if (out.closeAfter) Log("%s: port mapper datagram: %s", peer.c_str(), out.problem.c_str());
  if (!out.reply.empty())
    sendto(fd, out.reply.data(), out.reply.size(), 0, reinterpret_cast<sockaddr *>(&address), length);
}

void GatewayServer::Reap(bool all) {
  std::list<std::unique_ptr<Worker>> finished;
  {
    std::lock_guard lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (all) shutdown((*it)->fd, SHUT_RDWR);
      if (all || (*it)->done) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto &worker : finished) {
    worker->thread.join();
    close(worker->fd);
  }
}

void GatewayServer::Run(int stopFd) {
  std::vector<pollfd> waits;
  for (const Listener &listener : listeners_) waits.push_back({listener.fd, POLLIN, 0});
  waits.push_back({stopFd, POLLIN, 0});
  while (true) {
    for (pollfd &wait : waits) wait.revents = 0;
    if (poll(waits.data(), waits.size(), 1000) < 0 && errno != EINTR) break;
    if (waits.back().revents != 0) break;
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      if (waits[i].revents == 0) continue;
      if (listeners_[i].kind == Kind::PortMapperDatagram)
        AnswerDatagram(listeners_[i].fd);
      else
        Accept(listeners_[i]);
    }
    Reap(false);
  }
  gateway_.stopping = true;
  gateway_.locks.Shutdown();
  Reap(true);
}

}  // namespace visa
