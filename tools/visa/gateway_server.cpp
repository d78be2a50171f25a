#include "gateway_server.h"

#include "instrument_io.h"
#include "log.h"
#include "raw_socket.h"
#include "rpc_connection.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace visa {
namespace {

// The largest port mapper datagram taken; its calls are a few dozen bytes.
constexpr std::size_t kMaxDatagram = 8800;

// Keep-alive probes find a client whose machine vanished, so that its links
// and locks go back within minutes although links are never closed for
// idleness.
constexpr int kKeepAliveIdleSeconds = 60;
constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

void TuneConnection(int fd) {
  const int yes = 1;
  // Answers and replies are written whole: each goes out at once.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &yes, sizeof yes);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSeconds, sizeof kKeepAliveIdleSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSeconds, sizeof kKeepAliveIntervalSeconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

void SetPort(sockaddr_storage &address, int port) {
  const auto value = htons(static_cast<std::uint16_t>(port));
  if (address.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6 &>(address).sin6_port = value;
  else
    reinterpret_cast<sockaddr_in &>(address).sin_port = value;
}

int PortOf(const sockaddr_storage &address) {
  return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(address).sin6_port
                                             : reinterpret_cast<const sockaddr_in &>(address).sin_port);
}

// The port a socket was bound to (asked for as 0: any free one).
int BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
  return PortOf(bound);
}

socklen_t LengthOf(const sockaddr_storage &address) {
  return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

GatewayServer::GatewayServer(Gateway &gateway, AllowList allow)
    : gateway_(gateway),
      allow_(std::move(allow)),
      core_(gateway),
      abort_(gateway.linkDirectory, gateway.instruments),
      portMapper_(gateway.corePort) {}

GatewayServer::~GatewayServer() {
  Reap(true);
  for (const Listener &listener : listeners_) close(listener.fd);
  if (registered_) WithdrawCorePort();
}

int GatewayServer::Bind(int type, int port, const sockaddr_storage &where) {
  const int fd = socket(where.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_storage address = where;
  SetPort(address, port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), LengthOf(address)) != 0 ||
      (type == SOCK_STREAM && listen(fd, 64) != 0)) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

bool GatewayServer::ParseListenAddress() {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(gateway_.options.listen.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  std::memcpy(&listen_, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  return true;
}

bool GatewayServer::LoopbackOnly() const {
  if (listen_.ss_family == AF_INET6)
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 &>(listen_).sin6_addr);
  return (ntohl(reinterpret_cast<const sockaddr_in &>(listen_).sin_addr.s_addr) >> 24) == 127;
}

// A port mapper on one IPv4 address of an interface still answers the
// broadcasts of discovery: its datagram socket takes every address, and only
// datagrams to the listening address or to its interface's broadcast
// addresses are answered, from the listening address.
int GatewayServer::BindDiscoverableDatagram() {
  const in_addr own = reinterpret_cast<const sockaddr_in &>(listen_).sin_addr;
  ifaddrs *interfaces = nullptr;
  if (getifaddrs(&interfaces) == 0) {
    for (ifaddrs *it = interfaces; it != nullptr; it = it->ifa_next) {
      if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
      if (reinterpret_cast<sockaddr_in *>(it->ifa_addr)->sin_addr.s_addr != own.s_addr) continue;
      listenInterface_ = static_cast<int>(if_nametoindex(it->ifa_name));
      if ((it->ifa_flags & IFF_BROADCAST) && it->ifa_broadaddr != nullptr)
        broadcast_ = reinterpret_cast<sockaddr_in *>(it->ifa_broadaddr)->sin_addr.s_addr;
    }
    freeifaddrs(interfaces);
  }
  sockaddr_storage any{};
  any.ss_family = AF_INET;
  const int fd = Bind(SOCK_DGRAM, kPortMapperPort, any);
  if (fd < 0) return -1;
  const int yes = 1;
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &yes, sizeof yes);
  datagramFiltered_ = true;
  return fd;
}

bool GatewayServer::Start() {
  const char *where = gateway_.options.listen.c_str();
  if (!ParseListenAddress()) {
    Log("cannot listen on \"%s\": not an IPv4 or IPv6 address", where);
    return false;
  }
  const int core = Bind(SOCK_STREAM, gateway_.options.rpcPort, listen_);
  if (core < 0) {
    Log("cannot offer VXI-11 on %s port %d: %s", where, gateway_.options.rpcPort, std::strerror(errno));
    return false;
  }
  gateway_.corePort = BoundPort(core);
  listeners_.push_back({core, Kind::Core, -1});
  Log("VXI-11 core channel on %s port %d (devices inst<n> and fmt<n>)", where, gateway_.corePort.load());
  const int abort = Bind(SOCK_STREAM, 0, listen_);
  if (abort >= 0) {
    gateway_.abortPort = BoundPort(abort);
    listeners_.push_back({abort, Kind::Abort, -1});
    Log("VXI-11 abort channel on %s port %d", where, gateway_.abortPort.load());
  } else {
    Log("VXI-11 abort channel not offered: %s", std::strerror(errno));
  }

  if (SystemPortMapperRuns()) {
    registered_ = RegisterCorePort(gateway_.corePort);
    if (registered_)
      Log("port mapper: registered with the system's rpcbind");
    else
      Log("port mapper: the system's rpcbind refused the registration; clients must be given port %d",
          gateway_.corePort.load());
  } else {
    const int stream = Bind(SOCK_STREAM, kPortMapperPort, listen_);
    const bool oneAddress = listen_.ss_family == AF_INET && !LoopbackOnly() &&
                            reinterpret_cast<const sockaddr_in &>(listen_).sin_addr.s_addr != htonl(INADDR_ANY);
    const int datagram = stream < 0 ? -1 : oneAddress ? BindDiscoverableDatagram() : Bind(SOCK_DGRAM, kPortMapperPort, listen_);
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
    const int fd = port <= 65535 ? Bind(SOCK_STREAM, port, listen_) : -1;
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
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int fd = accept4(listener.fd, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
  if (fd < 0) return;
  const std::string peer = AddressText(address);
  if (!allow_.Admits(address)) {
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
  TuneConnection(fd);
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
    else if (what.kind == Kind::Abort)
      ServeRpcConnection(self->fd, peer, {&abort_}, gateway_, true);
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
  sockaddr_storage address{};
  iovec data{record.data(), record.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &address;
  message.msg_namelen = sizeof address;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &message, MSG_TRUNC);
  if (got < 0) return;
  if (datagramFiltered_) {
    const in_pktinfo *arrival = nullptr;
    for (cmsghdr *item = CMSG_FIRSTHDR(&message); item != nullptr; item = CMSG_NXTHDR(&message, item))
      if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO)
        arrival = reinterpret_cast<const in_pktinfo *>(CMSG_DATA(item));
    const in_addr own = reinterpret_cast<const sockaddr_in &>(listen_).sin_addr;
    const bool toUs = arrival != nullptr &&
                      (arrival->ipi_addr.s_addr == own.s_addr ||
                       (arrival->ipi_ifindex == listenInterface_ &&
                        (arrival->ipi_addr.s_addr == htonl(INADDR_BROADCAST) ||
                         (broadcast_ != 0 && arrival->ipi_addr.s_addr == broadcast_))));
    if (!toUs) return;  // meant for another address of this machine
  }
  const std::string peer = AddressText(address);
  if (!allow_.Admits(address)) {
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
  if (out.reply.empty()) return;
  iovec reply{out.reply.data(), out.reply.size()};
  msghdr answer{};
  answer.msg_name = &address;
  answer.msg_namelen = message.msg_namelen;
  answer.msg_iov = &reply;
  answer.msg_iovlen = 1;
  alignas(cmsghdr) char source[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (datagramFiltered_) {
    // The answer comes from the listening address, whatever the call was sent to.
    answer.msg_control = source;
    answer.msg_controllen = sizeof source;
    cmsghdr *item = CMSG_FIRSTHDR(&answer);
    item->cmsg_level = IPPROTO_IP;
    item->cmsg_type = IP_PKTINFO;
    item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo from{};
    from.ipi_spec_dst = reinterpret_cast<const sockaddr_in &>(listen_).sin_addr;
    std::memcpy(CMSG_DATA(item), &from, sizeof from);
  }
  sendmsg(fd, &answer, 0);
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
