#include "service.h"

#include "client_session.h"
#include "instrument_census.h"
#include "reactor.h"
#include "service_log.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
// The most threads reading clients' messages at once; an idle client has none.
constexpr std::size_t kReadingThreads = 16;

// At most one log line per second for a refusal that may come in floods;
// the lines skipped meanwhile are counted in the next.
class ThrottledLog {
 public:
  void Line(const std::string &line) {
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::seconds(1)) {
      ++skipped_;
      return;
    }
    last_ = now;
    LogLine(skipped_ == 0 ? line : line + " (" + std::to_string(skipped_) + " more since the last such line)");
    skipped_ = 0;
  }

 private:
  std::chrono::steady_clock::time_point last_{};
  std::size_t skipped_ = 0;
};

class Sessions {
 public:
  explicit Sessions(const LimitSettings &limits) : ledger_(limits), reactor_(kReadingThreads) {}

  // Serves a connection, or closes it when the service holds as many as it
  // may; runs on the accept loop.
  void Add(int fd, PeerCredentials peer) {
    std::shared_ptr<ClientSession> session;
    {
      std::lock_guard guard(lock_);
      if (live_.size() >= ledger_.settings().maxClients) {
        close(fd);
        refusals_.Line("refused a client (pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid) +
                       "): at the limit of " + LimitName("--max-clients: clients served at once", ledger_.settings().maxClients));
        return;
      }
      std::uint64_t number = ++next_;
      session = std::make_shared<ClientSession>(fd, number, peer, [this] { return Census(); }, ledger_, reactor_);
      live_.emplace(number, session);
    }
    session->Start([this](ClientSession *ended) { Remove(ended->number()); });
  }

  // Ends every connection; false when some client's requests are still in
  // the driver after `patience`.
  bool DisconnectAllAndWait(std::chrono::milliseconds patience) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    {
      std::unique_lock guard(lock_);
      for (auto &entry : live_) entry.second->Disconnect();
      if (!emptied_.wait_until(guard, deadline, [this] { return live_.empty(); })) return false;
    }
    // The threads that ended the last sessions may still hold them.
    return ledger_.AwaitNoSessions(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero())));
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
    ++removed_;
    emptied_.notify_all();
  }

 public:
  // Gives memory that clients which left held back to the system (the
  // allocator keeps freed memory otherwise), at most once per call.
  void ReturnMemory() {
    {
      std::lock_guard guard(lock_);
      if (removed_ == trimmedAt_) return;
      trimmedAt_ = removed_;
    }
    malloc_trim(0);
  }

 private:

  // Made first, gone last: sessions use both to their end.
  ResourceLedger ledger_;
  Reactor reactor_;
  ThrottledLog refusals_;
  std::mutex lock_;
  std::condition_variable emptied_;
  std::map<std::uint64_t, std::shared_ptr<ClientSession>> live_;
  std::uint64_t next_ = 0;
  std::uint64_t removed_ = 0;
  std::uint64_t trimmedAt_ = 0;
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

int Serve(const Listener &listener, const LimitSettings &limits) {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signals < 0) {
    LogLine(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }
  Sessions sessions(limits);
  ThrottledLog outOfDescriptors;
  {
    InstrumentWatch watch;
    // Out of descriptors, accepting pauses: a connection waiting in the
    // backlog is taken once a client leaves, instead of spinning on it.
    constexpr int kPauseMs = 100;
    constexpr int kHousekeepingMs = 1000;
    bool paused = false;
    for (;;) {
      pollfd waits[2] = {{listener.fd, static_cast<short>(paused ? 0 : POLLIN), 0}, {signals, POLLIN, 0}};
      int ready = poll(waits, 2, paused ? kPauseMs : kHousekeepingMs);
      if (ready == 0) sessions.ReturnMemory();
      if (ready < 0) {
        if (errno == EINTR) continue;
        LogLine(std::string("poll: ") + std::strerror(errno));
        break;
      }
      if (waits[1].revents != 0) {
        LogLine("stopping");
        break;
      }
      paused = false;
      if (waits[0].revents == 0) continue;
      int client = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EMFILE || errno == ENFILE) {
          paused = true;
          rlimit descriptors{};
          getrlimit(RLIMIT_NOFILE, &descriptors);
          outOfDescriptors.Line(std::string("out of file descriptors (") + std::strerror(errno) + ", limit " +
                                std::to_string(descriptors.rlim_cur) + ", " + std::to_string(sessions.Count()) +
                                " clients): accepting paused");
        } else if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
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
