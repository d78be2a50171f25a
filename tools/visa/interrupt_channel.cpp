#include "interrupt_channel.h"

#include "core_arguments.h"
#include "log.h"
#include "rpc_record.h"
#include "socket_io.h"
#include "vxi11_core.h"  // generated from vxi11_core.x

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace visa {
namespace {

// How long connecting to the client's interrupt server may take.
constexpr int kConnectMillis = 2000;
// How often an armed link's instrument is looked at.
constexpr std::chrono::milliseconds kWatchPeriod{1};

int ConnectTo(const std::string &host, int port) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) return -1;
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool connected = false;
  if (fd >= 0) {
    connected = connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!connected && errno == EINPROGRESS) {
      pollfd wait{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      connected = poll(&wait, 1, kConnectMillis) == 1 &&
                  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
  }
  freeaddrinfo(found);
  if (!connected) {
    if (fd >= 0) close(fd);
    return -1;
  }
  const int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  // A client whose interrupt server stops reading must not hold the
  // gateway's thread: a request that cannot be sent in time is dropped.
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  const timeval sendLimit{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  return fd;
}

}  // namespace

std::unique_ptr<InterruptChannel> InterruptChannel::Open(const std::string &peer, int port, std::uint32_t program,
                                                         std::uint32_t version, SharedInstruments &instruments,
                                                         std::string &problem) {
  const int fd = ConnectTo(peer, port);
  if (fd < 0) {
    problem = "cannot connect to " + peer + " port " + std::to_string(port);
    return nullptr;
  }
  return std::unique_ptr<InterruptChannel>(new InterruptChannel(fd, program, version, instruments));
}

InterruptChannel::InterruptChannel(int fd, std::uint32_t program, std::uint32_t version,
                                   SharedInstruments &instruments)
    : fd_(fd), program_(program), version_(version), instruments_(instruments), watcher_([this] { Watch(); }) {}

InterruptChannel::~InterruptChannel() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  watcher_.join();
  close(fd_);
}

void InterruptChannel::Enable(std::int32_t link, int instrument, PartyId party, std::string handle) {
  std::lock_guard lock(mutex_);
  links_[link] = Watched{instrument, party, std::move(handle), false};
}

void InterruptChannel::Disable(std::int32_t link) {
  std::lock_guard lock(mutex_);
  links_.erase(link);
}

void InterruptChannel::Arm(std::int32_t link) {
  std::lock_guard lock(mutex_);
  if (auto it = links_.find(link); it != links_.end()) {
    it->second.armed = true;
    changed_.notify_all();
  }
}

bool InterruptChannel::SendRequest(const std::string &handle) {
  // A call without a reply awaited: the client's server answers or not.
  rpc_msg call{};
  call.rm_xid = xid_++;
  call.rm_direction = CALL;
  call.rm_call.cb_rpcvers = RPC_MSG_VERSION;
  call.rm_call.cb_prog = program_;
  call.rm_call.cb_vers = version_;
  call.rm_call.cb_proc = device_intr_srq;
  call.rm_call.cb_cred = _null_auth;
  call.rm_call.cb_verf = _null_auth;
  Device_SrqParms parms{};
  parms.handle.handle_len = static_cast<u_int>(handle.size());
  parms.handle.handle_val = const_cast<char *>(handle.data());
  std::vector<std::uint8_t> record(256);
  XDR xdr;
  xdrmem_create(&xdr, reinterpret_cast<char *>(record.data()), static_cast<u_int>(record.size()), XDR_ENCODE);
  const bool encoded = xdr_callmsg(&xdr, &call) && xdr_Device_SrqParms(&xdr, &parms);
  record.resize(encoded ? xdr_getpos(&xdr) : 0);
  XDR_DESTROY(&xdr);
  if (!encoded) return false;
  const auto framed = FrameRecord(record);
  // Whatever the client's server replied to earlier requests is not needed.
  char discard[512];
  while (recv(fd_, discard, sizeof discard, MSG_DONTWAIT) > 0) {
  }
  return SendAll(fd_, std::string_view(reinterpret_cast<const char *>(framed.data()), framed.size()));
}

void InterruptChannel::Watch() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    bool anyArmed = false;
    for (auto &[link, watched] : links_) {
      if (!watched.armed) continue;
      anyArmed = true;
      if (!instruments_[watched.instrument].AnswerWaiting(watched.party)) continue;
      watched.armed = false;
      if (!SendRequest(watched.handle)) Log("interrupt channel: a service request could not be sent");
    }
    if (anyArmed)
      changed_.wait_for(lock, kWatchPeriod);
    else
      changed_.wait(lock);
  }
}

}  // namespace visa
