// What one client, one user and all clients together may make the service
// hold: connections, handles, requests in flight and the bytes those
// requests carry. Each refusal names the limit that refused it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace service {

struct LimitSettings {
  std::size_t maxClients = 1024;
  std::size_t handlesPerClient = 1024;
  std::size_t handlesPerUser = 8192;
  std::size_t requestsPerClient = 1024;
  std::size_t requestsPerUser = 8192;
  // Bytes of requests queued or in the driver (their input and output
  // buffers), and of messages still arriving.
  std::size_t bytesPerClient = std::size_t{64} << 20;
  std::size_t bytesInAll = std::size_t{1} << 30;
  // Threads running requests that wait on an instrument, for all clients.
  std::size_t requestThreads = 1024;
};

// The service-wide counts behind the per-user and overall limits; a
// client's own counts are its session's.
class ResourceLedger {
 public:
  explicit ResourceLedger(LimitSettings settings) : settings_(settings) {}
  const LimitSettings &settings() const { return settings_; }

  // Each Take returns the limit that refuses it (nullopt: taken).
  std::optional<std::string> TakeHandle(uid_t user);
  void ReleaseHandle(uid_t user);
  std::optional<std::string> TakeRequest(uid_t user, std::size_t bytes);
  void ReleaseRequest(uid_t user, std::size_t bytes);

  // Bytes buffered for messages still arriving, counted with the requests'
  // against bytesInAll.
  bool TakeBytes(std::size_t bytes);
  void ReleaseBytes(std::size_t bytes);
  std::string MemoryLimit() const;
  std::optional<std::string> TakeThread();
  void ReleaseThread();

  std::size_t bytesHeld() const;

  // Sessions in existence (a detached worker may hold one after its client
  // ended): the service waits for none to be left before the ledger goes.
  void SessionMade();
  void SessionGone();
  bool AwaitNoSessions(std::chrono::milliseconds patience);

 private:
  struct UserCounts {
    std::size_t handles = 0;
    std::size_t requests = 0;
  };
  void Forget(uid_t user);

  const LimitSettings settings_;
  mutable std::mutex lock_;
  std::map<uid_t, UserCounts> users_;
  std::size_t bytes_ = 0;
  std::size_t threads_ = 0;
  std::size_t sessions_ = 0;
  std::condition_variable sessionsGone_;
};

// "requests in flight per user (8192)"
std::string LimitName(const char *what, std::size_t value);

}  // namespace service
