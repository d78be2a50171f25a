#include "client_session.h"

#include "service_log.h"
#include "transfer_rules.h"

#include <frame_stream.h>
#include <km/standin.h>

#include <sys/socket.h>
#include <unistd.h>

#include <tavrin_ioctl.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace service {
namespace {

// The pipe a transfer request names in the first four bytes of its input.
std::optional<std::uint32_t> PipeOf(const wire::Control &control) {
  switch (control.code) {
    case IOCTL_INSTR_BULK_READ:
    case IOCTL_INSTR_BULK_READ_TIMED:
    case IOCTL_INSTR_BULK_WRITE:
    case IOCTL_INSTR_ISO_READ:
    case IOCTL_INSTR_ISO_WRITE:
      break;
    default:
      return std::nullopt;
  }
  if (control.input.size() < 4) return std::nullopt;
  std::uint32_t pipe;
  std::memcpy(&pipe, control.input.data(), sizeof pipe);
  return pipe;
}

}  // namespace

OpenFile::~OpenFile() { km::CloseFile(static_cast<PFILE_OBJECT>(file_)); }

ClientSession::ClientSession(int fd, std::uint64_t number, PeerCredentials peer, CensusSource census)
    : fd_(fd), number_(number), peer_(peer), census_(std::move(census)) {}

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
  std::thread([self = shared_from_this()] { self->ReadLoop(); }).detach();
}

void ClientSession::Disconnect() { shutdown(fd_, SHUT_RDWR); }

void ClientSession::ReadLoop() {
  wire::FrameReader socketReader(fd_);
  std::unique_ptr<ring::ChannelSource> channelSource;
  std::unique_ptr<wire::FrameReader> channelReader;
  wire::FrameReader *reader = &socketReader;
  std::string reason;
  for (;;) {
    if (attached_ && !channelReader) {
      // The client waits for the attach reply before it sends anything else.
      if (socketReader.Buffered() != 0) {
        reason = "dropped: a message on the socket after the shared channel was asked for";
        break;
      }
      channelSource = std::make_unique<ring::ChannelSource>(channel_.get());
      channelReader = std::make_unique<wire::FrameReader>(channelSource.get());
      reader = channelReader.get();
    }
    wire::Frame frame;
    std::string error;
    wire::FrameReader::Result result = reader->Next(&frame, &error);
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
  {
    std::lock_guard guard(lock_);
    if (handles_.size() >= wire::kHandleLimit) {
      reply.status = static_cast<std::int32_t>(STATUS_INSUFFICIENT_RESOURCES);
      Reply(reply, requestId);
      return;
    }
  }
  PFILE_OBJECT file = nullptr;
  // Programs name devices in the device namespace ("\\.\NAME" is "\??\NAME"),
  // as kernel32 sends them; the kernel's other names stay its own.
  if (open.path.rfind(u"\\??\\", 0) != 0) {
    reply.status = static_cast<std::int32_t>(STATUS_OBJECT_PATH_NOT_FOUND);
    Reply(reply, requestId);
    return;
  }
  reply.status = km::OpenFile(open.path, &file);
  if (NT_SUCCESS(reply.status)) {
    auto opened = std::make_shared<OpenFile>(file);
    std::lock_guard guard(lock_);
    while (nextHandle_ == 0 || handles_.count(nextHandle_) != 0) nextHandle_ += 4;
    reply.handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(reply.handle, std::move(opened));
  }
  Reply(reply, requestId);
}

bool ClientSession::HandleClose(const wire::Close &close, std::string *reason) {
  std::shared_ptr<OpenFile> file;
  {
    std::lock_guard guard(lock_);
    auto it = handles_.find(close.handle);
    if (it == handles_.end()) return *reason = "close of a handle it does not hold", false;
    file = std::move(it->second);
    handles_.erase(it);
  }
  return true;  // the file closes here unless a request on it still runs
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
  attached_ = true;
  return true;
}

void ClientSession::HandleControl(std::uint32_t requestId, wire::Control control) {
  std::shared_ptr<OpenFile> file;
  {
    std::lock_guard guard(lock_);
    auto it = handles_.find(control.handle);
    if (it != handles_.end()) file = it->second;
  }
  if (!file) {
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
  std::unique_lock guard(lock_);
  // A client with many requests in the driver waits before it sends more.
  changed_.wait(guard, [&] { return inFlight_ < kMaxInFlight || stopping_; });
  if (stopping_) return;
  ++inFlight_;
  queue_.push_back(Job{requestId, std::move(file), std::move(control)});
  // Every queued request gets a worker of its own while there may be more.
  if (idleWorkers_ < queue_.size() && workers_.size() < kMaxWorkers) {
    workers_.emplace_back([this] { WorkerLoop(); });
  }
  changed_.notify_all();
}

void ClientSession::Execute(std::uint32_t requestId, const std::shared_ptr<OpenFile> &file,
                            wire::Control &control) {
  // The system buffer the driver sees: the caller's output when the driver
  // reads it, else zeroes.
  std::vector<std::uint8_t> output = std::move(control.output);
  output.resize(control.outputLength);
  ULONG_PTR information = 0;
  wire::ControlReply reply;
  reply.status = km::DeviceControl(static_cast<PFILE_OBJECT>(file->file()), control.code,
                                   control.input.empty() ? nullptr : control.input.data(),
                                   static_cast<ULONG>(control.input.size()),
                                   output.empty() ? nullptr : output.data(), control.outputLength, &information);
  reply.information = information;
  output.resize(BytesReturned(control.code, control.outputLength, information));
  reply.data = std::move(output);
  Reply(reply, requestId);
}

void ClientSession::WorkerLoop() {
  std::unique_lock guard(lock_);
  for (;;) {
    if (queue_.empty()) {
      if (stopping_) return;
      ++idleWorkers_;
      changed_.wait(guard, [&] { return !queue_.empty() || stopping_; });
      --idleWorkers_;
      continue;
    }
    Job job = std::move(queue_.front());
    queue_.pop_front();
    auto running = running_.insert(running_.end(), Running{job.file, job.control.code, PipeOf(job.control)});
    guard.unlock();
    Execute(job.requestId, job.file, job.control);
    job.file.reset();
    guard.lock();
    std::shared_ptr<OpenFile> file = std::move(running->file);
    running_.erase(running);
    --inFlight_;
    changed_.notify_all();
    guard.unlock();
    file.reset();  // the last reference closes the file
    guard.lock();
  }
}

void ClientSession::EndRunningRequests() {
  std::vector<Running> waiting;
  {
    std::unique_lock guard(lock_);
    // Timed reads give up within milliseconds by themselves.
    changed_.wait_for(guard, std::chrono::milliseconds(50), [this] { return running_.empty(); });
    waiting.assign(running_.begin(), running_.end());
  }
  if (waiting.empty()) return;
  LogLine(Describe() + ": " + std::to_string(waiting.size()) +
          " request(s) still in the driver; aborting their pipes, its handles close when they return");
  // What the driver does when a Windows process that waits on a pipe ends.
  for (const Running &request : waiting) {
    if (!request.pipe) continue;
    std::uint32_t pipe = *request.pipe;
    ULONG_PTR information = 0;
    km::DeviceControl(static_cast<PFILE_OBJECT>(request.file->file()), IOCTL_INSTR_ABORT_PIPE, &pipe, sizeof pipe,
                      nullptr, 0, &information);
  }
}

void ClientSession::Reply(const wire::Message &message, std::uint32_t requestId) {
  std::vector<std::uint8_t> frame = wire::Encode(message, requestId);
  std::lock_guard guard(sendLock_);
  // A client that is gone is noticed by the reader; one that broke the
  // channel's ring is dropped.
  if (!channel_) {
    wire::SendAll(fd_, frame);
  } else if (!channel_->Write(frame.data(), frame.size())) {
    shutdown(fd_, SHUT_RDWR);
  }
}

void ClientSession::Finish(const std::string &reason) {
  shutdown(fd_, SHUT_RDWR);
  // Ends a reply's wait for room in the ring. channel_ is set on this thread.
  if (channel_) channel_->Close();
  std::map<std::uint32_t, std::shared_ptr<OpenFile>> handles;
  std::size_t running;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
    // Requests not yet in the driver are dropped; running ones finish.
    inFlight_ -= queue_.size();
    queue_.clear();
    running = inFlight_;
    handles.swap(handles_);
    changed_.notify_all();
  }
  std::size_t count = handles.size();
  handles.clear();  // closes every file no running request holds
  if (running > 0) EndRunningRequests();
  std::vector<std::thread> workers;
  {
    std::lock_guard guard(lock_);
    workers.swap(workers_);
  }
  for (std::thread &worker : workers) worker.join();
  LogLine(Describe() + " " + reason + "; closed " + std::to_string(count) + " handle(s)");
  if (ended_) ended_(this);
}

}  // namespace service
