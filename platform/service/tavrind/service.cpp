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
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace service {
namespace {

constexpr std::chrono::milliseconds kStopPatience{1500};

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

  // Ends every connection; false when some client's requests are still in
  // the driver after `patience`.
  bool DisconnectAllAndWait(std::chrono::milliseconds patience) {
    std::unique_lock guard(lock_);
    for (auto &entry : live_) entry.second->Disconnect();
    return emptied_.wait_for(guard, patience, [this] { return live_.empty(); });
  }

  std::size_t Count() {
    std::lock_guard guard(lock_);
    return live_.size();
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
    // Closing the clients' handles ends their requests in the driver; the
    // service stops within two seconds even if one of them does not end.
    if (!sessions.DisconnectAllAndWait(kStopPatience)) {
      LogLine("stopped with " + std::to_string(sessions.Count()) + " client(s) whose requests did not end");
      CloseListener(listener);
      _exit(1);
    }
  }
  close(signals);
  return 0;
}

}  // namespace service
