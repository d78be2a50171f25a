#include "client_session.h"

#include "service_log.h"
#include "transfer_rules.h"

#include <frame_stream.h>
#include <km/standin.h>

#include <sys/socket.h>
#include <unistd.h>

#include <tavrin_ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <cstdio>
#include <cstring>

namespace service {
namespace {

// How long a reply waits for a client that does not read its replies.
constexpr std::chrono::seconds kReplyPatience{5};
// A connection with nothing to read for this long gives its thread back.
constexpr std::chrono::milliseconds kParkAfter{5};
// A worker with no request for this long ends.
constexpr std::chrono::milliseconds kWorkerIdle{200};

// "\??\TAVRIN-0" as the log names it: the device name, 8-bit.
std::string InstrumentOf(const std::u16string &path) {
  std::string name;
  for (char16_t unit : path.substr(4)) name.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return name;
}

}  // namespace

ClientSession::ClientSession(int fd, std::uint64_t number, PeerCredentials peer, CensusSource census,
                             ResourceLedger &ledger, Reactor &reactor)
    : ledgerEntry_(ledger), fd_(fd), number_(number), peer_(peer), census_(std::move(census)), ledger_(ledger),
      reactor_(reactor), socketReader_(fd) {
  timeval sendLimit{static_cast<time_t>(kReplyPatience.count()), 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
  ChargeBuffering(socketReader_);
}

void ClientSession::ChargeBuffering(wire::FrameReader &reader) {
  reader.SetMemoryAccount(
      [this](std::ptrdiff_t bytes) {
        if (bytes > 0) return ledger_.TakeBytes(static_cast<std::size_t>(bytes));
        ledger_.ReleaseBytes(static_cast<std::size_t>(-bytes));
        return true;
      },
      "at the limit of " + ledger_.MemoryLimit());
}

ClientSession::~ClientSession() { close(fd_); }

std::string ClientSession::Describe() const {
  char text[96];
  std::snprintf(text, sizeof text, "client %llu (pid %d, uid %u, gid %u)", static_cast<unsigned long long>(number_),
                static_cast<int>(peer_.pid), static_cast<unsigned>(peer_.uid), static_cast<unsigned>(peer_.gid));
  return text;
}

void ClientSession::Start(std::function<void(ClientSession *)> ended) {
  ended_ = std::move(ended);
  LogLine(Describe() + " connected");
  reactor_.Run([self = shared_from_this()] { self->ReadSome(); });
}

void ClientSession::Disconnect() { shutdown(fd_, SHUT_RDWR); }

void ClientSession::ReadSome() {
  if (channel_) channel_->DisarmWake();
  std::string reason;
  for (;;) {
    if (attached_ && !channelReader_) {
      // The client waits for the attach reply before it sends anything else.
      if (socketReader_.Buffered() != 0) {
        reason = "dropped: a message on the socket after the shared channel was asked for";
        break;
      }
      channelSource_ = std::make_unique<ring::ChannelSource>(channel_.get());
      channelReader_ = std::make_unique<wire::FrameReader>(channelSource_.get());
      ChargeBuffering(*channelReader_);
      reader_ = channelReader_.get();
    }
    reader_->SetWaitLimit(static_cast<int>(kParkAfter.count()));
    wire::Frame frame;
    std::string error;
    wire::FrameReader::Result result = reader_->Next(&frame, &error);
    if (result == wire::FrameReader::Result::TimedOut) {
      if (channel_ && channel_->ArmWake()) continue;  // bytes came meanwhile
      // The reactor resumes this on the client's next bytes or its end; this
      // thread touches the session no more.
      reactor_.Park(this, shared_from_this(), fd_, channel_ ? channel_->wakeFd() : -1,
                    [self = shared_from_this()] { self->ReadSome(); });
      return;
    }
    if (result == wire::FrameReader::Result::Closed) {
      reason = "disconnected";
      break;
    }
    if (result == wire::FrameReader::Result::Failed) {
      reason = "disconnected (" + error + ")";
      break;
    }
    if (result == wire::FrameReader::Result::Malformed) {
      reason = "dropped: " + error;
      break;
    }
    if (!Handle(frame, &reason)) {
      reason = "dropped: " + reason;
      break;
    }
  }
  Finish(reason);
}

bool ClientSession::Handle(wire::Frame &frame, std::string *reason) {
  wire::Message &message = frame.message;
  std::uint32_t id = frame.header.requestId;
  if (!greeted_) {
    auto *hello = std::get_if<wire::Hello>(&message);
    if (hello == nullptr) return *reason = "first message was not a greeting", false;
    wire::HelloReply reply;
    reply.servicePid = static_cast<std::uint32_t>(getpid());
    Reply(reply, id);
    if (hello->version != wire::kVersion) {
      return *reason = "protocol version " + std::to_string(hello->version) + " is not served", false;
    }
    greeted_ = true;
    return true;
  }
  if (const auto *open = std::get_if<wire::Open>(&message)) {
    HandleOpen(id, *open);
    return true;
  }
  if (const auto *close = std::get_if<wire::Close>(&message)) return HandleClose(*close, reason);
  if (auto *control = std::get_if<wire::Control>(&message)) {
    HandleControl(id, std::move(*control));
    return true;
  }
  if (std::holds_alternative<wire::Census>(message)) {
    Reply(census_(), id);
    return true;
  }
  if (std::holds_alternative<wire::Attach>(message)) return HandleAttach(id, reason);
  *reason = std::holds_alternative<wire::Hello>(message) ? "a second greeting" : "a reply sent to the service";
  return false;
}

void ClientSession::HandleOpen(std::uint32_t requestId, const wire::Open &open) {
  wire::OpenReply reply;
  std::size_t held;
  {
    std::lock_guard guard(lock_);
    held = handles_.size();
  }
  const LimitSettings &limits = ledger_.settings();
  if (held >= limits.handlesPerClient) {
    return Refuse(requestId, reply, LimitName("open handles per client", limits.handlesPerClient));
  }
  if (std::optional<std::string> limit = ledger_.TakeHandle(peer_.uid)) return Refuse(requestId, reply, *limit);
  PFILE_OBJECT file = nullptr;
  // Programs name devices in the device namespace ("\\.\NAME" is "\??\NAME"),
  // as kernel32 sends them; the kernel's other names stay its own.
  if (open.path.rfind(u"\\??\\", 0) != 0) {
    ledger_.ReleaseHandle(peer_.uid);
    reply.status = static_cast<std::int32_t>(STATUS_OBJECT_PATH_NOT_FOUND);
    Reply(reply, requestId);
    return;
  }
  reply.status = km::OpenFile(open.path, &file);
  if (!NT_SUCCESS(reply.status)) ledger_.ReleaseHandle(peer_.uid);
  std::string instrument = InstrumentOf(open.path);
  if (NT_SUCCESS(reply.status)) {
    std::lock_guard guard(lock_);
    while (nextHandle_ == 0 || handles_.count(nextHandle_) != 0) nextHandle_ += 4;
    reply.handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(reply.handle, HeldHandle{file, instrument});
  }
  Reply(reply, requestId);
  // Who used a shared instrument can be traced from the log.
  if (NT_SUCCESS(reply.status)) {
    LogLine(Describe() + ": handle " + std::to_string(reply.handle) + " opened " + instrument);
  }
}

bool ClientSession::HandleClose(const wire::Close &close, std::string *reason) {
  void *file;
  {
    std::lock_guard guard(lock_);
    auto it = handles_.find(close.handle);
    if (it == handles_.end()) return *reason = "close of a handle it does not hold", false;
    file = it->second.file;
    handles_.erase(it);
  }
  // The driver ends the file's own requests at cleanup; the file object
  // stays until the last of them has returned.
  km::CloseFile(static_cast<PFILE_OBJECT>(file));
  ledger_.ReleaseHandle(peer_.uid);
  return true;
}

bool ClientSession::HandleAttach(std::uint32_t requestId, std::string *reason) {
  if (attached_) return *reason = "a second request for the shared channel", false;
  ring::ChannelFds fds;
  wire::AttachReply reply;
  if (!ring::CreateChannelFds(&fds)) {
    // The client goes on over the socket.
    LogLine(Describe() + ": no shared channel (" + std::strerror(errno) + "); serving it over the socket");
    reply.status = static_cast<std::int32_t>(STATUS_INSUFFICIENT_RESOURCES);
    Reply(reply, requestId);
    return true;
  }
  reply.ringBytes = ring::kRingBytes;
  const int passed[] = {fds.region, fds.serviceWake, fds.clientWake};
  std::lock_guard guard(sendLock_);
  if (!wire::SendAll(fd_, wire::Encode(reply, requestId), passed)) {
    ring::CloseChannelFds(&fds);
    return true;  // the client is gone; the reader sees the end
  }
  channel_ = std::make_unique<ring::Channel>(ring::Channel::Side::Service, fds, fd_);
  if (!channel_->mapped()) return *reason = "the shared channel could not be mapped", false;
  channel_->SetRoomWaitLimit(static_cast<int>(std::chrono::milliseconds(kReplyPatience).count()));
  attached_ = true;
  return true;
}

void ClientSession::HandleControl(std::uint32_t requestId, wire::Control control) {
  void *file = nullptr;
  {
    // Referenced under the lock that a close takes to forget the handle, so
    // the file object cannot end (and be reused) before the request runs.
    std::lock_guard guard(lock_);
    auto it = handles_.find(control.handle);
    if (it != handles_.end() && km::ReferenceFile(static_cast<PFILE_OBJECT>(it->second.file))) {
      file = it->second.file;
    }
  }
  if (file == nullptr) {
    // Another thread of the client closed the handle first, as on Windows.
    wire::ControlReply reply;
    reply.status = static_cast<std::int32_t>(STATUS_INVALID_HANDLE);
    Reply(reply, requestId);
    return;
  }
  if (EndsPromptly(control.code)) {
    Execute(requestId, file, control);
    return;
  }
  const LimitSettings &limits = ledger_.settings();
  std::size_t bytes = control.input.size() + std::max<std::size_t>(control.outputLength, control.output.size());
  std::optional<std::string> limit;
  {
    std::lock_guard guard(lock_);
    if (inFlight_ >= limits.requestsPerClient) {
      limit = LimitName("requests in flight per client", limits.requestsPerClient);
    } else if (bytes > limits.bytesPerClient - bytesHeld_) {
      limit = LimitName("MiB held for one client's requests", limits.bytesPerClient >> 20);
    } else {
      limit = ledger_.TakeRequest(peer_.uid, bytes);
    }
    if (!limit) {
      ++inFlight_;
      bytesHeld_ += bytes;
      queue_.push_back(Job{requestId, file, std::move(control), bytes});
      // Every queued request gets a worker of its own while there may be
      // more; past the service's thread limit (or when the system refuses
      // a thread) it waits for one of the client's workers to return, and
      // is refused when the client has none.
      if (idleWorkers_ < queue_.size() && workers_ < kMaxWorkers) {
        std::optional<std::string> refused = ledger_.TakeThread();
        if (!refused) {
          try {
            std::thread([self = shared_from_this()] { self->WorkerLoop(); }).detach();
            ++workers_;
          } catch (const std::system_error &error) {
            ledger_.ReleaseThread();
            refused = std::string("threads (the system refused another: ") + error.what() + ")";
          }
        }
        if (refused && workers_ == 0) {
          queue_.pop_back();
          --inFlight_;
          bytesHeld_ -= bytes;
          ledger_.ReleaseRequest(peer_.uid, bytes);
          limit = std::move(refused);
        }
      }
      changed_.notify_all();
    }
  }
  if (limit) {
    km::ReleaseFileReference(static_cast<PFILE_OBJECT>(file));
    Refuse(requestId, wire::ControlReply{}, *limit);
  }
}

void ClientSession::Refuse(std::uint32_t requestId, const wire::Message &reply, const std::string &limit) {
  wire::Message refused = reply;
  std::visit(
      [](auto &message) {
        if constexpr (requires { message.status; }) {
          message.status = static_cast<std::int32_t>(STATUS_INSUFFICIENT_RESOURCES);
        }
      },
      refused);
  Reply(refused, requestId);
  bool first;
  {
    std::lock_guard guard(lock_);
    first = limitsLogged_.insert(limit).second;
  }
  if (first) LogLine(Describe() + ": refused a request at the limit of " + limit);
}

void ClientSession::Execute(std::uint32_t requestId, void *file, wire::Control &control) {
  // The system buffer the driver sees: the caller's output when the driver
  // reads it, else zeroes.
  std::vector<std::uint8_t> output = std::move(control.output);
  output.resize(control.outputLength);
  ULONG_PTR information = 0;
  wire::ControlReply reply;
  reply.status = km::DeviceControl(static_cast<PFILE_OBJECT>(file), control.code,
                                   control.input.empty() ? nullptr : control.input.data(),
                                   static_cast<ULONG>(control.input.size()),
                                   output.empty() ? nullptr : output.data(), control.outputLength, &information);
  km::ReleaseFileReference(static_cast<PFILE_OBJECT>(file));
  reply.information = information;
  output.resize(BytesReturned(control.code, reply.status, control.outputLength, information));
  output.shrink_to_fit();
  reply.data = std::move(output);
  Reply(reply, requestId);
}

void ClientSession::WorkerLoop() {
  std::unique_lock guard(lock_);
  for (;;) {
    if (queue_.empty()) {
      if (stopping_) break;
      // A worker stays a moment for the next request, then ends: an idle
      // client holds no threads.
      ++idleWorkers_;
      changed_.wait_for(guard, kWorkerIdle, [&] { return !queue_.empty() || stopping_; });
      --idleWorkers_;
      if (queue_.empty()) break;
      continue;
    }
    Job job = std::move(queue_.front());
    queue_.pop_front();
    guard.unlock();
    Execute(job.requestId, job.file, job.control);
    ledger_.ReleaseRequest(peer_.uid, job.bytes);
    guard.lock();
    --inFlight_;
    bytesHeld_ -= job.bytes;
  }
  --workers_;
  bool last = ending_ && workers_ == 0;
  guard.unlock();
  ledger_.ReleaseThread();
  if (last) End();
}

void ClientSession::Reply(const wire::Message &message, std::uint32_t requestId) {
  std::vector<std::uint8_t> frame = wire::Encode(message, requestId);
  std::lock_guard guard(sendLock_);
  // A client that is gone is noticed by the reader; one that broke the
  // channel's ring, or left its replies unread for kReplyPatience, is dropped.
  bool sent = channel_ ? channel_->Write(frame.data(), frame.size()) : wire::SendAll(fd_, frame);
  if (!sent) shutdown(fd_, SHUT_RDWR);
}

void ClientSession::Finish(const std::string &reason) {
  shutdown(fd_, SHUT_RDWR);
  // Ends a reply's wait for room in the ring. channel_ is set on this thread.
  if (channel_) channel_->Close();
  std::map<std::uint32_t, HeldHandle> handles;
  std::vector<Job> dropped;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    // Requests not yet in the driver are dropped; running ones end below.
    inFlight_ -= queue_.size();
    for (Job &job : queue_) {
      bytesHeld_ -= job.bytes;
      dropped.push_back(std::move(job));
    }
    queue_.clear();
    handles.swap(handles_);
    changed_.notify_all();
  }
  for (Job &job : dropped) {
    km::ReleaseFileReference(static_cast<PFILE_OBJECT>(job.file));
    ledger_.ReleaseRequest(peer_.uid, job.bytes);
  }
  // Closing its handles ends the client's requests in the driver, and only
  // its own, as the end of a Windows process does.
  for (auto &entry : handles) {
    km::CloseFile(static_cast<PFILE_OBJECT>(entry.second.file));
    ledger_.ReleaseHandle(peer_.uid);
  }
  // The session ends once its requests still in the driver have returned:
  // here, or on the worker that returns last, so that no reading thread
  // waits for a request the driver keeps.
  bool now;
  {
    std::lock_guard guard(lock_);
    endLine_ = reason + "; closed " + std::to_string(handles.size()) + " handle(s)";
    ending_ = true;
    now = workers_ == 0;
  }
  if (now) End();
}

void ClientSession::End() {
  reactor_.Forget(this, fd_, channel_ ? channel_->wakeFd() : -1);
  LogLine(Describe() + " " + endLine_);
  if (ended_) ended_(this);
}

}  // namespace service
