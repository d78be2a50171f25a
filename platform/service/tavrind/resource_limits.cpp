#include "resource_limits.h"

namespace service {

std::string LimitName(const char *what, std::size_t value) {
  return std::string(what) + " (" + std::to_string(value) + ")";
}

std::optional<std::string> ResourceLedger::TakeHandle(uid_t user) {
  std::lock_guard guard(lock_);
  UserCounts &counts = users_[user];
  if (counts.handles >= settings_.handlesPerUser) {
    Forget(user);
    return LimitName("open handles per user", settings_.handlesPerUser);
  }
  ++counts.handles;
  return std::nullopt;
}

void ResourceLedger::ReleaseHandle(uid_t user) {
  std::lock_guard guard(lock_);
  auto it = users_.find(user);
  if (it == users_.end() || it->second.handles == 0) return;
  --it->second.handles;
  Forget(user);
}

std::optional<std::string> ResourceLedger::TakeRequest(uid_t user, std::size_t bytes) {
  std::lock_guard guard(lock_);
  if (bytes > settings_.bytesInAll - bytes_) return MemoryLimit();
  UserCounts &counts = users_[user];
  if (counts.requests >= settings_.requestsPerUser) {
    Forget(user);
    return LimitName("requests in flight per user", settings_.requestsPerUser);
  }
  ++counts.requests;
  bytes_ += bytes;
  return std::nullopt;
}

void ResourceLedger::ReleaseRequest(uid_t user, std::size_t bytes) {
  std::lock_guard guard(lock_);
  bytes_ -= bytes;
  auto it = users_.find(user);
  if (it == users_.end() || it->second.requests == 0) return;
  --it->second.requests;
  Forget(user);
}

bool ResourceLedger::TakeBytes(std::size_t bytes) {
  std::lock_guard guard(lock_);
  if (bytes > settings_.bytesInAll - bytes_) return false;
  bytes_ += bytes;
  return true;
}

void ResourceLedger::ReleaseBytes(std::size_t bytes) {
  std::lock_guard guard(lock_);
  bytes_ -= bytes;
}

std::string ResourceLedger::MemoryLimit() const {
  return LimitName("--max-client-memory: MiB held for all clients' messages and requests", settings_.bytesInAll >> 20);
}

std::optional<std::string> ResourceLedger::TakeThread() {
  std::lock_guard guard(lock_);
  if (threads_ >= settings_.requestThreads) return LimitName("threads running requests", settings_.requestThreads);
  ++threads_;
  return std::nullopt;
}

void ResourceLedger::ReleaseThread() {
  std::lock_guard guard(lock_);
  --threads_;
}

void ResourceLedger::SessionMade() {
  std::lock_guard guard(lock_);
  ++sessions_;
}

void ResourceLedger::SessionGone() {
  std::lock_guard guard(lock_);
  if (--sessions_ == 0) sessionsGone_.notify_all();
}

bool ResourceLedger::AwaitNoSessions(std::chrono::milliseconds patience) {
  std::unique_lock guard(lock_);
  return sessionsGone_.wait_for(guard, patience, [this] { return sessions_ == 0; });
}

std::size_t ResourceLedger::bytesHeld() const {
  std::lock_guard guard(lock_);
  return bytes_;
}

void ResourceLedger::Forget(uid_t user) {
  auto it = users_.find(user);
  if (it != users_.end() && it->second.handles == 0 && it->second.requests == 0) users_.erase(it);
}

}  // namespace service
