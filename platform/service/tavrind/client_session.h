// One connected program: its handle table, its requests in the driver and
// the end of it all. A session reads the client's messages on a thread the
// reactor lends it while the client talks (and parks with the reactor when
// it goes quiet), answers opens, closes and quick requests there, and hands
// requests that may wait on an instrument to worker threads of its own, so
// that a blocked read of one client never holds up another, nor the same
// client's other threads.
#pragma once

#include "reactor.h"
#include "resource_limits.h"

#include <frame_stream.h>
#include <shared_ring.h>
#include <wire_protocol.h>

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace service {

struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

class ClientSession : public std::enable_shared_from_this<ClientSession> {
 public:
  using CensusSource = std::function<wire::CensusReply()>;
  ClientSession(int fd, std::uint64_t number, PeerCredentials peer, CensusSource census, ResourceLedger &ledger,
                Reactor &reactor);
  ~ClientSession();

  // Starts reading the client's messages. `ended` runs once the client is
  // gone and everything it held is closed.
  void Start(std::function<void(ClientSession *)> ended);
  // Ends the connection from the service's side (shutdown of the service).
  void Disconnect();

  std::uint64_t number() const { return number_; }

 private:
  // A request waiting for a worker; it holds a reference on its file
  // object (km::ReferenceFile) until it has run.
  struct Job {
    std::uint32_t requestId;
    void *file;
    wire::Control control;
    std::size_t bytes;  // held against the client's and the service's limits
  };
  // A handle the client holds: the kernel's file object and the instrument
  // it names, for the log.
  struct HeldHandle {
    void *file;
    std::string instrument;
  };

  // Reads and handles the client's messages while they come; parks the
  // connection with the reactor once none came for kParkAfter.
  void ReadSome();
  // Counts what `reader` buffers against the service's memory limit.
  void ChargeBuffering(wire::FrameReader &reader);
  // Handles one message; false ends the connection with `reason`.
  bool Handle(wire::Frame &frame, std::string *reason);
  void HandleOpen(std::uint32_t requestId, const wire::Open &open);
  // Sets up the shared-memory channel; from then on it carries every message.
  bool HandleAttach(std::uint32_t requestId, std::string *reason);
  bool HandleClose(const wire::Close &close, std::string *reason);
  void HandleControl(std::uint32_t requestId, wire::Control control);
  // Answers a request with STATUS_INSUFFICIENT_RESOURCES, and logs the
  // limit that refused it the first time it does.
  void Refuse(std::uint32_t requestId, const wire::Message &reply, const std::string &limit);
  // Runs a request on a referenced file object and lets the reference go.
  void Execute(std::uint32_t requestId, void *file, wire::Control &control);
  void WorkerLoop();
  void Reply(const wire::Message &message, std::uint32_t requestId);
  // Ends the connection: drops queued requests and closes the handles.
  void Finish(const std::string &reason);
  // Logs the end and tells the service, once no worker runs any more.
  void End();
  std::string Describe() const;

  static constexpr std::size_t kMaxWorkers = 16;

  // Counts the session in the ledger from before its first member is made
  // until after its last is gone (the readers below give bytes back to it).
  struct LedgerEntry {
    explicit LedgerEntry(ResourceLedger &ledger) : ledger(ledger) { ledger.SessionMade(); }
    ~LedgerEntry() { ledger.SessionGone(); }
    ResourceLedger &ledger;
  };
  LedgerEntry ledgerEntry_;
  const int fd_;
  const std::uint64_t number_;
  const PeerCredentials peer_;
  bool greeted_ = false;
  const CensusSource census_;
  // The connection's messages are read whatever its requests do, so that its
  // end and its liveness probes are seen at once; requests beyond the limits
  // are refused instead.
  ResourceLedger &ledger_;
  Reactor &reactor_;
  // Where the client's messages are read from: the socket, then the shared
  // channel once it has one. Used by one reading thread at a time.
  wire::FrameReader socketReader_;
  std::unique_ptr<ring::ChannelSource> channelSource_;
  std::unique_ptr<wire::FrameReader> channelReader_;
  wire::FrameReader *reader_ = &socketReader_;
  std::function<void(ClientSession *)> ended_;

  std::mutex sendLock_;  // one reply written at a time; guards channel_ being set
  // The shared-memory channel once the client asked for one; else replies
  // go over the socket.
  std::unique_ptr<ring::Channel> channel_;
  std::atomic<bool> attached_{false};

  std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  std::map<std::uint32_t, HeldHandle> handles_;
  std::uint32_t nextHandle_ = 4;
  std::deque<Job> queue_;
  std::size_t inFlight_ = 0;  // queued or running on a worker
  std::size_t bytesHeld_ = 0;  // by those requests
  std::size_t idleWorkers_ = 0;
  std::size_t workers_ = 0;  // threads running WorkerLoop
  bool stopping_ = false;
  bool ending_ = false;  // Finish is done; the last worker ends the session
  std::string endLine_;
  std::set<std::string> limitsLogged_;
};

}  // namespace service
