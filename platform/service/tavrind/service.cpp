#include "service.h"

#include "client_session.h"
#include "instrument_census.h"
#include "service_log.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace service {
namespace {

class Sessions {
 public:
  void Add(int fd, PeerCredentials peer) {
    std::shared_ptr<ClientSession> session;
    {
      std::lock_guard guard(lock_);
      std::uint64_t number = ++next_;
      session = std::make_shared<ClientSession>(fd, number, peer, [this] { return Census(); });
      live_.emplace(number, session);
    }
    session->Start([this](ClientSession *ended) { Remove(ended->number()); });
  }

  void DisconnectAllAndWait() {
    std::unique_lock guard(lock_);
    for (auto &entry : live_) entry.second->Disconnect();
    emptied_.wait(guard, [this] { return live_.empty(); });
  }

 private:
  wire::CensusReply Census() {
    std::uint32_t clients;
    {
      std::lock_guard guard(lock_);
      clients = static_cast<std::uint32_t>(live_.size());
    }
    return TakeCensus(clients);
  }

  void Remove(std::uint64_t number) {
    std::lock_guard guard(lock_);
    live_.erase(number);
    emptied_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable emptied_;
  std::map<std::uint64_t, std::shared_ptr<ClientSession>> live_;
  std::uint64_t next_ = 0;
};

PeerCredentials CredentialsOf(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  PeerCredentials peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
  }
  return peer;
}

}  // namespace

int Serve(const Listener &listener) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signals < 0) {
    LogLine(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }
  Sessions sessions;
  {
    InstrumentWatch watch;
    pollfd waits[2] = {{listener.fd, POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        LogLine(std::string("poll: ") + std::strerror(errno));
        break;
      }
      if (waits[1].revents != 0) {
        LogLine("stopping");
        break;
      }
      if (waits[0].revents == 0) continue;
      int client = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
          LogLine(std::string("accept: ") + std::strerror(errno));
        }
        continue;
      }
      sessions.Add(client, CredentialsOf(client));
    }
    sessions.DisconnectAllAndWait();
  }
  close(signals);
  return 0;
}

}  // namespace service
